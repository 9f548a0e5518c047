#include "kelmora/linehandler/LineHandlerUDP.h"

#include "kelmora/linedata/LineData.h"
#include "kelmora/runtime/PeerLog.h"
#include "kelmora/linedata/LineDataFactory.h"
#include "kelmora/linehandler/LineHandlerSupport.h"
#include "kelmora/thread/Runnable.h"
#include "kelmora/thread/TarvokSession.h"
#include "zunq/identity/Host.h"
#include "zunq/log/Log.h"
#include "zunq/protocol/ZunqDumpUtils.h"
#include "zunq/time/Time.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{
const char* const cPublisherName = "LineHandlerUDP";

std::string errText(const std::string& what, int error)
{
    return what + std::to_string(error) + "): " + std::strerror(error);
}
} // namespace

class LineHandlerUDPImpl
{
public:
    LineHandlerUDPImpl(LineHandlerUDP& handler, LineDataFactory& factory, TarvokSession& session, Log& log)
        : mHandler(handler), mFactory(factory), mSession(session), mLog(log), mLineData(factory.create()),
          mData(new char[LineHandlerUDP::cMaxDatagram])
    {
    }
    ~LineHandlerUDPImpl() { mFactory.destroy(mLineData); }

    // The received bytes into mData: the length to publish, 0 for an empty
    // datagram, -1 when it does not inflate.
    long inflateInto(const char* data, unsigned int length);
    // Publishes mData[0, length); a record fault drops the datagram.
    void process(unsigned int length);
    void dropEmpty(const char* who)
    {
        // Anyone who reaches the port could otherwise force a bounce.
        ++mDropped;
        if (peerLine())
            mLog.warning() << "LineHandlerUDP::" << who << "(): empty datagram on " << mHandler.LineHandler::getName()
                           << " dropped";
    }
    // Whether a line the senders caused is written: their datagrams may come
    // as fast as the network carries them.
    bool peerLine() { return mPeerLog.admit(mLog, "LineHandlerUDP (" + mHandler.LineHandler::getName() + ")"); }
    void closeSocket()
    {
        // Datagrams handed in by the framework count too, with no socket of ours.
        mPeerLog.close(mLog, "LineHandlerUDP (" + mHandler.LineHandler::getName() + ")");
        if (mSocket < 0)
            return;
        if (mEpollFd >= 0)
            ::epoll_ctl(mEpollFd, EPOLL_CTL_DEL, mSocket, nullptr);
        ::close(mSocket);
        mSocket = -1;
        mUndrained = false;
    }

    LineHandlerUDP& mHandler;
    LineDataFactory& mFactory;
    TarvokSession& mSession;
    Log& mLog;
    std::string mUdpIfAddr;
    int mUdpPort = 0;
    std::string mMcGroup;
    int mUdpBufferSize = LineHandlerUDP::cDefaultUdpBufferSize;
    int mSocket = -1;
    LineData* mLineData;
    long mMaxReadsPerChance = 10;
    bool mDataIsCompressed = false;
    bool mCheckForClassD = false;
    std::unique_ptr<char[]> mData;
    // Only a compressed line needs the second buffer.
    std::unique_ptr<char[]> mDataZ;
    Time mLatencyEnd;
    bool mSendPubFlushMsg = true;
    MsgPubAdmin mMsgPubAdmin;
    bool mSelfSignal = false;
    int mEpollFd = -1;
    // A poll message is queued: a second loop would double the passes.
    bool mSignalQueued = false;
    // The last pass stopped at its cap with datagrams left: edge-triggered
    // readiness will not be reported again for them.
    bool mUndrained = false;
    std::uint64_t mDropped = 0;
    PeerLog mPeerLog;
};

