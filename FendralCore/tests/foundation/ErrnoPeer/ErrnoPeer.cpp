#include "FendralCore/foundation/FrameworkErrno.h"

extern "C" void errnoPeerSetCode(int32 code)
{
    FrameworkErrno::m_fwErrno = code;
}

extern "C" int32 errnoPeerGetCode()
{
    return FrameworkErrno::m_fwErrno;
}
