#include "kelmora/filter/LineFilter.h"

#include "kelmora/filter/SpoolNodeArena.h"
#include "kelmora/linedata/LineDataBasic.h"
#include "kelmora/linedata/LineDataFactory.h"
#include "kelmora/linedata/LineDataFactoryBasic.h"
#include "kelmora/thread/TarvokSession.h"
#include "kelmora/thread/TarvokTimer.h"
#include "libstats/pool/ArrayBackedPool.h"
#include "zunq/log/Log.h"
#include "zunq/protocol/ZunqDumpUtils.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <exception>
#include <limits>
#include <map>
#include <typeinfo>

namespace
{
// Distance from b to a as 32-bit serial numbers: positive when a is ahead.
inline std::int64_t serialDiff(std::uint32_t a, std::uint32_t b)
{
    return static_cast<std::int32_t>(a - b);
}

struct SerialLess
{
    bool operator()(std::uint32_t a, std::uint32_t b) const { return serialDiff(a, b) < 0; }
};

std::string formatG(double value)
{
    char text[64];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

std::uint64_t toTicks(double seconds)
{
    if (!(seconds > 0.0))
        return 0;
    return static_cast<std::uint64_t>(seconds * 1000) / 100;
}

std::int64_t steadyNow()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

constexpr std::uint64_t cImplausibleLogEvery = 10000;
constexpr unsigned int cGapTickMs = 100;
} // namespace

// A record's sequencing fields, read once: one call through the record, two
// for a type other than the plain one.
struct Flags : LineData::SeqFields
{
    Flags() : LineData::SeqFields{0, true, false, false, false, false, false, false, false} {}
    explicit Flags(const LineData& data)
        : LineData::SeqFields(data.getSeqFields()), mBasic(isExactlyBasic(data)), mBlock(!mBasic && data.isBlockData())
    {
    }
    // The plain record type itself, whose answers the filter knows without
    // asking: not a block, and the next number is its own plus 1. A
    // comparison of type identities that misses only sends the record the
    // long way, through its virtual calls.
    static bool isExactlyBasic(const LineData& data) { return &typeid(data) == &typeid(LineDataBasic); }
    std::uint32_t nextSeqNum(const LineData& data) const { return mBasic ? mSeqNum + 1 : data.getNextSeqNum(); }
    bool mBasic = false;
    bool mBlock = false;
};

// What tells a control record from another without its number: its
// numbers, length and bytes, and the line it came from.
struct ControlCopy
{
    std::uint32_t mSeq = 0;
    std::uint32_t mNext = 0;
    std::uint32_t mLength = 0;
    std::uint64_t mPayloadHash = 0;
    std::uint64_t mSourceHash = 0;
    bool mUsed = false;

    bool sameRecord(const ControlCopy& o) const
    {
        return mSeq == o.mSeq && mNext == o.mNext && mLength == o.mLength && mPayloadHash == o.mPayloadHash;
    }
};

struct SpooledMessage : public Zunq::Utils::ArrayBackedPoolObject
{
    LineData* mData;
    // The copy's fields, kept so that processing it reads none again.
    Flags mFlags;
    std::uint64_t mInterval;
    // The stamp the record took from outside when spooled, for a copy
    // without one of its own (LineFilterImpl::stampOf).
    std::uint64_t mOuterStamp;
    bool mRetransRequested;
    bool mBlockData;
};

// Hidden: its calls to itself stay direct, not through the library's symbol table.
class __attribute__((visibility("hidden"))) LineFilter::LineFilterImpl : public TarvokTimerHandler
{
public:
    using Spool = std::map<std::uint32_t, SpooledMessage*, SerialLess,
                           SpoolNodeAllocator<std::pair<const std::uint32_t, SpooledMessage*>>>;

    LineFilterImpl(LineFilter& filter, const std::string& name, TarvokSession& session, Log& log,
                   LineDataFactory* factory, bool backup)
        : mFilter(filter), mName(name), mSession(session), mLog(log), mMessageSpool(SerialLess(), SpoolNodeAllocator<std::pair<const std::uint32_t, SpooledMessage*>>(&mSpoolArena)),
          mLineDataFactory(factory), mBackupLineEnabled(backup)
    {
    }

    ~LineFilterImpl() override
    {
        mGapTimer.destroy();
        mHeartbeatsControlTimer.destroy();
        for (auto& entry : mMessageSpool)
            releaseEntry(entry.second);
        mMessageSpool.clear();
        returnSpares(mLineDataFactory, mSpares[0]);
        returnSpares(mLineDataBasicFactory, mSpares[1]);
        if (mLineDataBasicFactory != nullptr)
            delete mLineDataBasicFactory;
    }

    // Records a released copy leaves behind, handed to the next copy instead
    // of going back to their factory: spooling then costs no factory call.
    // Last in, first out, so that the next copy lands in a warm record; a
    // few only, so that the filter keeps no more of a shared factory.
    struct Spares
    {
        static constexpr std::size_t cMax = 64;
        LineData* mRecords[cMax];
        std::size_t mCount = 0;
    };

    static void returnSpares(LineDataFactory* factory, Spares& spares)
    {
        while (spares.mCount != 0)
        {
            LineData* record = spares.mRecords[--spares.mCount];
            if (factory != nullptr)
                factory->destroy(record);
        }
    }

    // ---- publications
    void publishData(const LineData& data) { static_cast<OrluPublisher<LineData>&>(mFilter).publish(data); }
    void publishGap(std::uint32_t begin, std::uint32_t end)
    {
        static_cast<OrluPublisher<SeqNumGap>&>(mFilter).publish(SeqNumGap(begin, end, mFeedId.c_str()));
    }
    void publishRequest(std::uint32_t begin, std::uint32_t end, bool cancel)
    {
        static_cast<OrluPublisher<RetransRequest>&>(mFilter).publish(RetransRequest(begin, end, mFeedId.c_str(), cancel, 0));
    }
    void publishBatch(MsgPubAdmin::Action action)
    {
        mLog.verbose() << mName << (action == MsgPubAdmin::START_BATCH ? ": send MsgPubAdmin::START_BATCH\n" : ": send MsgPubAdmin::FLUSH\n");
        mMsgPubAdmin.setAction(action);
        static_cast<OrluPublisher<MsgPubAdmin>&>(mFilter).publish(mMsgPubAdmin);
    }

    // A record's source time; a message of a block that carries none of its
    // own (a text block's) has its block's, and a spooled copy the one it
    // was spooled with. The reset rules tell the numberings apart by it.
    std::uint64_t stampOf(const LineData& data) const
    {
        const std::uint64_t own = data.getSrcTimeInt64();
        return own != 0 ? own : outerStamp();
    }

    // Read only when asked: the in-order path only points at the block.
    std::uint64_t outerStamp() const
    {
        return mOuterRecord != nullptr ? stampOfOuter() : mOuterStamp;
    }

    std::uint64_t stampOfOuter() const
    {
        const std::uint64_t own = mOuterRecord->getSrcTimeInt64();
        return own != 0 ? own : mOuterStamp;
    }

    std::uint32_t impliedSeqNum(const Flags& flags) const
    {
        return flags.mSeqNum + (mHeartbeatsHavePrevSeqNum && flags.mIsHeartbeat ? 1 : 0);
    }

    // Ahead of the next expected number. At the start of the day (nothing
    // has given the expected number a value yet) the expected 0 is behind
    // every other number, whatever records without a number were published.
    std::int64_t distanceFromNext(std::uint32_t seq) const
    {
        if (mNextSeqNum == 0 && !mSequenced)
            return seq;
        return serialDiff(seq, mNextSeqNum);
    }

