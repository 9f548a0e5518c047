// The login connection and its manager: the credential and rewind rules on
// their own, then derived sessions on a real framework that read a one-line
// login, send heartbeats and close a client that falls silent.
#include "kelmora/masquerade/LineMasqueraderLogin.h"
#include "kelmora/masquerade/LineMasqueraderManagerLogin.h"

#include "LoopbackSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <memory>
#include <vector>

using namespace hostrun;
using namespace loopback;

namespace
{
// A derived session speaking a line protocol: "LOGIN user:password",
// "START n" and "HB"; it answers "OK", "BAD" and "SEQ n" and sends
// "HEARTBEAT" lines once logged in.
struct LineSession : LineMasqueraderLogin, TarvokTimerHandler
{
    LineSession(TarvokSession& s, Log& l) : LineMasqueraderLogin(s, l) { setHeartbeatSender(this); }
    std::string pending;

    void onTimer(TarvokTimer*) override { sendTo("HEARTBEAT\n", 10, "heartbeat"); }
    void fromClient(LineData& data) override
    {
        pending.append(data.getData(), data.getDataLen());
        std::size_t end;
        while ((end = pending.find('\n')) != std::string::npos)
        {
            const std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            handle(line);
        }
    }
    void reply(const std::string& text)
    {
        const std::string line = text + "\n";
        sendTo(line.data(), static_cast<int>(line.size()), "reply");
    }
    void handle(const std::string& line)
    {
        resetTimeoutTimer();
        if (line.rfind("LOGIN ", 0) == 0)
        {
            const std::string cred = line.substr(6);
            const std::size_t colon = cred.find(':');
            const bool ok = colon != std::string::npos && checkLogin(cred.substr(0, colon), cred.substr(colon + 1));
            reply(ok ? "OK" : "BAD");
            if (ok)
                startHeartbeatTimer();
        }
        else if (line.rfind("START ", 0) == 0)
        {
            unsigned int seq = static_cast<unsigned int>(std::stoul(line.substr(6)));
            startUpdates(seq);
            reply("SEQ " + std::to_string(getSeqNum()));
        }
    }
};

struct LoginManager : LineMasqueraderManagerLogin
{
    LoginManager(TarvokSession& s, Log& l) : LineMasqueraderManagerLogin(s, l), session(s), log(l) {}
    TarvokSession& session;
    Log& log;
    std::vector<std::unique_ptr<LineSession>> sessions;
    std::atomic<int> accepted{0};
    LineMasqueraderTcp* create() override
    {
        sessions.push_back(std::make_unique<LineSession>(session, log));
        return sessions.back().get();
    }
    void onConnected(const char*, const LineMasqueraderTcp* c) override
    {
        for (auto& s : sessions)
            if (s.get() == c)
                s->startTimeoutTimer(); // the client has a second to log in
        ++accepted;
    }
};

struct Plain : LineMasqueraderTcp
{
    Plain(TarvokSession& s, Log& l) : LineMasqueraderTcp("plain", s, l) {}
};

bool readLine(int fd, std::string& buffer, std::string& line, int seconds = 5)
{
    std::size_t end;
    while ((end = buffer.find('\n')) == std::string::npos)
        if (!readSome(fd, buffer, seconds))
            return false;
    line = buffer.substr(0, end);
    buffer.erase(0, end + 1);
    return true;
}

// Sends `request` and reads the next line that is not a heartbeat.
std::string ask(int fd, std::string& buffer, const std::string& request)
{
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string line;
    while (readLine(fd, buffer, line))
        if (line != "HEARTBEAT")
            return line;
    return "<closed>";
}
} // namespace

