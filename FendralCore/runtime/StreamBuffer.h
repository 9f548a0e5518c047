// A byte ring between one writer thread and one reader thread. Every
// connected TCP channel has one: the network receiver writes what it reads
// from the socket, the stream thread cuts whole messages out of it. The logger
// thread and the message replicator use the same class as a plain ring with
// no channel.
//
// In CPU_UTILIZATION mode every write posts the event descriptor so that the
// reader can wait for it in its multiplexer; in LOW_LATENCY mode the
// descriptor is left alone and the reader polls. The descriptor counts: one
// read takes every pending wake-up. Cutting messages never touches it; the
// stream thread takes the wake-ups once per pass, so a message costs it no
// system call.
//
// Only the writer moves the head and only the reader moves the tail. Each
// publishes its index with a release store after copying, and reads the
// other's with an acquire load, so the bytes between them are always whole.
// One byte always stays free: the ring holds at most its capacity.
#pragma once

#include "FendralCore/foundation/EventDescriptor.h"
#include "FendralCore/foundation/GlobalData.h"
#include "FendralCore/runtime/ResourceParam.h"

#include <atomic>
#include <sys/uio.h>

struct TcpConnResource;

class StreamBuffer : public EventDescriptor
{
public:
    // Bytes between a pipeline's entry size and the largest raw message that
    // fits one of its entries.
    static constexpr int32 PIPE_RAW_MSG_OVERHEAD = 216;

    // Plain ring of capacity bytes; a counting event descriptor.
    StreamBuffer(int32 capacity, OptimizationMode optimizeMode, bool blockMode);
    // The ring of a TCP channel.
    StreamBuffer(TcpConnResource* channelResPtr, int32 capacity, OptimizationMode optimizeMode, bool blockMode);
    ~StreamBuffer() override;

    // Writes up to length bytes at the head (all of them or none with
    // allOrNothing). written receives the bytes written, newHeadIdx the head
    // after the write, which the reader may pass back as a head limit.
    // With wake false the reader is not woken: the writer calls wakeReader
    // once whatever announces the bytes (the stream event record) is
    // visible, so that a reader woken by the post always finds it.
    int32 enqueue(const char* data, int32 length, int32& written, int32& newHeadIdx, bool allOrNothing,
                  bool wake = true);
    // Posts one wake-up in CPU_UTILIZATION mode; nothing otherwise.
    int32 wakeReader();
    // Reader side: takes every pending wake-up in one read (CPU_UTILIZATION
    // mode), before the pass that handles what they announced.
    void takeWakeUps();
    int32 enqueue(const char* data, int32 length, int32& written, bool allOrNothing);
    // Writer side, for a read straight into the ring: the free room as at
    // most two regions, maxLen bytes in all (the second when the room wraps
    // the ring end); the number of regions, 0 when there is no room.
    int32 writableRegions(iovec regions[2], int32 maxLen) const;
    // Writer side: publishes n bytes written into those regions, as enqueue
    // does with wake false; newHeadIdx as for enqueue.
    void commitWritten(int32 n, int32& newHeadIdx);

    // Reads up to maxLen bytes from the tail, no further than headLimit (-1:
    // the current head). With exact, fewer than maxLen bytes is a failure that
    // consumes nothing and reports in n how many there are.
    int32 dequeue(char* buf, int32 maxLen, int32& n, bool exact, int32 headLimit = -1);
    // As dequeue, but the bytes stay in the ring.
    int32 peek(char* buf, int32 maxLen, int32& n, bool exact, int32 headLimit = -1);

    // Discards everything held and the decoded frame length. Reader side.
    void reset();
    // Bytes held.
    int32 availEntry() const;

    // Framing: cut one whole message from the tail into buf (capacity maxLen),
    // contiguous even when it wraps the ring end, and advance the tail by
    // exactly its length. An incomplete message leaves the ring untouched and
    // reports the bytes readable in msgLen (PARTIAL_MSG_RCVD, or
    // NOT_ENOUGH_FILLED_ENTRY for FIX). Every length read from the stream is
    // checked: a message larger than maxLen or than the ring itself is refused.
    // headLimit as in dequeue.

