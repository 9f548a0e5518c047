#include "OpsHarness.h"

#include <atomic>
#include <set>

// An application thread's dispatcher serves its own thread only: another
// thread that gets hold of it is refused before any scratch record is
// touched, and nothing is sent.
TEST(DispatchOwnerThread, AnotherThreadIsRefusedByEveryOperation)
{
    OpsHarness h;
    h.addTcp("TCP1", TCP_CLIENT_DATA_MODE);
    MsgDispatcher* dispatcher = nullptr;
    h.onApp([&](MsgDispatcher& md) { dispatcher = &md; });
    ASSERT_NE(dispatcher, nullptr);
    ResourceHandle handle;
    uint64 seq = 0;
    struct Case
    {
        const char* what;
        std::function<int32()> call;
    };
    const std::vector<Case> cases = {
        {"thread send", [&] { return dispatcher->sendThreadMessage("PEER", "abc", 3); }},
        {"tcp send", [&] { return dispatcher->sendTcpMessage("TCP1", "abc", 3); }},
        {"udp send", [&] { return dispatcher->sendUdpMessage("UDP1", "abc", 3); }},
        {"topic send", [&] { return dispatcher->sendTopicMessage("TOPIC1", "abc", 3, seq); }},
        {"ipc send", [&] { return dispatcher->sendIpcMessage("IPC1", "abc", 3); }},
        {"net request", [&] { return dispatcher->sendNetEvent("TCP1", CONN_RQS); }},
        {"handle", [&] { return dispatcher->getResHandleByName("PEER", THREAD_RES, handle); }},
        {"end of recovery", [&] { return dispatcher->notifyEndRecovery(); }},
        {"timer create", [&] { return dispatcher->createTimer("T1", 10, true); }},
        {"timer start", [&] { return dispatcher->startTimer("T1"); }},
        {"timer stop", [&] { return dispatcher->stopTimer(int64{1}); }},
        {"timer remove", [&] { return dispatcher->removeTimer("T1"); }},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        FrameworkErrno::m_fwErrno = 0;
        EXPECT_EQ(c.call(), -1);
        EXPECT_EQ(FrameworkErrno::m_fwErrno, FUNC_NOT_ALLOWED);
    }
    EXPECT_TRUE(h.drainPeer(MQUEUE_NORMAL).empty());
    EXPECT_TRUE(h.drainFramework("NET_RECEIVER", MQUEUE_NORMAL).empty());
    EventMsg evt{};
    EXPECT_FALSE(h.nextCtlEvent(evt, 50));
    EXPECT_TRUE(testLog().contains("Dispatcher of thread [APP] is not the calling thread's own: sendThreadMessage refused."));
    // Its own thread still uses it.
    EXPECT_EQ(h.call([](MsgDispatcher& md) { return md.sendThreadMessage("PEER", "abc", 3); }).first, 0);
}

namespace
{
// The middleware dispatcher on a thread of its own, named as the framework
// names it, in a registry of the test's own.
class MiddlewareFixture
{
public:
    static constexpr uint32 PEER_QUEUE_LEN = 2048;