TEST(Login, CredentialsMatchWholeAndExactly)
{
    Host host;
    TarvokSession session;
    struct Case
    {
        const char* user;
        const char* password;
        const char* givenUser;
        const char* givenPassword;
        bool ok;
    } cases[] = {
        {"", "", "", "", true}, // never configured: the empty login
        {"trader", "secret", "trader", "secret", true},
        {"trader", "secret", "trade", "secret", false},
        {"trader", "secret", "trader", "secre", false},
        {"trader", "secret", "trader", "secretX", false},
        {"trader", "secret", "trader", "Secret", false},
        {"trader", "secret", "", "", false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::string(c.givenUser) + ":" + c.givenPassword);
        LineSession s(session, host.log);
        if (*c.user != '\0')
        {
            s.setLoginUsername(c.user);
            s.setLoginPassword(c.password);
        }
        EXPECT_EQ(s.checkLogin(c.givenUser, c.givenPassword), c.ok);
        EXPECT_EQ(s.loggedIn(), c.ok);
        EXPECT_EQ(s.loginCount(), c.ok ? 1 : 0);
    }
    // A failure after a success changes nothing; a second success counts.
    LineSession s(session, host.log);
    s.setLoginUsername("u");
    s.setLoginPassword("p");
    EXPECT_TRUE(s.checkLogin("u", "p"));
    EXPECT_FALSE(s.checkLogin("u", "x"));
    EXPECT_TRUE(s.loggedIn());
    EXPECT_TRUE(s.checkLogin("u", "p"));
    EXPECT_EQ(s.loginCount(), 2);
}

TEST(Login, RewindingAndTimerIntervals)
{
    Host host;
    TarvokSession session;
    struct Case
    {
        bool allowed;
        unsigned int asked;
        unsigned int stored;
    } cases[] = {{false, 500, 7}, {true, 1, 0}, {true, 500, 500}};
    for (const Case& c : cases)
    {
        LineSession s(session, host.log);
        s.setSeqNum(7);
        s.setAllowSeqNumSetting(c.allowed);
        unsigned int seq = c.asked;
        s.startUpdates(seq);
        EXPECT_EQ(s.getSeqNum(), c.stored) << c.asked;
    }
    EXPECT_EQ(host.sink.count("LineMasqueraderLogin: rewinding NOT available", LOG_LEVEL_WARNING), 1);

    // Seconds become milliseconds without passing what a timer holds.
    EXPECT_EQ(LineMasqueraderLogin::toTimerMs(60), 60000u);
    EXPECT_EQ(LineMasqueraderLogin::toTimerMs(4294967), 4294967000u);
    EXPECT_EQ(LineMasqueraderLogin::toTimerMs(4294968), UINT_MAX);
    EXPECT_EQ(LineMasqueraderLogin::toTimerMs(ULONG_MAX), UINT_MAX);

    // No heartbeat sender: no timer and no line.
    LineSession s(session, host.log);
    s.setHeartbeatSender(nullptr);
    s.startHeartbeatTimer();
    EXPECT_EQ(host.sink.count("starting heartbeat timer"), 0);
}

TEST(Login, TheManagerHandsItsSettingsOnlyToLoginConnections)
{
    Host host;
    TarvokSession session;
    LoginManager manager(session, host.log);
    manager.setLoginUsername("trader");
    manager.setLoginPassword("secret");
    manager.setHeartbeatInterval(3);
    manager.setAllowSeqNumSetting(true);
    LineSession login(session, host.log);
    manager.initialize(&login);
    EXPECT_TRUE(login.checkLogin("trader", "secret"));
    EXPECT_EQ(login.getHeartbeatInterval(), 3u);
    unsigned int seq = 500;
    login.startUpdates(seq);
    EXPECT_EQ(login.getSeqNum(), 500u);

    Plain plain(session, host.log);
    manager.initialize(&plain);
    EXPECT_EQ(host.sink.count("LineMasqueraderManagerLogin: NOT initializing a new LineMasqueraderLogin",
                              LOG_LEVEL_INFO),
              1);
}

