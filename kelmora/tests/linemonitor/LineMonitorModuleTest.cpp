// The line monitor's and the watcher's factories from temporary
// configurations: the data channel chosen, the start-up errors, the admin
// methods answered through the admin path, and the watcher's mode sequences.
#include "LineMonitorTestSupport.h"

#include "../host_admin/AdminTestSupport.h"

#include "kelmora/admin/KeshInterfaceOrvane.h"
#include "kelmora/admin/KeshMethodInvoker.h"
#include "kelmora/bus/MhMode.h"
#include "kelmora/stats/StatsManager.h"
#include "kelmora/supervision/LineMonitorWatcher.h"
#include "kelmora/thread/TarvokOldMsg.h"
#include "zunq/admin/KeshMethod.h"
#include "zunq/admin/KeshSession.h"

#include <gtest/gtest.h>

using namespace monitortest;

namespace
{

// The channels, sessions and configuration of sub-feed "A" as the earlier
// factories leave them; a test takes away what it needs missing.
class LineMonitorModuleTest : public admintest::AdminFixture
{
protected:
    struct Wiring
    {
        bool session = true;
        bool heartbeat = true;
        bool status = true;
        bool block = true;
        bool filtered = true;
        bool stats = true;
    };

    // Wires a fresh module list (a start-up of its own).
    void wire(const Wiring& w, const std::string& xml = "", std::vector<std::string> args = {})
    {
        if (mL != nullptr)
        {
            mL = &keptModuleList();
            registerModule<Log>(mL, "Log", &mLog, "default");
        }
        mL = mL != nullptr ? mL : &mList;
        ModuleList& list = *mL;
        mCfg = &config(xml, std::move(args));
        if (w.stats)
            registerModule<StatsManager>(&list, "StatsManager", &mStats, "default");
        registerModule<Orlu<TerminateAll>>(&list, "OrluTerminateAll", &mTerminate, "default");
        registerModule<std::list<std::string>>(&list, "SubFeeds", &mSubFeeds, "default");
        if (!mRunnable)
        {
            mRunnable = std::make_unique<Runnable>("A", *mThreadConfig, list, mLog, 10000u);
            mSession.setRunnable(mRunnable.get());
            mSession.setLog(&mLog);
        }
        if (w.session)
            registerModule<TarvokSession>(&list, "TarvokSession", &mSession, "A");
        if (w.heartbeat)
            registerModule<Orlu<LineHeartbeat>>(&list, "OrluLineHeartbeat", &mHeartbeats, "A");
        if (w.status)
            registerModule<Orlu<LineStatus>>(&list, "OrluLineStatus", &mStatuses, "A");
        if (w.block)
            registerModule<Orlu<LineData>>(&list, "OrluLineDataBlock", &mBlock, "A");
        if (w.filtered)
            registerModule<Orlu<LineData>>(&list, "OrluLineData", &mFiltered, "A");
        registerModule<KeshSession>(&list, "KeshSession", &mKesh, "A");
        registerModule<Orlu<MhMode>>(&list, "OrluMhMode", &mModes, "A");
    }

    LineMonitor* monitor() { return findModule<LineMonitor>(mL, "LineMonitor", "A"); }

    // Which channel the monitor reads: a record from line L on each.
    std::string channelRead()
    {
        LineMonitor* m = monitor();
        m->monitorOn("L");
        OrluPublisher<LineData> line("L");
        TestRecord record(1);
        line.setDestination(&mBlock);
        line.publish(record);
        if (*m->getLineStatus("L") == LineStatus::UP)
            return "block";
        line.setDestination(&mFiltered);
        line.publish(record);
        return *m->getLineStatus("L") == LineStatus::UP ? "filtered" : "none";
    }

    // Runs one admin request through the relay path; the reply's text.
    std::string request(const std::string& method, const std::string& args)
    {
        KeshMethod* found = nullptr;
        for (KeshMethod* m : mKesh.getMethods())
            if (m->getName() == method)
                found = m;
        if (found == nullptr)
            return "no method " + method;
        KeshInterfaceOrvane::setParamSeparator("\t");
        TarvokSession adminSession;
        adminSession.setLog(&mLog);
        adminSession.setOrvaneClient(&mClient);
        mClient.records.clear();
        KeshMethodInvoker invoker(*found, adminSession, nullptr, mLog, true, false, "A");
        TarvokOldMsg msg;
        msg.setSendSubject("orvane.A." + method);
        msg.setReplySubject("host.1.7");
        msg.setArgs(args);
        invoker.onMsg(nullptr, msg);
        return mClient.records.size() == 1 ? admintest::field(mClient.records[0], 151, 1200) : "no reply";
    }

