// The dispatcher harness plus what the send operations need: a second
// application thread "PEER" whose real queues the test reads, a framework
// thread "LOGGER", and a way to run code inside the application callback,
// where the operations belong.
#pragma once

#include "FendralCore/tests/dispatcher/DispatcherHarness.h"

#include <array>
#include <functional>
#include <future>
#include <map>
#include <string>
#include <utility>

inline constexpr int32 RUN_EVT = APP_DEFINED_EVENT_BASE + 31;

class OpsHarness : public DispatcherHarness
{
public:
    explicit OpsHarness(const LoopSetup& setup = EVENT_LOOP, uint32 peerQueueLen = 64,
                        const std::string& config = "STS_RPT_INTERVAL INT32 20\n",
                        const std::function<void(OpsHarness&)>& beforeStart = nullptr)
        : DispatcherHarness(setup, config)
    {
        m_peer = registerThread("PEER", GLOBAL_OPTIMIZATION_SETTING);
        m_peerHigh = std::make_unique<FwMessageQueue>(peerQueueLen, false, true, CPU_UTILIZATION, false, 100);
        m_peerNormal = std::make_unique<FwMessageQueue>(peerQueueLen, false, true, CPU_UTILIZATION, false, 100);
        m_peer->msgQueuePtrArray[MQUEUE_HIGH_PRIORITY] = m_peerHigh.get();
        m_peer->msgQueuePtrArray[MQUEUE_NORMAL] = m_peerNormal.get();
        m_peer->status.store(RES_ACTIVE);

        ThreadParam param;
        m_registry.initThreadParam(param);
        setName(param.threadNameTxt, "LOGGER");
        EXPECT_EQ(m_registry.registerThreadRes(param, false, &m_logger), 0);
        m_loggerQueue = std::make_unique<FwMessageQueue>(64, false, true, CPU_UTILIZATION, false, 100);
        m_logger->msgQueuePtrArray[MQUEUE_HIGH_PRIORITY] = m_loggerQueue.get();
        m_logger->msgQueuePtrArray[MQUEUE_NORMAL] = m_loggerQueue.get();
        m_logger->status.store(RES_ACTIVE);

        // The framework threads that take requests; the test reads their queues.
        for (const char* name : {"NET_RECEIVER", "IPC_RECEIVER", "MSG_SERVICE", "MSG_REPLICATOR"})
        {
            ThreadParam fw;
            m_registry.initThreadParam(fw);
            setName(fw.threadNameTxt, name);
            ThreadResource* res = nullptr;
            EXPECT_EQ(m_registry.registerThreadRes(fw, false, &res), 0);
            auto& queues = m_fwQueues[name];
            for (auto& q : queues)
                q = std::make_unique<FwMessageQueue>(64, false, true, CPU_UTILIZATION, false, 100);
            res->msgQueuePtrArray[MQUEUE_HIGH_PRIORITY] = queues[MQUEUE_HIGH_PRIORITY].get();
            res->msgQueuePtrArray[MQUEUE_NORMAL] = queues[MQUEUE_NORMAL].get();
            res->status.store(RES_ACTIVE);
        }

        setScript([this](const CallRecord& r, EventMsg*) {
            if (r.type == MSG_EVENT && r.id == RUN_EVT && m_job)
            {
                m_job(*MsgDispatcher::getMsgDispatcher());
                m_job = nullptr;
                m_done.set_value();
            }
            return 0;
        });
        if (beforeStart)
            beforeStart(*this);
        start();
        init();
    }

    // Runs job on the application thread, inside its callback, and waits.
    void onApp(std::function<void(MsgDispatcher&)> job)
    {
        m_done = std::promise<void>();
        auto done = m_done.get_future();
        m_job = std::move(job);
        ASSERT_EQ(sendEvent(MQUEUE_NORMAL, RUN_EVT), 0);
        ASSERT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    }

    // Everything queued on one of PEER's queues, in order.
    std::vector<FwIntMessage> drainPeer(MessageQueueType queue)
    {
        FwMessageQueue& q = queue == MQUEUE_HIGH_PRIORITY ? *m_peerHigh : *m_peerNormal;
        std::vector<FwIntMessage> out;
        FwIntMessage msg{};
        bool more = false;
        while (q.getMessage(&msg, more) == 0)
            out.push_back(msg);
        return out;
    }

