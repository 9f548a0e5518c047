#include "rts/server/RtsTcpSession.h"

#include "kelmora/linehandler/NetworkApi.h"
#include "kelmora/thread/Runnable.h"
#include "kelmora/thread/TarvokSession.h"
#include "rts/cache/LineDataCacheManager.h"
#include "rts/clients/RtsClientEntry.h"
#include "rts/clients/RtsClientList.h"
#include "rts/server/RtsTcpServer.h"
#include "zunq/log/Log.h"
#include "zunq/protocol/ZunqDumpUtils.h"
#include "zunq/protocol/ZunqUtils.h"
#include "zunq/time/Time.h"

#include "FendralServices/api/FwLimits.h"
#include "FendralServices/api/FwServices.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <vector>

namespace
{
// Out of line on purpose: inlined here the copy knows the packet's bound
// and becomes a string-move instruction whose start-up cost outweighs a
// message of a few hundred bytes; the library's copy is several times faster.
[[gnu::noinline]] void copyMessage(char* to, const char* from, std::size_t length)
{
    std::memcpy(to, from, length);
}

constexpr std::size_t cHeader = Zunq::cPacketHeaderSize;
constexpr std::size_t cHexDumpMax = 2048;

std::uint16_t u16At(const char* p)
{
    std::uint16_t v = 0;
    std::memcpy(&v, p, sizeof v);
    return v;
}

Zunq::PacketHeader headerAt(const char* p)
{
    Zunq::PacketHeader h;
    std::memcpy(&h, p, sizeof h);
    return h;
}

// Received or cached bytes for a debug line: "%02X " per byte, a line feed
// after every 32, at most the first 2048 bytes.
std::string hexDump(const char* data, std::size_t length)
{
    const std::size_t n = std::min(length, cHexDumpMax);
    std::string out;
    out.reserve(n * 3 + n / 32 + 1);
    char byte[4];
    for (std::size_t i = 0; i < n; ++i)
    {
        std::snprintf(byte, sizeof byte, "%02X ", static_cast<unsigned char>(data[i]));
        out += byte;
        if (i % 32 == 31)
            out += '\n';
    }
    return out;
}

std::int64_t steadyNanoseconds()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool isTransient(int code)
{
    return code == BUFFER_FULL || code == HEAD_INDEX_CHANGED || code == LOCK_NO_RES || code == WOULD_BLOCK;
}
} // namespace

RtsTcpSession::RtsTcpSession(TarvokSession& session, Log& log)
    : TCPClientNetworkHandler(session, log), mLog(&log), mSession(&session)
{
}

RtsTcpSession::~RtsTcpSession()
{
    for (TarvokTimer* t : {&mHeartBeatTimer, &mCloseConnectionTimer, &mHeartBeatRspTimer, &mLoginTimeoutTimer,
                           &mSendingTimer})
        stopTimer(*t);
}

bool RtsTcpSession::peerLine()
{
    return mPeerLog.admit(*mLog, "RtsTcpSession (" + mClientLogStr + ")");
}

bool RtsTcpSession::debug() const
{
    return mLog->verboseEnabled();
}

bool RtsTcpSession::makeTimer(TarvokTimer& timer, unsigned int milliseconds)
{
    if (timer.isValid())
        timer.destroy();
    // On the session's own thread the framework timer is made now, or refused.
    timer.create(mSession, this, milliseconds, nullptr);
    return timer.isValid();
}

bool RtsTcpSession::startTimer(TarvokTimer& timer, unsigned int milliseconds, const char* what)
{
    if (makeTimer(timer, milliseconds))
        return true;
    timerRefused(what);
    return false;
}

std::string RtsTcpSession::timerLimitText() const
{
    Runnable* runnable = mSession != nullptr ? mSession->getRunnable() : nullptr;
    const int limit = getTimerLimit();
    std::string text = "thread |" + (runnable != nullptr ? runnable->getName() : std::string("?")) + "| holds " +
                       std::to_string(runnable != nullptr ? runnable->getNumTimers() : 0);
    if (limit > 0)
        text += " of the " + std::to_string(limit) + " timers";
    else
        text += " timers, as many as";
    return text + " the framework allows (MSG_DISP_FD_NUM + 5)";
}

void RtsTcpSession::timerRefused(const char* what)
{
    mLog->error() << "RtsTcpSession::startTimer (" << mClientLogStr << "): no " << what << " timer: "
                  << timerLimitText() << "; closing the connection";
    closeSocket();
}

void RtsTcpSession::stopTimer(TarvokTimer& timer)
{
    if (timer.isValid())
        timer.destroy();
}

// ---------------------------------------------------------------- life cycle

void RtsTcpSession::initialize(const sockaddr_in& addr, RtsTcpServer* server, bool allowLastSeqNumRequest)
{
    if (server == nullptr)
        return;
    mServer = server;
    mSession = &server->getSession();
    mLog = &server->getLog();
    mAddr = addr;
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
    mIpAddress = text;
    mClientLogStr = mIpAddress + ":" + std::to_string(ntohs(addr.sin_port));
    if (debug())
        mLog->verbose() << "RtsTcpSession::initialize (" << mClientLogStr << "): Initializing the RtsTcpSession object";

    mAllowLastSeqNumRequest = allowLastSeqNumRequest;
    mMaxSeqNumGap = server->getMaxSeqNumGap();
    mMaxNumMessages = server->getMaxNumMessages();
    mMaxConnection = server->getMaxConnection();
    mHeartbeatInterval = server->getHeartbeatInterval();
    mHeartbeatRspInterval = server->getHbRspInterval();
    mLoginTimeout = server->getLoginTimeout();
    mThrottleInterval = server->getThrottleInterval();

    // The queue is built once and kept: a reused session only empties it.
    if (!mPacketQueue)
        mPacketQueue = std::make_unique<PacketQueue>(0, *mLog, "PacketQueue", server->getPacketBufferPool());
    else
        mPacketQueue->clear();
    // The factory refuses a throttle interval of 0; a session never divides by it.
    mMaxAttemptsToSendBeforeDisconnect =
        mThrottleInterval != 0 ? mHeartbeatRspInterval * 1000 / mThrottleInterval + 1 : 1;
    std::memset(mControlBuffer, 0, sizeof mControlBuffer);
    if (debug())
        mLog->verbose() << "RtsTcpSession::initialize (" << mClientLogStr << "): Created a new TCP connection.";

    mLoggedOnUserId.clear();
    mClientEntry = nullptr;
    mLoggedOn = false;
    resetStreamState();
    mInitialized = true;
    // Without it the connection could wait for its logon for ever: the
    // server closes it once the connection is set up (closeUntimed).
    mUntimed = !makeTimer(mLoginTimeoutTimer, mLoginTimeout * 1000);
}

void RtsTcpSession::closeUntimed()
{
    if (mUntimed)
        timerRefused("login timeout");
}

template <typename Record>
unsigned int RtsTcpSession::buildControlPacket(const Record& record)
{
    static_assert(cHeader + sizeof(Record) <= sizeof mControlBuffer);
    Zunq::PacketHeader header;
    header.mPktSize = static_cast<std::uint16_t>(cHeader + sizeof record);
    header.mMsgCount = 1;
    std::memset(mControlBuffer, 0, sizeof mControlBuffer);
    std::memcpy(mControlBuffer, &header, sizeof header);
    std::memcpy(mControlBuffer + cHeader, &record, sizeof record);
    return header.mPktSize;
}

