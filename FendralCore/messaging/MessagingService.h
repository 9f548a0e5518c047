// The framework thread "MSG_SERVICE": the messaging service of this process.
// It owns every multicast socket of the messaging protocol (the request and
// request-acknowledgement channels, the topics' channel pairs, the MRM and
// replication pairs), the records of the topics the process publishes and
// subscribes to, the control requests that still wait for answers, and the
// service timer. Application threads never touch its sockets: they post
// topic requests to its two queues and hear back through events.
//
// One pass of the loop serves, in this order: the high-priority queue (TERM
// ends the loop before any network traffic of the pass), the normal queue,
// one batch of the request channel, one batch of the request-acknowledgement
// channel, the other ready sockets, and the timer. In low-latency mode the
// queues and control channels are served every pass and the timer is
// replaced by the monotonic clock.
//
// Everything runs on the service's own thread; other threads reach it only
// through its queues. Sockets come from a factory and time from a clock that
// tests replace; the service can be built on its own registry, global data
// and configuration, so that one test process holds two peers.
#pragma once

#include "FendralCore/dispatch/EventMessage.h"
#include "FendralCore/foundation/FileDescMultiplexer.h"
#include "FendralCore/foundation/FwTypes.h"
#include "FendralCore/foundation/Int128.h"
#include "FendralCore/foundation/PeerLogLimit.h"
#include "FendralCore/foundation/UnsortedMap.h"
#include "FendralCore/messaging/MessagingCommon.h"
#include "FendralCore/messaging/MslChannelTable.h"
#include "FendralCore/messaging/MslDropHook.h"
#include "FendralCore/messaging/MslMcastSocket.h"
#include "FendralCore/messaging/MslProtocol.h"
#include "FendralCore/messaging/MslRequestIds.h"
#include "FendralCore/messaging/MessagingTopic.h"
#include "FendralCore/messaging/PendingMrmRqsRecord.h"
#include "FendralCore/messaging/PendingRqsRecord.h"
#include "FendralCore/messaging/SubscriptionRecord.h"
#include "FendralCore/messaging/TopicRecord.h"

#include <atomic>
#include <deque>
#include <memory>
#include <netinet/in.h>
#include <unordered_map>
#include <vector>

class Timer;

// What the control channels received and what became of it. Written by the
// service thread only; tests and operators may read it from any thread.
struct MslControlStats
{
    struct Counter
    {
        std::atomic<uint64> value{0};
        void add() { value.store(value.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed); }
        uint64 get() const { return value.load(std::memory_order_relaxed); }
    };

    Counter rqsReceived;
    Counter rqsShort;        // below the header size
    Counter rqsOwnLoopback;  // this service's own, looped back
    Counter rqsUnexpected;   // not a request
    Counter rqsNotServed;    // MRM partition enquiries outside an MRM instance
    Counter rqsKeepalives;
    Counter rqsHandled;      // handed to the request's handler
    Counter ackReceived;
    Counter ackShort;
    Counter ackOwnLoopback;
    Counter ackKeepalives;
    Counter ackOtherRecipient; // addressed to another process or instance
    Counter ackNoPending;      // no pending request of its id
    Counter ackBadSize;
    Counter ackMismatch;       // topic or command does not pair with the request
    Counter ackUnexpected;
    Counter ackHandled;
    Counter batchesEndedByWireOrder;
    Counter topicDatagramsDropped; // topic traffic drained before the topics open
    Counter requestSendFailures;
};

// What the topic channels received and what became of it. Written by the
// service thread only; tests and operators may read it from any thread.
struct MslTopicStats
{
    using Counter = MslControlStats::Counter;

    Counter dataReceived;
    Counter dataShort;       // below the topic header
    Counter dataBadSize;     // not the header and bodyLen bytes
    Counter dataBadBody;     // a body that does not hold what its command says
    Counter dataOwnLoopback;
    Counter dataUnexpected;  // not a topic data command
    Counter dataNoSubscription;
    Counter conflicts;       // data of a topic this process publishes
    Counter forcedLeaves;    // a message past the largest message size
    Counter deliveryRefused; // taken, but the subscribing thread's queue refused it
    Counter dataHandled;     // handed to a subscribed topic
    Counter ackReceived;
    Counter ackBadSize;
    Counter ackOwnLoopback;
    Counter ackNoTopic;      // no topic of that name published, or not ready
    Counter ackHandled;      // handed to a published topic
    Counter gapsReported;
    Counter recoveryRqsSent;      // resend and tail-lost resend requests
    Counter tailLostQueriesSent;
    Counter resendsServed;        // requests this process resent for
    Counter recoveryAnsweredBusy;
    Counter unrecoverableGaps;
    // Records of recovery instances on their MRM topics, and those dropped
    // (bad size, unknown command, unparsable name, not for this process).
    Counter mrmMessages;
    Counter mrmMessagesDropped;
    Counter mrmRqsSent;          // recovery requests to instances
    Counter mrmEndNotices;       // sessions ended towards an instance
    Counter mrmLongRecoveryReports;
    Counter mrmPublishersExpired; // instances whose heartbeats stopped
    Counter mrmRqsRefusedUncarried; // requests to this instance on a recovery-request topic it does not serve
    // Acknowledged replication positions passed to the replicator.
    Counter replicationAcks;
};

