// The TCP line against a plain-socket feed server on 127.0.0.1 through the
// real framework: messages arrive and are recorded in the recovery file
// opened at connect, heartbeats reach the server, and a server that stops
// reading gets its line bounced by a bounded send while a timer of the same
// thread keeps firing.
#include "TcpTestSupport.h"

#include "kelmora/linehandler/LineHandlerTcp.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

using namespace hostrun;
using namespace lhtest;

namespace
{
struct Counter : TarvokTimerHandler
{
    void onTimer(TarvokTimer*) override { ++ticks; }
    std::atomic<int> ticks{0};
};
} // namespace

TEST(LoopbackTcp, FeedServerMessagesHeartbeatsAndTheRecoveryFile)
{
    Host host;
    Thread<Starter> thread(host, "LHTCPLB");
    CountingFactory factory;
    std::vector<std::string> events;
    Recorder<LineData> data{events, [](const LineData& d) { return tcptest::dataText(d); }};
    char pattern[] = "/tmp/lh_tcp_XXXXXX";
    const std::string dir = ::mkdtemp(pattern);
    const std::string file = dir + "/feed.rec";

    std::atomic<bool> done{false};
    tcptest::Server server;
    // Written by the peer's thread, read by the line's and the test's.
    std::mutex heardLock;
    std::string heard;
    auto heardText = [&] {
        const std::lock_guard<std::mutex> guard(heardLock);
        return heard;
    };
    server.peer = std::thread([&] {
        blockExitSignals();
        const int c = server.accept(done);
        if (c < 0)
            return;
        const std::string feed = "one\003two\003thr";
        ::send(c, feed.data(), feed.size(), MSG_NOSIGNAL);
        ::send(c, "ee\003", 3, MSG_NOSIGNAL);
        timeval tv{0, 100000};
        ::setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        char buf[64];
        while (!done)
        {
            const ssize_t n = ::recv(c, buf, sizeof buf, 0);
            if (n > 0)
            {
                const std::lock_guard<std::mutex> guard(heardLock);
                heard.append(buf, static_cast<std::size_t>(n));
            }
            else if (n == 0)
                break;
        }
        ::close(c);
    });

    tcptest::forgetNames("LBFEED", 1);
    LineHandlerTcp line(factory, thread.session, host.log);
    line.setFeedName("LBFEED");
    line.setName("LBFEED-line");
    line.OrluPublisher<LineData>::setDestination(&data.channel);
    line.setRecoveryFile(file);
    line.setSendHeartbeats(true);
    line.setHeartbeatInterval(1);
    line.addConnection("127.0.0.1", std::to_string(server.port).c_str());
    extraRegistration() = [&] { return line.initNetworkService() ? 0 : -1; };
    thread.runnable->start = [&] { line.connect(); };
    const bool ran = runUntil(thread, [&] { return events.size() >= 3 && heardText().size() >= 2; });
    done = true;
    extraRegistration() = nullptr;
    EXPECT_TRUE(ran);
    EXPECT_EQ(events, (std::vector<std::string>{"one\003", "two\003", "three\003"}));
    EXPECT_EQ(heardText().substr(0, 2), "HB");
    std::ifstream in(file);
    std::stringstream content;
    content << in.rdbuf();
    EXPECT_EQ(content.str().substr(0, 16 + 5), "     5         0one\003\n");
    EXPECT_EQ(host.sink.count("LineHandler::writeRecoveryFile(): opening recovery file: \"" + file + "\""), 1);
    std::remove(file.c_str());
    ::rmdir(dir.c_str());
}

TEST(LoopbackTcp, AServerThatStopsReadingBouncesTheLineAndTheThreadGoesOn)
{
    Host host;
    Thread<Starter> thread(host, "LHTCPST");
    CountingFactory factory;
    std::atomic<bool> done{false};
    tcptest::Server server;
    server.peer = std::thread([&] {
        blockExitSignals();
        const int c = server.accept(done);
        while (!done) // never reads
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ::close(c);
    });

    tcptest::forgetNames("STALL", 1);
    LineHandlerTcp line(factory, thread.session, host.log);
    line.setFeedName("STALL");
    line.setName("STALL-line");
    line.setUseRecoveryFile(false);
    line.addConnection("127.0.0.1", std::to_string(server.port).c_str());

    // Floods the connection from a timer of the line's own thread; a second
    // timer counts its ticks.
    struct Flood : TarvokTimerHandler
    {
        LineHandlerTcp* line;
        std::string chunk = std::string(256 * 1024, 'f');
        std::atomic<int> gaveUp{0};
        void onTimer(TarvokTimer*) override
        {
            if (line->connected() && !line->sendTo(chunk.data(), static_cast<int>(chunk.size()), "flood") &&
                !line->connected())
                ++gaveUp;
        }
    } flood;
    flood.line = &line;
    Counter counter;
    TarvokTimer floodTimer;
    TarvokTimer counterTimer;
    int ticksAtBounce = -1;
    extraRegistration() = [&] { return line.initNetworkService() ? 0 : -1; };
    thread.runnable->start = [&] {
        line.connect();
        floodTimer.create(&thread.session, &flood, 2, nullptr);
        counterTimer.create(&thread.session, &counter, 5, nullptr);
    };
    const bool ran = runUntil(thread, [&] {
        if (flood.gaveUp > 0 && ticksAtBounce < 0)
            ticksAtBounce = counter.ticks;
        return ticksAtBounce >= 0 && counter.ticks >= ticksAtBounce + 3;
    });
    done = true;
    extraRegistration() = nullptr;
    EXPECT_TRUE(ran);
    EXPECT_GE(flood.gaveUp, 1);
    EXPECT_GE(host.sink.count("LineHandler::bounceLine: send failed: peer not reading"), 1);
}
