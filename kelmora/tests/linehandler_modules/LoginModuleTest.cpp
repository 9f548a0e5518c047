// The login line module from temporary configurations through the process's
// module initializer. A test module at the retransmission client's priority
// plays that client: it registers a login line in every sub-feed that asks
// for one. The module's settings show in what the line does (its login,
// heartbeat and idle time-out starts) and in its getters; the admin methods
// are invoked as the admin interface would; the logout at termination runs
// on the line's own thread on a running framework.
#include "ModuleTestSupport.h"

#include "../host_runnable/SessionThreadSupport.h"

#include "kelmora/linedata/LineDataFactory.h"
#include "kelmora/linedata/LineDataFactoryBasic.h"
#include "kelmora/linehandler/InitLineHandlerLogin.h"
#include "kelmora/thread/TarvokSession.h"

#include <gtest/gtest.h>

#include <mutex>

using namespace modtest;

namespace
{

// A login line that records what it is asked to do instead of doing it.
struct PlayedLogin : LineHandlerLogin
{
    using LineHandlerLogin::LineHandlerLogin;
    void sendLogin() override { add("login"); }
    void sendLogout() override
    {
        Runnable* own = Runnable::current();
        add("logout" + (own != nullptr ? "@" + own->getName() : std::string()));
    }
    void reset(std::uint32_t seqNum) override { add("reset " + std::to_string(seqNum)); }
    void startHeartbeats() override { add("heartbeats"); }
    void startIdleTimeoutTimer() override { add("idle"); }
    void stopLoginTimeoutTimer() override {}
    void add(const std::string& call)
    {
        std::lock_guard lock(mLock);
        mCalls.push_back(call);
    }
    std::vector<std::string> taken()
    {
        std::lock_guard lock(mLock);
        std::vector<std::string> calls;
        calls.swap(mCalls);
        return calls;
    }
    // The days on which the reset period does not end, as digits.
    std::string ignoredDays() const
    {
        std::string days;
        for (int d = 0; d < 7; ++d)
            if (isIgnoreDayForResetPeriodEnd(d))
                days += std::to_string(d);
        return days;
    }
    std::mutex mLock;
    std::vector<std::string> mCalls;
};

} // namespace

// Plays the retransmission client: a login line in each sub-feed whose
// PlayLoginLine is set, registered under the names that client uses.
struct PlayedLoginClient
{
};

template <>
bool InitModule<PlayedLoginClient>::createModule(ModuleList* list, ZunqConfigManager* config)
{
    const auto* subFeeds = findModule<std::list<std::string>>(list, "SubFeeds", list->defaultGroup());
    Log* log = findModule<Log>(list, "Log", list->defaultGroup());
    if (subFeeds == nullptr || log == nullptr)
        return false;
    for (const std::string& subFeed : *subFeeds)
    {
        ZunqConfigManager c(*config);
        c.addConfigBase(subFeed, ZunqConfigManager::ALT_ROOT_OPTIONAL);
        if (!c.getBool("PlayLoginLine", "", false) || findModule<LineHandler>(list, "LineHandler", subFeed) != nullptr)
            continue;
        auto* line = new PlayedLogin(*findModule<LineDataFactory>(list, "LineDataFactory", subFeed),
                                     *findModule<TarvokSession>(list, "TarvokSession", subFeed), *log);
        line->setName("login." + subFeed);
        registerModule<LineHandlerLogin>(list, "LineHandlerLogin", line, subFeed);
        registerModule<LineHandlerTcp>(list, "LineHandlerTcp", line, subFeed);
        registerModule<LineHandler>(list, "LineHandler", line, subFeed);
    }
    return true;
}

InitModule<PlayedLoginClient> playedLoginClient("PlayedLoginClient", 802);

