// Bus message: start of day. The line filter listens for it on the module
// "OrluMsgStartOfDay" when a plug-in creates that channel.
#pragma once

#include "zunq/time/Time.h"

class MsgStartOfDay
{
public:
    Time mTimeStamp;
    bool mIntraDay = false;
};