// What tests replace in a messaging service; null members take the
// process's own.
struct MslServiceSeams
{
    MslSocketFactory* sockets = nullptr;
    const MslClock* clock = nullptr;
    const FileDescMultiplexer::OnloadApi* onloadApi = nullptr;
};

class MessagingService : public MessagingCommon, public EventMessage
{
public:
    static constexpr const char* THREAD_NAME = "MSG_SERVICE";
    static constexpr const char* REPLICATION_TOPIC_POSTFIX = "_FW_REPL";
    static constexpr const char* RECOVERY_TOPIC_POSTFIX = "_RECO";
    static constexpr int32 PENDING_RQS_BUCKET = 100;
    // A request whose send would block is tried this many times, a short
    // pause apart, then reported as failed: the thread never spins on a
    // send buffer that stays full.
    static constexpr int32 RQS_SEND_TRY_CNT = 10;
    static constexpr int32 RQS_SEND_PAUSE_US = 100;
    // A topic datagram: the largest topic message and a spare topic header.
    static constexpr int32 TOPIC_RCV_BUF_SIZE = 1468;
    static constexpr int32 TOPIC_ACK_BUF_SIZE = 98;
    // Descriptors beyond the channel pairs: queues, timer, control and
    // special channels.
    static constexpr int32 NUM_FIXED_DESC = 13;
    // The acknowledgement channel's batch while the service drains all
    // answers is still bounded, by this many ordinary batches.
    static constexpr int32 DRAIN_ALL_BATCHES_MAX = 64;
    // In low-latency mode without network polling the wait is this short,
    // so that the polled queues are served.
    static constexpr int32 LOW_LATENCY_WAIT_MS = 1;

    using Seams = MslServiceSeams;

    // Over the process's registry, global data and framework configuration.
    explicit MessagingService(ThreadResource* threadResPtr);
    // Over given ones (configMgr null: every setting takes its default).
    MessagingService(ThreadResource* threadResPtr, ResourceManager& resMgr, GlobalData& gblData,
                     const ConfigManager* configMgr, const Seams& seams = Seams{});
    ~MessagingService() override;

    // The thread body: initialize, then the loop until TERM. 0 and
    // execExitHdr 0 after TERM; the failure of initialize, or -1 after an
    // exception, with execExitHdr 1.
    int32 run(int32& execExitHdr);
    // Reads the settings and opens the channels; called first by run.
    int32 initialize();
    // One pass of the loop, waiting at most timeoutMs (-1: without limit)
    // in CPU mode. terminate is set once TERM was served.
    int32 runOnce(int32 timeoutMs, bool& terminate);

    // Serves the events of one queue; terminate is set by TERM, which ends
    // the call at once.
    int32 processMessage(FwMessageQueue* queue, bool& terminate);
    // One expiry of the service timer.
    int32 processMslTimerEvent();
    // Moves parked messages into their queues and pipelines.
    int32 retryForwardMsg();
    // Sends the keepalive of a control channel that was quiet for longer
    // than the keepalive interval.
    void keepMslChannelAlive(int64 nowNs);

    // --- control protocol ---
    // A request in the service's template: cmd, the next id of its kind,
    // resend count 0, the topic and sequence number, the recipient, reason
    // and window cleared, stamped now. Valid until the next compose.
    MslMsgRqs& composeRequest(MslCmdType cmd, const char* topicNameTxt, uint64 lastMsgTopicSeq);
    // The answer to rqs in the service's template (the paired command, the
    // request's sender as recipient, its id and resend count echoed).
    MslMsgAck& composeAnswer(const MslMsgRqs& rqs, uint64 lastMsgSeq, int32 status, int32 errorCode);
    // A record on the request channel; a send that would block is retried
    // RQS_SEND_TRY_CNT times, then fails with WOULD_BLOCK. 0 or -1.
    int32 sendRequest(const char* record, int32 len);
    // A record on the request-acknowledgement channel, once; a failure is
    // logged and otherwise ignored (the peer asks again).
    void sendAnswer(const char* record, int32 len);
    // The pending table: 0, or -1 with DAT_KEY_EXIST when the id is taken.
    int32 addPendingRqs(const PendingRqsRecord& rec);
    PendingRqsRecord* findPendingRqs(uint32 rqsId);
    // 1 when erased, 0 when there was none.
    int32 erasePendingRqs(uint32 rqsId);
    // Pending requests of cmdType; -1 counts all.
    int32 getNumPendingRqs(int32 cmdType) const;
    // One batch of each control channel. wire is the readiness's wire-order
    // report (null or zero time: none).
    int32 processMslRqs(const WireOrderInfo* wire);
    int32 processMslAck(const WireOrderInfo* wire);

