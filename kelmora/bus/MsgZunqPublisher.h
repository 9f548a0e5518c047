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
#include <cstddef>
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
    // decoded message, on the feed thread. The common case (publisher ready,
    // the sub-feed in its slot, no verbose lines, a message whose sequence
    // number alone decides) reads one slot and the log's verbose switch;
    // everything else takes the whole rule out of line.
    [[gnu::always_inline]] bool publishMsgZunq(MsgZunq& msg, std::uint16_t subFeed)
    {
        // Read once: the atomic loads below would make the compiler read it again.
        const std::uint32_t seq = msg.mSeqNum;
        const Slot& slot = mSlots[subFeed & (cSlots - 1)];
        if (slot.mGate.load(std::memory_order_relaxed) != gate(subFeed, cReady)) [[unlikely]]
            return publishOffSlot(msg, subFeed);
        // Beyond the point's sequence number (so not message 0, whose key may
        // come from the current state; a point of 0/0 lets everything out),
        // or clearly below it. The rest, and verbose lines, take the whole rule.
        if (seq > slot.mPointSeq) [[likely]]
        {
            if (!mLog.isVerbose()) [[likely]]
            {
                publish(msg);
                return true;
            }
        }
        else if (seq < slot.mPointSeq && seq != 0 && !mForcePublish && !mLog.isVerbose())
            return true;
        return publishByRule(msg, *slot.mSubFeed);
    }

    void setForcePublish(bool on) { mForcePublish = on; }
    bool getForcePublish() const { return mForcePublish; }
    bool isActive() const { return (mState.load(std::memory_order_relaxed) & cActive) != 0; }
    void setActive(bool on) { changeState(cActive, on); }
    // The records are not to be used any more (their segment is going away).
    void setSeqNumNotValid() { changeState(cValid, false); }
    bool isSeqNumValid() const { return (mState.load(std::memory_order_relaxed) & cValid) != 0; }
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
    // recovery point and (without shared memory) the current state. An entry
    // exists only once a record is attached, so it always has a point.
    struct SubFeed
    {
        std::uint16_t mId;
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
            mRecoveryLow = low(mRecovery.mSubSeqNum, mRecovery.mZunqSeqNum);
        }
    };

    // A sub-feed's place in the slots is its id's low bits; a sub-feed whose
    // place is taken, like every sub-feed while the publisher is not ready,
    // goes the slow way. The gate holds the slot's sub-feed id and the
    // publisher's state, so that one load and compare admit a message: a
    // sub-feed id is 16 bits, so an empty slot's id matches none.
    static constexpr std::size_t cSlots = 8;
    static constexpr std::uint32_t cNoSubFeed = 0x10000;
    static constexpr std::uint64_t cActive = 1;
    static constexpr std::uint64_t cValid = 2;
    static constexpr std::uint64_t cReady = cActive | cValid;
    static constexpr std::uint64_t gate(std::uint32_t subFeed, std::uint64_t state) { return state << 32 | subFeed; }
    // The sub-feed's point sequence number is copied in, next to the gate.
    // 32 bytes: a slot's offset is one shift (and measured faster than 24).
    struct Slot
    {
        std::atomic<std::uint64_t> mGate{gate(cNoSubFeed, 0)};
        std::uint64_t mPointSeq = 0;
        const SubFeed* mSubFeed = nullptr;
        std::uint64_t mUnused = 0;
    };
    static_assert(sizeof(Slot) == 32);

    static std::uint64_t low(std::uint64_t subSeq, std::uint64_t zunqSeq)
    {
        return static_cast<std::uint64_t>(static_cast<std::uint32_t>(subSeq)) << 32 | zunqSeq;
    }

    SubFeed* find(std::uint16_t subFeed)
    {
        for (SubFeed& s : mSubFeeds)
            if (s.mId == subFeed)
                return &s;
        return nullptr;
    }
    const SubFeed* find(std::uint16_t subFeed) const { return const_cast<MsgZunqPublisher*>(this)->find(subFeed); }

    // Not ready, or a sub-feed outside the slots.
    [[gnu::noinline]] bool publishOffSlot(MsgZunq& msg, std::uint16_t subFeed);
    // The whole rule: a key from the current state, verbose lines.
    [[gnu::noinline]] bool publishByRule(MsgZunq& msg, const SubFeed& s);
    void changeState(std::uint64_t bit, bool on);
    void fillSlots();
    static void releaseGuardIfPassed(SubFeed& s);
    [[gnu::cold]] void logKey(const MsgZunq& msg, std::uint64_t seq, std::uint64_t subSeq, std::uint64_t zunqSeq,
                              const Numbers& recovery);
    [[gnu::cold]] void logPublished(const MsgZunq& msg);

    // Read for every message; the rest only on the slow ways.
    Slot mSlots[cSlots];
    Log& mLog;
    bool mForcePublish = false;
    bool mUseSharedMem = true;
    // cActive and cValid; each change reaches every slot's gate too.
    std::atomic<std::uint64_t> mState;
    std::vector<SubFeed> mSubFeeds;
};
