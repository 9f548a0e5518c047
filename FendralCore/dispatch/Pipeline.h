// A ring of fixed-size entries that messages pass through a fixed sequence of
// stages without being copied: producers (the receiving threads and event
// senders) place an entry at the head, stage 0 works on it in place and
// releases it to stage 1, and so on; the last stage's release frees the slot.
// Each stage is served by one or more application threads.
//
// Indices are free-running 64-bit counts, never reduced modulo the ring: a
// slot is count % entries, "full" is head - (last stage's commit) = entries,
// and a stale view of another side is only ever conservative. Every side
// reserves with one count and commits with a second, so an entry becomes
// visible to the next side only once complete, and strictly in order.
//
// CPU_UTILIZATION: producers are serialised by a mutex; each stage has a
// reservation mutex, a hold mutex (held from take to release, so one entry
// per stage is in work at a time) and a wake-up descriptor counting the
// entries released to it. LOW_LATENCY: compare-and-swap only, no descriptor,
// no system call.
//
// Nothing allocates after construction. Slots are 64-byte aligned and sized.
#pragma once

#include "FendralCore/dispatch/PipelineStageDesc.h"
#include "FendralCore/foundation/FwTypes.h"
#include "FendralCore/foundation/GlobalData.h"
#include "FendralCore/foundation/MutexLock.h"
#include "FendralCore/runtime/FwIntMessage.h"

#include <atomic>
#include <cstddef>
#include <ctime>
#include <memory>
#include <pthread.h>

struct PipelineMsgHeader
{
    ResourceName originatorTxt;
    ResourceName recipientTxt;
    MessageType type;
    ResourceName channelNameTxt;
    ExtChannelType chnType;
    ReplicationFlag replicationFlag;
    uint64 msgTopicSeq;
    in_addr_t peerIpAddr;
    ApplicationID peerAppIdTxt;
    int32 peerAppInstId;
    int32 peerAppSiteId; // an ApplicationSite, or the TCP channel's journal flag
    void* fdPtr;
    DataDirection dataDir;
    uint32 dataLen; // payload bytes behind the entry's header
    timespec tm;
    timespec outTm;
};

static_assert(sizeof(PipelineMsgHeader) == 152);
static_assert(offsetof(PipelineMsgHeader, msgTopicSeq) == 72);
static_assert(offsetof(PipelineMsgHeader, dataLen) == 116);
static_assert(offsetof(PipelineMsgHeader, outTm) == 136);

// The head of every slot; the payload follows it.
struct PipelineEntryInfo
{
    PipelineMsgHeader plMsgHdr;
    std::atomic<bool> entryLocked; // taken by a stage and not yet released
    std::atomic<pthread_t> lockedBy;
    uint32 stageNum;
    int32 curIdx; // the slot's index
    int32 newIdx; // the index after it
};

static_assert(sizeof(PipelineEntryInfo) == 184);
static_assert(offsetof(PipelineEntryInfo, entryLocked) == 152);
static_assert(offsetof(PipelineEntryInfo, curIdx) == 172);

// One entry of a multi-entry take: its header, and its payload in place.
struct PipelineMsgRecord
{
    PipelineMsgHeader* plMsgHdrPtr;
    char* bufPtr;
    uint32 bufLen;
};

struct PipelineMsgRecord2
{
    PipelineMsgHeader* plMsgHdrPtr;
    char* bufPtr;
};

// Timing of one entry at one side: the producer (record 0) or stage s (s + 1).
struct PerfInfo
{
    pthread_t threadId;
    timespec startTm;
    timespec endTm;
};

class Pipeline
{
public:
    static constexpr int32 RECV_MULTI_REC_MAX = 50;
    static constexpr int32 DEFAULT_RETRY_INTERVAL = 20; // microseconds
    static constexpr uint32 ENTRY_INFO_SIZE = sizeof(PipelineEntryInfo);

