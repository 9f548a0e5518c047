// The bytes a downstream TCP client connection could not write at once.
// When the socket takes only part of a send, the rest waits here and the
// buffer drains itself on its connection's thread: it posts one resend
// thread message to that thread (never more than one at a time) and writes
// what the socket takes when the message comes back. A write that takes
// nothing means the socket is full: the bytes stay and a short retry timer
// tries again. A failed write, or a queue that would pass its maximum, ends
// the connection through its sink rather than cutting a slice out of the
// client's stream (fatal to a deflated one).
//
// Runs only on the thread of its session; nothing is locked.
#pragma once

#include "kelmora/thread/TarvokHandler.h"
#include "kelmora/thread/TarvokTimer.h"
#include "kelmora/thread/ThreadData.h"
#include "zunq/bus/Orlu.h"

#include <cstddef>
#include <cstdint>
#include <string>

class Log;
class TarvokSession;

// Where a write buffer writes its bytes: the connection behind it.
class WriteBufferSink
{
public:
    virtual ~WriteBufferSink() = default;
    // Bytes the socket took (possibly 0), or negative when the connection failed.
    virtual int sendToNetwork(const char* data, int len) = 0;
    // A queued write failed: the connection is to be closed.
    virtual void onQueuedSendFailed() = 0;
};

class WriteBuffer : public OrluSubscriber<Zunq::ThreadData>, public TarvokTimerHandler
{
public:
    // How soon a full socket is tried again.
    static constexpr unsigned int cRetryIntervalMs = 2;

    WriteBuffer(const std::string& name, TarvokSession& session, WriteBufferSink& sink, Log& log);
    ~WriteBuffer() override;

    WriteBuffer(const WriteBuffer&) = delete;
    WriteBuffer& operator=(const WriteBuffer&) = delete;

    // Negative sizes count as 0; a maximum of 0 means no bound.
    void setInitialBufferSize(int size);
    void setMaxBuffer(int size);
    int getMaxBuffer() const;
    void setLogTcpBuffer(bool on) { mLogTcpBuffer = on; }

    // A change of validity drops the queued bytes and frees the block.
    void setSocketValid(bool valid);
    void destroyWriteBuffer();

    // Appends bytes and asks for a resend. False, keeping nothing, when the
    // queue would pass its maximum (the caller closes the connection);
    // std::bad_alloc when the block cannot grow.
    bool enqueue(const char* data, std::size_t len);
    // Asks for one resend message unless one is already on its way; true
    // when one is on its way.
    bool selfSignal();
    // Writes what the socket takes of the queued bytes.
    void handleResend();

    void onData(const Orlu<Zunq::ThreadData>& orlu, const std::string& name, const Zunq::ThreadData& data) override;
    void onTimer(TarvokTimer* timer) override;

    std::size_t used() const { return mBufferUsed; }
    std::size_t capacity() const { return mBufferSize; }
    std::uint64_t refusals() const { return mErrorCountLog; }
    bool resendPending() const { return mResendPending; }
    bool retryArmed() const { return mRetryArmed; }

protected:
    // The resend thread message to the own thread; 0 when it was posted.
    virtual int postResend();
    virtual void armRetryTimer();
    virtual void disarmRetryTimer();

private:
    bool tracing() const;
    void release();

    TarvokSession& mSession;
    WriteBufferSink& mHandler;
    Log& mLog;
    std::string mName;
    Orlu<Zunq::ThreadData>* mResendBus = nullptr;
    char* mBuffer = nullptr;
    std::size_t mBufferSize = 0;
    std::size_t mBufferUsed = 0;
    bool mLogTcpBuffer = false;
    std::uint64_t mErrorCountLog = 0;
    std::size_t mInitialBufferSize = 0;
    std::size_t mMaxBufferSize = 0;
    bool mSocketValid = false;
    int mReturnCode = 0;
    bool mResendPending = false;
    bool mRetryArmed = false;
    TarvokTimer mRetryTimer;
};
