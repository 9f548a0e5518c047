// What "MSG_REPLICATOR" runs while the instance is active. Every message of a
// replicated channel (TCP, UDP or topic data, and the channel's connection and
// topic events) is published on the application's replication topic and held
// until the standby has acknowledged it; only then does it take effect here:
// incoming data and events are delivered to the channel's thread, outgoing
// data is sent on its channel. Without a subscriber on the replication topic
// records are released at once.
//
// Held records are released strictly in the order they were replicated. The
// hold ring bounds them at 3 x REPLI_OUTSTD_MSG + 1; once it is full, no more
// data is taken from the normal queue, while the high-priority queue is still
// read: TERM, acknowledgements and the replication topic's subscriber events
// take effect at once, and whatever else it carries waits, in order, in a side
// list no longer than that queue. So a standby that stops acknowledging holds
// data back but neither blocks termination nor, once the messaging service has
// dropped it, the release of what is held.
//
// Owned and used by its own thread; the acknowledged position is written by
// the messaging service thread (setLastRepliMsgSeq), which then posts
// REPLICATION_ACK_RCVD to this thread's high-priority queue.
#pragma once

#include "FendralCore/dispatch/EventMessage.h"
#include "FendralCore/foundation/FileDescMultiplexer.h"
#include "FendralCore/foundation/FwTypes.h"
#include "FendralCore/foundation/Int128.h"
#include "FendralCore/messaging/ReplicatedOutput.h"
#include "FendralCore/messaging/ReplicationDelivery.h"
#include "FendralCore/runtime/FrameworkResource.h"

#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <vector>

class ConfigManager;
class GlobalData;
class ResourceManager;
class Timer;

class MsgReplicator : public EventMessage
{
public:
    // REPLI_OUTSTD_MSG as the hold ring reads it (the replication topic's
    // window reads the same key with a default of its own).
    static constexpr const char* REPLI_OUTSTD_MSG_LABEL = "REPLI_OUTSTD_MSG";
    static constexpr uint32 DEFAULT_HOLD_RING_OUTSTD_MSG = 1000;
    static constexpr const char* TMP_BUF_SIZE_LABEL = "TMP_BUF_SIZE";
    static constexpr const char* TMP_BUF_LIMIT_LABEL = "TMP_BUF_LIMIT";
    static constexpr const char* REP_MSG_PROC_NUM_LABEL = "REP_MSG_PROC_NUM";
    static constexpr int32 DEFAULT_REP_MSG_PROC_NUM = 20;
    static constexpr const char* STS_RPT_INTERVAL_LABEL = "STS_RPT_INTERVAL";
    static constexpr int32 DEFAULT_STS_RPT_INTERVAL = 500;
    static constexpr const char* REPLI_TIMER_INTV_LABEL = "REPLI_TIMER_INTV";
    static constexpr int32 DEFAULT_REPLI_TIMER_INTV = 100;
    static constexpr int32 NUM_PRINCIPLE_DESC = 3;
    // Would-blocks of the replication topic waited out (10 ms each) before
    // the record waits for the next timer tick instead.
    static constexpr int32 PUBLISH_WOULD_BLOCK_RETRIES = 10;

    // Subscriber status carried in paramInt64 of the notices to the
    // application threads.
    enum RepliSubscriberStatus : int64
    {
        REPLI_NO_SUBSCRIBER = 0,
        REPLI_NO_DR_SITE_SUBSCRIBER = 1,
        REPLI_SUBSCRIBER_AVAIL = 2,
        REPLI_DR_SITE_SUBSCRIBER_AVAIL = 3,
    };

    MsgReplicator(ThreadResource* threadResPtr, ResourceManager& resMgr, GlobalData& gblData,
                  const ConfigManager* configMgr);
    ~MsgReplicator() override;

    // Until TERM (execExitHdr 0) or a failure (execExitHdr 1). 0, the start-up
    // error, or -1 after an exception.
    int32 run(int32& execExitHdr);

    // The messaging service thread: the replication topic's acknowledged
    // position. The caller then posts REPLICATION_ACK_RCVD.
    static void setLastRepliMsgSeq(uint64 lastRepliMsgAcked);
    static uint64 lastRepliMsgSeq() { return s_lastRepliSeqAcked.load(std::memory_order_acquire); }

