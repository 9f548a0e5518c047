#include "OpsHarness.h"

#include "FendralCore/runtime/AgentShmLayout.h"
#include "FendralCore/runtime/RingBuffer.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

namespace
{
struct Request
{
    const char* what;
    std::function<int32(MsgDispatcher&)> send;
    int32 code;          // 0: accepted
    const char* thread;  // where an accepted request arrives
    MessageQueueType queue;
    int32 id;
    const char* resName;
};

// Runs each request on the application thread; an accepted one must arrive,
// alone, on the framework thread and queue named, and a refused one nowhere.
void runRequests(OpsHarness& h, const std::vector<Request>& cases)
{
    for (const Request& c : cases)
    {
        SCOPED_TRACE(c.what);
        const auto [rc, code] = h.call(c.send);
        std::vector<FwIntMessage> all;
        for (const char* t : {"NET_RECEIVER", "IPC_RECEIVER", "MSG_SERVICE", "MSG_REPLICATOR"})
            for (MessageQueueType q : {MQUEUE_NORMAL, MQUEUE_HIGH_PRIORITY})
            {
                std::vector<FwIntMessage> got = h.drainFramework(t, q);
                if (c.code == 0 && std::string(t) == c.thread && q == c.queue)
                {
                    ASSERT_EQ(got.size(), 1u);
                    const EventMsg& evt = got[0].appMsg.event;
                    EXPECT_EQ(got[0].appMsg.type, MSG_EVENT);
                    EXPECT_EQ(evt.id, c.id);
                    EXPECT_STREQ(evt.eventParam.resNameTxt, c.resName);
                    EXPECT_NE(evt.eventParam.resPtr, nullptr);
                    EXPECT_STREQ(got[0].originatorTxt, "APP");
                }
                else
                {
                    EXPECT_TRUE(got.empty()) << t << " queue " << q;
                }
            }
        if (c.code == 0)
        {
            EXPECT_EQ(rc, 0) << code;
        }
        else
        {
            EXPECT_EQ(rc, -1);
            EXPECT_EQ(code, c.code);
        }
    }
}
} // namespace