void RtsTcpSession::resetStreamState()
{
    mBufPosition = 0;
    mLastSeqNum = 0;
    mHeartBeatSeqNum = 0;
    mPrevHeartBeatSeqNum = 0;
    mBytesSent = 0;
    mAttemptsToSendDataCount = 0;
    mActiveRetransRequests.clear();
    mFrontInService = false;
    mReplay = Replay{};
    mBuildLimit = static_cast<int>(cWindowPackets);
    mWindowStart = 0;
    mWindowSent = 0;
}

void RtsTcpSession::setConnection(const char (&name)[17])
{
    copyResourceName(mClientResource, name);
    mClientLogStr += "_s_";
    mClientLogStr += mClientResource;
    mConnectionClosed = false;
}

void RtsTcpSession::closeSocket()
{
    if (!mInitialized || mConnectionClosed)
        return;
    resetStreamState();
    mMaxAttemptsToSendBeforeDisconnect = 0;
    mTraceCommunications = false;
    mTraceUser.clear();
    mIsTraceUser = false;
    // Every timer goes back to the thread.
    stopSending();
    stopTimer(mSendingTimer);
    stopTimer(mHeartBeatTimer);
    stopTimer(mHeartBeatRspTimer);
    stopTimer(mLoginTimeoutTimer);
    mPeerLog.close(*mLog, "RtsTcpSession::closeSocket(" + mClientLogStr + ")");
    mLog->info() << "RtsTcpSession::closeSocket(" << mClientLogStr << ") User IP Address " << mIpAddress
                 << " disconnected";
    mLoggedOn = false;
    mAccepted = false;
    if (mClientEntry != nullptr)
    {
        if (mClientEntry->mConnectionStatus > 0)
            --mClientEntry->mConnectionStatus;
        if (mClientEntry->mConnectionStatus == 0)
            mClientEntry->lastConnectionClosed();
        mClientEntry = nullptr;
    }
    disconnectService(mClientResource);
    if (mServer != nullptr && mServer->limitsConnections())
        mServer->connectionClosed();
    mConnectionClosed = true;
    mLoggedOnUserId.clear();
    mClientLogStr.clear();
    if (mPacketQueue)
        mPacketQueue->clear();
    if (mServer != nullptr)
        mServer->release(this);
}

void RtsTcpSession::onDisconnect()
{
    if (!mInitialized)
        return;
    if (debug())
        mLog->verbose() << "RtsTcpSession::onDisconnect (" << mClientLogStr << "): Closing Connection gracefully";
    closeSocket();
}

void RtsTcpSession::onTimer(TarvokTimer* timer)
{
    if (!mInitialized)
        return;
    if (timer == &mHeartBeatTimer)
        handleHeartbeat();
    else if (timer == &mHeartBeatRspTimer)
    {
        stopEchoWait();
        if (mClientEntry != nullptr)
            mLog->warning() << "RtsTcpSession::onTimer (" << mClientLogStr << "): No Response from Client "
                            << ZunqDumpUtils::writePeerBytes(mClientEntry->mUserId.data(),
                                                             mClientEntry->mUserId.size())
                            << " within timeout period - deleting and closing connection";
        closeSocket();
    }
    else if (timer == &mSendingTimer)
    {
        if (mSending)
            sendRetry();
    }
    else if (timer == &mLoginTimeoutTimer)
    {
        mLog->warning() << "RtsTcpSession::onTimer (" << mClientLogStr
                        << "): Login timeout. Connection closed down to remote client";
        closeSocket();
        stopTimer(mLoginTimeoutTimer);
    }
    else if (timer == &mCloseConnectionTimer)
    {
        const std::string prefix = mClientLogStr;
        closeSocket();
        stopTimer(mCloseConnectionTimer);
        if (traceOrDebug())
            mLog->info() << "RtsTcpSession::onTimer (" << prefix << "): Connection closed down to remote client";
    }
}

// ------------------------------------------------------------------- framing

void RtsTcpSession::onNetworkData(const char* data, unsigned int length)
{
    if (!mInitialized)
        return;
    if (debug())
        mLog->verbose() << "RtsTcpSession::onNetworkData (" << mClientLogStr << "): received client event";
    // Bytes that arrive before the server accepted the connection are dropped.
    if (mAccepted)
        processRequest(data, static_cast<int>(std::min<unsigned int>(length, 0x7FFFFFFF)));
}

void RtsTcpSession::processRequest(const char* data, int length)
{
    if (length <= 0 || data == nullptr || !mInitialized)
        return;
    if (mTraceCommunications)
        mLog->info() << "RtsTcpSession::processRequest (" << mClientLogStr << "): received a packet of length ["
                     << length << "] from client";
    if (debug())
        mLog->verbose() << hexDump(data, static_cast<std::size_t>(length));

    const char* rest = data;
    std::size_t left = static_cast<std::size_t>(length);
    if (mBufPosition > 0)
    {
        // Complete the held packet from the new bytes alone; the rest of the
        // read is then framed where it lies, so no read size can overrun.
        const std::size_t take = std::min(cMaxClientPacket - mBufPosition, left);
        std::memcpy(mIncompleteBuffer + mBufPosition, rest, take);
        const std::size_t total = mBufPosition + take;
        if (traceOrDebug())
            mLog->info() << "RtsTcpSession::processRequest (" << mClientLogStr
                         << "): appended this packet to previously imcomplete packet.. buffer size now [" << total
                         << "]";
        std::size_t used = 0;
        const Framed framed = processPacket(mIncompleteBuffer, total, used);
        if (framed == Framed::CLOSED)
            return;
        if (framed == Framed::NEED_MORE)
        {
            mBufPosition = total; // every new byte is held: a packet is at most 32 bytes
            return;
        }
        const std::size_t fromNew = used - mBufPosition;
        mBufPosition = 0;
        rest += fromNew;
        left -= fromNew;
    }
    while (left > 0)
    {
        std::size_t used = 0;
        const Framed framed = processPacket(rest, left, used);
        if (framed == Framed::CLOSED)
            return;
        if (framed == Framed::NEED_MORE)
        {
            keepFragment(rest, left);
            return;
        }
        rest += used;
        left -= used;
    }
}

void RtsTcpSession::keepFragment(const char* data, std::size_t length)
{
    // A fragment is shorter than the packet it starts, and no legal packet
    // is longer than 32 bytes.
    const std::size_t n = std::min(length, cMaxClientPacket - 1);
    std::memmove(mIncompleteBuffer, data, n);
    mBufPosition = n;
}

