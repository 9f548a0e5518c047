// The feed message publisher: what an attachment does to the record and the
// recovery point, the rule that keeps messages at or below the point from
// going out again, and a record in a real shared-memory pool carried from one
// process to the next.
#include "../host_bus/HostTestSupport.h"
#include "MsgHandlerTestSupport.h"

#include "kelmora/bus/MsgZunqPublisher.h"
#include "libstats/pool/ArrayBackedPool.h"

#include <gtest/gtest.h>

#include <thread>

#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

using mhtest::Kept;
using Zunq::Utils::ArrayBackedPool;
using Zunq::Utils::SeqNumStorageItem;

namespace
{

SeqNumStorageItem record(std::uint64_t seq, std::uint32_t subSeq, std::uint32_t zunqSeq, std::uint16_t resets = 0)
{
    SeqNumStorageItem item{};
    item.setName("A");
    item.mSeqNum = seq;
    item.mSubSeqNum = subSeq;
    item.mZunqSeqNum = zunqSeq;
    item.mNumSeqResets = resets;
    return item;
}

MsgZunq message(std::uint32_t seq, std::uint16_t subSeq, std::uint16_t zunqSeq)
{
    MsgZunq msg;
    msg.mSeqNum = seq;
    msg.mSubSeqNum = subSeq;
    msg.mZunqSeqNum = zunqSeq;
    msg.mSourceChannelId = 3;
    return msg;
}

class MsgZunqPublisherTest : public HostFixture
{
protected:
    void SetUp() override
    {
        HostFixture::SetUp();
        mChannel.subscribe(&mKept);
        mPublisher.setDestination(&mChannel);
    }
    void TearDown() override
    {
        mChannel.unsubscribe(&mKept);
        HostFixture::TearDown();
    }
    // The numbers of the messages that went out, as "seq/sub/zunq".
    std::vector<std::string> published()
    {
        std::vector<std::string> out;
        for (const auto& [name, msg] : mKept.taken())
            out.push_back(std::to_string(msg.mSeqNum) + "/" + std::to_string(msg.mSubSeqNum) + "/" +
                          std::to_string(msg.mZunqSeqNum));
        mKept.messages.clear();
        return out;
    }

