// The statistics configuration, "libstats.xml": the segment's key file, the
// maxima of the five record kinds, the page size and the latency queues. The
// file is found as every configuration file is (TARVOK_PATH, then the working
// directory); a name with a "/" is used as given.
#pragma once

#include "libstats/stats/StatsSegmentLayout.h"

#include <string>

class Log;

struct StatsSettings
{
    static constexpr const char* cFileName = "libstats.xml";

    std::string mKeyFileName = "/tmp/zunqstats";
    StatsSegmentLayout mLayout;
    int64_t mMaxLatencyQueueSize = 1000;
    std::string mLatencyQueueShmName = "/tmp/ZunqLatencyQueueShm";

    // Reads the file; false, logged, when it cannot be read or is malformed.
    // Each value is logged as it is read, after `logPrefix`.
    bool load(Log& log, const std::string& file, const std::string& logPrefix);
};
