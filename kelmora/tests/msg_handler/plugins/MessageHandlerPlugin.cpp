// The tests' feed plug-in. Its module factory (priority 710, before the
// message handler factory) builds one RecordingMessageHandler per sub-feed
// whose "RecordingHandler" setting is not false (the default group's alone
// without sub-feeds) and registers it as "MessageHandler" and
// "MsgZunqPublisher" in the sub-feed's group; with "RecordingHandlerLog" its
// entries go to the process log too. A test that builds its module
// list by hand runs the factory through msg_handler_plugin_factory().
#include "RecordingMessageHandler.h"

#include "kelmora/runtime/InitModule.h"
#include "kelmora/runtime/Module.h"
#include "kelmora/runtime/ModuleList.h"
#include "zunq/config/ZunqConfigManager.h"
#include "zunq/log/Log.h"

#include <list>

// Factory tag.
struct RecordingMessageHandlerPlugin
{
};

template <>
bool InitModule<RecordingMessageHandlerPlugin>::createModule(ModuleList* list, ZunqConfigManager* config)
{
    const std::string where = "InitModule<RecordingMessageHandlerPlugin>";
    const std::string& defaultGroup = list->defaultGroup();
    Log* log = requireModule<Log>(list, "Log", defaultGroup, where);
    const auto* subFeeds = findModule<std::list<std::string>>(list, "SubFeeds", defaultGroup);
    const std::list<std::string> groups = subFeeds != nullptr ? *subFeeds : std::list<std::string>{defaultGroup};
    for (const std::string& group : groups)
    {
        ZunqConfigManager cfg(*config);
        cfg.addConfigBase(group, ZunqConfigManager::ALT_ROOT_OPTIONAL);
        if (!cfg.getBool("RecordingHandler", "", true))
            continue;
        // Lives until the process exits, as plug-in handlers do.
        auto* handler = new RecordingMessageHandler(group, *log);
        if (cfg.getBool("RecordingHandlerLog", "", false))
            handler->echoTo(log);
        registerModule<MessageHandler>(list, "MessageHandler", handler, group);
        registerModule<MsgZunqPublisher>(list, "MsgZunqPublisher", handler, group);
        log->info() << where << "(" << group << "): created RecordingMessageHandler";
    }
    return true;
}

namespace
{
InitModule<RecordingMessageHandlerPlugin> gFactory("RecordingMessageHandlerPlugin", 710);
}

extern "C" {

InitModuleX* msg_handler_plugin_factory()
{
    return &gFactory;
}

void tarvok_so_init() {}
}
