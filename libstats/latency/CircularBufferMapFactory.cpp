#include "libstats/latency/CircularBufferMapFactory.h"

#include <cstdint>
#include <cstring>
#include <new>

CircularBufferMapFactory::CircularBufferMapFactory(Log& log,
                                                   Zunq::Utils::ArrayBackedPool<CircularBufferRecord>& circularBuffersPool,
                                                   long maxItems)
    : mLog(log)
    , mCircularBuffersPool(circularBuffersPool)
    , mMaxItems(maxItems)
    , mNeededSize(CircularBufferMapRecord::cSlotsOffset + sizeof(Zunq::Utils::MapEntry) * maxItems)
{
}

CircularBufferMapRecord* CircularBufferMapFactory::createObject(void* memPosition, long)
{
    void* place = memPosition != nullptr ? memPosition : ::operator new(mNeededSize);
    auto* record = new (place) CircularBufferMapRecord();
    record->mValues.mNumEntries = 0;
    record->mValues.mMaxEntries = mMaxItems;
    // Every slot starts not in use.
    std::memset(static_cast<char*>(place) + CircularBufferMapRecord::cSlotsOffset, 0,
                sizeof(Zunq::Utils::MapEntry) * mMaxItems);
    recalculatedPointers(record);
    return record;
}

void CircularBufferMapFactory::recalculatedPointers(void* basePosition)
{
    auto* record = static_cast<CircularBufferMapRecord*>(basePosition);
    record->mPoolSlot = reinterpret_cast<uintptr_t>(&mCircularBuffersPool);
    record->mMapEntriesSlot = reinterpret_cast<uintptr_t>(static_cast<char*>(basePosition) +
                                                          CircularBufferMapRecord::cSlotsOffset);
    record->mLogSlot = reinterpret_cast<uintptr_t>(&mLog);
}