    void moveNext(std::uint32_t next)
    {
        mNextSeqNum = next;
        mSequenced = true;
    }

    // ---- record path
    void receive(const LineData& data, const std::string& source)
    {
        if (mIgnoreAllDataInSleepMode && mFhMode == MhMode::SLEEP)
            return;
        if (mChannelIsDead && !mResumeOnGapFill)
            return;
        mBlockData = false;
        checkLineData(data, source);
    }

    void dropAndCheck()
    {
        if (!mSpoolAll)
            checkMessageSpool();
    }

    // `InRetransmittedBlock`: a message of a block flagged as retransmitted.
    template <bool InRetransmittedBlock = false>
    void checkLineData(const LineData& data, const std::string& source)
    {
        if (mCheckEveryMessageInBlock && data.isBlockData())
        {
            mBlockData = true;
            const LineData* outer = mOuterRecord;
            mOuterRecord = &data;
            if (mSendPubFlushMsg)
                publishBatch(MsgPubAdmin::START_BATCH);
            std::deque<const LineData*>* messages = nullptr;
            data.getBlockData(messages);
            // The messages of a retransmitted packet are retransmissions,
            // whatever they say themselves: checked one by one they are
            // treated as the packet checked whole would be.
            if (messages != nullptr && data.isOriginal())
                for (const LineData* message : *messages)
                    checkLineData(*message, source);
            else if (messages != nullptr)
                for (const LineData* message : *messages)
                    checkLineData<true>(*message, source);
            mOuterRecord = outer;
            if (mSendPubFlushMsg)
                publishBatch(MsgPubAdmin::FLUSH);
            return;
        }

        if (mHandleBackwardSequenceReset) [[unlikely]]
        {
            const ResetStep step = backwardResetBookkeeping(data, source);
            if (step == ResetStep::Drop)
                return;
            if (step == ResetStep::DropAndCheck)
                return dropAndCheck();
        }

        Flags flags(data);
        if constexpr (InRetransmittedBlock)
            flags.mIsOriginal = false;
        const std::uint32_t implied = impliedSeqNum(flags);
        if (!flags.mIgnoreSeqNum && !flags.mIsSequenceReset && !flags.mIsHeartbeat &&
            (mLastReceivedSeqNum == 0 || serialDiff(implied, mLastReceivedSeqNum) > 0))
            mLastReceivedSeqNum = implied;

        if (flags.mIsHeartbeat && mHeartbeatsControlCycleTime != 0.0 && !mHeartbeatsControl)
            startHeartbeatsControl();
        if (mHeartbeatsControl)
            ++mDataReceived;

        if (!flags.mIsOriginal && (!mRetransActive || distanceFromNext(implied) < 0))
            return dropAndCheck();

        if (mAutoSeqNumResetDetect)
            autoResetDetect(implied);

        if (flags.mIsControl) [[unlikely]]
            return checkControl(data, flags, source, implied);
        const std::int64_t distance = distanceFromNext(implied);
        if (distance == 0 || flags.mIgnoreSeqNum) [[likely]]
            return processInOrder(data, flags);
        if (distance > 0)
            checkEarly(data, flags, source, implied, distance);
    }

    [[gnu::always_inline]] void processInOrder(const LineData& data, const Flags& flags)
    {
        if (!mSpoolAll) [[likely]]
        {
            if (mPublishWholeBlocks || !flags.mBlock) [[likely]]
                publishOne(data, flags);
            else
                processLineData(data, flags);
            if (!mSpoolAll)
                checkMessageSpoolIfAny();
        }
        else
        {
            std::uint32_t begin = 0, end = 0;
            spoolMessage(data, flags, begin, end);
        }
    }

    // A control record passes whatever its number, but a second line
    // delivers each one again. A numbered one behind the expected number was
    // had already, as a data record would be; a reset (whose number belongs
    // to the new numbering) or one without a number is known by its numbers
    // and bytes among the last ones published, when another line delivered
    // that one. A line repeating a record itself is heard each time.
    [[gnu::noinline]] void checkControl(const LineData& data, const Flags& flags, const std::string& source,
                                        std::uint32_t implied)
    {
        if (!flags.mIsSequenceReset && flags.mSeqNum != 0)
        {
            if (distanceFromNext(implied) < 0)
                return;
            return processInOrder(data, flags);
        }
        const ControlCopy copy = controlCopyOf(data, flags, source);
        for (ControlCopy& seen : mRecentControls)
            if (seen.mUsed && seen.sameRecord(copy) && seen.mSourceHash != copy.mSourceHash)
            {
                // Each copy stands for one delivery: a third line's is heard again.
                seen.mUsed = false;
                mLog.verbose() << mName << ": dropped control record [" << flags.mSeqNum << "] from source ["
                               << source << "], delivered first by another line\n";
                return;
            }
        if (!mSpoolAll)
        {
            mRecentControls[mRecentControlsNext] = copy;
            mRecentControlsNext = (mRecentControlsNext + 1) % mRecentControls.size();
        }
        processInOrder(data, flags);
    }

    static std::uint64_t fnv1a(const char* bytes, std::size_t length, std::uint64_t hash = 14695981039346656037ull)
    {
        for (std::size_t i = 0; i < length; ++i)
            hash = (hash ^ static_cast<unsigned char>(bytes[i])) * 1099511628211ull;
        return hash;
    }

    ControlCopy controlCopyOf(const LineData& data, const Flags& flags, const std::string& source) const
    {
        ControlCopy copy;
        copy.mSeq = flags.mSeqNum;
        copy.mNext = flags.nextSeqNum(data);
        copy.mLength = data.getDataLen();
        copy.mPayloadHash = data.getData() != nullptr ? fnv1a(data.getData(), data.getDataLen()) : 0;
        copy.mSourceHash = fnv1a(source.data(), source.size());
        copy.mUsed = true;
        return copy;
    }

    // Kept out of the in-order path, which then needs no frame for the logs.
    [[gnu::noinline]] void checkEarly(const LineData& data, const Flags& flags, const std::string& source,
                                      std::uint32_t implied, std::int64_t distance)
    {
        if (mLog.verboseEnabled()) [[unlikely]]
            mLog.verbose() << mName << ": out-of-sequence message(s): begin impliedSeqNum# " << implied << "\n";
        if (mMaxValidGapSize != 0 && mProcessedFirstData && static_cast<std::uint64_t>(distance) > mMaxValidGapSize)
        {
            // A genuine jump would stall the sub-feed here: say so, without flooding.
            if (mImplausibleDrops++ % cImplausibleLogEvery == 0)
                mLog.warning() << mName << ": dropped record " << implied << " as an implausible jump from expected "
                               << mNextSeqNum << " (LineFilterMaxValidGapSize " << mMaxValidGapSize << "), "
                               << mImplausibleDrops << " dropped so far\n";
            return dropAndCheck();
        }
        if (mDiscardForwardRetrans && !flags.mIsOriginal && (!mSpoolMaxSet || serialDiff(implied, mSpoolMaxSeqNum) > 0))
            return;
        // Between the new expected number and the number the reset left, a
        // record is the old numbering's come late, on any line: the reset's
        // own line may repeat one with a new stamp. A new record that early
        // is asked for again with its gap.
        if (mSequenceResetBeingProcessed && serialDiff(implied, mSeqNumBeforeReset) <= 0)
        {
            mLog.verbose() << mName << " suppressing retrans on sequence number [" << implied << "] from source [" << source
                           << "] as processing sequence reset and new next seq number is [" << mNextSeqNum << "]\n";
            return dropAndCheck();
        }
        std::uint32_t begin = 0, end = 0;
        const bool reported = spoolMessage(data, flags, begin, end);
        if (reported && mRetransActive && mRequestRetransTimeout == 0)
            requestUnderStartOfDayRule(begin, end);
        dropAndCheck();
    }

