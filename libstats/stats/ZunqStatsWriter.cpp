#include "libstats/stats/ZunqStatsWriter.h"

#include "libstats/latency/LatencyQueues.h"
#include "zunq/log/Log.h"
#include "zunq/shm/ShmUtils.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <sys/ipc.h>
#include <thread>
#include <time.h>

namespace
{

constexpr const char* cInit = "ZunqStatsWriter: init(): ";

std::atomic_ref<uint32_t> shared(uint32_t& field)
{
    return std::atomic_ref<uint32_t>(field);
}

// A bounded copy into a zeroed field: not terminated when the text fills it.
void copyBounded(char* field, std::size_t size, const char* text)
{
    std::memcpy(field, text, strnlen(text, size));
}

} // namespace

ZunqStatsWriter::ZunqStatsWriter() = default;

ZunqStatsWriter::~ZunqStatsWriter() = default;

std::string ZunqStatsWriter::getShmFileKeyName(Log& log, const std::string& baseName, bool create, int attempt)
{
    return Zunq::ShmUtils::getShmFileKeyName(log, baseName, create, attempt);
}

bool ZunqStatsWriter::init(Log& log, const char* processName)
{
    // A second init keeps the segment the first one attached.
    if (isAttached())
    {
        log.error() << cInit << "already initialized";
        return false;
    }
    try
    {
        if (setUp(log, processName != nullptr ? processName : ""))
            return true;
    }
    catch (const std::exception& error)
    {
        log.error() << cInit << "Caught std::exception: " << error.what();
    }
    catch (...)
    {
        log.error() << cInit << "Caught (...): unknown exception";
    }
    detachShm();
    return false;
}

bool ZunqStatsWriter::setUp(Log& log, const char* processName)
{
    StatsSettings settings;
    if (!settings.load(log, mConfigFile, cInit))
        return false;
    const StatsSegmentLayout& layout = settings.mLayout;
    mMaxNumLatencyTables = layout.mLatency;
    mMaxNumBandwidthInTables = layout.mBandwidthIn;
    mMaxNumBandwidthOutTables = layout.mBandwidthOut;
    mMaxNumRtsClientTables = layout.mRtsClients;
    mMaxNumSorvelClientTables = layout.mSorvelClients;
    mMaxLatencyQueueSize = settings.mMaxLatencyQueueSize;
    mPageSize = layout.mPageSize;
    mLatencyQueueShmName = settings.mLatencyQueueShmName;

    const std::string keyFile = getShmFileKeyName(log, settings.mKeyFileName, true, 0);
    if (keyFile.empty())
    {
        log.error() << cInit << "invalid shm key file name";
        return false;
    }
    log.info() << cInit << "shmKeyFilename = " << keyFile;
    const key_t key = ftok(keyFile.c_str(), 'x');
    if (key == -1 || key == IPC_PRIVATE)
    {
        log.error() << cInit << "no shared memory key from " << keyFile << ": " << std::strerror(errno);
        return false;
    }
    const std::string problem = layout.problem();
    if (!problem.empty())
    {
        log.error() << cInit << "invalid configuration: " << problem;
        return false;
    }
    const uint64_t size = layout.size();
    log.info() << cInit << "Shared memory size being set to " << size;
    if (size < sizeof(StatsHeader))
    {
        log.error() << cInit << "insufficient size for memory segment";
        return false;
    }

    int id = -1;
    bool created = false;
    char* memory = static_cast<char*>(Zunq::ShmUtils::attachShm(&log, key, id, size, &created));
    if (memory == nullptr)
    {
        log.error() << cInit << "cannot attach shared memory of key " << static_cast<long>(key);
        return false;
    }
    // From here a failure detaches again.
    mShmId = id;
    mShmPtr = memory;
    auto* header = reinterpret_cast<StatsHeader*>(memory);
    if (created)
    {
        log.info() << cInit << "new shared memory created";
        log.info() << cInit << "initializing shm segment";
        header->mShmSize = size;
        header->mVersion = StatsHeader::cVersion;
        copyBounded(header->mProcessName, sizeof header->mProcessName, processName);
        header->mCountLatEntries = 0;
        header->mCountBinEntries = 0;
        header->mCountBoutEntries = 0;
        header->mCountRtsEntries = 0;
        header->mCountSorvelEntries = 0;
        for (sem_t* semaphore : {&header->mSemLatencyAdd, &header->mSemBandwidthInAdd, &header->mSemBandwidthOutAdd,
                                 &header->mSemRtsClientAdd, &header->mSemSorvelClientAdd})
            sem_init(semaphore, 1, 1);
        // Last: attachers use the segment once they see the cookie.
        shared(header->mCookie).store(StatsHeader::cCookie, std::memory_order_release);
    }
    else
    {
        // Another process may be initialising it right now: wait, bounded, for its cookie.
        for (int waited = 0; waited < mCreatorWaitMs &&
                             shared(header->mCookie).load(std::memory_order_acquire) != StatsHeader::cCookie;
             ++waited)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (shared(header->mCookie).load(std::memory_order_acquire) != StatsHeader::cCookie)
        {
            log.error() << cInit << "existing shared memory has an invalid cookie";
            return false;
        }
        if (header->mShmSize != size)
        {
            log.error() << cInit << "existing shared memory has incorrect size";
            return false;
        }
        if (!layout.countsFit(*header))
        {
            log.error() << cInit << "existing shared memory has record counts above the configured maxima";
            return false;
        }
        log.info() << cInit << "Attached to existing shared memory";
    }

    mLatencyQueueShmName = getShmFileKeyName(log, mLatencyQueueShmName, true, 0);
    if (mLatencyQueueShmName.empty())
    {
        log.error() << cInit << "invalid shm key file name for circular buffer";
        return false;
    }
    CreateAttachCircularBufferShm(log, mMaxNumLatencyTables, mMaxLatencyQueueSize, mPageSize,
                                  mLatencyQueueShmName.c_str());

    mShmKey = key;
    mShmSize = static_cast<uint32_t>(size);
    mKeyFileName = keyFile;
    mHdr = header;
    mFirstLatEntry = reinterpret_cast<LatencyStats*>(memory + layout.latencyOffset());
    mFirstBinEntry = reinterpret_cast<BandwidthInStats*>(memory + layout.bandwidthInOffset());
    mFirstBoutEntry = reinterpret_cast<BandwidthOutStats*>(memory + layout.bandwidthOutOffset());
    mFirstRtsEntry = reinterpret_cast<RtsClientStats*>(memory + layout.rtsClientOffset());
    mFirstSorvelEntry = reinterpret_cast<SorvelClientStats*>(memory + layout.sorvelClientOffset());
    return true;
}

