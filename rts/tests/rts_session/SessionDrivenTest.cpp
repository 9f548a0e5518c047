// Sending, throttle, give-up, heartbeats, request flood and packing of a
// session driven directly: the test delivers the timers' expiries and
// scripts what each write to the framework returns.
#include "rts/tests/support/SessionDriver.h"

#include "kelmora/linehandler/LineError.h"
#include "rts/clients/RtsClientEntry.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace rtstest;

namespace
{
const char* const cClients = R"(<rts><ClientList>
<Client><UserName>alice</UserName><IpAddresses><Value>127.0.0.1</Value></IpAddresses>
  <Channels><Value>7</Value><Value>9</Value></Channels><MaximumRequests>10</MaximumRequests></Client>
<Client><UserName>bob</UserName><IpAddresses><Value>127.0.0.1</Value></IpAddresses>
  <Channels><Value>5</Value><Value>7</Value><Value>9</Value></Channels><MaximumRequests>100000</MaximumRequests></Client>
</ClientList></rts>
)";

std::string name(int i)
{
    return "c" + std::to_string(i);
}

// Data packets written, the responses left out.
std::size_t dataPackets(const std::vector<Packet>& packets)
{
    std::size_t n = 0;
    for (const Packet& p : packets)
        n += p.type() != 202 && p.count != 0;
    return n;
}
} // namespace

TEST(RtsSessionDriven, SendingClientsShareTheBudgetAndNeverGetNone)
{
    SessionDriver d(cClients, 20000);
    d.channel(9, 1, 200, 1000); // one message per packet
    struct Case
    {
        int clients;
        std::uint32_t messages;
        int perTick; // packets each writes per tick
    };
    for (const Case& c : {Case{4, 200, 25}, Case{150, 60, 1}})
    {
        std::vector<RtsTcpSession*> sessions;
        for (int i = 0; i < c.clients; ++i)
        {
            RtsTcpSession& s = d.logOn(name(i), "bob");
            SessionDriver::send(s, request(9, 1, c.messages));
            sessions.push_back(&s);
        }
        EXPECT_EQ(d.server().getActiveClients(), static_cast<unsigned>(c.clients));
        for (int i = 0; i < c.clients; ++i)
        {
            sessions[i]->onTimer(&sessions[i]->sendingTimer());
            EXPECT_EQ(d.packets(name(i)).size(), static_cast<std::size_t>(c.perTick)) << c.clients << " clients";
        }
        // Every one finishes; none is given up on.
        for (int tick = 0; tick < 250; ++tick)
            for (RtsTcpSession* s : sessions)
                if (s->isSending())
                    s->onTimer(&s->sendingTimer());
        for (int i = 0; i < c.clients; ++i)
        {
            EXPECT_TRUE(sessions[i]->connected()) << c.clients << " clients";
            EXPECT_EQ(dataPackets(d.packets(name(i))) + (c.perTick - 1), c.messages) << c.clients << " clients";
        }
        EXPECT_EQ(d.server().getActiveClients(), 0u);
        for (RtsTcpSession* s : sessions)
            s->closeSocket();
    }
    EXPECT_EQ(d.sink().count("150 clients are receiving", LOG_LEVEL_WARNING), 1);
    EXPECT_FALSE(d.malformed());
}

