// The real rtsd from the command line: settings that must stop start-up, the
// listening address and HA mode, and clients served from a feed over
// loopback, answered by the tests' own protocol client.
#include "rts/tests/host_process/RtsdProcess.h"
#include "rts/tests/rts_e2e/RtsdScenario.h"
#include "rts/tests/support/RtsTestClient.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <random>
#include <thread>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

using proctest::RtsdProcess;
using namespace rtstest;
using namespace std::chrono_literals;

namespace
{

const std::string cClientList = "<Client><UserName>bob</UserName><IpAddresses><Value>127.0.0.1</Value></IpAddresses>"
                                "<Channels><Value>7</Value></Channels><MaximumRequests>1000</MaximumRequests></Client>"
                                "<Client><UserName>carol</UserName><IpAddresses><Value>10.9.9.9</Value></IpAddresses>"
                                "<Channels><Value>7</Value></Channels></Client>";

int logonStatus(Client& c, int port, const std::string& user)
{
    if (!c.connect(port) || !c.send(logon(user)))
        return -2;
    const std::optional<Packet> p = c.read();
    return p ? p->logonStatus() : -1;
}

bool refusesConnections(int port)
{
    Client probe;
    return !probe.connect(port, 300ms);
}

} // namespace

TEST(RtsdStartup, SettingsThatWouldBreakTheServerEndStartUp)
{
    struct Case
    {
        std::map<std::string, std::string> keys;
        std::string text;
    };
    const std::string range = "| must be from 1 to 4294967295";
    const Case cases[] = {
        {{{"RtsTcpPort", ""}}, "InitModule<RtsTcpServer>: must provide TCP options"},
        {{{"SendTimeNanoDecimalPlaces", "10"}}, "ERROR SendTimeNanoDecimalPlaces value of [10] is not correct"},
        {{{"SendTimeNanoDecimalPlaces", "-1"}}, "ERROR SendTimeNanoDecimalPlaces value of [-1] is not correct"},
        {{{"RtsThrottleInterval", "0"}}, "RtsThrottleInterval |0" + range},
        {{{"RtsHeartbeatInterval", "-5"}}, "RtsHeartbeatInterval |-5| must be from 1 to 4294967"},
        {{{"RtsLoginTimeout", "4294968"}}, "RtsLoginTimeout |4294968| must be from 1 to 4294967"},
        {{{"RtsHeartbeatRspInterval", "0"}}, "RtsHeartbeatRspInterval |0| must be from 1 to 4294967"},
        {{{"RtsLoginTimeout", "0"}}, "RtsLoginTimeout |0| must be from 1 to 4294967"},
        {{{"RtsMaxConnectionsPerIpInterval", "0"}}, "RtsMaxConnectionsPerIpInterval |0| must be from 1 to 4294967"},
        {{{"RtsPacketsPerInterval", "0"}}, "RtsPacketsPerInterval |0" + range},
        {{{"RtsMaxConnectionsPerIp", "0"}}, "RtsMaxConnectionsPerIp |0" + range},
        {{{"RtsMaxSeqNumGap", "4294967296"}}, "RtsMaxSeqNumGap |4294967296| must be from 0 to 4294967295"},
        {{{"RtsMaxMessagesPerClient", "-1"}}, "RtsMaxMessagesPerClient |-1| must be from 0 to 4294967295"},
        {{{"HaMode", "sideways"}}, "Invalid HA mode passed to RtsTcpServer : sideways"},
        {{{"RtsTcpPort", "70000"}}, "Invalid service parameter: 70000"},
        {{{"APP_LOG_PREFIX", std::string(100, 'p')}}, "log prefix of 100 characters is too long"},
        {{{"APP_LOG_PREFIX", "rtsd"}, {"APP_LOG_PATH", std::string(120, 'd')}},
         "log directory of 120 characters is too long"},
    };
    for (const Case& c : cases)
    {
        RtsdProcess rtsd;
        rtsd.start({"--config-file", rtsd.writeConfig(c.keys)});
        EXPECT_EQ(rtsd.waitExit(), 1) << c.text;
        const std::string all = rtsd.out() + rtsd.err();
        EXPECT_NE(all.find("Main: caught"), std::string::npos) << c.text << "\n" << all;
        EXPECT_NE(all.find(c.text), std::string::npos) << c.text << "\n" << all;
    }
}

