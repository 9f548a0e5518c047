#include "libstats/latency/CircularBufferMap.h"

#include <algorithm>
#include <cstring>

CircularBufferMap::CircularBufferMap(long numEntries, Log& log, const std::string& logName,
                                     Zunq::Utils::ArrayBackedPool<CircularBufferRecord>* pool)
    : ArrayBackedMap(numEntries, log, logName, pool)
{
}

CircularBufferMap* CircularBufferMap::GetSharedCopy(CircularBufferMapRecord& copy,
                                                    Zunq::Utils::ArrayBackedPool<CircularBufferRecord>* pool, Log& log)
{
    auto* view = new CircularBufferMap(0, log, std::string(pool->getLogName()) + "_map", pool);
    view->mValues = &copy.mValues;
    view->mMapEntries =
        reinterpret_cast<Zunq::Utils::MapEntry*>(reinterpret_cast<char*>(&copy) + CircularBufferMapRecord::cSlotsOffset);
    return view;
}

long CircularBufferMap::usedSlots() const
{
    return std::clamp<long>(mValues->mNumEntries, 0, mValues->mMaxEntries);
}

CircularBufferRecord* CircularBufferMap::findByName(const char* name)
{
    const unsigned int id = getCircularBufferID(name);
    return static_cast<long>(id) < usedSlots() ? getEntry(id) : nullptr;
}

unsigned int CircularBufferMap::getCircularBufferID(const char* name)
{
    const long used = usedSlots();
    if (name == nullptr)
        return static_cast<unsigned int>(used);
    for (long slot = 0; slot < used; ++slot)
    {
        const CircularBufferRecord* buffer = getEntry(static_cast<unsigned int>(slot));
        if (buffer != nullptr && strncmp(buffer->mName, name, CircularBufferRecord::cNameSize) == 0)
            return static_cast<unsigned int>(slot);
    }
    return static_cast<unsigned int>(used);
}
