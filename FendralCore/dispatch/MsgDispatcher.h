// The body of every application thread: waits on the thread's two queues, its
// pipeline stages, its application timers and a liveness timer, and hands
// every event and data message to the callback registered with the thread.
// It answers the control thread's INIT, SW_ACTIVE and SW_STANDBY, joins
// multi-part data, reports callback failures with ITC_STATUS and ends the
// thread on TERM or, when allowed, when the application asks for it (9998).
//
// Three loops, by the thread's effective mode and the process mode: the event
// loop (CPU thread, CPU process) blocks on the multiplexer; the timed loop
// (CPU thread, LOW_LATENCY process) waits at most MD_EPOLL_INT ms and polls the
// queues and stages every pass; the polling loop (LOW_LATENCY) never blocks.
//
// Owned and used by its thread only; the queues and pipelines are the shared
// structures. Nothing is allocated per message. The operations check that
// they run on the dispatcher's own thread (FUNC_NOT_ALLOWED otherwise); the
// middleware dispatcher alone is shared by the application's own threads,
// one operation at a time under its lock.
#pragma once

#include "FendralCore/dispatch/DataMsg.h"
#include "FendralCore/dispatch/IpcShmLayout.h"
#include "FendralCore/dispatch/TempBuffer.h"
#include "FendralCore/foundation/AppTimer.h"
#include "FendralCore/foundation/CacheArray.h"
#include "FendralCore/foundation/FileDescMultiplexer.h"
#include "FendralCore/foundation/GlobalData.h"
#include "FendralCore/foundation/Timer.h"
#include "FendralCore/dispatch/EventMessage.h"
#include "FendralCore/runtime/FrameworkResource.h"
#include "FendralCore/runtime/ResourceAssistant.h"
#include "FendralCore/runtime/ResourceHandle.h"
#include "FendralCore/runtime/TopicPublisher.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

class AppLogger;
class ConfigManager;
class ResourceManager;
struct StatisticCounter;
class TcpDataSocket;

enum TerminationCode : int32
{
    NO_TERMINATION = 0,
    APP_TRIGGERED_TERMINATION = 1,
    AGT_TRIGGERED_TERMINATION = 2,
};

class MsgDispatcher : public EventMessage
{
public:
    static constexpr const char* STS_RPT_INTERVAL_LABEL = "STS_RPT_INTERVAL";
    static constexpr int32 DEFAULT_STS_RPT_INTERVAL = 500;
    static constexpr const char* MD_MSG_PROC_NUM_LABEL = "MD_MSG_PROC_NUM";
    static constexpr int32 DEFAULT_MD_MSG_PROC_NUM = 20;
    static constexpr const char* MSG_DISP_FD_NUM_LABEL = "MSG_DISP_FD_NUM";
    static constexpr int32 DEFAULT_MSG_DISP_FD_NUM = 100;
    static constexpr int32 NUM_PRINCIPLE_DESC = 8;
    static constexpr const char* MD_EPOLL_INT_LABEL = "MD_EPOLL_INT";
    static constexpr int32 DEFAULT_MD_EPOLL_INT = 1;
    static constexpr const char* TCP_SND_RCNT_LABEL = "TCP_SND_RCNT";
    static constexpr uint16 SEND_RETRY_COUNT = 3;
    static constexpr const char* TCP_SND_SLP_INT_LABEL = "TCP_SND_SLP_INT";
    static constexpr uint64 RETRY_SLEEP_INTERVAL = 10000000;
    // Ready descriptors taken per wait; those still ready come back next wait.
    static constexpr int32 NUM_OF_FW_DESC = 3;
    static constexpr int32 APP_TIMER_MAX = DEFAULT_MSG_DISP_FD_NUM + 5;
    static constexpr int32 TEMP_BUF_MAX = 100;

