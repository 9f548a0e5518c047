#include "FendralCore/dispatch/Pipeline.h"

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/LogLevels.h"
#include "FendralCore/runtime/FwLog.h"

#include <cerrno>
#include <cstring>
#include <limits>
#include <new>
#include <sched.h>
#include <sys/mman.h>
#include <unistd.h>

namespace
{
constexpr uint64 SLOT_ALIGN = 64;

// Waiting for another side to commit or release in LOW_LATENCY mode: that
// side is mid-copy, so spin; yield only when it seems to have been
// descheduled, so that it can run.
void spinPause(uint32& spins)
{
    if (++spins % 1024 == 0)
        sched_yield();
    else
        __builtin_ia32_pause();
}

void pauseBetweenTries(OptimizationMode mode, int32 tries, int32 retryCount, int32 retryInterval)
{
    if (mode == CPU_UTILIZATION && tries < retryCount && retryInterval > 0)
        ::usleep(static_cast<useconds_t>(retryInterval));
}
} // namespace

Pipeline::Pipeline(uint32 numBufEntry, uint32 maxDataSize, uint32 numOfStage, OptimizationMode optimizeMode,
                   bool collectPerfInfo)
    : m_maxDataSize(maxDataSize),
      m_numInfoPerEntry(numOfStage + 1),
      m_collectPerfInfo(collectPerfInfo),
      m_optimizeMode(optimizeMode)
{
    // Sizes in 64 bits: a million entries of the largest size exceed 32 bits,
    // and a slot size near the 32-bit limit would wrap.
    const uint64 elemSize = (ENTRY_INFO_SIZE + uint64{maxDataSize} + SLOT_ALIGN - 1) / SLOT_ALIGN * SLOT_ALIGN;
    const uint64 bytes = elemSize * numBufEntry;
    void* mem = MAP_FAILED;
    if (numBufEntry == 0 || numOfStage == 0 || elemSize > std::numeric_limits<uint32>::max())
        errno = EINVAL;
    else
        mem = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mem == MAP_FAILED)
    {
        fwLog(LOG_LEVEL_CRITICAL, "Failed allocating memory for pipeline [%d]", errno);
        return;
    }
    // Anonymous pages come zeroed and page-aligned.
    m_bufPtr = static_cast<char*>(mem);
    m_bufBytes = bytes;
    m_elemSize = static_cast<uint32>(elemSize);
    m_numEntries = numBufEntry;
    m_numOfStage = numOfStage;
    fwLog(LOG_LEVEL_INFO, "Pipeline buffer address=[%lX]", reinterpret_cast<unsigned long>(m_bufPtr));

    m_stageIdx = std::make_unique<StageIdx[]>(numOfStage);
    if (m_collectPerfInfo)
    {
        m_infoPtr.reset(new (std::nothrow) PerfInfo[uint64{numBufEntry} * m_numInfoPerEntry]());
        if (m_infoPtr == nullptr)
        {
            fwLog(LOG_LEVEL_WARNING, "Failed allocating performance records for pipeline; timing not collected.");
            m_collectPerfInfo = false;
        }
    }
    if (m_optimizeMode == CPU_UTILIZATION)
    {
        m_rlockArrayPtr = std::make_unique<MutexLock[]>(numOfStage);
        m_rlockArrayPtr2 = std::make_unique<MutexLock[]>(numOfStage);
        m_edArrayPtr = std::make_unique<std::unique_ptr<PipelineStageDesc>[]>(numOfStage);
        for (uint32 s = 0; s < numOfStage; ++s)
            m_edArrayPtr[s] = std::make_unique<PipelineStageDesc>(this, s);
    }
}

Pipeline::~Pipeline()
{
    if (m_bufPtr != nullptr)
        ::munmap(m_bufPtr, m_bufBytes);
}

PipelineStageDesc* Pipeline::getStageEventFd(uint32 stage) const
{
    if (m_edArrayPtr == nullptr || stage >= m_numOfStage)
        return nullptr;
    return m_edArrayPtr[stage].get();
}

const PerfInfo* Pipeline::getPerfInfo(uint32 slotIdx) const
{
    if (m_infoPtr == nullptr || slotIdx >= m_numEntries)
        return nullptr;
    return &m_infoPtr[uint64{slotIdx} * m_numInfoPerEntry];
}

