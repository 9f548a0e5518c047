#include "FendralServices/api/FileService.h"

#include "FendralCore/dispatch/MsgDispatcher.h"
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/LogLevels.h"
#include "FendralCore/runtime/FwLog.h"
#include "FendralCore/runtime/LogMsg.h"
#include "FendralCore/runtime/LoggerRegistryLink.h"
#include "FendralCore/runtime/MessageQueue.h"
#include "FendralCore/runtime/ServiceResource.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

FileService::FileService(const char* resNameTxt, const char* fileFullPathTxt, int32 flags, uint32 permission,
                         bool fileCache, bool useLoggerThread, bool needAck, int32 flushTimeout)
    : m_flags(flags | O_CLOEXEC),
      m_permission(permission),
      m_fileCache(fileCache),
      m_useLoggerThread(useLoggerThread),
      m_needAck(needAck),
      m_flushTimeout(flushTimeout)
{
    std::memset(&m_message, 0, sizeof(m_message));
    if (resNameTxt != nullptr)
        std::strncpy(m_resNameTxt, resNameTxt, sizeof(m_resNameTxt) - 1);
    std::strncpy(m_fileFullPathTxt, fileFullPathTxt, sizeof(m_fileFullPathTxt) - 1);

    // Only a writer on a framework thread can hand its bytes to the LOGGER thread.
    const MsgDispatcher* dispatcher = MsgDispatcher::getMsgDispatcher();
    if ((m_flags & O_ACCMODE) == O_RDONLY || dispatcher == nullptr)
    {
        m_useLoggerThread = false;
        m_needAck = false;
    }
    else
    {
        std::memcpy(m_message.originatorTxt, dispatcher->getThreadName(), sizeof(ResourceName));
    }
    if (m_resNameTxt[0] != '\0')
        m_registered = ServiceResource::registerObject(m_resNameTxt, this, ResourceManager::RES_TYPE_FILE);
}

FileService::~FileService()
{
    if (m_registered)
        ServiceResource::unregisterObject(m_resNameTxt, ResourceManager::RES_TYPE_FILE);
    // A file released without fileClose still gives its descriptor back.
    if (m_fd >= 0 && !m_useLoggerThread)
        ::close(m_fd);
}

int32 FileService::open()
{
    if (m_useLoggerThread)
    {
        MessageQueue<FwIntMessage>* queue = nullptr;
        if (LoggerRegistryLink::findLoggerQueue(queue) != 0)
            return fwFail(LOGGER_NOT_STARTED, -1);
    }
    m_fd = ::open(m_fileFullPathTxt, m_flags, m_permission);
    if (m_fd < 0)
        return fwFail(FILE_OPEN_ERROR, -1);
    return 0;
}

int64 FileService::read(char* bufPtr, int64 count)
{
    if (m_fd < 0)
        return fwFail(BAD_DESCRIPTOR, -1L);
    const ssize_t got = ::read(m_fd, bufPtr, static_cast<size_t>(count));
    return got < 0 ? fwFail(READ_FAILED, -1L) : got;
}

int64 FileService::seek(int64 offset, int32 whence)
{
    if (m_fd < 0)
        return fwFail(BAD_DESCRIPTOR, -1L);
    const off_t pos = ::lseek(m_fd, offset, whence);
    return pos < 0 ? fwFail(SEEK_FAILED, -1L) : pos;
}

LogMsgHeader FileService::requestHeader(LogMsgType type) const
{
    LogMsgHeader header;
    std::memset(&header, 0, sizeof(header));
    header.msgType = type;
    header.fd = m_fd;
    header.openFlags = m_flags;
    std::memcpy(header.fileResNameTxt, m_resNameTxt, sizeof(ResourceName));
    return header;
}

int32 FileService::sendRequest(MessageQueue<FwIntMessage>* queue)
{
    for (int32 attempt = 1;; ++attempt)
    {
        if (queue->putMessage(&m_message) == 0)
            return 0;
        if (attempt >= SEND_RETRY_COUNT)
            return -1;
    }
}

