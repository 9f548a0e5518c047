#include "kelmora/masquerade/WriteBuffer.h"

#include "FendralCore/foundation/FwErrorNum.h"
#include "kelmora/thread/Runnable.h"
#include "kelmora/thread/TarvokSession.h"
#include "zunq/log/Log.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

WriteBuffer::WriteBuffer(const std::string& name, TarvokSession& session, WriteBufferSink& sink, Log& log)
    : OrluSubscriber<Zunq::ThreadData>(name), mSession(session), mHandler(sink), mLog(log), mName(name)
{
    if (Runnable* runnable = session.getRunnable())
    {
        mResendBus = runnable->getOrluThreadData(Zunq::RESEND);
        if (mResendBus != nullptr)
            mResendBus->subscribe(this);
    }
}

WriteBuffer::~WriteBuffer()
{
    // Off the bus before the memory goes: a resend still in flight then
    // finds no one to deliver to.
    if (mResendBus != nullptr)
        mResendBus->unsubscribe(this);
    release();
}

void WriteBuffer::setInitialBufferSize(int size)
{
    mInitialBufferSize = size > 0 ? static_cast<std::size_t>(size) : 0;
}

void WriteBuffer::setMaxBuffer(int size)
{
    mMaxBufferSize = size > 0 ? static_cast<std::size_t>(size) : 0;
}

int WriteBuffer::getMaxBuffer() const
{
    return static_cast<int>(std::min<std::size_t>(mMaxBufferSize, INT_MAX));
}

bool WriteBuffer::tracing() const
{
    return mLogTcpBuffer || (mLog.isVerbose() && mLog.enabled(LOG_LEVEL_DEBUG));
}

void WriteBuffer::release()
{
    std::free(mBuffer);
    mBuffer = nullptr;
    mBufferSize = 0;
    mBufferUsed = 0;
}

void WriteBuffer::setSocketValid(bool valid)
{
    if (valid == mSocketValid)
        return;
    release();
    disarmRetryTimer();
    mSocketValid = valid;
}

void WriteBuffer::destroyWriteBuffer()
{
    mSocketValid = false;
}

bool WriteBuffer::enqueue(const char* data, std::size_t len)
{
    if (tracing())
        mLog.debug() << "LineMasqueraderTcp::enqueue(): current buffer (" << mBufferUsed << " bytes)";
    const bool overflow = len > SIZE_MAX - mBufferUsed;
    const std::size_t need = overflow ? SIZE_MAX : mBufferUsed + len;
    if (overflow || (mMaxBufferSize != 0 && need > mMaxBufferSize))
    {
        // Dropping these bytes would cut a slice out of the client's stream;
        // the caller closes the connection instead.
        mLog.error() << "LineMasqueraderTcp(" << mName << "): Reached maximum buffer size of " << mMaxBufferSize
                     << " bytes (Used " << mBufferUsed << " bytes, " << len
                     << " more bytes to queue). Closing the connection.";
        ++mErrorCountLog;
        return false;
    }
    if (mBufferSize < need)
    {
        if (mBuffer == nullptr)
        {
            if (mInitialBufferSize > SIZE_MAX - len)
                throw std::bad_alloc();
            const std::size_t size = mInitialBufferSize + len;
            mBuffer = static_cast<char*>(std::malloc(size));
            if (mBuffer == nullptr)
                throw std::bad_alloc();
            mBufferSize = size;
        }
        else
        {
            // Twice the old size plus the new bytes, so that a slow client
            // costs few copies.
            const bool tooBig = mBufferSize > (SIZE_MAX - len) / 2;
            const std::size_t size = tooBig ? need : len + 2 * mBufferSize;
            char* grown = static_cast<char*>(std::malloc(size));
            if (grown == nullptr)
            {
                mLog.error() << "LineMasqueraderTcp::enqueue(" << mName << "): unable to resize from mBufferSize ("
                             << mBufferSize << " to [" << size << "]";
                throw std::bad_alloc();
            }
            std::memcpy(grown, mBuffer, mBufferUsed);
            std::free(mBuffer);
            mBuffer = grown;
            mBufferSize = size;
            mLog.info() << "LineMasqueraderTcp::enqueue(" << mName << "): resized buffer (" << mBufferUsed
                        << " bytes)";
        }
    }
    if (tracing())
        mLog.debug() << "LineMasqueraderTcp::enqueue(): append to buffer";
    if (len > 0)
        std::memcpy(mBuffer + mBufferUsed, data, len);
    mBufferUsed += len;
    if (tracing())
        mLog.debug() << "LineMasqueraderTcp::enqueue(): updated buffer (" << mBufferUsed << " bytes)";
    selfSignal();
    return true;
}

