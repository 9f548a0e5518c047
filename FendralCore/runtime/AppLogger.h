// The application logger: one daily text file of fixed-layout lines
// ("<dir>/<prefix>_YYYYMMDD.log"), an optional syslog mirror, and data and
// message-journal lines with a fixed-width header. Every framework class logs
// through GlobalData::getInst().getLogger()->logMessage(level, format, ...)
// (or the fwLog shorthand in FwLog.h), with a fixed sentence and its values in
// brackets.
//
// A plain line: "YYYY/MM/DD HH:MM:SS.uuuuuu,L, <thread, 16 wide>: text\n", at
// most 511 characters. The caller's format only ever formats the caller's
// arguments; the header (which carries thread names) is copied as bytes.
//
// A logger writes its file itself (a buffered stream, under its lock when
// several threads share it), or hands every line to the LOGGER thread as
// FwIntMessage requests (LogMsg.h) on that thread's normal queue; then it only
// opens the descriptor, and the LOGGER thread writes and closes it. With a
// sink set (before openLog) lines go to the sink and no file is opened.
//
// Per thread, shared by every logger the thread uses: the thread's name for
// the thread field, its request buffer for the LOGGER thread and the cache of
// the last second's date and time text.
#pragma once

#include "FendralCore/foundation/FwTypes.h"
#include "FendralCore/foundation/LogLevels.h"
#include "FendralCore/foundation/ResourceLock.h"
#include "FendralCore/runtime/AppLogSink.h"
#include "FendralCore/runtime/FwIntMessage.h"
#include "FendralCore/runtime/LogMsg.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <string>

template <typename T>
class MessageQueue;

class AppLogger
{
public:
    static constexpr char SEVERITY[] = "ACEWNID";
    static constexpr int32 MAX_LOG_LINE = 512;
    static constexpr int32 MSG_LEN_FIELD_SIZE = 5;
    static constexpr int32 DATE_BUF_SIZE = 16;
    static constexpr int32 DEFAULT_SYSLOG_LEVEL = 1;
    static constexpr char HEADER_TEMPLATE[] = "0000/00/00 00:00:00.000000,I,                 ,     , : ";
    static constexpr char HEADER_TEMPLATE_EXTRA[] =
        "0000/00/00 00:00:00.000000,I,                 ,     , , ,                ,        ,        : ";

    // Positions in a line.
    static constexpr int32 TIME_OFFSET = 0;
    static constexpr int32 TIME_LEN = 19;
    static constexpr int32 USEC_OFFSET = 20;
    static constexpr int32 USEC_LEN = 6;
    static constexpr int32 SEVERITY_OFFSET = 27;
    static constexpr int32 THREAD_OFFSET = 30;
    static constexpr int32 THREAD_LEN = 16;
    static constexpr int32 TEXT_OFFSET = 48;
    static constexpr int32 MSGLEN_OFFSET = 47;
    static constexpr int32 MSGLEN_LEN = 5;
    static constexpr int32 DIR_OFFSET = 53;
    static constexpr int32 CHANNEL_TYPE_OFFSET = 55;
    static constexpr int32 CHANNEL_NAME_OFFSET = 57;
    static constexpr int32 CHANNEL_NAME_LEN = 16;
    static constexpr int32 PEER_APP_ID_OFFSET = 74;
    static constexpr int32 PEER_APP_ID_LEN = 8;
    static constexpr int32 PEER_IP_ADDR_OFFSET = 83;
    static constexpr int32 PEER_IP_ADDR_LEN = 8;
    static constexpr int32 DELIMITER_EXTRA_OFFSET = 92;
    // Header lengths: data line, journal line, journal line with extra fields.
    static constexpr int32 DATA_HEADER_LEN = 48;
    static constexpr int32 JOURNAL_HEADER_LEN = 56;
    static constexpr int32 JOURNAL_EXTRA_HEADER_LEN = 93;

