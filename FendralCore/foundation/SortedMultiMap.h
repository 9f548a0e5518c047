// Ordered map that admits equal keys, kept in insertion order among
// themselves, each with one pointer-sized value. The cursor has two positions
// kept in the multimap: the entry last handed out (current) and the entry the
// next getNext hands out (next). Used by the container C API for one caller at
// a time: it never locks and never frees what its values point to.
//
// Removing the current entry, by removeCurrent or by removing its key, puts
// both positions on the entry that followed it, so a walk that removes as it
// goes hands that entry out next instead of skipping it, and a backward walk
// goes on from the entry before the removed one.
#pragma once

#include "FendralCore/foundation/CharArray.h"
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/FwTypes.h"
#include "FendralCore/foundation/Int128.h"

#include <functional>
#include <iterator>
#include <map>

template <typename K>
class SortedMultiMap
{
public:
    using MapType = std::multimap<K, DataValueType, std::less<K>>;
    using MapPosition = typename MapType::iterator;

    SortedMultiMap() : m_currentPos(m_map.end()), m_nextPos(m_map.end()) {}
    SortedMultiMap(const SortedMultiMap& orig);
    SortedMultiMap& operator=(const SortedMultiMap&) = delete;
    virtual ~SortedMultiMap() { removeAll(); }

    bool insert(const K& newKey, DataValueType newValue);
    int32 remove(const K& rmKey);
    bool removeCurrent(DataValueType& value);
    bool removeCurrent();
    void removeAll();

    bool find(const K& keyFind, K& resultKey, DataValueType& resultValue, FindOperation operation);
    bool getFirstValueByKey(const K& key, DataValueType& value);
    bool getNextValueByKey(const K& key, DataValueType& value);

    bool getFirst(K& key, DataValueType& value);
    bool getLast(K& key, DataValueType& value);
    bool getNext(K& key, DataValueType& value);
    bool getPrev(K& key, DataValueType& value);

    uint64 getSize() const { return m_map.size(); }
    bool empty() const { return m_map.empty(); }

private:
    static bool sameKey(const K& lhs, const K& rhs) { return !(lhs < rhs) && !(rhs < lhs); }

    // Makes pos the current entry, next the one after it, and hands it out.
    bool handOut(MapPosition pos, K& key, DataValueType& value);
    // Both positions on the entry that followed a removed current entry.
    void standAfterRemoval(MapPosition follower, const K& removedKey);

    MapType m_map;
    MapPosition m_currentPos;
    MapPosition m_nextPos;
    // Set while both positions stand on the follower of a removed current
    // entry that had the key m_removedKey (the follower is not handed out yet).
    bool m_afterRemoval = false;
    K m_removedKey{};
};

template <typename K>
SortedMultiMap<K>::SortedMultiMap(const SortedMultiMap& orig)
    : m_map(orig.m_map), m_currentPos(m_map.end()), m_nextPos(m_map.end()),
      m_afterRemoval(orig.m_afterRemoval), m_removedKey(orig.m_removedKey)
{
    // The copy keeps the order, so the positions carry over by their distance
    // from the first entry.
    auto carry = [&](typename MapType::const_iterator pos) {
        return std::next(m_map.begin(), std::distance(orig.m_map.cbegin(), pos));
    };
    m_currentPos = carry(orig.m_currentPos);
    m_nextPos = carry(orig.m_nextPos);
}

template <typename K>
bool SortedMultiMap<K>::insert(const K& newKey, DataValueType newValue)
{
    // std::multimap inserts after every entry with an equal key.
    const MapPosition added = m_map.insert({newKey, newValue});
    if (m_afterRemoval)
    {
        // An entry that lands between the removed entry's place and the
        // follower comes next in the walk.
        if (std::next(added) == m_nextPos && !(newKey < m_removedKey))
            m_currentPos = m_nextPos = added;
    }
    else if (m_currentPos != m_map.end())
    {
        m_nextPos = std::next(m_currentPos);
    }
    return true;
}

template <typename K>
int32 SortedMultiMap<K>::remove(const K& rmKey)
{
    const auto [first, last] = m_map.equal_range(rmKey);
    if (first == last)
        return 0;
    const bool currentGoes = m_currentPos != m_map.end() && sameKey(m_currentPos->first, rmKey);
    const bool nextGoes = m_nextPos != m_map.end() && sameKey(m_nextPos->first, rmKey);
    const auto removed = static_cast<int32>(std::distance(first, last));
    m_map.erase(first, last);
    if (currentGoes)
        standAfterRemoval(last, rmKey);
    else if (nextGoes)
        m_nextPos = m_currentPos == m_map.end() ? m_map.end() : std::next(m_currentPos);
    return removed;
}

