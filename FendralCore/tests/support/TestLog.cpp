#include "FendralCore/tests/support/TestLog.h"

#include "FendralCore/foundation/GlobalData.h"
#include "FendralCore/runtime/AppLogger.h"

namespace
{
void noSyslogOpen(const char*, int, int) {}
void noSyslogWrite(int, const char*) {}
void noSyslogClose() {}
// Test programs keep their alerts out of the machine's system log.
const AppLogger::SyslogApi NO_SYSLOG{noSyslogOpen, noSyslogWrite, noSyslogClose};
} // namespace

CaptureAppLogSink& testLog()
{
    static CaptureAppLogSink* const sink = [] {
        AppLogger::setSyslogApi(&NO_SYSLOG);
        auto* capture = new CaptureAppLogSink();
        auto* logger = new AppLogger("", "test", LOG_LEVEL_DEBUG);
        logger->setSink(capture);
        logger->openLog();
        GlobalData::getInst().setLogger(logger);
        return capture;
    }();
    return *sink;
}

// Objects take the logger at construction, so it is in place before main.
[[maybe_unused]] static CaptureAppLogSink& g_testLog = testLog();
