// A process-local view of one latency queue: the circular list of samples
// whose state (head, tail, slots) and name lie in a shared CircularBufferRecord,
// and whose samples are slots of the shared sample pool. The writer of a queue
// appends with pushBackItem; one reader consumes with flush.
#pragma once

#include "libstats/latency/CircularBufferRecords.h"
#include "libstats/latency/LatencyInfo.h"
#include "libstats/pool/ArrayBackedLocklessCircularList.h"

#include <ostream>

class Log;
class CircularBufferFactory;

class CircularBuffer : public Zunq::Utils::ArrayBackedLocklessCircularList<latency_info_t>
{
public:
    CircularBuffer(long id, const char* name, long numEntries, Log& log,
                   Zunq::Utils::ArrayBackedPool<latency_info_t>* externalPool, long initialPoolIndex);
    ~CircularBuffer() override = default;

    // Points `dest` at the shared queue `copy`, with the factory's pool and log.
    static CircularBuffer* GetSharedCopy(CircularBufferRecord& copy, CircularBuffer* dest,
                                         CircularBufferFactory* factory);

    // false, and the old name kept, for a name of 512 characters or more.
    bool setName(const char* name);
    const char* getName() const { return mRecord->mName; }
    long getID() const { return mRecord->mBufferID; }
    CircularBufferRecord* record() const { return mRecord; }

    // Writes unread samples, oldest first, one line each: all of them for -1,
    // at most flushMaxItems for a positive value, none otherwise.
    bool flush(std::ostream& out, int flushMaxItems);
    // The unread samples, oldest first, without consuming them.
    template <class Visit>
    void forEachUnread(Visit visit) const
    {
        long slot = getHead();
        for (long left = getNumUnread(); left > 0; --left)
        {
            slot = getNext(slot);
            if (const latency_info_t* sample = getEntry(slot))
                visit(*sample);
        }
    }

private:
    friend class CircularBufferFactory;

    CircularBufferRecord mOwnRecord{};
    CircularBufferRecord* mRecord = &mOwnRecord;
};
