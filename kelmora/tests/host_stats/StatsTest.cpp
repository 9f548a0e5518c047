// Periodic statistics: the manager's reporters, its admin methods and timer,
// and the bus statistics collector's report.
#include "../host_admin/AdminTestSupport.h"

#include "kelmora/bus/LineAdmin.h"
#include "kelmora/bus/OrluChannelFactory.h"
#include "kelmora/linedata/LineData.h"
#include "kelmora/stats/OrluStatsCollector.h"
#include "kelmora/stats/StatsManager.h"
#include "kelmora/admin/KeshSessionModule.h"
#include "kelmora/supervision/LineStatus.h"
#include "kelmora/thread/SubFeeds.h"
#include "kelmora/thread/TarvokSessionFactory.h"
#include "kelmora/thread/TarvokTimer.h"
#include "zunq/admin/KeshSession.h"
#include "zunq/config/ConfigError.h"

#include <gtest/gtest.h>


using namespace admintest;

namespace
{

// Remembers what the manager asked of it.
struct RecordingReporter : StatsReporter
{
    void print(unsigned int seconds) override { prints.push_back(seconds); }
    void reset(bool full) override { resets.push_back(full); }
    std::vector<unsigned int> prints;
    std::vector<bool> resets;
};

class StatsModulesTest : public AdminFixture
{
protected:
    // The modules up to the statistics, in start-up order, from `xml`.
    void create(const std::string& xml, std::vector<std::string> args = {})
    {
        ZunqConfigManager& cfg = config(xml, std::move(args));
        InitModule<NamedThreads>().createModule(&mList, &cfg);
        InitModule<Orlu<TerminateAll>>().createModule(&mList, &cfg);
        InitModule<TarvokSessionQelmo>().createModule(&mList, &cfg);
        InitModule<SubFeeds>().createModule(&mList, &cfg);
        InitModule<KeshSession>().createModule(&mList, &cfg);
        InitModule<Orlu<LineAdmin>>().createModule(&mList, &cfg);
        InitModule<StatsManager>().createModule(&mList, &cfg);
        InitModule<OrluStats>().createModule(&mList, &cfg);
        InitModule<Orlu<LineStatus>>().createModule(&mList, &cfg);
        InitModule<Orlu<LineData>>().createModule(&mList, &cfg);
        stats = findModule<StatsManager>(&mList, "StatsManager", "default");
        ASSERT_NE(stats, nullptr);
        stats->add(&reporter);
    }

    KeshMethod* method(const std::string& name)
    {
        auto* kesh = findModule<KeshSession>(&mList, "KeshSession", "default");
        for (KeshMethod* m : kesh->getMethods())
            if (m->getName() == name)
                return m;
        return nullptr;
    }

    unsigned int timerInterval()
    {
        unsigned int interval = 0;
        static_cast<KeshSetStatsInterval*>(method("setStatsInterval"))->timer().getInterval(interval);
        return interval;
    }

    // The method's answer "Message", or the usage error as "usage".
    std::string invoke(const std::string& name, const std::vector<std::string>& args)
    {
        KeshParamList in, out;
        for (const std::string& a : args)
            in.add("", a);
        try
        {
            method(name)->invoke(in, out);
        }
        catch (const KeshUsageError&)
        {
            return "usage";
        }
        const KeshParam* message = out.getParam(std::string("Message"));
        return message != nullptr ? message->getValue() : "";
    }