RtsTcpSession::Framed RtsTcpSession::processPacket(const char* packet, std::size_t available, std::size_t& used)
{
    const char* const op = "RtsTcpSession::processRequest (";
    if (available < cHeader)
    {
        if (peerLine())
            mLog->warning() << op << mClientLogStr << "): Detected incomplete packet header with bytes left ["
                            << available << "] and packet header is [" << cHeader << "]";
        return Framed::NEED_MORE;
    }
    const Zunq::PacketHeader header = headerAt(packet);
    if (debug())
        mLog->verbose() << op << mClientLogStr << "): PktSize=" << header.mPktSize
                        << " MsgCount=" << static_cast<unsigned>(header.mMsgCount) << " SeqNum=" << header.mSeqNum
                        << " SendTime=" << static_cast<unsigned long>(header.mSendTime);
    if (header.mPktSize != cHeader && header.mPktSize != cMaxClientPacket)
    {
        mLog->error() << op << mClientLogStr << "): Invalid packet received from client ["
                      << ZunqDumpUtils::writePeerBytes(mLoggedOnUserId.data(), mLoggedOnUserId.size())
                      << "] Packet Size is not valid [" << header.mPktSize
                      << "] as it does not match Heartbeat, Logon or RetransRequest size]... Closing socket.";
        closeSocket();
        return Framed::CLOSED;
    }
    if (header.mPktSize > available)
    {
        if (peerLine())
            mLog->warning() << op << mClientLogStr << "): Detected incomplete packet with bytes left [" << available
                            << "] and packet size is [" << header.mPktSize << "]";
        return Framed::NEED_MORE;
    }
    used = header.mPktSize;
    if (header.mMsgCount == 0)
    {
        handleHeartbeatResponse(packet);
        return mConnectionClosed ? Framed::CLOSED : Framed::DONE;
    }
    // A header-only packet that claims a message would have it read from
    // beyond its own bytes.
    if (header.mPktSize == cHeader)
    {
        refuseIllegalPacket("MsgCount given for a packet without message");
        return Framed::CLOSED;
    }
    if (traceOrDebug())
        mLog->info() << op << mClientLogStr << "): packet header in request from from client - "
                     << ZunqDumpUtils::writeStructToString(&header, mSep);
    const std::uint16_t msgSize = u16At(packet + cHeader);
    const std::uint16_t msgType = u16At(packet + cHeader + 2);
    if (traceOrDebug())
        mLog->info() << op << mClientLogStr << "): message from client is base info is MsgSize [" << msgSize
                     << "] MsgType [" << msgType << "]";
    if (msgSize != header.mPktSize - cHeader)
    {
        refuseIllegalPacket("MsgSize not matched with PacketSize");
        return Framed::CLOSED;
    }
    if (header.mMsgCount > 1)
    {
        refuseIllegalPacket("MsgCount not as expected (1 or 0)");
        return Framed::CLOSED;
    }
    if (msgSize == 0 || msgType == 0)
    {
        mLog->error() << op << mClientLogStr << "): Invalid msgSize or msgType received from client ["
                      << ZunqDumpUtils::writePeerBytes(mLoggedOnUserId.data(), mLoggedOnUserId.size())
                      << "] MsgSize [" << msgSize << "] MsgType [" << msgType << "]...  Closing socket.";
        closeSocket();
        return Framed::CLOSED;
    }
    switch (msgType)
    {
    case Zunq::LOGON_TYPE:
        handleLogon(packet + cHeader);
        break;
    case Zunq::RETRANS_REQUEST_TYPE:
        if (!mLoggedOn)
        {
            mLog->warning() << op << mClientLogStr
                            << "): user NOT logged on yet, but sent a retrans request, closing socket.";
            closeSocket();
            return Framed::CLOSED;
        }
        queueRequest(packet + cHeader);
        break;
    default:
        mLog->error() << op << mClientLogStr << " ): Unknown message type [" << msgType << "] from client ["
                      << ZunqDumpUtils::writePeerBytes(mLoggedOnUserId.data(), mLoggedOnUserId.size())
                      << "].. closing socket.";
        closeSocket();
        return Framed::CLOSED;
    }
    return mConnectionClosed ? Framed::CLOSED : Framed::DONE;
}

void RtsTcpSession::refuseIllegalPacket(const char* reason)
{
    if (mLoggedOn)
    {
        // Status 1 for an all-zero request, written only when nothing is
        // queued ahead of it: the close follows either way.
        Zunq::RetransmissionResponse response;
        response.mRetransStatus = Zunq::UNKNOWN_CHANNEL_ID;
        const unsigned int size = buildControlPacket(response);
        if (mPacketQueue->getNumEntries() == 0)
            writeDirect(mControlBuffer, size);
    }
    else
        sendLogonResponse(Zunq::INVALID_USERNAME);
    mLog->error() << "RtsTcpSession::processRequest (" << mClientLogStr << "): Illegal Packet detected: " << reason
                  << " Closing socket.";
    closeSocket();
}

// --------------------------------------------------------------------- logon

void RtsTcpSession::handleLogon(const char* message)
{
    const char* const op = "RtsTcpSession::handleLogon (";
    if (mLoggedOn)
    {
        if (peerLine())
            mLog->warning() << op << mClientLogStr << "): User already logged on.. not processing logon.";
        return;
    }
    Zunq::Logon logon;
    std::memcpy(&logon, message, sizeof logon);
    if (traceOrDebug())
        mLog->info() << op << mClientLogStr << "): received logon - " << ZunqDumpUtils::writeStructToString(&logon, mSep);
    mLoggedOnUserId = std::string(Zunq::logonUsername(logon));
    // The name came from the wire: it reaches the log escaped.
    const std::string shown = ZunqDumpUtils::writePeerBytes(mLoggedOnUserId.data(), mLoggedOnUserId.size());
    if (!mTraceUser.empty() && mLoggedOnUserId == mTraceUser)
    {
        mLog->info() << op << mClientLogStr << "): matched trace user, logging communications";
        mTraceCommunications = true;
        mIsTraceUser = true;
    }
    mClientLogStr += "_" + shown;

    RtsClientEntry* entry = mServer->getRtsClientList().getClientEntry(mLoggedOnUserId);
    if (entry == nullptr)
    {
        mLog->warning() << op << mClientLogStr << "): Unknown UserId:" << shown;
        sendLogonResponse(Zunq::INVALID_USERNAME);
        closeSocket();
        return;
    }
    mClientEntry = entry;
    const int status = entry->validateClientAddress(mAddr, mMaxConnection);
    ++entry->mConnectionStatus; // the close lowers it again
    if (status == Zunq::USER_ALREADY_CONNECTED)
    {
        mLog->warning() << op << mClientLogStr << "): Illegal Logon detected: user already connected.";
        sendLogonResponse(Zunq::USER_ALREADY_CONNECTED);
        closeSocket();
        return;
    }
    if (status != 0)
    {
        mLog->warning() << op << mClientLogStr << "): Illegal Logon detected: from unauthorized IP.";
        sendLogonResponse(Zunq::INVALID_USERNAME);
        closeSocket();
        return;
    }
    // Every timer the logged-on session will need is taken before it is let
    // in; the logon deadline's goes back first.
    stopTimer(mLoginTimeoutTimer);
    if (!reserveLoggedOnTimers())
    {
        mLog->error() << op << mClientLogStr << "): no heartbeat, heartbeat response and sending timers for the "
                      << "logon: " << timerLimitText() << "; logon refused as a busy server, closing the connection";
        sendLogonResponse(Zunq::SERVER_BUSY, "server busy (no timers left)");
        closeSocket();
        return;
    }
    mLoggedOn = true;
    sendLogonResponse(Zunq::SESSION_ACTIVE);
    if (mConnectionClosed)
        return;
    if (traceOrDebug())
        mLog->info() << op << mClientLogStr << "): Accepted Logon from user [" << shown << "]";
}

