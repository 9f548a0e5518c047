// Sessions per thread and per sub-feed: which modules exist and which
// session each group ends up with; the session's admin send.
#include "AdminTestSupport.h"

#include "kelmora/thread/NamedThread.h"
#include "kelmora/thread/Runnable.h"
#include "kelmora/thread/SubFeeds.h"
#include "kelmora/thread/TarvokOldMsg.h"
#include "kelmora/thread/TarvokSessionFactory.h"

#include <gtest/gtest.h>

using namespace admintest;

namespace
{

class SessionFactoryTest : public AdminFixture
{
protected:
    // Threads, then sessions, then sub-feeds, as start-up orders them.
    void create(const std::string& xml, std::vector<std::string> args = {}, bool subFeeds = true)
    {
        ZunqConfigManager& cfg = config(xml, std::move(args));
        InitModule<NamedThreads>().createModule(&mList, &cfg);
        InitModule<TarvokSessionQelmo>().createModule(&mList, &cfg);
        InitModule<TarvokSessionQelmoFt>().createModule(&mList, &cfg);
        InitModule<TarvokSessionQelmoOrvane>().createModule(&mList, &cfg);
        if (subFeeds)
            InitModule<SubFeeds>().createModule(&mList, &cfg);
    }
    TarvokSession* session(const std::string& name, const std::string& group = "default")
    {
        return findModule<TarvokSession>(&mList, name, group);
    }
};

const char* const cThreads = "<NamedThreads><Value>A</Value><Value>B</Value><Value>thread_feedd</Value></NamedThreads>"
                             "<A><Enabled>true</Enabled><QueueSize>10</QueueSize></A>"
                             "<B><Enabled>true</Enabled><QueueSize>10</QueueSize><IsSessionThread>false</IsSessionThread></B>"
                             "<thread_feedd><Enabled>true</Enabled><QueueSize>10</QueueSize></thread_feedd>";

TEST_F(SessionFactoryTest, OneSessionPerSessionThreadPairedWithItsRunnable)
{
    create(cThreads, {}, false);
    TarvokSession* def = session("TarvokSession");
    TarvokSession* a = session("TarvokSession", "A");
    ASSERT_NE(def, nullptr);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(session("TarvokSession", "B"), nullptr);
    EXPECT_EQ(mSink.count("InitModule<TarvokSessionQelmo>(B): NOT creating a TarvokSessionQelmo as \"IsSessionThread\""), 1);

    EXPECT_EQ(a->getName(), "A");
    EXPECT_EQ(a->getLog(), &mLog);
    EXPECT_FALSE(a->isOrvaneHandling());
    EXPECT_TRUE(def->isOrvaneHandling());
    NamedThread* threadA = findModule<NamedThread>(&mList, "NamedThread", "A");
    EXPECT_EQ(a->getRunnable(), threadA->getRunnable());
    EXPECT_EQ(threadA->getRunnable()->getTarvokSession(), a);
    EXPECT_EQ(session("TarvokSessionQelmo", "A"), a);

    for (const char* name : {"TarvokSessionDefault", "TarvokSessionQelmo", "TarvokSessionFt", "TarvokSessionQelmoFt",
                             "TarvokSessionOrvane", "TarvokSessionQelmoOrvane"})
        EXPECT_EQ(session(name), def) << name;
    EXPECT_EQ(session("TarvokSessionDefault", "A"), nullptr);
}

TEST_F(SessionFactoryTest, FtAndOrvaneSwitchesTurnTheirSessionsOff)
{
    struct Case
    {
        std::vector<std::string> args;
        const char* xml;
        bool ft;
        bool orvane;
    };
    const Case cases[] = {
        {{"--no-ft"}, "", false, true},
        {{"--no-orvane"}, "", true, false},
        {{}, "<UseFt>false</UseFt>", false, true},
        {{"--use-orvane", "false"}, "", true, false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.xml);
        ModuleList& list = keptModuleList();
        registerModule<Log>(&list, "Log", &mLog, list.defaultGroup());
        ZunqConfigManager& cfg = config(c.xml, c.args);
        InitModule<NamedThreads>().createModule(&list, &cfg);
        InitModule<TarvokSessionQelmo>().createModule(&list, &cfg);
        InitModule<TarvokSessionQelmoFt>().createModule(&list, &cfg);
        InitModule<TarvokSessionQelmoOrvane>().createModule(&list, &cfg);
        EXPECT_EQ(findModule<TarvokSession>(&list, "TarvokSessionFt", "default") != nullptr, c.ft);
        EXPECT_EQ(findModule<TarvokSession>(&list, "TarvokSessionQelmoOrvane", "default") != nullptr, c.orvane);
    }
}

// Which session serves a sub-feed: "D" the default thread's, "A" or
// "thread_feedd" that thread's; an error text when start-up must stop.
TEST_F(SessionFactoryTest, SubFeedSessions)
{
    struct Case
    {
        std::string subFeedXml;
        std::vector<std::string> args;
        std::string subFeed;
        std::string expected;
    };
    const Case cases[] = {
        {"<SubFeeds><Value>abcdefghijklm</Value></SubFeeds>", {}, "abcdefghijklm", "D"},
        {"<SubFeeds><Value>abcdefghijklmn</Value></SubFeeds>", {}, "",
         "InitModule<SubFeeds>(abcdefghijklmn): subfeed length longer than 13 characters"},
        {"<SubFeeds><Value>s1</Value></SubFeeds><MaxSubFeedLen>1</MaxSubFeedLen>", {}, "",
         "subfeed length longer than 1 characters"},
        {"<SubFeeds><Value>s1</Value></SubFeeds><s1><UseNamedThread>A</UseNamedThread>"
         "<UseOneThreadPerSubFeed>true</UseOneThreadPerSubFeed></s1>",
         {}, "s1", "A"},
        {"<SubFeeds><Value>s1</Value></SubFeeds><s1><UseNamedThread>B</UseNamedThread></s1>", {}, "s1", "D"},
        {"<SubFeeds><Value>s1</Value></SubFeeds>", {"--use-one-thread-per-subfeed"}, "s1", "D"},
        {"<SubFeeds><Value>s1</Value></SubFeeds>", {"--process-data-in-separate-thread"}, "s1", "thread_feedd"},
        {"<SubFeeds><Value>A</Value></SubFeeds><FeedThreadPrefix></FeedThreadPrefix>"
         "<UseOneThreadPerSubFeed>true</UseOneThreadPerSubFeed>",
         {}, "A", "A"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.subFeedXml);
        ModuleList& list = keptModuleList();
        registerModule<Log>(&list, "Log", &mLog, list.defaultGroup());
        ZunqConfigManager& cfg = config(cThreads + c.subFeedXml, c.args);
        InitModule<NamedThreads>().createModule(&list, &cfg);
        InitModule<TarvokSessionQelmo>().createModule(&list, &cfg);
        if (c.subFeed.empty())
        {
            try
            {
                InitModule<SubFeeds>().createModule(&list, &cfg);
                ADD_FAILURE() << "no error";
            }
            catch (const InitModuleError& e)
            {
                EXPECT_NE(std::string(e.what()).find(c.expected), std::string::npos) << e.what();
            }
            EXPECT_EQ(findModule<std::list<std::string>>(&list, "SubFeeds", "default"), nullptr);
            continue;
        }
        InitModule<SubFeeds>().createModule(&list, &cfg);
        const auto* subFeeds = findModule<std::list<std::string>>(&list, "SubFeeds", "default");
        ASSERT_NE(subFeeds, nullptr);
        EXPECT_EQ(*subFeeds, std::list<std::string>{c.subFeed});
        const std::string group = c.expected == "D" ? "default" : c.expected;
        EXPECT_EQ(findModule<TarvokSession>(&list, "TarvokSession", c.subFeed),
                  findModule<TarvokSession>(&list, "TarvokSession", group));
    }
    EXPECT_EQ(mSink.count("InitModule<SubFeeds>(s1): cannot find TarvokSession for thread thread_s1 (using default "
                          "TarvokSession)"),
              1);
}

TEST_F(SessionFactoryTest, WithoutSubFeedsTheDefaultGroupHasTheDataSession)
{
    create(cThreads);
    EXPECT_EQ(findModule<std::list<std::string>>(&mList, "SubFeeds", "default"), nullptr);
    EXPECT_EQ(session("TarvokSession"), session("TarvokSessionDefault"));
}

TEST_F(SessionFactoryTest, SubFeedsWithoutADefaultSessionStopStartUp)
{
    try
    {
        create("<IsSessionThread>false</IsSessionThread><SubFeeds><Value>s1</Value></SubFeeds>");
        ADD_FAILURE() << "no error";
    }
    catch (const InitModuleError& e)
    {
        EXPECT_STREQ(e.what(), "InitModule<SubFeeds>: could not find TarvokSessionDefault object");
    }
}

TEST_F(SessionFactoryTest, CopySubFeedsOrDefault)
{
    ZunqConfigManager& cfg = config("");
    cfg.setAppName("A");
    const std::list<std::string> subFeeds = {"A1", "B1", "A2"};
    std::list<std::string> out = {"stale"};
    copySubFeedsOrDefault(out, &subFeeds, &mList, &cfg, "A");
    EXPECT_EQ(out, (std::list<std::string>{"A1", "A2"}));
    copySubFeedsOrDefault(out, nullptr, &mList, &cfg, "A");
    EXPECT_EQ(out, std::list<std::string>{"default"});
    copySubFeedsOrDefault(out, nullptr, &mList, &cfg, "B");
    EXPECT_TRUE(out.empty());
}

TEST_F(SessionFactoryTest, SendWritesOneWholeRecordThroughTheClient)
{
    TarvokSession session;
    session.setLog(&mLog);
    TarvokOldMsg msg;
    msg.setSendSubject("orvane.feedd.setloglevel");
    msg.setReplySubject("host.1.0");
    msg.setArgs("DEBUG");
    EXPECT_FALSE(session.send(msg));
    EXPECT_EQ(mSink.count("TarvokSessionImpl::sendOrvaneIpcMsg(): orvane handler is not defined"), 1);

    RecordingClient client;
    session.setOrvaneClient(&client);
    EXPECT_TRUE(session.send(msg));
    ASSERT_EQ(client.records.size(), 1u);
    const std::string& rec = client.records[0];
    ASSERT_EQ(rec.size(), 1451u);
    EXPECT_EQ(client.lastContext, "unspecified");
    EXPECT_EQ(field(rec, 1, 100), "orvane.feedd.setloglevel");
    EXPECT_EQ(field(rec, 101, 50), "host.1.0");
    EXPECT_EQ(field(rec, 151, 1200), "DEBUG");
    EXPECT_EQ(rec.substr(1351), std::string(100, '\0'));
}

} // namespace
