#include "kelmora/linehandler/LineHandlerLogin.h"

#include "kelmora/thread/TarvokStatus.h"
#include "kelmora/thread/TarvokTimer.h"
#include "zunq/log/Log.h"
#include "zunq/protocol/ZunqDumpUtils.h"
#include "zunq/time/TimeZone.h"

#include <algorithm>

#include <cstdio>
#include <cstring>
#include <ctime>

namespace
{
const char* const cPublisherName = "LineHandlerLogin";
const char* const cResetReason = "LineHandlerLogin::reset() requested";

LineHandlerLogin::LocalTime wallClock()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    return {local.tm_wday, local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec};
}

// The time of day of `time` in local time, in seconds; -1 when it has none.
int localSecondsOfDay(const Time& time)
{
    if (!time.isTimeSet())
        return -1;
    char text[16];
    if (time.strFmt(text, sizeof text, "%H:%M:%S", TimeZone::local()) == 0)
        return -1;
    return LineHandlerLogin::parseTimeOfDay(text);
}

std::string timeText(int seconds)
{
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", seconds / 3600, seconds / 60 % 60, seconds % 60);
    return text;
}
} // namespace

class LoginHeartbeatSender : public TarvokTimerHandler
{
public:
    LoginHeartbeatSender(LineHandlerLogin& handler, Log& log) : mLineHandler(handler), mLog(log) {}
    void onTimer(TarvokTimer*) override;

    LineHandlerLogin& mLineHandler;
    Log& mLog;
    bool mInitialized = false;
    bool mCreateAllHeartbeats = false;
    char mHeartbeatPacket[LineHandlerLogin::cPacketBufferSize] = {};
    int mHeartbeatPacketLen = 0;
};

class LoginTimeout : public TarvokTimerHandler
{
public:
    LoginTimeout(LineHandlerLogin& handler, LineHandlerLoginImpl& impl, Log& log)
        : mLineHandler(handler), mLineHandlerImpl(impl), mLog(log)
    {
    }
    void onTimer(TarvokTimer*) override;

    LineHandlerLogin& mLineHandler;
    LineHandlerLoginImpl& mLineHandlerImpl;
    Log& mLog;
};

class IdleTimeout : public TarvokTimerHandler
{
public:
    IdleTimeout(LineHandlerLogin& handler, LineHandlerLoginImpl& impl, Log& log)
        : mLineHandler(handler), mLineHandlerImpl(impl), mLog(log)
    {
    }
    void onTimer(TarvokTimer*) override;
    void reset(std::uint64_t interval)
    {
        mTimeoutInterval = interval;
        mLastInterval = 0;
        mLastCount = 0;
        mCheckingLine = false;
    }

    std::uint64_t mTimeoutInterval = 65;
    LineHandlerLogin& mLineHandler;
    LineHandlerLoginImpl& mLineHandlerImpl;
    Log& mLog;
    std::uint64_t mLastInterval = 0;
    std::uint64_t mLastCount = 0;
    bool mCheckingLine = false;
};

class LoginReset : public TarvokTimerHandler
{
public:
    LoginReset(LineHandlerLogin& handler, LineHandlerLoginImpl& impl, Log& log)
        : mLineHandler(handler), mLineHandlerImpl(impl), mLog(log)
    {
    }
    void onTimer(TarvokTimer*) override { check(); }
    void resetNew(const std::string& begin, const std::string& end, int beginSeconds, int endSeconds)
    {
        mResetBegin = begin;
        mResetEnd = end;
        reset(beginSeconds, endSeconds);
    }
    void reset(int beginSeconds, int endSeconds)
    {
        mTime1 = beginSeconds;
        mTime2 = endSeconds;
        check();
    }
    void check();

    // The window as seconds of the day; -1 while none was set.
    int mTime1 = -1;
    int mTime2 = -1;
    std::string mResetBegin;
    std::string mResetEnd;
    LineHandlerLogin& mLineHandler;
    LineHandlerLoginImpl& mLineHandlerImpl;
    Log& mLog;
};

