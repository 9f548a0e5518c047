// A hub on thread "HUB" listening on a free port of 127.0.0.1, asked to
// listen once the framework registers, with a driver that runs a test's
// steps on the hub's thread.
#pragma once

#include "RelayTestSupport.h"

#include "liborvane/OrvaneServer.h"

#include <gtest/gtest.h>
#include <netinet/tcp.h>

#include <atomic>

namespace relaytest
{
using namespace hostrun;
using loopback::blockExitSignals;
using loopback::connectOnce;
using loopback::connectWhenListening;

struct HubHost
{
    Host host;
    Thread<> thread{host, "HUB"};
    OrvaneServer hub{thread.session, host.log};
    loopback::Driver driver;
    int port = freePort();
    // The hub's counts, as last seen on its thread.
    std::atomic<int> clients{0};
    std::atomic<int> sessions{0};

    HubHost()
    {
        hub.setTcpIpAddress("127.0.0.1");
        hub.setTcpService(std::to_string(port));
        extraRegistration() = [this] {
            try
            {
                hub.initListen();
            }
            catch (const std::exception& e)
            {
                ADD_FAILURE() << "initListen: " << e.what();
                return -1;
            }
            return 0;
        };
    }
    // Runs `step` on the hub's thread every 10 ms, with the counts updated
    // first, until it says done.
    bool run(std::function<bool()> step, std::chrono::seconds timeout = std::chrono::seconds(90),
             const std::string& frameworkConfig = "")
    {
        driver.step = [this, step] {
            clients = static_cast<int>(hub.clientCount());
            sessions = static_cast<int>(hub.sessionCount());
            return step();
        };
        return driver.start(thread.session) && runFramework({{"HUB", 1000}}, frameworkConfig, timeout);
    }
};

// Waits until `value` reaches `want`, up to 30 s.
inline bool waitFor(const std::atomic<int>& value, int want)
{
    for (int i = 0; i < 3000 && value.load() != want; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return value.load() == want;
}

inline void noDelay(int fd)
{
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// Closes with a reset instead of an orderly close.
inline void reset(int fd)
{
    linger l{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(fd);
}

} // namespace relaytest
