#include "FendralCore/foundation/Deque.h"

#include "FendralCore/foundation/FrameworkErrno.h"

void Deque::pushBack(const DataValueType& value)
{
    m_queue.push_back(value);
    m_currentPos = m_nextPos = END_POS;
}

void Deque::pushFront(const DataValueType& value)
{
    m_queue.push_front(value);
    m_currentPos = m_nextPos = 0;
}

bool Deque::popBack(DataValueType& value)
{
    if (m_queue.empty())
        return fwFail(DAT_LIST_EMPTY, false);
    const DequeIter last = m_queue.size() - 1;
    value = m_queue.back();
    m_queue.pop_back();
    if (m_currentPos == last || m_currentPos == END_POS)
        m_currentPos = m_nextPos = END_POS;
    else if (m_nextPos == last)
        m_nextPos = END_POS;
    // A next position on the current element (after removeCurrent) stays there,
    // so that element is still visited.
    return true;
}

bool Deque::popFront(DataValueType& value)
{
    if (m_queue.empty())
        return fwFail(DAT_LIST_EMPTY, false);
    value = m_queue.front();
    m_queue.pop_front();
    // Indices shift down by one; a position on the removed first element lands
    // on its follower, which now has index 0.
    auto shift = [this](DequeIter pos) { return pos == END_POS ? END_POS : positionAt(pos == 0 ? 0 : pos - 1); };
    m_currentPos = shift(m_currentPos);
    m_nextPos = shift(m_nextPos);
    return true;
}

bool Deque::insertBefore(DataValueType value)
{
    const std::size_t index = m_currentPos == END_POS ? m_queue.size() : m_currentPos;
    m_queue.insert(m_queue.begin() + static_cast<std::ptrdiff_t>(index), value);
    m_currentPos = index;
    m_nextPos = positionAt(index + 1);
    return true;
}

bool Deque::insertAfter(DataValueType value)
{
    if (m_currentPos == END_POS)
        return fwFail(DAT_LIST_POS_INVALID, false);
    const std::size_t index = m_currentPos + 1;
    m_queue.insert(m_queue.begin() + static_cast<std::ptrdiff_t>(index), value);
    m_currentPos = index;
    m_nextPos = positionAt(index + 1);
    return true;
}

bool Deque::getFirst(DataValueType& value)
{
    if (m_queue.empty())
        return fwFail(DAT_LIST_EMPTY, false);
    return visit(0, value);
}

bool Deque::getLast(DataValueType& value)
{
    if (m_queue.empty())
        return fwFail(DAT_LIST_EMPTY, false);
    return visit(m_queue.size() - 1, value);
}

bool Deque::getNext(DataValueType& value)
{
    if (m_nextPos == END_POS)
        return fwFail(m_currentPos == END_POS ? DAT_LIST_POS_INVALID : DAT_LIST_POS_LAST, false);
    return visit(m_nextPos, value);
}

bool Deque::getPrev(DataValueType& value)
{
    if (m_queue.empty())
        return fwFail(DAT_LIST_EMPTY, false);
    if (m_currentPos == 0)
        return fwFail(DAT_LIST_POS_FIRST, false);
    const DequeIter from = m_currentPos;
    visit(from == END_POS ? m_queue.size() - 1 : from - 1, value);
    m_nextPos = from;
    return true;
}

bool Deque::getCurrent(DataValueType& value)
{
    if (m_currentPos == END_POS)
        return fwFail(DAT_LIST_POS_INVALID, false);
    value = m_queue[m_currentPos];
    return true;
}

bool Deque::removeCurrent(DataValueType& value)
{
    if (m_currentPos == END_POS)
        return fwFail(DAT_LIST_POS_INVALID, false);
    value = m_queue[m_currentPos];
    m_queue.erase(m_queue.begin() + static_cast<std::ptrdiff_t>(m_currentPos));
    // The follower now has the removed element's index.
    m_currentPos = m_nextPos = positionAt(m_currentPos);
    return true;
}

void Deque::removeAll()
{
    m_queue.clear();
    m_currentPos = m_nextPos = END_POS;
}

bool Deque::visit(DequeIter pos, DataValueType& value)
{
    m_currentPos = pos;
    m_nextPos = positionAt(pos + 1);
    value = m_queue[pos];
    return true;
}
