// The TCP line handler on scripted framework calls: message framing over
// chunked reads, the reconnect back-off, the hunt-list order, port texts and
// names, bounded sends, heartbeat switches and the admin methods.
#include "TcpTestSupport.h"

#include "kelmora/linehandler/FileDescBuffer.h"
#include "kelmora/linehandler/LineHandlerTcp.h"
#include "zunq/admin/KeshParamList.h"
#include "zunq/admin/KeshUsageError.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>

using namespace tcptest;

namespace
{
struct Tcp : ::testing::Test, ScriptedLine<LineHandlerTcp>
{
    Tcp() : ScriptedLine<LineHandlerTcp>("LHTCP") {}
};

std::string deflateStream(const std::string& plain)
{
    z_stream z{};
    deflateInit(&z, Z_DEFAULT_COMPRESSION);
    std::string out(deflateBound(&z, plain.size()) + 64, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(plain.data()));
    z.avail_in = static_cast<uInt>(plain.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    // A feed's stream never ends: flushed, not finished.
    deflate(&z, Z_SYNC_FLUSH);
    out.resize(out.size() - z.avail_out);
    deflateEnd(&z);
    return out;
}
} // namespace

TEST_F(Tcp, ReadsAreCutAtTheSeparatorWhateverTheChunking)
{
    const std::string sep40 = "<<<<<<<<<<<<<<<<<<<<<<<<<<<<++++++++++++"; // 28 '<' then 12 '+'
    const std::string sep28(28, '<');
    const std::string full(FileDescBuffer::cDefaultSize, 'x');
    struct Case
    {
        const char* name;
        const char* separator; // null: the default ETX
        std::vector<std::string> reads;
        std::vector<std::string> delivered;
        std::string kept;
        int garbage;
    };
    const std::vector<Case> cases = {
        {"A ETX B", nullptr, {"A\003B"}, {"A\003"}, "B", 0},
        {"ends on a separator", nullptr, {"AB\003CD\003"}, {"AB\003", "CD\003"}, "", 0},
        {"message over two reads", nullptr, {"A\003B", "C\003"}, {"A\003", "BC\003"}, "", 0},
        {"CR LF split", "\r\n", {"X\r", "\nY"}, {"X\r\n"}, "Y", 0},
        {"lone CR is data", "\r\n", {"a\rb\r\n"}, {"a\rb\r\n"}, "", 0},
        {"separator string matching but its last byte is data", "<+>", {"a<+b<+>c"}, {"a<+b<+>"}, "c", 0},
        {"full buffer without separator", nullptr, {full + "AB\003C"}, {"AB\003"}, "C", 1},
        {"separator cut to 28", sep40.c_str(), {"M" + sep28 + "N"}, {"M" + sep28}, "N", 0},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        events.clear();
        host.sink.clear();
        LineHandlerTcp& h = make();
        h.setUseRecoveryFile(false);
        if (c.separator != nullptr)
            h.setMessageSeparator(c.separator);
        connectNow();
        events.clear();
        for (const std::string& read : c.reads)
            h.onNetworkData(read.data(), static_cast<unsigned int>(read.size()));
        std::vector<std::string> expected;
        for (const std::string& m : c.delivered)
            expected.push_back("D:" + m);
        EXPECT_EQ(only("D:"), expected);
        EXPECT_EQ(std::string(h.getBuffer().buffer(), h.getBuffer().bufferSize()), c.kept);
        EXPECT_EQ(h.getMsgCount(), c.delivered.size());
        EXPECT_EQ(host.sink.count("LineHandlerTcp::onNetworkData(): garbage data: message separator", LOG_LEVEL_WARNING),
                  c.garbage);
    }
    EXPECT_STREQ(handler->getMessageSeparator(), sep28.c_str());
}

TEST_F(Tcp, GarbageWarningsAreCappedEscapedAndNameTheSeparatorString)
{
    LineHandlerTcp& h = make();
    h.setUseRecoveryFile(false);
    h.setMessageSeparator("\r\n");
    connectNow();
    std::string junk(FileDescBuffer::cDefaultSize, '\001');
    h.onNetworkData(junk.data(), static_cast<unsigned int>(junk.size()));
    EXPECT_EQ(h.getBuffer().bufferSize(), 0u);
    EXPECT_EQ(host.sink.count("message separator (\\x0D\\x0A) not found; skipping 262144 bytes", LOG_LEVEL_WARNING), 1);
    EXPECT_EQ(host.sink.count("LineHandlerTcp::onNetworkData(): buffer: \\x01\\x01", LOG_LEVEL_WARNING), 1);
    for (const auto& line : host.sink.lines())
        EXPECT_LT(line.second.size(), 1000u);
}

// A server whose stream has no separators fills the buffer again and again:
// ten warnings (each with its dump) a minute, and the number held back told
// when the connection goes.
TEST_F(Tcp, GarbageWarningsStopAtTheLimitAndTheRestIsCountedAtDisconnect)
{
    LineHandlerTcp& h = make();
    h.setUseRecoveryFile(false);
    connectNow();
    const std::string junk(FileDescBuffer::cDefaultSize, 'x');
    for (int i = 0; i < 15; ++i)
        h.onNetworkData(junk.data(), static_cast<unsigned int>(junk.size()));
    EXPECT_EQ(host.sink.count("garbage data: message separator", LOG_LEVEL_WARNING), 10);
    EXPECT_EQ(host.sink.count("LineHandlerTcp::onNetworkData(): buffer: ", LOG_LEVEL_WARNING), 10);
    h.disconnect();
    EXPECT_EQ(host.sink.count("LineHandlerTcp (FEED-line): 5 similar log lines held back", LOG_LEVEL_WARNING), 1);
}

TEST_F(Tcp, DeflatedStreamInRandomChunksDeliversEveryMessageInOrder)
{
    LineHandlerTcp& h = make();
    h.setUseRecoveryFile(false);
    h.setDataIsDeflated(true);
    connectNow();
    events.clear();
    std::string plain;
    std::vector<std::string> expected;
    for (int i = 0; i < 3000; ++i)
    {
        const std::string m = "message " + std::to_string(i) + std::string(static_cast<std::size_t>(i % 97), 'z') + "\003";
        plain += m;
        expected.push_back("D:" + m);
    }
    const std::string stream = deflateStream(plain);
    std::mt19937 random(31);
    for (std::size_t at = 0; at < stream.size();)
    {
        const std::size_t n = std::min<std::size_t>(stream.size() - at, 1 + random() % 700);
        h.onNetworkData(stream.data() + at, static_cast<unsigned int>(n));
        at += n;
    }
    EXPECT_EQ(only("D:"), expected);
}

TEST_F(Tcp, FirstMessageSetsTheLineUpUnlessConnectAlreadyDid)
{
    for (bool connectedMeansUp : {false, true})
    {
        SCOPED_TRACE(connectedMeansUp);
        LineHandlerTcp& h = make();
        h.setUseRecoveryFile(false);
        h.setConnectedMeansLineUp(connectedMeansUp);
        events.clear();
        connectNow();
        EXPECT_EQ(only("status:").size(), connectedMeansUp ? 1u : 0u);
        h.onNetworkData("A\003", 2);
        EXPECT_EQ(only("status:"), std::vector<std::string>{"status:up"});
    }
    // Not connected: dropped.
    make().onNetworkData("A\003", 2);
    EXPECT_EQ(handler->getMsgCount(), 0u);
}

// A subscriber acts in the middle of a read: what it changes holds for the
// very next message, and what was delivered before it threw stays counted.
TEST_F(Tcp, SubscribersActingMidReadAffectTheNextMessage)
{
    char pattern[] = "/tmp/lh_tcp_mid_XXXXXX";
    const std::string dir = ::mkdtemp(pattern);
    const std::string file = dir + "/mid.rec";
    LineHandlerTcp& h = make();
    h.setUseRecoveryFile(false);
    h.setRecoveryFile(file);
    connectNow();
    data.after = [&](const LineData& d) {
        if (dataText(d) == "A\003")
        {
            h.writeRecoveryFile(true);
            h.setLineStatus(LineStatus::DOWN);
        }
        if (dataText(d) == "C\003")
            throw LineError("subscriber");
    };
    events.clear();
    EXPECT_THROW(h.onNetworkData("A\003B\003C\003D\003", 8), LineError);
    data.after = nullptr;
    EXPECT_EQ(only("D:"), (std::vector<std::string>{"D:A\003", "D:B\003", "D:C\003"}));
    EXPECT_EQ(only("status:"), (std::vector<std::string>{"status:up", "status:down", "status:up"}));
    EXPECT_EQ(h.getMsgCount(), 2u);
    std::ifstream in(file);
    std::stringstream content;
    content << in.rdbuf();
    EXPECT_EQ(content.str(), "     3         0B\003\n     3         0C\003\n");
    std::remove(file.c_str());
    ::rmdir(dir.c_str());
}

// A record variant's own setData runs for every message: the basic record's
// shortcut must not reach records derived from it.
TEST_F(Tcp, RecordVariantSetsEachMessageItself)
{
    struct LengthNumbered : LineDataBasic
    {
        void setData(const char* bytes, std::uint32_t len) override
        {
            LineDataBasic::setData(bytes, len);
            setSeqNum(len);
        }
    };
    struct VariantFactory : LineDataFactory
    {
        LineData* create() override { return new LengthNumbered; }
        void destroy(LineData* d) override { delete d; }
    } variants;
    handler.reset();
    forgetNames("VAR", 1);
    LineHandlerTcp h(variants, thread.session, host.log);
    h.setFeedName("VAR");
    h.OrluPublisher<LineData>::setDestination(&data.channel);
    h.addConnection("127.0.0.1", "7000");
    h.initNetworkService();
    h.onReadyToConnect();
    h.onConnect();
    std::vector<std::string> seen;
    data.after = [&](const LineData& d) { seen.push_back(dataText(d) + std::to_string(d.getSeqNum())); };
    h.onNetworkData("A\003BCD\003", 6);
    data.after = nullptr;
    EXPECT_EQ(seen, (std::vector<std::string>{"A\0032", "BCD\0034"}));
}

TEST_F(Tcp, ReconnectDelayByAttemptCount)
{
    struct Case
    {
        unsigned int min, max;
        std::vector<std::uint32_t> delays; // for counts 0, 1, 2, ...
    };
    const Case cases[] = {
        {2000, 3000, {1000, 1000, 2000, 3000, 3000, 3000}},
        {0, 0, {1000, 1000, 1000, 5000, 15000, 60000, 60000}},
        {5000, 2000, {1000, 1000, 5000, 5000}}, // crossed clamps: the minimum wins
    };
    LineHandlerTcp& h = make();
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.min);
        h.setConnectDelay(c.min, c.max);
        h.resetConnectAttemptCount();
        for (std::size_t count = 0; count < c.delays.size(); ++count)
        {
            EXPECT_EQ(h.getConnectAttemptCount(), static_cast<std::int64_t>(count));
            EXPECT_EQ(h.getConnectDelay(), c.delays[count]) << "count " << count;
            h.incrConnectAttemptCount();
        }
    }
}

