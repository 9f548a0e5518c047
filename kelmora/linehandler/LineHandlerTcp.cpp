#include "kelmora/linehandler/LineHandlerTcp.h"
#include "kelmora/linehandler/LineHandlerSupport.h"

#include "kelmora/linedata/LineData.h"
#include "kelmora/runtime/PeerLog.h"
#include "kelmora/linedata/LineDataBasic.h"
#include "kelmora/linedata/LineDataFactory.h"
#include "kelmora/linehandler/FileDescBuffer.h"
#include "kelmora/linehandler/NetworkApi.h"
#include "kelmora/thread/TarvokStatus.h"
#include "kelmora/thread/TarvokTimer.h"
#include "zunq/admin/KeshParamList.h"
#include "zunq/admin/KeshUsageError.h"
#include "zunq/log/Log.h"
#include "zunq/protocol/ZunqDumpUtils.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <typeinfo>
#include <vector>

namespace
{
constexpr std::size_t cMaxSeparatorLength = LineHandlerTcp::MAX_MSG_SEPARATOR - 2;
constexpr std::size_t cMaxResourceName = 16;
constexpr unsigned int cConnectDelayResetMillis = 60000;

enum : int
{
    cBufferFull = 200,
    cHeadIndexChanged = 206,
    cLockNoRes = 309,
    cWouldBlock = 702,
    cConnClosed = 705,
    cResNotExist = 1603
};
} // namespace

class TcpHeartbeatSender : public TarvokTimerHandler
{
public:
    TcpHeartbeatSender(LineHandlerTcp& handler, Log& log) : mLineHandler(handler), mLog(log) {}
    void onTimer(TarvokTimer*) override;

    LineHandlerTcp& mLineHandler;
    Log& mLog;
    bool mInitialized = false;
    bool mCreateAllHeartbeats = false;
    char mHeartbeatPacket[10000] = {'H', 'B', '\0'};
    int mHeartbeatPacketLen = 2;
};

class ConnectDelayReset : public TarvokTimerHandler
{
public:
    ConnectDelayReset(LineHandlerTcp& handler, Log& log) : mHandler(handler), mLog(log) {}
    void onTimer(TarvokTimer*) override;

    LineHandlerTcp& mHandler;
    Log& mLog;
};

class LineHandlerTcpImpl
{
public:
    LineHandlerTcpImpl(LineHandlerTcp& handler, LineDataFactory& factory, TarvokSession& session, Log& log)
        : mHandler(handler), mFactory(factory), mSession(session), mLog(log), mData(*factory.create()),
          mConnectDelayReset(handler, log), mHeartbeatSender(handler, log)
    {
    }
    ~LineHandlerTcpImpl() { mFactory.destroy(&mData); }

    void checkConnectDelay();
    void startReconnectTimer();
    void destroyReconnectTimer()
    {
        if (mReconnectTimerLive)
            mReconnectTimer.destroy();
        mReconnectTimerLive = false;
    }
    void destroyConnectDelayResetTimer()
    {
        if (mConnectDelayResetLive)
            mConnectDelayResetTimer.destroy();
        mConnectDelayResetLive = false;
    }
    void handleConnectFailed();
    // The first separator at or after `from` in the `size` unread bytes.
    inline const char* findSeparator(const char* base, std::uint32_t from, std::uint32_t size) const;
    // What check does for a TCP line: a message means the line is up.
    void markUp()
    {
        if (mHandler.getLineStatus() != LineStatus::UP)
            mHandler.setLineStatus(LineStatus::UP);
    }
    void deliver();
    void garbage();
    std::string separatorText() const
    {
        return mUseCharSep ? ZunqDumpUtils::writePeerBytes(&mMsgSeparator, 1)
                           : ZunqDumpUtils::writePeerBytes(mMsgStrSep, mMsgStrSepLen);
    }
    std::uint32_t separatorLength() const { return mUseCharSep ? 1u : static_cast<std::uint32_t>(mMsgStrSepLen); }
    void clearBuffer()
    {
        mBuffer.clear();
        mScanned = 0;
    }