bool RtsTcpSession::reserveLoggedOnTimers()
{
    // The sending timer may run already: a partly written packet before the logon.
    const bool sendingMade = !mSendingTimer.isValid();
    if (makeTimer(mHeartBeatTimer, mHeartbeatInterval * 1000) &&
        makeTimer(mHeartBeatRspTimer, mHeartbeatRspInterval * 1000) &&
        (!sendingMade || makeTimer(mSendingTimer, mThrottleInterval)))
    {
        mHeartBeatRspTimer.pause();
        if (!mSending)
            mSendingTimer.pause();
        return true;
    }
    stopTimer(mHeartBeatTimer);
    stopTimer(mHeartBeatRspTimer);
    if (sendingMade)
        stopTimer(mSendingTimer);
    return false;
}

void RtsTcpSession::sendLogonResponse(int status, const char* rejected)
{
    if (!mInitialized)
        return;
    const char* const op = "RtsTcpSession::sendLogonResponse (";
    const std::string shown = ZunqDumpUtils::writePeerBytes(mLoggedOnUserId.data(), mLoggedOnUserId.size());
    if (traceOrDebug())
        mLog->info() << op << mClientLogStr << "): sending logon response to User:" << shown;
    switch (rejected != nullptr ? -1 : status)
    {
    case -1:
        mLog->info() << op << mClientLogStr << "): Logon Rejected - " << rejected;
        break;
    case Zunq::INVALID_USERNAME:
        mLog->info() << op << mClientLogStr << "): Logon Rejected - INVALID_USERNAME";
        break;
    case Zunq::USER_ALREADY_CONNECTED:
        mLog->info() << op << mClientLogStr << "): Logon Rejected - USER_ALREADY_CONNECTED";
        break;
    case Zunq::SESSION_ACTIVE:
        mLog->info() << op << mClientLogStr << "): Logon Request Accepted UserId=" << shown
                     << " IP Address=" << mIpAddress;
        break;
    default:
        mLog->warning() << op << mClientLogStr << "): Unknown Logon Session Status";
        break;
    }
    Zunq::LogonResponse response;
    response.mSessionStatus = static_cast<std::uint8_t>(status);
    const unsigned int size = buildControlPacket(response);
    writeDirect(mControlBuffer, size);
    if (traceOrDebug())
        mLog->info() << op << mClientLogStr << "): publishing LogonResponse to client - "
                     << ZunqDumpUtils::writeStructToString(&response, mSep);
}

// ------------------------------------------------------------------ requests

void RtsTcpSession::queueRequest(const char* message)
{
    Zunq::RetransmissionRequest request;
    std::memcpy(&request, message, sizeof request);
    if (mClientEntry != nullptr && !mActiveRetransRequests.empty())
    {
        // A flood is refused as the request limit would refuse it once
        // reached: more waiting than the limit can still admit is 101.
        const long limit = mClientEntry->mMaxRequests != 0 ? mClientEntry->mMaxRequests
                                                           : static_cast<long>(mServer->getMaxNumRequests());
        const long admits = limit - mClientEntry->mNumRequests;
        const long waiting = static_cast<long>(mActiveRetransRequests.size()) - (mFrontInService ? 1 : 0);
        if (waiting >= admits)
        {
            mLog->warning() << "RtsTcpSession::processRetransQueue (" << mClientLogStr
                            << "): Rejected RetransRequest with status "
                            << ZunqUtils::retransStatusToString(Zunq::EXCEEDS_MAXIMUM_REQUESTS_PER_DAY) << ": "
                            << waiting << " requests wait and the limit admits " << std::max(admits, 0L);
            mClientEntry->addRejectedRequests(1);
            sendRetransResponse(request, Zunq::EXCEEDS_MAXIMUM_REQUESTS_PER_DAY);
            return;
        }
    }
    // A request to a session with nothing to write may be answered now
    // rather than at the next tick.
    const bool idle = mPacketQueue->getNumEntries() == 0 && mBytesSent == 0;
    const bool timerWasRunning = mSending;
    mActiveRetransRequests.push_back(request);
    processRetransQueue();
    if (idle && !mConnectionClosed && mServer->writeAnswersAtOnce())
        sendAtOnce(timerWasRunning);
}

void RtsTcpSession::processRetransQueue()
{
    // The request in service is served to its end before the next one.
    if (mClientEntry == nullptr || mActiveRetransRequests.empty() || mPacketQueue->getNumEntries() != 0 ||
        mFrontInService)
        return;
    const char* const op = "RtsTcpSession::processRetransQueue (";
    Zunq::RetransmissionRequest& front = mActiveRetransRequests.front();
    if (traceOrDebug())
        mLog->info() << op << mClientLogStr << "): Processing RetransRequest - "
                     << ZunqDumpUtils::writeStructToString(&front, mSep);
    int status = mClientEntry->validateRequest(&front, mServer->getMaxRejectedRequests(),
                                               mServer->getMaxNumRequests(), mMaxNumMessages);
    if (status == 0)
        status = validateSeqNum(&front);
    if (status != 0)
    {
        // A refusal that closes the connection is always told.
        if (status == Zunq::EXCEEDS_MAXIMUM_REQUESTS_PER_DAY || peerLine())
            mLog->warning() << op << mClientLogStr << "): Rejected RetransRequest with status "
                            << ZunqUtils::retransStatusToString(status);
        const int sent = status == Zunq::INTERNAL_ERROR || status == Zunq::BAD_CLIENT_BEHAVIOUR
                             ? Zunq::MESSAGES_NOT_AVAILABLE
                             : status;
        sendRetransResponse(front, sent);
        if (mConnectionClosed)
            return; // the close emptied the queue
        mActiveRetransRequests.pop_front();
        return;
    }
    if (traceOrDebug())
        mLog->info() << op << mClientLogStr << "): Accepted RetransRequest";
    mClientEntry->addAcceptedMessages(front.mEndSeqNum + 1 - Zunq::firstServedSeqNum(front.mBeginSeqNum));
    mClientEntry->addAcceptedRequests(1);
    mFrontInService = true;
    sendRetransResponse(front, Zunq::REQUEST_ACCEPTED);
    if (mConnectionClosed)
        return;
    handleRetrans(&front);
}

int RtsTcpSession::validateSeqNum(Zunq::RetransmissionRequest* request)
{
    if (mClientEntry == nullptr)
        return Zunq::MESSAGES_NOT_AVAILABLE;
    LineDataCacheManager& cache = mServer->getCacheMgr();
    if (request->mEndSeqNum == 0 && mAllowLastSeqNumRequest)
        request->mEndSeqNum = cache.getLastBroadcastSeqNum(request->mChannelId);
    if (const int r = mClientEntry->validateSeqNum(request, mMaxSeqNumGap); r != 0)
        return r;
    // Begin 0 is served from 1, so the cache is asked for what is served.
    if (!cache.isRequestValid(mClientLogStr, request->mChannelId, Zunq::firstServedSeqNum(request->mBeginSeqNum),
                              request->mEndSeqNum, mTraceCommunications))
        return Zunq::MESSAGES_NOT_AVAILABLE;
    return 0;
}

