#include "FendralCore/foundation/ArrayMap.h"

namespace
{
DataValueType toValue(void* objPtr)
{
    return static_cast<DataValueType>(reinterpret_cast<std::uintptr_t>(objPtr));
}

void* toPointer(DataValueType value)
{
    return reinterpret_cast<void*>(static_cast<std::uintptr_t>(value));
}
} // namespace

template <typename K>
ArrayMap<K>::ArrayMap(int32_t scanListSize)
    : m_map(MAP_BUCKET_HINT),
      // A negative size is taken as no scan list: every lookup hashes.
      m_scanListSize(scanListSize > 0 ? static_cast<uint64>(scanListSize) : 0)
{
    m_keyAry = std::make_unique<K[]>(m_scanListSize);
    m_ptrAry = std::make_unique<void*[]>(m_scanListSize);
}

template <typename K>
ArrayMap<K>::~ArrayMap()
{
    m_map.removeAll();
}

template <typename K>
int32 ArrayMap<K>::add(const K& key, void* objPtr)
{
    if (fendral::detail::isZeroKey(key))
        return fwFail(DAT_NULL_KEY, -1);
    if (!m_map.insert(key, toValue(objPtr), false))
        return -1;
    if (static_cast<uint64>(m_curListIdx) < m_scanListSize)
    {
        m_keyAry[m_curListIdx] = key;
        m_ptrAry[m_curListIdx] = objPtr;
        ++m_curListIdx;
        m_listLookup = true;
        return 0;
    }
    m_listLookup = false;
    return 0;
}

template <typename K>
int32 ArrayMap<K>::remove(const K& key)
{
    if (m_map.remove(key) == 0)
        return fwFail(DAT_KEY_NOT_FOUND, -1);
    if (!m_listLookup)
    {
        if (m_map.getSize() <= m_scanListSize)
            rebuildScanList();
        return 0;
    }
    const int32 last = m_curListIdx - 1;
    for (int32 i = 0; i <= last; ++i)
    {
        if (!(m_keyAry[i] == key))
            continue;
        if (i != last)
        {
            m_keyAry[i] = m_keyAry[last];
            m_ptrAry[i] = m_ptrAry[last];
        }
        clearSlot(last);
        --m_curListIdx;
        return 0;
    }
    return 0;
}

template <typename K>
int32 ArrayMap<K>::find(const K& key, void** objPtr)
{
    if (objPtr == nullptr)
        return fwFail(NULL_PARAM, -1);
    if (!m_listLookup)
    {
        DataValueType value = 0;
        if (!m_map.getValueByKey(key, value, false))
            return -1;
        *objPtr = toPointer(value);
        return 0;
    }
    for (int32 i = 0; i < m_curListIdx; ++i)
        if (m_keyAry[i] == key)
        {
            *objPtr = m_ptrAry[i];
            return 0;
        }
    return fwFail(DAT_KEY_NOT_FOUND, -1);
}

template <typename K>
bool ArrayMap<K>::getFirst(K& key, void** objPtr)
{
    if (objPtr == nullptr)
        return fwFail(NULL_PARAM, false);
    if (!m_listLookup)
    {
        DataValueType value = 0;
        if (!m_map.getFirst(key, value))
            return false;
        *objPtr = toPointer(value);
        return true;
    }
    if (m_curListIdx == 0)
        return fwFail(DAT_MAP_EMPTY, false);
    m_curIterIdx = 0;
    key = m_keyAry[0];
    *objPtr = m_ptrAry[0];
    return true;
}

template <typename K>
bool ArrayMap<K>::getNext(K& key, void** objPtr)
{
    if (objPtr == nullptr)
        return fwFail(NULL_PARAM, false);
    if (!m_listLookup)
    {
        DataValueType value = 0;
        if (!m_map.getNext(key, value))
            return false;
        *objPtr = toPointer(value);
        return true;
    }
    // Failed calls advance too; stop at the top so repeated calls past the
    // end cannot overflow the index.
    if (m_curIterIdx < std::numeric_limits<int32>::max())
        ++m_curIterIdx;
    if (m_curIterIdx >= m_curListIdx)
        return fwFail(DAT_MAP_POS_LAST, false);
    key = m_keyAry[m_curIterIdx];
    *objPtr = m_ptrAry[m_curIterIdx];
    return true;
}

template <typename K>
void ArrayMap<K>::rebuildScanList()
{
    m_curListIdx = 0;
    K key{};
    DataValueType value = 0;
    for (bool more = m_map.getFirst(key, value); more; more = m_map.getNext(key, value))
    {
        m_keyAry[m_curListIdx] = key;
        m_ptrAry[m_curListIdx] = toPointer(value);
        ++m_curListIdx;
    }
    m_listLookup = true;
}

template <typename K>
void ArrayMap<K>::clearSlot(int32 idx)
{
    m_keyAry[idx] = K{};
    m_ptrAry[idx] = nullptr;
}

template class ArrayMap<unsigned short>;
template class ArrayMap<unsigned int>;
template class ArrayMap<unsigned long>;
template class ArrayMap<short>;
template class ArrayMap<int>;
template class ArrayMap<long>;
template class ArrayMap<UInt128>;
template class ArrayMap<Int128>;
template class ArrayMap<CharArray<48>>;
