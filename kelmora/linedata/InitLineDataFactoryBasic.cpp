#include "kelmora/linedata/InitLineDataFactory.h"

#include "kelmora/runtime/InitModuleError.h"
#include "kelmora/runtime/Module.h"
#include "kelmora/runtime/ModuleList.h"
#include "zunq/config/ZunqConfigManager.h"
#include "zunq/log/Log.h"

#include <cstdint>
#include <limits>

using namespace linedatamodules;

InitModule<LineDataFactoryBasic> initLineDataFactoryBasic("LineDataFactoryBasic", 400);

template <>
bool InitModule<LineDataFactoryBasic>::createModule(ModuleList* list, ZunqConfigManager* config)
{
    const std::string where = "InitModule<LineDataFactoryBasic>";
    Log& log = *requireModule<Log>(list, "Log", list->defaultGroup(), where);
    const std::list<std::string>* groups = subFeeds(list);
    if (groups == nullptr)
    {
        log.verbose() << where << ": NOT initializing any LineDataFactoryBasic objects: no SubFeeds defined\n";
        return true;
    }
    for (const std::string& group : *groups)
    {
        const ZunqConfigManager cfg = groupConfig(*config, group, *list);
        const std::string prefix = where + "(" + group + ")";
        const long gapLimitSize = cfg.getLong("LineFilterGapLimitSize", "--gap-limit-size", 1000, true);
        if (lowerCase(cfg.getString("LineDataFormat", cFormatOption, "block", true)) != "basic")
            continue;
        const long seqNumOffset = cfg.getLong("LineDataSeqNumOffset", "", -1, true);
        const long seqNumLength = cfg.getLong("LineDataSeqNumLength", "", 0, true);
        // The pool is filled at once: a negative or oversized limit would ask for billions of records.
        if (gapLimitSize < 0 || gapLimitSize > static_cast<long>(std::numeric_limits<std::uint32_t>::max()) - 50)
            throw InitModuleError(prefix, "LineFilterGapLimitSize must be between 0 and " +
                                              std::to_string(std::numeric_limits<std::uint32_t>::max() - 50));
        refuseSecondFactory(list, group, prefix, "LineDataFactoryBasic");
        log.info() << prefix << ": creating LineDataFactoryBasic\n";
        auto* factory = new LineDataFactoryBasic("LineDataFactoryBasic(" + group + ")", log);
        factory->setSeqNumOffset(seqNumOffset);
        factory->setSeqNumLength(seqNumLength);
        factory->setObjPoolSize(static_cast<std::uint32_t>(gapLimitSize + 50));
        registerFactory(list, group, "LineDataFactoryBasic", factory);
    }
    return true;
}
