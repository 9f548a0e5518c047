// A plug-in that counts how often its initialisation function ran and brings
// a module factory of its own (priority 150), which registers the module
// "CountingPlugin" in the default group.
#include "kelmora/runtime/InitModule.h"
#include "kelmora/runtime/Module.h"
#include "kelmora/runtime/ModuleList.h"

class CountingPlugin
{
public:
    int created = 0;
};

namespace
{

CountingPlugin gPlugin;

} // namespace

template <>
bool InitModule<CountingPlugin>::createModule(ModuleList* list, ZunqConfigManager*)
{
    ++gPlugin.created;
    registerModule<CountingPlugin>(list, "CountingPlugin", &gPlugin, list->defaultGroup());
    return true;
}

namespace
{

InitModule<CountingPlugin> initCountingPlugin("CountingPlugin", 150);

} // namespace

extern "C" {

int counting_plugin_init_calls = 0;

void tarvok_so_init()
{
    ++counting_plugin_init_calls;
}
}
