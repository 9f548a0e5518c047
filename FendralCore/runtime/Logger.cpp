#include "FendralCore/runtime/Logger.h"

#include "FendralCore/runtime/StreamBuffer.h"
#include "FendralCore/foundation/AppTimer.h"
#include "FendralCore/foundation/ConfigManager.h"
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/LogLevels.h"
#include "FendralCore/foundation/MonoClock.h"
#include "FendralCore/foundation/Timer.h"
#include "FendralCore/foundation/TimeFunc.h"
#include "FendralCore/runtime/AppLogger.h"
#include "FendralCore/runtime/FrameworkResource.h"
#include "FendralCore/runtime/LoggerRegistryLink.h"
#include "FendralCore/runtime/ThreadEntryGuard.h"
#include "FendralCore/runtime/ResourceManager.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sched.h>
#include <string>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace
{

constexpr char CTL_THREAD_NAME[] = "CTL_THREAD";
constexpr char LOGGER_THREAD_NAME[] = "LOGGER";

// Copies at most size - 1 characters; the rest of dest is NUL.
void copyText(char* dest, size_t size, const char* src)
{
    const size_t n = strnlen(src, size - 1);
    std::memcpy(dest, src, n);
    std::memset(dest + n, 0, size - n);
}

int32 findInRegistry(const char* name, ThreadResource*& res)
{
    ResourceName resName{};
    copyText(resName, sizeof(resName), name);
    res = nullptr;
    return ResourceManager::getInst().getThreadRes(resName, &res);
}

int32 readKey(ConfigManager* config, const char* key, int32 defaultValue)
{
    int32 value = defaultValue;
    if (config != nullptr)
        config->getInt32ConfigPara(key, value, defaultValue);
    return value < 1 ? defaultValue : value;
}

// ArrayMap refuses key 0, and descriptor 0 is a valid one.
int32 fileKey(int32 fd)
{
    return fd + 1;
}

// A request names its file by descriptor only, so a plain write of all of it.
ssize_t writeAll(int fd, const iovec* parts, int count)
{
    return ::writev(fd, parts, count);
}

} // namespace

template <typename... Args>
void Logger::log(int32 level, const char* format, Args... args) const
{
    if (m_loggerPtr != nullptr)
        m_loggerPtr->logMessage(level, format, args...);
}

Logger::Logger(ThreadResource* threadResPtr, FindThreadRes findThread)
    : m_threadResPtr(threadResPtr),
      m_fdWait(6),
      m_configMgrPtr(GlobalData::getInst().getConfigManager()),
      m_loggerPtr(GlobalData::getInst().getLogger()),
      m_fileBufInfoArrayMap(10),
      m_flushTimerArrayMap(10),
      m_optMode(GlobalData::getInst().m_optMode.load()),
      m_findThread(findThread != nullptr ? findThread : findInRegistry)
{
    std::memset(&m_msg, 0, sizeof(m_msg));
    std::memset(&m_evtMsg, 0, sizeof(m_evtMsg));
    m_timeout = readKey(m_configMgrPtr, STS_RPT_INTERVAL_LABEL, DEFAULT_STS_RPT_INTERVAL);
    m_idleThreshold = static_cast<int64>(m_timeout) * 1000000LL;
    m_contMsgProcNum = readKey(m_configMgrPtr, CONT_MSG_PROC_NUM_LABEL, DEFAULT_CONT_MSG_PROC_NUM);
    m_flushDataSize = readKey(m_configMgrPtr, FLUSH_BLOCK_LABEL, DEFAULT_FLUSH_BLOCK) * BLOCK_SIZE;
    int64 size = readKey(m_configMgrPtr, STREAM_BUF_SIZE_LABEL, DEFAULT_STREAM_BUF_SIZE);
    if (size < m_flushDataSize)
        size = m_flushDataSize;
    // A buffer that cannot hold the largest request next to what waits for a
    // flush would refuse every large journal line.
    const int64 least = static_cast<int64>(m_flushDataSize) + LOG_TEMP_BUFFER_SIZE + BLOCK_SIZE;
    if (size < least)
        size = least;
    size = (size + BLOCK_SIZE - 1) / BLOCK_SIZE * BLOCK_SIZE;
    m_streamBufSize = static_cast<int32>(size);
    // One block more than the buffer: a forced flush pads up to a block.
    m_tmpBufferSize = m_streamBufSize + BLOCK_SIZE;
    m_tmpBufferPtr = static_cast<char*>(std::aligned_alloc(BLOCK_SIZE, static_cast<size_t>(m_tmpBufferSize)));
}

