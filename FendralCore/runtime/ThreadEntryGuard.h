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
// on the stack; whatever runs there next (the rethrow's bookkeeping, the
// thread's exit) then reports them. Clears the marks of the calling thread's
// stack below top. Nothing without the sanitizer.
[[gnu::noinline]] inline void clearStackBelow([[maybe_unused]] const void* top)
{
#if defined(__SANITIZE_ADDRESS__)
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0)
        return;
    void* low = nullptr;
    size_t size = 0;
    const bool known = pthread_attr_getstack(&attr, &low, &size) == 0;
    pthread_attr_destroy(&attr);
    const char* high = static_cast<const char*>(top);
    if (known && high > static_cast<char*>(low))
        ASAN_UNPOISON_MEMORY_REGION(low, static_cast<size_t>(high - static_cast<char*>(low)));
#endif
}

// The same below the caller's own frame.
[[gnu::noinline]] inline void clearStackBelowCaller()
{
    clearStackBelow(__builtin_frame_address(0));
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
