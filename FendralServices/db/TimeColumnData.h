// A time of day as the database API and the facades exchange it: i32 hour, minute, second.
#pragma once

#include "FendralCore/foundation/FwTypes.h"

struct TimeColumnData
{
    int32 hour;
    int32 minute;
    int32 second;
};
static_assert(sizeof(TimeColumnData) == 12);
