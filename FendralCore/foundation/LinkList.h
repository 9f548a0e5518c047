// Doubly linked list of pointer-sized values, walked by a position pair kept
// in the list (the current element and the element getNext visits next).
// Offered to applications as a list handle by the framework C API, for one
// thread at a time: it never locks and never frees what its values point to.
//
// Elements never move, so pushes leave the walk where it is; an element
// pushed behind the current last one is still visited by the walk.
#pragma once

#include "FendralCore/foundation/FwTypes.h"

#include <list>

class LinkList
{
public:
    using ListPosition = std::list<DataValueType>::iterator;

    LinkList() : m_currentPos(m_list.end()), m_nextPos(m_list.end()) {}
    LinkList(const LinkList& orig);
    LinkList& operator=(const LinkList&) = delete;
    virtual ~LinkList() = default;

    void pushBack(const DataValueType& value);
    void pushFront(const DataValueType& value);
    bool popBack(DataValueType& value);
    bool popFront(DataValueType& value);

    bool insertBefore(DataValueType value);
    bool insertAfter(DataValueType value);

    bool getFirst(DataValueType& value);
    bool getLast(DataValueType& value);
    bool getNext(DataValueType& value);
    bool getPrev(DataValueType& value);
    bool getCurrent(DataValueType& value);
    bool removeCurrent(DataValueType& value);
    void removeAll();
    void reverse();

    uint64 getSize() const { return m_list.size(); }
    bool isEmpty() const { return m_list.empty(); }

private:
    bool visit(ListPosition pos, DataValueType& value);

    std::list<DataValueType> m_list;
    ListPosition m_currentPos;
    ListPosition m_nextPos;
};
