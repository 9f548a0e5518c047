// Reports the message counts of the bus channels handed to it (the raw and
// filtered line data channels and the MsgZunq channels): one info line per
// channel that carried messages in the interval, then that channel's interval
// ends. Channels are added during module creation only; print and reset run
// on the default session's thread (the report timer) or an admin method's.
//
// Factory "OrluStats" (priority 220) registers the collector as
// "OrluStatsCollector" in the default group, adds it to the StatsManager and
// adds the admin method "getOrluStats" (one report now) to the default
// KeshSession.
#pragma once

#include "kelmora/runtime/InitModule.h"
#include "kelmora/stats/StatsReporter.h"
#include "zunq/admin/KeshMethod.h"

#include <string>
#include <vector>

class OrluBase;

class OrluStatsCollector : public StatsReporter
{
public:
    void addOrlu(OrluBase* orlu);

    // "[StatsCollector] Channel:<name> rate:<count> max <max> total:<total>",
    // the name taken after its last "-"; a silent channel gives no line and
    // is left as it is.
    void print(unsigned int intervalSeconds) override;
    void reset(bool full) override;

    const std::vector<OrluBase*>& channels() const { return mChannels; }

private:
    std::vector<OrluBase*> mChannels;
};

// "getOrluStats": writes one report to the log now and answers "OK".
class KeshGetOrluStats : public KeshMethod
{
public:
    KeshGetOrluStats(OrluStatsCollector& collector, const std::string& hostName, const std::string& exeName);
    void invoke(const KeshParamList& in, KeshParamList& out) override;

private:
    OrluStatsCollector* mCollector;
    std::string mHostName;
    std::string mExeName;
};

// Factory tag.
struct OrluStats
{
};

template <>
bool InitModule<OrluStats>::createModule(ModuleList* list, ZunqConfigManager* config);
