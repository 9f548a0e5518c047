// The adapters' records, results and log lines, with the framework calls
// scripted through the adapters' call table; the handle map is the real one.
#include "../host_runnable/RunnableTestSupport.h"

#include "FendralCore/foundation/FrameworkErrno.h"
#include "kelmora/linehandler/IPCNetworkHandler.h"
#include "kelmora/linehandler/NetworkApi.h"
#include "kelmora/linehandler/NetworkHandlerImpl.h"
#include "kelmora/linehandler/TCPClientNetworkHandler.h"
#include "kelmora/linehandler/TCPServerNetworkHandler.h"
#include "kelmora/linehandler/UDPNetworkHandler.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

using namespace hostrun;

namespace
{
// What the adapters asked of the framework, and what it answers.
struct Script
{
    std::vector<std::string> calls;
    TcpConnParam tcp{};
    UdpConnParam udp{};
    IpcParam ipc{};
    std::vector<std::pair<std::string, int>> events;
    int initResult = 0;
    int result = 0;
    int errorCode = 0;
};
Script gScript;

int init(StructParamType t, void* p, int n)
{
    if (gScript.initResult != 0)
        return gScript.initResult;
    return ::initStructParam(t, p, n);
}
int tcpCall(const char* what, const TcpConnParam* p)
{
    gScript.calls.push_back(what);
    gScript.tcp = *p;
    return gScript.result;
}
int udpCall(const char* what, const UdpConnParam* p)
{
    gScript.calls.push_back(what);
    gScript.udp = *p;
    return gScript.result;
}

const NetworkApi cScripted{
    init,
    [](const TcpConnParam* p) { return tcpCall("tcp", p); },
    [](const TcpConnParam* p) { return tcpCall("listen", p); },
    [](const UdpConnParam* p) { return udpCall("udp", p); },
    [](const UdpConnParam* p) { return udpCall("mcastRecv", p); },
    [](const UdpConnParam* p) { return udpCall("mcastSend", p); },
    [](const IpcParam* p) {
        gScript.calls.push_back("ipc");
        gScript.ipc = *p;
        return gScript.result;
    },
    [](const char* name, FwEventID id, AppEventParam*) {
        gScript.events.emplace_back(name, id);
        return gScript.result;
    },
    [](const char* name, const char*, int length, char (*)[17], bool) {
        gScript.calls.push_back(std::string("sendTcp ") + name);
        return gScript.result != 0 ? gScript.result : length;
    },
    [](const char* name, const char*, int, char (*)[17], bool) {
        gScript.calls.push_back(std::string("sendUdp ") + name);
        return gScript.result;
    },
    [](const char* name, const char*, int) {
        gScript.calls.push_back(std::string("sendIpc ") + name);
        return gScript.result;
    },
    [] { return gScript.errorCode; },
    [](const char* name, FwEventID id, AppEventParam*) {
        gScript.events.emplace_back(name, id);
        return gScript.result;
    },
};

struct Client : TCPClientNetworkHandler
{
    using TCPClientNetworkHandler::TCPClientNetworkHandler;
    std::vector<std::string> calls;
    void onNetworkData(const char*, unsigned int) override { calls.push_back("data"); }
    void onConnect() override { calls.push_back("connect"); }
    void onDisconnect() override { calls.push_back("disconnect"); }
    void onConnectFail() override { calls.push_back("fail"); }
    void onReadyToConnect() override { calls.push_back("ready"); }
};

struct Server : TCPServerNetworkHandler
{
    using TCPServerNetworkHandler::TCPServerNetworkHandler;
    std::vector<std::string> calls;
    void onNewConnect(EventMsg*) override { calls.push_back("new"); }
    void onConnectFail() override { calls.push_back("fail"); }
    void onReadyToConnect() override { calls.push_back("ready"); }
};

struct Udp : UDPNetworkHandler
{
    using UDPNetworkHandler::UDPNetworkHandler;
    std::vector<std::string> calls;
    void onNetworkData(const char*, unsigned int) override { calls.push_back("data"); }
    void onConnect() override { calls.push_back("connect"); }
    void onReadyToConnect() override { calls.push_back("ready"); }
};

struct Adapters : ::testing::Test
{
    Adapters()
    {
        gScript = Script{};
        NetworkApi::install(&cScripted);
    }
    ~Adapters() override
    {
        NetworkApi::install(nullptr);
        for (const std::string& n : entered)
            Runnable::removeNetworkHandleMap(key(n), host.log);
    }
    const char (&key(const std::string& n))[17]
    {
        std::memset(keyBuf, 0, sizeof keyBuf);
        std::strncpy(keyBuf, n.c_str(), 16);
        return keyBuf;
    }
    // An adapter that lives until the test ends.
    template <typename T>
    T& keep()
    {
        kept.push_back(std::make_unique<T>(thread.session, host.log));
        return static_cast<T&>(*kept.back());
    }
    void* holder(const std::string& n)
    {
        unsigned long v = 0;
        return Runnable::getNetworkHandleMap(key(n), v) ? reinterpret_cast<void*>(v) : nullptr;
    }

