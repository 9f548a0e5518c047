#include "kelmora/stats/OrluStatsCollector.h"

#include "kelmora/runtime/InitModuleError.h"
#include "kelmora/runtime/Module.h"
#include "kelmora/runtime/ModuleList.h"
#include "kelmora/stats/StatsManager.h"
#include "zunq/admin/KeshSession.h"
#include "zunq/bus/OrluBase.h"
#include "zunq/config/ZunqConfigManager.h"
#include "zunq/identity/Host.h"
#include "zunq/log/Log.h"
#include "zunq/log/LogRegistry.h"

#include <cstdint>

void OrluStatsCollector::addOrlu(OrluBase* orlu)
{
    if (orlu != nullptr)
        mChannels.push_back(orlu);
}

void OrluStatsCollector::print(unsigned int)
{
    for (OrluBase* orlu : mChannels)
    {
        std::uint64_t count = 0, max = 0, total = 0;
        orlu->getStats(count, max, total, true);
        if (count == 0)
            continue;
        const std::string& name = orlu->getName();
        const std::size_t dash = name.rfind('-');
        Log* log = LogRegistry::g_logger;
        if (log != nullptr && log->enabled(LOG_LEVEL_INFO))
            log->info() << "[StatsCollector] Channel:" << (dash == std::string::npos ? name : name.substr(dash + 1))
                        << " rate:" << count << " max " << max << " total:" << total;
        orlu->resetStats(false);
    }
}

void OrluStatsCollector::reset(bool full)
{
    for (OrluBase* orlu : mChannels)
        orlu->resetStats(full);
}

KeshGetOrluStats::KeshGetOrluStats(OrluStatsCollector& collector, const std::string& hostName,
                                   const std::string& exeName)
    : KeshMethod("getOrluStats", KESH_METHOD_INFO, "Get the orlu statistics from the feedhandlers."),
      mCollector(&collector), mHostName(hostName), mExeName(exeName)
{
    addResultParamDef("Message", "Simple reply");
}

void KeshGetOrluStats::invoke(const KeshParamList&, KeshParamList& out)
{
    mCollector->print(1);
    out.add("Message", "OK");
}

InitModule<OrluStats> initOrluStats("OrluStats", 220);

template <>
bool InitModule<OrluStats>::createModule(ModuleList* list, ZunqConfigManager* config)
{
    const std::string where = "InitModule<OrluStats>";
    setName("OrluStats");
    if (list == nullptr)
        throw InitModuleError(where, "no module list");
    const std::string& defaultGroup = list->defaultGroup();
    requireModule<Log>(list, "Log", defaultGroup, where);
    StatsManager* stats = requireModule<StatsManager>(list, "StatsManager", defaultGroup, where);
    KeshSession* kesh = requireModule<KeshSession>(list, "KeshSession", defaultGroup, where);

    auto* collector = new OrluStatsCollector();
    kesh->addMethod(new KeshGetOrluStats(*collector, hostname(),
                                         config != nullptr ? config->getExeName() : std::string()));
    registerModule<OrluStatsCollector>(list, "OrluStatsCollector", collector, defaultGroup);
    stats->add(collector);
    return true;
}
