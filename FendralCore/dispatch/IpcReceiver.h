// The IPC thread ("IPC_RECEIVER"). It owns the shared-memory queue of every
// registered IPC channel of the process. A reader channel is polled: its
// entries become framework data messages for the thread that owns the
// channel, through that thread's queue (parked in order behind a full queue
// and retried on the status timer). A writer channel is only opened, closed
// and watched here; the owning thread writes its data itself. Channels open
// and close on request, and the owning thread is told of every change.
//
// Entries come from another process: every length and part number is
// checked before it is used.
#pragma once

#include "FendralCore/dispatch/IpcShmLayout.h"
#include "FendralCore/dispatch/MessageStore.h"
#include "FendralCore/dispatch/MsgForwarder.h"
#include "FendralCore/dispatch/Pipeline.h"
#include "FendralCore/dispatch/PlMessageStore.h"
#include "FendralCore/foundation/FwTypes.h"
#include "FendralCore/foundation/GlobalData.h"
#include "FendralCore/foundation/Int128.h"
#include "FendralCore/foundation/PeerLogLimit.h"
#include "FendralCore/foundation/UnsortedMap.h"
#include "FendralCore/dispatch/EventMessage.h"

#include <ctime>
#include <memory>
#include <unordered_map>
#include <vector>

class ConfigManager;
class FileDescMultiplexer;
class FileDescriptor;
class ResourceManager;
class Timer;

class IpcReceiver : public EventMessage
{
public:
    static constexpr const char* THREAD_NAME = "IPC_RECEIVER";
    static constexpr const char* CTL_THREAD_NAME = "CTL_THREAD";
    static constexpr const char* SHARE_MEM_PREFIX = "/fwipc_";
    static constexpr const char* SH_MSG_PROC_NUM_LABEL = "SH_MSG_PROC_NUM";
    static constexpr const char* STS_RPT_INTERVAL_LABEL = "STS_RPT_INTERVAL";
    static constexpr const char* IPC_CHK_TIMER_INT_LABEL = "IPC_CHK_TIMER_INT";
    static constexpr const char* IPC_CHK_PROC_MTR_LABEL = "IPC_CHK_PROC_MTR";
    static constexpr int32 DEFAULT_CONT_MSG_PROC_NUM = 20;
    static constexpr int32 DEFAULT_STS_RPT_INTERVAL = 500; // milliseconds
    static constexpr int32 DEFAULT_IPC_CHECK_TIMER_INT = 1; // milliseconds
    static constexpr int32 DEFAULT_IPC_CHECK_PROCESS_TIME_MULTIPLIER = 100;
    static constexpr int32 DEFAULT_RETRY_CNT = 5;
    static constexpr int32 DEFAULT_RETRY_INTERVAL = 20; // microseconds
    // A queue with this many free entries or fewer counts as full.
    static constexpr uint32 THREAD_MSGQ_RESERVED_ENTRIES = MsgForwarder::THREAD_MSGQ_RESERVED_ENTRIES;
    static constexpr uint32 PL_HDR_SIZE = sizeof(PipelineMsgHeader);

    explicit IpcReceiver(ThreadResource* threadResPtr);
    // Given registry, global data and configuration (null: defaults).
    IpcReceiver(ThreadResource* threadResPtr, ResourceManager& resMgr, GlobalData& gblData,
                const ConfigManager* configMgr);
    ~IpcReceiver() override;

