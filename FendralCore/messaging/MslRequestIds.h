// The ids of the control requests a messaging service sends. Tail-lost
// queries and every other request draw from two counters whose ranges never
// meet, so an answer's id alone tells which kind of request it belongs to:
// tail-lost queries carry 0xF0000000 to 0xFFFFFFFF, every other request 1 to
// 0xEFFFFFFF. 0 is never an id (a record's "no request").
//
// Used by the messaging service thread only.
#pragma once

#include "FendralCore/foundation/FwTypes.h"

class MslRequestIds
{
public:
    static constexpr uint32 REQUEST_FIRST = 1;
    static constexpr uint32 REQUEST_LAST = 0xEFFFFFFFu;
    static constexpr uint32 TAIL_LOST_FIRST = 0xF0000000u;
    static constexpr uint32 TAIL_LOST_LAST = 0xFFFFFFFFu;

    // The counters hold the last id given; a new service starts at 0 and
    // 0xEFFFFFFF, so its first ids are 1 and 0xF0000000.
    MslRequestIds() = default;
    MslRequestIds(uint32 lastRequest, uint32 lastTailLost) : m_lastRequest(lastRequest), m_lastTailLost(lastTailLost) {}

    uint32 nextRequest()
    {
        m_lastRequest = m_lastRequest >= REQUEST_LAST ? REQUEST_FIRST : m_lastRequest + 1;
        return m_lastRequest;
    }

    uint32 nextTailLost()
    {
        m_lastTailLost = m_lastTailLost == TAIL_LOST_LAST || m_lastTailLost < TAIL_LOST_FIRST - 1
                             ? TAIL_LOST_FIRST
                             : m_lastTailLost + 1;
        return m_lastTailLost;
    }

    static bool isTailLostId(uint32 id) { return id >= TAIL_LOST_FIRST; }

private:
    uint32 m_lastRequest = 0;
    uint32 m_lastTailLost = TAIL_LOST_FIRST - 1;
};
