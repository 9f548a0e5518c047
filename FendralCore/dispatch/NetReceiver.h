// The network thread ("NET_RECEIVER"): every datagram and every TCP byte
// enters the process here. It owns the sockets of the registered TCP and UDP
// channels and waits on them with one multiplexer:
// - it opens, accepts and closes TCP connections and joins and leaves
//   multicast groups on the requests of application threads, and tells the
//   owning thread what became of them;
// - it reads TCP bytes straight into the connection's StreamBuffer and announces them
//   to the stream thread ("DATA_STREAM_HDR") with a StreamEventRecord on a
//   one-writer one-reader ring; a connection passes to that thread with
//   STREAM_ADD and comes back with STREAM_DEL. While the stream buffer has no
//   room (the stream thread fell behind), the socket is not read: the bytes
//   wait in the kernel and TCP slows the sender, until the stream thread
//   answers with STREAM_ROOM. It alone closes and shuts data sockets: the
//   stream thread asks for a close with CONN_CLOSE_RQS, a dispatcher whose
//   send failed for the shut of the sending side with CONN_SEND_FAILED;
// - it reads multicast datagrams in batches and delivers each, in parts of at
//   most 2200 bytes, to the owning thread's queue, the channel's pipeline or
//   the replicator, parking what a congested recipient cannot take.
//
// Everything here runs on the network thread; it talks to the others only
// through their queues, pipelines, the registry and the event ring.
#pragma once

#include "FendralCore/dispatch/MsgForwarder.h"
#include "FendralCore/dispatch/SingleRwRingBuffer2.h"
#include "FendralCore/dispatch/StreamEventRecord.h"
#include "FendralCore/foundation/FileDescMultiplexer.h"
#include "FendralCore/foundation/FwTypes.h"
#include "FendralCore/foundation/GlobalData.h"
#include "FendralCore/foundation/Int128.h"
#include "FendralCore/dispatch/EventMessage.h"

#include <ctime>
#include <deque>
#include <memory>
#include <sys/socket.h>
#include <vector>

class ConfigManager;
class MulticastSocket;
class ResourceManager;
class StreamBuffer;
class TcpDataSocket;
class TcpListenSocket;
class Timer;

class NetReceiver : public EventMessage
{
public:
    static constexpr const char* THREAD_NAME = "NET_RECEIVER";
    static constexpr const char* CTL_THREAD_NAME = "CTL_THREAD";
    static constexpr const char* MSG_REPLICATOR_NAME = "MSG_REPLICATOR";
    static constexpr const char* STREAM_HDR_NAME = "DATA_STREAM_HDR";
    static constexpr const char* MCAST_RCV_MAX_LABEL = "MCAST_RCV_MAX";
    static constexpr int32 DEFAULT_MCAST_RCV_MAX = 10;
    // Datagrams parked for one owner beyond which new ones are dropped: a
    // sender cannot be slowed, and an owner that stays behind must not grow
    // the store without end.
    static constexpr size_t MCAST_PARKED_LIMIT = 16384;
    static constexpr const char* STS_RPT_INTERVAL_LABEL = "STS_RPT_INTERVAL";
    static constexpr int32 DEFAULT_STS_RPT_INTERVAL = 500; // milliseconds
    // A closed accepted socket is kept at least this much longer than the
    // longest send: a send reads the socket from its record and ends within
    // microseconds of the close, so the margin is wide.
    static constexpr int64 RETIRED_SOCKET_MARGIN_MS = 1000;
    static constexpr const char* TCP_FD_REASSIGN_LABEL = "TCP_FD_REASSIGN";
    static constexpr int32 DEFAULT_TCP_FD_REASSIGN = 1;
    static constexpr int32 MCAST_BUF_SIZE = 10240;
    // The most a TCP read took per call before reads went straight into the
    // stream buffer: the benchmarks' plain loop still reads this much.
    static constexpr int32 TCP_READ_SIZE = 2200;
    // Bytes one readiness event without ordering information may read of a
    // connection, each read taking as much of the stream buffer's free room
    // as the socket holds: a burst costs a few calls, and the other sockets
    // of the pass still get their turn.
    static constexpr int32 TCP_READ_BUDGET = 256 * 1024;
    // Interrupted reads tried again per readiness event.
    static constexpr int32 TCP_READ_RETRIES = 3;
    static constexpr int32 EVT_RING_PUSH_SLEEPS = 4;
    static constexpr int32 EVT_RING_PUSH_SLEEP_US = 20;
    // The longest wait while records wait for room on the event ring.
    static constexpr int32 PENDING_RECORD_RETRY_MS = 1;

    explicit NetReceiver(ThreadResource* threadResPtr);
    // Given registry, global data and configuration (null: every key reads
    // its default); onloadApi (null: the process's own) reaches the
    // multiplexer, so tests can stand in for the ordered wait.
    NetReceiver(ThreadResource* threadResPtr, ResourceManager& resMgr, GlobalData& gblData,
                const ConfigManager* configMgr, const FileDescMultiplexer::OnloadApi* onloadApi = nullptr);
    ~NetReceiver() override;

