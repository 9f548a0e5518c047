// The pending output of one channel (a messaging topic): at most one raw
// message and a list of framework messages, oldest first. getMsg hands out
// the raw message first.
//
// Used by the one thread that sends on the channel; no locks.
#pragma once

#include "FendralCore/foundation/FwTypes.h"
#include "FendralCore/runtime/FwIntMessage.h"

#include <deque>

class MessageBuffer
{
public:
    static constexpr uint32 RAW_MSG_MAX_LEN = 32768;

    MessageBuffer() = default;
    virtual ~MessageBuffer() = default;

    MessageBuffer(const MessageBuffer&) = delete;
    MessageBuffer& operator=(const MessageBuffer&) = delete;

    // internalMsgFmt false: holds the bytes as the raw message; refused with
    // MSG_TOO_LARGE above RAW_MSG_MAX_LEN, and with BUFFER_FULL while another
    // raw message is held (it is never dropped or cut). internalMsgFmt true:
    // appends the bytes (at most one FwIntMessage) as a framework message.
    int32 insertMsg(const char* bytes, uint32 length, bool internalMsgFmt);
    // The raw message first (format false), else the oldest framework
    // message (its bytes in use; length sizeof(FwIntMessage), format true).
    // A destination smaller than the message gets BUF_NOT_ENOUGH_SPACE and
    // nothing; DAT_LIST_EMPTY when nothing is held.
    int32 getMsg(char* destination, uint32 maxLen, uint32& length, bool& internalMsgFmt) const;
    // Drops the raw message if there is one, else the oldest framework message.
    int32 removeMsg();
    bool isMsgAvail() const { return m_msgAvail; }
    // Framework messages held (the raw message not counted).
    int32 getNumMsg() const { return static_cast<int32>(m_msgList.size()); }

private:
    bool m_msgAvail = false;
    uint32 m_dataLen = 0;
    bool m_rawHeld = false; // a raw message of any length, 0 included
    char m_buffer[RAW_MSG_MAX_LEN];
    std::deque<FwIntMessage> m_msgList;
};
