// What the socket tests share: waits on real descriptors, descriptor flags and
// options, the framework configuration of this test program, and a connected
// loopback TCP pair built the way the network receiver builds one.
#pragma once

#include "FendralCore/tests/support/TestLog.h"

#include "FendralCore/dispatch/TcpDataSocket.h"
#include "FendralCore/dispatch/TcpListenSocket.h"
#include "FendralCore/foundation/ConfigManager.h"
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/GlobalData.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/socket.h>

namespace sockettest
{

constexpr int WAIT_MS = 5000;

inline bool waitFor(int fd, short events)
{
    pollfd p{fd, events, 0};
    return ::poll(&p, 1, WAIT_MS) == 1 && (p.revents & (events | POLLERR | POLLHUP)) != 0;
}

inline bool waitReadable(int fd)
{
    return waitFor(fd, POLLIN);
}

inline bool waitWritable(int fd)
{
    return waitFor(fd, POLLOUT);
}

inline bool hasCloseOnExec(int fd)
{
    const int flags = ::fcntl(fd, F_GETFD);
    return flags != -1 && (flags & FD_CLOEXEC) != 0;
}

inline bool isNonBlocking(int fd)
{
    const int flags = ::fcntl(fd, F_GETFL);
    return flags != -1 && (flags & O_NONBLOCK) != 0;
}

inline bool isOpen(int fd)
{
    return ::fcntl(fd, F_GETFD) != -1;
}

inline int intOption(int fd, int level, int name)
{
    int value = -1;
    socklen_t length = sizeof(value);
    return ::getsockopt(fd, level, name, &value, &length) == 0 ? value : -1;
}

// Options of one byte (the multicast TTL and loopback).
inline int byteOption(int fd, int level, int name)
{
    unsigned char value = 0;
    socklen_t length = sizeof(value);
    return ::getsockopt(fd, level, name, &value, &length) == 0 ? value : -1;
}

inline sockaddr_in localName(int fd)
{
    sockaddr_in local{};
    socklen_t length = sizeof(local);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    return local;
}

// The port the system gave a socket bound to port 0, in host order.
inline uint16 localPort(int fd)
{
    return ntohs(localName(fd).sin_port);
}

inline std::string addrText(in_addr_t addr)
{
    char text[INET_ADDRSTRLEN] = {};
    in_addr a{};
    a.s_addr = addr;
    ::inet_ntop(AF_INET, &a, text, sizeof(text));
    return text;
}

inline int openDescriptorCount()
{
    int count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd"); dir != nullptr)
    {
        while (::readdir(dir) != nullptr)
            ++count;
        ::closedir(dir);
    }
    return count;
}

// The framework configuration of this test program: one file, loaded into
// the process's store on first use and reloaded with each call, so a test
// sees exactly the keys it wrote.
inline void setFrameworkConfig(const std::string& lines)
{
    static const std::string path = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "fwsockXXXXXX").string();
        const std::string dir = ::mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
        static const struct Remover
        {
            std::string dir;
            ~Remover()
            {
                std::error_code ignored;
                std::filesystem::remove_all(dir, ignored);
            }
        } remover{dir};
        return dir + "/fw.cfg";
    }();
    std::ofstream(path, std::ios::trunc) << lines;
    static ConfigManager* const config = [] {
        auto* created = new ConfigManager(path);
        created->loadConfigFile();
        GlobalData::getInst().setConfigManager(created);
        return created;
    }();
    ASSERT_EQ(GlobalData::getInst().getConfigManager(), config);
    ASSERT_EQ(config->reloadConfigFile(), 0);
}

// A listen socket on 127.0.0.1 at a port the system picks.
struct LoopbackListener
{
    TcpListenSocket socket{"127.0.0.1", 0, false};
    uint16 port = 0;

    LoopbackListener()
    {
        EXPECT_EQ(socket.initialize(), 0);
        EXPECT_EQ(socket.startListen(), 0);
        port = localPort(socket.getFileDescriptor());
    }
};

// Drives a client socket's connect to completion as the network receiver
// does: connect, wait for writability while it is in progress, check.
inline int32 connectClient(TcpDataSocket& client)
{
    if (client.connect() == 0)
        return 0;
    if (FrameworkErrno::m_fwErrno != WOULD_BLOCK)
        return -1;
    if (!waitWritable(client.getFileDescriptor()))
        return -1;
    return client.checkConnectResult();
}

// A connected loopback pair: the client side and the accepted side.
struct TcpPair
{
    LoopbackListener listener;
    std::unique_ptr<TcpDataSocket> client;
    std::unique_ptr<TcpDataSocket> server;

    TcpPair()
    {
        client = std::make_unique<TcpDataSocket>("127.0.0.1", listener.port, "127.0.0.1", 0, false, -1, -1);
        EXPECT_EQ(client->initialize(), 0);
        EXPECT_EQ(connectClient(*client), 0);
        server = std::make_unique<TcpDataSocket>(-1, -1);
        EXPECT_TRUE(waitReadable(listener.socket.getFileDescriptor()));
        EXPECT_EQ(listener.socket.acceptConnRqs(*server), 0);
    }
};

} // namespace sockettest