void Pipeline::perfStamp(uint64 count, uint32 rec, bool start)
{
    if (!m_collectPerfInfo)
        return;
    PerfInfo& p = m_infoPtr[(count % m_numEntries) * m_numInfoPerEntry + rec];
    if (start)
    {
        p.threadId = pthread_self();
        clock_gettime(CLOCK_REALTIME, &p.startTm);
        p.endTm = timespec{};
    }
    else
    {
        clock_gettime(CLOCK_REALTIME, &p.endTm);
    }
}

bool Pipeline::full(uint64 h)
{
    // Acquire and release on the cache too, so that a producer using another
    // producer's view still writes only after the last stage read the slot.
    // Signed: a producer's h read before others moved on may lie behind the
    // last stage; its compare-and-swap fails anyway, as a lost race.
    if (static_cast<int64>(h - m_cachedFreed.load(std::memory_order_acquire)) < int64{m_numEntries})
        return false;
    const uint64 freed = m_stageIdx[m_numOfStage - 1].tmpTail.load(std::memory_order_acquire);
    m_cachedFreed.store(freed, std::memory_order_release);
    return static_cast<int64>(h - freed) >= int64{m_numEntries};
}

// The cached view only lags, so its fill is an upper bound; the last stage's
// commit is read only when that bound would raise the maximum.
void Pipeline::noteUsage(uint64 newHead)
{
    int32 seen = m_maxUsage.load(std::memory_order_relaxed);
    if (newHead - m_cachedFreed.load(std::memory_order_relaxed) <= static_cast<uint64>(seen))
        return;
    const uint64 freed = m_stageIdx[m_numOfStage - 1].tmpTail.load(std::memory_order_acquire);
    const auto used = static_cast<int32>(newHead > freed ? newHead - freed : 0);
    while (used > seen && !m_maxUsage.compare_exchange_weak(seen, used, std::memory_order_relaxed))
    {
    }
}

// ---- producers

int32 Pipeline::enqueue(const char* dataPtr, const PipelineMsgHeader& header, int32 retryCount, int32 retryInterval)
{
    if (m_bufPtr == nullptr || (dataPtr == nullptr && header.dataLen > 0))
        return fwFail(INVALID_FUNC_ARG, -1);
    if (header.dataLen > m_maxDataSize)
        return fwFail(MSG_TOO_LARGE, -1);

    uint64 h = 0;
    const bool locked = m_optimizeMode == CPU_UTILIZATION;
    if ((locked ? reserveLocked(retryCount, retryInterval, h) : reserveLockFree(retryCount, h)) != 0)
        return -1;

    perfStamp(h, 0, true);
    PipelineEntryInfo* info = entry(h);
    std::memcpy(&info->plMsgHdr, &header, sizeof(PipelineMsgHeader));
    if (header.dataLen > 0)
        std::memcpy(payload(info), dataPtr, header.dataLen);

    int32 r = 0;
    if (locked)
    {
        m_tmpHeadIdx.store(h + 1, std::memory_order_release);
        r = m_edArrayPtr[0]->postEvent();
        m_wlock.unlock();
    }
    else
    {
        // Commit in reservation order: an entry is visible to stage 0 only
        // once every entry before it is complete.
        uint32 spins = 0;
        while (m_tmpHeadIdx.load(std::memory_order_acquire) != h)
            spinPause(spins);
        m_tmpHeadIdx.store(h + 1, std::memory_order_release);
    }
    noteUsage(h + 1);
    perfStamp(h, 0, false);
    return r;
}

// Leaves m_wlock held on success: the producer copies and commits under it.
int32 Pipeline::reserveLocked(int32 retryCount, int32 retryInterval, uint64& count)
{
    if (m_wlock.lock(-1) != 0)
    {
        const int32 code = FrameworkErrno::m_fwErrno;
        fwLog(LOG_LEVEL_NOTICE, "Error [%d] locking the m_wlock for enqueuing a message into pipeline.", code);
        return fwFail(LOCK_FAILED, -1);
    }
    for (int32 tries = 1;; ++tries)
    {
        const uint64 h = m_headIdx.load(std::memory_order_relaxed);
        if (!full(h))
        {
            m_headIdx.store(h + 1, std::memory_order_relaxed);
            count = h;
            return 0;
        }
        if (tries >= retryCount)
        {
            m_wlock.unlock();
            return fwFail(BUFFER_FULL, -1);
        }
        pauseBetweenTries(m_optimizeMode, tries, retryCount, retryInterval);
    }
}

