// The line data factory modules (priorities 400 and 401): per sub-feed, the
// factory its "LineDataFormat" names ("block" by default, "basic", "dravek";
// any case), registered under its class name and under "LineDataFactory" in
// the sub-feed's group. The basic and block modules serve sub-feeds only; the
// packet module serves the default group when there are none.
#pragma once

#include "kelmora/linedata/LineDataFactoryBasic.h"
#include "kelmora/linedata/LineDataFactoryBlock.h"
#include "kelmora/linedata/LineDataFactoryDravek.h"
#include "kelmora/runtime/InitModule.h"

#include <list>
#include <string>

class Log;
class ModuleList;
class ZunqConfigManager;

template <>
bool InitModule<LineDataFactoryBasic>::createModule(ModuleList* list, ZunqConfigManager* config);
template <>
bool InitModule<LineDataFactoryBlock>::createModule(ModuleList* list, ZunqConfigManager* config);
template <>
bool InitModule<LineDataFactoryDravek>::createModule(ModuleList* list, ZunqConfigManager* config);

namespace linedatamodules
{

// The option every module reads "LineDataFormat" with: one command line
// choice must reach all three alike.
inline const char* const cFormatOption = "--line-data-format";

// The sub-feed list; null when there is none.
const std::list<std::string>* subFeeds(ModuleList* list);
// The sub-feed's view of the configuration (the default group's is the manager's own).
ZunqConfigManager groupConfig(const ZunqConfigManager& config, const std::string& group, const ModuleList& list);
// The format as read, lower-cased.
std::string lowerCase(std::string text);

// Ends start-up when `group` has a "LineDataFactory" already: which one a
// later look-up found would be chance. The error names both.
void refuseSecondFactory(ModuleList* list, const std::string& group, const std::string& where,
                         const std::string& className);
// Registers `factory` as `className` and as "LineDataFactory" in `group`.
template <typename T>
void registerFactory(ModuleList* list, const std::string& group, const std::string& className, T* factory);

} // namespace linedatamodules
