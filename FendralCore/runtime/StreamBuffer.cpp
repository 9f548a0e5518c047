#include "FendralCore/runtime/StreamBuffer.h"

#include "FendralCore/runtime/FramingFields.h"

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/LogLevels.h"
#include "FendralCore/runtime/FrameworkResource.h"
#include "FendralCore/runtime/FwLog.h"
#include "FendralCore/runtime/ResourceManager.h"

#include <cstring>
#include <limits>

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
    : EventDescriptor(0, blockMode, DATA_STREAM_DESC),
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

int32 StreamBuffer::enqueue(const char* data, int32 length, int32& written, int32& newHeadIdx, bool allOrNothing,
                           bool wake)
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

    // The bytes are in and the head has moved whatever the post says: a
    // caller must not write them again on -1 (the code tells why).
    return wake ? wakeReader() : 0;
}

int32 StreamBuffer::writableRegions(iovec regions[2], int32 maxLen) const
{
    const int32 head = m_headIndex.load(std::memory_order_relaxed);
    const int32 free = m_ringSize - 1 - held(head, m_tailIndex.load(std::memory_order_acquire));
    const int32 n = free < maxLen ? free : maxLen;
    if (n <= 0)
        return 0;
    const int32 first = n < m_ringSize - head ? n : m_ringSize - head;
    regions[0] = iovec{m_bufPtr + head, static_cast<size_t>(first)};
    if (first == n)
        return 1;
    regions[1] = iovec{m_bufPtr, static_cast<size_t>(n - first)};
    return 2;
}

void StreamBuffer::commitWritten(int32 n, int32& newHeadIdx)
{
    const int32 head = m_headIndex.load(std::memory_order_relaxed);
    const int32 newHead = head + n >= m_ringSize ? head + n - m_ringSize : head + n;
    m_headIndex.store(newHead, std::memory_order_release);
    newHeadIdx = newHead;
    const int32 used = held(newHead, m_tailIndex.load(std::memory_order_acquire));
    if (used > m_maxUsage.load(std::memory_order_relaxed))
        m_maxUsage.store(used, std::memory_order_relaxed);
}

int32 StreamBuffer::wakeReader()
{
    if (m_optimizeMode != CPU_UTILIZATION)
        return 0;
    int32 r = postEvent();
    while (r != 0 && FrameworkErrno::m_fwErrno == WOULD_BLOCK)
        r = postEvent();
    return r;
}