Logger::~Logger()
{
    int32 key = 0;
    void* value = nullptr;
    // Taken one at a time from the front: the map is never walked while it changes.
    while (m_fileBufInfoArrayMap.getFirst(key, &value))
    {
        auto* entry = static_cast<FileBufferInfo*>(value);
        if (entry->blockWrites)
            flushFileBuffer(*entry, true);
        if (m_fileBufInfoArrayMap.remove(key) != 0)
            break;
        destroyFileBuffer(entry);
    }
    ResourceName name{};
    TempBuffer* temp = nullptr;
    while (m_tempBufRepository.getFirst(name, temp))
    {
        if (m_tempBufRepository.removeResource(name) != 0)
            break;
        delete temp;
    }
    if (m_timerPtr != nullptr)
    {
        m_fdWait.removeFileDesc(m_timerPtr);
        delete m_timerPtr;
    }
    std::free(m_tmpBufferPtr);
}

void Logger::destroyFileBuffer(FileBufferInfo* entry)
{
    removeFlushTimer(*entry);
    delete entry->streamBufPtr;
    delete entry;
}

void Logger::addFlushTimer(FileBufferInfo& entry, int32 timeout)
{
    const bool onDescriptor = m_optMode == CPU_UTILIZATION;
    char name[sizeof(ResourceName)] = {};
    std::memcpy(name, entry.fileResNameTxt, sizeof(ResourceName) - 1);
    auto* timer = new (std::nothrow) AppTimer(name, timeout, true, onDescriptor);
    if (timer == nullptr)
    {
        log(LOG_LEVEL_NOTICE, "LOG_MSG: Failed to add Flush Timer, fwErrno = %d", OBJECT_NULL_PTR);
        return;
    }
    if (onDescriptor)
    {
        timer->setInfoPtr(&entry);
        if (m_flushTimerArrayMap.add(fileKey(timer->getFileDescriptor()), &entry) != 0)
        {
            log(LOG_LEVEL_NOTICE, "LOG_MSG: Failed to add Flush Timer, fwErrno = %d", FrameworkErrno::m_fwErrno);
            delete timer;
            return;
        }
        if (m_fdWait.addFileDesc(timer, IO_WAIT_READ) != 0)
        {
            log(LOG_LEVEL_NOTICE, "LOG_MSG: Failed to add File Descriptor for Flush Timer, fwErrno = %d",
                FrameworkErrno::m_fwErrno);
            m_flushTimerArrayMap.remove(fileKey(timer->getFileDescriptor()));
            delete timer;
            return;
        }
    }
    entry.flushTimerPtr = timer;
    if (timer->start() != 0)
    {
        log(LOG_LEVEL_NOTICE, "LOG_MSG: Failed to start Flush Timer, fwErrno = %d", FrameworkErrno::m_fwErrno);
        removeFlushTimer(entry);
    }
}

void Logger::removeFlushTimer(FileBufferInfo& entry)
{
    AppTimer* timer = entry.flushTimerPtr;
    if (timer == nullptr)
        return;
    entry.flushTimerPtr = nullptr;
    if (timer->usesFileDescriptor())
    {
        if (m_fdWait.removeFileDesc(timer) != 0)
            log(LOG_LEVEL_NOTICE, "CLOSE_LOG_REQ: Failed to remove file descriptor, fd = %d, fwErrno=%d", entry.fd,
                FrameworkErrno::m_fwErrno);
        if (m_flushTimerArrayMap.remove(fileKey(timer->getFileDescriptor())) != 0)
            log(LOG_LEVEL_NOTICE, "CLOSE_LOG_REQ: Failed to remove flush timer, fd = %d, fwErrno=%d", entry.fd,
                FrameworkErrno::m_fwErrno);
    }
    delete timer;
}

// Polled timers (low-latency mode): force-flushes every file whose timer expired.
int32 Logger::flushTimeoutFileBuffers()
{
    int32 flushed = 0;
    int32 key = 0;
    void* value = nullptr;
    for (bool ok = m_fileBufInfoArrayMap.getFirst(key, &value); ok; ok = m_fileBufInfoArrayMap.getNext(key, &value))
    {
        auto* entry = static_cast<FileBufferInfo*>(value);
        if (entry->flushTimerPtr != nullptr && entry->blockWrites && entry->flushTimerPtr->receive() > 0)
        {
            flushFileBuffer(*entry, true);
            ++flushed;
        }
    }
    return flushed;
}

FwMessageQueue* Logger::queueOf(ThreadResource* res, MessageQueueType queue) const
{
    if (res == nullptr || queue < 0 || queue >= MQUEUE_TYPE_NUM)
        return nullptr;
    return res->msgQueuePtrArray[queue];
}

// ---- lifecycle --------------------------------------------------------------

