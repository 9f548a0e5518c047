// The records of the latency queues as they lie in shared memory, where tools
// outside the process read them. Every pointer-sized slot of a record belongs
// to the process that wrote it last and is never read back; each process
// works through its own views (CircularBuffer, CircularBufferMap).
#pragma once

#include "libstats/latency/LatencyInfo.h"
#include "libstats/pool/ArrayBackedLocklessCircularList.h"
#include "libstats/pool/ArrayBackedMap.h"

#include <cstdint>

// One latency queue: the circular list's state, then the pool header, the
// queue's id and its name. 840 bytes.
struct CircularBufferListRecord
{
    uint64_t mTypeSlot;                                 // process-local
    Zunq::Utils::SimpleTypes<latency_info_t> mValues;   // head, tail, slots, first sample index
    uint64_t mValuesSlot;                               // process-local
    uint64_t mLogSlot;                                  // process-local
    uint64_t mPoolSlot;                                 // process-local: the sample pool
    bool mLoggedWrapError;
    uint8_t mReserved[7];
    char mListName[32];                                 // process-local string, unused
};

struct CircularBufferRecord : CircularBufferListRecord, Zunq::Utils::ArrayBackedPoolObject
{
    static constexpr std::size_t cNameSize = 512;
    int64_t mBufferID; // index in the buffer pool at creation
    char mName[cNameSize];
};

// The table of queue names: map state, pool header, then (in the same pool
// entry) one MapEntry per queue; map slot k holds buffer id k. 264 bytes
// before the slots.
struct CircularBufferMapRecordHead
{
    uint64_t mTypeSlot;       // process-local
    uint64_t mPoolSlot;       // process-local
    uint64_t mMapEntriesSlot; // process-local
    uint64_t mLogSlot;        // process-local
    Zunq::Utils::MapValues<CircularBufferRecord> mValues;
    uint64_t mValuesSlot;     // process-local
};

struct CircularBufferMapRecord : CircularBufferMapRecordHead, Zunq::Utils::ArrayBackedPoolObject
{
    static constexpr std::size_t cSlotsOffset = 264;
};

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
static_assert(sizeof(Zunq::Utils::SimpleTypes<latency_info_t>) == 216);
static_assert(offsetof(Zunq::Utils::SimpleTypes<latency_info_t>, mTail) == 8);
static_assert(offsetof(Zunq::Utils::SimpleTypes<latency_info_t>, mInternalPool) == 16);
static_assert(offsetof(Zunq::Utils::SimpleTypes<latency_info_t>, mMaxEntries) == 192);
static_assert(offsetof(Zunq::Utils::SimpleTypes<latency_info_t>, mInitialPoolIndex) == 200);
static_assert(offsetof(Zunq::Utils::SimpleTypes<latency_info_t>, mAtomicSet) == 208);
static_assert(offsetof(Zunq::Utils::SimpleTypes<latency_info_t>, mDropped) == 212);
static_assert(sizeof(CircularBufferListRecord) == 288);
static_assert(offsetof(CircularBufferListRecord, mValues) == 8);
static_assert(offsetof(CircularBufferListRecord, mPoolSlot) == 240);
static_assert(offsetof(CircularBufferListRecord, mLoggedWrapError) == 248);
static_assert(offsetof(CircularBufferListRecord, mListName) == 256);
static_assert(sizeof(CircularBufferRecord) == 840);
static_assert(offsetof(CircularBufferRecord, mID) == 288);
static_assert(offsetof(CircularBufferRecord, mIndex) == 312);
static_assert(offsetof(CircularBufferRecord, mBufferID) == 320);
static_assert(offsetof(CircularBufferRecord, mName) == 328);
static_assert(sizeof(Zunq::Utils::MapValues<CircularBufferRecord>) == 192);
static_assert(sizeof(CircularBufferMapRecordHead) == 232);
static_assert(offsetof(CircularBufferMapRecordHead, mValues) == 32);
static_assert(offsetof(CircularBufferMapRecordHead, mValuesSlot) == 224);
static_assert(sizeof(CircularBufferMapRecord) == CircularBufferMapRecord::cSlotsOffset);
static_assert(offsetof(CircularBufferMapRecord, mID) == 232);
static_assert(Zunq::Utils::ArrayBackedPool<latency_info_t>::layoutMatches());
static_assert(Zunq::Utils::ArrayBackedPool<CircularBufferRecord>::layoutMatches());
#pragma GCC diagnostic pop
