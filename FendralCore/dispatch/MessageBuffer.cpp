#include "FendralCore/dispatch/MessageBuffer.h"

#include "FendralCore/foundation/FrameworkErrno.h"

#include <cstring>

int32 MessageBuffer::insertMsg(const char* bytes, uint32 length, bool internalMsgFmt)
{
    if (bytes == nullptr && length > 0)
        return fwFail(NULL_PARAM, -1);
    if (!internalMsgFmt)
    {
        if (length > RAW_MSG_MAX_LEN)
            return fwFail(MSG_TOO_LARGE, -1);
        if (m_rawHeld)
            return fwFail(BUFFER_FULL, -1);
        if (length > 0)
            std::memcpy(m_buffer, bytes, length);
        m_dataLen = length;
        m_rawHeld = true;
    }
    else
    {
        if (length > sizeof(FwIntMessage))
            return fwFail(MSG_TOO_LARGE, -1);
        FwIntMessage& msg = m_msgList.emplace_back();
        std::memset(static_cast<void*>(&msg), 0, sizeof(msg));
        if (length > 0)
            std::memcpy(static_cast<void*>(&msg), bytes, length);
    }
    m_msgAvail = true;
    return 0;
}

int32 MessageBuffer::getMsg(char* destination, uint32 maxLen, uint32& length, bool& internalMsgFmt) const
{
    if (m_rawHeld)
    {
        if (m_dataLen > maxLen)
            return fwFail(BUF_NOT_ENOUGH_SPACE, -1);
        if (destination == nullptr && m_dataLen > 0)
            return fwFail(NULL_PARAM, -1);
        if (m_dataLen > 0)
            std::memcpy(destination, m_buffer, m_dataLen);
        length = m_dataLen;
        internalMsgFmt = false;
        return 0;
    }
    if (m_msgList.empty())
        return fwFail(DAT_LIST_EMPTY, -1);
    if (maxLen < sizeof(FwIntMessage))
        return fwFail(BUF_NOT_ENOUGH_SPACE, -1);
    if (destination == nullptr)
        return fwFail(NULL_PARAM, -1);
    const FwIntMessage& oldest = m_msgList.front();
    std::memcpy(destination, &oldest, oldest.usedSize());
    length = sizeof(FwIntMessage);
    internalMsgFmt = true;
    return 0;
}

int32 MessageBuffer::removeMsg()
{
    if (m_rawHeld)
    {
        m_rawHeld = false;
        m_dataLen = 0;
    }
    else if (!m_msgList.empty())
    {
        m_msgList.pop_front();
    }
    else
    {
        return fwFail(DAT_LIST_EMPTY, -1);
    }
    m_msgAvail = m_rawHeld || !m_msgList.empty();
    return 0;
}