    void processLineData(const LineData& data) { processLineData(data, Flags(data)); }

    void processLineData(const LineData& data, const Flags& flags)
    {
        if (!mPublishWholeBlocks && flags.mBlock)
        {
            if (mSendPubFlushMsg)
                publishBatch(MsgPubAdmin::START_BATCH);
            std::deque<const LineData*>* messages = nullptr;
            data.getBlockData(messages);
            const LineData* outer = mOuterRecord;
            mOuterRecord = &data;
            if (messages != nullptr)
                for (const LineData* message : *messages)
                    processLineData(*message);
            mOuterRecord = outer;
            if (mSendPubFlushMsg)
                publishBatch(MsgPubAdmin::FLUSH);
            return;
        }
        publishOne(data, flags);
    }

    // One message under the admin lock; inline, so that the in-order path
    // reaches the channel without a further call.
    [[gnu::always_inline]] void publishOne(const LineData& data, const Flags& flags)
    {
        mAdminLock = true;
        mProcessedFirstData = true;
        try
        {
            publishData(data);
        }
        catch (const std::exception& e)
        {
            logPublishFailure(e, data);
        }
        advanceAfter(data, flags);
        if (!mAdminQueue.empty()) [[unlikely]]
            processAdminMsgs();
        mAdminLock = false;
    }

    [[gnu::cold, gnu::noinline]] void logPublishFailure(const std::exception& e, const LineData& data)
    {
        mLog.warning() << "LineHandlerFilterImpl::processLineData(): " << e.what() << "; data=("
                       << ZunqDumpUtils::writePeerBytes(data.getData(), data.getDataLen()) << ")\n";
    }

    void advanceAfter(const LineData& data, const Flags& flags)
    {
        // A plain record, the usual case, without a further call.
        if (!flags.mIgnoreSeqNum && !flags.mIsHeartbeat && !flags.mIsControl && !flags.mIsSequenceReset) [[likely]]
        {
            moveNext(flags.nextSeqNum(data));
            return;
        }
        advanceAfterMarked(data, flags);
    }

    [[gnu::noinline]] void advanceAfterMarked(const LineData& data, const Flags& flags)
    {
        if (flags.mIgnoreSeqNum || (flags.mIsHeartbeat && !mHeartbeatsHavePrevSeqNum))
            return;
        const std::uint32_t next = flags.nextSeqNum(data);
        const std::uint32_t before = mNextSeqNum;
        const bool wasSequenced = mSequenced;
        if (flags.mIsControl && !flags.mIsSequenceReset)
        {
            // A control record moves the expected number only forward; one
            // behind it (a control message carrying 0, say) leaves it alone.
            const std::uint32_t implied = impliedSeqNum(flags);
            const std::int64_t distance = distanceFromNext(implied);
            if (distance < 0)
                return;
            if (distance > 0)
                publishGap(mNextSeqNum, implied - 1);
            moveNext(next);
            return;
        }
        moveNext(next);
        if (flags.mIsSequenceReset) [[unlikely]]
            followReset(data, flags, before, wasSequenced);
    }

    // The reset is followed here, in order: only now does what comes after
    // it belong to the new numbering, and only now does backward-reset
    // handling start. Until then the old numbering's records, from any line
    // or a retransmission, still fill the gaps in front of it.
    [[gnu::cold, gnu::noinline]] void followReset(const LineData& reset, const Flags& flags, std::uint32_t before,
                                                  bool wasSequenced)
    {
        forgetRequests();
        const std::uint64_t stamp = stampOf(reset);
        const bool forward = !wasSequenced || serialDiff(mNextSeqNum, before) > 0;
        dropOldNumbering(flags.mSeqNum, stamp, forward);
        mLog.info() << mName << " Setting next expected seqnum to [" << mNextSeqNum << "]\n";
        if (mHandleBackwardSequenceReset && !mSequenceResetBeingProcessed && mLastReceivedSeqNum != 0)
        {
            mSequenceResetBeingProcessed = true;
            mSeqNumBeforeReset = flags.mSeqNum;
            mSequenceResetSrc = mLastResetSource;
            mSequenceResetTime = stamp;
            mLog.verbose() << mName << " entering backward sequence reset handling, last received sequence number ["
                           << mSeqNumBeforeReset << "] from source [" << mSequenceResetSrc << "] at time ["
                           << mSequenceResetTime << "]\n";
        }
    }

    // What waits in the spool from the old numbering would come out as the
    // new one's records. Spooled ahead of the reset but of the new numbering:
    // a record stamped after the reset, and, when the numbers went forward,
    // one numbered above the reset's own.
    void dropOldNumbering(std::uint32_t resetSeq, std::uint64_t stamp, bool forward)
    {
        std::size_t dropped = 0;
        bool maxSet = false;
        std::uint32_t max = 0;
        for (auto it = mMessageSpool.begin(); it != mMessageSpool.end();)
        {
            SpooledMessage* entry = it->second;
            const std::uint64_t own = entry->mData->getSrcTimeInt64();
            const bool stampedAfter = stamp != 0 && (own != 0 ? own : entry->mOuterStamp) > stamp;
            if (stampedAfter || (forward && serialDiff(it->first, resetSeq) > 0))
            {
                const std::uint32_t last = entry->mFlags.nextSeqNum(*entry->mData) - 1;
                if (!maxSet || serialDiff(last, max) > 0)
                    max = last;
                maxSet = true;
                ++it;
                continue;
            }
            it = mMessageSpool.erase(it);
            releaseEntry(entry);
            ++dropped;
        }
        mSpoolMaxSet = maxSet;
        mSpoolMaxSeqNum = max;
        if (dropped != 0)
            mLog.info() << mName << ": sequence reset drops " << dropped
                        << " spooled record(s) of the old numbering\n";
    }

    // ---- spool
    void ensurePool(unsigned long size)
    {
        if (mSpoolMessagePool != nullptr)
            return;
        const long capacity = size != 0 ? static_cast<long>(size) + 1 : static_cast<long>(mLimitSize);
        mSpoolMessagePool = std::make_unique<Zunq::Utils::ArrayBackedPool<SpooledMessage>>();
        mSpoolMessagePool->init(capacity, mLog, mName + "_SpoolMsgPool", 0);
        mSpoolArena.reserve(static_cast<std::size_t>(capacity));
        if (mLineDataFactory == nullptr)
            return;
        LineData* probe = mLineDataFactory->create();
        if (probe != nullptr && probe->isBlockData())
        {
            mLineDataBasicFactory = new LineDataFactoryBasic(mName + "_DataPool", mLog);
            mLineDataBasicFactory->setObjPoolSize(static_cast<std::uint32_t>(size != 0 ? size : mLimitSize));
        }
        if (probe != nullptr)
            mLineDataFactory->destroy(probe);
    }

