#include "OpsHarness.h"

#include "FendralCore/runtime/AppLogger.h"
#include "FendralCore/tests/support/ProcessTestSupport.h"

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
int32 answerNothing(MessageType, EventMsg*, DataMsg*)
{
    return 0;
}

// The middleware dispatcher on a thread of its own, named as the framework
// names it, in a registry of the test's own, beside NET_RECEIVER and a TCP
// channel "TCP1" of its own.
class MiddlewareFixture
{
public:
    static constexpr uint32 PEER_QUEUE_LEN = 2048;
    static constexpr uint32 FW_QUEUE_LEN = 1024;

    explicit MiddlewareFixture(AppCallbackFunc callback = answerNothing)
        : m_config("STS_RPT_INTERVAL INT32 20\n"), m_registry(m_config.get())
    {
        testLog();
        GlobalData& gd = GlobalData::getInst();
        m_savedMiddleware = gd.m_runAsFwMiddleware;
        m_savedMode = gd.m_optMode.load();
        gd.m_runAsFwMiddleware = true;
        gd.m_optMode.store(CPU_UTILIZATION);
        m_ctl = add("CTL_THREAD", false, m_ctlQ, FW_QUEUE_LEN);
        m_net = add("NET_RECEIVER", false, m_netQ, FW_QUEUE_LEN);
        m_peer = add("PEER", true, m_peerQ, PEER_QUEUE_LEN);
        m_md = add(ResourceManager::MIDDLEWARE_DISPATCHER_THREAD, true, m_mdQ, 64);
        m_sender = add("SENDER", true, m_senderQ, 64);
        m_md->appCallbackFuncPtr = callback;
        TcpConnParam tcp;
        m_registry.initTcpConnParam(tcp);
        setName(tcp.connNameTxt, "TCP1");
        setName(tcp.threadNameTxt, ResourceManager::MIDDLEWARE_DISPATCHER_THREAD);
        setText(tcp.remoteAddrTxt, "127.0.0.1");
        setText(tcp.interfaceTxt, "127.0.0.1");
        tcp.remotePort = 9000;
        tcp.tcpMode = TCP_CLIENT_DATA_MODE;
        tcp.connectAtStartup = false;
        TcpConnResource* conn = nullptr;
        EXPECT_EQ(m_registry.registerTcpConnRes(tcp, &conn, false), 0) << FrameworkErrno::m_fwErrno;
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
    ThreadResource *m_ctl, *m_net, *m_peer, *m_md, *m_sender;
    std::unique_ptr<FwMessageQueue> m_ctlQ[2], m_netQ[2], m_peerQ[2], m_mdQ[2], m_senderQ[2];

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

namespace
{
constexpr int32 APP_EVT = APP_DEFINED_EVENT_BASE + 5;
constexpr int32 STATUS_A = 1001;
constexpr int32 STATUS_B = 1002;

// A result that differs from the last one for every application event, so
// the loop reports each with ITC_STATUS; the switch-overs answer 0.
std::atomic<int> g_appEvents{0};
int32 answerEveryAppEvent(MessageType type, EventMsg* evt, DataMsg*)
{
    if (type != MSG_EVENT || evt == nullptr || evt->id != APP_EVT)
        return 0;
    return g_appEvents.fetch_add(1) % 2 == 0 ? STATUS_A : STATUS_B;
}

std::string nameOf(const char (&field)[sizeof(ResourceName)])
{
    return std::string(field, strnlen(field, sizeof(ResourceName)));
}
} // namespace

// The loop's own answers (ITC_STATUS for a callback's result, the
// switch-over acknowledgements) go out while the application's threads send
// their requests through the same dispatcher: every event reaches the thread
// it was meant for, whole, with a sequence number of its own.
TEST(DispatchOwnerThread, TheMiddlewareLoopsAnswersAndTheApplicationsRequestsReachTheirOwnThreads)
{
    MiddlewareFixture f(answerEveryAppEvent);
    MsgDispatcher* md = MsgDispatcher::getMiddlewareDispatcher();
    ASSERT_NE(md, nullptr);
    f.drain(f.m_ctlQ, MQUEUE_HIGH_PRIORITY); // the INIT acknowledgement
    // At full speed the log keeps only notices: a line per event would set the pace.
    struct Quiet
    {
        AppLogger& logger = *GlobalData::getInst().getLogger();
        const int32 saved = logger.getLogLevel();
        Quiet() { logger.setLogLevel(LOG_LEVEL_NOTICE); }
        ~Quiet() { logger.setLogLevel(saved); }
    } quiet;

    // Sent but not yet read, over both queues: far below their length, so no
    // answer is ever refused for a full queue.
    constexpr int64 WINDOW = 256;
    std::atomic<int64> produced{0};
    std::atomic<int64> consumed{0};
    std::atomic<bool> stop{false};
    auto room = [&] {
        while (produced.load() - consumed.load() >= WINDOW)
        {
            if (stop.load())
                return false;
            std::this_thread::yield();
        }
        return !stop.load();
    };

    std::atomic<int64> requests{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t)
        threads.emplace_back([&] {
            while (room())
            {
                std::lock_guard<std::mutex> lock(MsgDispatcher::middlewareLock());
                if (md->sendNetEvent("TCP1", CONN_TERM) == 0)
                {
                    ++requests;
                    ++produced;
                }
            }
        });

    std::atomic<int64> appEvents{0}, swActive{0}, swStandby{0};
    threads.emplace_back([&] {
        EventMessage feeder(f.m_sender, f.m_registry);
        uint32 seq = 0;
        for (int64 n = 0; room(); ++n)
        {
            const bool sw = n % 16 == 15;
            const FwEventID id = static_cast<FwEventID>(!sw ? APP_EVT : n % 32 == 15 ? SW_ACTIVE : SW_STANDBY);
            EventParam param{};
            while (feeder.sendEventMsg(f.m_md, sw ? MQUEUE_HIGH_PRIORITY : MQUEUE_NORMAL, id, param, seq) != 0)
            {
                if (stop.load())
                    return;
                std::this_thread::yield();
            }
            (!sw ? appEvents : id == SW_ACTIVE ? swActive : swStandby)++;
            ++produced;
        }
    });

    // Counted once every producer has ended: a count taken while one is
    // between its put and its increment would end the reading early.
    std::atomic<bool> producersDone{false};
    std::vector<FwIntMessage> atCtl, atNet;
    std::thread reader([&] {
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        FwIntMessage msg{};
        bool more = false;
        while (!(producersDone.load() && consumed.load() >= produced.load()) &&
               std::chrono::steady_clock::now() < giveUp)
        {
            bool any = false;
            for (auto* queues : {&f.m_ctlQ, &f.m_netQ})
                for (auto& q : *queues)
                    while (q->getMessage(&msg, more) == 0)
                    {
                        (queues == &f.m_ctlQ ? atCtl : atNet).push_back(msg);
                        ++consumed;
                        any = true;
                    }
            if (!any)
                std::this_thread::yield();
        }
    });

    // Two seconds of both at once, and a share of each: the requests, which
    // are quick to send, can take the window from the application's events
    // for a long while on a loaded machine.
    const auto began = std::chrono::steady_clock::now();
    EXPECT_TRUE(processtest::waitFor(
        [&] {
            return std::chrono::steady_clock::now() - began >= std::chrono::seconds(2) && requests.load() >= 100 &&
                   appEvents.load() >= 100 && swActive.load() > 0 && swStandby.load() > 0;
        },
        std::chrono::seconds(30)))
        << requests.load() << " requests, " << appEvents.load() << " application events";
    stop = true;
    for (std::thread& t : threads)
        t.join();
    producersDone = true;
    reader.join();

    ASSERT_GT(requests.load(), 0);
    ASSERT_GT(appEvents.load(), 0);
    EXPECT_EQ(consumed.load(), produced.load()) << "answers or requests lost";
    std::set<uint32> seqs;
    int64 misrouted = 0, statuses = 0, activeAcks = 0, standbyAcks = 0;
    for (const FwIntMessage& m : atNet)
    {
        const EventMsg& evt = m.appMsg.event;
        seqs.insert(m.msgSeqNum);
        if (m.appMsg.type != MSG_EVENT || evt.id != CONN_TERM || nameOf(evt.eventParam.resNameTxt) != "TCP1" ||
            nameOf(m.recipientTxt) != "NET_RECEIVER" || nameOf(m.originatorTxt) != "MIDDLEWARE_MD")
            ++misrouted;
    }
    for (const FwIntMessage& m : atCtl)
    {
        const EventMsg& evt = m.appMsg.event;
        seqs.insert(m.msgSeqNum);
        const bool fromMd = m.appMsg.type == MSG_EVENT && nameOf(m.recipientTxt) == "CTL_THREAD" &&
                            nameOf(evt.eventParam.resNameTxt) == "MIDDLEWARE_MD";
        const int32 p = evt.eventParam.paramInt32;
        if (fromMd && evt.id == ITC_STATUS && (p == STATUS_A || p == STATUS_B))
            ++statuses;
        else if (fromMd && evt.id == SW_ACTIVE_ACK && p == 0)
            ++activeAcks;
        else if (fromMd && evt.id == SW_STANDBY_ACK && p == 0)
            ++standbyAcks;
        else
            ++misrouted;
    }
    EXPECT_EQ(misrouted, 0);
    EXPECT_EQ(static_cast<int64>(atNet.size()), requests.load());
    EXPECT_EQ(statuses, appEvents.load());
    EXPECT_EQ(activeAcks, swActive.load());
    EXPECT_EQ(standbyAcks, swStandby.load());
    EXPECT_EQ(seqs.size(), atNet.size() + atCtl.size()) << "a sequence number taken twice";
}
