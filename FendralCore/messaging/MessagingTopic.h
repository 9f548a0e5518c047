// One open messaging topic of this process: the publishing side of a topic
// it publishes, or the subscribing side of a topic it subscribes to. The
// messaging service creates one per open topic and hangs it on the topic's
// registry record (msgTopicPtr), where application threads find it to send.
//
// Publishing: sendMessage cuts a message into parts of at most 1200 bytes
// with consecutive sequence numbers, asks the acknowledgement window whether
// they may go now, sends them on the topic's data channel and keeps each in
// the history ring. The topic record's baton (compare-and-swap from 0 to 1)
// serialises everything that uses the sequence number, the prepared data
// record and the history: sending threads, heartbeats and resends. The
// service thread keeps the subscriber bookkeeping from the acknowledgements
// (processMsgAck) without the baton; sending threads read those positions
// relaxed, so a decision may use a slightly stale one, never a torn one.
//
// Subscribing: processMessage, on the service thread, accepts datagrams
// strictly in sequence, reports gaps, acknowledges every numUnackMsgMax-th
// accepted message, joins the parts of a message, and delivers each whole
// message to the subscribing thread in framework messages of at most 2200
// bytes through the service's delivery helper, which parks what a full queue
// cannot take. While a gap is recovered, live messages may wait in a
// recovery ring and are replayed in order once the recovered ones caught up.
//
// History: every sent (publisher) or accepted (subscriber) datagram stays in
// the history ring until it is the oldest of a full ring, so ranges can be
// resent: by the publisher to subscribers that report a gap, by a subscriber
// to peers that lost the tail of the stream.
//
// Threads: sendMessage (and the interface call behind msgTopicPtr) on any
// application thread and the replicator; everything else on the messaging
// service thread only.
#pragma once

#include "FendralCore/dispatch/MsgForwarder.h"
#include "FendralCore/foundation/FwTypes.h"
#include "FendralCore/messaging/MessagingCommon.h"
#include "FendralCore/messaging/SubscriptionRecord.h"
#include "FendralCore/messaging/TopicMessage.h"
#include "FendralCore/messaging/TopicRecord.h"
#include "FendralCore/runtime/FwIntMessage.h"
#include "FendralCore/runtime/RingBuffer.h"
#include "FendralCore/runtime/TopicPublisher.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <netinet/in.h>
#include <utility>

class EventMessage;
class MslSocket;
struct PipelineMsgHeader;

using TopicRing = RingBuffer<TopicMessage>;

class MessagingTopic : public TopicPublisher
{
public:
    // Parts of a message kept back while a rewinding send is under way.
    static constexpr int32 MULTIPART_STAGING_MAX = 28;
    // A part whose send would block is tried this often, a pause apart.
    static constexpr int32 PART_SEND_TRY_CNT = 5;
    static constexpr int32 PART_SEND_PAUSE_US = 100;
    // How long sendMessage waits for the baton before WOULD_BLOCK.
    static constexpr int64 BATON_WAIT_NS = 1000000000;
    // Tries at the baton between two yields of the processor.
    static constexpr int32 BATON_SPINS_BEFORE_YIELD = 100;
    // A resend holding the baton ends its slice early, after at least this
    // many messages, when a sending thread waits for the baton: a sender
    // starved past the service's short wait between slices is not held for
    // a second whole slice.
    static constexpr int32 RESEND_MSGS_BEFORE_YIELD = 1000;
    static constexpr int32 RING_RETRY_CNT = 5;
    static constexpr int32 RING_RETRY_INTERVAL_US = 20;
    static constexpr uint32 PL_HDR_SIZE = 152;

    // Where a received message comes from.
    enum TopicMsgSrc : int32
    {
        SRC_PUBLISHER = 0,
        SRC_MRM = 1,
        SRC_REPLAY = 2,
        SRC_FORCE_REPLAY = 3,
    };

    // A subscriber as the publisher knows it. Packed into one 128-bit map
    // key: the application id, then address, instance, site and kind.
    struct SubInfo
    {
        uint64 appId;
        in_addr_t ipAddr; // network order
        uint16 instId;
        uint8 siteId;
        uint8 mrmInd;

        std::pair<uint64, uint64> key() const
        {
            return {appId, (static_cast<uint64>(ipAddr) << 32) | (static_cast<uint64>(instId) << 16) |
                               (static_cast<uint64>(siteId) << 8) | mrmInd};
        }
    };

