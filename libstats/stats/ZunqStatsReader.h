// Reads a statistics segment from outside the processes that write it: the
// segment is attached read-only by its key file, checked (cookie, size,
// counts within the configured maxima) and its records in use are printed,
// one line each, as text or as one JSON object per line.
#pragma once

#include "libstats/stats/StatsSegmentLayout.h"

#include <ostream>
#include <string>

class ZunqStatsReader
{
public:
    ZunqStatsReader() = default;
    ~ZunqStatsReader() { detach(); }
    ZunqStatsReader(const ZunqStatsReader&) = delete;
    ZunqStatsReader& operator=(const ZunqStatsReader&) = delete;

    // false, with the reason in `error`, when the segment of `keyFile` is
    // absent or does not match `layout`.
    bool attach(const std::string& keyFile, const StatsSegmentLayout& layout, std::string& error);
    void detach();

    const StatsHeader& header() const { return *mHeader; }
    // Every record in use, kind by kind, one line each.
    void print(std::ostream& out, bool json) const;

private:
    const char* mMemory = nullptr;
    const StatsHeader* mHeader = nullptr;
    StatsSegmentLayout mLayout;
};