void RtsTcpSession::sendRetransResponse(Zunq::RetransmissionRequest& request, int status)
{
    if (!mInitialized || mClientEntry == nullptr)
        return;
    Zunq::RetransmissionResponse response;
    response.mChannelId = request.mChannelId;
    response.mRetransStatus = static_cast<std::uint8_t>(status);
    response.mBeginSeqNum = request.mBeginSeqNum;
    response.mEndSeqNum = request.mEndSeqNum;
    if (status == Zunq::MESSAGES_NOT_AVAILABLE)
        mClientEntry->addMessageNotAvailable(1);
    else if (status == Zunq::EXCEEDS_MAXIMUM_SEQUENCE_RANGE)
        mClientEntry->addExceedsMaxSeqRange(1);
    const unsigned int size = buildControlPacket(response);
    if (status == Zunq::EXCEEDS_MAXIMUM_REQUESTS_PER_DAY)
    {
        // The close discards whatever is still queued, so the refusal goes
        // out now: the client learns why it is closed. Only a packet partly
        // on the wire keeps it back (writeDirect never interleaves).
        writeDirect(mControlBuffer, size);
        closeSocket();
        return;
    }
    if (traceOrDebug())
        mLog->info() << "RtsTcpSession::sendRetransResponse (" << mClientLogStr
                     << "): Publishing RetransResponse to client - "
                     << ZunqDumpUtils::writeStructToString(&response, mSep);
    sendPacket(mControlBuffer, 0, false);
}

void RtsTcpSession::handleRetrans(Zunq::RetransmissionRequest* request)
{
    const std::uint32_t begin = Zunq::firstServedSeqNum(request->mBeginSeqNum);
    mLog->info() << "RtsTcpSession::handleRetrans (" << mClientLogStr << "): Request for messages [" << begin
                 << "] to [" << request->mEndSeqNum << "] on channel [" << request->mChannelId
                 << "] is being processed";
    if (mHeartBeatTimer.isValid())
        stopEchoWait();
    // Built as it is written (writeQueued), never ahead of the socket by more than a window.
    mReplay.active = true;
    mReplay.channel = request->mChannelId;
    mReplay.next = begin;
    mReplay.end = request->mEndSeqNum;
}

LineDataCacheManager::LineDataCache* RtsTcpSession::replayCache()
{
    // Looked up at each turn: a cache gone meanwhile ends the answer.
    LineDataCacheManager::LineDataCache* cache = mServer->getCacheMgr().getLineDataCache(mReplay.channel);
    if (cache == nullptr)
    {
        mLog->error() << "RtsTcpSession::handleRetrans (" << mClientLogStr
                      << "): Could not find LineDataCache for channel " << mReplay.channel;
        mReplay.active = false;
    }
    return cache;
}

int RtsTcpSession::buildPacket(LineDataCacheManager::LineDataCache& cache, char* out, bool& last)
{
    const char* const op = "RtsTcpSession::handleRetrans (";
    const bool verbose = debug();
    const std::uint32_t end = mReplay.end;
    // Messages are packed straight into `out`: one copy each. A skipped
    // message ends the packet being built, so that every packet's number is
    // its first message's own.
    // Messages this far ahead are fetched while the current one is copied.
    constexpr std::uint64_t cPrefetchAhead = 8;
    std::uint32_t used = cHeader;
    std::uint32_t count = 0;
    std::uint32_t first = 0;
    std::uint64_t seq = mReplay.next;
    for (; seq <= end; ++seq)
    {
        if (verbose)
            mLog->verbose() << "RtsTcpSession::handleRetrans ( Fetching cached message (sequence number=" << seq
                            << ").";
        if (seq + cPrefetchAhead <= end)
            cache.prefetchMessage(static_cast<std::uint32_t>(seq + cPrefetchAhead));
        const LineDataCopy* message = cache.getMessage(static_cast<std::uint32_t>(seq));
        const std::uint32_t held = message != nullptr ? message->getSeqNum() : 0;
        if (held == 0)
        {
            mLog->warning() << " Null cached Line Data at SeqNum = " << seq;
            if (count != 0)
            {
                ++seq;
                break;
            }
            continue;
        }
        if (held != seq)
        {
            mLog->error() << op << mClientLogStr << "): Message SeqNum does NOT match: Actual=" << held
                          << " Requested=" << seq << " Following messages are ignored.";
            closeSocket();
            return -1;
        }
        const char* data = message->getData();
        const std::uint32_t length = message->getDataLen();
        if (verbose && length >= 1 && length <= cHexDumpMax)
            mLog->verbose() << op << mClientLogStr << "): processing line data of length " << length << "\n"
                            << hexDump(data, length);
        // A message that does not carry its own length would break the
        // framing of everything behind it at the client: it is skipped.
        bool wellFormed = data != nullptr && length >= Zunq::cMessagePrefixSize;
        if (length > Zunq::cMaxMessageSize)
        {
            mLog->warning() << op << mClientLogStr << "): Length of message is too high " << length;
            wellFormed = false;
        }
        if (wellFormed && u16At(data) != length)
        {
            mLog->warning() << op << mClientLogStr << "): Length of message does NOT match: DataLen=" << length
                            << " MsgSize=" << u16At(data);
            wellFormed = false;
        }
        if (!wellFormed)
        {
            if (count != 0)
            {
                ++seq;
                break;
            }
            continue;
        }
        if (used + length > Zunq::cMaxPacketSize || count == Zunq::cMaxMessagesPerPacket)
            break; // full: this message begins the next packet
        if (count == 0)
            first = static_cast<std::uint32_t>(seq);
        copyMessage(out + used, data, length);
        used += length;
        ++count;
    }
    mReplay.next = seq;
    // The last packet carries the end mark; with no message left it is the
    // end mark alone (no bytes).
    last = seq > end;
    if (last)
        mReplay.active = false;
    if (count == 0)
        return 0;
    Zunq::PacketHeader header;
    header.mPktSize = static_cast<std::uint16_t>(used);
    header.mMsgCount = static_cast<std::uint8_t>(count);
    header.mSeqNum = first;
    std::memcpy(out, &header, sizeof header);
    return static_cast<int>(used);
}

bool RtsTcpSession::fillWindow()
{
    if (!mReplay.active || mPacketQueue->getNumEntries() >= cWindowPackets)
        return true;
    LineDataCacheManager::LineDataCache* cache = replayCache();
    if (cache == nullptr)
    {
        sendPacket(nullptr, 0, true); // the end mark still ends the request
        return !mConnectionClosed;
    }
    while (mReplay.active && mPacketQueue->getNumEntries() < cWindowPackets)
    {
        ZunqUtils::PacketBufferItem* entry = queueEntry();
        if (entry == nullptr)
        {
            closeSocket();
            return false;
        }
        bool last = false;
        const int length = buildPacket(*cache, entry->mData, last);
        if (length < 0)
            return false; // closed: the queue went with it
        entry->mLength = static_cast<std::uint32_t>(length);
        entry->lastMsgInRetrans = last;
    }
    return !mConnectionClosed;
}

unsigned long RtsTcpSession::packetsToWrite() const
{
    const unsigned long queued = mPacketQueue->getNumEntries();
    if (!mReplay.active || mReplay.next > mReplay.end)
        return queued;
    return queued + static_cast<unsigned long>(mReplay.end - mReplay.next) + 1;
}

// ------------------------------------------------------------------- sending

