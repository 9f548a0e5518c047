// The stream thread ("DATA_STREAM_HDR"). The network receiver writes each
// connected TCP channel's bytes into the channel's StreamBuffer and announces
// every write with a StreamEventRecord on a one-writer one-reader ring; this
// thread cuts the bytes into whole messages by the channel's framing and
// forwards each one to the thread that owns the channel: through its queue
// (in parts of at most 2200 bytes), through the channel's pipeline, or to the
// message replicator when input replication is on. It also tells the owning
// thread that a connection came up or went down (STREAM_ADD / STREAM_DEL from
// the network receiver), parks what a full queue or pipeline cannot take and
// retries it on its timer, and reports congestion with events.
//
// Everything here runs on the stream thread; the only shared data are the
// event ring and the stream buffers (see StreamBuffer). It never touches a
// socket: it asks the network thread to close a connection (CONN_CLOSE_RQS),
// and tells it when a stream it stopped reading for want of room has some
// again (STREAM_ROOM).
#pragma once

#include "FendralCore/dispatch/MessageStore.h"
#include "FendralCore/dispatch/MsgForwarder.h"
#include "FendralCore/dispatch/Pipeline.h"
#include "FendralCore/dispatch/PlMessageStore.h"
#include "FendralCore/foundation/FwTypes.h"
#include "FendralCore/foundation/GlobalData.h"
#include "FendralCore/foundation/Int128.h"
#include "FendralCore/foundation/UnsortedMap.h"
#include "FendralCore/dispatch/EventMessage.h"

#include <ctime>
#include <memory>
#include <vector>

class AppLogger;
class ConfigManager;
class FileDescMultiplexer;
class FileDescriptor;
class ResourceManager;
class StreamBuffer;
class Timer;

class StreamHandler : public EventMessage
{
public:
    static constexpr const char* THREAD_NAME = "DATA_STREAM_HDR";
    static constexpr const char* CTL_THREAD_NAME = "CTL_THREAD";
    static constexpr const char* MSG_REPLICATOR_NAME = "MSG_REPLICATOR";
    static constexpr const char* SH_MSG_PROC_NUM_LABEL = "SH_MSG_PROC_NUM";
    static constexpr int32 DEFAULT_CONT_MSG_PROC_NUM = 20;
    static constexpr const char* STS_RPT_INTERVAL_LABEL = "STS_RPT_INTERVAL";
    static constexpr int32 DEFAULT_STS_RPT_INTERVAL = 500; // milliseconds
    // A queue with this many free entries or fewer counts as full: the rest
    // is kept for events.
    static constexpr uint32 THREAD_MSGQ_RESERVED_ENTRIES = MsgForwarder::THREAD_MSGQ_RESERVED_ENTRIES;
    static constexpr int32 PL_HDR_SIZE = static_cast<int32>(sizeof(PipelineMsgHeader));
    // In CPU_UTILIZATION mode a pass wakes each recipient once per this many
    // stream records.
    static constexpr int32 WAKE_EVERY_RECORDS = 16;
    // A record announces up to a whole read of the socket: a stream pass
    // also wakes each recipient every this many messages, so that a small
    // queue (100 entries at the least) is read before it fills.
    static constexpr int32 WAKE_EVERY_MESSAGES = 64;
    // Messages parked for one recipient (in this thread's list of its store)
    // at which no more are cut from the streams that feed it: their bytes
    // stay in the stream buffers, which fill, and the network thread stops
    // reading those connections, so a peer faster than its owner thread is
    // slowed down by TCP instead of growing the store without end. Cutting
    // goes on once the recipient has taken half of them.
    static constexpr size_t PARKED_MSG_LIMIT = 1024;
    // How often parked messages are retried while any wait, held streams
    // or not.
    static constexpr int32 HELD_RETRY_MS = 1;

    // The framework's registry, global data and configuration.
    explicit StreamHandler(ThreadResource* threadResPtr);
    // Given ones (configMgr null: every key reads its default).
    StreamHandler(ThreadResource* threadResPtr, ResourceManager& resMgr, GlobalData& gblData,
                  const ConfigManager* configMgr);
    ~StreamHandler() override;

    // The thread body: 0 after TERM (execExitHdr 0), the error of initialize
    // or -1 after an exception (execExitHdr 1).
    int32 run(int32& execExitHdr);
    int32 initialize();

    // Reads one batch of queue and handles its control events.
    int32 processMessage(FwMessageQueue* queue, bool& terminate, int32& msgCount);
    int32 addStream(TcpConnResource* tcpResPtr, int32 eventId);
    int32 delStream(TcpConnResource* tcpResPtr, int32 reason);
    int32 processAllDataStreams(int32& count);
    int32 processDataStream(StreamBuffer* streamBufPtr, int32& count, int32& partialLen, bool fromEvent,
                            int32 headLimit);
    int32 retryForwardMsg();
    void keepForNextPass(StreamBuffer* sb, int32& kept);
    // Where a channel's messages go: its thread, or the replicator.
    int32 getMsgQueue(TcpConnResource* tcpResPtr, MessageQueueType& queueType, FwMessageQueue*& queue,
                      FwMessageQueue*& altQueue, MessageStore*& storePtr, bool& toReplicator);
    void logMessageJournal(const char* bytes, int32 length, const timespec& time);

