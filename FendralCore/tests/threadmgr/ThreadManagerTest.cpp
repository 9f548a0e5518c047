// The thread manager over the process's registry, with real threads of every
// kind: started with their queues, answering INIT, cancelled while they wait
// and joined once, without the cancellation taking the process down.
#include "FendralCore/tests/support/TestLog.h"

#include "FendralCore/control/ThreadManager.h"
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/GlobalData.h"
#include "FendralCore/dispatch/EventMessage.h"
#include "FendralCore/runtime/ResourceManager.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

namespace
{
int32 quietCallback(MessageType, EventMsg*, DataMsg*)
{
    return 0;
}

// The control thread's side, played by the test: its record and queues.
class ControlSide
{
public:
    ControlSide()
    {
        testLog();
        ResourceManager& registry = ResourceManager::getInst();
        ThreadParam param;
        registry.initThreadParam(param);
        ResourceManager::copyResourceName(param.threadNameTxt, "CTL_THREAD");
        if (registry.getThreadRes(param.threadNameTxt, &m_ctl) != 0)
        {
            EXPECT_EQ(registry.registerThreadRes(param, false, &m_ctl), 0);
        }
        m_high = std::make_unique<FwMessageQueue>(64, false, true, CPU_UTILIZATION, false, 100);
        m_normal = std::make_unique<FwMessageQueue>(64, false, true, CPU_UTILIZATION, false, 100);
        m_ctl->msgQueuePtrArray[MQUEUE_HIGH_PRIORITY] = m_high.get();
        m_ctl->msgQueuePtrArray[MQUEUE_NORMAL] = m_normal.get();
        m_ctl->status.store(RES_ACTIVE);
        m_events = std::make_unique<EventMessage>(m_ctl, registry);
    }

    ThreadResource* registerThread(const char* name, bool appThread)
    {
        ResourceManager& registry = ResourceManager::getInst();
        ThreadParam param;
        registry.initThreadParam(param);
        ResourceManager::copyResourceName(param.threadNameTxt, name);
        ThreadResource* res = nullptr;
        EXPECT_EQ(registry.registerThreadRes(param, appThread, &res), 0) << name;
        if (res != nullptr && appThread)
            res->appCallbackFuncPtr = quietCallback;
        return res;
    }

    int32 send(ThreadResource* res, FwEventID id)
    {
        EventParam param{};
        return m_events->sendEventMsg(res, MQUEUE_HIGH_PRIORITY, id, param, m_seq);
    }

    // The next event from originator on the control queue within 10 s.
    bool awaitEvent(const char* originator, FwEventID id)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        FwIntMessage msg;
        while (std::chrono::steady_clock::now() < deadline)
        {
            bool more = false;
            if (m_high->getMessage(&msg, more) == 0)
            {
                if (msg.appMsg.type == MSG_EVENT && msg.appMsg.event.id == id &&
                    std::strncmp(msg.originatorTxt, originator, sizeof(ResourceName)) == 0)
                    return true;
                continue;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

private:
    ThreadResource* m_ctl = nullptr;
    std::unique_ptr<FwMessageQueue> m_high;
    std::unique_ptr<FwMessageQueue> m_normal;
    std::unique_ptr<EventMessage> m_events;
    uint32 m_seq = 0;
};

struct ThreadKind
{
    const char* name;
    bool appThread;
};

const ThreadKind KINDS[] = {
    {"CANCEL_APP", true},       {"LOGGER", false},      {"DATA_STREAM_HDR", false},
    {"IPC_RECEIVER", false},    {"MSG_SERVICE", false}, {"MSG_REPLICATOR", false},
};

// MSG_REPLICATOR starts on its application's replication topic.
void registerReplicationTopic()
{
    GlobalData& gd = GlobalData::getInst();
    if (gd.m_appIdTxt[0] == '\0')
        gd.setAppId("TMGR");
    MsgTopicParam topic;
    ResourceManager::getInst().initMsgTopicParam(topic);
    const std::string name = std::string(gd.m_appIdTxt) + "_FW_REPL";
    ResourceManager::copyResourceName(topic.topicNameTxt, name.c_str());
    ResourceManager::copyResourceName(topic.threadNameTxt, "MSG_REPLICATOR");
    topic.logicalChnNum = 997;
    topic.openType = PUBLISH;
    const int32 registered = ResourceManager::getInst().registerMsgTopicRes(topic, nullptr);
    EXPECT_TRUE(registered == 0 || registered == -2) << FrameworkErrno::m_fwErrno << " " << name;
}
} // namespace

// A thread cancelled inside its loop must end by the cancellation unwind: a
// body that swallows it aborts the process, and one that names it in a typed
// handler trips the sanitizers.
TEST(ThreadManagerTest, EveryKindOfThreadCancelledInItsLoopEndsAndIsJoinedOnce)
{
    ControlSide control;
    ThreadManager& manager = ThreadManager::getInst();
    for (const ThreadKind& kind : KINDS)
    {
        SCOPED_TRACE(kind.name);
        ThreadResource* res = control.registerThread(kind.name, kind.appThread);
        ASSERT_NE(res, nullptr);
        if (std::strcmp(kind.name, "MSG_REPLICATOR") == 0)
            registerReplicationTopic();
        ASSERT_EQ(manager.startThread(res), 0);
        ASSERT_EQ(res->status.load(), RES_ACTIVE);
        ASSERT_EQ(control.send(res, INIT), 0);
        // Answering INIT shows the loop is running and waiting.
        ASSERT_TRUE(control.awaitEvent(kind.name, INIT_ACK));

        const int32 running = manager.numOfRunningThreads();
        ASSERT_EQ(pthread_cancel(res->thdInfo.tid), 0);
        EXPECT_EQ(manager.stopThread(res, false), 0);
        EXPECT_EQ(res->status.load(), RES_TERMINATED);
        EXPECT_EQ(manager.numOfRunningThreads(), running - 1);
        // Joined once: a second stop or check touches nothing.
        EXPECT_EQ(manager.stopThread(res, true), 0);
        EXPECT_FALSE(manager.checkThreadTerminate());
    }
    EXPECT_FALSE(testLog().contains("Caught an exception"));
}
