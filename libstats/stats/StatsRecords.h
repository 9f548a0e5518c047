// The record layouts of the statistics segment, shared byte for byte with the
// tools that read the segment from outside the process. Each record is its
// name, the current counter table (written by the record's owner), the
// previous table (written by whoever reports an interval) and padding. The
// records live only inside the segment: no virtual operations, no heap copies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <semaphore.h>

// Every record starts with its name: a bounded copy of 128 bytes, not
// terminated when the name is 128 characters or longer.
struct StatsEntry
{
    static constexpr std::size_t cNameSize = 128;
    char name_[cNameSize];
    const char* name() const { return name_; }
};

enum LatencyType
{
    LAT_FH = 0,    // T2 - T1
    LAT_TRANS = 1, // T3 - T2
    LAT_PUB = 2,   // T4 - T3
    LAT_ALL = 3    // T4 - T1
};

struct latency_table_t
{
    uint64_t msg_count;
    uint64_t msg_latency_total[4];
    uint32_t msg_latency_min[4];
    uint32_t msg_latency_max[4];
};

struct bandwidth_in_table_t
{
    uint32_t pkts;
    uint32_t msgs;
    uint64_t bytes;
};

struct bandwidth_out_table_t
{
    uint32_t pkts;
    uint32_t msgs;
    uint64_t bytes;
    uint32_t pkts_throt;
    uint32_t max_q_size;
};

// Running totals of one client of the retransmission server.
struct rts_client_table_t
{
    int32_t totalNumRequests;
    int32_t totalNumAcceptRequests;
    int32_t totalNumRejectRequests;
    int32_t totalExceedsMaxSeqRange;
    int32_t totalUnknownChannelId;
    int32_t totalMsgsNotAvailable;
    int32_t totalExceedsMaxRequests;
    int32_t totalNumMsgsAccepted;
    int32_t totalNumMsgsRetransmitted;
};

// Totals of one client of the Sorvel service.
struct sorvel_client_table_t
{
    int32_t totalLogonAttempts;
    int32_t totalSuccessfulLogons;
    int32_t totalPasswordChangeAttempts;
    int32_t totalSuccessfulPasswordChanges;
    int32_t totalRefreshRequests;
    int32_t totalRetransmissions;
    int32_t totalNumMsgsRetransmitted;
};

// The segment's header. The counts publish the records: a record is complete
// before its count is raised.
struct StatsHeader
{
    static constexpr uint32_t cVersion = 1;
    static constexpr uint32_t cCookie = 0x123456;
    static constexpr std::size_t cProcessNameSize = 64;

    uint32_t mVersion;
    uint32_t mCookie; // written last by the creator
    uint64_t mShmSize;
    uint32_t mCountLatEntries;
    uint32_t mCountBinEntries;
    uint32_t mCountBoutEntries;
    uint32_t mCountRtsEntries;
    uint32_t mCountSorvelEntries;
    char mProcessName[cProcessNameSize];
    uint8_t mPadding[4];
    sem_t mSemLatencyAdd; // process-shared, initial value 1
    sem_t mSemBandwidthInAdd;
    sem_t mSemBandwidthOutAdd;
    sem_t mSemRtsClientAdd;
    sem_t mSemSorvelClientAdd;
};

static_assert(sizeof(sem_t) == 32);
static_assert(sizeof(StatsHeader) == 264);
static_assert(offsetof(StatsHeader, mCookie) == 4);
static_assert(offsetof(StatsHeader, mShmSize) == 8);
static_assert(offsetof(StatsHeader, mCountLatEntries) == 16);
static_assert(offsetof(StatsHeader, mCountSorvelEntries) == 32);
static_assert(offsetof(StatsHeader, mProcessName) == 36);
static_assert(offsetof(StatsHeader, mSemLatencyAdd) == 104);
static_assert(offsetof(StatsHeader, mSemBandwidthInAdd) == 136);
static_assert(offsetof(StatsHeader, mSemBandwidthOutAdd) == 168);
static_assert(offsetof(StatsHeader, mSemRtsClientAdd) == 200);
static_assert(offsetof(StatsHeader, mSemSorvelClientAdd) == 232);

static_assert(sizeof(latency_table_t) == 72);
static_assert(offsetof(latency_table_t, msg_latency_total) == 8);
static_assert(offsetof(latency_table_t, msg_latency_min) == 40);
static_assert(offsetof(latency_table_t, msg_latency_max) == 56);
static_assert(sizeof(bandwidth_in_table_t) == 16);
static_assert(offsetof(bandwidth_in_table_t, bytes) == 8);
static_assert(sizeof(bandwidth_out_table_t) == 24);
static_assert(offsetof(bandwidth_out_table_t, pkts_throt) == 16);
static_assert(offsetof(bandwidth_out_table_t, max_q_size) == 20);
static_assert(sizeof(rts_client_table_t) == 36);
static_assert(offsetof(rts_client_table_t, totalNumMsgsRetransmitted) == 32);
static_assert(sizeof(sorvel_client_table_t) == 28);
static_assert(offsetof(sorvel_client_table_t, totalNumMsgsRetransmitted) == 24);