    // Longest journal payload written directly (the masking copy's size).
    static constexpr uint32 MAX_DIRECT_JOURNAL_LEN = 32768;
    // Longest payload handed to the LOGGER thread: its join buffer holds the
    // request header, the payload and the newline.
    static constexpr uint32 MAX_LOGGER_PAYLOAD_LEN = LOG_MSG_ASSEMBLED_MAX - LOG_MSG_HEADER_SIZE - 1;

    // The wall clock of time stamps and file dates (getCurrentTime's form).
    using WallClock = int (*)(timespec& now);

    // The system log calls of the mirror, replaceable by tests.
    struct SyslogApi
    {
        void (*open)(const char* ident, int option, int facility);
        void (*write)(int priority, const char* text);
        void (*close)();
    };

    // Texts are cut at 255 characters. Syslog settings come from GlobalData.
    // Nothing is opened.
    AppLogger(const char* location, const char* prefix, int32 level, bool concurrentLog = true,
              bool isWriteSync = false, bool useLoggerThread = false, bool logThreadName = true,
              bool openDirect = false);
    virtual ~AppLogger();

    AppLogger(const AppLogger&) = delete;
    AppLogger& operator=(const AppLogger&) = delete;

    // Lines go to sink instead of a file (the logger does not own it); set
    // before openLog. Null: the daily file.
    void setSink(AppLogSink* sink);
    // Null: the system's wall clock.
    void setClock(WallClock clock);

    // Opens the file of today's local date. Wanting the LOGGER thread when
    // none is registered opens the file for writing here, with a warning line.
    int32 openLog();
    // Hands the descriptor to the LOGGER thread to close after the lines
    // queued before (closed here when there is no queue to post to).
    int32 closeLog();
    bool isOpen() const { return m_isOpen.load(std::memory_order_acquire); }
    // The current file's name (empty when none).
    std::string getFileName();

    // Mirrors to syslog first (not through the LOGGER thread), then logMessageV.
    int32 logMessage(int32 level, const char* format, ...) __attribute__((format(printf, 3, 4)));
    int32 logAndMirrorV(int32 level, const char* format, va_list arguments) __attribute__((format(printf, 3, 0)));
    int32 logMessageV(int32 level, const char* format, va_list arguments) __attribute__((format(printf, 3, 0)));

    // A data line (isMsgJournal false) or a message-journal line; time null
    // means now; channelName and peerAppId may be null.
    int32 logMessageFixedLength(int32 level, const char* data, uint32 length, DataDirection direction,
                                const timespec* time, bool isMsgJournal, ExtChannelType channelType,
                                const char* channelName, const char* peerAppId, uint32 peerIpAddr);

    int32 flushData();

    int32 setLogLevel(int32 level);
    int32 getLogLevel() const { return m_logLevel.load(std::memory_order_relaxed); }
    bool isLogged(int32 level) const { return level <= getLogLevel(); }
    int32 setSyslogLevel(int32 level);
    int32 getSyslogLevel() const { return m_syslogLevel.load(std::memory_order_relaxed); }
    bool isSyslogged(int32 level) const { return level <= getSyslogLevel(); }
    void setSyslogOption(int32 option) { m_syslogOption.store(option, std::memory_order_relaxed); }
    void setSyslogFacility(int32 facility) { m_syslogFacility.store(facility, std::memory_order_relaxed); }
    int32 getSyslogOption() const { return m_syslogOption.load(std::memory_order_relaxed); }
    int32 getSyslogFacility() const { return m_syslogFacility.load(std::memory_order_relaxed); }
    void setSyslogIdent(const char* ident);
    int32 getSyslogIdent(char* buffer);

    bool useLoggerThread() const { return m_useLoggerThread.load(std::memory_order_acquire); }

    int32 syslogMessage(int32 level, const char* format, ...) __attribute__((format(printf, 3, 4)));
    int32 syslogMessageV(int32 level, const char* format, va_list arguments) __attribute__((format(printf, 3, 0)));
    // The LOGGER thread's mirror of a request: text as it is, never a format,
    // with this logger's ident, option and facility.
    int32 syslogText(int32 level, const char* text, uint32 length);

