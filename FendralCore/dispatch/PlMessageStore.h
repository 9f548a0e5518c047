// Raw pipeline entries parked by a sending thread whose pipeline stage is
// full, one list per kind of sending thread, oldest first; the same retry
// protocol as MessageStore. A record holds at most PL_MSG_MAX_LEN bytes: a
// pipeline entry (its header and a framework message) or an entry of the
// size the pipeline was registered with.
//
// Used by the one thread that owns the sending side; no locks.
#pragma once

#include "FendralCore/dispatch/MessageStore.h"

#include <deque>
#include <vector>

class PlMessageStore
{
public:
    static constexpr uint32 PL_MSG_MAX_LEN = 32920;

    PlMessageStore() = default;
    virtual ~PlMessageStore() = default;

    PlMessageStore(const PlMessageStore&) = delete;
    PlMessageStore& operator=(const PlMessageStore&) = delete;

    // Appends a copy of the bytes; MSG_TOO_LARGE (nothing stored) above
    // PL_MSG_MAX_LEN.
    int32 insertMsg(MsgListType listType, const char* bytes, uint32 length);
    // Copies the oldest record to destination and reports its length. A
    // record longer than maxLen is not cut: BUF_NOT_ENOUGH_SPACE, nothing
    // copied, the record stays parked. DAT_LIST_EMPTY when there is none.
    int32 getMsg(MsgListType listType, char* destination, uint32 maxLen, uint32& length) const;
    int32 removeMsg(MsgListType listType);
    bool isMsgAvail(MsgListType listType) const;
    // Records parked in one list (0 for a list out of range).
    size_t getNumMsg(MsgListType listType) const;

private:
    struct PlBufStore
    {
        bool msgAvail = false;
        std::deque<std::vector<char>> unsentList;
    };

    PlBufStore m_unsentMsgList[MSG_LIST_TYPE_MAX];

    const PlBufStore* store(MsgListType listType) const;
    PlBufStore* store(MsgListType listType);
};
