#include "HostTestSupport.h"

#include "kelmora/bus/OrluChannelFactory.h"
#include "kelmora/bus/TerminateAll.h"
#include "kelmora/linedata/LineData.h"
#include "kelmora/runtime/InitModule.h"
#include "kelmora/runtime/InitModuleError.h"
#include "kelmora/runtime/SharedObjects.h"
#include "kelmora/supervision/LineControl.h"
#include "kelmora/supervision/LineStatus.h"

#include <gtest/gtest.h>

#include <functional>
#include <list>
#include <map>
#include <regex>

namespace
{

using SubFeedList = std::list<std::string>;

// Every factory of the library, and the plug-in's, runs once, in ascending
// priority, through the process's own initializer as the program will run it.
TEST_F(HostFixture, LibraryFactoriesRunOnceInAscendingPriorityAndPluginFactoriesJoinTheWalk)
{
    // The sub-feeds come from the configuration, so that each gets the session
    // the per-sub-feed factories (the line monitor's among them) need.
    TempDir dir;
    auto config = makeConfig({"rtsd", "--shared-objects", COUNTING_PLUGIN},
                             "<SubFeeds><Value>A</Value><Value>B</Value></SubFeeds>", &dir);

    moduleInitializer()->initialize(&mList, config.get());
    EXPECT_EQ(moduleInitializer()->pending(), 0u);

    const std::regex created(R"(creating \|([A-Za-z]+)\| priority \|(-?[0-9]+)\|)");
    std::vector<std::pair<std::string, int>> order;
    for (const std::string& line : mSink.lines())
    {
        std::smatch match;
        if (std::regex_search(line, match, created))
            order.emplace_back(match[1], std::stoi(match[2]));
    }
    const std::map<std::string, int> expected = {
        {"OrluMsgPubAdmin", 80},       {"OrluTerminateAll", 80},     {"SharedObjects", 100},
        {"CountingPlugin", 150},       {"OrluLineAdmin", 200},       {"OrluLineControl", 200},
        {"OrluLineHeartbeat", 200},    {"OrluLineStatus", 200},      {"OrluRetransComplete", 200},
        {"OrluSystemEvent", 200},      {"OrluLineData", 251},        {"OrluLineDataBlock", 251},
        {"OrluBackupLineChange", 253}, {"OrluMhMode", 253},          {"OrluRefreshRequest", 253},
        {"OrluRetransRequest", 253},   {"OrluSeqNumGap", 253},       {"OrluMsgZunq", 268},
        {"LineDataFactoryBasic", 400}, {"LineDataFactoryBlock", 400}, {"LineDataFactoryDravek", 401},
        {"LineFilter", 410},
    };
    std::map<std::string, int> seen;
    for (std::size_t i = 0; i < order.size(); ++i)
    {
        ++seen[order[i].first];
        if (i > 0)
        {
            EXPECT_LE(order[i - 1].second, order[i].second) << order[i - 1].first << " before " << order[i].first;
        }
        auto it = expected.find(order[i].first);
        if (it != expected.end())
        {
            EXPECT_EQ(order[i].second, it->second) << order[i].first;
        }
    }
    for (const auto& [name, priority] : expected)
        EXPECT_EQ(seen[name], 1) << name << " (priority " << priority << ") created once";

    // Found by name and group, and only with the holder type it was registered with.
    Orlu<LineStatus>* statusA = findModule<Orlu<LineStatus>>(&mList, "OrluLineStatus", "A");
    ASSERT_NE(statusA, nullptr);
    EXPECT_EQ(statusA->getName(), "LineStatus.A");
    EXPECT_EQ(findModule<Orlu<LineStatus>>(&mList, "OrluLineStatus", "default"), nullptr);
    EXPECT_EQ(findModule<Orlu<LineData>>(&mList, "OrluLineStatus", "A"), nullptr);
    EXPECT_NE(mList.findBase("CountingPlugin", "default"), nullptr);

    // A second walk finds nothing left to create.
    moduleInitializer()->initialize(&mList, config.get());
    EXPECT_EQ(mSink.count("creating |OrluLineStatus|"), 1);
}

// A factory that records that it ran.
class MarkerFactory : public InitModuleX
{
public:
    bool createModule(ModuleList*, ZunqConfigManager*) override
    {
        ran = true;
        return true;
    }
    bool ran = false;
};

// Without the log module the first factory that needs it ends start-up with
// its own name in the error, and no later factory runs.
TEST(ModuleSystem, MissingLogEndsStartUpAtTheFirstFactoryThatNeedsIt)
{
    struct Case
    {
        std::function<std::unique_ptr<InitModuleX>(ModuleInitializer*)> make;
        const char* message;
    };
    const Case cases[] = {
        {[](ModuleInitializer* in) { return std::make_unique<InitModule<Orlu<TerminateAll>>>("OrluTerminateAll", 80, in); },
         "InitModule<OrluTerminateAll>: could not find Log object"},
        {[](ModuleInitializer* in) { return std::make_unique<InitModule<SharedObjects>>("SharedObjects", 100, in); },
         "InitModule<SharedObjects>: could not find Log object"},
        {[](ModuleInitializer* in) { return std::make_unique<InitModule<Orlu<LineControl>>>("OrluLineControl", 200, in); },
         "InitModule<OrluLineControl>: could not find Log object"},
        {[](ModuleInitializer* in) { return std::make_unique<InitModule<OrluLineDataBlock>>("OrluLineDataBlock", 251, in); },
         "InitModule<OrluLineDataBlock>: could not find Log object"},
    };
    for (const Case& c : cases)
    {
        ModuleInitializer initializer;
        ModuleList& list = keptModuleList();
        auto config = makeConfig({"rtsd"});
        MarkerFactory later;
        initializer.addModule(&later, 990);
        auto factory = c.make(&initializer);
        try
        {
            initializer.initialize(&list, config.get());
            ADD_FAILURE() << "no error for " << c.message;
        }
        catch (const InitModuleError& error)
        {
            EXPECT_STREQ(error.what(), c.message);
        }
        EXPECT_FALSE(later.ran) << c.message;
    }
}

TEST(ModuleSystem, LookupsFailOutsideTheGroupOrTypeTheyWereRegisteredWith)
{
    ModuleList& list = keptModuleList();
    Orlu<TerminateAll> channel("TerminateAll", "");
    registerModule<Orlu<TerminateAll>>(&list, "OrluTerminateAll", &channel, list.defaultGroup());

    EXPECT_EQ(requireModule<Orlu<TerminateAll>>(&list, "OrluTerminateAll", "default", "X"), &channel);
    EXPECT_EQ(findModule<Orlu<TerminateAll>>(&list, "OrluTerminateAll", "A"), nullptr);
    EXPECT_EQ(findModule<Orlu<LineStatus>>(&list, "OrluTerminateAll", "default"), nullptr);
    EXPECT_EQ(findModule<Orlu<TerminateAll>>(nullptr, "OrluTerminateAll", "default"), nullptr);
    try
    {
        requireModule<Orlu<LineStatus>>(&list, "OrluTerminateAll", "default", "InitModule<Terminator>");
        ADD_FAILURE() << "a holder of another type was accepted";
    }
    catch (const InitModuleError& error)
    {
        EXPECT_STREQ(error.what(), "InitModule<Terminator>: could not find OrluTerminateAll object");
    }
}

TEST(ModuleSystem, FactoryNameIsUnknownOnlyWithoutOneAndNamedFactoriesRegister)
{
    InitModule<SharedObjects> unnamed;
    EXPECT_EQ(unnamed.getName(), "unknown");

    ModuleInitializer initializer;
    InitModule<SharedObjects> named("SharedObjects", 100, &initializer);
    EXPECT_EQ(named.getName(), "SharedObjects");
    EXPECT_EQ(initializer.pending(), 1u);
}

} // namespace
