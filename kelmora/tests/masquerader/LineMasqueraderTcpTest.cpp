// One downstream connection on a scripted framework: what goes out for each
// record, plain and deflated, what is queued, and how it closes.
#include "kelmora/masquerade/LineMasqueraderTcp.h"

#include "DeflateSupport.h"
#include "ScriptedNet.h"
#include "../host_runnable/RunnableTestSupport.h"
#include "kelmora/linedata/LineDataBasic.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace hostrun;

namespace
{
struct Conn : LineMasqueraderTcp
{
    Conn(TarvokSession& s, Log& l) : LineMasqueraderTcp("LineMasqueraderTcp", s, l) {}
    std::string fromClientBytes;
    int closed = 0;
    void fromClient(LineData& d) override { fromClientBytes.append(d.getData(), d.getDataLen()); }
    void onClosed() override { ++closed; }
};

struct ConnFixture : ::testing::Test
{
    scripted::Install script;
    Host host;
    TarvokSession session;
    Orlu<LineData> bus{"OrluLineData", "default"};
    OrluPublisher<LineData> publisher{"test"};
    LineDataBasic record;

    void SetUp() override { publisher.setDestination(&bus); }

    // A connection bound to resource `name`, subscribed to the bus.
    std::unique_ptr<Conn> connect(const char* name)
    {
        auto c = std::make_unique<Conn>(session, host.log);
        char resource[17] = {};
        std::strncpy(resource, name, 16);
        c->setConnection(resource, "127.0.0.1:4000");
        bus.subscribe(c.get());
        c->setOrluLineData(&bus);
        return c;
    }
    void publish(const std::string& bytes)
    {
        record.setData(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
        publisher.publish(record);
    }
};

} // namespace

TEST_F(ConnFixture, SendsTheRawBytesOfEachRecordOnlyWhileConnected)
{
    Conn idle(session, host.log);
    bus.subscribe(&idle);
    auto c = connect("MASQ01");
    publish("abc");
    publish("");
    publish("defg");
    EXPECT_EQ(scripted::net().sent["MASQ01"], "abcdefg");
    EXPECT_EQ(scripted::net().sends.count(""), 0u); // the unbound one sent nothing
    bus.unsubscribe(&idle);
}

TEST_F(ConnFixture, APartialSendQueuesTheRestAndLaterRecordsGoBehindIt)
{
    auto c = connect("MASQ01");
    scripted::net().results["MASQ01"] = {10};
    const std::string first(100, 'f');
    publish(first);
    EXPECT_EQ(c->getUsedPendingBufferSize(), 90);
    publish(std::string(50, 's'));
    // Queued behind the 90 without a send attempt.
    EXPECT_EQ(scripted::net().sends["MASQ01"], 1);
    EXPECT_EQ(c->getUsedPendingBufferSize(), 140);
    EXPECT_TRUE(c->connected());
}

TEST_F(ConnFixture, AQueueOverItsMaximumClosesTheConnection)
{
    auto c = connect("MASQ01");
    c->setMaxQueueBufferSize(100);
    scripted::net().results["MASQ01"] = {0, 0};
    publish(std::string(60, 'a'));
    publish(std::string(60, 'b'));
    EXPECT_FALSE(c->connected());
    EXPECT_EQ(c->closed, 1);
    EXPECT_EQ(scripted::net().countEvents("MASQ01", CONN_TERM), 1);
    EXPECT_EQ(host.sink.count("Reached maximum buffer size of 100 bytes (Used 60 bytes", LOG_LEVEL_ERROR), 1);
}

TEST_F(ConnFixture, ConnectionIdGivesAddressAndPort)
{
    struct Case
    {
        const char* id;
        unsigned int ip;
        unsigned short port;
        const char* line;
    } cases[] = {
        {"10.1.2.3:4567", 0x0A010203u, 4567, "ConnectionId (10.1.2.3:4567), resourceName [R], IP [10.1.2.3], port [4567]"},
        {"no-colon", 0, 0, "ConnectionId (no-colon), resourceName [R]"},
        {"1.2.3.4:99999", 0x01020304u, 0, "port [99999]"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.id);
        Conn conn(session, host.log);
        const char resource[17] = "R";
        conn.setConnection(resource, c.id);
        EXPECT_EQ(conn.getIpAddresAsInt(), c.ip);
        EXPECT_EQ(conn.getPort(), c.port);
        EXPECT_EQ(host.sink.count(c.line, LOG_LEVEL_INFO), 1);
        conn.closeFd(false);
    }
}

TEST_F(ConnFixture, ClosesOnceWhicheverSideClosesFirst)
{
    auto c = connect("MASQ01");
    c->closeFd(true);
    c->closeFd(true);
    c->onDisconnect(); // the peer's close, after ours
    EXPECT_EQ(c->closed, 1);
    EXPECT_EQ(scripted::net().countEvents("MASQ01", CONN_TERM), 1);
    publish("after");
    EXPECT_EQ(scripted::net().sent["MASQ01"], "");
    EXPECT_EQ(host.sink.count("LineMasqueraderTcp(127.0.0.1:4000): destroying LineMasqueraderTcp after client "
                              "disconnect",
                              LOG_LEVEL_WARNING),
              1);

    // The peer first: no close request goes back to the framework.
    auto d = connect("MASQ02");
    d->onDisconnect();
    EXPECT_EQ(d->closed, 1);
    EXPECT_EQ(scripted::net().countEvents("MASQ02", CONN_TERM), 0);
}

// The first subscriber's send fails while the bus is delivering to it: it
// unsubscribes from inside the delivery, the next subscriber still gets the
// record, and the closed one is not called again.
TEST_F(ConnFixture, AConnectionFailingMidDeliveryLeavesTheBusSafely)
{
    auto a = connect("MASQ01");
    auto b = connect("MASQ02");
    auto c = connect("MASQ03");
    scripted::net().results["MASQ01"] = {-1};
    scripted::net().code = 705;
    publish("one");
    publish("two");
    EXPECT_FALSE(a->connected());
    EXPECT_EQ(scripted::net().sends["MASQ01"], 1);
    EXPECT_EQ(scripted::net().sent["MASQ02"], "onetwo");
    EXPECT_EQ(scripted::net().sent["MASQ03"], "onetwo");
    EXPECT_EQ(host.sink.count("LineMasqueraderTcp::sendTo(): caught LineError: "
                              "LineMasqueraderTcpImpl::sendToInternal(): failed: 705; context was: regular update; "
                              "resource name is MASQ01",
                              LOG_LEVEL_ERROR),
              1);
}

TEST_F(ConnFixture, ClientBytesReachFromClientOnlyOnceAccepted)
{
    auto c = connect("MASQ01");
    c->onNetworkData("early", 5);
    c->setAccepted(true);
    c->onNetworkData("late", 4);
    EXPECT_EQ(c->fromClientBytes, "late");
}

// Records through one deflate stream: the client inflating the connection as
// one stream gets every record back, also one whose compressed form fills
// the output block exactly (more output may still wait in the stream) and an
// empty one (which deflate could only answer with an error).
TEST_F(ConnFixture, DeflatedRecordsInflateAsOneStream)
{
    auto c = connect("MASQ01");
    c->setDeflateData(true);
    ASSERT_TRUE(c->getDeflateData());

    std::vector<std::string> records = {"first record", std::string(3000, 'x'), ""};
    const std::string exact = deflating::exactFillRecord(records);
    ASSERT_FALSE(exact.empty()) << "no record length fills the block exactly";
    records.push_back(exact);

    std::string expected;
    for (const std::string& r : records)
    {
        publish(r);
        expected += r;
    }
    EXPECT_TRUE(c->connected());
    EXPECT_EQ(deflating::inflateAll(scripted::net().sent["MASQ01"]), expected);
}
