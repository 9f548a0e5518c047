// A table of objects by resource name: the 128-bit key of a name of 1 to 16
// characters mapped to a pointer the table does not own. Most tables hold a
// handful of entries and are read on every message, so while a table holds at
// most four entries, lookups compare keys in a four-slot list; from the fifth
// entry on the table uses its hash map for good.
//
// Not locked. A table shared by threads is used with `exclusive` true on every
// call, which serialises the call through a compare-and-swap spin flag (the
// baton). Walks share one cursor per table; pass `exclusive` to walk a table
// that other threads change.
#pragma once

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/FwTypes.h"
#include "FendralCore/foundation/Int128.h"
#include "FendralCore/foundation/UnsortedMap.h"

#include <atomic>
#include <cstring>

namespace fendral::detail
{
// 0, or -1 with RES_NO_NAME, RES_NAME_NOT_NULL_PADDED or RES_NAME_NOT_NULL_TERM.
inline int32 checkResourceName(const ResourceName& resName)
{
    if (resName[0] == '\0')
        return fwFail(RES_NO_NAME, -1);
    bool seenNul = false;
    for (int32 i = 1; i < static_cast<int32>(sizeof(ResourceName)); ++i)
    {
        if (resName[i] == '\0')
            seenNul = true;
        else if (seenNul)
            return fwFail(RES_NAME_NOT_NULL_PADDED, -1);
    }
    if (!seenNul)
        return fwFail(RES_NAME_NOT_NULL_TERM, -1);
    return 0;
}
} // namespace fendral::detail

template <typename T>
class ResourceRepository
{
public:
    static constexpr int32 RES_REPO_SCAN_LIST_MAX = 4;
    static constexpr int32 DEFAULT_MAP_BUCKETS = 100;

    ResourceRepository() : m_resStoreMap(DEFAULT_MAP_BUCKETS) {}
    virtual ~ResourceRepository() = default;

    ResourceRepository(const ResourceRepository&) = delete;
    ResourceRepository& operator=(const ResourceRepository&) = delete;

    // 0, or -1 with a name code, RES_NAME_EXIST or RES_ADD_FAILED. A failure
    // leaves the table as it was.
    int32 addResource(const ResourceName& resName, T* resObjPtr, bool exclusive = false)
    {
        if (isValidResName(resName) != 0)
            return -1;
        const UInt128 key(resName, false);
        Baton baton(m_baton, exclusive);
        if (contains(key))
            return fwFail(RES_NAME_EXIST, -1);
        int32 slot = -1;
        if (m_listLookup && m_resListCnt < RES_REPO_SCAN_LIST_MAX)
        {
            // The slot is chosen before the map changes, so a table without
            // one keeps no entry in the map that the list does not hold.
            slot = chooseFreeSlot();
            if (slot < 0)
                return fwFail(RES_ADD_FAILED, -1);
        }
        if (!m_resStoreMap.insert(key, toValue(resObjPtr), false))
            return fwFail(RES_ADD_FAILED, -1);
        if (slot >= 0)
        {
            m_resNameAry[slot] = key;
            m_resPtrAry[slot] = resObjPtr;
            ++m_resListCnt;
            rememberNextFreeSlot(slot);
        }
        else if (m_listLookup)
        {
            m_listLookup = false; // the fifth entry: the hash map from now on
        }
        return 0;
    }

    // 0, or -1 with RES_NOT_EXIST.
    int32 removeResource(const ResourceName& resName, bool exclusive = false)
    {
        const UInt128 key(resName, false);
        Baton baton(m_baton, exclusive);
        if (m_resStoreMap.remove(key) == 0)
            return fwFail(RES_NOT_EXIST, -1);
        if (m_listLookup)
        {
            for (int32 i = 0; i < RES_REPO_SCAN_LIST_MAX; ++i)
            {
                if (m_resNameAry[i] == key)
                {
                    m_resNameAry[i] = m_emptyResName;
                    m_resPtrAry[i] = nullptr;
                    m_resListEmptyIdx = i;
                    --m_resListCnt;
                    break;
                }
            }
        }
        return 0;
    }

    // The name's 16 bytes are taken as they stand, so the name must be
    // NUL-padded. 0, or -1 with RES_NOT_EXIST.
    int32 getResourceObject(const ResourceName& resName, T*& resObjPtr, bool exclusive = false)
    {
        const UInt128 key(resName, true);
        Baton baton(m_baton, exclusive);
        if (m_listLookup)
        {
            if (key == m_emptyResName)
                return fwFail(RES_NOT_EXIST, -1);
            // All four slots are compared without a branch per slot: names
            // are unique, so at most one bit is set.
            static_assert(RES_REPO_SCAN_LIST_MAX == 4);
            const uint32 hits = static_cast<uint32>(sameKey(m_resNameAry[0], key)) |
                                static_cast<uint32>(sameKey(m_resNameAry[1], key)) << 1 |
                                static_cast<uint32>(sameKey(m_resNameAry[2], key)) << 2 |
                                static_cast<uint32>(sameKey(m_resNameAry[3], key)) << 3;
            if (hits == 0)
                return fwFail(RES_NOT_EXIST, -1);
            resObjPtr = m_resPtrAry[__builtin_ctz(hits)];
            return 0;
        }
        DataValueType value;
        if (!m_resStoreMap.getValueByKey(key, value, false))
            return fwFail(RES_NOT_EXIST, -1);
        resObjPtr = fromValue(value);
        return 0;
    }