    void releaseEntry(SpooledMessage* entry)
    {
        const bool fromBlock = entry->mBlockData && mLineDataBasicFactory != nullptr;
        if (entry->mData != nullptr)
        {
            Spares& spares = mSpares[fromBlock];
            if (spares.mCount < Spares::cMax) [[likely]]
                spares.mRecords[spares.mCount++] = entry->mData;
            else if (LineDataFactory* factory = fromBlock ? mLineDataBasicFactory : mLineDataFactory)
                factory->destroy(entry->mData);
        }
        entry->mData = nullptr;
        mSpoolMessagePool->freeIndex(entry->mIndex);
    }

    LineData* takeRecord(bool fromBlock)
    {
        Spares& spares = mSpares[fromBlock];
        if (spares.mCount != 0) [[likely]]
            return spares.mRecords[--spares.mCount];
        LineDataFactory* factory = fromBlock ? mLineDataBasicFactory : mLineDataFactory;
        return factory != nullptr ? factory->create() : nullptr;
    }

    // Returns true when a missing range was reported in begin/end.
    bool spoolMessage(const LineData& data, const Flags& flags, std::uint32_t& begin, std::uint32_t& end)
    {
        if (mChannelIsDead)
            return false;
        if (mSpoolMessagePool == nullptr) [[unlikely]]
            ensurePool(0);
        const std::uint32_t implied = impliedSeqNum(flags);
        begin = end = 0;
        // One walk of the index finds a held copy and the place for the new one.
        // Early records mostly arrive in order: past the last one held, the
        // place is the end, without a walk.
        auto place = !mMessageSpool.empty() && serialDiff(implied, mMessageSpool.rbegin()->first) > 0
                         ? mMessageSpool.end()
                         : mMessageSpool.lower_bound(implied);
        if (place != mMessageSpool.end() && place->first == implied)
        {
            if (!place->second->mFlags.mIsHeartbeat)
                return false;
            releaseEntry(place->second);
            place = mMessageSpool.erase(place);
        }
        const long index = mSpoolMessagePool->getFreeIndex();
        if (index < 0)
        {
            mLog.error() << mName << ": spool pool exhausted, record " << implied << " not kept\n";
            return false;
        }
        SpooledMessage* entry = mSpoolMessagePool->getEntry(index);
        const bool fromBlock = mBlockData && mLineDataBasicFactory != nullptr;
        LineData* copy = takeRecord(fromBlock);
        if (copy == nullptr) [[unlikely]]
        {
            mSpoolMessagePool->freeIndex(index);
            mLog.error() << mName << ": no record to spool into, record " << implied << " not kept\n";
            return false;
        }
        entry->mData = copy;
        entry->mBlockData = fromBlock;
        entry->mInterval = mLimitInterval;
        // The copy keeps its own stamp; reading it waits for a reset.
        entry->mOuterStamp = outerStamp();
        entry->mRetransRequested = false;
        *copy = data;
        entry->mFlags = flags;
        // The copy may be of another type than the record it copies.
        entry->mFlags.mBasic = Flags::isExactlyBasic(*copy);
        mMessageSpool.emplace_hint(place, implied, entry);

        bool reported = false;
        if (mSpoolMaxSet && serialDiff(mSpoolMaxSeqNum, implied) >= 0)
            return false;
        if (!mSpoolMaxSet || serialDiff(implied, mSpoolMaxSeqNum) > 1)
        {
            begin = mSpoolMaxSet ? mSpoolMaxSeqNum + 1 : mNextSeqNum;
            end = implied - 1;
            reported = true;
        }
        mSpoolMaxSeqNum = flags.nextSeqNum(data) - 1;
        mSpoolMaxSet = true;
        return reported;
    }

    // A range from 0 is read by a server as from 1, so it is asked for under
    // the start-of-day limit wherever it comes from.
    void requestUnderStartOfDayRule(std::uint32_t begin, std::uint32_t end)
    {
        if (begin != 0 || mLimitStartOfDay == 0)
            requestRetrans(begin, end);
        else if (end != 0 && end < static_cast<std::uint64_t>(mLimitStartOfDay))
            requestRetrans(0, end);
    }

    void requestRetrans(std::uint32_t begin, std::uint32_t end)
    {
        if (!mRetransActive)
            return;
        if (serialDiff(end, begin) < 0)
        {
            mLog.error() << "LineFilter: bad retrans request range: " << begin << "-" << end << "\n";
            return;
        }
        // A server may read (0, 0) as everything up to its last message: it
        // counts as asked, as it does after a reset.
        const bool sent = (begin == 0 && end == 0) || (mRetransMaxSet && serialDiff(end, mRetransMaxSeqNum) <= 0);
        if (sent)
        {
            mLog.verbose() << "LineFilter: not sending retransmission request because we have already sent a request for this range: "
                           << begin << "-" << end << "\n";
            return;
        }
        // The shutdown marker ends all asking, whatever the numbers.
        if (mRetransShutDown)
        {
            mLog.verbose() << "LineFilter: not sending retransmission request because the channel was shut down: "
                           << begin << "-" << end << "\n";
            return;
        }
        const std::uint32_t gap = end + 1 - begin;
        if (mRetransMaxGapSize != 0 && mRetransMaxGapSize < gap)
        {
            mLog.warning() << "LineFilter: not sending retransmission request because gap size [" << begin << "-" << end
                           << "] (" << gap << ") is larger than maximum configured (" << mRetransMaxGapSize << ")\n";
            return;
        }
        if (mLogRetrans || mLog.verboseEnabled())
            mLog.debug() << "LineFilter: sending retransmission request for range: " << begin << "-" << end << "\n";
        publishRequest(begin, end, false);
        mRetransMaxSeqNum = end;
        mRetransMaxSet = true;
    }

    std::uint64_t ageOf(const SpooledMessage* entry) const
    {
        // Never wraps: a retuned time limit restarts the clock of open gaps
        // instead of expiring them all at once.
        return mLimitInterval >= entry->mInterval ? mLimitInterval - entry->mInterval : 0;
    }

    std::int64_t spoolExcess() const { return mSpoolMaxSet ? serialDiff(mSpoolMaxSeqNum, mNextSeqNum) : 0; }

    enum class GapOutcome
    {
        End,
        Skip,
        SkipSilently
    };

    // Takes the head out of the spool, processes its copy and releases it.
    void processHead(Spool::iterator head, bool& announced, unsigned& processed)
    {
        const std::uint32_t seq = head->first;
        SpooledMessage* entry = head->second;
        mMessageSpool.erase(head);
        if (!announced)
        {
            mLog.info() << mName << ": Gap filled! Processing spooled messages from SeqNum [" << seq << "]\n";
            if (mResumeOnGapFill && mChannelIsDead)
            {
                mChannelIsDead = false;
                mLog.info() << mName << ": Live data processing is resumed.\n";
            }
            publishRequest(0, seq - 1, true);
        }
        if (mLog.verboseEnabled()) [[unlikely]]
            mLog.verbose() << mName << ": spooled seqNum == next seqNum (" << seq << "): processing...\n";
        const LineData* outer = mOuterRecord;
        const std::uint64_t outerStamp = mOuterStamp;
        mOuterRecord = nullptr;
        mOuterStamp = entry->mOuterStamp;
        processLineData(*entry->mData, entry->mFlags);
        mOuterRecord = outer;
        mOuterStamp = outerStamp;
        ++processed;
        announced = true;
        if (!mContinueProcessingAfterTimeOut && mLimitTimeoutOrig != 0 && mLimitTimeout == 0)
        {
            mLimitTimeout = mLimitTimeoutOrig;
            startGapTimer();
        }
        releaseEntry(entry);
    }

