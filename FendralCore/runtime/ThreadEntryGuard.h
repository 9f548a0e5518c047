// Runs the body of a framework thread's loop so that no exception leaves the
// thread's entry function. Thread cancellation still unwinds; anything else
// sets EXCEPTION, logs "Caught an exception at <who>. Proceed thread
// termination.", calls onException and gives -1.
#pragma once

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/LogLevels.h"
#include "FendralCore/runtime/FwLog.h"

#include <cxxabi.h>
#include <pthread.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

// The cancellation unwind starts in a signal handler below the frames it
// leaves, and nothing clears the address sanitizer's marks those frames left
// on the stack; the rethrow's own bookkeeping then runs on that stack and
// reports it. Clears the marks below the caller. Nothing without the sanitizer.
[[gnu::noinline]] inline void clearStackBelowCaller()
{
#if defined(__SANITIZE_ADDRESS__)
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0)
        return;
    void* low = nullptr;
    size_t size = 0;
    const bool known = pthread_attr_getstack(&attr, &low, &size) == 0;
    pthread_attr_destroy(&attr);
    char* here = static_cast<char*>(__builtin_frame_address(0));
    if (known && here > static_cast<char*>(low))
        ASAN_UNPOISON_MEMORY_REGION(low, static_cast<size_t>(here - static_cast<char*>(low)));
#endif
}

template <typename Body, typename OnException>
int32 runGuarded(const char* who, Body body, OnException onException)
{
    try
    {
        return body();
    }
    catch (...)
    {
        // The cancellation unwind is a foreign exception without a C++ type:
        // it must go on to end the thread. Naming it in a typed handler binds
        // a reference to no object, which the sanitizers abort on.
        if (abi::__cxa_current_exception_type() == nullptr)
        {
            clearStackBelowCaller();
            throw;
        }
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
