// The login line against a plain-socket server on 127.0.0.1 through the real
// framework: the first connect replays the whole recovery file in its
// batches, the end of the replay connects, the login goes out, the server's
// logon answer logs the line on, and the messages that follow arrive in
// order and are added to the recovery file.
#include "../lh_tcp/TcpTestSupport.h"

#include "kelmora/linehandler/LineHandlerLogin.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <sstream>

using namespace hostrun;
using namespace lhtest;

namespace
{
const std::string cLogin = "LOGIN user:secret\n";
const std::string cLogonAnswer = "OK\003";

// Recognises the server's logon answer; notes how much of the replay had
// reached the bus when the connection came up.
struct OkLogin : LineHandlerLogin
{
    OkLogin(LineDataFactory& f, TarvokSession& s, Log& l, const std::vector<std::string>& events)
        : LineHandlerLogin(f, s, l), events(events)
    {
    }
    bool check(LineData& data) override
    {
        if (!data.isRecovery() && !getLoggedIn() && tcptest::dataText(data) == cLogonAnswer)
        {
            setLoggedIn(true);
            ++logons;
            onLogin();
            return false;
        }
        return LineHandlerLogin::check(data);
    }
    void onTcpConnect() override
    {
        eventsAtConnect = static_cast<int>(events.size());
        ++connects;
        LineHandlerLogin::onTcpConnect();
    }
    const std::vector<std::string>& events;
    int eventsAtConnect = -1;
    int connects = 0;
    int logons = 0;
};

std::string record(unsigned seq, const std::string& text)
{
    char header[32];
    std::snprintf(header, sizeof header, "%6u%10u", static_cast<unsigned>(text.size() + 1), seq);
    return header + text + "\n";
}
} // namespace

TEST(LoopbackLogin, ReplaysTheRecoveryFileThenLogsOnAndReceivesInOrder)
{
    Host host;
    Thread<Starter> thread(host, "LHLOGLB");
    CountingFactory factory;
    std::vector<std::string> events;
    Recorder<LineData> data{events, [](const LineData& d) {
                                return (d.isRecovery() ? "R:" : "L:") + tcptest::dataText(d);
                            }};
    char pattern[] = "/tmp/lh_login_lb_XXXXXX";
    const std::string dir = ::mkdtemp(pattern);
    const std::string file = dir + "/login.rec";
    // More records than one replay batch holds.
    const int replayed = 45;
    std::vector<std::string> expected;
    std::string fileText;
    {
        std::ofstream out(file);
        for (int i = 1; i <= replayed; ++i)
        {
            const std::string text = "rec" + std::to_string(i);
            out << record(static_cast<unsigned>(i), text);
            fileText += record(static_cast<unsigned>(i), text);
            expected.push_back("R:" + text + "\n");
        }
    }
    const int live = 300;
    std::string feed;
    for (int i = 1; i <= live; ++i)
    {
        const std::string text = "live" + std::to_string(i) + "\003";
        feed += text;
        expected.push_back("L:" + text);
        fileText += record(0, text);
    }

    std::atomic<bool> done{false};
    std::atomic<bool> loginSeen{false};
    tcptest::Server server;
    server.peer = std::thread([&] {
        blockExitSignals();
        const int c = server.accept(done);
        if (c < 0)
            return;
        timeval tv{0, 50000};
        ::setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        std::string heard;
        char buf[256];
        while (!done && heard.size() < cLogin.size())
        {
            const ssize_t n = ::recv(c, buf, sizeof buf, 0);
            if (n > 0)
                heard.append(buf, static_cast<std::size_t>(n));
            else if (n == 0)
                break;
        }
        if (heard == cLogin)
        {
            loginSeen = true;
            // The answer and the feed in uneven pieces, so messages straddle reads.
            const std::string out = cLogonAnswer + feed;
            for (std::size_t at = 0, piece = 7; at < out.size(); at += piece, piece = piece * 3 % 101 + 1)
            {
                ::send(c, out.data() + at, std::min(piece, out.size() - at), MSG_NOSIGNAL);
                if (piece % 5 == 0)
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        }
        while (!done)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ::close(c);
    });

    tcptest::forgetNames("LOGLB", 1);
    OkLogin line(factory, thread.session, host.log, events);
    line.setFeedName("LOGLB");
    line.setName("LOGLB-line");
    line.OrluPublisher<LineData>::setDestination(&data.channel);
    line.setRecoveryFile(file);
    line.setLoginPacket(cLogin);
    line.setWhenToSendLogin(LineHandlerLogin::LOGIN_AFTER_CONNECT);
    line.setWhenToStartHeartBeats(LineHandlerLogin::START_HB_NEVER);
    line.setWhenToStartIdleTimeOuts(LineHandlerLogin::START_TIMEOUT_NEVER);
    line.addConnection("127.0.0.1", std::to_string(server.port).c_str());
    extraRegistration() = [&] { return line.initNetworkService() ? 0 : -1; };
    thread.runnable->start = [&] { line.connect(); };
    const bool ran = runUntil(thread, [&] { return events.size() >= expected.size(); });
    done = true;
    extraRegistration() = nullptr;

    EXPECT_TRUE(ran);
    EXPECT_TRUE(loginSeen);
    EXPECT_EQ(events, expected);
    // The whole replay came before the connection, and only one was made.
    EXPECT_EQ(line.eventsAtConnect, replayed);
    EXPECT_EQ(line.connects, 1);
    EXPECT_EQ(line.logons, 1);
    EXPECT_TRUE(line.getLoggedIn());
    EXPECT_EQ(host.sink.count("LineHandler::bounceLine: End of recovery file"), 1);
    EXPECT_EQ(host.sink.count("LineHandlerLogin::stopLoginTimeoutTimer() stop timeout timer"), 1);
    EXPECT_EQ(host.sink.count("logon response timeout"), 0);

    // The live messages follow the replayed records in the file.
    std::ifstream in(file);
    std::stringstream content;
    content << in.rdbuf();
    EXPECT_EQ(content.str(), fileText);
    std::remove(file.c_str());
    ::rmdir(dir.c_str());
}
