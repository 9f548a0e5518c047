// Periodic statistics of the process. The StatsManager holds the reporters
// (not owned, in the order added), has them print from a timer on the default
// session's thread every StatsInterval seconds, and resets them when a line is
// reset (LineAdmin RESET) or an operator asks ("resetStats"). The admin method
// "setStatsInterval" changes the period.
//
// Factory (priority 210) reads "StatsInterval" (seconds, "--stats-interval",
// default 600, 1 to cMaxIntervalSeconds) and "StatsResetTime" (read, no
// effect), registers "StatsManager" in the default group and adds both admin
// methods to the default KeshSession. The reporter list is filled during
// module creation only, so it takes no lock.
#pragma once

#include "kelmora/bus/LineAdmin.h"
#include "kelmora/runtime/InitModule.h"
#include "kelmora/stats/StatsReporter.h"
#include "kelmora/thread/TarvokHandler.h"
#include "zunq/admin/KeshMethod.h"
#include "zunq/bus/OrluSubscriber.h"

#include <optional>
#include <string>
#include <vector>

class Log;
class TarvokTimer;

class StatsManager : public OrluSubscriber<LineAdmin>
{
public:
    // The largest interval whose milliseconds still fit the timer's 32 bits.
    static constexpr unsigned long cMaxIntervalSeconds = 4294967;

    StatsManager();
    ~StatsManager() override;

    StatsManager(const StatsManager&) = delete;
    StatsManager& operator=(const StatsManager&) = delete;

    // RESET resets every reporter fully; other actions are ignored.
    void onData(const Orlu<LineAdmin>& orlu, const std::string& name, const LineAdmin& data) override;

    virtual void add(StatsReporter* reporter);
    virtual void print(unsigned int intervalSeconds);
    virtual void reset(bool full);

    const std::vector<StatsReporter*>& reporters() const { return mReporters; }

private:
    std::vector<StatsReporter*> mReporters;
};

// An interval in seconds as an operator or a configuration writes it: whole
// decimal text from 1 to cMaxIntervalSeconds; anything else is none.
std::optional<unsigned int> parseStatsInterval(const std::string& text);

// The report timer's handler: one report per expiry, covering the timer's
// interval in whole seconds (at least 1).
class StatsHandler : public TarvokTimerHandler
{
public:
    StatsHandler(StatsManager& stats, Log& log);
    void onTimer(TarvokTimer* timer) override;

private:
    StatsManager* mStats;
    Log* mLog;
};

// "setStatsInterval <seconds>": re-arms the report timer at the new period and
// starts a fresh interval. Runs on the default session's thread, the timer's.
class KeshSetStatsInterval : public KeshMethod
{
public:
    KeshSetStatsInterval(StatsManager& stats, TarvokTimer& timer);
    // KeshUsageError unless exactly one argument that parseStatsInterval takes;
    // nothing changes then.
    void invoke(const KeshParamList& in, KeshParamList& out) override;

    // The report timer it re-arms.
    TarvokTimer& timer() const { return *mTimer; }

private:
    StatsManager* mStatsManager;
    TarvokTimer* mTimer;
};

// "resetStats": the next report comes one full interval from now and covers
// counts from now on.
class KeshResetStats : public KeshMethod
{
public:
    KeshResetStats(StatsManager& stats, TarvokTimer& timer);
    void invoke(const KeshParamList& in, KeshParamList& out) override;

private:
    StatsManager* mStatsManager;
    TarvokTimer* mTimer;
};

template <>
bool InitModule<StatsManager>::createModule(ModuleList* list, ZunqConfigManager* config);
