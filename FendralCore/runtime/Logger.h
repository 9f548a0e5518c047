// The body of the framework thread "LOGGER": it takes the log requests that
// AppLogger posts (LogMsg.h) from its two queues and writes them to their
// files, so that the posting threads do no file output. A file opened with
// O_DIRECT is collected in a buffer of its own and written only in whole
// 512-byte blocks from one 512-byte-aligned block; any other file gets one
// write per request. It also opens the message journal ("<appId>_mj") at
// start-up and answers the control thread's INIT, SW_ACTIVE and SW_STANDBY.
//
// Everything here runs on the LOGGER thread; producers reach it only through
// its queues, so it takes no lock.
//
// A request names its AppLogger by address. A logger that posts to this
// thread is therefore handed over with releaseLogger instead of being
// deleted: the LOGGER thread destroys it once every request queued before
// has been written.
#pragma once

#include "FendralCore/foundation/ArrayMap.h"
#include "FendralCore/foundation/FileDescMultiplexer.h"
#include "FendralCore/foundation/FwTypes.h"
#include "FendralCore/foundation/GlobalData.h"
#include "FendralCore/runtime/FwIntMessage.h"
#include "FendralCore/runtime/LogMsg.h"
#include "FendralCore/runtime/MessageQueue.h"
#include "FendralCore/runtime/ResourceRepository.h"

#include <ctime>

class AppLogger;
class AppTimer;
class ConfigManager;
class StreamBuffer;
class Timer;
struct ThreadResource;

class Logger
{
public:
    static constexpr char STREAM_BUF_SIZE_LABEL[] = "LOGGER_SB_SIZE";
    static constexpr int32 DEFAULT_STREAM_BUF_SIZE = 65536;
    static constexpr char CONT_MSG_PROC_NUM_LABEL[] = "LOG_MSG_PROC_NUM";
    static constexpr int32 DEFAULT_CONT_MSG_PROC_NUM = 20;
    static constexpr char FLUSH_BLOCK_LABEL[] = "LOG_FLUSH_BLOCK";
    static constexpr int32 DEFAULT_FLUSH_BLOCK = 10;
    static constexpr char STS_RPT_INTERVAL_LABEL[] = "STS_RPT_INTERVAL";
    static constexpr int32 DEFAULT_STS_RPT_INTERVAL = 500;
    static constexpr int32 NUM_OF_DESC_MAX = 3;
    static constexpr int32 SEND_RETRY_COUNT = 3;
    static constexpr int32 MAX_LOG_LINE = 512;
    static constexpr int32 SYS_LOG_OFFSET = 48;
    static constexpr int32 BLOCK_SIZE = 512;
    static constexpr int32 LOG_TEMP_BUFFER_SIZE = 32768;

    // How the thread finds another thread's record (0, or -1 with the code):
    // the registry unless a test gives its own table.
    using FindThreadRes = int32 (*)(const char* name, ThreadResource*& res);

    // One file opened with O_DIRECT.
    struct FileBufferInfo
    {
        StreamBuffer* streamBufPtr = nullptr;
        int64 flushSeqNum = 0;
        int64 lastSeqNum = 0;
        int32 fd = -1;
        ResourceName fileResNameTxt{};
        ResourceName originatorTxt{};
        bool needAck = false;
        char padCharacter = ' ';
        // Cleared when the file's size is not a whole number of blocks: an
        // O_DIRECT append there fails, so the file is written line by line.
        bool blockWrites = true;
        // Flushes the file when no request came for its time-out.
        AppTimer* flushTimerPtr = nullptr;
    };

    // The parts of one multi-part request joined so far.
    struct TempBuffer
    {
        char msgBuffer[LOG_MSG_ASSEMBLED_MAX];
        int32 msgLen = 0;
        int32 lastMsgPartNum = -1;
    };

