#include "kelmora/runtime/InitModuleError.h"
#include "kelmora/runtime/Module.h"
#include "kelmora/runtime/ModuleList.h"
#include "kelmora/stats/StatsManager.h"
#include "kelmora/supervision/LineMonitor.h"
#include "kelmora/supervision/LineMonitorKeshMethods.h"
#include "kelmora/thread/TarvokSession.h"
#include "libstats/stats/ZunqStatsWriter.h"
#include "zunq/admin/KeshSession.h"
#include "zunq/config/ZunqConfigManager.h"
#include "zunq/log/Log.h"

#include <list>
#include <memory>

InitModule<LineMonitor> initLineMonitor("LineMonitor", 770);

namespace
{

void addMethod(KeshSession& kesh, Log& log, const std::string& prefix, const char* className, KeshMethod* method)
{
    log.info() << prefix << ": creating " << className << " object";
    kesh.addMethod(method);
}

} // namespace

template <>
bool InitModule<LineMonitor>::createModule(ModuleList* list, ZunqConfigManager* config)
{
    const std::string where = "InitModule<LineMonitor>";
    setName("LineMonitor");
    if (list == nullptr || config == nullptr)
        throw InitModuleError(where, "no module list or configuration");
    const std::string defaultGroup = list->defaultGroup();
    Log* log = requireModule<Log>(list, "Log", defaultGroup, where);
    auto* stats = requireModule<StatsManager>(list, "StatsManager", defaultGroup, where);
    const auto* subFeeds = findModule<std::list<std::string>>(list, "SubFeeds", defaultGroup);
    ZunqStatsWriter* writer = findModule<ZunqStatsWriter>(list, "ZunqStatsWriter", defaultGroup);
    auto* terminateAll = requireModule<Orlu<TerminateAll>>(list, "OrluTerminateAll", defaultGroup, where);

    if (subFeeds == nullptr)
    {
        log->verbose() << where << ": NOT initializing any LineMonitor objects: no SubFeeds defined";
        return true;
    }
    const bool ignoreBlockEverywhere =
        config->getBool("IgnoreOrluLineDataBlock", "--ignore-orlu-line-data-block", false, false);
    for (const std::string& subFeed : *subFeeds)
    {
        const std::string prefix = where + "(" + subFeed + ")";
        ZunqConfigManager subConfig(*config);
        subConfig.addConfigBase(subFeed, ZunqConfigManager::ALT_ROOT_OPTIONAL);
        const bool ignoreBlock =
            ignoreBlockEverywhere || subConfig.getBool("IgnoreOrluLineDataBlock", "", false, false);

        auto* kesh = findModule<KeshSession>(list, "KeshSession", subFeed);
        auto* session = findModule<TarvokSession>(list, "TarvokSession", subFeed);
        auto* heartbeats = findModule<Orlu<LineHeartbeat>>(list, "OrluLineHeartbeat", subFeed);
        auto* statuses = findModule<Orlu<LineStatus>>(list, "OrluLineStatus", subFeed);
        auto* data = findModule<Orlu<LineData>>(list, "OrluLineDataBlock", subFeed);
        if (data != nullptr && !ignoreBlock)
        {
            log->info() << prefix << ": monitoring OrluLineDataBlock";
        }
        else
        {
            log->info() << prefix << ": monitoring OrluLineData";
            data = findModule<Orlu<LineData>>(list, "OrluLineData", subFeed);
        }
        if (session == nullptr)
            throw InitModuleError(prefix, "could not find TarvokSession object");
        if (data == nullptr)
            throw InitModuleError(prefix, "could not find OrluLineData object");
        if (heartbeats == nullptr)
            throw InitModuleError(prefix, "could not find OrluLineHeartbeat object");
        if (statuses == nullptr)
            throw InitModuleError(prefix, "could not find OrluLineStatus object");

        const long interval = subConfig.getLong("LineQualityInterval", "--line-quality-interval", 65000, true);
        const bool checkSeqNum = subConfig.getBool("CheckSeqNumPerLine", "--check-seqnum-per-line", false, true);
        const bool initState = subConfig.getBool("LineMonitorInitState", "--line-monitor-init-state", true, true);
        const bool enforceOff =
            subConfig.getBool("LineMonitorEnforceMonitorOff", "--line-monitor-enforce-monitor-off", false, true);
        const bool alwaysCheckUp = subConfig.getBool("LineMonitorAlwaysCheckUpOnLineData",
                                                     "--line-monitor-always-check-up-on-line-data", false, true);
        const bool statsLogging =
            subConfig.getBool("LineMonitorEnableStatsLogging", "--line-monitor-enable-stats-logging", true, true);
        // The interval feeds a 32-bit millisecond timer.
        if (interval < 0 || interval > 0xFFFFFFFFL)
            throw InitModuleError(prefix, "LineQualityInterval " + std::to_string(interval) +
                                              " must be from 0 to 4294967295 ms");

        log->info() << prefix << ": creating LineMonitor object";
        auto* monitor = new LineMonitor(subFeed, session, log, writer);
        monitor->setQualityInterval(static_cast<std::uint32_t>(interval));
        monitor->OrluPublisher<LineStatus>::setDestination(statuses);
        monitor->setCheckSeqNumPerLine(checkSeqNum);
        monitor->setInitMonitorOn(initState);
        monitor->setEnforceMonitorOff(enforceOff);
        monitor->setAlwaysCheckUpOnLineData(alwaysCheckUp);
        monitor->setEnableStatsLogging(statsLogging);
        if (initState)
            monitor->monitorOn();
        else
            monitor->monitorOff();

        heartbeats->subscribe(monitor);
        statuses->subscribe(monitor);
        data->subscribe(monitor);
        terminateAll->subscribe(monitor);

        if (kesh != nullptr)
        {
            addMethod(*kesh, *log, prefix, "KeshSetLineQualityInterval", new KeshSetLineQualityInterval(monitor));
            addMethod(*kesh, *log, prefix, "KeshMonitorOn", new KeshMonitorOn(monitor));
            addMethod(*kesh, *log, prefix, "KeshMonitorOff", new KeshMonitorOff(monitor));
            addMethod(*kesh, *log, prefix, "KeshCheckSeqNumPerLine", new KeshCheckSeqNumPerLine(monitor));
            addMethod(*kesh, *log, prefix, "KeshGetLineMonitorState", new KeshGetLineMonitorState(monitor));
        }
        log->info() << prefix << ": done";
        registerModule<LineMonitor>(list, "LineMonitor", monitor, subFeed);
        stats->add(monitor);
    }
    return true;
}
