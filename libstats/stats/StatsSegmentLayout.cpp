#include "libstats/stats/StatsSegmentLayout.h"

std::string StatsSegmentLayout::problem() const
{
    if (mPageSize <= 0)
        return "page size " + std::to_string(mPageSize) + " is not positive";
    for (int64_t maximum : {mLatency, mBandwidthIn, mBandwidthOut, mRtsClients, mSorvelClients})
        if (maximum < 0 || maximum > cMaxRecords)
            return "maximum " + std::to_string(maximum) + " is outside 0.." + std::to_string(cMaxRecords);
    if (mPageSize > static_cast<int64_t>(cMaxSize) || size() > cMaxSize)
        return "segment of " + std::to_string(size()) + " bytes is too large";
    return std::string();
}

bool StatsSegmentLayout::countsFit(const StatsHeader& header) const
{
    return header.mCountLatEntries <= mLatency && header.mCountBinEntries <= mBandwidthIn &&
           header.mCountBoutEntries <= mBandwidthOut && header.mCountRtsEntries <= mRtsClients &&
           header.mCountSorvelEntries <= mSorvelClients;
}
