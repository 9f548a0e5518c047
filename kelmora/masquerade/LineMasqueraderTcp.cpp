#include "kelmora/masquerade/LineMasqueraderTcp.h"

#include "kelmora/linedata/LineDataBasic.h"
#include "kelmora/linehandler/LineError.h"
#include "kelmora/linehandler/NetworkApi.h"
#include "kelmora/masquerade/WriteBuffer.h"
#include "kelmora/thread/TarvokSession.h"

#include "FendralServices/api/FwServices.h"
#include "zunq/log/Log.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <zlib.h>

class LineMasqueraderTcpImpl : public WriteBufferSink
{
public:
    // The compression state of one connection: one stream for its whole life.
    class DeflatingBuffer
    {
    public:
        static constexpr unsigned int DEFAULT_BUFFER_SIZE = 16384;

        explicit DeflatingBuffer(Log& log) : mLog(log) { std::memset(&mStrm, 0, sizeof mStrm); }
        virtual ~DeflatingBuffer()
        {
            if (mInitialised)
                deflateEnd(&mStrm);
        }

        Log& mLog;
        z_stream mStrm;
        char mZBuffer[DEFAULT_BUFFER_SIZE];
        unsigned int mZBufferSize = DEFAULT_BUFFER_SIZE;
        bool mDeflated = false;
        bool mInitialised = false;
    };

    LineMasqueraderTcpImpl(LineMasqueraderTcp& masq, const std::string& name, TarvokSession& session, Log& log)
        : mMasq(masq), mSession(session), mLog(log), mWriteBuffer(name, session, *this, log)
    {
    }

    // WriteBufferSink
    int sendToNetwork(const char* data, int len) override
    {
        return mMasq.TCPClientNetworkHandler::sendToNetwork(mClientResource, data, static_cast<unsigned int>(len));
    }
    void onQueuedSendFailed() override { mMasq.closeFd(true); }

    bool tracing() const { return mLogTcpBuffer || mLog.verboseEnabled(); }
    void send(const char* data, int len, const char* context);
    void sendToInternal(const char* data, int len, const char* context);
    [[noreturn]] void deflateFailed(int result, const char* context);
    void ended();

    LineMasqueraderTcp& mMasq;
    TarvokSession& mSession;
    Log& mLog;
    bool mLogTcpBuffer = false;
    char mClientResource[17] = {};
    LineDataBasic mData;
    WriteBuffer mWriteBuffer;
    std::string mConnId;
    Orlu<LineData>* mOrlu = nullptr;
    unsigned int mSeqNum = 0;
    std::unique_ptr<DeflatingBuffer> mDeflatingBuffer;
    unsigned int mIPAddressAsInt = 0;
    unsigned short mPort = 0;
    bool mConnected = false;
    bool mAccepted = false;
    LineMasqueraderTcpObserver* mObserver = nullptr;
};

void LineMasqueraderTcpImpl::ended()
{
    if (LineMasqueraderTcpObserver* observer = mObserver)
    {
        mObserver = nullptr;
        observer->onConnectionEnded(mMasq);
    }
}

void LineMasqueraderTcpImpl::send(const char* data, int len, const char* context)
{
    if (len <= 0)
        return; // nothing to write; deflate would only report it as an error
    if (!mDeflatingBuffer)
    {
        sendToInternal(data, len, context);
        return;
    }
    DeflatingBuffer& z = *mDeflatingBuffer;
    if (!z.mInitialised)
        throw LineError(std::string("ZLineMasqueraderTcp: deflate stream ended earlier (ctx=") + context + ")");
    z.mStrm.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
    z.mStrm.avail_in = static_cast<uInt>(len);
    // Go on while the block comes back full: the flush may still hold
    // output when the input is all taken.
    do
    {
        z.mStrm.next_out = reinterpret_cast<Bytef*>(z.mZBuffer);
        z.mStrm.avail_out = z.mZBufferSize;
        const int result = deflate(&z.mStrm, Z_SYNC_FLUSH);
        const unsigned int produced = z.mZBufferSize - z.mStrm.avail_out;
        // After a flush that ended exactly at the end of the block, the next
        // call has nothing left to give and says so with Z_BUF_ERROR.
        const bool drained = result == Z_BUF_ERROR && produced == 0 && z.mStrm.avail_in == 0;
        if (result != Z_OK && !drained)
            deflateFailed(result, context);
        if (produced > 0)
            sendToInternal(z.mZBuffer, static_cast<int>(produced), context);
    } while (z.mStrm.avail_out == 0);
}