    // What checkMessageSpool does on an empty spool, without the call.
    void checkMessageSpoolIfAny()
    {
        if (!mMessageSpool.empty()) [[unlikely]]
            return checkMessageSpool();
        mSpoolMaxSet = false;
        mSpoolMaxSeqNum = 0;
    }

    void checkMessageSpool()
    {
        if (mMessageSpool.empty())
        {
            mSpoolMaxSet = false;
            mSpoolMaxSeqNum = 0;
            return;
        }
        if (mChannelIsDead && !mResumeOnGapFill)
        {
            releaseAll();
            return;
        }
        bool announced = false;
        unsigned processed = 0;
        std::uint32_t lastSeq = 0;
        while (!mMessageSpool.empty())
        {
            auto head = mMessageSpool.begin();
            const std::uint32_t seq = head->first;
            lastSeq = seq;
            const std::int64_t distance = distanceFromNext(seq);
            if (distance < 0)
            {
                mLog.info() << mName << ": spooled message with lower sequence number than expected: (" << seq << " < "
                            << mNextSeqNum << ")\n";
                SpooledMessage* entry = head->second;
                mMessageSpool.erase(head);
                releaseEntry(entry);
                continue;
            }
            if (distance == 0)
            {
                processHead(head, announced, processed);
                continue;
            }
            const GapOutcome outcome = applyGapRules(head->second, seq);
            if (outcome == GapOutcome::End)
                break;
            publishGap(mNextSeqNum, seq - 1);
            const SpooledMessage& headEntry = *head->second;
            moveNext(headEntry.mFlags.mIsHeartbeat && mHeartbeatsHavePrevSeqNum ? headEntry.mData->getNextSeqNum()
                                                                               : headEntry.mFlags.mSeqNum);
            mLog.verbose() << mName << "Setting next seq number to [" << mNextSeqNum << "]\n";
            processHead(head, announced, processed);
        }
        // Leaving the walk early (a gap still within its limits) asks again
        // for the next gap once something was drained.
        if (mMessageSpool.empty())
        {
            mSpoolMaxSet = false;
            mSpoolMaxSeqNum = 0;
        }
        else if (processed != 0)
            requestRetrans(mNextSeqNum, lastSeq - 1);
    }

    GapOutcome applyGapRules(SpooledMessage* entry, std::uint32_t seq)
    {
        if (mChannelIsDead)
            return GapOutcome::End;
        const std::uint64_t age = ageOf(entry);
        const bool sizeExceeded = mLimitSize != 0 && spoolExcess() > mLimitSize;
        if (mRequestRetransTimeout != 0 && age >= mRequestRetransTimeout && !entry->mRetransRequested)
        {
            if (age <= mLimitTimeout)
            {
                mLog.verbose() << mName << ": request retrans timeout\n";
                if (mRetransActive)
                    requestUnderStartOfDayRule(mNextSeqNum, seq - 1);
                entry->mRetransRequested = true;
                return GapOutcome::End;
            }
            return sizeExceeded ? sizeRule(seq, age) : timeRule(seq, age);
        }
        if (sizeExceeded)
            return sizeRule(seq, age);
        if (age <= mLimitTimeout)
            return GapOutcome::End;
        return timeRule(seq, age);
    }

    GapOutcome sizeRule(std::uint32_t seq, std::uint64_t age)
    {
        if (mFhMode == MhMode::SLEEP)
            return GapOutcome::SkipSilently;
        if (age > mLimitTimeout)
            return bothRule(seq, age);
        if (mGapShutdown && !mInDRRecovery)
        {
            if (static_cast<std::int64_t>(mMessageSpool.size()) < mLimitSize)
                return GapOutcome::End;
            mLog.severe() << mName << ": Irrecoverable gap [" << mNextSeqNum << "-" << (seq - 1)
                          << "]. Spool size exceeds limit of " << mLimitSize << " - shutting down channel\n";
            shutdownChannel();
            return GapOutcome::End;
        }
        mLog.error() << mName << ": permanently missed " << (seq - mNextSeqNum) << " (" << mNextSeqNum << "-" << (seq - 1)
                     << ") messages due to GapLimitSize\n";
        mLog.verbose() << mName << ": missed messages due to exceeding the LineFilterGapLimitSize of <" << mLimitSize
                       << "> expected next sequence number was <" << mNextSeqNum << "> spooledSeqNum <" << seq
                       << "> the highest spooled sequence number is now <" << mSpoolMaxSeqNum
                       << ">. The number of 100 ms intervals checked for timeout is set to <" << mLimitTimeout
                       << "> the time in queue is currently <" << age << "> 100 ms intervals.\n";
        return GapOutcome::Skip;
    }

    GapOutcome timeRule(std::uint32_t seq, std::uint64_t age)
    {
        if (mFhMode == MhMode::SLEEP)
            return GapOutcome::SkipSilently;
        if (spoolExcess() > mLimitSize)
            return bothRule(seq, age);
        if (!mContinueProcessingAfterTimeOut)
        {
            if (!mLogLastSet || serialDiff(seq, static_cast<std::uint32_t>(mLogLastSeqNum)) > 0)
            {
                mLogLastSeqNum = seq;
                mLogLastSet = true;
                mLog.error() << mName << ": missed " << (seq - mNextSeqNum) << " (" << mNextSeqNum << "-" << (seq - 1)
                             << ") messages, gap has been open for ( " << formatG(mLimitTimeoutOrig * 100 / 1000.0)
                             << " ) seconds\n";
                logTimeDetail(seq, age);
            }
            mLimitTimeout = 0;
            stopGapTimer();
            return GapOutcome::End;
        }
        if (mGapShutdown && !mInDRRecovery)
        {
            mLog.severe() << mName << ": Irrecoverable gap [" << mNextSeqNum << "-" << (seq - 1)
                          << "]. Gap time exceeded limit of " << mLimitTimeout << " 100ms intervals - shutting down channel\n";
            shutdownChannel();
            return GapOutcome::End;
        }
        mLog.error() << mName << ": permanently missed " << (seq - mNextSeqNum) << " (" << mNextSeqNum << "-" << (seq - 1)
                     << ") messages due to GapLimitTime, continuing to process from " << seq << "\n";
        logTimeDetail(seq, age);
        return GapOutcome::Skip;
    }

    GapOutcome bothRule(std::uint32_t seq, std::uint64_t age)
    {
        if (mGapShutdown && !mInDRRecovery)
        {
            mLog.severe() << mName << ": Irrecoverable gap [" << mNextSeqNum << "-" << (seq - 1)
                          << "]. Gap time exceeded limit of " << mLimitTimeout
                          << " 100ms intervals and spool size exceeded limit of " << mLimitSize
                          << " - shutting down channel\n";
            shutdownChannel();
            return GapOutcome::End;
        }
        mLog.error() << mName << ": permanently missed " << (seq - mNextSeqNum) << " (" << mNextSeqNum << "-" << (seq - 1)
                     << ") messages due to GapLimitTime and GapLimitSize\n";
        mLog.verbose() << mName
                       << ": Missed messages due to exceeding both LineFilterGapLimitSize and time. The LineFilterGapLimitSize is set to <"
                       << mLimitSize << "> expected next sequence number was <" << mNextSeqNum << "> spooledSeqNum <" << seq
                       << "> the highest spooled sequence number is now <" << mSpoolMaxSeqNum
                       << ">. The number of 100 ms intervals checked for timeout is set to <" << mLimitTimeout
                       << "> the time in queue is currently <" << age << "> 100 ms intervals.\n";
        return GapOutcome::Skip;
    }