    MiddlewareFixture() : m_config("STS_RPT_INTERVAL INT32 20\n"), m_registry(m_config.get())
    {
        testLog();
        GlobalData& gd = GlobalData::getInst();
        m_savedMiddleware = gd.m_runAsFwMiddleware;
        m_savedMode = gd.m_optMode.load();
        gd.m_runAsFwMiddleware = true;
        gd.m_optMode.store(CPU_UTILIZATION);
        m_ctl = add("CTL_THREAD", false, m_ctlQ, 64);
        m_peer = add("PEER", true, m_peerQ, PEER_QUEUE_LEN);
        m_md = add(ResourceManager::MIDDLEWARE_DISPATCHER_THREAD, true, m_mdQ, 64);
        m_sender = add("SENDER", true, m_senderQ, 64);
        m_md->appCallbackFuncPtr = [](MessageType, EventMsg*, DataMsg*) -> int32 { return 0; };
        m_events = std::make_unique<EventMessage>(m_sender, m_registry);
        m_thread = std::thread([this] {
            MsgDispatcher dispatcher(m_md, m_registry, m_config.get());
            int32 exitHdr = 0;
            dispatcher.run(exitHdr);
        });
        post(INIT);
        post(APP_READY);
        for (int i = 0; i < 500 && MsgDispatcher::getMiddlewareDispatcher() == nullptr; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    ~MiddlewareFixture()
    {
        post(TERM);
        m_thread.join();
        GlobalData& gd = GlobalData::getInst();
        gd.m_runAsFwMiddleware = m_savedMiddleware;
        gd.m_optMode.store(m_savedMode);
    }

    void post(int32 id)
    {
        EventParam param{};
        ASSERT_EQ(m_events->sendEventMsg(m_md, MQUEUE_HIGH_PRIORITY, static_cast<FwEventID>(id), param, m_seq), 0);
    }

    std::vector<FwIntMessage> drain(std::unique_ptr<FwMessageQueue> (&queues)[2], MessageQueueType q)
    {
        std::vector<FwIntMessage> out;
        FwIntMessage msg{};
        bool more = false;
        while (queues[q]->getMessage(&msg, more) == 0)
            out.push_back(msg);
        return out;
    }

    TestConfig m_config;
    ResourceManager m_registry;
    ThreadResource *m_ctl, *m_peer, *m_md, *m_sender;
    std::unique_ptr<FwMessageQueue> m_ctlQ[2], m_peerQ[2], m_mdQ[2], m_senderQ[2];

private:
    ThreadResource* add(const char* name, bool app, std::unique_ptr<FwMessageQueue> (&queues)[2], uint32 len)
    {
        ThreadParam param;
        m_registry.initThreadParam(param);
        setName(param.threadNameTxt, name);
        ThreadResource* res = nullptr;
        EXPECT_EQ(m_registry.registerThreadRes(param, app, &res), 0);
        for (auto& q : queues)
            q = std::make_unique<FwMessageQueue>(len, false, true, CPU_UTILIZATION, false, 100);
        res->msgQueuePtrArray[MQUEUE_NORMAL] = queues[MQUEUE_NORMAL].get();
        res->msgQueuePtrArray[MQUEUE_HIGH_PRIORITY] = queues[MQUEUE_HIGH_PRIORITY].get();
        res->status.store(RES_ACTIVE);
        return res;
    }

    std::unique_ptr<EventMessage> m_events;
    uint32 m_seq = 0;
    std::thread m_thread;
    bool m_savedMiddleware;
    OptimizationMode m_savedMode;
};
} // namespace

// The application's own threads share the middleware dispatcher: each of
// their sends runs whole under its lock, so every multi-part message arrives
// with its own bytes in consecutive parts. Once the framework's end has been
// asked for, the dispatcher is no longer handed out.
TEST(DispatchOwnerThread, TheMiddlewareDispatcherServesTheApplicationsThreadsOneAtATime)
{
    MiddlewareFixture f;
    MsgDispatcher* md = MsgDispatcher::getMiddlewareDispatcher();
    ASSERT_NE(md, nullptr);
    constexpr int THREADS = 4;
    constexpr int MESSAGES = 100;
    std::atomic<int> failures{0};
    std::vector<std::thread> senders;
    for (int t = 0; t < THREADS; ++t)
        senders.emplace_back([&, t] {
            const std::string payload(5000, static_cast<char>('A' + t));
            for (int i = 0; i < MESSAGES; ++i)
                if (md->sendThreadMessage("PEER", payload.data(), 5000) != 0)
                    ++failures;
        });
    for (std::thread& s : senders)
        s.join();
    EXPECT_EQ(failures.load(), 0);
    const std::vector<FwIntMessage> parts = f.drain(f.m_peerQ, MQUEUE_NORMAL);
    ASSERT_EQ(parts.size(), static_cast<size_t>(THREADS * MESSAGES * 3));
    std::set<uint32> seqs;
    for (size_t i = 0; i < parts.size(); i += 3)
    {
        SCOPED_TRACE(i);
        const char fill = parts[i].appMsg.data.buffer[0];
        for (size_t k = 0; k < 3; ++k)
        {
            const Data_t& d = parts[i + k].appMsg.data;
            ASSERT_EQ(d.msgPartNum, static_cast<int32>(k));
            ASSERT_EQ(d.dataLen, k < 2 ? 2200u : 600u);
            ASSERT_EQ(std::string(d.buffer, d.dataLen), std::string(d.dataLen, fill));
            seqs.insert(parts[i + k].msgSeqNum);
        }
    }
    EXPECT_EQ(seqs.size(), parts.size()) << "every part has a sequence number of its own";

    ASSERT_EQ(md->sendCtrlThreadTermEvent(), 0);
    EXPECT_EQ(MsgDispatcher::getMiddlewareDispatcher(), nullptr);
    std::vector<FwIntMessage> ctl = f.drain(f.m_ctlQ, MQUEUE_HIGH_PRIORITY);
    ASSERT_FALSE(ctl.empty());
    EXPECT_EQ(ctl.back().appMsg.event.id, TERM);
    EXPECT_TRUE(testLog().contains("Send TERM event to CTRL_THREAD to terminate framework in middleware mode"));
    EXPECT_EQ(md->sendThreadMessage("PEER", "x", 1), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, FUNC_NOT_ALLOWED);
}