    // Binds to GlobalData, the framework logger and configuration store and
    // reads the keys; opens nothing.
    explicit Logger(ThreadResource* threadResPtr, FindThreadRes findThread = nullptr);
    ~Logger();

    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    int32 initialize();
    // Runs until TERM; exitCode 1 when initialize fails.
    int32 run(int32& exitCode);
    // Drains one queue's batch; stop is set by TERM, count receives the
    // number of messages taken.
    int32 processMessage(MessageQueueType queue, bool& stop, int32& count);
    // Writes the whole blocks buffered (force: everything, the last block
    // padded). 0, or -1 when the write failed.
    int32 flushFileBuffer(FileBufferInfo& entry, bool force);
    TempBuffer* getTempBuffer(const char* threadName);
    int32 sendEventMsg(const char* threadName, MessageQueueType queue, FwEventID id, const EventParam& param);
    void updateStatus();

    // Hands over a logger that may have requests queued here: it is closed
    // now and destroyed on the LOGGER thread after those requests. A logger
    // that does not use the LOGGER thread, or a process without one, is
    // destroyed at once. -1 with the queue's code when the hand-over could
    // not be posted; the caller then still owns the logger.
    static int32 releaseLogger(AppLogger* logger);

    int32 getMode() const { return m_mode; }
    int32 getStreamBufSize() const { return m_streamBufSize; }
    int32 getFlushDataSize() const { return m_flushDataSize; }

private:
    uint32 m_msgSeqNum = 0;
    int32 m_timeout = DEFAULT_STS_RPT_INTERVAL;
    int32 m_streamBufSize = DEFAULT_STREAM_BUF_SIZE;
    FwIntMessage m_msg;
    FwIntMessage m_evtMsg;
    EventParam m_evtParam{};
    bool m_initEventRcvd = false;
    int32 m_mode = -1;
    ThreadResource* m_threadResPtr;
    ThreadResource* m_ctlThdResPtr = nullptr;
    FileDescMultiplexer m_fdWait;
    Timer* m_timerPtr = nullptr;
    FileDescriptor* m_fdAryPtr[NUM_OF_DESC_MAX] = {};
    ConfigManager* m_configMgrPtr;
    AppLogger* m_loggerPtr;
    ArrayMap<int32> m_fileBufInfoArrayMap;
    ArrayMap<int32> m_flushTimerArrayMap;
    char* m_tmpBufferPtr = nullptr;
    int64 m_lastUpdStatusNs = 0; // monotonic
    int64 m_idleThreshold = 0;
    int32 m_contMsgProcNum = DEFAULT_CONT_MSG_PROC_NUM;
    int32 m_flushDataSize = DEFAULT_FLUSH_BLOCK * BLOCK_SIZE;
    OptimizationMode m_optMode;
    ResourceRepository<TempBuffer> m_tempBufRepository;
    char m_logHeaderTxt[MAX_LOG_LINE];
    char m_logTempBuffer[LOG_TEMP_BUFFER_SIZE];
    FindThreadRes m_findThread;
    int32 m_tmpBufferSize = 0;

    int32 loopCpuUtilization();
    int32 loopLowLatency();
    int32 handleEvent(bool& stop);
    void handleData();
    void handlePart(const LogMsgHeader& header, const char* body, const char* sender);
    void processRequest(LogMsgHeader& header, char* body, const char* sender);
    void logBlockMode(LogMsgHeader& header, char* body, const char* sender);
    void logLineMode(LogMsgHeader& header, char* body, const char* sender);
    void closeRequest(const LogMsgHeader& header);
    FileBufferInfo* createFileBuffer(const LogMsgHeader& header, const char* sender);
    int32 formatHeader(LogMsgHeader& header, char* body, const char* sender);
    void destroyFileBuffer(FileBufferInfo* entry);
    void addFlushTimer(FileBufferInfo& entry, int32 timeout);
    void removeFlushTimer(FileBufferInfo& entry);
    int32 flushTimeoutFileBuffers();
    void openMsgJournal();
    MessageQueue<FwIntMessage>* queueOf(ThreadResource* res, MessageQueueType queue) const;
    template <typename... Args>
    void log(int32 level, const char* format, Args... args) const;
};