    Host host;
    Thread<> thread{host, "ADPTHREAD"};
    std::vector<std::string> entered;
    char keyBuf[17] = {};
    std::vector<std::unique_ptr<NetworkHandler>> kept;
};

in_addr ip(const char* text)
{
    in_addr a{};
    ::inet_pton(AF_INET, text, &a);
    return a;
}

EventMsg eventFor(int id, const char* name)
{
    EventMsg e{};
    e.id = id;
    std::strncpy(e.eventParam.resNameTxt, name, 16);
    return e;
}
} // namespace

TEST_F(Adapters, RegistrationRecordsCarryTheirFixedChoices)
{
    TcpConnParam tcpDefaults;
    ::initStructParam(TCPCONN_PARAM, &tcpDefaults, sizeof tcpDefaults);
    struct Case
    {
        const char* label;
        const char* call; // the framework function used, "" for none
        std::function<bool(Adapters&, const char*)> run;
        std::function<void()> check;
    };
    const std::vector<Case> cases = {
        {"tcp client", "tcp",
         [&](Adapters& f, const char* n) { return f.keep<Client>().registerTCPClientService(n, "127.0.0.1", 7001, 4096); },
         [] {
             const TcpConnParam& p = gScript.tcp;
             EXPECT_STREQ(p.threadNameTxt, "ADPTHREAD");
             EXPECT_EQ(p.channelType, NORMAL_CHANNEL);
             EXPECT_EQ(p.tcpMode, TCP_CLIENT_DATA_MODE);
             EXPECT_STREQ(p.remoteAddrTxt, "127.0.0.1");
             EXPECT_EQ(p.remotePort, 7001);
             EXPECT_EQ(p.msgFormat, MSG_FORMAT_RAW);
             EXPECT_EQ(p.recvBufSize, 4096);
             EXPECT_EQ(p.replicationMode, NO_REPLICATION);
             EXPECT_FALSE(p.connectAtStartup);
             EXPECT_TRUE(p.openInStandbyMode);
         }},
        {"tcp client, receive buffer 0", "tcp",
         [&](Adapters& f, const char* n) { return f.keep<Client>().registerTCPClientService(n, "127.0.0.1", 7001, 0); },
         [&] { EXPECT_EQ(gScript.tcp.recvBufSize, tcpDefaults.recvBufSize); }},
        {"tcp server", "listen",
         [&](Adapters& f, const char* n) { return f.keep<Server>().registerTCPServerService(n, "127.0.0.1", 7002); },
         [] {
             const TcpConnParam& p = gScript.tcp;
             EXPECT_STREQ(p.threadNameTxt, "ADPTHREAD");
             EXPECT_EQ(p.tcpMode, TCP_SERVER_LISTEN_MODE);
             EXPECT_STREQ(p.interfaceTxt, "127.0.0.1");
             EXPECT_EQ(p.localPort, 7002);
             EXPECT_EQ(p.msgFormat, MSG_FORMAT_RAW);
             EXPECT_FALSE(p.connectAtStartup);
             EXPECT_FALSE(p.openInStandbyMode);
         }},
        {"udp", "udp",
         [&](Adapters& f, const char* n) {
             return f.keep<Udp>().registerUdpService(n, ip("127.0.0.1"), 7003, ip("127.0.0.2"), 65536, P2P_RECEIVER_MODE);
         },
         [] {
             const UdpConnParam& p = gScript.udp;
             EXPECT_STREQ(p.threadNameTxt, "ADPTHREAD");
             EXPECT_EQ(p.udpMode, P2P_RECEIVER_MODE);
             EXPECT_STREQ(p.interfaceTxt, "127.0.0.1");
             EXPECT_STREQ(p.destAddrTxt, "127.0.0.2");
             EXPECT_EQ(p.port, 7003);
             EXPECT_EQ(p.recvBufSize, 65536);
             EXPECT_EQ(p.mcastSendTtl, 100);
             EXPECT_FALSE(p.connectAtStartup);
             EXPECT_TRUE(p.openInStandbyMode);
         }},
        {"multicast receiver", "mcastRecv",
         [&](Adapters& f, const char* n) {
             return f.keep<Udp>().registerMulticastService(n, ip("127.0.0.1"), "239.1.2.3", 7004, 1024, MULTICAST_RECEIVER_MODE);
         },
         [] {
             const UdpConnParam& p = gScript.udp;
             EXPECT_EQ(p.udpMode, MULTICAST_RECEIVER_MODE);
             EXPECT_STREQ(p.destAddrTxt, "239.1.2.3");
             EXPECT_EQ(p.port, 7004);
             EXPECT_EQ(p.recvBufSize, 1024);
             EXPECT_FALSE(p.connectAtStartup);
             EXPECT_TRUE(p.openInStandbyMode);
         }},
        {"multicast sender", "mcastSend",
         [&](Adapters& f, const char* n) {
             return f.keep<Udp>().registerMulticastService(n, ip("127.0.0.1"), "239.1.2.3", 7005, 0, MULTICAST_SENDER_MODE);
         },
         [] {
             EXPECT_EQ(gScript.udp.udpMode, MULTICAST_SENDER_MODE);
             EXPECT_EQ(gScript.udp.mcastSendTtl, 100);
             EXPECT_TRUE(gScript.udp.connectAtStartup);
         }},
        {"multicast, mode 5", "",
         [&](Adapters& f, const char* n) {
             return f.keep<Udp>().registerMulticastService(n, ip("127.0.0.1"), "239.1.2.3", 7006, 0, MULTICAST_SENDER_RCVR_MODE);
         },
         [] {}},
        {"multicast, mode 1", "",
         [&](Adapters& f, const char* n) {
             return f.keep<Udp>().registerMulticastService(n, ip("127.0.0.1"), "239.1.2.3", 7007, 0, P2P_RECEIVER_MODE);
         },
         [] {}},
        {"ipc writer", "ipc",
         [&](Adapters& f, const char* n) { return f.keep<IPCNetworkHandler>().registerSendIpc(n); },
         [] {
             EXPECT_STREQ(gScript.ipc.threadNameTxt, "ADPTHREAD");
             EXPECT_EQ(gScript.ipc.accessMode, IPC_WRITER_MODE);
         }},
        {"ipc reader", "ipc",
         [&](Adapters& f, const char* n) { return f.keep<IPCNetworkHandler>().registerReceiveIpc(n); },
         [] {
             EXPECT_EQ(gScript.ipc.accessMode, IPC_READER_MODE);
             EXPECT_FALSE(gScript.ipc.openAtStartup);
         }},
    };
    int i = 0;
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.label);
        gScript.calls.clear();
        const std::string name = "REC" + std::to_string(i++);
        entered.push_back(name);
        EXPECT_TRUE(c.run(*this, name.c_str()));
        EXPECT_NE(holder(name), nullptr); // entered in the handle map
        if (*c.call != 0)
        {
            ASSERT_EQ(gScript.calls, std::vector<std::string>{c.call});
            const char* recorded = std::string(c.call) == "ipc"                               ? gScript.ipc.ipcNameTxt
                                   : std::string(c.call) == "tcp" || std::string(c.call) == "listen" ? gScript.tcp.connNameTxt
                                                                                                     : gScript.udp.connNameTxt;
            EXPECT_STREQ(recorded, name.c_str());
            c.check();
        }
        else
            EXPECT_TRUE(gScript.calls.empty());
    }
}

