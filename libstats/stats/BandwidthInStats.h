// An inbound bandwidth record of the statistics segment: packets, messages
// and bytes received, added by the owner per delivery.
#pragma once

#include "libstats/stats/StatsRecords.h"

#include <cstdint>
#include <string>

class Log;

struct BandwidthInStats : StatsEntry
{
    bandwidth_in_table_t mBandwidthInTable;
    bandwidth_in_table_t mPreviousBandwidthInTable;
    char dummy[32];

    void writeBandwidthInStats(uint32_t packets, uint32_t messages, uint64_t bytes)
    {
        mBandwidthInTable.pkts += packets;
        mBandwidthInTable.msgs += messages;
        mBandwidthInTable.bytes += bytes;
    }

    void printBandwidthInStats(Log& log) const;
    // One interval's message; the current table then becomes the previous one.
    void genBandwidthInVelbrinMessage(std::string& out);
};

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
static_assert(sizeof(BandwidthInStats) == 192);
static_assert(offsetof(BandwidthInStats, mBandwidthInTable) == 128);
static_assert(offsetof(BandwidthInStats, mPreviousBandwidthInTable) == 144);
static_assert(offsetof(BandwidthInStats, dummy) == 160);
#pragma GCC diagnostic pop
