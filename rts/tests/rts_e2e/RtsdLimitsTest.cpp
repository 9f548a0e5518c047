// The real rtsd held to its limits by real clients over loopback: the shared
// packet budget, a reader that stops reading, floods of requests and numbers
// out of range, and connection attempts counted per source address.
#include "rts/tests/rts_e2e/RtsdScenario.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <latch>
#include <regex>
#include <string>
#include <thread>
#include <vector>

using proctest::RtsdProcess;
using namespace rtstest;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// 8 packets per 100 ms shared by 4 clients: each writes 2 per tick, so a
// 60-packet answer takes about 3 s and never runs ahead of that pace; all
// finish.
TEST(RtsdLimits, ThrottleSharesThePacketBudgetAndEveryClientFinishes)
{
    constexpr int cClients = 4;
    constexpr std::uint32_t cMessages = 60;
    RtsdProcess rtsd;
    rtsd.start({"--config-file",
                rtsd.writeConfig({{"ClientList", loopbackUser("tick", 100)},
                                  {"MaxCacheSize", "1000"},
                                  {"FeedMessages", "100"},
                                  {"FeedMessageSize", "1000"}, // one message per packet
                                  {"RtsThrottleInterval", "100"},
                                  {"RtsPacketsPerInterval", "8"},
                                  {"RtsMaxConnectionPerClient", "4"},
                                  {"RtsMaxConnectionsPerIp", "100"}}),
                "--shared-objects", FEED_PLUGIN});
    ASSERT_TRUE(rtsd.waitForOutput("Feed: fed 100")) << rtsd.out() << rtsd.err();

    Client clients[cClients];
    for (Client& c : clients)
    {
        ASSERT_TRUE(c.connect(rtsd.port()));
        ASSERT_EQ(logOn(c, "tick"), 0);
    }
    std::vector<Clock::time_point> arrivals[cClients];
    Answer answers[cClients];
    Clock::time_point asked[cClients];
    std::latch go(cClients);
    std::vector<std::thread> threads;
    for (int i = 0; i < cClients; ++i)
        threads.emplace_back([&, i] {
            go.arrive_and_wait();
            asked[i] = Clock::now();
            clients[i].send(request(7, 1, cMessages));
            std::uint32_t next = 1;
            while (next <= cMessages)
            {
                const std::optional<Packet> p = clients[i].read(10s);
                if (!p)
                    return;
                if (p->type() == 202)
                {
                    answers[i].status = p->retransStatus();
                    continue;
                }
                arrivals[i].push_back(Clock::now());
                for (const Message& m : p->messages)
                    answers[i].inOrder = answers[i].inOrder && m.bytes == feedMessage(next++, 1000);
                answers[i].messages += p->count;
            }
        });
    for (std::thread& t : threads)
        t.join();

    for (int i = 0; i < cClients; ++i)
    {
        EXPECT_EQ(answers[i].status, 0) << i;
        EXPECT_EQ(answers[i].messages, cMessages) << i;
        EXPECT_TRUE(answers[i].inOrder) << i;
        ASSERT_EQ(arrivals[i].size(), cMessages) << i;
        // 61 packets at 2 a tick is 31 ticks; unthrottled it would be one.
        EXPECT_GE(arrivals[i].back() - asked[i], 2400ms) << i;
        // By any time no more has arrived than 2 a tick since the request,
        // give or take a tick's phase and what was written at once. A reader
        // or a server slowed by a loaded machine only makes arrivals later;
        // counted over a window instead, late reads would look like bursts.
        for (std::size_t k = 0; k < arrivals[i].size(); ++k)
        {
            const auto ticks = static_cast<std::size_t>((arrivals[i][k] - asked[i]) / 100ms) + 1;
            if (k + 1 > 2 * ticks + 4)
            {
                ADD_FAILURE() << "client " << i << ": " << k + 1 << " packets within " << ticks << " ticks";
                break;
            }
        }
    }
    rtsd.signal(SIGTERM);
    EXPECT_EQ(rtsd.waitExit(), 0) << rtsd.err();
}

