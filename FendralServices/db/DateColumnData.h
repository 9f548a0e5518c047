// A date as the database API and the facades exchange it: i32 year, month, day.
#pragma once

#include "FendralCore/foundation/FwTypes.h"

struct DateColumnData
{
    int32 year;
    int32 month;
    int32 day;
};
static_assert(sizeof(DateColumnData) == 12);