    // By the channel's format; hdrLen is set by FIX only (0 otherwise).
    int32 dequeueMessage(char* buf, MsgFormatType& format, int32 maxLen, int32& msgLen, int32& hdrLen,
                         int32 headLimit = -1);
    // All readable bytes up to maxLen (lowered to the pipeline's raw limit for
    // a channel with a pipeline).
    int32 dequeueRawMsg(char* buf, int32 maxLen, int32& msgLen, int32 headLimit = -1);
    // The same framing without the copy: finds the whole message at the tail
    // (same results and codes as dequeueMessage) and leaves it in the ring.
    // The reader then copies what it needs of it with copyMessage, straight
    // into where the message goes, and releases it with skipMessage.
    int32 peekMessage(MsgFormatType& format, int32 maxLen, int32& msgLen, int32& hdrLen, int32 headLimit = -1);
    // len bytes of the message at the tail, from offset within it.
    void copyMessage(int32 offset, char* buf, int32 len) const;
    // Advances the tail past the message peekMessage found (len its length).
    void skipMessage(int32 len);
    // A QuorMsgHeader (u16 body size, u64 sequence) and its body.
    int32 dequeueQuorMsg(char* buf, int32 maxLen, int32& msgLen, int32 headLimit = -1);
    // One FIX message, checked for its prefix, BodyLength and trailer.
    int32 dequeueFixMsg(char* buf, int32 maxLen, int32& msgLen, int32& hdrLen, int32 headLimit = -1);
    // A message whose size field sizeInfo describes.
    int32 dequeueAppMsg(char* buf, int32 maxLen, int32& msgLen, const AppMsgSizeInfo& sizeInfo,
                        int32 headLimit = -1);
    // Exactly fixLen bytes, or PARTIAL_MSG_RCVD.
    int32 dequeueFixLenMsg(char* buf, int32 maxLen, int32 fixLen, int32& msgLen, int32 headLimit = -1);

    // SOH "10=" at len-8..len-5 and SOH at len-1.
    static bool validateFixChecksumTag(const char* msg, int32 len);

    static constexpr int32 QUOR_HEADER_SIZE = 10;
    static constexpr int32 FIX_PREFIX_SIZE = 13;   // "8=FIXT.1.1" SOH "9="
    static constexpr int32 FIX_TRAILER_SIZE = 7;   // "10=" three characters SOH
    static constexpr int32 FIX_MAX_LEN_DIGITS = 100;

    int32 getStreamBufStatus() const { return m_streamBufStatus.load(std::memory_order_acquire); }
    void setStreamBufStatus(int32 status) { m_streamBufStatus.store(status, std::memory_order_release); }
    // Reader side: after a framing error the stream cannot be cut again;
    // what it holds and what still arrives is discarded until it is removed.
    void setDiscarding() { m_discarding = true; }
    bool isDiscarding() const { return m_discarding; }
    // Drops every readable byte and, in CPU_UTILIZATION mode, every wake-up
    // count, so that a discarded stream never wakes its reader again.
    void discardAll();

    // The channel's peer, recorded by the writer before it announces the
    // stream: the reader takes it from here, never from the socket, which the
    // writer may close, reconnect or delete while the reader still cuts the
    // stream's last messages. Network byte order, as the socket gives them.
    void setPeer(uint32 addr, uint16 port)
    {
        m_peerAddr = addr;
        m_peerPort = port;
    }
    uint32 getPeerAddr() const { return m_peerAddr; }
    uint16 getPeerPort() const { return m_peerPort; }

    // A channel's writer stops reading its socket while the ring has no
    // room, or before the reader has taken the stream, and goes on when the
    // reader tells it to; the bytes meanwhile wait in the kernel. Without a
    // lock: the writer states that it waits, then looks at the ring once
    // more; the reader frees room (or takes the stream), then looks whether
    // the writer waits. One of the two always sees the other.

    // The reader answers a waiting writer once this much room is free (or
    // the ring's half, when that is less), so each wait moves a good share.
    static constexpr int32 WRITER_RESUME_ROOM = 65536;

