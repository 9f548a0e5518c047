#include "kelmora/runtime/InitModuleError.h"
#include "kelmora/runtime/Module.h"
#include "kelmora/runtime/ModuleList.h"
#include "kelmora/thread/Runnable.h"
#include "kelmora/thread/TarvokSession.h"
#include "rts/cache/LineDataCacheHop.h"
#include "rts/cache/LineDataCacheManager.h"
#include "zunq/config/ZunqConfigManager.h"
#include "zunq/log/Log.h"

#include <list>
#include <map>

namespace
{
const std::string cPrefix = "InitModule<LineDataCacheManager> ";
constexpr long cMaxDefaultCacheSize = 2000000;

// The thread of a group's session, when the host runs sessions.
Runnable* threadOf(ModuleList* list, const std::string& group)
{
    auto* session = findModule<TarvokSession>(list, "TarvokSession", group);
    return session != nullptr ? session->getRunnable() : nullptr;
}
} // namespace

template <>
bool InitModule<LineDataCacheManager>::createModule(ModuleList* list, ZunqConfigManager* config)
{
    setName("LineDataCacheManager");
    Log* log = findModule<Log>(list, "Log", list->defaultGroup());
    if (log == nullptr)
        throw InitModuleError(cPrefix, "could not find Log object");

    std::list<std::string> subFeeds{list->defaultGroup()};
    if (const auto* names = findModule<std::list<std::string>>(list, "SubFeeds", list->defaultGroup()))
        subFeeds = *names;

    const bool lastNCaching = config->getBool("LastNCaching", "--last-n-caching", true);
    const long maxCacheSize = config->getLong("MaxCacheSize", "--max-cache-size", 100000);
    const bool cacheControlMsgs = config->getBool("CacheControlMessages", "--cache-control-messages", false);
    const long maxPacketSize = config->getLong("MaxPacketSize", "--max-packet-size", 1536);
    const bool sorvelMode = config->getBool("SORVELMode", "--sorvel-mode", false);

    if (static_cast<std::int32_t>(maxCacheSize) > cMaxDefaultCacheSize)
        throw InitModuleError(cPrefix, "Default MaxCacheSize too large");
    // A ring of no slots has no slot to address.
    if (maxCacheSize <= 0 || maxCacheSize > cMaxDefaultCacheSize)
        throw InitModuleError(cPrefix, "Default MaxCacheSize " + std::to_string(maxCacheSize) +
                                           " must be from 1 to " + std::to_string(cMaxDefaultCacheSize));

    log->info() << cPrefix << "creating object...";
    auto manager = std::make_unique<LineDataCacheManager>(*log);
    // The server reads the caches on the default group's thread.
    Runnable* cacheThread = threadOf(list, list->defaultGroup());
    std::map<std::uint16_t, std::string> channelOwners;
    for (const std::string& subFeed : subFeeds)
    {
        const std::string subPrefix = cPrefix + "(" + subFeed + ")";
        ZunqConfigManager subConfig(*config);
        subConfig.addConfigBase(subFeed, ZunqConfigManager::ALT_ROOT_OPTIONAL);
        auto* lineData = findModule<Orlu<LineData>>(list, "OrluLineData", subFeed);
        auto* mhMode = findModule<Orlu<MhMode>>(list, "OrluMhMode", subFeed);
        if (lineData == nullptr)
            throw InitModuleError(subPrefix, "could not find OrluLineData object");

        log->info() << cPrefix << "Searching for the Channel Id";
        const long rtsChannelId = subConfig.getLong("RtsChannelId", "", 0);
        if (rtsChannelId == 0)
            throw InitModuleError(cPrefix, subPrefix + " No RtsChannelId defined for" + subFeed +
                                               " - Mandatory Parameter");
        const auto channelId = static_cast<std::uint16_t>(rtsChannelId);
        // Channel 0 cannot be requested apart from "no channel": refuse it
        // rather than cache under it.
        if (channelId == 0)
            throw InitModuleError(cPrefix, subPrefix + " RtsChannelId " + std::to_string(rtsChannelId) +
                                               " gives channel id 0 (its low 16 bits) for " + subFeed);
        long capacity = subConfig.getLong("MaxCacheSize", "--max-cache-size", 0);
        if (capacity == 0)
            capacity = maxCacheSize;
        if (capacity < 0 || capacity > 2147483647L)
            throw InitModuleError(cPrefix, subPrefix + " MaxCacheSize " + std::to_string(capacity) + " for " +
                                               subFeed + " must be above 0");
        auto owner = channelOwners.find(channelId);
        const bool first = owner == channelOwners.end();
        if (!first)
            log->warning() << cPrefix << "sub-feeds " << owner->second << " and " << subFeed
                           << " share channel id " << channelId << ": only " << owner->second << " is cached";
        else
            channelOwners.emplace(channelId, subFeed);
        // A sub-feed published on another thread than the cache's reaches it
        // by thread message: the cache takes no lock.
        Runnable* feedThread = threadOf(list, subFeed);
        const bool hop = first && cacheThread != nullptr && feedThread != nullptr && feedThread != cacheThread;
        LineDataCacheManager::LineDataCache* cache = manager->addLineDataCache(
            channelId, subFeed, hop ? nullptr : lineData, hop ? nullptr : mhMode, static_cast<std::int32_t>(capacity),
            lastNCaching, cacheControlMsgs, static_cast<std::uint32_t>(maxPacketSize), sorvelMode);
        if (hop)
        {
            log->info() << cPrefix << "sub-feed " << subFeed << " is published on thread " << feedThread->getName()
                        << ": its records reach the cache on thread " << cacheThread->getName()
                        << " by thread message";
            registerModule<LineDataCacheHop>(list, "LineDataCacheHop",
                                             new LineDataCacheHop(*cache, *cacheThread, *lineData, mhMode, *log),
                                             subFeed);
        }
    }
    registerModule<LineDataCacheManager>(list, "LineDataCacheManager", manager.release(), list->defaultGroup());
    return true;
}

namespace
{
InitModule<LineDataCacheManager> gLineDataCacheManagerFactory("LineDataCacheManager", 700);
} // namespace
