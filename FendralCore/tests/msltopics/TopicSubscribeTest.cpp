// The subscribing side of a topic: what it accepts, what it reports as a
// gap, what it acknowledges, how it joins parts and delivers them to the
// subscribing thread's queue, and how it holds and replays live messages
// while a gap is recovered.
#include "FendralCore/tests/msltopics/TopicTestSupport.h"

#include "FendralCore/foundation/LogCall.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>

namespace
{
using namespace topictest;

struct Delivered
{
    uint64 topicSeq;
    int32 part;
    bool more;
    std::string data;
};

// What reached the queue, taken out of it.
std::vector<Delivered> drain(FwMessageQueue& q)
{
    std::vector<Delivered> out;
    FwIntMessage m;
    bool more = true;
    while (q.getMessage(&m, more) == 0)
    {
        const Data_t& d = m.appMsg.data;
        if (m.appMsg.type == MSG_DATA)
            out.push_back({d.msgTopicSeq, d.msgPartNum, d.more, std::string(d.buffer, d.dataLen)});
        if (!more)
            break;
    }
    return out;
}

class Subscriber
{
public:
    explicit Subscriber(TopicBench& bench, const std::function<void(MsgTopicParam&)>& adjust = {})
        : m_bench(bench)
    {
        topic = bench.subscriber(bench.topic("QUOTES", SUBSCRIBE, adjust), sub);
    }

    int32 feed(const std::string& datagram, uint64& gap,
               MessagingTopic::TopicMsgSrc src = MessagingTopic::SRC_PUBLISHER)
    {
        const TopicMessage m = asMessage(datagram);
        const timespec now{1700000000, 0};
        return topic->processMessage(m, inet_addr("127.0.0.9"), now, 1, timespec{}, gap, src, false);
    }
    int32 feed(const DataSpec& d)
    {
        uint64 gap = 0;
        return feed(dataDatagram(d), gap);
    }

