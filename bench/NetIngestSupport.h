// Shared by the network ingest benchmarks: the network thread (and, for TCP,
// the stream thread) running as the framework runs them, delivering to an
// owning thread whose loop is a plain polling reader standing in for the
// application callback.
#pragma once

#include "FendralCore/dispatch/NetReceiver.h"
#include "FendralCore/dispatch/StreamHandler.h"
#include "FendralCore/runtime/ResourceManager.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <pthread.h>
#include <sched.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace netbench
{
inline int64_t nowNs()
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// CPU time so far of a running thread (0 when it cannot be read).
inline int64_t threadCpuNs(std::thread& t)
{
    clockid_t clock{};
    timespec ts{};
    if (::pthread_getcpuclockid(t.native_handle(), &clock) != 0 || ::clock_gettime(clock, &ts) != 0)
        return 0;
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

inline double percentile(std::vector<int64_t>& v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return static_cast<double>(v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))]);
}

// The middle of a few rounds' figures: the host's other load moves single
// runs by a third.
inline double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

inline uint16 freePort(int type)
{
    const int fd = ::socket(AF_INET, type, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

// A UDP socket that sends to groups over loopback and hears its own group.
inline int loopbackMulticastSender()
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    in_addr iface{};
    iface.s_addr = htonl(INADDR_LOOPBACK);
    ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &iface, sizeof iface);
    const unsigned char loop = 1;
    ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop);
    return fd;
}

inline void copyName(ResourceName& dst, const char* src)
{
    ResourceManager::copyResourceName(dst, src);
}

// A framework thread's record in registry with its two queues of len
// entries, which queues keeps.
inline ThreadResource* addThread(ResourceManager& registry, const char* name, uint32 len, OptimizationMode mode,
                                 bool block, std::vector<std::unique_ptr<FwMessageQueue>>& queues)
{
    ThreadParam param;
    registry.initThreadParam(param);
    copyName(param.threadNameTxt, name);
    ThreadResource* res = nullptr;
    registry.registerThreadRes(param, false, &res);
    for (MessageQueueType t : {MQUEUE_NORMAL, MQUEUE_HIGH_PRIORITY})
    {
        queues.push_back(std::make_unique<FwMessageQueue>(len, false, true, mode, block, 100));
        res->msgQueuePtrArray[t] = queues.back().get();
    }
    res->status.store(RES_ACTIVE);
    return res;
}

inline sockaddr_in groupAddress(const std::string& grp, uint16 port)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    ::inet_pton(AF_INET, grp.c_str(), &to.sin_addr);
    return to;
}

// A multicast receiving channel "MC" of the thread "OWNER" on grp:port over
// loopback, opened at start-up; adjust (when given) changes its parameters
// before registration.
inline UdpConnResource* addMcastChannel(ResourceManager& registry, const std::string& grp, uint16 port,
                                        const std::function<void(UdpConnParam&)>& adjust = {})
{
    UdpConnParam p;
    registry.initUdpConnParam(p);
    copyName(p.connNameTxt, "MC");
    copyName(p.threadNameTxt, "OWNER");
    std::strcpy(p.interfaceTxt, "127.0.0.1");
    std::strcpy(p.destAddrTxt, grp.c_str());
    p.port = port;
    p.udpMode = MULTICAST_RECEIVER_MODE;
    p.connectAtStartup = true;
    p.recvBufSize = 4 * 1024 * 1024;
    if (adjust)
        adjust(p);
    UdpConnResource* res = nullptr;
    registry.registerUdpConnRes(p, &res);
    return res;
}

// Posts event id from CTL_THREAD on queue.
inline void postEvent(FwMessageQueue& queue, FwEventID id)
{
    FwIntMessage msg{};
    copyName(msg.originatorTxt, "CTL_THREAD");
    msg.appMsg.type = MSG_EVENT;
    msg.appMsg.event.id = id;
    queue.putMessage(&msg);
}

// Empties queue; the number of messages taken.
inline int64_t drainQueue(FwMessageQueue& queue)
{
    FwIntMessage msg{};
    bool more = false;
    int64_t n = 0;
    while (queue.getMessage(&msg, more) == 0)
        ++n;
    return n;
}