bool WriteBuffer::selfSignal()
{
    if (mResendPending)
        return true;
    mReturnCode = postResend();
    if (mReturnCode == 0)
    {
        mResendPending = true;
        return true;
    }
    mLog.error() << "LineMasqueraderTcp::selfSignal(): failed to sendThreadMessageByThreadName. error|" << mReturnCode
                 << "|";
    // Nothing else may come to drain the queue: the retry timer will.
    armRetryTimer();
    return false;
}

int WriteBuffer::postResend()
{
    Runnable* runnable = mSession.getRunnable();
    if (runnable == nullptr)
        return FUNC_NOT_ALLOWED;
    Zunq::ThreadData data;
    data.mDataType = Zunq::RESEND;
    data.mDataPtr1 = this;
    char self[17] = {};
    runnable->getResourceName(self);
    return runnable->sendThreadMessageByThreadName(self, data, false);
}

void WriteBuffer::onData(const Orlu<Zunq::ThreadData>&, const std::string&, const Zunq::ThreadData& data)
{
    if (data.mDataType != Zunq::RESEND || data.mDataPtr1 != this)
        return; // another buffer's resend on this thread
    if (mLog.verboseEnabled())
        mLog.verbose() << "WriteBuffer::onData(): received Io event";
    mResendPending = false;
    handleResend();
}

void WriteBuffer::onTimer(TarvokTimer*)
{
    handleResend();
}

void WriteBuffer::handleResend()
{
    if (mBufferUsed == 0)
    {
        disarmRetryTimer();
        return;
    }
    if (tracing())
        mLog.debug() << "LineMasqueraderTcp: sending buffered data (" << mBufferUsed << ")";
    const int n = mHandler.sendToNetwork(mBuffer, static_cast<int>(std::min<std::size_t>(mBufferUsed, INT_MAX)));
    if (n < 0)
    {
        mBufferUsed = 0;
        disarmRetryTimer();
        mLog.error() << "LineMasqueraderTcp: send of queued data failed";
        mHandler.onQueuedSendFailed();
        return; // the connection is closed: touch nothing more
    }
    if (n == 0)
    {
        // The socket is full, not broken: keep every byte and try again soon.
        armRetryTimer();
        return;
    }
    const std::size_t sent = std::min<std::size_t>(static_cast<std::size_t>(n), mBufferUsed);
    if (tracing())
        mLog.debug() << "LineMasqueraderTcp: sent " << sent << " bytes";
    std::memmove(mBuffer, mBuffer + sent, mBufferUsed - sent);
    mBufferUsed -= sent;
    if (tracing())
        mLog.debug() << "LineMasqueraderTcp: remaining buffer: " << mBufferUsed << " bytes";
    if (mBufferUsed > 0)
        selfSignal();
    else
        disarmRetryTimer();
}

void WriteBuffer::armRetryTimer()
{
    if (mRetryArmed)
        return;
    if (!mRetryTimer.create(&mSession, this, cRetryIntervalMs, nullptr))
    {
        mLog.error() << "LineMasqueraderTcp(" << mName << "): cannot start the retry timer of queued data";
        return;
    }
    mRetryArmed = true;
}

void WriteBuffer::disarmRetryTimer()
{
    if (!mRetryArmed)
        return;
    mRetryTimer.destroy();
    mRetryArmed = false;
}
