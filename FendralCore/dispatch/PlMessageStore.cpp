#include "FendralCore/dispatch/PlMessageStore.h"

#include "FendralCore/foundation/FrameworkErrno.h"

#include <cstring>

const PlMessageStore::PlBufStore* PlMessageStore::store(MsgListType listType) const
{
    if (listType < 0 || listType >= MSG_LIST_TYPE_MAX)
        return nullptr;
    return &m_unsentMsgList[listType];
}

PlMessageStore::PlBufStore* PlMessageStore::store(MsgListType listType)
{
    return const_cast<PlBufStore*>(static_cast<const PlMessageStore*>(this)->store(listType));
}

int32 PlMessageStore::insertMsg(MsgListType listType, const char* bytes, uint32 length)
{
    PlBufStore* list = store(listType);
    if (list == nullptr)
        return fwFail(INVALID_FUNC_ARG, -1);
    if (bytes == nullptr && length > 0)
        return fwFail(NULL_PARAM, -1);
    if (length > PL_MSG_MAX_LEN)
        return fwFail(MSG_TOO_LARGE, -1);
    list->unsentList.emplace_back(bytes, bytes + length);
    list->msgAvail = true;
    return 0;
}

int32 PlMessageStore::getMsg(MsgListType listType, char* destination, uint32 maxLen, uint32& length) const
{
    const PlBufStore* list = store(listType);
    if (list == nullptr)
        return fwFail(INVALID_FUNC_ARG, -1);
    if (list->unsentList.empty())
        return fwFail(DAT_LIST_EMPTY, -1);
    const std::vector<char>& oldest = list->unsentList.front();
    if (oldest.size() > maxLen)
        return fwFail(BUF_NOT_ENOUGH_SPACE, -1);
    if (destination == nullptr && !oldest.empty())
        return fwFail(NULL_PARAM, -1);
    if (!oldest.empty())
        std::memcpy(destination, oldest.data(), oldest.size());
    length = static_cast<uint32>(oldest.size());
    return 0;
}

int32 PlMessageStore::removeMsg(MsgListType listType)
{
    PlBufStore* list = store(listType);
    if (list == nullptr)
        return fwFail(INVALID_FUNC_ARG, -1);
    if (list->unsentList.empty())
        return fwFail(DAT_LIST_EMPTY, -1);
    list->unsentList.pop_front();
    list->msgAvail = !list->unsentList.empty();
    return 0;
}

bool PlMessageStore::isMsgAvail(MsgListType listType) const
{
    const PlBufStore* list = store(listType);
    return list != nullptr && list->msgAvail;
}

size_t PlMessageStore::getNumMsg(MsgListType listType) const
{
    const PlBufStore* list = store(listType);
    return list != nullptr ? list->unsentList.size() : 0;
}