int32 Pipeline::reserveLockFree(int32 retryCount, uint64& count)
{
    for (int32 tries = 1;; ++tries)
    {
        uint64 h = m_headIdx.load(std::memory_order_relaxed);
        int32 code = BUFFER_FULL;
        if (!full(h))
        {
            if (m_headIdx.compare_exchange_strong(h, h + 1, std::memory_order_relaxed))
            {
                count = h;
                return 0;
            }
            code = HEAD_INDEX_CHANGED;
        }
        if (tries >= retryCount)
            return fwFail(code, -1);
    }
}

// ---- consumers

int32 Pipeline::dequeueEntryLock2(uint32 stage, char*& payloadPtr, PipelineMsgHeader*& headerPtr,
                                  int32& plEntrySize, int32 retryCount, int32 retryInterval)
{
    if (stage >= m_numOfStage)
        return fwFail(INVALID_STAGE, -1);
    plEntrySize = static_cast<int32>(m_maxDataSize);
    uint64 first = 0;
    int32 taken = 0;
    if (take(stage, 1, retryCount, retryInterval, first, taken) != 0)
        return -1;
    PipelineEntryInfo* info = entry(first);
    headerPtr = &info->plMsgHdr;
    payloadPtr = payload(info);
    return 0;
}

int32 Pipeline::dequeueEntryRelease2(uint32 stage)
{
    return release(stage, 1, false);
}

int32 Pipeline::dequeue(uint32 stage, char* buffer, uint32 maxLen, PipelineMsgHeader& header, int32 retryCount,
                        int32 retryInterval)
{
    if (stage >= m_numOfStage)
        return fwFail(INVALID_STAGE, -1);
    if (buffer == nullptr && maxLen > 0)
        return fwFail(INVALID_FUNC_ARG, -1);
    uint64 first = 0;
    int32 taken = 0;
    if (take(stage, 1, retryCount, retryInterval, first, taken) != 0)
        return -1;
    PipelineEntryInfo* info = entry(first);
    std::memcpy(&header, &info->plMsgHdr, sizeof(PipelineMsgHeader));
    const uint32 len = header.dataLen < maxLen ? header.dataLen : maxLen;
    if (len > 0)
        std::memcpy(buffer, payload(info), len);
    // The next stage is woken whether or not the payload fitted: the entry is
    // released to it either way.
    if (release(stage, 1, false) != 0)
        return -1;
    if (len < header.dataLen)
        return fwFail(MSG_TOO_LARGE, -1);
    return 0;
}

int32 Pipeline::dequeueEntryLock(uint32 stage, char* buffer, uint32 maxLen, PipelineMsgHeader& header,
                                 int32& plEntrySize, int32 retryCount, int32 retryInterval)
{
    if (stage >= m_numOfStage)
        return fwFail(INVALID_STAGE, -1);
    if (buffer == nullptr && maxLen > 0)
        return fwFail(INVALID_FUNC_ARG, -1);
    plEntrySize = static_cast<int32>(m_maxDataSize);
    uint64 first = 0;
    int32 taken = 0;
    if (take(stage, 1, retryCount, retryInterval, first, taken) != 0)
        return -1;
    PipelineEntryInfo* info = entry(first);
    std::memcpy(&header, &info->plMsgHdr, sizeof(PipelineMsgHeader));
    const uint32 len = header.dataLen < maxLen ? header.dataLen : maxLen;
    if (len > 0)
        std::memcpy(buffer, payload(info), len);
    if (len == header.dataLen)
        return 0;
    // A caller told of a failure would not release: pass the entry on now
    // rather than leave the stage held.
    if (release(stage, 1, false) != 0)
        return -1;
    return fwFail(MSG_TOO_LARGE, -1);
}