    struct SubAckRecord
    {
        SubInfo info;
        int64 lastAckRcvdNs; // or its last recovery request
        uint64 lastAckedSeq;
        bool subscriberReady; // counts as effective
        bool inRecovery = false; // its last acknowledgement carried the recovery indicator
    };

    // One application thread's replicated outgoing message being joined.
    struct LargeMsgBuffer
    {
        int32 lastPartNumRcvd = -1; // -1: none in progress
        uint32 bufOffset = 0;
        std::unique_ptr<char[]> bufPtr;
        uint32 bufSize = 0;
    };

    // What the service counts of a subscriber topic's input.
    struct SubscriberStats
    {
        uint64 accepted = 0;
        uint64 duplicates = 0;
        uint64 gaps = 0;
        uint64 delivered = 0; // whole messages handed to the helper
        uint64 incomplete = 0; // joins dropped for a missing or late part
        uint64 oversize = 0;   // joins past the maximum message size
    };

    // The publishing side: the record, the topic pair's sockets, the
    // interface (a subscriber at another address is remote) and whether the
    // topic carries replication traffic.
    MessagingTopic(MessagingCommon& common, EventMessage& events, TopicRecord* topicRec, MslSocket* dataChannel,
                   MslSocket* ackChannel, in_addr_t interfaceAddr, bool replicationTopic);
    // The subscribing side.
    MessagingTopic(MessagingCommon& common, EventMessage& events, SubscriptionRecord* subRec, MslSocket* dataChannel,
                   MslSocket* ackChannel, in_addr_t interfaceAddr, bool replicationTopic);
    ~MessagingTopic() override;

    MessagingTopic(const MessagingTopic&) = delete;
    MessagingTopic& operator=(const MessagingTopic&) = delete;

    // --- TopicPublisher ---
    // rewindOnFailure: a failure gives back every number of the message and
    // keeps none of its parts, so the next call must send the same message
    // (the replicator's retry; checked in debug builds).
    int32 sendMessage(const char* msg, uint32 len, uint64& msgSeq, uint64 applSeqNum, bool rewindOnFailure,
                      const char* recipientAppId, int32 recipientInstId, bool forceSend) override;
    // Recovery instances only: FUNC_NOT_ALLOWED for anyone else.
    int32 sendMrmMessage(MrmCmdType mrmCmd, uint32 mrmSessionId, const char* msg, int32 len, const char* appId,
                         int32 appInstId) override;

    // --- publishing side (service thread) ---
    int32 sendTopicHeartbeat();
    int32 processMsgAck(const TopicDataMsgAck& ack, uint64 subAppId, in_addr_t subIpAddr, int64 nowNs);
    // 1 added, 0 already present or not a publisher.
    int32 addSubscriberInfo(uint64 subAppId, int32 instId, int32 siteId, in_addr_t ipAddr, bool mrmAppl,
                            uint64 lastSeqNum);
    // 1 removed, 0 unknown.
    int32 removeSubscriberInfo(uint64 subAppId, int32 instId, int32 siteId, in_addr_t ipAddr, bool mrmAppl);
    void removeDrSubscriberInfo();
    void removeMrmSubscriberInfo();
    void removeDrMrmSubscriberInfo();
    void removeAllSubscriberInfo();
    int32 addPassiveSubInfo(uint64 subAppId, int32 instId, int32 siteId, in_addr_t ipAddr, bool mrmAppl);
    int32 removePassiveSubInfo(uint64 subAppId, int32 instId, int32 siteId, in_addr_t ipAddr, bool mrmAppl);
    // 1 with the first passive subscriber of siteId and kind, taken out.
    int32 retrievePassiveSubInfo(int32 siteId, bool mrmAppl, SubInfo& out);
    // 1 when a subscriber silent for three topic time-outs was dropped.
    int32 checkSubStatus(int64 nowNs);
    // A subscriber asked for a resend: it is heard from, as by an
    // acknowledgement.
    void noteSubscriberHeard(uint64 subAppId, int32 instId, int64 nowNs);
    int32 getSubscriberCnt() const { return static_cast<int32>(m_subAckMap.size()); }
    int32 getPassiveSubCnt() const { return static_cast<int32>(m_passiveSubMap.size()); }