template <typename K>
bool SortedMultiMap<K>::removeCurrent(DataValueType& value)
{
    if (m_currentPos == m_map.end())
        return fwFail(DAT_MAP_POS_INVALID, false);
    value = m_currentPos->second;
    const K removedKey = m_currentPos->first;
    standAfterRemoval(m_map.erase(m_currentPos), removedKey);
    return true;
}

template <typename K>
bool SortedMultiMap<K>::removeCurrent()
{
    DataValueType ignored;
    return removeCurrent(ignored);
}

template <typename K>
void SortedMultiMap<K>::removeAll()
{
    m_map.clear();
    m_currentPos = m_nextPos = m_map.end();
    m_afterRemoval = false;
}

template <typename K>
bool SortedMultiMap<K>::find(const K& keyFind, K& resultKey, DataValueType& resultValue,
                             FindOperation operation)
{
    MapPosition match = m_map.end();
    switch (operation)
    {
    case FIND_EQ:
    {
        const MapPosition bound = m_map.lower_bound(keyFind);
        if (bound != m_map.end() && sameKey(bound->first, keyFind))
            match = bound;
        break;
    }
    case FIND_LT:
    {
        const MapPosition bound = m_map.lower_bound(keyFind);
        if (bound != m_map.begin())
            match = std::prev(bound);
        break;
    }
    case FIND_LE:
    {
        // The last of equal keys: the one inserted last.
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
    return handOut(match, resultKey, resultValue);
}

template <typename K>
bool SortedMultiMap<K>::getFirstValueByKey(const K& key, DataValueType& value)
{
    K foundKey;
    return find(key, foundKey, value, FIND_EQ);
}

template <typename K>
bool SortedMultiMap<K>::getNextValueByKey(const K& key, DataValueType& value)
{
    if (m_nextPos == m_map.end())
        return fwFail(DAT_MAP_POS_LAST, false);
    if (!sameKey(m_nextPos->first, key))
        return fwFail(DAT_KEY_NO_MORE, false);
    K foundKey;
    return handOut(m_nextPos, foundKey, value);
}

template <typename K>
bool SortedMultiMap<K>::getFirst(K& key, DataValueType& value)
{
    if (m_map.empty())
        return fwFail(DAT_MAP_EMPTY, false);
    return handOut(m_map.begin(), key, value);
}

template <typename K>
bool SortedMultiMap<K>::getLast(K& key, DataValueType& value)
{
    if (m_map.empty())
        return fwFail(DAT_MAP_EMPTY, false);
    return handOut(std::prev(m_map.end()), key, value);
}

template <typename K>
bool SortedMultiMap<K>::getNext(K& key, DataValueType& value)
{
    if (m_nextPos == m_map.end())
        return fwFail(DAT_MAP_POS_LAST, false);
    return handOut(m_nextPos, key, value);
}

template <typename K>
bool SortedMultiMap<K>::getPrev(K& key, DataValueType& value)
{
    if (m_currentPos == m_map.begin())
        return fwFail(DAT_MAP_POS_FIRST, false);
    return handOut(std::prev(m_currentPos), key, value);
}

template <typename K>
bool SortedMultiMap<K>::handOut(MapPosition pos, K& key, DataValueType& value)
{
    m_currentPos = pos;
    m_nextPos = std::next(pos);
    m_afterRemoval = false;
    key = pos->first;
    value = pos->second;
    return true;
}

template <typename K>
void SortedMultiMap<K>::standAfterRemoval(MapPosition follower, const K& removedKey)
{
    m_currentPos = m_nextPos = follower;
    m_afterRemoval = true;
    m_removedKey = removedKey;
}

// Built once in libFendralCore for the framework's nine key types.
extern template class SortedMultiMap<unsigned short>;
extern template class SortedMultiMap<unsigned int>;
extern template class SortedMultiMap<unsigned long>;
extern template class SortedMultiMap<short>;
extern template class SortedMultiMap<int>;
extern template class SortedMultiMap<long>;
extern template class SortedMultiMap<UInt128>;
extern template class SortedMultiMap<Int128>;
extern template class SortedMultiMap<CharArray<48>>;