// Connection requests need a TCP channel in a mode that admits them,
// multicast requests a receiving multicast channel; a priority channel's
// request takes NET_RECEIVER's high-priority queue.
TEST(DispatchRequests, NetworkRequestsFollowTheChannelsMode)
{
    OpsHarness h;
    h.addTcp("CLI", TCP_CLIENT_DATA_MODE);
    h.addTcp("LSN", TCP_SERVER_LISTEN_MODE, "0.0.0.0", PRIORITY_CHANNEL);
    h.addTcp("SRVDATA", TCP_SERVER_DATA_MODE);
    h.addUdp("MCR", MULTICAST_RECEIVER_MODE);
    h.addUdp("MCSR", MULTICAST_SENDER_RCVR_MODE, PRIORITY_CHANNEL);
    h.addUdp("MCS", MULTICAST_SENDER_MODE);
    auto net = [](const char* name, FwEventID id) {
        return [=](MsgDispatcher& md) { return md.sendNetEvent(name, id); };
    };
    const char* NR = "NET_RECEIVER";
    runRequests(h, {
                       {"connect client", net("CLI", CONN_RQS), 0, NR, MQUEUE_NORMAL, CONN_RQS, "CLI"},
                       {"update client", net("CLI", CONN_UPDATED), 0, NR, MQUEUE_NORMAL, CONN_UPDATED, "CLI"},
                       {"listen on listener", net("LSN", CONN_LISTEN), 0, NR, MQUEUE_HIGH_PRIORITY, CONN_LISTEN, "LSN"},
                       {"close any", net("SRVDATA", CONN_TERM), 0, NR, MQUEUE_NORMAL, CONN_TERM, "SRVDATA"},
                       {"connect listener", net("LSN", CONN_RQS), INVALID_TCP_MODE, NR, MQUEUE_NORMAL, 0, ""},
                       {"listen on client", net("CLI", CONN_LISTEN), INVALID_TCP_MODE, NR, MQUEUE_NORMAL, 0, ""},
                       {"update server data", net("SRVDATA", CONN_UPDATED), INVALID_TCP_MODE, NR, MQUEUE_NORMAL, 0, ""},
                       {"unknown TCP", net("NOPE", CONN_RQS), RES_NOT_EXIST, NR, MQUEUE_NORMAL, 0, ""},
                       {"join receiver", net("MCR", MCAST_JOIN), 0, NR, MQUEUE_NORMAL, MCAST_JOIN, "MCR"},
                       {"leave sender-receiver", net("MCSR", MCAST_LEAVE), 0, NR, MQUEUE_HIGH_PRIORITY, MCAST_LEAVE,
                        "MCSR"},
                       {"join sender", net("MCS", MCAST_JOIN), INVALID_UDP_MODE, NR, MQUEUE_NORMAL, 0, ""},
                       {"join TCP name", net("CLI", MCAST_JOIN), RES_NOT_EXIST, NR, MQUEUE_NORMAL, 0, ""},
                       {"other event", net("CLI", TOPIC_PUBLISH), UNEXPECTED_EVENT, NR, MQUEUE_NORMAL, 0, ""},
                   });
    EXPECT_TRUE(testLog().contains("Invalid TCP mode for channel [LSN]. Error [709]."));
    EXPECT_TRUE(testLog().contains("Failed to locate TCP channel [NOPE]. Error [1603]."));
    EXPECT_TRUE(testLog().contains("Invalid UDP mode for channel [MCS]. Error [710]."));
    EXPECT_TRUE(testLog().contains("Unexpected event ID [35] for sendNetEvent. Error [109]."));

    // The application's values travel with the request.
    const AppEventParam param{16, 32, 64};
    ASSERT_EQ(h.call([&](MsgDispatcher& md) { return md.sendNetEvent("CLI", CONN_RQS, &param); }).first, 0);
    const std::vector<FwIntMessage> got = h.drainFramework("NET_RECEIVER", MQUEUE_NORMAL);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].appMsg.event.eventParam.paramInt16, 16);
    EXPECT_EQ(got[0].appMsg.event.eventParam.paramInt32, 32);
    EXPECT_EQ(got[0].appMsg.event.eventParam.paramInt64, 64);
}

// IPC_RECEIVER takes only open and close requests of a registered channel.
TEST(DispatchRequests, IpcRequestsNeedAChannelAndAnOpenOrCloseId)
{
    OpsHarness h;
    h.addIpc("IPCW", IPC_WRITER_MODE);
    auto ipc = [](const char* name, FwEventID id) {
        return [=](MsgDispatcher& md) { return md.sendIpcEvent(name, id); };
    };
    const char* IR = "IPC_RECEIVER";
    runRequests(h, {
                       {"open", ipc("IPCW", IPC_OPEN_RQS), 0, IR, MQUEUE_NORMAL, IPC_OPEN_RQS, "IPCW"},
                       {"close", ipc("IPCW", IPC_CLOSE_RQS), 0, IR, MQUEUE_NORMAL, IPC_CLOSE_RQS, "IPCW"},
                       {"other id", ipc("IPCW", CONN_RQS), UNEXPECTED_EVENT, IR, MQUEUE_NORMAL, 0, ""},
                       {"unknown", ipc("NOPE", IPC_OPEN_RQS), RES_NOT_EXIST, IR, MQUEUE_NORMAL, 0, ""},
                   });
    EXPECT_TRUE(testLog().contains("Failed to locate IPC channel [NOPE]. Error [1603]."));
}

