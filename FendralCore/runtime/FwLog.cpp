#include "FendralCore/runtime/FwLog.h"

#include "FendralCore/foundation/GlobalData.h"
#include "FendralCore/runtime/AppLogger.h"

namespace
{
int32 frameworkLogV(int32 level, const char* format, va_list arguments)
{
    AppLogger* logger = GlobalData::getInst().getLogger();
    if (logger == nullptr || (!logger->isLogged(level) && !logger->isSyslogged(level)))
        return 0;
    return logger->logAndMirrorV(level, format, arguments);
}

bool frameworkLogEnabled(int32 level)
{
    AppLogger* logger = GlobalData::getInst().getLogger();
    return logger != nullptr && logger->isLogged(level);
}

constexpr LogTarget FRAMEWORK_TARGET{frameworkLogV, frameworkLogEnabled};
} // namespace

void installFwLogTarget()
{
    installLogTarget(&FRAMEWORK_TARGET);
}