namespace
{

class LoginStartUp : public StartUp
{
protected:
    PlayedLogin& line(const std::string& subFeed) const
    {
        return *dynamic_cast<PlayedLogin*>(findModule<LineHandlerLogin>(mUsed, "LineHandlerLogin", subFeed));
    }
};

TEST_F(LoginStartUp, EachLoginLineGetsItsSettingsAndAdminMethods)
{
    start({"A", "B", "C"},
          "<IgnoreDayForResetPeriodEnd>0 6 9</IgnoreDayForResetPeriodEnd>"
          "<A><PlayLoginLine>true</PlayLoginLine><LineHandlerType>tcp</LineHandlerType>"
          "<LineHandlerType>LOGIN</LineHandlerType>"
          "<LoginSequenceNumber>77</LoginSequenceNumber><LoginUsername>ops</LoginUsername>"
          "<LoginPassword>s3cr3t</LoginPassword><LoginActionOnGap>reset, then reconnect</LoginActionOnGap>"
          "<LoginActionOnDup>ignore</LoginActionOnDup><LoginWhenToSendLogin>never</LoginWhenToSendLogin>"
          "<LoginWhenToStartHeartBeats>connect</LoginWhenToStartHeartBeats>"
          "<LoginWhenToStartIdleTimeOuts>login</LoginWhenToStartIdleTimeOuts>"
          "<LoginHeartbeatInterval>4</LoginHeartbeatInterval><LoginPacket>HELLO</LoginPacket></A>"
          "<B><PlayLoginLine>true</PlayLoginLine><LineHandlerType>login</LineHandlerType>"
          "<LoginWhenToSendLogin></LoginWhenToSendLogin><LoginWhenToStartIdleTimeOuts>connect"
          "</LoginWhenToStartIdleTimeOuts></B>"
          "<C><PlayLoginLine>true</PlayLoginLine><LineHandlerType>tcp</LineHandlerType>"
          "<LoginSequenceNumber>5</LoginSequenceNumber></C>");

    // What each line does on connecting and on its logon.
    const struct
    {
        const char* subFeed;
        std::vector<std::string> onConnect, onLogin;
        std::uint32_t seqNum;
        bool gapReset, gapReconnect, dupReset, dupReconnect;
        std::string days, gaps;
    } lines[] = {
        {"A", {"heartbeats"}, {"idle"}, 77, true, true, false, false, "06", "SeqNumGap.A"},
        {"B", {"login", "idle"}, {"heartbeats"}, 0, true, false, true, false, "06", "SeqNumGap.B"},
        // Not a login sub-feed: left as its module made it.
        {"C", {"login"}, {"heartbeats"}, 0, true, false, true, false, "", ""},
    };
    for (const auto& l : lines)
    {
        SCOPED_TRACE(l.subFeed);
        PlayedLogin& h = line(l.subFeed);
        h.onTcpConnect();
        EXPECT_EQ(h.taken(), l.onConnect);
        h.onLogin();
        EXPECT_EQ(h.taken(), l.onLogin);
        EXPECT_EQ(h.getNextSeqNum(), l.seqNum);
        EXPECT_EQ(h.getResetOnGap(), l.gapReset);
        EXPECT_EQ(h.getReconnectOnGap(), l.gapReconnect);
        EXPECT_EQ(h.getResetOnDup(), l.dupReset);
        EXPECT_EQ(h.getReconnectOnDup(), l.dupReconnect);
        EXPECT_EQ(h.ignoredDays(), l.days);
        EXPECT_EQ(h.OrluPublisher<SeqNumGap>::getOrluName(), l.gaps);
    }
    EXPECT_EQ(line("A").getUserName(), "ops");
    EXPECT_EQ(line("A").getPassword(), "s3cr3t");
    EXPECT_EQ(line("A").getHeartbeatInterval(), 4u);
    EXPECT_EQ(line("B").getHeartbeatInterval(), 1u);
    EXPECT_EQ(mSink.count("Setting day [9] to ignore for reset period end"), 2);
    EXPECT_EQ(mSink.count("    LoginPacket:             HELLO"), 1);
    // The TCP module leaves the client's line alone.
    EXPECT_EQ(mSink.count("InitModule<LineHandlerTcp>(A): found a LineHandlerTcp another module registered"), 1);
    EXPECT_TRUE(gTcpRegistered.empty());
    // The password never reaches the log.
    EXPECT_EQ(mSink.count("s3cr3t"), 0);
    EXPECT_EQ(mSink.count("InitModule<LineHandlerLogin>:\n"
                          "    LoginSequenceNumber:     77\n"
                          "    LoginUsername:           ops\n"
                          "    LoginPassword:           ********\n"
                          "    LoginHeartbeatInterval:  4\n"
                          "    LoginTimeoutInterval:    5\n"
                          "    IdleTimeoutInterval      65\n"),
              1);
    EXPECT_EQ(mSink.count("    LoginActionOnGap{reset}: true\n"
                          "    LoginActionOnDup{reset}: false\n"
                          "    LoginActionOnGap{recon}: true\n"
                          "    LoginActionOnDup{recon}: false\n"
                          "    LoginSendLogoutAtTermination: false\n"
                          "    LoginTerminateAllOnLineDown: false\n"),
              1);

    // The admin methods, one set per configured line in the general session;
    // the first set is A's.
    const std::vector<std::string> set = {"lineReset", "sendLogin", "sendLogout",
                                          "setDaysToIgnoreLoginResetPeriodEnd"};
    std::vector<std::string> two = set;
    two.insert(two.end(), set.begin(), set.end());
    EXPECT_EQ(methods(mUsed->defaultGroup(),
                      [&](const std::string& m) { return std::find(set.begin(), set.end(), m) != set.end(); }),
              two);
    const std::string reset = "Reset requested; check the log file.";
    const std::string days = "Days specified will not have their end of reset period.";
    using Args = std::vector<std::pair<std::string, std::string>>;
    const struct
    {
        const char* method;
        Args args;
        std::string result;
        std::vector<std::string> calls;
        std::string days;
    } invocations[] = {
        {"lineReset", {}, reset, {"reset 1"}, "06"},
        {"lineReset", {{"SeqNum", "500"}}, reset, {"reset 500"}, "06"},
        {"lineReset", {{"n", "42"}}, reset, {"reset 42"}, "06"},
        {"lineReset", {{"SeqNum", "4294967295"}}, reset, {"reset 4294967295"}, "06"},
        {"lineReset", {{"SeqNum", "4294967296"}}, "usage", {}, "06"},
        {"lineReset", {{"SeqNum", "abc"}}, "usage", {}, "06"},
        {"lineReset", {{"SeqNum", "1"}, {"x", "2"}}, "usage", {}, "06"},
        {"sendLogin", {}, "Login sent; check the log file.", {"login"}, "06"},
        {"sendLogin", {{"now", "1"}}, "usage", {}, "06"},
        {"sendLogout", {}, "Logout sent; check the log file.", {"logout"}, "06"},
        {"sendLogout", {{"now", "1"}}, "usage", {}, "06"},
        {"setDaysToIgnoreLoginResetPeriodEnd", {{"Days", "1 2"}}, days, {}, "12"},
        {"setDaysToIgnoreLoginResetPeriodEnd", {{"Days", "0 6"}}, days, {}, "06"},
        {"setDaysToIgnoreLoginResetPeriodEnd", {{"Days", "3"}, {"Days", "4 9"}}, days, {}, "34"},
        {"setDaysToIgnoreLoginResetPeriodEnd", {{"Days", "5 x"}}, "usage", {}, "34"},
        {"setDaysToIgnoreLoginResetPeriodEnd", {}, "usage", {}, "34"},
    };
    for (const auto& i : invocations)
    {
        SCOPED_TRACE(std::string(i.method) + " " + std::to_string(i.args.size()));
        EXPECT_EQ(invoke(mUsed->defaultGroup(), i.method, i.args), i.result);
        EXPECT_EQ(line("A").taken(), i.calls);
        EXPECT_EQ(line("A").ignoredDays(), i.days);
    }
}

TEST_F(LoginStartUp, CommandLineCredentialsAndSequenceNumberWin)
{
    start({"A", "B"},
          "<A><PlayLoginLine>true</PlayLoginLine><LineHandlerType>login</LineHandlerType>"
          "<LoginSequenceNumber>77</LoginSequenceNumber><LoginUsername>ops</LoginUsername></A>"
          "<B><PlayLoginLine>true</PlayLoginLine><LineHandlerType>login</LineHandlerType>"
          "<LoginPassword>mine</LoginPassword></B>",
          {"--login-sequence-number", "0", "--login-password", "theirs"});
    EXPECT_EQ(line("A").getNextSeqNum(), 0u);
    EXPECT_EQ(line("A").getUserName(), "ops");
    EXPECT_EQ(line("A").getPassword(), "theirs");
    EXPECT_EQ(line("B").getPassword(), "theirs");
}

// ---- errors and the logout at termination on module lists built by hand

class LoginErrors : public ScriptedNet
{
protected:
    struct Parts
    {
        explicit Parts(Log& log) : factory("records", log) {}
        Groups subFeeds{"A"};
        TarvokSession session;
        Orlu<SeqNumGap> gaps{"SeqNumGap.A", "A"};
        Orlu<TerminateAll> terminate{"TerminateAll", ""};
        KeshSession kesh;
        LineDataFactoryBasic factory;
        std::unique_ptr<PlayedLogin> line;
    };

