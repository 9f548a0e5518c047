// A calendar date exchanged with the database layer; all zero by default.
#pragma once

#include "FendralCore/foundation/FwTypes.h"
#include "FendralServices/db/DateColumnData.h"

struct DbDate
{
    int32 m_year = 0;
    int32 m_month = 0;
    int32 m_day = 0;

    static DbDate from(const DateColumnData& d) { return DbDate{d.year, d.month, d.day}; }
    DateColumnData toRecord() const { return DateColumnData{m_year, m_month, m_day}; }
};
