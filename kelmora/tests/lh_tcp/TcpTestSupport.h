// What the TCP and login line tests share: framework calls scripted per test
// (registrations, connect and close requests, sends with their error codes)
// and a handler fixture on them with its buses recorded.
#pragma once

#include "../lh_base/LineHandlerTestSupport.h"

#include "kelmora/linehandler/LineHandler.h"
#include "kelmora/linehandler/NetworkApi.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>

#include <deque>
#include <string>
#include <thread>
#include <vector>

namespace tcptest
{

struct Script
{
    std::vector<std::string> requests; // "CONN_RQS FEED:1", "CONN_TERM FEED:1"
    std::vector<TcpConnParam> registered;
    std::string sent;
    // Scripted results of sends: > 0 bytes taken, otherwise the error code of
    // a refusal; when empty every send takes all.
    std::deque<int> sendResults;
    int registerResult = 0;
    int eventResult = 0;
    int errorCode = 0;
    int sendCalls = 0;
    // How long each refusal takes, as on a machine too busy to run the line.
    int refusalMillis = 0;
};
inline Script gScript;

inline int scriptedSend(const char*, const char* data, int length)
{
    ++gScript.sendCalls;
    if (gScript.sendResults.empty())
    {
        gScript.sent.append(data, static_cast<std::size_t>(length));
        return length;
    }
    const int next = gScript.sendResults.front();
    if (gScript.sendResults.size() > 1)
        gScript.sendResults.pop_front();
    if (next > 0)
    {
        const int taken = std::min(next, length);
        gScript.sent.append(data, static_cast<std::size_t>(taken));
        return taken;
    }
    gScript.errorCode = -next;
    if (gScript.refusalMillis > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(gScript.refusalMillis));
    return 0;
}

inline const NetworkApi cScripted{
    [](StructParamType t, void* p, int n) { return ::initStructParam(t, p, n); },
    [](const TcpConnParam* p) {
        gScript.registered.push_back(*p);
        return gScript.registerResult;
    },
    [](const TcpConnParam*) { return -1; },
    [](const UdpConnParam*) { return -1; },
    [](const UdpConnParam*) { return -1; },
    [](const UdpConnParam*) { return -1; },
    [](const IpcParam*) { return -1; },
    [](const char* name, FwEventID id, AppEventParam*) {
        gScript.requests.push_back(std::string(id == CONN_RQS ? "CONN_RQS " : id == CONN_TERM ? "CONN_TERM " : "? ") +
                                   name);
        return gScript.eventResult;
    },
    [](const char* name, const char* data, int length, char (*)[17], bool) { return scriptedSend(name, data, length); },
    [](const char*, const char*, int, char (*)[17], bool) { return -1; },
    [](const char*, const char*, int) { return -1; },
    [] { return gScript.errorCode; },
    [](const char*, FwEventID, AppEventParam*) { return -1; },
};

// A plain feed server on 127.0.0.1 at a free port; `peer` runs its side.
struct Server
{
    Server()
    {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(fd, 4);
        socklen_t len = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~Server()
    {
        if (peer.joinable())
            peer.join();
        ::close(fd);
    }
    // The accepted connection, or -1 once `done` is set: a run that never
    // connects must not leave the test waiting here.
    int accept(const std::atomic<bool>& done) const
    {
        while (!done)
        {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 20) == 1)
                return ::accept(fd, nullptr, nullptr);
        }
        return -1;
    }
    int fd;
    int port;
    std::thread peer;
};

inline std::string dataText(const LineData& d)
{
    return std::string(d.getData(), d.getDataLen());
}

// The handle map is the process's: names a test registers are removed first.
inline void forgetNames(const std::string& feed, int entries)
{
    Log quiet;
    for (int i = 0; i < entries; ++i)
    {
        char name[17] = {};
        std::snprintf(name, sizeof name, "%s:%d", feed.c_str(), i);
        Runnable::removeNetworkHandleMap(name, quiet);
    }
}

// A handler of type H on scripted framework calls, its line data, status,
// event and termination buses recorded in one list.
template <typename H>
struct ScriptedLine
{
    explicit ScriptedLine(const char* threadName) : thread(host, threadName)
    {
        gScript = Script{};
        NetworkApi::install(&cScripted);
    }
    ~ScriptedLine()
    {
        handler.reset();
        NetworkApi::install(nullptr);
        gScript = Script{};
    }

    // A handler named `feed` with `entries` hunt-list servers, registered.
    H& make(const std::string& feed = "FEED", int entries = 1)
    {
        handler.reset();
        forgetNames(feed, entries);
        handler = std::make_unique<H>(factory, thread.session, host.log);
        handler->setFeedName(feed);
        handler->setName(feed + "-line");
        handler->OrluPublisher<LineData>::setDestination(&data.channel);
        handler->OrluPublisher<LineStatus>::setDestination(&statuses.channel);
        handler->OrluPublisher<SystemEvent>::setDestination(&systemEvents.channel);
        handler->OrluPublisher<TerminateAll>::setDestination(&terminations.channel);
        for (int i = 0; i < entries; ++i)
            handler->addConnection("127.0.0.1", std::to_string(7000 + i).c_str());
        handler->initNetworkService();
        return *handler;
    }
    // Connected as the framework would report it.
    void connectNow()
    {
        handler->onReadyToConnect();
        handler->onConnect();
    }

    hostrun::Host host;
    hostrun::Thread<> thread;
    lhtest::CountingFactory factory;
    std::vector<std::string> events;
    lhtest::Recorder<LineData> data{events, [](const LineData& d) { return "D:" + dataText(d); }};
    lhtest::Recorder<LineStatus> statuses{events,
                                          [](const LineStatus& s) { return std::string("status:") + s.str(); }};
    lhtest::Recorder<SystemEvent> systemEvents{events, [](const SystemEvent& e) { return "event:" + e.str(); }};
    lhtest::Recorder<TerminateAll> terminations{events, [](const TerminateAll&) { return std::string("terminate"); }};
    std::unique_ptr<H> handler;

    std::vector<std::string> only(const std::string& prefix) const
    {
        std::vector<std::string> out;
        for (const std::string& e : events)
            if (e.rfind(prefix, 0) == 0)
                out.push_back(e);
        return out;
    }
};

} // namespace tcptest