// A request to a session with nothing queued is answered at once when the
// whole answer fits in what the budget (100 packets per 100 ms here) has
// left: of the session's share in its sending interval, and of what all
// sessions wrote over the last interval. Otherwise it waits for the tick.
TEST(RtsSessionDriven, AnswersThatFitTheIntervalsBudgetLeaveAtOnce)
{
    struct Case
    {
        const char* name;
        std::uint32_t earlier;  // messages of an answer served before, 0 none
        bool earlierByTick;     // that answer written by a tick, else at once
        int pauseMs;            // between that answer and the request
        std::uint32_t other;    // messages another session asked for first, 0 none
        bool otherTicked;       // and had its first tick
        std::uint32_t messages; // one to a packet, after the response
        bool atOnce;
    };
    const Case cases[] = {
        {"idle", 0, false, 0, 0, false, 3, true},
        {"the whole budget", 0, false, 0, 0, false, 99, true},
        {"over the budget", 0, false, 0, 0, false, 100, false},
        {"budget spent by a tick", 99, true, 0, 0, false, 1, false},
        {"budget spent by a tick an interval ago", 99, true, 110, 0, false, 1, true},
        {"budget spent at once", 99, false, 0, 0, false, 1, false},
        {"budget left after an answer at once", 49, false, 0, 0, false, 49, true},
        {"half the budget, shared", 0, false, 0, 200, false, 49, true},
        {"over half the budget, shared", 0, false, 0, 200, false, 50, false},
        {"what another left of the budget", 0, false, 0, 89, false, 9, true},
        {"over what another left of the budget", 0, false, 0, 89, false, 10, false},
        {"budget spent by another's tick", 0, false, 0, 200, true, 1, false},
    };
    // A write counts for one interval (100 ms): an answer that must wait for
    // earlier writes is tried again when the machine took longer than that
    // from those writes to the request.
    auto tryCase = [](const Case& c, bool& late) {
        late = false;
        const auto first = std::chrono::steady_clock::now();
        SessionDriver d(cClients);
        d.server().setWriteAnswersAtOnce(true);
        d.channel(9, 1, 200, 1000);
        RtsTcpSession& s = d.logOn("s", "bob");
        if (c.other != 0)
        {
            // 200 wait for the ticks; fewer than the budget go at once.
            RtsTcpSession& other = d.logOn("other", "bob");
            SessionDriver::send(other, request(9, 1, c.other));
            ASSERT_EQ(d.packets("other").size(), c.other < 100 ? c.other + 1 : 0) << c.name;
            if (c.otherTicked)
            {
                other.onTimer(&other.sendingTimer());
                ASSERT_EQ(d.packets("other").size(), 100u) << c.name;
            }
        }
        if (c.earlier != 0)
        {
            d.server().setWriteAnswersAtOnce(!c.earlierByTick);
            SessionDriver::send(s, request(9, 1, c.earlier));
            if (c.earlierByTick)
                s.onTimer(&s.sendingTimer());
            ASSERT_EQ(d.packets("s").size(), c.earlier + 1) << c.name;
            d.server().setWriteAnswersAtOnce(true);
            std::this_thread::sleep_for(std::chrono::milliseconds(c.pauseMs));
        }
        SessionDriver::send(s, request(9, 101, 100 + c.messages));
        late = !c.atOnce && (c.earlier != 0 || c.other != 0) &&
               std::chrono::steady_clock::now() - first >= std::chrono::milliseconds(100);
        if (late)
            return;
        std::vector<Packet> out = d.packets("s");
        EXPECT_TRUE(s.isSending()) << c.name;
        if (!c.atOnce)
        {
            EXPECT_TRUE(out.empty()) << c.name;
            s.onTimer(&s.sendingTimer());
            out = d.packets("s");
            ASSERT_FALSE(out.empty()) << c.name;
        }
        else
        {
            ASSERT_EQ(out.size(), c.messages + 1) << c.name;
            EXPECT_EQ(out.back().seq, 100 + c.messages) << c.name;
            // The timer still runs out its interval, then stops.
            s.onTimer(&s.sendingTimer());
            EXPECT_TRUE(d.packets("s").empty()) << c.name;
            EXPECT_FALSE(s.isSending()) << c.name;
        }
        EXPECT_EQ(out[0].retransStatus(), 0) << c.name;
        EXPECT_EQ(out[1].seq, 101u) << c.name;
        EXPECT_FALSE(d.malformed()) << c.name;
    };
    for (const Case& c : cases)
    {
        bool late = true;
        for (int attempt = 0; attempt < 5 && late; ++attempt)
            tryCase(c, late);
        EXPECT_FALSE(late) << c.name << ": every attempt outlasted the interval";
    }
}

