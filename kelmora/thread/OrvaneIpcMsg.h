// The remote-administration record a session sends: 1451 bytes, packed, sent
// as laid out, with no header and no byte-order conversion.
#pragma once

#include <cstddef>

class TarvokOldMsg;

#pragma pack(push, 1)
struct OrvaneIpcMsg
{
    char mMsgType;
    char mSubject[100];
    char mReplySubject[50];
    char mArgs[1200];
    char mKeshName[50];
    char mMethod[50];
};
#pragma pack(pop)

static_assert(sizeof(OrvaneIpcMsg) == 1451);
static_assert(offsetof(OrvaneIpcMsg, mReplySubject) == 101);
static_assert(offsetof(OrvaneIpcMsg, mArgs) == 151);
static_assert(offsetof(OrvaneIpcMsg, mKeshName) == 1351);
static_assert(offsetof(OrvaneIpcMsg, mMethod) == 1401);

// Fills `out` from `msg`: all bytes zero first, the subject always, the other
// fields when not empty, each cut to its size less its terminating zero.
void buildOrvaneIpcMsg(const TarvokOldMsg& msg, OrvaneIpcMsg& out);