void StreamBuffer::takeWakeUps()
{
    if (m_optimizeMode != CPU_UTILIZATION)
        return;
    const int32 savedCode = FrameworkErrno::m_fwErrno;
    unsigned long count = 0;
    // None pending (another pass took them) is no failure.
    deliverEvent(count);
    FrameworkErrno::m_fwErrno = savedCode;
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

int32 StreamBuffer::freeRoom() const
{
    return m_ringSize - 1 - held(m_headIndex.load(std::memory_order_relaxed), m_tailIndex.load(std::memory_order_acquire));
}

bool StreamBuffer::writerWaits()
{
    m_writerWaiting.store(true, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (getStreamBufStatus() != 1 || freeRoom() == 0)
        return true;
    // Room came meanwhile: take the wait back, unless the reader has taken
    // it already; its answer is then on the way and is waited for.
    return !m_writerWaiting.exchange(false, std::memory_order_acq_rel);
}

bool StreamBuffer::takeWaitingWriter(bool atHead)
{
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (!m_writerWaiting.load(std::memory_order_relaxed))
        return false;
    if (!atHead)
    {
        const int32 capacity = m_ringSize - 1;
        const int32 wanted = capacity / 2 < WRITER_RESUME_ROOM ? capacity / 2 : WRITER_RESUME_ROOM;
        const int32 free =
            capacity - held(m_headIndex.load(std::memory_order_acquire), m_tailIndex.load(std::memory_order_relaxed));
        if (free < wanted || free == 0)
            return false;
    }
    return m_writerWaiting.exchange(false, std::memory_order_acq_rel);
}

int32 StreamBuffer::availEntry() const
{
    return held(m_headIndex.load(std::memory_order_acquire), m_tailIndex.load(std::memory_order_acquire));
}

// ---- Framing (reader side) ----

int32 StreamBuffer::beginFrame(const char* buf, bool take, int32 maxLen, int32 headLimit, int32& tail, int32& avail)
{
    avail = 0;
    // A zero capacity would cut empty messages forever.
    if ((take && buf == nullptr) || maxLen < 1 || headLimit < -1 || headLimit >= m_ringSize)
        return fwFail(INVALID_FUNC_ARG, -1);
    tail = m_tailIndex.load(std::memory_order_relaxed);
    const int32 head = m_headIndex.load(std::memory_order_acquire);
    // A limit beyond the bytes held now is stale: nothing is left before it.
    const int32 end = headLimit == -1 ? head : (held(headLimit, tail) <= held(head, tail) ? headLimit : tail);
    if (end == tail)
        return fwFail(BUFFER_EMPTY, -1);
    avail = held(end, tail);
    return 0;
}

void StreamBuffer::copyFrom(int32 tail, char* buf, int32 len) const
{
    const int32 first = len < m_ringSize - tail ? len : m_ringSize - tail;
    std::memcpy(buf, m_bufPtr + tail, static_cast<size_t>(first));
    std::memcpy(buf + first, m_bufPtr, static_cast<size_t>(len - first));
}

void StreamBuffer::discardAll()
{
    if (m_optimizeMode == CPU_UTILIZATION)
        clearAllEvent();
    const int32 tail = m_tailIndex.load(std::memory_order_relaxed);
    consume(tail, held(m_headIndex.load(std::memory_order_acquire), tail));
}

void StreamBuffer::consume(int32 tail, int32 len)
{
    m_tailIndex.store(tail + len >= m_ringSize ? tail + len - m_ringSize : tail + len, std::memory_order_release);
}

int32 StreamBuffer::dequeueMessage(char* buf, MsgFormatType& format, int32 maxLen, int32& msgLen, int32& hdrLen,
                                   int32 headLimit)
{
    return frameMessage<true>(buf, format, maxLen, msgLen, hdrLen, headLimit);
}

int32 StreamBuffer::peekMessage(MsgFormatType& format, int32 maxLen, int32& msgLen, int32& hdrLen, int32 headLimit)
{
    return frameMessage<false>(nullptr, format, maxLen, msgLen, hdrLen, headLimit);
}

void StreamBuffer::copyMessage(int32 offset, char* buf, int32 len) const
{
    const int32 at = m_tailIndex.load(std::memory_order_relaxed) + offset;
    copyFrom(at >= m_ringSize ? at - m_ringSize : at, buf, len);
}

void StreamBuffer::skipMessage(int32 len)
{
    consume(m_tailIndex.load(std::memory_order_relaxed), len);
    m_totalMsgSize = 0;
}

template <bool Take>
int32 StreamBuffer::frameMessage(char* buf, MsgFormatType& format, int32 maxLen, int32& msgLen,
                                 int32& hdrLen, int32 headLimit)
{
    msgLen = 0;
    hdrLen = 0;
    if (m_channelResPtr == nullptr)
        return fwFail(RES_TCPCONN_NOT_EXIST, -1);
    const MsgFormatType channelFormat = m_channelResPtr->regParam.msgFormat;
    int32 r = -1;
    switch (channelFormat)
    {
    case MSG_FORMAT_RAW:
        r = frameRaw<Take>(buf, maxLen, msgLen, headLimit);
        break;
    case MSG_FORMAT_QUOR:
        r = frameQuor<Take>(buf, maxLen, msgLen, headLimit);
        break;
    case MSG_FORMAT_FIX:
        r = frameFix<Take>(buf, maxLen, msgLen, hdrLen, headLimit);
        break;
    case MSG_FORMAT_CUSTOM:
        r = frameApp<Take>(buf, maxLen, msgLen, m_channelResPtr->regParam.appMsgSizeInfo, headLimit);
        break;
    default:
        return fwFail(INVALID_MSG_FORMAT, -1);
    }
    if (r == 0)
        format = channelFormat;
    return r;
}

// Each framing finds the whole message at the tail; with Take it copies the
// message into buf and advances the tail past it, without it the ring stays
// as it is (the decoded length too) for copyMessage and skipMessage.
template <bool Take>
void StreamBuffer::takeFrame(char* buf, int32 tail, int32 len)
{
    if constexpr (!Take)
        return;
    copyFrom(tail, buf, len);
    consume(tail, len);
    m_totalMsgSize = 0;
}

int32 StreamBuffer::dequeueRawMsg(char* buf, int32 maxLen, int32& msgLen, int32 headLimit)
{
    return frameRaw<true>(buf, maxLen, msgLen, headLimit);
}

template <bool Take>
int32 StreamBuffer::frameRaw(char* buf, int32 maxLen, int32& msgLen, int32 headLimit)
{
    msgLen = 0;
    if (m_maxPipeRawMsgSize > 0 && maxLen > m_maxPipeRawMsgSize)
        maxLen = m_maxPipeRawMsgSize;
    int32 tail = 0;
    int32 avail = 0;
    if (beginFrame(buf, Take, maxLen, headLimit, tail, avail) != 0)
        return -1;
    const int32 n = avail < maxLen ? avail : maxLen;
    takeFrame<Take>(buf, tail, n);
    msgLen = n;
    return 0;
}

int32 StreamBuffer::dequeueQuorMsg(char* buf, int32 maxLen, int32& msgLen, int32 headLimit)
{
    return frameQuor<true>(buf, maxLen, msgLen, headLimit);
}

template <bool Take>
int32 StreamBuffer::frameQuor(char* buf, int32 maxLen, int32& msgLen, int32 headLimit)
{
    msgLen = 0;
    int32 tail = 0;
    int32 avail = 0;
    if (beginFrame(buf, Take, maxLen, headLimit, tail, avail) != 0)
        return -1;
    if (m_totalMsgSize == 0 && avail >= QUOR_HEADER_SIZE)
    {
        const auto lo = static_cast<unsigned char>(byteAt(tail, 0));
        const auto hi = static_cast<unsigned char>(byteAt(tail, 1));
        m_totalMsgSize = (hi << 8 | lo) + QUOR_HEADER_SIZE;
    }
    const int32 total = m_totalMsgSize;
    // A frame the ring cannot hold would never complete and stall the channel.
    if (total != 0 && (total > maxLen || total > m_ringSize - 1))
    {
        m_totalMsgSize = 0;
        msgLen = total;
        return fwFail(MSG_TOO_LARGE, -1);
    }
    if (total == 0 || avail < total)
    {
        msgLen = avail;
        return fwFail(PARTIAL_MSG_RCVD, -1);
    }
    takeFrame<Take>(buf, tail, total);
    msgLen = total;
    return 0;
}

int32 StreamBuffer::dequeueFixMsg(char* buf, int32 maxLen, int32& msgLen, int32& hdrLen, int32 headLimit)
{
    return frameFix<true>(buf, maxLen, msgLen, hdrLen, headLimit);
}

template <bool Take>
int32 StreamBuffer::frameFix(char* buf, int32 maxLen, int32& msgLen, int32& hdrLen, int32 headLimit)
{
    static constexpr char PREFIX[FIX_PREFIX_SIZE + 1] = "8=FIXT.1.1\x01"
                                                        "9=";
    static constexpr char SOH = '\x01';
    msgLen = 0;
    hdrLen = 0;
    int32 tail = 0;
    int32 avail = 0;
    if (beginFrame(buf, Take, maxLen, headLimit, tail, avail) != 0)
        return -1;
    if (avail < FIX_PREFIX_SIZE)
    {
        msgLen = avail;
        return fwFail(NOT_ENOUGH_FILLED_ENTRY, -1);
    }
    for (int32 i = 0; i < FIX_PREFIX_SIZE; ++i)
        if (byteAt(tail, i) != PREFIX[i])
            return fwFail(INVALID_MSG_FORMAT, -1);

    // BodyLength: the characters up to the next SOH, at most 100 of them.
    // Without a SOH within that reach the stream cannot be FIX; waiting for
    // one would stall the channel until the ring is full.
    int32 digits = 0;
    const int32 reach = avail - FIX_PREFIX_SIZE;
    while (digits < reach && digits <= FIX_MAX_LEN_DIGITS && byteAt(tail, FIX_PREFIX_SIZE + digits) != SOH)
        ++digits;
    if (digits > FIX_MAX_LEN_DIGITS)
        return fwFail(INVALID_MSG_FORMAT, -1);
    if (digits == reach)
    {
        msgLen = avail;
        return fwFail(NOT_ENOUGH_FILLED_ENTRY, -1);
    }
    if (digits == 0)
        return fwFail(INVALID_MSG_FORMAT, -1);
    for (int32 i = 0; i < digits; ++i)
        m_tmpbuf[i] = byteAt(tail, FIX_PREFIX_SIZE + i);
    const int64 bodyLength = framing::parseDecimal(m_tmpbuf, digits);
    if (bodyLength < 0)
        return fwFail(INVALID_MSG_FORMAT, -1);

    const int32 headerLen = digits + FIX_PREFIX_SIZE + 1;
    const int64 total = headerLen + bodyLength + FIX_TRAILER_SIZE;
    if (total > maxLen || total > m_ringSize - 1)
        return fwFail(MSG_TOO_LONG, -1);
    if (avail < total)
    {
        msgLen = avail;
        return fwFail(NOT_ENOUGH_FILLED_ENTRY, -1);
    }
    const auto len = static_cast<int32>(total);
    // The trailer is checked in the ring: a bad one leaves nothing copied.
    if (len < FIX_TRAILER_SIZE + 1 || byteAt(tail, len - 8) != SOH || byteAt(tail, len - 7) != '1' ||
        byteAt(tail, len - 6) != '0' || byteAt(tail, len - 5) != '=' || byteAt(tail, len - 1) != SOH)
        return fwFail(INVALID_MSG_FORMAT, -1);
    takeFrame<Take>(buf, tail, len);
    msgLen = len;
    hdrLen = headerLen;
    return 0;
}

// The checksum field's frame: SOH "10=" three characters SOH. The three
// characters are not compared.
bool StreamBuffer::validateFixChecksumTag(const char* msg, int32 len)
{
    return len >= FIX_TRAILER_SIZE + 1 && msg[len - 8] == '\x01' && msg[len - 7] == '1' && msg[len - 6] == '0' &&
           msg[len - 5] == '=' && msg[len - 1] == '\x01';
}

int32 StreamBuffer::dequeueAppMsg(char* buf, int32 maxLen, int32& msgLen, const AppMsgSizeInfo& sizeInfo,
                                  int32 headLimit)
{
    return frameApp<true>(buf, maxLen, msgLen, sizeInfo, headLimit);
}

template <bool Take>
int32 StreamBuffer::frameApp(char* buf, int32 maxLen, int32& msgLen, const AppMsgSizeInfo& sizeInfo,
                             int32 headLimit)
{
    msgLen = 0;
    int32 tail = 0;
    int32 avail = 0;
    if (beginFrame(buf, Take, maxLen, headLimit, tail, avail) != 0)
        return -1;
    const int32 width = framing::sizeFieldWidth(sizeInfo.sizeFldType);
    if (width == 0)
        return fwFail(INVALID_FIELD_TYPE, -1);
    // A field the ring could never hold in full is a bad description.
    if (sizeInfo.sizeFldOffset < 0 || sizeInfo.sizeFldOffset > m_ringSize - 1 - width)
        return fwFail(INVALID_FUNC_ARG, -1);
    const int32 minimum = sizeInfo.sizeFldOffset + width;

    if (m_totalMsgSize == 0 && avail >= minimum)
    {
        unsigned char field[4];
        for (int32 i = 0; i < width; ++i)
            field[i] = static_cast<unsigned char>(byteAt(tail, sizeInfo.sizeFldOffset + i));
        int64 total = framing::decodeSizeField(field, sizeInfo.sizeFldType);
        if (total < 0)
            return fwFail(INVALID_MSG_FORMAT, -1);
        if (sizeInfo.bodySizeOnly)
            total += int64{sizeInfo.headerSize} + sizeInfo.trailerSize;
        if (total < minimum)
            return fwFail(INVALID_MSG_FORMAT, -1);
        // Kept in 32 bits only once it is known to fit the ring.
        if (total > maxLen || total > m_ringSize - 1)
        {
            msgLen = total > std::numeric_limits<int32>::max() ? std::numeric_limits<int32>::max()
                                                               : static_cast<int32>(total);
            return fwFail(MSG_TOO_LARGE, -1);
        }
        m_totalMsgSize = static_cast<int32>(total);
    }
    const int32 total = m_totalMsgSize;
    if (total > maxLen)
    {
        m_totalMsgSize = 0;
        msgLen = total;
        return fwFail(MSG_TOO_LARGE, -1);
    }
    if (total < 1 || avail < total)
    {
        msgLen = avail;
        return fwFail(PARTIAL_MSG_RCVD, -1);
    }
    takeFrame<Take>(buf, tail, total);
    msgLen = total;
    return 0;
}

int32 StreamBuffer::dequeueFixLenMsg(char* buf, int32 maxLen, int32 fixLen, int32& msgLen, int32 headLimit)
{
    msgLen = 0;
    if (fixLen < 1)
        return fwFail(INVALID_FUNC_ARG, -1);
    int32 tail = 0;
    int32 avail = 0;
    if (beginFrame(buf, true, maxLen, headLimit, tail, avail) != 0)
        return -1;
    if (fixLen > maxLen || fixLen > m_ringSize - 1)
        return fwFail(MSG_TOO_LARGE, -1);
    if (avail < fixLen)
    {
        msgLen = avail;
        return fwFail(PARTIAL_MSG_RCVD, -1);
    }
    copyFrom(tail, buf, fixLen);
    consume(tail, fixLen);
    msgLen = fixLen;
    return 0;
}