    // The thread body: 0 after TERM (execExitHdr 0), the error of initialize
    // or -1 after an exception (execExitHdr 1).
    int32 run(int32& execExitHdr);
    int32 initialize();
    // One pass of the thread's loop (a wait of at most timeoutMs in
    // CPU_UTILIZATION mode, a poll otherwise); run calls it until TERM.
    int32 runOnce(bool& terminate, int32 timeoutMs);

    // Reads one batch of queue and handles its events.
    int32 processMessage(FwMessageQueue* queue, bool& terminate);
    int32 initConnection();
    // Where the datagrams of one channel's batch go, worked out once per
    // readiness event; the data template (or the pipeline entry header)
    // then holds every field the batch's datagrams share.
    struct McastRoute
    {
        UdpConnResource* res = nullptr;
        bool toPipeline = false;
        bool toReplicator = false;
        bool parked = false; // older messages wait in the store: new ones park behind them
        ForwardTarget target;
        EventParam congest{};
    };

    int32 processMulticastSock(MulticastSocket* sock, IoWaitType io, const WireOrderInfo& w);
    // Sets the route of res's datagrams received at rcvTm (wire time wireTm),
    // moving what waits in the store first. 0, or -1 with the code.
    int32 routeMulticast(UdpConnResource* res, const timespec& rcvTm, const timespec& wireTm, McastRoute& route);
    int32 processMulticastMsg(McastRoute& route, const char* bytes, int32 len, in_addr_t sender);
    // True when the datagram is to be dropped: its owner's parked store is at
    // MCAST_PARKED_LIMIT. Logs the start and the end of a run of drops.
    bool ownerTooFarBehind(const McastRoute& route);
    int32 retryForwardMsg();

    SingleRwRingBuffer2<StreamEventRecord>* getStreamEventRing() const { return m_streamEvtBufPtr.get(); }
    // Records that waited for room on a full event ring (still to be pushed).
    int32 getNumPendingRecords() const { return static_cast<int32>(m_pendingRecords.size()); }

private:
    // One data socket event: a connect that completed, bytes, or a drop.
    int32 processTcpSock(TcpDataSocket* sock, IoWaitType io, const WireOrderInfo& w);
    int32 acceptConnection(TcpListenSocket* sock);
    int32 readTcp(TcpConnResource* res, TcpDataSocket* sock, const WireOrderInfo& w);
    // The stream has no room or is not taken yet: the socket leaves the
    // multiplexer until the stream thread answers. False when room came
    // meanwhile and reading goes on.
    bool pauseReading(TcpConnResource* res, TcpDataSocket* sock);
    void resumeReading(TcpConnResource* res);
    bool isPaused(const TcpConnResource* res) const;
    // Paused streams whose answer was given but did not arrive go on.
    void resumeAnswered();
    // The connected channel an event of the stream thread names, while it is
    // still the connection the event was sent for; null otherwise.
    TcpConnResource* streamConnection(const EventParam& p) const;
    int32 processStreamRoom(const EventParam& p);
    int32 processCloseRqs(const EventParam& p);
    // A dispatcher's send failed: the connection's sending side is shut.
    int32 processSendFailed(const EventParam& p);
    void pushStreamEvent(TcpConnResource* res, int32 headIdx, const WireOrderInfo& w);
    void pushPendingRecords();
    void dropTcp(TcpConnResource* res, TcpDataSocket* sock, int32 reason, bool readFirst);
    void closeTcp(TcpConnResource* res, int32 reason);
    // Frees the closed sockets whose grace has passed by `nowMs`.
    void freeRetiredSockets(int64 nowMs);
    void recycleClientSocket(TcpConnResource* res, const char* placeText);
    int32 sendStreamEvent(TcpConnResource* res, FwEventID evtId, int32 param);
    int32 createStream(TcpConnResource* res, FwEventID announce);

    template <typename Channel>
    int32 initChannels(int32 (ResourceManager::*first)(ResourceName&, Channel**),
                       int32 (ResourceManager::*next)(ResourceName&, Channel**), int32 (NetReceiver::*init)(Channel*));
    int32 initTcpConn(TcpConnResource* res);
    int32 initUdpConn(UdpConnResource* res);
    template <typename Channel>
    int32 setChannelDestination(Channel* res, bool withStores);
    int32 setDestination(TcpConnResource* res);
    int32 setDestination(UdpConnResource* res);
    int32 connectClient(TcpConnResource* res);

