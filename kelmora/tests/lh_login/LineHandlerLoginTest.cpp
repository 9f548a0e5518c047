// The login line handler on scripted framework calls, with its timers'
// expiries delivered by the test: the "when" settings, the idle time-out and
// its line probe, sequence number checks and their actions, resets, the
// login packet, the replay at the first connect, and the daily reset window
// on a fixed clock.
#include "../lh_tcp/TcpTestSupport.h"

#include "kelmora/linehandler/LineHandlerLogin.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <fstream>

using namespace tcptest;

namespace
{
LineHandlerLogin::LocalTime gNow{1, 12 * 3600};

int at(int h, int m, int s = 0)
{
    return h * 3600 + m * 60 + s;
}

// A login line whose subclass parts are the test's: a heartbeat packet, a
// line probe, and the timer handlers within reach.
struct TestLogin : LineHandlerLogin
{
    TestLogin(LineDataFactory& f, TarvokSession& s, Log& l) : LineHandlerLogin(f, s, l)
    {
        setLocalClock([] { return gNow; });
    }
    void createHeartbeatPacket(char* buffer, int& length) override
    {
        if (ownHeartbeat)
        {
            std::memcpy(buffer, "PING", 4);
            length = 4;
        }
        else
            LineHandlerLogin::createHeartbeatPacket(buffer, length);
    }
    bool checkLine() override
    {
        ++probes;
        return probe;
    }
    void idleTick() { idleTimeoutTimerHandler().onTimer(nullptr); }
    void heartbeatTick() { heartbeatTimerHandler().onTimer(nullptr); }
    void loginTimeout() { loginTimeoutTimerHandler().onTimer(nullptr); }
    void resetCheck() { resetTimerHandler().onTimer(nullptr); }

    bool ownHeartbeat = false;
    bool probe = false;
    int probes = 0;
};

struct Login : ::testing::Test, ScriptedLine<TestLogin>
{
    Login() : ScriptedLine<TestLogin>("LHLOGIN")
    {
        gNow = {1, at(12, 0)};
        char pattern[] = "/tmp/lh_login_XXXXXX";
        dir = ::mkdtemp(pattern);
    }
    ~Login() override
    {
        handler.reset();
        std::remove((dir + "/line.rec").c_str());
        ::rmdir(dir.c_str());
    }
    TestLogin& line()
    {
        TestLogin& h = make("LOGIN", 1);
        h.setUseRecoveryFile(false);
        h.setWhenToSendLogin(LineHandlerLogin::LOGIN_AFTER_CONNECT);
        h.setWhenToStartHeartBeats(LineHandlerLogin::START_HB_AFTER_LOGIN);
        h.setWhenToStartIdleTimeOuts(LineHandlerLogin::START_TIMEOUT_NEVER);
        h.OrluPublisher<SeqNumGap>::setDestination(&gaps.channel);
        return h;
    }
    void writeRecords(int n)
    {
        std::ofstream out(dir + "/line.rec");
        for (int i = 1; i <= n; ++i)
        {
            char header[32];
            std::snprintf(header, sizeof header, "%6u%10u", 4u, static_cast<unsigned>(i));
            out << header << "rec\n";
        }
    }
    long fileSize() const
    {
        struct stat st{};
        return ::stat((dir + "/line.rec").c_str(), &st) == 0 ? st.st_size : -1;
    }
    int bounces() const { return host.sink.count("LineHandler::bounceLine: "); }

    std::string dir;
    lhtest::Recorder<SeqNumGap> gaps{events, [](const SeqNumGap& g) {
                                         return "gap:" + std::to_string(g.begin()) + "-" + std::to_string(g.end());
                                     }};
};
} // namespace