    SubscriptionRecord sub;
    std::unique_ptr<MessagingTopic> topic;

private:
    TopicBench& m_bench;
};

TEST(TopicSubscribeTest, AcceptanceInSequence)
{
    struct Case
    {
        const char* what;
        uint64 accepted; // before
        bool skipLateJoin;
        bool requestPending;
        std::string datagram;
        int32 code; // 0, or the error
        uint64 gap;
        uint64 acceptedAfter;
        size_t delivered;
    };
    auto data = [](uint64 seq, int32 part = 0, bool more = false, std::string recipient = "", int32 inst = 0) {
        DataSpec d;
        d.seq = seq;
        d.part = part;
        d.more = more;
        d.recipient = recipient;
        d.recipientInst = inst;
        return dataDatagram(d);
    };
    const Case cases[] = {
        {"the next one", 5, false, false, data(6), 0, 0, 6, 1},
        {"a duplicate", 5, false, false, data(5), 0, 0, 5, 0},
        {"an old one", 5, false, false, data(2), 0, 0, 5, 0},
        {"a gap of two", 5, false, false, data(8), MSL_MSG_GAP, 2, 5, 0},
        {"a gap while subscribing", 5, false, true, data(8), 0, 0, 5, 0},
        {"late join: a first part at any number", 0, true, false, data(40), 0, 0, 40, 1},
        {"late join: a later part waits for a first", 0, true, false, data(40, 1, true), 0, 0, 0, 0},
        {"late join off: a gap", 0, false, false, data(40), MSL_MSG_GAP, 39, 0, 0},
        {"a heartbeat ahead", 8, false, false, heartbeatDatagram("QUOTES", "PUBA", 10), MSL_MSG_GAP, 2, 8, 0},
        {"a heartbeat level", 8, false, false, heartbeatDatagram("QUOTES", "PUBA", 8), 0, 0, 8, 0},
        {"for this instance", 5, false, false, data(6, 0, false, "SUBA", 2), 0, 0, 6, 1},
        {"for another instance", 5, false, false, data(6, 0, false, "SUBA", 9), 0, 0, 6, 0},
        {"for another application", 5, false, false, data(6, 0, false, "OTHER", 2), 0, 0, 6, 0},
    };
    for (const Case& c : cases)
    {
        TopicBench bench;
        Subscriber s(bench, [&](MsgTopicParam& p) { p.skipLateJoinRecovery = c.skipLateJoin; });
        s.sub.lastAcptMsgSeq = c.accepted;
        s.sub.subRqsPending = c.requestPending;
        uint64 gap = 0;
        const int32 rc = s.feed(c.datagram, gap);
        if (c.code == 0)
            EXPECT_EQ(rc, 0) << c.what;
        else
        {
            EXPECT_EQ(rc, -1) << c.what;
            EXPECT_EQ(FrameworkErrno::m_fwErrno, c.code) << c.what;
        }
        EXPECT_EQ(gap, c.gap) << c.what;
        EXPECT_EQ(s.sub.lastAcptMsgSeq, c.acceptedAfter) << c.what;
        EXPECT_EQ(drain(bench.harness().appNormal()).size(), c.delivered) << c.what;
    }
}

TEST(TopicSubscribeTest, AcknowledgesEveryIntervalAndHeartbeats)
{
    TopicBench bench("UNACK_MSG_MAX UINT32 4\n");
    Subscriber s(bench);
    for (uint64 seq = 1; seq <= 9; ++seq)
    {
        DataSpec d;
        d.seq = seq;
        ASSERT_EQ(s.feed(d), 0);
    }
    // A duplicate is not acknowledged either.
    DataSpec dup;
    dup.seq = 8;
    ASSERT_EQ(s.feed(dup), 0);
    std::vector<std::string> acks = bench.ack.sent();
    ASSERT_EQ(acks.size(), 2u);
    EXPECT_EQ(u32At(acks[0], CMD), 14u);
    EXPECT_EQ(u64At(acks[0], ACK_LAST), 4u);
    EXPECT_EQ(u64At(acks[1], ACK_LAST), 8u);
    EXPECT_EQ(acks[1].size(), 98u);

    // A heartbeat that shows a gap is acknowledged all the same.
    uint64 gap = 0;
    EXPECT_EQ(s.feed(heartbeatDatagram("QUOTES", "PUBA", 12), gap), -1);
    EXPECT_EQ(gap, 3u);
    acks = bench.ack.sent();
    ASSERT_EQ(acks.size(), 3u);
    EXPECT_EQ(u32At(acks[2], CMD), 16u);
    EXPECT_EQ(u64At(acks[2], ACK_LAST), 9u);

    // A passive subscriber never acknowledges.
    TopicBench passiveBench("UNACK_MSG_MAX UINT32 1\n");
    Subscriber passive(passiveBench, [](MsgTopicParam& p) { p.activeSubscriber = false; });
    DataSpec d;
    d.seq = 1;
    ASSERT_EQ(passive.feed(d), 0);
    EXPECT_TRUE(passiveBench.ack.sent().empty());
}

// What was held past a gap is taken at once when the gap fills: a run that
// steps over the interval's number is acknowledged as if it had reached it,
// or the publisher's window would wait for the next interval.
TEST(TopicSubscribeTest, ARunTakenAtOnceOverTheIntervalIsAcknowledged)
{
    TopicBench bench("UNACK_MSG_MAX UINT32 4\n");
    Subscriber s(bench);
    for (uint64 seq : {1, 2, 4, 5, 6, 7, 3})
    {
        DataSpec d;
        d.seq = seq;
        s.feed(d);
    }
    EXPECT_EQ(s.sub.lastAcptMsgSeq, 7u);
    const std::vector<std::string> acks = bench.ack.sent();
    ASSERT_FALSE(acks.empty());
    EXPECT_EQ(u64At(acks.back(), ACK_LAST), 7u);
}

TEST(TopicSubscribeTest, FiveThousandBytesReachTheThreadAs2200And2200And600)
{
    TopicBench bench;
    Subscriber s(bench);
    std::string msg(5000, '\0');
    for (size_t i = 0; i < msg.size(); ++i)
        msg[i] = static_cast<char>(i * 7);
    for (int32 part = 0; part < 5; ++part)
    {
        DataSpec d;
        d.seq = static_cast<uint64>(part) + 1;
        d.part = part;
        d.more = part < 4;
        d.data = msg.substr(static_cast<size_t>(part) * 1200, 1200);
        ASSERT_EQ(s.feed(d), 0) << part;
        if (part < 4)
        {
            EXPECT_TRUE(drain(bench.harness().appNormal()).empty()) << "nothing before the last part";
        }
    }
    const std::vector<Delivered> out = drain(bench.harness().appNormal());
    ASSERT_EQ(out.size(), 3u);
    const size_t lens[] = {2200, 2200, 600};
    std::string joined;
    for (size_t i = 0; i < 3; ++i)
    {
        EXPECT_EQ(out[i].data.size(), lens[i]);
        EXPECT_EQ(out[i].part, static_cast<int32>(i));
        EXPECT_EQ(out[i].more, i < 2);
        EXPECT_EQ(out[i].topicSeq, 5u) << "the number of the message's last part";
        joined += out[i].data;
    }
    EXPECT_EQ(joined, msg);
}

TEST(TopicSubscribeTest, JoiningRefusesWhatCannotBeWhole)
{
    struct Step
    {
        int32 part;
        bool more;
        size_t len;
    };
    struct Case
    {
        const char* what;
        std::vector<Step> steps;
        int32 lastCode; // of the last step
        size_t delivered;
    };
    std::vector<Step> oversize;
    for (int32 p = 0; p < 28; ++p)
        oversize.push_back({p, true, 1200}); // 33600 bytes: past 32768
    const Case cases[] = {
        {"a later part without a first", {{1, true, 100}, {2, false, 100}}, 0, 0},
        {"a part missing in the middle", {{0, true, 100}, {2, false, 100}}, 0, 0},
        {"a new first part restarts", {{0, true, 100}, {0, false, 50}}, 0, 1},
        {"past the largest message", oversize, MSG_TOO_LARGE, 0},
    };
    for (const Case& c : cases)
    {
        TopicBench bench;
        Subscriber s(bench);
        int32 rc = 0;
        uint64 seq = 0;
        for (const Step& st : c.steps)
        {
            DataSpec d;
            d.seq = ++seq;
            d.part = st.part;
            d.more = st.more;
            d.data.assign(st.len, 'j');
            rc = s.feed(d);
        }
        if (c.lastCode == 0)
            EXPECT_EQ(rc, 0) << c.what;
        else
        {
            EXPECT_EQ(rc, -1) << c.what;
            EXPECT_EQ(FrameworkErrno::m_fwErrno, c.lastCode) << c.what;
        }
        EXPECT_EQ(s.sub.lastAcptMsgSeq, seq) << c.what << ": every part is accepted in sequence";
        EXPECT_EQ(drain(bench.harness().appNormal()).size(), c.delivered) << c.what;
    }
}

TEST(TopicSubscribeTest, AFullQueueParksInOrder)
{
    // Room for 16; the delivery keeps 11 free for events.
    TopicBench bench("", 16);
    Subscriber s(bench);
    uint64 seq = 0;
    for (int i = 0; i < 12; ++i)
    {
        DataSpec d;
        d.seq = ++seq;
        d.data = std::to_string(seq);
        ASSERT_EQ(s.feed(d), 0);
    }
    EXPECT_TRUE(s.topic->isMsgQueueCongested());
    // The thread hears of it once, on its other queue.
    std::vector<FwIntMessage> events;
    FwIntMessage m;
    bool more = true;
    while (bench.harness().appHigh().getMessage(&m, more) == 0)
        events.push_back(m);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].appMsg.event.id, MSG_QUEUE_CONGEST);

    std::vector<Delivered> got = drain(bench.harness().appNormal());
    ASSERT_FALSE(got.empty());
    // More arrive while the first ones are still parked: behind them.
    for (int i = 0; i < 3; ++i)
    {
        DataSpec d;
        d.seq = ++seq;
        d.data = std::to_string(seq);
        ASSERT_EQ(s.feed(d), 0);
    }
    for (int round = 0; round < 20 && got.size() < seq; ++round)
    {
        s.topic->processBufferedMsg();
        for (Delivered& d : drain(bench.harness().appNormal()))
            got.push_back(d);
    }
    ASSERT_EQ(got.size(), seq);
    for (size_t i = 0; i < got.size(); ++i)
        EXPECT_EQ(got[i].data, std::to_string(i + 1));
    EXPECT_FALSE(s.topic->isMsgQueueCongested());
}

