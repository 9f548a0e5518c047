#include "kelmora/linedata/InitLineDataFactory.h"

#include "kelmora/runtime/InitModuleError.h"
#include "kelmora/runtime/Module.h"
#include "kelmora/runtime/ModuleList.h"
#include "zunq/config/ZunqConfigManager.h"
#include "zunq/log/Log.h"

#include <cctype>

namespace linedatamodules
{

const std::list<std::string>* subFeeds(ModuleList* list)
{
    return findModule<std::list<std::string>>(list, "SubFeeds", list->defaultGroup());
}

ZunqConfigManager groupConfig(const ZunqConfigManager& config, const std::string& group, const ModuleList& list)
{
    ZunqConfigManager view(config);
    if (group != list.defaultGroup())
        view.addConfigBase(group, ZunqConfigManager::ALT_ROOT_OPTIONAL);
    return view;
}

std::string lowerCase(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

void refuseSecondFactory(ModuleList* list, const std::string& group, const std::string& where,
                         const std::string& className)
{
    if (list->findBase("LineDataFactory", group) == nullptr)
        return;
    std::string existing = "another factory";
    for (const char* name : {"LineDataFactoryBasic", "LineDataFactoryBlock", "LineDataFactoryDravek"})
        if (list->findBase(name, group) != nullptr)
            existing = name;
    throw InitModuleError(where, "a LineDataFactory (" + existing + ") is already registered for " + group + "; a " +
                                     className + " would be a second one");
}

template <typename T>
void registerFactory(ModuleList* list, const std::string& group, const std::string& className, T* factory)
{
    registerModule<T>(list, className, factory, group);
    registerModule<LineDataFactory>(list, "LineDataFactory", factory, group);
}

template void registerFactory<LineDataFactoryBasic>(ModuleList*, const std::string&, const std::string&,
                                                    LineDataFactoryBasic*);
template void registerFactory<LineDataFactoryBlock>(ModuleList*, const std::string&, const std::string&,
                                                    LineDataFactoryBlock*);
template void registerFactory<LineDataFactoryDravek>(ModuleList*, const std::string&, const std::string&,
                                                     LineDataFactoryDravek*);

} // namespace linedatamodules
