// The publishing side of a topic: parts and their numbers, a failed send
// given back or kept, concurrent sending threads under the baton, and the
// history the resends come from.
#include "FendralCore/tests/msltopics/TopicTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <set>
#include <thread>

namespace
{
using namespace topictest;

// Sent, or sent although nobody subscribes: both went out.
bool wentOut(int32 rc)
{
    return rc == 0 || FrameworkErrno::m_fwErrno == MSL_NO_SUBSCRIBER;
}

std::string pattern(size_t n, char seed)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>(seed + i % 97);
    return s;
}

TEST(TopicPublishTest, MessagesTravelInPartsOfAtMost1200Bytes)
{
    TopicBench bench;
    TopicRecord rec;
    auto topic = bench.publisher(bench.topic("QUOTES", PUBLISH), rec);
    struct Case
    {
        size_t len;
        std::vector<uint32_t> partLens;
    };
    const Case cases[] = {
        {0, {0}},
        {1200, {1200}},
        {1201, {1200, 1}},
        {5000, {1200, 1200, 1200, 1200, 200}},
    };
    uint64 before = 0;
    for (const Case& c : cases)
    {
        bench.data.clear();
        const std::string msg = pattern(c.len, 'a');
        uint64 seq = 0;
        ASSERT_TRUE(wentOut(topic->sendMessage(msg.data(), static_cast<uint32>(c.len), seq, 0, false, nullptr, 0,
                                               false)))
            << c.len;
        const std::vector<std::string> sent = bench.data.sent();
        ASSERT_EQ(sent.size(), c.partLens.size()) << c.len;
        std::string joined;
        for (size_t i = 0; i < sent.size(); ++i)
        {
            const std::string& d = sent[i];
            EXPECT_EQ(d.size(), 72 + 22 + c.partLens[i]) << c.len << " part " << i;
            EXPECT_EQ(u32At(d, CMD), 13u);
            EXPECT_EQ(u64At(d, SEQ), before + 1 + i) << c.len << " part " << i;
            EXPECT_EQ(u32At(d, BODY_LEN), 22 + c.partLens[i]);
            EXPECT_EQ(u32At(d, DATA_LEN), c.partLens[i]);
            EXPECT_EQ(u32At(d, PART), i);
            EXPECT_EQ(d[MORE], i + 1 < sent.size() ? 1 : 0) << c.len << " part " << i;
            joined += d.substr(DATA);
        }
        EXPECT_EQ(joined, msg) << c.len;
        EXPECT_EQ(seq, before + sent.size()) << "the number of the last part";
        before = seq;
    }
    EXPECT_EQ(rec.lastMsgSeq.load(), before);
}

TEST(TopicPublishTest, AFailedPartGivesTheMessageBackOnlyWhenRewinding)
{
    TopicBench bench;
    TopicRecord rec;
    auto topic = bench.publisher(bench.topic("QUOTES", PUBLISH), rec);
    const std::string first = pattern(100, 'f');
    uint64 seq = 0;
    ASSERT_TRUE(wentOut(topic->sendMessage(first.data(), 100, seq, 0, false, nullptr, 0, false)));
    ASSERT_EQ(seq, 1u);

    // Part 3 of 5 fails: rewinding, nothing of the message stays.
    const std::string msg = pattern(5000, 'm');
    bench.data.clear();
    bench.data.failAt = 3;
    EXPECT_EQ(topic->sendMessage(msg.data(), 5000, seq, 0, true, nullptr, 0, false), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, SOCK_ERROR);
    EXPECT_EQ(rec.lastMsgSeq.load(), 1u);
    EXPECT_EQ(seq, 1u);
    EXPECT_EQ(topic->history().getNumElem(), 1u);
    uint64 last = 0;
    EXPECT_EQ(topic->chkResendRange(1, last), 0);
    EXPECT_EQ(last, 1u);

    // The same message again takes the same numbers.
    bench.data.clear();
    bench.data.failAt = 0;
    ASSERT_TRUE(wentOut(topic->sendMessage(msg.data(), 5000, seq, 0, true, nullptr, 0, false)));
    EXPECT_EQ(seq, 6u);
    EXPECT_EQ(topic->history().getNumElem(), 6u);
    TopicMessage m{};
    for (int32 offset = 0; offset < 6; ++offset)
    {
        ASSERT_EQ(topic->history().peek(m, rec.lastMsgBufIdx, offset), 0);
        const uint64 got = m.hdr.seqNum;
        EXPECT_EQ(got, 6u - static_cast<uint64>(offset));
    }

    // Without rewinding the parts that went out keep their numbers.
    bench.data.clear();
    bench.data.failAt = 3;
    EXPECT_EQ(topic->sendMessage(msg.data(), 5000, seq, 0, false, nullptr, 0, false), -1);
    EXPECT_EQ(rec.lastMsgSeq.load(), 8u);
    EXPECT_EQ(seq, 8u);
    EXPECT_EQ(topic->history().getNumElem(), 8u);
}

