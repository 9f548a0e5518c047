#include "kelmora/bus/MsgZunqPublisher.h"

#include "zunq/log/Log.h"

#include <tuple>

MsgZunqPublisher::MsgZunqPublisher(Log& log, bool active)
    : OrluPublisher<MsgZunq>("MsgZunqPublisher"), mLog(log), mState(active ? cActive : 0)
{
}

MsgZunqPublisher::~MsgZunqPublisher() = default;

bool MsgZunqPublisher::addSubFeedSeqNum(std::uint16_t subFeed, SeqNumStorageItem* item)
{
    if (item == nullptr)
        return false;
    if (find(subFeed) != nullptr)
        return false;
    SubFeed* s = &mSubFeeds.emplace_back();
    *s = SubFeed{};
    s->mId = subFeed;
    s->mRecord = item;
    s->mRecovery.mSeqNum = item->mSeqNum;
    s->mRecovery.mSubSeqNum = item->mSubSeqNum;
    s->mRecovery.mZunqSeqNum = item->mZunqSeqNum;
    s->mRecovery.mNumSeqResets = item->mNumSeqResets;
    s->pointChanged();
    if (!mUseSharedMem)
    {
        s->mCurrent.mSeqNum = 0;
        s->mCurrent.mSubSeqNum = 0;
        s->mCurrent.mNumSeqResets = 0;
        s->mHasCurrent = true;
    }
    item->mSeqNum = 0;
    item->mSubSeqNum = 0;
    item->mNumSeqResets = 0;
    mState.fetch_or(cValid);
    fillSlots();
    return true;
}

void MsgZunqPublisher::fillSlots()
{
    // The entries may have moved. Until the gates agree with the state, a
    // change of state made meanwhile on another thread is made again here.
    for (;;)
    {
        const std::uint64_t state = mState.load();
        for (Slot& slot : mSlots)
        {
            slot.mSubFeed = nullptr;
            slot.mGate.store(gate(cNoSubFeed, state));
        }
        for (const SubFeed& s : mSubFeeds)
        {
            Slot& slot = mSlots[s.mId & (cSlots - 1)];
            if (slot.mSubFeed == nullptr)
            {
                slot.mSubFeed = &s;
                slot.mPointSeq = s.mRecovery.mSeqNum;
                slot.mGate.store(gate(s.mId, state));
            }
        }
        if (mState.load() == state)
            return;
    }
}

void MsgZunqPublisher::changeState(std::uint64_t bit, bool on)
{
    // The state first: a slot filled meanwhile takes it from there.
    if (on)
        mState.fetch_or(bit);
    else
        mState.fetch_and(~bit);
    for (Slot& slot : mSlots)
        if (on)
            slot.mGate.fetch_or(bit << 32);
        else
            slot.mGate.fetch_and(~(bit << 32));
}

bool MsgZunqPublisher::publishOffSlot(MsgZunq& msg, std::uint16_t subFeed)
{
    if (mState.load(std::memory_order_relaxed) != cReady)
        return true;
    const SubFeed* s = find(subFeed);
    if (s == nullptr)
        return false;
    return publishByRule(msg, *s);
}

bool MsgZunqPublisher::publishByRule(MsgZunq& msg, const SubFeed& s)
{
    std::uint64_t seq = msg.mSeqNum;
    std::uint64_t subSeq = msg.mSubSeqNum;
    // The current state has no feed sequence number: counting it as the
    // recovery point's keeps the message at the point from going out twice.
    std::uint64_t zunqSeq = msg.mZunqSeqNum;
    if ((seq | subSeq) == 0)
    {
        if (!getSeqNums(s.mId, seq, subSeq))
            return false;
        zunqSeq = s.mRecovery.mZunqSeqNum;
    }
    const bool verbose = mLog.verboseEnabled();
    if (verbose) [[unlikely]]
        logKey(msg, seq, subSeq, zunqSeq, s.mRecovery);
    // (sequence, sub-sequence, feed sequence) beyond the point, compared in that order.
    const bool beyond = s.mEverything || seq > s.mRecovery.mSeqNum ||
                        (seq == s.mRecovery.mSeqNum && low(subSeq, zunqSeq) > s.mRecoveryLow);
    if (!beyond && !mForcePublish)
        return true;
    if (verbose) [[unlikely]]
        logPublished(msg);
    publish(msg);
    return true;
}

bool MsgZunqPublisher::setSeqNums(std::uint16_t subFeed, std::uint64_t seqNum, std::uint64_t subSeqNum)
{
    SubFeed* s = find(subFeed);
    if (mUseSharedMem)
    {
        if (!isSeqNumValid() || s == nullptr || s->mRecord == nullptr)
            return false;
        s->mRecord->mSeqNum = seqNum;
        s->mRecord->mSubSeqNum = static_cast<std::uint32_t>(subSeqNum);
        if (s->mGuard != nullptr) [[unlikely]]
            releaseGuardIfPassed(*s);
        return true;
    }
    if (s == nullptr || !s->mHasCurrent)
        return false;
    s->mCurrent.mSeqNum = seqNum;
    s->mCurrent.mSubSeqNum = static_cast<std::uint32_t>(subSeqNum);
    return true;
}