// The server's count of what its sessions wrote over the last interval:
// records expire one interval after their write, and a full record ring
// folds the newest writes together, which can only count them for longer.
TEST(RtsSessionDriven, PacketsWrittenOverTheLastInterval)
{
    SessionDriver d(cClients);
    RtsTcpServer& server = d.server();
    server.setPacketsPerInterval(100000);
    server.setThrottleInterval(1); // 1 ms
    constexpr std::int64_t cMs = 1'000'000;
    const std::int64_t t0 = 5 * cMs;
    server.packetsWritten(t0, 10);
    server.packetsWritten(t0 + cMs / 2, 20);
    EXPECT_EQ(server.packetsLeftThisInterval(t0 + cMs / 2), 100000 - 30);
    EXPECT_EQ(server.packetsLeftThisInterval(t0 + cMs), 100000 - 20);
    EXPECT_EQ(server.packetsLeftThisInterval(t0 + cMs + cMs / 2), 100000);
    server.setPacketsPerInterval(25);
    server.packetsWritten(t0 + 2 * cMs, 30);
    EXPECT_EQ(server.packetsLeftThisInterval(t0 + 2 * cMs), 0) << "never below 0";

    // 3000 writes of one packet, 1 ns apart: at most 1024 records.
    server.setPacketsPerInterval(100000);
    const std::int64_t t1 = 10 * cMs;
    for (int i = 0; i < 3000; ++i)
        server.packetsWritten(t1 + i, 1);
    EXPECT_EQ(server.packetsLeftThisInterval(t1 + 3000), 100000 - 3000);
    // One interval after the 2000th write, exactly 1000 are younger.
    EXPECT_LE(server.packetsLeftThisInterval(t1 + 1999 + cMs), 100000 - 1000);
    EXPECT_EQ(server.packetsLeftThisInterval(t1 + 2999 + cMs), 100000);
}

// An answer written at once that the socket takes only in part goes on at
// the next tick, behind the bytes already written, with the same numbers.
TEST(RtsSessionDriven, AnswerWrittenAtOnceInPartGoesOnAtTheTick)
{
    SessionDriver d(cClients);
    d.server().setWriteAnswersAtOnce(true);
    d.channel(9, 1, 10, 1000);
    RtsTcpSession& s = d.logOn("s", "bob");
    d.script("s") = {Write{32 + 1016 + 500}, Write{0, WOULD_BLOCK}};
    SessionDriver::send(s, request(9, 1, 3));
    EXPECT_EQ(d.wire("s").size(), 32u + 1016 + 500);
    EXPECT_EQ(s.bytesSent(), 500u);
    ASSERT_TRUE(s.isSending());
    s.onTimer(&s.sendingTimer());
    const std::vector<Packet> out = d.packets("s");
    ASSERT_EQ(out.size(), 4u);
    EXPECT_EQ(out[0].retransStatus(), 0);
    EXPECT_EQ(out[0].seq, 2u); // the logon answer took 1
    for (std::uint32_t i = 1; i <= 3; ++i)
        EXPECT_EQ(out[i].seq, i);
    EXPECT_TRUE(d.wire("s").empty());
    EXPECT_FALSE(d.malformed());
}

