#include "FendralCore/runtime/AppLogger.h"

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/GlobalData.h"
#include "FendralCore/foundation/Int2Txt.h"
#include "FendralCore/foundation/TimeFunc.h"
#include "FendralCore/foundation/TrimString.h"
#include "FendralCore/runtime/FwLog.h"
#include "FendralCore/runtime/LoggerRegistryLink.h"
#include "FendralCore/runtime/MessageQueue.h"

#include <arpa/inet.h>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <new>
#include <pthread.h>
#include <syslog.h>
#include <unistd.h>

static_assert(sizeof(AppLogger::HEADER_TEMPLATE) - 1 == AppLogger::JOURNAL_HEADER_LEN);
static_assert(sizeof(AppLogger::HEADER_TEMPLATE_EXTRA) - 1 == AppLogger::JOURNAL_EXTRA_HEADER_LEN);

namespace
{

constexpr char LOGGER_THREAD_NAME[] = "LOGGER";
constexpr int32 SYSLOG_IDENT_LEN = 100;

// Per thread: its name for the thread field, its request buffer for the
// LOGGER thread, and the local date and time text of the last second it
// stamped, so that most lines convert no time at all.
struct ThreadLogState
{
    char name[17] = {};
    bool nameSet = false;
    FwIntMessage* msgPtr = nullptr;
    std::unique_ptr<FwIntMessage> ownMsg;
    bool haveSecond = false;
    time_t lastSecond = 0;
    tm lastTm{};
    char dateTime[AppLogger::TIME_LEN] = {};
    int32 date = 0; // YYYYMMDD of lastSecond, 0 when it could not be converted
};

thread_local ThreadLogState t_logState;

std::mutex g_journalLocationMutex;
std::string g_msgJournalLocation;

// Serialises the open, write and close of one mirrored message: the system
// log's ident and options are process-wide.
std::mutex g_syslogMutex;

void systemOpenlog(const char* ident, int option, int facility)
{
    ::openlog(ident, option, facility);
}

void systemSyslog(int priority, const char* text)
{
    ::syslog(priority, "%s", text);
}

void systemCloselog()
{
    ::closelog();
}

const AppLogger::SyslogApi SYSTEM_SYSLOG{systemOpenlog, systemSyslog, systemCloselog};
std::atomic<const AppLogger::SyslogApi*> g_syslogApi{&SYSTEM_SYSLOG};

// Copies at most size - 1 characters and NUL-fills the rest.
void copyCut(char* dest, size_t size, const char* src)
{
    const size_t n = src != nullptr ? strnlen(src, size - 1) : 0;
    if (n > 0)
        std::memcpy(dest, src, n);
    std::memset(dest + n, 0, size - n);
}

// Copies up to width characters of text (stopping at a NUL) and pads the
// rest of the field with blanks.
void padField(char* field, int32 width, const char* text)
{
    const size_t n = text != nullptr ? strnlen(text, static_cast<size_t>(width)) : 0;
    if (n > 0)
        std::memcpy(field, text, n);
    std::memset(field + n, ' ', static_cast<size_t>(width) - n);
}

// Length of text[0, length) without a UTF-8 sequence that the cut left incomplete.
int32 characterBoundary(const char* text, int32 length)
{
    int32 i = length - 1;
    while (i >= 0 && length - i < 4 && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80)
        --i;
    if (i < 0)
        return length;
    const auto lead = static_cast<unsigned char>(text[i]);
    const int32 need = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    return length - i < need ? i : length;
}

// Formats into text (size bytes, NUL-terminated); output that does not fit
// is cut on a character boundary. Returns the length written.
int32 formatText(char* text, int32 size, const char* format, va_list arguments)
{
    if (format == nullptr)
    {
        text[0] = '\0';
        return 0;
    }
    int32 written = std::vsnprintf(text, static_cast<size_t>(size), format, arguments);
    if (written < 0)
        written = 0;
    if (written >= size)
        written = characterBoundary(text, size - 1);
    text[written] = '\0';
    return written;
}

int32 dateKey(const tm& local)
{
    return (local.tm_year + 1900) * 10000 + (local.tm_mon + 1) * 100 + local.tm_mday;
}

// The date and time text of second for this thread. Within the minute of the
// cached second only the seconds digits change; any other step converts the
// time fully, so a daylight-saving change (always at a whole minute) shows at
// once.
const ThreadLogState& stampSecond(time_t second)
{
    ThreadLogState& s = t_logState;
    if (s.haveSecond && second == s.lastSecond)
        return s;
    if (s.haveSecond && second > s.lastSecond && s.date != 0 && second - s.lastSecond < 60 - s.lastTm.tm_sec)
    {
        s.lastTm.tm_sec += static_cast<int>(second - s.lastSecond);
        int2TxtRightAlign(static_cast<uint64>(s.lastTm.tm_sec), s.dateTime + 17, 2, 10, false);
    }
    else
    {
        tm local{};
        if (localtime_r(&second, &local) != nullptr &&
            time2StringTm(local, s.dateTime, AppLogger::TIME_LEN, true) == 0)
        {
            s.date = dateKey(local);
        }
        else
        {
            std::memcpy(s.dateTime, AppLogger::HEADER_TEMPLATE, AppLogger::TIME_LEN);
            local = tm{};
            s.date = 0;
        }
        s.lastTm = local;
    }
    s.lastSecond = second;
    s.haveSecond = true;
    return s;
}

uint64 microsecondsOf(const timespec& t)
{
    return t.tv_nsec >= 0 && t.tv_nsec < 1000000000L ? static_cast<uint64>(t.tv_nsec / 1000) : 0;
}

// The thread field: the name padded with blanks, or the thread id as 16
// upper-case hexadecimal digits.
void writeThreadField(char* field, const char* name, pthread_t tid)
{
    if (name != nullptr && name[0] != '\0')
        padField(field, AppLogger::THREAD_LEN, name);
    else
        int2TxtRightAlign(static_cast<uint64>(tid), field, AppLogger::THREAD_LEN, 16, false);
}

// Positions 0-45, common to every line.
void writeCommonHeader(char* out, const char* dateTime, const timespec& t, int32 level, const char* name, pthread_t tid)
{
    std::memcpy(out + AppLogger::TIME_OFFSET, dateTime, AppLogger::TIME_LEN);
    out[19] = '.';
    int2TxtRightAlign(microsecondsOf(t), out + AppLogger::USEC_OFFSET, AppLogger::USEC_LEN, 10, false);
    out[26] = ',';
    out[AppLogger::SEVERITY_OFFSET] = AppLogger::SEVERITY[level];
    out[28] = ',';
    out[29] = ' ';
    writeThreadField(out + AppLogger::THREAD_OFFSET, name, tid);
}

struct FixedFields
{
    bool isMsgJournal;
    bool extra;
    uint32 msgLen;
    int32 direction;
    int32 channelType;
    const char* channelName;
    const char* peerAppId;
    uint32 peerIpAddr; // network order
};

bool validFixedFields(const FixedFields& f)
{
    if (!f.isMsgJournal)
        return true;
    if (f.direction < INTER_THREAD_DATA || f.direction > OUTGOING_DATA || f.msgLen > 99999)
        return false;
    return !f.extra || (f.channelType >= TCP_CHANNEL && f.channelType <= ITC_CHANNEL);
}

int32 fixedHeaderLength(const FixedFields& f)
{
    if (!f.isMsgJournal)
        return AppLogger::DATA_HEADER_LEN;
    return f.extra ? AppLogger::JOURNAL_EXTRA_HEADER_LEN : AppLogger::JOURNAL_HEADER_LEN;
}

// The header of a data or journal line (fields already checked); returns its length.
int32 writeFixedHeader(char* out, const char* dateTime, const timespec& t, int32 level, const char* name,
                       pthread_t tid, const FixedFields& f)
{
    const int32 length = fixedHeaderLength(f);
    std::memcpy(out, f.extra ? AppLogger::HEADER_TEMPLATE_EXTRA : AppLogger::HEADER_TEMPLATE,
                static_cast<size_t>(length));
    writeCommonHeader(out, dateTime, t, level, name, tid);
    if (!f.isMsgJournal)
    {
        out[46] = ':';
        out[47] = ' ';
        return length;
    }
    int2TxtRightAlign(f.msgLen, out + AppLogger::MSGLEN_OFFSET, AppLogger::MSGLEN_LEN, 10, true);
    out[AppLogger::DIR_OFFSET] = static_cast<char>('0' + f.direction);
    if (!f.extra)
    {
        out[54] = ':';
        out[55] = '\n';
        return length;
    }
    out[AppLogger::CHANNEL_TYPE_OFFSET] = static_cast<char>('0' + f.channelType);
    padField(out + AppLogger::CHANNEL_NAME_OFFSET, AppLogger::CHANNEL_NAME_LEN, f.channelName);
    padField(out + AppLogger::PEER_APP_ID_OFFSET, AppLogger::PEER_APP_ID_LEN, f.peerAppId);
    int2TxtRightAlign(ntohl(f.peerIpAddr), out + AppLogger::PEER_IP_ADDR_OFFSET, AppLogger::PEER_IP_ADDR_LEN, 16, false);
    out[91] = ':';
    out[AppLogger::DELIMITER_EXTRA_OFFSET] = '\n';
    return length;
}

// One message to the system log. identField is read under the lock, which
// also guards its writers.
void sendToSyslog(const char* identField, int32 option, int32 facility, int32 priority, const char* text)
{
    std::lock_guard<std::mutex> guard(g_syslogMutex);
    char ident[sizeof(FilePathName)] = {};
    if (identField != nullptr)
        copyCut(ident, sizeof(ident), identField);
    const AppLogger::SyslogApi* api = g_syslogApi.load(std::memory_order_acquire);
    api->open(ident[0] != '\0' ? ident : nullptr, option, facility);
    api->write(priority, text);
    api->close();
}

bool validLevel(int32 level)
{
    return level >= LOG_LEVEL_ALERT && level <= LOG_LEVEL_DEBUG;
}

} // namespace

