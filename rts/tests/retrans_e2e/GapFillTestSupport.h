// What the rtsd gap-filling tests share: whether multicast loops back here,
// the feeder program run to its end, the configuration of an rtsd whose
// live sub-feed fills its gaps, and a client of that rtsd reading its cache
// back against the feed's messages.
#pragma once

#include "rts/tests/rts_e2e/RtsdScenario.h"
#include "rts/tests/support/FreePort.h"
#include "rts/tests/support/RtsTestClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>
#include <string>

namespace rtstest
{

// Runs `command` to its end; its exit code, what it printed in `printed`.
inline int runProgram(const std::string& command, std::string& printed)
{
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr)
        return -1;
    for (char buffer[512]; std::fgets(buffer, sizeof buffer, pipe) != nullptr;)
        printed += buffer;
    const int status = ::pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The feeder's messages 1..count, `size` bytes each and five to a packet,
// sent to `group`:`port` at 6,000 a second, leaving out `gaps` ("--gap a-b ...").
inline int feedLine(const std::string& group, int port, std::uint32_t count, std::size_t size, const std::string& gaps,
                    std::string& printed)
{
    return runProgram(std::string(RTS_FEEDER_PROGRAM) + " --group " + group + " --port " + std::to_string(port) +
                          " --count " + std::to_string(count) + " --per-packet 5 --size " + std::to_string(size) +
                          " --rate 6000 " + gaps,
                      printed);
}

// Whether the cache of channel 1 behind `port`, asked by `user` for
// first..last in one request, holds each of those numbers once, in order,
// each message as the feeder sent it: "" when it does, else what is
// missing or wrong.
inline std::string cacheFault(int port, const std::string& user, std::uint32_t first, std::uint32_t last,
                              std::size_t size)
{
    using namespace std::chrono_literals;
    Client c;
    if (!c.connect(port, 2s) || !c.send(logon(user)))
        return "no connection";
    const std::optional<Packet> answer = c.read(5s);
    if (!answer || answer->logonStatus() != 0)
        return "no logon";
    if (!c.send(request(1, first, last)))
        return "request not sent";
    std::uint32_t next = first;
    while (next <= last)
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
            if (m.bytes != feedMessage(next, size))
                return "message " + std::to_string(next) + " differs";
            ++next;
        }
    }
    return "";
}

// A client-list user entitled to channel 1 from 127.0.0.1.
inline std::string channelOneUser(const std::string& user)
{
    return "<Client><UserName>" + user +
           "</UserName><IpAddresses><Value>127.0.0.1</Value></IpAddresses><Channels><Value>1</Value></Channels>"
           "<MaximumRequests>100000</MaximumRequests></Client>";
}

// An rtsd named `name` whose sub-feed FEED reads the multicast line
// `listen` ("interface/group/port") on a thread of its own, from number 1,
// and caches it as channel 1 for `clients`.
inline std::map<std::string, std::string> liveFeedConfig(const std::string& name, const std::string& listen,
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
            // As the example: the default 45000 costs each thread 312 MB,
            // touched at start-up, seconds under the sanitizers.
            {"QueueSize", "4096"},
            // The cache is read again and again until it is complete, each
            // time on a connection of its own, from 127.0.0.1.
            {"RtsMaxConnectionsPerIp", "100000"},
            {"RtsMaxConnectionPerClient", "5"},
            {"ClientList", clients}};
}

} // namespace rtstest