    void logTimeDetail(std::uint32_t seq, std::uint64_t age)
    {
        mLog.verbose() << mName << ": missed messages due to exceeding the number of 100 ms intervals which is set to <"
                       << mLimitTimeout << ">. The time in queue is currently <" << age
                       << "> 100 ms intervals. The LineFilterGapLimitSize is set to <" << mLimitSize
                       << "> the expected next sequence number was <" << mNextSeqNum << "> spooledSeqNum <" << seq
                       << "> the highest spooled sequence number is now <" << mSpoolMaxSeqNum << ">.\n";
    }

    void shutdownChannel()
    {
        mChannelIsDead = true;
        if (!mResumeOnGapFill)
        {
            reset();
            requestRetrans(0xFFFFFFFFu, 0xFFFFFFFFu);
            mRetransShutDown = true;
        }
    }

    void releaseAll()
    {
        for (auto& entry : mMessageSpool)
            releaseEntry(entry.second);
        mMessageSpool.clear();
        mSpoolMaxSet = false;
        mSpoolMaxSeqNum = 0;
    }

    void clearMessageSpool()
    {
        mLog.info() << mName << ": clearing message spool: " << (mMessageSpool.empty() ? "empty" : "not empty") << "\n";
        releaseAll();
    }

    void reset()
    {
        clearMessageSpool();
        forgetRequests();
    }

    // ---- resets and admin
    enum class ResetStep
    {
        Continue,
        Drop,
        DropAndCheck
    };

    ResetStep backwardResetBookkeeping(const LineData& data, const std::string& source)
    {
        if (data.isSequenceReset())
        {
            if (mSequenceResetBeingProcessed)
            {
                mLog.verbose() << mName << " ignoring sequence reset from source [" << source << "] at time ["
                               << stampOf(data) << "]\n";
                return ResetStep::Drop;
            }
            // Handling starts when the reset is followed (followReset),
            // which may be later, from the spool.
            mLastResetSource = source;
            return ResetStep::Continue;
        }
        if (!mSequenceResetBeingProcessed)
            return ResetStep::Continue;
        const std::uint64_t srcTime = stampOf(data);
        const std::uint64_t limit = mBackwardSequenceResetTimeLimit;
        // Saturating: a limit past the end of the clock never expires.
        const bool expired = mSequenceResetTime <= std::numeric_limits<std::uint64_t>::max() - limit &&
                             srcTime > mSequenceResetTime + limit;
        if (!expired)
        {
            // Stamped before the reset: a record of the old numbering come
            // late, from any line. Its number would pass for a new one.
            if (srcTime != 0 && srcTime < mSequenceResetTime)
            {
                mLog.verbose() << mName << " dropping record [" << data.getSeqNum() << "] from source [" << source
                               << "] stamped [" << srcTime << "] before the sequence reset at ["
                               << mSequenceResetTime << "]\n";
                return ResetStep::DropAndCheck;
            }
            return ResetStep::Continue;
        }
        mSequenceResetBeingProcessed = false;
        mSequenceResetSrc.clear();
        mSeqNumBeforeReset = 0;
        mSequenceResetTime = 0;
        mLog.verbose() << mName << " moving out of sequence reset processing due to time limit [" << srcTime << "]\n";
        if (mRefreshOnSeqReset)
        {
            mLog.info() << mName << " received seq reset message. Sending Refresh Request for recovery from channel ["
                        << mFeedId << "]\n";
            RefreshRequest request;
            request.mChannelId = std::strtol(mFeedId.c_str(), nullptr, 10);
            request.mCancel = false;
            request.mSpoolRealtimeMessage = true;
            static_cast<OrluPublisher<RefreshRequest>&>(mFilter).publish(request);
            mLog.info() << mName << " Refresh Request for recovery from channel [" << mFeedId
                        << "] sent, clearing existing message spool\n";
            clearMessageSpool();
        }
        return ResetStep::Continue;
    }

    void autoResetDetect(std::uint32_t n)
    {
        if (mInAutoSeqNumDetectZone)
        {
            if (n >= mAutoSeqNumResetLow && n < mAutoSeqNumResetHigh)
                mInAutoSeqNumDetectZone = false;
            else if (n <= mAutoSeqNumResetLow)
            {
                mLog.info() << mName << ": Automatic Sequence Number Reset detected at [" << n << "]\n";
                setSeqNum(n - 1);
            }
        }
        else if (n >= mAutoSeqNumResetHigh)
            mInAutoSeqNumDetectZone = true;
    }

    void setSeqNum(std::uint32_t seq)
    {
        if (mLastSeqNumSetValid)
        {
            const std::int64_t now = mClock();
            const double elapsed = static_cast<double>(now - mLastSeqNumSetTime) / 1e9;
            mLog.verbose() << "Seconds since last (Re)Set-Sequence-Number = " << formatG(elapsed)
                           << " Minimum Seq Num Set Interval = " << formatG(mMinSeqNumSetInterval) << "\n";
            if (mMinSeqNumSetInterval > elapsed)
            {
                mLog.info() << "Ignoring duplicate Sequence-Number-(Re)Set: occurred within minimum sequence number (re)set interval\n";
                return;
            }
        }
        // Every accepted set starts the interval, the first one included.
        if (mMinSeqNumSetInterval != 0.0)
        {
            mLastSeqNumSetTime = mClock();
            mLastSeqNumSetValid = true;
        }
        mNextSeqNum = seq + 1;
        mSequenced = mNextSeqNum != 0;
        clearMessageSpool();
        mInAutoSeqNumDetectZone = false;
        forgetRequests();
    }

    // The numbers start again: the range asked before the reset says nothing
    // about the new one, and keeping it would refuse every request below it.
    void forgetRequests()
    {
        mRetransMaxSeqNum = 0;
        mRetransMaxSet = false;
        mRetransShutDown = false;
    }

    void onAdmin(const LineAdmin& admin)
    {
        if (mAdminLock)
            mAdminQueue.push_back(admin);
        else
            applyAdmin(admin);
    }

    void processAdminMsgs()
    {
        while (!mAdminQueue.empty())
        {
            const LineAdmin admin = mAdminQueue.front();
            mAdminQueue.pop_front();
            applyAdmin(admin);
        }
    }

    void applyAdmin(const LineAdmin& admin)
    {
        switch (admin.getAction())
        {
        case LineAdmin::NONE:
            mLog.warning() << mName << ": received LineAction of NONE\n";
            break;
        case LineAdmin::SET_SEQNUM:
            mLog.verbose() << mName << ": setting sequence number to: " << admin.getSeqNum() << "\n";
            setSeqNum(static_cast<std::uint32_t>(admin.getSeqNum()));
            forgetRequests();
            break;
        case LineAdmin::RESET:
            mLog.verbose() << mName << ": resetting monitors\n";
            reset();
            break;
        default:
            break;
        }
    }

    // ---- heartbeat control and timers
    // The timer is asked for on the session's thread; a refusal there is
    // logged by the timer itself.
    void startGapTimer()
    {
        mGapTimer.destroy();
        mGapTimerRunning = true;
        TarvokStatus status = mGapTimer.create(&mSession, this, cGapTickMs, nullptr);
        if (!status)
            mLog.warning() << mName << ": the gap timer could not be created (" << status.getContext()
                           << "); gaps do not age by time\n";
    }

    void stopGapTimer()
    {
        mGapTimer.destroy();
        mGapTimerRunning = false;
    }