bool MsgZunqPublisher::getSeqNums(std::uint16_t subFeed, std::uint64_t& seqNum, std::uint64_t& subSeqNum) const
{
    if (mUseSharedMem && !isSeqNumValid())
        return false;
    const SubFeed* s = find(subFeed);
    if (s != nullptr && mUseSharedMem && s->mRecord != nullptr)
    {
        seqNum = s->mRecord->mSeqNum;
        subSeqNum = s->mRecord->mSubSeqNum;
        return true;
    }
    if (s != nullptr && !mUseSharedMem && s->mHasCurrent)
    {
        seqNum = s->mCurrent.mSeqNum;
        subSeqNum = s->mCurrent.mSubSeqNum;
        return true;
    }
    seqNum = 0;
    subSeqNum = 0;
    return false;
}

bool MsgZunqPublisher::setRecoverySeqNums(std::uint16_t subFeed, std::uint64_t seqNum, std::uint64_t subSeqNum)
{
    SubFeed* s = find(subFeed);
    if (s == nullptr)
        return false;
    s->mRecovery.mSeqNum = seqNum;
    s->mRecovery.mSubSeqNum = static_cast<std::uint32_t>(subSeqNum);
    s->pointChanged();
    fillSlots();
    return true;
}

bool MsgZunqPublisher::getRecoverySeqNums(unsigned short subFeed, unsigned long& seqNum, unsigned long& subSeqNum)
{
    std::uint64_t zunqSeqNum = 0;
    std::uint64_t seq = 0;
    std::uint64_t sub = 0;
    const bool known = getRecoverySeqNums(static_cast<std::uint16_t>(subFeed), seq, sub, zunqSeqNum);
    seqNum = seq;
    subSeqNum = sub;
    return known;
}

bool MsgZunqPublisher::getRecoverySeqNums(std::uint16_t subFeed, std::uint64_t& seqNum, std::uint64_t& subSeqNum,
                                          std::uint64_t& zunqSeqNum) const
{
    const SubFeed* s = find(subFeed);
    if (s == nullptr)
    {
        seqNum = subSeqNum = zunqSeqNum = 0;
        return false;
    }
    seqNum = s->mRecovery.mSeqNum;
    subSeqNum = s->mRecovery.mSubSeqNum;
    zunqSeqNum = s->mRecovery.mZunqSeqNum;
    return true;
}

bool MsgZunqPublisher::getNumSeqResets(std::uint16_t subFeed, std::uint16_t& numSeqResets) const
{
    const SubFeed* s = find(subFeed);
    if (s == nullptr)
    {
        numSeqResets = 0;
        return false;
    }
    numSeqResets = s->mRecovery.mNumSeqResets;
    return true;
}

bool MsgZunqPublisher::incNumSeqResets(std::uint16_t subFeed)
{
    SubFeed* s = find(subFeed);
    if (!isSeqNumValid() || s == nullptr || s->mRecord == nullptr)
        return false;
    s->mRecord->mNumSeqResets = static_cast<std::uint16_t>(s->mRecord->mNumSeqResets + 1);
    if (s->mGuard != nullptr)
        releaseGuardIfPassed(*s);
    return true;
}

bool MsgZunqPublisher::setRecoveryPointGuard(SeqNumStorageItem* record, SeqNumStorageItem* guard)
{
    for (SubFeed& s : mSubFeeds)
        if (record != nullptr && s.mRecord == record)
        {
            s.mGuard = guard;
            return true;
        }
    return false;
}

void MsgZunqPublisher::releaseGuardIfPassed(SubFeed& s)
{
    const SeqNumStorageItem& r = *s.mRecord;
    SeqNumStorageItem& g = *s.mGuard;
    const bool passed = std::tuple(r.mNumSeqResets, r.mSeqNum, r.mSubSeqNum) >
                        std::tuple(g.mNumSeqResets, g.mSeqNum, g.mSubSeqNum);
    if (!passed)
        return;
    g.mSeqNum = 0;
    g.mSubSeqNum = 0;
    g.mZunqSeqNum = 0;
    g.mNumSeqResets = 0;
    s.mGuard = nullptr;
}

void MsgZunqPublisher::logKey(const MsgZunq& msg, std::uint64_t seq, std::uint64_t subSeq, std::uint64_t zunqSeq,
                              const Numbers& recovery)
{
    mLog.verbose() << "MsgZunqPublisher(" << msg.mSourceChannelId << ")::publishMsgZunq() message=" << msg.mSeqNum
                   << "/" << msg.mSubSeqNum << "/" << msg.mZunqSeqNum << " key=" << seq << "/" << subSeq << "/"
                   << zunqSeq << " recovery=" << recovery.mSeqNum << "/" << recovery.mSubSeqNum << "/"
                   << recovery.mZunqSeqNum;
}

void MsgZunqPublisher::logPublished(const MsgZunq& msg)
{
    mLog.verbose() << "MsgZunqPublisher::publishMsgZunq() MsgZunq Published message.mSeqNum=" << msg.mSeqNum
                   << " mSubSeqNum=" << msg.mSubSeqNum << " mZunqSeqNum=" << msg.mZunqSeqNum
                   << " Forced=" << (mForcePublish ? "true" : "false");
}