// With 1 ms ticks a response leaves on the first tick after its request:
// the sending timer starts when the request is served, not at the thread's
// next round of queued timers (every 10 ms), which would put the median wait
// near 6 ms. A loaded machine only adds to the waits, so the median of one of
// up to three series of requests must be under 4 ms.
TEST(RtsdLimits, ResponsesLeaveOnTheFirstTickAfterTheRequest)
{
    RtsdProcess rtsd;
    rtsd.start({"--config-file", rtsd.writeConfig({{"ClientList", loopbackUser("quick", 1000)},
                                                   {"FeedMessages", "100"},
                                                   {"RtsThrottleInterval", "1"},
                                                   // the response and its message are two packets: the
                                                   // throttle paces them, so the session's timer sends both
                                                   {"RtsPacketsPerInterval", "1"}}),
                "--shared-objects", FEED_PLUGIN});
    ASSERT_TRUE(rtsd.waitForOutput("Feed: fed 100")) << rtsd.out() << rtsd.err();
    Client c;
    ASSERT_TRUE(c.connect(rtsd.port()));
    ASSERT_EQ(logOn(c, "quick"), 0);
    std::vector<Clock::duration> medians;
    for (int series = 0; series < 3 && (medians.empty() || medians.back() >= 4ms); ++series)
    {
        std::vector<Clock::duration> waits;
        for (std::uint32_t i = 1; i <= 41; ++i)
        {
            const auto asked = Clock::now();
            ASSERT_TRUE(c.send(request(7, i, i)));
            const std::optional<Packet> response = c.read();
            ASSERT_TRUE(response && response->type() == 202);
            waits.push_back(Clock::now() - asked);
            ASSERT_TRUE(c.read()); // the message
            std::this_thread::sleep_for(std::chrono::microseconds(1700 * i % 9000)); // spread over the thread's rounds
        }
        std::nth_element(waits.begin(), waits.begin() + 20, waits.end());
        medians.push_back(waits[20]);
    }
    std::string text;
    for (const Clock::duration& m : medians)
        text += std::to_string(std::chrono::duration_cast<std::chrono::microseconds>(m).count()) + " us ";
    EXPECT_LT(medians.back(), 4ms) << "median waits for a response: " << text;
    rtsd.signal(SIGTERM);
    EXPECT_EQ(rtsd.waitExit(), 0) << rtsd.err();
}

// A client that stops reading in the middle of an 8 MB answer fills the
// socket; the server gives it up after its ticks without progress, while
// another client goes on being served.
TEST(RtsdLimits, ReaderThatStopsReadingIsGivenUpWhileOthersGoOn)
{
    constexpr std::uint32_t cMessages = 8000;
    RtsdProcess rtsd;
    rtsd.start({"--config-file",
                rtsd.writeConfig({{"ClientList", loopbackUser("reader", 1000)},
                                  {"MaxCacheSize", "10000"},
                                  {"FeedMessages", std::to_string(cMessages)},
                                  {"FeedMessageSize", "1000"},
                                  {"RtsThrottleInterval", "10"},
                                  {"RtsPacketsPerInterval", "1000"},
                                  {"RtsHeartbeatRspInterval", "1"}, // gives up after 101 ticks of 10 ms
                                  {"RtsMaxConnectionPerClient", "2"},
                                  {"RtsMaxConnectionsPerIp", "100"}}),
                "--shared-objects", FEED_PLUGIN});
    ASSERT_TRUE(rtsd.waitForOutput("Feed: fed 8000")) << rtsd.out() << rtsd.err();

    Client stopped, good;
    ASSERT_TRUE(stopped.connectFrom("127.0.0.1", rtsd.port(), 4096));
    ASSERT_EQ(logOn(stopped, "reader"), 0);
    ASSERT_TRUE(stopped.send(request(7, 1, cMessages)));
    ASSERT_TRUE(good.connect(rtsd.port()));
    ASSERT_EQ(logOn(good, "reader"), 0);

    const auto until = Clock::now() + 3s;
    int served = 0;
    while (Clock::now() < until)
    {
        ASSERT_TRUE(good.send(request(7, 1001, 3000)));
        const Answer a = readAnswer(good, 1001, 3000, 1000);
        ASSERT_EQ(a.status, 0);
        ASSERT_EQ(a.messages, 2000U);
        ASSERT_TRUE(a.inOrder);
        ++served;
    }
    EXPECT_GE(served, 2);
    EXPECT_TRUE(rtsd.waitForOutput("unable to write to buffer in [101]", 1, 20s)) << rtsd.out();
    // What the kernel still held arrives, then the end: far from all of it.
    int before = 0;
    EXPECT_TRUE(stopped.waitClosed(10s, &before));
    EXPECT_LT(before, static_cast<int>(cMessages));
    EXPECT_FALSE(good.closed());
    rtsd.signal(SIGTERM);
    EXPECT_EQ(rtsd.waitExit(), 0) << rtsd.err();
}

