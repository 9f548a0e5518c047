// The retransmission client on the real framework against the tests' own
// retransmission server on 127.0.0.1: the logon and request bytes, ranges
// cut and sent one at a time, completion counted in numbers, heartbeats
// echoed, packets split over reads, channels kept apart, refused ranges and
// refresh requests, a connection lost mid-range, the hunt list, a thread
// that has no timer left, a live sub-feed on a thread of its own, an answer
// never finished and primaries that connect but do not serve.
#include "RetransTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <tuple>

using namespace hostrun;
using namespace lhtest;
using namespace rtest;

namespace
{

using Range = std::tuple<std::uint16_t, std::uint32_t, std::uint32_t>;

std::vector<Range> requestsOf(const FakeRts& server)
{
    std::vector<Range> out;
    for (const Sent& s : server.of(201))
        out.emplace_back(s.channel, s.begin, s.end);
    return out;
}

// Every message first..last exactly once, in order.
std::vector<std::uint32_t> numbers(std::uint64_t first, std::uint64_t last)
{
    std::vector<std::uint32_t> out;
    for (std::uint64_t n = first; n <= last; ++n)
        out.push_back(static_cast<std::uint32_t>(n));
    return out;
}

// The client of `rig` connects to `server`; the run registers its hunt list.
void connectTo(ClientRig& rig, const FakeRts& server)
{
    rig.client.addConnection("127.0.0.1", std::to_string(server.port()).c_str());
    extraRegistration() = [&rig] { return rig.client.initNetworkService() ? 0 : -1; };
}

struct Idle : TarvokTimerHandler
{
    void onTimer(TarvokTimer*) override {}
};

// Each line with the thread that wrote it.
class ThreadSink : public LogSink
{
public:
    void setLevel(LogLevels) override {}
    LogLevels getLevel() const override { return LOG_LEVEL_DEBUG; }
    void print(LogLevels level, char c) override { print(level, &c, 1); }
    void print(LogLevels level, const std::string& text) override { print(level, text.data(), text.size()); }
    void print(LogLevels, const char* text, unsigned long length) override
    {
        std::lock_guard lock(mLock);
        mLines.emplace_back(threadName(), std::string(text, length));
    }
    // The threads of the lines that hold `text`.
    std::vector<std::string> threadsOf(const std::string& text) const
    {
        std::lock_guard lock(mLock);
        std::vector<std::string> out;
        for (const auto& [thread, line] : mLines)
            if (line.find(text) != std::string::npos)
                out.push_back(thread);
        return out;
    }

private:
    mutable std::mutex mLock;
    std::vector<std::pair<std::string, std::string>> mLines;
};

} // namespace

