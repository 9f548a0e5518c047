#include "kelmora/recovery/KeshHAModeMethods.h"
#include "kelmora/recovery/MessageHandler.h"

#include "kelmora/runtime/InitModuleError.h"
#include "kelmora/runtime/Module.h"
#include "kelmora/runtime/ModuleList.h"
#include "kelmora/thread/NamedThread.h"
#include "kelmora/thread/TarvokSession.h"
#include "zunq/admin/KeshSession.h"
#include "zunq/config/ZunqConfigManager.h"
#include "zunq/log/Log.h"

#include <list>

InitModule<MessageHandler> initMessageHandler("MessageHandler", 720);

namespace
{

const std::string cWhere = "InitModule<MessageHandler>";

struct Wiring
{
    TarvokSession* session;
    KeshSession* kesh;
    Orlu<LineAdmin>* lineAdmin;
    Orlu<LineData>* lineData;
    Orlu<LineStatus>* lineStatus;
    Orlu<SystemEvent>* systemEvent;
    Orlu<MhMode>* mhMode;
};

Wiring lookUp(const ModuleList& list, const std::string& subFeed, const std::string& adminGroup)
{
    Wiring w{};
    w.session = findModule<TarvokSession>(&list, "TarvokSession", subFeed);
    w.kesh = findModule<KeshSession>(&list, "KeshSession", adminGroup);
    w.lineAdmin = findModule<Orlu<LineAdmin>>(&list, "OrluLineAdmin", adminGroup);
    w.lineData = findModule<Orlu<LineData>>(&list, "OrluLineData", subFeed);
    w.lineStatus = findModule<Orlu<LineStatus>>(&list, "OrluLineStatus", adminGroup);
    w.systemEvent = findModule<Orlu<SystemEvent>>(&list, "OrluSystemEvent", adminGroup);
    w.mhMode = findModule<Orlu<MhMode>>(&list, "OrluMhMode", adminGroup);
    return w;
}

void check(const Wiring& w, const std::string& where)
{
    const std::pair<const void*, const char*> required[] = {
        {w.session, "TarvokSession"},     {w.lineAdmin, "OrluLineAdmin"},     {w.lineData, "OrluLineData"},
        {w.lineStatus, "OrluLineStatus"}, {w.systemEvent, "OrluSystemEvent"}, {w.mhMode, "OrluMhMode"},
    };
    for (const auto& [module, name] : required)
        if (module == nullptr)
            throw InitModuleError(where, std::string("could not find ") + name + " object");
}

} // namespace

template <>
bool InitModule<MessageHandler>::createModule(ModuleList* list, ZunqConfigManager* config)
{
    setName("MessageHandler");
    if (list == nullptr || config == nullptr)
        throw InitModuleError(cWhere, "no module list or configuration");
    const std::string& defaultGroup = list->defaultGroup();
    Log* log = requireModule<Log>(list, "Log", defaultGroup, cWhere);
    const auto* subFeeds = findModule<std::list<std::string>>(list, "SubFeeds", defaultGroup);
    if (subFeeds == nullptr)
    {
        log->verbose() << cWhere << ": NOT initializing: no SubFeeds defined";
        return true;
    }
    const bool warnNoHandler = config->getBool("SubFeedsErrorNoMessageHandler", "", true);

    for (const std::string& subFeed : *subFeeds)
    {
        const std::string where = cWhere + "(" + subFeed + ")";
        const NamedThread* thread = findModule<NamedThread>(list, "NamedThread", subFeed);
        ZunqConfigManager subConfig(*config);
        if (subFeed != defaultGroup)
            subConfig.addConfigBase(subFeed, ZunqConfigManager::ALT_ROOT_OPTIONAL);
        const std::string adminGroup = thread != nullptr && thread->isMsgHandling() ? defaultGroup : subFeed;

        MessageHandler* handler = findModule<MessageHandler>(list, "MessageHandler", subFeed);
        if (handler == nullptr)
        {
            if (warnNoHandler)
                log->warning() << where << ": no MessageHandler object found";
            continue;
        }
        const Wiring w = lookUp(*list, subFeed, adminGroup);
        check(w, where);

        log->info() << where << ": initializing MessageHandler object";
        handler->setDebug(subConfig.getBool("MessageHandlerDebug", "--mh-debug", false));
        const std::string haText = config->getString("HaMode", "--ha-mode", "active");
        const HaMode haMode(haText);
        if (haMode == HaMode::ERROR)
            throw InitModuleError(cWhere, "Invalid HA mode passed to MH : " + haText);
        handler->setHAMode(haMode);

        if (w.kesh != nullptr)
        {
            log->info() << "InitMessageHandler: creating KeshMethod objects";
            log->info() << where << ": creating KeshMethod objects";
            KeshMethod* methods[] = {new KeshGetHAMode(*handler, config->getBinaryName(), subFeed),
                                     new KeshSetHAMode(*handler)};
            for (KeshMethod* method : methods)
            {
                // On the handler's own thread, also when the admin group is the default one.
                method->setThread(w.session->getName());
                w.kesh->addMethod(method);
            }
        }

        w.lineData->subscribe(handler);
        w.lineAdmin->subscribe(handler);
        w.lineStatus->subscribe(handler);
        w.systemEvent->subscribe(handler);
        handler->OrluPublisher<MhMode>::setDestination(w.mhMode);
    }
    return true;
}