// An answer long to write at once gives the other sending sessions a turn:
// what they have queued, and what is still to build of their answers, leaves
// while the thread is still busy with requests, not at their next tick, when
// the budget has room for all of it. A short write, or a budget that paces
// the answer, leaves it to the ticks.
TEST(RtsSessionDriven, ALongWriteGivesTheOtherSendingSessionsATurn)
{
    struct Case
    {
        const char* name;
        std::uint32_t written;       // packets of the answer written at once meanwhile
        unsigned packetsPerInterval; // the server's budget
        bool turn;                   // the other session's answer left
    };
    const Case cases[] = {
        {"long write, budget with room", 400, 1000000, true},
        {"short write", RtsTcpSession::cPacketsBeforeATurn - 2, 1000000, false},
        {"long answer, budget pacing", 400, 100, false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        SessionDriver d(cClients, 5000);
        d.server().setWriteAnswersAtOnce(true);
        d.server().setPacketsPerInterval(c.packetsPerInterval);
        d.channel(7, 1, 400, 1000); // a packet per message
        RtsTcpSession& waiting = d.logOn("waiting", "bob");
        // Part of the answer goes at once, then the socket is full; by the
        // time the other request arrives it has room again.
        d.script("waiting") = {Write{5000}, Write{0, WOULD_BLOCK}};
        SessionDriver::send(waiting, request(7, 1, 400));
        const unsigned long queued = waiting.queuedPackets();
        ASSERT_GT(queued, 0u);
        ASSERT_LE(queued, RtsTcpSession::cWindowPackets);
        RtsTcpSession& busy = d.logOn("busy", "bob");
        SessionDriver::send(busy, request(7, 1, c.written - 1)); // the response and c.written - 1 messages
        if (c.turn)
        {
            EXPECT_EQ(waiting.queuedPackets(), 0u);
            const std::vector<Packet> out = d.packets("waiting");
            ASSERT_EQ(out.size(), 401u);
            EXPECT_EQ(out.back().seq, 400u);
        }
        else
            EXPECT_EQ(waiting.queuedPackets(), queued);
        EXPECT_FALSE(d.malformed());
    }
}

// An answer is built as its socket drains: with sockets that take nothing,
// each session queues at most a window of packets however long its answer,
// so the pool's use grows with sessions times window, not sessions times
// answer. Once the sockets take everything, every answer arrives whole, in
// order and numbered by its messages, and every buffer is back in the pool.
TEST(RtsSessionDriven, AnswersAreBuiltAsTheirSocketsDrain)
{
    constexpr int cSessions = 20;
    constexpr std::uint32_t cMessages = 5000; // 7 messages of 200 bytes to a packet: 715 packets
    // A window is a write call's worth of packets, far below an answer's.
    constexpr unsigned long cWindow = 128;
    SessionDriver d(cClients, 20000);
    d.server().setWriteAnswersAtOnce(true);
    d.server().setPacketsPerInterval(100000);
    d.channel(7, 1, cMessages, 200, cMessages);
    std::vector<RtsTcpSession*> sessions;
    for (int i = 0; i < cSessions; ++i)
    {
        RtsTcpSession& s = d.logOn(name(i), "bob");
        d.always(name(i), Write{0, WOULD_BLOCK});
        SessionDriver::send(s, request(7, 1, cMessages));
        sessions.push_back(&s);
    }
    for (int tick = 0; tick < 3; ++tick)
        for (RtsTcpSession* s : sessions)
            s->onTimer(&s->sendingTimer());
    const RtsTcpServer::PacketPool& pool = *d.server().getPacketBufferPool();
    for (RtsTcpSession* s : sessions)
    {
        EXPECT_TRUE(s->connected());
        EXPECT_LE(s->queuedPackets(), cWindow);
    }
    EXPECT_LE(pool.getMaxUsedEntries(), static_cast<long>(cSessions * cWindow));

    for (int i = 0; i < cSessions; ++i)
        d.writeAll(name(i));
    for (int tick = 0; tick < 50; ++tick)
        for (RtsTcpSession* s : sessions)
            if (s->isSending())
                s->onTimer(&s->sendingTimer());
    for (int i = 0; i < cSessions; ++i)
    {
        SCOPED_TRACE(name(i));
        const std::vector<Packet> out = d.packets(name(i));
        ASSERT_FALSE(out.empty());
        EXPECT_EQ(out[0].retransStatus(), 0);
        std::uint32_t next = 1;
        for (std::size_t k = 1; k < out.size(); ++k)
        {
            ASSERT_EQ(out[k].seq, next);
            for (const Message& m : out[k].messages)
            {
                const std::vector<char> expected = messageBytes(200, 200, 0x0500, next++);
                ASSERT_EQ(m.bytes, std::string(expected.begin(), expected.end()));
            }
        }
        EXPECT_EQ(next, cMessages + 1);
        EXPECT_EQ(out.size(), 1u + 715u);
        EXPECT_FALSE(sessions[static_cast<std::size_t>(i)]->isSending());
    }
    EXPECT_EQ(pool.getNumEntries(), 0);
    EXPECT_FALSE(d.malformed());
}

TEST(RtsSessionDriven, FiftyOneTicksWithoutAWrittenByteClose)
{
    SessionDriver d(cClients);
    d.channel(7, 1, 10, 20);
    RtsTcpSession& other = d.logOn("other", "bob");
    SessionDriver::send(other, request(7, 1, 10));
    RtsTcpSession& stuck = d.logOn("stuck", "bob");
    SessionDriver::send(stuck, request(7, 1, 10));
    ASSERT_EQ(d.server().getActiveClients(), 2u);
    ASSERT_EQ(stuck.maxAttemptsToSendBeforeDisconnect(), 51u); // 5 s echo wait / 100 ms ticks + 1
    d.always("stuck", Write{0, WOULD_BLOCK});
    for (int tick = 1; tick <= 50; ++tick)
        stuck.onTimer(&stuck.sendingTimer());
    EXPECT_TRUE(stuck.connected());
    stuck.onTimer(&stuck.sendingTimer());
    EXPECT_FALSE(stuck.connected());
    EXPECT_EQ(d.sink().count("unable to write to buffer in [51] attempts", LOG_LEVEL_ERROR), 1);
    // Counted out once: the other receiver keeps its share.
    EXPECT_EQ(d.server().getActiveClients(), 1u);
    EXPECT_TRUE(other.connected());
}

TEST(RtsSessionDriven, FailedWritesByCode)
{
    struct Case
    {
        int code;
        bool staysOpen;
        const char* logged; // the line's start, "" none
        LogLevels level;
    };
    const Case cases[] = {
        {WOULD_BLOCK, true, "failed due to error|702|. will attempt to resend", LOG_LEVEL_WARNING},
        {BUFFER_FULL, true, "failed due to error|200|. will attempt to resend", LOG_LEVEL_WARNING},
        {HEAD_INDEX_CHANGED, true, "failed due to error|206|. will attempt to resend", LOG_LEVEL_WARNING},
        {LOCK_NO_RES, true, "failed due to error|309|. will attempt to resend", LOG_LEVEL_WARNING},
        {CONN_CLOSED, true, "", LOG_LEVEL_WARNING},
        {RES_NOT_EXIST, true, "", LOG_LEVEL_WARNING},
        {1005, false, "failed due to error|1005|. will close connection.", LOG_LEVEL_ERROR},
    };
    for (const Case& c : cases)
    {
        SessionDriver d(cClients);
        d.channel(7, 1, 3, 20);
        RtsTcpSession& other = d.logOn("other", "bob");
        SessionDriver::send(other, request(7, 1, 3));
        RtsTcpSession& s = d.logOn("s", "bob");
        SessionDriver::send(s, request(7, 1, 3));
        // The response, 32 bytes: 10 go out, then the failure.
        d.script("s") = {Write{10}, Write{-1, c.code}};
        s.onTimer(&s.sendingTimer());
        EXPECT_EQ(s.connected(), c.staysOpen) << c.code;
        if (*c.logged != '\0')
        {
            EXPECT_EQ(d.sink().count(c.logged, c.level), 1) << c.code;
        }
        EXPECT_EQ(d.sink().count("failed due to error|"), *c.logged != '\0' ? 1 : 0) << c.code;
        if (!c.staysOpen)
        {
            EXPECT_EQ(d.server().getActiveClients(), 1u) << c.code; // lowered once
            continue;
        }
        EXPECT_EQ(s.bytesSent(), 10u) << c.code;
        EXPECT_EQ(d.wire("s").size(), 10u) << c.code;
        // The next tick writes the other 22 bytes, then the data: the
        // response keeps the number it was given with its first byte.
        s.onTimer(&s.sendingTimer());
        const std::vector<Packet> out = d.packets("s");
        ASSERT_EQ(out.size(), 2u) << c.code;
        EXPECT_EQ(out[0].retransStatus(), 0) << c.code;
        EXPECT_EQ(out[0].seq, 2u) << c.code;
        EXPECT_EQ(out[1].seq, 1u) << c.code;
        EXPECT_EQ(out[1].count, 3) << c.code;
        EXPECT_FALSE(d.malformed()) << c.code;
    }
}

TEST(RtsSessionDriven, DirectWritesKeepOutOfAPartlyWrittenPacket)
{
    SessionDriver d(cClients);
    d.channel(7, 1, 3, 20);
    RtsTcpSession& s = d.logOn("s", "bob");
    SessionDriver::send(s, request(7, 1, 3));
    d.script("s") = {Write{10}, Write{0, WOULD_BLOCK}};
    s.onTimer(&s.sendingTimer());
    ASSERT_EQ(s.bytesSent(), 10u);

    // A heartbeat due now waits: nothing is written, and it is tried again in 1 s.
    s.onTimer(&s.heartbeatTimer());
    EXPECT_EQ(d.wire("s").size(), 10u);
    unsigned interval = 0;
    s.heartbeatTimer().getInterval(interval);
    EXPECT_EQ(interval, 1000u);
    EXPECT_EQ(d.sink().count("HeartBeat send failed, trying again in [1] seconds."), 1);

    s.onTimer(&s.sendingTimer());
    s.onTimer(&s.heartbeatTimer());
    s.heartbeatTimer().getInterval(interval);
    EXPECT_EQ(interval, 30000u);
    std::vector<Packet> out = d.packets("s");
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0].type(), 202);
    EXPECT_EQ(out[1].count, 3);
    EXPECT_TRUE(out[2].isHeartbeat());
    EXPECT_EQ(out[2].seq, 3u);

    // A heartbeat itself written in part: its rest leaves first on the next
    // tick, ahead of the response queued meanwhile.
    d.script("s") = {Write{6}, Write{0, WOULD_BLOCK}};
    s.onTimer(&s.heartbeatTimer());
    SessionDriver::send(s, heartbeatEcho(4));
    SessionDriver::send(s, request(7, 2, 2)); // waits for the queue to empty
    while (s.isSending())
        s.onTimer(&s.sendingTimer());
    out = d.packets("s");
    ASSERT_EQ(out.size(), 3u);
    EXPECT_TRUE(out[0].isHeartbeat());
    EXPECT_EQ(out[0].seq, 4u);
    EXPECT_EQ(out[1].seq, 5u);
    EXPECT_EQ(out[2].seq, 2u);
    EXPECT_TRUE(s.connected());
    EXPECT_FALSE(d.malformed());
}

