#include "rts/server/RtsTcpServer.h"

#include "kelmora/linehandler/LineError.h"
#include "kelmora/thread/Runnable.h"
#include "kelmora/thread/TarvokSession.h"
#include "rts/clients/RtsClientList.h"
#include "rts/server/RtsTcpSession.h"
#include "zunq/identity/Host.h"
#include "zunq/log/Log.h"

#include "FendralServices/api/FwLimits.h"
#include "FendralServices/api/FwServices.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netdb.h>

namespace
{
std::string dotted(std::uint32_t networkOrder)
{
    in_addr a{};
    a.s_addr = networkOrder;
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}
} // namespace

RtsTcpServer::RtsTcpServer(const std::string& name, TarvokSession& session, Log& log, RtsClientList& clientList,
                           LineDataCacheManager& cacheMgr, unsigned packetPoolSize, bool sorvelMode,
                           bool allowLastSeqNumRequest)
    : ExchangeTcpServerBasic(name, session, log, clientList, cacheMgr)
    , mPacketBufferPool(std::make_unique<PacketPool>())
    , mRtsClientList(clientList)
    , mTcpSessionPool(session, log, cInitialSessions)
    , mSORVELMode(sorvelMode)
    , mAllowLastSeqNumRequest(allowLastSeqNumRequest)
{
    std::strncpy(ExchangeTcpServerBasic::mFeedName, mFeedName.c_str(), 16);
    if (!mPacketBufferPool->init(static_cast<long>(packetPoolSize), log, "PacketBufferPool", 0))
        mPacketBufferPool.reset(); // sessions then grow pools of their own
    mSending.reserve(cInitialSessions);
}

RtsTcpServer::~RtsTcpServer()
{
    if (mConnectionCountTimer.isValid())
        mConnectionCountTimer.destroy();
    if (mListenRetryTimer.isValid())
        mListenRetryTimer.destroy();
}

void RtsTcpServer::registerNetwork()
{
    if (mService.empty())
    {
        const std::string text = std::string("Invalid (empty) service parameter: ") + std::strerror(errno);
        mLog.error() << text;
        throw LineError(text);
    }
    int port = 0;
    if (const servent* entry = ::getservbyname(mService.c_str(), "tcp"))
        port = ntohs(static_cast<std::uint16_t>(entry->s_port));
    else
    {
        errno = 0;
        char* end = nullptr;
        const long value = std::strtol(mService.c_str(), &end, 0);
        // Anything but a whole port number is refused, not cut to 16 bits.
        if (value > 0 && value <= 65535 && end != nullptr && *end == '\0')
            port = static_cast<int>(value);
        if (port == 0)
        {
            const std::string text = "Invalid service parameter: " + mService + ": " + std::strerror(errno);
            mLog.error() << text;
            throw LineError(text);
        }
    }
    std::uint32_t address = 0;
    if (!mIpAddress.empty())
    {
        address = resolve_ip(mIpAddress.c_str());
        if (address == 0xFFFFFFFFu)
        {
            mLog.error() << "could not resolve interface parameter: \"" << mIpAddress << "\", using default interface";
            address = 0;
        }
    }
    const std::string interface = dotted(address);
    mLog.info() << "  interface (resolved): " << interface;
    mLog.info() << "  service (resolved): " << port;
    mListenEndpoint = interface + ":" + std::to_string(port);
    if (!registerTCPServerService(mFeedName.c_str(), interface, port))
    {
        const std::string text = "Failed to register TCP Server [" + mFeedName +
                                 "], error = " + std::to_string(getErrorCode());
        mLog.error() << text;
        throw LineError(text);
    }
    mLog.info() << "register Network completed...";
}

void RtsTcpServer::listen(const char* from)
{
    mLog.info() << "RtsTcpServer::" << from << " : Listening for connections... port: " << mService;
    if (mListenRefusals != 0)
        mLog.info() << "RtsTcpServer::" << from << " : listening again after " << mListenRefusals
                    << " refused attempts, unless refused once more";
    startListenService(mFeedName.c_str());
    startConnectionCountTimer();
    mConnected = TCP_CONNECT;
    checkTimerLimit();
}

