#include "libstats/latency/CircularBuffer.h"

#include "libstats/latency/CircularBufferFactory.h"
#include "zunq/log/Log.h"

#include <cstring>

CircularBuffer::CircularBuffer(long id, const char* name, long numEntries, Log& log,
                               Zunq::Utils::ArrayBackedPool<latency_info_t>* externalPool, long initialPoolIndex)
    : ArrayBackedLocklessCircularList(numEntries, log, "", externalPool, initialPoolIndex)
{
    mOwnRecord.mBufferID = id;
    setName(name);
}

CircularBuffer* CircularBuffer::GetSharedCopy(CircularBufferRecord& copy, CircularBuffer* dest,
                                              CircularBufferFactory* factory)
{
    dest->mRecord = &copy;
    dest->mValues = &copy.mValues;
    dest->mPool = &factory->samplePool();
    dest->mLog = &factory->log();
    dest->mName = copy.mName;
    dest->cacheSlots();
    return dest;
}

bool CircularBuffer::setName(const char* name)
{
    const std::size_t length = name != nullptr ? std::strlen(name) : 0;
    if (length >= CircularBufferRecord::cNameSize)
    {
        mLog->error() << "CircularBuffer::CircularBuffer(). Name too large: " << name;
        return false;
    }
    std::memset(mRecord->mName, 0, sizeof mRecord->mName);
    std::memcpy(mRecord->mName, name, length);
    mName.assign(mRecord->mName, length);
    return true;
}

bool CircularBuffer::flush(std::ostream& out, int flushMaxItems)
{
    long left = flushMaxItems == -1 ? getMaxEntries() : (flushMaxItems > 0 ? flushMaxItems : 0);
    for (; left > 0; --left)
    {
        const latency_info_t* sample = popHead();
        if (sample == nullptr)
            break;
        out << sample->T1 << ' ' << sample->T2_T1 << ' ' << sample->T3_T2 << ' ' << sample->T4_T3 << ' '
            << sample->orderID << ' ' << sample->T0 << ' ' << sample->T0_ << ' ' << sample->T4_ << '\n';
    }
    out.flush();
    return true;
}
