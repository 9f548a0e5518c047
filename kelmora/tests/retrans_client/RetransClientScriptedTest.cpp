// The retransmission client with the framework's network calls scripted:
// the bytes it sends are recorded and the server's bytes are handed to it as
// a read would. How requests are cut, what a hostile server's packets lead
// to, a long stream in random pieces and random garbage, answers nobody
// asked for, refused logons, cancels, and answers numbered wrongly, sent
// twice or larger than asked.
#include "RetransTestSupport.h"

#include "kelmora/linehandler/FileDescBuffer.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <tuple>

using namespace rtest;

namespace
{

using Range = std::tuple<std::uint16_t, std::uint32_t, std::uint32_t>;

// A test that does not finish in time aborts: a client that spins on a
// packet must fail, not hang the suite.
class Watchdog
{
public:
    explicit Watchdog(std::chrono::seconds limit)
        : mThread([this, limit] {
              std::unique_lock lock(mLock);
              if (!mDone.wait_for(lock, limit, [this] { return mFinished; }))
              {
                  std::fprintf(stderr, "retransmission client test did not finish in time\n");
                  std::abort();
              }
          })
    {
    }
    ~Watchdog()
    {
        {
            std::lock_guard lock(mLock);
            mFinished = true;
        }
        mDone.notify_all();
        mThread.join();
    }

private:
    std::mutex mLock;
    std::condition_variable mDone;
    bool mFinished = false;
    std::thread mThread;
};

class ScriptedClient : public ::testing::Test
{
protected:
    ScriptedClient()
    {
        tcptest::gScript = tcptest::Script{};
        NetworkApi::install(&tcptest::cScripted);
    }
    ~ScriptedClient() override
    {
        mRig.reset();
        NetworkApi::install(nullptr);
        tcptest::gScript = tcptest::Script{};
    }

    // A new client of feed `feed` with one server in its hunt list; what
    // it sent so far is forgotten.
    ClientRig& make(const std::string& feed)
    {
        mRig.reset();
        mRig = std::make_unique<ClientRig>(mHost, mThread.session, feed);
        mRig->client.addConnection("127.0.0.1", "7000");
        mRig->client.initNetworkService();
        tcptest::gScript.sent.clear();
        tcptest::gScript.requests.clear();
        mSentSeen = 0;
        return *mRig;
    }
    // Connected as the framework reports it; the logon goes out.
    void connect()
    {
        mRig->client.onReadyToConnect();
        mRig->client.onConnect();
    }
    void logOn()
    {
        connect();
        feed(logonResponse(0, 1));
    }
    void feed(const std::string& bytes)
    {
        mRig->client.onNetworkData(bytes.data(), static_cast<unsigned int>(bytes.size()));
    }
    // The packets sent since the last call.
    std::vector<Sent> newlySent()
    {
        std::string bytes = tcptest::gScript.sent.substr(mSentSeen);
        mSentSeen = tcptest::gScript.sent.size();
        std::vector<Sent> out;
        Sent s;
        while (takeSent(bytes, s))
            out.push_back(s);
        return out;
    }
    static std::vector<Range> requestsIn(const std::vector<Sent>& sent)
    {
        std::vector<Range> out;
        for (const Sent& s : sent)
            if (s.msgType == 201)
                out.emplace_back(s.channel, s.begin, s.end);
        return out;
    }
    bool closeRequested(const std::string& feed) const
    {
        const auto& r = tcptest::gScript.requests;
        return std::find(r.begin(), r.end(), "CONN_TERM " + feed + ":0") != r.end();
    }

    Watchdog mWatchdog{std::chrono::seconds(60)};
    hostrun::Host mHost;
    hostrun::Thread<> mThread{mHost, "RTCSCRIPT"};
    std::unique_ptr<ClientRig> mRig;
    std::size_t mSentSeen = 0;
};

} // namespace

