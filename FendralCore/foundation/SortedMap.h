// Ordered map from a key to one pointer-sized value, with one cursor kept in
// the map for walking in key order and a search in five comparison modes.
// Used by the container C API for one caller at a time: it never locks and
// never frees what its values point to.
//
// The cursor is an entry or the end position. When the entry under it is
// removed, the cursor goes to the end position but remembers the removed key,
// so a walk that removes as it goes neither skips nor repeats an entry: the
// following getNext hands out the entry that came after the removed one, and
// getPrev the entry that came before it.
#pragma once

#include "FendralCore/foundation/CharArray.h"
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/FwTypes.h"
#include "FendralCore/foundation/Int128.h"

#include <functional>
#include <map>

template <typename K>
class SortedMap
{
public:
    using MapType = std::map<K, DataValueType, std::less<K>>;
    using MapPosition = typename MapType::iterator;

    SortedMap() : m_currentPos(m_map.end()) {}
    SortedMap(const SortedMap& orig);
    SortedMap& operator=(const SortedMap&) = delete;
    virtual ~SortedMap() { removeAll(); }

    bool insert(const K& newKey, DataValueType newValue, bool bOverwrite);
    int32 remove(const K& rmKey, DataValueType& value);
    int32 remove(const K& rmKey);
    void removeAll();

    bool find(const K& keyFind, K& resultKey, DataValueType& resultValue, FindOperation operation,
              bool updatePos);
    bool getValueByKey(const K& key, DataValueType& value, bool updatePos);

    bool getFirst(K& key, DataValueType& value);
    bool getLast(K& key, DataValueType& value);
    bool getNext(K& key, DataValueType& value);
    bool getPrev(K& key, DataValueType& value);
    bool getNext(const K& currentKey, K& key, DataValueType& value);
    bool getPrev(const K& currentKey, K& key, DataValueType& value);

    uint64 getSize() const { return m_map.size(); }
    bool empty() const { return m_map.empty(); }

private:
    // Puts the cursor on an entry and hands it out.
    bool handOut(MapPosition pos, K& key, DataValueType& value);

    MapType m_map;
    MapPosition m_currentPos;
    // Set when the entry under the cursor was removed; m_removedKey is its key.
    bool m_afterRemoval = false;
    K m_removedKey{};
};

template <typename K>
SortedMap<K>::SortedMap(const SortedMap& orig)
    : m_map(orig.m_map), m_currentPos(m_map.end()), m_afterRemoval(orig.m_afterRemoval),
      m_removedKey(orig.m_removedKey)
{
    // The copy's cursor stands on its own copy of the source's current entry.
    if (orig.m_currentPos != orig.m_map.end())
        m_currentPos = m_map.find(orig.m_currentPos->first);
}

template <typename K>
bool SortedMap<K>::insert(const K& newKey, DataValueType newValue, bool bOverwrite)
{
    auto [pos, added] = m_map.try_emplace(newKey, newValue);
    if (added)
        return true;
    if (!bOverwrite)
        return fwFail(DAT_KEY_EXIST, false);
    pos->second = newValue;
    return true;
}

template <typename K>
int32 SortedMap<K>::remove(const K& rmKey, DataValueType& value)
{
    const MapPosition pos = m_map.find(rmKey);
    if (pos == m_map.end())
        return 0;
    value = pos->second;
    if (pos == m_currentPos)
    {
        m_currentPos = m_map.end();
        m_afterRemoval = true;
        m_removedKey = pos->first;
    }
    m_map.erase(pos);
    return 1;
}

template <typename K>
int32 SortedMap<K>::remove(const K& rmKey)
{
    DataValueType ignored;
    return remove(rmKey, ignored);
}

template <typename K>
void SortedMap<K>::removeAll()
{
    m_map.clear();
    m_currentPos = m_map.end();
    m_afterRemoval = false;
}

