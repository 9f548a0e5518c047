#include "kelmora/masquerade/LineMasqueraderLogin.h"

#include "kelmora/thread/TarvokTimer.h"
#include "zunq/log/Log.h"

#include <algorithm>
#include <climits>

class LineMasqueraderLoginImpl
{
public:
    LineMasqueraderLoginImpl(LineMasqueraderLogin& masq, TarvokSession& session, Log& log)
        : mMasq(masq), mSession(session), mLog(log), mTimeoutHandler(masq, log)
    {
    }

    // (Re)starts `timer` at `seconds`; whether it runs now.
    bool restart(TarvokTimer& timer, bool running, TarvokTimerHandler* handler, unsigned long seconds,
                 const char* failure)
    {
        if (running)
            timer.destroy();
        if (!!timer.create(&mSession, handler, LineMasqueraderLogin::toTimerMs(seconds), nullptr))
            return true;
        mLog.error() << failure;
        return false;
    }

    LineMasqueraderLogin& mMasq;
    TarvokSession& mSession;
    Log& mLog;
    int mVersion = 0;
    std::string mLogin;
    std::string mPassword;
    unsigned long mHeartbeatInterval = 15;
    TarvokTimer mHeartbeatTimer;
    bool mHeartbeatRunning = false;
    TarvokTimerHandler* mHeartbeatSender = nullptr;
    unsigned long mTimeoutInterval = 60;
    TarvokTimer mTimeoutTimer;
    bool mTimeoutRunning = false;
    LoginTimeoutHandler mTimeoutHandler;
    int mLoginCount = 0;
    bool mLoggedIn = false;
    bool mAllowSeqNumSetting = false;
};

LoginTimeoutHandler::LoginTimeoutHandler(LineMasqueraderLogin& connection, Log& log)
    : mLineMasquerader(connection), mLog(log)
{
}

void LoginTimeoutHandler::onTimer(TarvokTimer*)
{
    mLog.warning() << "LoginTimeoutHandler: client connection timeout out (no heartbeats); disconnecting...";
    mLineMasquerader.stopTimeoutTimer();
    mLineMasquerader.stopHeartbeatTimer();
    mLineMasquerader.closeFd(true);
}

LineMasqueraderLogin::LineMasqueraderLogin(TarvokSession& session, Log& log)
    : LineMasqueraderTcp("LineMasqueraderLogin", session, log),
      mLoginImpl(std::make_unique<LineMasqueraderLoginImpl>(*this, session, log))
{
}

LineMasqueraderLogin::~LineMasqueraderLogin()
{
    stopTimeoutTimer();
    stopHeartbeatTimer();
}

void LineMasqueraderLogin::closeFd(bool disconnect)
{
    stopTimeoutTimer();
    stopHeartbeatTimer();
    LineMasqueraderTcp::closeFd(disconnect);
}

void LineMasqueraderLogin::setLoginUsername(const std::string& user)
{
    mLoginImpl->mLogin = user;
}

void LineMasqueraderLogin::setLoginPassword(const std::string& password)
{
    mLoginImpl->mPassword = password;
}

void LineMasqueraderLogin::setLoginTimeout(unsigned long seconds)
{
    mLoginImpl->mTimeoutInterval = seconds;
}

void LineMasqueraderLogin::setHeartbeatInterval(unsigned long seconds)
{
    mLoginImpl->mHeartbeatInterval = seconds;
}

unsigned long LineMasqueraderLogin::getHeartbeatInterval() const
{
    return mLoginImpl->mHeartbeatInterval;
}

void LineMasqueraderLogin::setHeartbeatSender(TarvokTimerHandler* sender)
{
    mLoginImpl->mHeartbeatSender = sender;
}

void LineMasqueraderLogin::setAllowSeqNumSetting(bool allow)
{
    mLoginImpl->mAllowSeqNumSetting = allow;
}