    // A pipeline whose slots cannot be allocated (or whose sizes overflow)
    // logs it and is unusable: isValid() false, every operation fails.
    Pipeline(uint32 numBufEntry, uint32 maxDataSize, uint32 numOfStage, OptimizationMode optimizeMode,
             bool collectPerfInfo);
    ~Pipeline();

    Pipeline(const Pipeline&) = delete;
    Pipeline& operator=(const Pipeline&) = delete;

    bool isValid() const { return m_bufPtr != nullptr; }

    // Producers: copies the header and header.dataLen payload bytes into the
    // next slot. BUFFER_FULL after retryCount tries at a full ring.
    int32 enqueue(const char* payload, const PipelineMsgHeader& header, int32 retryCount,
                  int32 retryInterval = DEFAULT_RETRY_INTERVAL);

    // Takes the stage's next entry in place; release it with
    // dequeueEntryRelease2 on the same thread. plEntrySize: the largest payload.
    int32 dequeueEntryLock2(uint32 stage, char*& payloadPtr, PipelineMsgHeader*& headerPtr, int32& plEntrySize,
                            int32 retryCount, int32 retryInterval = DEFAULT_RETRY_INTERVAL);
    int32 dequeueEntryRelease2(uint32 stage);

    // Takes, copies out (header, and payload up to maxLen) and releases. A
    // payload cut to maxLen is MSG_TOO_LARGE; the entry is released anyway.
    int32 dequeue(uint32 stage, char* buffer, uint32 maxLen, PipelineMsgHeader& header, int32 retryCount,
                  int32 retryInterval = DEFAULT_RETRY_INTERVAL);

    // Takes the stage's next entry and copies its header and payload out,
    // keeping it taken; dequeueEntryRelease writes updatedDataLen bytes of
    // buffer back (a negative length leaves the payload as it is) and
    // releases it. A payload longer than maxLen is copied cut and reported as
    // MSG_TOO_LARGE, and the entry is released unchanged at once.
    int32 dequeueEntryLock(uint32 stage, char* buffer, uint32 maxLen, PipelineMsgHeader& header, int32& plEntrySize,
                           int32 retryCount, int32 retryInterval = DEFAULT_RETRY_INTERVAL);
    int32 dequeueEntryRelease(uint32 stage, const char* buffer, int32 updatedDataLen);

    // Takes up to numRecMax consecutive entries, copies each into the
    // caller's record (header to plMsgHdrPtr, payload to bufPtr of bufLen
    // bytes; bufLen receives the payload length) and releases them. A cut
    // payload is MSG_TOO_LARGE once all are released.
    int32 multiDequeue(uint32 stage, PipelineMsgRecord* recSet, int32 numRecMax, int32& numRecv, int32 retryCount,
                       int32 retryInterval = DEFAULT_RETRY_INTERVAL);
    // As multiDequeueEntryLock2, with each record's bufLen set to its payload
    // length; the release stores each record's bufLen back as the length.
    int32 multiDequeueEntryLock(uint32 stage, PipelineMsgRecord* recSet, int32 numRecMax, int32& numRecv,
                                int32& plEntrySize, int32 retryCount, int32 retryInterval = DEFAULT_RETRY_INTERVAL);
    int32 multiDequeueEntryRelease(uint32 stage, const PipelineMsgRecord* recSet, int32 numRec);

    // Takes up to numRecMax (1..RECV_MULTI_REC_MAX) consecutive entries in
    // place; release them all together with the count taken.
    int32 multiDequeueEntryLock2(uint32 stage, PipelineMsgRecord2* recSet, int32 numRecMax, int32& numRecv,
                                 int32& plEntrySize, int32 retryCount,
                                 int32 retryInterval = DEFAULT_RETRY_INTERVAL);
    int32 multiDequeueEntryRelease2(uint32 stage, int32 numRec);

