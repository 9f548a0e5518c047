// The real rtsd under clients that hold its resources without logging on,
// with the framework's default timer limit: connections that send nothing
// and connections that dribble bytes, while a logged-on client asks for data.
#include "rts/tests/rts_e2e/RtsdScenario.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

using proctest::RtsdProcess;
using namespace rtstest;
using namespace std::chrono_literals;

namespace
{
// Sends each client one byte of a heartbeat echo every millisecond, on a
// thread of its own, until destroyed.
class Dribbler
{
public:
    explicit Dribbler(std::vector<Client>& clients)
        : mThread([this, &clients] {
              const std::string echo = heartbeatEcho(0);
              for (std::size_t at = 0; !mStop.load(); ++at)
              {
                  for (Client& c : clients)
                      c.send(std::string(1, echo[at % echo.size()]));
                  std::this_thread::sleep_for(1ms);
              }
          })
    {
    }
    ~Dribbler() { stop(); }
    void stop()
    {
        mStop = true;
        if (mThread.joinable())
            mThread.join();
    }

private:
    std::atomic<bool> mStop{false};
    std::thread mThread;
};
// The answer to a request for 1..last, heartbeats echoed, all within `limit`.
Answer answerWithin(Client& c, std::uint32_t last, std::chrono::milliseconds limit)
{
    Answer a;
    std::uint32_t next = 1;
    const auto until = std::chrono::steady_clock::now() + limit;
    while (next <= last)
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        const std::optional<Packet> p = left.count() > 0 ? c.read(left) : std::nullopt;
        if (!p)
            return a;
        if (p->isHeartbeat())
            c.send(heartbeatEcho(p->seq));
        else if (p->type() == 202)
            a.status = p->retransStatus();
        else
            for (const Message& m : p->messages)
            {
                a.inOrder = a.inOrder && m.bytes == feedMessage(next++);
                ++a.messages;
            }
    }
    return a;
}
} // namespace

// The server's thread holds at most 105 timers (MSG_DISP_FD_NUM 100 + 5).
// 250 connections that send nothing and 20 that send heartbeat echoes a
// byte at a time before any logon: every one is closed by its logon
// deadline (3 s), at once when no timer was left for it; the partial-packet
// warnings stay at ten per connection; and a client logged on before them
// is served in full meanwhile and stays.
TEST(RtsdHostileClients, IdleAndDribblingConnectionsLeaveNothingOpenAndTheLogBounded)
{
    constexpr int cIdle = 250;
    constexpr int cDribbling = 20;
    RtsdProcess rtsd;
    const std::string config = rtsd.writeConfig({{"ClientList", loopbackUser("served", 1000)},
                                                 {"MaxCacheSize", "4000"},
                                                 {"FeedMessages", "3000"},
                                                 {"RtsLoginTimeout", "3"},
                                                 {"RtsHeartbeatInterval", "1"},
                                                 {"RtsHeartbeatRspInterval", "30"},
                                                 {"RtsMaxConnectionsPerIp", "1000"}});
    // Room for the connections; the timer limit stays the framework's default.
    rtsd.write("fw.cfg", "FW_AGT_OPTION INT32 0\nTHD_TERM_TIMEOUT INT32 2\nTCP_CONN_RES_MAX INT32 320\n"
                         "CONN_QUEUE_LEN INT32 512\n");
    rtsd.start({"--config-file", config, "--shared-objects", FEED_PLUGIN});
    ASSERT_TRUE(rtsd.waitForOutput("Feed: fed 3000")) << rtsd.out() << rtsd.err();

    Client served;
    ASSERT_TRUE(served.connect(rtsd.port()));
    ASSERT_EQ(logOn(served, "served"), 0);
    std::vector<Client> dribbling(cDribbling);
    for (Client& c : dribbling)
        ASSERT_TRUE(c.connect(rtsd.port()));
    Dribbler dribbler(dribbling);
    std::vector<Client> idle(cIdle);
    for (Client& c : idle)
        ASSERT_TRUE(c.connect(rtsd.port()));

    ASSERT_TRUE(served.send(request(7, 1, 3000)));
    const Answer answer = answerWithin(served, 3000, 20s);
    EXPECT_EQ(answer.status, 0);
    EXPECT_EQ(answer.messages, 3000U);
    EXPECT_TRUE(answer.inOrder);

    // All within one bound, well past the logon deadline.
    const auto until = std::chrono::steady_clock::now() + 15s;
    const auto left = [&until] {
        return std::max(std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()),
                        std::chrono::milliseconds(1));
    };
    int idleClosed = 0;
    for (Client& c : idle)
        idleClosed += c.waitClosed(left()) ? 1 : 0;
    EXPECT_EQ(idleClosed, cIdle);
    dribbler.stop();
    int dribblingClosed = 0;
    for (Client& c : dribbling)
        dribblingClosed += c.waitClosed(left()) ? 1 : 0;
    EXPECT_EQ(dribblingClosed, cDribbling);

    // The logged-on client still has its heartbeats.
    const std::optional<Packet> heartbeat = served.read(5s);
    EXPECT_TRUE(heartbeat && heartbeat->isHeartbeat());
    EXPECT_FALSE(served.closed());

    const std::string out = rtsd.out();
    EXPECT_GT(RtsdProcess::count(out, "no login timeout timer"), 0);
    EXPECT_LE(RtsdProcess::count(out, "Detected incomplete packet"), 10 * cDribbling);
    EXPECT_GT(RtsdProcess::count(out, "similar log lines held back"), 0);
    rtsd.signal(SIGTERM);
    EXPECT_EQ(rtsd.waitExit(), 0) << rtsd.err();
}
