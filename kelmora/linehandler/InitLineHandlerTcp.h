// Start-up of the TCP feed lines: one LineHandlerTcp per sub-feed whose
// LineHandlerType lists tcp, given its connection, framing, reconnect,
// heartbeat, compression and recovery-file settings, bound to the sub-feed's
// channels, watched by its line monitor and given its four admin methods.
#pragma once

#include "kelmora/linehandler/LineHandlerTcp.h"
#include "kelmora/runtime/InitModule.h"

template <>
bool InitModule<LineHandlerTcp>::createModule(ModuleList* list, ZunqConfigManager* config);