    LineHandlerTcp& mHandler;
    LineDataFactory& mFactory;
    TarvokSession& mSession;
    Log& mLog;
    LineData& mData;
    char mMsgSeparator = 3;
    std::size_t mMsgDataLenOffset = 1;
    bool mUseCharSep = true;
    char mMsgStrSep[LineHandlerTcp::MAX_MSG_SEPARATOR] = {};
    std::size_t mMsgStrSepLen = 0;
    TarvokTimer mReconnectTimer;
    bool mReconnectTimerLive = false;
    TarvokTimer mConnectDelayResetTimer;
    bool mConnectDelayResetLive = false;
    ConnectDelayReset mConnectDelayReset;
    bool mNonBlockingConnect = false;
    std::int64_t mConnectAttempt = 0;
    std::uint32_t mConnectDelay = 100;
    std::uint32_t mConnectDelayMin = 100;
    std::uint32_t mConnectDelayMax = 60000;
    std::uint32_t mRecvBufSize = 0;
    bool mTryReconnect = true;
    bool mAnyFailOk = false;
    bool mTempFailOk = true;
    bool mConnectedMeansLineUp = false;
    FileDescBuffer mBuffer;
    TcpHeartbeatSender mHeartbeatSender;
    bool mSendHeartbeats = false;
    std::uint64_t mHeartbeatInterval = 30;
    TarvokTimer mHeartbeatTimer;
    bool mHeartbeatsActive = false;
    bool mListenToReadEvent = false;
    LineHandlerTcp::TCP_CONNECT_STATUS mConnected = LineHandlerTcp::TCP_DISCONNECT;
    bool mDisableReconnectTimer = false;
    int mNextConnection = 0;
    int mLastWorkingConnection = 0;
    bool mConnecting = false;
    std::vector<LineHandlerTcpConnectionInfo> mConnectionList;
    bool mRoundRobin = true;
    // Unread bytes already searched without finding a separator start.
    std::uint32_t mScanned = 0;
    // Lines the server's bytes cause, per connection.
    PeerLog mPeerLog;
    bool peerLine() { return mPeerLog.admit(mLog, "LineHandlerTcp (" + mHandler.getName() + ")"); }
};

void LineHandlerTcpImpl::checkConnectDelay()
{
    std::int32_t delay = 1000;
    if (mConnectAttempt >= 2)
    {
        delay = mConnectAttempt == 2 ? 1000 : mConnectAttempt == 3 ? 5000 : mConnectAttempt == 4 ? 15000 : 60000;
        if (delay > static_cast<std::int32_t>(mConnectDelayMax))
            delay = static_cast<std::int32_t>(mConnectDelayMax);
        if (static_cast<std::int32_t>(mConnectDelayMin) > delay)
            delay = static_cast<std::int32_t>(mConnectDelayMin);
    }
    mConnectDelay = static_cast<std::uint32_t>(delay);
    mLog.verbose() << "LineHandlerTcpImpl::checkConnectDelay(): attempt=" << mConnectAttempt
                   << "; delay=" << mConnectDelay;
}

void LineHandlerTcpImpl::startReconnectTimer()
{
    if (mDisableReconnectTimer)
        return;
    checkConnectDelay();
    if (!mReconnectTimerLive)
    {
        mLog.info() << "LineHandlerTcp::startReconnectTimer() creating connect timer (" << mConnectDelay << "ms)";
        TarvokStatus status = mReconnectTimer.create(&mSession, &mHandler, mConnectDelay, nullptr);
        if (!status)
        {
            mLog.error() << "LineHandlerTcp::startReconnectTimer(): cannot start reconnect timer: "
                         << status.getText();
            return;
        }
        mReconnectTimerLive = true;
        return;
    }
    mLog.info() << "LineHandlerTcp::startReconnectTimer() resetting connect timer (" << mConnectDelay << "ms)";
    mReconnectTimer.setInterval(mConnectDelay);
}

void LineHandlerTcpImpl::handleConnectFailed()
{
    ++mConnectAttempt;
    checkConnectDelay();
    mHandler.setLineStatus(LineStatus::DOWN);
    mConnecting = false;
    mConnected = LineHandlerTcp::TCP_READY_CONNECT;
    if (!mConnectionList.empty())
    {
        const LineHandlerTcpConnectionInfo& entry = mConnectionList[static_cast<std::size_t>(mNextConnection)];
        mLog.info() << "LineHandlerTcpImpl::handleConnectFailed(): failed to connect to " << entry.mIp << ":"
                    << entry.mPort;
    }
    mLog.verbose() << "LineHandlerTcpImpl::handleConnectFailed() Resetting Reconnector timer (attempt="
                   << mConnectAttempt << "): " << mConnectDelay / 1000 << " seconds";
    startReconnectTimer();
}

inline const char* LineHandlerTcpImpl::findSeparator(const char* base, std::uint32_t from, std::uint32_t size) const
{
    if (mUseCharSep)
    {
        if (from >= size)
            return nullptr;
        return static_cast<const char*>(std::memchr(base + from, mMsgSeparator, size - from));
    }
    const std::uint32_t sepLen = static_cast<std::uint32_t>(mMsgStrSepLen);
    if (sepLen == 0 || size < sepLen)
        return nullptr;
    const std::uint32_t last = size - sepLen;
    std::uint32_t at = from;
    while (at <= last)
    {
        const void* hit = std::memchr(base + at, mMsgStrSep[0], last - at + 1);
        if (hit == nullptr)
            return nullptr;
        const char* p = static_cast<const char*>(hit);
        // The rest compared in place: a library call per message cost more
        // than the few bytes of a usual separator.
        std::uint32_t i = 1;
        while (i < sepLen && p[i] == mMsgStrSep[i])
            ++i;
        if (i == sepLen)
            return p;
        at = static_cast<std::uint32_t>(p - base) + 1;
    }
    return nullptr;
}