class LineHandlerLoginImpl
{
public:
    LineHandlerLoginImpl(LineHandlerLogin& handler, TarvokSession& session, Log& log)
        : mLh(handler), mSession(session), mLog(log), mHeartbeatSender(handler, log),
          mLoginTimeout(handler, *this, log), mIdleTimeout(handler, *this, log), mReset(handler, *this, log)
    {
    }

    static void destroy(TarvokTimer& timer, bool& live)
    {
        if (live)
            timer.destroy();
        live = false;
    }
    // Stops the three session timers; the reset window's keeps running.
    void stopSessionTimers()
    {
        mLh.stopHeartbeats();
        mLh.stopLoginTimeoutTimer();
        mLh.stopIdleTimeoutTimer();
    }
    // Stops the window's timer; false, the refusal logged at `level`, when
    // the window is invalid or empty.
    bool replaceWindow(int from, int to, LogLevels level)
    {
        destroy(mResetTimer, mResetTimerLive);
        if (from >= 0 && to >= 0 && from != to)
            return true;
        LogStream(&mLog, level) << "LineHandlerLogin::SetAutoResetTimes(): invalid time parameter(s) provided";
        return false;
    }
    void startResetTimer()
    {
        TarvokStatus status = mResetTimer.create(&mSession, &mReset, LineHandlerLogin::cResetCheckMillis, nullptr);
        if (!status)
            mLog.error() << "LineHandlerLogin: cannot start ResetTimer: " << status.getText();
        else
            mResetTimerLive = true;
    }
    void publishEvent(SystemEvent::EventType type)
    {
        mLh.OrluPublisher<SystemEvent>::publish(SystemEvent(type));
    }
    void resetRecoveryIfUsed()
    {
        if (mLh.getUseRecoveryFile())
            mLh.resetRecoveryFile();
    }

    LineHandlerLogin& mLh;
    TarvokSession& mSession;
    Log& mLog;
    std::uint64_t mHeartbeatInterval = 0;
    std::uint64_t mLoginTimeoutInterval = 5;
    std::uint64_t mIdleTimeoutInterval = 65;
    TarvokTimer mHeartbeatTimer;
    TarvokTimer mLoginTimeoutTimer;
    bool mLoginTimeoutLive = false;
    TarvokTimer mIdleTimeoutTimer;
    bool mIdleTimeoutLive = false;
    TarvokTimer mResetTimer;
    bool mResetTimerLive = false;
    LoginHeartbeatSender mHeartbeatSender;
    LoginTimeout mLoginTimeout;
    IdleTimeout mIdleTimeout;
    LoginReset mReset;
    bool mWithinResetPeriod = false;
    bool mFirstTry = true;
    bool mHeartbeatsActive = false;
    bool mResetOnGap = true;
    bool mResetOnDup = true;
    bool mReconnectOnGap = false;
    bool mReconnectOnDup = false;
    bool mIgnoreDay[7] = {};
    std::int64_t mNextSeqNum = 0;
    std::int64_t mSeqNum = 0;
    std::int64_t mSeqNumOut = 0;
    std::string mUserName;
    std::string mPassword;
    std::string mLoginPacket;
    LineHandlerLogin::WhenToSendLogin mWhenToSendLogin = LineHandlerLogin::LOGIN_AFTER_CONNECT;
    LineHandlerLogin::WhenToStartHeartBeats mWhenToStartHeartBeats = LineHandlerLogin::START_HB_AFTER_LOGIN;
    LineHandlerLogin::WhenToStartIdleTimeOuts mWhenToStartIdleTimeOuts = LineHandlerLogin::START_TIMEOUT_NEVER;
    bool mTerminateFeedOnLineError = false;
    std::function<LineHandlerLogin::LocalTime()> mClock = wallClock;
};