// Publisher data past a gap waits until the gap is filled and is then
// delivered in order, each message once, stopping at the next hole; a
// stream that starts again below what is held never gets the held messages.
TEST(TopicSubscribeTest, DataAheadOfAGapIsDeliveredOnceTheGapIsFilled)
{
    TopicBench bench("", 256);
    Subscriber s(bench);
    auto feed = [&](uint64 seq) {
        DataSpec d;
        d.seq = seq;
        d.data = std::to_string(seq);
        return s.feed(d);
    };
    auto seqs = [&] {
        std::vector<uint64> out;
        for (const Delivered& d : drain(bench.harness().appNormal()))
            out.push_back(d.topicSeq);
        return out;
    };
    ASSERT_EQ(feed(1), 0);
    // 2 and 6 lost; 3 to 5 and 7 to 9 come ahead of them.
    for (uint64 seq : {3, 4, 5, 7, 8, 9, 4})
        EXPECT_NE(feed(seq), 0) << seq;
    EXPECT_EQ(seqs(), (std::vector<uint64>{1}));
    ASSERT_EQ(feed(2), 0);
    EXPECT_EQ(s.sub.lastAcptMsgSeq, 5u);
    EXPECT_EQ(seqs(), (std::vector<uint64>{2, 3, 4, 5}));
    // A resend of the whole range: only what was missing is new.
    for (uint64 seq = 3; seq <= 9; ++seq)
        feed(seq);
    EXPECT_EQ(seqs(), (std::vector<uint64>{6, 7, 8, 9}));
    ASSERT_EQ(feed(10), 0);
    EXPECT_EQ(seqs(), (std::vector<uint64>{10}));

    // Held: 13 and 14. The stream then starts again from 0.
    EXPECT_NE(feed(13), 0);
    EXPECT_NE(feed(14), 0);
    s.sub.lastAcptMsgSeq = 0;
    for (uint64 seq = 1; seq <= 13; ++seq)
        ASSERT_EQ(feed(seq), 0) << seq;
    const std::vector<uint64> again = seqs();
    ASSERT_EQ(again.size(), 13u);
    EXPECT_EQ(again.back(), 13u);
    EXPECT_EQ(s.sub.lastAcptMsgSeq, 13u) << "the old 14 is not taken";
}

