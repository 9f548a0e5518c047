// A calendar date exchanged with the database layer; all zero by default.
#pragma once

#include "FendralCore/foundation/FwTypes.h"

struct DbDate
{
    int32 m_year = 0;
    int32 m_month = 0;
    int32 m_day = 0;
};
