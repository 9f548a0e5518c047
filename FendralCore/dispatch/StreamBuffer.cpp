#include "FendralCore/dispatch/StreamBuffer.h"

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/LogLevels.h"
#include "FendralCore/runtime/FrameworkResource.h"
#include "FendralCore/runtime/FwLog.h"
#include "FendralCore/runtime/ResourceManager.h"

#include <cstring>
#include <limits>
#include <sys/eventfd.h>

namespace
{
// A capacity that leaves no room for the free byte is refused: the ring is
// then one byte, always full and always empty, and says so on every call.
int32 ringSizeFor(int32 capacity)
{
    if (capacity < 1 || capacity == std::numeric_limits<int32>::max())
    {
        fwLog(LOG_LEVEL_ERROR, "Invalid stream buffer capacity [%d].", capacity);
        return 1;
    }
    return capacity + 1;
}

int32 pipeRawMsgSize(const TcpConnResource* channelResPtr)
{
    if (channelResPtr == nullptr || !channelResPtr->usePipeline)
        return 0;
    PipelineResource* pipeline = nullptr;
    if (ResourceManager::getInst().getPipelineRes(channelResPtr->regParam.pipelineNameTxt, &pipeline) != 0 ||
        pipeline == nullptr)
        return 0;
    const int32 size = pipeline->regParam.entrySize - StreamBuffer::PIPE_RAW_MSG_OVERHEAD;
    return size > 0 ? size : 0;
}
} // namespace

StreamBuffer::StreamBuffer(int32 capacity, OptimizationMode optimizeMode, bool blockMode)
    : EventDescriptor(0, blockMode, DATA_STREAM_DESC),
      m_ringSize(ringSizeFor(capacity)),
      m_optimizeMode(optimizeMode)
{
    m_bufPtr = new char[static_cast<size_t>(m_ringSize)]();
}

StreamBuffer::StreamBuffer(TcpConnResource* channelResPtr, int32 capacity, OptimizationMode optimizeMode,
                           bool blockMode)
    : EventDescriptor(EFD_SEMAPHORE, blockMode, DATA_STREAM_DESC),
      m_ringSize(ringSizeFor(capacity)),
      m_maxPipeRawMsgSize(pipeRawMsgSize(channelResPtr)),
      m_optimizeMode(optimizeMode),
      m_channelResPtr(channelResPtr)
{
    m_bufPtr = new char[static_cast<size_t>(m_ringSize)]();
}

StreamBuffer::~StreamBuffer()
{
    delete[] m_bufPtr;
    closeEventDesc();
}

int32 StreamBuffer::enqueue(const char* data, int32 length, int32& written, bool allOrNothing)
{
    int32 newHeadIdx = 0;
    return enqueue(data, length, written, newHeadIdx, allOrNothing);
}

int32 StreamBuffer::enqueue(const char* data, int32 length, int32& written, int32& newHeadIdx, bool allOrNothing)
{
    const int32 head = m_headIndex.load(std::memory_order_relaxed);
    written = 0;
    newHeadIdx = head;
    if (length < 0 || (data == nullptr && length > 0))
        return fwFail(INVALID_FUNC_ARG, -1);
    const int32 tail = m_tailIndex.load(std::memory_order_acquire);
    const int32 free = m_ringSize - 1 - held(head, tail);
    if (free == 0)
        return fwFail(BUFFER_FULL, -1);
    if (free < length && allOrNothing)
        return fwFail(NOT_ENOUGH_EMPTY_ENTRY, -1);
    if (length == 0)
        return 0;

    const int32 n = length < free ? length : free;
    const int32 first = n < m_ringSize - head ? n : m_ringSize - head;
    std::memcpy(m_bufPtr + head, data, static_cast<size_t>(first));
    std::memcpy(m_bufPtr, data + first, static_cast<size_t>(n - first));
    const int32 newHead = head + n >= m_ringSize ? head + n - m_ringSize : head + n;
    m_headIndex.store(newHead, std::memory_order_release);
    newHeadIdx = newHead;
    written = n;

    const int32 used = held(newHead, tail);
    if (used > m_maxUsage.load(std::memory_order_relaxed))
        m_maxUsage.store(used, std::memory_order_relaxed);

    if (m_optimizeMode != CPU_UTILIZATION)
        return 0;
    // The bytes are in and the head has moved whatever the post says: a
    // caller must not write them again on -1 (the code tells why).
    int32 r = postEvent();
    while (r != 0 && FrameworkErrno::m_fwErrno == WOULD_BLOCK)
        r = postEvent();
    return r;
}

int32 StreamBuffer::dequeue(char* buf, int32 maxLen, int32& n, bool exact, int32 headLimit)
{
    return read(buf, maxLen, n, exact, headLimit, true);
}

int32 StreamBuffer::peek(char* buf, int32 maxLen, int32& n, bool exact, int32 headLimit)
{
    return read(buf, maxLen, n, exact, headLimit, false);
}

int32 StreamBuffer::read(char* buf, int32 maxLen, int32& n, bool exact, int32 headLimit, bool consume)
{
    n = 0;
    if (maxLen < 0 || buf == nullptr || headLimit < -1 || headLimit >= m_ringSize)
        return fwFail(INVALID_FUNC_ARG, -1);
    if (m_optimizeMode == CPU_UTILIZATION)
    {
        unsigned long count = 0;
        if (deliverEvent(count) != 0 && FrameworkErrno::m_fwErrno != WOULD_BLOCK)
            return -1;
    }

    const int32 tail = m_tailIndex.load(std::memory_order_relaxed);
    const int32 head = m_headIndex.load(std::memory_order_acquire);
    int32 end = head;
    // A limit outside the bytes held now was already read past (a stale
    // record): nothing is left before it. Reading up to it anyway would hand
    // out bytes the writer has not written.
    if (headLimit != -1 && held(headLimit, tail) <= held(head, tail))
        end = headLimit;
    else if (headLimit != -1)
        end = tail;
    if (end == tail)
        return fwFail(BUFFER_EMPTY, -1);

    const int32 avail = held(end, tail);
    if (avail < maxLen && exact)
    {
        n = avail;
        return fwFail(NOT_ENOUGH_FILLED_ENTRY, -1);
    }
    const int32 count = avail > maxLen ? maxLen : avail;
    const int32 first = count < m_ringSize - tail ? count : m_ringSize - tail;
    std::memcpy(buf, m_bufPtr + tail, static_cast<size_t>(first));
    std::memcpy(buf + first, m_bufPtr, static_cast<size_t>(count - first));
    n = count;
    if (consume)
        m_tailIndex.store(tail + count >= m_ringSize ? tail + count - m_ringSize : tail + count,
                          std::memory_order_release);
    return 0;
}

void StreamBuffer::reset()
{
    m_tailIndex.store(m_headIndex.load(std::memory_order_acquire), std::memory_order_release);
    m_totalMsgSize = 0;
}

int32 StreamBuffer::availEntry() const
{
    return held(m_headIndex.load(std::memory_order_acquire), m_tailIndex.load(std::memory_order_acquire));
}