#ifndef NDEBUG
TEST(TopicPublishDeathTest, OnlyTheFailedMessageMayTakeRewoundNumbers)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            TopicBench bench;
            TopicRecord rec;
            auto topic = bench.publisher(bench.topic("QUOTES", PUBLISH), rec);
            bench.data.failAt = 1;
            uint64 seq = 0;
            topic->sendMessage("first", 5, seq, 0, true, nullptr, 0, false);
            topic->sendMessage("other", 5, seq, 0, true, nullptr, 0, false);
        },
        "must be the one that failed");
}
#endif

// Threads sending at once: the numbers stay contiguous and each part is
// sent and kept once.
TEST(TopicPublishTest, EightSendingThreadsGetContiguousNumbers)
{
    constexpr int THREADS = 8;
    constexpr int PER_THREAD = 300;
    TopicBench bench;
    TopicRecord rec;
    auto topic = bench.publisher(
        bench.topic("QUOTES", PUBLISH, [](MsgTopicParam& p) { p.historyBufSize = THREADS * PER_THREAD * 2; }), rec);
    std::vector<std::vector<uint64>> seqs(THREADS);
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < PER_THREAD; ++i)
            {
                // One or two parts each.
                const std::string msg(i % 3 == 0 ? 1500 : 40, static_cast<char>('A' + t));
                uint64 seq = 0;
                int32 rc = -1;
                do
                    rc = topic->sendMessage(msg.data(), static_cast<uint32>(msg.size()), seq, 0, false, nullptr, 0,
                                            false);
                while (rc != 0 && FrameworkErrno::m_fwErrno == WOULD_BLOCK);
                EXPECT_TRUE(wentOut(rc));
                seqs[t].push_back(seq);
            }
        });
    for (std::thread& th : threads)
        th.join();

    const std::vector<std::string> sent = bench.data.sent();
    const uint64 total = rec.lastMsgSeq.load();
    ASSERT_EQ(sent.size(), total);
    // Each message's parts went out back to back, numbers in sending order.
    for (size_t i = 0; i < sent.size(); ++i)
        ASSERT_EQ(u64At(sent[i], SEQ), i + 1);
    for (size_t i = 0; i + 1 < sent.size(); ++i)
    {
        if (sent[i][MORE] == 1)
        {
            ASSERT_EQ(sent[i].substr(DATA, 1), sent[i + 1].substr(DATA, 1)) << "a part of another thread between";
        }
    }
    for (const auto& s : seqs)
        EXPECT_TRUE(std::is_sorted(s.begin(), s.end()));
    std::set<uint64> kept;
    TopicMessage m{};
    for (uint32 offset = 0; offset < topic->history().getNumElem(); ++offset)
    {
        ASSERT_EQ(topic->history().peek(m, rec.lastMsgBufIdx, static_cast<int32>(offset)), 0);
        const uint64 got = m.hdr.seqNum;
        kept.insert(got);
    }
    EXPECT_EQ(kept.size(), total);
    EXPECT_EQ(*kept.begin(), 1u);
    EXPECT_EQ(*kept.rbegin(), total);
}

TEST(TopicPublishTest, HistoryKeepsTheNewestAndResendsInSlices)
{
    TopicBench bench("MSG_PER_RESEND INT32 300\n");
    TopicRecord rec;
    auto topic = bench.publisher(bench.topic("QUOTES", PUBLISH, [](MsgTopicParam& p) { p.historyBufSize = 1000; }),
                                 rec);
    for (int i = 0; i < 1500; ++i)
    {
        uint64 seq = 0;
        ASSERT_TRUE(wentOut(topic->sendMessage("m", 1, seq, 0, false, nullptr, 0, false)));
    }
    uint64 last = 0;
    EXPECT_EQ(topic->chkResendRange(500, last), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, NO_SUCH_ENTRY);
    EXPECT_EQ(last, 0u);
    ASSERT_EQ(topic->chkResendRange(501, last), 0);
    EXPECT_EQ(last, 1500u);
    TopicMessage m{};
    ASSERT_EQ(topic->history().peek(m, rec.lastMsgBufIdx, 0), 0);
    uint64 got = m.hdr.seqNum;
    EXPECT_EQ(got, 1500u);
    ASSERT_EQ(topic->history().peek(m, rec.lastMsgBufIdx, 999), 0);
    got = m.hdr.seqNum;
    EXPECT_EQ(got, 501u);
    EXPECT_EQ(topic->history().peek(m, rec.lastMsgBufIdx, 1000), -1);

    // A slice of 300, flagged as resent and marked with the session.
    bench.data.clear();
    uint64 resent = 0;
    bool more = false;
    ASSERT_EQ(topic->resend(501, resent, more, 7), 0);
    EXPECT_TRUE(more);
    EXPECT_EQ(resent, 800u);
    const std::vector<std::string> sent = bench.data.sent();
    ASSERT_EQ(sent.size(), 300u);
    EXPECT_EQ(u64At(sent.front(), SEQ), 501u);
    EXPECT_EQ(sent.front()[RESEND], 1);
    EXPECT_EQ(static_cast<uint8_t>(sent.front()[89]), 7);

    // An entry overwritten after the range was checked ends the resend.
    ASSERT_EQ(topic->chkResendRange(501, last), 0);
    uint64 seq = 0;
    ASSERT_TRUE(wentOut(topic->sendMessage("m", 1, seq, 0, false, nullptr, 0, false)));
    EXPECT_EQ(topic->resend(501, resent, more, 7), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, NO_SUCH_ENTRY);
    EXPECT_EQ(resent, 0u);
}