TEST(RetransClientLoopback, LogsOnAndSendsASplitRangeOneRequestAtATime)
{
    Host host;
    Thread<Starter> thread(host, "RTCSPLIT");
    ClientRig rig(host, thread.session, "SPLIT");
    FakeRts server;
    server.watchPipelining = true;
    server.perPacket = 120; // 1456-byte packets
    server.progress = [&rig] { return rig.live.bytes.load(); };
    server.start();
    rig.client.setMaxRetransRequestRange(50000);
    connectTo(rig, server);
    const std::uint64_t before = wallNanos() / 1000000 * 1000000;
    thread.runnable->start = [&] { rig.request(1, 120000); };
    const bool ran = runUntil(thread, [&] { return rig.live.completes.size() >= 3; });
    const std::uint64_t after = wallNanos();
    extraRegistration() = nullptr;
    ASSERT_TRUE(ran) << lastLines(host);

    const std::vector<Sent> logons = server.of(101);
    ASSERT_EQ(logons.size(), 1u);
    const Sent& logon = logons[0];
    EXPECT_EQ(logon.size, 32);
    EXPECT_EQ(logon.count, 1);
    EXPECT_EQ(logon.filler, 0);
    EXPECT_EQ(logon.seq, 1u);
    EXPECT_EQ(logon.time % 1000000, 0u) << "whole milliseconds in nanoseconds";
    EXPECT_GE(logon.time, before);
    EXPECT_LE(logon.time, after);
    EXPECT_EQ(logon.msgSize, 16);
    EXPECT_EQ(logon.user, std::string("alice\0\0\0\0\0\0\0", 12));

    // M - 1 numbers a piece, one request answered before the next goes.
    EXPECT_EQ(requestsOf(server), (std::vector<Range>{{7, 1, 49999}, {7, 50000, 99998}, {7, 99999, 120000}}));
    EXPECT_FALSE(server.pipelined());
    for (const Sent& r : server.of(201))
    {
        EXPECT_EQ(r.size, 32);
        EXPECT_EQ(r.msgSize, 16);
        EXPECT_EQ(r.seq, 1u) << "a request repeats the logon's number";
        EXPECT_EQ(r.raw.substr(22, 2), std::string(2, '\0'));
    }
    EXPECT_EQ(rig.live.completes,
              (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{1, 49999}, {50000, 99998}, {99999, 120000}}));
    std::vector<std::uint32_t> got;
    ASSERT_TRUE(rig.live.messages(got));
    EXPECT_EQ(got, numbers(1, 120000));
    for (const Recovered& p : rig.live.packets)
        ASSERT_TRUE(p.recovery && p.channel == 7) << p.seq;
    EXPECT_EQ(rig.client.getQueueSize(), 0u);
    EXPECT_FALSE(rig.client.isRequestOutstanding());
}

// A range ends when as many messages came as it holds, from 1 for a range
// asked from 0, and counted past 0xFFFFFFFF; a request that arrives while
// one is outstanding waits behind it.
TEST(RetransClientLoopback, ARangeEndsWithItsLastMessageAndTheNextWaitsForIt)
{
    Host host;
    Thread<Starter> thread(host, "RTCDONE");
    ClientRig rig(host, thread.session, "DONE");
    FakeRts server;
    server.watchPipelining = true;
    server.perPacket = 7;
    server.progress = [&rig] { return rig.live.bytes.load(); };
    server.start();
    connectTo(rig, server);
    const struct
    {
        std::uint32_t begin, end;
        std::uint64_t served;
    } cases[] = {
        {0, 499, 499},
        {100, 109, 10},
        {4294967200u, 4294967295u, 96},
    };
    thread.runnable->start = [&] {
        for (const auto& c : cases)
            rig.request(c.begin, c.end);
    };
    const bool ran = runUntil(thread, [&] { return rig.live.completes.size() >= std::size(cases); });
    extraRegistration() = nullptr;
    ASSERT_TRUE(ran) << lastLines(host);
    EXPECT_FALSE(server.pipelined());
    ASSERT_EQ(rig.live.completes.size(), std::size(cases));
    // The data of each range, then its completion, nothing of the next between.
    std::vector<std::string> expected;
    std::size_t packet = 0;
    for (std::size_t i = 0; i < std::size(cases); ++i)
    {
        const auto& c = cases[i];
        EXPECT_EQ(rig.live.completes[i], std::make_pair(std::uint64_t{c.begin}, std::uint64_t{c.end}));
        for (std::uint64_t n = c.begin == 0 ? 1 : c.begin; n <= c.end; n += 7, ++packet)
            expected.push_back("data " + std::to_string(n));
        expected.push_back("complete " + std::to_string(c.begin) + "-" + std::to_string(c.end));
    }
    EXPECT_EQ(rig.live.order, expected);
}