TEST(RtsdStartup, AddressOptionOverridesTheConfiguredAddressAndStandbyStaysClosed)
{
    {
        // 192.0.2.1 is no address of this machine: only the option's address can be listened on.
        RtsdProcess rtsd;
        rtsd.start({"--config-file",
                    rtsd.writeConfig({{"RtsTcpIpAddress", "192.0.2.1"}, {"ClientList", cClientList}}),
                    "--exch-tcp-ip-address", "127.0.0.1"});
        ASSERT_TRUE(rtsd.waitForOutput("Module initialization completed")) << rtsd.out() << rtsd.err();
        Client bob;
        EXPECT_EQ(logonStatus(bob, rtsd.port(), "bob"), 0) << rtsd.out();
        EXPECT_NE(rtsd.out().find("RtsTcpIpAddress:"), std::string::npos);
        rtsd.signal(SIGTERM);
        EXPECT_EQ(rtsd.waitExit(), 0);
    }
    {
        RtsdProcess rtsd;
        rtsd.start({"--config-file", rtsd.writeConfig({{"HaMode", "standby"}, {"ClientList", cClientList}})});
        ASSERT_TRUE(rtsd.waitForOutput("Module initialization completed")) << rtsd.out() << rtsd.err();
        std::this_thread::sleep_for(500ms);
        EXPECT_TRUE(refusesConnections(rtsd.port()));
        rtsd.signal(SIGTERM);
        EXPECT_EQ(rtsd.waitExit(), 0);
    }
}

TEST(RtsdServing, FedMessagesAreServedByteForByteAndRefusalsAnswered)
{
    RtsdProcess rtsd;
    rtsd.start({"--config-file",
                rtsd.writeConfig({{"ClientList", cClientList},
                                  {"MaxCacheSize", "5000"},
                                  {"FeedMessages", "3000"},
                                  {"FeedGapFrom", "2601"},
                                  {"FeedGapTo", "2610"},
                                  {"SendTimeNanoDecimalPlaces", "9"},
                                  {"RtsHeartbeatInterval", "1"},
                                  {"RtsThrottleInterval", "10"},
                                  {"RtsPacketsPerInterval", "1000"},
                                  {"RtsMaxSeqNumGap", "2000"},
                                  {"RtsMaxConnectionPerClient", "2"}}),
                "--shared-objects", FEED_PLUGIN});
    ASSERT_TRUE(rtsd.waitForOutput("Feed: fed 3000")) << rtsd.out() << rtsd.err();

    Client stranger, carol;
    EXPECT_NE(logonStatus(stranger, rtsd.port(), "mallory"), 0);
    EXPECT_NE(logonStatus(carol, rtsd.port(), "carol"), 0); // entitled only from 10.9.9.9

    Client bob;
    ASSERT_EQ(logonStatus(bob, rtsd.port(), "bob"), 0) << rtsd.out();
    const RangeCase cases[] = {
        {"a range", 7, 1, 300, 0},
        {"the last message", 7, 3000, 3000, 0},
        {"a channel not entitled", 8, 1, 3, 1},
        {"over the feed gap", 7, 2595, 2605, 2},
        {"past the last", 7, 2990, 3010, 2},
        {"wider than the widest range", 7, 1, 2500, 100},
    };
    std::uint32_t control = 1; // the logon answer took 1
    for (const RangeCase& c : cases)
    {
        ASSERT_TRUE(bob.send(request(c.channel, c.begin, c.end)));
        int status = -1;
        std::uint32_t next = c.begin;
        bool done = false;
        while (!done)
        {
            const std::optional<Packet> p = bob.read(10s);
            ASSERT_TRUE(p) << c.name;
            if (p->isHeartbeat())
            {
                EXPECT_EQ(p->seq, ++control) << c.name;
                bob.send(heartbeatEcho(p->seq));
                continue;
            }
            if (p->type() == 202)
            {
                status = p->retransStatus();
                EXPECT_EQ(p->seq, ++control) << c.name;
                EXPECT_EQ(status, c.status) << c.name;
                done = status != 0;
                continue;
            }
            // Data: each packet's number is its first message's.
            EXPECT_EQ(p->seq, next) << c.name;
            for (const Message& m : p->messages)
                EXPECT_EQ(m.bytes, feedMessage(next++)) << c.name;
            done = next > c.end;
        }
        EXPECT_EQ(status, c.status) << c.name;
    }
    // The client program asks for a range the same way.
    const std::string command = std::string(RTS_CLIENT_PROGRAM) + " --port " + std::to_string(rtsd.port())
                                + " --user bob --channel 7 --from 5 --to 7";
    std::string printed;
    FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    for (char buffer[512]; std::fgets(buffer, sizeof buffer, pipe) != nullptr;)
        printed += buffer;
    EXPECT_EQ(::pclose(pipe), 0) << printed;
    EXPECT_NE(printed.find("logon status 0\nresponse status 0 for 5 to 7\n5 20 0500 14000005050000000d0e0f"),
              std::string::npos)
        << printed;
    EXPECT_NE(printed.find("\n7 20 0500 "), std::string::npos) << printed;
    EXPECT_NE(printed.find("\n3 messages\n"), std::string::npos) << printed;

    // Heartbeats come every second while the client is idle.
    const std::optional<Packet> beat = bob.read(3s);
    ASSERT_TRUE(beat);
    EXPECT_TRUE(beat->isHeartbeat());
    rtsd.signal(SIGTERM);
    EXPECT_EQ(rtsd.waitExit(), 0) << rtsd.err();
}