    // --- subscribing side (service thread) ---
    int32 processMessage(const TopicMessage& msg, in_addr_t pubIpAddr, const timespec& currTm, int64 nowNs,
                         const timespec& woTm, uint64& gapSize, TopicMsgSrc msgSrc, bool lastMsgInBatch);
    int32 sendTopicHeartbeatAck(bool gapDetected);
    // Moves parked messages on while the recipient has room; 0.
    int32 processBufferedMsg();
    int32 bufferMsgInRecovery(const TopicMessage& msg, in_addr_t pubIpAddr, const timespec& currTm, int64 nowNs,
                              int32 lastStatus, int32 lastError, uint64 gapSize);
    int32 replayBufferedMsgInRecovery(const TopicMessage* msg, const timespec& currTm, int64 nowNs,
                                      bool replayInTimer, bool replayInGap);
    int32 onTimerReplayBufferedMsgInRecovery(const timespec& currTm, int64 nowNs);
    void resetBufferMsgInRecovery();
    // How many messages after the last accepted one this subscriber lacks
    // before the first it holds past a gap; 0 when it holds none.
    uint64 lackedBeforeHeld() const;
    // Goes on past a gap that was reported unrecoverable: from what is held
    // past it (in order), else from oldestHeld (the publisher's oldest, 0
    // when unknown), else from the next whole message that arrives. 0, or
    // the failure of a delivery.
    int32 passGap(const timespec& currTm, int64 nowNs, uint64 oldestHeld);
    bool bufferingInRecovery() const { return m_bufMsgInBuffering; }
    bool replayingInRecovery() const { return m_bufMsgInReplay; }

    // --- history and resends (service thread; the publisher's under the baton) ---
    int32 chkResendRange(uint64 startSeq, uint64& lastSeq);
    int32 chkTailLostResendRange(uint64 startSeq, uint64& lastSeq);
    int32 resend(uint64 msgSeq, uint64& lastResentSeq, bool& more, uint8 recoverySessionId);
    int32 tailLostResend(uint64 msgSeq, uint64& lastResentSeq, bool& more);
    // The same, ending at endSeq: a resend served slice by slice stops at
    // the end it announced, whatever was sent since.
    int32 resend(uint64 msgSeq, uint64 endSeq, uint64& lastResentSeq, bool& more, uint8 recoverySessionId);
    int32 tailLostResend(uint64 msgSeq, uint64 endSeq, uint64& lastResentSeq, bool& more);
    // The oldest number the publisher's history holds (0: none), and the
    // newest; under the baton.
    uint64 oldestHeldSeq(uint64& newest);
    // Takes over the repository's copy of this topic (a publisher starting).
    void populateTopicHistory(MessagingCommon::TopicHistoryBuffer& from);
    // Hands what this subscriber accepted to the repository (switch to active).
    void transferTopicHistory(MessagingCommon::TopicHistoryBuffer& to);
    // A replicated outgoing message (a framework message of a thread of the
    // active instance), joined per originating thread and stored as this
    // topic's history in the repository.
    int32 storeRepliFwMsg(const FwIntMessage& fwMsg, const ResourceName& topicNameTxt);
    // A recovery instance's record on an MRM topic: accepted in order, its
    // embedded topic message returned for the service.
    int32 processMrmMessage(const TopicMessage& msg, const TopicDataMsg*& dataMsgPtr, int64 nowNs,
                            uint64& gapSize);

    // --- state ---
    bool isPublisher() const { return m_topicRecPtr != nullptr; }
    bool isPublishReady() const;
    uint64 getLastSeqNum() const;
    bool isMsgQueueCongested() const;
    // A subscriber takes the publisher's window; ignored by a publisher.
    void setNumUnackMsgMax(uint32 n);
    uint32 numUnackMsgMax() const { return m_numUnackMsgMax; }
    uint32 outstandingMsgMax() const { return m_outstandingMsgMax; }
    const ResourceName& topicName() const { return m_topicNameTxt; }
    MsgTopicResource* resource() const { return m_topicResPtr; }
    TopicRing& history() { return *m_bufferPtr; }
    int32 historyLastIdx() const;
    const SubscriberStats& subscriberStats() const { return m_stats; }
    // Whether the gap the last message showed is a new one: a gap that stays
    // open (nothing recovers it) is logged once, not with every message
    // after it.
    bool gapIsNew() const { return m_gapIsNew; }
    // A topic event to the application: through the replicator, a pipeline
    // or the thread's queue, parked when it is full. 0 or the send's failure.
    int32 sendTopicEventMsg(FwEventID eventId, EventParam& para);
    // A subscriber status event of a published topic (first subscribers
    // joined, last ones left): the replicator always hears those of the
    // replication and application-replication topics; an application's
    // thread only when SUBSCRIB_STS_EVT is set. 0 when nothing is sent.
    int32 sendSubscriberStatusEvt(FwEventID eventId, EventParam& para);

private:
    // --- construction ---
    void initialize();
    void initDelivery();