TEST(RetransClientLoopback, EchoesHeartbeatsAndAssemblesPacketsSplitOrSharedByReads)
{
    Host host;
    Thread<Starter> thread(host, "RTCSPLITS");
    ClientRig rig(host, thread.session, "SPLITS");
    FakeRts server;
    std::vector<std::string> heartbeats;
    std::mutex heartbeatLock;
    server.onLogon = [&](FakeRts& s, const Sent&) {
        s.send(logonResponse(0, s.nextControl()));
        const std::string hb = heartbeat(s.nextControl(), 0x0123456789ABCDEFULL);
        std::lock_guard lock(heartbeatLock);
        heartbeats.push_back(hb);
        s.send(hb);
    };
    server.onRequest = [&](FakeRts& s, const Sent& r) {
        std::mt19937 rng(r.begin);
        const std::string response = retransResponse(r.channel, 0, r.begin, r.end, s.nextControl());
        const std::string hb = heartbeat(s.nextControl(), 1700000000000000000ULL + r.begin);
        {
            std::lock_guard lock(heartbeatLock);
            heartbeats.push_back(hb);
        }
        const std::string data = dataPackets(r.begin, r.end, 5);
        // A heartbeat in the middle of the data; the first range dribbles in
        // pieces of a few bytes, the second comes in one send.
        const std::string all = response + data.substr(0, 76 * 3) + hb + data.substr(76 * 3);
        if (r.begin == 1)
            s.sendSplit(all, rng, 23);
        else
            s.send(all);
    };
    server.start();
    connectTo(rig, server);
    thread.runnable->start = [&] {
        rig.request(1, 40);
        rig.request(41, 80);
    };
    const bool ran = runUntil(thread, [&] { return rig.live.completes.size() >= 2 && server.echoes().size() >= 3; });
    extraRegistration() = nullptr;
    ASSERT_TRUE(ran) << lastLines(host);
    std::vector<std::string> echoed;
    for (const Sent& e : server.echoes())
        echoed.push_back(e.raw);
    std::lock_guard lock(heartbeatLock);
    EXPECT_EQ(echoed, heartbeats) << "byte for byte, number and send time included";
    std::vector<std::uint32_t> got;
    ASSERT_TRUE(rig.live.messages(got));
    EXPECT_EQ(got, numbers(1, 80));
    EXPECT_EQ(rig.live.completes, (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{1, 40}, {41, 80}}));
}

// Each channel's data and completion reach its own live sub-feed; a channel
// the client has no bus for is counted all the same, so the queue goes on.
TEST(RetransClientLoopback, ChannelsKeepToTheirOwnBuses)
{
    Host host;
    Thread<Starter> thread(host, "RTCCHAN");
    ClientRig rig(host, thread.session, "CHAN");
    FakeRts server;
    server.perPacket = 10;
    server.start();
    LiveChannel nine("NINE");
    rig.client.addOrluLineData(9, &nine.data);
    rig.client.addOrluRetransComplete(9, &nine.complete);
    // A second mapping of a channel does not move it.
    LiveChannel stray("STRAY");
    rig.client.addOrluLineData(9, &stray.data);
    rig.client.addOrluRetransComplete(9, &stray.complete);
    connectTo(rig, server);
    thread.runnable->start = [&] {
        rig.request(1, 30, "7");
        rig.request(11, 15, "11");
        rig.request(101, 150, "9");
    };
    const bool ran = runUntil(thread, [&] { return nine.completes.size() >= 1; });
    extraRegistration() = nullptr;
    ASSERT_TRUE(ran) << lastLines(host);
    EXPECT_EQ(requestsOf(server), (std::vector<Range>{{7, 1, 30}, {11, 11, 15}, {9, 101, 150}}));
    std::vector<std::uint32_t> seven, ninth;
    ASSERT_TRUE(rig.live.messages(seven));
    ASSERT_TRUE(nine.messages(ninth));
    EXPECT_EQ(seven, numbers(1, 30));
    EXPECT_EQ(ninth, numbers(101, 150));
    for (const Recovered& p : nine.packets)
        EXPECT_EQ(p.channel, 9);
    EXPECT_EQ(rig.live.completes, (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{1, 30}}));
    EXPECT_EQ(nine.completes, (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{101, 150}}));
    EXPECT_TRUE(stray.packets.empty() && stray.completes.empty());
    EXPECT_EQ(host.sink.count("Retransmission for unknown Orlu of Channel ID [11]"), 1);
    EXPECT_EQ(host.sink.count("Retransmission for unknown OrluRetransComplete of Channel ID [11]"), 1);
}

