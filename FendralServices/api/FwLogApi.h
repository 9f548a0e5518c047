// Logs of the application's own in the framework's log format: a handle is
// the logger's address, refused with NULL_PARAM when null or not (any more)
// a log of these calls. Levels: LOG_LEVEL_ALERT 0 .. LOG_LEVEL_DEBUG 6.
#pragma once

#include "FendralCore/foundation/LogLevels.h"

long createLogFile(const char* fileLocationTxt, const char* filePrefixTxt, int logLevel, bool concurrentLog,
                   bool isWriteSync, bool useLoggerThread, bool logThreadName);
long createLogFile2(const char* fileLocationTxt, const char* filePrefixTxt, int logLevel, bool concurrentLog,
                    bool isWriteSync, bool useLoggerThread, bool logThreadName);
int closeLogFile(long logHandle);
int logMessage(long logHandle, int severity, const char* fmtMsgTxt, ...) __attribute__((format(printf, 3, 4)));
int syslogMessage(long logHandle, int severity, const char* fmtMsgTxt, ...) __attribute__((format(printf, 3, 4)));
int syslogMessage(int severity, const char* fmtMsgTxt, ...) __attribute__((format(printf, 2, 3)));
int logMessageFixedLength(long logHandle, int severity, const char* msgPtr, int msgLen);
int setLogLevel(long logHandle, int severity);
int getLogLevel(long logHandle, int* logLevelPtr);
int setSyslogLevel(long logHandle, int syslogLevel);
int getSyslogLevel(long logHandle, int* syslogLevelPtr);
int setSyslogIdent(long logHandle, const char* syslogIdentTxt);
// syslogIdentTxt receives 101 bytes.
int getSyslogIdent(long logHandle, char* syslogIdentTxt);
int setSyslogOption(long logHandle, int syslogOption);
int getSyslogOption(long logHandle, int* syslogOptionPtr);
int setSyslogFacility(long logHandle, int syslogFacility);
int getSyslogFacility(long logHandle, int* syslogFacilityPtr);
int flushLog(long logHandle);
// Before the framework threads run; refused on a framework application thread.
int setMsgJournalLocation(const char* fileLocationTxt);
int setMsgJournalLocation2(const char* fileLocationTxt);
