// Hash multimap from a key to any number of DataValueType values; a key's
// entries lie together in the walk, newest first. The walk keeps a cursor and
// the entry the next step visits.
//
// removeCurrent puts the cursor on the entry that followed the removed one,
// and the following getNext reports that entry: a walk that removes as it
// goes never skips anything. A run of removeCurrent calls still removes
// consecutive entries.
#pragma once

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/UnsortedHashTable.h"

template <typename K>
class UnsortedMultiMap
{
    using Table = fendral::detail::UnsortedHashTable<K, true>;
    using Node = typename Table::Node;

public:
    static constexpr int32 DEFAULT_INIT_BUCKETS = 100;

    explicit UnsortedMultiMap(int32 initBuckets = DEFAULT_INIT_BUCKETS) : m_map(initBuckets) {}
    // The copy starts with no cursor: it must never point into the source.
    UnsortedMultiMap(const UnsortedMultiMap& orig) : m_map(orig.m_map) {}
    UnsortedMultiMap& operator=(const UnsortedMultiMap&) = delete;
    virtual ~UnsortedMultiMap() = default;

    bool insert(const K& newKey, DataValueType newValue)
    {
        m_map.insertMulti(newKey, newValue);
        // An entry inserted right after the cursor is visited next; a cursor
        // still to be reported (after removeCurrent) stays so.
        if (m_currentPos != nullptr && m_nextPos != m_currentPos)
            m_nextPos = m_map.successor(m_currentPos);
        return true;
    }

    int32 remove(const K& rmKey)
    {
        Node* first = m_map.find(rmKey);
        if (first == nullptr)
            return 0;
        // find() yields the first entry of the key's run.
        Node* last = m_map.lastOfRun(first);
        Node* after = m_map.successor(last);
        bool cursorInRun = false;
        bool nextInRun = false;
        int32 removed = 0;
        for (Node* n = first;;)
        {
            Node* following = (n == last) ? nullptr : n->next;
            cursorInRun |= (n == m_currentPos);
            nextInRun |= (n == m_nextPos);
            m_map.erase(n);
            ++removed;
            if (following == nullptr)
                break;
            n = following;
        }
        if (cursorInRun)
            m_currentPos = nullptr;
        if (nextInRun)
            m_nextPos = after;
        return removed;
    }

    bool removeCurrent(DataValueType& value)
    {
        if (m_currentPos == nullptr)
            return fwFail(DAT_MAP_POS_INVALID, false);
        Node* removed = m_currentPos;
        Node* following = m_map.successor(removed);
        value = removed->value;
        m_map.erase(removed);
        m_currentPos = following;
        m_nextPos = following;
        return true;
    }

    bool removeCurrent()
    {
        DataValueType ignored;
        return removeCurrent(ignored);
    }

    void removeAll()
    {
        m_map.clear();
        m_currentPos = nullptr;
        m_nextPos = nullptr;
    }

    bool getFirst(K& key, DataValueType& value)
    {
        Node* first = m_map.first();
        if (first == nullptr)
            return fwFail(DAT_MAP_EMPTY, false);
        moveTo(first);
        key = first->key;
        value = first->value;
        return true;
    }

    bool getNext(K& key, DataValueType& value)
    {
        if (m_nextPos == nullptr)
            return fwFail(DAT_MAP_POS_LAST, false);
        Node* node = m_nextPos;
        moveTo(node);
        key = node->key;
        value = node->value;
        return true;
    }

    bool getFirstValueByKey(const K& key, DataValueType& value)
    {
        Node* first = m_map.find(key);
        if (first == nullptr)
            return fwFail(DAT_KEY_NOT_FOUND, false);
        moveTo(first);
        value = first->value;
        return true;
    }

    bool getNextValueByKey(const K& key, DataValueType& value)
    {
        if (m_nextPos == nullptr)
            return fwFail(DAT_MAP_POS_LAST, false);
        if (!Table::keyEqual(*m_nextPos, key))
            return fwFail(DAT_KEY_NO_MORE, false);
        Node* node = m_nextPos;
        moveTo(node);
        value = node->value;
        return true;
    }

    uint64 getSize() const { return m_map.size(); }
    bool empty() const { return m_map.size() == 0; }

private:
    Table m_map;
    Node* m_currentPos = nullptr;
    Node* m_nextPos = nullptr;

    void moveTo(Node* node)
    {
        m_currentPos = node;
        m_nextPos = m_map.successor(node);
    }
};
