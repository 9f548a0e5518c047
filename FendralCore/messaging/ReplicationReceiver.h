// The standby side of replication, run by the MSG_REPLICATOR thread while the
// instance is not active. The messaging service hands it every record the
// active instance published on the replication topic; it delivers each to
// the application thread that owns the record's channel here, as if this
// instance had received or sent the message itself, so the standby keeps the
// active's state. It registers the active's accepted TCP connections on
// demand, watches the replication topic's publisher (loss, return, end of
// replication), and on a switch to active hands over to the replicator: the
// loop ends with exit code 2 and the thread manager runs the replicator in
// the same thread, whose first message is the SW_ACTIVE put back here.
//
// Records come from the network: each is checked (ReplicationRecord) before
// use, only channel and topic events are taken from them, and server
// connections are registered only under a listen server's name and up to a
// cap. Lines they cause are limited.
//
// Owned and used by its own thread.
#pragma once

#include "FendralCore/dispatch/EventMessage.h"
#include "FendralCore/foundation/FileDescMultiplexer.h"
#include "FendralCore/foundation/FwTypes.h"
#include "FendralCore/foundation/Int128.h"
#include "FendralCore/foundation/PeerLogLimit.h"
#include "FendralCore/messaging/ReplicationDelivery.h"
#include "FendralCore/messaging/ReplicationRecord.h"
#include "FendralCore/runtime/FrameworkResource.h"

#include <memory>
#include <set>

class ConfigManager;
class GlobalData;
class ResourceManager;
class Timer;

class ReplicationReceiver : public EventMessage
{
public:
    static constexpr int32 DEFAULT_STS_RPT_INTERVAL = 500; // ms, also the timer's period
    static constexpr int32 DEFAULT_SH_MSG_PROC_NUM = 20;
    // TCP server connections registered on demand at a time.
    static constexpr uint32 DEFAULT_SRV_DATA_CONN_MAX = 64;
    // Hand-over: how long the queues must stay empty before the loop ends
    // (the messaging service moves records it parked for this thread at its
    // next timer tick), and how long it waits at most.
    static constexpr int64 HANDOVER_QUIET_MS = 300;
    static constexpr int64 HANDOVER_MAX_MS = 5000;

    // Exit codes of run.
    static constexpr int32 EXIT_TERM = 0;
    static constexpr int32 EXIT_FAILED = 1;
    static constexpr int32 EXIT_SWITCH_ACTIVE = 2;

    ReplicationReceiver(ThreadResource* threadResPtr, ResourceManager& resMgr, GlobalData& gblData,
                        const ConfigManager* configMgr);
    ~ReplicationReceiver() override;

    // The thread's body: execExitHdr is EXIT_SWITCH_ACTIVE after a hand-over,
    // EXIT_TERM after TERM, EXIT_FAILED otherwise. 0, the initialisation
    // error, or -1.
    int32 run(int32& execExitHdr);

    // The steps of the loop, for run and for tests that drive the receiver
    // on their own thread. initialize looks up the control and messaging
    // threads and the replication topic.
    int32 initialize();
    // One message taken from queue (the queue it came from, where SW_ACTIVE
    // is put back at a hand-over).
    int32 processMessage(const FwIntMessage& msg, FwMessageQueue* queue);
    // Every message of queue, until it is empty or the loop must end.
    int32 processQueue(FwMessageQueue* queue);
    // The timer's work: retries, liveness, the end-of-replication check.
    void onTimer();

    bool terminated() const { return m_terminate; }
    bool switchedToActive() const { return m_switchActive; }

    struct Stats
    {
        uint64 records = 0;       // records delivered or acted on
        uint64 refused = 0;       // malformed records dropped
        uint64 skipped = 0;       // records for channels not here
        uint64 foreign = 0;       // data of topics other than the replication topic
    };
    const Stats& stats() const { return m_stats; }
    size_t numSrvDataConns() const { return m_srvDataConns.size(); }
    void setSrvDataConnMax(uint32 max) { m_srvDataConnMax = max; }
    ReplicationDelivery& delivery() { return *m_delivery; }
    const ResourceName& repliTopicName() const { return m_repliTopicNameTxt; }

private:
    int32 handleEvent(const FwIntMessage& msg, FwMessageQueue* queue);
    int32 handleRepliTopicEvent(const FwIntMessage& msg, FwMessageQueue* queue);
    int32 handleData(const FwIntMessage& msg);
    int32 handleRecord(const FwIntMessage& rec);
    int32 handleRecordEvent(const FwIntMessage& rec);
    int32 handleRecordData(const FwIntMessage& rec);
    int32 deliverTcpEvent(const FwIntMessage& rec);
    int32 deliverTopicEvent(const FwIntMessage& rec);

    bool channelTargets(TcpConnResource& res, ReplicationDelivery::Channel& c);
    bool channelTargets(UdpConnResource& res, ReplicationDelivery::Channel& c);
    bool channelTargets(MsgTopicResource& res, ReplicationDelivery::Channel& c);
    void ownerQueues(ReplicationDelivery::Channel& c);

    int32 initNetResource();
    TcpConnResource* isTcpServerDataConn(const ResourceName& name);
    void removeSrvDataConn(const ResourceName& name);
    void removeRegTcpSrvDataRes();

    void resume();
    void handOver(const FwIntMessage& swActive, FwMessageQueue* queue);
    void sendToCtl(FwEventID id, const EventParam& p);
    void confEndReplicationIfDone();
    void refreshLiveness();
    void peerLog(int32 level, const char* format, ...) __attribute__((format(printf, 3, 4)));

    ThreadResource* m_threadResPtr;
    GlobalData& m_gblData;
    const ConfigManager* m_configMgrPtr;
    int32 m_timeout = DEFAULT_STS_RPT_INTERVAL;
    int32 m_contMsgProcNum = DEFAULT_SH_MSG_PROC_NUM;
    uint32 m_msgSeqNum = 0;
    std::unique_ptr<ReplicationDelivery> m_delivery;

    ThreadResource* m_ctlThdResPtr = nullptr;
    ThreadResource* m_msgSvcThdResPtr = nullptr;
    MsgTopicResource* m_repliTopicResPtr = nullptr;
    ResourceName m_repliTopicNameTxt{};
    UInt128 m_repliTopicId;

    AppMode m_mode = STANDBY_MODE;
    bool m_initEventRcvd = false;
    bool m_netResInitialized = false;
    bool m_connInitEvtRcvd = false;
    bool m_chkEndRepli = false;
    bool m_topicTimeoutNotified = false;
    bool m_noRepliPublisher = true;
    bool m_rcvdSwitchActive = false;
    bool m_rcvdSwitchStandby = false;
    bool m_unrecoverableGapReported = false;
    bool m_terminate = false;
    bool m_switchActive = false;
    bool m_handingOver = false;
    bool m_termDuringHandOver = false;
    uint64 m_lastRepliSeq = 0;

    // A record in the parts the replication topic delivered it in.
    char m_recBuf[ReplicationRecord::MAX_SIZE]{};
    uint32 m_recLen = 0;
    int32 m_recLastPart = -1;
    FwIntMessage m_record{};

    std::set<UInt128> m_srvDataConns;
    uint32 m_srvDataConnMax = DEFAULT_SRV_DATA_CONN_MAX;
    PeerLogLimit m_peerLog;
    Stats m_stats;

    FileDescMultiplexer m_fdWait;
    Timer* m_timerPtr = nullptr;
};
