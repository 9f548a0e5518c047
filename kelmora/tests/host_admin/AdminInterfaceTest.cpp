// Admin methods published to the relay: the subjects per group, the argument
// separator, and the invoker's argument split, reply chunks and answers on
// the direct path.
#include "AdminTestSupport.h"

#include "kelmora/admin/KeshInterfaceOrvane.h"
#include "kelmora/admin/KeshMethodInvoker.h"
#include "kelmora/admin/KeshSessionModule.h"
#include "kelmora/admin/KeshSetLogLevel.h"
#include "kelmora/thread/SubFeeds.h"
#include "kelmora/thread/TarvokListener.h"
#include "kelmora/thread/TarvokOldMsg.h"
#include "kelmora/thread/TarvokSessionFactory.h"
#include "zunq/admin/KeshMethod.h"
#include "zunq/admin/KeshParamList.h"
#include "zunq/admin/KeshUsageError.h"
#include "zunq/identity/Host.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

using namespace admintest;

namespace
{

// Answers a fixed text, or throws what it is told to.
struct ScriptedMethod : KeshMethod
{
    explicit ScriptedMethod(const std::string& name) : KeshMethod(name, KESH_METHOD_INFO, "A scripted method.") {}
    void invoke(const KeshParamList& in, KeshParamList& out) override
    {
        lastIn = in;
        if (throwWhat == "usage")
            throw KeshUsageError();
        if (throwWhat == "int")
            throw 42;
        if (!throwWhat.empty())
            throw std::logic_error(throwWhat);
        if (!result.empty())
            out.add("Result", result);
    }
    std::string result;
    std::string throwWhat;
    KeshParamList lastIn;
};

class AdminInterfaceTest : public AdminFixture
{
protected:
    // Threads, sessions, sub-feeds, admin sessions and interfaces, as start-up orders them.
    void create(const std::string& xml, std::vector<std::string> args, const std::string& app)
    {
        ZunqConfigManager& cfg = config(xml, std::move(args));
        cfg.setExeName("feed_a");
        cfg.setAppName(app);
        InitModule<NamedThreads>().createModule(&mList, &cfg);
        InitModule<TarvokSessionQelmo>().createModule(&mList, &cfg);
        InitModule<TarvokSessionQelmoFt>().createModule(&mList, &cfg);
        InitModule<TarvokSessionQelmoOrvane>().createModule(&mList, &cfg);
        InitModule<SubFeeds>().createModule(&mList, &cfg);
        InitModule<KeshSession>().createModule(&mList, &cfg);
        InitModule<KeshInterfaceOrvane>().createModule(&mList, &cfg);
        InitModule<KeshMethodsLog>().createModule(&mList, &cfg);
    }
    TarvokSession& adminSession() { return *findModule<TarvokSession>(&mList, "TarvokSessionOrvane", "default"); }

