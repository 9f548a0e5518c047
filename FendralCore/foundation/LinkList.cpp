#include "FendralCore/foundation/LinkList.h"

#include "FendralCore/foundation/FrameworkErrno.h"

#include <iterator>

LinkList::LinkList(const LinkList& orig)
    : m_list(orig.m_list), m_currentPos(m_list.end()), m_nextPos(m_list.end())
{
    // Same order, so the positions carry over by their distance from the front.
    auto carry = [&](std::list<DataValueType>::const_iterator pos) {
        return std::next(m_list.begin(), std::distance(orig.m_list.cbegin(), pos));
    };
    m_currentPos = carry(orig.m_currentPos);
    m_nextPos = carry(orig.m_nextPos);
}

void LinkList::pushBack(const DataValueType& value)
{
    m_list.push_back(value);
    // Keep "next is the element after the current one" when the walk stands on
    // what was the last element.
    if (m_currentPos != m_list.end() && m_nextPos == m_list.end())
        m_nextPos = std::prev(m_list.end());
}

void LinkList::pushFront(const DataValueType& value)
{
    m_list.push_front(value);
}

bool LinkList::popBack(DataValueType& value)
{
    if (m_list.empty())
        return fwFail(DAT_LIST_EMPTY, false);
    const ListPosition last = std::prev(m_list.end());
    value = *last;
    if (m_currentPos == last)
        m_currentPos = m_nextPos = m_list.end();
    else if (m_nextPos == last)
        m_nextPos = m_list.end();
    m_list.erase(last);
    return true;
}

bool LinkList::popFront(DataValueType& value)
{
    if (m_list.empty())
        return fwFail(DAT_LIST_EMPTY, false);
    const ListPosition first = m_list.begin();
    const ListPosition follower = std::next(first);
    value = *first;
    if (m_currentPos == first)
        m_currentPos = follower;
    if (m_nextPos == first)
        m_nextPos = follower;
    m_list.erase(first);
    return true;
}

bool LinkList::insertBefore(DataValueType value)
{
    const ListPosition added = m_list.insert(m_currentPos, value);
    m_currentPos = added;
    m_nextPos = std::next(added);
    return true;
}

bool LinkList::insertAfter(DataValueType value)
{
    if (m_currentPos == m_list.end())
        return fwFail(DAT_LIST_POS_INVALID, false);
    const ListPosition added = m_list.insert(std::next(m_currentPos), value);
    m_currentPos = added;
    m_nextPos = std::next(added);
    return true;
}

bool LinkList::getFirst(DataValueType& value)
{
    if (m_list.empty())
        return fwFail(DAT_LIST_EMPTY, false);
    return visit(m_list.begin(), value);
}

bool LinkList::getLast(DataValueType& value)
{
    if (m_list.empty())
        return fwFail(DAT_LIST_EMPTY, false);
    return visit(std::prev(m_list.end()), value);
}

bool LinkList::getNext(DataValueType& value)
{
    if (m_nextPos == m_list.end())
        return fwFail(m_currentPos == m_list.end() ? DAT_LIST_POS_INVALID : DAT_LIST_POS_LAST, false);
    return visit(m_nextPos, value);
}

bool LinkList::getPrev(DataValueType& value)
{
    if (m_list.empty())
        return fwFail(DAT_LIST_EMPTY, false);
    if (m_currentPos == m_list.begin())
        return fwFail(DAT_LIST_POS_FIRST, false);
    const ListPosition from = m_currentPos;
    visit(std::prev(from), value);
    m_nextPos = from;
    return true;
}

bool LinkList::getCurrent(DataValueType& value)
{
    if (m_currentPos == m_list.end())
        return fwFail(DAT_LIST_POS_INVALID, false);
    value = *m_currentPos;
    return true;
}

bool LinkList::removeCurrent(DataValueType& value)
{
    if (m_currentPos == m_list.end())
        return fwFail(DAT_LIST_POS_INVALID, false);
    value = *m_currentPos;
    m_currentPos = m_nextPos = m_list.erase(m_currentPos);
    return true;
}

void LinkList::removeAll()
{
    m_list.clear();
    m_currentPos = m_nextPos = m_list.end();
}

void LinkList::reverse()
{
    // Relinking keeps every position on its element.
    m_list.reverse();
    if (m_currentPos != m_list.end())
        m_nextPos = std::next(m_currentPos);
}

bool LinkList::visit(ListPosition pos, DataValueType& value)
{
    m_currentPos = pos;
    m_nextPos = std::next(pos);
    value = *pos;
    return true;
}