// Pieces of M - 1 numbers; no cutting below M = 2; ranges that cannot be
// asked for are refused with a line and queue nothing.
TEST_F(ScriptedClient, CutsRequestsIntoPiecesOfAtMostTheRangeLessOne)
{
    const struct
    {
        const char* name;
        long range;
        std::uint32_t begin, end;
        const char* feedId;
        std::vector<Range> sent;
        const char* refusal;
    } cases[] = {
        {"one short of a split", 50000, 1, 49999, "7", {{7, 1, 49999}}, nullptr},
        {"one number over", 50000, 1, 50000, "7", {{7, 1, 49999}, {7, 50000, 50000}}, nullptr},
        {"three pieces", 50000, 1, 120000, "7", {{7, 1, 49999}, {7, 50000, 99998}, {7, 99999, 120000}}, nullptr},
        {"no splitting at 0", 0, 1, 200000, "7", {{7, 1, 200000}}, nullptr},
        {"none at 1 either", 1, 5, 9, "7", {{7, 5, 9}}, nullptr},
        {"pieces of one", 2, 5, 8, "9", {{9, 5, 5}, {9, 6, 6}, {9, 7, 7}, {9, 8, 8}}, nullptr},
        {"up to the last number", 3, 4294967290u, 4294967295u, "7",
         {{7, 4294967290u, 4294967291u}, {7, 4294967292u, 4294967293u}, {7, 4294967294u, 4294967295u}}, nullptr},
        {"end below begin", 50000, 9, 8, "7", {}, "the end lies below the begin"},
        {"end below begin, wrapping small", 50000, 4294967295u, 2, "7", {}, "the end lies below the begin"},
        {"both at the top: nothing asked", 50000, 4294967295u, 4294967295u, "7", {}, nullptr},
        {"too many pieces", 2, 0, 4294967294u, "7", {}, "would pass the queue's 100000"},
        {"a channel no packet can name", 50000, 1, 5, "70000", {}, "a channel id is at most 65535"},
    };
    int row = 0;
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        ClientRig& rig = make("CUT" + std::to_string(row++));
        rig.client.setMaxRetransRequestRange(c.range);
        logOn();
        newlySent();
        const int refusals = c.refusal != nullptr ? mHost.sink.count(c.refusal) : 0;
        rig.request(c.begin, c.end, c.feedId);
        // Each refused with status 1 (no refresh), so that the next goes.
        std::vector<Range> sent;
        for (std::vector<Sent> batch = newlySent(); !batch.empty(); batch = newlySent())
            for (const Range& r : requestsIn(batch))
            {
                sent.push_back(r);
                feed(retransResponse(std::get<0>(r), 1, std::get<1>(r), std::get<2>(r), 2));
            }
        EXPECT_EQ(sent, c.sent);
        EXPECT_EQ(rig.client.getQueueSize(), 0u);
        if (c.refusal != nullptr)
        {
            EXPECT_EQ(mHost.sink.count(c.refusal), refusals + 1);
        }
    }
}

