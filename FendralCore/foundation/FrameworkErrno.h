// The per-thread framework error code. A failing framework call stores one code
// from FwErrorNum.h just before it returns its failure value; success never
// clears it. Defined once in libFendralCore and shared by every library of the
// process through the dynamic linker's thread-local storage.
#pragma once

#include "FendralCore/foundation/FwErrorNum.h"
#include "FendralCore/foundation/FwTypes.h"

class FrameworkErrno
{
public:
    static thread_local int32 m_fwErrno;

    static int32 get() { return m_fwErrno; }
    static void set(int32 code) { m_fwErrno = code; }
};

// Shorthand for the failure paths: store the code and return the failure value.
template <typename T>
inline T fwFail(int32 code, T failureValue)
{
    FrameworkErrno::m_fwErrno = code;
    return failureValue;
}