    ModuleList* mL = nullptr;
    ZunqConfigManager* mCfg = nullptr;
    std::unique_ptr<ZunqConfigManager> mThreadConfig = makeConfig({"feedd"});
    std::list<std::string> mSubFeeds{"A"};
    Orlu<TerminateAll> mTerminate{"TerminateAll", "default"};
    StatsManager mStats;
    Orlu<LineHeartbeat> mHeartbeats{"LineHeartbeat.A", "A"};
    Orlu<LineStatus> mStatuses{"LineStatus.A", "A"};
    Orlu<LineData> mBlock{"LineDataBlock.A", "A"};
    Orlu<LineData> mFiltered{"LineData.A", "A"};
    Orlu<MhMode> mModes{"MhMode.A", "A"};
    KeshSession mKesh{"A"};
    TarvokSession mSession;
    std::unique_ptr<Runnable> mRunnable; // not started: timers wait in its queue
    admintest::RecordingClient mClient;
};

TEST_F(LineMonitorModuleTest, DataChannel)
{
    struct Case
    {
        std::string xml;
        bool block;
        std::string reads;
    };
    const Case cases[] = {
        {"", true, "block"},
        {"<IgnoreOrluLineDataBlock>true</IgnoreOrluLineDataBlock>"
         "<A><IgnoreOrluLineDataBlock>false</IgnoreOrluLineDataBlock></A>",
         true, "filtered"},
        {"<A><IgnoreOrluLineDataBlock>true</IgnoreOrluLineDataBlock></A>", true, "filtered"},
        {"", false, "filtered"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.xml + (c.block ? "" : " (no block channel)"));
        Wiring w;
        w.block = c.block;
        wire(w, c.xml);
        InitModule<LineMonitor>().createModule(mL, mCfg);
        ASSERT_NE(monitor(), nullptr);
        EXPECT_EQ(channelRead(), c.reads);
    }
}

TEST_F(LineMonitorModuleTest, MissingModulesEndStartUp)
{
    struct Case
    {
        Wiring wiring;
        std::string error;
    };
    const std::string prefix = "InitModule<LineMonitor>(A): could not find ";
    const Case cases[] = {
        {{false, true, true, true, true}, prefix + "TarvokSession object"},
        {{true, false, true, true, true}, prefix + "OrluLineHeartbeat object"},
        {{true, true, false, true, true}, prefix + "OrluLineStatus object"},
        {{true, true, true, false, false}, prefix + "OrluLineData object"},
        {{true, true, true, true, true, false}, "InitModule<LineMonitor>: could not find StatsManager object"},
    };
    for (const Case& c : cases)
    {
        wire(c.wiring);
        try
        {
            InitModule<LineMonitor>().createModule(mL, mCfg);
            ADD_FAILURE() << "no error for " << c.error;
        }
        catch (const InitModuleError& e)
        {
            EXPECT_EQ(std::string(e.what()), c.error);
        }
    }
}

TEST_F(LineMonitorModuleTest, AQualityIntervalBeyond32BitsEndsStartUp)
{
    wire({}, "<A><LineQualityInterval>4294967296</LineQualityInterval></A>");
    try
    {
        InitModule<LineMonitor>().createModule(mL, mCfg);
        ADD_FAILURE() << "an interval of 2^32 ms was taken";
    }
    catch (const InitModuleError& e)
    {
        EXPECT_EQ(std::string(e.what()),
                  "InitModule<LineMonitor>(A): LineQualityInterval 4294967296 must be from 0 to 4294967295 ms");
    }
}

TEST_F(LineMonitorModuleTest, SettingsFromTheConfigurationAndTheStartingStatus)
{
    wire({}, "<A><LineMonitorInitState>false</LineMonitorInitState>"
             "<CheckSeqNumPerLine>true</CheckSeqNumPerLine></A>");
    StatusRecorder recorder("A");
    mStatuses.subscribe(&recorder);
    InitModule<LineMonitor>().createModule(mL, mCfg);
    LineMonitor* m = monitor();
    ASSERT_NE(m, nullptr);
    EXPECT_FALSE(m->getInitMonitorOn());
    EXPECT_TRUE(m->getCheckSeqNumPerLine());
    EXPECT_EQ(m->getStatus(), LineStatus::OFF);
    EXPECT_EQ(recorder.texts, (Texts{"off"}));
    EXPECT_EQ(mStats.reporters(), (std::vector<StatsReporter*>{m})); // reports with the others
    m->monitorOn("L1");
    mStats.print(600);
    EXPECT_EQ(mSink.count("[LineMonitor::print] Channel:A [L1] is wait"), 1);
    std::vector<std::string> names;
    for (KeshMethod* method : mKesh.getMethods())
        names.push_back(method->getName());
    EXPECT_EQ(names, (std::vector<std::string>{"setLineQualityInterval", "monitorOn", "monitorOff",
                                               "setCheckSeqNumPerLine", "getLineMonitorState"}));
    EXPECT_EQ(mSink.count("InitModule<LineMonitor>(A): creating KeshGetLineMonitorState object"), 1);
    mStatuses.unsubscribe(&recorder);
}

TEST_F(LineMonitorModuleTest, AdminMethods)
{
    wire({});
    InitModule<LineMonitor>().createModule(mL, mCfg);
    LineMonitor* m = monitor();
    ASSERT_NE(m, nullptr);
    m->monitorOn("239.1.1.1:5000");
    struct Case
    {
        std::string method;
        std::string args;
        std::string reply; // a usage error answers the method's help: "<name> (..."
    };
    const Case cases[] = {
        {"getLineMonitorState", "", "A: wait"},
        {"getLineMonitorState", "x", "getLineMonitorState ("},
        {"setCheckSeqNumPerLine", "ON", "Set to on"},
        {"setCheckSeqNumPerLine", "yes", "setCheckSeqNumPerLine ("},
        {"setCheckSeqNumPerLine", "", "setCheckSeqNumPerLine ("},
        {"setCheckSeqNumPerLine", "on\toff", "setCheckSeqNumPerLine ("},
        {"setLineQualityInterval", "5000", "Line quality interval set"},
        {"setLineQualityInterval", "-5", "setLineQualityInterval ("},
        {"setLineQualityInterval", "5s", "setLineQualityInterval ("},
        {"setLineQualityInterval", "4294967296", "setLineQualityInterval ("},
        {"setLineQualityInterval", "1\t2", "setLineQualityInterval ("},
        {"monitorOff", "239.1.1.1:5000", "Monitoring is OFF for target: 239.1.1.1:5000"},
        {"monitorOn", "a\tb", "monitorOn ("},
        {"monitorOn", "", "Monitoring is ON"},
        {"monitorOff", "", "Monitoring is OFF"},
        {"getLineMonitorState", "", "A: off"},
        {"monitorOn", "239.1.1.1:5000", "Monitoring is ON for target: 239.1.1.1:5000"},
    };
    for (const Case& c : cases)
    {
        const std::string reply = request(c.method, c.args);
        EXPECT_EQ(reply.rfind(c.reply, 0), 0u) << c.method << "(" << c.args << "): " << reply;
        if (c.method == "setCheckSeqNumPerLine" && c.args == "ON")
        {
            EXPECT_TRUE(m->getCheckSeqNumPerLine());
        }
    }
    EXPECT_TRUE(m->getCheckSeqNumPerLine()); // the refused words changed nothing
    EXPECT_EQ(*m->getLineStatus("239.1.1.1:5000"), LineStatus::WAIT);
    EXPECT_EQ(mSink.count("LineMonitor: set Quality Interval to 5000"), 1);
}

TEST_F(LineMonitorModuleTest, WatcherFollowsSleep)
{
    struct Case
    {
        std::vector<MhMode::Mode> modes;
        Texts published;
        int offs;
        int ons;
    };
    const Case cases[] = {
        {{MhMode::NORMAL, MhMode::SLEEP, MhMode::NORMAL}, {"off", "wait"}, 1, 1},
        {{MhMode::SLEEP, MhMode::SLEEP}, {"off"}, 1, 0},
        {{MhMode::RETRANS, MhMode::HALT}, {}, 0, 0},
    };
    wire({});
    InitModule<LineMonitor>().createModule(mL, mCfg);
    LineMonitor* m = monitor();
    ASSERT_NE(m, nullptr);
    for (const Case& c : cases)
    {
        auto* watcher = new LineMonitorWatcher(*m, mLog);
        mModes.subscribe(watcher);
        m->monitorOn();
        m->monitorOn("L1");
        m->monitorDisable("L2");
        OrluPublisher<LineData> line("L1");
        line.setDestination(&mBlock);
        line.publish(TestRecord(5));
        StatusRecorder recorder("A");
        mStatuses.subscribe(&recorder);
        const int offsBefore = mSink.count("LineMonitorWatcher: line monitoring is OFF");
        const int onsBefore = mSink.count("LineMonitorWatcher: line monitoring is ON");
        OrluPublisher<MhMode> handler("A");
        handler.setDestination(&mModes);
        for (MhMode::Mode mode : c.modes)
            handler.publish(MhMode(mode));
        EXPECT_EQ(recorder.texts, c.published);
        EXPECT_EQ(mSink.count("LineMonitorWatcher: line monitoring is OFF") - offsBefore, c.offs);
        EXPECT_EQ(mSink.count("LineMonitorWatcher: line monitoring is ON") - onsBefore, c.ons);
        EXPECT_EQ(*m->getLineStatus("L2"), LineStatus::DISABLED);
        mStatuses.unsubscribe(&recorder);
        mModes.unsubscribe(watcher);
        delete watcher;
    }
}

TEST_F(LineMonitorModuleTest, WatcherFactory)
{
    struct Case
    {
        std::vector<std::string> args;
        bool built;
    };
    const Case cases[] = {{{}, true}, {{"--line-monitor-off-during-sleep", "false"}, false}};
    for (const Case& c : cases)
    {
        wire({}, "", c.args);
        InitModule<LineMonitor>().createModule(mL, mCfg);
        InitModule<LineMonitorWatcher>().createModule(mL, mCfg);
        EXPECT_EQ(findModule<LineMonitorWatcher>(mL, "LineMonitorWatcher", "A") != nullptr, c.built);
    }
    wire({});
    try
    {
        InitModule<LineMonitorWatcher>().createModule(mL, mCfg);
        ADD_FAILURE() << "a watcher without a monitor";
    }
    catch (const InitModuleError& e)
    {
        EXPECT_EQ(std::string(e.what()), "InitModule<LineMonitorWatcher> (A): could not find LineMonitor object");
    }
}

} // namespace
