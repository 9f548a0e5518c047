// Valid and hostile client packets over random chunkings of the byte stream:
// the session never holds a fragment of a whole packet's size, never reads
// or writes past a buffer (the test runs under the sanitizers), handles
// every valid packet before a fatal one exactly once, and closes exactly at
// the first fatal packet with the answer it calls for.
#include "rts/tests/support/SessionDriver.h"

#include "rts/clients/RtsClientEntry.h"

#include <gtest/gtest.h>

#include <random>

using namespace rtstest;

namespace
{
const char* const cClients = R"(<rts><ClientList>
<Client><UserName>bob</UserName><IpAddresses><Value>127.0.0.1</Value></IpAddresses>
  <Channels><Value>7</Value></Channels><MaximumRequests>2000000000</MaximumRequests></Client>
</ClientList></rts>
)";

enum class Answer
{
    NONE,       // closed without a byte
    REFUSAL,    // status 1 when logged on, logon 5 before
    LOGON_5,    // logon refused
};

struct Fatal
{
    std::string bytes;
    Answer answer;
};

// A fatal packet for a session that is (or is not yet) logged on.
Fatal hostile(std::mt19937& rng, bool loggedOn)
{
    std::uniform_int_distribution<int> kind(0, 8);
    auto any16 = [&] { return static_cast<std::uint16_t>(rng()); };
    switch (kind(rng))
    {
    case 0: { // a size no client packet has
        static const std::uint16_t sizes[] = {0, 1, 15, 17, 24, 31, 33, 48, 1472, 65535};
        const std::uint16_t size = sizes[rng() % std::size(sizes)];
        return {header(size, 1) + std::string(rng() % 20, 'z'), Answer::NONE};
    }
    case 1: { // message size that is not the packet's
        std::uint16_t size = any16();
        if (size == 16)
            size = 0;
        return {packet32(size, 201, ""), Answer::REFUSAL};
    }
    case 2: // more than one message
        return {packet32(16, 101, "bob", static_cast<std::uint8_t>(2 + rng() % 254)), Answer::REFUSAL};
    case 3: // a header-only packet that claims a message
        return {header(16, static_cast<std::uint8_t>(1 + rng() % 255)), Answer::REFUSAL};
    case 4: { // a type no client sends
        std::uint16_t type = any16();
        if (type == 101 || type == 201)
            type = 999;
        return {packet32(16, type, std::string(12, 'q')), Answer::NONE};
    }
    case 5: // an echo of a heartbeat never sent
        return {heartbeatEcho(1 + rng() % 1000), Answer::NONE};
    case 6: // a request before the logon; after it, an echo of a heartbeat never sent
        if (!loggedOn)
            return {request(7, 1, 1), Answer::NONE};
        return {header(16, 0, 5), Answer::NONE};
    case 7: // an unknown user whose name has control bytes and no terminator; after the logon, a size no client packet has
        if (loggedOn)
            return {header(40, 1), Answer::NONE};
        return {logon(std::string("ev\r\nil\x01\x7f\xff", 9) + "xyz"), Answer::LOGON_5};
    default: // a user not in the list, its name filling all 12 bytes; after the logon, type 0
        if (loggedOn)
            return {packet32(16, 0, ""), Answer::NONE};
        return {logon("nobodyatall1"), Answer::LOGON_5};
    }
}
} // namespace

