// The framework's exported interface: start-up and middleware mode,
// registration, messaging and events, timers. An application includes this
// header alone and links libFendralServices.
//
// Every call reports failure through its result (-1, 0, false or a null
// handle as stated) and leaves the reason in the calling thread's framework
// error code, read with getErrorCode(). No call lets an exception out.
#pragma once

#include "FendralCore/dispatch/DataMsg.h"
#include "FendralCore/foundation/FwErrorNum.h"
#include "FendralCore/foundation/FwTypes.h"
#include "FendralCore/foundation/GlobalData.h"
#include "FendralCore/runtime/FrameworkResource.h"
#include "FendralCore/runtime/FwIntMessage.h"
#include "FendralCore/runtime/ResourceHandle.h"
#include "FendralCore/runtime/ResourceParam.h"
#include "FendralCore/runtime/StatisticCounter.h"

// Only named by registerExceptionCallback, which is not offered.
class FwException;

using FwMessageCallback = int (*)(MessageType, EventMsg*, DataMsg*);
using FwRegistrationFunc = int (*)();

// ---- start-up ----

// Positions of the start-up argument vector.
enum FrameworkArgIndex : int32
{
    APP_NAME = 0,
    APP_ID = 1,
    INSTANCE_ID = 2,
    SITE_ID = 3,
    STARTUP_MODE = 4,
    CONFIG_FILE = 5,
    LOG_DIR = 6,
    PRIMARY_ADDRESS = 7,
    ALTERNATE_ADDRESS = 8,
    REPLI_TOPIC_MCAST = 9,
    REPLI_TOPIC_PORT = 10,
    REPLI_ACK_MCAST = 11,
    REPLI_ACK_PORT = 12,
    META_CMD_CODE = 13,
    NUM_OF_ARGUMENTS = 14,
};

// What startFrameworkThreads needs to start the framework beside the
// application's own main loop.
struct FrameworkArgument
{
    char appIdTxt[12];
    int32 appInstId;
    ApplicationSite siteId;
    AppMode mode;
    char configFileTxt[101];
    char logDirTxt[101];
    FwRegistrationFunc regFnPtr;
    FwMessageCallback callbackFnPtr;
};

// argv of 7 (name, id, instance, site, mode, configuration file, log
// directory), 13 (plus the two interface addresses and the replication
// multicast addresses and ports) or 14 and more (plus the meta command code).
// Returns at the end of the process: 0 after an orderly stop.
int frameworkInit(int argc, char** argv, int (*fnPtr)());
int frameworkInit(const char* appNameTxt, char* appIdTxt, int appInstId, ApplicationSite siteId, AppMode mode,
                  const char* configFileTxt, const char* logDirTxt, const char* primaryAddrPtr,
                  const char* altAddrPtr, const char* repliTopicMcastPtr, unsigned short repliTopicPort,
                  const char* repliAckMcastPtr, unsigned short repliAckPort, MetaCmdCode metaCmdCode,
                  int (*fnPtr)());

// Middleware mode: the framework on a thread of its own; calls from the
// application's own threads go through the thread "MIDDLEWARE_MD".
// startFrameworkThreads answers 0 once that thread is ready, -1 when the
// start failed or was not complete within 3 s (MIDDLEWARE_STARTUP_TIMEOUT);
// it returns -1 only once every thread of the start has ended.
int startFrameworkThreads(FrameworkArgument* arg);
int stopFrameworkThreads();
int getFrameworkThreadInfo(int* state, int* result, int* errorCode);

// ---- registration ----

enum StructParamType : int32
{
    THREAD_PARAM = 0,
    TCPCONN_PARAM = 1,
    UDPCONN_PARAM = 2,
    IPC_PARAM = 3,
    MSG_TOPIC_PARAM = 4,
    PIPELINE_PARAM = 5,
};

int getErrorCode();
void copyResourceName(char (&destResName)[17], const char* srcResName);
int initStructParam(StructParamType type, void* structParamPtr, int structSize);
int registerThread(const ThreadParam* paramPtr);
int registerTcpConnection(const TcpConnParam* paramPtr);
int registerListenTcpConnection(const TcpConnParam* paramPtr);
int registerUdpConnection(const UdpConnParam* paramPtr);
int registerListenMulticastConnection(const UdpConnParam* paramPtr);
int registerSendMulticastConnection(const UdpConnParam* paramPtr);
int registerIpc(const IpcParam* paramPtr);
int registerPipeline(const PipelineParam* paramPtr);
int registerMsgTopic(const MsgTopicParam* paramPtr);
int registerMessageCallback(const char* threadNameTxt, int (*callbackFuncPtr)(MessageType, EventMsg*, DataMsg*));
int registerMsgMaskCallback(const char* resName, ResourceType resType,
                            int (*msgMaskFuncPtr)(char*, unsigned int));