void LineHandlerTcpImpl::deliver()
{
    const char* base = mBuffer.buffer();
    const std::uint32_t size = mBuffer.bufferSize();
    const std::uint32_t sepLen = separatorLength();
    std::uint32_t start = 0;
    std::uint32_t from = std::min(mScanned, size);
    // The plain TCP line's check and save are known and called directly, the
    // save only while the recovery file is open; a subclass may replace
    // either and keeps the virtual calls.
    const bool plain = typeid(mHandler) == typeid(LineHandlerTcp);
    // Counted once per read; the count is added even when a subscriber throws.
    struct Count
    {
        LineHandler& handler;
        unsigned int n = 0;
        ~Count()
        {
            if (n != 0)
                handler.addMsgCount(n);
        }
    } count{mHandler};
    LineData& data = mData;
    // The basic record, the usual one, is set without the virtual call.
    LineDataBasic* const basic =
        typeid(data) == typeid(LineDataBasic) ? static_cast<LineDataBasic*>(&data) : nullptr;
    for (;;)
    {
        const char* sep = findSeparator(base, from, size);
        if (sep == nullptr)
            break;
        const std::uint32_t end = static_cast<std::uint32_t>(sep - base) + sepLen;
        if (basic != nullptr)
            basic->LineDataBasic::setData(base + start, end - start);
        else
            data.setData(base + start, end - start);
        if (plain)
        {
            markUp();
            if (mHandler.writingRecoveryFile())
                mHandler.LineHandler::save(data);
            mHandler.OrluPublisher<LineData>::publish(data);
        }
        else if (mHandler.check(data))
        {
            mHandler.save(data);
            mHandler.OrluPublisher<LineData>::publish(data);
        }
        ++count.n;
        start = end;
        from = end;
    }
    // A separator string may begin in the last sepLen - 1 bytes.
    const std::uint32_t searched = size >= sepLen - 1 ? size - (sepLen - 1) : 0;
    mScanned = searched > start ? searched - start : 0;
    if (start != 0)
        mBuffer.shift(start);
}

void LineHandlerTcpImpl::garbage()
{
    if (peerLine())
    {
        mLog.warning() << "LineHandlerTcp::onNetworkData(): garbage data: message separator (" << separatorText()
                       << ") not found; skipping " << mBuffer.bufferSize() << " bytes";
        mLog.warning() << "LineHandlerTcp::onNetworkData(): buffer: "
                       << ZunqDumpUtils::writePeerBytes(mBuffer.buffer(), mBuffer.bufferSize());
    }
    clearBuffer();
}

void TcpHeartbeatSender::onTimer(TarvokTimer*)
{
    if (!mInitialized || mCreateAllHeartbeats)
    {
        mHeartbeatPacketLen = static_cast<int>(sizeof mHeartbeatPacket);
        mLineHandler.createHeartbeatPacket(mHeartbeatPacket, mHeartbeatPacketLen);
        mInitialized = true;
    }
    if (mHeartbeatPacketLen < 1)
        return;
    try
    {
        mLineHandler.sendTo(mHeartbeatPacket, mHeartbeatPacketLen, "heartbeat send");
    }
    catch (LineError& e)
    {
        mLog.error() << e.what();
        mLineHandler.lineDown("heartbeat send failed", LineStatus::DOWN, true);
        mLineHandler.bounceLine("heartbeat send failed", LineStatus::DOWN, true);
    }
}

void ConnectDelayReset::onTimer(TarvokTimer*)
{
    mLog.info() << "LineHandlerTcp: resetting connection attempt count";
    mHandler.resetConnectAttemptCount();
    mHandler.mImpl->destroyConnectDelayResetTimer();
}

LineHandlerTcp::LineHandlerTcp(LineDataFactory& factory, TarvokSession& session, Log& log)
    : LineHandler(&factory, session, log), TCPClientNetworkHandler(session, log),
      mImpl(std::make_unique<LineHandlerTcpImpl>(*this, factory, session, log))
{
}

LineHandlerTcp::~LineHandlerTcp()
{
    disconnect();
    mImpl->destroyReconnectTimer();
    mImpl->destroyConnectDelayResetTimer();
    if (mImpl->mHeartbeatsActive)
        mImpl->mHeartbeatTimer.destroy();
}

void LineHandlerTcp::addConnection(const char* ip, const char* port)
{
    mLog.info() << "LineHandlerTcpImpl()::addConnection() - adding [" << ip << ":" << port
                << "] into connection hunt list";
    mImpl->mConnectionList.push_back({std::string(), ip, port});
}