// Topic requests by the topic's open type, the parameter that allows the
// opposite side, and the application's mode for replicated topics; the
// framework's own topics take no requests from the application.
TEST(DispatchRequests, TopicRequestsFollowTheOpenTypeAndMode)
{
    OpsHarness h;
    h.addTopic("PUB", PUBLISH);
    h.addTopic("SUB", SUBSCRIBE, PRIORITY_CHANNEL);
    h.addTopic("REPL", APPL_REPLICATE);
    h.addTopic("RECO", SUBSCRIBE)->recoveryRqsTopic = true;
    h.addTopic("MRMT", PUBLISH)->mrmTopic = true;
    static const AppEventParam one{0, 1, 0};
    static const AppEventParam zero{0, 0, 0};
    auto svc = [](const char* name, FwEventID id, const AppEventParam* p = nullptr) {
        return [=](MsgDispatcher& md) { return md.sendMsgServiceEvent(name, id, p); };
    };
    const char* MS = "MSG_SERVICE";
    const MessageQueueType N = MQUEUE_NORMAL, H = MQUEUE_HIGH_PRIORITY;
    runRequests(h, {
                       {"publish", svc("PUB", TOPIC_PUBLISH), 0, MS, N, TOPIC_PUBLISH, "PUB"},
                       {"leave pub", svc("PUB", TOPIC_LEAVE_PUB), 0, MS, N, TOPIC_LEAVE_PUB, "PUB"},
                       {"subscribe a pub topic with 1", svc("PUB", TOPIC_SUBSCRIBE, &one), 0, MS, N, TOPIC_SUBSCRIBE,
                        "PUB"},
                       {"subscribe a pub topic", svc("PUB", TOPIC_SUBSCRIBE), MSL_INCORRECT_EVENT, MS, N, 0, ""},
                       {"subscribe a pub topic with 0", svc("PUB", TOPIC_SUBSCRIBE, &zero), MSL_INCORRECT_EVENT, MS, N,
                        0, ""},
                       {"leave sub of a pub topic", svc("PUB", TOPIC_LEAVE_SUB), MSL_INCORRECT_EVENT, MS, N, 0, ""},
                       {"subscribe", svc("SUB", TOPIC_SUBSCRIBE), 0, MS, H, TOPIC_SUBSCRIBE, "SUB"},
                       {"leave sub", svc("SUB", TOPIC_LEAVE_SUB), 0, MS, H, TOPIC_LEAVE_SUB, "SUB"},
                       {"publish a sub topic with 1", svc("SUB", TOPIC_PUBLISH, &one), 0, MS, H, TOPIC_PUBLISH, "SUB"},
                       {"publish a sub topic", svc("SUB", TOPIC_PUBLISH), MSL_INCORRECT_EVENT, MS, N, 0, ""},
                       {"replicate: publish while active", svc("REPL", TOPIC_PUBLISH), 0, MS, N, TOPIC_PUBLISH, "REPL"},
                       {"replicate: subscribe while active", svc("REPL", TOPIC_SUBSCRIBE), MSL_INCORRECT_EVENT, MS, N, 0,
                        ""},
                       {"recovery topic", svc("RECO", TOPIC_SUBSCRIBE), FUNC_NOT_ALLOWED, MS, N, 0, ""},
                       {"recovery-command topic", svc("MRMT", TOPIC_PUBLISH), FUNC_NOT_ALLOWED, MS, N, 0, ""},
                       {"unknown", svc("NOPE", TOPIC_PUBLISH), MSL_REC_NOT_FOUND, MS, N, 0, ""},
                   });
    GlobalData& gd = GlobalData::getInst();
    const AppMode saved = gd.m_appMode.load();
    gd.m_appMode.store(STANDBY_MODE);
    runRequests(h, {
                       {"replicate: subscribe while standby", svc("REPL", TOPIC_SUBSCRIBE), 0, MS, N, TOPIC_SUBSCRIBE,
                        "REPL"},
                       {"replicate: publish while standby", svc("REPL", TOPIC_PUBLISH), MSL_INCORRECT_EVENT, MS, N, 0,
                        ""},
                   });
    gd.m_appMode.store(saved);
    EXPECT_TRUE(testLog().contains("Incorrect event type [40] for topic [PUB] open in PUBLISH. Error [2116]."));
    EXPECT_TRUE(
        testLog().contains("Incorrect event type [40] with para32 [0] for topic [PUB] open in PUBLISH. Error [2116]."));
    EXPECT_TRUE(testLog().contains("Incorrect event type [35] for topic [SUB] open in SUBSCRIBE. Error [2116]."));
    EXPECT_TRUE(testLog().contains("Incorrect event [35] for topic [REPL] open in APPL_REPLICATE. Error [2116]."));
    EXPECT_TRUE(testLog().contains(
        "Application cannot sent event on special topic [RECO] to Messaging Service thread."));
}

