#include "kelmora/linehandler/InitLineHandlerLogin.h"

#include "kelmora/linehandler/KeshLoginLineMethods.h"
#include "kelmora/linehandler/LineHandlerModuleSupport.h"
#include "kelmora/runtime/InitModuleError.h"
#include "kelmora/runtime/Module.h"
#include "kelmora/runtime/ModuleList.h"
#include "kelmora/thread/Runnable.h"
#include "kelmora/thread/TarvokSession.h"
#include "zunq/admin/KeshSession.h"
#include "zunq/config/ZunqConfigManager.h"
#include "zunq/log/Log.h"
#include "zunq/time/Time.h"
#include "zunq/time/TimeZone.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <iomanip>
#include <list>
#include <sstream>

InitModule<LineHandlerLogin> initLineHandlerLogin("LineHandlerLogin", 810);

class LogoutTerminator::HopTaker : public OrluSubscriber<Zunq::ThreadData>
{
public:
    explicit HopTaker(LineHandlerLogin& handler)
        : OrluSubscriber<Zunq::ThreadData>("LineHandlerLogin(logout)"), mHandler(handler)
    {
    }
    void onData(const Orlu<Zunq::ThreadData>&, const std::string&, const Zunq::ThreadData& data) override
    {
        if (data.mDataPtr1 == &mHandler)
            mHandler.sendLogout();
    }

private:
    LineHandlerLogin& mHandler;
};

LogoutTerminator::LogoutTerminator(LineHandlerLogin& handler, Log& log)
    : OrluSubscriber<TerminateAll>("LineHandlerLogin(logout)"),
      mHandler(handler),
      mLog(log),
      mHopTaker(std::make_unique<HopTaker>(handler))
{
    if (Runnable* owner = handler.getTarvokSession().getRunnable())
    {
        mHopBus = owner->getOrluThreadData(cThreadDataType);
        mHopBus->subscribe(mHopTaker.get());
    }
}

LogoutTerminator::~LogoutTerminator()
{
    if (mHopBus != nullptr)
        mHopBus->unsubscribe(mHopTaker.get());
}

void LogoutTerminator::onData(const Orlu<TerminateAll>&, const std::string&, const TerminateAll&)
{
    Runnable* owner = mHandler.getTarvokSession().getRunnable();
    Runnable* own = Runnable::current();
    // Outside any framework thread there is no message to carry the call:
    // nothing else runs the line then.
    if (owner == nullptr || mHopBus == nullptr || own == nullptr || own == owner)
    {
        mHandler.sendLogout();
        return;
    }
    Zunq::ThreadData data;
    data.mDataType = cThreadDataType;
    data.mDataPtr1 = &mHandler;
    char dst[17];
    owner->getResourceName(dst);
    const int rc = own->sendThreadMessageByThreadName(dst, data, false);
    if (rc != 0)
        mLog.error() << "LineHandlerLogin(logout): cannot pass the logout of " << mHandler.getName() << " to thread "
                     << dst << ", error " << rc;
}

namespace
{

const char* const cWhere = "InitModule<LineHandlerLogin>";

struct ProcessWide
{
    long seqNum = -1;
    std::string userName, password, ignoreDays;
};

struct Settings
{
    long seqNum = 0;
    std::string userName, password;
    long idleTimeout = 65, heartbeat = 1, loginTimeout = 5;
    std::string resetBegin, resetEnd, actionOnGap, actionOnDup, whenLogin, whenHeartBeats, whenIdleTimeOuts;
    bool logoutAtTermination = false;
    std::string loginPacket;
    bool terminateAllOnLineDown = false;
};

template <typename E>
E choice(const std::string& text, const char* key, E onConnect, E onLogin, E onNever, E onEmpty, bool loginValid)
{
    if (text.empty())
        return onEmpty;
    if (text == "connect")
        return onConnect;
    if (text == "login" && loginValid)
        return onLogin;
    if (text == "never")
        return onNever;
    throw InitModuleError(cWhere, std::string("invalid value for ") + key + text);
}

// A configured time of day in the log: as the core's Time writes it, and
// as local hours:minutes:seconds.
void logTimes(std::ostream& out, const char* label, const std::string& text)
{
    const Time at(text.c_str(), nullptr);
    char local[32] = {};
    if (at.isSet())
        at.strFmt(local, sizeof local, "%T", TimeZone::local());
    out << std::setw(29) << label << at << " UTC\n";
    out << std::setw(29) << label << local << " local\n";
}

void logSettings(Log& log, const Settings& s, bool gapReset, bool dupReset, bool gapReconnect, bool dupReconnect)
{
    std::ostringstream out;
    out << std::left << std::boolalpha << cWhere << ":\n";
    out << std::setw(29) << "    LoginSequenceNumber:" << s.seqNum << "\n";
    out << std::setw(29) << "    LoginUsername:" << s.userName << "\n";
    // The password stays out of log files; only whether one is set shows.
    out << std::setw(29) << "    LoginPassword:" << (s.password.empty() ? "" : "********") << "\n";
    out << std::setw(29) << "    LoginHeartbeatInterval:" << s.heartbeat << "\n";
    out << std::setw(29) << "    LoginTimeoutInterval:" << s.loginTimeout << "\n";
    out << std::setw(29) << "    IdleTimeoutInterval" << s.idleTimeout << "\n";
    logTimes(out, "    LoginResetTimeBegin:", s.resetBegin);
    logTimes(out, "    LoginResetTimeEnd:", s.resetEnd);
    out << "    LoginActionOnGap{reset}: " << gapReset << "\n";
    out << "    LoginActionOnDup{reset}: " << dupReset << "\n";
    out << "    LoginActionOnGap{recon}: " << gapReconnect << "\n";
    out << "    LoginActionOnDup{recon}: " << dupReconnect << "\n";
    out << "    LoginSendLogoutAtTermination: " << s.logoutAtTermination << "\n";
    out << "    LoginTerminateAllOnLineDown: " << s.terminateAllOnLineDown << "\n";
    log.info() << out.str();
}

} // namespace