TEST_F(Adapters, RefusedRegistrationsReturnFalseWithTheirLine)
{
    gScript.result = -1;
    gScript.errorCode = 1639;
    struct Case
    {
        const char* label;
        std::function<bool(Adapters&)> run;
        std::string line;
    };
    const std::vector<Case> cases = {
        {"tcp client", [](Adapters& f) { return Client(f.thread.session, f.host.log).registerTCPClientService("BADC", "127.0.0.1", 1, 0); },
         "NetworkHandlerImpl::registerTCPClientService(BADC) failed to register tcp service, error:1639"},
        {"tcp server", [](Adapters& f) { return Server(f.thread.session, f.host.log).registerTCPServerService("BADS", "127.0.0.1", 1); },
         "NetworkHandlerImpl::registerTCPServerService(BADS) failed to register tcp service, error:1639"},
        {"udp", [](Adapters& f) { return Udp(f.thread.session, f.host.log).registerUdpService("BADU", ip("127.0.0.1"), 1, ip("127.0.0.1"), 0, P2P_RECEIVER_MODE); },
         "NetworkHandlerImpl::registerUdpService(BADU) failed to register UDP service, thread: ADPTHREAD, error:1639"},
        {"multicast receiver", [](Adapters& f) { return Udp(f.thread.session, f.host.log).registerMulticastService("BADR", ip("127.0.0.1"), "239.1.1.1", 1, 0, MULTICAST_RECEIVER_MODE); },
         "NetworkHandlerImpl::registerMulticastService(BADR) failed to register multicast service, thread: ADPTHREAD, error:1639"},
        {"multicast sender", [](Adapters& f) { return Udp(f.thread.session, f.host.log).registerMulticastService("BADM", ip("127.0.0.1"), "239.1.1.1", 1, 0, MULTICAST_SENDER_MODE); },
         "NetworkHandlerImpl::registerMulticastService(BADM) failed to register multicast sender service, error:1639"},
        {"ipc reader", [](Adapters& f) { return IPCNetworkHandler(f.thread.session, f.host.log).registerReceiveIpc("BADI"); },
         "NetworkHandlerImpl::registerReceiveIpc(BADI) failed to register tcp service, error:1639"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.label);
        EXPECT_FALSE(c.run(*this));
        EXPECT_EQ(host.sink.count(c.line, LOG_LEVEL_ERROR), 1);
    }
    EXPECT_EQ(host.sink.count("registered"), 0);
}

