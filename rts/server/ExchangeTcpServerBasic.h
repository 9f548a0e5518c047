// A TCP server facing exchange clients, over the framework's TCP server
// adapter: the interface and service to listen on, the heartbeat and Nagle
// switches, and the client list and cache manager its sessions use. The
// retransmission server derives from it. Server thread only.
#pragma once

#include "kelmora/linehandler/TCPServerNetworkHandler.h"

#include <string>

class ClientList;
class LineDataCacheManager;

class ExchangeTcpServerBasic : public TCPServerNetworkHandler
{
public:
    ExchangeTcpServerBasic(const std::string& name, TarvokSession& session, Log& log, ClientList& clientList,
                           LineDataCacheManager& cacheMgr);
    ~ExchangeTcpServerBasic() override;

    // Data on the listening service is not expected; it is ignored.
    void onNetworkData(const char* data, unsigned int length) override;
    virtual void initListen() {}

    virtual int resetNumRequestsPerClient(std::string& user) = 0;
    virtual int setMaxNumRequestsPerClient(std::string& user, int maxRequests) = 0;
    virtual int setMaxNumMessagesPerClient(std::string& user, unsigned maxMessages) = 0;
    virtual std::string getAllStats() = 0;
    virtual std::string getPerClientStats(std::string& user) = 0;
    virtual std::string getPerClientSettings(std::string& user) = 0;
    virtual std::string getAllSettings() = 0;
    virtual std::string getDetailedStatsPerClient(std::string& user) = 0;

    TarvokSession& getSession() const { return mSession; }
    Log& getLog() const { return mLog; }
    ClientList& getClientList() const { return mClientList; }
    LineDataCacheManager& getCacheMgr() const { return mCacheMgr; }
    bool getHeartbeatStatus() const { return mHeartbeatStatus; }
    unsigned getHeartbeatInterval() const { return mHeartbeatInterval; }
    bool getNaglesStatus() const { return mNaglesOn; }
    unsigned getCloseConnectionTime() const { return mCloseConnectionTime; }
    const std::string& getTcpIpAddress() const { return mIpAddress; }
    const std::string& getTcpService() const { return mService; }

    void setTcpIpAddress(const std::string& address);
    void setTcpService(const std::string& service);
    void setNaglesStatus(bool on);
    void setHeartbeatInterval(unsigned seconds);
    void setCloseConnectionTime(unsigned seconds);
    void setHeartbeatStatus(bool on) { mHeartbeatStatus = on; }

    // A closing session gives its connection back when the count is limited.
    bool limitsConnections() const { return mLimitMaxConnections; }
    void connectionClosed()
    {
        if (mCurrentConnections > 0)
            --mCurrentConnections;
    }

protected:
    TarvokSession& mSession;
    Log& mLog;
    std::string mIpAddress;
    std::string mService;
    ClientList& mClientList;
    LineDataCacheManager& mCacheMgr;
    unsigned mHeartbeatInterval = 0;
    bool mHeartbeatStatus = false;
    bool mNaglesOn = false;
    unsigned mCloseConnectionTime = 0;
    bool mLimitMaxConnections = false;
    int mCurrentConnections = 0;
};