    // Kept for the whole test: the module list refers to them.
    Parts& parts(TarvokSession* session = nullptr)
    {
        Parts& p = *mParts.emplace_back(std::make_unique<Parts>(mLog));
        p.line = std::make_unique<PlayedLogin>(p.factory, session != nullptr ? *session : p.session, mLog);
        p.line->setName("login.A");
        return p;
    }

    // TerminateAll published on the list's channel, from the calling thread.
    static void terminate(Parts& p)
    {
        OrluPublisher<TerminateAll> publisher("test");
        publisher.setDestination(&p.terminate);
        publisher.publish(TerminateAll("test"));
    }

    std::string error(Parts& p, const std::set<std::string>& omit, const std::string& xml,
                      std::vector<std::string> args = {})
    {
        ModuleList& l = keptModuleList();
        auto add = [&](const std::string& name, auto* module, const std::string& group) {
            if (omit.count(name) == 0)
                registerModule(&l, name, module, group);
        };
        add("Log", &mLog, "default");
        add("SubFeeds", &p.subFeeds, "default");
        add("KeshSession", &p.kesh, "default");
        add("OrluTerminateAll", &p.terminate, "default");
        add("LineHandlerLogin", static_cast<LineHandlerLogin*>(p.line.get()), "A");
        add("OrluSeqNumGap", &p.gaps, "A");
        try
        {
            InitModule<LineHandlerLogin>().createModule(&l, &config(xml, std::move(args)));
        }
        catch (const std::invalid_argument& e)
        {
            return e.what();
        }
        return "";
    }