void RtsTcpSession::sendPacket(const char* packet, unsigned int length, bool lastMsgInRetrans)
{
    if (packet != nullptr && length == 0)
        length = u16At(packet);
    if (length > Zunq::cMaxPacketSize)
    {
        mLog->error() << "RtsTcpSession::sendPacket (" << mClientLogStr << "): packet of " << length
                      << " bytes is longer than " << Zunq::cMaxPacketSize << ", not queued";
        return;
    }
    ZunqUtils::PacketBufferItem* entry = queueEntry();
    if (entry == nullptr)
        return;
    entry->lastMsgInRetrans = lastMsgInRetrans;
    entry->mLength = packet != nullptr ? length : 0;
    if (entry->mLength != 0)
        std::memcpy(entry->mData, packet, entry->mLength);
}

ZunqUtils::PacketBufferItem* RtsTcpSession::queueEntry()
{
    // The timer first: a session that cannot send closes, queue and all.
    if (!startSending())
        return nullptr;
    ZunqUtils::PacketBufferItem* entry = mPacketQueue->pushBackEmptyItem();
    if (entry == nullptr)
    {
        mLog->error() << "RtsTcpSession::sendPacket (" << mClientLogStr
                      << "): no packet buffer left in the pool, packet not queued";
        return nullptr;
    }
    entry->mLineTime = 0;
    entry->mLength = 0;
    entry->lastMsgInRetrans = false;
    return entry;
}

bool RtsTcpSession::socketSendPacket(char* packet, unsigned int length)
{
    const char* const op = "RtsTcpSession::socketSendPacket (";
    if (mConnectionClosed)
    {
        mLog->warning() << op << mClientLogStr << "): Connection Closed, NOT sending";
        return false;
    }
    if (length == 0)
        length = u16At(packet);
    if (length < cHeader || length > Zunq::cMaxPacketSize)
        return false;
    if (mBytesSent == 0)
    {
        // Stamped once, before the first byte leaves: a packet written in
        // parts keeps one send time and one number.
        Time now;
        now.recalcNow();
        const auto micros = static_cast<std::uint64_t>(now.getMicrosecondsSinceEpoch());
        Zunq::stampPacket(packet, length, Zunq::packetSendTime(micros, static_cast<unsigned>(mNanoDecimalPlaces)),
                          mLastSeqNum);
        const Zunq::PacketHeader header = headerAt(packet);
        if (header.mMsgCount == 0 && length == cHeader)
        {
            mPrevHeartBeatSeqNum = mHeartBeatSeqNum;
            mHeartBeatSeqNum = header.mSeqNum;
        }
    }
    const Zunq::PacketHeader header = headerAt(packet);
    if (debug() || mIsTraceUser)
    {
        mLog->info() << op << mClientLogStr << "): attempting to send packet to user .";
        mLog->info() << op << mClientLogStr << "): " << ZunqDumpUtils::writeStructToString(&header, mSep);
    }
    while (mBytesSent < length)
    {
        const int n = sendToNetwork(mClientResource, packet + mBytesSent, static_cast<unsigned int>(length - mBytesSent));
        if (n < 1)
        {
            const int code = NetworkApi::current().getErrorCode();
            if (isTransient(code))
            {
                mLog->warning() << op << mClientLogStr << "): failed due to error|" << code
                                << "|. will attempt to resend if connection not closed.";
                return false;
            }
            if (code == CONN_CLOSED || code == RES_NOT_EXIST)
                return false;
            mLog->error() << op << mClientLogStr << "): failed due to error|" << code << "|. will close connection.";
            closeSocket();
            return false;
        }
        mBytesSent += static_cast<std::uint64_t>(n);
        if (debug())
            mLog->verbose() << op << mClientLogStr << "): Packet SeqNum [" << header.mSeqNum << "] Length [" << length
                            << "] - " << (mBytesSent >= length ? "Full" : "Partial") << " send of [" << mBytesSent
                            << "] bytes";
    }
    mBytesSent = 0;
    if (mClientEntry != nullptr)
        mClientEntry->addMessagesRetransmitted(header.mMsgCount);
    return true;
}

bool RtsTcpSession::writeDirect(char* packet, unsigned int length)
{
    // A queued packet partly on the wire must finish first.
    if (mBytesSent != 0)
        return false;
    if (socketSendPacket(packet, length))
        return true;
    if (mConnectionClosed || mBytesSent == 0)
        return false;
    // Partly written: the rest leaves at the head of the queue, ahead of
    // everything else, with the number and time it already carries.
    ZunqUtils::PacketBufferItem item{};
    item.mLength = length;
    item.lastMsgInRetrans = false;
    std::memcpy(item.mData, packet, length);
    if (!startSending())
        return false;
    if (mPacketQueue->insertByPosition(item, 0) == nullptr)
    {
        mLog->error() << "RtsTcpSession::socketSendPacket (" << mClientLogStr
                      << "): no packet buffer for the rest of a partly written packet, closing";
        closeSocket();
        return false;
    }
    return true;
}

bool RtsTcpSession::startSending()
{
    if (mSending)
        return true;
    // A logged-on session holds its sending timer; before the logon one is
    // made when needed.
    if (mSendingTimer.isValid())
        mSendingTimer.resume();
    else if (!startTimer(mSendingTimer, mThrottleInterval, "sending"))
        return false;
    mSending = true;
    mServer->addActiveClient(*this);
    return true;
}

void RtsTcpSession::stopSending()
{
    if (!mSending)
        return;
    mSending = false;
    mSendingTimer.pause();
    if (mServer != nullptr)
        mServer->removeActiveClient(*this);
}

void RtsTcpSession::startEchoWait()
{
    if (mHeartBeatRspTimer.isValid())
        mHeartBeatRspTimer.resume();
}

void RtsTcpSession::stopEchoWait()
{
    if (mHeartBeatRspTimer.isValid())
        mHeartBeatRspTimer.pause();
}

int RtsTcpSession::writeQueued(int budget)
{
    int sent = 0;
    // Whole packets leave several to a call: a write per packet costs the
    // server most of its time. A packet partly written, or a session whose
    // every packet is traced, goes one packet at a time.
    const bool batch = !debug() && !mIsTraceUser;
    while (sent < budget)
    {
        // The answer in service is built on as what was queued leaves:
        // straight into the batch written (sendBatch), or, for a traced
        // session, into the queue.
        if (!batch && !fillWindow())
            return -1;
        if (mPacketQueue->getNumEntries() == 0 && !mReplay.active)
            break;
        if (batch && mBytesSent == 0 &&
            (mReplay.active || (budget - sent > 1 && mPacketQueue->getNumEntries() > 1)))
        {
            bool whole = false;
            const int done = sendBatch(budget - sent, whole);
            if (done < 0)
                return -1; // the close emptied the queues and stopped the timer
            sent += done;
            if (!whole)
                break; // the socket takes no more now
            continue;
        }
        ZunqUtils::PacketBufferItem* entry = mPacketQueue->getHeadEntry();
        if (entry->mLength != 0 && !socketSendPacket(entry->mData, entry->mLength))
        {
            if (mConnectionClosed)
                return -1; // the close emptied the queues and stopped the timer
            break;
        }
        ++sent;
        packetWritten(entry);
    }
    return sent;
}