    void onTimer(TarvokTimer* timer) override
    {
        // Without a backup line only the gap timer ages gaps: counting the
        // heartbeat timer's expiries too would skip gaps early.
        if (timer == &mGapTimer)
            gapTick();
        else if (timer == &mHeartbeatsControlTimer)
            heartbeatsCycleEnd();
    }

    void startHeartbeatsControl()
    {
        const auto period = static_cast<unsigned int>(mHeartbeatsControlCycleTime);
        TarvokStatus status = mHeartbeatsControlTimer.create(&mSession, this, period, nullptr);
        if (!status)
            mLog.warning() << mName << ": the heartbeat control timer of " << period << " ms could not be created ("
                           << status.getContext() << "); no switch to the backup line will be asked for\n";
        mLog.info() << " LineFilter::LineFilterImpl::startHeartbeartsTimer() - First heartbeat has been received";
        mHeartbeatsControl = true;
        mDataReceived = static_cast<std::uint64_t>(mHeartbeatsExpectedPerCycle);
    }

    void gapTick()
    {
        // While a refresh holds the channel its gaps wait for the snapshot:
        // they neither age nor are given up, and the time held does not
        // count against their limit once it is over.
        if (!mGapTimerRunning || mSpoolAll)
            return;
        ++mLimitInterval;
        checkMessageSpool();
    }

    void heartbeatsCycleEnd()
    {
        // Without a backup line this timer has nothing to do; it must not
        // age gaps, which would skip them early.
        if (!mBackupLineEnabled || !mHeartbeatsControl)
            return;
        if (mHeartbeatsExpectedPerCycle > static_cast<double>(mDataReceived))
        {
            mLog.warning() << "LineFilter::LineFilterImpl::onTimer() - Not enough heartbeats received in line. Switching line.";
            static_cast<OrluPublisher<BackupLineChange>&>(mFilter).publish(BackupLineChange());
        }
        mDataReceived = 0;
    }