long LineHandlerUDPImpl::inflateInto(const char* data, unsigned int length)
{
    uLongf size = LineHandlerUDP::cMaxDatagram;
    const int result = ::uncompress(reinterpret_cast<Bytef*>(mData.get()), &size,
                                    reinterpret_cast<const Bytef*>(data), length);
    switch (result)
    {
    case Z_OK:
    {
        const void* nul = std::memchr(mData.get(), 0, size);
        return nul != nullptr ? static_cast<const char*>(nul) - mData.get() : long(size);
    }
    case Z_MEM_ERROR:
        mLog.warning() << "LineHandlerUDP: uncompress(): not enough memory";
        return -1;
    case Z_BUF_ERROR:
        if (peerLine())
            mLog.warning() << "LineHandlerUDP: uncompress(): not enough buffer space";
        return -1;
    default:
        if (peerLine())
            mLog.warning() << "LineHandlerUDP: uncompress(): corrupt data";
        return -1;
    }
}

void LineHandlerUDPImpl::process(unsigned int length)
{
    LineData& record = *mLineData;
    try
    {
        record.setLineTimeNow();
        record.setData(mData.get(), length);
        mHandler.save(record);
        mHandler.check(record);
        mHandler.LineHandler::OrluPublisher<LineData>::publish(record);
        if (mHandler.getLogInternalLatencyPerPacket())
            linehandler::logPacketLatency(mLog, "LineHandlerUDP", record, mLatencyEnd, length);
    }
    catch (std::invalid_argument& e)
    {
        ++mDropped;
        if (peerLine())
            mLog.warning() << "LineHandlerUDP::read(): " << e.what() << "; data=("
                           << ZunqDumpUtils::writePeerBytes(mData.get(), length) << ")";
    }
}

LineHandlerUDP::LineHandlerUDP(LineDataFactory& factory, TarvokSession& session, Log& log)
    : LineHandler(&factory, session, log), UDPNetworkHandler(session, log), OrluPublisher<MsgPubAdmin>(cPublisherName),
      mImpl(std::make_unique<LineHandlerUDPImpl>(*this, factory, session, log))
{
    if (Runnable* runnable = session.getRunnable())
        runnable->getOrluThreadData(Zunq::POLL_UDP)->subscribe(this);
}

LineHandlerUDP::~LineHandlerUDP()
{
    disconnect();
    if (mImpl->mEpollFd >= 0)
        ::close(mImpl->mEpollFd);
    if (Runnable* runnable = mImpl->mSession.getRunnable())
        runnable->getOrluThreadData(Zunq::POLL_UDP)->unsubscribe(this);
}

void LineHandlerUDP::setName(const std::string& name)
{
    LineHandler::setName(name);
}

void LineHandlerUDP::setReadsPerIoEvent(long reads)
{
    mImpl->mMaxReadsPerChance = reads;
}

void LineHandlerUDP::setDataIsCompressed(bool on)
{
    mImpl->mDataIsCompressed = on;
    if (on && !mImpl->mDataZ)
        mImpl->mDataZ.reset(new char[cMaxDatagram]);
}

void LineHandlerUDP::setCheckForClassD(bool on)
{
    mImpl->mCheckForClassD = on;
}

void LineHandlerUDP::setSendPubFlushMsg(bool on)
{
    mImpl->mSendPubFlushMsg = on;
}

void LineHandlerUDP::setSelfSignal(bool on)
{
    mImpl->mSelfSignal = on;
}

int LineHandlerUDP::getSocket() const
{
    return mImpl->mSocket;
}

int LineHandlerUDP::getPort() const
{
    return mImpl->mUdpPort;
}

std::uint64_t LineHandlerUDP::getDroppedCount() const
{
    return mImpl->mDropped;
}