// Ranges the server refuses as unavailable (2), too wide (100) or over the
// day's allowance (101) become a refresh request for the channel, unless the
// line filter cancelled the range meanwhile; an unknown channel (1) does not.
TEST(RetransClientLoopback, RefusedRangesAskForARefreshUnlessCancelled)
{
    Host host;
    Thread<Starter> thread(host, "RTCREFUSE");
    ClientRig rig(host, thread.session, "REFUSE");
    FakeRts server;
    const struct
    {
        std::uint32_t begin;
        std::uint8_t status;
        bool cancelled;
    } cases[] = {{10, 2, false}, {20, 100, false}, {30, 101, false}, {40, 1, false}, {50, 2, true}, {60, 2, false}};
    std::atomic<bool> cancelSent{false};
    server.onRequest = [&](FakeRts& s, const Sent& r) {
        for (const auto& c : cases)
            if (c.begin == r.begin)
            {
                // The answer waits for the line filter's cancel.
                for (int i = 0; c.cancelled && !cancelSent && i < 1000; ++i)
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                s.serve(r, c.status);
            }
    };
    server.start();
    rig.client.setRefreshEnabled(true);
    connectTo(rig, server);
    std::size_t next = 0;
    const bool ran = runUntil(thread, [&] {
        const std::size_t asked = server.of(201).size();
        if (next > 0 && cases[next - 1].cancelled && asked == next && !cancelSent)
        {
            rig.request(0, cases[next - 1].begin + 9, "7", true);
            cancelSent = true;
        }
        const bool idle = !rig.client.isRequestOutstanding() && rig.client.getQueueSize() == 0;
        if (idle && asked == next && next < std::size(cases))
        {
            rig.request(cases[next].begin, cases[next].begin + 9);
            ++next;
        }
        return idle && next == std::size(cases) && asked == next;
    });
    extraRegistration() = nullptr;
    ASSERT_TRUE(ran) << lastLines(host);
    EXPECT_EQ(rig.refresh.seen, (std::vector<std::string>{"7 spool", "7 spool", "7 spool", "7 cancel", "7 spool"}));
    EXPECT_TRUE(rig.live.packets.empty());
    EXPECT_TRUE(rig.live.completes.empty());
}

// A refresh replaces the channel's other queued ranges, not another
// channel's; a cancel covers only what it names, so a later gap of the same
// channel is still asked for.
TEST(RetransClientLoopback, ARefreshPrunesItsChannelAndACancelOnlyItsOwnRanges)
{
    Host host;
    Thread<Starter> thread(host, "RTCPRUNE");
    ClientRig rig(host, thread.session, "PRUNE");
    FakeRts server;
    std::atomic<bool> cancelSent{false};
    server.onRequest = [&](FakeRts& s, const Sent& r) {
        for (int i = 0; r.begin == 400 && !cancelSent && i < 1000; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        s.serve(r, r.begin == 100 ? 2 : 0);
    };
    server.start();
    LiveChannel nine("NINE");
    rig.client.addOrluLineData(9, &nine.data);
    rig.client.addOrluRetransComplete(9, &nine.complete);
    rig.client.setRefreshEnabled(true);
    connectTo(rig, server);
    thread.runnable->start = [&] {
        rig.request(100, 109);
        rig.request(200, 209);
        rig.request(300, 309, "9");
    };
    bool second = false;
    const bool ran = runUntil(thread, [&] {
        if (!second && nine.completes.size() == 1)
        {
            second = true;
            rig.request(400, 409);
            rig.request(500, 509);
        }
        if (second && !cancelSent && server.of(201).size() == 3)
        {
            rig.request(0, 409, "7", true);
            cancelSent = true;
        }
        return rig.live.completes.size() >= 2;
    });
    extraRegistration() = nullptr;
    ASSERT_TRUE(ran) << lastLines(host);
    EXPECT_EQ(requestsOf(server), (std::vector<Range>{{7, 100, 109}, {9, 300, 309}, {7, 400, 409}, {7, 500, 509}}));
    EXPECT_EQ(rig.refresh.seen, (std::vector<std::string>{"7 spool", "7 cancel"}));
    EXPECT_EQ(rig.live.completes, (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{400, 409}, {500, 509}}));
}