// Live messages that arrive while a gap is recovered wait in the recovery
// ring; once the recovered ones caught up they are replayed, pausing when
// the thread's queue fills and going on from the same message.
TEST(TopicSubscribeTest, RecoveryRingReplaysIntoACongestedQueue)
{
    TopicBench bench("", 24);
    Subscriber s(bench, [](MsgTopicParam& p) {
        p.msgBufSizeInRecovery = 100;
        p.maxPubGapRecovery = 0;
    });
    auto msg = [](uint64 seq) {
        DataSpec d;
        d.seq = seq;
        d.data = std::to_string(seq);
        return d;
    };
    const timespec now{1700000000, 0};
    auto live = [&](uint64 seq) {
        uint64 gap = 0;
        const TopicMessage m = asMessage(dataDatagram(msg(seq)));
        const int32 rc = s.topic->processMessage(m, inet_addr("127.0.0.9"), now, 1, timespec{}, gap,
                                                 MessagingTopic::SRC_PUBLISHER, false);
        const int32 code = rc != 0 ? FrameworkErrno::m_fwErrno : 0;
        return s.topic->bufferMsgInRecovery(m, inet_addr("127.0.0.9"), now, 1, rc, code, gap);
    };
    std::vector<Delivered> got;
    ASSERT_EQ(live(1), 0);
    // 2 to 5 lost; the gap is being recovered.
    s.sub.onRecovery = true;
    s.sub.recoveryMode = NORMAL_RECOVERY;
    s.sub.endRecoverySeq = 5;
    for (uint64 seq = 6; seq <= 40; ++seq)
        live(seq);
    EXPECT_TRUE(s.topic->bufferingInRecovery());
    for (Delivered& d : drain(bench.harness().appNormal()))
        got.push_back(d);
    // The recovered messages come, the last of them ends the recovery and
    // starts the replay.
    for (uint64 seq = 2; seq <= 5; ++seq)
    {
        const TopicMessage m = asMessage(dataDatagram(msg(seq)));
        uint64 gap = 0;
        ASSERT_EQ(s.topic->processMessage(m, inet_addr("127.0.0.9"), now, 1, timespec{}, gap,
                                          MessagingTopic::SRC_PUBLISHER, false),
                  0);
        ASSERT_EQ(s.topic->replayBufferedMsgInRecovery(&m, now, 1, false, false), 0);
    }
    EXPECT_FALSE(s.sub.onRecovery);
    EXPECT_TRUE(s.topic->replayingInRecovery()) << "the queue filled: the replay waits";
    EXPECT_LT(s.sub.lastAcptMsgSeq, 40u);
    int rounds = 0;
    while (s.topic->replayingInRecovery() && rounds++ < 50)
    {
        for (Delivered& d : drain(bench.harness().appNormal()))
            got.push_back(d);
        ASSERT_EQ(s.topic->onTimerReplayBufferedMsgInRecovery(now, 1), 0);
    }
    EXPECT_GT(rounds, 1) << "more than one round";
    for (Delivered& d : drain(bench.harness().appNormal()))
        got.push_back(d);
    EXPECT_FALSE(s.topic->bufferingInRecovery());
    EXPECT_EQ(s.sub.lastAcptMsgSeq, 40u);
    ASSERT_EQ(got.size(), 40u);
    for (size_t i = 0; i < got.size(); ++i)
        EXPECT_EQ(got[i].data, std::to_string(i + 1));
}
} // namespace

