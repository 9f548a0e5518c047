// The refresh client on its packet road, with refresh packets handed straight
// to it and the real line filter: cycles on one and two lines, gaps filled or
// given up, refresh-complete messages anywhere in a packet, packets it cannot
// keep, replays bounded by the bytes a packet holds, cancels, time-outs and
// the requests themselves.
#include "../host_runnable/RunnableTestSupport.h"
#include "../linefilter/LineFilterTestSupport.h"
#include "RefreshTestSupport.h"

#include "kelmora/linedata/LineDataFactoryDravek.h"
#include "kelmora/linehandler/LineHandlerMulticast.h"
#include "kelmora/recovery/LineHandlerZunqRefresh.h"
#include "kelmora/recovery/LineHandlerZunqRetrans.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>

using namespace refreshtest;

namespace
{

constexpr std::uint32_t cChannel = 7;

struct Flushes : OrluSubscriber<MsgPubAdmin>
{
    Flushes() : OrluSubscriber<MsgPubAdmin>("flushes") { channel.subscribe(this); }
    void onData(const Orlu<MsgPubAdmin>&, const std::string&, const MsgPubAdmin& m) override
    {
        count += m.getAction() == MsgPubAdmin::FLUSH;
    }
    Orlu<MsgPubAdmin> channel{"MsgPubAdmin", ""};
    int count = 0;
};

class Refresh : public ::testing::Test
{
protected:
    Refresh()
    {
        factory.setChannelId(cChannel);
        filter.mFilter.setNextSeqNum(96, false);
        filter.mCapture.take();
    }

    void build(int lines, long cacheSize = 4)
    {
        client = std::make_unique<LineHandlerZunqRefresh>(host.log, cacheSize);
        client->setClock([this] { return now; });
        client->OrluPublisher<MsgPubAdmin>::setDestination(&flushes.channel);
        for (int i = 1; i <= lines; ++i)
            client->addLineHandlerMulticast(cChannel, factory, thread.session)->setFeedName("RF:r" + std::to_string(i));
        client->addMessageHandler(cChannel, &handler);
        client->addLineFilter(cChannel, &filter.mFilter);
    }

    void request(bool spool = true, bool cancel = false, std::int64_t channel = cChannel)
    {
        RefreshRequest r;
        r.mChannelId = channel;
        r.mCancel = cancel;
        r.mSpoolRealtimeMessage = spool;
        client->handleRefreshRequest("FEED", r);
    }