template <typename K>
bool SortedMap<K>::find(const K& keyFind, K& resultKey, DataValueType& resultValue,
                        FindOperation operation, bool updatePos)
{
    MapPosition match = m_map.end();
    switch (operation)
    {
    case FIND_EQ:
        match = m_map.find(keyFind);
        break;
    case FIND_LT:
    {
        const MapPosition bound = m_map.lower_bound(keyFind);
        if (bound != m_map.begin())
            match = std::prev(bound);
        break;
    }
    case FIND_LE:
    {
        const MapPosition bound = m_map.upper_bound(keyFind);
        if (bound != m_map.begin())
            match = std::prev(bound);
        break;
    }
    case FIND_GT:
        match = m_map.upper_bound(keyFind);
        break;
    case FIND_GE:
        match = m_map.lower_bound(keyFind);
        break;
    default:
        return fwFail(INVALID_FUNC_ARG, false);
    }
    if (match == m_map.end())
        return fwFail(DAT_KEY_NOT_FOUND, false);
    if (updatePos)
        return handOut(match, resultKey, resultValue);
    resultKey = match->first;
    resultValue = match->second;
    return true;
}

template <typename K>
bool SortedMap<K>::getValueByKey(const K& key, DataValueType& value, bool updatePos)
{
    K foundKey;
    return find(key, foundKey, value, FIND_EQ, updatePos);
}

template <typename K>
bool SortedMap<K>::getFirst(K& key, DataValueType& value)
{
    if (m_map.empty())
        return fwFail(DAT_MAP_EMPTY, false);
    return handOut(m_map.begin(), key, value);
}

template <typename K>
bool SortedMap<K>::getLast(K& key, DataValueType& value)
{
    if (m_map.empty())
        return fwFail(DAT_MAP_EMPTY, false);
    return handOut(std::prev(m_map.end()), key, value);
}

template <typename K>
bool SortedMap<K>::getNext(K& key, DataValueType& value)
{
    MapPosition pos;
    if (m_afterRemoval)
    {
        // Keys above the removed one, including any inserted since.
        pos = m_map.upper_bound(m_removedKey);
        m_afterRemoval = false;
    }
    else
    {
        if (m_currentPos == m_map.end())
            return fwFail(DAT_MAP_POS_LAST, false);
        pos = std::next(m_currentPos);
    }
    if (pos == m_map.end())
    {
        m_currentPos = pos;
        return fwFail(DAT_MAP_POS_LAST, false);
    }
    return handOut(pos, key, value);
}

template <typename K>
bool SortedMap<K>::getPrev(K& key, DataValueType& value)
{
    // From the end position, or from where a removed entry stood, the step back
    // goes to the entry before that place.
    const MapPosition from = m_afterRemoval ? m_map.lower_bound(m_removedKey) : m_currentPos;
    if (from == m_map.begin())
        return fwFail(DAT_MAP_POS_FIRST, false);
    return handOut(std::prev(from), key, value);
}

template <typename K>
bool SortedMap<K>::getNext(const K& currentKey, K& key, DataValueType& value)
{
    DataValueType ignored;
    if (!getValueByKey(currentKey, ignored, true))
        return false;
    return getNext(key, value);
}

template <typename K>
bool SortedMap<K>::getPrev(const K& currentKey, K& key, DataValueType& value)
{
    DataValueType ignored;
    if (!getValueByKey(currentKey, ignored, true))
        return false;
    return getPrev(key, value);
}

template <typename K>
bool SortedMap<K>::handOut(MapPosition pos, K& key, DataValueType& value)
{
    m_currentPos = pos;
    m_afterRemoval = false;
    key = pos->first;
    value = pos->second;
    return true;
}

// Built once in libFendralCore for the framework's nine key types.
extern template class SortedMap<unsigned short>;
extern template class SortedMap<unsigned int>;
extern template class SortedMap<unsigned long>;
extern template class SortedMap<short>;
extern template class SortedMap<int>;
extern template class SortedMap<long>;
extern template class SortedMap<UInt128>;
extern template class SortedMap<Int128>;
extern template class SortedMap<CharArray<48>>;
