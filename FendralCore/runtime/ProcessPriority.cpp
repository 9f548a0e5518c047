#include "FendralCore/runtime/ProcessPriority.h"

#include "FendralCore/foundation/ConfigManager.h"
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/GlobalData.h"
#include "FendralCore/foundation/LogLevels.h"
#include "FendralCore/runtime/AppLogger.h"
#include "FendralCore/runtime/FwConfigKeys.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <sched.h>

namespace
{
int32 codeOf(int error)
{
    return error == EPERM ? FUNC_NOT_ALLOWED : INVALID_FUNC_ARG;
}
} // namespace

ProcessPriority::ProcessPriority()
    : m_configMgrPtr(GlobalData::getInst().getConfigManager()),
      m_loggerPtr(GlobalData::getInst().getLogger()),
      m_gblData(GlobalData::getInst())
{
}

void ProcessPriority::logMessage(int32 level, const char* format, ...)
{
    if (m_loggerPtr == nullptr)
        return;
    va_list arguments;
    va_start(arguments, format);
    m_loggerPtr->logAndMirrorV(level, format, arguments);
    va_end(arguments);
}

int32 ProcessPriority::setSchPriority()
{
    if (m_configMgrPtr == nullptr)
    {
        logMessage(LOG_LEVEL_ERROR, "Error [%d] setting process priority: no framework configuration",
                   OBJECT_NULL_PTR);
        return fwFail(OBJECT_NULL_PTR, -1);
    }
    int32 failure = 0;

    uint64 cpuBitmap = 0;
    m_configMgrPtr->getUint64ConfigPara(FwConfigKeys::CPU_AFFINITY_BITMAP_LABEL, cpuBitmap,
                                        FwConfigKeys::DEFAULT_CPU_AFFINITY_BITMAP);
    if (cpuBitmap != 0)
    {
        cpu_set_t set;
        CPU_ZERO(&set);
        for (int cpu = 0; cpu < 64; ++cpu)
            if ((cpuBitmap >> cpu) & 1U)
                CPU_SET(cpu, &set);
        if (sched_setaffinity(0, sizeof(set), &set) != 0)
        {
            const int error = errno;
            char text[128];
            logMessage(LOG_LEVEL_ERROR, "Error [%d] setting CPU affinity. [%s]", error,
                       strerror_r(error, text, sizeof(text)));
            failure = codeOf(error);
        }
    }

    int32 priority = 0;
    m_configMgrPtr->getInt32ConfigPara(FwConfigKeys::PROCESS_PRIORITY_LABEL, priority,
                                       FwConfigKeys::DEFAULT_PROCESS_PRIORITY);
    sched_param param{};
    if (priority <= sched_get_priority_max(SCHED_OTHER))
    {
        param.sched_priority = priority;
        if (sched_setscheduler(0, SCHED_OTHER, &param) != 0)
        {
            const int error = errno;
            logMessage(LOG_LEVEL_ERROR, "Error [%d] setting normal process priority for MAIN", error);
            failure = codeOf(error);
        }
    }
    else
    {
        param.sched_priority = std::min(priority, sched_get_priority_max(SCHED_FIFO));
        if (sched_setscheduler(0, SCHED_FIFO, &param) != 0)
        {
            const int error = errno;
            logMessage(LOG_LEVEL_ERROR, "Error [%d] setting RT process priority for MAIN", error);
            failure = codeOf(error);
        }
    }
    return failure == 0 ? 0 : fwFail(failure, -1);
}
