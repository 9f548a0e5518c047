// A connected loopback TCP pair for the send tests: the framework's socket on
// one end, a plain descriptor the test reads on the other.
#pragma once

#include "FendralCore/dispatch/TcpDataSocket.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>

struct LoopbackConn
{
    std::unique_ptr<TcpDataSocket> sock;
    int peerFd = -1;

    explicit LoopbackConn(int32 sendBuf = -1, int peerRecvBuf = 0)
    {
        const int lfd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t alen = sizeof(addr);
        EXPECT_EQ(::bind(lfd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
        EXPECT_EQ(::listen(lfd, 1), 0);
        EXPECT_EQ(::getsockname(lfd, reinterpret_cast<sockaddr*>(&addr), &alen), 0);
        const int cfd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (sendBuf > 0)
            ::setsockopt(cfd, SOL_SOCKET, SO_SNDBUF, &sendBuf, sizeof(sendBuf));
        EXPECT_EQ(::connect(cfd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
        peerFd = ::accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
        if (peerRecvBuf > 0)
            ::setsockopt(peerFd, SOL_SOCKET, SO_RCVBUF, &peerRecvBuf, sizeof(peerRecvBuf));
        ::close(lfd);
        sock = std::make_unique<TcpDataSocket>(cfd, false, sendBuf, 0);
    }
    ~LoopbackConn()
    {
        if (peerFd >= 0)
            ::close(peerFd);
        sock->disconnect();
    }

    // Reads exactly n bytes (or until the time-out).
    std::string read(size_t n, int timeoutMs = 5000)
    {
        std::string out;
        char buf[65536];
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (out.size() < n && std::chrono::steady_clock::now() < deadline)
        {
            pollfd p{peerFd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            const ssize_t got = ::recv(peerFd, buf, std::min(sizeof(buf), n - out.size()), 0);
            if (got <= 0)
                break;
            out.append(buf, static_cast<size_t>(got));
        }
        return out;
    }
};