// Holds the logger's lock when several threads share the logger.
class AppLogger::Guard
{
public:
    explicit Guard(AppLogger& logger)
        : m_logger(logger), m_held(logger.m_concurrentLog && logger.m_lock.lock(-1) == 0)
    {
    }
    ~Guard()
    {
        if (m_held)
            m_logger.m_lock.unlock();
    }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

    bool ok() const { return m_held || !m_logger.m_concurrentLog; }

private:
    AppLogger& m_logger;
    bool m_held;
};

struct AppLogger::LineTime
{
    int32 date = 0;
};

// What openFile hands back before it replaces the current file.
struct AppLogger::OpenedFile
{
    LongFilePathName name;
    int32 fd = -1;
    FILE* filePtr = nullptr;
    int32 openFlags = 0;
    tm date{};
};

AppLogger::AppLogger(const char* location, const char* prefix, int32 level, bool concurrentLog, bool isWriteSync,
                     bool useLoggerThread, bool logThreadName, bool openDirect)
    : m_logLevel(level),
      m_concurrentLog(concurrentLog),
      m_isWriteSync(isWriteSync),
      m_useLoggerThread(useLoggerThread),
      m_logThreadName(logThreadName),
      m_openDirect(openDirect),
      m_msgJournalExtraFieldEnabled(GlobalData::getInst().m_msgJournalExtraFieldEnabled),
      m_syslogLevel(GlobalData::getInst().m_syslogLevel),
      m_syslogOption(GlobalData::getInst().m_syslogOption),
      m_syslogFacility(GlobalData::getInst().m_syslogFacility),
      m_clock(getCurrentTime)
{
    copyCut(m_fileLocationTxt, sizeof(m_fileLocationTxt), location);
    copyCut(m_filePrefixTxt, sizeof(m_filePrefixTxt), prefix);
    const char* fwIdent = GlobalData::getInst().m_fwSyslogIdentTxt;
    if (fwIdent[0] != '\0')
        copyCut(m_syslogIdentTxt, sizeof(m_syslogIdentTxt), fwIdent);
    else
        copyCut(m_syslogIdentTxt, SYSLOG_IDENT_LEN + 1, m_filePrefixTxt);
    // The lower layers' fwLog reaches the framework logger once a logger exists.
    installFwLogTarget();
}