TEST(RetransClientLoopback, AConnectionLostMidRangeSendsTheWholeRangeAgainAfterTheNextLogon)
{
    Host host;
    Thread<Starter> thread(host, "RTCLOST");
    ClientRig rig(host, thread.session, "LOST");
    FakeRts server;
    server.onRequest = [](FakeRts& s, const Sent& r) {
        if (s.connections() > 1)
        {
            s.serve(r, 0);
            return;
        }
        s.send(retransResponse(r.channel, 0, r.begin, r.end, s.nextControl()));
        s.send(dataPackets(r.begin, r.begin + 299, 100));
        s.closeConnection();
    };
    server.progress = [&rig] { return rig.live.bytes.load(); };
    server.start();
    connectTo(rig, server);
    thread.runnable->start = [&] { rig.request(1, 1000); };
    const bool ran = runUntil(thread, [&] { return rig.live.completes.size() >= 1; });
    extraRegistration() = nullptr;
    ASSERT_TRUE(ran) << lastLines(host);
    std::vector<std::pair<int, std::string>> seen;
    for (const FakeRts::Received& r : server.received())
        seen.emplace_back(r.connection, r.packet.msgType == 101   ? "logon " + std::to_string(r.packet.seq)
                                        : r.packet.msgType == 201 ? "request " + std::to_string(r.packet.begin) +
                                                                        "-" + std::to_string(r.packet.end)
                                                                  : "other");
    EXPECT_EQ(seen, (std::vector<std::pair<int, std::string>>{
                        {1, "logon 1"}, {1, "request 1-1000"}, {2, "logon 2"}, {2, "request 1-1000"}}));
    EXPECT_EQ(rig.live.completes, (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{1, 1000}}));
    // What the first answer brought is not published twice.
    std::vector<std::uint32_t> got;
    ASSERT_TRUE(rig.live.messages(got));
    EXPECT_EQ(got, numbers(1, 1000));
}

// The primary entry of the hunt list refuses the connection; the client
// tries the backup entry and is served there.
TEST(RetransClientLoopback, MovesAlongTheHuntListToABackupServer)
{
    Host host;
    Thread<Starter> thread(host, "RTCHUNT");
    ClientRig rig(host, thread.session, "HUNT");
    FakeRts server;
    server.start();
    const int nobody = freePort();
    rig.client.addConnection("127.0.0.1", std::to_string(nobody).c_str());
    connectTo(rig, server);
    thread.runnable->start = [&] { rig.request(1, 10); };
    const bool ran = runUntil(thread, [&] { return rig.live.completes.size() >= 1; });
    extraRegistration() = nullptr;
    ASSERT_TRUE(ran) << lastLines(host);
    EXPECT_EQ(rig.client.getCurrentConnection(), 1);
    EXPECT_EQ(rig.client.getTcpService(), std::to_string(server.port()));
    EXPECT_EQ(server.connections(), 1);
    EXPECT_EQ(rig.live.completes, (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{1, 10}}));
}

