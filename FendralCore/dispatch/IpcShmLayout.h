// Layout of an IPC channel's shared-memory object, shared by the reader
// process, the writer process and the tests: a 48-byte header followed by
// (queue length + 1) entry slots of 2232 bytes. Host byte order; both
// processes must be built with this same layout.
//
// Every field is written by another process: whoever reads one checks it
// before using it as a length, an index or a count.
#pragma once

#include "FendralCore/foundation/FwTypes.h"

#include <cstddef>
#include <ctime>

enum IpcIntMsgType : int32
{
    IPC_MSG_TYPE_DATA = 0,
    IPC_MSG_TYPE_CTL_OPEN = 1,
    IPC_MSG_TYPE_CTL_CLOSE = 2,
};

// One side of the channel: application id (at most 8 characters, NUL-padded)
// and process id, -1 when the side is free.
struct IpcAppInfo
{
    char appIdTxt[9];
    char pad[3];
    int32 pid;
};

struct IpcRingBufInfo
{
    int32 maxUsage;  // most entries ever held, kept by the writer
    int32 headIndex; // next slot the writer fills; moved only by the writer
    int32 tailIndex; // next slot the reader takes; moved only by the reader
    uint32 bufSize;  // number of slots = queue length + 1
};

struct IpcSharedMemInfo
{
    IpcAppInfo writerInfo;
    IpcAppInfo readerInfo;
    IpcRingBufInfo ringBufInfo;
};

inline constexpr uint32 IPC_SHM_MSG_DATA_SIZE = 2200;

struct IpcShmMsg
{
    int32 msgType; // an IpcIntMsgType
    uint32 dataLen;
    int32 msgPartNum;
    uint8 more;
    char pad[3];
    struct timespec tm;
    char buffer[IPC_SHM_MSG_DATA_SIZE];
};

// Bytes of an entry in front of its data.
inline constexpr uint32 IPC_SHM_MSG_HEADER_SIZE = offsetof(IpcShmMsg, buffer);

static_assert(sizeof(IpcAppInfo) == 16);
static_assert(offsetof(IpcAppInfo, pid) == 12);
static_assert(sizeof(IpcSharedMemInfo) == 48);
static_assert(offsetof(IpcSharedMemInfo, writerInfo) + offsetof(IpcAppInfo, appIdTxt) == 0);
static_assert(offsetof(IpcSharedMemInfo, writerInfo) + offsetof(IpcAppInfo, pid) == 12);
static_assert(offsetof(IpcSharedMemInfo, readerInfo) + offsetof(IpcAppInfo, appIdTxt) == 16);
static_assert(offsetof(IpcSharedMemInfo, readerInfo) + offsetof(IpcAppInfo, pid) == 28);
static_assert(offsetof(IpcSharedMemInfo, ringBufInfo) + offsetof(IpcRingBufInfo, maxUsage) == 32);
static_assert(offsetof(IpcSharedMemInfo, ringBufInfo) + offsetof(IpcRingBufInfo, headIndex) == 36);
static_assert(offsetof(IpcSharedMemInfo, ringBufInfo) + offsetof(IpcRingBufInfo, tailIndex) == 40);
static_assert(offsetof(IpcSharedMemInfo, ringBufInfo) + offsetof(IpcRingBufInfo, bufSize) == 44);

static_assert(sizeof(IpcShmMsg) == 2232);
static_assert(offsetof(IpcShmMsg, msgType) == 0);
static_assert(offsetof(IpcShmMsg, dataLen) == 4);
static_assert(offsetof(IpcShmMsg, msgPartNum) == 8);
static_assert(offsetof(IpcShmMsg, more) == 12);
static_assert(offsetof(IpcShmMsg, tm) == 16);
static_assert(sizeof(struct timespec) == 16);
static_assert(IPC_SHM_MSG_HEADER_SIZE == 32);
