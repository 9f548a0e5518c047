// What the line handler tests share: a record factory that counts, bus
// recorders that note each message as text in one event list, and a run of
// the real framework that starts work on a host thread at its ready point and
// stops once a condition holds.
#pragma once

#include "../host_runnable/RunnableTestSupport.h"

#include "kelmora/linedata/LineDataBasic.h"
#include "kelmora/linedata/LineDataFactory.h"
#include "kelmora/thread/TarvokTimer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <zlib.h>

#include <functional>
#include <string>
#include <vector>

namespace lhtest
{

struct CountingFactory : LineDataFactory
{
    LineData* create() override
    {
        ++created;
        return new LineDataBasic;
    }
    void destroy(LineData* data) override
    {
        ++destroyed;
        delete data;
    }
    int created = 0;
    int destroyed = 0;
};

// Each message a channel delivers, as text, in one shared list.
template <typename T>
struct Recorder : OrluSubscriber<T>
{
    Recorder(std::vector<std::string>& events, std::function<std::string(const T&)> text)
        : OrluSubscriber<T>("recorder"), events(events), text(std::move(text))
    {
        channel.subscribe(this);
    }
    ~Recorder() override { channel.unsubscribe(this); }
    void onData(const Orlu<T>&, const std::string&, const T& data) override
    {
        events.push_back(text(data));
        if (after)
            after(data);
    }
    Orlu<T> channel{"test", "default"};
    std::vector<std::string>& events;
    std::function<std::string(const T&)> text;
    std::function<void(const T&)> after;
};

// The bytes as one zlib stream, as a compressed line sends them.
inline std::string deflate(const std::string& plain)
{
    uLongf size = compressBound(plain.size());
    std::string out(size, '\0');
    compress2(reinterpret_cast<Bytef*>(out.data()), &size, reinterpret_cast<const Bytef*>(plain.data()), plain.size(),
              Z_BEST_COMPRESSION);
    out.resize(size);
    return out;
}

// A thread a test starts besides the framework's must leave the exit
// signals to the framework's control thread.
inline void blockExitSignalsHere()
{
    sigset_t exits;
    sigemptyset(&exits);
    for (int sig : {SIGTERM, SIGINT, SIGQUIT, SIGHUP})
        sigaddset(&exits, sig);
    pthread_sigmask(SIG_BLOCK, &exits, nullptr);
}

// A UDP port free on 127.0.0.1 a moment ago.
inline int freeUdpPort()
{
    return processtest::freePort(SOCK_DGRAM);
}

// A host thread whose ready point runs `start`.
struct Starter : Runnable
{
    using Runnable::Runnable;
    std::function<void()> start;
    void appReady() override
    {
        if (start)
            start();
    }
};

// Polls `done` on the thread every 5 ms and stops the framework once it holds.
struct StopWhen : TarvokTimerHandler
{
    explicit StopWhen(std::function<bool()> done) : done(std::move(done)) {}
    void onTimer(TarvokTimer*) override
    {
        if (!stopped && done())
        {
            stopped = true;
            hostrun::stopFramework();
        }
    }
    std::function<bool()> done;
    bool stopped = false;
};

// Runs the framework with `thread` until `done` holds; true when it did in time.
inline bool runUntil(hostrun::Thread<Starter>& thread, std::function<bool()> done,
                     std::chrono::seconds timeout = std::chrono::seconds(30))
{
    StopWhen stop(std::move(done));
    TarvokTimer timer;
    if (!timer.create(&thread.session, &stop, 5, nullptr))
        return false;
    const bool inTime = hostrun::runFramework({{thread.runnable->getName(), 1000}}, "", timeout);
    return inTime && stop.stopped;
}

} // namespace lhtest