TEST_F(Login, WhenSettingsChooseWhatStartsAtConnectAndAtLogon)
{
    using L = LineHandlerLogin;
    struct Case
    {
        L::WhenToSendLogin login;
        L::WhenToStartHeartBeats hb;
        L::WhenToStartIdleTimeOuts idle;
        // After connect, then after the logon: login sent, heartbeats, idle time-out.
        bool loginSent, hbAtConnect, idleAtConnect, hbAtLogon, idleAtLogon;
    };
    const Case cases[] = {
        {L::LOGIN_AFTER_CONNECT, L::START_HB_AFTER_CONNECT, L::START_TIMEOUT_AFTER_CONNECT, true, true, true, true, true},
        {L::LOGIN_AFTER_CONNECT, L::START_HB_AFTER_LOGIN, L::START_TIMEOUT_AFTER_LOGIN, true, false, false, true, true},
        {L::LOGIN_NEVER, L::START_HB_NEVER, L::START_TIMEOUT_NEVER, false, false, false, false, false},
        {L::LOGIN_NEVER, L::START_HB_AFTER_CONNECT, L::START_TIMEOUT_AFTER_LOGIN, false, true, false, true, true},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::to_string(c.login) + "/" + std::to_string(c.hb) + "/" + std::to_string(c.idle));
        TestLogin& h = line();
        h.setLoginPacket("LOGIN");
        h.setHeartbeatInterval(1);
        h.setIdleTimeoutInterval(65);
        h.setWhenToSendLogin(c.login);
        h.setWhenToStartHeartBeats(c.hb);
        h.setWhenToStartIdleTimeOuts(c.idle);
        h.setSeqNumOut(9);
        host.sink.clear();
        gScript.sent.clear();
        connectNow();
        const char* idleStarted = "LineHandlerLogin::startIdleTimeoutTimer() starting timeout timer 65 seconds";
        EXPECT_EQ(gScript.sent, c.loginSent ? "LOGIN" : "");
        EXPECT_EQ(host.sink.count("LineHandlerLogin::startLoginTimeoutTimer() starting timeout timer 5 seconds"),
                  c.loginSent ? 1 : 0);
        EXPECT_EQ(h.heartbeatsActive(), c.hbAtConnect);
        EXPECT_EQ(host.sink.count(idleStarted), c.idleAtConnect ? 1 : 0);
        EXPECT_EQ(h.getSeqNumOut(), 0u);
        h.onLogin();
        EXPECT_EQ(host.sink.count("LineHandlerLogin::stopLoginTimeoutTimer() stop timeout timer"), c.loginSent ? 1 : 0);
        EXPECT_EQ(h.heartbeatsActive(), c.hbAtLogon);
        EXPECT_EQ(host.sink.count(idleStarted), (c.idleAtConnect ? 1 : 0) + (c.idle == L::START_TIMEOUT_AFTER_LOGIN));
        // A disconnect stops heartbeats only.
        h.disconnect();
        EXPECT_FALSE(h.heartbeatsActive());
    }
}

TEST_F(Login, IdleTimeOutFiresOnTheTickAfterTheIntervalAndAMessageRestartsTheCount)
{
    TestLogin& h = line();
    h.setIdleTimeoutInterval(65);
    connectNow();
    auto ticks = [&](int n) {
        for (int i = 0; i < n; ++i)
            h.idleTick();
    };
    ticks(65);
    EXPECT_EQ(bounces(), 0);
    h.addMsgCount(1); // a message at the 66th tick
    ticks(1);
    ticks(65);
    EXPECT_EQ(bounces(), 0);
    ticks(1);
    EXPECT_EQ(host.sink.count("LineHandler::bounceLine: detected idle timeout"), 1);
    EXPECT_EQ(host.sink.count("IdleTimeout::onTimer() line timeout: no message received in last 65 seconds",
                              LOG_LEVEL_ERROR),
              1);
    EXPECT_EQ(h.probes, 1); // the base probe declines
}

TEST_F(Login, ALineProbeGetsOneMoreSecond)
{
    struct Case
    {
        bool messageDuringProbe;
        int bounces;
    };
    for (const Case c : {Case{false, 1}, Case{true, 0}})
    {
        SCOPED_TRACE(c.messageDuringProbe);
        TestLogin& h = line();
        h.probe = true;
        h.setIdleTimeoutInterval(2);
        host.sink.clear();
        for (int i = 0; i < 3; ++i)
            h.idleTick();
        EXPECT_EQ(host.sink.count("no message received in last 2 seconds.  Testing line.", LOG_LEVEL_WARNING), 1);
        EXPECT_EQ(bounces(), 0);
        if (c.messageDuringProbe)
            h.addMsgCount(1);
        h.idleTick();
        EXPECT_EQ(bounces(), c.bounces);
    }
}

