// The line filter module (priority 410): per sub-feed (or the default group
// when the list is empty) one LineFilter "LineFilter(<group>)" on the
// group's session, configured from the group's view of the configuration,
// wired to the group's channels, given its three admin methods, and
// registered as "LineFilter" in the group.
#pragma once

#include "kelmora/filter/LineFilter.h"
#include "kelmora/runtime/InitModule.h"

template <>
bool InitModule<LineFilter>::createModule(ModuleList* list, ZunqConfigManager* config);