    // --- topics ---
    // Prepares every registered topic (CONN_INIT): opens those opened at
    // start-up, tells the owners of the others that they may open them.
    int32 initAllTopics();
    int32 initTopic(MsgTopicResource* topic, bool standby, bool mrmLocalInterface);
    // On APP_READY, ahead of the other topics: this instance's
    // recovery-request topic, then every partition's MRM topics (local site
    // first) on the MRM interface. Topics not registered are skipped.
    int32 initMrmTopics();
    // Leaves a published topic: gracefully (reason 0, 9998...) after the
    // leave notification waited its resends, at once for 2100, 2119, 2120.
    int32 deleteTopic(const ResourceName& topicNameTxt, int32 reason);
    int32 deleteSubscription(const ResourceName& topicNameTxt);
    // Asks up to count passive subscribers of site to become active,
    // recovery instances first when preferMrm; the number asked.
    int32 promotePassiveSubscriber(TopicRecord* rec, int32 site, bool preferMrm, int32 count);
    // The leave notifications of every topic at termination.
    void sendLeaveNotificationForAllTopic();
    // The pending requests whose time-out passed: resent, or completed.
    void processPendingRqs(int64 nowNs);
    TopicRecord* findTopic(const ResourceName& topicNameTxt);
    SubscriptionRecord* findSubscription(const ResourceName& topicNameTxt);

    // --- topic data ---
    // One batch of a topic pair's data or acknowledgement socket.
    int32 processMultiMslData(MslChannelRecord* rec, const WireOrderInfo* wire);
    int32 processMultiMslDataAck(MslChannelRecord* rec, const WireOrderInfo* wire);
    // One datagram of a data or acknowledgement socket (buf holds at least
    // a TopicMessage).
    int32 processTopicData(char* buf, int32 len, const sockaddr_in& from, const timespec& currTm, int64 nowNs,
                           bool lastMsgInBatch, PeerLogLimit& limit);
    int32 processTopicAck(char* buf, int32 len, const sockaddr_in& from, int64 nowNs, PeerLogLimit& limit);
    // A topic's acknowledged positions before an acknowledgement was taken.
    struct AckSnapshot
    {
        uint64 acked;
        uint64 remote;
        uint64 dr;
        uint64 mrm;
        uint64 remoteMrm;
        uint64 drMrm;
    };
    void reportReplicationAck(const TopicRecord& rec, const AckSnapshot& before);

    // One expiry's look at every topic: heartbeats, silent subscribers,
    // quiet subscriptions and stalled recoveries.
    void handleDormantTopic(int64 nowNs);
    // In recovery mode, tells the control thread once that every recovery
    // is done. 0, or the failure of the event's send.
    int32 checkEndRecoveryMode();
    // Heartbeats of the published topics that went quiet, except skipTopic
    // (null: none), which is being resent.
    void sendHeartbeatOnIdleTopic(int64 nowNs, const char* skipTopic);
    // The wait of the loop's next pass, shortened to the earliest retry due.
    int32 waitLimitMs(int32 timeoutMs) const;

    // The reason codes of recovery requests.
    static constexpr int32 FORCE_RECOVERY = 1;
    static constexpr int32 TRIGGERED_BY_NORM_RECOVERY_RQS_TIMEOUT = 2;
    static constexpr int32 TRIGGERED_BY_NORM_RECOVERY_RQS_FAILURE = 3;
    static constexpr int32 TRIGGERED_BY_TAIL_LOST_RQS_TIMEOUT = 4;
    static constexpr int32 TRIGGERED_BY_TAIL_LOST_RQS_FAILURE = 5;
    static constexpr int32 TRIGGERED_BY_MSG_LOST = 6;
    static constexpr int32 TRIGGERED_BY_RECOV_TIMEOUT = 7;

    // --- state, for the thread's users and tests ---
    const MslControlStats& controlStats() const { return m_stats; }
    const MslTopicStats& topicStats() const { return m_topicStats; }
    const char* interfaceTxt() const { return m_interfaceTxt; }
    const char* mrmInterfaceTxt() const { return m_mrmInterfaceTxt; }
    const ResourceName& repliTopicNameTxt() const { return m_repliTopicNameTxt; }
    const ResourceName& recovTopicNameTxt() const { return m_recovTopicNameTxt; }
    int32 mrmPartitionId() const { return m_mrmPartitionId; }
    bool initReceived() const { return m_initEventRcvd; }
    bool connInitDone() const { return m_connInitDone; }
    MslChannelTable* channels() { return m_channelTable.get(); }
    MslSocket* requestChannel() { return m_rcSock.get(); }
    MslSocket* requestAckChannel() { return m_racSock.get(); }
    // MRM requests waiting for an answer, and running MRM sessions.
    int32 numPendingMrmRqs() const { return static_cast<int32>(m_pendingMrmRqs.size()); }
    int32 numMrmSessions() const { return m_mrmRecoveryMap != nullptr ? static_cast<int32>(m_mrmRecoveryMap->getSize()) : 0; }
    bool mrmChannelsJoined() const { return m_mrmChannelsJoined; }
    // The partition and instance of an MRM topic name (base, partition,
    // ':', instance, 'L' or 'C'): the partition, -1 when the name does not
    // parse; instId -1 without an instance letter (then counted local).
    static int32 getPartitionIdFromMrmTopic(const char* mrmBaseName, const char* topicNameTxt, int32& instId,
                                            bool& localMrmTopic);
    // Datagrams the receive-path drop hook dropped (0 without the hook).
    uint64 numTestDropped() const { return m_dropHook != nullptr ? m_dropHook->numDropped() : 0; }

private:
    struct ReadyDescriptors
    {
        bool high = false;
        bool normal = false;
        bool timer = false;
        int32 rcIdx = -1;
        int32 racIdx = -1;
    };