    // threadResPtr: the own thread (name, queues, callback, pipeline stages);
    // resManager: the registry that resolves the framework threads; configMgr:
    // the framework configuration (null: the global data's).
    explicit MsgDispatcher(ThreadResource* threadResPtr);
    MsgDispatcher(ThreadResource* threadResPtr, ResourceManager& resManager, const ConfigManager* configMgr);
    ~MsgDispatcher() override;

    // The thread body: the last status; execExitHdr is 1 unless TERM ended
    // the thread (then 0). Exceptions never leave it.
    int32 run(int32& execExitHdr);

    // The calling thread's dispatcher; null outside application threads.
    static MsgDispatcher* getMsgDispatcher() { return m_msgDispatcherPtr; }

    // Thread data, cut into 2200-byte parts (at most 32768 bytes in all) on
    // the recipient's high-priority or normal queue. A failed put stops the
    // send; parts already put stay queued. 0 for an empty payload.
    static constexpr int32 THREAD_MSG_MAX = 32768;
    int32 sendThreadMessage(ThreadResource* thdResPtr, ExtChannelType chnType, const char* channelName,
                            const char* msg, int32 len, bool highPriority, void* fdPtr, DataDirection dataDir,
                            uint64 applSeqNum, ThreadResource* fwdThdResPtr, bool fwdMsgAtStdby);
    // To an application thread only: a framework thread is refused with
    // FUNC_NOT_ALLOWED. The channel name is the own thread name.
    int32 sendThreadMessage(const char* thdName, const char* msg, int32 len, bool highPriority = false,
                            void* fdPtr = nullptr, DataDirection dataDir = OUTGOING_DATA);
    int32 sendThreadMessage(const ResourceHandle& thdHandle, const char* msg, int32 len, bool highPriority = false,
                            void* fdPtr = nullptr, DataDirection dataDir = OUTGOING_DATA);

    // Application timers of this thread. A timer removed while the loop serves
    // a pass is freed only at the end of the pass: the pass's list of ready
    // descriptors may still point at it. Its place is free at once.
    // At most MSG_DISP_FD_NUM + 5 per thread (before INIT succeeded, less one
    // per pipeline stage, whose place waits for it). A timer starts at
    // creation; its name has 1 to 16 characters. The handle (0 for none) is
    // checked against the live timers before use. An unknown name fails with
    // INVALID_TIMER_HANDLE on removal, RES_NOT_EXIST on start and stop.
    int32 createTimer(const char* name, int32 milliseconds, bool repetitive);
    int32 createTimer(const char* name, int32 milliseconds, bool repetitive, int64& timerHandle);
    int32 createUTimer(const char* name, int64 microseconds, bool repetitive, int64& timerHandle);
    int32 startTimer(int64 timerHandle);
    int32 startTimer(const char* name);
    int32 stopTimer(int64 timerHandle);
    int32 stopTimer(const char* name);
    int32 removeTimer(int64 timerHandle);
    int32 removeTimer(const char* name);
    int64 getTimerHandle(const char* name) const;
    int32 getNumTimers() const { return m_numTimers; }
    // The most this thread may hold at once (MSG_DISP_FD_NUM + 5).
    int32 getMaxTimers() const { return m_maxTimers; }

    // --- channel sends ---
    // Each in three forms: the registry record (with the key of the name the
    // caller resolved), a handle, or a name. A forwarding thread is handed the
    // message by MSG_REPLICATOR once replicated; only channels with output
    // replication take one.

