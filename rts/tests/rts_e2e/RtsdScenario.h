// What the rtsd tests share: the feed plug-in's messages, a user entitled
// from many loopback addresses, reading one request's answer, and free keys
// for the statistics segment.
#pragma once

#include "rts/tests/host_process/RtsdProcess.h"
#include "rts/tests/support/FreePort.h"
#include "rts/tests/support/RtsTestClient.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/file.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace rtstest
{

// Message n as the feed plug-in publishes it ("FeedMessageSize" bytes).
// One requested range and the status its answer must carry.
struct RangeCase
{
    const char* name;
    std::uint16_t channel;
    std::uint32_t begin, end;
    int status;
};

inline std::string feedMessage(std::uint32_t n, std::size_t size = 20)
{
    std::string bytes(size, '\0');
    for (std::size_t b = 0; b < size; ++b)
        bytes[b] = static_cast<char>(n + b);
    bytes[0] = static_cast<char>(size & 0xFF);
    bytes[1] = static_cast<char>(size >> 8);
    bytes[2] = 0x00;
    bytes[3] = 0x05;
    for (int k = 0; k < 4; ++k)
        bytes[4 + k] = static_cast<char>(n >> (8 * k));
    return bytes;
}

// 127.0.<block>.1 to 127.0.<block>.<count>.
inline std::vector<std::string> loopbackSources(int block, int count)
{
    std::vector<std::string> out;
    for (int i = 1; i <= count; ++i)
        out.push_back("127.0." + std::to_string(block) + "." + std::to_string(i));
    return out;
}

// A client-list user on channel 7 from 127.0.0.1 and `sources`.
inline std::string loopbackUser(const std::string& name, long maxRequests,
                                const std::vector<std::string>& sources = {})
{
    std::string addresses = "<Value>127.0.0.1</Value>";
    for (const std::string& s : sources)
        addresses += "<Value>" + s + "</Value>";
    return "<Client><UserName>" + name + "</UserName><IpAddresses>" + addresses
           + "</IpAddresses><Channels><Value>7</Value></Channels><MaximumRequests>" + std::to_string(maxRequests)
           + "</MaximumRequests></Client>";
}

// Logs `c` on (already connected); the logon status, -1 when none came.
inline int logOn(Client& c, const std::string& user)
{
    if (!c.send(logon(user)))
        return -2;
    const std::optional<Packet> p = c.read();
    return p ? p->logonStatus() : -1;
}

// The answer to one request as the client saw it.
struct Answer
{
    int status = -1;       // -1: no response came
    std::uint32_t messages = 0;
    bool inOrder = true;   // every data message was the next one, byte for byte
    bool closed = false;
};

// Reads the response to a request of begin..end and, when accepted, its
// data, echoing heartbeats; data is checked against the feed's messages.
inline Answer readAnswer(Client& c, std::uint32_t begin, std::uint32_t end, std::size_t size = 20,
                         std::chrono::milliseconds wait = std::chrono::seconds(10))
{
    Answer a;
    std::uint32_t next = begin == 0 ? 1 : begin;
    while (true)
    {
        const std::optional<Packet> p = c.read(wait);
        if (!p)
        {
            a.closed = c.closed();
            return a;
        }
        if (p->isHeartbeat())
        {
            c.send(heartbeatEcho(p->seq));
            continue;
        }
        if (p->type() == 202 && a.status < 0)
        {
            a.status = p->retransStatus();
            if (a.status != 0)
                return a;
            continue;
        }
        a.inOrder = a.inOrder && a.status == 0 && p->seq == next;
        for (const Message& m : p->messages)
        {
            a.inOrder = a.inOrder && m.bytes == feedMessage(next, size);
            ++next;
            ++a.messages;
        }
        if (next > end)
            return a;
    }
}

// The framework's own limits raised for `clients` connections at once: by
// default it registers 20 TCP connections and about 100 timers per thread,
// and each session holds up to three. Call after writeConfig, which writes
// the default file.
inline void raiseFrameworkLimits(proctest::RtsdProcess& rtsd, int clients)
{
    rtsd.write("fw.cfg", "FW_AGT_OPTION INT32 0\nTHD_TERM_TIMEOUT INT32 2\nTCP_CONN_RES_MAX INT32 "
                             + std::to_string(clients + 10) + "\nMSG_DISP_FD_NUM INT32 " + std::to_string(6 * clients + 100)
                             + "\n");
}

// A line of /proc/<pid>/status ("VmRSS") in kB; -1 when absent.
inline long procStatusKb(int pid, const std::string& key)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind(key + ":", 0) == 0)
            return std::stol(line.substr(key.size() + 1));
    return -1;
}

