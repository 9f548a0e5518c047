// A log request to the LOGGER thread as it travels in the data part of an
// FwIntMessage (type MSG_DATA): a fixed 144-byte header, then up to 2056 bytes
// of body. A body longer than one part travels in numbered parts ("more" set
// on all but the last); the LOGGER thread joins them per sending thread into
// a buffer of LOG_MSG_ASSEMBLED_MAX bytes (header copy plus every body).
// The message's data buffer is not 8-byte aligned: a LogMsgHeader is copied
// in and out of it, never read in place.
//
// Written by AppLogger on any thread, read by the LOGGER thread.
#pragma once

#include "FendralCore/foundation/FwTypes.h"
#include "FendralCore/runtime/FwIntMessage.h"

#include <cstddef>
#include <ctime>
#include <pthread.h>
#include <type_traits>

class AppLogger;

enum LogMsgType : int16
{
    CLOSE_LOG_REQ = 0,
    LOG_MSG = 1,
};

struct LogMsgHeader
{
    LogMsgType msgType;
    int32 fd;                    // descriptor to write or close
    int32 openFlags;             // its open flags (O_DIRECT: block mode)
    ResourceName fileResNameTxt; // zero from AppLogger
    int64 msgSeqNum;             // zero from AppLogger
    bool needAck;                // false from AppLogger
    int32 flushTimeout;          // zero from AppLogger
    char padCharacter;           // fill of the last block: a blank
    int32 bodyLen;               // bytes of body in this part
    AppLogger* loggerPtr;        // first part only
    pthread_t tid;               // writing thread (data and journal lines)
    timespec logTime;            // time of the line (data and journal lines)
    int32 logLevel;
    int32 logMsgLen;             // payload length (data and journal lines)
    DataDirection dataDir;
    ExtChannelType channelType;
    ResourceName channelNameTxt;
    ApplicationID peerAppIdTxt;  // extra fields only
    uint32 peerIpAddr;           // network order; extra fields only
    bool isMsgJournal;
    bool writeToSysLog;          // the LOGGER thread mirrors the line to syslog
    bool formatLogHeader;        // the LOGGER thread formats the header
};

constexpr int32 LOG_MSG_HEADER_SIZE = 144;
constexpr int32 LOG_MSG_BODY_MAX = 2056;
// The LOGGER thread's join buffer: header copy and the whole body.
constexpr int32 LOG_MSG_ASSEMBLED_MAX = 32768;

struct LogMsg
{
    LogMsgHeader header;
    char body[LOG_MSG_BODY_MAX];
};

static_assert(sizeof(LogMsgHeader) == LOG_MSG_HEADER_SIZE);
static_assert(offsetof(LogMsgHeader, fd) == 4);
static_assert(offsetof(LogMsgHeader, fileResNameTxt) == 12);
static_assert(offsetof(LogMsgHeader, msgSeqNum) == 32);
static_assert(offsetof(LogMsgHeader, padCharacter) == 48);
static_assert(offsetof(LogMsgHeader, bodyLen) == 52);
static_assert(offsetof(LogMsgHeader, loggerPtr) == 56);
static_assert(offsetof(LogMsgHeader, tid) == 64);
static_assert(offsetof(LogMsgHeader, logTime) == 72);
static_assert(offsetof(LogMsgHeader, logLevel) == 88);
static_assert(offsetof(LogMsgHeader, channelNameTxt) == 104);
static_assert(offsetof(LogMsgHeader, peerAppIdTxt) == 121);
static_assert(offsetof(LogMsgHeader, peerIpAddr) == 132);
static_assert(offsetof(LogMsgHeader, formatLogHeader) == 138);
static_assert(sizeof(LogMsg) == Data_t::MAX_DATA_LEN);
static_assert(std::is_trivially_copyable_v<LogMsg>);