// "quit" through the admin path while a client pipelines requests: the
// server's thread goes on serving until its own stop and counts each request
// into the client's statistics record, so that record's segment must stay
// attached until then. Several rounds, since the end races the requests.
TEST(RtsdServing, QuitWhileAClientPipelinesRequestsEndsWithExitZero)
{
    for (int round = 0; round < 3; ++round)
    {
        SCOPED_TRACE("round " + std::to_string(round));
        RtsdProcess rtsd;
        StatsKeys keys;
        const std::string statsKey = keys.file(rtsd.dir()), queueKey = keys.file(rtsd.dir());
        ASSERT_FALSE(statsKey.empty() || queueKey.empty());
        rtsd.write("libstats.xml", "<libstats><shm_key_filename>" + statsKey +
                                       "</shm_key_filename><latency_queues_managed_shared_memory_name>" + queueKey +
                                       "</latency_queues_managed_shared_memory_name></libstats>");
        const std::string quitFile = rtsd.dir() + "/quit";
        rtsd.start({"--config-file",
                    rtsd.writeConfig({{"ClientList", loopbackUser("bob", 1000000)},
                                      {"FeedMessages", "100"},
                                      {"RtsThrottleInterval", "1"},
                                      {"RtsPacketsPerInterval", "100000"},
                                      {"RtsHeartbeatInterval", "60"},
                                      {"ProbeQuitFile", quitFile},
                                      {"SharedObjects", std::string("<Value>") + FEED_PLUGIN + "</Value><Value>" +
                                                            PROBE_PLUGIN + "</Value>"}})});
        ASSERT_TRUE(rtsd.waitForOutput("Feed: fed 100")) << rtsd.out() << rtsd.err();
        // The client's counters go to its statistics record.
        ASSERT_EQ(rtsd.out().find("Failed to initialise stats writer"), std::string::npos) << rtsd.out();
        ASSERT_EQ(rtsd.out().find("Unable to create an entry to stats table"), std::string::npos) << rtsd.out();

        Client bob;
        ASSERT_TRUE(bob.connect(rtsd.port()));
        ASSERT_EQ(logOn(bob, "bob"), 0) << rtsd.out();
        // Twenty requests in flight: each answer sends the next one.
        constexpr int cInFlight = 20, cAnswersBeforeQuit = 40;
        for (int i = 0; i < cInFlight; ++i)
            ASSERT_TRUE(bob.send(request(7, 1, 10)));
        int answers = 0;
        while (const std::optional<Packet> p = bob.read(20s))
        {
            if (p->type() != 202)
                continue;
            EXPECT_EQ(p->retransStatus(), 0);
            if (++answers == cAnswersBeforeQuit)
                std::ofstream(quitFile) << "quit\n";
            if (!bob.send(request(7, 1, 10)))
                break;
        }
        EXPECT_GE(answers, cAnswersBeforeQuit);
        // A send may meet the close before a read does.
        EXPECT_TRUE(bob.waitClosed(20s)) << "the server never closed the client";
        EXPECT_EQ(rtsd.waitExit(), 0) << rtsd.out() << rtsd.err();
        const std::string out = rtsd.out();
        EXPECT_EQ(RtsdProcess::count(out, "ProcessProbe: quit answered: Goodbye from rtsd@"), 1) << out;
        EXPECT_EQ(RtsdProcess::count(out, "Main: quit"), 1) << out;
    }
}