// With every timer of the thread taken, the connection the server drops
// cannot be tried again by the back-off timer: the client says so with the
// limit and gives its ranges up instead of holding them for ever.
TEST(RetransClientLoopback, ARefusedReconnectTimerGivesTheRangesUpAndSaysWhy)
{
    Host host;
    Thread<Starter> thread(host, "RTCNOTIMER");
    ClientRig rig(host, thread.session, "NOTIMER");
    FakeRts server;
    std::atomic<bool> dataSent{false};
    server.onRequest = [&](FakeRts& s, const Sent& r) {
        s.send(retransResponse(r.channel, 0, r.begin, r.end, s.nextControl()));
        s.send(dataPackets(r.begin, r.begin + 9, 10));
        dataSent = true;
    };
    server.start();
    connectTo(rig, server);
    Idle idle;
    std::vector<std::unique_ptr<TarvokTimer>> filler;
    bool full = false;
    thread.runnable->start = [&] { rig.request(1, 1000); };
    StopWhen stop([&] {
        if (!full && rig.live.packets.size() == 1)
        {
            // Every timer the thread may still make, taken.
            while (!full)
            {
                auto timer = std::make_unique<TarvokTimer>();
                full = !timer->create(&thread.session, &idle, 60000, nullptr);
                if (!full)
                    filler.push_back(std::move(timer));
            }
            server.closeConnection();
        }
        return full && rig.client.getQueueSize() == 0 && !rig.client.connected();
    });
    TarvokTimer stopTimer;
    ASSERT_FALSE(!stopTimer.create(&thread.session, &stop, 5, nullptr));
    const bool inTime = runFramework({{thread.runnable->getName(), 1000}}, "MSG_DISP_FD_NUM INT32 1\n",
                                     std::chrono::seconds(20));
    extraRegistration() = nullptr;
    filler.clear();
    ASSERT_TRUE(inTime && stop.stopped) << lastLines(host);
    EXPECT_TRUE(dataSent);
    EXPECT_GE(host.sink.count("no reconnect timer: the thread holds as many as the framework allows (MSG_DISP_FD_NUM + 5)"),
              1);
    EXPECT_EQ(host.sink.count("gave up RetransRequest [1-1000] for channel [7]"), 1);
    EXPECT_FALSE(rig.client.isRequestOutstanding());
}

// The live sub-feed on a thread of its own: its line filter's requests and
// cancels reach the client on the client's thread, as they were sent, and
// the recovered packets and the completion reach the live buses on the live
// thread, in order.
TEST(RetransClientLoopback, ALiveSubFeedOnAnotherThreadIsServedOnItsOwnThread)
{
    Host host;
    Thread<Starter> client(host, "RTCCLIENT");
    Thread<Starter> live(host, "RTCLIVE");
    ClientRig rig(host, client.session, "XTHREAD", live.runnable.get());
    FakeRts server;
    server.perPacket = 13;
    server.progress = [&rig] { return rig.live.bytes.load(); };
    server.start();
    connectTo(rig, server);
    ThreadSink sink;
    host.log.addLogSink(&sink);
    host.log.setLevel(LOG_LEVEL_INFO);
    rig.client.setRefreshEnabled(true);
    live.runnable->start = [&] {
        rig.request(1, 500);
        rig.request(600, 700);
        // Covers both: the queued range goes, the outstanding one is marked.
        rig.request(0, 700, "7", true);
    };
    StopWhen stop([&] {
        return rig.live.completeCount.load(std::memory_order_acquire) >= 1 && rig.client.getQueueSize() == 0 &&
               !rig.client.isRequestOutstanding();
    });
    TarvokTimer stopTimer;
    ASSERT_FALSE(!stopTimer.create(&client.session, &stop, 5, nullptr));
    const bool inTime = runFramework({{"RTCCLIENT", 1000}, {"RTCLIVE", 1000}}, "", std::chrono::seconds(30));
    extraRegistration() = nullptr;
    host.log.addLogSink(&host.sink);
    ASSERT_TRUE(inTime && stop.stopped) << lastLines(host);
    EXPECT_EQ(sink.threadsOf("RetransRequest received for ChannelId [7]; SeqNums [1-500]"),
              std::vector<std::string>{"RTCCLIENT"});
    EXPECT_EQ(requestsOf(server), (std::vector<Range>{{7, 1, 500}}));
    EXPECT_EQ(rig.refresh.seen, std::vector<std::string>{"7 cancel"});
    std::vector<std::uint32_t> got;
    ASSERT_TRUE(rig.live.messages(got));
    EXPECT_EQ(got, numbers(1, 500));
    for (const Recovered& p : rig.live.packets)
        ASSERT_TRUE(p.thread == "RTCLIVE" && p.recovery && p.channel == 7) << p.thread << " " << p.seq;
    EXPECT_EQ(rig.live.completeThreads, std::vector<std::string>{"RTCLIVE"});
    EXPECT_EQ(rig.live.order.back(), "complete 1-500");
}

