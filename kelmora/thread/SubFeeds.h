// The sub-feeds of the process (factory priority 119, after the sessions):
// the names in "SubFeeds", each with the session of the thread that
// processes its data, published as "TarvokSession" in the sub-feed's group.
// The list itself is module "SubFeeds" (Module<std::list<std::string>>) in
// the default group, registered only when there is at least one sub-feed;
// without sub-feeds "TarvokSession" of the default group is the data session.
// A sub-feed whose thread has no session runs on the default session.
#pragma once

#include "kelmora/runtime/InitModule.h"

#include <list>
#include <string>

class ModuleList;
class ZunqConfigManager;

// Factory tag.
struct SubFeeds
{
};

template <>
bool InitModule<SubFeeds>::createModule(ModuleList* list, ZunqConfigManager* config);

// Without sub-feeds, `out` is the default group when the application is
// `name`, else empty; with sub-feeds, those that begin with `name`.
void copySubFeedsOrDefault(std::list<std::string>& out, const std::list<std::string>* subFeeds, ModuleList* list,
                           ZunqConfigManager* config, const std::string& name);
