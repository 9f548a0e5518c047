// The admin-method sessions (priority 200): one KeshSession per sub-feed
// group and one in the default group, each registered as "KeshSession" in its
// group, all with the quiet method names of "KeshQuietMethods". A session's
// methods run on the thread of its group's "TarvokSession" unless they name
// another thread.
#pragma once

#include "kelmora/runtime/InitModule.h"
#include "zunq/admin/KeshSession.h"

template <>
bool InitModule<KeshSession>::createModule(ModuleList* list, ZunqConfigManager* config);