// An answer the server never finishes (its last message left out, the line
// kept alive by heartbeats) holds the queue only until the request time-out:
// the line is bounced and the range asked once more after the reconnect;
// unfinished again, it is given up with a line, and the range queued behind
// it is asked and served. What the first answer brought is published once.
TEST(RetransClientLoopback, AnAnswerNeverFinishedIsAskedOnceMoreThenGivenUpAndTheQueueGoesOn)
{
    Host host;
    Thread<Starter> thread(host, "RTCTIMEOUT");
    ClientRig rig(host, thread.session, "TIMEOUT");
    FakeRts server;
    server.onRequest = [](FakeRts& s, const Sent& r) {
        if (r.begin != 1)
        {
            s.serve(r, 0);
            return;
        }
        s.send(retransResponse(r.channel, 0, r.begin, r.end, s.nextControl()));
        s.send(dataPackets(r.begin, r.end - 1, 5));
        s.send(heartbeat(s.nextControl(), 0));
    };
    server.start();
    rig.client.setRequestTimeout(1000);
    connectTo(rig, server);
    thread.runnable->start = [&] {
        rig.request(1, 10);
        rig.request(21, 30);
    };
    const bool ran = runUntil(thread, [&] { return rig.live.completes.size() >= 1; }, std::chrono::seconds(20));
    extraRegistration() = nullptr;
    ASSERT_TRUE(ran) << lastLines(host);
    std::vector<std::pair<int, std::string>> seen;
    for (const FakeRts::Received& r : server.received())
        if (r.packet.msgType == 201)
            seen.emplace_back(r.connection, std::to_string(r.packet.begin) + "-" + std::to_string(r.packet.end));
    EXPECT_EQ(seen, (std::vector<std::pair<int, std::string>>{{1, "1-10"}, {2, "1-10"}, {3, "21-30"}}));
    const std::string line = "retransmission for channel [7] from [1] to [10] not complete after 1000 ms (9 of 10 messages); ";
    EXPECT_EQ(host.sink.count(line + "asked again after the reconnect"), 1);
    EXPECT_EQ(host.sink.count(line + "given up, reconnecting"), 1);
    EXPECT_EQ(rig.live.completes, (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{21, 30}}));
    std::vector<std::uint32_t> got;
    ASSERT_TRUE(rig.live.messages(got));
    std::vector<std::uint32_t> expected = numbers(1, 9);
    const std::vector<std::uint32_t> second = numbers(21, 30);
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(got, expected);
}

