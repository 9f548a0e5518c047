// A date and time with nanoseconds exchanged with the database layer; all zero
// by default.
#pragma once

#include "FendralCore/foundation/FwTypes.h"
#include "FendralServices/db/TimestampColumnData.h"

struct DbTimestamp
{
    int32 m_year = 0;
    int32 m_month = 0;
    int32 m_day = 0;
    int32 m_hour = 0;
    int32 m_minute = 0;
    int32 m_second = 0;
    int32 m_nanosecond = 0;

    static DbTimestamp from(const TimestampColumnData& t)
    {
        return DbTimestamp{t.year, t.month, t.day, t.hour, t.minute, t.second, t.nanosecond};
    }
    TimestampColumnData toRecord() const
    {
        return TimestampColumnData{m_year, m_month, m_day, m_hour, m_minute, m_second, m_nanosecond};
    }
};
