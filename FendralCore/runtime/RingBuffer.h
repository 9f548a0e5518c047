// Bounded ring of fixed records between threads: the slots of every thread's
// message queues, the statistics ring and the messaging rings.
//
// Every slot carries a sequence count that says whether it holds a record of
// the current lap: a writer reserves a count (headIndex), copies into the
// slot and then marks it ready; a reader takes the slot at its count
// (tailIndex) only once it is ready, and marks it free for the next lap.
// Readers therefore never see a reserved but unwritten slot, and records
// become visible strictly in reservation order; yet a writer never waits for
// another writer, so one descheduled in the middle of a put holds up only the
// reader at that slot, not the other writers. A lone writer or reader skips
// the reservation step; several writers or readers in CPU_UTILIZATION mode
// take a mutex instead, so they sleep rather than spin.
//
// The counts are free-running 64-bit numbers, never reduced modulo the ring,
// so a stale view of the other side is only ever conservative and no count
// repeats. Slots are a power of two; the ring holds at most numOfEntry
// records. Each side's index sits on its own cache line, and writers cache
// the readers' index. Nothing allocates after construction. Records with a
// usedSize() (FwIntMessage) are copied only as far as used.
#pragma once

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/GlobalData.h"
#include "FendralCore/foundation/MutexLock.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <unistd.h>

namespace fendral::detail
{

template <typename T>
concept HasUsedSize = requires(const T& t) {
    {
        t.usedSize()
    } -> std::convertible_to<size_t>;
};

template <typename T>
inline void copyRecord(T* dst, const T* src)
{
    if constexpr (HasUsedSize<T>)
        std::memcpy(static_cast<void*>(dst), src, src->usedSize());
    else
        std::memcpy(static_cast<void*>(dst), src, sizeof(T));
}

} // namespace fendral::detail

template <typename T>
class RingBuffer
{
public:
    static constexpr int32 DEFAULT_RETRY_CNT = 5;
    static constexpr int32 DEFAULT_RETRY_INTERVAL = 20; // microseconds

    RingBuffer(uint32 numOfEntry, bool multiRw, OptimizationMode optimizeMode)
        : RingBuffer(numOfEntry, multiRw, multiRw, optimizeMode)
    {
    }

    // A queue with one known reader and several writers skips the readers'
    // reservation (and their lock) altogether.
    RingBuffer(uint32 numOfEntry, bool multiReader, bool multiWriter, OptimizationMode optimizeMode)
        : m_capacity(numOfEntry > 0 ? numOfEntry : 1),
          m_slots(slotCountFor(m_capacity)),
          m_multiReader(multiReader),
          m_multiWriter(multiWriter),
          m_optimizeMode(optimizeMode),
          m_cells(new Cell[m_slots]())
    {
        for (uint64 i = 0; i < m_slots; ++i)
            m_cells[i].seq.store(i, std::memory_order_relaxed);
    }

    RingBuffer(const RingBuffer&) = delete;
    RingBuffer& operator=(const RingBuffer&) = delete;

    bool multiRw() const { return m_multiReader || m_multiWriter; }

    // 0, or -1 with BUFFER_FULL (or a lock code) after retryCnt tries at a
    // full ring. slotIdx receives the slot written.
    int32 enqueue(const T& elem, int32* slotIdx = nullptr, int32 retryCnt = DEFAULT_RETRY_CNT,
                  int32 retryInterval = DEFAULT_RETRY_INTERVAL)
    {
        const bool locked = m_multiWriter && m_optimizeMode == CPU_UTILIZATION;
        for (int32 tries = 1;; ++tries)
        {
            int32 r = locked ? lockOnce(m_wlock, tries >= retryCnt) : 0;
            if (r == 0)
            {
                r = m_multiWriter && !locked ? reserveShared(elem, slotIdx) : reserveAlone(elem, slotIdx);
                if (locked)
                    m_wlock.unlock();
                if (r == 0)
                    return 0;
            }
            else if (r < 0)
            {
                return -1;
            }
            if (tries >= retryCnt)
                return fwFail(BUFFER_FULL, -1);
            pauseBetweenTries(retryInterval);
        }
    }

