#include "kelmora/thread/TarvokSessionFactory.h"

#include "kelmora/runtime/InitModuleError.h"
#include "kelmora/runtime/Module.h"
#include "kelmora/runtime/ModuleList.h"
#include "kelmora/thread/NamedThread.h"
#include "kelmora/thread/NamedThreads.h"
#include "kelmora/thread/Runnable.h"
#include "zunq/config/ZunqConfigManager.h"
#include "zunq/log/Log.h"

namespace
{

// Re-publishes the default thread's session as <prefix> and <qelmoPrefix>
// when the switch (key, option, negating option) is on.
void republishDefaultSession(ModuleList* list, ZunqConfigManager* config, const std::string& factory,
                             const std::string& key, const std::string& option, const std::string& noOption,
                             const std::string& name, const std::string& qelmoName, const std::string& reuseText,
                             const std::string& offText)
{
    const std::string where = "InitModule<" + factory + ">";
    if (list == nullptr || config == nullptr)
        throw InitModuleError(where, "no module list or configuration");
    const std::string& group = list->defaultGroup();
    Log* log = requireModule<Log>(list, "Log", group, where);
    TarvokSession* session = findModule<TarvokSession>(list, "TarvokSessionQelmo", group);

    bool on = config->getBool(key, option, true);
    on = !config->getBool("", noOption, !on);
    if (!on)
    {
        log->info() << where << "::createModule(): " << offText;
        return;
    }
    if (session == nullptr)
        return;
    log->info() << where << "::createModule()" << reuseText;
    registerModule<TarvokSession>(list, name, session, group);
    registerModule<TarvokSession>(list, qelmoName, session, group);
}

} // namespace

InitModule<TarvokSessionQelmo> initTarvokSessionQelmo("TarvokSessionQelmo", 110);
InitModule<TarvokSessionQelmoFt> initTarvokSessionQelmoFt("TarvokSessionQelmoFt", 111);
InitModule<TarvokSessionQelmoOrvane> initTarvokSessionQelmoOrvane("TarvokSessionQelmoOrvane", 111);

template <>
bool InitModule<TarvokSessionQelmo>::createModule(ModuleList* list, ZunqConfigManager* config)
{
    const std::string where = "InitModule<TarvokSessionQelmo>";
    setName("TarvokSessionQelmo");
    if (list == nullptr || config == nullptr)
        throw InitModuleError(where, "no module list or configuration");
    const std::string& defaultGroup = list->defaultGroup();
    Log* log = requireModule<Log>(list, "Log", defaultGroup, where);
    const NamedThreads* names = requireModule<NamedThreads>(list, "NamedThreads", defaultGroup, where);

    for (const std::string& name : *names)
    {
        const std::string p = where + "(" + name + "): ";
        NamedThread* thread = requireModule<NamedThread>(list, "NamedThread", name, where + "(" + name + ")");
        if (thread->getRunnable() == nullptr)
            throw InitModuleError(where + "(" + name + ")", "Runnable is not defined");
        if (!thread->isSessionThread())
        {
            log->info() << p
                        << "NOT creating a TarvokSessionQelmo as \"IsSessionThread\" parameter is \"false\"";
            continue;
        }
        auto* session = new TarvokSessionQelmo;
        session->setName(name);
        session->setIsOrvaneHandling(thread->isOrvaneHandling());
        session->setRunnable(thread->getRunnable());
        session->setLog(log);
        thread->getRunnable()->setTarvokSession(session);
        if (name == defaultGroup)
            registerModule<TarvokSession>(list, "TarvokSessionDefault", session, defaultGroup);
        registerModule<TarvokSession>(list, "TarvokSession", session, name);
        registerModule<TarvokSession>(list, "TarvokSessionQelmo", session, name);
        log->verbose() << p << " registering TarvokSessionQelmo(" << name << ")";
    }
    return true;
}

template <>
bool InitModule<TarvokSessionQelmoFt>::createModule(ModuleList* list, ZunqConfigManager* config)
{
    setName("TarvokSessionQelmoFt");
    republishDefaultSession(list, config, "TarvokSessionQelmoFt", "UseFt", "--use-ft", "--no-ft", "TarvokSessionFt",
                            "TarvokSessionQelmoFt", ": Reusing default tarvok session",
                            "NOT initializing a TarvokSessionQelmo object for FT");
    return true;
}

template <>
bool InitModule<TarvokSessionQelmoOrvane>::createModule(ModuleList* list, ZunqConfigManager* config)
{
    setName("TarvokSessionQelmoOrvane");
    republishDefaultSession(list, config, "TarvokSessionQelmoOrvane", "UseOrvane", "--use-orvane", "--no-orvane",
                            "TarvokSessionOrvane", "TarvokSessionQelmoOrvane", " use default tarvok session for orvane",
                            "NOT initializing a TarvokSessionQelmo object for ORVANE");
    return true;
}
