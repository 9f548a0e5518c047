// Anything the statistics manager asks to report every interval: print writes
// the report (intervalSeconds is the period it covers), reset clears what was
// counted (full: every counter, otherwise the current interval only).
#pragma once

class StatsReporter
{
public:
    virtual ~StatsReporter() = default;

    virtual void print(unsigned int intervalSeconds) = 0;
    virtual void reset(bool full) = 0;
};
