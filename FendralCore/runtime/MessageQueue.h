// A thread's inbound queue: a RingBuffer of records plus an eventfd that
// wakes the reader in its multiplexer. In CPU_UTILIZATION mode every put posts
// the eventfd and the reader takes the whole posted count as one batch; in
// LOW_LATENCY mode nothing makes a system call and the reader polls, taking
// at most m_batchReadSize records per batch.
//
// One reader (the owning thread's dispatcher) and any number of writers.
#pragma once

#include "FendralCore/foundation/EventDescriptor.h"
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/runtime/FwIntMessage.h"
#include "FendralCore/runtime/RingBuffer.h"

#include <sys/eventfd.h>

// The two queues of every thread; control events travel on the high-priority one.
enum MessageQueueType : int32
{
    MQUEUE_NORMAL = 0,
    MQUEUE_HIGH_PRIORITY = 1,
};
constexpr int32 MQUEUE_TYPE_NUM = 2;

template <typename T>
class MessageQueue : public EventDescriptor
{
public:
    MessageQueue(uint32 numOfEntry, bool multiReader, bool multiWriter, OptimizationMode optimizeMode, bool block,
                 uint32 batchReadSize)
        : EventDescriptor(multiReader ? EFD_SEMAPHORE : 0, block, MSG_QUEUE_DESC),
          m_bufferPtr(numOfEntry, multiReader, multiWriter, optimizeMode),
          m_multiReader(multiReader),
          m_multiWriter(multiWriter),
          m_optimizeMode(optimizeMode),
          m_batchReadSize(batchReadSize > 0 ? batchReadSize : 1)
    {
    }

    // 0, or -1 with the code set. In CPU_UTILIZATION mode a message whose
    // wake-up post failed is still in the ring; the next batch finds it.
    int32 putMessage(const T* msg)
    {
        if (msg == nullptr)
            return fwFail(NULL_PARAM, -1);
        if (m_bufferPtr.enqueue(*msg) != 0)
            return -1;
        if (m_optimizeMode != CPU_UTILIZATION)
            return 0;
        return postEvent();
    }

    // As putMessage, but the reader is not woken: in CPU_UTILIZATION mode the
    // caller owes one wakeUp covering every message so put. A writer that
    // puts a burst saves a system call per message this way.
    int32 putMessageQuietly(const T* msg)
    {
        if (msg == nullptr)
            return fwFail(NULL_PARAM, -1);
        return m_bufferPtr.enqueue(*msg) != 0 ? -1 : 0;
    }

    // Wakes the reader for count messages put quietly (nothing to do in
    // LOW_LATENCY mode, where the reader polls the ring).
    int32 wakeUp(uint64 count)
    {
        if (m_optimizeMode != CPU_UTILIZATION || count == 0)
            return 0;
        return postEvents(count);
    }

    // 0 and the next message, or -1 with BUFFER_EMPTY. more is true while the
    // current batch holds further messages.
    int32 getMessage(T* msg, bool& more)
    {
        more = false;
        if (msg == nullptr)
            return fwFail(NULL_PARAM, -1);
        if (m_optimizeMode != CPU_UTILIZATION)
            return takePolled(msg, more);
        uint64 count = m_numOfEvt;
        if (count == 0)
        {
            unsigned long posted = 0;
            if (deliverEvent(posted) != 0)
            {
                if (FrameworkErrno::m_fwErrno == WOULD_BLOCK)
                    FrameworkErrno::m_fwErrno = BUFFER_EMPTY;
                return -1;
            }
            if (posted == 0)
                return fwFail(BUFFER_EMPTY, -1);
            count = posted;
        }
        if (m_bufferPtr.dequeue(*msg) != 0)
        {
            // After a lock failure the announced messages are still in the
            // ring and must not wait for the next post; an empty ring means
            // the count is stale (the queue was reset under a writer).
            m_numOfEvt = FrameworkErrno::m_fwErrno == BUFFER_EMPTY ? 0 : count;
            return -1;
        }
        m_numOfEvt = count - 1;
        more = count != 1;
        return 0;
    }

    // Empties the queue: committed messages are dropped, pending wake-ups drained.
    int32 reset()
    {
        const int32 result = m_bufferPtr.reset(RingBuffer<T>::DEFAULT_RETRY_CNT, RingBuffer<T>::DEFAULT_RETRY_INTERVAL);
        if (m_optimizeMode == CPU_UTILIZATION)
        {
            m_numOfEvt = 0;
            clearAllEvent();
        }
        return result;
    }

    RingBuffer<T>& ring() { return m_bufferPtr; }
    uint32 getNumElem() const { return m_bufferPtr.getNumElem(); }
    uint32 getNumFreeEntry() const { return m_bufferPtr.getNumFreeEntry(); }
    // More than n entries free; cheaper than getNumFreeEntry for a writer
    // while the queue has room (see RingBuffer).
    bool hasFreeEntriesAbove(uint32 n) { return m_bufferPtr.hasFreeEntriesAbove(n); }
    int32 getMaxUsage() const { return m_bufferPtr.getMaxUsage(); }
    void resetMaxUsage() { m_bufferPtr.resetMaxUsage(); }
    OptimizationMode getOptimizeMode() const { return m_optimizeMode; }

private:
    // The polling reader's take: one record, then a look at whether the next
    // one is written, with m_numOfEvt as what is left of the batch. Counting
    // the stored records first would read the writers' index, and a reader
    // polling an empty queue would pull that line away from the writers
    // before every put; this way it polls only the slot the next put fills.
    int32 takePolled(T* msg, bool& more)
    {
        uint64 left = m_numOfEvt > 0 ? m_numOfEvt : m_batchReadSize;
        if (m_bufferPtr.dequeue(*msg, 1, 0) != 0)
        {
            m_numOfEvt = 0;
            return -1;
        }
        more = --left > 0 && m_bufferPtr.nextReady();
        m_numOfEvt = more ? left : 0;
        return 0;
    }

    RingBuffer<T> m_bufferPtr;
    const bool m_multiReader;
    const bool m_multiWriter;
    const OptimizationMode m_optimizeMode; // read by every put
    const uint32 m_batchReadSize;
    // The reader writes this with every message it takes: on a line of its
    // own, or every put would first fetch the line back from the reader's core
    // to read the mode beside it.
    alignas(64) uint64 m_numOfEvt = 0;
};