TEST_F(Login, LogonTimeOutBouncesAndAZeroIntervalStartsNoTimer)
{
    TestLogin& h = line();
    h.setLoginPacket("L");
    h.setLoginTimeoutInterval(0);
    connectNow();
    EXPECT_EQ(gScript.sent, "L");
    EXPECT_EQ(host.sink.count("LineHandlerLogin::startLoginTimeoutTimer() timeout interval 0"), 1);
    h.loginTimeout();
    EXPECT_EQ(host.sink.count("LoginTimeout::onTimer() logon response timeout", LOG_LEVEL_ERROR), 1);
    EXPECT_EQ(host.sink.count("LineHandler::bounceLine: logon response timeout"), 1);
    EXPECT_FALSE(h.connected());
}

TEST_F(Login, HeartbeatsSendTheSubclassPacketOnly)
{
    for (bool own : {false, true})
    {
        SCOPED_TRACE(own);
        TestLogin& h = line();
        h.ownHeartbeat = own;
        connectNow();
        gScript.sent.clear();
        h.heartbeatTick();
        h.heartbeatTick();
        EXPECT_EQ(gScript.sent, own ? "PINGPING" : "");
        gScript.sent.clear();
        h.sendLogout(); // the base logout packet is empty
        EXPECT_EQ(gScript.sent, "");
    }
}

TEST_F(Login, SequenceNumberChecks)
{
    struct Case
    {
        std::uint32_t received, expected;
        bool reconnectOnGap;
        bool result;
        std::vector<std::string> published;
        int bounces;
    };
    const std::vector<Case> cases = {
        {5, 3, false, true, {"gap:3-4", "event:reset"}, 0},
        {5, 3, true, false, {"gap:3-4", "event:reset"}, 1},
        {2, 5, false, false, {"event:reset"}, 0},
        {0, 5, false, true, {}, 0},
        {7, 0, false, true, {}, 0},
        {5, 5, false, true, {}, 0},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::to_string(c.received) + " for " + std::to_string(c.expected));
        TestLogin& h = line();
        h.setReconnectOnGap(c.reconnectOnGap);
        h.setSeqNum(40);
        h.setNextSeqNum(41);
        events.clear();
        host.sink.clear();
        EXPECT_EQ(h.checkSeqNum(c.received, c.expected), c.result);
        std::vector<std::string> published = only("gap:");
        for (const std::string& e : only("event:"))
            published.push_back(e);
        EXPECT_EQ(published, c.published);
        EXPECT_EQ(bounces(), c.bounces);
    }
    EXPECT_EQ(host.sink.count("LineHandlerLogin: sequence number gap: 3-4", LOG_LEVEL_ERROR), 0); // last case
}

TEST_F(Login, DuplicateActions)
{
    struct Case
    {
        bool reset, reconnect;
        std::uint32_t seq, next;
        int resets, bounces;
    };
    const Case cases[] = {
        {true, false, 2, 3, 1, 0},
        {true, true, 0, 1, 1, 1},
        {false, true, 0, 1, 0, 1},
        {false, false, 40, 41, 0, 0},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::to_string(c.reset) + std::to_string(c.reconnect));
        TestLogin& h = line();
        h.setResetOnDup(c.reset);
        h.setReconnectOnDup(c.reconnect);
        h.setSeqNum(40);
        h.setNextSeqNum(41);
        events.clear();
        host.sink.clear();
        EXPECT_FALSE(h.checkSeqNum(2, 5));
        EXPECT_EQ(h.getSeqNum(), c.seq);
        EXPECT_EQ(h.getNextSeqNum(), c.next);
        EXPECT_EQ(only("event:reset").size(), static_cast<std::size_t>(c.resets));
        EXPECT_EQ(host.sink.count("LineHandler::bounceLine: duplicate"), c.bounces);
        EXPECT_EQ(host.sink.count("LineHandlerLogin: duplicate sequence number: 2 (expected 5)", LOG_LEVEL_ERROR), 1);
    }
}