    // --- start-up ---
    void buildNames();
    void buildTemplates();
    int32 lookUpThreads();
    int32 loadLocalAddresses();
    void chooseInterfaces();
    int32 openControlChannels();
    int32 openMrmChannels();
    int32 openReplicationChannel();
    int32 registerDescriptors();
    std::unique_ptr<MslSocket> openControlSocket(const MslGroupPort& chn);

    // --- the loop ---
    int32 passCpu(int32 timeoutMs, bool& terminate);
    int32 passLowLatency(bool& terminate);
    int32 serveOtherSockets(int32 numReady, const ReadyDescriptors& fixed);
    int32 serveTimer();
    // Drains a topic, MRM or replication socket that no topic serves yet.
    int32 drainTopicSocket(MslChannelRecord* rec, bool data);
    // Datagrams read per readiness of a data channel: the MRM limit, the
    // replication batch, or NUM_MSG_RCV_MAX.
    int32 dataBatchOf(const MslChannelRecord& rec) const;
    // A subscription takes its publisher's window; the replication topic's
    // also sets the replication batch, when it fits the receive arrays.
    void adoptPublisherWindow(SubscriptionRecord& sub, uint32 window);

    // --- events ---
    int32 processEvent(const FwIntMessage& msg, bool& terminate);
    int32 answerControl(FwEventID ack);
    // The topic a TOPIC_PUBLISH or TOPIC_SUBSCRIBE names (logged), and the
    // code that refuses it; 0 with a null topic: closing or closed, nothing
    // to answer.
    int32 topicToOpen(const FwIntMessage& msg, const char* eventName, ResourceName& name, MsgTopicResource*& topic);
    // On a switch to active: what this standby's replication subscriptions
    // accepted becomes their topics' history, so that the publishers opened
    // next resend it and number on from it. The replication topic is then
    // opened for publishing, for the replicator; an application-replication
    // topic waits for its application to publish it.
    int32 publishReplicationTopic();
    // A replication subscription's accepted messages into its topic's
    // history buffer, the resource's last number from them, and the
    // subscription left.
    void handOverSubscription(SubscriptionRecord& sub);
    int32 openPublisher(const FwIntMessage& msg);
    int32 openSubscription(const FwIntMessage& msg);
    // The refusal of a TOPIC_PUBLISH or TOPIC_SUBSCRIBE to the thread that
    // asked; a full queue is logged and passed over.
    int32 refuseOpen(FwEventID ack, const ResourceName& origin, const ResourceName& topic, int32 code);
    void logEvent(const FwIntMessage& msg);
    // Registers a topic that passed the checks of its open request and
    // starts its handshake; 0, or -1 with the code the application hears.
    int32 addTopic(MsgTopicResource* topic, bool mrmLocalInterface);
    int32 addSubscription(MsgTopicResource* topic, bool mrmLocalInterface);

