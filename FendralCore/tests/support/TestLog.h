// The framework logger of this test program: every framework line goes to one
// capture sink, set up once before any test runs.
#pragma once

#include "FendralCore/runtime/AppLogSink.h"

CaptureAppLogSink& testLog();
