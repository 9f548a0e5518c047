// Applies the process's CPU mask ("CPU_BITMAP") and priority ("PROC_PRI") to
// the calling thread at start-up: normal scheduling for a priority of 0 or
// below, real-time FIFO above it (cut to the system maximum). Threads created
// later inherit both unless the thread service sets their own.
//
// Used once, on the start-up thread.
#pragma once

#include "FendralCore/foundation/FwTypes.h"

class AppLogger;
class ConfigManager;
class GlobalData;

class ProcessPriority
{
public:
    ProcessPriority();

    // 0 when both settings were applied. A refused setting is logged and the
    // other still applied; -1 then, with FUNC_NOT_ALLOWED for a refusal by
    // the system's rights, INVALID_FUNC_ARG for a value it does not accept,
    // or OBJECT_NULL_PTR without a framework configuration.
    int32 setSchPriority();

private:
    ConfigManager* m_configMgrPtr;
    AppLogger* m_loggerPtr;
    GlobalData& m_gblData;

    void logMessage(int32 level, const char* format, ...) __attribute__((format(printf, 3, 4)));
};
