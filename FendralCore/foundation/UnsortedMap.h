// Hash map from a key (integers of 16 to 64 bits, UInt128, Int128,
// CharArray<48>) to a DataValueType, walked with a cursor kept inside the map.
// Capacity is a sizing hint, never a limit. Not locked; values are never freed.
//
// Removing the entry under the cursor does not end a walk: the following
// getNext reports the entry that came after it.
#pragma once

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/UnsortedHashTable.h"

template <typename K>
class UnsortedMap
{
    using Table = fendral::detail::UnsortedHashTable<K, false>;
    using Node = typename Table::Node;

public:
    static constexpr int32 DEFAULT_INIT_BUCKETS = 100;

    explicit UnsortedMap(int32 initBuckets = DEFAULT_INIT_BUCKETS) : m_map(initBuckets) {}
    // The copy starts with no cursor: it must never point into the source.
    UnsortedMap(const UnsortedMap& orig) : m_map(orig.m_map) {}
    UnsortedMap& operator=(const UnsortedMap&) = delete;
    virtual ~UnsortedMap() = default;

    bool insert(const K& newKey, DataValueType newValue, bool bOverwrite)
    {
        bool inserted = false;
        Node* node = m_map.insertUnique(newKey, newValue, inserted);
        if (inserted)
            return true;
        if (!bOverwrite)
            return fwFail(DAT_KEY_EXIST, false);
        node->value = newValue;
        return true;
    }

    int32 remove(const K& rmKey)
    {
        DataValueType ignored;
        return remove(rmKey, ignored);
    }

    int32 remove(const K& rmKey, DataValueType& value)
    {
        Node* node = m_map.find(rmKey);
        if (node == nullptr)
            return 0;
        if (node == m_currentPos)
        {
            m_pendingPos = m_map.successor(node);
            m_currentPos = nullptr;
        }
        else if (node == m_pendingPos)
        {
            m_pendingPos = m_map.successor(node);
        }
        value = node->value;
        m_map.erase(node);
        return 1;
    }

    void removeAll()
    {
        m_map.clear();
        m_currentPos = nullptr;
        m_pendingPos = nullptr;
    }

    bool getFirst(K& key, DataValueType& value)
    {
        Node* first = m_map.first();
        if (first == nullptr)
            return fwFail(DAT_MAP_EMPTY, false);
        moveTo(first, key, value);
        return true;
    }

    bool getNext(K& key, DataValueType& value)
    {
        Node* next;
        if (m_currentPos != nullptr)
            next = m_map.successor(m_currentPos);
        else
            next = m_pendingPos;
        if (next == nullptr)
        {
            m_currentPos = nullptr;
            m_pendingPos = nullptr;
            return fwFail(DAT_MAP_POS_LAST, false);
        }
        moveTo(next, key, value);
        return true;
    }

    bool getNext(const K& currentKey, K& key, DataValueType& value)
    {
        Node* current = m_map.find(currentKey);
        if (current == nullptr)
            return fwFail(DAT_KEY_NOT_FOUND, false);
        Node* next = m_map.successor(current);
        if (next == nullptr)
            return fwFail(DAT_MAP_POS_LAST, false);
        moveTo(next, key, value);
        return true;
    }

    bool getValueByKey(const K& key, DataValueType& value, bool updatePos)
    {
        Node* node = m_map.find(key);
        if (node == nullptr)
            return fwFail(DAT_KEY_NOT_FOUND, false);
        value = node->value;
        if (updatePos)
        {
            m_currentPos = node;
            m_pendingPos = nullptr;
        }
        return true;
    }

    void setCapacity(int32 newCapacity)
    {
        if (newCapacity < 1)
            return;
        const auto limit = static_cast<int32>(static_cast<float>(static_cast<int32>(m_map.bucketCount())) * MAX_LOAD_FACTOR);
        if (newCapacity <= limit)
            return;
        m_map.reserveBuckets(static_cast<uint64>(static_cast<float>(newCapacity) / MAX_LOAD_FACTOR + 1.0f));
    }

    uint64 getSize() const { return m_map.size(); }
    bool empty() const { return m_map.size() == 0; }

private:
    static constexpr float MAX_LOAD_FACTOR = 1.0f;

    Table m_map;
    Node* m_currentPos = nullptr;
    // After the cursor's own entry was removed: the entry the walk goes on with.
    Node* m_pendingPos = nullptr;

    void moveTo(Node* node, K& key, DataValueType& value)
    {
        m_currentPos = node;
        m_pendingPos = nullptr;
        key = node->key;
        value = node->value;
    }
};
