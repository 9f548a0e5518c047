// The session factories. The plain one (priority 110) builds one session per
// named thread whose IsSessionThread is set and pairs it with the thread's
// Runnable; the Ft and Orvane ones (111) publish the default thread's session
// once more under their names unless switched off ("--no-ft", "--no-orvane").
//
// Every session module is a Module<TarvokSession>:
//   "TarvokSession", "TarvokSessionQelmo"   in the thread's group;
//   "TarvokSessionDefault"                  default group, the default thread's;
//   "TarvokSessionFt", "TarvokSessionQelmoFt",
//   "TarvokSessionOrvane", "TarvokSessionQelmoOrvane"   default group.
#pragma once

#include "kelmora/runtime/InitModule.h"
#include "kelmora/thread/TarvokSession.h"

class ModuleList;
class ZunqConfigManager;

// Factory tags of the two re-publishing factories.
struct TarvokSessionQelmoFt
{
};
struct TarvokSessionQelmoOrvane
{
};

template <>
bool InitModule<TarvokSessionQelmo>::createModule(ModuleList* list, ZunqConfigManager* config);
template <>
bool InitModule<TarvokSessionQelmoFt>::createModule(ModuleList* list, ZunqConfigManager* config);
template <>
bool InitModule<TarvokSessionQelmoOrvane>::createModule(ModuleList* list, ZunqConfigManager* config);