TEST_F(Tcp, HuntListGoesRoundAndRetriesTheEntryThatLastWorked)
{
    LineHandlerTcp& h = make("HUNT", 3);
    h.setUseRecoveryFile(false);
    h.onReadyToConnect();
    auto attempt = [&] { h.onTimer(nullptr); };
    for (int i = 0; i < 4; ++i)
    {
        attempt();
        h.onConnectFail();
    }
    // Entry 1 works, then drops.
    ASSERT_EQ(h.getCurrentConnection(), 0);
    attempt();
    h.onConnect();
    EXPECT_EQ(h.getConnectedName(), "HUNT:1");
    h.onDisconnect();
    attempt();
    h.onConnectFail();
    attempt();
    std::vector<std::string> tries;
    for (const std::string& r : gScript.requests)
        if (r.rfind("CONN_RQS", 0) == 0)
            tries.push_back(r.substr(9));
    EXPECT_EQ(tries,
              (std::vector<std::string>{"HUNT:0", "HUNT:1", "HUNT:2", "HUNT:0", "HUNT:1", "HUNT:1", "HUNT:2"}));

    EXPECT_FALSE(h.setConnection(-1));
    EXPECT_FALSE(h.setConnection(3));
    EXPECT_EQ(h.getCurrentConnection(), 2);
    EXPECT_TRUE(h.setConnection(0));
    EXPECT_EQ(h.getTcpService(), "7000");

    // Round robin off: every attempt goes to the chosen entry.
    h.setRoundRobin(false);
    gScript.requests.clear();
    h.onConnectFail();
    attempt();
    h.onConnectFail();
    attempt();
    EXPECT_EQ(gScript.requests, (std::vector<std::string>{"CONN_RQS HUNT:0", "CONN_RQS HUNT:0"}));
}