    // A refresh line hands the client one datagram.
    void deliver(const std::string& bytes)
    {
        LineData* record = factory.create();
        record->setData(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
        static_cast<OrluSubscriber<LineData>&>(*client).onData(bus, "line", *record);
        factory.destroy(record);
    }

    hostrun::Host host;
    hostrun::Thread<> thread{host, "RFSH"};
    LineDataFactoryDravek factory{"refresh", host.log};
    SnapshotHandler handler{"FEED", host.log};
    FilterBench filter;
    Flushes flushes;
    Orlu<LineData> bus{"refresh", ""};
    std::int64_t now = 0;
    std::unique_ptr<LineHandlerZunqRefresh> client;
};

// Packets by the number of their first message; a script delivers them in
// its order, each line's copy a delivery of its own.
using Packets = std::map<std::uint32_t, std::string>;

const Packets cCycle = {
    {1, packet(1, {data("before")})},
    {2, packet(2, {complete(50)})},
    {3, packet(3, {data("b1.."), data("b2..")})},
    {5, packet(5, {data("b3..")})},
    {6, packet(6, {data("b4.."), complete(60)})},
    {8, packet(8, {data("c1..")})},
    {9, packet(9, {data("c2.."), complete(70)})},
};

TEST_F(Refresh, CyclesOnOneAndTwoLines)
{
    struct Case
    {
        const char* what;
        int lines;
        std::vector<std::uint32_t> script;
        std::vector<std::string> replayed; // empty: the refresh still runs
        std::uint32_t next;
    };
    const std::vector<Case> cases = {
        {"the first end of cycle opens it and is not replayed; the next closes it", 1, {1, 2, 3, 5, 6},
         {"reset", "b1..", "b2..", "b3..", "b4..", "*60"}, 61},
        {"two lines delivering every packet twice: each is taken once", 2, {1, 1, 2, 2, 3, 3, 5, 5, 6, 6},
         {"reset", "b1..", "b2..", "b3..", "b4..", "*60"}, 61},
        {"a gap on one line is filled by the other", 2, {2, 2, 3, 3, 6, 5, 6},
         {"reset", "b1..", "b2..", "b3..", "b4..", "*60"}, 61},
        {"a gap on the only line gives the cycle up; its end opens the next", 1, {2, 3, 6, 8, 9},
         {"reset", "c1..", "c2..", "*70"}, 71},
        {"both lines miss a packet: the second end across the gap gives the cycle up", 2,
         {2, 2, 3, 3, 6, 6, 8, 8, 9, 9}, {"reset", "c1..", "c2..", "*70"}, 71},
        {"a gap without an end of cycle drops the packet and waits", 1, {2, 5}, {}, 96},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        handler.clear();
        filter.mFilter.setNextSeqNum(96, false);
        build(c.lines);
        request();
        for (std::uint32_t seq : c.script)
            deliver(cCycle.at(seq));
        EXPECT_EQ(handler.texts(), c.replayed);
        EXPECT_EQ(client->isActive(cChannel), c.replayed.empty());
        EXPECT_EQ(filter.mFilter.getNextSeqNum(), c.next);
        if (!c.replayed.empty())
        {
            EXPECT_EQ(client->getPoolUsage(), 0);
        }
    }
    // Replayed messages are numbered for the handler from 1, on the channel.
    build(1);
    handler.clear();
    request();
    for (std::uint32_t seq : {2u, 3u, 5u, 6u})
        deliver(cCycle.at(seq));
    EXPECT_EQ(handler.messages(),
              (std::vector<std::string>{"reset", "7/1/b1..", "7/2/b2..", "7/3/b3..", "7/4/b4..", "7/5/*60"}));
}

// Where a cycle's refresh-complete message sits among its packets.
enum class Layout
{
    Alone,          // in a packet of its own
    EndsLastPacket, // after the cycle's last messages
    LeadsNextPacket // before the next cycle's first messages
};

constexpr int cMessagesPerCycle = 8;

// Cycles of messages "k<c>:<i>" as a refresh line sends them, numbered on
// from 1, and how many packets each cycle has.
struct Stream
{
    std::vector<std::string> packets;
    int perCycle;
};

// Cycles 0 .. count - 1, each followed by its refresh-complete message
// covering realtime numbers up to 100 + c, two messages to a packet and the
// refresh-complete message where `layout` says.
Stream cycles(int count, Layout layout)
{
    std::vector<std::vector<std::string>> cut;
    for (int c = 0; c < count; ++c)
    {
        const auto m = [c](int i) { return data("k" + std::to_string(c) + ":" + std::to_string(i)); };
        const std::string end = complete(100 + static_cast<std::uint32_t>(c));
        if (layout == Layout::LeadsNextPacket)
        {
            if (c == 0)
                cut.push_back({m(0), m(1), m(2)});
            else
                cut.back().insert(cut.back().end(), {m(0), m(1), m(2)});
            cut.insert(cut.end(), {{m(3), m(4)}, {m(5), m(6)}, {m(7), end}});
            continue;
        }
        for (int i = 0; i < cMessagesPerCycle; i += 2)
            cut.push_back({m(i), m(i + 1)});
        if (layout == Layout::Alone)
            cut.push_back({end});
        else
            cut.back().push_back(end);
    }
    Stream stream{{}, layout == Layout::Alone ? 5 : 4};
    std::uint32_t seq = 1;
    for (const auto& messages : cut)
    {
        stream.packets.push_back(packet(seq, messages));
        seq += static_cast<std::uint32_t>(messages.size());
    }
    return stream;
}

// Cycle c as the handler gets it: reset, its messages, its end.
std::vector<std::string> snapshot(int c)
{
    std::vector<std::string> texts{"reset"};
    for (int i = 0; i < cMessagesPerCycle; ++i)
        texts.push_back("k" + std::to_string(c) + ":" + std::to_string(i));
    texts.push_back("*" + std::to_string(100 + c));
    return texts;
}

// Wherever the refresh-complete message sits, the handler gets exactly the
// messages between two of them, the first cycle is not given up, and the
// filter expects the number after the closing one's.
TEST_F(Refresh, ARefreshCompleteMessageSplitsItsPacket)
{
    const std::pair<const char*, Layout> layouts[] = {
        {"alone in its packet", Layout::Alone},
        {"ending the cycle's last data packet", Layout::EndsLastPacket},
        {"leading the next cycle's first packet", Layout::LeadsNextPacket},
    };
    for (const auto& [what, layout] : layouts)
    {
        SCOPED_TRACE(what);
        handler.clear();
        host.sink.clear();
        filter.mFilter.setNextSeqNum(96, false);
        build(1, 16);
        request();
        // Asked for in the middle of cycle 0.
        const std::vector<std::string> packets = cycles(4, layout).packets;
        for (std::size_t p = 1; p < packets.size() && client->isActive(cChannel); ++p)
            deliver(packets[p]);
        EXPECT_EQ(handler.texts(), snapshot(1));
        EXPECT_EQ(filter.mFilter.getNextSeqNum(), 102u);
        EXPECT_EQ(host.sink.count("given up"), 0);
        EXPECT_EQ(client->getPoolUsage(), 0);
    }
}

// Two lines that each lose packets, but never the same one, make one line:
// a packet that comes ahead of a gap waits for the other line to fill it.
// A packet both lose gives its cycle up, and the next one is taken.
TEST_F(Refresh, TwoLinesThatLoseDifferentPacketsMakeOneWhole)
{
    struct Case
    {
        const char* what;
        Layout layout;
        int lag;                       // line B sends each packet this many packets after line A
        std::vector<int> lostA, lostB; // packets of each cycle (from 0) a line loses
        int lostByBoth;                // and both lose this packet of cycle 1 (-1: none)
        int taken;                     // the cycle replayed
    };
    const std::vector<Case> cases = {
        {"A loses the second packet of each cycle, B two packets behind the fourth", Layout::Alone, 2, {1}, {3}, -1, 1},
        {"the same with ends that lead the next cycle's packets", Layout::LeadsNextPacket, 2, {1}, {3}, -1, 1},
        {"B loses every cycle's end; A the packet before it", Layout::EndsLastPacket, 1, {2}, {3}, -1, 1},
        {"a packet of cycle 1 that both lose gives it up; cycle 2 is taken", Layout::Alone, 2, {1}, {3}, 2, 2},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        handler.clear();
        filter.mFilter.setNextSeqNum(96, false);
        build(2, 64);
        request();
        const Stream stream = cycles(5, c.layout);
        const auto lost = [&](const std::vector<int>& lostByLine, int p) {
            const int inCycle = p % stream.perCycle;
            return std::find(lostByLine.begin(), lostByLine.end(), inCycle) != lostByLine.end() ||
                   (p / stream.perCycle == 1 && inCycle == c.lostByBoth);
        };
        const int total = static_cast<int>(stream.packets.size());
        // Asked for in the middle of cycle 0.
        for (int t = 1; t < total + c.lag && client->isActive(cChannel); ++t)
        {
            if (t < total && !lost(c.lostA, t))
                deliver(stream.packets[t]);
            const int b = t - c.lag;
            if (b >= 1 && b < total && !lost(c.lostB, b))
                deliver(stream.packets[b]);
        }
        EXPECT_EQ(handler.texts(), snapshot(c.taken));
        EXPECT_EQ(filter.mFilter.getNextSeqNum(), static_cast<std::uint32_t>(101 + c.taken));
        EXPECT_FALSE(client->isActive(cChannel));
        EXPECT_EQ(client->getPoolUsage(), 0);
    }
}

// Realtime data held back while the refresh runs is released behind the
// snapshot; the numbers handed to the handler go on across refreshes.
TEST_F(Refresh, TheEndSetsTheFilterBehindTheSnapshotAndReleasesWhatItHeld)
{
    build(2);
    filter.play("96 97");
    request();
    EXPECT_TRUE(client->isSpooling(cChannel));
    filter.mCapture.take();
    filter.play("99 100 101 103 102");
    EXPECT_EQ(filter.mCapture.take(), "");
    for (std::uint32_t seq : {2u, 3u, 5u})
        deliver(cCycle.at(seq));
    EXPECT_EQ(flushes.count, 0);
    deliver(packet(6, {data("b4.."), complete(100)}));
    EXPECT_EQ(filter.mFilter.getNextSeqNum(), 104u);
    const std::string released = filter.mCapture.take();
    EXPECT_NE(released.find("101 102 103"), std::string::npos) << released;
    EXPECT_EQ(released.find("99"), std::string::npos) << released;
    EXPECT_FALSE(client->isSpooling(cChannel));
    EXPECT_FALSE(client->isActive(cChannel));
    EXPECT_EQ(flushes.count, 1);
    EXPECT_EQ(client->getPublishSeqNum(cChannel), 6u);

    // A second refresh, on a source whose cycles went on numbering.
    handler.clear();
    request(false);
    EXPECT_FALSE(client->isSpooling(cChannel));
    deliver(packet(20, {complete(110)}));
    deliver(packet(21, {data("d1.."), complete(120)}));
    EXPECT_EQ(handler.messages(), (std::vector<std::string>{"reset", "7/6/d1..", "7/7/*120"}));
    EXPECT_EQ(flushes.count, 2);
}

// A pool entry comes back as its last packet left it: a packet the client
// cannot keep, or one whose sizes run past its bytes, must not replay them.
TEST_F(Refresh, NothingStaleIsReplayed)
{
    const std::string stale(600, 'S');
    const std::string over = data(std::string(1460, 'X'));
    struct Case
    {
        const char* what;
        std::vector<std::string> packets;
        std::vector<std::string> replayed;
        const char* warning;
    };
    const std::vector<Case> cases = {
        {"a packet over 1472 bytes is a gap: the cycle is given up and the next one replayed",
         {packet(12, {complete(80)}), packet(13, {data("x1..")}), packet(14, {over}),
          packet(15, {data("x2.."), complete(90)}), packet(17, {data("y1..")}), packet(18, {complete(95)})},
         {"reset", "y1..", "*95"},
         "packet [14] of 1480 bytes is larger than 1472: not cached, taken as a gap"},
        {"a size past the packet stops its replay at that message",
         {packet(12, {complete(80)}), packet(13, {data("x1.."), u16(2000) + u16(cDataType) + "short"}, 2),
          packet(14, {data("x2.."), complete(90)})},
         {"reset", "x1..", "x2..", "*90"},
         "replay of packet [13] stopped at message 1 of 2: it does not fit the packet's 33 bytes"},
        {"a count past the packet's messages stops at its end",
         {packet(12, {complete(80)}), packet(13, {data("x1..")}, 255), packet(14, {data("x2.."), complete(90)})},
         {"reset", "x1..", "x2..", "*90"},
         "replay of packet [13] stopped at message 1 of 255: it does not fit the packet's 24 bytes"},
        {"bytes too few for a message's lead stop its replay",
         {packet(12, {complete(80)}), packet(13, {data("x1.."), "\x03"}, 2),
          packet(14, {data("x2.."), complete(90)})},
         {"reset", "x1..", "x2..", "*90"},
         "replay of packet [13] stopped at message 1 of 2: it does not fit the packet's 25 bytes"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        build(1);
        // Every pool entry first holds a long packet of stale bytes.
        request(false);
        deliver(packet(1, {complete(10)}));
        for (std::uint32_t seq = 2; seq <= 6; seq += 2)
            deliver(packet(seq, {data(stale), data(stale)}));
        deliver(packet(8, {complete(11)}));
        ASSERT_FALSE(client->isActive(cChannel));
        handler.clear();
        host.sink.clear();

        request(false);
        for (const std::string& p : c.packets)
            deliver(p);
        EXPECT_EQ(handler.texts(), c.replayed);
        EXPECT_EQ(host.sink.count(c.warning, LOG_LEVEL_WARNING), 1);
        EXPECT_EQ(client->getPoolUsage(), 0);
    }
}

// A cancel, a cycle given up at a gap and a packet ahead of a gap that the
// pool has no room for each give every cached packet back.
TEST_F(Refresh, ACancelOrAGivenUpCycleGivesEveryPacketBackToThePool)
{
    build(1, 2);
    request();
    deliver(packet(2, {complete(50)}));
    for (std::uint32_t seq = 3; seq <= 7; ++seq)
        deliver(packet(seq, {data("keep")}));
    // The pool grew past its two entries to hold the cycle.
    EXPECT_EQ(client->getCachedPackets(cChannel), 5u);
    EXPECT_EQ(client->getPoolUsage(), 5);
    request(true, true);
    EXPECT_EQ(host.sink.count("Refresh CANCEL was received from source [FEED] for channel [7]"), 1);
    EXPECT_EQ(client->getPoolUsage(), 0);
    EXPECT_FALSE(client->isActive(cChannel));
    EXPECT_FALSE(client->isSpooling(cChannel));
    EXPECT_TRUE(handler.texts().empty());

    // The cancel left nothing behind: the next request starts from the opening end of cycle.
    request();
    deliver(packet(8, {data("none")}));
    deliver(packet(9, {complete(60)}));
    deliver(packet(10, {data("kept")}));
    // One line, and a gap before the end: the cycle is given up, its packet returned.
    deliver(packet(12, {complete(61)}));
    EXPECT_EQ(client->getPoolUsage(), 0);
    deliver(packet(13, {data("last"), complete(62)}));
    EXPECT_EQ(handler.texts(), (std::vector<std::string>{"reset", "last", "*62"}));
    EXPECT_EQ(client->getPoolUsage(), 0);

    // Packets ahead of a gap take only the room the pool has: one that finds
    // none gives the cycle up, its packets returned, and the next
    // refresh-complete message opens a cycle.
    handler.clear();
    build(2, 4);
    request();
    deliver(packet(20, {complete(70)}));
    deliver(packet(21, {data("kept")}));
    for (std::uint32_t seq = 23; seq <= 26; ++seq)
        deliver(packet(seq, {data("more")}));
    EXPECT_EQ(host.sink.count("Channel [7] no room left in pool [RefreshLineDataPool] of 4 entries for packet [25] "
                              "ahead of a gap: not cached",
                              LOG_LEVEL_ERROR),
              1);
    EXPECT_EQ(client->getPoolUsage(), 0);
    deliver(packet(27, {complete(80)}));
    deliver(packet(28, {data("fits"), complete(81)}));
    EXPECT_EQ(handler.texts(), (std::vector<std::string>{"reset", "fits", "*81"}));
    EXPECT_EQ(client->getPoolUsage(), 0);
}

// A source that never ends a cycle, or restarted its numbering, cannot hold
// realtime data back for ever.
TEST_F(Refresh, ARefreshThatDoesNotEndIsCancelledByItsTimeOut)
{
    build(1);
    client->setRefreshTimeout(2000);
    filter.play("96");
    request();
    filter.play("98 99");
    deliver(packet(500, {complete(90)}));
    deliver(packet(501, {data("r1..")}));
    now += 1999 * 1000000LL;
    client->checkTimeouts();
    EXPECT_TRUE(client->isActive(cChannel));
    EXPECT_EQ(filter.mCapture.take(), "96");
    now += 1000000;
    client->checkTimeouts();
    EXPECT_FALSE(client->isActive(cChannel));
    EXPECT_FALSE(client->isSpooling(cChannel));
    EXPECT_EQ(client->getPoolUsage(), 0);
    EXPECT_EQ(host.sink.count("Channel [7] refresh has not ended within 2000 ms; cancelled", LOG_LEVEL_WARNING), 1);
    // Spooling is off: the filter deals with its gap again.
    filter.play("97");
    EXPECT_EQ(filter.mCapture.take(), "97 C0-97 98 99");

    // The source starts its numbering again: a new refresh follows it.
    request();
    deliver(packet(1, {complete(100)}));
    deliver(packet(2, {data("n1.."), complete(101)}));
    EXPECT_FALSE(client->isActive(cChannel));
    EXPECT_EQ(handler.texts(), (std::vector<std::string>{"reset", "n1..", "*101"}));
}

// The filter's cancel at the end of a refresh comes back as a refresh cancel
// through a retransmission client on the same thread, while the end steps
// still run: the refresh has ended by then, and nothing runs them twice.
TEST_F(Refresh, AnEndedRefreshLogsNoCancel)
{
    build(2);
    LineHandlerZunqRetrans retrans(factory, thread.session, host.log);
    retrans.setRefreshEnabled(true);
    Orlu<RefreshRequest> refreshRequests("RefreshRequest", "");
    retrans.OrluPublisher<RefreshRequest>::setDestination(&refreshRequests);
    refreshRequests.subscribe(client.get());
    filter.mRequests.subscribe(&retrans);
    request();
    for (std::uint32_t seq : {2u, 3u, 5u, 6u})
        deliver(cCycle.at(seq));
    filter.mRequests.unsubscribe(&retrans);
    EXPECT_EQ(handler.texts(), (std::vector<std::string>{"reset", "b1..", "b2..", "b3..", "b4..", "*60"}));
    EXPECT_EQ(host.sink.count("Cancel RetransRequest received for Feed [7]; SeqNums [0-60]"), 1);
    EXPECT_EQ(host.sink.count("Refresh CANCEL"), 0);
    EXPECT_EQ(host.sink.count("Channel [7] Disconnecting Refresh LineHandlers"), 1);
    EXPECT_EQ(host.sink.count("resetSpoolRealtimeMessage() Channel [7]"), 1);
    EXPECT_EQ(flushes.count, 1);
    EXPECT_FALSE(client->isActive(cChannel));
}

TEST_F(Refresh, Requests)
{
    build(2);
    request(true, false, 8);
    EXPECT_EQ(host.sink.count("LineHandlerZunqRefresh::handleRefreshRequest() - Refresh is not configured for "
                              "channel [8]",
                              LOG_LEVEL_WARNING),
              1);
    // The id is cut to 32 bits as the channels are keyed.
    request(false, false, 0x100000007LL);
    EXPECT_TRUE(client->isActive(cChannel));
    EXPECT_FALSE(client->isSpooling(cChannel));
    // A second request only adds spooling.
    request(false);
    EXPECT_FALSE(client->isSpooling(cChannel));
    request(true);
    EXPECT_TRUE(client->isSpooling(cChannel));
    EXPECT_EQ(host.sink.count("suppressing refresh request from source [FEED] for channel [7] as one is already "
                              "active."),
              2);
    EXPECT_EQ(host.sink.count("LineHandlerZunqRefresh::spoolRealtimeMessage() Channel [7]"), 1);
    // Both lines were asked to join; they join once the framework has them ready.
    EXPECT_EQ(host.sink.count("LineHandlerMulticast: joining multicast feed: RF:r"), 2);
    request(false, true);
    EXPECT_FALSE(client->isActive(cChannel));
    EXPECT_FALSE(client->isSpooling(cChannel));
    // A cancel of an idle channel says nothing.
    host.sink.clear();
    request(false, true);
    EXPECT_EQ(host.sink.count("LineHandlerZunqRefresh"), 0);
    // Packets of an idle channel belong to no refresh.
    deliver(packet(2, {complete(50)}));
    deliver(packet(3, {data("late"), complete(60)}));
    EXPECT_TRUE(handler.texts().empty());
    EXPECT_EQ(filter.mFilter.getNextSeqNum(), 96u);
}

} // namespace