int32 Logger::initialize()
{
    if (m_findThread(CTL_THREAD_NAME, m_ctlThdResPtr) != 0 || m_ctlThdResPtr == nullptr)
    {
        const int32 error = FrameworkErrno::m_fwErrno;
        log(LOG_LEVEL_ERROR, "Error [%d] getting main control thread resource pointer.", error);
        return error != 0 ? error : -1;
    }
    AppLogger::setThreadName(m_threadResPtr != nullptr ? m_threadResPtr->threadNameTxt : LOGGER_THREAD_NAME);
    if (m_tmpBufferPtr == nullptr)
        return fwFail(OBJECT_NULL_PTR, OBJECT_NULL_PTR);

    if (m_optMode == CPU_UTILIZATION)
    {
        if (m_fdWait.addFileDesc(queueOf(m_threadResPtr, MQUEUE_HIGH_PRIORITY), IO_WAIT_READ) != 0)
        {
            log(LOG_LEVEL_ERROR, "Error [%d] adding high priority message queue to Wait object in Logger.",
                FrameworkErrno::m_fwErrno);
            return FrameworkErrno::m_fwErrno;
        }
        if (m_fdWait.addFileDesc(queueOf(m_threadResPtr, MQUEUE_NORMAL), IO_WAIT_READ) != 0)
        {
            log(LOG_LEVEL_ERROR, "Error [%d] adding normal message queue to Wait object in Logger.",
                FrameworkErrno::m_fwErrno);
            return FrameworkErrno::m_fwErrno;
        }
        m_timerPtr = new (std::nothrow) Timer(m_timeout, true);
        if (m_timerPtr == nullptr || m_fdWait.addFileDesc(m_timerPtr, IO_WAIT_READ) != 0 ||
            m_timerPtr->startTimer() != 0)
        {
            log(LOG_LEVEL_ERROR, "Error [%d] adding timer message queue to Wait object in Logger.",
                FrameworkErrno::m_fwErrno);
            return FrameworkErrno::m_fwErrno;
        }
    }
    else
    {
        updateStatus();
        m_lastUpdStatusNs = MonoClock::nowNs();
    }
    openMsgJournal();
    return 0;
}

void Logger::openMsgJournal()
{
    GlobalData& global = GlobalData::getInst();
    if (!global.m_msgJournalEnabled)
        return;
    const std::string location = AppLogger::getMsgJournalLocation();
    char prefix[sizeof(ApplicationID) + 3] = {};
    copyText(prefix, sizeof(ApplicationID), global.m_appIdTxt);
    std::memcpy(prefix + strnlen(prefix, sizeof(ApplicationID)), "_mj", 3);
    auto* journal = new (std::nothrow)
        AppLogger(location.c_str(), prefix, LOG_LEVEL_INFO, true, false, global.m_enableLoggerThread, true, true);
    if (journal == nullptr || journal->openLog() != 0)
    {
        log(LOG_LEVEL_NOTICE, "Failed to open message journal file [%s/%s], error [%d] ignored.", location.c_str(),
            prefix, FrameworkErrno::m_fwErrno);
        delete journal;
        return;
    }
    if (global.setMsgJournalLogger(journal) != 0)
    {
        // Another journal logger is in use: this one never posted anything.
        delete journal;
        return;
    }
    log(LOG_LEVEL_INFO, "Message journal file [%s/%s] opened", location.c_str(), prefix);
}

int32 Logger::run(int32& exitCode)
{
    return runGuarded(
        "LOGGER thread",
        [&]() -> int32 {
            const int32 result = initialize();
            if (result != 0)
            {
                exitCode = 1;
                return result;
            }
            return m_optMode == CPU_UTILIZATION ? loopCpuUtilization() : loopLowLatency();
        },
        [&] { exitCode = 1; });
}

void Logger::updateStatus()
{
    if (m_threadResPtr != nullptr)
        m_threadResPtr->lastStatusUpdTm.store(::time(nullptr), std::memory_order_relaxed);
}