TEST(TopicPublishTest, AcknowledgementsMakeSubscribersEffective)
{
    TopicBench bench;
    TopicRecord rec;
    auto topic = bench.publisher(bench.topic("QUOTES", PUBLISH), rec);
    for (int i = 0; i < 20; ++i)
    {
        uint64 seq = 0;
        topic->sendMessage("m", 1, seq, 0, false, nullptr, 0, false);
    }
    auto ack = [&](const char* app, int32 inst, uint64 last, uint8 flags, const char* addr) {
        TopicDataMsgAck a{};
        a.hdr.cmdType = TOPIC_MSG_ACK;
        std::memcpy(a.hdr.senderAppIdTxt, app, std::strlen(app));
        a.hdr.senderInstId = inst;
        a.hdr.bodyLen = 26;
        a.msgFlags = flags;
        a.lastSeqNumRcvd = last;
        return topic->processMsgAck(a, MslProtocol::appIdKey(a.hdr.senderAppIdTxt), inet_addr(addr), 1000);
    };
    // Beyond what was sent: ignored.
    EXPECT_EQ(ack("SUB1", 1, 21, 0, "127.0.0.1"), 0);
    EXPECT_EQ(rec.numEffectiveSub.load(), 0);
    EXPECT_EQ(topic->getSubscriberCnt(), 0);
    // Known from its subscription request, acknowledging in recovery: not
    // effective until it acknowledges without.
    EXPECT_EQ(topic->addSubscriberInfo(MslProtocol::appIdKey("SUB1\0\0\0\0"), 1, 0, inet_addr("127.0.0.1"), false, 0),
              1);
    EXPECT_EQ(ack("SUB1", 1, 10, TopicDataMsgAck::RECOVERY_FLAG, "127.0.0.1"), 0);
    EXPECT_EQ(topic->getSubscriberCnt(), 1);
    EXPECT_EQ(rec.numEffectiveSub.load(), 0);
    // Unknown and in recovery: entered, not effective.
    EXPECT_EQ(ack("SUB3", 1, 10, TopicDataMsgAck::RECOVERY_FLAG, "127.0.0.1"), 0);
    EXPECT_EQ(topic->getSubscriberCnt(), 2);
    EXPECT_EQ(rec.numEffectiveSub.load(), 0);
    EXPECT_EQ(ack("SUB1", 1, 10, 0, "127.0.0.1"), 0);
    EXPECT_EQ(rec.numEffectiveSub.load(), 1);
    EXPECT_EQ(rec.numRemoteSub.load(), 0);
    EXPECT_EQ(rec.numAckRcvd, 3);
    // A remote one at a higher position restarts the counter.
    EXPECT_EQ(ack("SUB2", 1, 15, 0, "10.1.1.1"), 0);
    EXPECT_EQ(rec.numEffectiveSub.load(), 2);
    EXPECT_EQ(rec.numRemoteSub.load(), 1);
    EXPECT_EQ(rec.lastAckedSeq.load(), 15u);
    EXPECT_EQ(rec.lastRemoteAckedSeq.load(), 15u);
    EXPECT_EQ(rec.numAckRcvd, 1);
    // Leaving takes it out of the counts.
    EXPECT_EQ(topic->removeSubscriberInfo(MslProtocol::appIdKey("SUB2\0\0\0\0"), 1, 0, inet_addr("10.1.1.1"), false),
              1);
    EXPECT_EQ(rec.numEffectiveSub.load(), 1);
    EXPECT_EQ(rec.numRemoteSub.load(), 0);
}
} // namespace