// The end of recovery and, in middleware mode only, the framework's end go
// to the control thread's high-priority queue.
TEST(DispatchRequests, ControlThreadNotices)
{
    OpsHarness h;
    EventMsg evt{};
    ASSERT_EQ(h.call([](MsgDispatcher& md) { return md.notifyEndRecovery(); }).first, 0);
    ASSERT_TRUE(h.nextCtlEvent(evt));
    EXPECT_EQ(evt.id, APP_NOTIFY_END_RECOVERY);
    const auto [rc, code] = h.call([](MsgDispatcher& md) { return md.sendCtrlThreadTermEvent(); });
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(code, FUNC_NOT_ALLOWED);
    EXPECT_FALSE(h.nextCtlEvent(evt, 50)) << "no TERM outside middleware mode";
}

// A dispatcher that ends waits for a stop request still sending through it
// under the middleware lock, even though that request already withdrew it
// from the application's threads (else the request reads a freed object).
TEST(DispatchRequests, DispatcherEndWaitsForAStopRequestInProgress)
{
    OpsHarness h;
    ThreadResource* res = h.registerThread("ENDING", GLOBAL_OPTIMIZATION_SETTING);
    std::atomic<bool> ended{false};
    std::unique_lock<std::mutex> stopping(MsgDispatcher::middlewareLock());
    std::thread ending([&] {
        auto* md = new MsgDispatcher(res, h.m_registry, nullptr);
        delete md;
        ended = true;
    });
    // Nothing to be told about here: the end must not come while the lock is held.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(ended.load());
    stopping.unlock();
    ending.join();
    EXPECT_TRUE(ended.load());
}