int32 Logger::loopCpuUtilization()
{
    FwMessageQueue* highQueue = queueOf(m_threadResPtr, MQUEUE_HIGH_PRIORITY);
    FwMessageQueue* normalQueue = queueOf(m_threadResPtr, MQUEUE_NORMAL);
    bool stop = false;
    while (!stop)
    {
        const int32 ready = m_fdWait.wait(m_fdAryPtr, NUM_OF_DESC_MAX, -1);
        if (ready <= 0)
            continue;
        bool high = false;
        bool normal = false;
        bool timer = false;
        FileDescriptor* others[NUM_OF_DESC_MAX] = {};
        int32 numOthers = 0;
        for (int32 i = 0; i < ready; ++i)
        {
            if (m_fdAryPtr[i] == highQueue)
                high = true;
            else if (m_fdAryPtr[i] == normalQueue)
                normal = true;
            else if (m_fdAryPtr[i] == m_timerPtr)
                timer = true;
            else
                others[numOthers++] = m_fdAryPtr[i];
        }
        int32 count = 0;
        if (high && processMessage(MQUEUE_HIGH_PRIORITY, stop, count) != 0)
            log(LOG_LEVEL_ERROR, "Error [%d] processing messages on high priority queue.", FrameworkErrno::m_fwErrno);
        if (!stop && normal && processMessage(MQUEUE_NORMAL, stop, count) != 0)
            log(LOG_LEVEL_ERROR, "Error [%d] processing messages on normal priority queue.",
                FrameworkErrno::m_fwErrno);
        if (!stop && timer)
        {
            char expiry[8];
            int done = 0;
            if (m_timerPtr->receive(expiry, sizeof(expiry), done) != 0 && FrameworkErrno::m_fwErrno != WOULD_BLOCK)
                log(LOG_LEVEL_ERROR, "Error [%d] in processing timer event.", FrameworkErrno::m_fwErrno);
            updateStatus();
        }
        for (int32 i = 0; i < numOthers && !stop; ++i)
        {
            void* value = nullptr;
            if (m_flushTimerArrayMap.find(fileKey(others[i]->getFileDescriptor()), &value) != 0)
                continue;
            auto* entry = static_cast<FileBufferInfo*>(value);
            if (entry->flushTimerPtr != nullptr && entry->flushTimerPtr->receive() > 0 && entry->blockWrites)
                flushFileBuffer(*entry, true);
        }
    }
    return 0;
}

int32 Logger::loopLowLatency()
{
    const int32 idleSpinCycle = GlobalData::getInst().m_idleSpinCycle;
    const bool cpuSaver = GlobalData::getInst().m_lowLatencyCpuSaver;
    int32 idleCount = 0;
    bool stop = false;
    while (!stop)
    {
        int32 count = 0;
        if (processMessage(MQUEUE_HIGH_PRIORITY, stop, count) != 0)
            log(LOG_LEVEL_ERROR, "Error [%d] processing messages on high priority queue.", FrameworkErrno::m_fwErrno);
        count = 0;
        if (!stop && processMessage(MQUEUE_NORMAL, stop, count) != 0)
            log(LOG_LEVEL_ERROR, "Error [%d] processing messages on normal priority queue.",
                FrameworkErrno::m_fwErrno);
        if (!stop)
            flushTimeoutFileBuffers();
        // An interval: a step of the wall clock must not stop or speed the reports.
        const int64 now = MonoClock::nowNs();
        if (now - m_lastUpdStatusNs > m_idleThreshold)
        {
            updateStatus();
            m_lastUpdStatusNs = now;
        }
        if (count > 0)
        {
            idleCount = 0;
            continue;
        }
        if (++idleCount > idleSpinCycle)
        {
            idleCount = 0;
            if (cpuSaver)
                sched_yield();
        }
    }
    return 0;
}

// ---- draining a queue ---------------------------------------------------------

int32 Logger::processMessage(MessageQueueType queue, bool& stop, int32& count)
{
    stop = false;
    count = 0;
    FwMessageQueue* q = queueOf(m_threadResPtr, queue);
    if (q == nullptr)
        return fwFail(OBJECT_NULL_PTR, -1);
    bool more = true;
    while (more && !stop)
    {
        if (q->getMessage(&m_msg, more) != 0)
            return FrameworkErrno::m_fwErrno == BUFFER_EMPTY ? 0 : -1;
        ++count;
        if (count % m_contMsgProcNum == 0)
            updateStatus();
        switch (m_msg.appMsg.type)
        {
        case MSG_EVENT:
            if (handleEvent(stop) != 0)
                return -1;
            break;
        case MSG_DATA:
            handleData();
            break;
        default:
            log(LOG_LEVEL_NOTICE, "Unexpected message type [%d] received. Ignore and continue.",
                static_cast<int32>(m_msg.appMsg.type));
            break;
        }
    }
    return 0;
}

int32 Logger::handleEvent(bool& stop)
{
    const EventMsg& event = m_msg.appMsg.event;
    FwEventID answer = INIT_ACK;
    switch (event.id)
    {
    case INIT:
        m_initEventRcvd = true;
        m_mode = event.eventParam.paramInt32;
        answer = INIT_ACK;
        break;
    case APP_READY:
    case CONN_INIT:
        return 0;
    case TERM:
        stop = true;
        return 0;
    case SW_ACTIVE:
        m_mode = ACTIVE_MODE;
        answer = SW_ACTIVE_ACK;
        break;
    case SW_STANDBY:
        m_mode = STANDBY_MODE;
        answer = SW_STANDBY_ACK;
        break;
    default:
        log(LOG_LEVEL_NOTICE, "Unexpected event message [%d] received. Ignore and continue.", event.id);
        return 0;
    }
    std::memset(&m_evtParam, 0, sizeof(m_evtParam));
    if (sendEventMsg(CTL_THREAD_NAME, MQUEUE_HIGH_PRIORITY, answer, m_evtParam) != 0)
    {
        log(LOG_LEVEL_NOTICE, "Error in processing event message [%d]", event.id);
        return -1;
    }
    return 0;
}

