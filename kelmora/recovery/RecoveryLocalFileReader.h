// Reads a feed's local recording file packet by packet and hands the
// recorded messages of one partition to the plug-in's MessageHandlerZunq:
// all of them, or those after the handler's current point up to an end point
// (a packet, or a message of it, after an expected number of sequence
// resets). The recording's layout is the feed's own: the plug-in's subclass
// reads a packet (readPacket), takes its values apart (getPacketValues) and
// steps through its messages (getMessage); every step stays inside the
// packet read, and a hook's value that leaves it ends the reading.
//
// The reader waits for a file that is still being written: before each
// packet, up to 10 times one second for bytes beyond what it consumed, and
// tryToRead retries a short read. Once the start point is found it can hand
// the rest to a timer on its session's thread (hand-over mode): there it
// never sleeps, a "no data yet" is tried again on later ticks up to the same
// 10 seconds, and the caller on another thread watches hasFinishedProcessing,
// limitReached and readOK, which cross threads atomically. The clock and the
// sleep are injectable for tests.
//
// Made by the plug-in's getLocalFileReader for one process run and deleted by
// the file recovery handler once the reading has finished.
#pragma once

#include "kelmora/thread/TarvokHandler.h"
#include "kelmora/thread/TarvokTimer.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

class Log;
class TarvokSession;

namespace DRAVEK::Recovery
{

class MessageHandlerZunq;

class RecoveryLocalFileReader : public TarvokTimerHandler
{
public:
    // Monotonic nanoseconds.
    using Clock = std::function<std::int64_t()>;
    using Sleep = std::function<void(std::chrono::milliseconds)>;

    static constexpr std::size_t cPathSize = 1024;
    // The largest read tryToRead makes.
    static constexpr std::size_t cMaxReadSize = 8192;
    static constexpr int cWaitRetries = 10;
    static constexpr std::chrono::milliseconds cRetryInterval{1000};
    // An end sub-sequence number of this value takes the end packet whole.
    static constexpr std::uint64_t cWholePacket = 4294967295u;
    // The framework refuses a timer of 0 ms: the hand-over timer ticks at its shortest.
    static constexpr unsigned int cHandOverIntervalMs = 1;

    // `pathPattern` is expanded with strftime for the local time now; a
    // pattern that does not expand into the path's 1024 characters leaves
    // the reader without a path, and process fails.
    RecoveryLocalFileReader(Log& log, const std::string& pathPattern, MessageHandlerZunq& handler,
                            std::size_t packetBufferSize, TarvokSession& session);
    ~RecoveryLocalFileReader() override;

    RecoveryLocalFileReader(const RecoveryLocalFileReader&) = delete;
    RecoveryLocalFileReader& operator=(const RecoveryLocalFileReader&) = delete;

    // Hand-over mode: one packet per tick, on the session's thread.
    void onTimer(TarvokTimer* timer) override;
    void onTimerRefused(TarvokTimer* timer) override;

    // The plug-in's hooks.
    // The message that starts at `data`; `length` holds the bytes left in the
    // packet and receives the message's length (the step to the next one).
    // Null for a message to skip.
    virtual char* getMessage(char* data, std::size_t& length) = 0;
    virtual void getPacketValues(char* packet, std::uint64_t& seqNum, std::uint16_t& messageCount,
                                 std::size_t& headerLength, bool& isSequenceReset) = 0;
    // The next whole packet into mPacket (at most mPacketSize bytes) and its
    // length; false when no packet can be read.
    virtual bool readPacket(std::FILE* file, std::size_t& length, bool processAll) = 0;

    // Reads the recording: with `processAll` every message, otherwise the
    // messages after the handler's current point of `channelId` up to the
    // end point. True when the end point was reached (or, with `processAll`,
    // when the reading did not fail), and when the reading was handed over.
    bool process(std::uint64_t endSeqNum, std::uint64_t endSubSeqNum, std::uint16_t channelId,
                 bool runningMultithread, bool processAll);
    bool processPacket(std::FILE* file, std::uint64_t endSeqNum, std::uint64_t endSubSeqNum, bool& limitReached,
                       std::uint16_t channelId, bool processAll);
    // The `count` messages in the `length` bytes at `messages`; false when a
    // message does not fit them.
    bool processMessages(char* messages, std::size_t length, std::uint16_t count, std::uint64_t endSeqNum,
                         std::uint64_t endSubSeqNum, std::uint64_t packetSeqNum, bool& limitReached,
                         std::uint16_t channelId, bool processAll);
    // True once the file holds bytes beyond `position`, waiting up to
    // `retries` times one second for them.
    bool waitForData(std::FILE* file, std::size_t position, int retries);
    // Reads `size` bytes (at most 8192) into `buffer`, retrying a short read
    // `attempts` times a second apart from where it began. In hand-over mode
    // a short read is not waited for: it is left for a later tick.
    bool tryToRead(std::FILE* file, std::size_t size, char* buffer, int attempts);

