// The network thread with the stream thread beside it, over real loopback
// sockets and multicast on 127.0.0.1, delivering to an owning thread whose
// queues the test reads. Requests are posted into the network thread's queue
// as an application thread's dispatcher posts them.
#pragma once

#include "FendralCore/tests/registry/RegistryTestSupport.h"
#include "FendralCore/tests/support/ProcessTestSupport.h"

#include "FendralCore/dispatch/MessageStore.h"
#include "FendralCore/dispatch/MsgDispatcher.h"
#include "FendralCore/dispatch/NetReceiver.h"
#include "FendralCore/dispatch/StreamHandler.h"
#include "FendralCore/runtime/ResourceManager.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <sched.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace netrcvtest
{
// A port that was free a moment ago (the channel binds it itself).
inline uint16 freePort(int type = SOCK_STREAM)
{
    return processtest::freePort(type);
}

// A distinct group per call, so tests of parallel runs never cross.
inline std::string uniqueGroup()
{
    static int counter = 0;
    const unsigned pid = static_cast<unsigned>(::getpid());
    return "239." + std::to_string(100 + pid % 100) + "." + std::to_string((pid / 100) % 250) + "." +
           std::to_string(1 + counter++ % 250);
}

inline std::string quor(const std::string& body)
{
    std::string f(10, '\0');
    const auto size = static_cast<uint16_t>(body.size());
    std::memcpy(f.data(), &size, 2);
    return f + body;
}

inline bool next(FwMessageQueue& q, FwIntMessage& msg, int seconds = 10)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline)
    {
        bool more = false;
        if (q.getMessage(&msg, more) == 0)
            return true;
        ::sched_yield();
    }
    return false;
}
// Stands in for the kernel-bypass stack's ordered wait: every ready socket
// reports g_wireBytes in-order bytes stamped WIRE_TM.
inline std::atomic<int> g_wireBytes{0};
inline constexpr timespec WIRE_TM{1700000000, 456};

inline int orderedWaitStandIn(int epfd, epoll_event* events, FileDescMultiplexer::OrderedEvent* ordered,
                              int maxEvents, int timeout)
{
    const int n = epoll_wait(epfd, events, maxEvents, timeout);
    for (int i = 0; i < n; ++i)
        ordered[i] = FileDescMultiplexer::OrderedEvent{WIRE_TM, g_wireBytes.load()};
    return n;
}

inline const FileDescMultiplexer::OnloadApi ORDERED_WAIT{[] { return 1; }, orderedWaitStandIn};
} // namespace netrcvtest

// An application thread's dispatcher, started as far as its requests need
// (the thread look-ups of its start-up), without its loop.
struct AppDispatcher : MsgDispatcher
{
    using MsgDispatcher::initialize;
    using MsgDispatcher::MsgDispatcher;
};

class NetReceiverHarness : public ::testing::Test
{
protected:
    explicit NetReceiverHarness(OptimizationMode mode = LOW_LATENCY, uint32 ownerQueueLen = 256,
                                const std::string& config = "STS_RPT_INTERVAL INT32 5\n")
        : m_mode(mode), m_config(config), m_registry(m_config.get())
    {
        m_savedMode = GlobalData::getInst().m_optMode.load();
        m_savedRing = GlobalData::getInst().m_streamEvtBufPtr;
        GlobalData::getInst().m_optMode.store(mode);
        GlobalData::getInst().m_repliServiceEnabled = false;
        GlobalData::getInst().m_appMode.store(ACTIVE_MODE);
        m_net = registerThread("NET_RECEIVER", m_netNormal, m_netHigh, 256, true);
        m_sh = registerThread("DATA_STREAM_HDR", m_shNormal, m_shHigh, 256, true);
        m_ctl = registerThread("CTL_THREAD", m_ctlNormal, m_ctlHigh, 64);
        m_owner = registerThread("OWNER", m_ownerNormal, m_ownerHigh, ownerQueueLen);
        GlobalData::getInst().m_tmpMsgRepository.insert(UInt128(Name("OWNER").txt, true),
                                                        reinterpret_cast<DataValueType>(&m_store), true);
    }

    ~NetReceiverHarness() override
    {
        stop();
        GlobalData::getInst().m_tmpMsgRepository.remove(UInt128(Name("OWNER").txt, true));
        GlobalData::getInst().m_optMode.store(m_savedMode);
        GlobalData::getInst().m_streamEvtBufPtr = m_savedRing;
    }