    // For tests and the thread manager's log.
    uint32 holdCapacity() const { return static_cast<uint32>(m_ring.size()); }
    uint32 held() const { return m_heldCount; }
    size_t waiting() const { return m_waiting.size(); }
    ReplicatedOutput& output() { return *m_output; }

private:
    struct MessageBuf
    {
        uint64 repliMsgSeq; // the replication topic's number of its last part
        FwIntMessage msg;
    };
    enum class Outcome
    {
        DONE,     // held, released or dropped with its log line
        DEFERRED, // to be tried again: ring full or topic blocked
    };

    int32 initialize();
    void loopCpu();
    void loopLowLatency();
    // Reads queue while allowed; true when it stopped with messages left.
    bool processQueue(FwMessageQueue* queue, bool high);
    void handleMessage();
    void handleEvent();
    void onTimer();
    void refreshLiveness();

    bool intakeOpen() const;
    bool sideRoom() const;
    void submit(const FwIntMessage& msg);
    void drainWaiting();
    Outcome replicateMessage(const FwIntMessage& msg);
    void processReplicatedMsg();
    void release(const FwIntMessage& msg);

    void waitForReplicationTopic();
    bool replicationTopicReady();
    void processRepliTopicEvent(const EventMsg& evt);
    bool isRepliTopicEvent(const EventMsg& evt) const;
    void postEventToApplThreads(FwEventID id, const EventParam& param, MessageQueueType queueType);
    void answer(FwEventID ack);

    // Release handlers.
    void processUnicastMessage(const FwIntMessage& msg);
    void processMulticastMessage(const FwIntMessage& msg);
    void processTopicMessage(const FwIntMessage& msg);
    void processConnEvent(const FwIntMessage& msg);
    void processConnTerm(const FwIntMessage& msg);
    void processTopicEvent(const FwIntMessage& msg);

    void deliverData(ReplicationDelivery::Channel& ch, const FwIntMessage& msg);
    void deliverEvent(const ReplicationDelivery::Channel& ch, const FwIntMessage& msg);
    void forwardCopy(const FwIntMessage& msg, const ReplicationDelivery::Channel& ch, uint64 topicSeq);

    ThreadResource* m_threadResPtr;
    GlobalData& m_gblData;
    const ConfigManager* m_configMgr;
    ThreadResource* m_ctlThdResPtr = nullptr;
    ThreadResource* m_msgSvcThdResPtr = nullptr;
    MsgTopicResource* m_msgTopicResPtr = nullptr;
    TopicPublisher* m_repliTopicPtr = nullptr;
    ResourceName m_repliTopicNameTxt{};

    int32 m_timeout;
    int32 m_repliTimeout;
    int32 m_contMsgProcNum;
    uint32 m_msgSeqNum = 0;

    bool m_terminate = false;
    bool m_initEventRcvd = false;
    bool m_waitForTopic = false;
    bool m_connInitDone = false;
    bool m_repliOnHold = false;
    bool m_noRepliSubscriber = true;
    bool m_loggedFull = false;

    FwIntMessage m_msg{};
    FwIntMessage m_forwardSrc{};
    alignas(FwIntMessage) char m_record[sizeof(FwIntMessage)]{};

    // The hold ring: m_heldCount records from m_heldHead on.
    std::vector<MessageBuf> m_ring;
    uint32 m_heldHead = 0;
    uint32 m_heldCount = 0;
    // Accepted but not yet replicated: before the replication topic is
    // ready, while the ring is full, or while the topic would block.
    std::deque<FwIntMessage> m_waiting;
    size_t m_pendingCap;
    size_t m_highQueueLen = 0;

    std::unique_ptr<ReplicationDelivery> m_delivery;
    std::unique_ptr<ReplicatedOutput> m_output;

    FileDescMultiplexer m_fdWait;
    Timer* m_timerPtr = nullptr;
    int64 m_lastStatusNs = 0;
    uint64 m_numReplicated = 0;
    uint64 m_numWouldBlock = 0;
    int64 m_lastTimerNs = 0;

    static std::atomic<uint64> s_lastRepliSeqAcked;
};