int32 Pipeline::dequeueEntryRelease(uint32 stage, const char* buffer, int32 updatedDataLen)
{
    if (updatedDataLen < 0)
        return release(stage, 1, false);
    if (buffer == nullptr && updatedDataLen > 0)
        return fwFail(INVALID_FUNC_ARG, -1);
    const PipelineMsgRecord update{nullptr, const_cast<char*>(buffer), static_cast<uint32>(updatedDataLen)};
    return release(stage, 1, false, &update, true);
}

int32 Pipeline::multiDequeue(uint32 stage, PipelineMsgRecord* recSet, int32 numRecMax, int32& numRecv,
                             int32 retryCount, int32 retryInterval)
{
    numRecv = 0;
    if (stage >= m_numOfStage)
        return fwFail(INVALID_STAGE, -1);
    if (recSet == nullptr || numRecMax < 1 || numRecMax > RECV_MULTI_REC_MAX)
        return fwFail(PL_INVALID_NUM_REC, -1);
    for (int32 i = 0; i < numRecMax; ++i)
        if (recSet[i].plMsgHdrPtr == nullptr || (recSet[i].bufPtr == nullptr && recSet[i].bufLen > 0))
            return fwFail(INVALID_FUNC_ARG, -1);
    uint64 first = 0;
    if (take(stage, numRecMax, retryCount, retryInterval, first, numRecv) != 0)
        return -1;
    bool cut = false;
    for (int32 i = 0; i < numRecv; ++i)
    {
        PipelineEntryInfo* info = entry(first + static_cast<uint64>(i));
        PipelineMsgRecord& rec = recSet[i];
        std::memcpy(rec.plMsgHdrPtr, &info->plMsgHdr, sizeof(PipelineMsgHeader));
        const uint32 len = info->plMsgHdr.dataLen < rec.bufLen ? info->plMsgHdr.dataLen : rec.bufLen;
        if (len > 0)
            std::memcpy(rec.bufPtr, payload(info), len);
        cut = cut || len < info->plMsgHdr.dataLen;
        rec.bufLen = len;
    }
    if (release(stage, numRecv, true) != 0)
        return -1;
    return cut ? fwFail(MSG_TOO_LARGE, -1) : 0;
}

template <typename Rec>
int32 Pipeline::lockEntries(uint32 stage, Rec* recSet, int32 numRecMax, int32& numRecv, int32& plEntrySize,
                            int32 retryCount, int32 retryInterval)
{
    numRecv = 0;
    if (stage >= m_numOfStage)
        return fwFail(INVALID_STAGE, -1);
    if (recSet == nullptr || numRecMax < 1 || numRecMax > RECV_MULTI_REC_MAX)
        return fwFail(PL_INVALID_NUM_REC, -1);
    plEntrySize = static_cast<int32>(m_maxDataSize);
    uint64 first = 0;
    if (take(stage, numRecMax, retryCount, retryInterval, first, numRecv) != 0)
        return -1;
    for (int32 i = 0; i < numRecv; ++i)
    {
        PipelineEntryInfo* info = entry(first + static_cast<uint64>(i));
        recSet[i].plMsgHdrPtr = &info->plMsgHdr;
        recSet[i].bufPtr = payload(info);
        if constexpr (requires { recSet[i].bufLen; })
            recSet[i].bufLen = info->plMsgHdr.dataLen;
    }
    return 0;
}

int32 Pipeline::multiDequeueEntryLock(uint32 stage, PipelineMsgRecord* recSet, int32 numRecMax, int32& numRecv,
                                      int32& plEntrySize, int32 retryCount, int32 retryInterval)
{
    return lockEntries(stage, recSet, numRecMax, numRecv, plEntrySize, retryCount, retryInterval);
}

int32 Pipeline::multiDequeueEntryRelease(uint32 stage, const PipelineMsgRecord* recSet, int32 numRec)
{
    if (recSet == nullptr)
        return fwFail(INVALID_FUNC_ARG, -1);
    return release(stage, numRec, true, recSet);
}

int32 Pipeline::multiDequeueEntryLock2(uint32 stage, PipelineMsgRecord2* recSet, int32 numRecMax, int32& numRecv,
                                       int32& plEntrySize, int32 retryCount, int32 retryInterval)
{
    return lockEntries(stage, recSet, numRecMax, numRecv, plEntrySize, retryCount, retryInterval);
}

