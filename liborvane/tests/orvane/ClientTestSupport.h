// An admin client on thread "ADMIN" against a raw loopback server that plays
// the hub, with a test listener that records what it is asked and answers
// through the session.
#pragma once

#include "RelayTestSupport.h"

#include "kelmora/linedata/LineDataFactoryBasic.h"
#include "kelmora/thread/OrvaneClient.h"
#include "kelmora/thread/TarvokListener.h"
#include "kelmora/thread/TarvokOldMsg.h"

#include <arpa/inet.h>

#include <atomic>
#include <mutex>

namespace relaytest
{
using namespace hostrun;

// Listens on 127.0.0.1 port 0.
struct RawHub
{
    RawHub()
    {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        ::listen(fd, 8);
    }
    ~RawHub() { ::close(fd); }
    // The next connection, or -1 after `seconds`.
    int accept(int seconds = 30)
    {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, seconds * 1000) <= 0)
            return -1;
        return ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    }
    int fd = -1;
    int port = 0;
};

// Records what reaches its subject, and answers "re:<args>" to the reply
// subject through the session.
struct EchoMethod : TarvokMsgHandler
{
    explicit EchoMethod(TarvokSession& s) : session(s) {}
    void onMsg(TarvokListener*, TarvokOldMsg& msg) override
    {
        std::string args, reply;
        msg.getArgs(args);
        msg.getReplySubject(reply);
        {
            std::lock_guard lock(mLock);
            calls.push_back(args);
        }
        if (reply.empty())
            return;
        TarvokOldMsg answer;
        answer.setSendSubject(reply);
        answer.setArgs("re:" + args);
        session.send(answer);
    }
    std::vector<std::string> taken()
    {
        std::lock_guard lock(mLock);
        return calls;
    }
    TarvokSession& session;
    std::mutex mLock;
    std::vector<std::string> calls;
};

struct ConnectedCount : OrluSubscriber<OrvaneConnected>
{
    ConnectedCount() : OrluSubscriber<OrvaneConnected>("count") {}
    void onData(const Orlu<OrvaneConnected>&, const std::string&, const OrvaneConnected&) override { ++count; }
    std::atomic<int> count{0};
};

struct ClientHost
{
    Host host;
    Thread<> thread{host, "ADMIN"};
    LineDataFactoryBasic factory{"LineDataFactoryBasic(OrvaneClient)", host.log};
    OrvaneClient client{factory, thread.session, host.log};
    Orlu<OrvaneConnected> connected{"OrvaneConnected", ""};
    ConnectedCount connects;
    EchoMethod echo{thread.session};
    TarvokListener listener;
    loopback::Driver driver;
    RawHub hub;

    ClientHost()
    {
        factory.setObjPoolSize(50);
        thread.session.setOrvaneClient(&client);
        listener.create(&thread.session, &echo, "test.echo", nullptr);
        connected.subscribe(&connects);
        client.OrluPublisher<OrvaneConnected>::setDestination(&connected);
        client.setFeedName("OrvaneClient");
        client.setWhenToSendLogin(LineHandlerLogin::LOGIN_NEVER);
        client.setWhenToStartHeartBeats(LineHandlerLogin::START_HB_NEVER);
        client.setWhenToStartIdleTimeOuts(LineHandlerLogin::START_TIMEOUT_NEVER);
        client.setUseRecoveryFile(false);
        client.setTryReconnect(true);
        client.setConnectDelay(1, 50);
        client.addConnection("127.0.0.1", std::to_string(hub.port).c_str());
        extraRegistration() = [this] { return client.initNetworkService() ? 0 : -1; };
    }
    ~ClientHost() { connected.unsubscribe(&connects); }

    bool run(std::function<bool()> step, std::chrono::seconds timeout = std::chrono::seconds(90))
    {
        bool first = true;
        driver.step = [this, step, first]() mutable {
            if (first)
            {
                first = false;
                client.connect();
            }
            return step();
        };
        return driver.start(thread.session) && runFramework({{"ADMIN", 1000}}, "", timeout);
    }
};

} // namespace relaytest