    static std::vector<std::string> subjects(const std::vector<std::string>& names, const std::string& method)
    {
        const std::string host = hostname();
        std::vector<std::string> out;
        for (const std::string& n : names)
        {
            out.push_back("orvane." + n + "." + method);
            out.push_back("orvane." + n + "." + host + "." + method);
        }
        return out;
    }
};

TEST_F(AdminInterfaceTest, SubjectsOfASubFeedAndTheDefaultGroup)
{
    create("<SubFeeds><Value>xs_1</Value></SubFeeds>", {}, "feed");
    findModule<KeshSession>(&mList, "KeshSession", "xs_1")->addMethod(new ScriptedMethod("getHAMode"));

    std::vector<std::string> expected = subjects({"xs_1", "xs", "feed_a", "feed", "all"}, "gethamode");
    const std::vector<std::string> defaults = subjects({"feed_a", "feed", "all"}, "setloglevel");
    expected.insert(expected.end(), defaults.begin(), defaults.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(adminSession().getOrvaneRequestSubjects(), expected);
}

TEST_F(AdminInterfaceTest, WithoutSubFeedsAndOneNameTheDefaultGroupHasFourInterfaces)
{
    create("", {}, "feed_a");
    std::vector<std::string> expected = subjects({"feed_a", "all"}, "setloglevel");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(adminSession().getOrvaneRequestSubjects(), expected);
}

TEST_F(AdminInterfaceTest, InterfaceNamesLeaveOutRepeats)
{
    using Names = std::list<std::string>;
    EXPECT_EQ(KeshInterfaceOrvane::interfaceNames("xs", "feed_a", "feed"), (Names{"xs", "feed_a", "feed", "all"}));
    EXPECT_EQ(KeshInterfaceOrvane::interfaceNames("feed_a", "feed_a", "feed"), (Names{"feed_a", "feed", "all"}));
    EXPECT_EQ(KeshInterfaceOrvane::interfaceNames("feed_b", "feed_a", "feed"), (Names{"feed_b", "feed", "feed_a", "all"}));
    EXPECT_EQ(KeshInterfaceOrvane::interfaceNames("", "x", "x"), (Names{"x", "all"}));
}

TEST_F(AdminInterfaceTest, ParamSeparator)
{
    struct Case
    {
        std::vector<std::string> args;
        std::string xml;
        std::string separator; // empty: start-up refused
    };
    const Case cases[] = {
        {{}, "", "\t"},
        {{"--orvane-param-separator", "\\t"}, "", "\t"},
        {{"--orvane-param-separator", ";"}, "", ";"},
        {{}, "<OrvaneParamSeparator>\\tx</OrvaneParamSeparator>", "\\tx"},
        {{}, "<OrvaneParamSeparator></OrvaneParamSeparator>", ""},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.xml + (c.args.empty() ? "" : c.args[1]));
        KeshInterfaceOrvane::setParamSeparator("unset");
        ModuleList& list = keptModuleList();
        registerModule<Log>(&list, "Log", &mLog, "default");
        ZunqConfigManager& cfg = config(c.xml, c.args);
        InitModule<NamedThreads>().createModule(&list, &cfg);
        InitModule<TarvokSessionQelmo>().createModule(&list, &cfg);
        InitModule<TarvokSessionQelmoOrvane>().createModule(&list, &cfg);
        InitModule<KeshSession>().createModule(&list, &cfg);
        if (c.separator.empty())
        {
            EXPECT_THROW(InitModule<KeshInterfaceOrvane>().createModule(&list, &cfg), InitModuleError);
            continue;
        }
        InitModule<KeshInterfaceOrvane>().createModule(&list, &cfg);
        EXPECT_EQ(KeshInterfaceOrvane::getParamSeparator(), c.separator);
    }
}

TEST(KeshMethodInvoker, ArgumentsSplitAtTheSeparator)
{
    struct Case
    {
        std::string args;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"5\t\tx", {"5", "", "x"}}, {"a\tb", {"a", "b"}}, {"a\t", {"a"}},
        {"\ta", {"", "a"}},         {"", {}},              {"one", {"one"}},
    };
    for (const Case& c : cases)
    {
        KeshParamList in;
        KeshMethodInvoker::splitArgs(c.args, "\t", in);
        std::vector<std::string> got;
        for (std::size_t i = 0; i < in.size(); ++i)
        {
            EXPECT_EQ(in.getParam(i)->getName(), "Arg" + std::to_string(i));
            got.push_back(in.getParam(i)->getValue());
        }
        EXPECT_EQ(got, c.expected) << c.args;
    }
}

