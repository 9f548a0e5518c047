// The two shared-memory blocks exchanged with the framework agent, a separate
// process: the application block (one per application), through which the
// agent sends commands and the application reports its status and
// statistics, and the agent block (one per agent), through which the agent
// reports its own liveness. The agent creates both; the application maps them.
//
// Every offset and size here is part of the format both processes share:
// little-endian, x86-64 natural alignment unless packed, and the padding is
// part of it. Text fields are NUL-terminated within their width, when the
// writer keeps to it; readers must not rely on that.
#pragma once

#include "FendralCore/foundation/FwTypes.h"
#include "FendralCore/foundation/SemaphoreLock.h"
#include "FendralCore/runtime/SingleRwRingBuffer.h"
#include "FendralCore/runtime/StatisticCounter.h"

#include <cstddef>

using ServerID = char[17];
using ApplCmdPara = char[101];

enum MessageCode : int32
{
    CMD_START = 1,
    CMD_STOP = 2,
    CMD_SOFT_RESTART = 3,
    CMD_FAILOVER = 4,
    CMD_LOG_LEVEL = 5,
    CMD_FA_RELOAD = 6,
    CMD_APP_RELOAD = 7,
    CMD_APP_DEFINED = 100,
    CMD_POSITIVE_ACK = 200,
    CMD_NEGATIVE_ACK = 201,
    STATUS_MSG = 300,
    STATISTICS_MSG = 301,
    ACTIVE_DRUSK_HEARTBEAT = 400,
    STANDBY_DRUSK_HEARTBEAT = 401,
    DRUSK_MSG_TIMESTAMP_ENQUIRY = 500,
    DRUSK_MSG_TIMESTAMP_RESPONSE = 501,
    MSG_CODE_MAX = 10000,
};

// Application status (statusRec.status) and agent status.
enum Status : int32
{
    NOT_STARTED = 0,
    ACTIVE = 1,
    STANDBY = 2,
    STOPPED = 3,
    RECOVERY = 4,
    RESTARTING = 5,
    TERMINATED = 6,
    FORCE_TERMINATED = 7,
    STARTING = 8,
};

enum ReplicationRcvStatus : int32
{
    REPLICATION_NOT_ENABLED = 0,
    REPLICATION_RECEIVE = 1,
    REPLICATION_NOT_RCVD = 2,
    REPLICATION_IN_RECOVERY = 3,
};

// Which end status the application writes: STOPPED, FORCE_TERMINATED, TERMINATED.
enum TerminationType : int32
{
    DRUSK_INITIATED_TERMINATION = 0,
    FA_INITIATED_TERMINATION = 1,
    UNEXPECTED_TERMINATION = 2,
};

#pragma pack(push, 1)
struct FrameworkCmd
{
    int32 cmdCode; // a MessageCode
    ApplicationID senderIdTxt;
    int32 senderInstId;
    ServerID targetSrvIdTxt;
    ApplicationID targetAppIdTxt;
    int32 targetAppInstId;
    int32 mode;           // CMD_SOFT_RESTART: the AppMode to restart in
    int32 additionalPara; // CMD_STOP: 1 = forced; CMD_LOG_LEVEL: the new level
    int32 seq;
    bool resend;
};

struct ApplicationCmd
{
    int32 actionId;
    ApplCmdPara actPara;
};

struct Command
{
    FrameworkCmd fwCmd;
    ApplicationCmd appCmd;
};
#pragma pack(pop)

static_assert(sizeof(FrameworkCmd) == 60);
static_assert(offsetof(FrameworkCmd, cmdCode) == 0);
static_assert(offsetof(FrameworkCmd, senderIdTxt) == 4);
static_assert(offsetof(FrameworkCmd, senderInstId) == 13);
static_assert(offsetof(FrameworkCmd, targetSrvIdTxt) == 17);
static_assert(offsetof(FrameworkCmd, targetAppIdTxt) == 34);
static_assert(offsetof(FrameworkCmd, targetAppInstId) == 43);
static_assert(offsetof(FrameworkCmd, mode) == 47);
static_assert(offsetof(FrameworkCmd, additionalPara) == 51);
static_assert(offsetof(FrameworkCmd, seq) == 55);
static_assert(offsetof(FrameworkCmd, resend) == 59);
static_assert(sizeof(Command) == 165);
static_assert(offsetof(Command, appCmd) + offsetof(ApplicationCmd, actionId) == 60);
static_assert(offsetof(Command, appCmd) + offsetof(ApplicationCmd, actPara) == 64);

