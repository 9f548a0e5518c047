// A latency record of the statistics segment: counts, totals and interval
// minima and maxima of four latencies of the messages one component handles,
// and the id of the latency queue that receives each sample. Updated by its
// owner without a lock; reported by whoever reads the segment.
#pragma once

#include "libstats/stats/StatsRecords.h"

#include <cstdint>
#include <string>

class Log;

struct LatencyStats : StatsEntry
{
    latency_table_t mLatencyTable;
    latency_table_t mPreviousLatencyTable;
    uint32_t mID; // the record's latency queue
    char dummy[16];

    // Minima and maxima are kept in 32 bits; a larger latency counts as 0xFFFFFFFF.
    static constexpr uint32_t cNoMinimum = 0xFFFFFFFF;

    int writeLatencyStats(Log& log, uint64_t t1, uint64_t t2, uint64_t t3, uint64_t t4, uint64_t t0,
                          uint64_t orderId, uint64_t t0b, uint64_t t4b);
    void writeLatencyToTable(const uint64_t latencies[4]);
    bool writeLatencyToQueue(Log& log, const char* name, uint32_t id, uint64_t t1, const uint64_t latencies[4],
                             uint64_t t0, uint64_t orderId, uint64_t t0b, uint64_t t4b);
    // previous := current; the current minima and maxima start again.
    void storeCurrentToPrevious();

    void printLatencyStats(Log& log) const;
    void genLatencyVelbrinMessage(std::string& out, LatencyType type) const;
};

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
static_assert(sizeof(LatencyStats) == 296);
static_assert(offsetof(LatencyStats, mLatencyTable) == 128);
static_assert(offsetof(LatencyStats, mPreviousLatencyTable) == 200);
static_assert(offsetof(LatencyStats, mID) == 272);
static_assert(offsetof(LatencyStats, dummy) == 276);
#pragma GCC diagnostic pop