TEST_F(Tcp, AttemptsWaitForTheReadyEventAndARefusedRequestCountsAsAFailure)
{
    LineHandlerTcp& h = make();
    h.onTimer(nullptr);
    EXPECT_EQ(h.getConnectStatus(), LineHandlerTcp::TCP_DELAY_CONNECT);
    EXPECT_TRUE(gScript.requests.empty());
    h.onReadyToConnect();
    gScript.eventResult = -1;
    gScript.errorCode = 1603;
    h.onTimer(nullptr);
    EXPECT_EQ(h.getConnectAttemptCount(), 1);
    EXPECT_EQ(host.sink.count("LineHandlerTcpImpl::tryConnect(): failed to connect to FEED:0. error code|1603|",
                              LOG_LEVEL_ERROR),
              1);
    // Configured not to retry: the next expiry is refused and counted.
    h.setTryReconnect(false);
    gScript.requests.clear();
    h.onTimer(nullptr);
    EXPECT_TRUE(gScript.requests.empty());
    EXPECT_EQ(h.getConnectAttemptCount(), 2);
}

TEST_F(Tcp, PortTextsAndHuntListNames)
{
    struct Case
    {
        const char* port;
        int resolved; // 0: LineError
    };
    const Case cases[] = {{"0x1f90", 8080}, {"8080", 8080}, {"017", 15}, {"ssh", 22}, {"0", 0}, {"", 0}, {"80x", 0}};
    LineHandlerTcp& h = make();
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.port);
        if (c.resolved == 0)
            EXPECT_THROW(h.resolvePort(c.port), LineError);
        else
            EXPECT_EQ(h.resolvePort(c.port), c.resolved);
    }
    EXPECT_EQ(host.sink.count("Invalid (empty) service parameter: ", LOG_LEVEL_ERROR), 1);
    EXPECT_EQ(host.sink.count("Invalid service parameter: 0: ", LOG_LEVEL_ERROR), 1);

    gScript = Script{};
    make("PORTS", 1);
    ASSERT_EQ(gScript.registered.size(), 1u);
    EXPECT_STREQ(gScript.registered[0].connNameTxt, "PORTS:0");
    EXPECT_EQ(gScript.registered[0].remotePort, 7000);

    // Names the framework would cut to one another are refused.
    struct Name
    {
        const char* feed;
        int entries;
        bool ok;
    };
    const Name names[] = {{"FEEDNAME1234", 10, true}, {"FEEDNAME12345", 10, true}, {"FEEDNAME12345", 11, true},
                          {"FEEDNAME123456", 11, false}, {"FEEDNAME123456", 2, true}, {"FEEDNAME1234567", 1, false}};
    for (const Name& n : names)
    {
        SCOPED_TRACE(std::string(n.feed) + " x" + std::to_string(n.entries));
        if (n.ok)
            EXPECT_NO_THROW(make(n.feed, n.entries));
        else
            EXPECT_THROW(make(n.feed, n.entries), LineError);
    }
}