    StatsManager* stats = nullptr;
    RecordingReporter reporter;
};

TEST_F(StatsModulesTest, DefaultIntervalAndOnlyLineDataChannelsReported)
{
    create("");
    EXPECT_EQ(timerInterval(), 600000u);
    auto* collector = findModule<OrluStatsCollector>(&mList, "OrluStatsCollector", "default");
    ASSERT_NE(collector, nullptr);
    // The collector comes first, then what the test added.
    ASSERT_EQ(stats->reporters().size(), 2u);
    EXPECT_EQ(stats->reporters()[0], collector);
    ASSERT_EQ(collector->channels().size(), 1u);
    EXPECT_EQ(collector->channels()[0], findModule<Orlu<LineData>>(&mList, "OrluLineData", "default"));
}

TEST_F(StatsModulesTest, SetStatsIntervalTakesWholeSecondsThatFitTheTimer)
{
    create("");
    struct Case
    {
        std::vector<std::string> args;
        std::string answer;
        unsigned int interval;
    };
    const Case cases[] = {
        {{"30"}, "Statistics interval set", 30000u},
        {{"4294967"}, "Statistics interval set", 4294967000u},
        {{"1"}, "Statistics interval set", 1000u},
        // Refused: the period stays as it was.
        {{"0"}, "usage", 1000u},
        {{"-1"}, "usage", 1000u},
        {{"abc"}, "usage", 1000u},
        {{"12x"}, "usage", 1000u},
        {{""}, "usage", 1000u},
        {{" 5"}, "usage", 1000u},
        {{"4294968"}, "usage", 1000u},
        {{"99999999999"}, "usage", 1000u},
        {{"30", "40"}, "usage", 1000u},
        {{}, "usage", 1000u},
    };
    for (const Case& c : cases)
    {
        const std::size_t resetsBefore = reporter.resets.size();
        EXPECT_EQ(invoke("setStatsInterval", c.args), c.answer) << testing::PrintToString(c.args);
        EXPECT_EQ(timerInterval(), c.interval) << testing::PrintToString(c.args);
        // A new period starts a fresh interval; a refusal leaves the counts alone.
        const bool accepted = c.answer != "usage";
        ASSERT_EQ(reporter.resets.size(), resetsBefore + (accepted ? 1 : 0)) << testing::PrintToString(c.args);
        if (accepted)
        {
            EXPECT_FALSE(reporter.resets.back());
        }
    }
}

TEST_F(StatsModulesTest, ResetStatsResetsFullyAndTakesNoArgument)
{
    create("");
    EXPECT_EQ(invoke("resetStats", {"now"}), "usage");
    EXPECT_TRUE(reporter.resets.empty());
    EXPECT_EQ(invoke("resetStats", {}), "Statistics reset");
    EXPECT_EQ(reporter.resets, std::vector<bool>{true});
    EXPECT_EQ(timerInterval(), 600000u);
}

TEST_F(StatsModulesTest, LineResetOfAnySubFeedResetsStatisticsOtherActionsDoNot)
{
    create("<SubFeeds><Value>A</Value><Value>B</Value></SubFeeds>");
    OrluPublisher<LineAdmin> toA("test"), toB("test");
    toA.setDestination(findModule<Orlu<LineAdmin>>(&mList, "OrluLineAdmin", "A"));
    toB.setDestination(findModule<Orlu<LineAdmin>>(&mList, "OrluLineAdmin", "B"));
    ASSERT_NE(toA.getDestination(), nullptr);
    ASSERT_NE(toB.getDestination(), nullptr);

    LineAdmin none, setSeq, reset;
    setSeq.actionSetSequence(42);
    reset.actionSetReset();
    toA.publish(none);
    toA.publish(setSeq);
    EXPECT_TRUE(reporter.resets.empty());
    toB.publish(reset);
    toA.publish(reset);
    EXPECT_EQ(reporter.resets, (std::vector<bool>{true, true}));
}

TEST_F(StatsModulesTest, StatsIntervalOutsideOneSecondToTheTimersLimitStopsStartUp)
{
    for (const char* value : {"0", "-5", "abc", "4294968", "1.5"})
    {
        ZunqConfigManager& cfg = config("", {std::string("--stats-interval=") + value});
        InitModule<NamedThreads>().createModule(&mList, &cfg);
        InitModule<TarvokSessionQelmo>().createModule(&mList, &cfg);
        InitModule<KeshSession>().createModule(&mList, &cfg);
        EXPECT_THROW(InitModule<StatsManager>().createModule(&mList, &cfg), ConfigError) << value;
    }
    create("<StatsInterval>4294967</StatsInterval>");
    EXPECT_EQ(timerInterval(), 4294967000u);
}

TEST_F(StatsModulesTest, MissingAdminSessionStopsStartUp)
{
    ZunqConfigManager& cfg = config("");
    InitModule<NamedThreads>().createModule(&mList, &cfg);
    InitModule<TarvokSessionQelmo>().createModule(&mList, &cfg);
    try
    {
        InitModule<StatsManager>().createModule(&mList, &cfg);
        FAIL() << "no error";
    }
    catch (const InitModuleError& error)
    {
        EXPECT_STREQ(error.what(), "InitModule<StatsManager>: could not find KeshSession object");
    }
}

TEST(StatsHandler, ReportsTheTimersIntervalInWholeSecondsAtLeastOne)
{
    StatsManager stats;
    RecordingReporter reporter;
    stats.add(&reporter);
    Log log;
    StatsHandler handler(stats, log);
    TarvokTimer timer;
    for (unsigned int ms : {500u, 999u, 1000u, 1999u, 30000u})
    {
        timer.setInterval(ms);
        handler.onTimer(&timer);
    }
    EXPECT_EQ(reporter.prints, (std::vector<unsigned int>{1, 1, 1, 1, 30}));
}

class OrluStatsCollectorTest : public HostFixture
{
protected:
    OrluStatsCollectorTest()
    {
        for (Orlu<int>* c : {&dashed, &quiet, &plain})
            collector.addOrlu(c);
        toDashed.setDestination(&dashed);
        toPlain.setDestination(&plain);
    }
    void send(OrluPublisher<int>& to, int n)
    {
        for (int i = 0; i < n; ++i)
            to.publish(i);
    }
    int lines() { return mSink.count("[StatsCollector]"); }