int32 Logger::sendEventMsg(const char* threadName, MessageQueueType queue, FwEventID id, const EventParam& param)
{
    ThreadResource* res = nullptr;
    if (m_findThread(threadName, res) != 0)
        return -1;
    FwMessageQueue* q = queueOf(res, queue);
    if (res == nullptr || res->status.load(std::memory_order_acquire) != RES_ACTIVE || q == nullptr)
        return fwFail(THREAD_NOT_ACTIVE, -1);
    std::memset(&m_evtMsg, 0, FwIntMessage::EVENT_COPY_SIZE);
    m_evtMsg.msgSeqNum = ++m_msgSeqNum;
    copyText(m_evtMsg.originatorTxt, sizeof(ResourceName),
             m_threadResPtr != nullptr ? m_threadResPtr->threadNameTxt : LOGGER_THREAD_NAME);
    copyText(m_evtMsg.recipientTxt, sizeof(ResourceName), threadName);
    getCurrentTime(m_evtMsg.tm);
    m_evtMsg.appMsg.type = MSG_EVENT;
    m_evtMsg.appMsg.event.id = id;
    m_evtMsg.appMsg.event.eventParam = param;
    int32 result = -1;
    for (int32 attempt = 0; attempt < SEND_RETRY_COUNT; ++attempt)
    {
        result = q->putMessage(&m_evtMsg);
        const int32 error = FrameworkErrno::m_fwErrno;
        if (result == 0 || (error != BUFFER_FULL && error != HEAD_INDEX_CHANGED && error != LOCK_FAILED))
            break;
    }
    return result;
}

// ---- log requests -------------------------------------------------------------

void Logger::handleData()
{
    const Data_t& data = m_msg.appMsg.data;
    const char* sender = m_msg.originatorTxt;
    // The buffer is not aligned for the header: copied out, never cast.
    LogMsgHeader header;
    if (data.dataLen < static_cast<uint32>(LOG_MSG_HEADER_SIZE) || data.dataLen > Data_t::MAX_DATA_LEN)
    {
        log(LOG_LEVEL_NOTICE, "LOGGER: Malformed request from [%.16s], dataLen [%u]. Message discarded.", sender,
            data.dataLen);
        return;
    }
    std::memcpy(&header, data.buffer, sizeof(header));
    if (header.bodyLen < 0 || header.bodyLen > static_cast<int32>(data.dataLen) - LOG_MSG_HEADER_SIZE)
    {
        log(LOG_LEVEL_NOTICE, "LOGGER: Malformed request from [%.16s], dataLen [%u], bodyLen [%d]. Message discarded.",
            sender, data.dataLen, header.bodyLen);
        return;
    }
    handlePart(header, data.buffer + LOG_MSG_HEADER_SIZE, sender);
}

Logger::TempBuffer* Logger::getTempBuffer(const char* threadName)
{
    ResourceName name{};
    std::memcpy(name, threadName, sizeof(name));
    TempBuffer* temp = nullptr;
    if (m_tempBufRepository.getResourceObject(name, temp) == 0)
        return temp;
    return nullptr;
}

void Logger::handlePart(const LogMsgHeader& header, const char* body, const char* sender)
{
    const Data_t& data = m_msg.appMsg.data;
    const int32 partNum = data.msgPartNum;
    if (!data.more && partNum == 0)
    {
        LogMsgHeader copy = header;
        processRequest(copy, const_cast<char*>(body), sender);
        return;
    }
    TempBuffer* temp = getTempBuffer(sender);
    if (data.more && temp == nullptr)
    {
        ResourceName name{};
        std::memcpy(name, sender, sizeof(name));
        temp = new (std::nothrow) TempBuffer;
        if (temp == nullptr || ResourceRepository<TempBuffer>::isValidResName(name) != 0 ||
            m_tempBufRepository.addResource(name, temp) != 0)
        {
            const int32 error = temp == nullptr ? OBJECT_NULL_PTR : FrameworkErrno::m_fwErrno;
            delete temp;
            log(LOG_LEVEL_NOTICE, "Unable to create thread buffer for multi-part message for [%.16s], error [%d]",
                sender, error);
            return;
        }
    }
    if (temp == nullptr)
    {
        log(LOG_LEVEL_NOTICE, "Failed to locate temp buffer for [%.16s], FwErrno [%d]", sender, DAT_KEY_NOT_FOUND);
        return;
    }
    if (data.more && partNum == 0)
    {
        std::memcpy(temp->msgBuffer, &header, sizeof(header));
        temp->msgLen = LOG_MSG_HEADER_SIZE;
        temp->lastMsgPartNum = -1;
    }
    if (partNum != temp->lastMsgPartNum + 1 || partNum < 0)
    {
        log(LOG_LEVEL_NOTICE,
            "LOGGER: Incomplete multi-part message received from [%.16s], expected part#[%d], received part#[%d]. "
            "Message discarded.",
            sender, temp->lastMsgPartNum + 1, partNum);
        // The rest of that message can no longer join.
        temp->lastMsgPartNum = -2;
        return;
    }
    if (header.bodyLen > static_cast<int32>(sizeof(temp->msgBuffer)) - temp->msgLen)
    {
        log(LOG_LEVEL_NOTICE,
            "LOGGER: Multi-part message from [%.16s] exceeds [%d] bytes at part#[%d]. Message discarded.", sender,
            LOG_MSG_ASSEMBLED_MAX, partNum);
        temp->lastMsgPartNum = -2;
        return;
    }
    std::memcpy(temp->msgBuffer + temp->msgLen, body, static_cast<size_t>(header.bodyLen));
    temp->msgLen += header.bodyLen;
    temp->lastMsgPartNum = partNum;
    if (data.more)
        return;
    LogMsgHeader joined;
    std::memcpy(&joined, temp->msgBuffer, sizeof(joined));
    joined.bodyLen = temp->msgLen - LOG_MSG_HEADER_SIZE;
    temp->lastMsgPartNum = -2;
    processRequest(joined, temp->msgBuffer + LOG_MSG_HEADER_SIZE, sender);
}