int32 Pipeline::multiDequeueEntryRelease2(uint32 stage, int32 numRec)
{
    return release(stage, numRec, true);
}

int32 Pipeline::take(uint32 stage, int32 maxTake, int32 retryCount, int32 retryInterval, uint64& first,
                     int32& taken)
{
    taken = 0;
    if (m_bufPtr == nullptr)
        return fwFail(INVALID_STAGE, -1);
    const int32 r = m_optimizeMode == CPU_UTILIZATION
                        ? takeLocked(stage, maxTake, retryCount, retryInterval, first, taken)
                        : takeLockFree(stage, maxTake, retryCount, first, taken);
    if (r != 0)
        return r;
    for (int32 i = 0; i < taken; ++i)
        markTaken(stage, first + static_cast<uint64>(i));
    return 0;
}

int32 Pipeline::takeLocked(uint32 stage, int32 maxTake, int32 retryCount, int32 retryInterval, uint64& first,
                           int32& taken)
{
    PipelineStageDesc& desc = *m_edArrayPtr[stage];
    unsigned long value = 0;
    if (desc.deliverEvent(value) != 0)
        return -1; // nothing released to the stage (WOULD_BLOCK), or the descriptor failed
    MutexLock& reservation = m_rlockArrayPtr[stage];
    if (reservation.lock(-1) != 0)
    {
        desc.postEvent(); // the count stays for whoever takes the entry
        return fwFail(LOCK_FAILED, -1);
    }
    StageIdx& idx = m_stageIdx[stage];
    const std::atomic<uint64>& upstream = upstreamCommit(stage);
    int32 r = -1;
    for (int32 tries = 1;; ++tries)
    {
        const uint64 t = idx.tail.load(std::memory_order_relaxed);
        const uint64 avail = upstream.load(std::memory_order_acquire) - t;
        if (avail > 0)
        {
            // One entry (or run) per stage in work: wait here for the holder.
            if (m_rlockArrayPtr2[stage].lock(-1) != 0)
            {
                desc.postEvent();
                fwFail(LOCK_FAILED, 0);
                break;
            }
            taken = avail < static_cast<uint64>(maxTake) ? static_cast<int32>(avail) : maxTake;
            first = t;
            idx.tail.store(t + static_cast<uint64>(taken), std::memory_order_release);
            r = 0;
            break;
        }
        if (tries >= retryCount)
        {
            fwFail(BUFFER_EMPTY, 0);
            break;
        }
        pauseBetweenTries(m_optimizeMode, tries, retryCount, retryInterval);
    }
    reservation.unlock();
    // A run takes the counts of its other entries too; one posted late is
    // only a spurious wake-up later.
    for (int32 i = 1; i < taken; ++i)
    {
        const int32 saved = FrameworkErrno::m_fwErrno;
        if (desc.deliverEvent(value) != 0)
            FrameworkErrno::m_fwErrno = saved;
    }
    return r;
}

int32 Pipeline::takeLockFree(uint32 stage, int32 maxTake, int32 retryCount, uint64& first, int32& taken)
{
    StageIdx& idx = m_stageIdx[stage];
    const std::atomic<uint64>& upstream = upstreamCommit(stage);
    for (int32 tries = 1;; ++tries)
    {
        uint64 t = idx.tail.load(std::memory_order_relaxed);
        const uint64 up = upstream.load(std::memory_order_acquire);
        int32 code = BUFFER_EMPTY;
        if (up > t)
        {
            const uint64 avail = up - t;
            const int32 n = avail < static_cast<uint64>(maxTake) ? static_cast<int32>(avail) : maxTake;
            if (idx.tail.compare_exchange_strong(t, t + static_cast<uint64>(n), std::memory_order_acquire))
            {
                first = t;
                taken = n;
                return 0;
            }
            code = TAIL_INDEX_CHANGED;
        }
        if (tries >= retryCount)
            return fwFail(code, -1);
    }
}

void Pipeline::markTaken(uint32 stage, uint64 count)
{
    PipelineEntryInfo* info = entry(count);
    info->lockedBy.store(pthread_self(), std::memory_order_relaxed);
    info->stageNum = stage;
    info->curIdx = static_cast<int32>(count % m_numEntries);
    info->newIdx = static_cast<int32>((count + 1) % m_numEntries);
    info->entryLocked.store(true, std::memory_order_release);
    perfStamp(count, stage + 1, true);
}

