// Builds the latency queues of the shared buffer pool: queue id k owns the
// samples k x S .. k x S + S - 1 of the sample pool. One per process, created
// by the latency-queue manager before the pool that uses it.
#pragma once

#include "libstats/latency/CircularBufferRecords.h"
#include "libstats/pool/ArrayBackedPool.h"
#include "libstats/pool/PoolObjectFactory.h"

class Log;

class CircularBufferFactory : public Zunq::Utils::PoolObjectFactory<CircularBufferRecord>
{
public:
    CircularBufferFactory(Log& log, Zunq::Utils::ArrayBackedPool<latency_info_t>& latencyInfoPool, long maxItems);

    CircularBufferRecord* createObject(void* memPosition, long id) override;
    std::size_t getObjectNeededSize() override { return sizeof(CircularBufferRecord); }
    void recalculatedPointers(void* basePosition) override;

    Zunq::Utils::ArrayBackedPool<latency_info_t>& samplePool() const { return mLatencyItemsPool; }
    Log& log() const { return mLog; }
    long maxItems() const { return mMaxItems; }

private:
    Log& mLog;
    Zunq::Utils::ArrayBackedPool<latency_info_t>& mLatencyItemsPool;
    long mMaxItems;
};