// A handle is given only for what the thread can send on now.
TEST(DispatchRequests, HandlesAreGivenOnlyForResourcesReadyToSendOn)
{
    OpsHarness h;
    h.m_peer->status.store(RES_ACTIVE);
    ThreadResource* idle = h.registerThread("IDLE", GLOBAL_OPTIMIZATION_SETTING);
    idle->status.store(RES_REGISTERED);
    h.addTcp("TCPUP", TCP_CLIENT_DATA_MODE)->status.store(RES_CONNECTED);
    h.addTcp("TCPDOWN", TCP_CLIENT_DATA_MODE);
    h.addTcp("TCPLSN", TCP_SERVER_LISTEN_MODE, "0.0.0.0")->status.store(RES_CONNECTED);
    h.addUdp("UDPUP", MULTICAST_SENDER_MODE)->status.store(RES_CONNECTED);
    h.addUdp("UDPDOWN", MULTICAST_SENDER_RCVR_MODE);
    h.addUdp("UDPRCV", MULTICAST_RECEIVER_MODE)->status.store(RES_CONNECTED);
    h.addIpc("IPCUP", IPC_WRITER_MODE)->status.store(RES_CONNECTED);
    h.addIpc("IPCDOWN", IPC_WRITER_MODE);
    h.addIpc("IPCRDR", IPC_READER_MODE)->status.store(RES_CONNECTED);
    h.addTopic("TPUB", PUBLISH)->status.store(RES_ACTIVE);
    h.addTopic("TPUBDOWN", PUBLISH);
    h.addTopic("TSUB", SUBSCRIBE)->status.store(RES_ACTIVE);
    h.addTopic("TREPL", APPL_REPLICATE)->status.store(RES_ACTIVE);
    MsgTopicResource* special = h.addTopic("TSPECIAL", PUBLISH);
    special->status.store(RES_ACTIVE);
    special->replicationTopic = true;

    struct Case
    {
        const char* name;
        ResourceType type;
        int32 code;
    };
    const Case cases[] = {
        {"PEER", THREAD_RES, 0},
        {"IDLE", THREAD_RES, RES_NOT_READY},
        {"NOBODY", THREAD_RES, RES_NOT_EXIST},
        {"TCPUP", TCP_RES, 0},
        {"TCPDOWN", TCP_RES, RES_NOT_READY},
        {"TCPLSN", TCP_RES, INVALID_TCP_MODE},
        {"UDPUP", UDP_RES, 0},
        {"UDPDOWN", UDP_RES, RES_NOT_READY},
        {"UDPRCV", UDP_RES, INVALID_UDP_MODE},
        {"IPCUP", IPC_RES, 0},
        {"IPCDOWN", IPC_RES, RES_NOT_READY},
        {"IPCRDR", IPC_RES, RES_IPC_ACCESS_MODE_INVALID},
        {"TPUB", TOPIC_RES, 0},
        {"TPUBDOWN", TOPIC_RES, RES_NOT_READY},
        {"TSUB", TOPIC_RES, MSL_INVALID_TOPIC_TYPE},
        {"TREPL", TOPIC_RES, 0},
        {"TSPECIAL", TOPIC_RES, FUNC_NOT_ALLOWED},
        {"PEER", PIPELINE_RES, INVALID_FUNC_ARG},
    };
    ResourceAssistant assistant;
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        ResourceHandle handle;
        const auto [rc, code] = h.call([&](MsgDispatcher& md) { return md.getResHandleByName(c.name, c.type, handle); });
        if (c.code == 0)
        {
            ASSERT_EQ(rc, 0) << code;
            EXPECT_EQ(handle.getResourceType(), c.type);
            EXPECT_NE(handle.getResourcePtr(), nullptr);
            EXPECT_TRUE(assistant.isValidHandle(c.type, handle));
        }
        else
        {
            EXPECT_EQ(rc, -1);
            EXPECT_EQ(code, c.code);
            EXPECT_EQ(handle.getResourcePtr(), nullptr);
        }
    }
    GlobalData& gd = GlobalData::getInst();
    const AppMode saved = gd.m_appMode.load();
    gd.m_appMode.store(STANDBY_MODE);
    ResourceHandle handle;
    const auto [rc, code] = h.call([&](MsgDispatcher& md) { return md.getResHandleByName("TREPL", TOPIC_RES, handle); });
    gd.m_appMode.store(saved);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(code, FUNC_NOT_ALLOWED);
    EXPECT_TRUE(testLog().contains("The thread resource [IDLE] is not ready."));
    EXPECT_TRUE(testLog().contains(
        "The TCP resource [TCPLSN] is not set to TCP_CLIENT_DATA_MODE or TCP_SERVER_DATA_MODE."));
    EXPECT_TRUE(testLog().contains("Application cannot acquire the resource handle of a special topic [TSPECIAL]."));
    EXPECT_TRUE(testLog().contains("Error [1603] getting the thread resource record [NOBODY]."));
}