TEST(RtsSessionDriven, HeartbeatEchoes)
{
    enum Echo
    {
        ON_TIME,
        LATE,
        WRONG,
        PREVIOUS_AFTER_NEXT,
    };
    struct Case
    {
        const char* name;
        Echo echo;
        bool staysOpen;
        const char* logged;
    };
    const Case cases[] = {
        {"echoed", ON_TIME, true, ""},
        {"late", LATE, false, "No Response from Client bob within timeout period"},
        {"wrong number", WRONG, false, "Unexpected sequence number in Heartbeat Response. Actual:7 Expected: 2"},
        {"previous after the next", PREVIOUS_AFTER_NEXT, true, ""},
    };
    for (const Case& c : cases)
    {
        SessionDriver d(cClients);
        d.channel(7, 1, 3, 20);
        RtsTcpSession& s = d.logOn("s", "bob");
        ASSERT_TRUE(s.heartbeatTimer().isValid()) << c.name;
        s.onTimer(&s.heartbeatTimer());
        std::vector<Packet> out = d.packets("s");
        ASSERT_EQ(out.size(), 1u) << c.name;
        EXPECT_TRUE(out[0].isHeartbeat()) << c.name;
        EXPECT_EQ(out[0].seq, 2u) << c.name;
        EXPECT_TRUE(s.awaitsHeartbeatEcho()) << c.name;
        switch (c.echo)
        {
        case ON_TIME:
            SessionDriver::send(s, heartbeatEcho(2));
            EXPECT_FALSE(s.awaitsHeartbeatEcho()) << c.name;
            break;
        case LATE:
            s.onTimer(&s.heartbeatRspTimer());
            break;
        case WRONG:
            SessionDriver::send(s, heartbeatEcho(7));
            break;
        case PREVIOUS_AFTER_NEXT:
            s.onTimer(&s.heartbeatTimer()); // number 3 goes out before 2 is echoed
            SessionDriver::send(s, heartbeatEcho(2));
            EXPECT_TRUE(s.awaitsHeartbeatEcho()) << c.name; // 3 is still awaited
            SessionDriver::send(s, heartbeatEcho(3));
            EXPECT_FALSE(s.awaitsHeartbeatEcho()) << c.name;
            break;
        }
        EXPECT_EQ(s.connected(), c.staysOpen) << c.name;
        if (*c.logged != '\0')
        {
            EXPECT_EQ(d.sink().count(c.logged, LOG_LEVEL_WARNING), 1) << c.name;
        }
    }
}