AppLogger::~AppLogger()
{
    closeLog();
}

void AppLogger::setSink(AppLogSink* sink)
{
    m_sink.store(sink, std::memory_order_release);
}

void AppLogger::setClock(WallClock clock)
{
    m_clock.store(clock != nullptr ? clock : getCurrentTime, std::memory_order_release);
}

// ---- opening, closing and the daily switch --------------------------------

int32 AppLogger::openLog()
{
    int32 result = 0;
    LongFilePathName fileName{};
    {
        Guard guard(*this);
        if (!guard.ok())
            return -1;
        result = openLocked();
        std::memcpy(fileName, m_fileNameTxt, sizeof(fileName));
    }
    if (result == 1)
    {
        logMessage(LOG_LEVEL_WARNING, "Logger thread has not started. The log file [%s] is logged locally!", fileName);
        result = 0;
    }
    return result;
}

// 0 opened (or already open), 1 opened directly because the LOGGER thread
// is not registered, -1 failed.
int32 AppLogger::openLocked()
{
    if (isOpen())
        return 0;
    if (m_sink.load(std::memory_order_acquire) != nullptr)
    {
        m_isOpen.store(true, std::memory_order_release);
        return 0;
    }
    bool loggedLocally = false;
    if (useLoggerThread() && !m_loggerThreadChecked)
    {
        MessageQueue<FwIntMessage>* queue = nullptr;
        if (LoggerRegistryLink::findLoggerQueue(queue) != 0)
        {
            m_useLoggerThread.store(false, std::memory_order_release);
            loggedLocally = true;
        }
        else
        {
            m_loggerQueue.store(queue, std::memory_order_release);
            m_loggerThreadChecked = true;
        }
    }
    timespec now{};
    m_clock.load(std::memory_order_acquire)(now);
    tm local{};
    if (localtime_r(&now.tv_sec, &local) == nullptr)
        return fwFail(FILE_OPEN_ERROR, -1);
    OpenedFile file;
    if (openFile(local, file) != 0)
        return -1;
    useFile(file);
    m_isOpen.store(true, std::memory_order_release);
    return loggedLocally ? 1 : 0;
}

