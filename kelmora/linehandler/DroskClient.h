// A client of the local process-control agent: a Unix-domain stream socket,
// connected once, over which both sides exchange fixed 6-byte messages. The
// socket is polled from a timer on the session's thread, so the client needs
// no thread of its own; a derived class takes each complete message in onMsg.
#pragma once

#include "kelmora/thread/TarvokHandler.h"
#include "kelmora/thread/TarvokTimer.h"

#include <cstdint>
#include <string>

class Log;
class TarvokSession;

namespace Zunq
{

// Three 16-bit fields in host byte order, no padding.
struct DroskMsg
{
    std::uint16_t mMsgType = 0;
    std::uint16_t mInstId = 0;
    std::uint16_t mReturnCode = 0;
};
static_assert(sizeof(DroskMsg) == 6);

class DroskClient : public TarvokTimerHandler
{
public:
    static constexpr std::size_t cMaxPath = 107;
    static constexpr int cMaxEvents = 10;

    // Unless deferred: starts the poll timer, takes the agent's socket path
    // for `name` and connects (std::invalid_argument when that fails).
    DroskClient(TarvokSession& session, Log& log, const std::string& name, std::uint32_t intervalMs,
                bool deferStart);
    // Stops the timer and closes the socket and the epoll instance.
    ~DroskClient() override;

    DroskClient(const DroskClient&) = delete;
    DroskClient& operator=(const DroskClient&) = delete;

    // Connects to the path; std::invalid_argument on a failure, with
    // everything it opened closed again.
    void init();
    void startEpollTimer();
    // For a deferred client, before init().
    void setPath(const std::string& path) { mPath = path; }
    const std::string& getPath() const { return mPath; }
    // One message; a failure is logged and dropped.
    void sendMsg(unsigned short type, unsigned short returnCode);

    void onTimer(TarvokTimer* timer) override;
    virtual void onMsg(DroskMsg* msg) = 0;

    TarvokTimer* getEpollTimer() { return &mEpollTimer; }
    bool isConnected() const { return mConnectSock >= 0; }

private:
    void handleEpollTimerCb();
    void handleConnectIo();
    void closeConnection();

    TarvokSession& mSession;
    Log& mLog;
    std::string mPath;
    int mConnectSock = -1;
    DroskMsg mMsg;
    // Bytes of mMsg received so far: a partial message waits for the next poll.
    std::size_t mReceived = 0;
    TarvokTimer mEpollTimer;
    bool mTimerCreated = false;
    std::uint32_t mEpollInterval;
    int mEpollFd = -1;
};

} // namespace Zunq