    // false with RES_EMPTY.
    bool getFirst(ResourceName& resName, T*& resObjPtr, bool exclusive = false)
    {
        Baton baton(m_baton, exclusive);
        if (m_listLookup)
        {
            m_resCurIterIdx = -1;
            if (m_resListCnt == 0 || !scanFrom(0, resName, resObjPtr))
                return fwFail(RES_EMPTY, false);
            return true;
        }
        UInt128 key;
        DataValueType value;
        if (!m_resStoreMap.getFirst(key, value))
            return fwFail(RES_EMPTY, false);
        keyToName(key, resName);
        resObjPtr = fromValue(value);
        return true;
    }

    // false with RES_NEXT_END.
    bool getNext(ResourceName& resName, T*& resObjPtr, bool exclusive = false)
    {
        Baton baton(m_baton, exclusive);
        if (m_listLookup)
        {
            if (m_resCurIterIdx < 0 || !scanFrom(m_resCurIterIdx + 1, resName, resObjPtr))
                return fwFail(RES_NEXT_END, false);
            return true;
        }
        UInt128 key;
        DataValueType value;
        if (!m_resStoreMap.getNext(key, value))
            return fwFail(RES_NEXT_END, false);
        keyToName(key, resName);
        resObjPtr = fromValue(value);
        return true;
    }

    // Entries in the hash map, which holds every entry.
    int32 size() const { return static_cast<int32>(m_resStoreMap.getSize()); }

    void setMapCapacity(int32 capacity) { m_resStoreMap.setCapacity(capacity); }

    // True while lookups use the four-slot list.
    bool isListLookup() const { return m_listLookup; }

    static int32 isValidResName(const ResourceName& resName) { return fendral::detail::checkResourceName(resName); }

private:
    // Holds the baton for one call when asked to. Released with a release
    // store so that what the holder wrote is seen by the next holder.
    class Baton
    {
    public:
        Baton(std::atomic<int32>& baton, bool take) : m_baton(take ? &baton : nullptr)
        {
            if (m_baton == nullptr)
                return;
            int32 expected = 0;
            while (!m_baton->compare_exchange_weak(expected, 1, std::memory_order_acquire, std::memory_order_relaxed))
                expected = 0;
        }
        ~Baton()
        {
            if (m_baton != nullptr)
                m_baton->store(0, std::memory_order_release);
        }
        Baton(const Baton&) = delete;
        Baton& operator=(const Baton&) = delete;

    private:
        std::atomic<int32>* m_baton;
    };

    UnsortedMap<UInt128> m_resStoreMap;
    UInt128 m_resNameAry[RES_REPO_SCAN_LIST_MAX];
    T* m_resPtrAry[RES_REPO_SCAN_LIST_MAX] = {};
    int32 m_resListCnt = 0;
    int32 m_resCurIterIdx = -1;
    int32 m_resListEmptyIdx = 0;
    bool m_listLookup = true;
    const UInt128 m_emptyResName;
    std::atomic<int32> m_baton{0};

    static DataValueType toValue(T* ptr) { return reinterpret_cast<DataValueType>(ptr); }
    static T* fromValue(DataValueType value) { return reinterpret_cast<T*>(value); }

    static bool sameKey(const UInt128& a, const UInt128& b)
    {
        return ((a.m_data.unum.numUpper ^ b.m_data.unum.numUpper) |
                (a.m_data.unum.numLower ^ b.m_data.unum.numLower)) == 0;
    }

    static void keyToName(const UInt128& key, ResourceName& resName)
    {
        std::memcpy(resName, key.m_data.txt, 16);
        resName[16] = '\0';
    }

    bool slotFree(int32 i) const { return m_resNameAry[i] == m_emptyResName; }

    // A miss is no failure here: the caller's error code stays as it was.
    bool contains(const UInt128& key)
    {
        const int32 savedCode = FrameworkErrno::m_fwErrno;
        DataValueType ignored;
        const bool found = m_resStoreMap.getValueByKey(key, ignored, false);
        FrameworkErrno::m_fwErrno = savedCode;
        return found;
    }

    // The remembered free slot when it is free, else the first free one; -1 when none.
    int32 chooseFreeSlot() const
    {
        if (m_resListEmptyIdx >= 0 && m_resListEmptyIdx < RES_REPO_SCAN_LIST_MAX && slotFree(m_resListEmptyIdx))
            return m_resListEmptyIdx;
        for (int32 i = 0; i < RES_REPO_SCAN_LIST_MAX; ++i)
        {
            if (slotFree(i))
                return i;
        }
        return -1;
    }

    void rememberNextFreeSlot(int32 used)
    {
        const int32 from = used == m_resListEmptyIdx ? 1 : used + 1;
        for (int32 i = from; i < RES_REPO_SCAN_LIST_MAX; ++i)
        {
            if (slotFree(i))
            {
                m_resListEmptyIdx = i;
                return;
            }
        }
    }

    bool scanFrom(int32 from, ResourceName& resName, T*& resObjPtr)
    {
        for (int32 i = from; i < RES_REPO_SCAN_LIST_MAX; ++i)
        {
            if (!slotFree(i))
            {
                m_resCurIterIdx = i;
                keyToName(m_resNameAry[i], resName);
                resObjPtr = m_resPtrAry[i];
                return true;
            }
        }
        m_resCurIterIdx = RES_REPO_SCAN_LIST_MAX;
        return false;
    }
};