TEST(RtsSessionDriven, RequestFloodIsRefusedAsTheLimitRefusesIt)
{
    SessionDriver d(cClients, 5000);
    d.channel(9, 1, 200, 1000);
    RtsTcpSession& s = d.logOn("s", "alice"); // 10 requests allowed
    SessionDriver::send(s, request(9, 1, 200));
    RtsClientEntry* alice = d.clients().getClientEntry("alice");
    ASSERT_EQ(alice->mNumRequests, 1);
    // Nine more can still be admitted; the tenth waiting would be refused.
    std::string flood;
    for (int i = 0; i < 9; ++i)
        flood += request(9, 1, 1);
    SessionDriver::send(s, flood);
    EXPECT_TRUE(s.connected());
    EXPECT_EQ(s.pendingRequests(), 10u);
    SessionDriver::send(s, request(9, 1, 1) + request(9, 1, 1));
    EXPECT_FALSE(s.connected());
    EXPECT_EQ(s.pendingRequests(), 0u);
    EXPECT_EQ(d.sink().count("Rejected RetransRequest with status EXCEEDS_MAXIMUM_REQUESTS_PER_DAY", LOG_LEVEL_WARNING),
              1);
}

TEST(RtsSessionDriven, PacketsCarryTheirFirstMessagesNumber)
{
    SessionDriver d(cClients);
    LineDataCacheManager::LineDataCache* tiny = d.channel(5, 1, 400, 4, 1000);
    // A slot whose size field no longer matches its bytes is skipped.
    std::vector<char> wrong = messageBytes(4, 5, 0x0500, 100);
    tiny->getMessage(100)->setData(wrong.data(), 4);
    RtsTcpSession& s = d.logOn("s", "bob");

    struct Case
    {
        const char* name;
        std::uint32_t begin;
        std::uint32_t end;
        std::vector<std::pair<std::uint32_t, int>> packets; // number, messages
        std::uint32_t accepted;                              // messages counted for the client
    };
    const Case cases[] = {
        {"a packet closes at 255 messages", 101, 400, {{101, 255}, {356, 45}}, 300},
        {"a skipped message closes the packet", 1, 300, {{1, 99}, {101, 200}}, 300},
        {"begin 0 is served and counted from 1", 0, 3, {{1, 3}}, 3},
    };
    for (const Case& c : cases)
    {
        const std::uint32_t before = d.clients().getClientEntry("bob")->mAcceptedMessages;
        SessionDriver::send(s, request(5, c.begin, c.end));
        while (s.isSending())
            s.onTimer(&s.sendingTimer());
        const std::vector<Packet> out = d.packets("s");
        ASSERT_EQ(out.size(), c.packets.size() + 1) << c.name;
        EXPECT_EQ(out[0].retransStatus(), 0) << c.name;
        EXPECT_EQ(out[0].begin(), c.begin) << c.name;
        for (std::size_t i = 0; i < c.packets.size(); ++i)
        {
            EXPECT_EQ(out[i + 1].seq, c.packets[i].first) << c.name;
            EXPECT_EQ(out[i + 1].count, c.packets[i].second) << c.name;
            for (int m = 0; m < out[i + 1].count; ++m)
                EXPECT_EQ(out[i + 1].messages[m].bytes,
                          std::string(messageBytes(4, 4, 0x0500, c.packets[i].first + m).data(), 4))
                    << c.name;
        }
        EXPECT_EQ(d.clients().getClientEntry("bob")->mAcceptedMessages - before, c.accepted) << c.name;
    }
    EXPECT_EQ(d.sink().count("Length of message does NOT match: DataLen=4 MsgSize=5", LOG_LEVEL_WARNING), 1);
}

