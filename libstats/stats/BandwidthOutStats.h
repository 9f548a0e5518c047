// An outbound bandwidth record of the statistics segment: packets, messages
// and bytes sent, packets throttled, and the largest send queue seen in the
// interval.
#pragma once

#include "libstats/stats/StatsRecords.h"

#include <cstdint>
#include <string>

class Log;

struct BandwidthOutStats : StatsEntry
{
    bandwidth_out_table_t mBandwidthOutTable;
    bandwidth_out_table_t mPreviousBandwidthOutTable;
    char dummy[16];

    // Adds the counts; the queue size is kept as the interval's maximum.
    void writeBandwidthOutStats(uint32_t packets, uint32_t messages, uint64_t bytes, uint32_t packetsThrottled,
                                uint32_t queueSize)
    {
        mBandwidthOutTable.pkts += packets;
        mBandwidthOutTable.msgs += messages;
        mBandwidthOutTable.bytes += bytes;
        mBandwidthOutTable.pkts_throt += packetsThrottled;
        if (mBandwidthOutTable.max_q_size < queueSize)
            mBandwidthOutTable.max_q_size = queueSize;
    }

    void printBandwidthOutStats(Log& log) const;
    // One interval's message; the current table then becomes the previous one
    // and the queue maximum starts again from 0.
    void genBandwidthOutVelbrinMessage(std::string& out);
};

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
static_assert(sizeof(BandwidthOutStats) == 192);
static_assert(offsetof(BandwidthOutStats, mBandwidthOutTable) == 128);
static_assert(offsetof(BandwidthOutStats, mPreviousBandwidthOutTable) == 152);
static_assert(offsetof(BandwidthOutStats, dummy) == 176);
#pragma GCC diagnostic pop
