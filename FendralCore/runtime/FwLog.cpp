#include "FendralCore/runtime/FwLog.h"

#include "FendralCore/foundation/GlobalData.h"
#include "FendralCore/runtime/AppLogger.h"

int32 fwLog(int32 level, const char* format, ...)
{
    AppLogger* logger = GlobalData::getInst().getLogger();
    if (logger == nullptr || (!logger->isLogged(level) && !logger->isSyslogged(level)))
        return 0;
    va_list arguments;
    va_start(arguments, format);
    const int32 result = logger->logAndMirrorV(level, format, arguments);
    va_end(arguments);
    return result;
}

bool fwLogEnabled(int32 level)
{
    AppLogger* logger = GlobalData::getInst().getLogger();
    return logger != nullptr && logger->isLogged(level);
}