TEST_F(Login, ResetToOneStartsTheRecoveryFileAgainAndNeverEndsTheProcess)
{
    for (std::uint32_t seq : {1u, 100u})
    {
        SCOPED_TRACE(seq);
        TestLogin& h = line();
        h.setUseRecoveryFile(true);
        h.setRecoveryFile(dir + "/line.rec");
        h.setTerminateAllOnLineDown(true);
        writeRecords(3);
        connectNow();
        h.setLoggedIn(true);
        events.clear();
        h.reset(seq);
        EXPECT_FALSE(h.connected());
        EXPECT_FALSE(h.getLoggedIn());
        EXPECT_EQ(h.getNextSeqNum(), seq);
        EXPECT_EQ(only("event:"), std::vector<std::string>{"event:reset"});
        EXPECT_EQ(only("terminate"), std::vector<std::string>{});
        EXPECT_EQ(only("status:"), std::vector<std::string>{"status:off"});
        EXPECT_EQ(fileSize(), seq == 1 ? 0 : 3 * 20);
    }
    // The same line going down for a fault does end the process.
    events.clear();
    handler->lineDown("fault", LineStatus::DOWN, true);
    EXPECT_EQ(only("terminate"), std::vector<std::string>{"terminate"});
}

TEST_F(Login, LoginPacketIsCutToTheBufferAndNeverLogged)
{
    TestLogin& h = line();
    host.log.setVerbose(true);
    const std::string secret(10000, 's');
    h.setLoginPacket(secret);
    connectNow();
    EXPECT_EQ(gScript.sent, secret.substr(0, 9998));
    EXPECT_EQ(host.sink.count("LineHandlerLoginImpl::sendLogin() Login req = (9998 bytes)"), 1);
    EXPECT_EQ(host.sink.count("ssssssss"), 0);
    host.log.setVerbose(false);
}

// Off the framework the replay's first batch signal cannot be sent, so the
// replay is seen starting (the file opened) and then giving way to a connect.
TEST_F(Login, FirstConnectReplaysTheRecoveryFileLaterOnesConnect)
{
    struct Case
    {
        bool useFile;
        std::uint32_t next;
        bool replays;
    };
    const Case cases[] = {{true, 0, true}, {true, 7, false}, {false, 0, false}};
    const char* opened = "LineHandler::readRecoveryFile(): opening recovery file";
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::to_string(c.useFile) + " " + std::to_string(c.next));
        TestLogin& h = line();
        writeRecords(3);
        h.setUseRecoveryFile(c.useFile);
        h.setRecoveryFile(dir + "/line.rec");
        h.setNextSeqNum(c.next);
        host.sink.clear();
        h.connect();
        EXPECT_EQ(host.sink.count(opened), c.replays ? 1 : 0);
        EXPECT_FALSE(h.getFirstTry());
        host.sink.clear();
        h.connect();
        EXPECT_EQ(host.sink.count(opened), 0);
        EXPECT_EQ(host.sink.count("connect timer ("), 1);
    }
}

TEST_F(Login, ResetWindowHoldsTheLineBetweenItsTimes)
{
    struct Case
    {
        const char* begin;
        const char* end;
        int now;
        bool held;
    };
    const Case cases[] = {
        {"23:00:00", "01:00:00", at(23, 30), true},  {"23:00:00", "01:00:00", at(0, 30), true},
        {"23:00:00", "01:00:00", at(1, 0), false},   {"23:00:00", "01:00:00", at(22, 59), false},
        {"08:00:00", "09:00:00", at(8, 0), false},   {"08:00:00", "09:00:00", at(8, 0, 1), true},
        {"08:00:00", "09:00:00", at(9, 0), false},   {"08:00", "09:00", at(8, 30), true},
        {"08:00:00", "08:00:00", at(8, 0, 1), false}, {"8:00", "09:00", at(8, 30), false},
        {"08:00:00", "24:00:00", at(8, 30), false},  {"08:60", "09:00", at(8, 30), false},
        {"08:00:00x", "09:00", at(8, 30), false},    {"", "", at(8, 30), false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::string(c.begin) + "-" + c.end + " at " + std::to_string(c.now));
        TestLogin& h = line();
        gNow = {3, c.now};
        host.sink.clear();
        h.setAutoResetTimesNew(c.begin, c.end);
        EXPECT_EQ(h.inResetPeriod(), c.held);
        const bool valid = LineHandlerLogin::parseTimeOfDay(c.begin) >= 0 &&
                           LineHandlerLogin::parseTimeOfDay(c.end) >= 0 && std::string(c.begin) != c.end;
        EXPECT_EQ(host.sink.count("LineHandlerLogin::SetAutoResetTimes(): invalid time parameter(s) provided"),
                  valid ? 0 : 1);
    }
}