int32 AppLogger::openFile(const tm& date, OpenedFile& file) const
{
    char dateTxt[DATE_BUF_SIZE];
    if (std::strftime(dateTxt, sizeof(dateTxt), "%Y%m%d", &date) == 0)
        return fwFail(FILE_OPEN_ERROR, -1);
    const int n = std::snprintf(file.name, sizeof(file.name), "%s/%s_%s.log", m_fileLocationTxt, m_filePrefixTxt,
                                dateTxt);
    // A name that does not fit is refused rather than opened cut.
    if (n < 0 || n >= static_cast<int>(sizeof(file.name)))
        return fwFail(FILE_OPEN_ERROR, -1);
    if (useLoggerThread())
    {
        file.openFlags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | (m_openDirect ? O_DIRECT : 0);
        file.fd = ::open(file.name, file.openFlags, 0666);
        if (file.fd < 0)
            return fwFail(FILE_OPEN_ERROR, -1);
    }
    else
    {
        file.openFlags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC;
        file.filePtr = std::fopen(file.name, "ae");
        if (file.filePtr == nullptr)
            return fwFail(FILE_OPEN_ERROR, -1);
    }
    file.date = date;
    return 0;
}

void AppLogger::useFile(const OpenedFile& file)
{
    std::memcpy(m_fileNameTxt, file.name, sizeof(m_fileNameTxt));
    m_fd = file.fd;
    m_filePtr = file.filePtr;
    m_openFlags = file.openFlags;
    m_tmFileOpen = file.date;
    m_fileDate = dateKey(file.date);
    m_dirtyFlag = false;
}

int32 AppLogger::closeLog()
{
    Guard guard(*this);
    if (!guard.ok())
        return -1;
    if (!isOpen())
        return 0;
    return closeLocked();
}

int32 AppLogger::closeLocked()
{
    int32 result = 0;
    if (m_fd != -1)
    {
        if (postClose(m_fd, m_openFlags) != 0)
            return -1;
        m_fd = -1;
    }
    if (m_filePtr != nullptr)
    {
        if (std::fclose(m_filePtr) != 0)
            result = fwFail(CLOSE_FAILED, -1);
        m_filePtr = nullptr;
        m_dirtyFlag = false;
    }
    m_isOpen.store(false, std::memory_order_release);
    return result;
}

// Hands the descriptor to the LOGGER thread to close after the requests
// queued before. With no queue to post to, no request can name it, so it is
// closed here rather than left open.
int32 AppLogger::postClose(int32 fd, int32 openFlags)
{
    MessageQueue<FwIntMessage>* queue = loggerQueue();
    if (queue == nullptr)
    {
        ::close(fd);
        return 0;
    }
    FwIntMessage* msg = requestBuffer();
    if (msg == nullptr)
        return -1;
    LogMsgHeader header;
    std::memset(&header, 0, sizeof(header));
    header.msgType = CLOSE_LOG_REQ;
    header.fd = fd;
    header.openFlags = openFlags;
    header.padCharacter = ' ';
    fillRequest(*msg, header, nullptr, 0, 0, false);
    return queue->putMessage(msg) == 0 ? 0 : -1;
}

// The first line of a later local date opens that date's file and then
// closes the current one. Lines stamped with an earlier date (a thread that
// took its time just before midnight) go to the current file, so files never
// switch back and forth.
int32 AppLogger::switchDayIfDue(int32 lineDate)
{
    if (lineDate <= m_fileDate)
        return 0;
    tm date{};
    date.tm_year = lineDate / 10000 - 1900;
    date.tm_mon = lineDate / 100 % 100 - 1;
    date.tm_mday = lineDate % 100;
    OpenedFile file;
    if (openFile(date, file) != 0)
        return -1;
    if (m_fd != -1 && postClose(m_fd, m_openFlags) != 0)
    {
        ::close(file.fd);
        return -1;
    }
    if (m_filePtr != nullptr)
        std::fclose(m_filePtr);
    useFile(file);
    return 0;
}

std::string AppLogger::getFileName()
{
    Guard guard(*this);
    return m_fileNameTxt;
}

// ---- plain lines ----------------------------------------------------------

int32 AppLogger::logMessage(int32 level, const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    const int32 result = logAndMirrorV(level, format, arguments);
    va_end(arguments);
    return result;
}

int32 AppLogger::logAndMirrorV(int32 level, const char* format, va_list arguments)
{
    if (!useLoggerThread() && isSyslogged(level))
    {
        va_list copy;
        va_copy(copy, arguments);
        syslogMessageV(level, format, copy);
        va_end(copy);
    }
    return logMessageV(level, format, arguments);
}

