// A real dispatcher on a thread of its own, in a registry of the test's own:
// a control thread whose high-priority queue the test reads, the application
// thread "APP" with real queues, and a sender thread whose event sender and raw
// puts drive it. The callback records every call and answers from a script.
#pragma once

#include "FendralCore/tests/registry/RegistryTestSupport.h"
#include "FendralCore/tests/support/TestLog.h"

#include "FendralCore/dispatch/MsgDispatcher.h"
#include "FendralCore/dispatch/Pipeline.h"
#include "FendralCore/dispatch/EventMessage.h"
#include "FendralCore/runtime/ResourceHandle.h"
#include "FendralCore/runtime/ResourceManager.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <poll.h>
#include <string>
#include <thread>
#include <vector>

struct CallRecord
{
    MessageType type;
    int32 id;         // event id; -1 for data
    int64 paramInt64; // timer expiry count
    std::string name; // event resource name or data channel
    std::string data;
    int32 plStageNum;
    bool sawOwnDispatcher; // getMsgDispatcher() answered on the callback's thread
    bool markedDispatcherThread;
    int32 handleType; // resource kind of the handle given, -1 for none
    std::string handleName;
    const void* handleResPtr;
    int32 peerAppSiteId;
};

// How the dispatcher is set up: the process mode and the thread's setting.
struct LoopSetup
{
    const char* name;
    OptimizationMode processMode;
    ThreadOptimization thdOpt;
    OptimizationMode queueMode; // what the queues of such a thread run in
};

inline void PrintTo(const LoopSetup& setup, std::ostream* os)
{
    *os << setup.name << " loop";
}

// The header of a pipeline entry from "SENDER" to "APP" on a UDP channel.
inline PipelineMsgHeader plHeader(const char* channel, uint32 len, MessageType type = MSG_DATA)
{
    PipelineMsgHeader hdr{};
    setName(hdr.originatorTxt, "SENDER");
    setName(hdr.recipientTxt, "APP");
    hdr.type = type;
    setName(hdr.channelNameTxt, channel);
    hdr.chnType = UDP_CHANNEL;
    hdr.dataDir = INCOMING_DATA;
    hdr.dataLen = len;
    return hdr;
}

inline const LoopSetup EVENT_LOOP{"event", CPU_UTILIZATION, GLOBAL_OPTIMIZATION_SETTING, CPU_UTILIZATION};
inline const LoopSetup TIMED_LOOP{"timed", LOW_LATENCY, CPU_OPTIMIZATION, LOW_LATENCY};
inline const LoopSetup POLLING_LOOP{"polling", LOW_LATENCY, GLOBAL_OPTIMIZATION_SETTING, LOW_LATENCY};

class DispatcherHarness
{
public:
    using Script = std::function<int32(const CallRecord&, EventMsg*)>;

    explicit DispatcherHarness(const LoopSetup& setup, const std::string& config = "STS_RPT_INTERVAL INT32 20\n",
                               bool registerCtl = true, bool withCallback = true)
        : m_setup(setup), m_config(config), m_registry(m_config.get())
    {
        testLog();
        s_current = this;
        GlobalData& gd = GlobalData::getInst();
        m_savedMode = gd.m_optMode.load();
        m_savedTrigTerm = gd.m_allowAppTriggeredTerm;
        gd.m_optMode.store(setup.processMode);
        if (registerCtl)
            m_ctl = registerThread("CTL_THREAD", GLOBAL_OPTIMIZATION_SETTING);
        m_sender = registerThread("SENDER", GLOBAL_OPTIMIZATION_SETTING);
        m_app = registerThread("APP", setup.thdOpt);
        if (m_ctl != nullptr)
        {
            // The control queue wakes the test through its descriptor.
            m_ctlHigh = std::make_unique<FwMessageQueue>(64, false, true, CPU_UTILIZATION, false, 100);
            m_ctlNormal = std::make_unique<FwMessageQueue>(64, false, true, CPU_UTILIZATION, false, 100);
            m_ctl->msgQueuePtrArray[MQUEUE_HIGH_PRIORITY] = m_ctlHigh.get();
            m_ctl->msgQueuePtrArray[MQUEUE_NORMAL] = m_ctlNormal.get();
            m_ctl->status.store(RES_ACTIVE);
        }
        m_appHigh = std::make_unique<FwMessageQueue>(256, false, true, setup.queueMode, false, 100);
        m_appNormal = std::make_unique<FwMessageQueue>(256, false, true, setup.queueMode, false, 100);
        m_app->msgQueuePtrArray[MQUEUE_HIGH_PRIORITY] = m_appHigh.get();
        m_app->msgQueuePtrArray[MQUEUE_NORMAL] = m_appNormal.get();
        m_app->status.store(RES_ACTIVE);
        if (withCallback)
            m_app->appCallbackFuncPtr = &DispatcherHarness::callback;
        m_events = std::make_unique<EventMessage>(m_sender, m_registry);
    }