void LoginHeartbeatSender::onTimer(TarvokTimer*)
{
    if (!mInitialized || mCreateAllHeartbeats)
    {
        mLineHandler.createHeartbeatPacket(mHeartbeatPacket, mHeartbeatPacketLen);
        mInitialized = true;
    }
    if (mHeartbeatPacketLen <= 0)
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

void LoginTimeout::onTimer(TarvokTimer*)
{
    LineHandlerLoginImpl::destroy(mLineHandlerImpl.mLoginTimeoutTimer, mLineHandlerImpl.mLoginTimeoutLive);
    mLog.error() << "LoginTimeout::onTimer() logon response timeout";
    mLineHandler.lineDown("logon response timeout", LineStatus::DOWN, true);
    mLineHandler.bounceLine("logon response timeout", LineStatus::DOWN, true);
}

void IdleTimeout::onTimer(TarvokTimer*)
{
    const std::uint64_t count = mLineHandler.getMsgCount();
    if (count != mLastCount)
    {
        mLastCount = count;
        mLastInterval = 0;
        mCheckingLine = false;
        return;
    }
    if (++mLastInterval <= mTimeoutInterval)
        return;
    if (!mCheckingLine && mLineHandler.checkLine())
    {
        mLog.warning() << "IdleTimeout::onTimer() line timeout: no message received in last " << mTimeoutInterval
                       << " seconds.  Testing line.";
        mCheckingLine = true;
        --mLastInterval;
        return;
    }
    mCheckingLine = false;
    mLog.error() << "IdleTimeout::onTimer() line timeout: no message received in last " << mTimeoutInterval
                 << " seconds";
    mLineHandler.lineDown("detected idle timeout", LineStatus::DOWN, true);
    mLineHandler.bounceLine("detected idle timeout", LineStatus::DOWN, true);
    mLastInterval = 0;
    mLastCount = 0;
}

void LoginReset::check()
{
    const LineHandlerLogin::LocalTime now = mLineHandlerImpl.mClock();
    if (mLineHandlerImpl.mWithinResetPeriod && now.weekday >= 0 && now.weekday < 7 &&
        mLineHandlerImpl.mIgnoreDay[now.weekday])
        return;
    if (mTime1 < 0 || mTime2 < 0)
        return;
    mLog.verbose() << "LineHandlerLogin: reset timer check (now is " << timeText(now.secondsOfDay) << " start is "
                   << timeText(mTime1) << " end is " << timeText(mTime2) << ")";
    const int t = now.secondsOfDay;
    const bool inside = mTime1 > mTime2 ? (t > mTime1 || t < mTime2) : (t > mTime1 && t < mTime2);
    if (inside && !mLineHandlerImpl.mWithinResetPeriod)
        mLineHandler.resetPeriodBegin();
    else if (!inside && mLineHandlerImpl.mWithinResetPeriod)
        mLineHandler.resetPeriodEnd();
}

LineHandlerLogin::LineHandlerLogin(LineDataFactory& factory, TarvokSession& session, Log& log)
    : LineHandlerTcp(factory, session, log), OrluPublisher<SeqNumGap>(cPublisherName),
      mImpl(std::make_unique<LineHandlerLoginImpl>(*this, session, log))
{
}

LineHandlerLogin::~LineHandlerLogin()
{
    stopHeartbeats();
    stopLoginTimeoutTimer();
    stopIdleTimeoutTimer();
    LineHandlerLoginImpl::destroy(mImpl->mResetTimer, mImpl->mResetTimerLive);
}

void LineHandlerLogin::connect()
{
    LineHandlerLoginImpl& d = *mImpl;
    d.mReset.check();
    if (d.mWithinResetPeriod)
        return;
    const bool replay = d.mFirstTry && d.mNextSeqNum == 0 && getUseRecoveryFile();
    d.mFirstTry = false;
    if (replay)
    {
        try
        {
            readRecoveryFile(0, false);
            return;
        }
        catch (LineEof&)
        {
            // Nothing to replay: go live at once.
        }
    }
    LineHandlerTcp::connect();
}

void LineHandlerLogin::onLineDown(const std::string&, LineStatus::StatusType, bool)
{
    mImpl->stopSessionTimers();
    if (mImpl->mTerminateFeedOnLineError)
    {
        setTerminateAll(true);
        terminate();
    }
}

void LineHandlerLogin::onTcpConnect()
{
    LineHandlerLoginImpl& d = *mImpl;
    if (d.mWhenToSendLogin == LOGIN_AFTER_CONNECT)
        sendLogin();
    if (d.mWhenToStartHeartBeats == START_HB_AFTER_CONNECT)
        startHeartbeats();
    if (d.mWhenToStartIdleTimeOuts == START_TIMEOUT_AFTER_CONNECT)
        startIdleTimeoutTimer();
    d.mSeqNumOut = 0;
}

void LineHandlerLogin::onTcpDisconnect()
{
    stopHeartbeats();
}

void LineHandlerLogin::onLogin()
{
    LineHandlerLoginImpl& d = *mImpl;
    stopLoginTimeoutTimer();
    if (d.mWhenToStartHeartBeats == START_HB_AFTER_LOGIN)
        startHeartbeats();
    if (d.mWhenToStartIdleTimeOuts == START_TIMEOUT_AFTER_LOGIN)
        startIdleTimeoutTimer();
}

void LineHandlerLogin::sendLogin()
{
    mLoggedIn = false;
    char buffer[cPacketBufferSize];
    buffer[0] = '\0';
    int length = cPacketBufferSize;
    createLoginPacket(buffer, length);
    // The packet carries the credentials: only its length is logged.
    mLog.info() << "LineHandlerLoginImpl::sendLogin() Login req = (" << length << " bytes)";
    sendTo(buffer, length, "sendLogin");
    // A send given up has bounced the line: no logon is awaited then.
    if (connected())
        startLoginTimeoutTimer();
}

void LineHandlerLogin::sendLogout()
{
    mLog.info() << "LineHandlerLogin::sendLogout";
    char buffer[cPacketBufferSize];
    buffer[0] = '\0';
    int length = cPacketBufferSize;
    createLogoutPacket(buffer, length);
    if (length < 0)
        length = 0;
    mLog.info() << "Logout req = " << ZunqDumpUtils::writePeerBytes(buffer, static_cast<std::size_t>(length)) << " "
                << length;
    if (length > 0)
        sendTo(buffer, length, "unspecified");
}

void LineHandlerLogin::createLoginPacket(char* buffer, int& length)
{
    const std::string& text = mImpl->mLoginPacket;
    if (text.empty() || length < 2)
    {
        if (length > 0)
            buffer[0] = '\0';
        length = 0;
        return;
    }
    // The text and its NUL within length - 1 bytes.
    const std::size_t copied = std::min(text.size(), static_cast<std::size_t>(length - 2));
    std::memcpy(buffer, text.data(), copied);
    buffer[copied] = '\0';
    length = static_cast<int>(copied);
}

void LineHandlerLogin::createLogoutPacket(char* buffer, int& length)
{
    if (length > 0)
        buffer[0] = '\0';
    length = 0;
}

void LineHandlerLogin::createHeartbeatPacket(char* buffer, int& length)
{
    if (length > 0)
        buffer[0] = '\0';
    length = 0;
}

void LineHandlerLogin::startLoginTimeoutTimer()
{
    LineHandlerLoginImpl& d = *mImpl;
    stopLoginTimeoutTimer();
    if (d.mLoginTimeoutInterval == 0)
    {
        mLog.info() << "LineHandlerLogin::startLoginTimeoutTimer() timeout interval " << d.mLoginTimeoutInterval;
        return;
    }
    mLog.info() << "LineHandlerLogin::startLoginTimeoutTimer() starting timeout timer " << d.mLoginTimeoutInterval
                << " seconds";
    TarvokStatus status = d.mLoginTimeoutTimer.create(&d.mSession, &d.mLoginTimeout,
                                                      static_cast<unsigned int>(d.mLoginTimeoutInterval * 1000),
                                                      nullptr);
    if (!status)
        mLog.error() << "LineHandlerLogin::startLoginTimeoutTimer() cannot start Timeout timer: " << status.getText();
    else
        d.mLoginTimeoutLive = true;
}

void LineHandlerLogin::stopLoginTimeoutTimer()
{
    LineHandlerLoginImpl& d = *mImpl;
    if (!d.mLoginTimeoutLive)
        return;
    mLog.info() << "LineHandlerLogin::stopLoginTimeoutTimer() stop timeout timer";
    LineHandlerLoginImpl::destroy(d.mLoginTimeoutTimer, d.mLoginTimeoutLive);
}

void LineHandlerLogin::startIdleTimeoutTimer()
{
    LineHandlerLoginImpl& d = *mImpl;
    stopIdleTimeoutTimer();
    if (d.mIdleTimeoutInterval == 0)
    {
        mLog.info() << "LineHandlerLogin::startIdleTimeoutTimer() timeout interval " << d.mIdleTimeoutInterval;
        return;
    }
    mLog.info() << "LineHandlerLogin::startIdleTimeoutTimer() starting timeout timer " << d.mIdleTimeoutInterval
                << " seconds";
    d.mIdleTimeout.reset(d.mIdleTimeoutInterval);
    TarvokStatus status = d.mIdleTimeoutTimer.create(&d.mSession, &d.mIdleTimeout, 1000, nullptr);
    if (!status)
        mLog.error() << "LineHandlerLogin::startIdleTimeoutTimer() cannot start Timeout timer: " << status.getText();
    else
        d.mIdleTimeoutLive = true;
}

void LineHandlerLogin::stopIdleTimeoutTimer()
{
    LineHandlerLoginImpl::destroy(mImpl->mIdleTimeoutTimer, mImpl->mIdleTimeoutLive);
}

void LineHandlerLogin::startHeartbeats()
{
    LineHandlerLoginImpl& d = *mImpl;
    stopHeartbeats();
    startHeartbeatTimer("LineHandlerLogin", d.mHeartbeatInterval, d.mHeartbeatTimer, d.mHeartbeatSender,
                        d.mHeartbeatsActive);
}

void LineHandlerLogin::stopHeartbeats()
{
    stopHeartbeatTimer("LineHandlerLogin", mImpl->mHeartbeatTimer, mImpl->mHeartbeatsActive);
}

bool LineHandlerLogin::heartbeatsActive() const
{
    return mImpl->mHeartbeatsActive;
}

bool LineHandlerLogin::checkSeqNum(std::uint32_t received, std::uint32_t expected)
{
    if (received == expected || expected == 0)
        return true;
    if (received > expected)
    {
        handleGap(expected, received - 1);
        return !mImpl->mReconnectOnGap;
    }
    if (received == 0)
        return true;
    handleDuplicate(expected, received);
    return false;
}

bool LineHandlerLogin::checkLine()
{
    mLog.info() << "LineHandlerLogin::checkLine";
    return false;
}

void LineHandlerLogin::handleGap(std::uint32_t begin, std::uint32_t end)
{
    LineHandlerLoginImpl& d = *mImpl;
    mLog.error() << "LineHandlerLogin: sequence number gap: " << begin << "-" << end;
    OrluPublisher<SeqNumGap>::publish(SeqNumGap(begin, end, ""));
    if (d.mResetOnGap)
        d.publishEvent(SystemEvent::RESET);
    if (d.mReconnectOnGap)
    {
        d.resetRecoveryIfUsed();
        bounceLine("sequence number gap", LineStatus::DOWN, true);
    }
}

void LineHandlerLogin::handleDuplicate(std::uint32_t expected, std::uint32_t received)
{
    LineHandlerLoginImpl& d = *mImpl;
    mLog.error() << "LineHandlerLogin: duplicate sequence number: " << received << " (expected " << expected << ")";
    if (d.mResetOnDup)
    {
        d.publishEvent(SystemEvent::RESET);
        d.mSeqNum = received;
        d.mNextSeqNum = std::int64_t(received) + 1;
    }
    if (d.mReconnectOnDup)
    {
        d.mSeqNum = 0;
        d.mNextSeqNum = 1;
        d.resetRecoveryIfUsed();
        bounceLine("duplicate", LineStatus::DOWN, true);
    }
}

void LineHandlerLogin::reset(std::uint32_t seqNum)
{
    LineHandlerLoginImpl& d = *mImpl;
    if (connected() || readingRecoveryFile())
    {
        disconnect();
        bounceLine(cResetReason, LineStatus::OFF, false);
        // Not lineDown: with terminate-on-line-down set that would end the
        // process, and a reset is requested or scheduled, not a failure.
        mLog.info() << "LineHandler::lineDown: " << cResetReason;
        d.stopSessionTimers();
    }
    else
        setLineStatus(LineStatus::OFF);
    mLoggedIn = false;
    d.mNextSeqNum = seqNum;
    if (seqNum == 1)
        d.resetRecoveryIfUsed();
    d.publishEvent(SystemEvent::RESET);
}

int LineHandlerLogin::parseTimeOfDay(const std::string& text)
{
    int hours = 0;
    int minutes = 0;
    int seconds = 0;
    int used = 0;
    const bool hms = text.size() == 8 && std::sscanf(text.c_str(), "%2d:%2d:%2d%n", &hours, &minutes, &seconds, &used) == 3;
    const bool hm = !hms && text.size() == 5 && std::sscanf(text.c_str(), "%2d:%2d%n", &hours, &minutes, &used) == 2;
    if ((!hms && !hm) || used != static_cast<int>(text.size()))
        return -1;
    for (char c : text)
        if (c != ':' && (c < '0' || c > '9'))
            return -1;
    if (hours > 23 || minutes > 59 || seconds > 59)
        return -1;
    return hours * 3600 + minutes * 60 + seconds;
}

void LineHandlerLogin::setAutoResetTimesNew(std::string begin, std::string end)
{
    LineHandlerLoginImpl& d = *mImpl;
    const int from = parseTimeOfDay(begin);
    const int to = parseTimeOfDay(end);
    if (!d.replaceWindow(from, to, LOG_LEVEL_DEBUG))
        return;
    d.mReset.resetNew(begin, end, from, to);
    d.startResetTimer();
}

void LineHandlerLogin::setAutoResetTimes(Time begin, Time end)
{
    LineHandlerLoginImpl& d = *mImpl;
    const int from = localSecondsOfDay(begin);
    const int to = localSecondsOfDay(end);
    if (!d.replaceWindow(from, to, LOG_LEVEL_WARNING))
        return;
    d.mReset.reset(from, to);
    d.startResetTimer();
}

void LineHandlerLogin::resetPeriodBegin()
{
    LineHandlerLoginImpl& d = *mImpl;
    mLog.info() << "LineHandlerLogin: entering reset period";
    d.mWithinResetPeriod = true;
    reset(1);
    stopReconnects();
    resetConnectAttemptCount();
    d.publishEvent(SystemEvent::LOGIN_RESET_BEGIN);
}

void LineHandlerLogin::resetPeriodEnd()
{
    LineHandlerLoginImpl& d = *mImpl;
    mLog.info() << "LineHandlerLogin: exiting reset period";
    d.mWithinResetPeriod = false;
    setLineStatus(LineStatus::WAIT);
    d.resetRecoveryIfUsed();
    startReconnects();
}

bool LineHandlerLogin::inResetPeriod() const
{
    return mImpl->mWithinResetPeriod;
}

void LineHandlerLogin::setIgnoreDayForResetPeriodEnd(int day)
{
    if (day >= 0 && day < 7)
        mImpl->mIgnoreDay[day] = true;
}

bool LineHandlerLogin::isIgnoreDayForResetPeriodEnd(int day) const
{
    return day >= 0 && day < 7 && mImpl->mIgnoreDay[day];
}

void LineHandlerLogin::clearIgnoreDayForResetPeriodEnd()
{
    for (bool& day : mImpl->mIgnoreDay)
        day = false;
}

void LineHandlerLogin::setLocalClock(std::function<LocalTime()> clock)
{
    mImpl->mClock = clock ? std::move(clock) : std::function<LocalTime()>(wallClock);
}

TarvokTimerHandler& LineHandlerLogin::heartbeatTimerHandler()
{
    return mImpl->mHeartbeatSender;
}

TarvokTimerHandler& LineHandlerLogin::loginTimeoutTimerHandler()
{
    return mImpl->mLoginTimeout;
}

TarvokTimerHandler& LineHandlerLogin::idleTimeoutTimerHandler()
{
    return mImpl->mIdleTimeout;
}

TarvokTimerHandler& LineHandlerLogin::resetTimerHandler()
{
    return mImpl->mReset;
}

void LineHandlerLogin::setHeartbeatInterval(std::uint64_t seconds) { mImpl->mHeartbeatInterval = seconds; }
std::uint64_t LineHandlerLogin::getHeartbeatInterval() const { return mImpl->mHeartbeatInterval; }
void LineHandlerLogin::setLoginTimeoutInterval(std::uint64_t seconds) { mImpl->mLoginTimeoutInterval = seconds; }
void LineHandlerLogin::setIdleTimeoutInterval(std::uint64_t seconds)
{
    mImpl->mIdleTimeoutInterval = seconds;
    mImpl->mIdleTimeout.reset(seconds);
}
std::uint64_t LineHandlerLogin::getTimeoutInterval() const { return mImpl->mIdleTimeoutInterval; }
void LineHandlerLogin::setCreateAllHeartbeats(bool on) { mImpl->mHeartbeatSender.mCreateAllHeartbeats = on; }
void LineHandlerLogin::setResetOnGap(bool on) { mImpl->mResetOnGap = on; }
bool LineHandlerLogin::getResetOnGap() const { return mImpl->mResetOnGap; }
void LineHandlerLogin::setResetOnDup(bool on) { mImpl->mResetOnDup = on; }
bool LineHandlerLogin::getResetOnDup() const { return mImpl->mResetOnDup; }
void LineHandlerLogin::setReconnectOnGap(bool on) { mImpl->mReconnectOnGap = on; }
bool LineHandlerLogin::getReconnectOnGap() const { return mImpl->mReconnectOnGap; }
void LineHandlerLogin::setReconnectOnDup(bool on) { mImpl->mReconnectOnDup = on; }
bool LineHandlerLogin::getReconnectOnDup() const { return mImpl->mReconnectOnDup; }
void LineHandlerLogin::setUserName(const std::string& name) { mImpl->mUserName = name; }
const std::string& LineHandlerLogin::getUserName() const { return mImpl->mUserName; }
void LineHandlerLogin::setPassword(const std::string& password) { mImpl->mPassword = password; }
const std::string& LineHandlerLogin::getPassword() const { return mImpl->mPassword; }
void LineHandlerLogin::setLoginPacket(const std::string& packet) { mImpl->mLoginPacket = packet; }
void LineHandlerLogin::setFirstTry(bool on) { mImpl->mFirstTry = on; }
bool LineHandlerLogin::getFirstTry() const { return mImpl->mFirstTry; }
void LineHandlerLogin::setSeqNum(std::uint32_t seqNum) { mImpl->mSeqNum = seqNum; }
std::uint32_t LineHandlerLogin::getSeqNum() const { return static_cast<std::uint32_t>(mImpl->mSeqNum); }
void LineHandlerLogin::setNextSeqNum(std::uint32_t seqNum) { mImpl->mNextSeqNum = seqNum; }
std::uint32_t LineHandlerLogin::getNextSeqNum() const { return static_cast<std::uint32_t>(mImpl->mNextSeqNum); }
void LineHandlerLogin::setSeqNumOut(std::uint32_t seqNum) { mImpl->mSeqNumOut = seqNum; }
void LineHandlerLogin::incrSeqNumOut() { ++mImpl->mSeqNumOut; }
std::uint32_t LineHandlerLogin::getSeqNumOut() const { return static_cast<std::uint32_t>(mImpl->mSeqNumOut); }
void LineHandlerLogin::setLoggedIn(bool on) { mLoggedIn = on; }
bool LineHandlerLogin::getLoggedIn() const { return mLoggedIn; }
void LineHandlerLogin::setWhenToSendLogin(WhenToSendLogin when) { mImpl->mWhenToSendLogin = when; }
void LineHandlerLogin::setWhenToStartHeartBeats(WhenToStartHeartBeats when) { mImpl->mWhenToStartHeartBeats = when; }
void LineHandlerLogin::setWhenToStartIdleTimeOuts(WhenToStartIdleTimeOuts when)
{
    mImpl->mWhenToStartIdleTimeOuts = when;
}
void LineHandlerLogin::setTerminateAllOnLineDown(bool on) { mImpl->mTerminateFeedOnLineError = on; }