// Not offered: answers RES_NOT_SUPPORTED itself and sets no error code.
int registerExceptionCallback(const char* threadNameTxt, bool (*excepFuncPtr)(FwException*));

// ---- messaging and events ----

int sendTcpMessage(const char* connNameTxt, const char* msgPtr, int msgLen, char (*msgFwdThreadNamePtr)[17],
                   bool fwdMsgAtStdby);
int sendTcpMessage2(const ResourceHandle& resHandle, const char* msgPtr, int msgLen,
                    ResourceHandle* msgFwdThdHandlePtr, bool fwdMsgAtStdby);
int sendUdpMessage(const char* connNameTxt, const char* msgPtr, int msgLen, char (*msgFwdThreadNamePtr)[17],
                   bool fwdMsgAtStdby);
int sendUdpMessage2(const ResourceHandle& resHandle, const char* msgPtr, int msgLen,
                    ResourceHandle* msgFwdThdHandlePtr, bool fwdMsgAtStdby);
int sendTopicMessage(const char* topicNameTxt, const char* msgPtr, int msgLen, unsigned long* msgSeqNumPtr,
                     unsigned long applSeqNum, char (*msgFwdThreadNamePtr)[17], bool fwdMsgAtStdby);
int sendTopicMessage2(const ResourceHandle& resHandle, const char* msgPtr, int msgLen, unsigned long* msgSeqNumPtr,
                      unsigned long applSeqNum, ResourceHandle* msgFwdThdHandlePtr, bool fwdMsgAtStdby);
int sendIpcMessage(const char* ipcNameTxt, const char* msgPtr, int msgLen);
int sendIpcMessage2(const ResourceHandle& resHandle, const char* msgPtr, int msgLen);
int sendNetEvent(const char* connNameTxt, FwEventID eventId, AppEventParam* appEventParamPtr);
int sendMsgServiceEvent(const char* topicNameTxt, FwEventID eventId, AppEventParam* appEventParamPtr);
int sendIpcEvent(const char* ipcNameTxt, FwEventID eventId, AppEventParam* appEventParamPtr);
int setMcastTtl(const char* connNameTxt, unsigned short ttl);
int updateTcpChannel(const char* channelNameTxt, const char* remoteAddrTxt, unsigned short remotePort);
int getResHandleByName(const char* resNameTxt, ResourceType resType, ResourceHandle& resHandle);
int writeStatistic(StatisticCounter* statCounterPtr);
int setAppObjectPtr(void* appObjectPtr);
int getCurrentThreadName(char* threadNameTxt);
int sendThreadMessage(const char* threadNameTxt, const char* msgPtr, int msgLen, bool highPriority);
int sendThreadMessage2(const ResourceHandle& resHandle, const char* msgPtr, int msgLen, bool highPriority);
int setApplThreadHealthCheckInterval(unsigned int healthChkInterval);
int resetApplThreadHealthCheckTimer();

void* getAppObjectPtr();
int getApplicationInfo(char* appIdTxt, int& appInstId, ApplicationSite& siteId, AppMode& appMode);
long dataStoreGetHandle(const char* datNameTxt);
// Not offered: always FUNC_NOT_ALLOWED.
int appNotifyEndRecovery();

// ---- timers ----
// Each expiry reaches the owning thread's callback as a TIMER event.

int createTimer(const char* timerNameTxt, int millisecond, bool repetitive, long& timerHandle);
int createUTimer(const char* timerNameTxt, int microsecond, bool repetitive, long& timerHandle);
int startTimer(long timerHandle);
int startTimer(const char* timerNameTxt);
int stopTimer(long timerHandle);
int stopTimer(const char* timerNameTxt);
int removeTimer(long timerHandle);
int removeTimer(const char* timerNameTxt);
long getTimerHandle(const char* timerNameTxt);
#include "FendralServices/api/FwUtilities.h"