// Numbers out of range are answered with their status on a connection that
// stays; a flood past the user's request limit ends with the limit's
// refusal and a close; a flood within it is served in full; the server goes
// on serving others throughout.
TEST(RtsdLimits, FloodsAndNumbersOutOfRangeAreRefusedAndTheServerGoesOn)
{
    constexpr std::uint32_t cLast = 100;
    RtsdProcess rtsd;
    rtsd.start({"--config-file",
                rtsd.writeConfig({{"ClientList", loopbackUser("many", 1000000) + loopbackUser("few", 10) + loopbackUser("three", 3)},
                                  {"MaxCacheSize", "1000"},
                                  {"FeedMessages", std::to_string(cLast)},
                                  {"RtsMaxSeqNumGap", "50"},
                                  {"RtsThrottleInterval", "10"},
                                  {"RtsPacketsPerInterval", "1000"},
                                  {"RtsMaxConnectionPerClient", "10"},
                                  {"RtsMaxConnectionsPerIp", "100"}}),
                "--shared-objects", FEED_PLUGIN});
    ASSERT_TRUE(rtsd.waitForOutput("Feed: fed 100")) << rtsd.out() << rtsd.err();

    Client many;
    ASSERT_TRUE(many.connect(rtsd.port()));
    ASSERT_EQ(logOn(many, "many"), 0);
    const RangeCase cases[] = {
        {"the widest range", 7, 1, 50, 0},
        {"one wider", 7, 1, 51, 100},
        {"reversed (wraps)", 7, 5, 4, 100},
        {"end 0 without last-number requests", 7, 5, 0, 100},
        {"to the largest number", 7, 1, 0xFFFFFFFF, 100},
        {"both at the largest number", 7, 0xFFFFFFFF, 0xFFFFFFFF, 2},
        {"near the largest number", 7, 0xFFFFFFF0, 0xFFFFFFFF, 2},
        {"past the last", 7, cLast, cLast + 1, 2},
        {"begin 0 is served from 1", 7, 0, 3, 0},
        // End 0 taken literally: begin 0 serves from 1, so nothing is in range.
        {"begin 0 and end 0", 7, 0, 0, 2},
        // An end below the begin is no range, though end minus begin wraps small.
        {"from the largest number to 0", 7, 0xFFFFFFFF, 0, 100},
        {"from the largest number to 5", 7, 0xFFFFFFFF, 5, 100},
        {"1 to 0", 7, 1, 0, 100},
        {"the two largest numbers", 7, 0xFFFFFFFE, 0xFFFFFFFF, 2},
        {"channel 0", 0, 1, 3, 1},
        {"channel 65535", 65535, 1, 3, 1},
    };
    for (const RangeCase& c : cases)
    {
        ASSERT_TRUE(many.send(request(c.channel, c.begin, c.end))) << c.name;
        const Answer a = readAnswer(many, c.begin, c.end);
        EXPECT_EQ(a.status, c.status) << c.name;
        EXPECT_TRUE(a.inOrder) << c.name;
        EXPECT_EQ(a.messages, c.status == 0 ? c.end - std::max(c.begin, 1U) + 1 : 0U) << c.name;
    }

    // A user allowed 10 requests: 200 in one write are refused with 101
    // before the close, behind at most 10 accepted answers; 3 one at a time,
    // then the 4th is refused the same way.
    struct Flood
    {
        const char* name;
        const char* user;
        int before; // requests made one at a time first
        int burst;
    };
    const Flood floods[] = {{"a flood", "few", 0, 200}, {"past the allowance", "three", 3, 1}};
    for (const Flood& f : floods)
    {
        Client c;
        ASSERT_TRUE(c.connect(rtsd.port())) << f.name;
        ASSERT_EQ(logOn(c, f.user), 0) << f.name;
        for (int i = 0; i < f.before; ++i)
        {
            ASSERT_TRUE(c.send(request(7, 1, 5)));
            const Answer a = readAnswer(c, 1, 5);
            ASSERT_EQ(a.status, 0) << f.name;
            ASSERT_TRUE(a.inOrder) << f.name;
        }
        std::string burst;
        for (int i = 0; i < f.burst; ++i)
            burst += request(7, 1, 5);
        ASSERT_TRUE(c.send(burst)) << f.name;
        int accepted = 0, last = -1;
        while (const std::optional<Packet> p = c.read(10s))
        {
            EXPECT_NE(last, 101) << f.name << ": a packet after the refusal";
            if (p->type() == 202)
                accepted += (last = p->retransStatus()) == 0 ? 1 : 0;
        }
        EXPECT_TRUE(c.closed()) << f.name;
        EXPECT_EQ(last, 101) << f.name;
        EXPECT_LE(accepted, 10) << f.name;
    }
    EXPECT_EQ(RtsdProcess::count(rtsd.out(), "Rejected RetransRequest with status EXCEEDS_MAXIMUM_REQUESTS_PER_DAY"),
              2);

    // A flood within the limit is answered in full and in order.
    std::string burst;
    for (std::uint32_t i = 0; i < 300; ++i)
        burst += request(7, 1 + i % 90, 1 + i % 90 + i % 11);
    ASSERT_TRUE(many.send(burst));
    for (std::uint32_t i = 0; i < 300; ++i)
    {
        const std::uint32_t begin = 1 + i % 90, end = begin + i % 11;
        const Answer a = readAnswer(many, begin, end);
        ASSERT_EQ(a.status, 0) << i;
        ASSERT_EQ(a.messages, end - begin + 1) << i;
        ASSERT_TRUE(a.inOrder) << i;
    }
    EXPECT_FALSE(many.closed());
    rtsd.signal(SIGTERM);
    EXPECT_EQ(rtsd.waitExit(), 0) << rtsd.err();
}