// With a log file prefix the process logs through the program's file sink:
// the init log from start-up, and the app log once the "MIDDLEWARE_MD"
// thread has started.
TEST(RtsdLogFile, InitLogFromStartUpAppLogFromTheMiddlewareThread)
{
    for (bool middleware : {false, true})
    {
        RtsdProcess rtsd;
        std::map<std::string, std::string> keys{{"APP_LOG_PREFIX", "feedlog"}, {"APP_LOG_PATH", rtsd.dir() + "/logs"},
                                                 {"ClientList", cClientList}};
        if (middleware)
        {
            keys["NamedThreads"] = "<Value>MIDDLEWARE_MD</Value>";
            keys["MIDDLEWARE_MD"] = "<Enabled>true</Enabled>";
        }
        std::filesystem::create_directories(rtsd.dir() + "/logs");
        rtsd.start({"--config-file", rtsd.writeConfig(keys)});
        // Listening shows the server came up; the log is no longer on standard output.
        bool listening = false;
        for (int i = 0; i < 500 && !listening; ++i)
        {
            Client probe;
            listening = probe.connect(rtsd.port(), 20ms);
        }
        ASSERT_TRUE(listening) << rtsd.out() << rtsd.err();
        rtsd.signal(SIGTERM);
        EXPECT_EQ(rtsd.waitExit(), 0) << rtsd.err();
        std::string initLog, appLog;
        for (const auto& entry : std::filesystem::directory_iterator(rtsd.dir() + "/logs"))
        {
            std::ifstream in(entry.path());
            const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            const std::string name = entry.path().filename().string();
            (name.rfind("feedlog_init", 0) == 0 ? initLog : appLog) += text;
        }
        EXPECT_NE(initLog.find("RtsTcpServer created."), std::string::npos) << middleware;
        EXPECT_EQ(rtsd.out().find("RtsTcpServer created."), std::string::npos) << middleware;
        EXPECT_EQ(appLog.find("Main: quit") != std::string::npos, middleware) << middleware << appLog;
    }
}

// Random request streams from several clients at once against a model of
// what the feed left in the cache: the status, and for accepted requests
// every message byte for byte. RTS_RANDOM_SEED replays a run.
TEST(RtsdServing, RandomRequestStreamsMatchTheModel)
{
    constexpr std::uint32_t cLast = 3000, cGapFrom = 2601, cGapTo = 2610, cWidest = 2000;
    constexpr int cClients = 8, cRequestsEach = 2500;
    const char* seedText = std::getenv("RTS_RANDOM_SEED");
    const unsigned seed = seedText != nullptr ? static_cast<unsigned>(std::stoul(seedText)) : std::random_device{}();
    std::cout << "RTS_RANDOM_SEED=" << seed << std::endl;

    RtsdProcess rtsd;
    const std::string user = "<Client><UserName>many</UserName><IpAddresses><Value>127.0.0.1</Value></IpAddresses>"
                             "<Channels><Value>7</Value></Channels><MaximumRequests>1000000</MaximumRequests></Client>";
    rtsd.start({"--config-file",
                rtsd.writeConfig({{"ClientList", user},
                                  {"MaxCacheSize", "5000"},
                                  {"FeedMessages", std::to_string(cLast)},
                                  {"FeedGapFrom", std::to_string(cGapFrom)},
                                  {"FeedGapTo", std::to_string(cGapTo)},
                                  {"RtsThrottleInterval", "1"},
                                  {"RtsPacketsPerInterval", "100000"},
                                  {"RtsMaxSeqNumGap", std::to_string(cWidest)},
                                  {"RtsMaxNumRejectRequests", "1000000"},
                                  {"RtsMaxConnectionPerClient", "10"},
                                  {"RtsMaxConnectionsPerIp", "100"}}),
                "--shared-objects", FEED_PLUGIN});
    ASSERT_TRUE(rtsd.waitForOutput("Feed: fed 3000")) << rtsd.out() << rtsd.err();

    auto expectedStatus = [&](std::uint16_t channel, std::uint32_t begin, std::uint32_t end) {
        if (channel != 7)
            return 1;
        if (end - begin + 1 > cWidest)
            return 100;
        if (end > cLast || (begin <= cGapTo && end >= cGapFrom))
            return 2;
        return 0;
    };
    std::atomic<int> failures{0}, served{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < cClients; ++t)
        threads.emplace_back([&, t] {
            std::mt19937 random(seed + static_cast<unsigned>(t));
            Client c;
            if (logonStatus(c, rtsd.port(), "many") != 0)
            {
                ++failures;
                return;
            }
            std::uint32_t control = 1;
            for (int i = 0; i < cRequestsEach && failures == 0; ++i)
            {
                const std::uint16_t channel = random() % 50 == 0 ? 8 : 7;
                const std::uint32_t begin = 1 + random() % (cLast + 20);
                const std::uint32_t end = begin + (random() % 100 == 0 ? cWidest : random() % 30);
                const int status = expectedStatus(channel, begin, end);
                c.send(request(channel, begin, end));
                // Heartbeats may come between any two packets; they take control numbers too.
                auto read = [&] {
                    std::optional<Packet> p = c.read(10s);
                    while (p && p->isHeartbeat())
                    {
                        control = p->seq;
                        c.send(heartbeatEcho(p->seq));
                        p = c.read(10s);
                    }
                    return p;
                };
                const std::optional<Packet> r = read();
                if (!r || r->type() != 202 || r->retransStatus() != status || r->seq != ++control)
                {
                    ADD_FAILURE() << "client " << t << " request " << channel << ":" << begin << "-" << end
                                  << " expected status " << status << " got "
                                  << (r ? r->retransStatus() : -9);
                    ++failures;
                    return;
                }
                for (std::uint32_t next = begin; status == 0 && next <= end;)
                {
                    const std::optional<Packet> d = read();
                    bool ok = d && d->type() != 202 && d->seq == next;
                    for (std::size_t m = 0; ok && m < d->messages.size(); ++m)
                        ok = d->messages[m].bytes == feedMessage(next++);
                    if (!ok)
                    {
                        ADD_FAILURE() << "client " << t << " data of " << begin << "-" << end << " at " << next;
                        ++failures;
                        return;
                    }
                }
                ++served;
            }
        });
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(served, cClients * cRequestsEach);
    rtsd.signal(SIGTERM);
    EXPECT_EQ(rtsd.waitExit(), 0) << rtsd.err();
}