    // --- publishing ---
    bool takeBaton(int64 limitNs);
    void releaseBaton();
    int32 sendPart(const char* bytes, int32 len);
    int32 decideWindow(uint64 parts, bool forceSend, int64 nowNs, int32& code);
    void storeSent(const TopicMessage& msg, bool staged);
    void ackPositions(const SubInfo& who, uint64 seq, bool remote);
    // The window's positions from the subscribers as they stand now.
    void updateWindowPositions(int64 nowNs);
    void becomeEffective(const SubInfo& who, bool remote);
    void loseEffective(const SubInfo& who);
    int32 addSub(std::map<std::pair<uint64, uint64>, SubAckRecord>& map, const SubInfo& info, uint64 lastSeq);

    // --- subscribing ---
    int32 processHeartbeat(const TopicHeartbeat& hb, uint64& gapSize);
    int32 acceptMessage(const TopicMessage& msg, in_addr_t pubIpAddr, const timespec& currTm, int64 nowNs,
                        const timespec& woTm, TopicMsgSrc msgSrc);
    int32 sendAckAfterAccept(TopicMsgSrc msgSrc, bool lastMsgInBatch, int64 nowNs);
    // An empty publisher id of the subscription takes the sender's.
    void fillPublisherFrom(const TopicMsgHeader& hdr);
    int32 sendAck(TopicDataMsgAck& ack, uint64 intervalSeq, bool recovery, int64 nowNs);
    int32 assemble(const TopicMessage& msg, in_addr_t pubIpAddr, const timespec& currTm, const timespec& woTm);
    int32 deliver(const char* data, uint32 len, uint64 msgTopicSeq, const TopicMsgHeader& hdr, in_addr_t pubIpAddr,
                  const timespec& currTm, const timespec& woTm);
    int32 deliverViaQueue(const char* data, uint32 len, uint64 msgTopicSeq, const TopicMsgHeader& hdr,
                          in_addr_t pubIpAddr, const timespec& currTm, const timespec& woTm);
    int32 deliverViaPipeline(const char* data, uint32 len, uint64 msgTopicSeq, const TopicMsgHeader& hdr,
                             in_addr_t pubIpAddr, const timespec& currTm, const timespec& woTm);
    bool addressedElsewhere(const TopicMsgHeader& hdr) const;
    void storeAccepted(const TopicMessage& msg);
    void startBuffering(const TopicMessage& msg, in_addr_t pubIpAddr, const char* why);
    int32 storeBuffered(const TopicMessage& msg, const timespec& currTm, int64 nowNs);
    int32 replayRound(const timespec& currTm, int64 nowNs, bool fromTimer, bool inGap);
    // Publisher data that came ahead of a gap waits here (at most
    // AHEAD_SLOTS numbers past the last accepted one) and is taken in order
    // once the gap is filled, so that one resend fills a gap whatever else
    // the same datagrams lost meanwhile.
    void holdAhead(const TopicMessage& msg, in_addr_t pubIpAddr);
    // Jumps the subscription over lost numbers to stand at lastSeq: parts
    // joined before the gap never complete, and a later message's parts
    // must not be added to them.
    void skipTo(uint64 lastSeq);
    // The reported gap being passed is behind: the subscription stands past
    // its end, and a gap after it is a new gap.
    void leavePassedGap();
    int32 takeHeldAhead(const timespec& currTm, int64 nowNs, const timespec& woTm);

    // --- history ---
    int32 storeInRing(TopicRing& ring, const TopicMessage& msg, int32& lastIdx);
    int32 resendFrom(uint64 startSeq, uint64 lastSeq, int32 lastIdx, uint64& lastResentSeq, bool& more,
                     bool tailLost, uint8 sessionId, uint64 stopSeq = UINT64_MAX);
    void insertToTopicHistoryBuffer(const ResourceName& topicNameTxt, uint64 lastTopicSeq, const char* buf,
                                    uint32 len, const timespec& tm, uint64 applSeqNum);

