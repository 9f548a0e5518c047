// Bounded ring of fixed records between exactly one writer thread and one
// reader thread, without a lock: the network receiver hands the stream thread
// its StreamEventRecords through one.
//
// The writer copies a record into the head slot and then publishes the head
// with a release store; the reader reads the head with an acquire load,
// copies the record out and only then frees the slot by storing the tail.
// Counts run free (never reduced modulo the ring), slots are a power of two,
// and the ring holds at most its requested capacity. Nothing allocates after
// construction.
#pragma once

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/FwErrorNum.h"
#include "FendralCore/foundation/FwTypes.h"

#include <atomic>
#include <memory>
#include <new>

template <typename T>
class SingleRwRingBuffer2
{
public:
    // A capacity below 1 or beyond 2^30 records is refused: the ring then
    // holds nothing and every put reports BUFFER_FULL.
    explicit SingleRwRingBuffer2(int32 capacity)
    {
        if (capacity < 1 || capacity > (1 << 30))
            return;
        uint64 slots = 1;
        while (slots < static_cast<uint64>(capacity))
            slots <<= 1;
        m_slots.reset(new (std::nothrow) T[slots]());
        if (m_slots)
        {
            m_capacity = static_cast<uint64>(capacity);
            m_mask = slots - 1;
        }
    }

    SingleRwRingBuffer2(const SingleRwRingBuffer2&) = delete;
    SingleRwRingBuffer2& operator=(const SingleRwRingBuffer2&) = delete;

    // Writer side. 0, or -1 with BUFFER_FULL.
    int32 enqueue(const T& record)
    {
        const uint64 head = m_head.load(std::memory_order_relaxed);
        if (head - m_cachedTail >= m_capacity)
        {
            m_cachedTail = m_tail.load(std::memory_order_acquire);
            if (head - m_cachedTail >= m_capacity)
                return fwFail(BUFFER_FULL, -1);
        }
        m_slots[head & m_mask] = record;
        m_head.store(head + 1, std::memory_order_release);
        return 0;
    }

    // Reader side. 0, or -1 with BUFFER_EMPTY.
    int32 dequeue(T& record)
    {
        const uint64 tail = m_tail.load(std::memory_order_relaxed);
        if (tail == m_head.load(std::memory_order_acquire))
            return fwFail(BUFFER_EMPTY, -1);
        record = m_slots[tail & m_mask];
        m_tail.store(tail + 1, std::memory_order_release);
        return 0;
    }

    // Records present now; from the reader, a pass may take exactly this many.
    int32 getNumEntries() const
    {
        const uint64 tail = m_tail.load(std::memory_order_acquire);
        return static_cast<int32>(m_head.load(std::memory_order_acquire) - tail);
    }

    int32 getCapacity() const { return static_cast<int32>(m_capacity); }

private:
    std::unique_ptr<T[]> m_slots;
    uint64 m_capacity = 0;
    uint64 m_mask = 0;
    alignas(64) std::atomic<uint64> m_head{0};
    uint64 m_cachedTail = 0; // writer's last view of the tail
    alignas(64) std::atomic<uint64> m_tail{0};
};
