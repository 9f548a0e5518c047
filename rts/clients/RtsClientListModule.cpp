#include "kelmora/bus/TerminateAll.h"
#include "kelmora/runtime/InitModuleError.h"
#include "kelmora/runtime/Module.h"
#include "kelmora/runtime/ModuleList.h"
#include "kelmora/stats/ZunqStatsWriterModule.h"
#include "rts/clients/ReloadClientListMethod.h"
#include "rts/clients/RtsClientList.h"
#include "zunq/admin/KeshSession.h"
#include "zunq/log/Log.h"

namespace
{
const std::string cWhere = "InitModule<RtsClientList>";
} // namespace

template <>
bool InitModule<RtsClientList>::createModule(ModuleList* list, ZunqConfigManager* config)
{
    setName("RtsClientList");
    const std::string& group = list->defaultGroup();
    Log* log = findModule<Log>(list, "Log", group);
    KeshSession* kesh = findModule<KeshSession>(list, "KeshSession", group);
    Orlu<TerminateAll>* terminate = findModule<Orlu<TerminateAll>>(list, "OrluTerminateAll", group);
    if (log == nullptr)
        throw InitModuleError(cWhere, "could not find Log object");
    if (kesh == nullptr)
        throw InitModuleError(cWhere, "could not find KeshSession object");
    if (terminate == nullptr)
        throw InitModuleError(cWhere, "could not find OrluTerminateAll object");

    auto* clients = new RtsClientList(*log);
    terminate->subscribe(clients);
    // Without the section start-up goes on with an empty list.
    clients->initialise(config);
    // Detached by the process once every thread has ended.
    detachWithStatsWriter(list, clients->statsWriter());
    kesh->addMethod(new ReloadClientListMethod(*clients, *log));
    registerModule<RtsClientList>(list, "RtsClientList", clients, group);
    return true;
}

namespace
{
InitModule<RtsClientList> gRtsClientListFactory("RtsClientList", 311);
} // namespace