    Orlu<int> dashed{"feed-a-LineData.A", ""}, quiet{"Quiet", ""}, plain{"NoDash", ""};
    OrluPublisher<int> toDashed{"p"}, toPlain{"p"};
    OrluStatsCollector collector;
};

TEST_F(OrluStatsCollectorTest, OneLinePerBusyChannelNamedAfterItsLastDash)
{
    send(toDashed, 3);
    send(toPlain, 1);
    collector.print(1);
    EXPECT_EQ(lines(), 2);
    EXPECT_EQ(mSink.count("[StatsCollector] Channel:LineData.A rate:3 max 3 total:3"), 1);
    EXPECT_EQ(mSink.count("[StatsCollector] Channel:NoDash rate:1 max 1 total:1"), 1);

    // Each report closes the interval: the next one shows only what came since.
    send(toDashed, 1);
    collector.print(1);
    EXPECT_EQ(lines(), 3);
    EXPECT_EQ(mSink.count("[StatsCollector] Channel:LineData.A rate:1 max 3 total:4"), 1);

    collector.print(1);
    EXPECT_EQ(lines(), 3);
}

TEST_F(OrluStatsCollectorTest, FullResetStartsTheCountsAgain)
{
    send(toDashed, 5);
    collector.reset(true);
    send(toDashed, 2);
    collector.print(1);
    EXPECT_EQ(mSink.count("[StatsCollector] Channel:LineData.A rate:2 max 2 total:2"), 1);
}

TEST_F(OrluStatsCollectorTest, GetOrluStatsReportsNowAndAnswersOk)
{
    KeshGetOrluStats method(collector, "host", "feedd");
    send(toPlain, 2);
    KeshParamList in, out;
    in.add("", "ignored");
    method.invoke(in, out);
    ASSERT_NE(out.getParam(std::string("Message")), nullptr);
    EXPECT_EQ(out.getParam(std::string("Message"))->getValue(), "OK");
    EXPECT_EQ(mSink.count("[StatsCollector] Channel:NoDash rate:2 max 2 total:2"), 1);
}

} // namespace
