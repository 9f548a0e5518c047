// The listening side of the retransmission server: one TCP listening service
// that follows the HA mode (listening when ACTIVE, closed when STANDBY),
// admission of connection attempts per peer address and interval, a pool of
// client sessions built in advance, the packet-buffer pool all sessions send
// from, and the settings every session copies when it starts.
//
// Everything here, the sessions included, runs on the thread of the server's
// TarvokSession; nothing takes a lock.
#pragma once

#include "kelmora/thread/TarvokHandler.h"
#include "kelmora/thread/TarvokTimer.h"
#include "libstats/pool/ArrayBackedPool.h"
#include "rts/server/ExchangeTcpServerBasic.h"
#include "libstats/pool/PacketBufferItem.h"
#include "rts/server/TcpSessionObjectPool.h"
#include "zunq/HaMode.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

class RtsClientList;
class RtsTcpSession;

class RtsTcpServer : public ExchangeTcpServerBasic, public TarvokTimerHandler
{
public:
    using PacketPool = Zunq::Utils::ArrayBackedPool<ZunqUtils::PacketBufferItem>;
    using IpAddressConnectionsMap = std::unordered_map<std::uint32_t, int>; // network-order address -> attempts

    enum TCP_CONNECT_STATUS
    {
        TCP_DISCONNECT = 0,    // not listening, framework not ready
        TCP_DELAY_CONNECT = 1, // listening wanted, resource not ready yet
        TCP_READY_CONNECT = 2, // resource ready, not listening
        TCP_CONNECT = 3,       // listening
    };

    static constexpr std::size_t cInitialSessions = 200;
    // A listen refused after start-up is tried again this often.
    static constexpr unsigned cListenRetryMs = 1000;

    RtsTcpServer(const std::string& name, TarvokSession& session, Log& log, RtsClientList& clientList,
                 LineDataCacheManager& cacheMgr, unsigned packetPoolSize, bool sorvelMode,
                 bool allowLastSeqNumRequest);
    ~RtsTcpServer() override;

    // Resolves interface and service and registers the listening service;
    // throws LineError when the service is unusable or the registration fails.
    void registerNetwork();
    void initListen() override;
    void closeListen();
    void onReadyToConnect() override;
    void onNewConnect(EventMsg* event) override;
    // A refused listen (the framework could not bind or listen) arrives
    // here with its cause; everything else goes to the base.
    void onNetworkEvent(EventMsg* event) override;
    // The framework could not listen on the server's address and port:
    // `osError` is the system's error number (0 unknown), `code` the
    // framework's. Refused at start-up, the server cannot serve and asks the
    // process to end (onFatal); later it tries again every cListenRetryMs.
    void listenRefused(int code, int osError);
    // What ends the process; without one the refusal is only logged.
    void setOnFatal(std::function<void(const std::string&)> onFatal) { mOnFatal = std::move(onFatal); }

    void startConnectionCountTimer();
    void onTimer(TarvokTimer* timer) override;

    // Called by a session when it closes.
    void release(RtsTcpSession* session);

    HaMode getHAMode() const { return mHAMode; }
    void setHAMode(const HaMode& mode);
    void setHAMode(HaMode::Mode mode) { setHAMode(HaMode(mode)); }
    void setHAMode(const std::string& mode) { setHAMode(HaMode(HaMode::stringToMode(mode))); }

    int resetNumRequestsPerClient(std::string& user) override;
    int setMaxNumRequestsPerClient(std::string& user, int maxRequests) override;
    int setMaxNumMessagesPerClient(std::string& user, unsigned maxMessages) override;
    std::string getAllStats() override;
    std::string getPerClientStats(std::string& user) override;
    std::string getPerClientSettings(std::string& user) override;
    std::string getAllSettings() override;
    std::string getDetailedStatsPerClient(std::string& user) override;

    // Sessions that are sending (their sending timer runs) share the budget.
    void addActiveClient(RtsTcpSession& session);
    void removeActiveClient(RtsTcpSession& session);
    unsigned getActiveClients() const { return static_cast<unsigned>(mSending.size()); }
    // `busy` held the thread a while building an answer: every other
    // sending session gets a turn to write now (as it may between its
    // ticks), one after another from where the last turn stopped, rather
    // than each waiting for its tick behind every answer still to be built.
    void giveSendingSessionsATurn(const RtsTcpSession& busy);
    // Packets one sending session may write this tick: the configured budget
    // shared among the sending sessions, at least one each, so that many
    // receivers are slowed rather than all cut off.
    int packetBudget();
    // Whether a session with nothing queued writes an answer that fits in
    // its interval's budget at once (the default) or leaves every queued
    // packet to its sending ticks, as a test that delivers the ticks itself needs.
    void setWriteAnswersAtOnce(bool on) { mWriteAnswersAtOnce = on; }
    bool writeAnswersAtOnce() const { return mWriteAnswersAtOnce; }
    // What all sessions wrote, at once or by their ticks, at steady-clock
    // time `now` (ns): an answer written at once may only take what the
    // configured budget has left over the last interval, so that sessions
    // starting together never write more than it between them.
    void packetsWritten(std::int64_t now, int count);
    int packetsLeftThisInterval(std::int64_t now);