    // --- topics ---
    int32 prepareTopicResource(MsgTopicResource* topic);
    in_addr_t topicInterface(const MsgTopicResource& topic, bool mrmLocalInterface) const;
    bool isMrmAppId(const char* appIdTxt) const;
    // A topic event to thread through its queue of the topic (answers of the
    // handshake); a full queue drops it with fullText.
    int32 notifyThread(const ResourceName& thread, const MsgTopicResource* topic, FwEventID id, EventParam& param,
                       const char* fullText);
    int32 sendSubscriberRequest(SubscriptionRecord& sub);
    void sendTopicRequest(MslMsgRqs& rqs, PendingRqsRecord& pending);
    void removeTopicRecord(TopicRecord& rec);
    void removePendingRqs(const TopicRecord* rec);
    void removePendingRqs(SubscriptionRecord* rec);
    // An instance's MRM topic is heard only while a request or a session
    // needs it (on an instance, always).
    bool joinsOnDemand(const MsgTopicResource& topic) const { return topic.mrmTopic && !m_gblData.m_mrmApplication; }
    int32 processPubTopicRqs(int32 len, const sockaddr_in& from);
    int32 processSubTopicRqs(int32 len, const sockaddr_in& from);
    int32 processPubTopicConfirmMsg(int32 len, const sockaddr_in& from);
    int32 processPubLeaveTopicMsg(int32 len, const sockaddr_in& from);
    int32 processSubLeaveTopicMsg(int32 len, const sockaddr_in& from);
    int32 processSwActiveSubRqs(int32 len, const sockaddr_in& from);
    int32 processPubTopicAck(uint32 rqsId, const sockaddr_in& from);
    int32 processSubTopicAck(uint32 rqsId, const sockaddr_in& from);
    // The handshake gave the number the subscription's stream goes on from.
    void noteStreamStart(SubscriptionRecord& sub, uint64 startSeq);
    int32 processSwActiveSubAck(uint32 rqsId, const sockaddr_in& from);
    int32 processPendingPubTopicRqs(PendingRqsRecord& pending);
    int32 processPendingSubTopicRqs(PendingRqsRecord& pending);
    int32 processPendingSwActiveSubRqs(PendingRqsRecord& pending);
    int32 processPendingPubLeaveTopicNotification(PendingRqsRecord& pending);
    // --- gap recovery, asking (subscriber side) ---
    int32 processMessageGap(SubscriptionRecord& sub, uint64 gapSize, int64 nowNs, uint64 senderId,
                            uint8 recoverySessionId);
    int32 requestTopicMsgRecovery(SubscriptionRecord& sub, uint64 lastRcvdSeq, bool lastAttempt);
    int32 queryTailLost(SubscriptionRecord& sub, MslCmdType cmd, uint64 peerAppId, int32 peerInstId,
                        uint64 peerLastRcvdSeq, bool sendOnly, bool lastAttempt);
    int32 requestTailLostRecovery(SubscriptionRecord& sub, uint64 dstAppId, int32 dstInstId, uint64 lastRcvdSeq,
                                  bool lastAttempt);
    // The end of replication: before a standby takes over, its replication
    // subscriptions ask their peers for a tail the departed active's
    // datagrams did not bring. CHK_TAIL_LOST also marks the replication
    // subscription as left, so TOPIC_PUBLISHER_LEFT follows once the query
    // is settled (the replication receiver confirms the end on it).
    int32 checkReplicationTail(const ResourceName& topicNameTxt);
    int32 checkAppReplicationTail();
    // A standby's replication topic: the control thread hears once when a
    // gap puts it in recovery (the agent block shows a recovering standby)
    // and once when it has caught up again.
    // CONF_END_REPLICATION to the control thread; the check is over.
    void confirmEndReplication(int32 channelType, uint64 lastAcptMsgSeq);
    void noteReplicationGap(const SubscriptionRecord& sub);
    void noteReplicationRecovered(const SubscriptionRecord& sub);
    // Recovery from a recovery instance: an enquiry for the partition when
    // it is unknown, else a request from the subscription's instance on.
    // Without instances (none configured, or none running) what follows is
    // what a subscription does when no instance carries its topic.
    int32 requestMrmRecovery(SubscriptionRecord& sub, TopicRecoveryMode mode, int32 reason);
    // What a subscription does when no instance carries its topic.
    int32 recoverWithoutMrm(SubscriptionRecord& sub, int32 reason, bool& chkEndRecovMode);
    // A subscription that no publisher answered asks for what was published
    // before it came: a long recovery from an instance (the partition
    // enquired first when unknown), else, in recovery mode with nothing
    // received, its peers for their tail. Not with late-join recovery
    // skipped.
    void startLateJoinRecovery(SubscriptionRecord& sub);
    int32 processDataRecoveryRsp(PendingRqsRecord& pending, const sockaddr_in& from);
    int32 processTailLostRecoveryRsp(PendingRqsRecord& pending, const sockaddr_in& from);
    int32 processPendingDataRecoveryRqs(PendingRqsRecord& pending);
    int32 processPendingTailLostQuery(PendingRqsRecord& pending);
    int32 processPendingTailLostRecoveryRqs(PendingRqsRecord& pending);
    // The subscribing thread hears that the gap after seq stays open (once
    // per gap), and the subscription goes on past it: from what it holds
    // past the gap, else from oldestHeld (the publisher's oldest number, 0
    // when unknown), else from the next message that comes.
    void reportUnrecoverableGap(SubscriptionRecord& sub, uint64 seq, uint64 oldestHeld = 0);
    void dropRecoveryRequest(SubscriptionRecord& sub);
    // Whether the subscription's publisher was heard within three topic
    // time-outs.
    bool publisherHeard(const SubscriptionRecord& sub) const;
    // A retry after a busy answer, due at dueNs: served by the loop.
    void deferRetry(SubscriptionRecord& sub, bool tailLost, uint64 peerAppId, int32 peerInstId,
                    bool lastAttempt = true);
    void serveDueRetries(int64 nowNs);
    void dropRetries(const SubscriptionRecord* sub);