    Orlu<MsgZunq> mChannel{"MsgZunq", ""};
    Kept<MsgZunq> mKept;
    MsgZunqPublisher mPublisher{mLog, true};
};

TEST_F(MsgZunqPublisherTest, AttachingMakesTheRecordsValuesTheRecoveryPointAndStartsItAfresh)
{
    SeqNumStorageItem item = record(100, 0, 7, 2);
    ASSERT_TRUE(mPublisher.addSubFeedSeqNum(5, &item));
    EXPECT_EQ(item.mSeqNum, 0u);
    EXPECT_EQ(item.mSubSeqNum, 0u);
    EXPECT_EQ(item.mZunqSeqNum, 7u);
    EXPECT_EQ(item.mNumSeqResets, 0u);
    std::uint64_t seq = 0, sub = 0, zunq = 0;
    ASSERT_TRUE(mPublisher.getRecoverySeqNums(5, seq, sub, zunq));
    EXPECT_EQ(seq, 100u);
    EXPECT_EQ(sub, 0u);
    EXPECT_EQ(zunq, 7u);
    std::uint16_t resets = 0;
    EXPECT_TRUE(mPublisher.getNumSeqResets(5, resets));
    EXPECT_EQ(resets, 2u);

    // A second record for the sub-feed is refused and changes nothing.
    SeqNumStorageItem other = record(500, 1, 1);
    EXPECT_FALSE(mPublisher.addSubFeedSeqNum(5, &other));
    EXPECT_FALSE(mPublisher.addSubFeedSeqNum(6, nullptr));
    EXPECT_EQ(other.mSeqNum, 500u);
    mPublisher.getRecoverySeqNums(5, seq, sub, zunq);
    EXPECT_EQ(seq, 100u);

    // The topic line's view of the point; an unknown channel has none.
    unsigned long topicSeq = 1, topicSub = 1;
    EXPECT_TRUE(mPublisher.getRecoverySeqNums(5, topicSeq, topicSub));
    EXPECT_EQ(topicSeq, 100u);
    EXPECT_FALSE(mPublisher.getRecoverySeqNums(9, topicSeq, topicSub));
    EXPECT_EQ(topicSeq, 0u);

    // The state the plug-in records lands in the record.
    EXPECT_TRUE(mPublisher.setSeqNums(5, 120, 3));
    EXPECT_TRUE(mPublisher.incNumSeqResets(5));
    EXPECT_EQ(item.mSeqNum, 120u);
    EXPECT_EQ(item.mSubSeqNum, 3u);
    EXPECT_EQ(item.mNumSeqResets, 1u);
    EXPECT_FALSE(mPublisher.setSeqNums(9, 1, 1));
}

TEST_F(MsgZunqPublisherTest, MessagesAtOrBelowTheRecoveryPointStayUnpublished)
{
    SeqNumStorageItem item = record(100, 0, 7);
    ASSERT_TRUE(mPublisher.addSubFeedSeqNum(5, &item));
    struct Case
    {
        std::uint32_t seq;
        std::uint16_t sub;
        std::uint16_t zunq;
        bool published;
    };
    const Case cases[] = {
        {100, 0, 7, false}, {100, 0, 8, true},  {101, 0, 0, true},  {99, 5, 9, false},
        {100, 0, 6, false}, {100, 1, 0, true},  {99, 0, 0, false},  {4000000000u, 0, 0, true},
        {1, 0, 0, false},   {0, 5, 9, false},
    };
    // The verbose switch only adds lines: the rule is the same without them.
    for (bool verbose : {false, true})
        for (bool forced : {false, true})
        {
            mLog.setVerbose(verbose);
            mPublisher.setForcePublish(forced);
            for (const Case& c : cases)
            {
                SCOPED_TRACE(std::to_string(c.seq) + "/" + std::to_string(c.sub) + "/" + std::to_string(c.zunq) +
                             (forced ? " forced" : "") + (verbose ? " verbose" : ""));
                MsgZunq msg = message(c.seq, c.sub, c.zunq);
                EXPECT_TRUE(mPublisher.publishMsgZunq(msg, 5));
                EXPECT_EQ(published().size(), c.published || forced ? 1u : 0u);
            }
        }
}

TEST_F(MsgZunqPublisherTest, EachSubFeedKeepsItsOwnPointWhateverItsId)
{
    mLog.setVerbose(false);
    // Ids that share their low bits, and one that does not.
    const std::uint16_t ids[] = {5, 13, 1029, 6};
    const std::uint64_t points[] = {100, 200, 300, 400};
    SeqNumStorageItem items[4];
    for (int i = 0; i < 4; ++i)
    {
        items[i] = record(points[i], 0, 0);
        ASSERT_TRUE(mPublisher.addSubFeedSeqNum(ids[i], &items[i]));
    }
    // Each sub-feed's point, and a point moved by recovery, decide for its messages only.
    auto send = [this](std::uint16_t id, std::initializer_list<std::uint32_t> seqs) {
        for (std::uint32_t seq : seqs)
        {
            MsgZunq msg = message(seq, 0, 0);
            EXPECT_TRUE(mPublisher.publishMsgZunq(msg, id)) << id << " " << seq;
        }
        return published();
    };
    using Seqs = std::vector<std::string>;
    EXPECT_EQ(send(5, {99, 100, 101, 201}), (Seqs{"101/0/0", "201/0/0"}));
    EXPECT_EQ(send(13, {101, 200, 201}), (Seqs{"201/0/0"}));
    EXPECT_EQ(send(1029, {201, 300, 301}), (Seqs{"301/0/0"}));
    EXPECT_EQ(send(6, {301, 401}), (Seqs{"401/0/0"}));
    MsgZunq stranger = message(500, 0, 0);
    EXPECT_FALSE(mPublisher.publishMsgZunq(stranger, 21));
    EXPECT_TRUE(published().empty());
    // Interleaved, as from a thread that serves several sub-feeds.
    EXPECT_EQ(send(13, {150}), Seqs{});
    EXPECT_EQ(send(5, {150}), Seqs{"150/0/0"});
    ASSERT_TRUE(mPublisher.setRecoverySeqNums(5, 500, 0));
    ASSERT_TRUE(mPublisher.setRecoverySeqNums(1029, 50, 0));
    EXPECT_EQ(send(5, {201, 500, 501}), (Seqs{"501/0/0"}));
    EXPECT_EQ(send(1029, {51, 301}), (Seqs{"51/0/0", "301/0/0"}));

    // Inactive, then records not valid: nothing on any sub-feed, and still done.
    for (bool valid : {true, false})
    {
        if (valid)
            mPublisher.setActive(false);
        else
            mPublisher.setSeqNumNotValid();
        for (std::uint16_t id : ids)
            EXPECT_EQ(send(id, {1000}), Seqs{}) << id << (valid ? " inactive" : " not valid");
        mPublisher.setActive(true);
    }
    EXPECT_FALSE(mPublisher.isSeqNumValid());
    EXPECT_TRUE(mPublisher.isActive());
}

TEST_F(MsgZunqPublisherTest, WhatIsPublishedBeforeAndWithoutAPoint)
{
    MsgZunq msg = message(1, 0, 0);
    // Nothing before any record is attached, nor while inactive: both count as done.
    EXPECT_TRUE(mPublisher.publishMsgZunq(msg, 5));
    EXPECT_FALSE(mPublisher.incNumSeqResets(5));
    SeqNumStorageItem fresh = record(0, 0, 3);
    ASSERT_TRUE(mPublisher.addSubFeedSeqNum(5, &fresh));
    mPublisher.setActive(false);
    EXPECT_TRUE(mPublisher.publishMsgZunq(msg, 5));
    EXPECT_TRUE(published().empty());
    mPublisher.setActive(true);

    // A point of 0/0 lets everything out, whatever the feed number.
    for (std::uint16_t zunq : {0, 3, 1})
    {
        MsgZunq m = message(1, 0, zunq);
        EXPECT_TRUE(mPublisher.publishMsgZunq(m, 5));
    }
    EXPECT_EQ(published(), (std::vector<std::string>{"1/0/0", "1/0/3", "1/0/1"}));
    // A sub-feed without a point is refused.
    EXPECT_FALSE(mPublisher.publishMsgZunq(msg, 6));
    EXPECT_TRUE(published().empty());
}

TEST_F(MsgZunqPublisherTest, AKeyFromTheCurrentStateNeverRepeatsTheMessageAtThePoint)
{
    SeqNumStorageItem item = record(100, 0, 7);
    ASSERT_TRUE(mPublisher.addSubFeedSeqNum(5, &item));
    MsgZunq unnumbered = message(0, 0, 9);

    // The current state (the record) is 0/0: below the point.
    EXPECT_TRUE(mPublisher.publishMsgZunq(unnumbered, 5));
    ASSERT_TRUE(mPublisher.setSeqNums(5, 100, 0));
    // At the point itself, whatever feed number the message carries.
    EXPECT_TRUE(mPublisher.publishMsgZunq(unnumbered, 5));
    EXPECT_TRUE(published().empty());
    ASSERT_TRUE(mPublisher.setSeqNums(5, 100, 1));
    EXPECT_TRUE(mPublisher.publishMsgZunq(unnumbered, 5));
    EXPECT_EQ(published(), std::vector<std::string>{"0/0/9"});

    // Without shared memory the publisher's own state, made at attachment:
    // a sub-feed attached before has none.
    mPublisher.setUseSharedMemory(false);
    EXPECT_FALSE(mPublisher.publishMsgZunq(unnumbered, 5));
    EXPECT_TRUE(published().empty());
    MsgZunqPublisher own(mLog, true);
    own.setDestination(&mChannel);
    own.setUseSharedMemory(false);
    SeqNumStorageItem second = record(100, 0, 7);
    ASSERT_TRUE(own.addSubFeedSeqNum(5, &second));
    EXPECT_TRUE(own.setSeqNums(5, 101, 0));
    EXPECT_EQ(second.mSeqNum, 0u);
    EXPECT_TRUE(own.publishMsgZunq(unnumbered, 5));
    EXPECT_EQ(published(), std::vector<std::string>{"0/0/9"});
    EXPECT_FALSE(own.publishMsgZunq(unnumbered, 6));
}

TEST_F(MsgZunqPublisherTest, RecordsNotValidAnyMoreAreNeitherReadNorWritten)
{
    SeqNumStorageItem item = record(100, 0, 7);
    ASSERT_TRUE(mPublisher.addSubFeedSeqNum(5, &item));
    // Whoever owns the records stops their users from its own thread.
    std::thread owner([this] { mPublisher.setSeqNumNotValid(); });
    owner.join();

    std::uint64_t seq = 42, sub = 43;
    EXPECT_FALSE(mPublisher.getSeqNums(5, seq, sub));
    EXPECT_EQ(seq, 42u);
    EXPECT_EQ(sub, 43u);
    EXPECT_FALSE(mPublisher.setSeqNums(5, 200, 0));
    EXPECT_FALSE(mPublisher.incNumSeqResets(5));
    MsgZunq msg = message(500, 0, 0);
    EXPECT_TRUE(mPublisher.publishMsgZunq(msg, 5));
    EXPECT_TRUE(published().empty());
    EXPECT_EQ(item.mSeqNum, 0u);
    EXPECT_EQ(item.mNumSeqResets, 0u);
}

// A pool of sequence records in a System V segment that outlives the process
// that made it; removed at the end of the test.
class SharedRecords
{
public:
    explicit SharedRecords(const TempDir& dir)
    {
        const std::string file = dir.write("keyfile", "");
        mKey = ftok(file.c_str(), 'S');
    }
    ~SharedRecords()
    {
        for (key_t key : {mKey, mKey + 2})
            if (const int id = shmget(key, 0, 0); id >= 0)
                shmctl(id, IPC_RMID, nullptr);
    }
    ArrayBackedPool<SeqNumStorageItem>* attach(Log& log)
    {
        int id = 0;
        return ArrayBackedPool<SeqNumStorageItem>::initShMem(mKey, id, 4, log, "FileRecoveryHandler_SeqNum", nullptr,
                                                             90);
    }
    // The record named `name`, taken from the pool when there is none.
    static SeqNumStorageItem* item(ArrayBackedPool<SeqNumStorageItem>& pool, const std::string& name)
    {
        for (long i = 0; i < pool.getTotalMaxEntries(); ++i)
        {
            SeqNumStorageItem* entry = pool.peekEntry(i);
            if (entry->mNext == -1 && entry->mPrev == -1 && name == entry->mName)
                return entry;
        }
        const long index = pool.getFreeIndex();
        if (index < 0)
            return nullptr;
        SeqNumStorageItem* entry = pool.getEntry(index);
        entry->setName(name);
        return entry;
    }

private:
    key_t mKey = -1;
};

TEST_F(MsgZunqPublisherTest, ARestartedProcessDoesNotRepeatWhatTheFirstPublished)
{
    TempDir dir;
    SharedRecords records(dir);

    // The first run publishes 1 to 100 on sub-feed 5, recording each, and ends.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
    {
        Log log;
        ArrayBackedPool<SeqNumStorageItem>* pool = records.attach(log);
        SeqNumStorageItem* item = pool != nullptr ? SharedRecords::item(*pool, "A") : nullptr;
        MsgZunqPublisher first(log, true);
        if (item == nullptr || !first.addSubFeedSeqNum(5, item))
            _exit(1);
        for (std::uint32_t seq = 1; seq <= 100; ++seq)
        {
            MsgZunq msg = message(seq, 0, 0);
            if (!first.publishMsgZunq(msg, 5) || !first.setSeqNums(5, seq, 0))
                _exit(2);
        }
        first.incNumSeqResets(5);
        _exit(ArrayBackedPool<SeqNumStorageItem>::detachShm(pool) == 0 ? 0 : 3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    // The second run finds the record by name; the first run's last message is its point.
    ArrayBackedPool<SeqNumStorageItem>* pool = records.attach(mLog);
    ASSERT_NE(pool, nullptr);
    EXPECT_EQ(pool->getNumEntries(), 1);
    SeqNumStorageItem* item = SharedRecords::item(*pool, "A");
    ASSERT_NE(item, nullptr);
    ASSERT_TRUE(mPublisher.addSubFeedSeqNum(5, item));
    std::uint16_t resets = 0;
    mPublisher.getNumSeqResets(5, resets);
    EXPECT_EQ(resets, 1u);
    for (std::uint32_t seq : {99u, 100u, 101u, 102u})
    {
        MsgZunq msg = message(seq, 0, 0);
        EXPECT_TRUE(mPublisher.publishMsgZunq(msg, 5));
    }
    EXPECT_EQ(published(), (std::vector<std::string>{"101/0/0", "102/0/0"}));
    EXPECT_EQ(ArrayBackedPool<SeqNumStorageItem>::detachShm(pool), 0);
}

} // namespace