void Logger::processRequest(LogMsgHeader& header, char* body, const char* sender)
{
    // A hand-over from releaseLogger: every request of that logger lies
    // before it in the queue and has been written.
    if (header.msgType == CLOSE_LOG_REQ && header.fd == -1 && header.loggerPtr != nullptr)
    {
        delete header.loggerPtr;
        return;
    }
    if (header.fd == -1)
    {
        log(LOG_LEVEL_NOTICE, "Received DATA message with fd = -1");
        return;
    }
    if (header.msgType == CLOSE_LOG_REQ)
    {
        closeRequest(header);
        return;
    }
    if (header.msgType != LOG_MSG)
    {
        log(LOG_LEVEL_NOTICE, "Unknown DATA message type [%d] received and discarded.",
            static_cast<int32>(header.msgType));
        return;
    }
    if ((header.openFlags & O_DIRECT) != 0)
        logBlockMode(header, body, sender);
    else
        logLineMode(header, body, sender);
}

// The header of a formatted request, after masking a journal payload.
// Returns its length (0 for a plain line), or -1.
int32 Logger::formatHeader(LogMsgHeader& header, char* body, const char* sender)
{
    if (!header.formatLogHeader || header.loggerPtr == nullptr)
        return 0;
    if (header.isMsgJournal)
    {
        char channel[sizeof(ResourceName)] = {};
        std::memcpy(channel, header.channelNameTxt, sizeof(ResourceName) - 1);
        const int32 payload = header.logMsgLen >= 0 && header.logMsgLen <= header.bodyLen ? header.logMsgLen : 0;
        AppLogger::maskMessage(channel, header.channelType, body, static_cast<uint32>(payload));
    }
    char name[sizeof(ResourceName)] = {};
    std::memcpy(name, sender, sizeof(ResourceName) - 1);
    const int32 length = header.loggerPtr->formatLogHeader(header, name, m_logHeaderTxt, MAX_LOG_LINE);
    if (length < 0)
        log(LOG_LEVEL_NOTICE, "LOG_MSG: Failed to format log header, fd=%d, fwErrno=%d, message discarded", header.fd,
            FrameworkErrno::m_fwErrno);
    return length;
}

void Logger::logLineMode(LogMsgHeader& header, char* body, const char* sender)
{
    const int32 headerLen = formatHeader(header, body, sender);
    if (headerLen < 0)
        return;
    if (header.writeToSysLog && header.loggerPtr != nullptr)
    {
        // The mirror carries the text, past the header of a plain line.
        if (headerLen > 0)
            header.loggerPtr->syslogText(header.logLevel, body,
                                         static_cast<uint32>(header.logMsgLen >= 0 && header.logMsgLen <= header.bodyLen
                                                                 ? header.logMsgLen
                                                                 : header.bodyLen));
        else if (header.bodyLen > SYS_LOG_OFFSET)
            header.loggerPtr->syslogText(header.logLevel, body + SYS_LOG_OFFSET,
                                         static_cast<uint32>(header.bodyLen - SYS_LOG_OFFSET));
    }
    const iovec parts[2] = {{m_logHeaderTxt, static_cast<size_t>(headerLen)},
                            {body, static_cast<size_t>(header.bodyLen)}};
    const ssize_t total = headerLen + header.bodyLen;
    const ssize_t written = headerLen > 0 ? writeAll(header.fd, parts, 2) : writeAll(header.fd, parts + 1, 1);
    if (written != total)
        log(LOG_LEVEL_NOTICE, "LOG_MSG: Failed to write to file, fd = %d, errno=%d", header.fd,
            written < 0 ? errno : 0);
}

