#include "FendralCore/foundation/FrameworkErrno.h"

__attribute__((visibility("default"))) thread_local int32 FrameworkErrno::m_fwErrno = 0;
