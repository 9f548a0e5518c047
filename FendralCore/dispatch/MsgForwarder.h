// Delivery of framework messages from a receiving framework thread (network
// receiver, stream thread, IPC thread) into an application thread's queue or
// pipeline, without ever losing one or changing their order:
// - a queue with THREAD_MSGQ_RESERVED_ENTRIES or fewer free entries counts as
//   full, the rest being kept for events;
// - a put is tried PUT_RETRY_CNT times back to back;
// - what cannot be put is parked in the recipient's store, and while anything
//   is parked for a destination every new message is parked behind it;
// - the recipient hears of it once, with MSG_QUEUE_CONGEST on its other queue
//   or PIPELINE_CONGEST on the channel's queue;
// - parked messages go first at the next delivery of the same channel and on
//   every retry() of the owner's timer, oldest first.
//
// A message fits a pipeline entry when its length plus the 152-byte entry
// header fits the pipeline's entry size.
//
// Within a WakeBatch, messages put into a queue wake its reader once at the
// end of the batch (one eventfd write for all of them) instead of once each.
//
// One object per receiving thread, used on that thread only; the queues,
// pipelines and stores it writes to carry their own locks.
#pragma once

#include "FendralCore/dispatch/MessageStore.h"
#include "FendralCore/dispatch/Pipeline.h"
#include "FendralCore/dispatch/PlMessageStore.h"
#include "FendralCore/foundation/FwTypes.h"
#include "FendralCore/foundation/Int128.h"
#include "FendralCore/foundation/UnsortedMap.h"
#include "FendralCore/runtime/FrameworkResource.h"
#include "FendralCore/runtime/FwIntMessage.h"

#include <memory>

class EventMessage;
class ResourceManager;

// Where one channel's messages go on the queue path.
struct ForwardTarget
{
    MessageQueueType queueType = MQUEUE_NORMAL;
    FwMessageQueue* queue = nullptr;
    // The recipient's other queue, which carries the congestion event.
    FwMessageQueue* altQueue = nullptr;
    MessageStore* store = nullptr;
    ResourceName recipient{};
};

class MsgForwarder
{
public:
    static constexpr uint32 THREAD_MSGQ_RESERVED_ENTRIES = 11;
    static constexpr int32 PUT_RETRY_CNT = 5;
    static constexpr int32 PL_ENQ_RETRY_CNT = 5;
    static constexpr int32 PL_ENQ_RETRY_INTERVAL = 20; // microseconds
    static constexpr uint32 PL_HDR_SIZE = sizeof(PipelineMsgHeader);
    static constexpr uint32 UNSENT_REPOSITORY_CAPACITY = 100;

    enum Outcome : int32
    {
        FWD_PUT = 0,
        FWD_PARKED = 1,    // behind messages already parked; nobody told again
        FWD_CONGESTED = 2, // parked now, the recipient told
    };

    // sender sends the congestion events and stamps them from msgSeqNum;
    // listType is the sending thread's parking list; maxMsgSize bounds a
    // parked pipeline entry's payload.
    MsgForwarder(EventMessage& sender, ResourceManager& resMgr, MsgListType listType, uint32& msgSeqNum,
                 uint32 maxMsgSize);

    MsgForwarder(const MsgForwarder&) = delete;
    MsgForwarder& operator=(const MsgForwarder&) = delete;

    // The replicator thread: parked messages registered under its name are
    // retried into its queues without a registry look-up.
    void setReplicator(ThreadResource* replicator);

    // What every receiving thread looks up at start: the control thread and,
    // with replication on, the replicator (set here too) with the store of
    // messages parked for it. 0, or the registry's code after its log line.
    struct Peers
    {
        ThreadResource* control = nullptr;
        ThreadResource* replicator = nullptr;
        UInt128 replicatorKey;
        MessageStore* replicatorStore = nullptr;
    };
    int32 lookUpPeers(bool replication, UnsortedMap<UInt128>& parkedStores, Peers& peers);

    static bool fitsPipeline(uint64 msgLen, const Pipeline& pipeline)
    {
        return msgLen + PL_HDR_SIZE <= pipeline.getMaxDataSize();
    }