    // 0, or -1 with BUFFER_EMPTY (or a lock code) after retryCnt tries.
    int32 dequeue(T& elem, int32 retryCnt = DEFAULT_RETRY_CNT, int32 retryInterval = DEFAULT_RETRY_INTERVAL)
    {
        return take(&elem, retryCnt, retryInterval, false);
    }

    // Drops the oldest record: 0, or -1 with BUFFER_EMPTY (or a lock code).
    int32 discardOldest() { return take(nullptr, 1, 0, false); }

    // A copy of the record offset places before the one in slot lastIdx (a
    // slot enqueue reported), left in the ring; -1 with NO_SUCH_ENTRY when
    // either is not a record the ring holds. For rings whose writer and
    // reader do not run meanwhile (one thread, or both under one lock): a
    // history kept for resends.
    int32 peek(T& elem, int32 lastIdx, int32 offset) const
    {
        const uint64 t = m_tail.load(std::memory_order_acquire);
        const uint64 h = m_head.load(std::memory_order_acquire);
        if (h == t || lastIdx < 0 || offset < 0 || static_cast<uint64>(lastIdx) >= m_slots)
            return fwFail(NO_SUCH_ENTRY, -1);
        const uint64 newest = h - 1;
        const uint64 lastBack = (newest - static_cast<uint64>(lastIdx)) & (m_slots - 1);
        if (lastBack >= h - t)
            return fwFail(NO_SUCH_ENTRY, -1);
        const uint64 lastCount = newest - lastBack;
        if (static_cast<uint64>(offset) > lastCount - t)
            return fwFail(NO_SUCH_ENTRY, -1);
        const uint64 count = lastCount - static_cast<uint64>(offset);
        const Cell& c = cell(count);
        if (c.seq.load(std::memory_order_acquire) != count + 1)
            return fwFail(NO_SUCH_ENTRY, -1);
        fendral::detail::copyRecord(&elem, &c.data);
        return 0;
    }

    // The several-reader dequeue with its own tries: a sleep of retryInterval
    // before every try but the first when the interval is positive.
    int32 multiRwDequeue(T& elem, int32 retryCnt, int32 retryInterval)
    {
        return take(&elem, retryCnt, retryInterval, true);
    }

    // Empties the ring of the records written so far, in order; a slot still
    // being written, and what follows it, stays for the reader.
    int32 reset(int32 retryCnt = DEFAULT_RETRY_CNT, int32 retryInterval = DEFAULT_RETRY_INTERVAL)
    {
        const bool locked = m_multiReader && m_optimizeMode == CPU_UTILIZATION;
        if (locked)
        {
            const int32 r = lockWithTries(m_rlock, retryCnt, retryInterval);
            if (r != 0)
                return r;
        }
        while (takeOne(nullptr) == 0)
        {
        }
        if (locked)
            m_rlock.unlock();
        return 0;
    }

    // Records reserved and not yet taken (a record being written counts).
    uint32 getNumElem() const
    {
        const uint64 t = m_tail.load(std::memory_order_acquire);
        const uint64 h = m_head.load(std::memory_order_acquire);
        return h > t ? static_cast<uint32>(h - t) : 0;
    }

    uint32 getNumFreeEntry() const
    {
        const uint32 used = getNumElem();
        return used >= m_capacity ? 0 : m_capacity - used;
    }

    // True when more than n entries are free. The writers' cached view of
    // the readers' index only lags, so it can only under-count what is free:
    // while it shows enough room the answer needs no look at the readers'
    // line, which every read dirties; otherwise the real index decides. A
    // writer that checks for room before each put thus stays off the
    // reader's cache line while the ring is far from full.
    bool hasFreeEntriesAbove(uint32 n)
    {
        // The cached tail first: it is some past tail, and the head read
        // after it is at least that (counts only grow).
        const uint64 cached = m_cachedTail.load(std::memory_order_acquire);
        const uint64 h = m_head.load(std::memory_order_acquire);
        if (freeFor(h, cached) > n)
            return true;
        const uint64 t = m_tail.load(std::memory_order_acquire);
        m_cachedTail.store(t, std::memory_order_relaxed);
        return freeFor(m_head.load(std::memory_order_acquire), t) > n;
    }