int32 AppLogger::logMessageV(int32 level, const char* format, va_list arguments)
{
    if (!isOpen())
        return fwFail(BAD_DESCRIPTOR, -1);
    if (level < LOG_LEVEL_ALERT)
        return fwFail(LOGGER_INVALID_LOG_LEVEL, -1);
    // Above DEBUG no line is written, whatever level the logger was given.
    if (level > getLogLevel() || level > LOG_LEVEL_DEBUG)
        return 0;
    char line[MAX_LOG_LINE];
    LineTime when;
    const int32 length = formatLine(line, level, format, arguments, when);
    return writeLine(level, line, length, when.date);
}

int32 AppLogger::formatLine(char* line, int32 level, const char* format, va_list arguments, LineTime& when) const
{
    timespec now{};
    m_clock.load(std::memory_order_acquire)(now);
    const ThreadLogState& state = stampSecond(now.tv_sec);
    when.date = state.date;
    writeCommonHeader(line, state.dateTime, now, level, m_logThreadName && state.nameSet ? state.name : nullptr,
                      pthread_self());
    if (format == nullptr)
    {
        line[46] = ':';
        line[47] = '\n';
        return 48;
    }
    line[46] = ':';
    line[47] = ' ';
    // The text takes what is left but the newline: at most 511 characters.
    const int32 textLen = formatText(line + TEXT_OFFSET, MAX_LOG_LINE - 1 - TEXT_OFFSET, format, arguments);
    line[TEXT_OFFSET + textLen] = '\n';
    return TEXT_OFFSET + textLen + 1;
}

int32 AppLogger::writeLine(int32 level, const char* line, int32 length, int32 lineDate)
{
    Guard guard(*this);
    if (!guard.ok())
        return -1;
    if (!isOpen())
        return fwFail(BAD_DESCRIPTOR, -1);
    if (AppLogSink* sink = m_sink.load(std::memory_order_acquire))
    {
        const int32 result = sink->writeLine(level, line, static_cast<uint32>(length));
        if (result == 0 && m_isWriteSync)
            sink->flush();
        return result;
    }
    if (switchDayIfDue(lineDate) != 0)
        return -1;
    if (m_fd != -1)
        return postLine(level, line, length);
    const iovec part{const_cast<char*>(line), static_cast<size_t>(length)};
    return writeDirect(&part, 1);
}

int32 AppLogger::writeDirect(const iovec* parts, int32 count)
{
    if (m_filePtr == nullptr)
        return fwFail(BAD_DESCRIPTOR, -1);
    for (int32 i = 0; i < count; ++i)
    {
        if (std::fwrite(parts[i].iov_base, 1, parts[i].iov_len, m_filePtr) != parts[i].iov_len)
            return fwFail(WRITE_FAILED, -1);
    }
    m_dirtyFlag = true;
    if (m_isWriteSync)
    {
        if (std::fflush(m_filePtr) != 0)
            return fwFail(WRITE_FAILED, -1);
        m_dirtyFlag = false;
    }
    return 0;
}

int32 AppLogger::flushData()
{
    // Under the lock: the daily switch of another thread closes the stream.
    Guard guard(*this);
    if (!guard.ok())
        return -1;
    if (AppLogSink* sink = m_sink.load(std::memory_order_acquire))
        return sink->flush();
    if (m_filePtr == nullptr || !m_dirtyFlag)
        return 0;
    if (std::fflush(m_filePtr) != 0)
        return fwFail(WRITE_FAILED, -1);
    m_dirtyFlag = false;
    return 0;
}

// ---- requests to the LOGGER thread ------------------------------------------

MessageQueue<FwIntMessage>* AppLogger::loggerQueue()
{
    MessageQueue<FwIntMessage>* queue = m_loggerQueue.load(std::memory_order_acquire);
    if (queue == nullptr)
    {
        // The thread was registered without a queue when the log was opened;
        // it may have one by now.
        if (LoggerRegistryLink::findLoggerQueue(queue) == 0 && queue != nullptr)
            m_loggerQueue.store(queue, std::memory_order_release);
        else
            queue = nullptr;
    }
    return queue;
}

FwIntMessage* AppLogger::requestBuffer()
{
    ThreadLogState& state = t_logState;
    if (state.msgPtr != nullptr)
        return state.msgPtr;
    // A buffer of the thread's own, never one shared between threads.
    if (!state.ownMsg)
        state.ownMsg.reset(new (std::nothrow) FwIntMessage);
    if (!state.ownMsg)
        return fwFail(OBJECT_NULL_PTR, nullptr);
    return state.ownMsg.get();
}