    // Order first: moves t's parked messages of t.queueType into t.queue
    // while it has room. True when some stay parked.
    bool flushQueue(const ForwardTarget& t);
    // One message to t.queue, or parked behind parked ones (parked set) or
    // on congestion (parked set, the recipient told with MSG_QUEUE_CONGEST
    // carrying congestParam and the code). 0 with the outcome, or -1 with
    // the code of a put error other than 200, 206 and 301, or of a failed
    // park (BUFFER_FULL without a store).
    int32 put(const ForwardTarget& t, const FwIntMessage& msg, bool& parked, const EventParam& congestParam,
              Outcome& outcome);

    // Order first for a pipeline: re-enqueues store's parked entries. True
    // when some stay parked.
    bool flushPipeline(Pipeline* pipeline, PlMessageStore* store);
    // One entry (the header followed by header.dataLen bytes, contiguous at
    // entry) into pipeline, or parked in store (registered under plName)
    // behind parked ones or when the pipeline stays full; a full pipeline
    // also sends PIPELINE_CONGEST to owner through ownerQueue. MSG_TOO_LARGE
    // for an entry that does not fit. 0 with the outcome or -1 with the code.
    int32 enqueue(Pipeline* pipeline, PlMessageStore* store, const ResourceName& plName, const char* entry,
                  bool& parked, const ResourceName& owner, FwMessageQueue* ownerQueue, const EventParam& congestParam,
                  Outcome& outcome);
    // As above with the header and its header.dataLen payload bytes apart,
    // so that a payload already in place needs no copy behind a header; a
    // parked entry is joined (at most the maxMsgSize given at construction,
    // else MSG_TOO_LARGE).
    int32 enqueue(Pipeline* pipeline, PlMessageStore* store, const ResourceName& plName,
                  const PipelineMsgHeader& header, const char* payload, bool& parked, const ResourceName& owner,
                  FwMessageQueue* ownerQueue, const EventParam& congestParam, Outcome& outcome);

    // Defers the wake-ups of the puts made while it lives and posts them,
    // one per queue, when it ends. Nested batches end with the outermost.
    class WakeBatch
    {
    public:
        explicit WakeBatch(MsgForwarder& f) : m_f(f) { ++m_f.m_batchDepth; }
        ~WakeBatch()
        {
            if (--m_f.m_batchDepth == 0)
                m_f.flushWakeUps();
        }
        WakeBatch(const WakeBatch&) = delete;
        WakeBatch& operator=(const WakeBatch&) = delete;

    private:
        MsgForwarder& m_f;
    };
    // Posts every deferred wake-up now.
    void flushWakeUps();

    void registerUnsent(const ResourceName& recipient, MessageStore* store);
    void registerUnsentPl(const ResourceName& plName, PlMessageStore* store);
    // The timer retry: every registered store into its thread's queues
    // (high-priority list first) while they have room, every registered
    // pipeline store into its pipeline; emptied registrations are dropped.
    int32 retry();
    bool hasUnsent() const { return !m_unsent.empty() || !m_unsentPl.empty(); }
    // Drops every registration (the stores keep what they hold).
    void clear();

private:
    // Queues whose reader is owed a wake-up within the current batch; a
    // batch rarely reaches more than one or two recipients.
    static constexpr uint32 MAX_PENDING_WAKE_UPS = 8;
    struct PendingWakeUp
    {
        FwMessageQueue* queue;
        uint64 count;
    };

    int32 putOne(FwMessageQueue* queue, const FwIntMessage& msg);
    bool moveParked(MessageStore* store, MessageQueueType type, FwMessageQueue* queue);
    bool movePlParked(Pipeline* pipeline, PlMessageStore* store);
    int32 park(const ForwardTarget& t, const FwIntMessage& msg);

    EventMessage& m_sender;
    ResourceManager& m_resMgr;
    const MsgListType m_listType;
    uint32& m_msgSeqNum;
    ThreadResource* m_replicator = nullptr;
    UInt128 m_replicatorKey;
    UnsortedMap<UInt128> m_unsent{UNSENT_REPOSITORY_CAPACITY};
    UnsortedMap<UInt128> m_unsentPl{UNSENT_REPOSITORY_CAPACITY};
    FwIntMessage m_storedMsg{};
    uint32 m_storedPlBufSize;
    std::unique_ptr<char[]> m_storedPlMsgPtr;
    int32 m_batchDepth = 0;
    uint32 m_numPending = 0;
    PendingWakeUp m_pending[MAX_PENDING_WAKE_UPS]{};
};