    // True when the record after those taken is written: the reader's own
    // index and the slot it reads next, nothing the writers write otherwise.
    // Another reader may take it first.
    bool nextReady() const
    {
        const uint64 t = m_tail.load(std::memory_order_relaxed);
        return cell(t).seq.load(std::memory_order_acquire) == t + 1;
    }

    uint32 getCapacity() const { return m_capacity; }
    int32 getMaxUsage() const { return m_maxUsage.load(std::memory_order_relaxed); }
    void resetMaxUsage() { m_maxUsage.store(0, std::memory_order_relaxed); }

private:
    struct Cell
    {
        // h: free for the writer of count h; h + 1: holds the record of count h.
        std::atomic<uint64> seq;
        T data;
    };

    // Writers' line: the one every put writes.
    alignas(64) std::atomic<uint64> m_head{0}; // next count to reserve
    MutexLock m_wlock;
    // Read by every put, written rarely: a line of its own stays shared.
    alignas(64) std::atomic<uint64> m_cachedTail{0}; // writers' last view of m_tail
    std::atomic<int32> m_maxUsage{0};
    // Readers' line.
    alignas(64) std::atomic<uint64> m_tail{0}; // next count to read
    MutexLock m_rlock;
    // Read-only after construction.
    alignas(64) const uint32 m_capacity;
    const uint64 m_slots;
    const bool m_multiReader;
    const bool m_multiWriter;
    const OptimizationMode m_optimizeMode;
    std::unique_ptr<Cell[]> m_cells;

    static uint64 slotCountFor(uint32 capacity)
    {
        uint64 n = 1;
        while (n < capacity)
            n <<= 1;
        return n;
    }

    Cell& cell(uint64 count) const { return m_cells[count & (m_slots - 1)]; }

    uint32 freeFor(uint64 head, uint64 tail) const
    {
        const uint64 used = head > tail ? head - tail : 0;
        return used >= m_capacity ? 0 : static_cast<uint32>(m_capacity - used);
    }

    void pauseBetweenTries(int32 retryInterval) const
    {
        if (m_optimizeMode == CPU_UTILIZATION && retryInterval > 0)
            ::usleep(static_cast<useconds_t>(retryInterval));
    }

    // True when count h would put more than numOfEntry records in the ring.
    // A stale cached tail only errs towards full, and then the real one is read.
    bool overCapacity(uint64 h)
    {
        if (h - m_cachedTail.load(std::memory_order_relaxed) < m_capacity)
            return false;
        const uint64 t = m_tail.load(std::memory_order_acquire);
        m_cachedTail.store(t, std::memory_order_relaxed);
        return h >= t && h - t >= m_capacity;
    }

    // The cached tail only lags, so its fill is an upper bound; the real tail
    // is read only when that bound would raise the maximum.
    void noteUsage(uint64 newHead)
    {
        const uint64 bound = newHead - m_cachedTail.load(std::memory_order_relaxed);
        int32 seen = m_maxUsage.load(std::memory_order_relaxed);
        if (bound <= static_cast<uint64>(seen) || static_cast<uint32>(seen) >= m_capacity)
            return;
        const uint64 t = m_tail.load(std::memory_order_acquire);
        m_cachedTail.store(t, std::memory_order_relaxed);
        const auto real = static_cast<int32>(newHead > t ? newHead - t : 0);
        while (real > seen && !m_maxUsage.compare_exchange_weak(seen, real, std::memory_order_relaxed))
        {
        }
    }

    void publish(Cell& c, uint64 h, const T& elem, int32* slotIdx)
    {
        fendral::detail::copyRecord(&c.data, &elem);
        c.seq.store(h + 1, std::memory_order_release);
        noteUsage(h + 1);
        if (slotIdx != nullptr)
            *slotIdx = static_cast<int32>(h & (m_slots - 1));
    }

