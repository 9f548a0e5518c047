// Runs the body of an exported call so that no exception crosses the
// interface: anything thrown sets EXCEPTION, is logged with the call's name,
// and the call gives its failure value. Thread cancellation still unwinds.
#pragma once

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/FwErrorNum.h"
#include "FendralCore/foundation/LogLevels.h"
#include "FendralCore/runtime/FwLog.h"

#include <cxxabi.h>

template <typename R, typename Body>
R apiGuard(const char* who, R failure, Body body)
{
    try
    {
        return body();
    }
    catch (...)
    {
        // The cancellation unwind has no C++ type and must go on.
        if (abi::__cxa_current_exception_type() == nullptr)
            throw;
        FrameworkErrno::m_fwErrno = EXCEPTION;
        fwLog(LOG_LEVEL_CRITICAL, "Caught an exception in %s().", who);
        return failure;
    }
}