    int32 processConnRqs(const FwIntMessage& msg);
    int32 processConnTerm(const FwIntMessage& msg);
    int32 closeListener(TcpConnResource* res);
    bool isRetired(const FileDescriptor* fd) const;
    int32 processConnListen(const FwIntMessage& msg);
    int32 processConnUpdated(const FwIntMessage& msg);
    int32 processMcastJoin(const FwIntMessage& msg, bool join);
    TcpConnResource* findTcp(const FwIntMessage& msg);
    UdpConnResource* findUdp(const FwIntMessage& msg);
    // CONNECT_FAIL to the channel's owner; for a listen channel the
    // framework's code and the system's error number of the failed step.
    void connectFail(TcpConnResource* res, int32 code = 0, int32 osError = 0);
    // `detail` goes in paramInt64 (the system's error number of a failed bind).
    void notifyOwner(const ResourceName& owner, FwMessageQueue* queue, FwEventID evtId, const char* name,
                     void* resPtr, int32 param, int64 detail = 0);
    // A fresh bound socket for a listen channel that has none (its bind
    // failed, at start-up or when it was last closed); null on failure,
    // with the system's error number in osError.
    TcpListenSocket* bindListener(TcpConnResource* res, int32& osError);

    int32 moveDescriptor(TcpDataSocket* sock, const char* name);
    void trashDescriptor(int32 fd);

    int32 getMsgQueue(UdpConnResource* res, ForwardTarget& t, bool& toReplicator);
    int32 forwardDatagramToPipeline(McastRoute& route, const char* bytes, int32 len, in_addr_t sender);
    int32 serveSockets(int32 n);
    void maintenance();
    int32 passCpu(bool& terminate, int32 timeoutMs);
    int32 passLowLatency(bool& terminate);
    int32 loopCpu(bool& terminate);
    int32 loopLowLatency(bool& terminate);

    int32 m_mode = ACTIVE_MODE;
    uint32 m_msgSeqNum = 0;
    int32 m_timeout = DEFAULT_STS_RPT_INTERVAL;
    int32 m_maxNumDesc = 0;
    int32 m_tcpReassignFdBase = 0;
    int32 m_tcpLastReassignedFd = 0;
    bool m_tcpFdLimitReached = false;
    UInt128 m_replicationThreadId;
    FwIntMessage m_msg{};
    FwIntMessage m_dataMsg{};
    bool m_initEventRcvd = false;
    bool m_connInitEvtRcvd = false;
    bool m_errorTermination = false;
    std::unique_ptr<char[]> m_tmpBuf; // pipeline entry: header, then room for MCAST_BUF_SIZE bytes
    int32 m_maxNumMsgRcv = DEFAULT_MCAST_RCV_MAX;
    std::unique_ptr<char[]> m_mcastMsgBuf;
    std::unique_ptr<char[]> m_msgListPtr;
    std::unique_ptr<mmsghdr[]> m_msgVectorPtr;
    std::unique_ptr<iovec[]> m_ioVecsPtr;
    std::unique_ptr<sockaddr_in[]> m_remoteAddrListPtr;
    ThreadResource* m_threadResPtr;
    ThreadResource* m_ctlThdResPtr = nullptr;
    ThreadResource* m_msgRepliThdResPtr = nullptr;
    ThreadResource* m_streamHdrThdResPtr = nullptr;
    MessageStore* m_repliMsgStorePtr = nullptr;
    std::unique_ptr<FileDescMultiplexer> m_fdWaitPtr;
    // Listen sockets closed during the current pass, freed before the next wait.
    std::vector<std::unique_ptr<TcpListenSocket>> m_retiredListeners;
    std::unique_ptr<Timer> m_timerPtr;
    std::unique_ptr<FileDescriptor*[]> m_fdAryPtr;
    std::unique_ptr<IoWaitType[]> m_ioWaitTypePtr;
    std::unique_ptr<WireOrderInfo[]> m_wireOrderInfoPtr;
    const ConfigManager* m_configMgrPtr;
    ResourceManager& m_resMgr;
    GlobalData& m_gblData;
    OptimizationMode m_optMode;
    // Closed accepted sockets. A sending thread may still hold one it read
    // from its record just before the close (the send then fails at once),
    // so each is freed only when no send can still be under way on it:
    // m_retiredSocketGraceMs after its close, the longest a send may take
    // (its retries and their sleeps) and a wide margin.
    struct RetiredSocket
    {
        TcpDataSocket* sock;
        int64 closedMs;
    };
    std::deque<RetiredSocket> m_dataSockTrash;
    int64 m_retiredSocketGraceMs = 0;
    std::deque<int32> m_tcpFdTrash;
    std::unique_ptr<SingleRwRingBuffer2<StreamEventRecord>> m_streamEvtBufPtr;
    // Records a full ring could not take, in order; pushed before any new one.
    std::deque<StreamEventRecord> m_pendingRecords;
    // Connections not read until their streams have room (capacity reserved
    // for every TCP channel).
    std::vector<TcpConnResource*> m_pausedStreams;
    std::unique_ptr<MsgForwarder> m_forwarder;
    int64 m_lastMaintenanceMs = 0;
};
