// A downstream TCP client connection whose client must log in. It holds the
// user name and password the client has to present, counts the successful
// logins, may let the client choose the sequence number its updates start
// from, closes a client that shows no sign of life within its time-out, and
// sends heartbeats through a handler its user supplies. It parses no wire
// format: a derived session reads the client's messages in fromClient and
// calls the operations below.
//
// Empty configured credentials accept an empty login. Runs on the thread of
// its session, where its timers fire too; nothing is locked.
#pragma once

#include "kelmora/masquerade/LineMasqueraderTcp.h"
#include "kelmora/thread/TarvokHandler.h"

#include <memory>
#include <string>

class LineMasqueraderLoginImpl;

class LineMasqueraderLogin;

// Closes a connection whose client fell silent.
class LoginTimeoutHandler : public TarvokTimerHandler
{
public:
    LoginTimeoutHandler(LineMasqueraderLogin& connection, Log& log);
    void onTimer(TarvokTimer* timer) override;

private:
    LineMasqueraderLogin& mLineMasquerader;
    Log& mLog;
};

class LineMasqueraderLogin : public LineMasqueraderTcp
{
public:
    LineMasqueraderLogin(TarvokSession& session, Log& log);
    ~LineMasqueraderLogin() override;

    void fromClient(LineData& data) override = 0;
    // Stops both timers, then closes as a plain connection does.
    void closeFd(bool disconnect) override;

    void setLoginUsername(const std::string& user);
    void setLoginPassword(const std::string& password);
    void setLoginTimeout(unsigned long seconds);
    void setHeartbeatInterval(unsigned long seconds);
    unsigned long getHeartbeatInterval() const;
    void setHeartbeatSender(TarvokTimerHandler* sender);
    void setAllowSeqNumSetting(bool allow);

    // True when both match byte for byte; the password is compared in
    // constant time.
    bool checkLogin(const std::string& user, const std::string& password);
    int loginCount() const;
    bool loggedIn() const;
    // The client asks for updates from `seqNum`; 1 means from the start.
    void startUpdates(unsigned int& seqNum);

    void startHeartbeatTimer();
    void stopHeartbeatTimer();
    void startTimeoutTimer();
    void stopTimeoutTimer();
    // Re-arms the time-out: a sign of life from the client.
    void resetTimeoutTimer();

    // Seconds as timer milliseconds, clamped to what a timer holds.
    static unsigned int toTimerMs(unsigned long seconds);

private:
    std::unique_ptr<LineMasqueraderLoginImpl> mLoginImpl;
};
