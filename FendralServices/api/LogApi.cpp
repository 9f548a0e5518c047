// The log calls over AppLogger.
#include "FendralServices/api/ApiGuard.h"
#include "FendralServices/api/FwLogApi.h"
#include "FendralServices/api/LiveHandles.h"

#include "FendralCore/dispatch/MsgDispatcher.h"
#include "FendralCore/runtime/AppLogger.h"
#include "FendralCore/runtime/Logger.h"

#include <cstdarg>
#include <memory>
#include <string>

namespace
{

constexpr size_t TEXT_MAX_LEN = 255;

std::string cut(const char* txt)
{
    return std::string(txt, strnlen(txt, TEXT_MAX_LEN));
}

AppLogger* loggerOf(long logHandle)
{
    auto* logger = reinterpret_cast<AppLogger*>(logHandle);
    if (!LiveHandles::isLive(logger, LiveKind::LOG_OBJ))
        return fwFail(NULL_PARAM, static_cast<AppLogger*>(nullptr));
    return logger;
}

template <typename Op>
int withLogger(const char* who, long logHandle, Op op)
{
    return apiGuard(who, -1, [&]() -> int {
        AppLogger* logger = loggerOf(logHandle);
        return logger == nullptr ? -1 : op(*logger);
    });
}

template <typename Op>
int getField(const char* who, long logHandle, int* outPtr, Op op)
{
    return withLogger(who, logHandle, [&](AppLogger& logger) -> int {
        if (outPtr == nullptr)
            return fwFail(NULL_PARAM, -1);
        *outPtr = op(logger);
        return 0;
    });
}

} // namespace

long createLogFile(const char* fileLocationTxt, const char* filePrefixTxt, int logLevel, bool concurrentLog,
                   bool isWriteSync, bool useLoggerThread, bool logThreadName)
{
    return apiGuard("createLogFile", 0L, [&]() -> long {
        if (fileLocationTxt == nullptr || filePrefixTxt == nullptr)
            return fwFail(NULL_PARAM, 0L);
        return createLogFile2(cut(fileLocationTxt).c_str(), cut(filePrefixTxt).c_str(), logLevel, concurrentLog,
                              isWriteSync, useLoggerThread, logThreadName);
    });
}

long createLogFile2(const char* fileLocationTxt, const char* filePrefixTxt, int logLevel, bool concurrentLog,
                    bool isWriteSync, bool useLoggerThread, bool logThreadName)
{
    return apiGuard("createLogFile2", 0L, [&]() -> long {
        if (fileLocationTxt == nullptr || filePrefixTxt == nullptr)
            return fwFail(NULL_PARAM, 0L);
        auto logger = std::make_unique<AppLogger>(fileLocationTxt, filePrefixTxt, logLevel, concurrentLog,
                                                  isWriteSync, useLoggerThread, logThreadName, false);
        if (logger->openLog() != 0)
            return 0;
        LiveHandles::add(logger.get(), LiveKind::LOG_OBJ);
        return reinterpret_cast<long>(logger.release());
    });
}

int closeLogFile(long logHandle)
{
    return withLogger("closeLogFile", logHandle, [&](AppLogger& logger) -> int {
        LiveHandles::remove(&logger);
        // A logger that posts to the LOGGER thread dies there, after its lines.
        if (Logger::releaseLogger(&logger) != 0)
        {
            LiveHandles::add(&logger, LiveKind::LOG_OBJ);
            return -1;
        }
        return 0;
    });
}

int logMessage(long logHandle, int severity, const char* fmtMsgTxt, ...)
{
    va_list arguments;
    va_start(arguments, fmtMsgTxt);
    const int result = withLogger("logMessage", logHandle, [&](AppLogger& logger) -> int {
        if (fmtMsgTxt == nullptr)
            return fwFail(NULL_PARAM, -1);
        return logger.logAndMirrorV(severity, fmtMsgTxt, arguments);
    });
    va_end(arguments);
    return result;
}

int syslogMessage(long logHandle, int severity, const char* fmtMsgTxt, ...)
{
    va_list arguments;
    va_start(arguments, fmtMsgTxt);
    const int result = withLogger("syslogMessage", logHandle, [&](AppLogger& logger) -> int {
        if (fmtMsgTxt == nullptr)
            return fwFail(NULL_PARAM, -1);
        return logger.syslogMessageV(severity, fmtMsgTxt, arguments);
    });
    va_end(arguments);
    return result;
}

