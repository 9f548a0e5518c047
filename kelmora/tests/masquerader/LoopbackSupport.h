// What the loopback tests of the masqueraders share: plain client sockets on
// threads of their own, a free port, the records they publish, and a driver
// that runs a test's steps on the masquerader's thread every 10 ms until
// they say done.
#pragma once

#include "../host_runnable/RunnableTestSupport.h"
#include "kelmora/linedata/LineDataBasic.h"
#include "kelmora/thread/TarvokTimer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <string>
#include <thread>

namespace loopback
{
using hostrun::blockExitSignals;
using hostrun::freePort;

// One connection attempt to 127.0.0.1:port; -1 when refused.
inline int connectOnce(int port, int rcvBuf = 0)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (rcvBuf > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvBuf, sizeof rcvBuf);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
        return fd;
    ::close(fd);
    return -1;
}

// Connects once the manager listens (it starts after the framework is up).
inline int connectWhenListening(int port, int rcvBuf = 0)
{
    for (int i = 0; i < 1000; ++i)
    {
        const int fd = connectOnce(port, rcvBuf);
        if (fd >= 0)
            return fd;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
}

// Reads until `want` bytes, the peer's close or `seconds` without a byte.
// Returns false on the close (or an error), true otherwise.
inline bool readUpTo(int fd, std::string& into, std::size_t want, int seconds = 10)
{
    char buf[65536];
    while (into.size() < want)
    {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, seconds * 1000) <= 0)
            return true;
        const ssize_t n = ::recv(fd, buf, std::min(sizeof buf, want - into.size()), 0);
        if (n <= 0)
            return false;
        into.append(buf, static_cast<std::size_t>(n));
    }
    return true;
}

// One read of what is there, waiting up to `seconds`; false on the peer's
// close, an error or the time-out.
inline bool readSome(int fd, std::string& into, int seconds = 10)
{
    char buf[65536];
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, seconds * 1000) <= 0)
        return false;
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0)
        return false;
    into.append(buf, static_cast<std::size_t>(n));
    return true;
}

// True when the peer closes within `seconds`, reading and dropping bytes.
inline bool closedByPeer(int fd, int seconds = 10)
{
    std::string sink;
    return !readUpTo(fd, sink, SIZE_MAX, seconds);
}

// Record i of a test stream: its sequence number in text, then filler up to
// `size` bytes, so that order and completeness show in the bytes.
inline std::string recordBytes(unsigned i, std::size_t size)
{
    std::string s = "#" + std::to_string(i) + ":";
    while (s.size() < size)
        s.push_back(static_cast<char>('a' + (i + s.size()) % 26));
    s.resize(size);
    return s;
}

// Runs `step` on the session's thread every 10 ms; stops the framework once
// it returns true.
struct Driver : TarvokTimerHandler
{
    std::function<bool()> step;
    TarvokTimer timer;
    bool start(TarvokSession& session) { return !!timer.create(&session, this, 10, nullptr); }
    void onTimer(TarvokTimer*) override
    {
        if (step && step())
        {
            step = nullptr;
            hostrun::stopFramework();
        }
    }
};

// Publishes records on a line data bus from the thread that owns it.
struct Feed
{
    Orlu<LineData> bus{"OrluLineData", "default"};
    OrluPublisher<LineData> publisher{"feed"};
    LineDataBasic record;
    Feed() { publisher.setDestination(&bus); }
    void publish(const std::string& bytes, unsigned seqNum = 0)
    {
        record.setData(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
        record.setSeqNum(seqNum);
        publisher.publish(record);
    }
};
} // namespace loopback