int LineHandlerTcp::resolvePort(const std::string& text) const
{
    if (text.empty())
    {
        const std::string message = std::string("Invalid (empty) service parameter: ") + std::strerror(EINVAL);
        mLog.error() << message;
        throw LineError(message);
    }
    const long port = linehandler::resolveService(text, "tcp");
    if (port == 0)
    {
        const std::string message =
            "Invalid service parameter: " + ZunqDumpUtils::writePeerBytes(text.data(), text.size()) + ": " +
            std::strerror(EINVAL);
        mLog.error() << message;
        throw LineError(message);
    }
    return static_cast<int>(port);
}

bool LineHandlerTcp::initNetworkService()
{
    LineHandlerTcpImpl& d = *mImpl;
    const std::string& feed = getFeedName();
    // The framework keeps 16 characters of a name: longer hunt-list names
    // would differ only in the part it cuts, and the entries would collide.
    if (!d.mConnectionList.empty())
    {
        const std::string longest = feed + ":" + std::to_string(d.mConnectionList.size() - 1);
        if (longest.size() > cMaxResourceName)
        {
            const std::string message = "LineHandlerTcpImpl::initNetworkService(): feed name " + feed +
                                        " too long: hunt-list name " + longest + " exceeds " +
                                        std::to_string(cMaxResourceName) + " characters";
            mLog.error() << message;
            throw LineError(message);
        }
    }
    bool all = true;
    for (std::size_t i = 0; i < d.mConnectionList.size(); ++i)
    {
        LineHandlerTcpConnectionInfo& entry = d.mConnectionList[i];
        entry.mName = feed + ":" + std::to_string(i);
        mLog.info() << "LineHandlerTcpImpl::initNetworkService(): registering [" << entry.mName << ": " << entry.mIp
                    << ":" << entry.mPort << "]";
        const int port = resolvePort(entry.mPort);
        if (!registerTCPClientService(entry.mName.c_str(), entry.mIp, port, d.mRecvBufSize))
        {
            mLog.error() << "LineHandlerTcpImpl::initNetworkService(): failed to register[" << entry.mName << ": "
                         << entry.mIp << ":" << entry.mPort << "]";
            all = false;
        }
    }
    return all;
}

void LineHandlerTcp::connect()
{
    if (mImpl->mConnectionList.empty())
    {
        mLog.error() << "LineHandlerTcp::connect(): " << getName() << " has no server in its connection hunt list";
        return;
    }
    mImpl->startReconnectTimer();
}

void LineHandlerTcp::onTimer(TarvokTimer*)
{
    LineHandlerTcpImpl& d = *mImpl;
    try
    {
        if (d.mConnectAttempt >= 1 && !d.mTryReconnect)
            throw LineError("LineHandlerTcp::onTimer(): this feed handler is configured not to attempt a reconnection");
        tryConnect();
    }
    catch (LineError& e)
    {
        mLog.error() << e.what();
        d.handleConnectFailed();
    }
    catch (LineConnectError& e)
    {
        mLog.error() << e.what();
        d.handleConnectFailed();
    }
}

void LineHandlerTcp::tryConnect()
{
    LineHandlerTcpImpl& d = *mImpl;
    if (d.mConnecting)
        return;
    d.destroyReconnectTimer();
    if (d.mConnected != TCP_READY_CONNECT)
    {
        d.mConnected = TCP_DELAY_CONNECT;
        return;
    }
    const int size = static_cast<int>(d.mConnectionList.size());
    if (size == 0)
    {
        mLog.error() << "LineHandlerTcpImpl::tryConnect(): " << getName()
                     << " has no server in its connection hunt list";
        return;
    }
    if (d.mRoundRobin && d.mLastWorkingConnection != d.mNextConnection)
        d.mNextConnection = d.mNextConnection + 1 >= size ? 0 : d.mNextConnection + 1;
    d.mLastWorkingConnection = size + 1;
    const LineHandlerTcpConnectionInfo& entry = d.mConnectionList[static_cast<std::size_t>(d.mNextConnection)];
    mLog.info() << "LineHandlerTcpImpl::tryConnect(): Connecting to " << entry.mIp << ":" << entry.mPort;
    if (connectService(entry.mName.c_str()))
    {
        d.mConnecting = true;
        return;
    }
    mLog.error() << "LineHandlerTcpImpl::tryConnect(): failed to connect to " << entry.mName << ". error code|"
                 << NetworkApi::current().getErrorCode() << "|";
    d.handleConnectFailed();
}

void LineHandlerTcp::onReadyToConnect()
{
    mImpl->mConnected = TCP_READY_CONNECT;
}

