#include "kelmora/stats/ZunqStatsWriterModule.h"

#include "kelmora/runtime/InitModuleError.h"
#include "kelmora/runtime/Module.h"
#include "kelmora/runtime/ModuleList.h"
#include "zunq/config/ZunqConfigManager.h"
#include "zunq/log/Log.h"

#include <vector>

ZunqStatsCleanup::ZunqStatsCleanup(ZunqStatsWriter& writer, Log& log)
    : OrluSubscriber<TerminateAll>("ZunqStatsCleanup"), mZunqStatsWriter(&writer), mLog(&log)
{
}

void ZunqStatsCleanup::onData(const Orlu<TerminateAll>&, const std::string&, const TerminateAll&)
{
    // Other threads may still be counting into the segment: detaching here
    // would pull it from under them.
    if (!mTerminating.exchange(true, std::memory_order_acq_rel) && mZunqStatsWriter->isAttached())
        mLog->info() << "ZunqStatsCleanup::onData(): the statistics segment is detached once every thread has ended";
}

namespace
{
// The writers of components, kept with the modules under this name.
const std::string cComponentWriters = "ZunqStatsWritersOfComponents";
using ComponentWriters = std::vector<ZunqStatsWriter*>;
} // namespace

void detachStatsWriter(const ModuleListBase* list)
{
    if (list == nullptr)
        return;
    if (ZunqStatsWriter* writer = findModule<ZunqStatsWriter>(list, "ZunqStatsWriter", list->defaultGroup()))
        writer->detachShm();
    if (ComponentWriters* writers = findModule<ComponentWriters>(list, cComponentWriters, list->defaultGroup()))
        for (ZunqStatsWriter* writer : *writers)
            writer->detachShm();
}

void detachWithStatsWriter(ModuleListBase* list, ZunqStatsWriter& writer)
{
    if (list == nullptr)
        return;
    auto* writers = findModule<ComponentWriters>(list, cComponentWriters, list->defaultGroup());
    if (writers == nullptr)
    {
        writers = new ComponentWriters;
        registerModule<ComponentWriters>(list, cComponentWriters, writers, list->defaultGroup());
    }
    writers->push_back(&writer);
}

InitModule<ZunqStatsWriter> initZunqStatsWriter("ZunqStatsWriter", 200);

template <>
bool InitModule<ZunqStatsWriter>::createModule(ModuleList* list, ZunqConfigManager* config)
{
    const std::string where = "InitModule<ZunqStatsWriter>";
    setName("ZunqStatsWriter");
    if (list == nullptr || config == nullptr)
        throw InitModuleError(where, "no module list or configuration");
    const std::string& defaultGroup = list->defaultGroup();
    Log* log = requireModule<Log>(list, "Log", defaultGroup, where);
    auto* terminate = requireModule<Orlu<TerminateAll>>(list, "OrluTerminateAll", defaultGroup, where);

    log->info() << where << ": creating ZunqStatsWriter instance";
    auto* writer = new ZunqStatsWriter();
    writer->init(*log, config->getBinaryName());
    registerModule<ZunqStatsWriter>(list, "ZunqStatsWriter", writer, defaultGroup);
    terminate->subscribe(new ZunqStatsCleanup(*writer, *log));
    return true;
}
