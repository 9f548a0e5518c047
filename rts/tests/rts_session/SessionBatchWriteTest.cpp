// Several queued packets leave in one write: a write that stops inside the
// batch, at a packet's edge or within one, loses and repeats nothing, and
// every packet keeps the number and bytes it would have had alone.
#include "rts/tests/support/SessionDriver.h"

#include <gtest/gtest.h>

using namespace rtstest;

namespace
{
const char* const cClients = R"(<rts><ClientList>
<Client><UserName>bob</UserName><IpAddresses><Value>127.0.0.1</Value></IpAddresses>
  <Channels><Value>7</Value></Channels><MaximumRequests>100</MaximumRequests></Client>
</ClientList></rts>
)";
} // namespace

TEST(RtsSessionBatch, WriteStoppingInsideABatchResumesWhereItStopped)
{
    // The response (32 bytes), then three packets of one 1000-byte message (1016 each).
    struct Case
    {
        const char* name;
        int first;          // bytes the first write takes
        std::uint64_t into; // bytes of the packet it stopped in already written
    };
    const Case cases[] = {
        {"inside the response", 10, 10},
        {"at the response's end", 32, 0},
        {"inside the second packet", 32 + 1016 + 500, 500},
        {"nothing", 0, 0},
    };
    for (const Case& c : cases)
    {
        SessionDriver d(cClients);
        d.channel(7, 1, 3, 1000);
        RtsTcpSession& s = d.logOn("s", "bob");
        SessionDriver::send(s, request(7, 1, 3));
        d.script("s") = {Write{c.first}, Write{0, WOULD_BLOCK}};
        if (c.first == 0)
            d.script("s") = {Write{0, WOULD_BLOCK}};
        s.onTimer(&s.sendingTimer());
        EXPECT_EQ(d.wire("s").size(), static_cast<std::size_t>(c.first)) << c.name;
        EXPECT_EQ(s.bytesSent(), c.into) << c.name;
        while (s.isSending())
            s.onTimer(&s.sendingTimer());
        const std::vector<Packet> out = d.packets("s");
        ASSERT_EQ(out.size(), 4u) << c.name;
        EXPECT_EQ(out[0].retransStatus(), 0) << c.name;
        EXPECT_EQ(out[0].seq, 2u) << c.name; // the logon answer took 1
        for (std::uint32_t i = 1; i <= 3; ++i)
        {
            ASSERT_EQ(out[i].count, 1) << c.name;
            EXPECT_EQ(out[i].seq, i) << c.name;
            EXPECT_EQ(out[i].messages[0].bytes, std::string(messageBytes(1000, 1000, 0x0500, i).data(), 1000))
                << c.name;
        }
        EXPECT_TRUE(d.wire("s").empty()) << c.name;
        EXPECT_FALSE(d.malformed()) << c.name;
        EXPECT_TRUE(s.connected()) << c.name;
        // A heartbeat after them takes the next control number.
        s.onTimer(&s.heartbeatTimer());
        const std::vector<Packet> beat = d.packets("s");
        ASSERT_EQ(beat.size(), 1u) << c.name;
        EXPECT_EQ(beat[0].seq, 3u) << c.name;
    }
}