    // The thread body: 0 after TERM (execExitHdr 0), the error of initialize
    // or -1 after an exception (execExitHdr 1).
    int32 run(int32& execExitHdr);
    int32 initialize();
    int32 processMessage(FwMessageQueue* queue, bool& terminate, int32& msgCount);
    int32 initIpcMsgQ();
    int32 openAtStartupIpcMsgQ();
    int32 processIpcOpenRqs(const ResourceName& requester, const EventMsg& evt);
    int32 processIpcCloseRqs(const ResourceName& requester, const EventMsg& evt);
    int32 processAllIpcMsgQ(bool checkProcess, int32& count);
    int32 processReaderMsgQ(IpcResource* res, int32& count, int32 limit);
    int32 checkIpcReaderStatus(IpcResource* res);
    int32 checkIpcWriterStatus(IpcResource* res);
    int32 retryForwardMsg();

private:
    IpcResource* findChannel(const char* name) const;
    int32 notify(IpcResource* res, FwEventID evtId, const EventParam& p);
    void failRequest(const ResourceName& requester, FwEventID evtId, const char* name, int32 code);
    int32 handleControl(IpcResource* res, const IpcShmMsg& entry);
    int32 forwardData(IpcResource* res, const IpcShmMsg& entry, bool& parked);
    ForwardTarget targetOf(IpcResource* res) const;
    int32 forwardToPipeline(IpcResource* res, const IpcShmMsg& entry, bool& parked);
    void resetJoin(IpcResource* res);
    bool flushParked(IpcResource* res);
    void detach(IpcResource* res, FwEventID evtId, int32 code);
    void closeCorrupt(IpcResource* res, int32 code);
    void writeControl(IpcResource* res, IpcIntMsgType type);
    MessageQueueType queueTypeOf(IpcResource* res, FwMessageQueue* q) const;
    void touchLiveness();
    // Whether a line the channel's writer caused (a malformed entry) is
    // written; the count held back in the minute before goes first.
    bool peerLine(IpcResource* res);
    // The writer went away: what is still held back of its lines.
    void peerGone(IpcResource* res);
    int32 loopCpu(bool& terminate);
    int32 loopLowLatency(bool& terminate);

    uint32 m_msgSeqNum = 0;
    int32 m_timeout = DEFAULT_STS_RPT_INTERVAL;
    int32 m_maxNumDesc = 10;
    int32 m_contMsgProcNum = DEFAULT_CONT_MSG_PROC_NUM;
    FwIntMessage m_msg{};
    FwIntMessage m_dataMsg{};
    bool m_initEventRcvd = false;
    bool m_errorTermination = false;
    timespec m_tm{};
    ThreadResource* m_threadResPtr;
    ThreadResource* m_ctlThdResPtr = nullptr;
    uint32 m_maxMsgSize = 0;
    // A join buffer: the entry header and m_maxMsgSize bytes.
    uint32 m_storedPlBufSize = 0;
    // The join buffers of pipeline reader channels (header + m_maxMsgSize).
    std::vector<std::unique_ptr<char[]>> m_joinBuffers;
    std::unique_ptr<FileDescMultiplexer> m_fdWaitPtr;
    std::unique_ptr<Timer> m_timerPtr;
    std::unique_ptr<FileDescriptor*[]> m_readyAryPtr;
    const ConfigManager* m_configMgrPtr;
    ResourceManager& m_resMgr;
    GlobalData& m_gblData;
    OptimizationMode m_optMode;
    bool m_connInitEvtRcvd = false;
    std::unique_ptr<IpcResource*[]> m_ipcResAryPtr;
    int32 m_numIpcRes = 0;
    std::unique_ptr<Timer> m_checkTimerPtr;
    uint32 m_chkTimerInt = DEFAULT_IPC_CHECK_TIMER_INT;
    uint32 m_chkProcTimerMultipier = DEFAULT_IPC_CHECK_PROCESS_TIME_MULTIPLIER;
    IpcShmMsg m_ctlMsg{};
    IpcShmMsg m_entry{};
    int64 m_lastRetryNs = 0;
    int64 m_lastCheckNs = 0;
    uint32 m_checkCount = 0;
    std::unique_ptr<MsgForwarder> m_forwarder;
    // Per reader channel, made at its writer's first malformed entry.
    std::unordered_map<const IpcResource*, PeerLogLimit> m_peerLogs;
    // The failure being passed up is a writer's whose line was held back:
    // the follow-up lines of the same failure are held back with it.
    bool m_peerLineHeld = false;
};
