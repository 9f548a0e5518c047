// Finds the records of a pool by name: the per-partition sequence records a
// feed keeps in a shared-memory pool, so that a restarted process finds the
// record its predecessor wrote under the same name. T derives from
// ArrayBackedPoolObject, is trivially copyable and holds its name in a
// NUL-terminated char array mName.
//
// The records in use are every entry off the pool's free chain, read from the
// pool itself, so a list built over a re-attached pool sees what an earlier
// process named. The segment is another run's memory: the walk of the free
// chain is bounded by the pool's size and names are read within their field.
// Set-up work, not a hot path. One thread at a time, as the pool.
#pragma once

#include "libstats/pool/ArrayBackedPool.h"
#include "zunq/log/Log.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

namespace Zunq::Utils
{

template <class T>
class SeqNumStorageList
{
    static_assert(std::is_base_of_v<ArrayBackedPoolObject, T>);
    static_assert(std::is_trivially_copyable_v<T>);

public:
    static constexpr std::size_t cMaxName = sizeof(T::mName) - 1;

    SeqNumStorageList(ArrayBackedPool<T>& pool, Log& log) : mPool(pool), mLog(log) {}

    // The record named `name`; when there is none, a free entry taken from
    // the pool, named, its fields behind the pool header zeroed, and
    // `created` set. Null (logged) for a name the field cannot hold whole, or
    // when the pool has no entry to give.
    T* getItemByName(const std::string& name, bool& created)
    {
        created = false;
        if (name.empty() || name.size() > cMaxName || name.find('\0') != std::string::npos)
        {
            mLog.error() << "SeqNumStorageList::getItemByName(): pool [" << mPool.getLogName() << "]: a name of "
                         << name.size() << " characters is refused; a name holds 1 to " << cMaxName
                         << " characters and no NUL";
            return nullptr;
        }
        if (T* found = findItemByName(name))
            return found;
        const long index = mPool.getFreeIndex();
        T* item = index < 0 ? nullptr : mPool.getEntry(index);
        if (item == nullptr)
        {
            mLog.error() << "SeqNumStorageList::getItemByName(): pool [" << mPool.getLogName()
                         << "] has no free record for a name of " << name.size() << " characters";
            return nullptr;
        }
        // Entries come back as their last user left them.
        std::memset(reinterpret_cast<char*>(item) + sizeof(ArrayBackedPoolObject), 0,
                    sizeof(T) - sizeof(ArrayBackedPoolObject));
        std::memcpy(item->mName, name.data(), name.size());
        created = true;
        return item;
    }

    // The record in use named `name`, or null.
    T* findItemByName(const std::string& name)
    {
        if (name.empty() || name.size() > cMaxName)
            return nullptr;
        const std::vector<bool> inUse = entriesInUse();
        for (std::size_t index = 0; index < inUse.size(); ++index)
        {
            if (!inUse[index])
                continue;
            T* item = mPool.getEntry(static_cast<long>(index));
            if (item != nullptr && strnlen(item->mName, sizeof item->mName) == name.size() &&
                std::memcmp(item->mName, name.data(), name.size()) == 0)
                return item;
        }
        return nullptr;
    }

private:
    // Every entry not on the free chain (which runs from mFree to mLast).
    std::vector<bool> entriesInUse() const
    {
        const SimpleValues& v = mPool.values();
        const std::size_t total = v.mTotalMaxEntries > 0 ? static_cast<std::size_t>(v.mTotalMaxEntries) : 0;
        std::vector<bool> inUse(total, true);
        std::int64_t index = v.mFree;
        for (std::size_t steps = 0; steps < total; ++steps)
        {
            if (index < 0 || static_cast<std::size_t>(index) >= total || !inUse[static_cast<std::size_t>(index)])
                break;
            inUse[static_cast<std::size_t>(index)] = false;
            if (index == v.mLast)
                break;
            const T* entry = mPool.peekEntry(static_cast<long>(index));
            if (entry == nullptr)
                break;
            index = static_cast<const ArrayBackedPoolObject*>(entry)->mNext;
        }
        return inUse;
    }

    ArrayBackedPool<T>& mPool;
    Log& mLog;
};

} // namespace Zunq::Utils