    // Bytes written (fewer than len when the peer stopped reading and the
    // retries ran out), 0 with WOULD_BLOCK when nothing went out, or -1 with
    // the code (CONN_CLOSED for a connection that is gone).
    int32 sendTcpMessage(TcpConnResource* connRes, const UInt128& connKey, const char* msg, int32 len,
                         ThreadResource* fwdThdResPtr, bool fwdMsgAtStdby);
    int32 sendTcpMessage(const ResourceHandle& connHandle, const char* msg, int32 len,
                         const ResourceHandle* fwdThdHandle = nullptr, bool fwdMsgAtStdby = false);
    int32 sendTcpMessage(const char* connName, const char* msg, int32 len, const char* fwdThdName = nullptr,
                         bool fwdMsgAtStdby = false);
    // 0, or -1 with the code.
    int32 sendUdpMessage(UdpConnResource* connRes, const char* msg, int32 len, ThreadResource* fwdThdResPtr,
                         bool fwdMsgAtStdby);
    int32 sendUdpMessage(const ResourceHandle& connHandle, const char* msg, int32 len,
                         const ResourceHandle* fwdThdHandle = nullptr, bool fwdMsgAtStdby = false);
    int32 sendUdpMessage(const char* connName, const char* msg, int32 len, const char* fwdThdName = nullptr,
                         bool fwdMsgAtStdby = false);
    // 0 with topicSeq = the topic's number for the message (0 when it went
    // to MSG_REPLICATOR), or -1 with the code.
    int32 sendTopicMessage(MsgTopicResource* topicRes, const char* msg, int32 len, uint64& topicSeq, uint64 applSeqNum,
                           ThreadResource* fwdThdResPtr, bool fwdMsgAtStdby);
    int32 sendTopicMessage(const ResourceHandle& topicHandle, const char* msg, int32 len, uint64& topicSeq,
                           uint64 applSeqNum = 0, const ResourceHandle* fwdThdHandle = nullptr,
                           bool fwdMsgAtStdby = false);
    int32 sendTopicMessage(const char* topicName, const char* msg, int32 len, uint64& topicSeq, uint64 applSeqNum = 0,
                           const char* fwdThdName = nullptr, bool fwdMsgAtStdby = false);
    // Cut into 2200-byte parts on the channel's shared-memory queue; all or
    // nothing as far as free entries go. 0, or -1 with the code.
    int32 sendIpcMessage(IpcResource* ipcRes, const char* msg, int32 len);
    int32 sendIpcMessage(const ResourceHandle& ipcHandle, const char* msg, int32 len);
    int32 sendIpcMessage(const char* ipcName, const char* msg, int32 len);
    // One recovery command on the local recovery topic (site = own site) or
    // the cross-site one; 0 without sending while that topic is not active.
    int32 sendMrmTopicMessage(MrmCmdType mrmCmd, uint32 mrmSessionId, const char* msg, int32 len, int32 site,
                              const char* appId, int32 appInstId);

    // --- requests to the framework threads ---
    // Connection and multicast requests to NET_RECEIVER, IPC open and close to
    // IPC_RECEIVER, topic requests to MSG_SERVICE; each refused unless the
    // channel exists and its mode admits the request. 0, or -1 with the code.
    int32 sendNetEvent(const char* connName, FwEventID evtId, const AppEventParam* appParam = nullptr);
    int32 sendIpcEvent(const char* ipcName, FwEventID evtId, const AppEventParam* appParam = nullptr);
    int32 sendMsgServiceEvent(const char* topicName, FwEventID evtId, const AppEventParam* appParam = nullptr);
    int32 notifyEndRecovery();
    // Middleware mode only: asks the control thread to end the framework.
    int32 sendCtrlThreadTermEvent();

    // --- resources and status ---
    // A handle only to a resource this thread can send on now.
    int32 getResHandleByName(const char* name, ResourceType resType, ResourceHandle& resHandle);
    // Points a client connection registered without a remote address at one,
    // then asks NET_RECEIVER to use it (CONN_UPDATED).
    int32 updateTcpChannel(const char* connName, const char* remoteAddrTxt, uint16 remotePort);
    int32 setMcastTtl(const char* connName, uint16 ttl);
    void setStatusTimerInterval(int32 interval);
    void updateStatusTimestamp();
    void setAppObjectPtr(void* appObjectPtr) { m_appObjectPtr = appObjectPtr; }
    void* getAppObjectPtr() const { return m_appObjectPtr; }
    // One sample into the process statistics ring: 0, or -1 with
    // STAT_SERVICE_NOT_AVAIL (no ring) or STAT_BUF_FULL.
    int32 writeStatistic(const StatisticCounter& statCounter);