// Every packet a server could send that breaks the framing ends in the
// protocol error: a line with the sizes, the buffer cleared, the line taken
// down, nothing published.
TEST_F(ScriptedClient, HostilePacketsEndInTheProtocolErrorAndPublishNothing)
{
    struct Case
    {
        std::string name;
        std::string bytes;
        int size; // the packet size the line names
    };
    std::vector<Case> cases;
    for (int size = 0; size < 16; ++size)
    {
        std::string header = packet(1, 1, "");
        header[0] = static_cast<char>(size);
        cases.push_back({"size " + std::to_string(size), header, size});
    }
    for (int size = 16; size < 20; ++size)
        cases.push_back({"count 1 in " + std::to_string(size) + " bytes", packet(1, 1, std::string(size - 16, '\x05')),
                         size});
    auto message = [](std::uint16_t size, std::uint16_t type, std::size_t bytes) {
        std::string m;
        put16(m, size);
        put16(m, type);
        m.resize(bytes, '\0');
        return m;
    };
    cases.push_back({"logon response of 4 bytes", packet(2, 1, message(4, 102, 4)), 20});
    cases.push_back({"logon response of 7 bytes", packet(2, 1, message(7, 102, 7)), 23});
    cases.push_back({"retransmission response of 8 bytes", packet(2, 1, message(8, 202, 8)), 24});
    cases.push_back({"retransmission response of 15 bytes", packet(2, 1, message(15, 202, 15)), 31});
    cases.push_back({"1473 bytes", packet(1, 1, message(1457, 0x0500, 1457)), 1473});
    cases.push_back({"65535 bytes, header only so far", packet(1, 1, "").replace(0, 2, "\xFF\xFF"), 65535});
    cases.push_back({"count 2, one message", packet(1, 2, feedMessage(1)), 28});
    cases.push_back({"count 1, two messages", packet(1, 1, feedMessage(1) + feedMessage(2)), 40});
    cases.push_back({"count 0 with a body", packet(1, 0, feedMessage(1)), 28});
    cases.push_back({"message shorter than its own header", packet(1, 1, message(3, 0x0500, 12)), 28});
    cases.push_back({"message running past the packet", packet(1, 1, message(20, 0x0500, 12)), 28});
    cases.push_back({"message of size 0", packet(1, 1, message(0, 0x0500, 12)), 28});
    cases.push_back({"sequence reset too short for its number", packet(1, 1, message(6, 100, 6)), 22});

    int row = 0;
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        const std::string feedName = "HOST" + std::to_string(row++);
        ClientRig& rig = make(feedName);
        logOn();
        rig.request(1, 10);
        ASSERT_EQ(requestsIn(newlySent()), (std::vector<Range>{{7, 1, 10}}));
        const std::string sized = "protocol error: ";
        const std::string named = "(packet size " + std::to_string(c.size) + ",";
        const int errors = mHost.sink.count(sized);
        const int namedBefore = mHost.sink.count(named);
        // Accepted first: a data packet is taken as the answer only then.
        feed(retransResponse(7, 0, 1, 10, 2));
        feed(c.bytes);
        EXPECT_FALSE(rig.client.connected());
        EXPECT_TRUE(closeRequested(feedName));
        EXPECT_EQ(mHost.sink.count(sized), errors + 1);
        EXPECT_EQ(mHost.sink.count(named), namedBefore + 1);
        EXPECT_TRUE(rig.live.packets.empty());
        EXPECT_TRUE(rig.live.completes.empty());
        EXPECT_EQ(rig.client.getBuffer().bufferSize(), 0u);
        // The range waits for the next connection, and one is on its way.
        EXPECT_EQ(rig.client.getQueueSize(), 1u);
        EXPECT_TRUE(rig.client.reconnectTimerActive());
    }
}

// A long answer with heartbeats in it, handed over in random pieces, comes
// out whole and in order; random bytes end in protocol errors and
// reconnects, never in a crash or a read past the data (the sanitizers
// watch), and the client stays usable.
TEST_F(ScriptedClient, ARandomlyCutStreamArrivesWholeAndRandomBytesDoNoHarm)
{
    std::mt19937 rng(20240611);
    ClientRig& rig = make("RANDOM");
    logOn();
    rig.request(1, 20000);
    newlySent();

    std::string stream = retransResponse(7, 0, 1, 20000, 2);
    std::vector<std::string> heartbeats;
    std::uniform_int_distribution<unsigned> perPacket(1, 120);
    for (std::uint32_t n = 1; n <= 20000;)
    {
        const std::uint32_t last = std::min<std::uint32_t>(20000, n + perPacket(rng) - 1);
        stream += dataPackets(n, last, 255);
        n = last + 1;
        if (rng() % 50 == 0)
        {
            heartbeats.push_back(heartbeat(3 + static_cast<std::uint32_t>(heartbeats.size()), rng()));
            stream += heartbeats.back();
        }
    }
    std::uniform_int_distribution<std::size_t> piece(1, 3000);
    for (std::size_t at = 0; at < stream.size();)
    {
        const std::size_t n = std::min(piece(rng), stream.size() - at);
        feed(stream.substr(at, n));
        at += n;
    }
    std::vector<std::uint32_t> got;
    ASSERT_TRUE(rig.live.messages(got));
    ASSERT_EQ(got.size(), 20000u);
    for (std::uint32_t i = 0; i < got.size(); ++i)
        ASSERT_EQ(got[i], i + 1);
    EXPECT_EQ(rig.live.completes, (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{1, 20000}}));
    std::vector<std::string> echoed;
    for (const Sent& s : newlySent())
        if (s.count == 0)
            echoed.push_back(s.raw);
    EXPECT_EQ(echoed, heartbeats);
    EXPECT_TRUE(rig.client.connected());

    // Garbage, some of it dressed as packet headers, in random pieces.
    rig.request(30001, 30010);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<std::size_t> length(1, 200);
    int reconnects = 0;
    for (int round = 0; round < 400; ++round)
    {
        if (!rig.client.connected())
        {
            ++reconnects;
            logOn();
        }
        std::string garbage(length(rng), '\0');
        for (char& b : garbage)
            b = static_cast<char>(byte(rng));
        if (round % 3 == 0 && garbage.size() >= 4)
        {
            garbage[0] = static_cast<char>(16 + byte(rng) % 64);
            garbage[1] = '\0';
            garbage[2] = static_cast<char>(byte(rng) % 4);
        }
        feed(garbage);
    }
    EXPECT_GT(reconnects, 10);
    EXPECT_LE(rig.client.getQueueSize(), 1u);
    // Still a working client: a clean connection serves what is queued.
    if (rig.client.connected())
        rig.client.disconnect();
    rig.request(40001, 40010);
    // Only what this connection asks is answered.
    newlySent();
    logOn();
    for (std::vector<Sent> batch = newlySent(); !batch.empty(); batch = newlySent())
        for (const Range& r : requestsIn(batch))
            feed(retransResponse(7, 0, std::get<1>(r), std::get<2>(r), 2) +
                 dataPackets(std::get<1>(r), std::get<2>(r), 10));
    EXPECT_EQ(rig.live.completes.back(), std::make_pair(std::uint64_t{40001}, std::uint64_t{40010}));
    EXPECT_EQ(rig.client.getQueueSize(), 0u);
}