TEST(RtsSessionDriven, ServiceTextOfTheListener)
{
    struct Case
    {
        const char* service;
        int port;           // registered, or 0 when refused
        const char* error;  // the refusal's start
    };
    const Case cases[] = {
        {"8080", 8080, ""},
        {"0x1F90", 8080, ""},
        {"017620", 8080, ""},
        {"0", 0, "Invalid service parameter: 0: "},
        {"70000", 0, "Invalid service parameter: 70000: "},
        {"80x", 0, "Invalid service parameter: 80x: "},
        {"", 0, "Invalid (empty) service parameter: "},
    };
    // Each case's server enters the process's handle map under one name and
    // leaves it when destroyed: the next case registers that name again.
    for (const Case& c : cases)
    {
        SessionDriver d(cClients);
        d.server().setTcpIpAddress("127.0.0.1");
        d.server().setTcpService(c.service);
        std::string error;
        try
        {
            d.server().registerNetwork();
        }
        catch (const LineError& e)
        {
            error = e.what();
        }
        const std::vector<int>& ports = ScriptedNet::get().listenPorts;
        if (c.port != 0)
        {
            EXPECT_EQ(error, "") << c.service;
            ASSERT_EQ(ports.size(), 1u) << c.service;
            EXPECT_EQ(ports[0], c.port) << c.service;
        }
        else
        {
            EXPECT_EQ(error.rfind(c.error, 0), 0u) << c.service << ": " << error;
            EXPECT_TRUE(ports.empty()) << c.service;
        }
    }
}