    ~DispatcherHarness()
    {
        if (m_thread.joinable())
        {
            sendEvent(MQUEUE_HIGH_PRIORITY, TERM);
            m_thread.join();
        }
        GlobalData& gd = GlobalData::getInst();
        gd.m_optMode.store(m_savedMode);
        gd.m_allowAppTriggeredTerm = m_savedTrigTerm;
        s_current = nullptr;
    }

    ThreadResource* registerThread(const char* name, ThreadOptimization opt)
    {
        ThreadParam param;
        m_registry.initThreadParam(param);
        setName(param.threadNameTxt, name);
        param.thdOptimiz = opt;
        ThreadResource* res = nullptr;
        EXPECT_EQ(m_registry.registerThreadRes(param, true, &res), 0);
        return res;
    }

    // Gives the application thread one pipeline stage to serve.
    void assignStage(Pipeline& pipeline, const char* name, int32 stage)
    {
        PipelineRecord& rec = m_app->pipelineRec[m_app->numOfPipeline++];
        setName(rec.pipelineNameTxt, name);
        rec.appPlStageNum = stage;
        rec.isLastStage = false;
        rec.pipelinePtr = &pipeline;
    }

    void setScript(Script script)
    {
        std::lock_guard lock(m_mutex);
        m_script = std::move(script);
    }

    void start()
    {
        m_thread = std::thread([this] {
            MsgDispatcher dispatcher(m_app, m_registry, m_config.get());
            m_runResult = dispatcher.run(m_exitHdr);
            m_runErrno = FrameworkErrno::m_fwErrno;
        });
    }

    // Waits for the thread to end by itself.
    void join() { m_thread.join(); }

    int32 sendEvent(MessageQueueType queue, int32 id, int32 param32 = 0, const char* resName = "")
    {
        EventParam param{};
        setName(param.resNameTxt, resName);
        param.paramInt32 = param32;
        return m_events->sendEventMsg(m_app, queue, static_cast<FwEventID>(id), param, m_seq);
    }

    // One raw data part, as the receiver threads put them.
    int32 putPart(MessageQueueType queue, const char* sender, const char* channel, int32 partNum, bool more,
                  const std::string& bytes, uint32 dataLen = UINT32_MAX)
    {
        return putRaw(queue, *makePart(sender, channel, partNum, more, bytes, dataLen));
    }

    int32 putRaw(MessageQueueType queue, const FwIntMessage& msg)
    {
        FwMessageQueue& q = queue == MQUEUE_NORMAL ? *m_appNormal : *m_appHigh;
        return q.putMessage(&msg);
    }

    static std::unique_ptr<FwIntMessage> makePart(const char* sender, const char* channel, int32 partNum, bool more,
                                                  const std::string& bytes, uint32 dataLen = UINT32_MAX)
    {
        auto msg = std::make_unique<FwIntMessage>();
        std::memset(msg.get(), 0, sizeof(FwIntMessage));
        setName(msg->originatorTxt, sender);
        setName(msg->recipientTxt, "APP");
        msg->appMsg.type = MSG_DATA;
        Data_t& d = msg->appMsg.data;
        setName(d.channelNameTxt, channel);
        d.chnType = UDP_CHANNEL;
        d.dataDir = INCOMING_DATA;
        d.msgPartNum = partNum;
        d.more = more;
        const size_t n = std::min(bytes.size(), sizeof(d.buffer));
        std::memcpy(d.buffer, bytes.data(), n);
        d.dataLen = dataLen == UINT32_MAX ? static_cast<uint32>(n) : dataLen;
        return msg;
    }

    // A whole message split into parts of at most 2200 bytes.
    void putSplit(MessageQueueType queue, const char* sender, const char* channel, const std::string& bytes)
    {
        int32 part = 0;
        for (size_t off = 0; off < bytes.size() || part == 0; off += Data_t::MAX_DATA_LEN, ++part)
        {
            const std::string piece = bytes.substr(off, Data_t::MAX_DATA_LEN);
            const bool more = off + Data_t::MAX_DATA_LEN < bytes.size();
            ASSERT_EQ(putPart(queue, sender, channel, part, more, piece), 0);
        }
    }

    // The next event on the control thread's high-priority queue.
    bool nextCtlEvent(EventMsg& out, int timeoutMs = 5000)
    {
        FwIntMessage msg{};
        bool more = false;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (m_ctlHigh->getMessage(&msg, more) != 0)
        {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                     std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return false;
            pollfd p{m_ctlHigh->getFileDescriptor(), POLLIN, 0};
            ::poll(&p, 1, static_cast<int>(left.count()));
        }
        out = msg.appMsg.event;
        return true;
    }

