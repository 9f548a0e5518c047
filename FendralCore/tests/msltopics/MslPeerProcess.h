// A messaging peer in a process of its own: the test forks, the child runs a
// messaging service on real multicast sockets with the topics it was given
// (registered for its application thread APP1), and serves the test's
// commands over a socket pair: open and leave topics, publish messages as
// APP1 would, report its counters. Every event and message APP1 receives is
// reported back. The child ends when told or when the test goes away.
//
// Also here: the network of the test. It moves into a network namespace of
// its own with only the loopback interface where one can be made, so peers
// of tests running side by side never meet; elsewhere it stays on the host's
// loopback, with groups and ports of its own.
#pragma once

#include "FendralCore/tests/mslsupport/MslServiceHarness.h"
#include "FendralCore/tests/support/ProcessTestSupport.h"

#include "FendralCore/messaging/MessagingService.h"
#include "FendralCore/foundation/LogCall.h"
#include "FendralCore/runtime/ResourceManager.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace msltest
{
using processtest::isolateNetwork;

// A random drop of percent % of the multicast datagrams that reach any
// socket of the test's own network namespace (nftables, input hook), for as
// long as it lives; active() is false where the test has no namespace of
// its own or nft is missing. Not seedable: the kernel draws the numbers.
class NamespaceDrop
{
public:
    explicit NamespaceDrop(int percent)
    {
        if (!isolateNetwork())
            return;
        const std::string rule = "nft add table ip msltest && nft add chain ip msltest input "
                                 "'{ type filter hook input priority 0; policy accept; }' && "
                                 "nft add rule ip msltest input ip daddr 224.0.0.0/4 numgen random mod 100 '<' " +
                                 std::to_string(percent) + " counter drop";
        m_active = std::system(("(" + rule + ") >/dev/null 2>&1").c_str()) == 0;
    }
    ~NamespaceDrop()
    {
        if (m_active)
            (void)std::system("nft delete table ip msltest >/dev/null 2>&1");
    }
    NamespaceDrop(const NamespaceDrop&) = delete;
    NamespaceDrop& operator=(const NamespaceDrop&) = delete;

    bool active() const { return m_active; }

    // The datagrams dropped so far.
    uint64 dropped() const
    {
        if (!m_active)
            return 0;
        FILE* p = ::popen("nft list table ip msltest 2>/dev/null", "r");
        if (p == nullptr)
            return 0;
        char line[512];
        uint64 n = 0;
        while (std::fgets(line, sizeof(line), p) != nullptr)
            if (const char* at = std::strstr(line, "packets "); at != nullptr)
                n = std::strtoull(at + 8, nullptr, 10);
        ::pclose(p);
        return n;
    }

private:
    bool m_active = false;
};

// The channel plan of one test: control channels and one topic channel pair
// (every topic on it), on the loopback interface.
struct PeerPlan
{
    std::string rcGroup = uniqueGroup();
    uint16 rcPort = freeUdpPort();
    std::string racGroup = uniqueGroup();
    uint16 racPort = freeUdpPort();
    std::string dataGroup = uniqueGroup();
    uint16 dataPort = freeUdpPort();
    std::string ackGroup = uniqueGroup();
    uint16 ackPort = freeUdpPort();

    std::string config() const
    {
        return controlPlan(rcGroup, rcPort, racGroup, racPort) + "MCAST_DC_ADDR STRING " + dataGroup +
               "\nMCAST_DC_PORT UINT16 " + std::to_string(dataPort) + "\nMCAST_DAC_ADDR STRING " + ackGroup +
               "\nMCAST_DAC_PORT UINT16 " + std::to_string(ackPort) +
               "\nMCAST_DC_ADDR_RG INT32 1\nMCAST_DC_PORT_RG INT32 1\nMSG_SVR_SUBNET STRING 127.0.0.0\n"
               "MSL_MCAST_TTL UINT16 1\nMSL_LOOPBACK INT32 1\n";
    }
};

struct PeerTopic
{
    std::string name;
    MsgTopicOpenType type = PUBLISH;
    bool activeSubscriber = true;
    int32 historyBufSize = 1000;
    bool openAtStartup = false;
};

// What APP1 received, as the child reports it.
struct PeerEvent
{
    int32 kind = 0; // 0 event, 1 data, 2 counters
    int32 id = 0;
    char name[17] = {};
    int16 p16 = 0;
    int32 p32 = 0;
    int64 p64 = 0;
    char appId[9] = {};
    uint32 dataLen = 0;
    char data[64] = {};
    uint64 counters[16] = {};
    int64 atMs = 0; // when the child saw it, monotonic
};

class PeerProcess
{
public:
    enum Command : int32
    {
        CMD_PUBLISH = 1,
        CMD_SUBSCRIBE = 2,
        CMD_LEAVE_PUB = 3,
        CMD_LEAVE_SUB = 4,
        CMD_SEND = 5,
        CMD_COUNTERS = 6,
        CMD_QUIT = 7,
    };
    struct CommandRecord
    {
        int32 cmd;
        char name[17];
        int32 count;
        int32 size;
    };
    // The counters a CMD_COUNTERS reports, in this order.
    enum Counter
    {
        DATA_RECEIVED,
        DATA_SHORT,
        DATA_BAD_SIZE,
        DATA_BAD_BODY,
        CONFLICTS,
        GAPS,
        ACK_RECEIVED,
        EFFECTIVE_SUBS, // of the first published topic
        // With summarised data: what APP1 was given, the number of the last
        // one, how many did not follow the one before, and how many
        // datagrams the receive hook dropped.
        DELIVERED,
        DELIVERED_LAST,
        DELIVERED_OUT_OF_ORDER,
        TEST_DROPPED,
    };

    // summariseData: the child counts the messages APP1 is given (the
    // counters above) instead of reporting each, for long streams.
    PeerProcess(const std::string& appId, int32 inst, const std::string& config, std::vector<PeerTopic> topics,
                bool summariseData = false)
    {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds) != 0)
            return;
        m_pid = ::fork();
        if (m_pid == 0)
        {
            ::close(fds[0]);
            runChild(fds[1], appId, inst, config, topics, summariseData);
            ::_exit(0);
        }
        ::close(fds[1]);
        m_fd = fds[0];
    }

    ~PeerProcess()
    {
        if (m_pid <= 0)
            return;
        command(CMD_QUIT);
        int status = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (::waitpid(m_pid, &status, WNOHANG) == 0)
        {
            if (std::chrono::steady_clock::now() > deadline)
            {
                ::kill(m_pid, SIGKILL);
                ::waitpid(m_pid, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        ::close(m_fd);
    }

    void command(Command cmd, const std::string& topic = "", int32 count = 0, int32 size = 0)
    {
        CommandRecord c{};
        c.cmd = cmd;
        std::memcpy(c.name, topic.data(), std::min<size_t>(topic.size(), 16));
        c.count = count;
        c.size = size;
        ::send(m_fd, &c, sizeof(c), MSG_NOSIGNAL);
    }

    // The first event (or data report) not taken by an earlier wait that
    // matches, taken; false after limit.
    bool waitFor(const std::function<bool(const PeerEvent&)>& match, PeerEvent* out = nullptr,
                 std::chrono::milliseconds limit = std::chrono::seconds(20))
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;)
        {
            m_taken.resize(m_events.size(), false);
            for (size_t i = 0; i < m_events.size(); ++i)
            {
                if (!m_taken[i] && match(m_events[i]))
                {
                    if (out != nullptr)
                        *out = m_events[i];
                    m_taken[i] = true;
                    return true;
                }
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                    std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return false;
            pollOnce(static_cast<int>(std::min<int64_t>(left.count(), 50)));
        }
    }

    bool waitEvent(FwEventID id, const std::string& topic, PeerEvent* out = nullptr,
                   std::chrono::milliseconds limit = std::chrono::seconds(20))
    {
        return waitFor([&](const PeerEvent& e) { return e.kind == 0 && e.id == id && topic == e.name; }, out, limit);
    }

    // Every data report so far, and those that come within limit until
    // count were seen.
    std::vector<PeerEvent> data(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(30))
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        auto have = [&] {
            size_t n = 0;
            for (const PeerEvent& e : m_events)
                n += e.kind == 1 ? 1 : 0;
            return n;
        };
        while (have() < count && std::chrono::steady_clock::now() < deadline)
            pollOnce(50);
        std::vector<PeerEvent> out;
        for (const PeerEvent& e : m_events)
            if (e.kind == 1)
                out.push_back(e);
        return out;
    }

    // Reads what the child reported so far without waiting.
    void pump() { pollOnce(0); }

    pid_t pid() const { return m_pid; }

    std::vector<uint64> counters()
    {
        command(CMD_COUNTERS);
        PeerEvent e;
        if (!waitFor([](const PeerEvent& x) { return x.kind == 2; }, &e))
            return {};
        return std::vector<uint64>(std::begin(e.counters), std::end(e.counters));
    }

    // Everything received, for a failing test's message.
    std::string history() const
    {
        std::string s;
        for (const PeerEvent& e : m_events)
            if (e.kind == 0)
                s += "[" + std::to_string(e.id) + " " + e.name + " " + std::to_string(e.p16) + " " +
                     std::to_string(e.p32) + " " + e.appId + "]";
        return s;
    }

private:
    void pollOnce(int ms)
    {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0)
            return;
        PeerEvent e;
        while (::recv(m_fd, &e, sizeof(e), MSG_DONTWAIT) == static_cast<ssize_t>(sizeof(e)))
            m_events.push_back(e);
    }

    static int64 monoMs()
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }

    static void report(int fd, const FwIntMessage& m)
    {
        PeerEvent e;
        e.atMs = monoMs();
        if (m.appMsg.type == MSG_EVENT)
        {
            const EventParam& p = m.appMsg.event.eventParam;
            e.kind = 0;
            e.id = m.appMsg.event.id;
            std::memcpy(e.name, p.resNameTxt, 16);
            e.p16 = p.paramInt16;
            e.p32 = p.paramInt32;
            e.p64 = p.paramInt64;
            std::memcpy(e.appId, p.appIdTxt, 8);
        }
        else
        {
            const Data_t& d = m.appMsg.data;
            e.kind = 1;
            std::memcpy(e.name, d.channelNameTxt, 16);
            e.p64 = static_cast<int64>(d.msgTopicSeq);
            e.p32 = d.msgPartNum;
            e.p16 = d.more ? 1 : 0;
            e.dataLen = d.dataLen;
            std::memcpy(e.data, d.buffer, std::min<uint32>(d.dataLen, sizeof(e.data)));
            std::memcpy(e.appId, d.peerAppIdTxt, 8);
        }
        ::send(fd, &e, sizeof(e), MSG_NOSIGNAL);
    }

    // MSL_PEER_LOG_DIR names a folder: each child writes its service's log
    // lines to <appId>.<pid>.log there, for a failing run's diagnosis.
    static FILE*& childLogFile()
    {
        static FILE* f = nullptr;
        return f;
    }

    static int32 childLogV(int32 level, const char* format, va_list arguments)
    {
        FILE* f = childLogFile();
        if (f == nullptr || level > LOG_LEVEL_INFO)
            return 0;
        std::fprintf(f, "%lld %d ", static_cast<long long>(monoMs()), level);
        std::vfprintf(f, format, arguments);
        std::fputc('\n', f);
        return 1;
    }

    static bool childLogEnabled(int32 level) { return childLogFile() != nullptr && level <= LOG_LEVEL_INFO; }

    static void openChildLog(const std::string& appId)
    {
        const char* dir = std::getenv("MSL_PEER_LOG_DIR");
        if (dir == nullptr || *dir == '\0')
            return;
        const std::string path = std::string(dir) + "/" + appId + "." + std::to_string(::getpid()) + ".log";
        childLogFile() = std::fopen(path.c_str(), "w");
        static const LogTarget target{&childLogV, &childLogEnabled};
        if (childLogFile() != nullptr)
            installLogTarget(&target);
    }

    static void runChild(int fd, const std::string& appId, int32 inst, const std::string& config,
                         const std::vector<PeerTopic>& topics, bool summariseData)
    {
        openChildLog(appId);
        Options o;
        o.appId = appId;
        o.inst = inst;
        o.config = config;
        o.appQueueLen = 8192;
        ServiceHarness h(o);
        for (const PeerTopic& t : topics)
        {
            MsgTopicResource* res = h.addTopic(t.name.c_str(), t.type, RES_REGISTERED);
            if (res == nullptr)
                return;
            res->regParam.activeSubscriber = t.activeSubscriber;
            res->regParam.historyBufSize = t.historyBufSize;
            res->regParam.openAtStartup = t.openAtStartup;
        }
        h.start();
        h.post(MQUEUE_HIGH_PRIORITY, INIT);
        h.post(MQUEUE_HIGH_PRIORITY, CONN_INIT);
        std::vector<char> payload;
        uint64 delivered = 0;
        uint64 lastDelivered = 0;
        uint64 outOfOrder = 0;
        for (;;)
        {
            FwIntMessage m;
            bool more = true;
            for (FwMessageQueue* q : {&h.appHigh(), &h.appNormal()})
            {
                while (q->getMessage(&m, more) == 0)
                {
                    if (summariseData && m.appMsg.type != MSG_EVENT)
                    {
                        const uint64 seq = m.appMsg.data.msgTopicSeq;
                        outOfOrder += seq != lastDelivered + 1 ? 1 : 0;
                        lastDelivered = seq;
                        ++delivered;
                    }
                    else
                        report(fd, m);
                    if (!more)
                        break;
                }
            }
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 2) <= 0)
                continue;
            CommandRecord c{};
            const ssize_t n = ::recv(fd, &c, sizeof(c), 0);
            if (n <= 0 || c.cmd == CMD_QUIT)
                break;
            ResourceName name{};
            std::memcpy(name, c.name, 16);
            switch (c.cmd)
            {
            case CMD_PUBLISH:
                h.postTopic(TOPIC_PUBLISH, name);
                break;
            case CMD_SUBSCRIBE:
                h.postTopic(TOPIC_SUBSCRIBE, name);
                break;
            case CMD_LEAVE_PUB:
                h.postTopic(TOPIC_LEAVE_PUB, name);
                break;
            case CMD_LEAVE_SUB:
                h.postTopic(TOPIC_LEAVE_SUB, name);
                break;
            case CMD_SEND:
            {
                MsgTopicResource* res = nullptr;
                if (h.registry().getMsgTopicRes(name, &res) != 0 || res->msgTopicPtr == nullptr)
                    break;
                payload.assign(static_cast<size_t>(c.size), '\0');
                for (int32 i = 0; i < c.count; ++i)
                {
                    std::snprintf(payload.data(), payload.size(), "%d", i + 1);
                    uint64 seq = 0;
                    int32 rc = -1;
                    for (;;)
                    {
                        rc = res->msgTopicPtr->sendMessage(payload.data(), static_cast<uint32>(payload.size()), seq,
                                                           0, false, nullptr, 0, false);
                        if (rc == 0 || FrameworkErrno::m_fwErrno != WOULD_BLOCK)
                            break;
                        // The window opens with the service's work: leave it
                        // the processor rather than spin beside it.
                        std::this_thread::sleep_for(std::chrono::microseconds(50));
                    }
                }
                break;
            }
            case CMD_COUNTERS:
            {
                const MslTopicStats& s = h.service().topicStats();
                PeerEvent e;
                e.kind = 2;
                e.counters[DATA_RECEIVED] = s.dataReceived.get();
                e.counters[DATA_SHORT] = s.dataShort.get();
                e.counters[DATA_BAD_SIZE] = s.dataBadSize.get();
                e.counters[DATA_BAD_BODY] = s.dataBadBody.get();
                e.counters[CONFLICTS] = s.conflicts.get();
                e.counters[GAPS] = s.gapsReported.get();
                e.counters[ACK_RECEIVED] = s.ackReceived.get();
                e.counters[DELIVERED] = delivered;
                e.counters[DELIVERED_LAST] = lastDelivered;
                e.counters[DELIVERED_OUT_OF_ORDER] = outOfOrder;
                e.counters[TEST_DROPPED] = h.service().numTestDropped();
                ::send(fd, &e, sizeof(e), MSG_NOSIGNAL);
                break;
            }
            default:
                break;
            }
        }
        h.stop();
        if (childLogFile() != nullptr)
        {
            installLogTarget(nullptr);
            std::fclose(childLogFile());
            childLogFile() = nullptr;
        }
    }

    pid_t m_pid = -1;
    int m_fd = -1;
    std::vector<PeerEvent> m_events;
    std::vector<bool> m_taken;
};
} // namespace msltest