Logger::FileBufferInfo* Logger::createFileBuffer(const LogMsgHeader& header, const char* sender)
{
    auto* entry = new (std::nothrow) FileBufferInfo;
    if (entry != nullptr)
        entry->streamBufPtr = new (std::nothrow) StreamBuffer(m_streamBufSize, LOW_LATENCY, false);
    if (entry == nullptr || entry->streamBufPtr == nullptr)
    {
        log(LOG_LEVEL_NOTICE, "LOG_MSG: Failed to create stream buffer, fd = %d, fwErrno = %d", header.fd,
            OBJECT_NULL_PTR);
        if (entry != nullptr)
            destroyFileBuffer(entry);
        return nullptr;
    }
    entry->fd = header.fd;
    entry->needAck = header.needAck;
    entry->padCharacter = header.padCharacter;
    std::memcpy(entry->fileResNameTxt, header.fileResNameTxt, sizeof(ResourceName) - 1);
    std::memcpy(entry->originatorTxt, sender, sizeof(ResourceName) - 1);
    struct stat st{};
    if (::fstat(header.fd, &st) == 0 && st.st_size % BLOCK_SIZE != 0)
    {
        // Appends at an offset inside a block fail with O_DIRECT.
        entry->blockWrites = ::fcntl(header.fd, F_SETFL, header.openFlags & ~O_DIRECT & ~O_CREAT) != 0;
        if (!entry->blockWrites)
            log(LOG_LEVEL_NOTICE,
                "LOG_MSG: File of fd = %d ends inside a block ([%lld] bytes); it is written without O_DIRECT.",
                header.fd, static_cast<long long>(st.st_size));
    }
    if (m_fileBufInfoArrayMap.add(fileKey(header.fd), entry) != 0)
    {
        log(LOG_LEVEL_NOTICE, "LOG_MSG: Failed to create stream buffer, fd = %d, fwErrno = %d", header.fd,
            FrameworkErrno::m_fwErrno);
        destroyFileBuffer(entry);
        return nullptr;
    }
    if (header.flushTimeout > 0)
        addFlushTimer(*entry, header.flushTimeout);
    if (entry->blockWrites && st.st_size >= 1)
    {
        int32 written = 0;
        entry->streamBufPtr->enqueue("\n", 1, written, true);
    }
    log(LOG_LEVEL_INFO, "LOG_MSG: Created stream buffer of fd = %d", header.fd);
    return entry;
}

void Logger::logBlockMode(LogMsgHeader& header, char* body, const char* sender)
{
    void* value = nullptr;
    FileBufferInfo* entry = nullptr;
    if (m_fileBufInfoArrayMap.find(fileKey(header.fd), &value) == 0)
        entry = static_cast<FileBufferInfo*>(value);
    else
        entry = createFileBuffer(header, sender);
    if (entry == nullptr)
        return;
    if (!entry->blockWrites)
    {
        logLineMode(header, body, sender);
        return;
    }
    if (entry->flushTimerPtr != nullptr)
        entry->flushTimerPtr->start();
    const int32 headerLen = formatHeader(header, body, sender);
    if (headerLen < 0)
        return;
    StreamBuffer& buffer = *entry->streamBufPtr;
    const int32 held = buffer.availEntry();
    const int32 size = headerLen + header.bodyLen;
    if (held % BLOCK_SIZE + size > BLOCK_SIZE)
        entry->flushSeqNum = entry->lastSeqNum;
    entry->lastSeqNum = header.msgSeqNum;
    int32 written = 0;
    // Both pieces or neither: a line is never left half in the buffer.
    if (size >= m_streamBufSize - held ||
        (headerLen > 0 && buffer.enqueue(m_logHeaderTxt, headerLen, written, true) != 0) ||
        buffer.enqueue(body, header.bodyLen, written, true) != 0)
    {
        log(LOG_LEVEL_NOTICE, "LOG_MSG: Failed to enqueue msg to stream buffer, fd = %d, fwErrno=%d", header.fd,
            BUFFER_FULL);
    }
    else if (buffer.availEntry() % BLOCK_SIZE == 0)
    {
        entry->flushSeqNum = entry->lastSeqNum;
    }
    flushFileBuffer(*entry, false);
}