TEST_F(Tcp, ConnectWithAnEmptyHuntListReportsIt)
{
    forgetNames("EMPTY", 0);
    LineHandlerTcp h(factory, thread.session, host.log);
    h.setFeedName("EMPTY");
    h.setName("EMPTY-line");
    EXPECT_TRUE(h.initNetworkService());
    h.connect();
    EXPECT_EQ(host.sink.count("LineHandlerTcp::connect(): EMPTY-line has no server in its connection hunt list",
                              LOG_LEVEL_ERROR),
              1);
    EXPECT_EQ(host.sink.count("creating connect timer"), 0);
}

TEST_F(Tcp, TransientRefusalsAreRetriedBoundedly)
{
    struct Case
    {
        const char* name;
        std::deque<int> results;
        bool ok;
        std::string sent;
        bool bounced;
        int refusalMillis = 0;
    };
    const std::vector<Case> cases = {
        {"702 twice then all", {-702, -702, 100}, true, "0123456789", false},
        {"slow refusals past the deadline", {-702, -702, -702, 100}, true, "0123456789", false, 3},
        {"partial then rest", {3, 100}, true, "0123456789", false},
        {"200 206 309 then all", {-200, -206, -309, 100}, true, "0123456789", false},
        {"peer stopped reading", {-702}, false, "", true},
        {"closed", {-705}, false, "", false},
        {"other error", {-1}, false, "", false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        LineHandlerTcp& h = make();
        h.setUseRecoveryFile(false);
        connectNow();
        host.sink.clear();
        gScript.sent.clear();
        gScript.sendResults = c.results;
        gScript.refusalMillis = c.refusalMillis;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(h.sendTo("0123456789", 10, "test"), c.ok);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
        EXPECT_EQ(gScript.sent, c.sent);
        EXPECT_EQ(h.connected(), !c.bounced);
        EXPECT_EQ(host.sink.count("LineHandler::bounceLine: send failed: peer not reading"), c.bounced ? 1 : 0);
        // Logged once per send, not per try.
        EXPECT_LE(host.sink.count("will attempt to resend if connection not closed.", LOG_LEVEL_WARNING), 1);
    }
    EXPECT_EQ(host.sink.count("LineHandlerTcp::sendTo(FEED:0): failed due to error|1|", LOG_LEVEL_ERROR), 1);
    make().sendTo("x", 1, "test");
    EXPECT_EQ(host.sink.count("LineHandlerTcp::sendTo(): not connected", LOG_LEVEL_WARNING), 1);
}

TEST_F(Tcp, HeartbeatsRunWhileConnectedWhenAsked)
{
    struct Case
    {
        bool send;
        unsigned long interval;
        bool active;
    };
    const Case cases[] = {{true, 30, true}, {true, 0, false}, {false, 30, false}};
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.interval);
        LineHandlerTcp& h = make();
        h.setUseRecoveryFile(false);
        h.setSendHeartbeats(c.send);
        h.setHeartbeatInterval(c.interval);
        connectNow();
        EXPECT_EQ(h.heartbeatTimerActive(), c.active);
        h.disconnect();
        EXPECT_FALSE(h.heartbeatTimerActive());
    }
    char packet[16];
    int length = sizeof packet;
    handler->createHeartbeatPacket(packet, length);
    EXPECT_EQ(std::string(packet, static_cast<std::size_t>(length)), "HB");
}

