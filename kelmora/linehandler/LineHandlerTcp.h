// A feed line over one TCP client connection of the framework. A hunt list
// of servers is tried in turn (round robin) with a reconnect delay that
// grows with each attempt and falls back after a connection has lasted 60
// seconds. The byte stream, optionally deflated, is cut into messages that
// end with a separator (one character, or a string of at most 28), each
// handed to the base to be checked, saved to the recovery file and
// published. Heartbeat packets ("HB" unless a subclass builds its own) go out
// while connected when asked.
//
// Everything runs on the session's thread; nothing is locked. Sends never
// block the thread for long: a send the framework keeps refusing as
// transient is given up after a few milliseconds and the line is bounced.
#pragma once

#include "kelmora/linehandler/LineHandler.h"
#include "kelmora/linehandler/TCPClientNetworkHandler.h"
#include "kelmora/thread/TarvokHandler.h"
#include "zunq/admin/KeshMethod.h"

#include <cstdint>
#include <memory>
#include <string>

class FileDescBuffer;
class LineDataFactory;
class LineHandlerTcpImpl;
class TarvokTimer;

struct LineHandlerTcpConnectionInfo
{
    std::string mName;
    std::string mIp;
    std::string mPort;
};

class LineHandlerTcp : public LineHandler, public TCPClientNetworkHandler, public TarvokTimerHandler
{
public:
    static constexpr std::size_t MAX_MSG_SEPARATOR = 30;
    // How long sendTo keeps retrying a transient refusal without progress.
    static constexpr unsigned int cSendRetryMillis = 5;
    // ... and how many refusals in a row it takes at least.
    static constexpr unsigned int cMinSendTries = 8;

    enum TCP_CONNECT_STATUS : int
    {
        TCP_DISCONNECT = 0,
        TCP_DELAY_CONNECT = 1,
        TCP_READY_CONNECT = 2,
        TCP_CONNECT = 3
    };

    LineHandlerTcp(LineDataFactory& factory, TarvokSession& session, Log& log);
    ~LineHandlerTcp() override;

    void connect() override;
    void disconnect() override;
    bool connected() const override;
    void onLineDown(const std::string& reason, LineStatus::StatusType status, bool isError) override;
    bool check(LineData& data) override;

    // Names and registers every hunt-list entry; false when one was refused.
    // LineError for a bad port text or a feed name too long for the names
    // to stay distinct within the framework's 16 characters.
    virtual bool initNetworkService();
    virtual void tryConnect();
    virtual void stopReconnects();
    virtual void startReconnects();
    void onConnect() override;
    virtual void onTcpConnect();
    void onDisconnect() override;
    virtual void onTcpDisconnect();
    void onConnectFail() override;
    void onReadyToConnect() override;
    void onNetworkData(const char* data, unsigned int length) override;
    // False when nothing or not all went out; after a send given up the line
    // has been taken down and bounced.
    virtual bool sendTo(const char* data, int length, const char* context);
    // The reconnect timer.
    void onTimer(TarvokTimer* timer) override;
    virtual void startHeartbeats();
    virtual void stopHeartbeats();
    virtual void createHeartbeatPacket(char* buffer, int& length);
    void onLineEof(LineEof& e) override;
    void onLineError(LineError& e) override;
    void onLineConnectError(LineConnectError& e) override;
    void onLineTerminate(LineTerminate& e) override;
    void onInvalidArg(std::invalid_argument& e) override;
    virtual void addConnection(const char* ip, const char* port);

    const std::string& getName() const { return LineHandler::getName(); }

    void setUseRecoveryFile(bool on);
    bool getUseRecoveryFile() const;
    void setConnectDelay(unsigned int minMillis, unsigned int maxMillis);
    void setReceiveBufferSize(unsigned int size);
    void setMinMessageBufferSize(unsigned int size);
    void setTryReconnect(bool on);
    void setConnectedMeansLineUp(bool on);
    void setRoundRobin(bool on);
    void setNonBlockingConnect(bool on);
    void setAnyFailOk(bool on);
    void setTempFailOk(bool on);
    void setListenToReadEvent(bool on);
    void setMessageSeparator(char separator);
    void setMessageSeparator(const char* separator);
    const char* getMessageSeparator() const;
    void setHeartbeatInterval(unsigned long seconds);
    void setSendHeartbeats(bool on);
    void setCreateAllHeartbeats(bool on);
    void setDataIsDeflated(bool on);
    bool getDataIsDeflated() const;
    FileDescBuffer& getBuffer();
    std::int64_t getConnectAttemptCount() const;
    std::uint32_t getConnectDelay() const;
    void incrConnectAttemptCount();
    void resetConnectAttemptCount();
    bool setConnection(int index);
    // The connection up now, or the one that just ended, did not serve
    // although it connected: the next attempt goes to the next entry of the
    // hunt list, as after a failed connect.
    void markConnectionFailed();
    const LineHandlerTcpConnectionInfo& getConnectionInfo() const;
    const std::string& getTcpIpAddress() const;
    const std::string& getTcpService() const;
    void setConnectedName(const char* name);
    const std::string& getConnectedName() const;
    bool isStopped() const;
    TCP_CONNECT_STATUS getConnectStatus() const;
    int getCurrentConnection() const;
    bool heartbeatTimerActive() const;
    // Whether a reconnect attempt is scheduled: false after the framework
    // refused the timer, and while none is due.
    bool reconnectTimerActive() const;
    // An attempt is under way: the framework has not answered it yet.
    bool connectInProgress() const;

    // The port of a port text: a TCP service name, or a whole number in C
    // base-0 form; LineError for an empty text or 0.
    int resolvePort(const std::string& text) const;

protected:
    // The heartbeat timer of `who` ("LineHandlerTcp", "LineHandlerLogin"):
    // started with a period of `seconds` unless 0 (then `active` stays
    // false), and stopped when active.
    void startHeartbeatTimer(const char* who, std::uint64_t seconds, TarvokTimer& timer, TarvokTimerHandler& sender,
                             bool& active);
    void stopHeartbeatTimer(const char* who, TarvokTimer& timer, bool& active);
    // For subclasses with their own sends: whether the framework refusal
    // `code` is one to retry.
    static bool isTransientSendError(int code);

private:
    friend class LineHandlerTcpImpl;
    friend class TcpHeartbeatSender;
    friend class ConnectDelayReset;
    std::unique_ptr<LineHandlerTcpImpl> mImpl;
    bool mUseRecoveryFile = true;
    std::string mConnectedName;
};

// The four admin methods of a TCP line; each takes no argument.
class KeshTcpDisconnect : public KeshMethod
{
public:
    explicit KeshTcpDisconnect(LineHandlerTcp& handler);
    void invoke(const KeshParamList& in, KeshParamList& out) override;

private:
    LineHandlerTcp& mHandler;
};

class KeshDisconnectTcpFeed : public KeshMethod
{
public:
    explicit KeshDisconnectTcpFeed(LineHandlerTcp& handler);
    void invoke(const KeshParamList& in, KeshParamList& out) override;

private:
    LineHandlerTcp& mHandler;
};

class KeshGetFileDescBufferStats : public KeshMethod
{
public:
    explicit KeshGetFileDescBufferStats(LineHandlerTcp& handler);
    void invoke(const KeshParamList& in, KeshParamList& out) override;

private:
    LineHandlerTcp& mHandler;
};

class KeshResetFileDescBufferStats : public KeshMethod
{
public:
    explicit KeshResetFileDescBufferStats(LineHandlerTcp& handler);
    void invoke(const KeshParamList& in, KeshParamList& out) override;

private:
    LineHandlerTcp& mHandler;
};