// Nothing is asked before the logon is answered, and bytes that answer
// nothing asked for neither count for a range nor end one.
TEST_F(ScriptedClient, AnswersNobodyAskedForAreIgnored)
{
    ClientRig& rig = make("STRAY");
    connect();
    rig.request(1, 10);
    std::vector<Sent> sent = newlySent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].msgType, 101) << "only the logon before its answer";

    feed(dataPackets(1, 5, 5));
    feed(retransResponse(7, 0, 1, 10, 2));
    EXPECT_TRUE(rig.live.packets.empty());
    EXPECT_TRUE(rig.live.completes.empty());
    EXPECT_EQ(rig.client.getQueueSize(), 1u);
    EXPECT_EQ(mHost.sink.count("5 messages from 1 while no request is outstanding; ignored"), 1);
    EXPECT_EQ(mHost.sink.count("response while no request is outstanding; ignored"), 1);

    feed(logonResponse(0, 3));
    EXPECT_EQ(requestsIn(newlySent()), (std::vector<Range>{{7, 1, 10}}));
    feed(retransResponse(7, 0, 1, 10, 4) + dataPackets(1, 7, 7));
    EXPECT_TRUE(rig.live.completes.empty()) << "7 of 10 messages";
    feed(dataPackets(8, 10, 3));
    EXPECT_EQ(rig.live.completes, (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{1, 10}}));
    EXPECT_EQ(rig.live.packets.size(), 2u);
}

// A refused logon takes the line down, so that the back-off tries again;
// the range stays queued for the next connection.
TEST_F(ScriptedClient, ARefusedLogonDisconnectsAndKeepsTheRange)
{
    const struct
    {
        std::uint8_t status;
        const char* line;
    } cases[] = {{5, "Invalid Username."}, {100, "User already connected."}, {3, "Logon refused with status 3"}};
    int row = 0;
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.line);
        const std::string feedName = "LOGON" + std::to_string(row++);
        ClientRig& rig = make(feedName);
        rig.request(1, 10);
        connect();
        feed(logonResponse(c.status, 1));
        EXPECT_FALSE(rig.client.connected());
        EXPECT_TRUE(closeRequested(feedName));
        EXPECT_TRUE(rig.client.reconnectTimerActive());
        EXPECT_EQ(mHost.sink.count(c.line), 1);
        EXPECT_TRUE(requestsIn(newlySent()).empty());
        EXPECT_EQ(rig.client.getQueueSize(), 1u);
        // The next connection logs on and asks.
        logOn();
        EXPECT_EQ(requestsIn(newlySent()), (std::vector<Range>{{7, 1, 10}}));
    }
}

