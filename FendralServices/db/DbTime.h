// A time of day exchanged with the database layer; all zero by default.
#pragma once

#include "FendralCore/foundation/FwTypes.h"

struct DbTime
{
    int32 m_hour = 0;
    int32 m_minute = 0;
    int32 m_second = 0;
};