    LineFilter& mFilter;
    std::string mName;
    TarvokSession& mSession;
    Log& mLog;
    std::string mFeedId;
    std::int64_t mLimitSize = 200;
    std::int64_t mLimitStartOfDay = 1000;
    std::uint64_t mLimitInterval = 0;
    std::uint64_t mLimitTimeout = 0;
    std::uint64_t mLimitTimeoutOrig = 0;
    std::int64_t mLogLastSeqNum = 0;
    bool mLogLastSet = false;
    bool mGapShutdown = false;
    bool mContinueProcessingAfterTimeOut = true;
    std::uint64_t mRequestRetransTimeout = 0;
    std::uint32_t mNextSeqNum = 0;
    // The expected number was given a value, by a record or a set: past
    // that, 0 is an ordinary number (after 2^32) and no longer the start of day.
    bool mSequenced = false;
    bool mPublishWholeBlocks = false;
    bool mAdminLock = false;
    std::deque<LineAdmin> mAdminQueue;
    SpoolNodeArena mSpoolArena;
    Spool mMessageSpool;
    TarvokTimer mGapTimer;
    bool mGapTimerRunning = false;
    std::uint32_t mSpoolMaxSeqNum = 0;
    bool mSpoolMaxSet = false;
    bool mRetransActive = false;
    bool mDiscardForwardRetrans = false;
    std::uint64_t mRetransMaxGapSize = 500;
    std::uint32_t mRetransMaxSeqNum = 0;
    bool mRetransMaxSet = false;
    // The shutdown marker was sent: nothing is asked until a reset.
    bool mRetransShutDown = false;
    bool mCheckEveryMessageInBlock = false;
    bool mLogRetrans = false;
    bool mHeartbeatsHavePrevSeqNum = true;
    bool mIgnoreAllDataInSleepMode = false;
    double mMinSeqNumSetInterval = 0.0;
    std::int64_t mLastSeqNumSetTime = 0;
    bool mLastSeqNumSetValid = false;
    Clock mClock = steadyNow;
    bool mAutoSeqNumResetDetect = false;
    bool mInAutoSeqNumDetectZone = false;
    std::uint32_t mAutoSeqNumResetHigh = 0xFFFFFFFFu;
    std::uint32_t mAutoSeqNumResetLow = 0;
    std::uint64_t mMaxValidGapSize = 0;
    std::uint64_t mImplausibleDrops = 0;
    bool mProcessedFirstData = false;
    MhMode::Mode mFhMode = MhMode::UNKNOWN;
    bool mSendPubFlushMsg = false;
    MsgPubAdmin mMsgPubAdmin;
    bool mInDRRecovery = false;
    bool mHandleBackwardSequenceReset = false;
    std::uint64_t mBackwardSequenceResetTimeLimit = 0;
    bool mSequenceResetBeingProcessed = false;
    std::uint32_t mSeqNumBeforeReset = 0;
    std::string mSequenceResetSrc;
    // The line that last delivered a reset; a reset followed from the spool
    // is logged with it.
    std::string mLastResetSource;
    std::uint64_t mSequenceResetTime = 0;
    std::uint64_t mLimitTimeoutBackup = 0;
    std::int64_t mLimitSizeBackup = 200;
    std::uint32_t mLastReceivedSeqNum = 0;
    bool mSpoolAll = false;
    LineDataFactory* mLineDataFactory;
    bool mBlockData = false;
    // What a record without a stamp of its own takes it from (stampOf): the
    // block it came in, else the stamp its spool entry kept.
    const LineData* mOuterRecord = nullptr;
    std::uint64_t mOuterStamp = 0;
    bool mChannelIsDead = false;
    bool mResumeOnGapFill = false;
    std::uint64_t mDataReceived = 0;
    TarvokTimer mHeartbeatsControlTimer;
    double mHeartbeatsControlCycleTime = 0.0;
    bool mHeartbeatsControl = false;
    double mHeartbeatsExpectedPerCycle = 0.0;
    bool mRefreshOnSeqReset = false;
    bool mBackupLineEnabled;
    std::unique_ptr<Zunq::Utils::ArrayBackedPool<SpooledMessage>> mSpoolMessagePool;
    LineDataFactoryBasic* mLineDataBasicFactory = nullptr;
    // [0] from the record factory, [1] from the basic one that block messages use.
    Spares mSpares[2];
    // The last control records published that carry no number of the
    // current numbering (resets and those without one), to know another
    // line's copy.
    std::array<ControlCopy, 16> mRecentControls{};
    std::size_t mRecentControlsNext = 0;
};

LineFilter::LineFilter(const std::string& name, TarvokSession& session, Log& log, LineDataFactory* factory,
                       bool backupLineEnabled)
    : OrluSubscriber<LineData>(name), OrluSubscriber<LineAdmin>(name), OrluSubscriber<MsgStartOfDay>(name),
      OrluSubscriber<MhMode>(name), OrluPublisher<LineData>(name), OrluPublisher<RetransRequest>(name),
      OrluPublisher<SeqNumGap>(name), OrluPublisher<MsgPubAdmin>(name), OrluPublisher<BackupLineChange>(name),
      OrluPublisher<RefreshRequest>(name), mImpl(std::make_unique<LineFilterImpl>(*this, name, session, log, factory, backupLineEnabled))
{
}

LineFilter::~LineFilter() = default;

void LineFilter::onData(const Orlu<LineData>&, const std::string& source, const LineData& data) { mImpl->receive(data, source); }
void LineFilter::onData(const Orlu<LineAdmin>&, const std::string&, const LineAdmin& admin) { mImpl->onAdmin(admin); }
void LineFilter::onData(const Orlu<MsgStartOfDay>&, const std::string&, const MsgStartOfDay&) { mImpl->mProcessedFirstData = false; }
void LineFilter::onData(const Orlu<MhMode>&, const std::string&, const MhMode& mode) { mImpl->mFhMode = mode.getMode(); }

void LineFilter::onGapTimer() { mImpl->gapTick(); }
void LineFilter::onHeartbeatsControlTimer() { mImpl->heartbeatsCycleEnd(); }
bool LineFilter::isGapTimerRunning() const { return mImpl->mGapTimerRunning; }
bool LineFilter::isHeartbeatsControlRunning() const { return mImpl->mHeartbeatsControl; }

void LineFilter::setFeedId(const std::string& feedId) { mImpl->mFeedId = feedId; }
void LineFilter::setRetransActive(bool on) { mImpl->mRetransActive = on; }
void LineFilter::setDiscardForwardRetrans(bool on) { mImpl->mDiscardForwardRetrans = on; }
void LineFilter::setRetransMaxGapSize(unsigned long size) { mImpl->mRetransMaxGapSize = size; }

void LineFilter::setGapLimitSize(unsigned long size)
{
    LineFilterImpl& impl = *mImpl;
    impl.mLog.info() << "LineFilter::setGapLimitSize - Setting to " << size << "\n";
    impl.ensurePool(size);
    impl.mLimitSizeBackup = static_cast<std::int64_t>(size);
    // Disaster recovery suspends the size limit: keep the new one for its end.
    if (!impl.mInDRRecovery)
        impl.mLimitSize = static_cast<std::int64_t>(size);
}

void LineFilter::setGapLimitStartOfDay(unsigned long size) { mImpl->mLimitStartOfDay = static_cast<std::int64_t>(size); }

void LineFilter::setGapLimitTime(double seconds)
{
    LineFilterImpl& impl = *mImpl;
    impl.mLimitInterval = 0;
    impl.mLimitTimeout = impl.mLimitTimeoutBackup = toTicks(seconds);
    if (impl.mLimitTimeout != 0)
        impl.startGapTimer();
    else
        impl.stopGapTimer();
}

void LineFilter::setGapLimitTimeOriginal(double seconds) { mImpl->mLimitTimeoutOrig = toTicks(seconds); }
void LineFilter::setGapShutdown(bool on) { mImpl->mGapShutdown = on; }
void LineFilter::setResumeOnGapFill(bool on) { mImpl->mResumeOnGapFill = on; }
void LineFilter::setRequestRetransTime(double seconds) { mImpl->mRequestRetransTimeout = toTicks(seconds); }
void LineFilter::setCheckEveryMessageInBlock(bool on) { mImpl->mCheckEveryMessageInBlock = on; }
void LineFilter::setLogRetrans(bool on) { mImpl->mLogRetrans = on; }
void LineFilter::setContinueProcessingAfterTimeOut(bool on) { mImpl->mContinueProcessingAfterTimeOut = on; }
void LineFilter::setSendPubFlushMsg(bool on) { mImpl->mSendPubFlushMsg = on; }
void LineFilter::setHeartbeatsHavePrevSeqNum(bool on) { mImpl->mHeartbeatsHavePrevSeqNum = on; }
void LineFilter::setIgnoreAllDataInSleepMode(bool on) { mImpl->mIgnoreAllDataInSleepMode = on; }
void LineFilter::setMinSeqNumberSetInterval(double seconds) { mImpl->mMinSeqNumSetInterval = seconds; }

void LineFilter::setAutoSeqNumberResetDetect(bool on)
{
    mImpl->mAutoSeqNumResetDetect = on;
    mImpl->mInAutoSeqNumDetectZone = false;
}

void LineFilter::setAutoSeqNumberResetHighWater(unsigned int mark) { mImpl->mAutoSeqNumResetHigh = mark; }
void LineFilter::setAutoSeqNumberResetLowWater(unsigned int mark) { mImpl->mAutoSeqNumResetLow = mark; }
void LineFilter::setRefreshOnSeqReset(bool on) { mImpl->mRefreshOnSeqReset = on; }
void LineFilter::setPublishWholeBlocks(bool on) { mImpl->mPublishWholeBlocks = on; }
void LineFilter::setHandleBackwardSequenceReset(bool on) { mImpl->mHandleBackwardSequenceReset = on; }
void LineFilter::setBackwardSequenceResetTimeLimit(long limit) { mImpl->mBackwardSequenceResetTimeLimit = static_cast<std::uint64_t>(limit); }
void LineFilter::setHeartbeatsControlTime(double milliseconds) { mImpl->mHeartbeatsControlCycleTime = milliseconds; }
void LineFilter::setNumberHeartbeatsPerControlTime(double count) { mImpl->mHeartbeatsExpectedPerCycle = count; }

void LineFilter::setMaxValidGapSize(unsigned long size)
{
    mImpl->mLog.info() << "LineFilter::setMaxValidGapSize - size=" << size << "\n";
    mImpl->mMaxValidGapSize = size;
}

void LineFilter::setFhMode(MhMode::Mode mode) { mImpl->mFhMode = mode; }

void LineFilter::setInDRRecovery(bool on)
{
    LineFilterImpl& impl = *mImpl;
    if (on == impl.mInDRRecovery)
        return;
    impl.mInDRRecovery = on;
    if (on)
    {
        impl.mLimitTimeoutBackup = impl.mLimitTimeout;
        impl.mLimitTimeout = std::numeric_limits<std::uint64_t>::max();
        impl.mLimitSizeBackup = impl.mLimitSize;
        impl.mLimitSize = 0;
    }
    else
    {
        impl.mLimitTimeout = impl.mLimitTimeoutBackup;
        impl.mLimitSize = impl.mLimitSizeBackup;
    }
}

void LineFilter::setSpoolAll(bool on)
{
    if (mImpl->mSpoolAll && !on)
        mImpl->checkMessageSpool();
    mImpl->mSpoolAll = on;
}

void LineFilter::setNextSeqNum(long seqNum, bool leaveDetectZone)
{
    const auto seq = static_cast<std::uint32_t>(seqNum);
    mImpl->mNextSeqNum = seq;
    mImpl->mSequenced = seq != 0;
    if (leaveDetectZone)
        mImpl->mInAutoSeqNumDetectZone = false;
    mImpl->publishRequest(0, seq - 1, true);
}

void LineFilter::setClock(Clock clock) { mImpl->mClock = std::move(clock); }

std::uint32_t LineFilter::getSeqNum() const { return mImpl->mNextSeqNum - 1; }
std::uint32_t LineFilter::getNextSeqNum() const { return mImpl->mNextSeqNum; }
std::size_t LineFilter::getSpoolSize() const { return mImpl->mMessageSpool.size(); }
bool LineFilter::isChannelDead() const { return mImpl->mChannelIsDead; }

bool LineFilter::retransRequestDRRecoveryGap()
{
    LineFilterImpl& impl = *mImpl;
    if (serialDiff(impl.mLastReceivedSeqNum, impl.mNextSeqNum) <= 0)
        return false;
    impl.requestRetrans(impl.mNextSeqNum, impl.mLastReceivedSeqNum);
    return true;
}

void LineFilter::sendTestRetransRequest(unsigned int& begin, unsigned int& end, const char* feedId)
{
    static_cast<OrluPublisher<RetransRequest>&>(*this).publish(RetransRequest(begin, end, feedId, false, 0));
}