void AppLogger::fillRequest(FwIntMessage& msg, const LogMsgHeader& header, const char* body, int32 bodyLen,
                            int32 partNum, bool more)
{
    std::memset(&msg, 0, FwIntMessage::DATA_HEADER_SIZE);
    const ThreadLogState& state = t_logState;
    // A thread without a name is known by its id, so that its parts still
    // join at the LOGGER thread.
    if (state.nameSet)
        copyCut(msg.originatorTxt, sizeof(msg.originatorTxt), state.name);
    else
        int2TxtRightAlign(static_cast<uint64>(pthread_self()), msg.originatorTxt, THREAD_LEN, 16, false);
    copyCut(msg.recipientTxt, sizeof(msg.recipientTxt), LOGGER_THREAD_NAME);
    m_clock.load(std::memory_order_acquire)(msg.tm);
    msg.appMsg.type = MSG_DATA;
    Data_t& data = msg.appMsg.data;
    data.dataLen = static_cast<uint32>(LOG_MSG_HEADER_SIZE + bodyLen);
    data.msgPartNum = partNum;
    data.more = more;
    // The data buffer is not aligned for the header: copied, never cast.
    LogMsgHeader partHeader;
    std::memcpy(&partHeader, &header, sizeof(partHeader));
    partHeader.bodyLen = bodyLen;
    std::memcpy(data.buffer + offsetof(LogMsg, header), &partHeader, sizeof(partHeader));
    if (bodyLen > 0)
        std::memcpy(data.buffer + offsetof(LogMsg, body), body, static_cast<size_t>(bodyLen));
}

int32 AppLogger::postLine(int32 level, const char* line, int32 length)
{
    MessageQueue<FwIntMessage>* queue = loggerQueue();
    if (queue == nullptr)
        return fwFail(LOGGER_NULL_MSGQ, -1);
    FwIntMessage* msg = requestBuffer();
    if (msg == nullptr)
        return -1;
    LogMsgHeader header;
    std::memset(&header, 0, sizeof(header));
    header.msgType = LOG_MSG;
    header.fd = m_fd;
    header.openFlags = m_openFlags;
    header.padCharacter = ' ';
    header.loggerPtr = this;
    header.logLevel = level;
    header.writeToSysLog = isSyslogged(level);
    fillRequest(*msg, header, line, length, 0, false);
    return queue->putMessage(msg) == 0 ? 0 : -1;
}

// The payload and its newline in parts of LOG_MSG_BODY_MAX bytes; the first
// failing post ends the sequence.
int32 AppLogger::postFixedLength(LogMsgHeader& header, const char* data, uint32 length)
{
    MessageQueue<FwIntMessage>* queue = loggerQueue();
    if (queue == nullptr)
        return fwFail(LOGGER_NULL_MSGQ, -1);
    FwIntMessage* msg = requestBuffer();
    if (msg == nullptr)
        return -1;
    char body[LOG_MSG_BODY_MAX];
    const uint32 total = length + 1;
    uint32 sent = 0;
    for (int32 part = 0; sent < total; ++part)
    {
        const uint32 chunk = total - sent < static_cast<uint32>(LOG_MSG_BODY_MAX) ? total - sent : LOG_MSG_BODY_MAX;
        const uint32 fromData = sent < length ? (length - sent < chunk ? length - sent : chunk) : 0;
        if (fromData > 0)
            std::memcpy(body, data + sent, fromData);
        if (fromData < chunk)
            body[fromData] = '\n';
        header.loggerPtr = part == 0 ? this : nullptr;
        fillRequest(*msg, header, body, static_cast<int32>(chunk), part, sent + chunk < total);
        if (queue->putMessage(msg) != 0)
            return -1;
        sent += chunk;
    }
    return 0;
}

// ---- data and journal lines -------------------------------------------------

