#include "libstats/latency/CircularBufferFactory.h"

#include <cstdint>
#include <new>

CircularBufferFactory::CircularBufferFactory(Log& log, Zunq::Utils::ArrayBackedPool<latency_info_t>& latencyInfoPool,
                                             long maxItems)
    : mLog(log)
    , mLatencyItemsPool(latencyInfoPool)
    , mMaxItems(maxItems)
{
}

CircularBufferRecord* CircularBufferFactory::createObject(void* memPosition, long id)
{
    CircularBufferRecord* record =
        memPosition != nullptr ? new (memPosition) CircularBufferRecord() : new CircularBufferRecord();
    record->mValues.mMaxEntries = mMaxItems;
    record->mValues.mInitialPoolIndex = id * mMaxItems;
    // Shared queues publish head and tail with plain (release) stores.
    record->mValues.mAtomicSet = false;
    record->mBufferID = id;
    recalculatedPointers(record);
    return record;
}

void CircularBufferFactory::recalculatedPointers(void* basePosition)
{
    auto* record = static_cast<CircularBufferRecord*>(basePosition);
    record->mPoolSlot = reinterpret_cast<uintptr_t>(&mLatencyItemsPool);
    record->mLogSlot = reinterpret_cast<uintptr_t>(&mLog);
}
