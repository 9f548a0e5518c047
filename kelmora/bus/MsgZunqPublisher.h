// Publishes a sub-feed's decoded feed messages (MsgZunq) and keeps, per
// sub-feed id, the sequence state of what was published: sequence number,
// sub-sequence number, feed sequence number and the count of sequence resets.
//
// The state lives in a shared-memory record (SeqNumStorageItem) that outlives
// the process. Attaching a sub-feed's record turns the values it held into
// the sub-feed's recovery point and starts the record afresh; from then on a
// message at or below the recovery point is not published again (unless
// publishing is forced), so a restarted feed does not repeat itself. The
// plug-in records what it published with setSeqNums and incNumSeqResets; the
// publisher advances nothing itself. Until a record is attached nothing is
// published.
//
// A recovery-capable message handler derives from MessageHandler and this
// class together (MessageHandlerZunq); the topic line handler's factory reads
// the recovery point of a channel through module "MsgZunqPublisher" of its
// sub-feed.
//
// Thread: the sub-feed's session thread, or the thread that runs file
// recovery for it before the feed starts. setSeqNumNotValid may come from any
// thread (the owner of the records stops its users when it ends); it takes
// effect at the publisher's next call on its own thread, and the records stay
// attached until every thread has stopped. No locks.
#pragma once

#include "kelmora/bus/MsgZunq.h"
#include "kelmora/bus/SeqNumStorageItem.h"
#include "zunq/bus/OrluPublisher.h"
#include "zunq/log/Log.h"

#include <atomic>
#include <cstdint>
#include <vector>

class MsgZunqPublisher : public OrluPublisher<MsgZunq>
{
public:
    using SeqNumStorageItem = Zunq::Utils::SeqNumStorageItem;

    // An inactive publisher publishes nothing.
    MsgZunqPublisher(Log& log, bool active);
    ~MsgZunqPublisher() override;

    MsgZunqPublisher(const MsgZunqPublisher&) = delete;
    MsgZunqPublisher& operator=(const MsgZunqPublisher&) = delete;

    // Stores `item` for the sub-feed, takes its values as the recovery point
    // and starts it afresh (sequence, sub-sequence and resets 0; the feed
    // sequence number stays). Refused (false) for null or a sub-feed that has
    // a record already. Start-up only: it may allocate.
    bool addSubFeedSeqNum(std::uint16_t subFeed, SeqNumStorageItem* item);

    // The current state: with shared memory the attached record (only while
    // the records are valid), without it the publisher's own entry. A set or
    // get on an unknown sub-feed is false; a get then answers 0 and 0, except
    // that with shared memory and the records not valid it leaves them alone.
    bool setSeqNums(std::uint16_t subFeed, std::uint64_t seqNum, std::uint64_t subSeqNum);
    bool getSeqNums(std::uint16_t subFeed, std::uint64_t& seqNum, std::uint64_t& subSeqNum) const;

    // The recovery point; false (and zeros) for a sub-feed without one.
    bool setRecoverySeqNums(std::uint16_t subFeed, std::uint64_t seqNum, std::uint64_t subSeqNum);
    virtual bool getRecoverySeqNums(unsigned short subFeed, unsigned long& seqNum, unsigned long& subSeqNum);
    bool getRecoverySeqNums(std::uint16_t subFeed, std::uint64_t& seqNum, std::uint64_t& subSeqNum,
                            std::uint64_t& zunqSeqNum) const;
    bool getNumSeqResets(std::uint16_t subFeed, std::uint16_t& numSeqResets) const;
    // One more reset in the attached record; false while the records are not valid.
    bool incNumSeqResets(std::uint16_t subFeed);
    // `guard` keeps the recovery point of the sub-feed whose record is
    // `record` (the record itself starts afresh at attachment), so that a
    // process that ends before the feed has passed the point leaves it to
    // the next start. Once the record's (resets, sequence, sub-sequence)
    // passes the guard's, the guard is zeroed and let go. False when no
    // sub-feed has that record.
    bool setRecoveryPointGuard(SeqNumStorageItem* record, SeqNumStorageItem* guard);

