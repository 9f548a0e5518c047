// The dispatcher harness plus what the send operations need: a second
// application thread "PEER" whose real queues the test reads, a framework
// thread "LOGGER", and a way to run code inside the application callback,
// where the operations belong.
#pragma once

#include "FendralCore/tests/dispatcher/DispatcherHarness.h"

#include <functional>
#include <future>

inline constexpr int32 RUN_EVT = APP_DEFINED_EVENT_BASE + 31;

class OpsHarness : public DispatcherHarness
{
public:
    explicit OpsHarness(const LoopSetup& setup = EVENT_LOOP, uint32 peerQueueLen = 64)
        : DispatcherHarness(setup)
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

        setScript([this](const CallRecord& r, EventMsg*) {
            if (r.type == MSG_EVENT && r.id == RUN_EVT && m_job)
            {
                m_job(*MsgDispatcher::getMsgDispatcher());
                m_job = nullptr;
                m_done.set_value();
            }
            return 0;
        });
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

    ThreadResource* m_peer = nullptr;
    ThreadResource* m_logger = nullptr;
    std::unique_ptr<FwMessageQueue> m_peerHigh, m_peerNormal, m_loggerQueue;

private:
    std::function<void(MsgDispatcher&)> m_job;
    std::promise<void> m_done;
};