template <>
bool InitModule<LineHandlerLogin>::createModule(ModuleList* list, ZunqConfigManager* config)
{
    setName("LineHandlerLogin");
    if (list == nullptr || config == nullptr)
        throw InitModuleError(cWhere, "no module list or configuration");
    const std::string defaultGroup = list->defaultGroup();
    auto* log = findModule<Log>(list, "Log", defaultGroup);
    const auto* subFeeds = findModule<std::list<std::string>>(list, "SubFeeds", defaultGroup);
    auto* kesh = findModule<KeshSession>(list, "KeshSession", defaultGroup);
    auto* terminateAll = findModule<Orlu<TerminateAll>>(list, "OrluTerminateAll", defaultGroup);
    if (log == nullptr)
        throw InitModuleError(cWhere, "could not find Log object");

    ProcessWide all;
    all.seqNum = config->getLong("", "--login-sequence-number", -1, true);
    all.userName = config->getString("", "--login-username", "", true);
    all.password = config->getString("", "--login-password", "", true);
    all.ignoreDays = config->getString("IgnoreDayForResetPeriodEnd", "--ignore-day-for-reset-period-end", "", false);
    if (subFeeds == nullptr)
    {
        log->verbose() << cWhere << ": NOT initializing any LineHandlerLogin objects: no SubFeeds defined";
        return true;
    }

    for (const std::string& subFeed : *subFeeds)
    {
        auto* handler = findModule<LineHandlerLogin>(list, "LineHandlerLogin", subFeed);
        auto* gaps = findModule<Orlu<SeqNumGap>>(list, "OrluSeqNumGap", subFeed);
        ZunqConfigManager c(*config);
        c.addConfigBase(subFeed, ZunqConfigManager::ALT_ROOT_OPTIONAL);
        if (!linehandler::listsLineHandlerType(c, "login") || handler == nullptr)
            continue;
        if (gaps == nullptr)
            throw InitModuleError(cWhere, "could not find OrluSeqNumGap object");

        Settings s;
        s.seqNum = all.seqNum >= 0 ? all.seqNum : c.getLong("LoginSequenceNumber", "", 0, false);
        s.userName = !all.userName.empty() ? all.userName : c.getString("LoginUsername", "", "", false);
        s.password = !all.password.empty() ? all.password : c.getString("LoginPassword", "", "", false);
        s.idleTimeout = c.getLong("IdleTimeoutInterval", "--idle-timeout-interval", 65, false);
        s.heartbeat = c.getLong("LoginHeartbeatInterval", "--login-heartbeat-interval", 1, false);
        s.loginTimeout = c.getLong("LoginTimeoutInterval", "--login-timeout-interval", 5, false);
        s.resetBegin = c.getString("LoginResetTimeBegin", "--login-reset-time-begin", "", false);
        s.resetEnd = c.getString("LoginResetTimeEnd", "--login-reset-time-end", "", false);
        s.actionOnGap = c.getString("LoginActionOnGap", "--login-action-on-gap", "reset", false);
        s.actionOnDup = c.getString("LoginActionOnDup", "--login-action-on-dup", "reset", false);
        s.whenLogin = c.getString("LoginWhenToSendLogin", "--login-when-to-send-login", "connect", false);
        s.whenHeartBeats =
            c.getString("LoginWhenToStartHeartBeats", "--login-when-to-start-heart-beats", "login", false);
        s.whenIdleTimeOuts =
            c.getString("LoginWhenToStartIdleTimeOuts", "--login-when-to-start-idle-time-outs", "never", false);
        s.logoutAtTermination =
            c.getBool("LoginSendLogoutAtTermination", "--login-send-logout-at-termination", false, false);
        s.loginPacket = c.getString("LoginPacket", "--login-packet", "", false);
        s.terminateAllOnLineDown =
            c.getBool("LoginTerminateAllOnLineDown", "--login-terminate-all-on-line-down", false, false);

        const bool gapReset = s.actionOnGap.find("reset") != std::string::npos;
        const bool dupReset = s.actionOnDup.find("reset") != std::string::npos;
        const bool gapReconnect = s.actionOnGap.find("reconnect") != std::string::npos;
        const bool dupReconnect = s.actionOnDup.find("reconnect") != std::string::npos;
        using L = LineHandlerLogin;
        const auto whenLogin = choice(s.whenLogin, "LoginWhenToSendLogin", L::LOGIN_AFTER_CONNECT,
                                      L::LOGIN_AFTER_CONNECT, L::LOGIN_NEVER, L::LOGIN_AFTER_CONNECT, false);
        const auto whenHeartBeats =
            choice(s.whenHeartBeats, "LoginWhenToStartHeartBeats", L::START_HB_AFTER_CONNECT, L::START_HB_AFTER_LOGIN,
                   L::START_HB_NEVER, L::START_HB_AFTER_LOGIN, true);
        const auto whenIdleTimeOuts = choice(s.whenIdleTimeOuts, "LoginWhenToStartTimeOuts",
                                             L::START_TIMEOUT_AFTER_CONNECT, L::START_TIMEOUT_AFTER_LOGIN,
                                             L::START_TIMEOUT_NEVER, L::START_TIMEOUT_NEVER, true);
        logSettings(*log, s, gapReset, dupReset, gapReconnect, dupReconnect);
        const std::string where = std::string(cWhere) + "(" + subFeed + ")";
        const auto seqNum = linehandler::boundedSetting(where, "LoginSequenceNumber", s.seqNum, UINT32_MAX);
        const auto heartbeat = linehandler::boundedSetting(where, "LoginHeartbeatInterval", s.heartbeat, LONG_MAX);
        const auto loginTimeout =
            linehandler::boundedSetting(where, "LoginTimeoutInterval", s.loginTimeout, LONG_MAX);
        const auto idleTimeout = linehandler::boundedSetting(where, "IdleTimeoutInterval", s.idleTimeout, LONG_MAX);

        handler->setNextSeqNum(static_cast<std::uint32_t>(seqNum));
        if (!s.userName.empty())
            handler->setUserName(s.userName);
        if (!s.password.empty())
            handler->setPassword(s.password);
        handler->setHeartbeatInterval(heartbeat);
        handler->setLoginTimeoutInterval(loginTimeout);
        handler->setIdleTimeoutInterval(idleTimeout);
        handler->setAutoResetTimesNew(s.resetBegin, s.resetEnd);
        handler->setResetOnGap(gapReset);
        handler->setResetOnDup(dupReset);
        handler->setReconnectOnGap(gapReconnect);
        handler->setReconnectOnDup(dupReconnect);
        handler->setWhenToSendLogin(whenLogin);
        handler->setWhenToStartHeartBeats(whenHeartBeats);
        handler->setWhenToStartIdleTimeOuts(whenIdleTimeOuts);
        handler->setTerminateAllOnLineDown(s.terminateAllOnLineDown);
        if (!all.ignoreDays.empty())
            for (const std::string& token : linehandler::splitText(all.ignoreDays, ' '))
            {
                if (token.size() > 255)
                    break;
                log->info() << "Setting day [" << token << "] to ignore for reset period end";
                handler->setIgnoreDayForResetPeriodEnd(static_cast<int>(std::strtol(token.c_str(), nullptr, 10)));
            }
        if (!s.loginPacket.empty())
        {
            log->info() << "    LoginPacket:             " << s.loginPacket;
            handler->setLoginPacket(s.loginPacket);
        }
        handler->OrluPublisher<SeqNumGap>::setDestination(gaps);
        if (kesh != nullptr)
        {
            kesh->addMethod(new KeshLineReset(*handler));
            kesh->addMethod(new KeshSendLogin(*handler));
            kesh->addMethod(new KeshSendLogout(*handler));
            kesh->addMethod(new KeshSetDaysToIgnorePeriodEnd(*handler));
        }
        if (terminateAll != nullptr && s.logoutAtTermination)
        {
            // Kept by the module list for the life of the process, as its subscription is.
            auto* terminator = new LogoutTerminator(*handler, *log);
            registerModule<LogoutTerminator>(list, "LogoutTerminator", terminator, subFeed);
            terminateAll->subscribe(terminator);
        }
    }
    return true;
}