// The framework threads of one run and the owner's reader.
class Harness
{
public:
    explicit Harness(OptimizationMode mode) : m_registry(nullptr), m_mode(mode)
    {
        GlobalData::getInst().m_optMode.store(mode);
        m_net = thread("NET_RECEIVER", 4096, true);
        m_sh = thread("DATA_STREAM_HDR", 4096, true);
        m_ctl = thread("CTL_THREAD", 64, false);
        m_owner = thread("OWNER", 8192, false);
        GlobalData::getInst().m_tmpMsgRepository.insert(UInt128(m_owner->threadNameTxt, true),
                                                        reinterpret_cast<DataValueType>(&m_store), true);
    }

    ~Harness()
    {
        stop();
        GlobalData::getInst().m_tmpMsgRepository.remove(UInt128(m_owner->threadNameTxt, true));
    }

    ResourceManager& registry() { return m_registry; }
    // CPU time so far of the network and the stream thread (while running):
    // on a loaded machine it shows how much of a core each was given.
    int64_t netCpuNs() { return m_threads.size() > 1 ? threadCpuNs(m_threads[1]) : 0; }
    int64_t streamCpuNs() { return m_withStreams && !m_threads.empty() ? threadCpuNs(m_threads[0]) : 0; }
    FwMessageQueue& ownerQueue() { return *m_owner->msgQueuePtrArray[MQUEUE_NORMAL]; }

    // withStreams false: no stream thread (a multicast-only process has
    // none, and a polling one would compete for the cores).
    void start(bool withStreams = true)
    {
        m_receiver = std::make_unique<NetReceiver>(m_net, m_registry, GlobalData::getInst(), nullptr);
        m_handler = std::make_unique<StreamHandler>(m_sh, m_registry, GlobalData::getInst(), nullptr);
        m_threads.emplace_back([this, withStreams] { withStreams ? m_handler->run(m_exit[0]) : 0; });
        m_threads.emplace_back([this] { m_receiver->run(m_exit[1]); });
        if (withStreams)
            post(m_sh, MQUEUE_HIGH_PRIORITY, INIT);
        post(m_net, MQUEUE_HIGH_PRIORITY, INIT);
        FwIntMessage ack{};
        for (int acks = withStreams ? 0 : 1; acks < 2;)
        {
            bool more = false;
            if (m_ctl->msgQueuePtrArray[MQUEUE_HIGH_PRIORITY]->getMessage(&ack, more) == 0)
                ++acks;
        }
        if (withStreams)
            post(m_sh, MQUEUE_NORMAL, CONN_INIT);
        post(m_net, MQUEUE_NORMAL, CONN_INIT);
        m_withStreams = withStreams;
    }

    void stop()
    {
        if (m_threads.empty())
            return;
        if (m_withStreams)
            post(m_sh, MQUEUE_NORMAL, TERM);
        m_threads[0].join();
        post(m_net, MQUEUE_HIGH_PRIORITY, TERM);
        m_threads[1].join();
        m_threads.clear();
        m_sh->status.store(RES_TERMINATED);
        m_handler.reset();
        m_receiver.reset();
    }

private:
    ThreadResource* thread(const char* name, uint32 len, bool block)
    {
        return addThread(m_registry, name, len, m_mode, block, m_queues);
    }

    void post(ThreadResource* to, MessageQueueType type, FwEventID id) { postEvent(*to->msgQueuePtrArray[type], id); }

    ResourceManager m_registry;
    OptimizationMode m_mode;
    std::vector<std::unique_ptr<FwMessageQueue>> m_queues;
    ThreadResource* m_net = nullptr;
    ThreadResource* m_sh = nullptr;
    ThreadResource* m_ctl = nullptr;
    ThreadResource* m_owner = nullptr;
    MessageStore m_store;
    std::unique_ptr<NetReceiver> m_receiver;
    std::unique_ptr<StreamHandler> m_handler;
    std::vector<std::thread> m_threads;
    bool m_withStreams = true;
    int32 m_exit[2] = {0, 0};
};
} // namespace netbench
