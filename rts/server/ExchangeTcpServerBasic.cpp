#include "rts/server/ExchangeTcpServerBasic.h"

#include "zunq/log/Log.h"

ExchangeTcpServerBasic::ExchangeTcpServerBasic(const std::string&, TarvokSession& session, Log& log,
                                               ClientList& clientList, LineDataCacheManager& cacheMgr)
    : TCPServerNetworkHandler(session, log), mSession(session), mLog(log), mClientList(clientList), mCacheMgr(cacheMgr)
{
}

ExchangeTcpServerBasic::~ExchangeTcpServerBasic() = default;

void ExchangeTcpServerBasic::onNetworkData(const char*, unsigned int)
{
    if (mLog.enabled(LOG_LEVEL_DEBUG))
        mLog.debug() << "ExchangeTcpServerBasic(" << mIpAddress << ":" << mService << "): received client event";
}

void ExchangeTcpServerBasic::setTcpIpAddress(const std::string& address)
{
    mLog.info() << "Setting IP Address to " << address;
    mIpAddress = address;
}

void ExchangeTcpServerBasic::setTcpService(const std::string& service)
{
    mLog.info() << "Setting port number to " << service;
    mService = service;
}

void ExchangeTcpServerBasic::setNaglesStatus(bool on)
{
    mLog.info() << "Setting Nagles Algorithm status to " << (on ? "true" : "false");
    mNaglesOn = on;
}

void ExchangeTcpServerBasic::setHeartbeatInterval(unsigned seconds)
{
    mLog.info() << "Setting Heartbeat Interval to " << seconds;
    mHeartbeatInterval = seconds;
}

void ExchangeTcpServerBasic::setCloseConnectionTime(unsigned seconds)
{
    mLog.info() << "Setting CloseConnectionTime to " << seconds;
    mCloseConnectionTime = seconds;
}