// The server's thread may hold MSG_DISP_FD_NUM + 5 timers, 65 here, and a
// logged-on client holds three of them. 50 clients connect, log on and ask
// for 1..1500 at once: every client whose logon was accepted gets its whole
// answer (none is closed for want of a timer); those the thread has no room
// for are refused at logon as a busy server, with the line naming the limit.
// The start-up warned once that TCP_CONN_RES_MAX clients would need more.
TEST(RtsdLimits, LogonsBeyondTheTimerLimitAreRefusedAndEveryLoggedOnClientIsServed)
{
    constexpr int cClients = 50;
    constexpr std::uint32_t cMessages = 1500;
    RtsdProcess rtsd;
    const std::string config = rtsd.writeConfig({{"ClientList", loopbackUser("many", 100000)},
                                                 {"MaxCacheSize", "2000"},
                                                 {"FeedMessages", std::to_string(cMessages)},
                                                 {"RtsHeartbeatInterval", "1"},
                                                 {"RtsThrottleInterval", "10"},
                                                 {"RtsPacketsPerInterval", "20"},
                                                 {"RtsMaxConnectionPerClient", "100"},
                                                 {"RtsMaxConnectionsPerIp", "1000"}});
    rtsd.write("fw.cfg", "FW_AGT_OPTION INT32 0\nTHD_TERM_TIMEOUT INT32 2\nTCP_CONN_RES_MAX INT32 300\n"
                         "MSG_DISP_FD_NUM INT32 60\nCONN_QUEUE_LEN INT32 256\n");
    rtsd.start({"--config-file", config, "--shared-objects", FEED_PLUGIN});
    ASSERT_TRUE(rtsd.waitForOutput("Feed: fed 1500")) << rtsd.out() << rtsd.err();

    std::vector<Client> clients(cClients);
    for (Client& c : clients)
        ASSERT_TRUE(c.connect(rtsd.port()));
    // Every connection holds its logon deadline before the first logon.
    ASSERT_TRUE(rtsd.waitForOutput("accepted connection from", cClients)) << rtsd.out();
    int logonStatus[cClients];
    Answer answers[cClients];
    bool closedAfterRefusal[cClients] = {};
    std::latch loggedOn(cClients);
    std::vector<std::thread> threads;
    for (int i = 0; i < cClients; ++i)
        threads.emplace_back([&, i] {
            logonStatus[i] = logOn(clients[i], "many");
            loggedOn.arrive_and_wait(); // every logon answered before any request
            if (logonStatus[i] != 0)
            {
                closedAfterRefusal[i] = clients[i].waitClosed(10s);
                return;
            }
            clients[i].send(request(7, 1, cMessages));
            answers[i] = readAnswer(clients[i], 1, cMessages);
        });
    for (std::thread& t : threads)
        t.join();

    int served = 0, refused = 0;
    for (int i = 0; i < cClients; ++i)
    {
        if (logonStatus[i] == 0)
        {
            ++served;
            EXPECT_EQ(answers[i].status, 0) << i;
            EXPECT_EQ(answers[i].messages, cMessages) << i;
            EXPECT_TRUE(answers[i].inOrder) << i;
            EXPECT_FALSE(clients[i].closed()) << i;
            continue;
        }
        ++refused;
        EXPECT_EQ(logonStatus[i], 100) << i; // the answer of a full server
        EXPECT_TRUE(closedAfterRefusal[i]) << i;
    }
    EXPECT_GT(served, 0);
    EXPECT_GT(refused, 0);
    const std::string out = rtsd.out();
    EXPECT_EQ(RtsdProcess::count(out, "logon refused as a busy server"), refused) << out;
    EXPECT_EQ(RtsdProcess::count(out, "the framework allows (MSG_DISP_FD_NUM + 5); logon refused"), refused);
    EXPECT_EQ(RtsdProcess::count(out, " timer: thread |"), 0) << "a connection closed for want of a timer";
    EXPECT_EQ(RtsdProcess::count(out, "to serve them all"), 1);
    const std::regex advice("set MSG_DISP_FD_NUM to ([0-9]+) to serve them all");
    std::smatch advised;
    ASSERT_TRUE(std::regex_search(out, advised, advice));
    EXPECT_GE(std::stoi(advised[1]), 3 * 300 - 5);
    rtsd.signal(SIGTERM);
    EXPECT_EQ(rtsd.waitExit(), 0) << rtsd.err();
}