void LineHandlerTcp::onConnect()
{
    LineHandlerTcpImpl& d = *mImpl;
    d.mConnecting = false;
    d.mConnected = TCP_CONNECT;
    d.mLastWorkingConnection = d.mNextConnection;
    if (!d.mConnectionList.empty())
    {
        const LineHandlerTcpConnectionInfo& entry = d.mConnectionList[static_cast<std::size_t>(d.mNextConnection)];
        mConnectedName = entry.mName;
        d.mData.setSource(entry.mIp.c_str(), std::atoi(entry.mPort.c_str()));
    }
    d.clearBuffer();
    onTcpConnect();
    incrConnectAttemptCount();
    if (mUseRecoveryFile)
        writeRecoveryFile(false);
    d.destroyReconnectTimer();
    d.destroyConnectDelayResetTimer();
    TarvokStatus status = d.mConnectDelayResetTimer.create(&d.mSession, &d.mConnectDelayReset,
                                                           cConnectDelayResetMillis, nullptr);
    if (!status)
        mLog.error() << "LineHandlerTcp::onConnect(): cannot start connect delay reset timer: " << status.getText();
    else
        d.mConnectDelayResetLive = true;
    if (d.mConnectedMeansLineUp)
        setLineStatus(LineStatus::UP);
}

void LineHandlerTcp::onTcpConnect()
{
    if (mImpl->mSendHeartbeats)
        startHeartbeats();
}

void LineHandlerTcp::onTcpDisconnect()
{
    mImpl->mPeerLog.close(mLog, "LineHandlerTcp (" + getName() + ")");
    if (mImpl->mSendHeartbeats)
        stopHeartbeats();
}

void LineHandlerTcp::onConnectFail()
{
    mImpl->handleConnectFailed();
}

void LineHandlerTcp::onDisconnect()
{
    LineHandlerTcpImpl& d = *mImpl;
    d.mConnecting = false;
    d.mConnected = TCP_DISCONNECT;
    const char* reason = "End-of-File or server closed connection";
    const bool isError = getServerDisconnectIsError();
    lineDown(reason, LineStatus::DOWN, isError);
    bounceLine(reason, LineStatus::DOWN, isError);
    d.handleConnectFailed();
    onTcpDisconnect();
}

void LineHandlerTcp::disconnect()
{
    LineHandlerTcpImpl& d = *mImpl;
    if (d.mConnected != TCP_CONNECT)
        return;
    onTcpDisconnect();
    d.mConnected = TCP_DISCONNECT;
    disconnectService(mConnectedName.c_str());
    d.destroyConnectDelayResetTimer();
}

bool LineHandlerTcp::connected() const
{
    return mImpl->mConnected == TCP_CONNECT;
}

void LineHandlerTcp::onLineDown(const std::string&, LineStatus::StatusType, bool)
{
}

bool LineHandlerTcp::check(LineData&)
{
    mImpl->markUp();
    return true;
}

void LineHandlerTcp::stopReconnects()
{
    mImpl->mDisableReconnectTimer = true;
    mImpl->destroyReconnectTimer();
}

void LineHandlerTcp::startReconnects()
{
    mImpl->mDisableReconnectTimer = false;
    mImpl->startReconnectTimer();
}

void LineHandlerTcp::onNetworkData(const char* data, unsigned int length)
{
    LineHandlerTcpImpl& d = *mImpl;
    if (d.mConnected != TCP_CONNECT)
        return;
    d.mData.setLineTimeNow();
    FileDescBuffer& buffer = d.mBuffer;
    const bool deflated = buffer.getDataIsDeflated();
    std::uint32_t left = length;
    // Messages are delivered after every append, so a read larger than the
    // free space never loses the messages it completes.
    for (;;)
    {
        const std::uint32_t before = buffer.bufferSize();
        int taken = 0;
        if (left > 0 || (deflated && buffer.ZBufferSize() > 0))
            taken = buffer.addData(data + (length - left), left);
        left -= static_cast<std::uint32_t>(taken);
        const bool grew = buffer.bufferSize() > before;
        d.deliver();
        if (left == 0 && (!deflated || buffer.ZBufferSize() == 0))
            break;
        if (taken == 0 && !grew)
        {
            if (buffer.bufferSizeUnused() == 0)
            {
                d.garbage();
                continue;
            }
            if (d.peerLine())
                mLog.error() << "LineHandlerTcp::onNetworkData(): Not enough data in TCP buffer for a complete "
                                "packet. clear the buffer and reconnect.";
            d.clearBuffer();
            if (deflated)
                buffer.clearZBuffer();
            return;
        }
    }
    if (buffer.bufferSizeUnused() == 0)
        d.garbage();
}

bool LineHandlerTcp::isTransientSendError(int code)
{
    return code == cBufferFull || code == cHeadIndexChanged || code == cLockNoRes || code == cWouldBlock;
}