void LineMasqueraderTcpImpl::deflateFailed(int result, const char* context)
{
    DeflatingBuffer& z = *mDeflatingBuffer;
    const int err = errno;
    const char* errText = std::strerror(err);
    char* text = z.mZBuffer;
    const std::size_t size = sizeof z.mZBuffer;
    switch (result)
    {
    case Z_MEM_ERROR:
        std::snprintf(text, size, "ZLineMasqueraderTcp: deflate(): not enough memory (ctx=%s) %d:%s", context, err,
                      errText);
        break;
    case Z_BUF_ERROR:
        std::snprintf(text, size, "ZLineMasqueraderTcp: deflate(): not enough buffer space (ctx=%s) %d:%s", context,
                      err, errText);
        break;
    case Z_DATA_ERROR:
    case Z_NEED_DICT:
        std::snprintf(text, size, "ZLineMasqueraderTcp: deflate(): corrupt data (ctx=%s) %d:%s", context, err,
                      errText);
        break;
    default:
        std::snprintf(text, size, "ZLineMasqueraderTcp: deflate(): unhandled error %d (ctx=%s) %d:%s", result,
                      context, err, errText);
        break;
    }
    const std::string message(text);
    deflateEnd(&z.mStrm);
    z.mInitialised = false;
    mLog.error() << message;
    throw LineError(message);
}

void LineMasqueraderTcpImpl::sendToInternal(const char* data, int len, const char* context)
{
    int n = 0;
    if (mWriteBuffer.used() == 0)
    {
        n = sendToNetwork(data, len);
        if (n < 0)
        {
            const std::string text = "LineMasqueraderTcpImpl::sendToInternal(): failed: " +
                                     std::to_string(NetworkApi::current().getErrorCode()) + "; context was: " + context +
                                     "; resource name is " + mClientResource;
            mLog.error() << text;
            throw LineError(text);
        }
    }
    if (n >= len)
        return;
    if (tracing())
        mLog.debug() << "LineMasqueraderTcpImpl::sendToInternal(): partially sent (" << n << " bytes)";
    if (!mWriteBuffer.enqueue(data + n, static_cast<std::size_t>(len - n)))
        throw LineError(std::string("LineMasqueraderTcpImpl::sendToInternal(): queue of ") + mClientResource +
                        " is over its maximum; context was: " + context);
}

LineMasqueraderTcp::LineMasqueraderTcp(const std::string& name, TarvokSession& session, Log& log)
    : LineMasquerader(log), TCPClientNetworkHandler(session, log), OrluSubscriber<LineData>(name),
      mImpl(std::make_unique<LineMasqueraderTcpImpl>(*this, name, session, log))
{
}

LineMasqueraderTcp::~LineMasqueraderTcp()
{
    // Destroyed while open: the framework and the bus must not keep a
    // pointer to it.
    if (mImpl->mConnected)
    {
        mImpl->mConnected = false;
        mImpl->mWriteBuffer.setSocketValid(false);
        disconnectService(mImpl->mClientResource);
        if (mImpl->mOrlu != nullptr)
            mImpl->mOrlu->unsubscribe(this);
    }
    mImpl->ended();
}

void LineMasqueraderTcp::setConnection(const char (&resourceName)[17], const std::string& connectionId)
{
    LineMasqueraderTcpImpl& m = *mImpl;
    copyResourceName(m.mClientResource, resourceName);
    m.mConnId = connectionId;
    m.mConnected = true;
    const std::size_t colon = connectionId.find(':');
    if (colon == std::string::npos)
    {
        mLogger.info() << "LineMasqueraderTcp::setConnection : ConnectionId (" << connectionId << "), resourceName ["
                       << m.mClientResource << "]";
    }
    else
    {
        const std::string address = connectionId.substr(0, colon);
        const std::string port = connectionId.substr(colon + 1);
        const in_addr_t ip = inet_network(address.c_str());
        m.mIPAddressAsInt = ip == static_cast<in_addr_t>(-1) ? 0 : ip;
        const unsigned long value = std::strtoul(port.c_str(), nullptr, 10);
        m.mPort = value <= 65535 ? static_cast<unsigned short>(value) : 0;
        mLogger.info() << "LineMasqueraderTcp::setConnection : ConnectionId (" << connectionId << "), resourceName ["
                       << m.mClientResource << "], IP [" << address << "], port [" << port << "]";
    }
    m.mWriteBuffer.setSocketValid(true);
}

void LineMasqueraderTcp::setAccepted(bool accepted)
{
    mImpl->mAccepted = accepted;
}