int32 AppLogger::logMessageFixedLength(int32 level, const char* data, uint32 length, DataDirection direction,
                                       const timespec* time, bool isMsgJournal, ExtChannelType channelType,
                                       const char* channelName, const char* peerAppId, uint32 peerIpAddr)
{
    if (!isOpen())
        return fwFail(BAD_DESCRIPTOR, -1);
    if (level < LOG_LEVEL_ALERT)
        return fwFail(LOGGER_INVALID_LOG_LEVEL, -1);
    if (level > getLogLevel() || level > LOG_LEVEL_DEBUG)
        return 0;
    if (data == nullptr && length > 0)
        return fwFail(NULL_PARAM, -1);
    const FixedFields fields{isMsgJournal, m_msgJournalExtraFieldEnabled, length, direction, channelType,
                             channelName, peerAppId, peerIpAddr};
    if (!validFixedFields(fields))
        return fwFail(INVALID_FUNC_ARG, -1);
    timespec when{};
    if (time != nullptr)
        when = *time;
    else
        m_clock.load(std::memory_order_acquire)(when);
    const ThreadLogState& state = stampSecond(when.tv_sec);
    const char* threadName = m_logThreadName && state.nameSet ? state.name : nullptr;

    if (useLoggerThread() && m_sink.load(std::memory_order_acquire) == nullptr)
    {
        if (length > MAX_LOGGER_PAYLOAD_LEN)
            return fwFail(MSG_TOO_LARGE, -1);
        LogMsgHeader header;
        std::memset(&header, 0, sizeof(header));
        header.msgType = LOG_MSG;
        header.padCharacter = ' ';
        header.tid = pthread_self();
        header.logTime = when;
        header.logLevel = level;
        header.logMsgLen = static_cast<int32>(length);
        header.dataDir = direction;
        header.channelType = channelType;
        copyCut(header.channelNameTxt, sizeof(header.channelNameTxt), channelName);
        if (m_msgJournalExtraFieldEnabled)
        {
            copyCut(header.peerAppIdTxt, sizeof(header.peerAppIdTxt), peerAppId);
            header.peerIpAddr = peerIpAddr;
        }
        header.isMsgJournal = isMsgJournal;
        header.formatLogHeader = true;
        Guard guard(*this);
        if (!guard.ok())
            return -1;
        if (!isOpen())
            return fwFail(BAD_DESCRIPTOR, -1);
        if (switchDayIfDue(state.date) != 0)
            return -1;
        header.fd = m_fd;
        header.openFlags = m_openFlags;
        return postFixedLength(header, data, length);
    }

    if (isMsgJournal && length > MAX_DIRECT_JOURNAL_LEN)
        return fwFail(MSG_TOO_LARGE, -1);
    char headerTxt[JOURNAL_EXTRA_HEADER_LEN];
    const int32 headerLen = writeFixedHeader(headerTxt, state.dateTime, when, level, threadName, pthread_self(), fields);
    const int32 lineDate = state.date;
    Guard guard(*this);
    if (!guard.ok())
        return -1;
    if (!isOpen())
        return fwFail(BAD_DESCRIPTOR, -1);
    // The masking copy is the logger's own: it is used under the lock.
    const char* payload = data;
    if (isMsgJournal && maskMessageConst(channelName, channelType, data, length) == 1)
        payload = m_maskMsgBuf;
    const iovec parts[3] = {{headerTxt, static_cast<size_t>(headerLen)},
                            {const_cast<char*>(payload), length},
                            {const_cast<char*>("\n"), 1}};
    if (AppLogSink* sink = m_sink.load(std::memory_order_acquire))
        return sink->writeParts(level, parts, 3);
    if (switchDayIfDue(lineDate) != 0)
        return -1;
    return writeDirect(parts, 3);
}

int32 AppLogger::formatLogHeader(const LogMsgHeader& request, const char* senderName, char* buffer, int32 size)
{
    if (buffer == nullptr)
        return fwFail(NULL_PARAM, -1);
    if (!validLevel(request.logLevel))
        return fwFail(LOGGER_INVALID_LOG_LEVEL, -1);
    const FixedFields fields{request.isMsgJournal,
                             m_msgJournalExtraFieldEnabled,
                             static_cast<uint32>(request.logMsgLen),
                             request.dataDir,
                             request.channelType,
                             request.channelNameTxt,
                             request.peerAppIdTxt,
                             request.peerIpAddr};
    if (request.logMsgLen < 0 || !validFixedFields(fields))
        return fwFail(INVALID_FUNC_ARG, -1);
    if (size < fixedHeaderLength(fields))
        return fwFail(BUF_NOT_ENOUGH_SPACE, -1);
    // The request's texts may lack their NUL: the fields read at most their width.
    char name[THREAD_LEN + 1] = {};
    if (m_logThreadName)
        copyCut(name, sizeof(name), senderName);
    const ThreadLogState& state = stampSecond(request.logTime.tv_sec);
    return writeFixedHeader(buffer, state.dateTime, request.logTime, request.logLevel, name, request.tid, fields);
}

// ---- masking ----------------------------------------------------------------

int32 AppLogger::maskMessage(const char* channelName, ExtChannelType channelType, char* buffer, uint32 length)
{
    if (channelType != TCP_CHANNEL && channelType != UDP_CHANNEL && channelType != MSG_TOPIC_CHANNEL)
        return 0;
    if (buffer == nullptr || channelName == nullptr)
        return 0;
    const LoggerRegistryLink::MsgMaskFunc mask = LoggerRegistryLink::findMaskFunc(channelName, channelType);
    if (mask != nullptr && mask(buffer, length) != 0)
        std::memset(buffer, '*', length);
    return 0;
}

// 1 when the payload to write is the masked copy in m_maskMsgBuf; 0 when it
// is the data as given.
int32 AppLogger::maskMessageConst(const char* channelName, ExtChannelType channelType, const char* data,
                                  uint32 length)
{
    if (channelType != TCP_CHANNEL && channelType != UDP_CHANNEL && channelType != MSG_TOPIC_CHANNEL)
        return 0;
    if (channelName == nullptr || length > sizeof(m_maskMsgBuf))
        return 0;
    const LoggerRegistryLink::MsgMaskFunc mask = LoggerRegistryLink::findMaskFunc(channelName, channelType);
    if (mask == nullptr)
        return 0;
    std::memcpy(m_maskMsgBuf, data, length);
    if (mask(m_maskMsgBuf, length) != 0)
        std::memset(m_maskMsgBuf, '*', length);
    return 1;
}