    std::uint64_t getLastReadSeqNum() const { return mLastProcessSeqNum; }
    std::uint64_t getLastReadFilePos() const { return mLastReadFilePosition; }
    bool recoveredToSeqReset() const { return mRecoveredToSeqReset; }
    void setNumSeqResets(std::uint16_t count) { mNumSeqResets = count; }
    void setCheckSeqNum(bool on) { mCheckSeqNum = on; }
    const char* getFilePath() const { return mFilePath; }
    TarvokSession& getSession() const { return mTarvokSession; }
    bool hasPath() const { return mPathValid; }

    // Hand-over mode, from any thread.
    bool handedOver() const { return mHandedOver.load(std::memory_order_acquire); }
    // The timer side has stopped: reached its limit, failed or was stopped.
    bool hasFinishedProcessing() const { return mFinished.load(std::memory_order_acquire); }
    bool limitReached() const { return mPartitionInfo.mLimitReached.load(std::memory_order_acquire); }
    bool readOK() const { return mPartitionInfo.mReadOK.load(std::memory_order_acquire); }
    // Packets taken apart so far; the waiter sees progress by it.
    std::uint64_t getPacketsRead() const { return mPacketsRead.load(std::memory_order_relaxed); }
    // Asks the timer side to stop at its next tick.
    void abort() { mAbort.store(true, std::memory_order_release); }

    void setClock(Clock clock);
    void setSleep(Sleep sleep);

protected:
    char* mPacket;
    std::size_t mPacketSize;
    Log& mLog;
    std::uint64_t mLastProcessSeqNum = 0;
    std::uint64_t mExpectedSeqNum = 1;
    bool mCheckSeqNum = true;
    bool mRetryReadOccurred = false;

private:
    // State the timer keeps between ticks.
    struct PartitionInfo
    {
        std::FILE* mPFile = nullptr;
        std::uint64_t mSeqNum = 0;
        std::uint64_t mSubSeqNum = 0;
        std::atomic<bool> mLimitReached{false};
        std::uint16_t mChannelId = 0;
        std::atomic<bool> mReadOK{true};
        bool mAvoidReading = false;
    };

    bool handOver(std::FILE* file, std::uint64_t endSeqNum, std::uint64_t endSubSeqNum, std::uint16_t channelId);
    // Hand-over mode: false once no data has come for the 10 seconds.
    bool stillWaiting();
    // Ends hand-over mode; the timer is destroyed unless the framework refused it.
    void finish(bool limitReached, bool readOK, bool destroyTimer);

    char mFilePath[cPathSize] = {};
    bool mPathValid = false;
    MessageHandlerZunq& mMessageHandlerZunq;
    std::vector<char> mPacketBuffer;
    std::size_t mReadedOK = 0;
    std::uint64_t mInitialSeqNum = 0;
    std::uint64_t mInitialSubSeqNum = 0;
    std::uint64_t mLastReadFilePosition = 0;
    bool mRunningMultithread = false;
    bool mPointFound = false;
    // The packet in the buffer has been read but not handed over yet.
    bool mBufferedUnprocessed = false;
    std::size_t mBufferedLength = 0;
    // Hand-over mode: the running tick ran short of data and retries later.
    bool mOnTimer = false;
    bool mRetryLater = false;
    std::int64_t mWaitStartNs = -1;
    TarvokSession& mTarvokSession;
    TarvokTimer mTimer;
    PartitionInfo mPartitionInfo;
    std::uint16_t mNumSeqResets = 0;
    std::uint16_t mNumSeqResetsProcessed = 0;
    bool mRecoveredToSeqReset = false;
    std::atomic<bool> mHandedOver{false};
    std::atomic<bool> mFinished{false};
    std::atomic<bool> mAbort{false};
    std::atomic<std::uint64_t> mPacketsRead{0};
    Clock mClock;
    Sleep mSleep;
};

} // namespace DRAVEK::Recovery
