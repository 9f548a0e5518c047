// Datagrams that reach a handler through the framework's network receiver
// and the thread callback: what the handler throws goes to the matching hook,
// and the thread serves on. Multicast on the loopback interface carries them.
#include "RunnableTestSupport.h"

#include "kelmora/linehandler/UDPNetworkHandler.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

using namespace hostrun;

namespace
{
// Throws what the datagram names; "end" ends the run.
struct Thrower : UDPNetworkHandler
{
    using UDPNetworkHandler::UDPNetworkHandler;
    void onReadyToConnect() override { joinMulticastService("ROADMC"); }
    void onNetworkData(const char* data, unsigned int length) override
    {
        const std::string what(data, length);
        received.fetch_add(1);
        if (what == "probe")
            return;
        calls.push_back(what);
        if (what == "end")
            stopFramework();
        else if (what == "eof")
            throw LineEof();
        else if (what == "connect")
            throw LineConnectError("refused");
        else if (what == "error")
            throw LineError("bad");
        else if (what == "invalid")
            throw std::invalid_argument("arg");
        else if (what == "terminate")
            throw LineTerminate();
        else if (what == "other")
            throw 42;
    }
    void onLineEof(LineEof&) override { calls.push_back("hook:eof"); }
    void onLineError(LineError&) override { calls.push_back("hook:error"); }
    void onLineConnectError(LineConnectError&) override { calls.push_back("hook:connect"); }
    void onLineTerminate(LineTerminate&) override { calls.push_back("hook:terminate"); }
    void onInvalidArg(std::invalid_argument&) override { calls.push_back("hook:invalid"); }

    std::atomic<int> received{0};
    std::vector<std::string> calls;
};

} // namespace

TEST(NetworkRoad, WhatAHandlerThrowsReachesItsHookAndTheThreadServesOn)
{
    Host host;
    Thread<> thread(host, "ROADT");
    Thrower handler(thread.session, host.log);
    const int port = freePort(SOCK_DGRAM);
    in_addr lo{};
    lo.s_addr = htonl(INADDR_LOOPBACK);
    const char* group = "239.255.41.7";
    // The system's receive buffer (-1): every datagram must wait there for a
    // network thread slowed by a loaded machine, where a size of 0 leaves the
    // kernel's least, a datagram or two.
    extraRegistration() = [&] {
        return handler.registerMulticastService("ROADMC", lo, group, port, -1, MULTICAST_RECEIVER_MODE) ? 0 : -1;
    };
    const std::vector<std::string> table = {"none", "eof", "connect", "error", "invalid", "terminate", "other", "end"};
    std::atomic<bool> stop{false};
    std::thread sender([&] {
        blockExitSignals();
        LoopbackGroupSender out(group, port);
        // Until the group is joined, then the table once.
        while (!stop && handler.received.load() == 0)
        {
            out.send("probe");
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        for (const std::string& s : table)
        {
            if (stop)
                break;
            out.send(s);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    const bool stopped = runFramework({{"ROADT", 1000}}, "", std::chrono::seconds(30));
    stop = true;
    sender.join();
    ASSERT_TRUE(stopped);
    const std::vector<std::string> want = {"none",  "eof",     "hook:eof",       "connect",   "hook:connect",
                                           "error", "hook:error", "invalid",     "hook:invalid", "terminate",
                                           "hook:terminate", "other", "end"};
    EXPECT_EQ(handler.calls, want);
    EXPECT_EQ(host.sink.count("Runnable::_onIo(): network handler|ROADMC| caught unknown exception", LOG_LEVEL_ERROR),
              1);
}