    // Writer side: bytes that can be written now.
    int32 freeRoom() const;
    // Writer side, finding no room or the stream not taken: true when it
    // must now wait for the reader's answer; false when room came meanwhile.
    bool writerWaits();
    // Writer side: whether its wait is still unanswered.
    bool isWriterWaiting() const { return m_writerWaiting.load(std::memory_order_acquire); }
    // Writer side, going on by itself: an answer still to come is moot.
    void cancelWriterWait() { m_writerWaiting.store(false, std::memory_order_release); }
    // Reader side, after cutting or taking the stream: true, once, when the
    // writer waits and is to be told to go on: there is WRITER_RESUME_ROOM
    // free, or nothing whole is left before the head (atHead), so only
    // more bytes let the reader go on.
    bool takeWaitingWriter(bool atHead);
    // Reader side: whether limit (a head index the writer reported) is the
    // head now, so that cutting up to it cut everything written.
    bool isHead(int32 limit) const { return limit == -1 || limit == m_headIndex.load(std::memory_order_acquire); }

    int32 getMaxUsage() const { return m_maxUsage.load(std::memory_order_relaxed); }
    int32 getMaxPipeRawMsgSize() const { return m_maxPipeRawMsgSize; }
    int32 getRingSize() const { return m_ringSize; }
    TcpConnResource* getChannelRes() const { return m_channelResPtr; }

protected:
    char* m_bufPtr = nullptr;
    int32 m_ringSize;
    std::atomic<int32> m_maxUsage{0};
    std::atomic<int32> m_streamBufStatus{0};
    bool m_discarding = false;
    int32 m_maxPipeRawMsgSize = 0;
    uint32 m_peerAddr = 0;
    uint16 m_peerPort = 0;
    // Each index on its own line: the writer stores the head on every write,
    // the reader the tail on every read.
    alignas(64) std::atomic<int32> m_headIndex{0};
    alignas(64) std::atomic<int32> m_tailIndex{0};
    // Set by the writer when it stops reading, taken by whichever side
    // answers: on the tail's line, which the reader writes anyway.
    std::atomic<bool> m_writerWaiting{false};
    // Reader only and written per message: on the tail's line, which the
    // reader writes per message anyway, not beside the buffer pointer and
    // size that the writer reads per write.
    int32 m_totalMsgSize = 0; // length of the frame at the tail once decoded; 0 before
    alignas(64) char m_tmpbuf[101]{};
    OptimizationMode m_optimizeMode;
    TcpConnResource* m_channelResPtr = nullptr;

private:
    // Start of a framing call: finds the readable region. -1 with the code set when there is nothing to read.
    int32 beginFrame(const char* buf, bool take, int32 maxLen, int32 headLimit, int32& tail, int32& avail);
    template <bool Take>
    int32 frameMessage(char* buf, MsgFormatType& format, int32 maxLen, int32& msgLen, int32& hdrLen,
                       int32 headLimit);
    template <bool Take>
    int32 frameRaw(char* buf, int32 maxLen, int32& msgLen, int32 headLimit);
    template <bool Take>
    int32 frameQuor(char* buf, int32 maxLen, int32& msgLen, int32 headLimit);
    template <bool Take>
    int32 frameFix(char* buf, int32 maxLen, int32& msgLen, int32& hdrLen, int32 headLimit);
    template <bool Take>
    int32 frameApp(char* buf, int32 maxLen, int32& msgLen, const AppMsgSizeInfo& sizeInfo,
                   int32 headLimit);
    template <bool Take>
    void takeFrame(char* buf, int32 tail, int32 len);
    char byteAt(int32 tail, int32 offset) const
    {
        const int32 i = tail + offset;
        return m_bufPtr[i >= m_ringSize ? i - m_ringSize : i];
    }
    void copyFrom(int32 tail, char* buf, int32 len) const;
    void consume(int32 tail, int32 len);
    int32 read(char* buf, int32 maxLen, int32& n, bool exact, int32 headLimit, bool consume);
    int32 held(int32 head, int32 tail) const { return head >= tail ? head - tail : head + m_ringSize - tail; }
};