void RtsTcpSession::sendAtOnce(bool timerWasRunning)
{
    if (mConnectionClosed || mBytesSent != 0 || mPacketQueue->getNumEntries() == 0)
        return;
    // A session whose timer stopped more than an interval ago opens a new
    // interval now; the timer just started ticks one interval later. Else
    // what the current interval has left is all there is.
    const std::int64_t now = steadyNanoseconds();
    if (!timerWasRunning && now - mWindowStart >= static_cast<std::int64_t>(mThrottleInterval) * 1'000'000)
    {
        mWindowStart = now;
        mWindowSent = 0;
    }
    mThrottleThreshold = mServer->packetBudget();
    const int left = std::min(mThrottleThreshold - mWindowSent, mServer->packetsLeftThisInterval(now));
    // An answer the budget would pace is paced from its first packet, as
    // the ticks would: no burst ahead of the other receiving clients. An
    // answer written in whole serves the next waiting request, whose answer
    // leaves too when it fits in what is left.
    int sent = 0;
    while (mPacketQueue->getNumEntries() != 0 &&
           packetsToWrite() <= static_cast<unsigned long>(std::max(left - sent, 0)))
    {
        const int written = writeQueued(left - sent);
        if (written < 0)
            return;
        sent += written;
        if (mPacketQueue->getNumEntries() != 0 || mActiveRetransRequests.empty())
            break;
        processRetransQueue();
        if (mConnectionClosed)
            return;
    }
    mWindowSent += sent;
    mServer->packetsWritten(now, sent);
    if (sent > 0)
        mAttemptsToSendDataCount = 0;
    if (mTraceCommunications)
        mLog->info() << "RtsTcpSession::sendAtOnce (" << mClientLogStr << "): sent [" << sent
                     << "] packets to client.";
    // What is left, or the empty queue, goes to the timer's next tick. A
    // long write held the thread: the other sending sessions get a turn.
    if (sent >= static_cast<int>(cPacketsBeforeATurn))
        mServer->giveSendingSessionsATurn(*this);
}

void RtsTcpSession::writeBetweenTicks()
{
    if (mConnectionClosed || packetsToWrite() == 0)
        return;
    const std::int64_t now = steadyNanoseconds();
    // A tick held back longer than an interval would have opened a new one.
    if (now - mWindowStart >= static_cast<std::int64_t>(mThrottleInterval) * 1'000'000)
    {
        mWindowStart = now;
        mWindowSent = 0;
    }
    mThrottleThreshold = mServer->packetBudget();
    const int left = std::min(mThrottleThreshold - mWindowSent, mServer->packetsLeftThisInterval(now));
    if (packetsToWrite() > static_cast<unsigned long>(std::max(left, 0)))
        return; // the throttle paces it: the ticks do
    const int written = writeQueued(left);
    if (written <= 0)
        return;
    mWindowSent += written;
    mServer->packetsWritten(now, written);
    mAttemptsToSendDataCount = 0;
}

void RtsTcpSession::sendRetry()
{
    const char* const op = "RtsTcpSession::sendRetry (";
    mThrottleThreshold = mServer->packetBudget();
    mWindowStart = steadyNanoseconds();
    // Each time the queue empties the next request is served, in this same
    // tick while its budget lasts: pipelined requests do not wait a tick each.
    int sent = 0;
    for (;;)
    {
        const int written = writeQueued(mThrottleThreshold - sent);
        if (written < 0)
            return;
        sent += written;
        if (mPacketQueue->getNumEntries() != 0 || mActiveRetransRequests.empty() || sent >= mThrottleThreshold)
            break;
        processRetransQueue();
        if (mConnectionClosed)
            return;
        if (mPacketQueue->getNumEntries() == 0)
            break;
    }
    mWindowSent = sent;
    mServer->packetsWritten(mWindowStart, sent);
    mAttemptsToSendDataCount = sent > 0 ? 0 : mAttemptsToSendDataCount + 1;
    if (mTraceCommunications)
        mLog->info() << op << mClientLogStr << "): sent [" << sent << "] packets to client.";
    if (mPacketQueue->getNumEntries() == 0)
    {
        if (!mActiveRetransRequests.empty())
            processRetransQueue();
        else
            stopSending();
        return;
    }
    if (mAttemptsToSendDataCount >= mMaxAttemptsToSendBeforeDisconnect)
    {
        mLog->error() << op << mClientLogStr << "): unable to write to buffer in [" << mAttemptsToSendDataCount
                      << "] attempts..  connection will be closed.";
        closeSocket();
    }
}

void RtsTcpSession::packetWritten(ZunqUtils::PacketBufferItem* entry)
{
    if (entry->lastMsgInRetrans)
        finishRequest();
    mPacketQueue->deleteEntry(entry);
}

void RtsTcpSession::finishRequest()
{
    if (mActiveRetransRequests.empty())
        return;
    const Zunq::RetransmissionRequest& done = mActiveRetransRequests.front();
    mLog->info() << "RtsTcpSession::sendRetry (" << mClientLogStr << "): Finished sending retrans request ["
                 << done.mBeginSeqNum << "] to [" << done.mEndSeqNum << "] on channel [" << done.mChannelId
                 << "] to client";
    mActiveRetransRequests.pop_front();
    mFrontInService = false;
}