    ThreadResource* registerThread(const char* name, std::unique_ptr<FwMessageQueue>& normal,
                                   std::unique_ptr<FwMessageQueue>& high, uint32 len, bool block = false)
    {
        ThreadResource* res = registerTestThread(m_registry, name, normal, high, len, m_mode, block);
        EXPECT_NE(res, nullptr) << name;
        return res;
    }

    TcpConnResource* addTcp(const char* name, TcpMode mode, MsgFormatType format, uint16 port,
                            bool connectAtStartup = true)
    {
        TcpConnParam p;
        m_registry.initTcpConnParam(p);
        setName(p.connNameTxt, name);
        setName(p.threadNameTxt, "OWNER");
        p.tcpMode = mode;
        p.msgFormat = format;
        p.connectAtStartup = connectAtStartup;
        setText(p.interfaceTxt, "127.0.0.1");
        if (mode == TCP_SERVER_LISTEN_MODE)
            p.localPort = port;
        else
        {
            setText(p.remoteAddrTxt, "127.0.0.1");
            p.remotePort = port;
        }
        p.appMsgSizeInfo = AppMsgSizeInfo{0, BIG_UNSIGNED_INTEGER16, true, 2, 0};
        TcpConnResource* res = nullptr;
        EXPECT_EQ(m_registry.registerTcpConnRes(p, &res, false), 0) << lastCode();
        return res;
    }

    // adjust (when given) changes the record before it is registered.
    UdpConnResource* addMcast(const char* name, const std::string& group, uint16 port, bool connectAtStartup = true,
                              UdpMode mode = MULTICAST_RECEIVER_MODE,
                              const std::function<void(UdpConnParam&)>& adjust = nullptr)
    {
        UdpConnParam p;
        m_registry.initUdpConnParam(p);
        setName(p.connNameTxt, name);
        setName(p.threadNameTxt, "OWNER");
        setText(p.interfaceTxt, "127.0.0.1");
        setText(p.destAddrTxt, group.c_str());
        p.port = port;
        p.udpMode = mode;
        p.connectAtStartup = connectAtStartup;
        p.recvBufSize = 4 * 1024 * 1024;
        if (adjust)
            adjust(p);
        UdpConnResource* res = nullptr;
        EXPECT_EQ(m_registry.registerUdpConnRes(p, &res), 0) << lastCode();
        return res;
    }

    // Both threads built; with threaded, each runs its own loop, otherwise
    // the test drives the network thread with pump().
    // withHandler false: the stream thread starts later (startHandler).
    void start(bool threaded = true, bool withHandler = true)
    {
        m_receiver = std::make_unique<NetReceiver>(m_net, m_registry, GlobalData::getInst(), m_config.get(), m_onloadApi);
        if (threaded)
            m_netThread = std::thread([this] { m_netResult = m_receiver->run(m_netExit); });
        else
            ASSERT_EQ(m_receiver->initialize(), 0);
        post(*m_netHigh, INIT, "", "CTL_THREAD");
        if (!threaded)
            pump();
        FwIntMessage ack{};
        ASSERT_TRUE(netrcvtest::next(*m_ctlHigh, ack));
        EXPECT_EQ(ack.appMsg.event.id, INIT_ACK);
        post(*m_netNormal, CONN_INIT, "", "CTL_THREAD");
        if (!threaded)
            pump();
        if (withHandler)
            startHandler();
    }

    void startHandler()
    {
        m_handler = std::make_unique<StreamHandler>(m_sh, m_registry, GlobalData::getInst(), m_config.get());
        m_shThread = std::thread([this] { m_shResult = m_handler->run(m_shExit); });
        post(*m_shHigh, INIT, "", "CTL_THREAD");
        FwIntMessage ack{};
        ASSERT_TRUE(netrcvtest::next(*m_ctlHigh, ack));
        EXPECT_EQ(ack.appMsg.event.id, INIT_ACK);
        post(*m_shNormal, CONN_INIT, "", "CTL_THREAD");
    }

    // One pass of the network thread's loop on the test's thread.
    void pump(int32 timeoutMs = 100)
    {
        bool terminate = false;
        m_receiver->runOnce(terminate, timeoutMs);
    }

    // In the framework's order: the stream thread stops first and releases
    // the streams it took; the network thread and its event ring last.
    void stop()
    {
        if (m_shThread.joinable())
        {
            post(*m_shNormal, TERM, "", "CTL_THREAD");
            m_shThread.join();
        }
        if (m_netThread.joinable())
        {
            post(*m_netHigh, TERM, "", "CTL_THREAD");
            m_netThread.join();
        }
        m_sh->status.store(RES_TERMINATED);
        m_handler.reset();
        m_receiver.reset();
    }