TEST_F(Adapters, RefusedRecordDefaultsStopEveryDatagramRegistration)
{
    gScript.initResult = -1;
    Udp udp(thread.session, host.log);
    EXPECT_FALSE(udp.registerUdpService("NOINITU", ip("127.0.0.1"), 1, ip("127.0.0.1"), 0, P2P_RECEIVER_MODE));
    EXPECT_FALSE(udp.registerMulticastService("NOINITM", ip("127.0.0.1"), "239.1.1.1", 1, 0, MULTICAST_RECEIVER_MODE));
    EXPECT_TRUE(gScript.calls.empty());
    EXPECT_EQ(host.sink.count("NetworkHandlerImpl::registerUdpService(NOINITU): feed name|NOINITU| failed to initStructParam"), 1);
    EXPECT_EQ(host.sink.count("NetworkHandlerImpl::registerMulticastService(NOINITM): feed name|NOINITM| failed to initStructParam"), 1);
    EXPECT_EQ(holder("NOINITM"), nullptr);
}

TEST_F(Adapters, CutDatagramNameThatCollidesIsRefused)
{
    Udp first(thread.session, host.log);
    Udp second(thread.session, host.log);
    entered.push_back("ABCDEFGHIJKLMNOP");
    ASSERT_TRUE(first.registerUdpService("ABCDEFGHIJKLMNOP", ip("127.0.0.1"), 1, ip("127.0.0.1"), 0, P2P_RECEIVER_MODE));
    gScript.calls.clear();
    EXPECT_FALSE(second.registerMulticastService("ABCDEFGHIJKLMNOPQ", ip("127.0.0.1"), "239.1.1.1", 1, 0, MULTICAST_RECEIVER_MODE));
    EXPECT_TRUE(gScript.calls.empty());
    EXPECT_EQ(holder("ABCDEFGHIJKLMNOP"), &first);
    EXPECT_EQ(host.sink.count("NetworkHandlerImpl::registerMulticastService(ABCDEFGHIJKLMNOPQ): feed name|ABCDEFGHIJKLMNOPQ| is longer than 16 characters. It may have potential issue", LOG_LEVEL_ERROR), 1);
    EXPECT_EQ(host.sink.count("is already registered", LOG_LEVEL_ERROR), 1);

    // A long name that collides with nothing goes on under its cut form.
    entered.push_back("QRSTUVWXYZABCDEF");
    EXPECT_TRUE(second.registerUdpService("QRSTUVWXYZABCDEFGH", ip("127.0.0.1"), 1, ip("127.0.0.1"), 0, P2P_RECEIVER_MODE));
    EXPECT_STREQ(gScript.udp.connNameTxt, "QRSTUVWXYZABCDEF");
    EXPECT_EQ(holder("QRSTUVWXYZABCDEF"), &second);
}