    // The msgJournalEnabled flag of the registered UDP, TCP, topic or IPC
    // channel of that name; false for other types and unknown names.
    bool msgJournalEnabled(const ResourceName& channelName, ExtChannelType chnType);
    int32 logMessageJournal(const char* payload, int32 len, DataDirection dir, ExtChannelType chnType,
                            const char* channelName, const char* peerAppId, in_addr_t peerIpAddr, const timespec& tm);

    // Counters of what the loop refused, for tests and statistics.
    uint64 getDiscardedPartMsgs() const { return m_discardedPartMsgs; }
    OptimizationMode getOptMode() const { return m_optMode; }

    // The dispatcher of the middleware dispatcher thread, once it has seen
    // APP_READY; null otherwise.
    static MsgDispatcher* getMiddlewareDispatcher() { return m_middlewareMDPtr.load(std::memory_order_acquire); }
    // Held by callers from threads of the application's own from finding the
    // middleware dispatcher to the end of their call, and by that dispatcher
    // while it withdraws itself at its end: no call runs on a destroyed one.
    static std::mutex& middlewareLock();
    // The thread's name as registered (16 bytes, NUL-padded).
    const ResourceName& getThreadName() const;

protected:
    int32 initialize();
    int32 processMessages(MessageQueueType queueType, TerminationCode& termCode, int32& numMsgProcessed);
    int32 processPipelines(TerminationCode& termCode, int32& numMsgProcessed);
    int32 processPipelineMsg(const PipelineRecord& plRec, TerminationCode& termCode, int32& numMsgProcessed);
    int32 sendTimerEvent(AppTimer* timerPtr, int64 expiryCnt, TerminationCode& termCode);
    int32 sendItcStatus(int32 retCode);

private:
    static thread_local MsgDispatcher* m_msgDispatcherPtr;
    static std::atomic<MsgDispatcher*> m_middlewareMDPtr;

    DataMsg m_data{};
    std::unique_ptr<TempBuffer> m_tempBufs[TEMP_BUF_MAX];
    FwIntMessage m_message{};
    FwIntMessage m_loggerMsg{};
    FwIntMessage m_tmpMsg{}; // scratch record of the sends
    FwIntMessage* m_curPlMsgPtr = nullptr;
    EventMsg m_tmpEventMsg{};
    EventParam m_eventParam{};
    ThreadResource* m_threadResPtr;
    UInt128 m_threadNameId;
    UInt128 m_msgRepliId;
    AppLogger* m_msgJournalLoggerPtr = nullptr;
    ResourceAssistant m_resAssistant;
    ResourceHandle m_resHandle;
    MsgTopicResource* m_mrmLocalTopicResPtr = nullptr;
    MsgTopicResource* m_mrmCrossSiteTopicResPtr = nullptr;
    bool m_mrmApplication = false;
    bool m_runAsFwMiddleware = false;
    ThreadResource* m_ctlThdResPtr = nullptr;
    ThreadResource* m_netRcvrResPtr = nullptr;
    ThreadResource* m_msgServiceResPtr = nullptr;
    ThreadResource* m_msgRepliThdResPtr = nullptr;
    ThreadResource* m_ipcRcvrResPtr = nullptr;
    std::unique_ptr<FileDescMultiplexer> m_fdWaitPtr;
    std::unique_ptr<FileDescriptor*[]> m_fdAryPtr;
    std::unique_ptr<Timer> m_timerPtr;
    int32 m_timeout = DEFAULT_STS_RPT_INTERVAL;
    int64 m_idleThreshold = 0;
    uint32 m_msgSeqNum = 0;
    bool m_initReceived = false;
    timespec m_lastUpdStatusTime{};
    std::unique_ptr<AppTimer*[]> m_timers;
    int32 m_maxTimers = 0;
    int32 m_numTimers = 0;
    // Passes under way; while above 0 removed timers wait in m_removedTimers.
    int32 m_timerWalkDepth = 0;
    std::vector<AppTimer*> m_removedTimers;
    OptimizationMode m_optMode = CPU_UTILIZATION;
    OptimizationMode m_processMode = CPU_UTILIZATION;
    int32 m_maxNumDesc = DEFAULT_MSG_DISP_FD_NUM + NUM_PRINCIPLE_DESC;
    int32 m_contMsgProcNum = DEFAULT_MD_MSG_PROC_NUM;
    int32 m_numFdEvt = 0;
    int32 m_epollInterval = DEFAULT_MD_EPOLL_INT;
    uint16 m_tcpSendRetryCount = SEND_RETRY_COUNT;
    uint64 m_tcpSendSleepInterval = RETRY_SLEEP_INTERVAL;
    int32 m_lastItcRetCode = 0;
    int32 m_idleSpinCycle = 50;
    bool m_lowLatencyCpuSaver = false;
    bool m_allowAppTriggeredTerm = false;
    bool m_repliServiceEnabled = false;
    bool m_stagesRegistered = false;
    int32 m_stagesToWatch = 0; // stage descriptors that join the wait at INIT
    uint64 m_discardedPartMsgs = 0;
    TerminationCode m_termCode = NO_TERMINATION;
    bool m_pollAllStages = false; // some assigned stage has no wake-up descriptor

