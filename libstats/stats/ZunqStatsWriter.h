// The statistics segment of a site: one System V segment in which processes
// publish named counter records (latency, inbound and outbound bandwidth,
// retransmission-server clients, Sorvel clients) and outside tools read them.
// Processes only append records and update their counters; each kind's append
// runs under that kind's process-shared semaphore in the segment's header, so
// two processes never take one index or create one name twice.
//
// The host creates one writer per process, calls init once, hands record
// pointers to the components that count, and calls detachShm at termination.
// The add operations may be called from any thread; init and detachShm from
// the owner only.
#pragma once

#include "libstats/stats/StatsSegmentLayout.h"
#include "libstats/stats/StatsSettings.h"

#include <cstdint>
#include <string>

class Log;

class ZunqStatsWriter
{
public:
    enum ReturnCodes
    {
        SUCCESS = 0,
        ENTRY_EXISTS = 1,
        INSUFFICIENT_MEMORY = 2,
        NOT_INITIALIZED = 3
    };

    // How long an add waits for its kind's semaphore before giving up (a
    // process that died holding it would otherwise block everyone), and how
    // long init waits for another process to finish creating the segment.
    static constexpr int cDefaultSemaphoreWaitMs = 5000;
    static constexpr int cDefaultCreatorWaitMs = 3000;

    ZunqStatsWriter();
    // The segment stays attached; detachShm detaches it.
    ~ZunqStatsWriter();
    ZunqStatsWriter(const ZunqStatsWriter&) = delete;
    ZunqStatsWriter& operator=(const ZunqStatsWriter&) = delete;

    // Reads "libstats.xml", resolves the key file, creates or attaches the
    // segment and the latency queues. false, logged, leaves the writer detached.
    bool init(Log& log, const char* processName);
    bool init(Log& log, const std::string& processName) { return init(log, processName.c_str()); }

    std::string getShmFileKeyName(Log& log, const std::string& baseName, bool create, int attempt);

    // Find or append the named record. The out pointer is the record for
    // SUCCESS and ENTRY_EXISTS, null otherwise.
    ReturnCodes addLatencyEntry(Log& log, LatencyStats*& entry, const char* name, unsigned int id);
    ReturnCodes addBandwidthInEntry(Log& log, BandwidthInStats*& entry, const char* name);
    ReturnCodes addBandwidthOutEntry(Log& log, BandwidthOutStats*& entry, const char* name);
    ReturnCodes addRtsClientEntry(Log& log, RtsClientStats*& entry, const char* name);
    ReturnCodes addRtsClientEntry(Log& log, RtsClientStats*& entry, const std::string& name)
    {
        return addRtsClientEntry(log, entry, name.c_str());
    }
    ReturnCodes addSorvelClientEntry(Log& log, SorvelClientStats*& entry, const char* name);

    // The record in use whose name equals `name` (over at most 128 bytes), or null.
    LatencyStats* findLat(const char* name);
    BandwidthInStats* findBin(const char* name);
    BandwidthOutStats* findBout(const char* name);
    RtsClientStats* findRts(const char* name);
    SorvelClientStats* findSorvel(const char* name);

    // Detaches the segment (which outlives the process); nothing when detached.
    void detachShm();
    bool isAttached() const { return mShmId != -1; }

    static const char* ReturnCodesText(const int& code);

    // For tests and tools: the configuration file read by init, and the waits.
    void setConfigFile(const std::string& file) { mConfigFile = file; }
    void setWaits(int semaphoreMs, int creatorMs)
    {
        mSemaphoreWaitMs = semaphoreMs;
        mCreatorWaitMs = creatorMs;
    }
    const std::string& getKeyFileName() const { return mKeyFileName; }
    uint32_t getShmSize() const { return mShmSize; }
    const StatsHeader* header() const { return mHdr; }

private:
    bool setUp(Log& log, const char* processName);
    bool lock(Log& log, sem_t& semaphore, const char* operation);
    template <class Record>
    ReturnCodes addEntry(Log& log, Record*& entry, const char* name, Record* first, uint32_t& count, int64_t maximum,
                         sem_t& semaphore, const char* operation, const char* countName);
    template <class Record>
    Record* find(Record* first, uint32_t count, int64_t maximum, const char* name);

    int mShmKey = -1;
    char* mShmPtr = nullptr;
    uint32_t mShmSize = 0;
    int64_t mMaxNumLatencyTables = 0;
    int64_t mMaxNumBandwidthInTables = 0;
    int64_t mMaxNumBandwidthOutTables = 0;
    int64_t mMaxNumRtsClientTables = 0;
    int64_t mMaxNumSorvelClientTables = 0;
    int64_t mMaxLatencyQueueSize = 0;
    int64_t mPageSize = 0;
    std::string mLatencyQueueShmName;
    StatsHeader* mHdr = nullptr;
    LatencyStats* mFirstLatEntry = nullptr;
    BandwidthInStats* mFirstBinEntry = nullptr;
    BandwidthOutStats* mFirstBoutEntry = nullptr;
    RtsClientStats* mFirstRtsEntry = nullptr;
    SorvelClientStats* mFirstSorvelEntry = nullptr;
    int mShmId = -1;

    std::string mConfigFile = StatsSettings::cFileName;
    std::string mKeyFileName;
    int mSemaphoreWaitMs = cDefaultSemaphoreWaitMs;
    int mCreatorWaitMs = cDefaultCreatorWaitMs;
};
