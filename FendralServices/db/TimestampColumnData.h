// A date and time as the database API and the facades exchange it: i32 year,
// month, day, hour, minute, second, nanosecond.
#pragma once

#include "FendralCore/foundation/FwTypes.h"

struct TimestampColumnData
{
    int32 year;
    int32 month;
    int32 day;
    int32 hour;
    int32 minute;
    int32 second;
    int32 nanosecond;
};
static_assert(sizeof(TimestampColumnData) == 28);