void RtsTcpServer::checkTimerLimit()
{
    if (mTimerLimitChecked)
        return;
    mTimerLimitChecked = true;
    const int limit = getTimerLimit();
    const int connections = getTcpConnectionLimit();
    if (limit < 0 || connections < 0)
        return; // not on a framework thread: nothing to hold the limits against
    Runnable* runnable = mSession.getRunnable();
    const long held = runnable != nullptr ? runnable->getNumTimers() : 0;
    const long needed = held + static_cast<long>(connections) * RtsTcpSession::cLoggedOnTimers;
    if (needed <= limit)
        return;
    mLog.warning() << "RtsTcpServer: " << connections << " logged-on clients (TCP_CONN_RES_MAX " << connections
                   << ") need " << RtsTcpSession::cLoggedOnTimers << " timers each, " << needed
                   << " with the " << held << " thread |"
                   << (runnable != nullptr ? runnable->getName() : std::string("?")) << "| holds already, more than the "
                   << limit << " it may hold (MSG_DISP_FD_NUM + 5): set MSG_DISP_FD_NUM to " << needed - 5
                   << " to serve them all; until then a logon the thread has no timers for is refused as a busy server";
}

void RtsTcpServer::initListen()
{
    switch (mConnected)
    {
    case TCP_DISCONNECT:
        mConnected = TCP_DELAY_CONNECT;
        break;
    case TCP_DELAY_CONNECT:
        break;
    case TCP_READY_CONNECT:
        listen("initListen()");
        break;
    case TCP_CONNECT:
        mLog.info() << "RtsTcpServer::initListen() : Already listening for connections... port: " << mService;
        break;
    }
}

void RtsTcpServer::closeListen()
{
    mLog.info() << "RtsTcpServer::closeListen() called, closing listen port: " << mService;
    if (mListenRetryTimer.isValid())
        mListenRetryTimer.destroy();
    if (mConnected == TCP_DELAY_CONNECT)
        mConnected = TCP_DISCONNECT;
    else if (mConnected == TCP_CONNECT)
    {
        disconnectService(mFeedName.c_str());
        mConnected = TCP_READY_CONNECT;
    }
}

void RtsTcpServer::onReadyToConnect()
{
    if (mConnected == TCP_DISCONNECT)
        mConnected = TCP_READY_CONNECT;
    else if (mConnected == TCP_DELAY_CONNECT)
        listen("onReadyToConnect()");
}

void RtsTcpServer::onNetworkEvent(EventMsg* event)
{
    if (event->id == NET_RES_INIT_FAIL || event->id == CONNECT_FAIL)
        listenRefused(event->eventParam.paramInt32, static_cast<int>(event->eventParam.paramInt64));
    else
        ExchangeTcpServerBasic::onNetworkEvent(event);
}

bool RtsTcpServer::startingUp() const
{
    if (mModeChanges > 1)
        return false;
    Runnable* runnable = mSession.getRunnable();
    const Zunq::ThreadState state = runnable != nullptr ? runnable->getThreadState() : Zunq::THD_INIT;
    return state != Zunq::THD_SW_ACTIVE && state != Zunq::THD_SW_STANDBY;
}

void RtsTcpServer::listenRefused(int code, int osError)
{
    const std::string cause = osError != 0 ? std::string(std::strerror(osError)) + " (errno " +
                                                 std::to_string(osError) + ", framework error " +
                                                 std::to_string(code) + ")"
                                           : "framework error " + std::to_string(code);
    const std::string text = "RtsTcpServer: cannot listen for clients on " + mListenEndpoint + " (port " + mService +
                             "): " + cause;
    // The framework has the channel: a new request to listen binds afresh.
    mConnected = TCP_READY_CONNECT;
    if (mHAMode.getMode() != HaMode::ACTIVE)
    {
        mLog.error() << text << "; listening is tried again when the server turns active";
        return;
    }
    if (startingUp())
    {
        mLog.error() << text << "; the server cannot serve, ending the process";
        if (mOnFatal)
            mOnFatal(text);
        return;
    }
    // Repeated refusals are told once a minute, with their count.
    ++mListenRefusals;
    const unsigned perMinute = 60000 / cListenRetryMs;
    if (mListenRefusals == 1 || mListenRefusals % perMinute == 0)
        mLog.error() << text << "; trying again every " << cListenRetryMs << " ms (" << mListenRefusals
                     << " refused)";
    if (!mListenRetryTimer.isValid() && !mListenRetryTimer.create(&mSession, this, cListenRetryMs, nullptr))
        mLog.error() << "RtsTcpServer: no timer to try listening again (the thread holds as many as "
                        "MSG_DISP_FD_NUM + 5); the server listens again when it next turns active";
}