TEST_F(Adapters, NetworkEventResultsByErrorCode)
{
    struct Case
    {
        const char* label;
        FwEventID event;
        int code;
        bool ok;
        const char* warning; // "" for none
    };
    const std::vector<Case> cases = {
        {"sent", CONN_RQS, 0, true, ""},
        {"gone connection closed", CONN_TERM, RES_NOT_EXIST, true, ""},
        {"closed, other gone code", CONN_TERM, 705, false, "NetworkHandlerImpl::sendNetworkEvent(EVT) failed to send network event [CONN_TERM], error:705"},
        {"open of unknown name", CONN_RQS, RES_NOT_EXIST, false, "NetworkHandlerImpl::sendNetworkEvent(EVT) failed to send network event [CONN_RQS], error:1603"},
        {"transient", CONN_LISTEN, 200, false, "NetworkHandlerImpl::sendNetworkEvent(EVT) failed to send network event [CONN_LISTEN], error:200"},
        {"join refused", MCAST_JOIN, 206, false, "[MCAST_JOIN], error:206"},
        {"leave refused", MCAST_LEAVE, 309, false, "[MCAST_LEAVE], error:309"},
    };
    Client client(thread.session, host.log);
    Server server(thread.session, host.log);
    Udp udp(thread.session, host.log);
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.label);
        gScript.result = c.code == 0 ? 0 : -1;
        gScript.errorCode = c.code;
        gScript.events.clear();
        const int warningsBefore = host.sink.count("", LOG_LEVEL_WARNING);
        bool ok = false;
        switch (c.event)
        {
        case CONN_RQS: ok = client.connectService("EVT"); break;
        case CONN_TERM: ok = client.disconnectService("EVT"); break;
        case CONN_LISTEN: ok = server.startListenService("EVT"); break;
        case MCAST_JOIN: ok = udp.joinMulticastService("EVT"); break;
        default: ok = udp.leaveMulticastService("EVT"); break;
        }
        EXPECT_EQ(ok, c.ok);
        EXPECT_EQ(gScript.events, (std::vector<std::pair<std::string, int>>{{"EVT", c.event}}));
        if (*c.warning == 0)
            EXPECT_EQ(host.sink.count("", LOG_LEVEL_WARNING), warningsBefore);
        else
            EXPECT_EQ(host.sink.count(c.warning, LOG_LEVEL_WARNING), 1);
    }
    EXPECT_EQ(NetworkHandlerImpl::eventToString(CONN_READY_TO_OPEN), "7");
}

