// Two real rtsd processes on loopback. A reads a multicast channel whole and
// serves its cache; B reads the same channel with packets missing, on a
// thread of the live sub-feed's own, and fills its gaps from A through its
// retransmission client and line filter. B's own cache, read through B's
// retransmission port, ends up complete, byte for byte.
#include "rts/tests/host_process/RtsdProcess.h"
#include "rts/tests/support/FreePort.h"
#include "rts/tests/support/RtsTestClient.h"

#include <gtest/gtest.h>

#include <poll.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <map>
#include <string>
#include <thread>
#include <vector>

using proctest::RtsdProcess;
using namespace rtstest;
using namespace std::chrono_literals;

namespace
{

constexpr std::uint32_t cLast = 3000;
constexpr std::size_t cSize = 40;

// Message n as the feeder sends it: u16 size, u16 type 0x0500, u32 n, then
// (n + i) & 0xFF at each offset i.
std::string fedMessage(std::uint32_t n)
{
    std::string bytes(cSize, '\0');
    for (std::size_t i = 0; i < cSize; ++i)
        bytes[i] = static_cast<char>((n + i) & 0xFF);
    std::string head;
    put16(head, static_cast<std::uint16_t>(cSize));
    put16(head, 0x0500);
    put32(head, n);
    return bytes.replace(0, head.size(), head);
}

// Whether a datagram sent to `group` through 127.0.0.1 comes back to a member on 127.0.0.1.
bool loopbackMulticastWorks(const std::string& group)
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

int run(const std::string& command, std::string& printed)
{
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr)
        return -1;
    for (char buffer[512]; std::fgets(buffer, sizeof buffer, pipe) != nullptr;)
        printed += buffer;
    const int status = ::pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Sends the feed to `group`:`port`, leaving out `gaps` ("--gap a-b ...").
int feed(const std::string& group, int port, const std::string& gaps, std::string& printed)
{
    return run(std::string(RTS_FEEDER_PROGRAM) + " --group " + group + " --port " + std::to_string(port) +
                   " --count " + std::to_string(cLast) + " --per-packet 5 --size " + std::to_string(cSize) +
                   " --rate 6000 " + gaps,
               printed);
}

// Whether the cache behind `port` holds 1..cLast, each message as fed:
// "" when it does, else what is missing or wrong.
std::string cacheFault(int port, const std::string& user)
{
    Client c;
    if (!c.connect(port, 2s) || !c.send(logon(user)))
        return "no connection";
    const std::optional<Packet> answer = c.read(5s);
    if (!answer || answer->logonStatus() != 0)
        return "no logon";
    if (!c.send(request(1, 1, cLast)))
        return "request not sent";
    std::uint32_t next = 1;
    while (next <= cLast)
    {
        const std::optional<Packet> p = c.read(5s);
        if (!p)
            return "nothing after " + std::to_string(next - 1);
        if (p->isHeartbeat())
        {
            c.send(heartbeatEcho(p->seq));
            continue;
        }
        if (p->type() == 202)
        {
            if (p->retransStatus() != 0)
                return "status " + std::to_string(p->retransStatus());
            continue;
        }
        for (const Message& m : p->messages)
        {
            if (m.bytes != fedMessage(next))
                return "message " + std::to_string(next) + " differs";
            ++next;
        }
    }
    return "";
}

// The configuration both processes share, with `keys` added.
std::map<std::string, std::string> common(const std::string& name, const std::string& listen,
                                          const std::string& clients)
{
    return {{"FwInitArg1", name},
            {"DefaultMulticastInterface", "127.0.0.1"},
            {"NamedThreads", "<Value>LIVETHREAD</Value>"},
            {"LIVETHREAD", "<Enabled>true</Enabled>"},
            {"SubFeeds", "<Value>FEED</Value>"},
            {"FEED", "<LineHandlerType>multicast</LineHandlerType><Listen>" + listen +
                         "</Listen><LineDataFormat>dravek</LineDataFormat><RtsChannelId>1</RtsChannelId>"
                         "<MaxCacheSize>10000</MaxCacheSize><UseNamedThread>LIVETHREAD</UseNamedThread>"},
            {"RtsChannelId", "99"},
            {"LineFilterInitialSeqNum", "1"},
            {"LineFilterPublishWholeBlocks", "false"},
            {"RtsMaxSeqNumGap", "100000"},
            {"RtsThrottleInterval", "10"},
            {"RtsPacketsPerInterval", "1000"},
            {"UdpBufferSize", "4194304"},
            // The cache is read again and again until it is complete, each
            // time on a connection of its own, from 127.0.0.1.
            {"RtsMaxConnectionsPerIp", "100000"},
            {"RtsMaxConnectionPerClient", "5"},
            {"ClientList", clients}};
}

std::string client(const std::string& user)
{
    return "<Client><UserName>" + user +
           "</UserName><IpAddresses><Value>127.0.0.1</Value></IpAddresses><Channels><Value>1</Value></Channels>"
           "<MaximumRequests>100000</MaximumRequests></Client>";
}

} // namespace