bool ZunqStatsWriter::lock(Log& log, sem_t& semaphore, const char* operation)
{
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += mSemaphoreWaitMs / 1000;
    deadline.tv_nsec += (mSemaphoreWaitMs % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L)
    {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
#if defined(__SANITIZE_THREAD__)
    // The wait the thread sanitizer intercepts (it does not see sem_clockwait).
    timespec monoNow{};
    timespec wall{};
    clock_gettime(CLOCK_MONOTONIC, &monoNow);
    clock_gettime(CLOCK_REALTIME, &wall);
    wall.tv_sec += deadline.tv_sec - monoNow.tv_sec;
    wall.tv_nsec += deadline.tv_nsec - monoNow.tv_nsec;
    if (wall.tv_nsec < 0)
    {
        wall.tv_nsec += 1000000000L;
        wall.tv_sec -= 1;
    }
    else if (wall.tv_nsec >= 1000000000L)
    {
        wall.tv_nsec -= 1000000000L;
        wall.tv_sec += 1;
    }
    while (sem_timedwait(&semaphore, &wall) != 0)
#else
    while (sem_clockwait(&semaphore, CLOCK_MONOTONIC, &deadline) != 0)
#endif
    {
        if (errno == EINTR)
            continue;
        log.error() << "ZunqStatsWriter::" << operation << "(): semaphore not free within " << mSemaphoreWaitMs
                    << " ms: " << std::strerror(errno);
        return false;
    }
    return true;
}

template <class Record>
Record* ZunqStatsWriter::find(Record* first, uint32_t count, int64_t maximum, const char* name)
{
    if (!isAttached() || name == nullptr)
        return nullptr;
    const int64_t used = std::min<int64_t>(shared(count).load(std::memory_order_acquire), maximum);
    for (int64_t i = 0; i < used; ++i)
        if (std::strncmp(first[i].name_, name, StatsEntry::cNameSize) == 0)
            return &first[i];
    return nullptr;
}

template <class Record>
ZunqStatsWriter::ReturnCodes ZunqStatsWriter::addEntry(Log& log, Record*& entry, const char* name, Record* first,
                                                       uint32_t& count, int64_t maximum, sem_t& semaphore,
                                                       const char* operation, const char* countName)
{
    entry = nullptr;
    if (!isAttached() || name == nullptr || !lock(log, semaphore, operation))
        return NOT_INITIALIZED;
    if (Record* existing = find(first, count, maximum, name))
    {
        entry = existing;
        sem_post(&semaphore);
        return ENTRY_EXISTS;
    }
    const uint32_t used = count;
    if (used >= maximum)
    {
        sem_post(&semaphore);
        if (first == reinterpret_cast<Record*>(mFirstBinEntry))
            log.error() << "ZunqStatsWriter::addBandwidthInEntry(): Insufficient memory. Maximum number of bandwith in "
                           "tables [ "
                        << maximum << " ] reached.";
        return INSUFFICIENT_MEMORY;
    }
    Record* record = &first[used];
    std::memset(static_cast<void*>(record), 0, sizeof(Record));
    copyBounded(record->name_, StatsEntry::cNameSize, name);
    // The record is complete before the count publishes it.
    shared(count).store(used + 1, std::memory_order_release);
    entry = record;
    log.info() << "ZunqStatsWriter: " << operation << "(): " << countName << " = " << used + 1 << " for " << name;
    sem_post(&semaphore);
    return SUCCESS;
}

ZunqStatsWriter::ReturnCodes ZunqStatsWriter::addBandwidthInEntry(Log& log, BandwidthInStats*& entry,
                                                                  const char* name)
{
    if (!isAttached())
        return entry = nullptr, NOT_INITIALIZED;
    return addEntry(log, entry, name, mFirstBinEntry, mHdr->mCountBinEntries, mMaxNumBandwidthInTables,
                    mHdr->mSemBandwidthInAdd, "addBandwidthInEntry", "mCountBinEntries");
}

ZunqStatsWriter::ReturnCodes ZunqStatsWriter::addBandwidthOutEntry(Log& log, BandwidthOutStats*& entry,
                                                                   const char* name)
{
    if (!isAttached())
        return entry = nullptr, NOT_INITIALIZED;
    return addEntry(log, entry, name, mFirstBoutEntry, mHdr->mCountBoutEntries, mMaxNumBandwidthOutTables,
                    mHdr->mSemBandwidthOutAdd, "addBandwidthOutEntry", "mCountBoutEntries");
}

ZunqStatsWriter::ReturnCodes ZunqStatsWriter::addRtsClientEntry(Log& log, RtsClientStats*& entry, const char* name)
{
    if (!isAttached())
        return entry = nullptr, NOT_INITIALIZED;
    return addEntry(log, entry, name, mFirstRtsEntry, mHdr->mCountRtsEntries, mMaxNumRtsClientTables,
                    mHdr->mSemRtsClientAdd, "addRtsClientEntry", "mCountRtsEntries");
}

ZunqStatsWriter::ReturnCodes ZunqStatsWriter::addSorvelClientEntry(Log& log, SorvelClientStats*& entry,
                                                                   const char* name)
{
    if (!isAttached())
        return entry = nullptr, NOT_INITIALIZED;
    return addEntry(log, entry, name, mFirstSorvelEntry, mHdr->mCountSorvelEntries, mMaxNumSorvelClientTables,
                    mHdr->mSemSorvelClientAdd, "addSorvelClientEntry", "mCountSorvelEntries");
}

ZunqStatsWriter::ReturnCodes ZunqStatsWriter::addLatencyEntry(Log& log, LatencyStats*& entry, const char* name,
                                                              unsigned int id)
{
    entry = nullptr;
    if (!isAttached())
    {
        log.info() << "ZunqStatsWriter: addLatencyEntry(): shared memory NOT_INITIALIZED";
        return NOT_INITIALIZED;
    }
    if (name == nullptr || !lock(log, mHdr->mSemLatencyAdd, "addLatencyEntry"))
        return NOT_INITIALIZED;
    // The name first: a restarted process gets its own record back even when
    // no further queue fits.
    if (LatencyStats* existing = find(mFirstLatEntry, mHdr->mCountLatEntries, mMaxNumLatencyTables, name))
    {
        log.info() << "ZunqStatsWriter: addLatencyEntry(): LatencyStats[" << existing->mID << "] is attached for "
                   << name;
        entry = existing;
        sem_post(&mHdr->mSemLatencyAdd);
        return ENTRY_EXISTS;
    }
    const int queues = GetNumCircularBuffers();
    if (queues >= mMaxNumLatencyTables - 1 || mHdr->mCountLatEntries >= mMaxNumLatencyTables)
    {
        log.info() << "ZunqStatsWriter: addLatencyEntry(): shared memory INSUFFICIENT_MEMORY. GetNumCircularBuffers["
                   << queues << "] << mMaxNumLatencyTables[" << mMaxNumLatencyTables << "]";
        sem_post(&mHdr->mSemLatencyAdd);
        return INSUFFICIENT_MEMORY;
    }
    CreateCircularBuffer(log, name, id, mMaxLatencyQueueSize);
    const uint32_t used = mHdr->mCountLatEntries;
    LatencyStats* record = &mFirstLatEntry[used];
    std::memset(static_cast<void*>(record), 0, sizeof *record);
    copyBounded(record->name_, StatsEntry::cNameSize, name);
    record->mID = id;
    for (uint32_t& minimum : record->mLatencyTable.msg_latency_min)
        minimum = LatencyStats::cNoMinimum;
    entry = record;
    log.info() << "ZunqStatsWriter: addLatencyEntry(): LatencyStats[" << id << "] is created for " << name;
    shared(mHdr->mCountLatEntries).store(used + 1, std::memory_order_release);
    log.info() << "ZunqStatsWriter: addLatencyEntry(): mCountLatEntries = " << used + 1 << " for " << name;
    sem_post(&mHdr->mSemLatencyAdd);
    return SUCCESS;
}

LatencyStats* ZunqStatsWriter::findLat(const char* name)
{
    return isAttached() ? find(mFirstLatEntry, mHdr->mCountLatEntries, mMaxNumLatencyTables, name) : nullptr;
}

BandwidthInStats* ZunqStatsWriter::findBin(const char* name)
{
    return isAttached() ? find(mFirstBinEntry, mHdr->mCountBinEntries, mMaxNumBandwidthInTables, name) : nullptr;
}

BandwidthOutStats* ZunqStatsWriter::findBout(const char* name)
{
    return isAttached() ? find(mFirstBoutEntry, mHdr->mCountBoutEntries, mMaxNumBandwidthOutTables, name) : nullptr;
}

RtsClientStats* ZunqStatsWriter::findRts(const char* name)
{
    return isAttached() ? find(mFirstRtsEntry, mHdr->mCountRtsEntries, mMaxNumRtsClientTables, name) : nullptr;
}

SorvelClientStats* ZunqStatsWriter::findSorvel(const char* name)
{
    return isAttached() ? find(mFirstSorvelEntry, mHdr->mCountSorvelEntries, mMaxNumSorvelClientTables, name)
                        : nullptr;
}

void ZunqStatsWriter::detachShm()
{
    if (mShmId == -1)
        return;
    Zunq::ShmUtils::detachShm(mShmId, mShmPtr);
    if (mHdr != nullptr)
    {
        std::printf("ZunqStatsWriter::detachShm %s\n", mLatencyQueueShmName.c_str());
        std::fflush(stdout);
        DeleteCircularBufferSharedMemory(mLatencyQueueShmName.c_str());
    }
    mShmId = -1;
    mShmPtr = nullptr;
    mHdr = nullptr;
    mFirstLatEntry = nullptr;
    mFirstBinEntry = nullptr;
    mFirstBoutEntry = nullptr;
    mFirstRtsEntry = nullptr;
    mFirstSorvelEntry = nullptr;
}

const char* ZunqStatsWriter::ReturnCodesText(const int& code)
{
    switch (code)
    {
    case SUCCESS: return "SUCCESS";
    case ENTRY_EXISTS: return "ENTRY_EXISTS";
    case INSUFFICIENT_MEMORY: return "INSUFFICIENT_MEMORY";
    case NOT_INITIALIZED: return "NOT_INITIALIZED";
    default: return "Unknown enumeration";
    }
}
