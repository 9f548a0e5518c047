// A messaging service under test, on a registry, global data and framework
// configuration of its own: the threads it talks to (CTL_THREAD, an
// application thread APP1) are registered with real queues that the test
// reads, and events reach the service's queues as an application thread's
// dispatcher posts them. The service runs on a thread of its own (start) or
// is driven pass by pass from the test's thread (initialize, pass).
#pragma once

#include "FendralCore/tests/registry/RegistryTestSupport.h"
#include "FendralCore/tests/support/ProcessTestSupport.h"

#include "FendralCore/dispatch/EventMessage.h"
#include "FendralCore/messaging/MessagingService.h"
#include "FendralCore/runtime/ResourceManager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace msltest
{
// A clock the test sets; it starts at a fixed, plausible time.
class ManualClock : public MslClock
{
public:
    int64 monoNs() const override { return m_mono.load(); }
    timespec wallTime() const override { return timespec{static_cast<time_t>(m_wallSec.load()), 0}; }
    void advance(int64 ns)
    {
        m_mono += ns;
        m_wallSec += ns / MonoClock::NSEC_PER_SEC;
    }
    void setWallSec(int64 sec) { m_wallSec = sec; }

private:
    std::atomic<int64> m_mono{1000 * MonoClock::NSEC_PER_SEC};
    std::atomic<int64> m_wallSec{1700000000};
};

// A multicast group of its own per call, so that tests run side by side
// never share one.
inline std::string uniqueGroup()
{
    static std::atomic<int> counter{0};
    const unsigned pid = static_cast<unsigned>(::getpid());
    return "239." + std::to_string(110 + pid % 100) + "." + std::to_string((pid / 100) % 250) + "." +
           std::to_string(1 + counter++ % 250);
}

// A UDP port that was free a moment ago.
inline uint16 freeUdpPort()
{
    return processtest::freePort(SOCK_DGRAM);
}

inline bool nextMessage(FwMessageQueue& q, FwIntMessage& msg, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    do
    {
        bool more = false;
        if (q.getMessage(&msg, more) == 0)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

// True once pred holds, false when limit passed first.
template <typename Pred>
bool waitUntil(Pred pred, std::chrono::milliseconds limit = std::chrono::seconds(10))
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!pred())
    {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

struct Options
{
    std::string appId = "MSLA";
    int32 inst = 1;
    // Lines added to the service's framework configuration.
    std::string config;
    MslSocketFactory* sockets = nullptr;
    const MslClock* clock = nullptr;
    const FileDescMultiplexer::OnloadApi* onloadApi = nullptr;
    OptimizationMode mode = CPU_UTILIZATION;
    uint32 appQueueLen = 64;
    // Further changes of the global data before the service is built.
    std::function<void(GlobalData&)> adjust;
};

class ServiceHarness
{
public:
    explicit ServiceHarness(const Options& o) : m_config(o.config), m_registry(m_config.get())
    {
        m_gd.setAppId(o.appId.c_str());
        m_gd.m_appInstId = o.inst;
        m_gd.m_optMode.store(o.mode);
        if (o.adjust)
            o.adjust(m_gd);
        m_svc = registerTestThread(m_registry, "MSG_SERVICE", m_svcNormal, m_svcHigh, 256, o.mode, false);
        m_ctl = registerTestThread(m_registry, "CTL_THREAD", m_ctlNormal, m_ctlHigh, 64, o.mode);
        m_app = registerTestThread(m_registry, "APP1", m_appNormal, m_appHigh, o.appQueueLen, o.mode);
        EXPECT_NE(m_svc, nullptr);
        EXPECT_NE(m_app, nullptr);
        m_appSender = std::make_unique<EventMessage>(m_app, m_registry);
        MslServiceSeams seams;
        seams.sockets = o.sockets;
        seams.clock = o.clock;
        seams.onloadApi = o.onloadApi;
        m_service = std::make_unique<MessagingService>(m_svc, m_registry, m_gd, m_config.get(), seams);
    }

    ~ServiceHarness() { stop(); }

    // run() on a thread of its own.
    void start()
    {
        m_thread = std::thread([this] { m_result = m_service->run(m_exit); });
    }

    // run() on a thread of its own, and INIT answered: the service is set up.
    void startAndInit()
    {
        start();
        ASSERT_EQ(post(MQUEUE_HIGH_PRIORITY, INIT), 0);
        FwIntMessage ack{};
        ASSERT_TRUE(nextMessage(*m_ctlHigh, ack, std::chrono::seconds(10)));
        ASSERT_EQ(ack.appMsg.event.id, INIT_ACK);
    }

    // TERM, and the thread joined.
    void stop()
    {
        if (!m_thread.joinable())
            return;
        post(MQUEUE_HIGH_PRIORITY, TERM);
        m_thread.join();
    }

    // An event to the service as APP1's dispatcher posts it.
    int32 post(MessageQueueType queue, FwEventID id, const EventParam& param = EventParam{})
    {
        return m_appSender->sendEventMsg(m_svc, queue, id, param, m_seq);
    }

    // A topic request as the dispatcher posts it.
    int32 postTopic(FwEventID id, const char* topic, int32 paramInt32 = 0, int64 paramInt64 = 0)
    {
        EventParam p{};
        ResourceManager::copyResourceName(p.resNameTxt, topic);
        p.paramInt32 = paramInt32;
        p.paramInt64 = paramInt64;
        return post(MQUEUE_NORMAL, id, p);
    }

    // A topic registered for APP1 and left in status.
    MsgTopicResource* addTopic(const char* name, MsgTopicOpenType type, ResourceStatus status)
    {
        MsgTopicParam p;
        m_registry.initMsgTopicParam(p);
        setName(p.topicNameTxt, name);
        setName(p.threadNameTxt, "APP1");
        p.openType = type;
        MsgTopicResource* res = nullptr;
        const int32 rc = m_registry.registerMsgTopicRes(p, &res);
        EXPECT_TRUE(rc == 0 || rc == -2) << lastCode();
        if (res != nullptr)
            res->status.store(status);
        return res;
    }

    // Passes on the test's thread until pred holds; false after limit.
    template <typename Pred>
    bool passUntil(Pred pred, std::chrono::milliseconds limit = std::chrono::seconds(10))
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!pred())
        {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            bool terminate = false;
            m_service->runOnce(10, terminate);
        }
        return true;
    }

    MessagingService& service() { return *m_service; }
    ResourceManager& registry() { return m_registry; }
    GlobalData& globalData() { return m_gd; }
    ThreadResource* serviceThread() { return m_svc; }
    FwMessageQueue& ctlHigh() { return *m_ctlHigh; }
    FwMessageQueue& appNormal() { return *m_appNormal; }
    FwMessageQueue& appHigh() { return *m_appHigh; }
    int32 result() const { return m_result; }
    int32 exitCode() const { return m_exit; }

private:
    TestConfig m_config;
    ResourceManager m_registry;
    GlobalData m_gd;
    std::unique_ptr<FwMessageQueue> m_svcNormal, m_svcHigh, m_ctlNormal, m_ctlHigh, m_appNormal, m_appHigh;
    ThreadResource* m_svc = nullptr;
    ThreadResource* m_ctl = nullptr;
    ThreadResource* m_app = nullptr;
    std::unique_ptr<EventMessage> m_appSender;
    uint32 m_seq = 0;
    std::unique_ptr<MessagingService> m_service;
    std::thread m_thread;
    int32 m_result = 0;
    int32 m_exit = -1;
};

// The configuration lines of a control plan on groups of their own.
inline std::string controlPlan(const std::string& rcGroup, uint16 rcPort, const std::string& racGroup,
                               uint16 racPort)
{
    return "MCAST_RC_ADDR STRING " + rcGroup + "\nMCAST_RC_PORT UINT16 " + std::to_string(rcPort) +
           "\nMCAST_RAC_ADDR STRING " + racGroup + "\nMCAST_RAC_PORT UINT16 " + std::to_string(racPort) + "\n";
}
} // namespace msltest