TEST(TwoRtsd, TheSecondFillsItsGapsFromTheFirstAndItsCacheEndsComplete)
{
    std::string group = "239.255.48.1";
    if (!loopbackMulticastWorks(group))
    {
        std::cout << "multicast does not loop back on this machine: the lines listen on 127.0.0.1 and are fed by "
                     "directed UDP\n";
        group = "127.0.0.1";
    }
    const int portA = freeUdpPort();
    const int portB = freeUdpPort();

    RtsdProcess a;
    a.start({"--config-file", a.writeConfig(common("RTSDA", "127.0.0.1/" + group + "/" + std::to_string(portA),
                                                   client("bside") + client("check")))});
    RtsdProcess b;
    std::map<std::string, std::string> keysB =
        common("RTSDB", "127.0.0.1/" + group + "/" + std::to_string(portB), client("check"));
    keysB["SubFeeds"] = "<Value>FEED</Value><Value>RETR</Value>";
    // The live sub-feed asks for its gaps under its channel id and waits for them.
    keysB["FEED"] += "<LiveChannelId>1</LiveChannelId><FeedId>1</FeedId><LineFilterRetransActive>true</LineFilterRetransActive>"
                     "<LineFilterGapLimitTime>20</LineFilterGapLimitTime>";
    keysB["RETR"] = "<LineDataFormat>dravek</LineDataFormat><FeedRole>retrans</FeedRole>"
                    "<LineHandlerType>login</LineHandlerType><LoginUsername>bside</LoginUsername>"
                    "<TcpIpAddress>127.0.0.1</TcpIpAddress><TcpPort>" +
                    std::to_string(a.port()) + "</TcpPort>";
    b.start({"--config-file", b.writeConfig(keysB)});
    for (RtsdProcess* p : {&a, &b})
    {
        ASSERT_TRUE(p->waitForOutput("Module initialization completed")) << p->out() << p->err();
        ASSERT_TRUE(p->waitForOutput("joined multicast stream successfully")) << p->out();
    }

    // A takes the whole feed.
    std::string fedA;
    ASSERT_EQ(feed(group, portA, "", fedA), 0) << fedA;
    std::string faultA = "not read";
    for (auto until = std::chrono::steady_clock::now() + 20s; !faultA.empty() && std::chrono::steady_clock::now() < until;)
    {
        faultA = cacheFault(a.port(), "check");
        if (!faultA.empty())
            std::this_thread::sleep_for(100ms);
    }
    ASSERT_EQ(faultA, "") << a.out();

    // B misses packets at the start, inside and near the end of the feed.
    std::string fedB;
    ASSERT_EQ(feed(group, portB, "--gap 1-5 --gap 1003-1004 --gap 2601-2610 --gap 2991-2995", fedB), 0) << fedB;
    EXPECT_NE(fedB.find("22 left out as gaps"), std::string::npos) << fedB;
    std::string faultB = "not read";
    for (auto until = std::chrono::steady_clock::now() + 30s; !faultB.empty() && std::chrono::steady_clock::now() < until;)
    {
        faultB = cacheFault(b.port(), "check");
        if (!faultB.empty())
            std::this_thread::sleep_for(200ms);
    }
    EXPECT_EQ(faultB, "") << b.out();
    const std::string logB = b.out();
    for (const char* range : {"[1] to [5]", "[1003] to [1004]", "[2601] to [2610]", "[2991] to [2995]"})
        EXPECT_NE(logB.find(std::string("fully processed retransmission from channel [1] from ") + range),
                  std::string::npos)
            << range << "\n"
            << logB;

    for (RtsdProcess* p : {&b, &a})
    {
        p->signal(SIGTERM);
        EXPECT_EQ(p->waitExit(), 0) << p->err();
    }
}