    // The event ring is normally taken from the global data at CONN_INIT.
    void setStreamEventRing(SingleRwRingBuffer2<StreamEventRecord>* ring) { m_streamEvtBufPtr = ring; }
    int32 getNumRemainderStreams() const { return m_remainderStreamNum; }
    // Streams not cut while their recipient has too many messages parked.
    int32 getNumHeldStreams() const { return static_cast<int32>(m_heldStreams.size()); }

private:
    struct Target : ForwardTarget
    {
        bool toReplicator = false;
    };

    void prepareQueueTemplate(const StreamBuffer* sb, TcpConnResource* res, const Target& t);
    int32 forwardToQueue(const StreamBuffer* sb, TcpConnResource* res, const Target& t, int32 len, bool& parked);
    int32 forwardToPipeline(const StreamBuffer* sb, TcpConnResource* res, int32 len, bool& parked);
    int32 notify(TcpConnResource* res, FwEventID evtId, bool isAdd);
    int32 sendPipelineEvent(TcpConnResource* res, FwEventID evtId, bool& parked);
    void shutdownConnection(TcpConnResource* res, int32 code);
    // An event about one connection to the network thread (see the class
    // comment), parked for the timer when its queue is full.
    int32 askNetwork(TcpConnResource* res, FwEventID evtId, int32 param);
    // After a pass over sb that cut up to headLimit: tells the network
    // thread when it waits for room that is there now.
    void offerRoom(StreamBuffer* sb, bool cutAll, int32 headLimit);
    // The receive time of the current loop cycle, read at its first use, so
    // that a cycle with nothing to stamp reads no clock.
    const timespec& cycleTime();
    void touchLiveness();
    bool inRepository(StreamBuffer* sb);
    int32 registerStream(StreamBuffer* sb);
    int32 unregisterStream(StreamBuffer* sb);
    bool usesPipelinePath(const TcpConnResource* res) const;
    // Messages of res parked in the store its next message would park in.
    size_t parkedFor(TcpConnResource* res);
    void holdStream(StreamBuffer* sb);
    // Held streams whose recipient took enough go to the next pass.
    void releaseHeld();
    int32 loopCpu(bool& terminate);
    int32 loopLowLatency(bool& terminate);

    uint32 m_msgSeqNum = 0;
    int32 m_timeout = DEFAULT_STS_RPT_INTERVAL;
    int32 m_maxNumDesc = 0;
    int32 m_streamArraySize = 0;
    int32 m_numDescReg = 0;
    int32 m_nextDescPtrPos = 0;
    int32 m_contMsgProcNum = DEFAULT_CONT_MSG_PROC_NUM;
    UInt128 m_replicationThreadId;
    FwIntMessage m_msg{};
    FwIntMessage m_evtMsg{};
    FwIntMessage m_dataMsg{};
    EventParam m_tmpPara{};
    // The congestion event's parameters for the stream being cut.
    EventParam m_congest{};
    bool m_initEventRcvd = false;
    bool m_errorTermination = false;
    int32 m_maxMsgSize = 0;
    char* m_tmpBufPtr = nullptr;
    std::unique_ptr<char[]> m_tmpMsgPtr;
    timespec m_tm{};
    bool m_tmRead = false;
    timespec m_outTm{};
    SingleRwRingBuffer2<StreamEventRecord>* m_streamEvtBufPtr = nullptr;
    std::unique_ptr<StreamBuffer*[]> m_remainderStreamAryPtr;
    std::unique_ptr<StreamBuffer*[]> m_tmpStreamAryPtr;
    int32 m_remainderStreamNum = 0;
    std::vector<StreamBuffer*> m_heldStreams;
    // The last pass over a closing stream cuts everything: its bytes have
    // nowhere else to wait.
    bool m_drainAll = false;
    UnsortedMap<uint64> m_streamBufRepository;
    ThreadResource* m_threadResPtr;
    ThreadResource* m_ctlThdResPtr = nullptr;
    ThreadResource* m_msgRepliThdResPtr = nullptr;
    ThreadResource* m_netRcvThdResPtr = nullptr; // writes into the stream buffers
    MessageStore* m_repliMsgStorePtr = nullptr;
    MessageStore m_netRcvStore; // events for the network thread that its full queue could not take
    std::unique_ptr<FileDescMultiplexer> m_fdWaitPtr;
    std::unique_ptr<Timer> m_timerPtr;
    std::unique_ptr<StreamBuffer*[]> m_fdAryPtr;
    std::unique_ptr<FileDescriptor*[]> m_readyAryPtr;
    const ConfigManager* m_configMgrPtr;
    AppLogger* m_msgJournalLoggerPtr = nullptr;
    ResourceManager& m_resMgr;
    GlobalData& m_gblData;
    OptimizationMode m_optMode;
    int64 m_lastRetryNs = 0;
    std::unique_ptr<MsgForwarder> m_forwarder;
};