TEST(KeshMethodInvoker, LongResultsAreCutIntoRecordSizedChunks)
{
    std::string withBreak(2500, 'a');
    withBreak[1000] = '\n';
    const std::string plain1300(1300, 'b');
    struct Case
    {
        std::string result;
        std::vector<std::string> chunks;
    };
    const Case cases[] = {
        {withBreak, {withBreak.substr(0, 1000), withBreak.substr(1001, 1199), withBreak.substr(2200)}},
        {plain1300, {plain1300.substr(0, 1199), plain1300.substr(1199)}},
        {std::string(1199, 'c'), {std::string(1199, 'c')}},
        {std::string(1200, 'd'), {std::string(1199, 'd'), "d"}},
        {"", {}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(KeshMethodInvoker::chunk(c.result), c.chunks) << c.result.size();
}

// The direct path: no target thread, so the method runs here and the reply
// goes straight to the client.
class DirectInvokeTest : public AdminFixture
{
protected:
    void SetUp() override
    {
        AdminFixture::SetUp();
        KeshInterfaceOrvane::setParamSeparator("\t");
        mSession.setLog(&mLog);
        mSession.setOrvaneClient(&mClient);
    }
    void request(KeshMethod& method, const std::string& args, const std::string& replySubject = "host.1.7")
    {
        KeshMethodInvoker invoker(method, mSession, nullptr, mLog, true, false, "feed");
        TarvokOldMsg msg;
        msg.setSendSubject("orvane.feed." + method.getName());
        msg.setReplySubject(replySubject);
        msg.setArgs(args);
        invoker.onMsg(nullptr, msg);
    }
    TarvokSession mSession;
    RecordingClient mClient;
};

TEST_F(DirectInvokeTest, ReplyRecordCarriesTheResultBackToTheReplySubject)
{
    ScriptedMethod method("getStatus");
    method.result = "all well";
    request(method, "x\ty");
    ASSERT_EQ(method.lastIn.size(), 2u);
    ASSERT_EQ(mClient.records.size(), 1u);
    const std::string& rec = mClient.records[0];
    EXPECT_EQ(field(rec, 1, 100), "host.1.7");
    EXPECT_EQ(field(rec, 101, 50), "orvane.feed.getStatus");
    EXPECT_EQ(field(rec, 151, 1200), "all well");
    EXPECT_EQ(field(rec, 1351, 50), "feed");
    EXPECT_EQ(field(rec, 1401, 50), "getStatus");
    EXPECT_EQ(mSink.count("KeshInterfaceOrvane::invoke (feed::getStatus,x\ty)"), 1);
}

TEST_F(DirectInvokeTest, NoReplyWithoutResultOrReplySubject)
{
    ScriptedMethod silent("doIt");
    request(silent, "");
    ScriptedMethod answering("getIt");
    answering.result = "r";
    request(answering, "", "");
    EXPECT_TRUE(mClient.records.empty());
}

TEST_F(DirectInvokeTest, QuietMethodsAreNotLogged)
{
    ScriptedMethod method("getOrluStats");
    method.setQuiet(true);
    method.result = "r";
    request(method, "a");
    EXPECT_EQ(mSink.count("KeshInterfaceOrvane::invoke"), 0);
    EXPECT_EQ(mSink.count("KeshInterfaceOrvane::reply(feed::getOrluStats)"), 1);
}

// What a failing method answers; none of it escapes the invoker.
TEST_F(DirectInvokeTest, FailuresAreAnswered)
{
    struct Case
    {
        std::string throwWhat;
        std::string reply; // the start of the reply text
    };
    const Case cases[] = {
        {"usage", "getBroken"}, // the full help names the method
        {"bad state", "Error: bad state"},
        {"int", "Error: unknown exception"},
    };
    for (const Case& c : cases)
    {
        mClient.records.clear();
        ScriptedMethod method("getBroken");
        method.throwWhat = c.throwWhat;
        EXPECT_NO_THROW(request(method, "a"));
        ASSERT_EQ(mClient.records.size(), 1u) << c.throwWhat;
        EXPECT_EQ(field(mClient.records[0], 151, 1200).rfind(c.reply, 0), 0u) << field(mClient.records[0], 151, 1200);
    }

    mClient.records.clear();
    Log processLog;
    processLog.setLevel(LOG_LEVEL_INFO);
    KeshSetLogLevel setLogLevel(processLog);
    EXPECT_NO_THROW(request(setLogLevel, "verbose"));
    ASSERT_EQ(mClient.records.size(), 1u);
    EXPECT_EQ(field(mClient.records[0], 151, 1200), "Error: Unknown LogLevel:VERBOSE");
    EXPECT_EQ(processLog.getLevel(), LOG_LEVEL_INFO);
    EXPECT_EQ(mSink.count("failed: Unknown LogLevel:VERBOSE"), 1);
}

// A requester may send requests as fast as it likes: the lines they cause
// (invocation and failure on the method's thread, replies on the admin
// session's) stop at ten a minute each, and every request is still run and
// answered.
TEST_F(DirectInvokeTest, RequestLinesStopAtTheLimitAndEveryRequestIsAnswered)
{
    ScriptedMethod method("getBroken");
    method.throwWhat = "bad state";
    KeshMethodInvoker invoker(method, mSession, nullptr, mLog, true, false, "feed");
    for (int i = 0; i < 15; ++i)
    {
        TarvokOldMsg msg;
        msg.setSendSubject("orvane.feed.getBroken");
        msg.setReplySubject("host.1.7");
        msg.setArgs("a");
        invoker.onMsg(nullptr, msg);
    }
    EXPECT_EQ(mClient.records.size(), 15u);
    EXPECT_EQ(mSink.count("KeshInterfaceOrvane::invoke (feed::getBroken,a)") +
                  mSink.count("KeshInterfaceOrvane::invoke (feed::getBroken): failed: bad state"),
              10);
    EXPECT_EQ(mSink.count("KeshInterfaceOrvane::reply(feed::getBroken)"), 10);
}

TEST_F(DirectInvokeTest, LongResultGoesOutAsSeveralRecords)
{
    ScriptedMethod method("dump");
    method.result = std::string(1300, 'z');
    request(method, "");
    ASSERT_EQ(mClient.records.size(), 2u);
    EXPECT_EQ(field(mClient.records[0], 151, 1200).size(), 1199u);
    EXPECT_EQ(field(mClient.records[1], 151, 1200).size(), 101u);
}

} // namespace