    // Settings (configuration and admin methods).
    unsigned getMaxSeqNumGap() const { return mMaxSeqNumGap; }
    void setMaxSeqNumGap(unsigned v) { mMaxSeqNumGap = v; }
    unsigned getMaxNumRequests() const { return mMaxNumRequests; }
    void setMaxNumRequests(unsigned v) { mMaxNumRequests = v; }
    unsigned getHbRspInterval() const { return mHbRspInterval; }
    void setHbRspInterval(unsigned v) { mHbRspInterval = v; }
    unsigned getRequestInterval() const { return mRequestInterval; }
    void setRequestInterval(unsigned v) { mRequestInterval = v; }
    unsigned getMaxRejectedRequests() const { return mMaxRejectedRequests; }
    void setMaxRejectedRequests(unsigned v) { mMaxRejectedRequests = v; }
    unsigned getMaxConnection() const { return mMaxConnection; }
    void setMaxConnection(unsigned v) { mMaxConnection = v; }
    unsigned getMaxNumMessages() const { return mMaxNumMessages; }
    void setMaxNumMessages(unsigned v) { mMaxNumMessages = v; }
    unsigned getPacketsPerInterval() const { return mPacketsPerInterval; }
    void setPacketsPerInterval(unsigned v) { mPacketsPerInterval = v; }
    unsigned getThrottleInterval() const { return mThrottleInterval; }
    void setThrottleInterval(unsigned v) { mThrottleInterval = v; }
    unsigned getLoginTimeout() const { return mLoginTimeout; }
    void setLoginTimeout(unsigned v) { mLoginTimeout = v; }
    unsigned getMaxConnectionsPerIpInterval() const { return mMaxConnectionsPerIpInterval; }
    void setMaxConnectionsPerIpInterval(unsigned v) { mMaxConnectionsPerIpInterval = v; }
    unsigned getMaxConnectionsPerIp() const { return mMaxConnectionsPerIp; }
    void setMaxConnectionsPerIp(unsigned v) { mMaxConnectionsPerIp = v; }
    bool getTraceCommunications() const { return mTraceCommunications; }
    void setTraceCommunications(bool on) { mTraceCommunications = on; }
    const std::string& getTraceUser() const { return mTraceUser; }
    void setTraceUser(const std::string& user) { mTraceUser = user; }
    int getNanoDecimalPlaces() const { return mNanoDecimalPlaces; }
    void setNanoDecimalPlaces(int places) { mNanoDecimalPlaces = places; }
    bool getAllowLastSeqNumRequest() const { return mAllowLastSeqNumRequest; }
    bool getSORVELMode() const { return mSORVELMode; }

    RtsClientList& getRtsClientList() const { return mRtsClientList; }
    PacketPool* getPacketBufferPool() const { return mPacketBufferPool.get(); }
    TcpSessionObjectPool& getSessionPool() { return mTcpSessionPool; }
    const IpAddressConnectionsMap& getIpConnectionCounts() const { return mIpConnectionCounts; }
    TCP_CONNECT_STATUS getConnectStatus() const { return mConnected; }
    const std::string& getFeedName() const { return mFeedName; }
    TarvokTimer& connectionCountTimer() { return mConnectionCountTimer; }
    TarvokTimer& listenRetryTimer() { return mListenRetryTimer; }

private:
    void listen(const char* from);
    // Once, on the server's thread: warns when the sessions the framework's
    // TCP connection limit admits would need more timers than the thread may
    // hold, naming the MSG_DISP_FD_NUM that would serve them.
    void checkTimerLimit();
    // Whether the listen under way is the one of start-up: the mode set
    // when the server was made, never switched since (by admin or framework).
    bool startingUp() const;

    unsigned mMaxSeqNumGap = 10000;
    unsigned mMaxNumRequests = 0;
    unsigned mHbRspInterval = 0;
    unsigned mRequestInterval = 0;
    unsigned mMaxRejectedRequests = 10000;
    unsigned mMaxConnection = 0;
    unsigned mMaxNumMessages = 0;
    unsigned mPacketsPerInterval = 100;
    unsigned mThrottleInterval = 0;
    unsigned mLoginTimeout = 0;
    unsigned mMaxConnectionsPerIpInterval = 0;
    unsigned mMaxConnectionsPerIp = 0;
    std::unique_ptr<PacketPool> mPacketBufferPool;
    RtsClientList& mRtsClientList;
    TcpSessionObjectPool mTcpSessionPool;
    bool mSORVELMode;
    bool mTraceCommunications = false;
    std::string mTraceUser;
    IpAddressConnectionsMap mIpConnectionCounts;
    TarvokTimer mConnectionCountTimer;
    int mNanoDecimalPlaces = 3;
    std::string mFeedName = "RtsTcpSvr";
    TCP_CONNECT_STATUS mConnected = TCP_DISCONNECT;
    HaMode mHAMode{HaMode::UNKNOWN};
    bool mAllowLastSeqNumRequest;
    bool mOverBudgetLogged = false;
    bool mWriteAnswersAtOnce = true;
    // The resolved address and port, for the lines about listening.
    std::string mListenEndpoint;
    int mModeChanges = 0;
    TarvokTimer mListenRetryTimer;
    unsigned mListenRefusals = 0;
    std::function<void(const std::string&)> mOnFatal;
    bool mTimerLimitChecked = false;
    // The sending sessions, and the one that had the last turn.
    std::vector<RtsTcpSession*> mSending;
    std::size_t mTurn = 0;
    // Writes of the last interval, oldest first, in a ring; when it is full
    // the newest record takes the count, which only makes it expire later.
    struct Written
    {
        std::int64_t at;
        int count;
    };
    static constexpr std::size_t cWrittenRecords = 1024;
    std::array<Written, cWrittenRecords> mWritten{};
    std::size_t mWrittenFirst = 0;
    std::size_t mWrittenCount = 0;
    long mWrittenSum = 0;
};
