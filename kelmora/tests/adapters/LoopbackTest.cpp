// The adapters on a real framework over loopback: a TCP server adapter that
// accepts and hands the connection to a client adapter, a client adapter
// that connects out to a plain socket server, and datagram adapters that
// receive from a loopback group.
#include "../host_runnable/RunnableTestSupport.h"

#include "kelmora/linehandler/NetworkApi.h"
#include "kelmora/linehandler/TCPClientNetworkHandler.h"
#include "kelmora/linehandler/TCPServerNetworkHandler.h"
#include "kelmora/linehandler/UDPNetworkHandler.h"
#include "kelmora/thread/TarvokTimer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using namespace hostrun;

namespace
{
// The framework's calls, with the network events the adapters send noted.
std::vector<std::pair<std::string, int>> gEvents;
std::vector<int> gEventCodes; // the framework's code of each refused one
NetworkApi gCounting = [] {
    NetworkApi api = NetworkApi::framework();
    api.sendNetEvent = [](const char* name, FwEventID id, AppEventParam* p) {
        gEvents.emplace_back(name, id);
        const int r = NetworkApi::framework().sendNetEvent(name, id, p);
        if (r != 0)
            gEventCodes.push_back(getErrorCode());
        return r;
    };
    return api;
}();

int countEvents(const std::string& name, int id)
{
    int n = 0;
    for (const auto& [nm, i] : gEvents)
        n += nm == name && i == id;
    return n;
}

// A TCP port free on 127.0.0.1 a moment ago.
int freePort(int type = SOCK_STREAM)
{
    const int fd = ::socket(AF_INET, type, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

struct Peer : TCPClientNetworkHandler
{
    using TCPClientNetworkHandler::TCPClientNetworkHandler;
    std::string name;
    std::string received;
    int connects = 0;
    int disconnects = 0;
    std::function<void(Peer&)> onBytes;
    std::function<void(Peer&)> onUp;
    void onNetworkData(const char* data, unsigned int length) override
    {
        received.append(data, length);
        if (onBytes)
            onBytes(*this);
    }
    void onReadyToConnect() override
    {
        if (!name.empty())
            connectService(name.c_str());
    }
    void onConnectFail() override { connectService(name.c_str()); } // the listener may not be up yet
    void onConnect() override
    {
        ++connects;
        if (onUp)
            onUp(*this);
    }
    void onDisconnect() override { ++disconnects; }
};

struct Listener : TCPServerNetworkHandler
{
    Listener(TarvokSession& s, Log& l, Peer& accepted) : TCPServerNetworkHandler(s, l), accepted(accepted) {}
    Peer& accepted;
    bool listening = false;
    void onReadyToConnect() override { listening = startListenService("SRV"); }
    void onNewConnect(EventMsg* event) override
    {
        char name[17] = {};
        std::memcpy(name, event->eventParam.resNameTxt, 16);
        accepted.name = name;
        registered = registerAcceptedClient(name, &accepted);
    }
    bool registered = false;
};
} // namespace

TEST(Loopback, TcpServerAcceptsAndBothSidesExchangeUntilThePeerCloses)
{
    Host host;
    Thread<> thread(host, "TCPT");
    NetworkApi::install(&gCounting);
    Peer accepted(thread.session, host.log);
    Listener server(thread.session, host.log, accepted);
    Peer out(thread.session, host.log);
    out.name = "OUT";
    const int port = freePort();

    // The accepted side answers "ping" with "pong"; the outgoing side closes
    // on "pong", so the accepted side sees the peer close.
    accepted.onBytes = [](Peer& p) {
        if (p.received == "ping")
            p.sendToNetwork(p.name.c_str(), "pong", 4);
    };
    out.onUp = [](Peer& p) { p.sendToNetwork("OUT", "ping", 4); };
    out.onBytes = [](Peer& p) {
        if (p.received == "pong")
            p.disconnectService("OUT");
    };

    // After the close, a second close of the gone connection; then stop.
    struct Finish : TarvokTimerHandler
    {
        Peer* accepted;
        Log* log;
        int ticks = 0;
        int sinceClose = 0;
        bool lateClose = false;
        void onTimer(TarvokTimer*) override
        {
            if (accepted->disconnects == 0 && ++ticks < 1000)
                return;
            // Give the framework a moment to drop the connection.
            if (accepted->disconnects == 1 && ++sinceClose < 20)
                return;
            if (accepted->disconnects == 1)
                lateClose = accepted->disconnectService(accepted->name.c_str());
            stopFramework();
        }
    } finish;
    finish.accepted = &accepted;
    finish.log = &host.log;
    TarvokTimer timer;
    ASSERT_FALSE(!timer.create(&thread.session, &finish, 10, nullptr));

    extraRegistration() = [&] {
        return server.registerTCPServerService("SRV", "127.0.0.1", port) &&
                       out.registerTCPClientService("OUT", "127.0.0.1", port, 0)
                   ? 0
                   : -1;
    };
    ASSERT_TRUE(runFramework({{"TCPT", 1000}}));
    NetworkApi::install(nullptr);

    EXPECT_TRUE(server.listening);
    EXPECT_TRUE(server.registered);
    EXPECT_EQ(accepted.received, "ping");
    EXPECT_EQ(out.received, "pong");
    EXPECT_EQ(out.connects, 1);
    EXPECT_EQ(accepted.disconnects, 1);
    // The close answering the peer's, then the late one, which finds it gone.
    EXPECT_EQ(countEvents(accepted.name, CONN_TERM), 2);
    EXPECT_TRUE(finish.lateClose);
    // The framework drops an accepted connection on the peer's close, so
    // even the first close may find it gone: success either way.
    ASSERT_FALSE(gEventCodes.empty());
    for (int code : gEventCodes)
        EXPECT_EQ(code, RES_NOT_EXIST);
    EXPECT_EQ(host.sink.count("NetworkHandlerImpl::sendNetworkEvent(", LOG_LEVEL_WARNING), 0);
}