TEST_F(Adapters, SendsReturnTheFrameworkResult)
{
    Client client(thread.session, host.log);
    Udp udp(thread.session, host.log);
    IPCNetworkHandler ipc(thread.session, host.log);
    EXPECT_EQ(client.sendToNetwork("TC", "abcd", 4), 4);
    EXPECT_EQ(udp.sendByName("x", 1), 0); // no sender yet: the empty name
    EXPECT_EQ(ipc.sendToIpc("IPC", "x", 1), 0);
    gScript.result = -1;
    EXPECT_EQ(client.sendToNetwork("TC", "abcd", 4), -1);
    EXPECT_EQ(gScript.calls, (std::vector<std::string>{"sendTcp TC", "sendUdp ", "sendIpc IPC", "sendTcp TC"}));
}

TEST_F(Adapters, AcceptedClientLeavesTheMapBeforeItsClose)
{
    Server server(thread.session, host.log);
    Client client(thread.session, host.log);
    char name[17] = "SRV:1";
    entered.push_back(name);
    ASSERT_TRUE(server.registerAcceptedClient(name, &client));
    EXPECT_EQ(holder(name), &client);
    // The framework already dropped it: still a success, and silent.
    gScript.result = -1;
    gScript.errorCode = RES_NOT_EXIST;
    const int warnings = host.sink.count("", LOG_LEVEL_WARNING);
    EXPECT_TRUE(client.disconnectService(name));
    EXPECT_EQ(holder(name), nullptr);
    EXPECT_EQ(host.sink.count("", LOG_LEVEL_WARNING), warnings);
}

// A destroyed adapter leaves the handle map under every name that holds it
// (an accepted client under the name its server entered), so the name can be
// entered again; other entries stay, and a failed call's error code survives.
TEST_F(Adapters, DestroyedAdapterLeavesTheHandleMap)
{
    Udp other(thread.session, host.log);
    entered.push_back("STAYS");
    ASSERT_TRUE(other.registerUdpService("STAYS", ip("127.0.0.1"), 1, ip("127.0.0.1"), 0, P2P_RECEIVER_MODE));
    Server& server = keep<Server>();
    using Made = std::unique_ptr<NetworkHandler>;
    struct Case
    {
        const char* label;
        std::function<bool(Adapters&, const char*, Made&)> make;
    };
    const std::vector<Case> cases = {
        {"tcp client", [](Adapters& f, const char* n, Made& a) {
             auto c = std::make_unique<Client>(f.thread.session, f.host.log);
             const bool ok = c->registerTCPClientService(n, "127.0.0.1", 1, 0);
             a = std::move(c);
             return ok;
         }},
        {"tcp server", [](Adapters& f, const char* n, Made& a) {
             auto c = std::make_unique<Server>(f.thread.session, f.host.log);
             const bool ok = c->registerTCPServerService(n, "127.0.0.1", 1);
             a = std::move(c);
             return ok;
         }},
        {"multicast receiver", [](Adapters& f, const char* n, Made& a) {
             auto c = std::make_unique<Udp>(f.thread.session, f.host.log);
             const bool ok = c->registerMulticastService(n, ip("127.0.0.1"), "239.1.1.1", 1, 0, MULTICAST_RECEIVER_MODE);
             a = std::move(c);
             return ok;
         }},
        {"ipc reader", [](Adapters& f, const char* n, Made& a) {
             auto c = std::make_unique<IPCNetworkHandler>(f.thread.session, f.host.log);
             const bool ok = c->registerReceiveIpc(n);
             a = std::move(c);
             return ok;
         }},
        {"accepted client", [&server](Adapters& f, const char* n, Made& a) {
             auto c = std::make_unique<Client>(f.thread.session, f.host.log);
             char name[17] = {};
             std::strncpy(name, n, 16);
             const bool ok = server.registerAcceptedClient(name, c.get());
             a = std::move(c);
             return ok;
         }},
    };
    int i = 0;
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.label);
        const std::string name = "GONE:" + std::to_string(i++);
        entered.push_back(name);
        for (int round = 0; round < 2; ++round)
        {
            Made adapter;
            ASSERT_TRUE(c.make(*this, name.c_str(), adapter));
            EXPECT_EQ(holder(name), adapter.get());
            FrameworkErrno::set(1639);
            adapter.reset();
            EXPECT_EQ(getErrorCode(), 1639);
            EXPECT_EQ(holder(name), nullptr);
        }
    }
    EXPECT_EQ(holder("STAYS"), &other);
    EXPECT_EQ(host.sink.count("already exists"), 0);
}