    void readConfig(const ConfigManager* configMgr);
    int32 sendToAppThread(ThreadResource* thdResPtr, const char* msg, int32 len, bool highPriority, void* fdPtr,
                          DataDirection dataDir);
    int32 lookUpMrmTopics();
    int32 callback(MessageType type, EventMsg* evt, DataMsg* data);
    void updateLiveness();
    void applyResult(int32 result, TerminationCode& termCode, const char* termLog);
    int32 findTimer(const FileDescriptor* fdPtr) const;
    int32 findTimerByName(const char* name) const;
    int32 findTimerByHandle(int64 timerHandle) const;
    int32 reserveTimerSlot(const char* name) const;
    int32 addTimer(int32 slot, AppTimer* timer, int64& timerHandle);
    int32 removeTimerAt(int32 slot);
    void logEvent(int32 level, const FwIntMessage& msg);

    int32 runEventLoop(bool timed);
    int32 runPollingLoop();
    int32 serveAppTimersReady(TerminationCode& termCode);
    int32 serveAppTimersAll(TerminationCode& termCode, int32& delivered);
    void purgeRemovedTimers();
    // Waits on the stage descriptors once INIT succeeded: an entry that may
    // not be served yet must not keep the wait from blocking.
    int32 watchStages();

    int32 dispatchEvent(MessageQueueType queueType, TerminationCode& termCode, int32& numMsgProcessed);
    int32 answerControlEvent(EventMsg& evt, TerminationCode& termCode, int32& numMsgProcessed);
    int32 dispatchData(MessageQueueType queueType, TerminationCode& termCode, int32& numMsgProcessed);
    const char* senderKey(const Data_t& data) const;
    TempBuffer* findTempBuffer(const char* sender, const char* channel, MessageQueueType queueType);
    TempBuffer* getTempBuffer(const char* sender, const char* channel, MessageQueueType queueType, bool create);
    bool appendPart(TempBuffer& buf, const Data_t& data, const char* sender);
    void fillData(const FwIntMessage& msg);
    // Points the event's handle at m_resHandle for the kinds that carry one.
    void prepareEventHandle(EventMsg& evt, void* resPtr, bool fromPipeline);
    void journal(const char* payload, int32 len, DataDirection dir, ExtChannelType chnType,
                 const ResourceName& channelName, int32 journalFlag, const char* peerAppId, in_addr_t peerIpAddr,
                 const timespec& tm);
    void countMsg(int32& numMsgProcessed);
    int32 reportResult(int32 result, TerminationCode& termCode);
    void setTerm(TerminationCode termCode);

