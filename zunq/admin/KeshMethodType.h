// What an admin method does: report, act, or both.
#pragma once

enum KeshMethodType
{
    KESH_METHOD_INFO = 1,
    KESH_METHOD_ACTION = 2,
    KESH_METHOD_ACTION_INFO = 3
};