struct AppStatusRecord
{
    int64 reportTime;     // time_t of the application's last report
    int32 status;         // a Status
    int32 msgRepliStatus; // a ReplicationRcvStatus
    int32 pid;
    int32 applStatusCode; // application-defined
};

struct StatRecord
{
    static constexpr int32 MAX_STAT_REC = 20;

    AppStatusRecord statusRec;
    int32 numOfStatRec; // valid entries, written by the agent too: check before use
    StatisticCounter statisticsRec[MAX_STAT_REC];
};

static_assert(sizeof(StatRecord) == 1232);
static_assert(offsetof(StatRecord, statusRec) + offsetof(AppStatusRecord, reportTime) == 0);
static_assert(offsetof(StatRecord, statusRec) + offsetof(AppStatusRecord, status) == 8);
static_assert(offsetof(StatRecord, statusRec) + offsetof(AppStatusRecord, msgRepliStatus) == 12);
static_assert(offsetof(StatRecord, statusRec) + offsetof(AppStatusRecord, pid) == 16);
static_assert(offsetof(StatRecord, statusRec) + offsetof(AppStatusRecord, applStatusCode) == 20);
static_assert(offsetof(StatRecord, numOfStatRec) == 24);
static_assert(offsetof(StatRecord, statisticsRec) == 28);

using CommandRing = SingleRwRingBuffer<Command, 10>;

static_assert(sizeof(CommandRing) == 1832);
static_assert(offsetof(CommandRing, elemBuf) == 0);
static_assert(offsetof(CommandRing, m_maxUsage) == 1816);
static_assert(offsetof(CommandRing, m_headIndex) == 1820);
static_assert(offsetof(CommandRing, m_tailIndex) == 1824);
static_assert(offsetof(CommandRing, m_bufSize) == 1828);

struct AppSharedMemBlock
{
    LockedBy lockedBy;
    CommandRing cmdBuf;
    StatRecord statBuf;
    int64 appStartTime;          // the agent's; not touched by the framework
    uint64 lastRepliTopicSeqNum; // the agent's; not touched by the framework
};

static_assert(sizeof(AppSharedMemBlock) == 3096);
static_assert(offsetof(AppSharedMemBlock, lockedBy) == 0);
static_assert(offsetof(AppSharedMemBlock, cmdBuf) == 16);
static_assert(offsetof(AppSharedMemBlock, statBuf) == 1848);
static_assert(offsetof(AppSharedMemBlock, statBuf) + offsetof(StatRecord, statusRec) +
                  offsetof(AppStatusRecord, pid) ==
              1864);
static_assert(offsetof(AppSharedMemBlock, statBuf) + offsetof(StatRecord, statisticsRec) == 1876);
static_assert(offsetof(AppSharedMemBlock, appStartTime) == 3080);
static_assert(offsetof(AppSharedMemBlock, lastRepliTopicSeqNum) == 3088);

struct AgentSharedMemBlock
{
    LockedBy lockedBy;
    int64 reportTime; // time_t of the agent's last report
    int32 status;     // a Status; STOPPED once the application killed it
    int32 pid;        // the agent's; -1 once the application killed it
};

static_assert(sizeof(AgentSharedMemBlock) == 32);
static_assert(offsetof(AgentSharedMemBlock, reportTime) == 16);
static_assert(offsetof(AgentSharedMemBlock, status) == 24);
static_assert(offsetof(AgentSharedMemBlock, pid) == 28);

static_assert(std::is_standard_layout_v<AppSharedMemBlock> && std::is_trivially_copyable_v<AppSharedMemBlock>);
static_assert(std::is_standard_layout_v<AgentSharedMemBlock> && std::is_trivially_copyable_v<AgentSharedMemBlock>);