    // Stops both threads when a test's scope ends: declared after what the
    // threads use that the test owns (a pipeline, flags), it runs first.
    struct StopAtScopeEnd
    {
        NetReceiverHarness& harness;
        ~StopAtScopeEnd() { harness.stop(); }
    };

    // Waits until the channel reaches status (another thread sets it).
    template <typename Record>
    bool waitStatus(const Record* res, ResourceStatus status)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (res->status.load() != status)
        {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            ::sched_yield();
        }
        return true;
    }

    void post(FwMessageQueue& q, FwEventID id, const char* resName, const char* from, void* resPtr = nullptr)
    {
        FwIntMessage msg{};
        setName(msg.originatorTxt, from);
        setName(msg.recipientTxt, "NET_RECEIVER");
        msg.appMsg.type = MSG_EVENT;
        msg.appMsg.event.id = id;
        setName(msg.appMsg.event.eventParam.resNameTxt, resName);
        msg.appMsg.event.eventParam.resPtr = resPtr;
        ASSERT_EQ(q.putMessage(&msg), 0);
    }

    // A network request from the owning application thread: its own
    // dispatcher, built on a thread of its own, sends it as the application
    // would (checks included). 0, or the dispatcher's refusal code.
    int32 request(FwEventID id, const char* channel)
    {
        int32 code = -1;
        std::thread app([&] {
            m_owner->appCallbackFuncPtr = [](MessageType, EventMsg*, DataMsg*) -> int32 { return 0; };
            AppDispatcher dispatcher(m_owner, m_registry, m_config.get());
            if (dispatcher.initialize() != 0)
                return;
            code = dispatcher.sendNetEvent(channel, id) == 0 ? 0 : FrameworkErrno::m_fwErrno;
        });
        app.join();
        return code;
    }

    // A request the dispatcher would not send (an unknown channel, or one
    // that went away after its check): posted straight into the network
    // thread's normal queue.
    void postRequest(FwEventID id, const char* channel)
    {
        post(*m_netNormal, id, channel, "OWNER");
    }

    EventMsg event(FwMessageQueue& q)
    {
        FwIntMessage msg{};
        EXPECT_TRUE(netrcvtest::next(q, msg)) << "no message";
        EXPECT_EQ(msg.appMsg.type, MSG_EVENT);
        return msg.appMsg.event;
    }

    // The next whole message of the owner's normal queue, its parts joined.
    std::string message(FwMessageQueue* q = nullptr)
    {
        q = q != nullptr ? q : m_ownerNormal.get();
        std::string whole;
        FwIntMessage msg{};
        int32 part = 0;
        do
        {
            if (!netrcvtest::next(*q, msg))
            {
                ADD_FAILURE() << "no message";
                return whole;
            }
            if (msg.appMsg.type != MSG_DATA)
            {
                ADD_FAILURE() << "event " << msg.appMsg.event.id << " where data was expected";
                return whole;
            }
            EXPECT_EQ(msg.appMsg.data.msgPartNum, part++);
            whole.append(msg.appMsg.data.buffer, msg.appMsg.data.dataLen);
        } while (msg.appMsg.data.more);
        return whole;
    }

    OptimizationMode m_mode;
    TestConfig m_config;
    ResourceManager m_registry;
    OptimizationMode m_savedMode;
    SingleRwRingBuffer2<StreamEventRecord>* m_savedRing = nullptr;
    std::unique_ptr<FwMessageQueue> m_netNormal, m_netHigh, m_shNormal, m_shHigh, m_ctlNormal, m_ctlHigh,
        m_ownerNormal, m_ownerHigh;
    ThreadResource* m_net = nullptr;
    ThreadResource* m_sh = nullptr;
    ThreadResource* m_ctl = nullptr;
    ThreadResource* m_owner = nullptr;
    MessageStore m_store;
    // The kernel-bypass stack's entry points for the network thread (null: the process's own).
    const FileDescMultiplexer::OnloadApi* m_onloadApi = nullptr;
    std::unique_ptr<NetReceiver> m_receiver;
    std::unique_ptr<StreamHandler> m_handler;
    std::thread m_netThread;
    std::thread m_shThread;
    int32 m_netResult = -2, m_netExit = -2, m_shResult = -2, m_shExit = -2;
};