    // One writer at a time (alone, or under the writers' lock). -1: full.
    int32 reserveAlone(const T& elem, int32* slotIdx)
    {
        const uint64 h = m_head.load(std::memory_order_relaxed);
        Cell& c = cell(h);
        if (overCapacity(h) || c.seq.load(std::memory_order_acquire) != h)
            return -1;
        m_head.store(h + 1, std::memory_order_release);
        publish(c, h, elem, slotIdx);
        return 0;
    }

    // Several lock-free writers. A lost race for a count is no failed try:
    // only a full ring ends the attempt. -1: full.
    int32 reserveShared(const T& elem, int32* slotIdx)
    {
        uint64 h = m_head.load(std::memory_order_relaxed);
        for (;;)
        {
            Cell& c = cell(h);
            const auto lap = static_cast<int64>(c.seq.load(std::memory_order_acquire) - h);
            if (lap == 0)
            {
                if (overCapacity(h))
                    return -1;
                if (m_head.compare_exchange_weak(h, h + 1, std::memory_order_relaxed))
                {
                    publish(c, h, elem, slotIdx);
                    return 0;
                }
            }
            else if (lap < 0)
            {
                return -1; // the slot still holds last lap's record
            }
            else
            {
                h = m_head.load(std::memory_order_relaxed);
            }
        }
    }

    // Takes the next record into out (or drops it when out is null).
    // 0, or -1 when the next record is not there (yet).
    int32 takeOne(T* out)
    {
        uint64 t = m_tail.load(std::memory_order_relaxed);
        const bool shared = m_multiReader && m_optimizeMode != CPU_UTILIZATION;
        for (;;)
        {
            Cell& c = cell(t);
            const auto lap = static_cast<int64>(c.seq.load(std::memory_order_acquire) - (t + 1));
            if (lap < 0)
                return -1;
            if (lap > 0)
            {
                t = m_tail.load(std::memory_order_relaxed);
                continue;
            }
            if (shared)
            {
                if (!m_tail.compare_exchange_weak(t, t + 1, std::memory_order_relaxed))
                    continue;
            }
            if (out != nullptr)
                fendral::detail::copyRecord(out, &c.data);
            c.seq.store(t + m_slots, std::memory_order_release);
            if (!shared)
                m_tail.store(t + 1, std::memory_order_release);
            return 0;
        }
    }

    int32 take(T* out, int32 retryCnt, int32 retryInterval, bool sleepAlways)
    {
        const bool locked = m_multiReader && m_optimizeMode == CPU_UTILIZATION;
        for (int32 tries = 1;; ++tries)
        {
            int32 r = locked ? lockOnce(m_rlock, tries >= retryCnt) : 0;
            if (r == 0)
            {
                r = takeOne(out);
                if (locked)
                    m_rlock.unlock();
                if (r == 0)
                    return 0;
            }
            else if (r < 0)
            {
                return -1;
            }
            if (tries >= retryCnt)
                return fwFail(BUFFER_EMPTY, -1);
            if (sleepAlways && retryInterval > 0)
                ::usleep(static_cast<useconds_t>(retryInterval));
            else
                pauseBetweenTries(retryInterval);
        }
    }

    // 0 locked; 1 to retry (LOCK_NO_RES before the last try); -1 failed.
    static int32 lockOnce(MutexLock& lock, bool lastTry)
    {
        if (lock.lock(-1) == 0)
            return 0;
        const int32 code = FrameworkErrno::m_fwErrno;
        if (code == LOCK_NO_RES && !lastTry)
            return 1;
        if (code == LOCK_NO_RES || code == LOCK_BUSY)
            FrameworkErrno::m_fwErrno = LOCK_FAILED;
        return -1;
    }

    int32 lockWithTries(MutexLock& lock, int32 retryCnt, int32 retryInterval)
    {
        for (int32 tries = 1;; ++tries)
        {
            const int32 r = lockOnce(lock, tries >= retryCnt);
            if (r != 1)
                return r;
            if (retryInterval > 0)
                ::usleep(static_cast<useconds_t>(retryInterval));
        }
    }
};
