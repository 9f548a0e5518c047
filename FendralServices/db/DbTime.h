// A time of day exchanged with the database layer; all zero by default.
#pragma once

#include "FendralCore/foundation/FwTypes.h"
#include "FendralServices/db/TimeColumnData.h"

struct DbTime
{
    int32 m_hour = 0;
    int32 m_minute = 0;
    int32 m_second = 0;

    static DbTime from(const TimeColumnData& t) { return DbTime{t.hour, t.minute, t.second}; }
    TimeColumnData toRecord() const { return TimeColumnData{m_hour, m_minute, m_second}; }
};