// The seven checks of a channel update, each in its place; only the last
// case changes the record and asks NET_RECEIVER to use it.
TEST(DispatchRequests, ChannelUpdateChecksInOrder)
{
    OpsHarness h;
    h.addTcp("BLANK", TCP_CLIENT_DATA_MODE, "0.0.0.0");
    h.addTcp("AIMED", TCP_CLIENT_DATA_MODE, "10.1.2.3");
    h.addTcp("LSN", TCP_SERVER_LISTEN_MODE, "0.0.0.0");
    h.addTcp("EAGER", TCP_CLIENT_DATA_MODE, "0.0.0.0")->regParam.connectAtStartup = true;
    struct Case
    {
        const char* conn;
        const char* addr;
        uint16 port;
        int32 code;
        const char* log;
    };
    const Case cases[] = {
        {"NOPE", "10.0.0.1", 80, NO_RESOURCE_RECORD, "The channel [NOPE] connection not found. Error code [711]."},
        {"LSN", "10.0.0.1", 80, RES_TCP_MODE_INVALID, "Update TCP Channel [LSN] failed because the TCP mode"},
        {"EAGER", "10.0.0.1", 80, INVALID_CONN_STARTUP_MODE,
         "Update TCP Channel [EAGER] failed because connectAtStartup is true. Error code [712]."},
        {"AIMED", "10.0.0.1", 80, CONN_UPDATE_FAILED,
         "Update TCP Channel [AIMED] is not allowed, original IP [10.1.2.3] -> new IP [10.0.0.1]"},
        {"BLANK", "10.0.0", 80, RES_REMOTE_ADDR_INVALID,
         "Failed to set Remote IP Address [10.0.0] for channel [BLANK]. Error code [1632]."},
        {"BLANK", "0.0.0.0", 80, RES_REMOTE_ADDR_INVALID, "Failed to set Remote IP Address [0.0.0.0]"},
        {"BLANK", "10.0.0.1.1234567890", 80, RES_REMOTE_ADDR_INVALID, "Failed to set Remote IP Address [10.0.0.1.123456]"},
        {"BLANK", "10.0.0.1", 65535, RES_REMOTE_PORT_INVALID,
         "Failed to set Remote Port [65535] for channel [BLANK]. Error code [1634]."},
        {"BLANK", "192.168.100.200", 8080, 0, nullptr},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::string(c.conn) + " " + c.addr);
        const auto [rc, code] = h.call([&](MsgDispatcher& md) { return md.updateTcpChannel(c.conn, c.addr, c.port); });
        const std::vector<FwIntMessage> got = h.drainFramework("NET_RECEIVER", MQUEUE_NORMAL);
        if (c.code != 0)
        {
            EXPECT_EQ(rc, -1);
            EXPECT_EQ(code, c.code);
            EXPECT_TRUE(testLog().contains(c.log));
            EXPECT_TRUE(got.empty());
            continue;
        }
        EXPECT_EQ(rc, 0) << code;
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].appMsg.event.id, CONN_UPDATED);
        TcpConnResource* rec = nullptr;
        ASSERT_EQ(h.m_registry.getTcpConnRes(Name("BLANK"), &rec, true), 0);
        EXPECT_STREQ(rec->regParam.remoteAddrTxt, "192.168.100.200");
        EXPECT_EQ(rec->regParam.remotePort, 8080);
    }
}

// Liveness, the health interval, the application's pointer and statistics.
TEST(DispatchRequests, StatusOperations)
{
    OpsHarness h;
    h.m_app->lastStatusUpdTm.store(1);
    h.m_app->healthChkTimerResetCnt = 0;
    int marker = 0;
    h.onApp([&](MsgDispatcher& md) {
        md.updateStatusTimestamp();
        md.setStatusTimerInterval(-5);
        md.setAppObjectPtr(&marker);
    });
    EXPECT_GT(h.m_app->lastStatusUpdTm.load(), 1);
    EXPECT_EQ(h.m_app->healthChkTimerResetCnt, 1);
    EXPECT_EQ(h.m_app->statusCheckInterval, 0);
    EXPECT_TRUE(testLog().contains("Application thread health interval is changed from"));
    void* got = nullptr;
    h.onApp([&](MsgDispatcher& md) {
        md.setStatusTimerInterval(7);
        got = md.getAppObjectPtr();
    });
    EXPECT_EQ(got, &marker);
    EXPECT_EQ(h.m_app->statusCheckInterval, 7);

    GlobalData& gd = GlobalData::getInst();
    RingBuffer<StatisticCounter>* saved = gd.m_statBufPtr;
    StatisticCounter sample{};
    sample.statCounterId = 42;
    gd.m_statBufPtr = nullptr;
    auto [rc, code] = h.call([&](MsgDispatcher& md) { return md.writeStatistic(sample); });
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(code, STAT_SERVICE_NOT_AVAIL);
    RingBuffer<StatisticCounter> ring(2, true, CPU_UTILIZATION);
    gd.m_statBufPtr = &ring;
    for (uint32 i = 0; i < ring.getCapacity(); ++i)
        ASSERT_EQ(h.call([&](MsgDispatcher& md) { return md.writeStatistic(sample); }).first, 0);
    std::tie(rc, code) = h.call([&](MsgDispatcher& md) { return md.writeStatistic(sample); });
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(code, STAT_BUF_FULL);
    StatisticCounter out{};
    ASSERT_EQ(ring.dequeue(out), 0);
    EXPECT_EQ(out.statCounterId, 42);
    gd.m_statBufPtr = saved;
}
