// The message-journal logger of a test process, writing into a capture sink;
// the global data takes it once per process, at the first call.
#pragma once

#include "FendralCore/tests/support/TestLog.h"

#include "FendralCore/foundation/GlobalData.h"
#include "FendralCore/runtime/AppLogger.h"

inline CaptureAppLogSink& journalLog()
{
    static CaptureAppLogSink* const sink = [] {
        testLog();
        auto* capture = new CaptureAppLogSink();
        auto* logger = new AppLogger("", "journal", LOG_LEVEL_DEBUG);
        logger->setSink(capture);
        logger->openLog();
        GlobalData::getInst().setMsgJournalLogger(logger);
        return capture;
    }();
    return *sink;
}