    // --- recovery instances (MRM) ---
    bool mrmConfigured() const;
    // Whether a recovery instance that could serve the subscription runs:
    // one of its partition (any, while the partition is unknown) publishes
    // its MRM topic.
    bool mrmInstanceRunning(const SubscriptionRecord& sub);
    bool mrmCrossSiteAllowed(const SubscriptionRecord& sub) const;
    int32 enquireMrmPartition(SubscriptionRecord& sub, int32 reason);
    int32 processMrmPartitionEnqRqs(int32 len, const sockaddr_in& from);
    int32 processMrmPartitionEnqRsp(PendingRqsRecord& pending, const sockaddr_in& from);
    int32 processPendingMrmPartitionEnquiry(PendingRqsRecord& done);
    int32 sendMrmRecoveryRqs(int32 partitionId, int32 startingInstId, TopicRecoveryMode mode, SubscriptionRecord& sub,
                             uint64 lastRcvdSeq, int64 nowNs, bool resent, int32 endingInstId, int32 firstInstId = -1);
    // The walk's next instance after instId: this process's own instance is
    // skipped on an instance.
    int32 nextMrmInstance(int32 instId) const;
    SubscriptionRecord* mrmTopicSubscription(int32 partitionId, int32 instId, bool local);
    // The application id of a partition's instances; false when the base
    // name leaves no room for the number.
    bool mrmPartitionAppId(int32 partitionId, ApplicationID& out) const;
    int32 sendOnRecoveryTopic(const char* record, int32 len, const char* appId, int32 instId);
    int32 processMrmTopicMsg(SubscriptionRecord& mrmSub, const TopicMessage& msg, const sockaddr_in& from,
                             const timespec& currTm, int64 nowNs, PeerLogLimit& limit);
    int32 processMrmRecoveryRsp(const MrmRecoveryRsp& rsp, const TopicMsgHeader& hdr, const sockaddr_in& from);
    // On a recovery instance: a request addressed to it on a recovery-request
    // topic it does not subscribe to is refused at once (MRM_NOT_AVAILABLE),
    // so the requester moves on instead of waiting out its time-outs. True
    // when msg was such a request.
    bool refuseUncarriedMrmRqs(const TopicMessage& msg, const ResourceName& name);
    int32 processMrmRecoveredData(const MrmDataMsg& data, uint32 innerLen, const TopicMsgHeader& hdr,
                                  const sockaddr_in& from, const timespec& currTm, int64 nowNs, PeerLogLimit& limit);
    int32 processMrmFailure(const MrmFailureMsg& f, const TopicMsgHeader& hdr, PeerLogLimit& limit);
    // The subscription of topic whose MRM session is senderInstId's
    // sessionId, or null.
    SubscriptionRecord* sessionSubscription(const char (&topic)[17], int32 senderInstId, uint32 sessionId,
                                            ResourceName& name);
    // Ends the session and asks instId again; a gap that stays open when no
    // instance can be asked.
    void restartMrmSession(SubscriptionRecord& sub, int32 instId, TopicRecoveryMode mode, int64 nowNs);
    // An MRM recovery that ended without the instance: the publisher once
    // more or the peers, else the gap stays open.
    void mrmFallBack(SubscriptionRecord& sub);
    int32 notifyMrmEndRecovery(SubscriptionRecord& sub);
    int32 notifyMrmEndRecovery(int32 partitionId, int32 instId, const ResourceName& topic);
    int32 notifyMrmEndRecovery(const char* appId, int32 instId, const ResourceName& topic);
    void removePendingMrmRqs(SubscriptionRecord& sub);
    void handleOutstandingMrmRqs(int64 nowNs);
    int32 reinitiateMrmRecovery(int32& numTopicReinitiated, int64 nowNs, int32 partitionId, int32 instId,
                                bool longRecoveryOnly);
    void getNumMrmRecovery(const SubscriptionRecord& mrmSub, int32& mrmRqsCnt, int32& mrmRecoveryCnt);
    // A gap of gapSize on this process's subscription of an instance's own
    // topic (again: found while it is recovered already). True when the
    // instance is to resend it; else it was let go, after a gap too large to
    // ask had restarted this process's long sessions of that instance.
    bool mrmTopicGapToResend(SubscriptionRecord& sub, uint64 gapSize, int64 nowNs, bool again);
    // The instance could not resend its topic (code, 0 when it did not
    // answer): this process's long sessions of it start over. False when the
    // topic names no instance.
    bool restartMrmTopicSessions(SubscriptionRecord& sub, int32 code);
    int32 processMrmHeartbeat(int32 len, const sockaddr_in& from);
    // A recovery that stalled or went quiet asks the instance after instId
    // (the timer's rules).
    void restartMrmRecovery(SubscriptionRecord& sub, int32 nextInstId, int64 nowNs);
    // The timer's look at one subscription's MRM state: heartbeats of
    // instances, the long-recovery report, MRM topics without publisher.
    void checkMrmSubscription(SubscriptionRecord& sub, int64 nowNs);
    // Ends what a stalled recovery runs (an MRM session, or the request to
    // the publisher); the instance to ask next.
    int32 endRecoveryForRestart(SubscriptionRecord& sub);
    // A resend from the publisher, answered and under way, that has taken
    // nothing for two recovery time-outs short of the end it announced.
    bool resendStoppedShort(const SubscriptionRecord& sub, int64 nowNs) const;
    void joinMrmChannels(const SubscriptionRecord& sub);
    void leaveMrmChannelsWhenIdle();
    bool mrmActive() const;
    // A request that waits for the channels' join lead time, or for the
    // pause before a repeat: sent by the loop when due.
    void deferMrmRqs(SubscriptionRecord& sub, int32 partitionId, int32 instId, TopicRecoveryMode mode, bool resent,
                     int32 endingInstId, int32 firstInstId, int64 dueNs, int32 waits = 0);
    void serveDueMrmRqs(int64 nowNs);