void RtsTcpServer::onNewConnect(EventMsg* event)
{
    if (mLog.enabled(LOG_LEVEL_DEBUG))
        mLog.debug() << "RtsTcpServer::onNewConnect(" << mIpAddress << ":" << mService << "): received client event";
    char resource[17] = {};
    std::memcpy(resource, event->eventParam.resNameTxt, 16);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_addr.s_addr = static_cast<std::uint32_t>(event->eventParam.paramInt32);
    peer.sin_port = static_cast<std::uint16_t>(event->eventParam.paramInt16);
    char client[256];
    std::snprintf(client, sizeof client, "%s:%d", dotted(peer.sin_addr.s_addr).c_str(), ntohs(peer.sin_port));

    RtsTcpSession* session = mTcpSessionPool.acquire();
    session->setTraceUser(mTraceUser);
    session->setTraceCommunications(mTraceCommunications);
    session->initialize(peer, this, mAllowLastSeqNumRequest);
    session->setNanoDecimalPlaces(mNanoDecimalPlaces);
    session->setConnection(resource);
    registerAcceptedClient(resource, session);

    // Attempts are counted, not open connections: a refused one counts too.
    const int count = ++mIpConnectionCounts[peer.sin_addr.s_addr];
    if (count > static_cast<int>(mMaxConnectionsPerIp))
    {
        session->setAccepted(false);
        session->closeSocket();
        return;
    }
    session->setAccepted(true);
    if (session->untimed())
    {
        session->closeUntimed();
        return;
    }
    mLog.info() << "RtsTcpServer:onNewConnect() accepted connection from " << client << " RtsTcpSession=true";
}

void RtsTcpServer::startConnectionCountTimer()
{
    if (mConnectionCountTimer.isValid())
        return;
    mLog.info() << "RtsTcpServer::startConnectionCountTimer() : start timer";
    mConnectionCountTimer.create(&mSession, this, mMaxConnectionsPerIpInterval * 1000, nullptr);
}

void RtsTcpServer::onTimer(TarvokTimer* timer)
{
    if (timer == &mListenRetryTimer)
    {
        mListenRetryTimer.destroy();
        if (mHAMode.getMode() == HaMode::ACTIVE && mConnected == TCP_READY_CONNECT)
            listen("listenRetry()");
        return;
    }
    if (timer != &mConnectionCountTimer || mIpConnectionCounts.empty())
        return;
    const bool debug = mLog.enabled(LOG_LEVEL_DEBUG);
    if (debug)
        mLog.debug() << "RtsTcpServer::onTimer() - Connection counts after " << mMaxConnectionsPerIpInterval
                     << " seconds (resetting to 0):";
    for (auto it = mIpConnectionCounts.begin(); it != mIpConnectionCounts.end();)
    {
        const int count = it->second;
        if (debug)
            mLog.debug() << dotted(it->first) << "\t\t" << count;
        if (count > static_cast<int>(mMaxConnectionsPerIp))
            mLog.warning() << "RtsTcpServer::onTimer() - Detected " << count << " connection attempts from IP "
                           << dotted(it->first) << " in last " << mMaxConnectionsPerIpInterval
                           << " seconds! Connections " << (mMaxConnectionsPerIp + 1) << " to " << count
                           << " were automatically closed.";
        // An address silent for a whole interval is forgotten, so the map
        // holds only the peers of the last two intervals.
        if (count == 0)
            it = mIpConnectionCounts.erase(it);
        else
        {
            it->second = 0;
            ++it;
        }
    }
}

void RtsTcpServer::release(RtsTcpSession* session)
{
    mTcpSessionPool.release(session);
}

void RtsTcpServer::setHAMode(const HaMode& mode)
{
    mLog.info() << "RtsTcpServer::setHAMode(): changing mode from '" << HaMode::modeToString(mHAMode) << "' to '"
                << HaMode::modeToString(mode) << "'";
    ++mModeChanges;
    switch (mode.getMode())
    {
    case HaMode::UNKNOWN:
        mLog.warning() << "RtsTcpServer::setHAMode(): setting mode to UNKNOWN!";
        break;
    case HaMode::ACTIVE:
        initListen();
        break;
    case HaMode::STANDBY:
        closeListen();
        break;
    default:
        break;
    }
    mHAMode = mode;
}

