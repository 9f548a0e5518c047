// The factory of the retransmission server (priority 710, after the
// entitlement list and the cache). It builds the server from the
// configuration, applies its settings, registers the listening service, sets
// the configured HA mode and adds the server's admin methods to the default
// group's KeshSession. The server is not registered in the module list:
// nothing looks it up.
//
// Settings that would break the server end start-up with a ConfigError:
// intervals, time-outs and budgets of 0 or below, and any number that does
// not fit its unsigned 32-bit field.
#pragma once

#include "kelmora/runtime/InitModule.h"
#include "rts/server/RtsTcpServer.h"

template <>
bool InitModule<RtsTcpServer>::createModule(ModuleList* list, ZunqConfigManager* config);