// Key files for the statistics segment and the latency queues, whose System
// V keys are free, and the removal of what uses those keys at the end. The
// keys come from inode numbers, so the tests of the machine that make
// segments take them under one lock, as the statistics tests do.
class StatsKeys
{
public:
    StatsKeys()
    {
        mLock = ::open("/tmp/fendral-test-ipc-keys.lock", O_CREAT | O_RDWR | O_CLOEXEC, 0666);
        if (mLock >= 0)
            ::flock(mLock, LOCK_EX);
    }
    ~StatsKeys()
    {
        for (key_t key : mKeys)
        {
            if (const int shm = ::shmget(key, 0, 0); shm >= 0)
                ::shmctl(shm, IPC_RMID, nullptr);
            if (const int sem = ::semget(key, 0, 0); sem >= 0)
                ::semctl(sem, 0, IPC_RMID);
        }
        if (mLock >= 0)
            ::close(mLock);
    }
    StatsKeys(const StatsKeys&) = delete;
    StatsKeys& operator=(const StatsKeys&) = delete;

    // A new file of `dir` whose keys for the projects the writers use are free.
    std::string file(const std::string& dir)
    {
        for (int attempt = 0; attempt < 50; ++attempt)
        {
            const std::string name = dir + "/key" + std::to_string(mFiles++);
            ::close(::open(name.c_str(), O_CREAT | O_WRONLY, 0600));
            std::vector<key_t> keys;
            for (int project : {0, 1, 2, 3, static_cast<int>('x')})
                keys.push_back(::ftok(name.c_str(), project));
            if (std::all_of(keys.begin(), keys.end(), [](key_t k) { return k > 0 && free(k); }))
            {
                mKeys.insert(mKeys.end(), keys.begin(), keys.end());
                return name;
            }
        }
        return "";
    }

private:
    static bool free(key_t key)
    {
        return ::shmget(key, 0, 0) < 0 && errno == ENOENT && ::semget(key, 0, 0) < 0 && errno == ENOENT;
    }

    int mLock = -1;
    int mFiles = 0;
    std::vector<key_t> mKeys;
};

// Whether a datagram sent to `group` through 127.0.0.1 comes back to a member on 127.0.0.1.
inline bool loopbackMulticastWorks(const std::string& group)
{
    const int port = freeUdpPort();
    const int in = ::socket(AF_INET, SOCK_DGRAM, 0), out = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, group.c_str(), &a.sin_addr);
    ip_mreq join{};
    join.imr_multiaddr = a.sin_addr;
    join.imr_interface.s_addr = htonl(INADDR_LOOPBACK);
    in_addr lo{};
    lo.s_addr = htonl(INADDR_LOOPBACK);
    bool works = ::bind(in, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                 ::setsockopt(in, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) == 0 &&
                 ::setsockopt(out, IPPROTO_IP, IP_MULTICAST_IF, &lo, sizeof lo) == 0 &&
                 ::sendto(out, "probe", 5, 0, reinterpret_cast<sockaddr*>(&a), sizeof a) == 5;
    pollfd p{in, POLLIN, 0};
    works = works && ::poll(&p, 1, 500) == 1;
    ::close(in);
    ::close(out);
    return works;
}

} // namespace rtstest