void RtsTcpServer::addActiveClient(RtsTcpSession& session)
{
    mSending.push_back(&session);
}

void RtsTcpServer::removeActiveClient(RtsTcpSession& session)
{
    const auto it = std::find(mSending.begin(), mSending.end(), &session);
    if (it == mSending.end())
        return;
    *it = mSending.back();
    mSending.pop_back();
}

void RtsTcpServer::giveSendingSessionsATurn(const RtsTcpSession& busy)
{
    if (!mWriteAnswersAtOnce)
        return;
    // A session that closes on its turn leaves the list: never more turns
    // than sessions, whatever the list becomes.
    for (std::size_t turns = mSending.size(); turns > 0 && !mSending.empty(); --turns)
    {
        mTurn = (mTurn + 1) % mSending.size();
        RtsTcpSession* session = mSending[mTurn];
        if (session != &busy)
            session->writeBetweenTicks();
    }
}

int RtsTcpServer::packetBudget()
{
    const unsigned active = getActiveClients();
    if (active == 0)
        return static_cast<int>(mPacketsPerInterval);
    const unsigned share = mPacketsPerInterval / active;
    if (share == 0)
    {
        if (!mOverBudgetLogged)
            mLog.warning() << "RtsTcpServer::packetBudget() " << active << " clients are receiving, more than the "
                           << mPacketsPerInterval << " packets per interval: each writes 1 packet per tick, "
                           << active << " in total";
        mOverBudgetLogged = true;
        return 1;
    }
    mOverBudgetLogged = false;
    return static_cast<int>(share);
}

void RtsTcpServer::packetsWritten(std::int64_t now, int count)
{
    if (count <= 0)
        return;
    packetsLeftThisInterval(now); // drops what has expired
    if (mWrittenCount == cWrittenRecords)
    {
        Written& newest = mWritten[(mWrittenFirst + mWrittenCount - 1) % cWrittenRecords];
        newest.at = now;
        newest.count += count;
    }
    else
        mWritten[(mWrittenFirst + mWrittenCount++) % cWrittenRecords] = {now, count};
    mWrittenSum += count;
}

int RtsTcpServer::packetsLeftThisInterval(std::int64_t now)
{
    const std::int64_t interval = static_cast<std::int64_t>(mThrottleInterval) * 1'000'000;
    while (mWrittenCount != 0 && now - mWritten[mWrittenFirst].at >= interval)
    {
        mWrittenSum -= mWritten[mWrittenFirst].count;
        mWrittenFirst = (mWrittenFirst + 1) % cWrittenRecords;
        --mWrittenCount;
    }
    const long left = static_cast<long>(mPacketsPerInterval) - mWrittenSum;
    return left > 0 ? static_cast<int>(std::min<long>(left, INT_MAX)) : 0;
}

int RtsTcpServer::resetNumRequestsPerClient(std::string& user)
{
    return mRtsClientList.resetNumRequestsPerClient(user);
}

int RtsTcpServer::setMaxNumRequestsPerClient(std::string& user, int maxRequests)
{
    return mRtsClientList.setMaxNumRequestsPerClient(user, maxRequests);
}

int RtsTcpServer::setMaxNumMessagesPerClient(std::string& user, unsigned maxMessages)
{
    return mRtsClientList.setMaxNumMessagesPerClient(user, maxMessages);
}

std::string RtsTcpServer::getAllStats()
{
    return mRtsClientList.getAllStats();
}

std::string RtsTcpServer::getPerClientStats(std::string& user)
{
    return mRtsClientList.getPerClientStats(user);
}

std::string RtsTcpServer::getPerClientSettings(std::string& user)
{
    return mRtsClientList.getPerClientSettings(user);
}

std::string RtsTcpServer::getAllSettings()
{
    return mRtsClientList.getAllSettings();
}

std::string RtsTcpServer::getDetailedStatsPerClient(std::string& user)
{
    return mRtsClientList.getDetailedStatsPerClient(user);
}