// A line that served and is closed on our side (an operator's reconnect)
// did not fail: its next attempt goes to the same server, not the backup.
TEST(RetransClientLoopback, AServedLineReconnectedByUsStaysWithItsServer)
{
    Host host;
    Thread<Starter> thread(host, "RTCSTAY");
    ClientRig rig(host, thread.session, "STAY");
    FakeRts primary;
    primary.start();
    FakeRts backup;
    backup.start();
    rig.client.addConnection("127.0.0.1", std::to_string(primary.port()).c_str());
    connectTo(rig, backup);
    thread.runnable->start = [&] { rig.request(1, 10); };
    bool reconnected = false;
    const bool ran = runUntil(thread, [&] {
        if (!reconnected && rig.live.completes.size() == 1)
        {
            reconnected = true;
            rig.client.disconnect();
            rig.client.resetConnectAttemptCount();
            rig.client.startReconnects();
            rig.request(11, 20);
        }
        return rig.live.completes.size() >= 2;
    });
    extraRegistration() = nullptr;
    ASSERT_TRUE(ran) << lastLines(host);
    EXPECT_EQ(primary.connections(), 2);
    EXPECT_EQ(backup.connections(), 0);
    EXPECT_EQ(rig.live.completes, (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{1, 10}, {11, 20}}));
}

// A primary that takes the connection but does not serve it is tried once:
// the next attempt goes to the backup, which serves what is queued, the
// range the primary never answered (ended by its time-out) included.
namespace
{

struct FailingPrimary
{
    const char* name;
    const char* tag; // for the thread's and the feed's names
    std::function<void(FakeRts&)> script;
};

void PrintTo(const FailingPrimary& p, std::ostream* out)
{
    *out << p.name;
}

class RetransClientHunt : public ::testing::TestWithParam<FailingPrimary>
{
};

} // namespace

TEST_P(RetransClientHunt, APrimaryThatConnectsButDoesNotServeLeavesTheNextAttemptToTheBackup)
{
    const FailingPrimary& c = GetParam();
    Host host;
    const std::string threadName = std::string("RTCBK") + c.tag;
    Thread<Starter> thread(host, threadName.c_str());
    ClientRig rig(host, thread.session, std::string("BK") + c.tag);
    FakeRts primary;
    c.script(primary);
    primary.start();
    FakeRts backup;
    backup.start();
    rig.client.setLoginTimeoutInterval(1);
    rig.client.setRequestTimeout(1000);
    rig.client.addConnection("127.0.0.1", std::to_string(primary.port()).c_str());
    connectTo(rig, backup);
    thread.runnable->start = [&] {
        rig.request(1, 10);
        rig.request(11, 20);
    };
    const bool ran = runUntil(
        thread, [&] { return rig.live.completes.size() >= 2 && rig.client.getQueueSize() == 0; },
        std::chrono::seconds(20));
    extraRegistration() = nullptr;
    ASSERT_TRUE(ran) << lastLines(host);
    EXPECT_EQ(primary.connections(), 1);
    EXPECT_EQ(backup.connections(), 1);
    EXPECT_EQ(rig.client.getCurrentConnection(), 1);
    EXPECT_EQ(rig.live.completes, (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{1, 10}, {11, 20}}));
    std::vector<std::uint32_t> got;
    ASSERT_TRUE(rig.live.messages(got));
    EXPECT_EQ(got, numbers(1, 20));
}

INSTANTIATE_TEST_SUITE_P(
    FailingPrimaries, RetransClientHunt,
    ::testing::Values(
        FailingPrimary{"RefusesEveryLogon", "REFUSE",
                       [](FakeRts& s) {
                           s.onLogon = [](FakeRts& s, const Sent&) { s.send(logonResponse(5, s.nextControl())); };
                       }},
        FailingPrimary{"NeverAnswersTheLogon", "NOLOGON", [](FakeRts& s) { s.onLogon = nullptr; }},
        FailingPrimary{"CutsEveryAnswer", "CUT",
                       [](FakeRts& s) {
                           s.onRequest = [](FakeRts& s, const Sent& r) {
                               s.send(retransResponse(r.channel, 0, r.begin, r.end, s.nextControl()));
                               s.send(dataPackets(r.begin, r.begin + 4, 5));
                               s.closeConnection();
                           };
                       }},
        FailingPrimary{"NeverAnswersARequest", "NOANSWER", [](FakeRts& s) { s.onRequest = nullptr; }}),
    [](const ::testing::TestParamInfo<FailingPrimary>& info) { return std::string(info.param.name); });
