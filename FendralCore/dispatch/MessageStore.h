// Framework messages parked by a sending thread whose destination queue is
// full, one list per kind of sending thread and destination queue type,
// oldest first. The sender parks new messages behind parked ones while any
// are parked, and on its timer resends them oldest first (high-priority list
// before normal), removing each only after it was sent and stopping at the
// first failure; so the destination sees them in the order they were sent.
//
// Used by the one thread that owns the sending side; no locks.
#pragma once

#include "FendralCore/foundation/FwTypes.h"
#include "FendralCore/runtime/FwIntMessage.h"
#include "FendralCore/runtime/MessageQueue.h"

#include <deque>

enum MsgListType : int32
{
    NET_RCV_MSG_LIST = 0,
    STREAM_HDR_MSG_LIST = 1,
    MSG_SERVICE_MSG_LIST = 2,
    MSG_REPLI_MSG_LIST = 3,
    IPC_RCV_MSG_LIST = 4,
    MSG_LIST_TYPE_MAX = 5, // no store used
};

class MessageStore
{
public:
    MessageStore() = default;
    virtual ~MessageStore() = default;

    MessageStore(const MessageStore&) = delete;
    MessageStore& operator=(const MessageStore&) = delete;

    // Appends a copy of the message. INVALID_FUNC_ARG for a list or queue
    // type out of range, NULL_PARAM for a null message.
    int32 insertMsg(MsgListType listType, MessageQueueType queueType, const FwIntMessage* message);
    // Copies the oldest message (its bytes in use) to destination, which is
    // untouched when the list is empty (DAT_LIST_EMPTY).
    int32 getMsg(MsgListType listType, MessageQueueType queueType, FwIntMessage* destination) const;
    // Drops the oldest message; DAT_LIST_EMPTY when there is none.
    int32 removeMsg(MsgListType listType, MessageQueueType queueType);
    bool isMsgAvail(MsgListType listType, MessageQueueType queueType) const;
    // Messages parked in one list (0 for a list or queue type out of range).
    size_t getNumMsg(MsgListType listType, MessageQueueType queueType) const;

private:
    struct BufStore
    {
        bool msgAvail = false;
        std::deque<FwIntMessage> unsentList;
    };

    BufStore m_unsentMsgList[MSG_LIST_TYPE_MAX][MQUEUE_TYPE_NUM];

    const BufStore* store(MsgListType listType, MessageQueueType queueType) const;
    BufStore* store(MsgListType listType, MessageQueueType queueType);
};