TEST_F(Adapters, EventDispatchTables)
{
    Client client(thread.session, host.log);
    Server server(thread.session, host.log);
    Udp udp(thread.session, host.log);
    client.registerTCPClientService("FEEDC", "127.0.0.1", 1, 0);
    entered.push_back("FEEDC");
    struct Case
    {
        NetworkHandler* adapter;
        std::vector<std::string>* calls;
        int id;
        const char* call; // "" for none
    };
    const std::vector<Case> cases = {
        {&client, &client.calls, CONNECTED, "connect"},
        {&client, &client.calls, DISCONNECTED, "disconnect"},
        {&client, &client.calls, CONNECT_FAIL, "fail"},
        {&client, &client.calls, CONN_READY_TO_OPEN, "ready"},
        {&client, &client.calls, NET_CONGEST, ""},
        {&server, &server.calls, NEW_CONNECT, "new"},
        {&server, &server.calls, CONNECT_FAIL, "fail"},
        {&server, &server.calls, CONN_READY_TO_OPEN, "ready"},
        {&server, &server.calls, CONNECTED, ""},
        {&udp, &udp.calls, CONNECTED, "connect"},
        {&udp, &udp.calls, CONN_READY_TO_OPEN, "ready"},
        {&udp, &udp.calls, DISCONNECTED, ""},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.id);
        c.calls->clear();
        const int infos = host.sink.count("::onNetworkEvent(", LOG_LEVEL_INFO);
        EventMsg e = eventFor(c.id, "FEEDC:7");
        c.adapter->onNetworkEvent(&e);
        if (*c.call != 0)
            EXPECT_EQ(*c.calls, std::vector<std::string>{c.call});
        else
        {
            EXPECT_TRUE(c.calls->empty());
            EXPECT_EQ(host.sink.count("::onNetworkEvent(", LOG_LEVEL_INFO), infos + 1);
        }
    }
    EXPECT_EQ(host.sink.count("TCPClientNetworkHandler::onNetworkEvent(FEEDC) received event|33|", LOG_LEVEL_INFO), 1);
    // A disconnect closes the connection the event names.
    EXPECT_EQ(gScript.events, (std::vector<std::pair<std::string, int>>{{"FEEDC:7", CONN_TERM}}));
    IPCNetworkHandler ipc(thread.session, host.log);
    EventMsg e = eventFor(NET_CONGEST, "X");
    const int lines = host.sink.count("");
    ipc.onNetworkEvent(&e);
    EXPECT_EQ(host.sink.count(""), lines);
}