    // INIT answered with INIT_ACK carrying the callback result.
    void init(int32 expectedResult = 0)
    {
        ASSERT_EQ(sendEvent(MQUEUE_HIGH_PRIORITY, INIT), 0);
        EventMsg ack{};
        ASSERT_TRUE(nextCtlEvent(ack));
        EXPECT_EQ(ack.id, INIT_ACK);
        EXPECT_EQ(ack.eventParam.paramInt32, expectedResult);
        EXPECT_STREQ(ack.eventParam.resNameTxt, "APP");
    }

    void stop()
    {
        ASSERT_EQ(sendEvent(MQUEUE_HIGH_PRIORITY, TERM), 0);
        m_thread.join();
        EXPECT_EQ(m_exitHdr, 0);
        EXPECT_EQ(m_runResult, 0);
    }

    // Waits until a call matches; false after the time-out.
    bool waitFor(const std::function<bool(const CallRecord&)>& match, int timeoutMs = 5000)
    {
        std::unique_lock lock(m_mutex);
        return m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
            for (const CallRecord& r : m_calls)
                if (match(r))
                    return true;
            return false;
        });
    }

    bool waitForEvent(int32 id, int timeoutMs = 5000)
    {
        return waitFor([id](const CallRecord& r) { return r.type == MSG_EVENT && r.id == id; }, timeoutMs);
    }

    bool waitForData(const std::string& channel, int timeoutMs = 5000)
    {
        return waitFor([&](const CallRecord& r) { return r.type == MSG_DATA && r.name == channel; }, timeoutMs);
    }

    std::vector<CallRecord> calls()
    {
        std::lock_guard lock(m_mutex);
        return m_calls;
    }

    size_t countEvents(int32 id)
    {
        size_t n = 0;
        for (const CallRecord& r : calls())
            n += r.type == MSG_EVENT && r.id == id;
        return n;
    }

    const LoopSetup m_setup;
    TestConfig m_config;
    ResourceManager m_registry;
    ThreadResource* m_ctl = nullptr;
    ThreadResource* m_sender = nullptr;
    ThreadResource* m_app = nullptr;
    std::unique_ptr<FwMessageQueue> m_ctlHigh, m_ctlNormal, m_appHigh, m_appNormal;
    std::unique_ptr<EventMessage> m_events;
    uint32 m_seq = 0;
    std::thread m_thread;
    int32 m_exitHdr = -7;
    int32 m_runResult = -7;
    int32 m_runErrno = 0;

private:
    static inline DispatcherHarness* s_current = nullptr;

    OptimizationMode m_savedMode;
    bool m_savedTrigTerm;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<CallRecord> m_calls;
    Script m_script;

    static int32 callback(MessageType type, EventMsg* evt, DataMsg* data)
    {
        DispatcherHarness& h = *s_current;
        CallRecord rec{};
        rec.type = type;
        rec.id = -1;
        rec.plStageNum = -1;
        rec.sawOwnDispatcher = MsgDispatcher::getMsgDispatcher() != nullptr;
        rec.markedDispatcherThread = ResourceManager::isDispatcherThread();
        rec.handleType = -1;
        const ResourceHandle* handle = nullptr;
        if (evt != nullptr)
        {
            rec.id = evt->id;
            rec.paramInt64 = evt->eventParam.paramInt64;
            rec.name.assign(evt->eventParam.resNameTxt, strnlen(evt->eventParam.resNameTxt, sizeof(ResourceName)));
            handle = evt->eventParam.resHandlePtr;
        }
        if (data != nullptr)
        {
            rec.name.assign(data->channelNameTxt, strnlen(data->channelNameTxt, sizeof(ResourceName)));
            rec.data.assign(data->bufPtr, static_cast<size_t>(data->dataLen));
            rec.plStageNum = data->plStageNum;
            rec.peerAppSiteId = data->peerAppSiteId;
            handle = data->resHandlePtr;
        }
        if (handle != nullptr)
        {
            ResourceName name;
            ResourceType type = INVALID_RES;
            handle->getResourceName(name, type);
            rec.handleType = type;
            rec.handleName.assign(name, strnlen(name, sizeof(ResourceName)));
            rec.handleResPtr = handle->getResourcePtr();
        }
        Script script;
        {
            std::lock_guard lock(h.m_mutex);
            script = h.m_script;
        }
        // The script runs before the call is published, so whatever it does
        // on the dispatcher is done once a waiter sees the call.
        const int32 result = script ? script(rec, evt) : 0;
        {
            std::lock_guard lock(h.m_mutex);
            h.m_calls.push_back(rec);
        }
        h.m_cv.notify_all();
        return result;
    }
};