// ---- levels and syslog ------------------------------------------------------

int32 AppLogger::setLogLevel(int32 level)
{
    if (!validLevel(level))
        return fwFail(LOGGER_INVALID_LOG_LEVEL, -1);
    m_logLevel.store(level, std::memory_order_relaxed);
    return 0;
}

int32 AppLogger::setSyslogLevel(int32 level)
{
    if (!validLevel(level))
        return fwFail(LOGGER_INVALID_LOG_LEVEL, -1);
    m_syslogLevel.store(level, std::memory_order_relaxed);
    return 0;
}

void AppLogger::setSyslogIdent(const char* ident)
{
    std::lock_guard<std::mutex> guard(g_syslogMutex);
    std::memset(m_syslogIdentTxt, 0, sizeof(m_syslogIdentTxt));
    copyCut(m_syslogIdentTxt, SYSLOG_IDENT_LEN + 1, ident);
}

int32 AppLogger::getSyslogIdent(char* buffer)
{
    if (buffer == nullptr)
        return fwFail(NULL_PARAM, -1);
    std::lock_guard<std::mutex> guard(g_syslogMutex);
    std::memcpy(buffer, m_syslogIdentTxt, sizeof(m_syslogIdentTxt));
    return 0;
}

int32 AppLogger::syslogLevel(int32 level)
{
    if (!validLevel(level))
        return fwFail(LOGGER_INVALID_LOG_LEVEL, -1);
    return level + 1;
}

int32 AppLogger::syslogMessage(int32 level, const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    const int32 result = syslogMessageV(level, format, arguments);
    va_end(arguments);
    return result;
}

int32 AppLogger::syslogMessageV(int32 level, const char* format, va_list arguments)
{
    const int32 priority = syslogLevel(level);
    if (priority < 0)
        return -1;
    if (!isSyslogged(level))
        return 0;
    char text[MAX_LOG_LINE];
    formatText(text, sizeof(text), format, arguments);
    sendToSyslog(m_syslogIdentTxt, getSyslogOption(), getSyslogFacility(), priority, text);
    return 0;
}

int32 AppLogger::syslogText(int32 level, const char* text, uint32 length)
{
    const int32 priority = syslogLevel(level);
    if (priority < 0)
        return -1;
    if (text == nullptr)
        return fwFail(NULL_PARAM, -1);
    char copy[MAX_LOG_LINE];
    int32 n = length < sizeof(copy) ? static_cast<int32>(length) : characterBoundary(text, sizeof(copy) - 1);
    std::memcpy(copy, text, static_cast<size_t>(n));
    copy[n] = '\0';
    sendToSyslog(m_syslogIdentTxt, getSyslogOption(), getSyslogFacility(), priority, copy);
    return 0;
}

int32 AppLogger::syslog(int32 level, const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    const int32 result = syslogV(level, format, arguments);
    va_end(arguments);
    return result;
}

int32 AppLogger::syslogV(int32 level, const char* format, va_list arguments)
{
    const int32 priority = syslogLevel(level);
    if (priority < 0)
        return -1;
    char text[MAX_LOG_LINE];
    formatText(text, sizeof(text), format, arguments);
    const GlobalData& global = GlobalData::getInst();
    sendToSyslog(nullptr, global.m_syslogOption, global.m_syslogFacility, priority, text);
    return 0;
}

void AppLogger::setSyslogApi(const SyslogApi* api)
{
    g_syslogApi.store(api != nullptr ? api : &SYSTEM_SYSLOG, std::memory_order_release);
}

// ---- per-thread and process-wide settings ---------------------------------

void AppLogger::setThreadName(const char* name)
{
    ThreadLogState& state = t_logState;
    copyCut(state.name, sizeof(state.name), name);
    state.nameSet = state.name[0] != '\0';
}

void AppLogger::setMsgPtr(FwIntMessage* message)
{
    t_logState.msgPtr = message;
}

void AppLogger::setMsgJournalLocation(const char* location)
{
    std::string trimmed = TrimString::trim(location != nullptr ? location : "");
    while (!trimmed.empty() && trimmed.back() == '/')
        trimmed.pop_back();
    std::lock_guard<std::mutex> guard(g_journalLocationMutex);
    g_msgJournalLocation = std::move(trimmed);
}

std::string AppLogger::getMsgJournalLocation()
{
    std::lock_guard<std::mutex> guard(g_journalLocationMutex);
    return g_msgJournalLocation;
}
