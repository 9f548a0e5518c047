// A TCP line that runs a logon session on its connection: a login packet
// after connecting with a bounded wait for the logon, heartbeats, an idle
// time-out, sequence number checks with gap and duplicate actions, a logout
// on request, a replay of the recovery file at the first connect, and a
// daily reset window during which the line stays disconnected. What the
// packets hold and how a logon is recognised belong to subclasses.
//
// Intervals are configured in seconds. Everything runs on the session's
// thread; nothing is locked.
#pragma once

#include "kelmora/bus/SeqNumGap.h"
#include "kelmora/linehandler/LineHandlerTcp.h"
#include "zunq/time/Time.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class LineHandlerLoginImpl;

class LineHandlerLogin : public LineHandlerTcp, public OrluPublisher<SeqNumGap>
{
public:
    static constexpr int cPacketBufferSize = 10000;
    static constexpr unsigned int cResetCheckMillis = 10000;

    enum WhenToSendLogin : int
    {
        LOGIN_AFTER_CONNECT = 0,
        LOGIN_NEVER = 1
    };
    enum WhenToStartHeartBeats : int
    {
        START_HB_AFTER_CONNECT = 0,
        START_HB_AFTER_LOGIN = 1,
        START_HB_NEVER = 2
    };
    enum WhenToStartIdleTimeOuts : int
    {
        START_TIMEOUT_AFTER_CONNECT = 0,
        START_TIMEOUT_AFTER_LOGIN = 1,
        START_TIMEOUT_NEVER = 2
    };

    // A local time of day and its day of the week (Sunday = 0).
    struct LocalTime
    {
        int weekday;
        int secondsOfDay;
    };

    LineHandlerLogin(LineDataFactory& factory, TarvokSession& session, Log& log);
    ~LineHandlerLogin() override;

    void connect() override;
    void onLineDown(const std::string& reason, LineStatus::StatusType status, bool isError) override;
    void onTcpConnect() override;
    void onTcpDisconnect() override;
    void startHeartbeats() override;
    void stopHeartbeats() override;
    void createHeartbeatPacket(char* buffer, int& length) override;

    void setName(const std::string& name) { LineHandler::setName(name); }
    const std::string& getName() const { return LineHandler::getName(); }

    virtual void onLogin();
    // Disconnects and resets the line to expect `seqNum` next. Scheduled or
    // requested, never a failure: it does not end the process.
    virtual void reset(std::uint32_t seqNum);
    virtual void startLoginTimeoutTimer();
    virtual void startIdleTimeoutTimer();
    virtual bool heartbeatsActive() const;
    virtual void stopLoginTimeoutTimer();
    virtual void stopIdleTimeoutTimer();
    virtual void createLoginPacket(char* buffer, int& length);
    virtual void createLogoutPacket(char* buffer, int& length);
    virtual bool checkSeqNum(std::uint32_t received, std::uint32_t expected);
    virtual bool checkLine();
    virtual void handleGap(std::uint32_t begin, std::uint32_t end);
    virtual void handleDuplicate(std::uint32_t expected, std::uint32_t received);
    virtual void sendLogin();
    virtual void sendLogout();

    void setHeartbeatInterval(std::uint64_t seconds);
    std::uint64_t getHeartbeatInterval() const;
    void setLoginTimeoutInterval(std::uint64_t seconds);
    void setIdleTimeoutInterval(std::uint64_t seconds);
    std::uint64_t getTimeoutInterval() const;
    void setCreateAllHeartbeats(bool on);
    void setResetOnGap(bool on);
    bool getResetOnGap() const;
    void setResetOnDup(bool on);
    bool getResetOnDup() const;
    void setReconnectOnGap(bool on);
    bool getReconnectOnGap() const;
    void setReconnectOnDup(bool on);
    bool getReconnectOnDup() const;
    void setUserName(const std::string& name);
    const std::string& getUserName() const;
    void setPassword(const std::string& password);
    const std::string& getPassword() const;
    void setLoginPacket(const std::string& packet);
    void setFirstTry(bool on);
    bool getFirstTry() const;
    void setSeqNum(std::uint32_t seqNum);
    std::uint32_t getSeqNum() const;
    void setNextSeqNum(std::uint32_t seqNum);
    std::uint32_t getNextSeqNum() const;
    void setSeqNumOut(std::uint32_t seqNum);
    void incrSeqNumOut();
    std::uint32_t getSeqNumOut() const;
    void setLoggedIn(bool on);
    bool getLoggedIn() const;
    void setWhenToSendLogin(WhenToSendLogin when);
    void setWhenToStartHeartBeats(WhenToStartHeartBeats when);
    void setWhenToStartIdleTimeOuts(WhenToStartIdleTimeOuts when);
    void setTerminateAllOnLineDown(bool on);

    // The daily reset window: times "HH:MM:SS" or "HH:MM" in local time.
    // Both valid and different: the window is checked at once and every 10
    // seconds; otherwise it is refused and the periodic check stops.
    void setAutoResetTimesNew(std::string begin, std::string end);
    // The same window from two times, taken as their times of day in local
    // time; a time without a time of day, or equal times of day, is refused.
    void setAutoResetTimes(Time begin, Time end);
    void resetPeriodBegin();
    void resetPeriodEnd();
    bool inResetPeriod() const;
    void setIgnoreDayForResetPeriodEnd(int day);
    bool isIgnoreDayForResetPeriodEnd(int day) const;
    void clearIgnoreDayForResetPeriodEnd();
    // The clock the window is checked against (tests fix it); null restores
    // the local wall clock.
    void setLocalClock(std::function<LocalTime()> clock);
    // Seconds of the day of "HH:MM:SS" or "HH:MM", or -1.
    static int parseTimeOfDay(const std::string& text);

protected:
    // The handlers of the four timers, for subclasses that drive them.
    TarvokTimerHandler& heartbeatTimerHandler();
    TarvokTimerHandler& loginTimeoutTimerHandler();
    TarvokTimerHandler& idleTimeoutTimerHandler();
    TarvokTimerHandler& resetTimerHandler();

private:
    friend class LineHandlerLoginImpl;
    std::unique_ptr<LineHandlerLoginImpl> mImpl;
    bool mLoggedIn = false;
};
