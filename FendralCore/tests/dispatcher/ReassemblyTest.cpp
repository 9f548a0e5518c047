#include "DispatcherHarness.h"

#include <algorithm>

namespace
{
std::string bytes(size_t len, char c)
{
    return std::string(len, c);
}

struct Part
{
    MessageQueueType queue;
    const char* sender;
    const char* channel;
    int32 partNum;
    bool more;
    size_t len;
    uint32 claimedLen = UINT32_MAX; // a length field that disagrees with the bytes
};

struct Case
{
    const char* what;
    std::vector<Part> parts;
    // Channel and joined length of every delivery, in order.
    std::vector<std::pair<std::string, size_t>> delivered;
    const char* log; // a line that must appear; null for none
};

constexpr MessageQueueType N = MQUEUE_NORMAL;
constexpr MessageQueueType H = MQUEUE_HIGH_PRIORITY;
} // namespace

// Each case runs on one dispatcher and ends with a sentinel message, so
// everything the case put has been served when the sentinel arrives.
TEST(Reassembly, PartsAreJoinedPerSenderChannelAndQueueAndBadSequencesDropped)
{
    const std::vector<Case> cases = {
        {"parts 0,1,2 make one message", {{N, "S", "A1", 0, true, 2200}, {N, "S", "A1", 1, true, 2200}, {N, "S", "A1", 2, false, 600}},
         {{"A1", 5000}}, nullptr},
        {"parts 0,1,3 are dropped", {{N, "S", "A2", 0, true, 2200}, {N, "S", "A2", 1, true, 2200}, {N, "S", "A2", 3, false, 10}},
         {}, "expected part#[2], received part#[3]"},
        {"a last part without a buffer", {{N, "S", "A3", 4, false, 10}}, {}, "Failed to locate temp buffer"},
        {"a new part 0 restarts the message", {{N, "S", "A4", 0, true, 100}, {N, "S", "A4", 0, true, 2200}, {N, "S", "A4", 1, false, 5}},
         {{"A4", 2205}}, "expected part#[1], received part#[0]"},
        // Receiver threads interleave channels, and a channel's parts may
        // take either queue: each keeps its own buffer.
        {"interleaved channels and queues of one sender",
         {{N, "S", "B1", 0, true, 2200}, {N, "S", "B2", 0, true, 2200}, {H, "S", "B1", 0, true, 2200},
          {N, "S", "B1", 1, false, 1}, {N, "S", "B2", 1, false, 2}, {H, "S", "B1", 1, false, 3}},
         {{"B1", 2203}, {"B1", 2201}, {"B2", 2202}}, nullptr},
        // Another process controls how many parts come: stop at the buffer.
        {"a message past the reassembly buffer is refused",
         [] {
             std::vector<Part> p;
             for (int32 i = 0; i < 15; ++i)
                 p.push_back({N, "S", "C1", i, true, 2200});
             p.push_back({N, "S", "C1", 15, false, 2000});
             return p;
         }(),
         {}, "exceeds [32768] bytes at part#[14]"},
        {"a part whose length field exceeds the part is refused",
         {{N, "S", "C2", 0, true, 2200}, {N, "S", "C2", 1, false, 100, 60000}}, {}, "with length [60000]"},
        {"a refused length also ends a message in progress", {{N, "S", "C3", 0, true, 2200, 2201}, {N, "S", "C3", 1, false, 5}},
         {}, "Failed to locate temp buffer"},
    };

    DispatcherHarness h(EVENT_LOOP);
    h.start();
    h.init();
    int sentinel = 0;
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        testLog().clear();
        const size_t before = h.calls().size();
        for (const Part& p : c.parts)
            ASSERT_EQ(h.putPart(p.queue, p.sender, p.channel, p.partNum, p.more, bytes(p.len, 'p'), p.claimedLen), 0);
        // Both queues must have been served: one sentinel on each.
        const std::string endH = "ENDH" + std::to_string(sentinel);
        const std::string endN = "ENDN" + std::to_string(sentinel++);
        ASSERT_EQ(h.putPart(H, "S", endH.c_str(), 0, false, "."), 0);
        ASSERT_EQ(h.putPart(N, "S", endN.c_str(), 0, false, "."), 0);
        ASSERT_TRUE(h.waitForData(endH));
        ASSERT_TRUE(h.waitForData(endN));

        std::vector<std::pair<std::string, size_t>> got;
        const auto calls = h.calls();
        for (size_t i = before; i < calls.size(); ++i)
            if (calls[i].type == MSG_DATA && calls[i].name.rfind("END", 0) != 0)
                got.emplace_back(calls[i].name, calls[i].data.size());
        auto sorted = [](auto v) {
            std::sort(v.begin(), v.end());
            return v;
        };
        EXPECT_EQ(sorted(got), sorted(c.delivered));
        if (c.log != nullptr)
        {
            EXPECT_TRUE(testLog().contains(c.log)) << c.log;
        }
    }
    h.stop();
}

// Data forwarded by the replicator is keyed by the receiver thread that owns
// its channel type, so it joins with the parts that receiver sent directly.
TEST(Reassembly, ReplicatorForwardedPartsJoinWithTheOwningReceiversParts)
{
    DispatcherHarness h(POLLING_LOOP);
    h.start();
    h.init();
    ASSERT_EQ(h.putPart(N, "NET_RECEIVER", "U1", 0, true, bytes(2200, 'a')), 0);
    ASSERT_EQ(h.putPart(N, "MSG_REPLICATOR", "U1", 1, false, bytes(7, 'b')), 0);
    ASSERT_TRUE(h.waitForData("U1"));
    const auto calls = h.calls();
    ASSERT_EQ(calls.back().data, bytes(2200, 'a') + bytes(7, 'b'));
    h.stop();
}