bool LineHandlerTcp::sendTo(const char* data, int length, const char* context)
{
    LineHandlerTcpImpl& d = *mImpl;
    if (d.mConnected != TCP_CONNECT)
    {
        mLog.warning() << "LineHandlerTcp::sendTo(" << mConnectedName << "): not connected";
        return false;
    }
    if (length <= 0)
        return length == 0;
    // A login packet carries credentials: its bytes never reach the log.
    if (std::strcmp(context, "sendLogin") == 0)
        mLog.verbose() << "LineHandlerTcp::sendTo(" << mConnectedName << "): sending " << length
                       << " bytes (context: " << context << ")";
    else
        mLog.verbose() << "LineHandlerTcp::sendTo(" << mConnectedName << "): sending: "
                       << ZunqDumpUtils::writePeerBytes(data, static_cast<std::size_t>(length))
                       << " (context: " << context << ")";
    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now() + std::chrono::milliseconds(cSendRetryMillis);
    bool warned = false;
    int sent = 0;
    unsigned int refusals = 0;
    while (sent < length)
    {
        const int result = sendToNetwork(mConnectedName.c_str(), data + sent, static_cast<unsigned int>(length - sent));
        if (result > 0)
        {
            sent += result;
            refusals = 0;
            if (sent < length)
                mLog.warning() << "LineHandlerTcp::sendTo(" << mConnectedName << ") send() only sent " << result
                               << " (of " << length << ") bytes!";
            deadline = Clock::now() + std::chrono::milliseconds(cSendRetryMillis);
            continue;
        }
        const int code = NetworkApi::current().getErrorCode();
        if (code == cConnClosed || code == cResNotExist)
            return false;
        if (!isTransientSendError(code))
        {
            mLog.error() << "LineHandlerTcp::sendTo(" << mConnectedName << "): failed due to error|" << code << "|";
            return false;
        }
        if (!warned)
        {
            // Once per send, not per try: a peer that reads slowly would flood the log.
            mLog.warning() << "LineHandlerTcp::sendTo(" << mConnectedName << "): failed due to error|" << code
                           << "|. will attempt to resend if connection not closed.";
            mLog.warning() << "LineHandlerTcp::sendTo(" << mConnectedName << ") send() only sent " << result
                           << " (of " << length << ") bytes!";
            warned = true;
        }
        // Both bounds: a thread descheduled past the deadline on a busy
        // machine still gets its few tries before the line is given up.
        if (++refusals >= cMinSendTries && Clock::now() >= deadline)
        {
            // The peer stopped reading: waiting longer would freeze every
            // line, timer and admin method of this thread.
            mLog.error() << "LineHandlerTcp::sendTo(" << mConnectedName << "): gave up after " << cSendRetryMillis
                         << " ms of error|" << code << "| with " << (length - sent) << " of " << length
                         << " bytes unsent (context: " << context << ")";
            const char* reason = "send failed: peer not reading";
            lineDown(reason, LineStatus::DOWN, true);
            bounceLine(reason, LineStatus::DOWN, true);
            return false;
        }
        sched_yield();
    }
    return true;
}

void LineHandlerTcp::startHeartbeatTimer(const char* who, std::uint64_t seconds, TarvokTimer& timer,
                                         TarvokTimerHandler& sender, bool& active)
{
    if (seconds == 0)
        return;
    mLog.info() << who << ": starting heartbeats...";
    TarvokStatus status = timer.create(&mImpl->mSession, &sender, static_cast<unsigned int>(seconds * 1000), nullptr);
    if (!status)
        mLog.error() << who << ": cannot start HeartbeatSender timer: " << status.getText();
    active = true;
}

void LineHandlerTcp::stopHeartbeatTimer(const char* who, TarvokTimer& timer, bool& active)
{
    if (!active)
        return;
    mLog.info() << who << ": stopping heartbeats...";
    active = false;
    timer.destroy();
}

void LineHandlerTcp::startHeartbeats()
{
    LineHandlerTcpImpl& d = *mImpl;
    stopHeartbeats();
    startHeartbeatTimer("LineHandlerTcp", d.mHeartbeatInterval, d.mHeartbeatTimer, d.mHeartbeatSender,
                        d.mHeartbeatsActive);
}

void LineHandlerTcp::stopHeartbeats()
{
    stopHeartbeatTimer("LineHandlerTcp", mImpl->mHeartbeatTimer, mImpl->mHeartbeatsActive);
}

bool LineHandlerTcp::heartbeatTimerActive() const
{
    return mImpl->mHeartbeatsActive;
}

bool LineHandlerTcp::reconnectTimerActive() const
{
    return mImpl->mReconnectTimerLive;
}

bool LineHandlerTcp::connectInProgress() const
{
    return mImpl->mConnecting;
}

void LineHandlerTcp::createHeartbeatPacket(char* buffer, int& length)
{
    if (length < 3)
    {
        length = 0;
        return;
    }
    std::memcpy(buffer, "HB", 3);
    length = 2;
}

void LineHandlerTcp::onLineEof(LineEof& e)
{
    lineEof(e);
}

void LineHandlerTcp::onLineError(LineError& e)
{
    lineError(e);
}

