#include "kelmora/recovery/FileRecoveryHandler.h"

#include "kelmora/bus/MsgZunqPublisher.h"
#include "kelmora/filter/LineFilter.h"
#include "kelmora/recovery/MessageHandlerZunq.h"
#include "kelmora/recovery/RecoveryLocalFileReader.h"
#include "kelmora/runtime/InitModuleError.h"
#include "kelmora/thread/Runnable.h"
#include "kelmora/thread/TarvokSession.h"
#include "zunq/log/Log.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>
#include <tuple>

namespace DRAVEK::Recovery
{

namespace
{

std::int64_t monotonicNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The handlers of the process, for the one detach after the framework stops.
std::mutex gHandlersLock;
std::vector<FileRecoveryHandler*> gHandlers;

using Item = Zunq::Utils::SeqNumStorageItem;

auto pointOf(const Item& item)
{
    return std::tuple(item.mNumSeqResets, item.mSeqNum, item.mSubSeqNum, item.mZunqSeqNum);
}

bool isZero(const Item& item)
{
    return item.mSeqNum == 0 && item.mSubSeqNum == 0 && item.mZunqSeqNum == 0 && item.mNumSeqResets == 0;
}

void copyPoint(const Item& from, Item& to)
{
    to.mSeqNum = from.mSeqNum;
    to.mSubSeqNum = from.mSubSeqNum;
    to.mZunqSeqNum = from.mZunqSeqNum;
    to.mNumSeqResets = from.mNumSeqResets;
}

// A record's name as stored, within its field.
std::string nameOf(const Item& item)
{
    return std::string(item.mName, strnlen(item.mName, sizeof item.mName));
}

} // namespace

FileRecoveryHandler::FileRecoveryHandler(key_t key, long poolSize, Log& log, TarvokSession&)
    : OrluSubscriber<TerminateAll>("SeqNumStorageList"), mLog(log), mClock(monotonicNs)
{
    mLog.info() << "FileRecoveryHandler::FileRecoveryHandler() Attempting to initialize/attach to pool with key ["
                << static_cast<long>(key) << "]";
    int shmid = 0;
    mSeqNumPool = SeqNumPool::initShMem(key, shmid, poolSize, log, cSegmentName, nullptr,
                                        SeqNumPool::DEFAULT_FULL_WARN_LEVEL);
    if (mSeqNumPool == nullptr)
    {
        mLog.error() << "ERROR: Attaching to shared memory segment";
        throw InitModuleError("FileRecoveryHandler", "Allocating sequence numbers pool.");
    }
    mSeqNumList = std::make_unique<SeqNumStorageList>(*mSeqNumPool, log);
    std::lock_guard lock(gHandlersLock);
    gHandlers.push_back(this);
}

FileRecoveryHandler::~FileRecoveryHandler()
{
    std::lock_guard lock(gHandlersLock);
    gHandlers.erase(std::remove(gHandlers.begin(), gHandlers.end(), this), gHandlers.end());
}

void FileRecoveryHandler::detachAll()
{
    std::lock_guard lock(gHandlersLock);
    for (FileRecoveryHandler* handler : gHandlers)
        handler->detachShm();
}

void FileRecoveryHandler::setClock(Clock clock)
{
    mClock = clock ? std::move(clock) : Clock(monotonicNs);
}

FileRecoveryHandler::SeqNumStorageItem* FileRecoveryHandler::getSeqNumStorer(const std::string& name)
{
    if (mSeqNumList == nullptr)
    {
        mLog.error() << "FileRecoveryHandler::getSeqNumStorer(): the sequence records are detached";
        return nullptr;
    }
    bool created = false;
    SeqNumStorageItem* item = mSeqNumList->getItemByName(name, created);
    if (item == nullptr)
        return nullptr;
    for (const auto& [record, guard] : mGuards)
        if (record == item)
            return item; // its recovery point is kept already
    mLog.info() << "Sequence number before running... ItemName=" << nameOf(*item) << " SeqNum=" << item->mSeqNum
                << " SubSeqNum=" << item->mSubSeqNum << " ZunqSeqNum=" << item->mZunqSeqNum
                << " NumSeqResets=" << item->mNumSeqResets;

    const std::string guardName = name + cRecoveryPointSuffix;
    if (guardName.size() > SeqNumStorageList::cMaxName)
    {
        mLog.warning() << "FileRecoveryHandler::getSeqNumStorer(): ItemName=" << name
                       << " leaves no room to keep its recovery point apart; a process ended during its recovery "
                          "may publish again after it";
        return item;
    }
    SeqNumStorageItem* guard = mSeqNumList->getItemByName(guardName, created);
    if (guard == nullptr)
    {
        mLog.error() << "FileRecoveryHandler::getSeqNumStorer(): ItemName=" << name
                     << " has no record to keep its recovery point; a process ended during its recovery may "
                        "publish again after it";
        return item;
    }
    // An earlier run ended before its records passed the point it recovered to.
    if (!isZero(*guard) && pointOf(*guard) > pointOf(*item))
    {
        mLog.warning() << "FileRecoveryHandler::getSeqNumStorer(): ItemName=" << name
                       << " the previous run ended before passing its recovery point: recovering to SeqNum="
                       << guard->mSeqNum << " SubSeqNum=" << guard->mSubSeqNum << " ZunqSeqNum=" << guard->mZunqSeqNum
                       << " NumSeqResets=" << guard->mNumSeqResets << " instead";
        copyPoint(*guard, *item);
    }
    copyPoint(*item, *guard);
    mGuards.emplace_back(item, guard);
    return item;
}

void FileRecoveryHandler::guardPoints(MsgZunqPublisher& publisher)
{
    for (const auto& [record, guard] : mGuards)
        publisher.setRecoveryPointGuard(record, guard);
}

void FileRecoveryHandler::addSeqNumClien(MsgZunqPublisher* client)
{
    if (client == nullptr)
        return;
    if (std::find(mClients.begin(), mClients.end(), client) == mClients.end())
        mClients.push_back(client);
    guardPoints(*client);
}

void FileRecoveryHandler::addRecoveryClient(MessageHandlerZunq& handler, const std::string& path,
                                            LineFilter* lineFilter, std::uint16_t channelId)
{
    RecoveryClient& client = mRecoveryClients[channelId];
    client.mMessageHandler = &handler;
    client.mRecoveryFilePath = path;
    client.mLineFilter = lineFilter;
    client.mChannelId = channelId;
    guardPoints(handler);
}

bool FileRecoveryHandler::recover(MessageHandlerZunq& handler, const std::string& path, LineFilter* lineFilter,
                                  std::uint16_t channelId, bool checkSeqNum)
{
    if (path.empty() || path == "NONE")
        return true;
    guardPoints(handler);
    std::uint64_t seqNum = 0;
    std::uint64_t subSeqNum = 0;
    if (!handler.getSeqNums(channelId, seqNum, subSeqNum))
    {
        mLog.error() << "FileRecoveryHandler::recover(): no current sequence numbers for channel " << channelId;
        return false;
    }
    mLog.info() << "FileRecoveryHandler::recover MH.getSeqNums() returned seqNum|" << seqNum << "| subSeqNum |"
                << subSeqNum << "| for channel " << channelId;
    std::uint64_t recoverySeqNum = 0;
    std::uint64_t recoverySubSeqNum = 0;
    std::uint64_t zunqSeqNum = 0;
    if (!handler.getRecoverySeqNums(channelId, recoverySeqNum, recoverySubSeqNum, zunqSeqNum))
    {
        mLog.error() << "FileRecoveryHandler::recover(): no recovery sequence numbers for channel " << channelId;
        return false;
    }
    mLog.info() << "FileRecoveryHandler::recover MH.getRecoverySeqNums() returned recoverySeqNum|" << recoverySeqNum
                << "| recoverySubSeqNum |" << recoverySubSeqNum << "| for channel " << channelId;
    std::uint16_t numSeqResets = 0;
    if (!handler.getNumSeqResets(channelId, numSeqResets))
    {
        mLog.error() << "FileRecoveryHandler::recover(): no sequence reset count for channel " << channelId;
        return false;
    }
    mLog.info() << "FileRecoveryHandler::recover MH.getnumSeqResets() returned numSeqResets|" << numSeqResets
                << "| for channel " << channelId;
    if (recoverySeqNum == 0 && recoverySubSeqNum == 0)
        return true;

    std::unique_ptr<RecoveryLocalFileReader> reader(getLocalFileReader(path, handler));
    if (reader == nullptr)
    {
        mLog.error() << "FileRecoveryHandler::recover(): no reader for channel " << channelId;
        return false;
    }
    if (!checkSeqNum)
        reader->setCheckSeqNum(false);
    reader->setNumSeqResets(numSeqResets);
    // The timer runs on the reader's session: a caller on that thread would
    // wait for a tick that cannot come, and off the framework no tick comes.
    // Those replay inline.
    Runnable* own = Runnable::current();
    Runnable* readerThread = reader->getSession().getRunnable();
    const bool handOver = mRunningInDifferentThread && own != nullptr && readerThread != nullptr && own != readerThread;
    bool reached = reader->process(recoverySeqNum, RecoveryLocalFileReader::cWholePacket, channelId, handOver, false);
    bool failed = false;
    if (reader->handedOver())
    {
        mLog.info() << "FileRecoveryHandler::recover(): waiting for recovery in thread [" << readerThread->getName()
                    << "]";
        const Wait wait = waitFor(*reader, channelId);
        if (wait == Wait::Abandoned)
        {
            // Its thread may still run it: it stays, and nothing of it is read.
            reader.release();
            return false;
        }
        reached = reader->limitReached();
        failed = !reader->readOK();
    }
    if (lineFilter == nullptr)
        return reached && !failed;
    std::uint64_t next = reached ? recoverySeqNum + 1 : reader->getLastReadSeqNum() + 1;
    if (reader->recoveredToSeqReset())
    {
        mLog.info() << "FileRecoveryHandler::recover(): Recovered to SequenceReset message";
        next = 1;
    }
    lineFilter->setNextSeqNum(static_cast<long>(next), false);
    mLog.info() << "FileRecoveryHandler::recover(): intraday setting Line Filter to [" << next << "]";
    if (failed)
        mLog.error() << "FileRecoveryHandler::recover(): the replay of channel " << channelId
                     << " failed before its recovery point";
    return !failed;
}

FileRecoveryHandler::Wait FileRecoveryHandler::waitFor(RecoveryLocalFileReader& reader, std::uint16_t channelId)
{
    const std::int64_t limit = static_cast<std::int64_t>(mWaitLimitMs) * 1000000;
    std::uint64_t progress = reader.getPacketsRead();
    std::int64_t since = mClock();
    while (!reader.hasFinishedProcessing())
    {
        std::this_thread::sleep_for(std::chrono::microseconds(100));
        const std::int64_t now = mClock();
        const std::uint64_t read = reader.getPacketsRead();
        if (read != progress)
        {
            progress = read;
            since = now;
            continue;
        }
        if (now - since < limit)
            continue;
        mLog.error() << "FileRecoveryHandler::recover(): the replay of channel " << channelId
                     << " made no progress for " << mWaitLimitMs << " ms; stopping it";
        reader.abort();
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(cStopGraceMs);
        while (!reader.hasFinishedProcessing())
        {
            if (std::chrono::steady_clock::now() >= end)
            {
                mLog.error() << "FileRecoveryHandler::recover(): the replay of channel " << channelId
                             << " did not stop; it is left to its thread";
                return Wait::Abandoned;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        return Wait::Stopped;
    }
    return Wait::Finished;
}

bool FileRecoveryHandler::recover(std::uint16_t channelId, std::uint64_t seqNum, std::uint64_t subSeqNum,
                                  bool useLineFilter, bool checkSeqNum)
{
    auto found = mRecoveryClients.find(channelId);
    if (found == mRecoveryClients.end() || found->second.mMessageHandler == nullptr)
    {
        mLog.error() << "FileRecoveryHandler::recover(): Partition ID: " << channelId << " was not found.";
        return false;
    }
    RecoveryClient& client = found->second;
    client.mMessageHandler->setRecoverySeqNums(channelId, seqNum, subSeqNum);
    return recover(*client.mMessageHandler, client.mRecoveryFilePath, useLineFilter ? client.mLineFilter : nullptr,
                   channelId, checkSeqNum);
}

bool FileRecoveryHandler::recoverAll(MessageHandlerZunq& handler, const std::string& path, LineFilter* lineFilter,
                                     std::uint16_t channelId, std::uint64_t& filePosition, bool checkSeqNum)
{
    if (path.empty() || path == "NONE")
        return true;
    guardPoints(handler);
    std::unique_ptr<RecoveryLocalFileReader> reader(getLocalFileReader(path, handler));
    if (reader == nullptr)
    {
        mLog.error() << "FileRecoveryHandler::recoverAll(): no reader for channel " << channelId;
        return false;
    }
    if (!checkSeqNum)
        reader->setCheckSeqNum(false);
    const bool result = reader->process(0, 0, channelId, false, true);
    if (reader->getLastReadFilePos() != 0)
        filePosition = reader->getLastReadFilePos();
    std::uint64_t last = reader->getLastReadSeqNum();
    std::uint64_t next = last + 1;
    if (reader->recoveredToSeqReset())
    {
        mLog.info() << "FileRecoveryHandler::recoverAll(): Recovered to SequenceReset message";
        next = 1;
        last = 0;
    }
    if (lineFilter != nullptr)
    {
        mLog.info() << "FileRecoveryHandler::recoverAll(): intraday setting Line Filter to [" << next << "]";
        lineFilter->setNextSeqNum(static_cast<long>(next), false);
    }
    else
        mLog.info() << "FileRecoveryHandler::recoverAll(): LineFilter have not been set";
    handler.setRecoverySeqNums(channelId, last, 0);
    mLog.info() << "FileRecoveryHandler::recoverAll(): Channel|" << channelId << "| added recovery seqNum|" << last
                << "| to MessageHandler";
    return result;
}

bool FileRecoveryHandler::resumeLineFilter(std::uint16_t channelId, std::uint64_t seqNum, bool intraday)
{
    mLog.info() << "FileRecoveryHandler::resumeLineFilter() channel " << channelId << " seqNum " << seqNum
                << " intraday " << (intraday ? "true" : "false");
    auto found = mRecoveryClients.find(channelId);
    if (found == mRecoveryClients.end())
    {
        mLog.error() << "FileRecoveryHandler::recover(): Partition ID: " << channelId << " was not found.";
        return false;
    }
    LineFilter* filter = found->second.mLineFilter;
    mLog.info() << "FileRecoveryHandler::resumeLineFilter(): intraday setNextSeqNum " << seqNum + 1;
    if (filter == nullptr)
    {
        mLog.error() << "FileRecoveryHandler::resumeLineFilter(): Partition ID: " << channelId
                     << " has no line filter";
        return false;
    }
    filter->setNextSeqNum(static_cast<long>(seqNum + 1), true);
    if (!intraday)
        return true;
    mRunningIntradayRecovery = true;
    mRecoveryChannels[channelId] = true;
    if (!filter->retransRequestDRRecoveryGap())
    {
        mRunningIntradayRecovery = false;
        mRecoveryChannels[channelId] = false;
    }
    return true;
}

bool FileRecoveryHandler::pauseAllPartitions()
{
    for (auto& [channelId, client] : mRecoveryClients)
        if (client.mLineFilter != nullptr)
            client.mLineFilter->setNextSeqNum(-1, true);
    return true;
}

std::uint64_t FileRecoveryHandler::getPartitionSeqNum(std::uint16_t channelId)
{
    auto found = mRecoveryClients.find(channelId);
    if (found == mRecoveryClients.end() || found->second.mMessageHandler == nullptr)
        return 0;
    std::uint64_t seqNum = 0;
    std::uint64_t subSeqNum = 0;
    if (!found->second.mMessageHandler->getSeqNums(channelId, seqNum, subSeqNum))
        return 0;
    return seqNum;
}

std::string FileRecoveryHandler::getAllPartitionSeqNumsAsString()
{
    std::string out;
    for (const auto& [channelId, client] : mRecoveryClients)
        out += std::to_string(channelId) + " " + std::to_string(getPartitionSeqNum(channelId)) + "|";
    return out;
}

bool FileRecoveryHandler::getIntradayRecovery(std::uint16_t channelId) const
{
    auto found = mRecoveryChannels.find(channelId);
    return found != mRecoveryChannels.end() && found->second;
}

bool FileRecoveryHandler::getIntradayRecoveryRunning(std::uint16_t channelId) const
{
    auto found = mRecoveryChannelsRunning.find(channelId);
    return found != mRecoveryChannelsRunning.end() && found->second;
}

void FileRecoveryHandler::onData(const Orlu<TerminateAll>&, const std::string&, const TerminateAll&)
{
    // Other threads may still be writing records: the segment stays until they have ended.
    mLog.debug() << "FileRecoveryHandler::onData(TerminateAll): the publishers stop using the sequence records; "
                    "the segment is detached once every thread has ended";
    notifyClientsShmDetached();
}

void FileRecoveryHandler::notifyClientsShmDetached()
{
    for (MsgZunqPublisher* client : mClients)
        client->setSeqNumNotValid();
}

void FileRecoveryHandler::detachShm()
{
    if (mDetached.exchange(true))
        return;
    notifyClientsShmDetached();
    mLog.debug() << "Destroying sequence number storage in shared memory.";
    mSeqNumList.reset();
    if (mSeqNumPool != nullptr)
        SeqNumPool::detachShm(mSeqNumPool);
    mSeqNumPool = nullptr;
}

} // namespace DRAVEK::Recovery
