#include "TestSupport.h"

#include "zunq/log/LogRegistry.h"
#include "zunq/module/InitModuleX.h"
#include "zunq/module/ModuleBase.h"
#include "zunq/module/ModuleInitializer.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace
{

TEST(ModuleList, FindsByNameWithinGroupAndReturnsTheFirstOfDuplicates)
{
    ModuleList list;
    EXPECT_EQ(list.defaultGroup(), "default");
    EXPECT_EQ(ModuleListBase::cDefaultGroup, "default");

    int logA = 1;
    int logB = 2;
    int channel = 3;
    ModuleBase first("Log", &logA);
    ModuleBase second("Log", &logB);
    ModuleBase perGroup("OrluLineData", &channel);
    EXPECT_TRUE(list.addBase(&first, list.defaultGroup()));
    EXPECT_TRUE(list.addBase(&second, list.defaultGroup()));
    EXPECT_TRUE(list.addBase(&perGroup, "xs_1"));
    EXPECT_FALSE(list.addBase(nullptr, "xs_1"));

    struct Case
    {
        const char* name;
        const char* group;
        ModuleBase* expected;
    };
    const Case cases[] = {
        {"Log", "default", &first},
        {"Log", "xs_1", nullptr},
        {"OrluLineData", "xs_1", &perGroup},
        {"OrluLineData", "default", nullptr},
        {"OrluLineData", "xs_2", nullptr},
        {"orlulinedata", "xs_1", nullptr},
        {"", "default", nullptr},
    };
    for (const Case& c : cases)
        EXPECT_EQ(list.findBase(c.name, c.group), c.expected) << c.name << " in " << c.group;
    EXPECT_EQ(list.findBase("Log", "default")->getModuleVoid(), &logA);
}

// A factory that records when it ran and may do more while it runs.
class RecordingFactory : public InitModuleX
{
public:
    RecordingFactory(const std::string& name, std::vector<std::string>& order, std::function<void()> during = {})
        : mOrder(order)
        , mDuring(std::move(during))
    {
        setName(name);
    }

    bool createModule(ModuleList* list, ZunqConfigManager* config) override
    {
        mOrder.push_back(getName());
        lastList = list;
        lastConfig = config;
        if (mDuring)
            mDuring();
        return true;
    }

    ModuleList* lastList = nullptr;
    ZunqConfigManager* lastConfig = nullptr;

private:
    std::vector<std::string>& mOrder;
    std::function<void()> mDuring;
};

TEST(ModuleInitializer, RunsEachFactoryOnceInAscendingPriority)
{
    std::vector<std::string> order;
    RecordingFactory terminator("Terminator", order);
    RecordingFactory session("KeshSession", order);
    RecordingFactory channelA("OrluLineAdmin", order);
    RecordingFactory threads("NamedThreads", order);
    ModuleInitializer initializer;
    // Registered out of order, as libraries happen to load.
    initializer.addModule(&terminator, 990);
    initializer.addModule(&session, 200);
    initializer.addModule(&channelA, 200);
    initializer.addModule(&threads, 79);
    initializer.addModule(&threads, 79);
    initializer.addModule(nullptr, 1);
    EXPECT_EQ(initializer.pending(), 4u);

    ModuleList list;
    auto* config = reinterpret_cast<ZunqConfigManager*>(&order); // only passed through
    initializer.initialize(&list, config);
    EXPECT_EQ(order, (std::vector<std::string>{"NamedThreads", "KeshSession", "OrluLineAdmin", "Terminator"}));
    EXPECT_EQ(terminator.lastList, &list);
    EXPECT_EQ(terminator.lastConfig, config);

    // A second walk runs only what registered since.
    RecordingFactory late("LateFactory", order);
    initializer.addModule(&late, 100);
    initializer.initialize(&list, config);
    EXPECT_EQ(order.size(), 5u);
    EXPECT_EQ(order.back(), "LateFactory");
    EXPECT_EQ(initializer.pending(), 0u);
}

TEST(ModuleInitializer, FactoriesAddedWhileItRunsJoinInPriorityOrder)
{
    CaptureLogSink sink(LOG_LEVEL_INFO);
    Log log;
    log.addLogSink(&sink);
    LogRegistry::g_logger = &log;

    std::vector<std::string> order;
    ModuleInitializer initializer;
    RecordingFactory early("Priority80", order);
    RecordingFactory last("Priority200", order);
    RecordingFactory pluginHigh("Plugin150", order);
    RecordingFactory pluginMid("Plugin120", order);
    RecordingFactory pluginLow("Plugin90", order);
    // The shared objects loader (priority 100) loads plug-ins whose factories register now.
    RecordingFactory loader("SharedObjects", order, [&] {
        initializer.addModule(&pluginHigh, 150);
        initializer.addModule(&pluginLow, 90);
        initializer.addModule(&pluginMid, 120);
    });
    initializer.addModule(&last, 200);
    initializer.addModule(&loader, 100);
    initializer.addModule(&early, 80);

    ModuleList list;
    initializer.initialize(&list, nullptr);
    LogRegistry::g_logger = nullptr;

    // The one whose priority was already passed runs at once; the rest keep their order.
    EXPECT_EQ(order, (std::vector<std::string>{"Priority80", "SharedObjects", "Plugin90", "Plugin120", "Plugin150",
                                               "Priority200"}));
    EXPECT_TRUE(sink.contains("factory |Plugin90| of priority |90| registered after priority |100| ran"));
}

TEST(ModuleInitializer, AnExceptionEndsTheWalkAndReachesTheCaller)
{
    std::vector<std::string> order;
    ModuleInitializer initializer;
    RecordingFactory before("Before", order);
    RecordingFactory failing("Failing", order, [] { throw std::invalid_argument("InitModule<Failing>: could not find Log object"); });
    RecordingFactory after("After", order);
    initializer.addModule(&after, 300);
    initializer.addModule(&failing, 200);
    initializer.addModule(&before, 100);

    ModuleList list;
    EXPECT_THROW(initializer.initialize(&list, nullptr), std::invalid_argument);
    EXPECT_EQ(order, (std::vector<std::string>{"Before", "Failing"}));

    // A nested call from inside a factory is refused rather than run twice.
    ModuleInitializer second;
    std::vector<std::string> secondOrder;
    RecordingFactory reentrant("Reentrant", secondOrder, [&] { second.initialize(&list, nullptr); });
    RecordingFactory other("Other", secondOrder);
    second.addModule(&reentrant, 1);
    second.addModule(&other, 2);
    second.initialize(&list, nullptr);
    EXPECT_EQ(secondOrder, (std::vector<std::string>{"Reentrant", "Other"}));
}

TEST(ModuleInitializer, ProcessInitializerIsOneObjectAndFactoriesStartUnnamed)
{
    EXPECT_EQ(moduleInitializer(), moduleInitializer());
    struct Unnamed : InitModuleX
    {
        bool createModule(ModuleList*, ZunqConfigManager*) override { return false; }
    } unnamed;
    EXPECT_EQ(unnamed.getName(), "unknown");
}

} // namespace
