// Builds the one shared map of the latency queues: its record followed, in
// the same pool entry, by one slot per queue.
#pragma once

#include "libstats/latency/CircularBufferRecords.h"
#include "libstats/pool/ArrayBackedPool.h"
#include "libstats/pool/PoolObjectFactory.h"

class Log;

class CircularBufferMapFactory : public Zunq::Utils::PoolObjectFactory<CircularBufferMapRecord>
{
public:
    CircularBufferMapFactory(Log& log, Zunq::Utils::ArrayBackedPool<CircularBufferRecord>& circularBuffersPool,
                             long maxItems);

    CircularBufferMapRecord* createObject(void* memPosition, long id) override;
    std::size_t getObjectNeededSize() override { return mNeededSize; }
    void recalculatedPointers(void* basePosition) override;

private:
    Log& mLog;
    Zunq::Utils::ArrayBackedPool<CircularBufferRecord>& mCircularBuffersPool;
    long mMaxItems;
    std::size_t mNeededSize;
};
