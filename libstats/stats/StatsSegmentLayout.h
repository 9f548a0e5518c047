// Where the arrays of the statistics segment lie and how large it is, from the
// five configured maxima and the page size. The header does not record the
// maxima: a reader finds the arrays only with the writer's configuration.
//
//   0                              StatsHeader (264)
//   264                            LatencyStats      x L
//   + 296 L                        BandwidthInStats  x Bi
//   + 192 Bi                       BandwidthOutStats x Bo
//   + 192 Bo                       RtsClientStats    x R
//   + 256 R                        SorvelClientStats x S
//   size = page x (bytes / page + 1), zero up to the end
#pragma once

#include "libstats/stats/BandwidthInStats.h"
#include "libstats/stats/BandwidthOutStats.h"
#include "libstats/stats/LatencyStats.h"
#include "libstats/stats/RtsClientStats.h"
#include "libstats/stats/SorvelClientStats.h"
#include "libstats/stats/StatsRecords.h"

#include <cstdint>
#include <string>

struct StatsSegmentLayout
{
    // Largest maximum of one kind accepted, and largest segment (its size is a u32).
    static constexpr int64_t cMaxRecords = 1L << 22;
    static constexpr uint64_t cMaxSize = 0xFFFFFFFFu;

    int64_t mLatency = 50;
    int64_t mBandwidthIn = 6;
    int64_t mBandwidthOut = 6;
    int64_t mRtsClients = 1000;
    int64_t mSorvelClients = 200;
    int64_t mPageSize = 4096;

    // Empty when the layout can be built, else why not.
    std::string problem() const;

    uint64_t latencyOffset() const { return sizeof(StatsHeader); }
    uint64_t bandwidthInOffset() const { return latencyOffset() + sizeof(LatencyStats) * mLatency; }
    uint64_t bandwidthOutOffset() const { return bandwidthInOffset() + sizeof(BandwidthInStats) * mBandwidthIn; }
    uint64_t rtsClientOffset() const { return bandwidthOutOffset() + sizeof(BandwidthOutStats) * mBandwidthOut; }
    uint64_t sorvelClientOffset() const { return rtsClientOffset() + sizeof(RtsClientStats) * mRtsClients; }
    uint64_t neededBytes() const { return sorvelClientOffset() + sizeof(SorvelClientStats) * mSorvelClients; }
    // A whole extra page even when the records fill the last one exactly.
    uint64_t size() const
    {
        const uint64_t page = static_cast<uint64_t>(mPageSize);
        return page * (neededBytes() / page + 1);
    }
    // The header's counts are within the maxima.
    bool countsFit(const StatsHeader& header) const;
};
