// A file of the file calls: written directly, or through the LOGGER thread in
// chunks of one request each so that the writing thread never blocks on the
// disk. The LOGGER thread writes and closes the descriptor; this side only
// opens it and counts its requests.
//
// One thread at a time per file.
#pragma once

#include "FendralCore/foundation/FwTypes.h"
#include "FendralCore/runtime/FwIntMessage.h"
#include "FendralCore/runtime/LogMsg.h"

template <typename T>
class MessageQueue;

class FileService
{
public:
    // Tries of one request at a queue that refuses it.
    static constexpr int32 SEND_RETRY_COUNT = 3;
    // Most bytes one fileWrite may hand to the LOGGER thread.
    static constexpr int64 LOGGER_WRITE_MAX = 32768;

    FileService(const char* resNameTxt, const char* fileFullPathTxt, int32 flags, uint32 permission,
                bool fileCache, bool useLoggerThread, bool needAck, int32 flushTimeout);
    ~FileService();

    FileService(const FileService&) = delete;
    FileService& operator=(const FileService&) = delete;

    // False with the registry's code when the name could not be registered.
    bool isRegistered() const { return m_resNameTxt[0] == '\0' || m_registered; }

    int32 open();
    int64 read(char* bufPtr, int64 count);
    int64 write(const char* bufPtr, int64 count);
    int64 seek(int64 offset, int32 whence);
    // 0, or -1 with the code; the descriptor is given up either way.
    int32 close();

    bool useLoggerThread() const { return m_useLoggerThread; }
    uint64 getMsgSeqNum() const { return m_msgSeqNum; }

private:
    ResourceName m_resNameTxt{};
    char m_fileFullPathTxt[256]{};
    int32 m_flags;
    uint32 m_permission;
    bool m_fileCache;
    bool m_useLoggerThread;
    bool m_needAck;
    bool m_registered = false;
    int32 m_fd = -1;
    uint64 m_msgSeqNum = 0;
    int32 m_flushTimeout;
    FwIntMessage m_message;

    // A request about this file's descriptor, the rest zero.
    LogMsgHeader requestHeader(LogMsgType type) const;
    // Puts m_message on the LOGGER thread's queue; 0, or -1 with the code.
    int32 sendRequest(MessageQueue<FwIntMessage>* queue);
};