// Nothing recovers a gap yet, so every message and heartbeat after one shows
// it again: it is counted each time and logged once.
int gGapLines = 0;
int32 countGapLines(int32, const char* format, va_list)
{
    gGapLines += std::strstr(format, "gap") != nullptr ? 1 : 0;
    return 0;
}

TEST(TopicSubscribeTest, AnOpenGapIsLoggedOnce)
{
    TopicBench bench;
    Subscriber s(bench);
    const LogTarget counting{countGapLines, [](int32) { return true; }};
    installLogTarget(&counting);
    gGapLines = 0;
    auto feed = [&](uint64 seq) {
        DataSpec d;
        d.seq = seq;
        uint64 gap = 0;
        return s.feed(dataDatagram(d), gap);
    };
    ASSERT_EQ(feed(1), 0);
    for (uint64 seq = 3; seq <= 40; ++seq)
        EXPECT_EQ(feed(seq), -1);
    uint64 gap = 0;
    EXPECT_EQ(s.feed(heartbeatDatagram("QUOTES", "PUBA", 50), gap), -1);
    EXPECT_FALSE(s.topic->gapIsNew());
    installLogTarget(nullptr);
    EXPECT_EQ(gGapLines, 1);
    EXPECT_EQ(s.topic->subscriberStats().gaps, 39u);
}
