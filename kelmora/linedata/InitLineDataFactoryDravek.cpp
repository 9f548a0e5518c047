#include "kelmora/linedata/InitLineDataFactory.h"

#include "kelmora/runtime/InitModuleError.h"
#include "kelmora/runtime/Module.h"
#include "kelmora/runtime/ModuleList.h"
#include "zunq/config/ZunqConfigManager.h"
#include "zunq/log/Log.h"

#include <cstdint>
#include <memory>

using namespace linedatamodules;

InitModule<LineDataFactoryDravek> initLineDataFactoryDravek("LineDataFactoryDravek", 401);

template <>
bool InitModule<LineDataFactoryDravek>::createModule(ModuleList* list, ZunqConfigManager* config)
{
    const std::string where = "InitModule<LineDataFactoryDravek>";
    Log& log = *requireModule<Log>(list, "Log", list->defaultGroup(), where);
    const std::list<std::string>* found = subFeeds(list);
    const std::list<std::string> groups =
        found != nullptr && !found->empty() ? *found : std::list<std::string>{list->defaultGroup()};
    for (const std::string& group : groups)
    {
        const ZunqConfigManager cfg = groupConfig(*config, group, *list);
        const std::string prefix = where + "(" + group + ")";
        if (lowerCase(cfg.getString("LineDataFormat", cFormatOption, "", false)) != "dravek")
            continue;
        refuseSecondFactory(list, group, prefix, "LineDataFactoryDravek");
        log.info() << prefix << ": creating LineDataFactoryDravek\n";
        auto factory = std::make_unique<LineDataFactoryDravek>("LineDataFactoryDravek(" + group + ")", log);
        const long channelId = cfg.getLong("LiveChannelId", "", 0, true);
        if (channelId < 0 || channelId > UINT16_MAX)
            throw InitModuleError(prefix, "LiveChannelId must be between 0 and 65535");
        factory->setChannelId(static_cast<std::uint16_t>(channelId));
        registerFactory(list, group, "LineDataFactoryDravek", factory.release());
    }
    return true;
}