    // Everything queued on one queue of a framework thread, in order.
    std::vector<FwIntMessage> drainFramework(const std::string& thread, MessageQueueType queue)
    {
        std::vector<FwIntMessage> out;
        FwIntMessage msg{};
        bool more = false;
        while (m_fwQueues[thread][queue]->getMessage(&msg, more) == 0)
            out.push_back(msg);
        return out;
    }

    // Channel records of this registry, owned by the thread "APP".
    TcpConnResource* addTcp(const char* name, TcpMode mode, const char* remote = "127.0.0.1",
                            IntChannelType chn = NORMAL_CHANNEL)
    {
        TcpConnParam p;
        m_registry.initTcpConnParam(p);
        setName(p.connNameTxt, name);
        setName(p.threadNameTxt, "APP");
        setText(p.remoteAddrTxt, remote);
        setText(p.interfaceTxt, "127.0.0.1");
        p.remotePort = 9000;
        p.tcpMode = mode;
        p.channelType = chn;
        p.connectAtStartup = false; // the tests attach their own sockets
        TcpConnResource* res = nullptr;
        EXPECT_EQ(m_registry.registerTcpConnRes(p, &res, false), 0) << name << " " << FrameworkErrno::m_fwErrno;
        return res;
    }
    UdpConnResource* addUdp(const char* name, UdpMode mode, IntChannelType chn = NORMAL_CHANNEL)
    {
        UdpConnParam p;
        m_registry.initUdpConnParam(p);
        setName(p.connNameTxt, name);
        setName(p.threadNameTxt, "APP");
        setText(p.interfaceTxt, "127.0.0.1");
        setText(p.destAddrTxt, "239.1.2.3");
        p.port = 5000;
        p.udpMode = mode;
        p.channelType = chn;
        UdpConnResource* res = nullptr;
        EXPECT_EQ(m_registry.registerUdpConnRes(p, &res), 0) << name << " " << FrameworkErrno::m_fwErrno;
        return res;
    }
    IpcResource* addIpc(const char* name, IpcAccessMode mode)
    {
        IpcParam p;
        m_registry.initIpcParam(p);
        setName(p.ipcNameTxt, name);
        setName(p.threadNameTxt, "APP");
        p.accessMode = mode;
        IpcResource* res = nullptr;
        EXPECT_EQ(m_registry.registerIpcRes(p, &res), 0) << name << " " << FrameworkErrno::m_fwErrno;
        return res;
    }
    MsgTopicResource* addTopic(const char* name, MsgTopicOpenType open, IntChannelType chn = NORMAL_CHANNEL)
    {
        MsgTopicParam p;
        m_registry.initMsgTopicParam(p);
        setName(p.topicNameTxt, name);
        setName(p.threadNameTxt, "APP");
        p.openType = open;
        p.channelType = chn;
        MsgTopicResource* res = nullptr;
        EXPECT_EQ(m_registry.registerMsgTopicRes(p, &res), 0) << name << " " << FrameworkErrno::m_fwErrno;
        return res;
    }

    // Runs send on the application thread: its result and error code.
    std::pair<int32, int32> call(const std::function<int32(MsgDispatcher&)>& send)
    {
        int32 rc = -7;
        int32 code = -7;
        onApp([&](MsgDispatcher& md) {
            FrameworkErrno::m_fwErrno = 0;
            rc = send(md);
            code = FrameworkErrno::m_fwErrno;
        });
        return {rc, code};
    }

    ThreadResource* m_peer = nullptr;
    ThreadResource* m_logger = nullptr;
    std::unique_ptr<FwMessageQueue> m_peerHigh, m_peerNormal, m_loggerQueue;

private:
    std::map<std::string, std::array<std::unique_ptr<FwMessageQueue>, MQUEUE_TYPE_NUM>> m_fwQueues;
    std::function<void(MsgDispatcher&)> m_job;
    std::promise<void> m_done;
};
