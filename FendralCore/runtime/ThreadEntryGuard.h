// Runs the body of a framework thread's loop so that no exception leaves the
// thread's entry function. Thread cancellation still unwinds; anything else
// sets EXCEPTION, logs "Caught an exception at <who>. Proceed thread
// termination.", calls onException and gives -1.
#pragma once

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/LogLevels.h"
#include "FendralCore/runtime/FwLog.h"

#include <cxxabi.h>

template <typename Body, typename OnException>
int32 runGuarded(const char* who, Body body, OnException onException)
{
    try
    {
        return body();
    }
    catch (abi::__forced_unwind&)
    {
        throw;
    }
    catch (...)
    {
        FrameworkErrno::m_fwErrno = EXCEPTION;
        fwLog(LOG_LEVEL_CRITICAL, "Caught an exception at %s. Proceed thread termination.", who);
        onException();
        return -1;
    }
}

template <typename Body>
int32 runGuarded(const char* who, Body body)
{
    return runGuarded(who, body, [] {});
}
