#include "kelmora/recovery/RecoveryLocalFileReader.h"

#include "kelmora/recovery/MessageHandlerZunq.h"
#include "kelmora/thread/TarvokSession.h"
#include "zunq/log/Log.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <thread>

namespace DRAVEK::Recovery
{

namespace
{

std::int64_t monotonicNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void sleepFor(std::chrono::milliseconds interval)
{
    std::this_thread::sleep_for(interval);
}

// Bytes the file holds; 0 when it cannot be told.
std::size_t fileSize(std::FILE* file)
{
    struct stat info;
    if (::fstat(::fileno(file), &info) != 0 || info.st_size < 0)
        return 0;
    return static_cast<std::size_t>(info.st_size);
}

} // namespace

RecoveryLocalFileReader::RecoveryLocalFileReader(Log& log, const std::string& pathPattern, MessageHandlerZunq& handler,
                                                 std::size_t packetBufferSize, TarvokSession& session)
    : mPacket(nullptr), mPacketSize(packetBufferSize), mLog(log), mMessageHandlerZunq(handler),
      mPacketBuffer(packetBufferSize), mTarvokSession(session), mClock(monotonicNs), mSleep(sleepFor)
{
    mPacket = mPacketBuffer.data();
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    // strftime gives 0 both for a path that does not fit and for one that is
    // empty: either way there is no file to read.
    const std::size_t written = !pathPattern.empty() && ::localtime_r(&now, &local) != nullptr
                                    ? std::strftime(mFilePath, sizeof mFilePath, pathPattern.c_str(), &local)
                                    : 0;
    mPathValid = written > 0;
    if (!mPathValid)
    {
        mFilePath[0] = '\0';
        mLog.error() << "RecoveryLocalFileReader: the path pattern of " << pathPattern.size()
                     << " characters does not expand into a path of at most " << cPathSize - 1 << " characters";
    }
}

RecoveryLocalFileReader::~RecoveryLocalFileReader()
{
    if (mPartitionInfo.mPFile != nullptr)
        std::fclose(mPartitionInfo.mPFile);
}

void RecoveryLocalFileReader::setClock(Clock clock)
{
    mClock = clock ? std::move(clock) : Clock(monotonicNs);
}

void RecoveryLocalFileReader::setSleep(Sleep sleep)
{
    mSleep = sleep ? std::move(sleep) : Sleep(sleepFor);
}

bool RecoveryLocalFileReader::process(std::uint64_t endSeqNum, std::uint64_t endSubSeqNum, std::uint16_t channelId,
                                      bool runningMultithread, bool processAll)
{
    mRunningMultithread = runningMultithread;
    mPointFound = false;
    mReadedOK = 0;
    mLastProcessSeqNum = 0;
    mNumSeqResetsProcessed = 0;
    mRecoveredToSeqReset = false;
    mBufferedUnprocessed = false;
    mExpectedSeqNum = 1;
    if (!mPathValid)
    {
        mLog.error() << "FileHandlerMessages::process(): no recording path to read";
        return false;
    }
    std::FILE* file = std::fopen(mFilePath, "rbe");
    if (file == nullptr)
    {
        const int error = errno;
        if (processAll)
        {
            mLog.info() << "FileHandlerMessages::process(): no recovery file to process : " << mFilePath << " : "
                        << std::strerror(error);
            return true;
        }
        mLog.error() << "FileHandlerMessages::process(): Error opening file: " << mFilePath << " : "
                     << std::strerror(error);
        return false;
    }
    mLog.info() << "FileHandlerMessages::process(): opened file [" << mFilePath << "]";
    if (!processAll)
    {
        if (!mMessageHandlerZunq.getSeqNums(channelId, mInitialSeqNum, mInitialSubSeqNum))
            mInitialSeqNum = mInitialSubSeqNum = 0;
        if (mInitialSeqNum == 0 && runningMultithread)
            mPointFound = true;
    }
    bool limitReached = false;
    while (!limitReached)
    {
        if (!waitForData(file, mReadedOK, cWaitRetries))
        {
            mLog.error() << "FileHandlerMessages::process(): Timed out waiting for data.";
            std::fclose(file);
            return false;
        }
        if (!processPacket(file, endSeqNum, endSubSeqNum, limitReached, channelId, processAll))
            break;
        if (!limitReached && mPointFound && mRunningMultithread)
            return handOver(file, endSeqNum, endSubSeqNum, channelId);
    }
    std::fclose(file);
    return limitReached || processAll;
}

bool RecoveryLocalFileReader::handOver(std::FILE* file, std::uint64_t endSeqNum, std::uint64_t endSubSeqNum,
                                       std::uint16_t channelId)
{
    mPartitionInfo.mPFile = file;
    mPartitionInfo.mSeqNum = endSeqNum;
    mPartitionInfo.mSubSeqNum = endSubSeqNum;
    mPartitionInfo.mChannelId = channelId;
    // Only a packet not handed over yet is taken from the buffer again.
    mPartitionInfo.mAvoidReading = mBufferedUnprocessed;
    mWaitStartNs = -1;
    mHandedOver.store(true, std::memory_order_release);
    TarvokStatus status = mTimer.create(&mTarvokSession, this, cHandOverIntervalMs, nullptr);
    if (!status)
    {
        mLog.error() << "RecoveryLocalFileReader::process() Error while creating timer:" << status.getText()
                     << " (a thread holds at most MSG_DISP_FD_NUM + 5 timers)";
        finish(false, false, false);
        return false;
    }
    return true;
}

void RecoveryLocalFileReader::onTimer(TarvokTimer*)
{
    if (hasFinishedProcessing())
        return;
    if (mAbort.load(std::memory_order_acquire))
    {
        mLog.error() << "RecoveryLocalFileReader::onTimer(): stopped reading " << mFilePath
                     << ": the recovery no longer waits for it";
        finish(false, false, true);
        return;
    }
    PartitionInfo& p = mPartitionInfo;
    mOnTimer = true;
    mRetryLater = false;
    // Never sleeps here: a file without new bytes is looked at again next tick.
    bool moreData = p.mAvoidReading || waitForData(p.mPFile, mReadedOK, 0);
    bool read = false;
    bool limit = p.mLimitReached.load(std::memory_order_relaxed);
    if (moreData)
        read = processPacket(p.mPFile, p.mSeqNum, p.mSubSeqNum, limit, p.mChannelId, false);
    mOnTimer = false;
    if (limit)
    {
        finish(true, true, true);
        return;
    }
    if (!moreData || (!read && mRetryLater))
    {
        if (!stillWaiting())
        {
            mLog.error() << "RecoveryLocalFileReader::onTimer(): Timed out waiting for data.";
            finish(false, false, true);
        }
        return;
    }
    if (!read)
    {
        finish(false, false, true);
        return;
    }
    mWaitStartNs = -1;
}

void RecoveryLocalFileReader::onTimerRefused(TarvokTimer*)
{
    // Called while the thread starts its timers: the timer is left alone here.
    mLog.error() << "RecoveryLocalFileReader::onTimer(): no timer on thread [" << mTarvokSession.getName()
                 << "] (a thread holds at most MSG_DISP_FD_NUM + 5 timers): reading of " << mFilePath << " stopped";
    finish(false, false, false);
}

bool RecoveryLocalFileReader::stillWaiting()
{
    const std::int64_t now = mClock();
    if (mWaitStartNs < 0)
        mWaitStartNs = now;
    const std::int64_t limit = std::chrono::nanoseconds(cRetryInterval).count() * cWaitRetries;
    return now - mWaitStartNs < limit;
}

void RecoveryLocalFileReader::finish(bool limitReached, bool readOK, bool destroyTimer)
{
    if (destroyTimer)
        mTimer.destroy();
    if (mPartitionInfo.mPFile != nullptr)
    {
        std::fclose(mPartitionInfo.mPFile);
        mPartitionInfo.mPFile = nullptr;
    }
    mPartitionInfo.mLimitReached.store(limitReached, std::memory_order_release);
    mPartitionInfo.mReadOK.store(readOK, std::memory_order_release);
    // Last: the waiter may delete the reader as soon as it sees it.
    mFinished.store(true, std::memory_order_release);
}

bool RecoveryLocalFileReader::processPacket(std::FILE* file, std::uint64_t endSeqNum, std::uint64_t endSubSeqNum,
                                            bool& limitReached, std::uint16_t channelId, bool processAll)
{
    std::size_t length = 0;
    if (mPartitionInfo.mAvoidReading)
    {
        mPartitionInfo.mAvoidReading = false;
        length = mBufferedLength;
    }
    else
    {
        const long position = std::ftell(file);
        mLastReadFilePosition = position > 0 ? static_cast<std::uint64_t>(position) : 0;
        if (!readPacket(file, length, processAll))
        {
            if (mRetryLater)
            {
                // The packet is read again whole on a later tick.
                std::fseek(file, static_cast<long>(mLastReadFilePosition), SEEK_SET);
                return false;
            }
            if (processAll)
                mLog.info() << "RecoveryLocalFileReader::processPacket(): file recovery is complete";
            return false;
        }
        if (length > mPacketSize)
        {
            mLog.error() << "RecoveryLocalFileReader::processPacket(): a packet of " << length
                         << " bytes was read into a buffer of " << mPacketSize << " bytes";
            return false;
        }
        mReadedOK += length;
        mBufferedLength = length;
    }
    mBufferedUnprocessed = false;
    mPacketsRead.fetch_add(1, std::memory_order_relaxed);

    std::uint64_t seqNum = 0;
    std::uint16_t count = 0;
    std::size_t headerLength = 0;
    bool isReset = false;
    getPacketValues(mPacket, seqNum, count, headerLength, isReset);
    if (headerLength > length)
    {
        mLog.error() << "RecoveryLocalFileReader::processPacket(): packet [" << seqNum << "] has a header of "
                     << headerLength << " bytes in " << length << " bytes";
        return false;
    }
    mRecoveredToSeqReset = isReset;
    mLog.verbose() << "RecoveryLocalFileReader::processPacket() currentSeqNum:" << seqNum << " numberItems: " << count;
    char* messages = mPacket + headerLength;
    const std::size_t messagesLength = length - headerLength;
    if (processAll)
        return processMessages(messages, messagesLength, count, endSeqNum, endSubSeqNum, seqNum, limitReached,
                               channelId, true);

    const bool resetsMet = mNumSeqResetsProcessed >= mNumSeqResets;
    // The start point: the rest goes to the timer, this packet first (once).
    if (seqNum == mInitialSeqNum && resetsMet && mRunningMultithread && !mPointFound)
    {
        mPointFound = true;
        mBufferedUnprocessed = true;
        return true;
    }
    if (seqNum > endSeqNum && !limitReached && resetsMet)
    {
        if (seqNum != endSeqNum + 1 && endSubSeqNum != cWholePacket)
        {
            mLog.error() << "RecoveryLocalFileReader::processPacket(): sequence number: [" << seqNum
                         << "] was not expected";
            return false;
        }
        limitReached = true;
        return true;
    }
    if (!processMessages(messages, messagesLength, count, endSeqNum, endSubSeqNum, seqNum, limitReached, channelId,
                         false))
        return false;
    if (isReset && seqNum > 1)
    {
        ++mNumSeqResetsProcessed;
        mLog.info() << "RecoveryLocalFileReader::processPacket(): sequence resets met " << mNumSeqResetsProcessed
                    << " of " << mNumSeqResets << " expected";
    }
    if (seqNum == endSeqNum && endSubSeqNum == cWholePacket)
    {
        if (mNumSeqResetsProcessed >= mNumSeqResets)
            limitReached = true;
        else
            mLog.info() << "RecoveryLocalFileReader::processPacket(): end packet [" << seqNum << "] reached after "
                        << mNumSeqResetsProcessed << " of " << mNumSeqResets << " sequence resets; reading on";
    }
    return true;
}

bool RecoveryLocalFileReader::processMessages(char* messages, std::size_t length, std::uint16_t count,
                                              std::uint64_t endSeqNum, std::uint64_t endSubSeqNum,
                                              std::uint64_t packetSeqNum, bool& limitReached, std::uint16_t channelId,
                                              bool processAll)
{
    if (count == 0)
        return true;
    const bool lastPacket = packetSeqNum == endSeqNum && !processAll;
    std::size_t offset = 0;
    for (std::uint64_t i = 0; i < count; ++i)
    {
        const std::size_t left = length - offset;
        std::size_t step = left;
        char* message = left > 0 ? getMessage(messages + offset, step) : nullptr;
        if (left == 0 || step == 0 || step > left)
        {
            mLog.error() << "RecoveryLocalFileReader::processMessages(): packet [" << packetSeqNum << "] message " << i
                         << " of " << count << " takes " << (left == 0 ? 0 : step) << " bytes where " << left
                         << " are left";
            return false;
        }
        const bool after = packetSeqNum > mInitialSeqNum || (packetSeqNum == mInitialSeqNum && i > mInitialSubSeqNum);
        if (message != nullptr && (processAll || after))
            mMessageHandlerZunq.processMessage(message, channelId, packetSeqNum, i, 0);
        offset += step;
        if (lastPacket && i >= endSubSeqNum && mNumSeqResetsProcessed >= mNumSeqResets)
        {
            limitReached = true;
            return true;
        }
    }
    return true;
}

bool RecoveryLocalFileReader::waitForData(std::FILE* file, std::size_t position, int retries)
{
    if (file == nullptr)
        return false;
    for (int waited = 0;; ++waited)
    {
        if (fileSize(file) > position)
            return true;
        if (waited >= retries)
            return false;
        // Back to where the next packet begins; this also clears the end of file.
        std::fseek(file, static_cast<long>(position), SEEK_SET);
        mSleep(cRetryInterval);
    }
}

bool RecoveryLocalFileReader::tryToRead(std::FILE* file, std::size_t size, char* buffer, int attempts)
{
    if (size > cMaxReadSize)
    {
        mLog.warning() << "RecoveryLocalFileReader::tryToRead() - Error: Msg too large, msglen=" << size;
        return false;
    }
    if (file == nullptr || buffer == nullptr)
        return false;
    if (attempts == 0 && !mOnTimer)
        return std::fread(buffer, 1, size, file) == size;
    const long start = std::ftell(file);
    for (int left = attempts;;)
    {
        const std::size_t got = std::fread(buffer, 1, size, file);
        if (got == size)
            return true;
        --left;
        std::fseek(file, start, SEEK_SET);
        mRetryReadOccurred = true;
        if (mOnTimer)
        {
            // Hand-over mode: the tick leaves it for the next one.
            mRetryLater = true;
            return false;
        }
        mLog.info() << "RecoveryLocalFileReader::tryToRead() only read [" << got << "] of [" << size << "] bytes, ["
                    << left << "] attempts left";
        if (left <= 0)
            return false;
        mSleep(cRetryInterval);
    }
}

} // namespace DRAVEK::Recovery