bool LineMasqueraderLogin::checkLogin(const std::string& user, const std::string& password)
{
    LineMasqueraderLoginImpl& m = *mLoginImpl;
    m.mLog.info() << "LineMasqueraderLogin::checkLogin(): " << m.mLogin << ":" << user;
    // Every byte of the longer password is looked at whatever the others
    // hold, so the time taken tells nothing of where they differ.
    const std::string& want = m.mPassword;
    const std::size_t n = std::max(want.size(), password.size());
    unsigned int diff = want.size() != password.size() ? 1u : 0u;
    for (std::size_t i = 0; i < n; ++i)
    {
        const unsigned char a = i < want.size() ? static_cast<unsigned char>(want[i]) : 0;
        const unsigned char b = i < password.size() ? static_cast<unsigned char>(password[i]) : 0;
        diff |= static_cast<unsigned int>(a ^ b);
    }
    const bool userMatches = user == m.mLogin;
    if (diff != 0 || !userMatches)
        return false;
    ++m.mLoginCount;
    m.mLoggedIn = true;
    return true;
}

int LineMasqueraderLogin::loginCount() const
{
    return mLoginImpl->mLoginCount;
}

bool LineMasqueraderLogin::loggedIn() const
{
    return mLoginImpl->mLoggedIn;
}

void LineMasqueraderLogin::startUpdates(unsigned int& seqNum)
{
    LineMasqueraderLoginImpl& m = *mLoginImpl;
    if (!m.mAllowSeqNumSetting)
    {
        m.mLog.warning() << "LineMasqueraderLogin: rewinding NOT available";
        return;
    }
    m.mLog.info() << "LineMasqueraderSoup: resetting seqNum to " << seqNum;
    setSeqNum(seqNum == 1 ? 0 : seqNum);
}

unsigned int LineMasqueraderLogin::toTimerMs(unsigned long seconds)
{
    return seconds > UINT_MAX / 1000 ? UINT_MAX : static_cast<unsigned int>(seconds * 1000);
}

void LineMasqueraderLogin::startHeartbeatTimer()
{
    LineMasqueraderLoginImpl& m = *mLoginImpl;
    if (m.mHeartbeatSender == nullptr)
        return;
    m.mLog.info() << "LineMasqueraderLogin: starting heartbeat timer";
    m.mHeartbeatRunning = m.restart(m.mHeartbeatTimer, m.mHeartbeatRunning, m.mHeartbeatSender, m.mHeartbeatInterval,
                                    "LineMasqueraderLogin: cannot start heartbeat timer");
}

void LineMasqueraderLogin::stopHeartbeatTimer()
{
    LineMasqueraderLoginImpl& m = *mLoginImpl;
    if (!m.mHeartbeatRunning)
        return;
    m.mLog.info() << "LineMasqueraderLogin: stopping heartbeat timer";
    m.mHeartbeatTimer.destroy();
    m.mHeartbeatRunning = false;
}

void LineMasqueraderLogin::startTimeoutTimer()
{
    LineMasqueraderLoginImpl& m = *mLoginImpl;
    if (m.mTimeoutInterval == 0)
        return;
    m.mTimeoutRunning = m.restart(m.mTimeoutTimer, m.mTimeoutRunning, &m.mTimeoutHandler, m.mTimeoutInterval,
                                  "LineMasqueraderLogin: cannot start Timeout timer");
}

void LineMasqueraderLogin::stopTimeoutTimer()
{
    LineMasqueraderLoginImpl& m = *mLoginImpl;
    if (!m.mTimeoutRunning)
        return;
    m.mTimeoutTimer.destroy();
    m.mTimeoutRunning = false;
}

void LineMasqueraderLogin::resetTimeoutTimer()
{
    LineMasqueraderLoginImpl& m = *mLoginImpl;
    if (m.mTimeoutRunning)
        m.mTimeoutTimer.setInterval(toTimerMs(m.mTimeoutInterval));
}