    // Publishes `msg` on the destination unless it lies at or below the
    // sub-feed's recovery point. The key is the message's (sequence,
    // sub-sequence, feed sequence); when its first two are 0 they come from
    // the current state and the third counts as the recovery point's, so the
    // message at the point is not published twice. True, published or not,
    // when the rule could be applied (also while inactive or before any
    // attachment); false when the sub-feed has no current state for such a
    // message or no recovery point. The message is not changed.
    // Inlined into the caller, channel walk included: it runs for every
    // decoded message, on the feed thread.
    [[gnu::always_inline]] bool publishMsgZunq(MsgZunq& msg, std::uint16_t subFeed)
    {
        if (!mIsActive || !isSeqNumValid())
            return true;
        const SubFeed* s = find(subFeed);
        if (s == nullptr || !s->mHasRecovery) [[unlikely]]
            return false;
        std::uint64_t seq = msg.mSeqNum;
        std::uint64_t subSeq = msg.mSubSeqNum;
        // The current state has no feed sequence number: counting it as the
        // recovery point's keeps the message at the point from going out twice.
        std::uint64_t zunqSeq = msg.mZunqSeqNum;
        if ((seq | subSeq) == 0) [[unlikely]]
        {
            if (!getSeqNums(subFeed, seq, subSeq))
                return false;
            zunqSeq = s->mRecovery.mZunqSeqNum;
        }
        const bool verbose = mLog.verboseEnabled();
        if (verbose) [[unlikely]]
            logKey(msg, seq, subSeq, zunqSeq, s->mRecovery);
        // (sequence, sub-sequence, feed sequence) beyond the point, compared in that order.
        const std::uint64_t low = static_cast<std::uint64_t>(static_cast<std::uint32_t>(subSeq)) << 32 | zunqSeq;
        const bool beyond = s->mEverything || seq > s->mRecovery.mSeqNum ||
                            (seq == s->mRecovery.mSeqNum && low > s->mRecoveryLow);
        if (!beyond && !mForcePublish)
            return true;
        if (verbose) [[unlikely]]
            logPublished(msg);
        publish(msg);
        return true;
    }

    void setForcePublish(bool on) { mForcePublish = on; }
    bool getForcePublish() const { return mForcePublish; }
    bool isActive() const { return mIsActive; }
    void setActive(bool on) { mIsActive = on; }
    // The records are not to be used any more (their segment is going away).
    void setSeqNumNotValid() { mSeqNumIsValid.store(false, std::memory_order_relaxed); }
    bool isSeqNumValid() const { return mSeqNumIsValid.load(std::memory_order_relaxed); }
    void setUseSharedMemory(bool on) { mUseSharedMem = on; }
    bool getUseSharedMemory() const { return mUseSharedMem; }

private:
    // The numbers of a sequence record that the publisher keeps for itself.
    struct Numbers
    {
        std::uint64_t mSeqNum;
        std::uint32_t mSubSeqNum;
        std::uint32_t mZunqSeqNum;
        std::uint16_t mNumSeqResets;
    };
    // What the publisher knows of one sub-feed: the attached record, the
    // recovery point and (without shared memory) the current state. A handful
    // per publisher, one cache line each: a short list beats a hash.
    struct SubFeed
    {
        std::uint16_t mId;
        bool mHasRecovery;
        bool mHasCurrent;
        // The point is 0/0: every message goes out.
        bool mEverything;
        SeqNumStorageItem* mRecord;
        // Holds the recovery point in shared memory until the record passes it.
        SeqNumStorageItem* mGuard;
        Numbers mRecovery;
        // The point's sub-sequence and feed sequence numbers as one number, for the rule.
        std::uint64_t mRecoveryLow;
        Numbers mCurrent;

        void pointChanged()
        {
            mEverything = mRecovery.mSeqNum == 0 && mRecovery.mSubSeqNum == 0;
            mRecoveryLow = static_cast<std::uint64_t>(mRecovery.mSubSeqNum) << 32 | mRecovery.mZunqSeqNum;
        }
    };

    SubFeed* find(std::uint16_t subFeed)
    {
        for (SubFeed& s : mSubFeeds)
            if (s.mId == subFeed)
                return &s;
        return nullptr;
    }
    const SubFeed* find(std::uint16_t subFeed) const { return const_cast<MsgZunqPublisher*>(this)->find(subFeed); }

    static void releaseGuardIfPassed(SubFeed& s);
    [[gnu::cold]] void logKey(const MsgZunq& msg, std::uint64_t seq, std::uint64_t subSeq, std::uint64_t zunqSeq,
                              const Numbers& recovery);
    [[gnu::cold]] void logPublished(const MsgZunq& msg);

    std::vector<SubFeed> mSubFeeds;
    Log& mLog;
    bool mIsActive;
    std::atomic<bool> mSeqNumIsValid{false};
    bool mForcePublish = false;
    bool mUseSharedMem = true;
};
