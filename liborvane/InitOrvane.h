// Start-up of the admin relay, from the host's settings:
//   "OrluOrvaneConnected" (80, always): the bus the client tells of its
//     connection on;
//   "OrvaneClient" (801, IsOrvaneClient, default true): the admin client,
//     connecting to OrvaneTcpIpAddress:OrvaneTcpPort (127.0.0.1:13888);
//   "OrvaneServer" (850, IsOrvaneServer, default false): the hub, listening
//     on OrvaneTcpListenInterface:OrvaneTcpListenPort (127.0.0.1:13888).
// All of them in the default group, on the default session's thread.
#pragma once

#include "kelmora/runtime/InitModule.h"
#include "kelmora/thread/OrvaneClient.h"
#include "liborvane/OrvaneServer.h"
#include "zunq/bus/Orlu.h"

template <>
bool InitModule<Orlu<OrvaneConnected>>::createModule(ModuleList* list, ZunqConfigManager* config);
template <>
bool InitModule<OrvaneClient>::createModule(ModuleList* list, ZunqConfigManager* config);
template <>
bool InitModule<OrvaneServer>::createModule(ModuleList* list, ZunqConfigManager* config);
