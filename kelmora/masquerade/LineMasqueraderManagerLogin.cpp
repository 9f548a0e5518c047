#include "kelmora/masquerade/LineMasqueraderManagerLogin.h"

#include "kelmora/masquerade/LineMasqueraderLogin.h"
#include "zunq/log/Log.h"

class LineMasqueraderManagerLoginImpl
{
public:
    LineMasqueraderManagerLoginImpl(TarvokSession& session, Log& log) : mSession(session), mLog(log) {}

    TarvokSession& mSession;
    Log& mLog;
    std::string mUsername;
    std::string mPassword;
    unsigned long mTimeout = 60;
    bool mAllowSeqNumSetting = false;
    unsigned long mHbInterval = 15;
};

LineMasqueraderManagerLogin::LineMasqueraderManagerLogin(TarvokSession& session, Log& log)
    : LineMasqueraderManagerTcp(session, log), mLoginImpl(std::make_unique<LineMasqueraderManagerLoginImpl>(session, log))
{
}

LineMasqueraderManagerLogin::~LineMasqueraderManagerLogin() = default;

void LineMasqueraderManagerLogin::initialize(LineMasqueraderTcp* connection)
{
    LineMasqueraderManagerLoginImpl& m = *mLoginImpl;
    if (auto* login = dynamic_cast<LineMasqueraderLogin*>(connection))
    {
        login->setLoginUsername(m.mUsername);
        login->setLoginPassword(m.mPassword);
        login->setLoginTimeout(m.mTimeout);
        login->setHeartbeatInterval(m.mHbInterval);
        login->setAllowSeqNumSetting(m.mAllowSeqNumSetting);
    }
    else
    {
        m.mLog.info() << "LineMasqueraderManagerLogin: NOT initializing a new LineMasqueraderLogin";
    }
    LineMasqueraderManagerTcp::initialize(connection);
}

void LineMasqueraderManagerLogin::initListen()
{
    LineMasqueraderManagerLoginImpl& m = *mLoginImpl;
    if (m.mUsername.empty() || m.mPassword.empty())
        m.mLog.warning() << "LineMasqueraderManagerLogin: the login user name or password is empty; clients log in "
                            "with the same empty value";
    LineMasqueraderManagerTcp::initListen();
}

void LineMasqueraderManagerLogin::setLoginUsername(const std::string& user)
{
    mLoginImpl->mUsername = user;
}

void LineMasqueraderManagerLogin::setLoginPassword(const std::string& password)
{
    mLoginImpl->mPassword = password;
}

void LineMasqueraderManagerLogin::setLoginTimeout(unsigned long seconds)
{
    mLoginImpl->mTimeout = seconds;
}

void LineMasqueraderManagerLogin::setHeartbeatInterval(unsigned long seconds)
{
    mLoginImpl->mHbInterval = seconds;
}

void LineMasqueraderManagerLogin::setAllowSeqNumSetting(bool allow)
{
    mLoginImpl->mAllowSeqNumSetting = allow;
}