    // --- gap recovery, serving (publisher and peer side) ---
    int32 processDataRecoveryRqs(int32 len, const sockaddr_in& from);
    int32 processDataRecoveryRqs2(int32 len, const sockaddr_in& from);
    int32 processTailLostQuery(int32 len, const sockaddr_in& from);
    int32 processTailLostRecoveryRqs(int32 len, const sockaddr_in& from);
    int32 processTailLostRecoveryRqs2(int32 len, const sockaddr_in& from);
    // Whether a resend request is taken as covered by the last resend.
    bool coveredByLastResend(const TopicRecord& rec, const MslMsgRqs& r, int64 rcvdNs) const;
    void sendRecoveryRsp(MslMessage& tmpl, const MslMsgRqs& r, int32 status, int32 errorCode, uint64 begin,
                         uint64 end);
    // Between two slices of a resend: heartbeats of the other topics and
    // the requests that arrived meanwhile, answered busy.
    void serveBetweenSlices(const ResourceName& resentTopic);
    void completePublisherLeave(SubscriptionRecord& sub);
    int32 resubscribeAfterPublisherRemoved(SubscriptionRecord& sub, const TopicMessage& msg, const sockaddr_in& from);
    int32 serveTopicSocket(MslChannelRecord* rec, bool data, const WireOrderInfo* wire);

    // --- control channels ---
    bool isOwnLoopback(const MslMsgHeader& hdr, const sockaddr_in& from) const;
    bool isLocalAddr(in_addr_t addr) const;
    // One batch of a control channel into the receive buffer, each record
    // to handle: up to the wire-order report's size when there is one, else
    // limit records. what names the channel in the log.
    int32 readControlBatch(MslSocket& sock, PeerLogLimit& logLimit, const WireOrderInfo* wire, int32 limit,
                           const char* what, int32 (MessagingService::*handle)(int32, const sockaddr_in&));
    int32 handleRequest(int32 len, const sockaddr_in& from);
    int32 handleAnswer(int32 len, const sockaddr_in& from);
    int32 dispatchRequest(uint32 cmd, int32 len, const sockaddr_in& from);
    // The request in the request channel's buffer when it has a request's
    // size (else sizeText, with the size and the expected one, through the
    // channel's limiter, and null) and, with toThisInstance, is addressed to
    // this process and instance (else null).
    const MslMsgRqs* checkedRequest(int32 len, const char* sizeText, bool toThisInstance = false);
    // The topic's channel pair for role; a failure logged with the topic's name.
    int32 locateChannels(const MsgTopicResource& topic, MslChannelRole role, MslChannelRecord*& chn);
    // The first record of records[0..count) not in use, or null.
    template <typename Record>
    static Record* firstUnused(const std::unique_ptr<Record[]>& records, int32 count)
    {
        for (int32 i = 0; i < count; ++i)
            if (!records[i].used)
                return &records[i];
        return nullptr;
    }
    // An answer's request out of the table; its subscription, or null.
    SubscriptionRecord* settleAnswered(const PendingRqsRecord& req);
    // A recovery request's subscription, no longer waiting on it, or null.
    SubscriptionRecord* subscriptionOf(const PendingRqsRecord& req);
    // The published topic a request names when it is ready to serve, or null.
    TopicRecord* findReadyPublishedTopic(const char (&field)[17], ResourceName& name);
    int32 dispatchAnswer(uint32 cmd, PendingRqsRecord& pending, int32 len, const sockaddr_in& from);
    // A peer-caused line, through the channel's limiter.
    void peerLog(PeerLogLimit& limit, int32 level, const char* format, ...) __attribute__((format(printf, 4, 5)));
    void stampWire(MslMsgHeader& hdr) const;

    MslSocketFactory* m_socketFactory;
    MslMcastSocketFactory m_mcastFactory;
    std::unique_ptr<MslDropHook> m_dropHook;
    std::unique_ptr<MslLossySocketFactory> m_lossyFactory;
    const FileDescMultiplexer::OnloadApi* m_onloadApi;
    OptimizationMode m_optMode = CPU_UTILIZATION;

    ThreadResource* m_ctlThdResPtr = nullptr;
    ResourceName m_repliTopicNameTxt{};
    UInt128 m_repliTopicId;
    ResourceName m_recovTopicNameTxt{};
    UInt128 m_recovTopicId;
    int32 m_mrmPartitionId = -1;

    // Templates filled once with this process's identity.
    MslMessage m_rqsTemplate{};
    MslMessage m_ansTemplate{};
    MslMessage m_dataRecoveryRspTemplate{};
    MslMessage m_tailLostRecoveryRspTemplate{};
    MslMessage m_mrmPartitionRspTemplate{};
    MslMessage m_confirmTemplate{};
    MslMessage m_cmdKeepalive{};
    MslMessage m_ackKeepalive{};
    MslMessage m_mrmHeartbeat{};
    // The receive buffer of both control channels.
    MslMessage m_rcvMsg{};