int32 Pipeline::release(uint32 stage, int32 numRec, bool countGiven, const PipelineMsgRecord* update,
                        bool copyBack)
{
    if (stage >= m_numOfStage)
        return fwFail(INVALID_STAGE, -1);
    if (m_bufPtr == nullptr)
        return fwFail(INVALID_STAGE, -1);
    const pthread_t self = pthread_self();
    StageIdx& idx = m_stageIdx[stage];
    const uint64 c = idx.tmpTail.load(std::memory_order_acquire);
    const uint64 t = idx.tail.load(std::memory_order_acquire);
    auto mine = [&](uint64 count) {
        PipelineEntryInfo* info = entry(count);
        return info->entryLocked.load(std::memory_order_acquire) &&
               pthread_equal(info->lockedBy.load(std::memory_order_relaxed), self) && info->stageNum == stage &&
               info->curIdx == static_cast<int32>(count % m_numEntries);
    };

    // The oldest entry this thread holds at the stage. Under the hold lock it
    // is the stage's oldest unreleased one; lock-free, others may hold older
    // ones, and are waited for below.
    uint64 f = c;
    if (m_optimizeMode != CPU_UTILIZATION)
        while (f < t && !mine(f))
            ++f;
    if (f >= t || !mine(f))
    {
        if (m_optimizeMode == CPU_UTILIZATION)
        {
            fwLog(LOG_LEVEL_INFO, "The pipeline stage [%d] is not locked by this thread [%lX].",
                  static_cast<int32>(stage), static_cast<unsigned long>(self));
            return fwFail(PL_INCORRECT_LOCKER, -1);
        }
        PipelineEntryInfo* info = entry(c);
        const bool locked = info->entryLocked.load(std::memory_order_acquire);
        fwLog(LOG_LEVEL_INFO,
              "Mismatch found in pipeline entry info at stage [%d]. Expected tail entry index [%d] locked but the "
              "entry info index is [%d] and the lock status is [%d].",
              static_cast<int32>(stage), static_cast<int32>(c % m_numEntries), locked ? info->curIdx : -1,
              locked ? 1 : 0);
        return fwFail(PL_STAGE_ERROR, -1);
    }
    int32 run = 1;
    while (f + static_cast<uint64>(run) < t && mine(f + static_cast<uint64>(run)))
        ++run;
    if (countGiven && numRec != run)
    {
        fwLog(LOG_LEVEL_INFO,
              "The number of records unlocked [%d] at stage [%d] does not match the number specified [%d].", run,
              static_cast<int32>(stage), numRec);
        return fwFail(PL_INCORRECT_NUM_UNLOCK_RECORD, -1);
    }
    const auto n = static_cast<uint64>(countGiven ? numRec : 1);
    if (update != nullptr)
    {
        // All or nothing: every new length must fit before any is stored.
        for (uint64 i = 0; i < n; ++i)
            if (update[i].bufLen > m_maxDataSize)
                return fwFail(MSG_TOO_LARGE, -1);
        for (uint64 i = 0; i < n; ++i)
        {
            PipelineEntryInfo* info = entry(f + i);
            if (copyBack && update[i].bufLen > 0)
                std::memcpy(payload(info), update[i].bufPtr, update[i].bufLen);
            info->plMsgHdr.dataLen = update[i].bufLen;
        }
    }

    // Entries pass on in order: wait for other consumers of the stage to
    // release the older ones.
    uint32 spins = 0;
    while (idx.tmpTail.load(std::memory_order_acquire) != f)
        spinPause(spins);
    for (uint64 i = 0; i < n; ++i)
    {
        perfStamp(f + i, stage + 1, false);
        entry(f + i)->entryLocked.store(false, std::memory_order_relaxed);
    }
    idx.tmpTail.store(f + n, std::memory_order_release);

    if (m_optimizeMode != CPU_UTILIZATION)
        return 0;
    int32 r = 0;
    if (stage + 1 < m_numOfStage)
        for (uint64 i = 0; i < n && r == 0; ++i)
            r = m_edArrayPtr[stage + 1]->postEvent();
    m_rlockArrayPtr2[stage].unlock();
    return r;
}