    MessagingCommon& m_common;
    EventMessage& m_events;
    const MslSettings& m_settings;

    ResourceName m_topicNameTxt{};
    bool m_repliTopic;
    bool m_waitForDrSiteAck = false;
    bool m_waitForMrmAck = false;
    bool m_toMsgRepli = false;
    MsgTopicOpenType m_openType = PUBLISH;
    bool m_mrmApplication = false;

    // Joining the parts of one message: a pipeline entry header's room, then
    // the message.
    std::unique_ptr<char[]> m_tmpMsgBufPtr;
    char* m_tmpMsgBodyPtr = nullptr;
    uint32 m_tmpMsgBufSize = 0;
    uint32 m_tmpMsgBufOffset = 0;
    bool m_processingMultiPartMsg = false;
    int32 m_nextPartNum = 0;

    uint32 m_numUnackMsgMax = 1;
    uint32 m_outstandingMsgMax = 1;

    std::unique_ptr<TopicRing> m_bufferPtr;  // history
    std::unique_ptr<TopicRing> m_multipartMsgPtr; // staging of a rewinding send
    std::unique_ptr<TopicRing> m_bufMsgInRcvyPtr; // recovery ring

    static constexpr uint32 AHEAD_SLOTS = 4096;
    // Made at the first gap; a slot holds the number of its message, 0 when
    // empty.
    std::unique_ptr<TopicMessage[]> m_aheadMsgs;
    std::unique_ptr<uint64[]> m_aheadSeqs;
    std::unique_ptr<in_addr_t[]> m_aheadAddrs;
    uint64 m_aheadFloor = 0; // the last accepted number when last used
    uint64 m_aheadTop = 0;   // the highest number held (0: none since the start)

    // Prepared records.
    TopicMessage m_tmpTopicMsg{};  // the outgoing data message (under the baton)
    TopicMessage m_tmpTopicMsg2{}; // ring copies on the service thread
    TopicMessage m_tmpTopicMsgReplay{};
    TopicDataMsgAck m_tmpTopicMsgAck{};
    TopicMessage m_tmpTopicHeartbeat{};
    TopicDataMsgAck m_tmpTopicHeartbeatAck{};
    FwIntMessage m_dataMsg{};
    FwIntMessage m_bufferedDataMsg{};
    EventParam m_congestParam{};

    in_addr_t m_interfaceAddr;
    TopicRecord* m_topicRecPtr = nullptr;
    SubscriptionRecord* m_subRecPtr = nullptr;
    MslSocket* m_dataChannelPtr;
    MslSocket* m_ackChannelPtr;
    MsgTopicResource* m_topicResPtr = nullptr;
    ThreadResource* m_recipientThread = nullptr;
    ForwardTarget m_target;
    bool m_parked = false;
    bool m_toPipeline = false;
    std::map<UInt128, LargeMsgBuffer> m_largeMsgRepository;

    std::map<std::pair<uint64, uint64>, SubAckRecord> m_subAckMap;
    std::map<std::pair<uint64, uint64>, SubAckRecord> m_passiveSubMap;

    // Buffering during recovery.
    uint32 m_bufMsgInRcvySize = 0;
    uint64 m_bufMsgFirstSeq = 0;
    uint64 m_bufMsgLastSeq = 0;
    in_addr_t m_bufMsgFirstAddr = 0;
    bool m_bufMsgInBuffering = false;
    uint32 m_bufMsgNumReplayed = 0;
    bool m_bufMsgInReplay = false;
    bool m_bufMsgFullInReplayLog = false;
    bool m_bufMsgFullInBufferingLog = false;
    bool m_bufMsgCongestedLog = false;
    TopicMessage m_bufMsgLastReplayInCongested{}; // seqNum 0: none
    uint32 m_bufMsgTmxCnt = 0;

#ifndef NDEBUG
    // After a rewound failure, the message that must come next.
    bool m_rewound = false;
    uint32 m_rewoundLen = 0;
    uint64 m_rewoundHash = 0;
#endif

    SubscriberStats m_stats;
    // The last accepted number after which a gap was last noted.
    uint64 m_gapNotedAfter = ~uint64{0};
    bool m_gapIsNew = false;
    bool noteGap(uint64 lastAccepted)
    {
        m_gapIsNew = lastAccepted != m_gapNotedAfter;
        m_gapNotedAfter = lastAccepted;
        return m_gapIsNew;
    }
};
