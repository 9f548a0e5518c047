// A process-local view of the shared table that names the latency queues:
// map slot k holds the buffer of queue id k. Names are matched exactly.
#pragma once

#include "libstats/latency/CircularBufferRecords.h"
#include "libstats/pool/ArrayBackedMap.h"

#include <string>

class Log;

class CircularBufferMap : public Zunq::Utils::ArrayBackedMap<unsigned int, CircularBufferRecord>
{
public:
    CircularBufferMap(long numEntries, Log& log, const std::string& logName,
                      Zunq::Utils::ArrayBackedPool<CircularBufferRecord>* pool);

    // A heap view of the shared map `copy` over the buffer pool `pool`.
    static CircularBufferMap* GetSharedCopy(CircularBufferMapRecord& copy,
                                            Zunq::Utils::ArrayBackedPool<CircularBufferRecord>* pool, Log& log);

    // The buffer whose name equals `name`, or null.
    CircularBufferRecord* findByName(const char* name);
    // The queue id of `name`; the number of queues (the next free id) when no queue has it.
    unsigned int getCircularBufferID(const char* name);
    // Slots in use, bounded by the map's size whatever the shared count says.
    long usedSlots() const;
};
