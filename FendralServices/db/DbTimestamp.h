// A date and time with nanoseconds exchanged with the database layer; all zero
// by default.
#pragma once

#include "FendralCore/foundation/FwTypes.h"

struct DbTimestamp
{
    int32 m_year = 0;
    int32 m_month = 0;
    int32 m_day = 0;
    int32 m_hour = 0;
    int32 m_minute = 0;
    int32 m_second = 0;
    int32 m_nanosecond = 0;
};