int64 FileService::write(const char* bufPtr, int64 count)
{
    if (m_fd < 0)
        return fwFail(BAD_DESCRIPTOR, -1L);
    if (!m_useLoggerThread)
    {
        const ssize_t put = ::write(m_fd, bufPtr, static_cast<size_t>(count));
        return put < 0 ? fwFail(WRITE_FAILED, -1L) : put;
    }
    if (count > LOGGER_WRITE_MAX)
        return fwFail(MSG_TOO_LARGE, -1L);
    if (MsgDispatcher::getMsgDispatcher() == nullptr)
        return fwFail(NOT_IN_THREAD_CONTEXT, -1L);
    MessageQueue<FwIntMessage>* queue = nullptr;
    if (LoggerRegistryLink::findLoggerQueue(queue) != 0 || queue == nullptr)
        return fwFail(LOGGER_NOT_STARTED, -1L);

    LogMsgHeader header = requestHeader(LOG_MSG);
    header.needAck = m_needAck;
    header.flushTimeout = m_flushTimeout;
    header.padCharacter = ' ';

    m_message.appMsg.type = MSG_DATA;
    int64 sent = 0;
    for (int32 part = 0; sent < count; ++part)
    {
        const auto chunk = static_cast<int32>(std::min<int64>(count - sent, LOG_MSG_BODY_MAX));
        header.msgSeqNum = static_cast<int64>(m_msgSeqNum + 1);
        header.bodyLen = chunk;
        Data_t& data = m_message.appMsg.data;
        data.dataLen = static_cast<uint32>(LOG_MSG_HEADER_SIZE + chunk);
        data.msgPartNum = part;
        data.more = count - sent > LOG_MSG_BODY_MAX;
        std::memcpy(data.buffer, &header, sizeof(header));
        std::memcpy(data.buffer + LOG_MSG_HEADER_SIZE, bufPtr + sent, static_cast<size_t>(chunk));
        if (sendRequest(queue) != 0)
        {
            // The parts already queued stay queued; the caller must not take
            // a half-sent write for a whole one.
            const int32 code = FrameworkErrno::m_fwErrno;
            fwLog(LOG_LEVEL_ERROR, "fileWrite(): the LOGGER thread's queue refused part %d of a write of %ld bytes to |%s|, code %d",
                  part, static_cast<long>(count), m_fileFullPathTxt, code);
            return fwFail(code, -1L);
        }
        ++m_msgSeqNum;
        sent += chunk;
    }
    return static_cast<int64>(m_msgSeqNum);
}

int32 FileService::close()
{
    if (m_fd < 0)
        return fwFail(BAD_DESCRIPTOR, -1);
    if (!m_useLoggerThread)
    {
        // Linux gives the descriptor up even when close fails: never retry it.
        const int rc = ::close(m_fd);
        m_fd = -1;
        return rc != 0 ? fwFail(CLOSE_FAILED, -1) : 0;
    }
    MessageQueue<FwIntMessage>* queue = nullptr;
    if (LoggerRegistryLink::findLoggerQueue(queue) != 0 || queue == nullptr)
        return fwFail(LOGGER_NULL_MSGQ, -1);
    LogMsgHeader header = requestHeader(CLOSE_LOG_REQ);
    header.msgSeqNum = static_cast<int64>(m_msgSeqNum + 1);
    m_message.appMsg.type = MSG_DATA;
    m_message.appMsg.data.dataLen = LOG_MSG_HEADER_SIZE;
    m_message.appMsg.data.msgPartNum = 0;
    m_message.appMsg.data.more = false;
    std::memcpy(m_message.appMsg.data.buffer, &header, sizeof(header));
    if (sendRequest(queue) != 0)
        return -1;
    ++m_msgSeqNum;
    m_fd = -1;
    return 0;
}
