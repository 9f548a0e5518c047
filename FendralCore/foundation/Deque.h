// Sequence of pointer-sized values in a double-ended queue, walked by a
// position pair kept in the container (the current element and the element
// getNext visits next). For one user at a time: it never locks and never frees
// what its values point to.
//
// Positions are element indices rather than iterators, so no change of the
// storage (pushes, inserts, pops) can leave one dangling. A push re-establishes
// both positions: at the end after pushBack, on the new first element after
// pushFront.
#pragma once

#include "FendralCore/foundation/FwTypes.h"

#include <cstddef>
#include <deque>

class Deque
{
public:
    // Index of an element, or END_POS (no element).
    using DequeIter = std::size_t;
    static constexpr DequeIter END_POS = static_cast<DequeIter>(-1);

    Deque() = default;
    Deque(const Deque& orig) = default;
    Deque& operator=(const Deque&) = delete;
    virtual ~Deque() = default;

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

    int32 getSize() const { return static_cast<int32>(m_queue.size()); }
    bool isEmpty() const { return m_queue.empty(); }

private:
    // The index itself when it names an element, END_POS past the last one.
    DequeIter positionAt(std::size_t index) const { return index < m_queue.size() ? index : END_POS; }
    bool visit(DequeIter pos, DataValueType& value);

    std::deque<DataValueType> m_queue;
    DequeIter m_currentPos = END_POS;
    DequeIter m_nextPos = END_POS;
};
