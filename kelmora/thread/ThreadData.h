// The records host threads exchange: a thread message (ThreadData), copied
// byte for byte between threads of one process, and the thread's status as
// its Runnable publishes it.
#pragma once

#include "libstats/pool/ArrayBackedPoolObject.h"
#include "zunq/time/Time.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace Zunq
{

// Selects the bus a thread message is published on at the receiver.
enum DataType : uint32_t
{
    UNDEFINED = 0,
    ORVANE_REQUEST = 1,
    ORVANE_REPLY = 2,
    PUB = 3,
    RFS_SNAPSHOT = 4,
    FILE_RECOVERY = 5,
    FILE_PLAYBACK = 6,
    RESEND = 7,
    SIGNAL = 8,
    POLL_UDP = 9,
    APPLICATION_RESERVED = 1000,
};

// A Time kept as its bytes: in the packed record it sits at offset 4, where a
// Time object may not live; copied in and out whole.
struct PackedTime
{
    unsigned char mBytes[sizeof(Time)];

    PackedTime() { set(Time()); }
    Time get() const
    {
        Time t;
        std::memcpy(static_cast<void*>(&t), mBytes, sizeof t);
        return t;
    }
    void set(const Time& t) { std::memcpy(mBytes, static_cast<const void*>(&t), sizeof t); }
};

#pragma pack(push, 1)
struct ThreadData
{
    static constexpr std::size_t cMaxData = 4096;

    uint32_t mDataType = UNDEFINED;
    PackedTime mTime;              // the receive time once it has arrived
    const void* mDataPtr1 = nullptr;
    const void* mDataPtr2 = nullptr;
    uint16_t mDataSize = 0;        // bytes of mData in use
    char mData[cMaxData];

    ThreadData() {}
};
#pragma pack(pop)

// Only the header and the used part of mData travel.
constexpr std::size_t cThreadDataHeader = offsetof(ThreadData, mData);
static_assert(cThreadDataHeader == 102);
static_assert(sizeof(ThreadData) == 4198);

enum ThreadState : uint32_t
{
    THD_NONE = 0,
    THD_INIT = 1,
    THD_INIT_ACK = 2,
    THD_APP_READY = 3,
    THD_TERM = 4,
    THD_SW_ACTIVE = 5,
    THD_SW_STANDBY = 6,
};

struct ThreadStatus
{
    uint32_t mState = THD_NONE;
};

// One message waiting in a sender's spool for its resend.
struct SpooledThreadData : Zunq::Utils::ArrayBackedPoolObject
{
    unsigned long mNumOfRetries;
    char mDstThreadName[17];
    bool mHighPriority;
    ThreadData mThreadData;
};

} // namespace Zunq