TEST(RtsSessionFraming, RandomSplitsOfValidAndHostilePackets)
{
    SessionDriver d(cClients, 200);
    d.log().setLevel(LOG_LEVEL_CRITICAL); // hundreds of thousands of refusal lines otherwise
    std::mt19937 rng(20261210);
    RtsClientEntry* bob = d.clients().getClientEntry("bob");
    std::size_t packets = 0;
    int trials = 0;
    int closes = 0;
    while (packets < 100000)
    {
        ++trials;
        // The stream: valid packets, maybe one fatal packet, more valid packets behind it.
        std::string stream;
        bool loggedOn = false;
        int requests = 0;          // requests before the fatal packet
        bool fatal = false;
        Answer answer = Answer::NONE;
        bool refusalQueuedAhead = false; // a rejected request's response waits in the queue
        const int valid = 1 + static_cast<int>(rng() % 20);
        for (int i = 0; i < valid; ++i)
        {
            switch (rng() % 4)
            {
            case 0:
                stream += heartbeatEcho(0);
                break;
            case 1:
                stream += header(32, 0) + std::string(16, static_cast<char>(rng()));
                break;
            case 2:
                stream += logon("bob"); // a second one is ignored
                loggedOn = true;
                break;
            default:
                if (!loggedOn)
                {
                    stream += logon("bob");
                    loggedOn = true;
                }
                stream += request(8, 1, 1); // refused with 1, the connection kept
                ++requests;
                refusalQueuedAhead = true;
                break;
            }
            ++packets;
        }
        if (rng() % 10 < 7)
        {
            const Fatal f = hostile(rng, loggedOn);
            stream += f.bytes;
            fatal = true;
            answer = f.answer;
            ++packets;
            for (int i = static_cast<int>(rng() % 5); i > 0; --i, ++packets)
                stream += rng() % 2 ? request(7, 1, 1) : logon("bob");
        }

        ScriptedNet::get().wire.clear();
        const std::int32_t numRequestsBefore = bob->mNumRequests;
        RtsTcpSession& s = d.accept("f");
        std::size_t at = 0;
        while (at < stream.size() && s.connected())
        {
            const std::size_t cut = rng() % 8 == 0 ? stream.size() : 1 + rng() % 40;
            const std::size_t n = std::min(cut, stream.size() - at);
            // Exact-size copies, so the sanitizer sees any read past a piece.
            std::unique_ptr<char[]> piece(new char[n]);
            std::memcpy(piece.get(), stream.data() + at, n);
            s.onNetworkData(piece.get(), static_cast<unsigned>(n));
            at += n;
            ASSERT_LT(s.heldBytes(), RtsTcpSession::cMaxClientPacket) << "trial " << trials;
        }
        const std::size_t received = static_cast<std::size_t>(bob->mNumRequests - numRequestsBefore) +
                                     (s.connected() ? s.pendingRequests() : 0);
        ASSERT_EQ(!s.connected(), fatal) << "trial " << trials;
        if (s.connected())
        {
            ASSERT_EQ(received, static_cast<std::size_t>(requests)) << "trial " << trials;
            EXPECT_EQ(s.heldBytes(), 0u) << "trial " << trials;
            s.closeSocket();
            continue;
        }
        ++closes;
        // What reached the wire: the logon answer, then the fatal packet's
        // answer, written only when nothing was queued ahead of it.
        std::vector<Packet> out = d.packets("f");
        ASSERT_FALSE(d.malformed()) << "trial " << trials;
        std::size_t expected = loggedOn ? 1 : 0;
        int lastLogon = -1;
        int lastRetrans = -1;
        if (answer == Answer::LOGON_5 || (answer == Answer::REFUSAL && !loggedOn))
        {
            ++expected;
            lastLogon = 5;
        }
        else if (answer == Answer::REFUSAL && !refusalQueuedAhead)
        {
            ++expected;
            lastRetrans = 1;
        }
        ASSERT_EQ(out.size(), expected) << "trial " << trials;
        if (loggedOn)
        {
            EXPECT_EQ(out[0].logonStatus(), 0) << "trial " << trials;
        }
        if (lastLogon >= 0)
        {
            EXPECT_EQ(out.back().logonStatus(), lastLogon) << "trial " << trials;
        }
        if (lastRetrans >= 0)
        {
            EXPECT_EQ(out.back().retransStatus(), lastRetrans) << "trial " << trials;
            EXPECT_EQ(out.back().channel() + out.back().begin() + out.back().end(), 0u) << "trial " << trials;
        }
    }
    EXPECT_GT(closes, trials / 2);
    EXPECT_EQ(d.server().getSessionPool().numAvailable(), RtsTcpServer::cInitialSessions);
}
