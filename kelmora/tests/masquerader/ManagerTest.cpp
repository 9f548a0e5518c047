// The manager on a scripted framework: how it reads its service, what a new
// connection is given, and the sequence number it follows.
#include "kelmora/masquerade/LineMasqueraderManagerTcp.h"
#include "kelmora/masquerade/LineMasqueraderTcp.h"

#include "ScriptedNet.h"
#include "../host_runnable/RunnableTestSupport.h"
#include "kelmora/linedata/LineDataBasic.h"
#include "kelmora/linehandler/LineError.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

using namespace hostrun;

namespace
{
struct Manager : LineMasqueraderManagerTcp
{
    using LineMasqueraderManagerTcp::LineMasqueraderManagerTcp;
    const LineMasqueraderTcp* last = nullptr;
    std::string lastId;
    void onConnected(const char* id, const LineMasqueraderTcp* c) override
    {
        last = c;
        lastId = id;
    }
};

EventMsg newConnect(const char* resource, const char* address, unsigned short port)
{
    EventMsg e{};
    e.id = NEW_CONNECT;
    std::strncpy(e.eventParam.resNameTxt, resource, 16);
    in_addr a{};
    ::inet_pton(AF_INET, address, &a);
    e.eventParam.paramInt32 = static_cast<int32>(a.s_addr);
    e.eventParam.paramInt16 = static_cast<int16>(htons(port));
    return e;
}
} // namespace

TEST(Manager, ReadsItsServiceAsANameOrANumber)
{
    scripted::Install script;
    Host host;
    TarvokSession session;
    struct Case
    {
        const char* service;
        int port;              // 0: refused
        const char* error;
    } cases[] = {
        {"0x3630", 13872, ""},
        {"13888", 13888, ""},
        {"017", 15, ""},
        {"", 0, "Invalid (empty) service parameter: "},
        {"not-a-service", 0, "Invalid service parameter: not-a-service: "},
        {"0", 0, "Invalid service parameter: 0: "},
        {"70000", 0, "Invalid service parameter: 70000: "},
        {"80x", 0, "Invalid service parameter: 80x: "},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.service);
        scripted::net().listens.clear();
        Manager m(session, host.log);
        m.setFeedName(std::string("SVC") + c.service);
        m.setTcpService(c.service);
        if (c.port == 0)
        {
            try
            {
                m.initListen();
                ADD_FAILURE() << "no LineError";
            }
            catch (const LineError& e)
            {
                EXPECT_EQ(std::string(e.what()).rfind(c.error, 0), 0u) << e.what();
            }
            EXPECT_TRUE(scripted::net().listens.empty());
            continue;
        }
        m.initListen();
        m.initListen(); // registers once
        ASSERT_EQ(scripted::net().listens.size(), 1u);
        EXPECT_EQ(scripted::net().listens[0].localPort, c.port);
        EXPECT_STREQ(scripted::net().listens[0].interfaceTxt, "0.0.0.0");
        EXPECT_EQ(m.getListenState(), TCP_DELAY_CONNECT);
    }
}

// A record numbered 0 counts one on from the last; a client accepted then
// starts from there, with its id, trace flag and queue settings.
TEST(Manager, HandsNewConnectionsItsSettingsAndTheLatestSequenceNumber)
{
    scripted::Install script;
    Host host;
    TarvokSession session;
    Orlu<LineData> bus("OrluLineData", "default");
    OrluPublisher<LineData> publisher("feed");
    publisher.setDestination(&bus);
    Manager m(session, host.log);
    m.setTcpService("5000");
    m.setOrluLineData(&bus);
    m.setMaxQueueBufferSize(4096);
    m.setLogTcpBuffer(true);
    bus.subscribe(&m);
    m.initListen();
    m.onReadyToConnect();
    ASSERT_EQ(m.getListenState(), TCP_CONNECT);

    LineDataBasic record;
    record.setData("x", 1);
    record.setSeqNum(41);
    publisher.publish(record);
    record.setSeqNum(0);
    publisher.publish(record);
    EXPECT_EQ(m.getSeqNum(), 42u);

    EventMsg e = newConnect("MasqTcpSvr:3", "10.0.0.7", 4000);
    m.onNewConnect(&e);
    ASSERT_NE(m.last, nullptr);
    EXPECT_EQ(m.lastId, "10.0.0.7:4000");
    EXPECT_EQ(m.last->getSeqNum(), 42u);
    EXPECT_EQ(m.last->getIpAddresAsInt(), 0x0A000007u);
    EXPECT_EQ(m.last->getMaxQueueBufferSize(), 4096);
    EXPECT_EQ(m.liveConnections("10.0.0.7"), 1u);

    // The new connection is on the bus and receives the next record; with
    // the manager's trace flag its partial send is traced.
    scripted::net().results["MasqTcpSvr:3"] = {1};
    record.setData("next", 4);
    publisher.publish(record);
    EXPECT_EQ(scripted::net().sent["MasqTcpSvr:3"], "n");
    EXPECT_EQ(m.last->getUsedPendingBufferSize(), 3);
    EXPECT_EQ(host.sink.count("LineMasqueraderTcpImpl::sendToInternal(): partially sent (1 bytes)"), 1);
    bus.unsubscribe(&m);
}