void LineHandlerUDP::setUdpParams(const std::string& interface, const std::string& service, const std::string& group,
                                  int, bool connectOnInit)
{
    LineHandlerUDPImpl& d = *mImpl;
    d.mUdpIfAddr = interface;
    d.mMcGroup = group;
    if (service.empty())
    {
        const char* text = "Invalid (empty) multicast service parameter.";
        mLog.error() << text;
        throw LineError(text);
    }
    const long port = linehandler::resolveService(service);
    if (port == 0)
    {
        const std::string text = "Invalid multicast service parameter: \"" + service + "\"";
        mLog.error() << text;
        throw LineError(text);
    }
    d.mUdpPort = static_cast<int>(port);
    mLog.info() << "  interface (resolved): " << interface;
    mLog.info() << "  service (resolved): " << d.mUdpPort;
    d.mLineData->setSource(group.c_str(), d.mUdpPort);
    if (connectOnInit)
        connect();
    else
        mLog.info() << "LineHandlerUDP: NOT joining multicast group (ConnectOnInit==false)";
}

void LineHandlerUDP::connect()
{
    LineHandlerUDPImpl& d = *mImpl;
    mLog.info() << "LineHandlerUDP:connect(): " << LineHandler::getName() << " creating socket...";
    // A second connect replaces the socket rather than leaking it.
    d.closeSocket();
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
    {
        const std::string text = errText("LineHandlerUDP::connect() socket failed, Err(", errno);
        mLog.error() << text;
        throw LineError(text);
    }
    mLog.verbose() << "LineHandlerUDP: socket=" << fd;
    mLog.info() << "LineHandlerUDP:connect() Setting socket receive buffer to " << d.mUdpBufferSize << " bytes";
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &d.mUdpBufferSize, sizeof d.mUdpBufferSize) != 0)
    {
        const int error = errno;
        ::close(fd);
        const std::string text = errText("LineHandlerUDP:connect() setsockopt() SO_RCVBUF failed, Err(", error);
        mLog.error() << text;
        throw LineError(text);
    }
    int actual = 0;
    socklen_t actualLength = sizeof actual;
    if (::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &actual, &actualLength) != 0)
        mLog.warning() << "LineHandlerUDP:connect() getsockopt() failed to retrieve SO_RCVBUF value, errno (" << errno
                       << "): " << std::strerror(errno);
    else if (actualLength == 0)
        mLog.warning() << "LineHandlerUDP:connect() getSockOpt() returned zero length value.";
    else if (actual != d.mUdpBufferSize && actual != 2 * d.mUdpBufferSize)
        mLog.warning() << "LineHandlerUDP:connect() getSockOpt() reports different buffer size of " << actual;

    in_addr interface{};
    interface.s_addr = htonl(INADDR_ANY);
    if (!d.mUdpIfAddr.empty())
    {
        const in_addr_t resolved = resolve_ip(d.mUdpIfAddr.c_str());
        if (resolved == INADDR_NONE)
            mLog.error() << "LineHandlerUDP:connect() could not resolve UDP interface parameter: \"" << d.mUdpIfAddr
                         << "\", using default interface";
        else
            interface.s_addr = resolved;
    }
    in_addr group{};
    const bool multicast = ::inet_pton(AF_INET, d.mMcGroup.c_str(), &group) == 1 && IN_MULTICAST(ntohl(group.s_addr));
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<uint16_t>(d.mUdpPort));
    // A group's datagrams are addressed to the group, not to the interface:
    // bound to the interface address the socket would never see them.
    local.sin_addr = multicast ? group : interface;
    if (multicast)
    {
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
    {
        // With the configured port, an address in use means this line would
        // receive nothing: that is a failure, not a success.
        const int error = errno;
        ::close(fd);
        const std::string text = errText("LineHandlerUDP:connect() bind() failed, Err(", error);
        mLog.error() << text;
        throw LineError(text);
    }
    if (multicast)
    {
        ip_mreq membership{};
        membership.imr_multiaddr = group;
        membership.imr_interface = interface;
        if (::setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0)
        {
            const int error = errno;
            ::close(fd);
            const std::string text = errText("LineHandlerUDP:connect() joining " + d.mMcGroup + " failed, Err(", error);
            mLog.error() << text;
            throw LineError(text);
        }
    }
    in_addr outbound{};
    if (::inet_pton(AF_INET, d.mUdpIfAddr.c_str(), &outbound) == 1 &&
        ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &outbound, sizeof outbound) == 0)
        mLog.info() << "Setting local interface: " << d.mUdpIfAddr << " OK. ";
    else
        mLog.error() << "Setting local interface: " << d.mUdpIfAddr << " failed. ";

    setNonBlocking(fd);
    d.mSocket = fd;
    if (d.mEpollFd < 0)
        d.mEpollFd = ::epoll_create(5);
    epoll_event event{};
    event.events = EPOLLIN | EPOLLET;
    event.data.fd = fd;
    if (d.mEpollFd < 0 || ::epoll_ctl(d.mEpollFd, EPOLL_CTL_ADD, fd, &event) != 0)
    {
        const int error = errno;
        ::close(fd);
        d.mSocket = -1;
        mLog.error() << "LineHandlerUDP::connect(): epoll_ctl failed: " << std::strerror(error);
        return;
    }
    d.mSelfSignal = true;
    selfSignal();
}

