// One statistics sample: what an application hands writeStatistic, and the
// record of the process statistics ring the control thread copies into the
// framework agent's application block. Its layout is part of that block.
#pragma once

#include "FendralCore/foundation/FwTypes.h"

#include <cstddef>

#pragma pack(push, 4)
struct StatisticCounter
{
    int32 statCounterId;
    int64 statTime; // time_t
    int32 totalSuccNum;
    int32 totalFailNum;
    int32 peakRate;
    int64 tmPeakRate; // time_t
    int32 currentRate;
    int32 peakLatency;
    int64 tmPeakLatency; // time_t
    int32 avgLatency;
    int32 percent90Lat;
    int32 percent95Lat;
};
#pragma pack(pop)

static_assert(sizeof(StatisticCounter) == 60);
static_assert(offsetof(StatisticCounter, statTime) == 4);
static_assert(offsetof(StatisticCounter, totalSuccNum) == 12);
static_assert(offsetof(StatisticCounter, totalFailNum) == 16);
static_assert(offsetof(StatisticCounter, peakRate) == 20);
static_assert(offsetof(StatisticCounter, tmPeakRate) == 24);
static_assert(offsetof(StatisticCounter, currentRate) == 32);
static_assert(offsetof(StatisticCounter, peakLatency) == 36);
static_assert(offsetof(StatisticCounter, tmPeakLatency) == 40);
static_assert(offsetof(StatisticCounter, avgLatency) == 48);
static_assert(offsetof(StatisticCounter, percent90Lat) == 52);
static_assert(offsetof(StatisticCounter, percent95Lat) == 56);
