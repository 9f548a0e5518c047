#include "FendralCore/tests/support/TestLog.h"

#include "FendralCore/foundation/GlobalData.h"
#include "FendralCore/runtime/AppLogger.h"

CaptureAppLogSink& testLog()
{
    static CaptureAppLogSink* const sink = [] {
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