void LineHandlerUDP::disconnect()
{
    mImpl->closeSocket();
    // An empty epoll set needs no polling; connect() starts the loop again.
    mImpl->mSelfSignal = false;
}

void LineHandlerUDP::onLineDown(const std::string&, LineStatus::StatusType, bool)
{
}

bool LineHandlerUDP::selfSignal()
{
    LineHandlerUDPImpl& d = *mImpl;
    if (d.mSignalQueued)
        return true;
    Runnable* runnable = d.mSession.getRunnable();
    if (runnable == nullptr)
        return false;
    Zunq::ThreadData data;
    data.mDataType = Zunq::POLL_UDP;
    data.mDataPtr1 = static_cast<const LineHandler*>(this);
    data.mDataSize = 0;
    char name[17] = {};
    runnable->getResourceName(name);
    const int error = runnable->sendThreadMessageByThreadName(name, data, false);
    if (error != 0)
    {
        mLog.error() << "LineHandlerUDP::selfSignal(): failed to sendThreadMessageByThreadName. error|" << error << "|";
        return false;
    }
    d.mSignalQueued = true;
    return true;
}

void LineHandlerUDP::onData(const Orlu<Zunq::ThreadData>& orlu, const std::string& name, const Zunq::ThreadData& data)
{
    mLog.verbose() << "LineHandlerUDP::onData(): received ThreadData event source|" << name << "| type|"
                   << data.mDataType << "|";
    if (data.mDataType != Zunq::POLL_UDP || data.mDataPtr1 != static_cast<const LineHandler*>(this))
    {
        if (data.mDataType == Zunq::POLL_UDP)
            mLog.verbose() << "LineHandlerUDP::onData(): message not to LineHandlerUDP";
        else
            LineHandler::onData(orlu, name, data);
        return;
    }
    LineHandlerUDPImpl& d = *mImpl;
    d.mSignalQueued = false;
    // A failing pass takes the line's own actions (bounce and reconnect);
    // polling goes on either way rather than ending for good.
    try
    {
        handlePollEvent();
    }
    catch (LineEof& e)
    {
        lineEof(e);
    }
    catch (LineConnectError& e)
    {
        lineConnectError(e);
    }
    catch (LineTerminate& e)
    {
        lineTerminate(e);
    }
    catch (LineError& e)
    {
        lineError(e);
    }
    catch (std::invalid_argument& e)
    {
        invalidArg(e);
    }
    if (d.mSelfSignal)
        selfSignal();
}

void LineHandlerUDP::handlePollEvent()
{
    LineHandlerUDPImpl& d = *mImpl;
    if (d.mEpollFd < 0)
        return;
    epoll_event events[cMaxEvents];
    const int n = ::epoll_wait(d.mEpollFd, events, cMaxEvents, 0);
    if (n < 0)
    {
        mLog.error() << "LineHandlerUDP::handlePollEvent(): epoll_wait failed";
        return;
    }
    bool readable = d.mUndrained;
    for (int i = 0; i < n; ++i)
    {
        if (mLog.verboseEnabled())
            mLog.verbose() << "LineHandlerUDP::handlePollEvent(): epoll_wait[" << i << "] fd[" << events[i].data.fd
                           << "] event[" << events[i].events << "]";
        if (d.mSocket >= 0 && events[i].data.fd == d.mSocket)
            readable = true;
    }
    if (readable && d.mSocket >= 0)
        _read(0);
}