TEST_F(Tcp, AdminMethodsAnswerWithTheLineName)
{
    LineHandlerTcp& h = make();
    h.setUseRecoveryFile(false);
    KeshTcpDisconnect disconnect(h);
    KeshDisconnectTcpFeed disconnectFeed(h);
    KeshGetFileDescBufferStats stats(h);
    KeshResetFileDescBufferStats resetStats(h);
    auto answer = [](KeshMethod& m) {
        KeshParamList in;
        KeshParamList out;
        m.invoke(in, out);
        const KeshParam* p = out.getParam(std::string("Message"));
        return p == nullptr ? std::string("(none)") : p->getValue();
    };
    EXPECT_EQ(answer(disconnect), "FEED-line disconnected.");
    EXPECT_TRUE(h.isStopped());
    EXPECT_EQ(answer(disconnectFeed), "FEED-line disconnected. Attempting reconnect");
    EXPECT_FALSE(h.isStopped());
    connectNow();
    h.onNetworkData("AB\003C", 4);
    EXPECT_EQ(answer(stats), "FEED-line used=1; avail=262143; size=262144; reads=1; clears=1; moves=0; bread=4; "
                             "bcleared=3; bmoved=0");
    EXPECT_EQ(answer(resetStats), "FEED-line buffer statistics reset");
    EXPECT_EQ(answer(stats), "FEED-line used=1; avail=262143; size=262144; reads=0; clears=0; moves=0; bread=0; "
                             "bcleared=0; bmoved=0");
    EXPECT_EQ(answer(disconnect), "FEED-line disconnected.");
    EXPECT_EQ(gScript.requests.back(), "CONN_TERM FEED:0");

    KeshParamList extra;
    extra.add("x", "1");
    KeshParamList out;
    for (KeshMethod* m : std::initializer_list<KeshMethod*>{&disconnect, &disconnectFeed, &stats, &resetStats})
        EXPECT_THROW(m->invoke(extra, out), KeshUsageError);
    EXPECT_EQ(disconnect.getName(), "disconnect");
    EXPECT_EQ(disconnectFeed.getName(), "disconnectTcpFeed");
    EXPECT_EQ(stats.getName(), "getFileDescBufferStats");
    EXPECT_EQ(resetStats.getName(), "resetFileDescBufferStats");
}
