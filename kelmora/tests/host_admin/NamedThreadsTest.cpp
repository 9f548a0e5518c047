// The configured threads: which exist, with which settings and Runnable, and
// what reaches the framework.
#include "AdminTestSupport.h"

#include "kelmora/runtime/InitModuleError.h"
#include "kelmora/thread/NamedThread.h"
#include "kelmora/thread/Runnable.h"
#include "kelmora/thread/TarvokSessionRunnable.h"
#include "zunq/runtime/ZunqLock.h"

#include <gtest/gtest.h>

using namespace admintest;

namespace
{

class NamedThreadsTest : public AdminFixture
{
protected:
    void create(const std::string& xml, std::vector<std::string> args = {})
    {
        InitModule<NamedThreads> factory;
        factory.createModule(mCur, &config(xml, std::move(args)));
    }
    ModuleList* mCur = &mList;
    NamedThread* thread(const std::string& name) { return findModule<NamedThread>(mCur, "NamedThread", name); }
    std::vector<std::string> names(const std::string& module = "NamedThreads")
    {
        const NamedThreads* list = findModule<NamedThreads>(mCur, module, mList.defaultGroup());
        return list != nullptr ? std::vector<std::string>(list->begin(), list->end()) : std::vector<std::string>{};
    }
    std::vector<std::string> registeredNames()
    {
        std::vector<std::string> out;
        for (const Registered& r : registered())
            out.push_back(r.name);
        return out;
    }
};

TEST_F(NamedThreadsTest, WithoutListOnlyTheDefaultThreadExistsServesAdminAndRunsUnlocked)
{
    create("");
    EXPECT_EQ(names(), std::vector<std::string>{"default"});
    NamedThread* t = thread("default");
    ASSERT_NE(t, nullptr);
    EXPECT_FALSE(t->requiresConfig());
    EXPECT_TRUE(t->isOrvaneHandling());
    EXPECT_NE(dynamic_cast<TarvokSessionRunnable*>(t->getRunnable()), nullptr);
    EXPECT_FALSE(ZunqLock::lockingEnabled());
    ASSERT_EQ(registered().size(), 1u);
    EXPECT_EQ(registered()[0].param.messageQueueLength, 45000);
    EXPECT_EQ(findModule<NamedThreads>(&mList, "MsgHandlingNamedThreads", "default"), nullptr);
}

TEST_F(NamedThreadsTest, ListedThreadsGetTheirSettingsRolesAndAPlainRunnable)
{
    create("<NamedThreads><Value>A</Value><Value>B</Value></NamedThreads>"
           "<A><Enabled>true</Enabled><QueueSize>50</QueueSize><CpuAffinity>6</CpuAffinity><NiceValue>-3</NiceValue>"
           "<OptimizeMode>0</OptimizeMode><IsMsgSending>yes</IsMsgSending><IsSessionThread>false</IsSessionThread>"
           "<UseRegExp>x.*</UseRegExp></A>"
           "<B><Enabled>TRUE</Enabled><IsMsgHandling>true</IsMsgHandling><QueueSize>60</QueueSize></B>");
    EXPECT_EQ(names(), (std::vector<std::string>{"A", "B", "default"}));
    EXPECT_EQ(names("MsgHandlingNamedThreads"), std::vector<std::string>{"B"});
    EXPECT_TRUE(ZunqLock::lockingEnabled());

    NamedThread* a = thread("A");
    ASSERT_NE(a, nullptr);
    EXPECT_TRUE(a->requiresConfig());
    EXPECT_EQ(a->getQueueSize(), 50);
    EXPECT_EQ(a->getCpuAffinity(), 6u);
    EXPECT_EQ(a->getNiceValue(), -3);
    EXPECT_EQ(a->getOptimizeMode(), 0);
    EXPECT_TRUE(a->isMsgSending());
    EXPECT_FALSE(a->isSessionThread());
    EXPECT_FALSE(a->isOrvaneHandling());
    EXPECT_EQ(a->getRegExp(), "x.*");
    ASSERT_NE(a->getRunnable(), nullptr);
    EXPECT_EQ(a->getRunnable()->getName(), "A");
    EXPECT_EQ(dynamic_cast<TarvokSessionRunnable*>(a->getRunnable()), nullptr);
    EXPECT_TRUE(thread("B")->isMsgHandling());

    ASSERT_EQ(registeredNames(), (std::vector<std::string>{"A", "B", "default"}));
    const ThreadParam& pa = registered()[0].param;
    EXPECT_EQ(pa.messageQueueLength, 50);
    EXPECT_EQ(pa.cpuAffinityBitmask, 6u);
    EXPECT_EQ(pa.threadPriority, -3);
    EXPECT_EQ(static_cast<int>(pa.thdOptimiz), 0);
    EXPECT_EQ(registered()[1].param.messageQueueLength, 60);
}

// The Enabled value of a listed thread, and what start-up makes of it.
TEST_F(NamedThreadsTest, EnabledValues)
{
    struct Case
    {
        const char* thread;
        const char* enabled; // null: no Enabled key
        const char* outcome; // "on", "off", or the start of the error text
    };
    const Case cases[] = {
        {"A", "true", "on"},
        {"A", "True-ish", "on"},
        {"A", "false", "off"},
        {"A", "FALSEHOOD", "off"},
        {"A", "maybe", "Unrecognized value \"MAYBE\" for parameter \"Enabled\" for thread A"},
        {"A", nullptr, "Thread configuration MUST exist and MUST also contain at least the parameter \"Enabled\" for thread A"},
        {"default2", nullptr, "on"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::string(c.thread) + " Enabled=" + (c.enabled != nullptr ? c.enabled : "(none)"));
        mCur = &keptModuleList();
        registerModule<Log>(mCur, "Log", &mLog, mList.defaultGroup());
        registered().clear();
        std::string xml = std::string("<NamedThreads><Value>") + c.thread + "</Value></NamedThreads><" + c.thread
                          + "><QueueSize>10</QueueSize>";
        if (c.enabled != nullptr)
            xml += std::string("<Enabled>") + c.enabled + "</Enabled>";
        xml += std::string("</") + c.thread + ">";
        const std::string outcome = c.outcome;
        if (outcome == "on" || outcome == "off")
        {
            ASSERT_NO_THROW(create(xml));
            const bool on = outcome == "on";
            EXPECT_EQ(thread(c.thread) != nullptr, on);
            // A disabled thread is in no list and never reaches the framework.
            const auto expected = on ? std::vector<std::string>{c.thread, "default"} : std::vector<std::string>{"default"};
            EXPECT_EQ(names(), expected);
            EXPECT_EQ(registeredNames(), expected);
        }
        else
        {
            try
            {
                create(xml);
                ADD_FAILURE() << "no error";
            }
            catch (const InitModuleError& e)
            {
                EXPECT_NE(std::string(e.what()).find(outcome), std::string::npos) << e.what();
            }
            EXPECT_TRUE(registered().empty());
        }
    }
}

TEST_F(NamedThreadsTest, MiddlewareThreadIsRegisteredFirst)
{
    create("<NamedThreads><Value>A</Value><Value>MIDDLEWARE_MD</Value></NamedThreads>"
           "<A><Enabled>true</Enabled></A><MIDDLEWARE_MD><Enabled>true</Enabled></MIDDLEWARE_MD>");
    EXPECT_EQ(registeredNames(), (std::vector<std::string>{"MIDDLEWARE_MD", "A", "default"}));
}

TEST_F(NamedThreadsTest, MessageHandlingThreadsBecomeDefaultSubFeedsUnlessSubFeedsAreConfigured)
{
    create("<NamedThreads><Value>A</Value><Value>B</Value></NamedThreads>"
           "<A><Enabled>true</Enabled><IsMsgHandling>true</IsMsgHandling></A><B><Enabled>true</Enabled></B>");
    std::list<std::string> groups;
    determineDefaultSubFeeds(&mList, groups, "X", true);
    EXPECT_EQ(groups, std::list<std::string>{"A"});

    registerModule<std::list<std::string>>(&mList, "SubFeeds", new std::list<std::string>{"s1"}, "default");
    std::list<std::string> refused;
    EXPECT_THROW(determineDefaultSubFeeds(&mList, refused, "X", true), std::invalid_argument);
}

TEST_F(NamedThreadsTest, WithoutMessageHandlingThreadsTheDefaultGroupIsTheSubFeedOnRequest)
{
    create("");
    std::list<std::string> groups;
    determineDefaultSubFeeds(&mList, groups, "X", false);
    EXPECT_TRUE(groups.empty());
    determineDefaultSubFeeds(&mList, groups, "X", true);
    EXPECT_EQ(groups, std::list<std::string>{"default"});
}

} // namespace
