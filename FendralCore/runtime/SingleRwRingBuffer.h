// A ring of N usable slots (N + 1 in all, one always empty) for one writer and
// one reader, laid out to live in memory shared with another process: the
// framework agent writes commands at the head, the control thread reads them
// at the tail. The writer advances only the head, the reader only the tail.
//
// The indices and the size are written by the other process, so every read
// checks them before use: a ring whose size is not N + 1 or whose head or tail
// lies outside the slots is logged and read as empty. An all-zero ring (a
// block nobody initialised) is simply empty.
#pragma once

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/FwTypes.h"
#include "FendralCore/foundation/LogLevels.h"
#include "FendralCore/runtime/FwLog.h"

#include <atomic>
#include <cstring>
#include <type_traits>

template <typename T, int32 N>
class SingleRwRingBuffer
{
public:
    static_assert(std::is_trivially_copyable_v<T>, "slots are copied as bytes between processes");
    static_assert(N > 0);
    static constexpr int32 BUF_SIZE = N + 1;

    // Layout shared with the other process: keep the fields as they are.
    T elemBuf[BUF_SIZE];
    int32 m_maxUsage;  // peak fill, kept by the writer
    int32 m_headIndex; // next slot the writer fills
    int32 m_tailIndex; // next slot the reader takes
    int32 m_bufSize;   // BUF_SIZE, set by the creator

    // The creator's set-up: empty, with its size.
    void initialize()
    {
        m_maxUsage = 0;
        store(m_headIndex, 0);
        store(m_tailIndex, 0);
        store(m_bufSize, BUF_SIZE);
    }

    // Writer: 0, or -1 with BUFFER_FULL (also for a ring that is not usable).
    int32 enqueue(const T& elem)
    {
        int32 head, tail;
        if (!snapshot(head, tail, true))
            return fwFail(BUFFER_FULL, -1);
        const int32 next = head + 1 == BUF_SIZE ? 0 : head + 1;
        if (next == tail)
            return fwFail(BUFFER_FULL, -1);
        std::memcpy(&elemBuf[head], &elem, sizeof(T));
        std::atomic_thread_fence(std::memory_order_seq_cst);
        store(m_headIndex, next);
        const int32 used = waiting(next, tail);
        if (used > m_maxUsage)
            m_maxUsage = used;
        return 0;
    }

    // Reader: copies the oldest slot, then frees it. 0, or -1 with
    // BUFFER_EMPTY (also for an unusable ring).
    int32 dequeue(T& elem)
    {
        int32 head, tail;
        if (!snapshot(head, tail, true) || head == tail)
            return fwFail(BUFFER_EMPTY, -1);
        std::memcpy(&elem, &elemBuf[tail], sizeof(T));
        // The slot is copied out before the writer may see it free.
        std::atomic_thread_fence(std::memory_order_seq_cst);
        store(m_tailIndex, tail + 1 == BUF_SIZE ? 0 : tail + 1);
        return 0;
    }

    // Entries waiting; 0 for an unusable ring.
    int32 getNumOfElem() const
    {
        int32 head, tail;
        if (!snapshot(head, tail, false))
            return 0;
        return waiting(head, tail);
    }

private:
    static int32 load(const int32& field)
    {
        return std::atomic_ref<int32>(const_cast<int32&>(field)).load(std::memory_order_acquire);
    }
    static void store(int32& field, int32 value)
    {
        std::atomic_ref<int32>(field).store(value, std::memory_order_release);
    }
    static int32 waiting(int32 head, int32 tail) { return head >= tail ? head - tail : head - tail + BUF_SIZE; }

    // One read of each index, checked; false when the ring cannot be used.
    bool snapshot(int32& head, int32& tail, bool logBadRing) const
    {
        const int32 size = load(m_bufSize);
        head = load(m_headIndex);
        tail = load(m_tailIndex);
        if (size == BUF_SIZE && head >= 0 && head < BUF_SIZE && tail >= 0 && tail < BUF_SIZE)
            return true;
        if (size == 0 && head == 0 && tail == 0)
            return false; // never initialised: empty
        if (logBadRing)
            fwLog(LOG_LEVEL_ERROR,
                  "Shared ring buffer is corrupt: size [%d] (expected [%d]), head [%d], tail [%d]. Treat it as empty.",
                  size, BUF_SIZE, head, tail);
        return false;
    }
};
