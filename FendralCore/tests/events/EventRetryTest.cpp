// How often a send to a full destination is tried. In CPU_UTILIZATION mode each
// try of a full queue or pipeline sleeps between its own inner tries, so the
// calling thread's voluntary context switches count the tries: a queue put
// sleeps 4 times (5 inner tries), a pipeline enqueue twice (3 inner tries).
#include "FendralCore/tests/registry/RegistryTestSupport.h"
#include "FendralCore/tests/support/TestLog.h"

#include "FendralCore/dispatch/EventMessage.h"
#include "FendralCore/dispatch/Pipeline.h"
#include "FendralCore/runtime/ResourceManager.h"

#include <gtest/gtest.h>

#include <functional>
#include <sys/resource.h>

namespace
{
long voluntarySwitches()
{
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_nvcsw;
}
} // namespace

TEST(EventRetry, FullDestinationIsTriedFiveTimes)
{
    TestConfig config("");
    ResourceManager registry(config.get());
    ThreadParam param;
    ThreadResource* sender = nullptr;
    ThreadResource* target = nullptr;
    for (auto [name, res] : {std::pair{"SENDER", &sender}, std::pair{"TARGET", &target}})
    {
        registry.initThreadParam(param);
        setName(param.threadNameTxt, name);
        ASSERT_EQ(registry.registerThreadRes(param, true, res), 0);
    }
    FwMessageQueue queue(4, false, true, CPU_UTILIZATION, false, 10);
    target->msgQueuePtrArray[MQUEUE_NORMAL] = &queue;
    target->msgQueuePtrArray[MQUEUE_HIGH_PRIORITY] = &queue;
    target->status.store(RES_ACTIVE);
    FwIntMessage filler{};
    filler.appMsg.type = MSG_EVENT;
    while (queue.getNumFreeEntry() > 0)
        ASSERT_EQ(queue.putMessage(&filler), 0);

    Pipeline pipeline(4, 4096, 1, CPU_UTILIZATION, false);
    ASSERT_TRUE(pipeline.isValid());
    ResourceName recipient{};
    setName(recipient, "TARGET");
    EventParam evtParam{};
    uint32 seq = 0;
    EventMessage events(sender, registry);
    while (events.sendEvtMsgViaPipeline(recipient, &pipeline, CONNECTED, evtParam, seq) == 0)
    {
    }

    struct Case
    {
        const char* what;
        long sleepsPerTry;
        std::function<int32()> send;
    };
    const Case cases[] = {
        {"queue", 4, [&] { return events.sendEventMsg(target, MQUEUE_NORMAL, CONNECTED, evtParam, seq); }},
        {"pipeline", 2, [&] { return events.sendEvtMsgViaPipeline(recipient, &pipeline, CONNECTED, evtParam, seq); }},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        const long before = voluntarySwitches();
        EXPECT_EQ(c.send(), -1);
        EXPECT_EQ(FrameworkErrno::m_fwErrno, BUFFER_FULL);
        const long sleeps = voluntarySwitches() - before;
        EXPECT_GT(sleeps, 4 * c.sleepsPerTry);
        EXPECT_LT(sleeps, 6 * c.sleepsPerTry);
    }
}
