#include "kelmora/runtime/SharedObjects.h"

#include "kelmora/runtime/Module.h"
#include "kelmora/runtime/ModuleList.h"
#include "zunq/config/CfgEntry.h"
#include "zunq/config/ZunqConfigManager.h"
#include "zunq/log/Log.h"

#include <dlfcn.h>

namespace
{

const std::string cWhere = "InitModule<SharedObjects>";

InitModule<SharedObjects> initSharedObjects("SharedObjects", 100);

} // namespace

void loadSharedObjects(const std::string& path, Log* log)
{
    if (path.empty())
        return;
    if (log != nullptr)
        log->info() << cWhere << ": loading " << path << "\n";
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL);
    if (library == nullptr)
    {
        const char* reason = dlerror();
        if (log != nullptr)
            log->error() << cWhere << ": error opening dynamic library: " << (reason != nullptr ? reason : "") << "\n";
        return;
    }
    using InitFunction = void (*)();
    if (auto init = reinterpret_cast<InitFunction>(dlsym(library, "tarvok_so_init")))
    {
        if (log != nullptr)
            log->info() << cWhere << ": calling init function: " << path << "\n";
        init();
    }
    if (log != nullptr)
        log->info() << cWhere << ": finished loading " << path << "\n";
}

template <>
bool InitModule<SharedObjects>::createModule(ModuleList* list, ZunqConfigManager* config)
{
    Log* log = requireModule<Log>(list, "Log", ModuleListBase::cDefaultGroup, cWhere);
    if (config == nullptr)
        throw InitModuleError(cWhere, "no configuration");
    if (log->verboseEnabled())
        log->verbose() << cWhere << ": loading SharedObjects:\n";

    loadSharedObjects(config->getString("", "--shared-objects", ""), log);

    const CfgEntry* section = config->getChild("SharedObjects");
    if (section == nullptr)
    {
        log->info() << cWhere << ": no shared objects defined\n";
        return true;
    }
    for (const std::string& path : section->values())
        loadSharedObjects(path, log);
    return true;
}