// Clients that misbehave are let go by the server's own timers and limits:
// silent before logon (login time-out), silent after it (no heartbeat echo,
// with an answer time longer than the heartbeat interval, so later heartbeats
// must not extend the wait), and attempts over the per-address limit, while a
// well-behaved client stays.
TEST(RtsdServing, HalfOpenAndOverTheAddressLimitAreClosed)
{
    RtsdProcess rtsd;
    rtsd.start({"--config-file", rtsd.writeConfig({{"ClientList", cClientList},
                                                   {"RtsLoginTimeout", "1"},
                                                   {"RtsHeartbeatInterval", "1"},
                                                   {"RtsHeartbeatRspInterval", "2"},
                                                   {"RtsMaxConnectionPerClient", "5"},
                                                   {"RtsMaxConnectionsPerIp", "4"}})});
    ASSERT_TRUE(rtsd.waitForOutput("Module initialization completed")) << rtsd.out() << rtsd.err();

    Client silentBefore, silentAfter, good;
    ASSERT_TRUE(silentBefore.connect(rtsd.port()));
    ASSERT_EQ(logonStatus(silentAfter, rtsd.port(), "bob"), 0);
    ASSERT_EQ(logonStatus(good, rtsd.port(), "bob"), 0);
    // Fourth attempt from 127.0.0.1 is the last within the limit, the fifth is closed unanswered.
    Client fourth, fifth;
    ASSERT_TRUE(fourth.connect(rtsd.port()));
    ASSERT_TRUE(fifth.connect(rtsd.port()));
    fifth.send(logon("bob"));
    int answered = -1;
    EXPECT_TRUE(fifth.waitClosed(3s, &answered));
    EXPECT_EQ(answered, 0);

    // The good client echoes every heartbeat for four seconds and stays.
    const auto until = std::chrono::steady_clock::now() + 4s;
    int beats = 0;
    while (std::chrono::steady_clock::now() < until)
        if (const std::optional<Packet> p = good.read(200ms); p && p->isHeartbeat())
        {
            ++beats;
            good.send(heartbeatEcho(p->seq));
        }
    EXPECT_GE(beats, 1);
    EXPECT_FALSE(good.closed());
    EXPECT_TRUE(silentBefore.waitClosed(1s));
    EXPECT_TRUE(silentAfter.waitClosed(1s));
    rtsd.signal(SIGTERM);
    EXPECT_EQ(rtsd.waitExit(), 0) << rtsd.err();
}