    // --- operations ---
    static constexpr int32 RES_CACHE_SIZE = 10;
    static constexpr int32 TOPIC_SEND_TRIES = 4;
    static constexpr int64 TOPIC_RETRY_SLEEP_NS = 10000000;
    static constexpr int32 IPC_SEND_TRIES = 5;
    static constexpr int32 IPC_SEND_RETRY_US = 20;
    static constexpr int32 STAT_WRITE_TRIES = 5;
    static constexpr int32 STAT_WRITE_RETRY_US = 20;

    CacheArray<UInt128> m_tcpConnResCache{RES_CACHE_SIZE};
    CacheArray<UInt128> m_udpConnResCache{RES_CACHE_SIZE};
    CacheArray<UInt128> m_threadResCache{RES_CACHE_SIZE};
    CacheArray<UInt128> m_msgTopicResCache{RES_CACHE_SIZE};
    IpcShmMsg m_ipcSendMsg{};
    EventParam m_opEventParam{}; // parameters of the requests the operations send
    void* m_appObjectPtr = nullptr;
    // Serialises the operations of the middleware dispatcher, which the
    // application's own threads call on their threads.
    std::recursive_mutex m_middlewareOpLock;

    // The middleware dispatcher, which the application's own threads share.
    bool m_sharedWithAppThreads = false;

    // Whether the calling thread may use this dispatcher now; takes the lock
    // of the middleware dispatcher. False with FUNC_NOT_ALLOWED and a log line.
    bool admit(std::unique_lock<std::recursive_mutex>& lock, const char* opName);
    // Held by the loop around its own sends (acknowledgements, ITC_STATUS):
    // they build the event in the buffer and take the sequence numbers that
    // the operations of the application's threads use under the same lock.
    // No lock for a dispatcher that only its own thread uses.
    std::unique_lock<std::recursive_mutex> lockForLoopSend();
    int32 findThreadRes(const ResourceName& name, ThreadResource** res);
    int32 findTcpConnRes(const ResourceName& name, const UInt128& key, TcpConnResource** res);
    int32 findUdpConnRes(const ResourceName& name, const UInt128& key, UdpConnResource** res);
    int32 findMsgTopicRes(const ResourceName& name, const UInt128& key, MsgTopicResource** res);
    // The record of a handle of that kind that still denotes a live resource;
    // null with the code otherwise.
    FrameworkResource* handleResource(ResourceType resType, const ResourceHandle& handle);
    // One journal line for data sent, when the channel keeps a journal.
    void journalOutgoing(bool enabled, const char* msg, int32 len, ExtChannelType chnType, const char* channelName,
                         const char* peerAppId, in_addr_t peerIpAddr);
    bool forwardingThread(const char* fwdThdName, ThreadResource*& fwdThdResPtr);
    bool forwardingThread(const ResourceHandle* fwdThdHandle, ThreadResource*& fwdThdResPtr);
    // Bytes written on the socket within the retries, or -1 after a failure
    // (the network thread is then asked to shut the socket for writing).
    int32 tcpDirectSend(TcpConnResource& conn, TcpDataSocket& sock, const ResourceName& connName, const char* msg,
                        int32 len);
    int32 postRequest(ThreadResource* target, MessageQueueType queueType, FwEventID evtId, const ResourceName& name,
                      void* resPtr, const AppEventParam* appParam);
    int32 writeJournal(const char* payload, int32 len, DataDirection dir, ExtChannelType chnType,
                       const char* channelName, const char* peerAppId, in_addr_t peerIpAddr, const timespec* tm);
    void refreshLiveness(time_t now);
};