// On a real framework: a client that logs in, rewinds and keeps sending
// heartbeats stays and receives heartbeats; one with a wrong password that
// then falls silent is closed after the one-second time-out. A second
// manager with no credentials warns and lets an empty login in, without
// rewinding.
TEST(Login, SessionsOnLoopback)
{
    Host host;
    Thread<> thread(host, "LOGIN");
    LoginManager strict(thread.session, host.log);
    LoginManager open(thread.session, host.log);
    const int strictPort = freePort();
    const int openPort = freePort();
    strict.setFeedName("LOGINA");
    strict.setTcpIpAddress("127.0.0.1");
    strict.setTcpService(std::to_string(strictPort));
    strict.setLoginUsername("trader");
    strict.setLoginPassword("secret");
    strict.setLoginTimeout(1);
    strict.setHeartbeatInterval(1);
    strict.setAllowSeqNumSetting(true);
    open.setFeedName("LOGINB");
    open.setTcpIpAddress("127.0.0.1");
    open.setTcpService(std::to_string(openPort));
    extraRegistration() = [&] {
        strict.initListen();
        open.initListen();
        return 0;
    };

    std::string good[4];
    int heartbeats = 0;
    bool goodStayed = false;
    std::string bad;
    bool badClosed = false;
    double badSeconds = 0;
    std::string empty[2];
    std::atomic<int> done{0};
    std::vector<std::thread> clients;
    clients.emplace_back([&] {
        blockExitSignals();
        const int fd = connectWhenListening(strictPort);
        std::string buf;
        good[0] = ask(fd, buf, "LOGIN trader:secret\n");
        good[1] = ask(fd, buf, "START 500\n");
        good[2] = ask(fd, buf, "START 1\n");
        // 2.5 s with a heartbeat every 300 ms: past the time-out, still open.
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(2500);
        goodStayed = true;
        while (goodStayed && std::chrono::steady_clock::now() < until)
        {
            ::send(fd, "HB\n", 3, MSG_NOSIGNAL);
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 300) > 0 && !readSome(fd, buf, 0))
                goodStayed = false;
            std::size_t end;
            while ((end = buf.find('\n')) != std::string::npos)
            {
                heartbeats += buf.compare(0, end, "HEARTBEAT") == 0;
                buf.erase(0, end + 1);
            }
        }
        ::close(fd);
        ++done;
    });
    clients.emplace_back([&] {
        blockExitSignals();
        const int fd = connectWhenListening(strictPort);
        std::string buf;
        bad = ask(fd, buf, "LOGIN trader:wrong\n");
        const auto start = std::chrono::steady_clock::now();
        badClosed = closedByPeer(fd, 5);
        badSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        ::close(fd);
        ++done;
    });
    clients.emplace_back([&] {
        blockExitSignals();
        const int fd = connectWhenListening(openPort);
        std::string buf;
        empty[0] = ask(fd, buf, "LOGIN :\n");
        empty[1] = ask(fd, buf, "START 500\n");
        ::close(fd);
        ++done;
    });
    Driver driver;
    driver.step = [&] { return done == 3; };
    ASSERT_TRUE(driver.start(thread.session));
    ASSERT_TRUE(runFramework({{"LOGIN", 1000}}));
    for (std::thread& t : clients)
        t.join();

    EXPECT_EQ(good[0], "OK");
    EXPECT_EQ(good[1], "SEQ 500");
    EXPECT_EQ(good[2], "SEQ 0");
    EXPECT_TRUE(goodStayed);
    EXPECT_GE(heartbeats, 1);
    EXPECT_EQ(bad, "BAD");
    EXPECT_TRUE(badClosed);
    EXPECT_GT(badSeconds, 0.5);
    EXPECT_EQ(host.sink.count("LoginTimeoutHandler: client connection timeout out (no heartbeats); disconnecting...",
                              LOG_LEVEL_WARNING),
              1);
    EXPECT_EQ(empty[0], "OK");
    EXPECT_EQ(empty[1], "SEQ 0");
    EXPECT_EQ(host.sink.count("secret"), 0); // passwords never reach the log
    // Only the manager without credentials warns.
    EXPECT_EQ(host.sink.count("LineMasqueraderManagerLogin: the login user name or password is empty",
                              LOG_LEVEL_WARNING),
              1);
}
