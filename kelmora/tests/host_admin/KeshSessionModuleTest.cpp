// The admin-method sessions per group and the "setLogLevel" method.
#include "AdminTestSupport.h"

#include "kelmora/admin/KeshSessionModule.h"
#include "kelmora/admin/KeshSetLogLevel.h"
#include "kelmora/thread/SubFeeds.h"
#include "kelmora/thread/TarvokSessionFactory.h"
#include "zunq/admin/KeshMethod.h"
#include "zunq/admin/KeshParamList.h"
#include "zunq/admin/KeshUsageError.h"

#include <gtest/gtest.h>

#include <set>

using namespace admintest;

namespace
{

class KeshSessionModuleTest : public AdminFixture
{
protected:
    void create(const std::string& xml)
    {
        ZunqConfigManager& cfg = config(xml);
        InitModule<NamedThreads>().createModule(&mList, &cfg);
        InitModule<TarvokSessionQelmo>().createModule(&mList, &cfg);
        InitModule<SubFeeds>().createModule(&mList, &cfg);
        InitModule<KeshSession>().createModule(&mList, &cfg);
    }
};

TEST_F(KeshSessionModuleTest, OneSessionPerSubFeedAndDefaultEachWithItsThreadAndTheQuietNames)
{
    create("<NamedThreads><Value>A</Value></NamedThreads><A><Enabled>true</Enabled><QueueSize>10</QueueSize></A>"
           "<SubFeeds><Value>s1</Value><Value>s2</Value><Value>s3</Value></SubFeeds><s2><UseNamedThread>A</UseNamedThread></s2>"
           "<KeshQuietMethods><Value></Value><Value>getOrluStats</Value></KeshQuietMethods>");
    std::set<KeshSession*> sessions;
    for (const char* group : {"s1", "s2", "s3", "default"})
    {
        KeshSession* s = findModule<KeshSession>(&mList, "KeshSession", group);
        ASSERT_NE(s, nullptr) << group;
        sessions.insert(s);
        EXPECT_TRUE(s->isQuietMethodName("getOrluStats")) << group;
        EXPECT_FALSE(s->isQuietMethodName("")) << group;
        // Methods that name no thread run on the thread of their group's session.
        EXPECT_EQ(s->getThreadName(), std::string(group) == "s2" ? "A" : "default") << group;
    }
    EXPECT_EQ(sessions.size(), 4u);
    EXPECT_EQ(mSink.count("InitModule<KeshSession>: added quiet method name: getOrluStats"), 4);
}

TEST_F(KeshSessionModuleTest, SetLogLevelIsAddedToTheDefaultSessionOnly)
{
    create("");
    ModuleList& withoutSessions = keptModuleList();
    registerModule<Log>(&withoutSessions, "Log", &mLog, "default");
    EXPECT_THROW(InitModule<KeshMethodsLog>().createModule(&withoutSessions, mConfig.get()), InitModuleError);
    ASSERT_TRUE(InitModule<KeshMethodsLog>().createModule(&mList, mConfig.get()));
    const auto methods = findModule<KeshSession>(&mList, "KeshSession", "default")->getMethods();
    ASSERT_EQ(methods.size(), 1u);
    EXPECT_EQ(methods[0]->getName(), "setLogLevel");
    EXPECT_EQ(methods[0]->getThread(), "default");
}

TEST(KeshSetLogLevel, LevelsByNameAndRefusals)
{
    struct Case
    {
        std::vector<std::pair<std::string, std::string>> args;
        const char* reply; // null: refused
        int level;
    };
    const Case cases[] = {
        {{{"Arg0", "warning"}}, "WARNING", 3},
        {{{"Arg0", "Notice"}}, "NOTICE", 4},
        {{{"Level", "alert"}}, "ALERT", 0},
        {{{"Arg0", "DEBUG"}}, "DEBUG", 6},
        {{}, nullptr, 5},
        {{{"Arg0", "info"}, {"Arg1", "x"}}, nullptr, 5},
    };
    for (const Case& c : cases)
    {
        Log log;
        log.setLevel(LOG_LEVEL_INFO);
        KeshSetLogLevel method(log);
        KeshParamList in;
        KeshParamList out;
        for (const auto& [name, value] : c.args)
            in.add(name, value);
        if (c.reply == nullptr)
        {
            EXPECT_THROW(method.invoke(in, out), KeshUsageError);
            EXPECT_EQ(out.size(), 0u);
        }
        else
        {
            method.invoke(in, out);
            ASSERT_EQ(out.size(), 1u);
            EXPECT_EQ(out.getParam(std::size_t{0})->getValue(), c.reply);
        }
        EXPECT_EQ(static_cast<int>(log.getLevel()), c.level);
    }
}

TEST(KeshSetLogLevel, UnknownNameIsAnErrorThatChangesNothing)
{
    Log log;
    log.setLevel(LOG_LEVEL_INFO);
    KeshSetLogLevel method(log);
    KeshParamList in;
    KeshParamList out;
    in.add("Arg0", "verbose");
    try
    {
        method.invoke(in, out);
        ADD_FAILURE() << "no error";
    }
    catch (const KeshUsageError&)
    {
        ADD_FAILURE() << "a usage error";
    }
    catch (const std::runtime_error& e)
    {
        EXPECT_STREQ(e.what(), "Unknown LogLevel:VERBOSE");
    }
    EXPECT_EQ(log.getLevel(), LOG_LEVEL_INFO);
}

} // namespace