int syslogMessage(int severity, const char* fmtMsgTxt, ...)
{
    va_list arguments;
    va_start(arguments, fmtMsgTxt);
    const int result = apiGuard("syslogMessage", -1, [&]() -> int {
        if (fmtMsgTxt == nullptr)
            return fwFail(NULL_PARAM, -1);
        return AppLogger::syslogV(severity, fmtMsgTxt, arguments);
    });
    va_end(arguments);
    return result;
}

int logMessageFixedLength(long logHandle, int severity, const char* msgPtr, int msgLen)
{
    return withLogger("logMessageFixedLength", logHandle, [&](AppLogger& logger) -> int {
        if (msgLen < 0)
            return fwFail(INVALID_FUNC_ARG, -1);
        if (msgPtr == nullptr && msgLen > 0)
            return fwFail(NULL_PARAM, -1);
        return logger.logMessageFixedLength(severity, msgPtr != nullptr ? msgPtr : "", static_cast<uint32>(msgLen),
                                            INTER_THREAD_DATA, nullptr, false, ITC_CHANNEL, "", "", 0);
    });
}

int setLogLevel(long logHandle, int severity)
{
    return withLogger("setLogLevel", logHandle, [&](AppLogger& l) { return l.setLogLevel(severity); });
}

int getLogLevel(long logHandle, int* logLevelPtr)
{
    return getField("getLogLevel", logHandle, logLevelPtr, [](AppLogger& l) { return l.getLogLevel(); });
}

int setSyslogLevel(long logHandle, int syslogLevel)
{
    return withLogger("setSyslogLevel", logHandle, [&](AppLogger& l) { return l.setSyslogLevel(syslogLevel); });
}

int getSyslogLevel(long logHandle, int* syslogLevelPtr)
{
    return getField("getSyslogLevel", logHandle, syslogLevelPtr, [](AppLogger& l) { return l.getSyslogLevel(); });
}

int setSyslogIdent(long logHandle, const char* syslogIdentTxt)
{
    return withLogger("setSyslogIdent", logHandle, [&](AppLogger& l) {
        l.setSyslogIdent(syslogIdentTxt);
        return 0;
    });
}

int getSyslogIdent(long logHandle, char* syslogIdentTxt)
{
    return withLogger("getSyslogIdent", logHandle, [&](AppLogger& l) { return l.getSyslogIdent(syslogIdentTxt); });
}

int setSyslogOption(long logHandle, int syslogOption)
{
    return withLogger("setSyslogOption", logHandle, [&](AppLogger& l) {
        l.setSyslogOption(syslogOption);
        return 0;
    });
}

int getSyslogOption(long logHandle, int* syslogOptionPtr)
{
    return getField("getSyslogOption", logHandle, syslogOptionPtr, [](AppLogger& l) { return l.getSyslogOption(); });
}

int setSyslogFacility(long logHandle, int syslogFacility)
{
    return withLogger("setSyslogFacility", logHandle, [&](AppLogger& l) {
        l.setSyslogFacility(syslogFacility);
        return 0;
    });
}

int getSyslogFacility(long logHandle, int* syslogFacilityPtr)
{
    return getField("getSyslogFacility", logHandle, syslogFacilityPtr,
                    [](AppLogger& l) { return l.getSyslogFacility(); });
}

int flushLog(long logHandle)
{
    return withLogger("flushLog", logHandle, [](AppLogger& l) { return l.flushData(); });
}

int setMsgJournalLocation(const char* fileLocationTxt)
{
    return apiGuard("setMsgJournalLocation", -1, [&]() -> int {
        if (fileLocationTxt == nullptr)
            return fwFail(NULL_PARAM, -1);
        return setMsgJournalLocation2(cut(fileLocationTxt).c_str());
    });
}

int setMsgJournalLocation2(const char* fileLocationTxt)
{
    return apiGuard("setMsgJournalLocation2", -1, [&]() -> int {
        if (fileLocationTxt == nullptr || fileLocationTxt[0] == '\0')
            return fwFail(NULL_PARAM, -1);
        // The journal opens as the framework starts; its threads are too late.
        if (MsgDispatcher::getMsgDispatcher() != nullptr)
            return fwFail(FUNC_NOT_ALLOWED, -1);
        AppLogger::setMsgJournalLocation(fileLocationTxt);
        return 0;
    });
}