    bool m_initEventRcvd = false;
    bool m_connInitDone = false;
    // SW_ACTIVE came (and no SW_STANDBY since): the instance counts as active
    // before the control thread stores the mode, once every thread answered.
    bool m_swActiveRcvd = false;
    // Set when CONN_INIT was put back to wait for the recovery-request
    // topic: the queue's batch ends there, so the handshake it waits for
    // is served meanwhile.
    bool m_connInitRequeued = false;
    int64 m_connInitWaitSinceNs = 0; // when CONN_INIT first waited (0: not waiting)
    bool m_noAppRepliTopic = true;
    bool m_endRecoveryNotificationSent = false;
    bool m_repliTopicInRecovery = false;
    bool m_drainAllAck = false;
    bool m_chkEndRepli = false;
    // The end of replication of an application-replication topic left
    // while messages for its thread still waited parked: confirmed, with its
    // channel type and last number, once they are delivered.
    bool m_endRepliHeld = false;
    int32 m_endRepliChannelType = 0;
    uint64 m_endRepliSeq = 0;
    bool m_errorTermination = false;
    int32 m_savedStatusCheckInterval = 0;

    MslRequestIds m_rqsIds;
    uint32 m_mrmRqsId = 0;
    int64 m_lastRqsSentNs = 0;
    int64 m_lastAnsSentNs = 0;
    // A request channel that would not take a send is reported once, and
    // again when it takes sends again.
    bool m_rqsSendBlocked = false;

    std::unique_ptr<in_addr_t[]> m_localAddr;
    int32 m_numLocalAddr = 0;
    IpAddress m_interfaceTxt{};
    IpAddress m_mrmInterfaceTxt{};

    // Receive buffers of topic traffic, allocated once.
    int32 m_numRcvSlots = 0;
    // Datagrams read per readiness of the replication channel: the window of
    // the replication topic's publisher, NUM_MSG_RCV_MAX until one is known.
    int32 m_repliRcvBatch = 0;
    std::unique_ptr<char[]> m_topicRcvBuf;
    std::unique_ptr<MslDatagramSlot[]> m_topicRcvSlots;

    std::unordered_map<uint32, PendingRqsRecord> m_pendingRqs;
    std::unordered_map<uint32, PendingMrmRqsRecord> m_pendingMrmRqs;

    std::unique_ptr<TopicRecord[]> m_topicRecs;
    std::unique_ptr<SubscriptionRecord[]> m_subRecs;
    std::unique_ptr<UnsortedMap<UInt128>> m_topicMap;
    std::unique_ptr<UnsortedMap<UInt128>> m_subMap;
    std::unique_ptr<UnsortedMap<UInt128>> m_normalRecoveryMap;
    std::unique_ptr<UnsortedMap<UInt128>> m_mrmRecoveryMap;

    // Declared before the sockets and the channel table, which unregister
    // from it when they go.
    std::unique_ptr<FileDescMultiplexer> m_fdWait;
    int32 m_maxNumDesc = 0;
    std::unique_ptr<FileDescriptor*[]> m_readyFds;
    std::unique_ptr<IoWaitType[]> m_ioTypes;
    std::unique_ptr<WireOrderInfo[]> m_wireOrder;
    std::unique_ptr<Timer> m_timer;
    int64 m_lastTimerNs = 0;
    int64 m_lastPassNs = 0;

    std::unique_ptr<MslSocket> m_rcSock;
    std::unique_ptr<MslSocket> m_racSock;
    std::unique_ptr<MslChannelTable> m_channelTable;

    PeerLogLimit m_rcLogLimit;
    PeerLogLimit m_racLogLimit;
    MslControlStats m_stats;
    MslTopicStats m_topicStats;
    // Every topic object made; records point into it. A topic that closes
    // stays until the service goes: an application thread may still be
    // inside its send.
    std::deque<std::unique_ptr<MessagingTopic>> m_topicObjects;
    // The pending sweep's due ids, kept between sweeps.
    std::vector<uint32> m_dueRqsIds;
    // Retries after a busy answer, each due at its time.
    struct DeferredRetry
    {
        SubscriptionRecord* sub;
        bool tailLost;
        uint64 peerAppId;
        int32 peerInstId;
        int64 dueNs;
        bool lastAttempt;
    };
    std::vector<DeferredRetry> m_retries;
    int64 m_lastMrmHbSentNs = 0;
    bool m_mrmChannelsJoined = false;
    struct DeferredMrmRqs
    {
        SubscriptionRecord* sub;
        int32 partitionId;
        int32 instId;
        TopicRecoveryMode mode;
        bool resent;
        int32 endingInstId;
        int32 firstInstId;
        int64 dueNs;
        int32 waits; // for this instance's recovery-request topic to open
    };
    std::vector<DeferredMrmRqs> m_mrmDeferred;
    bool m_mrmCrossSiteJoined = false;
    // An MRM record's embedded topic message, copied out of the receive
    // slot into a whole message.
    TopicMessage m_mrmInnerMsg{};
    // A resend runs: requests read meanwhile are answered busy.
    bool m_resendInProgress = false;
    TopicRecord* m_recovTopicRecPtr = nullptr;
    SubscriptionRecord* m_repliSubRecPtr = nullptr;
    SubscriptionRecord* m_appRepliSubRecPtr = nullptr;
    timespec m_currWoTm{};
};
