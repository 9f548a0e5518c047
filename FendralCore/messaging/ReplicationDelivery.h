// Delivery of replicated messages and events into the application thread
// (or pipeline) that owns their channel, on either instance: the active
// replicator once the standby has acknowledged a record, the standby's
// replication receiver as if it had received or sent the message itself.
//
// Built on the one delivery helper of the receiving threads (MsgForwarder):
// a queue keeps THREAD_MSGQ_RESERVED_ENTRIES free for events, what does not
// fit is parked in the channel's store under MSG_REPLI_MSG_LIST and the owner
// told once, parked messages go first, and retry() moves them on at the
// owner thread's timer. On top of it:
// - parts of a message bound for a pipeline are joined per originator and
//   channel into one entry; a part out of order drops the partial join, a
//   first part starts a new one;
// - an outgoing message whose sender asked for it is copied to a forward
//   thread.
//
// One object per replication thread, used on that thread only.
#pragma once

#include "FendralCore/dispatch/MsgForwarder.h"
#include "FendralCore/foundation/FwTypes.h"
#include "FendralCore/foundation/Int128.h"
#include "FendralCore/runtime/FrameworkResource.h"
#include "FendralCore/runtime/FwIntMessage.h"

#include <map>
#include <memory>
#include <utility>

class EventMessage;
class PeerLogLimit;
class ResourceManager;

class ReplicationDelivery
{
public:
    // Partial pipeline messages joined at a time (per originator and
    // channel): records from the wire cannot make more.
    static constexpr uint32 MAX_JOINS = 64;

    // Where one channel's messages go, read from its resource record.
    struct Channel
    {
        ExtChannelType chnType = TCP_CHANNEL;
        ResourceName name{};
        ResourceName owner{}; // the owning thread
        MessageQueueType queueType = MQUEUE_NORMAL;
        FwMessageQueue* queue = nullptr;
        FwMessageQueue* altQueue = nullptr;
        MessageStore* store = nullptr;
        bool usePipeline = false;
        Pipeline* pipeline = nullptr;
        ResourceName pipelineName{};
        PlMessageStore* plStore = nullptr;
        // TCP: the journal flag handed on in peerAppSiteId.
        bool tcp = false;
        int32 journalFlag = 0;
        // This instance's record of the channel: what the owner sees in
        // fdPtr of data and resPtr of events.
        void* resPtr = nullptr;
    };
    static void channelOf(TcpConnResource& res, Channel& c);
    static void channelOf(UdpConnResource& res, Channel& c);
    static void channelOf(MsgTopicResource& res, Channel& c);

    // sender sends the congestion events and the delivered events, stamped
    // from msgSeqNum; maxMsgSize bounds a joined message.
    ReplicationDelivery(EventMessage& sender, ResourceManager& resMgr, uint32& msgSeqNum, uint32 maxMsgSize);
    ~ReplicationDelivery();

    ReplicationDelivery(const ReplicationDelivery&) = delete;
    ReplicationDelivery& operator=(const ReplicationDelivery&) = delete;

    // Moves the channel's parked messages on, oldest first, while the
    // target has room. True when some stay parked.
    bool drain(const Channel& c);

    // One data message (or part) of the channel to its owner: after the
    // channel's parked messages, behind them when some stay. flag goes into
    // the delivered copy; originator, when not null, replaces the sender's
    // name. 0 (put, parked or joined), or -1 with the code; outcome tells
    // which (FWD_PUT also for a part held in a join).
    int32 deliverData(const Channel& c, const FwIntMessage& msg, ReplicationFlag flag, const char* originator,
                      MsgForwarder::Outcome& outcome);

    // A connection or topic event of the channel to its owner, with msg's
    // parameters, resPtr replaced by the channel's record.
    int32 deliverEvent(const Channel& c, const FwIntMessage& msg, ReplicationFlag flag);

    // A copy of an outgoing message of channel c for the thread fwd: after
    // fwd's own parked messages, with a fresh sequence number, from c's
    // owner. recipientIsFwd names fwd as the copy's recipient (the active
    // side); the standby keeps the record's.
    int32 forwardCopy(ThreadResource& fwd, const Channel& c, const FwIntMessage& msg, bool recipientIsFwd);

    // The timer's retry of everything parked.
    int32 retry();
    bool hasUnsent() const { return m_fwd.hasUnsent(); }
    MsgForwarder& forwarder() { return m_fwd; }

    // Joins in progress (tests and the log).
    size_t numJoins() const { return m_joins.size(); }

    // Where the parts come from a peer (the standby's records): the lines
    // they cause go through limit.
    void setPeerLogLimit(PeerLogLimit* limit) { m_peerLog = limit; }

private:
    struct Join
    {
        int32 lastPartNum = -1; // -1: none in progress
        uint32 len = 0;
        std::unique_ptr<char[]> buf; // header room, then the payload
    };
    using JoinKey = std::pair<UInt128, UInt128>; // originator, channel

    int32 deliverViaQueue(const Channel& c, const FwIntMessage& msg, ReplicationFlag flag, const char* originator,
                          MsgForwarder::Outcome& outcome);
    int32 deliverViaPipeline(const Channel& c, const FwIntMessage& msg, ReplicationFlag flag,
                             const char* originator, MsgForwarder::Outcome& outcome);
    void fillHeader(PipelineMsgHeader& h, const Channel& c, const FwIntMessage& msg, ReplicationFlag flag,
                    const char* originator, uint32 dataLen) const;
    EventParam congestParam(const Channel& c) const;
    void joinLog(const char* format, ...) __attribute__((format(printf, 2, 3)));

    EventMessage& m_sender;
    ResourceManager& m_resMgr;
    uint32& m_msgSeqNum;
    const uint32 m_maxMsgSize;
    MsgForwarder m_fwd;
    std::map<JoinKey, Join> m_joins;
    FwIntMessage m_tmpDataMsg{};
    FwIntMessage m_forwardMsg{};
    PipelineMsgHeader m_plHdr{};
    PeerLogLimit* m_peerLog = nullptr;
};