    // Overwrites length bytes of buffer with '*' when the channel's masking
    // callback asks for it; channels other than TCP, UDP and topic never mask.
    static int32 maskMessage(const char* channelName, ExtChannelType channelType, char* buffer, uint32 length);

    // The LOGGER thread's header of a data or journal request: the time from
    // logTime, the thread field from senderName (when this logger logs names
    // and it is not empty) or the request's tid. Returns the header's length,
    // or -1 (BUF_NOT_ENOUGH_SPACE when it does not fit in size).
    int32 formatLogHeader(const LogMsgHeader& request, const char* senderName, char* buffer, int32 size);

    // This thread's name for the thread field (at most 16 characters; null
    // goes back to the numeric id).
    static void setThreadName(const char* name);
    // This thread's buffer for requests to the LOGGER thread (null: a buffer
    // of the thread's own, made on first use).
    static void setMsgPtr(FwIntMessage* message);
    // Directory of the message journal: trimmed of blanks, tabs and newlines,
    // then of trailing "/".
    static void setMsgJournalLocation(const char* location);
    static std::string getMsgJournalLocation();
    // The syslog priority of a level, or -1 with LOGGER_INVALID_LOG_LEVEL.
    static int32 syslogLevel(int32 level);
    // One syslog message with GlobalData's option and facility and no ident.
    static int32 syslog(int32 level, const char* format, ...) __attribute__((format(printf, 2, 3)));
    static int32 syslogV(int32 level, const char* format, va_list arguments) __attribute__((format(printf, 2, 0)));
    // Null: the system's calls.
    static void setSyslogApi(const SyslogApi* api);

private:
    class Guard;
    struct LineTime;
    struct OpenedFile;

    LongFilePathName m_fileLocationTxt{};
    LongFilePathName m_filePrefixTxt{};
    LongFilePathName m_fileNameTxt{};
    int32 m_fd = -1;
    FILE* m_filePtr = nullptr;
    std::atomic<int32> m_logLevel;
    const bool m_concurrentLog;
    const bool m_isWriteSync;
    std::atomic<bool> m_useLoggerThread;
    const bool m_logThreadName;
    bool m_dirtyFlag = false;
    const bool m_openDirect;
    const bool m_msgJournalExtraFieldEnabled;
    bool m_loggerThreadChecked = false;
    std::atomic<MessageQueue<FwIntMessage>*> m_loggerQueue{nullptr};
    ResourceLock m_lock;
    FilePathName m_syslogIdentTxt{};
    std::atomic<int32> m_syslogLevel;
    std::atomic<int32> m_syslogOption;
    std::atomic<int32> m_syslogFacility;
    tm m_tmFileOpen{};
    int32 m_fileDate = 0; // YYYYMMDD of the current file
    int32 m_openFlags = 0;
    std::atomic<bool> m_isOpen{false};
    std::atomic<AppLogSink*> m_sink{nullptr};
    std::atomic<WallClock> m_clock;
    char m_maskMsgBuf[MAX_DIRECT_JOURNAL_LEN];

    int32 formatLine(char* line, int32 level, const char* format, va_list arguments, LineTime& when) const;
    int32 writeLine(int32 level, const char* line, int32 length, int32 lineDate);
    int32 writeDirect(const iovec* parts, int32 count);
    int32 openLocked();
    int32 openFile(const tm& date, OpenedFile& file) const;
    void useFile(const OpenedFile& file);
    int32 closeLocked();
    int32 switchDayIfDue(int32 lineDate);
    MessageQueue<FwIntMessage>* loggerQueue();
    static FwIntMessage* requestBuffer();
    void fillRequest(FwIntMessage& msg, const LogMsgHeader& header, const char* body, int32 bodyLen, int32 partNum,
                     bool more);
    int32 postClose(int32 fd, int32 openFlags);
    int32 postLine(int32 level, const char* line, int32 length);
    int32 postFixedLength(LogMsgHeader& header, const char* data, uint32 length);
    int32 maskMessageConst(const char* channelName, ExtChannelType channelType, const char* data, uint32 length);
};
