// A map from slot number (the key) to an entry of a pool: slot k names the
// pool index of its entry. The slots are an array of MapEntry, on the heap or
// (for a map kept in shared memory) right behind the map's record.
#pragma once

#include "libstats/pool/ArrayBackedPool.h"
#include "zunq/log/Log.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace Zunq::Utils
{

struct MapEntry
{
    bool mInitialized;
    int64_t mPoolIndex;
};

static_assert(sizeof(MapEntry) == 16);
static_assert(offsetof(MapEntry, mPoolIndex) == 8);

template <class T>
struct MapValues
{
    ArrayBackedPool<T> mInternalPool; // used only without an external pool
    int64_t mNumEntries = 0;          // slots in use
    int64_t mMaxEntries = 0;          // slots
};

template <class K, class T>
class ArrayBackedMap
{
public:
    ArrayBackedMap(long numEntries, Log& log, const std::string& logName, ArrayBackedPool<T>* externalPool)
        : mPool(externalPool)
        , mLog(&log)
        , mValues(&mInternalValues)
    {
        mInternalValues.mMaxEntries = numEntries;
        if (mPool == nullptr)
        {
            mInternalValues.mInternalPool.init(numEntries + 1, log, logName, 0, 90);
            mPool = &mInternalValues.mInternalPool;
        }
        if (numEntries > 0)
        {
            mMapEntries = static_cast<MapEntry*>(std::calloc(numEntries, sizeof(MapEntry)));
            mOwnEntries = true;
        }
    }

    virtual ~ArrayBackedMap()
    {
        if (mOwnEntries)
            std::free(mMapEntries);
    }

    ArrayBackedMap(const ArrayBackedMap&) = delete;
    ArrayBackedMap& operator=(const ArrayBackedMap&) = delete;

    // The entry of `key`, copied from `value`; null when the key is outside
    // the map, in use without `overwrite`, or the pool has no entry.
    T* addEntry(K key, const T& value, bool overwrite)
    {
        T* entry = addEmptyEntry(key, overwrite);
        if (entry != nullptr)
            *entry = value;
        return entry;
    }

    // The entry of `key`, taken from the pool and not cleared; an entry in use
    // is returned again only with `overwrite`.
    T* addEmptyEntry(K key, bool overwrite)
    {
        MapEntry* slot = slotOf(key);
        if (slot == nullptr)
            return nullptr;
        if (slot->mInitialized)
            return overwrite ? mPool->getEntry(slot->mPoolIndex) : nullptr;
        const long index = mPool->getFreeIndex();
        if (index < 0)
            return nullptr;
        slot->mPoolIndex = index;
        slot->mInitialized = true;
        mValues->mNumEntries += 1;
        return mPool->getEntry(index);
    }

    T* getEntry(K key)
    {
        MapEntry* slot = slotOf(key);
        return slot != nullptr && slot->mInitialized ? mPool->getEntry(slot->mPoolIndex) : nullptr;
    }

    bool isInUse(K key) const
    {
        const MapEntry* slot = const_cast<ArrayBackedMap*>(this)->slotOf(key);
        return slot != nullptr && slot->mInitialized;
    }

    bool deleteEntry(K key)
    {
        MapEntry* slot = slotOf(key);
        if (slot == nullptr || !slot->mInitialized)
            return false;
        mPool->freeIndex(slot->mPoolIndex);
        slot->mInitialized = false;
        slot->mPoolIndex = 0;
        mValues->mNumEntries -= 1;
        return true;
    }

    long getNumEntries() const { return mValues->mNumEntries; }
    long getMaxEntries() const { return mValues->mMaxEntries; }

    // Deletes every entry.
    void clean()
    {
        for (int64_t key = 0; key < mValues->mMaxEntries; ++key)
            deleteEntry(static_cast<K>(key));
    }

protected:
    MapEntry* slotOf(K key)
    {
        const int64_t at = static_cast<int64_t>(key);
        if (mMapEntries == nullptr || at < 0 || at >= mValues->mMaxEntries)
            return nullptr;
        return &mMapEntries[at];
    }

    ArrayBackedPool<T>* mPool;
    MapEntry* mMapEntries = nullptr;
    Log* mLog;
    MapValues<T> mInternalValues;
    MapValues<T>* mValues;
    bool mOwnEntries = false;
};

} // namespace Zunq::Utils
