// A fixed number of slots that remembers recently resolved keys (resource
// names packed into 128-bit keys) and their objects, with a reference count
// per slot. The message dispatcher puts one in front of each registry lookup:
// find first, and only after a miss ask the registry and add the result.
// When every slot is in use, a new key replaces the least-referenced slot;
// the usual miss-then-add sequence notes that victim during the miss, so the
// add replaces without a second scan. Allocates nothing after construction.
//
// For the owning thread only: no locks (a hit writes its slot's count); the
// pointers are never freed here.
#pragma once

#include "FendralCore/foundation/ArrayMap.h"

#include <limits>
#include <memory>

template <typename K>
class CacheArray
{
public:
    explicit CacheArray(int32_t cacheSize);
    ~CacheArray() = default;

    CacheArray(const CacheArray&) = delete;
    CacheArray& operator=(const CacheArray&) = delete;

    // 0, or -1 with DAT_NULL_KEY (zero key) or INVALID_FUNC_ARG (a cache of
    // no slots). A key already cached is not looked for.
    int32 add(const K& key, void* objPtr);
    // 0 and the pointer, or -1 with DAT_KEY_NOT_FOUND (the least-referenced
    // slot is then noted as the next victim), DAT_NULL_KEY or NULL_PARAM.
    int32 find(const K& key, void** objPtr);
    // 0 (the slot is emptied and becomes the next victim), or -1 as for find.
    int32 remove(const K& key);

protected:
    std::unique_ptr<K[]> m_keyAry;
    std::unique_ptr<void*[]> m_ptrAry;
    std::unique_ptr<uint32[]> m_refCountAry;
    int32 m_curListIdx = 0;     // slots in use, taken from 0 upward, never given back
    int32 m_cacheSize;
    int32 m_leastRefIdx = -1;   // the slot to replace next, -1 when none is noted
    int32 m_lastAccessIdx = 0;  // where every scan begins
    uint32 m_maxRefCount = 0;   // the highest count given so far

private:
    static constexpr int32 NO_SLOT = -1;

    // The slot holding key, or NO_SLOT; either way candidate ends as the
    // least-referenced slot among slot 0 and the non-matching slots visited.
    int32 scan(const K& key, int32& candidate, uint32& candidateCount) const;
    int32 leastReferencedSlot() const;
};

template <typename K>
CacheArray<K>::CacheArray(int32_t cacheSize) : m_cacheSize(cacheSize > 0 ? cacheSize : 0)
{
    const auto slots = static_cast<size_t>(m_cacheSize);
    m_keyAry = std::make_unique<K[]>(slots);
    m_ptrAry = std::make_unique<void*[]>(slots);
    m_refCountAry = std::make_unique<uint32[]>(slots);
}

template <typename K>
int32 CacheArray<K>::scan(const K& key, int32& candidate, uint32& candidateCount) const
{
    candidate = 0;
    candidateCount = 0;
    if (m_curListIdx == 0)
        return NO_SLOT;
    candidateCount = m_refCountAry[0];
    // Slots m_lastAccessIdx upward, wrapping once; a plain loop so an empty
    // cache needs no modulo.
    int32 idx = m_lastAccessIdx < m_curListIdx ? m_lastAccessIdx : 0;
    for (int32 visited = 0; visited < m_curListIdx; ++visited)
    {
        if (m_keyAry[idx] == key)
            return idx;
        if (m_refCountAry[idx] < candidateCount)
        {
            candidate = idx;
            candidateCount = m_refCountAry[idx];
        }
        if (++idx == m_curListIdx)
            idx = 0;
    }
    return NO_SLOT;
}

template <typename K>
int32 CacheArray<K>::leastReferencedSlot() const
{
    int32 least = 0;
    for (int32 i = 1; i < m_curListIdx; ++i)
        if (m_refCountAry[i] < m_refCountAry[least])
            least = i;
    return least;
}

template <typename K>
int32 CacheArray<K>::find(const K& key, void** objPtr)
{
    if (objPtr == nullptr)
        return fwFail(NULL_PARAM, -1);
    // Freed slots hold the zero key: it must never match one of them.
    if (fendral::detail::isZeroKey(key))
        return fwFail(DAT_NULL_KEY, -1);
    int32 candidate = 0;
    uint32 candidateCount = 0;
    const int32 slot = scan(key, candidate, candidateCount);
    if (slot == NO_SLOT)
    {
        if (m_cacheSize > 0)
            m_leastRefIdx = candidate;
        return fwFail(DAT_KEY_NOT_FOUND, -1);
    }
    *objPtr = m_ptrAry[slot];
    // Saturate: a wrapped count would make the hottest entry the next victim.
    if (m_refCountAry[slot] < std::numeric_limits<uint32>::max())
        ++m_refCountAry[slot];
    if (m_refCountAry[slot] > m_maxRefCount)
        m_maxRefCount = m_refCountAry[slot];
    if (m_leastRefIdx == slot)
        m_leastRefIdx = NO_SLOT;
    return 0;
}

template <typename K>
int32 CacheArray<K>::add(const K& key, void* objPtr)
{
    if (fendral::detail::isZeroKey(key))
        return fwFail(DAT_NULL_KEY, -1);
    if (m_cacheSize == 0)
        return fwFail(INVALID_FUNC_ARG, -1);
    if (m_curListIdx < m_cacheSize)
    {
        m_keyAry[m_curListIdx] = key;
        m_ptrAry[m_curListIdx] = objPtr;
        m_refCountAry[m_curListIdx] = 1;
        if (m_maxRefCount < 1)
            m_maxRefCount = 1;
        ++m_curListIdx;
        return 0;
    }
    if (m_leastRefIdx < 0)
        m_leastRefIdx = leastReferencedSlot();
    const int32 victim = m_leastRefIdx;
    m_keyAry[victim] = key;
    m_ptrAry[victim] = objPtr;
    ++m_maxRefCount;
    m_refCountAry[victim] = m_maxRefCount;
    m_leastRefIdx = NO_SLOT;
    if (m_maxRefCount == 0)
    {
        // The counts wrapped: start every slot afresh.
        for (int32 i = 0; i < m_curListIdx; ++i)
            m_refCountAry[i] = 0;
    }
    return 0;
}

template <typename K>
int32 CacheArray<K>::remove(const K& key)
{
    if (fendral::detail::isZeroKey(key))
        return fwFail(DAT_NULL_KEY, -1);
    int32 candidate = 0;
    uint32 candidateCount = 0;
    const int32 slot = scan(key, candidate, candidateCount);
    if (slot == NO_SLOT)
    {
        if (m_cacheSize > 0)
            m_leastRefIdx = candidate;
        return fwFail(DAT_KEY_NOT_FOUND, -1);
    }
    m_keyAry[slot] = K{};
    m_ptrAry[slot] = nullptr;
    m_refCountAry[slot] = 0;
    // The freed slot is the next victim unless an empty slot came before it.
    if (candidateCount != 0)
        m_leastRefIdx = slot;
    return 0;
}