    // The stage's wake-up descriptor; null in LOW_LATENCY mode or out of range.
    PipelineStageDesc* getStageEventFd(uint32 stage) const;
    uint32 getElemSize() const { return m_elemSize; }
    uint32 getMaxDataSize() const { return m_maxDataSize; }
    uint32 getNumOfStage() const { return m_numOfStage; }
    int32 getMaxUsage() const { return m_maxUsage.load(std::memory_order_relaxed); }
    // The m_numInfoPerEntry timing records of a slot; null without collection.
    const PerfInfo* getPerfInfo(uint32 slotIdx) const;

private:
    // The several-entry lock behind both record forms.
    template <typename Rec>
    int32 lockEntries(uint32 stage, Rec* recSet, int32 numRecMax, int32& numRecv, int32& plEntrySize,
                      int32 retryCount, int32 retryInterval);

    // One stage's counts, each stage on its own line.
    struct alignas(64) StageIdx
    {
        std::atomic<uint64> tail{0};    // next count to take
        std::atomic<uint64> tmpTail{0}; // counts below are released to the next stage
    };

    // Producers' line.
    alignas(64) std::atomic<uint64> m_headIdx{0};   // next count to reserve
    std::atomic<uint64> m_tmpHeadIdx{0};            // counts below are complete
    MutexLock m_wlock;
    // Read by every put, written rarely: a line of its own stays shared.
    alignas(64) std::atomic<uint64> m_cachedFreed{0}; // producers' last view of the last stage's commit
    std::atomic<int32> m_maxUsage{0};
    // Read-only after construction.
    alignas(64) uint32 m_numOfStage = 0;
    uint32 m_numEntries = 0;
    uint32 m_maxDataSize;
    uint32 m_elemSize = 0;
    uint32 m_numInfoPerEntry;
    bool m_collectPerfInfo;
    OptimizationMode m_optimizeMode;
    size_t m_bufBytes = 0;
    char* m_bufPtr = nullptr;
    std::unique_ptr<PerfInfo[]> m_infoPtr;
    std::unique_ptr<StageIdx[]> m_stageIdx;
    std::unique_ptr<MutexLock[]> m_rlockArrayPtr;  // per stage: reservation
    std::unique_ptr<MutexLock[]> m_rlockArrayPtr2; // per stage: hold
    std::unique_ptr<std::unique_ptr<PipelineStageDesc>[]> m_edArrayPtr;

    PipelineEntryInfo* entry(uint64 count) const
    {
        return reinterpret_cast<PipelineEntryInfo*>(m_bufPtr + (count % m_numEntries) * m_elemSize);
    }
    char* payload(PipelineEntryInfo* info) const { return reinterpret_cast<char*>(info) + ENTRY_INFO_SIZE; }
    const std::atomic<uint64>& upstreamCommit(uint32 stage) const
    {
        return stage == 0 ? m_tmpHeadIdx : m_stageIdx[stage - 1].tmpTail;
    }

    // True when count h would overfill the ring. A stale cached view only
    // errs towards full, and then the last stage's commit is read.
    bool full(uint64 h);
    int32 reserveLocked(int32 retryCount, int32 retryInterval, uint64& count);
    int32 reserveLockFree(int32 retryCount, uint64& count);
    void noteUsage(uint64 newHead);
    // Takes up to maxTake consecutive entries: first count and number taken.
    int32 take(uint32 stage, int32 maxTake, int32 retryCount, int32 retryInterval, uint64& first, int32& taken);
    int32 takeLocked(uint32 stage, int32 maxTake, int32 retryCount, int32 retryInterval, uint64& first,
                     int32& taken);
    int32 takeLockFree(uint32 stage, int32 maxTake, int32 retryCount, uint64& first, int32& taken);
    void markTaken(uint32 stage, uint64 count);
    // Releases numRec entries the calling thread holds at the stage.
    // update: new payload lengths to store first (and with copyBack the
    // bytes at their bufPtr), one record per entry released.
    int32 release(uint32 stage, int32 numRec, bool countGiven, const PipelineMsgRecord* update = nullptr,
                  bool copyBack = false);
    void perfStamp(uint64 count, uint32 rec, bool start);
};