// A cancel drops the queued ranges of its feed it covers whole and marks
// the front one when it covers it, so that its refusal asks for no refresh;
// a range it does not cover whole keeps asking.
TEST_F(ScriptedClient, ACancelDropsAndMarksOnlyTheRangesItCovers)
{
    ClientRig& rig = make("CANCEL");
    rig.client.setRefreshEnabled(true);
    LiveChannel nine("NINE");
    rig.client.addOrluLineData(9, &nine.data);
    logOn();
    rig.request(100, 199);
    rig.request(200, 299);
    rig.request(300, 399);
    rig.request(250, 260, "9");
    EXPECT_EQ(requestsIn(newlySent()), (std::vector<Range>{{7, 100, 199}}));

    rig.request(0, 150, "7", true);
    EXPECT_EQ(rig.client.getQueueSize(), 4u) << "nothing ends at or below 150";
    rig.request(0, 299, "7", true);
    EXPECT_EQ(rig.client.getQueueSize(), 3u) << "200-299 dropped, the front kept";
    EXPECT_EQ(rig.refresh.seen, (std::vector<std::string>{"7 cancel", "7 cancel"}));

    feed(retransResponse(7, 2, 100, 199, 2));
    EXPECT_EQ(rig.refresh.seen.size(), 2u) << "the cancelled front asks for no refresh";
    EXPECT_EQ(requestsIn(newlySent()), (std::vector<Range>{{7, 300, 399}}));
    // A refused range asks for a refresh that holds the channel's realtime data.
    feed(retransResponse(7, 2, 300, 399, 3));
    EXPECT_EQ(rig.refresh.seen, (std::vector<std::string>{"7 cancel", "7 cancel", "7 spool"}));
    EXPECT_EQ(requestsIn(newlySent()), (std::vector<Range>{{9, 250, 260}}));
    feed(retransResponse(9, 1, 250, 260, 4));

    // A cancel ending inside the outstanding range leaves it unmarked: its
    // refusal still asks for a refresh.
    rig.request(500, 599);
    EXPECT_EQ(requestsIn(newlySent()), (std::vector<Range>{{7, 500, 599}}));
    rig.request(0, 550, "7", true);
    feed(retransResponse(7, 2, 500, 599, 5));
    EXPECT_EQ(rig.refresh.seen, (std::vector<std::string>{"7 cancel", "7 cancel", "7 spool", "7 cancel", "7 spool"}));
    EXPECT_EQ(rig.client.getQueueSize(), 0u);
}

