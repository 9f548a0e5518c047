// Whether a multicast sending socket's own datagrams loop back to receivers
// on this host. A UDP channel's record names it and the multicast socket
// applies it, so it sits below both.
#pragma once

#include "FendralCore/foundation/FwTypes.h"

enum MulticastLoopback : int32
{
    GLOBAL_MCAST_LOOPBACK_SETTING = 0, // as the framework configuration says
    ENABLE_MCAST_LOOPBACK = 1,
    DISABLE_MCAST_LOOPBACK = 2,
};