// Attempts are counted per source address: from each of 20 loopback
// addresses the first two are served and the third is closed unanswered,
// whatever the other addresses did.
TEST(RtsdLimits, AttemptsOverTheLimitAreRefusedPerSourceAddress)
{
    const std::vector<std::string> sources = loopbackSources(1, 20);
    RtsdProcess rtsd;
    const std::string config = rtsd.writeConfig({{"ClientList", loopbackUser("wide", 1000, sources)},
                                                 {"RtsMaxConnectionPerClient", "100"},
                                                 {"RtsMaxConnectionsPerIp", "2"}});
    raiseFrameworkLimits(rtsd, 2 * static_cast<int>(sources.size()) + 10);
    rtsd.start({"--config-file", config});
    ASSERT_TRUE(rtsd.waitForOutput("Module initialization completed")) << rtsd.out() << rtsd.err();

    std::vector<Client> kept(2 * sources.size());
    for (std::size_t s = 0; s < sources.size(); ++s)
    {
        for (int k = 0; k < 2; ++k)
        {
            Client& c = kept[2 * s + static_cast<std::size_t>(k)];
            ASSERT_TRUE(c.connectFrom(sources[s], rtsd.port())) << sources[s];
            EXPECT_EQ(logOn(c, "wide"), 0) << sources[s];
        }
        Client third;
        ASSERT_TRUE(third.connectFrom(sources[s], rtsd.port())) << sources[s];
        third.send(logon("wide"));
        int answered = -1;
        EXPECT_TRUE(third.waitClosed(3s, &answered)) << sources[s];
        EXPECT_EQ(answered, 0) << sources[s];
    }
    for (Client& c : kept)
        EXPECT_FALSE(c.closed());
    rtsd.signal(SIGTERM);
    EXPECT_EQ(rtsd.waitExit(), 0) << rtsd.err();
}