    std::vector<std::unique_ptr<Parts>> mParts;
};

TEST_F(LoginErrors, BadSettingsAndMissingModulesEndStartUp)
{
    auto login = [](const std::string& more) { return "<A><LineHandlerType>login</LineHandlerType>" + more + "</A>"; };
    const std::string at = "InitModule<LineHandlerLogin>: ";
    const struct
    {
        std::set<std::string> omit;
        std::string xml, error;
    } cases[] = {
        {{}, login(""), ""},
        {{"Log"}, login(""), at + "could not find Log object"},
        {{"OrluSeqNumGap"}, login(""), at + "could not find OrluSeqNumGap object"},
        // Nothing to configure: the channel is not needed.
        {{"OrluSeqNumGap", "LineHandlerLogin"}, login(""), ""},
        {{"OrluSeqNumGap"}, "<A><LineHandlerType>tcp</LineHandlerType></A>", ""},
        {{"SubFeeds", "OrluSeqNumGap"}, login(""), ""},
        {{}, login("<LoginWhenToSendLogin>login</LoginWhenToSendLogin>"),
         at + "invalid value for LoginWhenToSendLoginlogin"},
        {{}, login("<LoginWhenToSendLogin>Connect</LoginWhenToSendLogin>"),
         at + "invalid value for LoginWhenToSendLoginConnect"},
        {{}, login("<LoginWhenToStartHeartBeats>always</LoginWhenToStartHeartBeats>"),
         at + "invalid value for LoginWhenToStartHeartBeatsalways"},
        {{}, login("<LoginWhenToStartIdleTimeOuts>Never</LoginWhenToStartIdleTimeOuts>"),
         at + "invalid value for LoginWhenToStartTimeOutsNever"},
        {{}, login("<LoginSequenceNumber>-2</LoginSequenceNumber>"),
         "InitModule<LineHandlerLogin>(A): LoginSequenceNumber must be from 0 to 4294967295"},
        {{}, login("<LoginSequenceNumber>4294967296</LoginSequenceNumber>"),
         "InitModule<LineHandlerLogin>(A): LoginSequenceNumber must be from 0 to 4294967295"},
        {{}, login("<LoginHeartbeatInterval>-1</LoginHeartbeatInterval>"),
         "InitModule<LineHandlerLogin>(A): LoginHeartbeatInterval must be from 0 to 9223372036854775807"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.xml + " without " + (c.omit.empty() ? "nothing" : *c.omit.begin()));
        EXPECT_EQ(error(parts(), c.omit, c.xml), c.error);
    }
}

TEST_F(LoginErrors, TerminationSendsTheLogoutOnlyWhenAsked)
{
    const struct
    {
        std::string xml;
        std::set<std::string> omit;
        std::vector<std::string> calls;
    } cases[] = {
        {"<LoginSendLogoutAtTermination>true</LoginSendLogoutAtTermination>", {}, {"logout"}},
        {"", {}, {}},
        {"<LoginSendLogoutAtTermination>true</LoginSendLogoutAtTermination>", {"OrluTerminateAll"}, {}},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.xml);
        Parts& p = parts();
        ASSERT_EQ(error(p, c.omit, "<A><LineHandlerType>login</LineHandlerType>" + c.xml + "</A>"), "");
        terminate(p);
        EXPECT_EQ(p.line->taken(), c.calls);
    }
}

TEST_F(LoginErrors, TheLogoutAtTerminationRunsOnTheLinesOwnThread)
{
    hostrun::Host host;
    hostrun::Thread<> owner(host, "LOGINLINE");
    hostrun::SessionScript script(host);
    script.serve(owner);
    Parts& p = parts(&owner.session);
    ASSERT_EQ(error(p, {}, "<A><LineHandlerType>login</LineHandlerType>"
                           "<LoginSendLogoutAtTermination>true</LoginSendLogoutAtTermination></A>"),
              "");
    std::vector<std::string> calls;
    ASSERT_TRUE(script.run([&] {
        terminate(p);
        EXPECT_TRUE(hostrun::waitOnSession(owner.session, [&] {
            std::lock_guard lock(p.line->mLock);
            return !p.line->mCalls.empty();
        }));
        calls = p.line->taken();
    }));
    EXPECT_EQ(calls, (std::vector<std::string>{"logout@LOGINLINE"}));
    // Before the thread it runs on goes.
    p.line.reset();
}

} // namespace
