#include "FendralCore/dispatch/MessageStore.h"

#include "FendralCore/foundation/FrameworkErrno.h"

#include <cstring>

const MessageStore::BufStore* MessageStore::store(MsgListType listType, MessageQueueType queueType) const
{
    if (listType < 0 || listType >= MSG_LIST_TYPE_MAX || queueType < 0 || queueType >= MQUEUE_TYPE_NUM)
        return nullptr;
    return &m_unsentMsgList[listType][queueType];
}

MessageStore::BufStore* MessageStore::store(MsgListType listType, MessageQueueType queueType)
{
    return const_cast<BufStore*>(static_cast<const MessageStore*>(this)->store(listType, queueType));
}

int32 MessageStore::insertMsg(MsgListType listType, MessageQueueType queueType, const FwIntMessage* message)
{
    BufStore* list = store(listType, queueType);
    if (list == nullptr)
        return fwFail(INVALID_FUNC_ARG, -1);
    if (message == nullptr)
        return fwFail(NULL_PARAM, -1);
    list->unsentList.push_back(*message);
    list->msgAvail = true;
    return 0;
}

int32 MessageStore::getMsg(MsgListType listType, MessageQueueType queueType, FwIntMessage* destination) const
{
    const BufStore* list = store(listType, queueType);
    if (list == nullptr)
        return fwFail(INVALID_FUNC_ARG, -1);
    if (destination == nullptr)
        return fwFail(NULL_PARAM, -1);
    if (list->unsentList.empty())
        return fwFail(DAT_LIST_EMPTY, -1);
    const FwIntMessage& oldest = list->unsentList.front();
    std::memcpy(static_cast<void*>(destination), &oldest, oldest.usedSize());
    return 0;
}

int32 MessageStore::removeMsg(MsgListType listType, MessageQueueType queueType)
{
    BufStore* list = store(listType, queueType);
    if (list == nullptr)
        return fwFail(INVALID_FUNC_ARG, -1);
    if (list->unsentList.empty())
        return fwFail(DAT_LIST_EMPTY, -1);
    list->unsentList.pop_front();
    list->msgAvail = !list->unsentList.empty();
    return 0;
}

bool MessageStore::isMsgAvail(MsgListType listType, MessageQueueType queueType) const
{
    const BufStore* list = store(listType, queueType);
    return list != nullptr && list->msgAvail;
}

size_t MessageStore::getNumMsg(MsgListType listType, MessageQueueType queueType) const
{
    const BufStore* list = store(listType, queueType);
    return list != nullptr ? list->unsentList.size() : 0;
}
