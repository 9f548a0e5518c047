// A manager on thread "MASQ" listening on a free port of 127.0.0.1 and
// redistributing a feed's bus, as the loopback tests set it up; it is asked
// to listen before the framework is up.
#pragma once

#include "kelmora/masquerade/LineMasqueraderManagerTcp.h"
#include "kelmora/masquerade/LineMasqueraderTcp.h"

#include "LoopbackSupport.h"

#include <atomic>
#include <string>
#include <vector>

namespace loopback
{
using namespace hostrun;

struct Manager : LineMasqueraderManagerTcp
{
    using LineMasqueraderManagerTcp::LineMasqueraderManagerTcp;
    std::atomic<int> accepted{0};
    std::vector<const LineMasqueraderTcp*> connections;
    bool refuseAll = false;
    LineMasqueraderTcp* create() override
    {
        return refuseAll ? nullptr : LineMasqueraderManagerTcp::create();
    }
    void onConnected(const char*, const LineMasqueraderTcp* c) override
    {
        connections.push_back(c);
        ++accepted;
    }
    // Where the listener was closed.
    void closeListen() override
    {
        char name[17] = {};
        getCurrentThreadName(name);
        closedOn = name;
        LineMasqueraderManagerTcp::closeListen();
        listenClosed = true;
    }
    std::string closedOn;
    std::atomic<bool> listenClosed{false};
};

struct MasqHost
{
    Host host;
    Thread<> thread{host, "MASQ"};
    Feed feed;
    Orlu<TerminateAll> terminate{"OrluTerminateAll", "default"};
    Manager manager{thread.session, host.log};
    Driver driver;
    int port = freePort();
    TCP_CONNECT_STATUS stateAfterInitListen = TCP_CONNECT;

    MasqHost()
    {
        manager.setTcpIpAddress("127.0.0.1");
        manager.setTcpService(std::to_string(port));
        manager.setOrluLineData(&feed.bus);
        feed.bus.subscribe(&manager);
        terminate.subscribe(&manager);
        extraRegistration() = [this] {
            manager.initListen();
            stateAfterInitListen = manager.getListenState();
            return 0;
        };
    }
    ~MasqHost()
    {
        feed.bus.unsubscribe(&manager);
        terminate.unsubscribe(&manager);
    }
    bool run(std::chrono::seconds timeout = std::chrono::seconds(60))
    {
        return driver.start(thread.session) && runFramework({{"MASQ", 1000}}, "", timeout);
    }
};
} // namespace loopback