void LineHandlerTcp::onLineConnectError(LineConnectError& e)
{
    lineConnectError(e);
}

void LineHandlerTcp::onLineTerminate(LineTerminate& e)
{
    lineTerminate(e);
}

void LineHandlerTcp::onInvalidArg(std::invalid_argument& e)
{
    invalidArg(e);
}

void LineHandlerTcp::setUseRecoveryFile(bool on)
{
    mUseRecoveryFile = on;
}

bool LineHandlerTcp::getUseRecoveryFile() const
{
    return mUseRecoveryFile;
}

void LineHandlerTcp::setConnectDelay(unsigned int minMillis, unsigned int maxMillis)
{
    mImpl->mConnectDelayMin = minMillis == 0 ? 100 : minMillis;
    mImpl->mConnectDelayMax = maxMillis == 0 ? 60000 : maxMillis;
    mImpl->checkConnectDelay();
}

void LineHandlerTcp::setReceiveBufferSize(unsigned int size)
{
    mImpl->mRecvBufSize = size;
}

void LineHandlerTcp::setMinMessageBufferSize(unsigned int size)
{
    mImpl->mBuffer.resize(size);
}

void LineHandlerTcp::setTryReconnect(bool on)
{
    mImpl->mTryReconnect = on;
}

void LineHandlerTcp::setConnectedMeansLineUp(bool on)
{
    mImpl->mConnectedMeansLineUp = on;
}

void LineHandlerTcp::setRoundRobin(bool on)
{
    mImpl->mRoundRobin = on;
}

void LineHandlerTcp::setNonBlockingConnect(bool on)
{
    mImpl->mNonBlockingConnect = on;
}

void LineHandlerTcp::setAnyFailOk(bool on)
{
    mImpl->mAnyFailOk = on;
}

void LineHandlerTcp::setTempFailOk(bool on)
{
    mImpl->mTempFailOk = on;
}

void LineHandlerTcp::setListenToReadEvent(bool on)
{
    mImpl->mListenToReadEvent = on;
}

void LineHandlerTcp::setMessageSeparator(char separator)
{
    LineHandlerTcpImpl& d = *mImpl;
    d.mUseCharSep = true;
    d.mMsgSeparator = separator;
    d.mMsgDataLenOffset = 1;
    d.mScanned = 0;
}

void LineHandlerTcp::setMessageSeparator(const char* separator)
{
    LineHandlerTcpImpl& d = *mImpl;
    const std::size_t length = separator == nullptr ? 0 : strnlen(separator, cMaxSeparatorLength);
    if (length == 0)
    {
        mLog.error() << "LineHandlerTcp::setMessageSeparator(): empty separator string refused";
        return;
    }
    d.mUseCharSep = false;
    std::memcpy(d.mMsgStrSep, separator, length);
    d.mMsgStrSep[length] = '\0';
    d.mMsgStrSepLen = length;
    d.mMsgDataLenOffset = length;
    d.mScanned = 0;
}

const char* LineHandlerTcp::getMessageSeparator() const
{
    return mImpl->mUseCharSep ? nullptr : mImpl->mMsgStrSep;
}

void LineHandlerTcp::setHeartbeatInterval(unsigned long seconds)
{
    mImpl->mHeartbeatInterval = seconds;
}

void LineHandlerTcp::setSendHeartbeats(bool on)
{
    mImpl->mSendHeartbeats = on;
}

void LineHandlerTcp::setCreateAllHeartbeats(bool on)
{
    mImpl->mHeartbeatSender.mCreateAllHeartbeats = on;
}

void LineHandlerTcp::setDataIsDeflated(bool on)
{
    mImpl->mBuffer.setDataIsDeflated(on);
}

bool LineHandlerTcp::getDataIsDeflated() const
{
    return mImpl->mBuffer.getDataIsDeflated();
}

FileDescBuffer& LineHandlerTcp::getBuffer()
{
    return mImpl->mBuffer;
}

std::int64_t LineHandlerTcp::getConnectAttemptCount() const
{
    return mImpl->mConnectAttempt;
}

std::uint32_t LineHandlerTcp::getConnectDelay() const
{
    return mImpl->mConnectDelay;
}

void LineHandlerTcp::incrConnectAttemptCount()
{
    ++mImpl->mConnectAttempt;
    mImpl->checkConnectDelay();
}

void LineHandlerTcp::resetConnectAttemptCount()
{
    mImpl->mConnectAttempt = 0;
    mImpl->checkConnectDelay();
}

bool LineHandlerTcp::setConnection(int index)
{
    if (index < 0 || index >= static_cast<int>(mImpl->mConnectionList.size()))
        return false;
    mImpl->mNextConnection = index;
    return true;
}

void LineHandlerTcp::markConnectionFailed()
{
    mImpl->mLastWorkingConnection = -1;
}

