#include "kelmora/linecontrol/LineController.h"
#include "kelmora/runtime/InitModuleError.h"
#include "kelmora/runtime/Module.h"
#include "kelmora/runtime/ModuleList.h"
#include "kelmora/stats/OrluStatsCollector.h"
#include "kelmora/thread/TarvokSession.h"
#include "zunq/config/ZunqConfigManager.h"
#include "zunq/log/Log.h"

#include <list>

InitModule<LineController> initLineController("LineController", 250);

template <>
bool InitModule<LineController>::createModule(ModuleList* list, ZunqConfigManager* config)
{
    // The controllers' errors have always named the channel's module.
    const std::string where = "InitModule<OrluLineControl>";
    setName("LineController");
    if (list == nullptr || config == nullptr)
        throw InitModuleError(where, "no module list or configuration");
    const std::string defaultGroup = list->defaultGroup();
    Log* log = requireModule<Log>(list, "Log", defaultGroup, where);
    const auto* subFeeds = findModule<std::list<std::string>>(list, "SubFeeds", defaultGroup);
    auto* collector = findModule<OrluStatsCollector>(list, "OrluStatsCollector", defaultGroup);
    if (subFeeds == nullptr)
    {
        log->verbose() << "InitModule<LineController>: NOT initializing any LineHandlerController objects: no "
                          "SubFeeds defined";
        return true;
    }
    const bool use = config->getBool("UseLineController", "--use-line-controller", true, true);
    const bool overrides = config->getBool("LineControllerUseOverridesExisting",
                                           "--line-controller-use-overrides-existing", false, true);
    if (!use)
    {
        log->info() << "LineController: not initializing";
        return true;
    }
    log->info() << "LineController: initializing ... ";
    if (subFeeds->empty())
        return true;

    log->info() << where << ": creating general LineControl instance";
    auto* generalChannel = findModule<Orlu<LineControl>>(list, "OrluLineControl", defaultGroup);
    auto* generalSession = requireModule<TarvokSession>(list, "TarvokSession", defaultGroup, where);
    // Requests for single multicast lines arrive on this channel only.
    if (generalChannel == nullptr)
        throw InitModuleError(where, "could not find OrluLineControl object");
    auto* general = new LineController("LineControl." + defaultGroup, defaultGroup, *generalSession, *log);
    general->setUseOverridesExisting(overrides);
    generalChannel->subscribe(general);
    registerModule<LineController>(list, "LineController", general, defaultGroup);

    for (const std::string& subFeed : *subFeeds)
    {
        auto* channel = findModule<Orlu<LineControl>>(list, "OrluLineControl", subFeed);
        auto* session = requireModule<TarvokSession>(list, "TarvokSession", subFeed, where);
        if (channel == nullptr)
            throw InitModuleError(where, "could not find OrluLineControl object");
        log->info() << where << "(" << subFeed << "): creating OrluLineControl instance";
        auto* controller = new LineController("LineControl." + subFeed, subFeed, *session, *log);
        channel->subscribe(controller);
        controller->setUseOverridesExisting(overrides);
        if (collector != nullptr)
            collector->addOrlu(channel);
        registerModule<LineController>(list, "LineController", controller, subFeed);
    }
    return true;
}