int32 Logger::flushFileBuffer(FileBufferInfo& entry, bool force)
{
    StreamBuffer& buffer = *entry.streamBufPtr;
    const int32 held = buffer.availEntry();
    int32 amount = force ? held : held / BLOCK_SIZE * BLOCK_SIZE;
    if (amount == 0 || (!force && amount < m_flushDataSize))
        return 0;
    int32 got = 0;
    if (buffer.dequeue(m_tmpBufferPtr, amount, got, true) != 0)
    {
        log(LOG_LEVEL_NOTICE, "flushFileBuffer: Failed to read from stream buffer, fd = %d, fwErrno=%d", entry.fd,
            FrameworkErrno::m_fwErrno);
        return -1;
    }
    if (amount % BLOCK_SIZE != 0)
    {
        const int32 padded = (amount / BLOCK_SIZE + 1) * BLOCK_SIZE;
        std::memset(m_tmpBufferPtr + amount, entry.padCharacter, static_cast<size_t>(padded - amount));
        amount = padded;
    }
    const ssize_t written = ::write(entry.fd, m_tmpBufferPtr, static_cast<size_t>(amount));
    const int error = errno;
    updateStatus();
    const bool ok = written == amount;
    if (!ok)
        log(LOG_LEVEL_NOTICE, "flushFileBuffer: Failed to write to file, fd = %d, errno=%d", entry.fd,
            written < 0 ? error : 0);
    if (entry.needAck)
    {
        if (force)
            entry.flushSeqNum = entry.lastSeqNum;
        EventParam param{};
        std::memcpy(param.resNameTxt, entry.fileResNameTxt, sizeof(ResourceName));
        param.paramInt16 = ok ? 1 : 0;
        param.paramInt32 = entry.fd;
        param.paramInt64 = entry.flushSeqNum;
        char originator[sizeof(ResourceName)] = {};
        std::memcpy(originator, entry.originatorTxt, sizeof(ResourceName) - 1);
        sendEventMsg(originator, MQUEUE_NORMAL, IO_COMPL_ACK, param);
    }
    return ok ? 0 : -1;
}

void Logger::closeRequest(const LogMsgHeader& header)
{
    void* value = nullptr;
    if ((header.openFlags & O_DIRECT) == 0)
    {
        // A file that fell back to line writes still has its entry.
        if (m_fileBufInfoArrayMap.find(fileKey(header.fd), &value) == 0)
        {
            m_fileBufInfoArrayMap.remove(fileKey(header.fd));
            destroyFileBuffer(static_cast<FileBufferInfo*>(value));
        }
        ::close(header.fd);
        return;
    }
    if (m_fileBufInfoArrayMap.find(fileKey(header.fd), &value) != 0)
    {
        // Nothing was ever written to it; it is still this thread's to close.
        log(LOG_LEVEL_NOTICE, "CLOSE_LOG_REQ: Failed to get stream buffer of fd = %d, fwErrno = %d", header.fd,
            FrameworkErrno::m_fwErrno);
        ::close(header.fd);
        return;
    }
    auto* entry = static_cast<FileBufferInfo*>(value);
    if (entry->blockWrites)
        flushFileBuffer(*entry, true);
    if (::close(header.fd) != 0)
        log(LOG_LEVEL_NOTICE, "CLOSE_LOG_REQ: Failed to close file, fd = %d, errno=%d", header.fd, errno);
    if (m_fileBufInfoArrayMap.remove(fileKey(header.fd)) != 0)
    {
        log(LOG_LEVEL_NOTICE, "CLOSE_LOG_REQ: Failed to remove stream buffer, fd = %d, fwErrno = %d", header.fd,
            FrameworkErrno::m_fwErrno);
        return;
    }
    destroyFileBuffer(entry);
    log(LOG_LEVEL_INFO, "CLOSE_LOG_REQ: Flushed and closed the file, fd = %d, stream buffer removed.", header.fd);
}

// ---- handing over a logger ----------------------------------------------------

int32 Logger::releaseLogger(AppLogger* logger)
{
    if (logger == nullptr)
        return 0;
    FwMessageQueue* queue = nullptr;
    if (!logger->useLoggerThread() || LoggerRegistryLink::findLoggerQueue(queue) != 0 || queue == nullptr)
    {
        delete logger;
        return 0;
    }
    // The close goes first, so the descriptor is closed in order too.
    if (logger->closeLog() != 0)
        return -1;
    FwIntMessage msg;
    std::memset(&msg, 0, FwIntMessage::DATA_HEADER_SIZE + sizeof(LogMsgHeader));
    copyText(msg.recipientTxt, sizeof(ResourceName), LOGGER_THREAD_NAME);
    getCurrentTime(msg.tm);
    msg.appMsg.type = MSG_DATA;
    msg.appMsg.data.dataLen = LOG_MSG_HEADER_SIZE;
    LogMsgHeader header;
    std::memset(&header, 0, sizeof(header));
    header.msgType = CLOSE_LOG_REQ;
    header.fd = -1;
    header.padCharacter = ' ';
    header.loggerPtr = logger;
    std::memcpy(msg.appMsg.data.buffer, &header, sizeof(header));
    return queue->putMessage(&msg) == 0 ? 0 : -1;
}