void LineMasqueraderTcp::setSeqNum(unsigned int seqNum)
{
    mImpl->mSeqNum = seqNum;
}

unsigned int LineMasqueraderTcp::getSeqNum() const
{
    return mImpl->mSeqNum;
}

void LineMasqueraderTcp::onData(const Orlu<LineData>&, const std::string&, const LineData& data)
{
    if (connected())
        sendTo(data.getData(), static_cast<int>(data.getDataLen()), "regular update");
}

void LineMasqueraderTcp::onDisconnect()
{
    closeFd(false);
}

void LineMasqueraderTcp::setOrluLineData(Orlu<LineData>* orlu)
{
    mImpl->mOrlu = orlu;
}

void LineMasqueraderTcp::setLogTcpBuffer(bool on)
{
    mImpl->mLogTcpBuffer = on;
    mImpl->mWriteBuffer.setLogTcpBuffer(on);
}

void LineMasqueraderTcp::sendTo(const char* data, int len, const char* context)
{
    try
    {
        mImpl->send(data, len, context);
    }
    catch (LineError& e)
    {
        mLogger.error() << "LineMasqueraderTcp::sendTo(): caught LineError: " << e.what();
        closeFd(true);
    }
}

void LineMasqueraderTcp::closeFd(bool disconnect)
{
    LineMasqueraderTcpImpl& m = *mImpl;
    if (!m.mConnected)
        return;
    m.mConnected = false;
    m.mAccepted = false;
    m.mWriteBuffer.setSocketValid(false);
    m.mWriteBuffer.destroyWriteBuffer();
    if (disconnect)
        disconnectService(m.mClientResource);
    if (m.mOrlu != nullptr)
    {
        // Safe also from inside the bus's delivery to this object.
        m.mOrlu->unsubscribe(this);
        mLogger.warning() << "LineMasqueraderTcp(" << m.mConnId
                          << "): destroying LineMasqueraderTcp after client disconnect";
    }
    mLogger.info() << "LineMasqueraderTcp(): User IP Address " << m.mConnId << " disconnected";
    m.ended();
    onClosed();
}

const std::string& LineMasqueraderTcp::getConnectionId() const
{
    return mImpl->mConnId;
}

bool LineMasqueraderTcp::connected() const
{
    return mImpl->mConnected;
}

unsigned int LineMasqueraderTcp::getIpAddresAsInt() const
{
    return mImpl->mIPAddressAsInt;
}

unsigned short LineMasqueraderTcp::getPort() const
{
    return mImpl->mPort;
}

void LineMasqueraderTcp::onNetworkData(const char* data, unsigned int len)
{
    if (mLogger.verboseEnabled())
        mLogger.verbose() << "LineMasqueraderTcp(" << mImpl->mConnId << "): received client event";
    if (!mImpl->mAccepted)
        return;
    mImpl->mData.setData(data, len);
    fromClient(mImpl->mData);
}

void LineMasqueraderTcp::setDeflateData(bool on)
{
    LineMasqueraderTcpImpl& m = *mImpl;
    if (!on || m.mDeflatingBuffer)
        return;
    auto z = std::make_unique<LineMasqueraderTcpImpl::DeflatingBuffer>(m.mLog);
    if (deflateInit(&z->mStrm, Z_DEFAULT_COMPRESSION) != Z_OK)
    {
        char text[256];
        std::snprintf(text, sizeof text, "ZLineMasqueraderTcp:: deflateInit failed, Err(%d): %s", errno,
                      std::strerror(errno));
        throw LineError(text);
    }
    z->mInitialised = true;
    m.mDeflatingBuffer = std::move(z);
}

bool LineMasqueraderTcp::getDeflateData() const
{
    return mImpl->mDeflatingBuffer != nullptr;
}

int LineMasqueraderTcp::getUsedPendingBufferSize() const
{
    const std::size_t used = mImpl->mWriteBuffer.used();
    return used > 0x7fffffff ? 0x7fffffff : static_cast<int>(used);
}

void LineMasqueraderTcp::setInitialBufferSize(int size)
{
    mImpl->mWriteBuffer.setInitialBufferSize(size);
}

void LineMasqueraderTcp::setMaxQueueBufferSize(int size)
{
    mImpl->mWriteBuffer.setMaxBuffer(size);
}

int LineMasqueraderTcp::getMaxQueueBufferSize() const
{
    return mImpl->mWriteBuffer.getMaxBuffer();
}

void LineMasqueraderTcp::setObserver(LineMasqueraderTcpObserver* observer)
{
    mImpl->mObserver = observer;
}