void LineHandlerUDP::sendPubStartBatchMsg()
{
    LineHandlerUDPImpl& d = *mImpl;
    if (!d.mSendPubFlushMsg)
        return;
    d.mMsgPubAdmin.setAction(MsgPubAdmin::START_BATCH);
    OrluPublisher<MsgPubAdmin>::publish(d.mMsgPubAdmin);
}

void LineHandlerUDP::sendPubFlushMsg()
{
    LineHandlerUDPImpl& d = *mImpl;
    if (!d.mSendPubFlushMsg)
        return;
    d.mMsgPubAdmin.setAction(MsgPubAdmin::FLUSH);
    OrluPublisher<MsgPubAdmin>::publish(d.mMsgPubAdmin);
}

void LineHandlerUDP::_read(int)
{
    sendPubStartBatchMsg();
    try
    {
        read(0);
    }
    catch (...)
    {
        sendPubFlushMsg();
        throw;
    }
    sendPubFlushMsg();
}

void LineHandlerUDP::read(int)
{
    LineHandlerUDPImpl& d = *mImpl;
    d.mUndrained = false;
    if (d.mMaxReadsPerChance < 1)
        return;
    char* into = d.mDataIsCompressed ? d.mDataZ.get() : d.mData.get();
    for (long i = 0; i < d.mMaxReadsPerChance; ++i)
    {
        const ssize_t n = ::recv(d.mSocket, into, cMaxDatagram, 0);
        if (n < 0)
        {
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return;
            if (errno == EINTR)
                continue;
            throw LineError(errText("read() failed, Err(", errno));
        }
        long length = n;
        if (d.mDataIsCompressed && n > 0)
        {
            length = d.inflateInto(into, static_cast<unsigned int>(n));
            if (length < 0)
            {
                ++d.mDropped;
                // Not drained: the rest waits for the next pass.
                d.mUndrained = true;
                return;
            }
        }
        if (length == 0)
        {
            d.dropEmpty("read");
            continue;
        }
        d.process(static_cast<unsigned int>(length));
    }
    // The cap ended the pass; what is left is read on the next one.
    d.mUndrained = true;
}

void LineHandlerUDP::processNetworkData(const char* data, unsigned int length)
{
    LineHandlerUDPImpl& d = *mImpl;
    if (length > cMaxDatagram)
        throw LineError("LineHandlerUDP::processNetworkData(): datagram of " + std::to_string(length) +
                        " bytes exceeds " + std::to_string(cMaxDatagram) + " bytes");
    long filled = length;
    if (d.mDataIsCompressed && length > 0)
        filled = d.inflateInto(data, length);
    else if (length > 0)
        std::memcpy(d.mData.get(), data, length);
    if (filled < 0)
    {
        ++d.mDropped;
        return;
    }
    if (filled == 0)
    {
        d.dropEmpty("onNetworkData");
        return;
    }
    d.process(static_cast<unsigned int>(filled));
}

void LineHandlerUDP::onNetworkData(const char*, unsigned int)
{
}

void LineHandlerUDP::onLineEof(LineEof& e)
{
    lineEof(e);
}

void LineHandlerUDP::onLineError(LineError& e)
{
    lineError(e);
}

void LineHandlerUDP::onLineConnectError(LineConnectError& e)
{
    lineConnectError(e);
}

void LineHandlerUDP::onLineTerminate(LineTerminate& e)
{
    lineTerminate(e);
}

void LineHandlerUDP::onInvalidArg(std::invalid_argument& e)
{
    invalidArg(e);
}