const LineHandlerTcpConnectionInfo& LineHandlerTcp::getConnectionInfo() const
{
    static const LineHandlerTcpConnectionInfo none;
    const LineHandlerTcpImpl& d = *mImpl;
    return d.mConnectionList.empty() ? none : d.mConnectionList[static_cast<std::size_t>(d.mNextConnection)];
}

const std::string& LineHandlerTcp::getTcpIpAddress() const
{
    return getConnectionInfo().mIp;
}

const std::string& LineHandlerTcp::getTcpService() const
{
    return getConnectionInfo().mPort;
}

void LineHandlerTcp::setConnectedName(const char* name)
{
    mConnectedName = name == nullptr ? "" : name;
}

const std::string& LineHandlerTcp::getConnectedName() const
{
    return mConnectedName;
}

bool LineHandlerTcp::isStopped() const
{
    return mImpl->mDisableReconnectTimer;
}

LineHandlerTcp::TCP_CONNECT_STATUS LineHandlerTcp::getConnectStatus() const
{
    return mImpl->mConnected;
}

int LineHandlerTcp::getCurrentConnection() const
{
    return mImpl->mNextConnection;
}

namespace
{
void noArguments(const KeshParamList& in)
{
    if (in.size() != 0)
        throw KeshUsageError("KESH usage");
}
} // namespace

KeshTcpDisconnect::KeshTcpDisconnect(LineHandlerTcp& handler)
    : KeshMethod("disconnect", KESH_METHOD_ACTION_INFO, "Disconnect a TCP feed."), mHandler(handler)
{
    addResultParamDef("Message", "Message related to this operation");
}

void KeshTcpDisconnect::invoke(const KeshParamList& in, KeshParamList& out)
{
    noArguments(in);
    mHandler.disconnect();
    mHandler.stopReconnects();
    out.add("Message", mHandler.getName() + " disconnected.");
}

KeshDisconnectTcpFeed::KeshDisconnectTcpFeed(LineHandlerTcp& handler)
    : KeshMethod("disconnectTcpFeed", KESH_METHOD_ACTION_INFO, "Force a disconnect (and reconnect) a TCP-based feed."),
      mHandler(handler)
{
    addResultParamDef("Message", "Message related to this operation");
}

void KeshDisconnectTcpFeed::invoke(const KeshParamList& in, KeshParamList& out)
{
    noArguments(in);
    mHandler.disconnect();
    mHandler.resetConnectAttemptCount();
    mHandler.startReconnects();
    out.add("Message", mHandler.getName() + " disconnected. Attempting reconnect");
}

KeshGetFileDescBufferStats::KeshGetFileDescBufferStats(LineHandlerTcp& handler)
    : KeshMethod("getFileDescBufferStats", KESH_METHOD_ACTION_INFO,
                 "Get the statistics of the FileDescBuffer object inside the LineHandlerTcp.\n"
                 "Relatively low numbers of moves and bytes moved are good.\n"
                 "Output parameters are:\n"
                 "  used:     bytes currently used in buffer\n"
                 "  avail:    bytes available in buffer\n"
                 "  size:     max buffer size (buffer size can increase)\n"
                 "  reads:    number of attempts to read a chunk of data from socket\n"
                 "  clears:   number of times buffer was completely cleared of some data\n"
                 "  moves:    number of times some data had to be moved\n"
                 "  bread:    bytes read\n"
                 "  bcleared: bytes cleared\n"
                 "  bmoved:   bytes moved\n"),
      mHandler(handler)
{
    addResultParamDef("Message", "Results");
}

void KeshGetFileDescBufferStats::invoke(const KeshParamList& in, KeshParamList& out)
{
    noArguments(in);
    std::uint32_t used, avail, size, reads, clears, moves, bread, bcleared, bmoved;
    mHandler.getBuffer().getStats(used, avail, size, reads, clears, moves, bread, bcleared, bmoved);
    char text[500];
    std::snprintf(text, sizeof text,
                  " used=%u; avail=%u; size=%u; reads=%u; clears=%u; moves=%u; bread=%u; bcleared=%u; bmoved=%u", used,
                  avail, size, reads, clears, moves, bread, bcleared, bmoved);
    out.add("Message", mHandler.getName() + text);
}

KeshResetFileDescBufferStats::KeshResetFileDescBufferStats(LineHandlerTcp& handler)
    : KeshMethod("resetFileDescBufferStats", KESH_METHOD_ACTION_INFO,
                 "Reset the statistics of the FileDescBuffer object inside the LineHandlerTcp."),
      mHandler(handler)
{
    addResultParamDef("Message", "Results");
}

void KeshResetFileDescBufferStats::invoke(const KeshParamList& in, KeshParamList& out)
{
    noArguments(in);
    mHandler.getBuffer().resetStats();
    out.add("Message", mHandler.getName() + " buffer statistics reset");
}