TEST(RtsSessionDriven, ACacheGoneAfterAcceptanceStillEndsTheRequest)
{
    SessionDriver d(cClients);
    d.channel(7, 1, 3, 20);
    RtsTcpSession& s = d.logOn("s", "bob");
    d.caches().vanishAfter(7, 1); // the request's checks see it, the packing does not
    SessionDriver::send(s, request(7, 1, 3));
    SessionDriver::send(s, request(5, 1, 1)); // waits behind the first
    while (s.isSending())
        s.onTimer(&s.sendingTimer());
    const std::vector<Packet> out = d.packets("s");
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].retransStatus(), 0); // no data follows
    EXPECT_EQ(out[1].retransStatus(), 2); // the next request was served
    EXPECT_EQ(s.pendingRequests(), 0u);
    EXPECT_EQ(d.sink().count("Could not find LineDataCache for channel 7", LOG_LEVEL_ERROR), 1);
}

// Requests sent together are answered one after another within each tick's
// budget (100 packets here): 200 one-message requests, 400 packets, take
// four ticks, not one tick each.
TEST(RtsSessionDriven, PipelinedRequestsShareTheTicksBudget)
{
    SessionDriver d(cClients);
    d.channel(9, 1, 200, 20);
    RtsTcpSession& s = d.logOn("s", "bob");
    std::string burst;
    for (std::uint32_t i = 1; i <= 200; ++i)
        burst += request(9, i, i);
    SessionDriver::send(s, burst);
    int ticks = 0;
    while (s.isSending() && ticks < 300)
    {
        s.onTimer(&s.sendingTimer());
        ++ticks;
    }
    EXPECT_EQ(ticks, 4);
    const std::vector<Packet> out = d.packets("s");
    ASSERT_EQ(out.size(), 400u);
    for (std::uint32_t i = 0; i < 200; ++i)
    {
        ASSERT_EQ(out[2 * i].retransStatus(), 0) << i;
        ASSERT_EQ(out[2 * i].begin(), i + 1) << i;
        ASSERT_EQ(out[2 * i + 1].count, 1) << i;
        ASSERT_EQ(out[2 * i + 1].seq, i + 1) << i;
    }
    EXPECT_EQ(s.pendingRequests(), 0u);
    EXPECT_FALSE(d.malformed());
}

// A client that sends its packets a byte at a time: the partial-packet
// warnings stop at the per-connection limit, the count of the rest is
// written when the connection closes, and every packet is still framed and
// handled as before (heartbeat echoes, then the logon).
TEST(RtsSessionDriven, DribbledBytesWarnUpToTheLimitAndAreStillHandled)
{
    SessionDriver d(cClients);
    RtsTcpSession& s = d.accept("s");
    std::string stream;
    for (int i = 0; i < 20; ++i)
        stream += heartbeatEcho(0); // the heartbeat number is 0 until the first heartbeat
    stream += logon("bob");
    for (char byte : stream)
        SessionDriver::send(s, std::string(1, byte));
    EXPECT_TRUE(s.isLoggedOn());
    const std::vector<Packet> out = d.packets("s");
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].logonStatus(), 0);

    // 15 partial headers per echo, and 15 plus 16 partial bytes of the logon.
    constexpr int cPartial = 20 * 15 + 31;
    EXPECT_EQ(d.sink().count("Detected incomplete packet", LOG_LEVEL_WARNING), 10);
    EXPECT_EQ(d.sink().count("similar log lines held back"), 0);
    s.closeSocket();
    EXPECT_EQ(d.sink().count(std::to_string(cPartial - 10) + " similar log lines held back", LOG_LEVEL_WARNING), 1);
    EXPECT_EQ(d.sink().count("similar log lines held back"), 1);

    // The next connection on the same session starts with an allowance of its own.
    RtsTcpSession& next = d.accept("next");
    for (char byte : heartbeatEcho(0))
        SessionDriver::send(next, std::string(1, byte));
    EXPECT_EQ(d.sink().count("Detected incomplete packet", LOG_LEVEL_WARNING), 10 + 10);
}