// An answer is taken only as numbered from the range's first number on,
// without a hole, and only up to its end: a packet sent again is published
// once and counts once, messages past the end are cut off (what trails the
// completed range never counts for the next one), and a packet numbered
// where another was due takes the line down, publishing nothing of it, so
// that the range is asked again whole after the next logon, where what was
// published already is not published again.
TEST_F(ScriptedClient, AnAnswerCountsEachNumberOnceAndPublishesOnlyTheRangeAsNumbered)
{
    // A data packet numbered `seq` that holds messages first..last.
    auto numbered = [](std::uint32_t seq, std::uint32_t first, std::uint32_t last) {
        std::string body;
        for (std::uint32_t n = first; n <= last; ++n)
            body += feedMessage(n);
        return packet(seq, static_cast<std::uint8_t>(last - first + 1), body);
    };
    auto range = [](std::uint32_t first, std::uint32_t last) {
        std::vector<std::uint32_t> out;
        for (std::uint32_t n = first; n <= last; ++n)
            out.push_back(n);
        return out;
    };
    auto join = [](std::vector<std::uint32_t> a, const std::vector<std::uint32_t>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const struct
    {
        const char* name;
        std::uint32_t begin, end;
        std::string data; // after the accepted response
        std::vector<std::uint32_t> published;
        bool bounced;
    } cases[] = {
        {"the first packet sent twice", 1, 10, numbered(1, 1, 5) + numbered(1, 1, 5) + numbered(6, 6, 10),
         range(1, 10), false},
        {"the last packet sent twice", 1, 10, numbered(1, 1, 5) + numbered(6, 6, 10) + numbered(6, 6, 10),
         range(1, 10), false},
        {"more than asked", 1, 10, numbered(1, 1, 7) + numbered(8, 8, 14) + numbered(15, 15, 20), range(1, 10),
         false},
        {"numbered by the control counter", 100, 109, numbered(3, 100, 104) + numbered(4, 105, 109), {}, true},
        {"numbered one above the first message", 100, 109, numbered(101, 100, 104) + numbered(106, 105, 109), {},
         true},
        {"misnumbered after the first packet", 100, 109, numbered(100, 100, 104) + numbered(106, 105, 109),
         range(100, 104), true},
        {"a hole", 100, 109, numbered(100, 100, 104) + numbered(107, 107, 109), range(100, 104), true},
        {"starting below the range", 100, 109, numbered(98, 98, 104) + numbered(105, 105, 109), {}, true},
    };
    int row = 0;
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        const std::string feedName = "NUM" + std::to_string(row++);
        ClientRig& rig = make(feedName);
        logOn();
        const std::uint32_t next = c.end + 1, nextEnd = c.end + 10;
        rig.request(c.begin, c.end);
        rig.request(next, nextEnd);
        ASSERT_EQ(requestsIn(newlySent()), (std::vector<Range>{{7, c.begin, c.end}}));
        const int errors = mHost.sink.count("protocol error: ");
        feed(retransResponse(7, 0, c.begin, c.end, 2) + c.data);
        std::vector<std::uint32_t> got;
        ASSERT_TRUE(rig.live.messages(got));
        EXPECT_EQ(got, c.published);
        if (c.bounced)
        {
            EXPECT_FALSE(rig.client.connected());
            EXPECT_TRUE(closeRequested(feedName));
            EXPECT_EQ(mHost.sink.count("protocol error: "), errors + 1);
            EXPECT_TRUE(rig.live.completes.empty());
            EXPECT_EQ(rig.client.getQueueSize(), 2u);
            logOn();
            EXPECT_EQ(requestsIn(newlySent()), (std::vector<Range>{{7, c.begin, c.end}}));
            feed(retransResponse(7, 0, c.begin, c.end, 2) + numbered(c.begin, c.begin, c.end));
            got.clear();
            ASSERT_TRUE(rig.live.messages(got));
            EXPECT_EQ(got, range(c.begin, c.end));
            EXPECT_EQ(rig.live.completes, (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{c.begin, c.end}}));
            continue;
        }
        EXPECT_TRUE(rig.client.connected());
        EXPECT_EQ(mHost.sink.count("protocol error: "), errors);
        EXPECT_EQ(rig.live.completes, (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{c.begin, c.end}}));
        // The next range is asked at once; whatever trailed the first one
        // came ahead of its answer.
        EXPECT_EQ(requestsIn(newlySent()), (std::vector<Range>{{7, next, nextEnd}}));
        feed(retransResponse(7, 0, next, nextEnd, 3) + numbered(next, next, nextEnd));
        got.clear();
        ASSERT_TRUE(rig.live.messages(got));
        EXPECT_EQ(got, join(c.published, range(next, nextEnd)));
        EXPECT_EQ(rig.live.completes, (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{c.begin, c.end},
                                                                                              {next, nextEnd}}));
        EXPECT_EQ(rig.client.getQueueSize(), 0u);
    }
}

// What goes out of a packet in part is a packet of its own: the messages
// kept, its header's size and count saying so, numbered from the first of
// them; the rest of the header as the server sent it.
TEST_F(ScriptedClient, APacketPublishedInPartIsCutToAPacketOfItsOwn)
{
    ClientRig& rig = make("CUTS");
    logOn();
    rig.request(1, 10);
    newlySent();
    feed(retransResponse(7, 0, 1, 10, 2) + packet(1, 3, feedMessage(1) + feedMessage(2) + feedMessage(3), 77));
    // The server closes the line; the range is asked again and answered in
    // other packets, one reaching past the end.
    rig.client.onDisconnect();
    logOn();
    ASSERT_EQ(requestsIn(newlySent()), (std::vector<Range>{{7, 1, 10}}));
    std::string head, tail;
    for (std::uint32_t n = 1; n <= 6; ++n)
        head += feedMessage(n);
    for (std::uint32_t n = 7; n <= 12; ++n)
        tail += feedMessage(n);
    feed(retransResponse(7, 0, 1, 10, 2) + packet(1, 6, head, 88) + packet(7, 6, tail, 99));
    std::vector<std::string> published;
    for (const Recovered& p : rig.live.packets)
        published.push_back(p.bytes);
    EXPECT_EQ(published, (std::vector<std::string>{
                             packet(1, 3, head.substr(0, 36), 77),
                             packet(4, 3, head.substr(36), 88),
                             packet(7, 4, tail.substr(0, 48), 99),
                         }));
    EXPECT_EQ(rig.live.completes, (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{1, 10}}));
}