int RtsTcpSession::sendBatch(int most, bool& whole)
{
    // One buffer per thread: the sessions of a server share their thread. A
    // window at most, so that what the socket does not take fits the queue.
    static thread_local std::vector<char> buffer(cBatchPackets * Zunq::cMaxPacketSize);
    ZunqUtils::PacketBufferItem* packets[cBatchPackets]; // queued ones; null for one built here
    std::size_t ends[cBatchPackets];
    bool numbered[cBatchPackets];
    bool lasts[cBatchPackets];
    const int queuedLimit = std::min(most, static_cast<int>(cWindowPackets));
    int count = 0;
    std::size_t total = 0;
    bool allQueued = true;
    mPacketQueue->searchEntry([&](ZunqUtils::PacketBufferItem& entry) {
        if (count == queuedLimit)
        {
            allQueued = false;
            return true;
        }
        packets[count] = &entry;
        lasts[count] = entry.lastMsgInRetrans;
        total += entry.mLength;
        ends[count++] = total;
        return false;
    });

    // Stamped as they are copied; a control number given to a packet that
    // does not leave now is taken back below, so numbers keep wire order.
    const std::uint32_t lastBefore = mLastSeqNum;
    Time now;
    now.recalcNow();
    const std::uint64_t sendTime = Zunq::packetSendTime(static_cast<std::uint64_t>(now.getMicrosecondsSinceEpoch()),
                                                        static_cast<unsigned>(mNanoDecimalPlaces));
    for (int i = 0; i < count; ++i)
    {
        char* packet = packets[i]->mData;
        const std::uint32_t length = packets[i]->mLength;
        numbered[i] = false;
        if (length == 0)
            continue;
        numbered[i] = headerAt(packet).mSeqNum == 0;
        Zunq::stampPacket(packet, length, sendTime, mLastSeqNum);
        std::memcpy(buffer.data() + ends[i] - length, packet, length);
    }
    // Behind what was queued, the answer in service is built straight into
    // the write: what the socket takes costs no queue buffer.
    const int limit = std::min({most, static_cast<int>(cBatchPackets), count + mBuildLimit});
    if (allQueued && mReplay.active && count < limit)
    {
        if (LineDataCacheManager::LineDataCache* cache = replayCache())
        {
            while (count < limit && mReplay.active)
            {
                bool last = false;
                const int length = buildPacket(*cache, buffer.data() + total, last);
                if (length < 0)
                    return -1; // closed
                if (length > 0)
                {
                    std::uint32_t unchanged = mLastSeqNum; // a data packet carries its first message's number
                    Zunq::stampPacket(buffer.data() + total, static_cast<std::uint32_t>(length), sendTime, unchanged);
                }
                total += static_cast<std::size_t>(length);
                packets[count] = nullptr;
                numbered[count] = false;
                lasts[count] = last;
                ends[count++] = total;
            }
        }
        else if (count < limit)
        {
            // The answer ends with its end mark, which writes nothing.
            packets[count] = nullptr;
            numbered[count] = false;
            lasts[count] = true;
            ends[count++] = total;
        }
    }

    std::size_t written = 0;
    bool failed = false;
    int code = 0;
    while (written < total && !failed)
    {
        const int n = sendToNetwork(mClientResource, buffer.data() + written, static_cast<unsigned int>(total - written));
        if (n < 1)
        {
            failed = true;
            code = NetworkApi::current().getErrorCode();
        }
        else
            written += static_cast<std::size_t>(n);
    }
    // As for a packet written alone: a transient failure waits for the next
    // tick, a closed connection says nothing, anything else closes.
    if (failed && !isTransient(code) && code != CONN_CLOSED && code != RES_NOT_EXIST)
    {
        mLog->error() << "RtsTcpSession::socketSendPacket (" << mClientLogStr << "): failed due to error|" << code
                      << "|. will close connection.";
        closeSocket();
        return -1;
    }
    if (failed && isTransient(code))
        mLog->warning() << "RtsTcpSession::socketSendPacket (" << mClientLogStr << "): failed due to error|" << code
                        << "|. will attempt to resend if connection not closed.";

    // What left in whole is done. The rest waits in the queue, in order: the
    // packet the socket cut first, with the bytes it already took; of those
    // built here, a window's worth, the others are built again.
    int done = 0;
    std::uint32_t lastLeft = lastBefore;
    for (int i = 0; i < count; ++i)
    {
        ZunqUtils::PacketBufferItem* entry = packets[i];
        const std::size_t start = i == 0 ? 0 : ends[i - 1];
        const std::size_t length = ends[i] - start;
        const char* bytes = buffer.data() + start;
        const Zunq::PacketHeader header = headerAt(bytes);
        if (entry == nullptr && length != 0 && start >= written && mPacketQueue->getNumEntries() >= cWindowPackets)
        {
            // Not a byte of it left: it, and all behind it, are built again
            // from its first message.
            mReplay.next = header.mSeqNum;
            mReplay.active = true;
            break;
        }
        if (ends[i] <= written)
        {
            if (numbered[i])
                lastLeft = header.mSeqNum;
            if (length != 0 && mClientEntry != nullptr)
                mClientEntry->addMessagesRetransmitted(header.mMsgCount);
            if (entry != nullptr)
                packetWritten(entry);
            else if (lasts[i])
                finishRequest();
            ++done;
            continue;
        }
        if (start < written)
        {
            // Partly written: the rest leaves first, with this number and time.
            if (numbered[i])
                lastLeft = header.mSeqNum;
            mBytesSent = written - start;
        }
        else if (numbered[i])
        {
            const std::uint32_t zero = 0;
            std::memcpy(entry->mData + offsetof(Zunq::PacketHeader, mSeqNum), &zero, sizeof zero);
        }
        if (entry == nullptr)
        {
            // Built here and not taken whole: queued behind what is.
            entry = queueEntry();
            if (entry == nullptr)
            {
                closeSocket();
                return -1;
            }
            entry->mLength = static_cast<std::uint32_t>(length);
            entry->lastMsgInRetrans = lasts[i];
            std::memcpy(entry->mData, bytes, length);
        }
    }
    mLastSeqNum = lastLeft;
    whole = !failed;
    mBuildLimit = whole ? std::min(2 * mBuildLimit, static_cast<int>(cBatchPackets)) : static_cast<int>(cWindowPackets);
    return done;
}

// ---------------------------------------------------------------- heartbeats

void RtsTcpSession::handleHeartbeat()
{
    const char* const op = "RtsTcpSession::handleHeartbeat (";
    mHbPacket = Zunq::PacketHeader{};
    if (traceOrDebug())
        mLog->info() << op << mClientLogStr << "): publishing heartbeat to client - seqnum " << (mLastSeqNum + 1);
    char packet[cHeader];
    std::memcpy(packet, &mHbPacket, sizeof packet);
    if (writeDirect(packet, cHeader))
    {
        mAttemptsToSendDataCount = 0;
        // An earlier heartbeat still unanswered keeps its deadline: restarting
        // it here would never close a silent client whose answer time is as
        // long as the heartbeat interval or longer.
        if (!awaitsHeartbeatEcho())
            startEchoWait();
        unsigned int interval = 0;
        mHeartBeatTimer.getInterval(interval);
        if (interval != mHeartbeatInterval * 1000)
        {
            mLog->info() << op << mClientLogStr << "): HeartBeat timer now set back to normal interval of ["
                         << mHeartbeatInterval << "] seconds.";
            setHeartbeatInterval(mHeartbeatInterval * 1000);
        }
        return;
    }
    if (mConnectionClosed)
        return;
    if (!setHeartbeatInterval(mHeartbeatRetryInterval * 1000))
        return;
    mLog->info() << op << mClientLogStr << "): HeartBeat send failed, trying again in [" << mHeartbeatRetryInterval
                 << "] seconds.";
}

bool RtsTcpSession::setHeartbeatInterval(unsigned int milliseconds)
{
    // A new interval is a new framework timer, which the thread may refuse.
    mHeartBeatTimer.setInterval(milliseconds);
    if (mHeartBeatTimer.isValid())
        return true;
    return startTimer(mHeartBeatTimer, milliseconds, "heartbeat");
}

void RtsTcpSession::handleHeartbeatResponse(const char* packet)
{
    const char* const op = "RtsTcpSession::handleHeartbeatResponse (";
    const Zunq::PacketHeader header = headerAt(packet);
    const std::string shown = ZunqDumpUtils::writePeerBytes(mLoggedOnUserId.data(), mLoggedOnUserId.size());
    if (traceOrDebug())
        mLog->info() << op << mClientLogStr << "): received heartbeat response from user [" << shown << "] - "
                     << ZunqDumpUtils::writeStructToString(&header, mSep);
    if (header.mSeqNum == mHeartBeatSeqNum)
    {
        stopEchoWait();
        return;
    }
    // A client busy receiving may answer the heartbeat before the last one
    // late; the wait for the last one goes on.
    if (mPrevHeartBeatSeqNum != 0 && header.mSeqNum == mPrevHeartBeatSeqNum)
        return;
    mLog->error() << op << mClientLogStr << "): Unexpected sequence number in Heartbeat Response. Actual:"
                  << header.mSeqNum << " Expected: " << mHeartBeatSeqNum << " User:" << shown
                  << " Closing connection..";
    closeSocket();
}