TEST_F(Login, ResetWindowFromTimesTakesTheirTimesOfDay)
{
    struct Case
    {
        const char* begin;
        const char* end;
        int now;
        bool valid, held;
    };
    const Case cases[] = {
        {"23:00:00", "01:00:00", at(0, 30), true, true},
        {"23:00:00", "01:00:00", at(1, 0), true, false},
        {"2026-03-02 08:00:00", "2026-03-02 09:00:00", at(8, 30), true, true},
        // Different days, one time of day: an empty window.
        {"2026-03-02 08:00:00", "2026-03-05 08:00:00", at(8, 30), false, false},
        {"08:00", "08:00:00", at(8, 30), false, false},
        {"", "09:00:00", at(8, 30), false, false},
        {"2026-03-02", "09:00:00", at(8, 30), false, false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::string(c.begin) + "-" + c.end);
        TestLogin& h = line();
        gNow = {3, c.now};
        host.sink.clear();
        h.setAutoResetTimes(Time(c.begin, nullptr), Time(c.end, nullptr));
        EXPECT_EQ(h.inResetPeriod(), c.held);
        EXPECT_EQ(host.sink.count("LineHandlerLogin::SetAutoResetTimes(): invalid time parameter(s) provided",
                                  LOG_LEVEL_WARNING),
                  c.valid ? 0 : 1);
    }
}

TEST_F(Login, EnteringTheWindowResetsTheLineAndLeavingItReconnects)
{
    TestLogin& h = line();
    h.setUseRecoveryFile(true);
    h.setRecoveryFile(dir + "/line.rec");
    h.setTerminateAllOnLineDown(true);
    h.setNextSeqNum(50);
    h.setFirstTry(false);
    connectNow();
    events.clear();
    gNow = {2, at(8, 30)};
    h.setAutoResetTimesNew("08:00:00", "09:00:00");
    EXPECT_TRUE(h.inResetPeriod());
    EXPECT_FALSE(h.connected());
    EXPECT_TRUE(h.isStopped());
    EXPECT_EQ(h.getNextSeqNum(), 1u);
    EXPECT_EQ(h.getConnectAttemptCount(), 0);
    EXPECT_EQ(events, (std::vector<std::string>{"status:off", "event:reset", "event:loginresetbegin"}));

    // Held: connect does nothing.
    host.sink.clear();
    h.connect();
    EXPECT_EQ(host.sink.count("connect timer ("), 0);

    events.clear();
    gNow = {2, at(9, 0)};
    h.resetCheck();
    EXPECT_FALSE(h.inResetPeriod());
    EXPECT_FALSE(h.isStopped());
    EXPECT_EQ(events, std::vector<std::string>{"status:wait"});
    EXPECT_EQ(host.sink.count("creating connect timer"), 1);
}

TEST_F(Login, IgnoredDayKeepsTheLineHeldUntilTheNextDay)
{
    TestLogin& h = line();
    h.setIgnoreDayForResetPeriodEnd(0);
    h.setIgnoreDayForResetPeriodEnd(7);
    h.setIgnoreDayForResetPeriodEnd(-1);
    EXPECT_TRUE(h.isIgnoreDayForResetPeriodEnd(0));
    for (int day : {1, 6, 7, -1, 9})
        EXPECT_FALSE(h.isIgnoreDayForResetPeriodEnd(day)) << day;
    gNow = {6, at(23, 30)}; // Saturday night
    h.setAutoResetTimesNew("23:00", "01:00");
    ASSERT_TRUE(h.inResetPeriod());
    for (int t : {at(1, 30), at(12, 0), at(22, 0), at(23, 59, 59)})
    {
        gNow = {0, t};
        h.resetCheck();
        EXPECT_TRUE(h.inResetPeriod()) << "Sunday " << t;
    }
    gNow = {1, at(0, 30)};
    h.resetCheck();
    EXPECT_TRUE(h.inResetPeriod());
    gNow = {1, at(1, 30)};
    h.resetCheck();
    EXPECT_FALSE(h.inResetPeriod());

    // On an ignored day a free line still enters the window.
    gNow = {0, at(23, 30)};
    h.resetCheck();
    EXPECT_TRUE(h.inResetPeriod());
    h.clearIgnoreDayForResetPeriodEnd();
    EXPECT_FALSE(h.isIgnoreDayForResetPeriodEnd(0));
}
