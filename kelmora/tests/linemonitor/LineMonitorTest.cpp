// The line monitor on its session's thread of a real framework: data,
// heartbeats, handler statuses and quality expiries (the quality handler
// called directly, and once the real timer), with the statuses it publishes
// and the lines it logs.
#include "LineMonitorTestSupport.h"

#include <gtest/gtest.h>

#include <regex>

using namespace monitortest;

namespace
{

// Runs `work` on the monitor's thread "MON" of a running framework.
void onMonitorThread(MonitorHost& host, const std::function<void(TarvokSession&)>& work)
{
    HostThread<> mon(host, "MON");
    mon.runnable->work = [&] { work(mon.session); };
    ASSERT_TRUE(hostrun::runFramework({{"MON", 100}}, "", std::chrono::seconds(30)));
}

// "LineMonitor(feed): <text> during last <ms> ms (at HH:MM:SS)"
std::string reportPattern(const std::string& text, int ms)
{
    return "^LineMonitor\\(feed\\): " + text + " during last " + std::to_string(ms) +
           " ms \\(at [0-9]{2}:[0-9]{2}:[0-9]{2}\\)$";
}

int countMatching(const ThreadSink& sink, const std::string& contains, const std::string& pattern, LogLevels level,
                  std::size_t from = 0)
{
    int n = 0;
    for (const Line& line : sink.with(contains, from))
        n += line.level == level && std::regex_match(line.text, std::regex(pattern));
    return n;
}

TEST(LineMonitor, OutageAndRecoveryOfOneLine)
{
    MonitorHost host;
    onMonitorThread(host, [&](TarvokSession& session) {
        Monitored m("feed", session, host.log);
        m.monitor.monitorOn();
        m.monitor.monitorOn("L1");
        m.data("L1");
        EXPECT_EQ(m.monitor.getStatus(), LineStatus::UP);
        m.monitor.onQualityTimer(); // had data: nothing changes
        for (int i = 0; i < 3; ++i)
            m.monitor.onQualityTimer();
        EXPECT_EQ(m.lineStatus("L1"), "down");
        m.heartbeat("L1"); // a heartbeat brings the line back as data does
        m.monitor.onQualityTimer();
        m.monitor.onQualityTimer(); // a second outage
        m.data("L1");
        EXPECT_EQ(m.recorder.texts, (Texts{"wait", "up", "down", "up", "down", "up"}));
    });
    EXPECT_EQ(countMatching(host.lines, "no data for line L1", reportPattern("no data for line L1", 65000),
                            LOG_LEVEL_WARNING),
              2); // once per outage, not once per silent interval
    EXPECT_EQ(countMatching(host.lines, "no data at all", reportPattern("no data at all", 65000), LOG_LEVEL_ERROR), 2);
    EXPECT_EQ(countMatching(host.lines, "data restored on line: L1", reportPattern("data restored on line: L1", 65000),
                            LOG_LEVEL_INFO),
              2);
    EXPECT_EQ(host.lines.count("LineMonitor(feed): now receiving data on 1 of 1 monitored lines"), 3);
    EXPECT_EQ(host.lines.count("LineMonitor(feed:L1): monitoring is ON"), 0); // new lines start monitored
    EXPECT_EQ(host.lines.count("LineMonitor(feed): line L1 was not known; added it"), 1);
}

TEST(LineMonitor, PartIsPublishedOnceAndUpWhenEveryLineIsBack)
{
    MonitorHost host;
    onMonitorThread(host, [&](TarvokSession& session) {
        Monitored m("feed", session, host.log);
        m.monitor.monitorOn("L1");
        m.monitor.monitorOn("L2");
        m.data("L1");
        EXPECT_EQ(m.monitor.getStatus(), LineStatus::PART); // L2 still waits
        m.data("L2");
        for (int i = 0; i < 3; ++i)
        {
            m.data("L1");
            m.monitor.onQualityTimer();
        }
        m.data("L2");
        EXPECT_EQ(m.recorder.texts, (Texts{"part", "up", "part", "up"}));
    });
    EXPECT_EQ(host.lines.count("LineMonitor(feed): now receiving data on 1 of 2 monitored lines"), 1);
    EXPECT_EQ(host.lines.count("LineMonitor(feed): no data for line L2"), 1);
    EXPECT_EQ(host.lines.count("no data at all"), 0);
}

// Lines whose names end alike are two lines; the suffix rule and the
// destination host still find a line when no name matches exactly.
TEST(LineMonitor, LinesAreFoundByExactNameBeforeTheSuffixRule)
{
    MonitorHost host;
    onMonitorThread(host, [&](TarvokSession& session) {
        Monitored m("feed", session, host.log);
        m.monitor.monitorOn("10.1.1.1:5000");
        m.monitor.monitorOn("0.1.1.1:5000");
        m.monitor.monitorOn("A:239.2.2.2:6000");
        m.monitor.monitorOn("239.3.3.3:7000");
        m.data("0.1.1.1:5000");
        EXPECT_EQ(m.lineStatus("0.1.1.1:5000"), "up");
        EXPECT_EQ(m.lineStatus("10.1.1.1:5000"), "wait");
        m.data("10.1.1.1:5000");
        m.heartbeat("239.2.2.2:6000");
        EXPECT_EQ(m.lineStatus("A:239.2.2.2:6000"), "up");
        TestRecord byHost;
        byHost.mDestHost = "239.3.3.3:7000";
        m.data("handler-7", byHost);
        EXPECT_EQ(m.lineStatus("239.3.3.3:7000"), "up");
        TestRecord unknown;
        unknown.mDestHost = "239.9.9.9:1";
        m.data("handler-9", unknown); // ignored, nothing created
        m.heartbeat("");              // an empty name matches no named line
        EXPECT_EQ(m.monitor.getLineStatus("239.9.9.9:1"), nullptr);
        EXPECT_EQ(m.monitor.getStatus(), LineStatus::UP);
    });
}

TEST(LineMonitor, SequenceNumbersPerLine)
{
    struct Case
    {
        std::uint32_t seq;
        std::uint32_t next; // 0: one message
        bool control;
        bool ignore;
        std::string message; // "": none; {} stands for the line's name
        std::uint32_t quietNext; // a following number that must log nothing
    };
    const Case cases[] = {
        {11, 0, false, false, "", 12},
        {15, 0, false, false, "LineMonitor: sequence number gap ({}): missed 11-14", 16},
        {5, 0, false, false, "LineMonitor: received earlier sequence number ({}): 5", 6},
        {3, 8, false, false, "LineMonitor: received earlier sequence numbers ({}): 3-7", 8},
        {0, 0, false, false, "", 1},
        {5, 0, true, false, "", 6},
        {15, 0, false, true, "", 11}, // ignored: the last number stays 10
    };
    MonitorHost host;
    onMonitorThread(host, [&](TarvokSession& session) {
        Monitored m("feed", session, host.log);
        m.monitor.setCheckSeqNumPerLine(true);
        int row = 0;
        for (const Case& c : cases)
        {
            const std::string line = "L" + std::to_string(row++);
            m.monitor.monitorOn(line);
            m.data(line, 10);
            const std::size_t from = host.lines.mark();
            TestRecord record(c.seq);
            record.mNext = c.next;
            record.setIsControl(c.control);
            record.setIgnoreSeqNum(c.ignore);
            m.data(line, record);
            const std::size_t afterRow = host.lines.mark();
            m.data(line, c.quietNext);
            const int logged = host.lines.count("LineMonitor: ", from);
            std::string expected = c.message;
            if (const auto at = expected.find("{}"); at != std::string::npos)
                expected.replace(at, 2, line);
            EXPECT_EQ(logged, expected.empty() ? 0 : 1) << line;
            if (!expected.empty())
            {
                EXPECT_EQ(host.lines.count(expected, from), 1) << line;
            }
            EXPECT_EQ(host.lines.count("LineMonitor: ", afterRow), 0) << line << " then " << c.quietNext;
        }
        // Switched off, nothing is checked.
        m.monitor.setCheckSeqNumPerLine(false);
        const std::size_t from = host.lines.mark();
        m.data("L0", 500);
        EXPECT_EQ(host.lines.count("LineMonitor: ", from), 0);
    });
}

TEST(LineMonitor, PrintSkipsSlowLinesAndCountsAnIntervalOfZeroAsOne)
{
    MonitorHost host;
    onMonitorThread(host, [&](TarvokSession& session) {
        Monitored m("feed-A", session, host.log);
        m.monitor.monitorOn("L1");
        for (int i = 0; i < 15; ++i)
            m.data("L1");
        m.monitor.print(10); // rate 1: skipped, its 15 kept
        for (int i = 0; i < 10; ++i)
            m.heartbeat("L1");
        m.monitor.print(10);
        for (int i = 0; i < 3; ++i)
            m.data("L1");
        m.monitor.print(0);
        m.monitor.monitorOn("L2");
        m.monitor.print(10);
        m.monitor.reset(true);
        for (int i = 0; i < 40; ++i)
            m.data("L1");
        m.monitor.print(10);
    });
    EXPECT_EQ(host.lines.count("[LineMonitor::print] Channel:A lines are heartbeating"), 1);
    EXPECT_EQ(host.lines.count("[LineMonitor::print] Channel:A [L1] packets:25 rate:2 max:25 max rate:2 total:25"), 1);
    EXPECT_EQ(host.lines.count("[LineMonitor::print] Channel:A [L1] packets:3 rate:3 max:25 max rate:25 total:28"), 1);
    const auto waiting = host.lines.with("[LineMonitor::print] Channel:A [L2] is wait");
    ASSERT_EQ(waiting.size(), 2u);
    EXPECT_EQ(waiting[0].level, LOG_LEVEL_WARNING);
    EXPECT_EQ(host.lines.count("[LineMonitor::print] Channel:A [L1] packets:40 rate:4 max:40 max rate:4 total:40"), 1);
}

TEST(LineMonitor, HandlerStatusesAndEnforcedMonitorOff)
{
    struct Case
    {
        bool enforce;
        bool lineOn;
        LineStatus::StatusType status;
        std::string after;
    };
    const Case cases[] = {
        {false, false, LineStatus::UP, "wait"},  // a handler's status switches the line on
        {true, false, LineStatus::UP, "off"},    // ignored while the line is off
        {true, true, LineStatus::OFF, "off"},
        {false, true, LineStatus::DOWN, "down"}, // marked down, still monitored
    };
    MonitorHost host;
    onMonitorThread(host, [&](TarvokSession& session) {
        for (const Case& c : cases)
        {
            Monitored m("feed", session, host.log);
            m.monitor.setEnforceMonitorOff(c.enforce);
            m.monitor.monitorOn("L1");
            m.data("L1");
            if (!c.lineOn)
                m.monitor.monitorOff("L1");
            m.handlerStatus("L1", c.status);
            EXPECT_EQ(m.lineStatus("L1"), c.after) << c.enforce << c.lineOn << c.status;
            if (c.status == LineStatus::DOWN)
            {
                m.data("L1"); // still monitored: its data raises the sub-feed again
                EXPECT_EQ(m.lineStatus("L1"), "up");
            }
        }
    });
}

TEST(LineMonitor, SwitchesLeaveDisabledLinesAlone)
{
    MonitorHost host;
    onMonitorThread(host, [&](TarvokSession& session) {
        Monitored m("feed", session, host.log);
        m.monitor.monitorOn("L1");
        m.monitor.monitorDisable("L2");
        m.monitor.monitorOff();
        m.monitor.monitorOn();
        EXPECT_EQ(m.lineStatus("L1"), "wait");
        EXPECT_EQ(m.lineStatus("L2"), "dsbl");
        m.data("L2");
        m.data("L1");
        EXPECT_EQ(m.monitor.getStatus(), LineStatus::UP); // L2 is not counted
        m.monitor.monitorOff("L2");
        EXPECT_EQ(m.lineStatus("L2"), "dsbl");
        m.monitor.monitorDisable();
        EXPECT_EQ(m.lineStatus("L1"), "dsbl");
        EXPECT_EQ(m.recorder.texts, (Texts{"off", "wait", "up", "dsbl"}));
    });
}

// Statistics logging off: no counts for print, and the same states.
TEST(LineMonitor, LightPath)
{
    MonitorHost host;
    onMonitorThread(host, [&](TarvokSession& session) {
        Monitored m("feed", session, host.log);
        m.monitor.setEnableStatsLogging(false);
        m.monitor.setCheckSeqNumPerLine(true);
        m.monitor.monitorOn("L1");
        m.monitor.monitorOn("L2");
        m.monitor.monitorOff("L3");
        m.data("L1", 1);
        m.data("L1", 50); // no sequence check on this path
        m.heartbeat("L2");
        m.data("L3");
        EXPECT_EQ(m.lineStatus("L3"), "off");
        m.monitor.print(1);
        m.monitor.onQualityTimer(); // both had data
        m.data("L1");
        m.monitor.onQualityTimer(); // L2 silent
        TestRecord byHost;
        byHost.mDestHost = "L2";
        m.data("handler", byHost);
        EXPECT_EQ(m.recorder.texts, (Texts{"part", "up", "part", "up"}));
    });
    EXPECT_EQ(host.lines.count("LineMonitor: sequence number gap"), 0);
    EXPECT_EQ(host.lines.count("[LineMonitor::print] Channel:feed lines are heartbeating"), 0);
    EXPECT_EQ(host.lines.count("[LineMonitor::print] Channel:feed [L3] is off"), 1);
    EXPECT_EQ(host.lines.count("packets:"), 0);
    EXPECT_EQ(host.lines.count("data restored on line: L2"), 1);
}

TEST(LineMonitor, ReportsAreCutOnACharacterBoundary)
{
    std::string name;
    for (int i = 0; i < 150; ++i)
        name += "\xC3\xA9"; // two bytes each; the cut falls inside one
    MonitorHost host;
    onMonitorThread(host, [&](TarvokSession& session) {
        Monitored m("feed", session, host.log);
        m.monitor.monitorOn(name);
        m.monitor.onQualityTimer();
    });
    const auto lines = host.lines.with("LineMonitor(feed): no data for line ");
    ASSERT_EQ(lines.size(), 1u);
    const std::string& text = lines[0].text;
    EXPECT_LE(text.size(), 255u);
    EXPECT_GE(text.size(), 254u);
    EXPECT_EQ(static_cast<unsigned char>(text.back()), 0xA9u); // ends on a whole character
}

// The one case on the real timer: a silent line is found down by it.
TEST(LineMonitor, TheQualityTimerRunsTheDownCheck)
{
    MonitorHost host;
    struct StopOnDown : OrluSubscriber<LineStatus>
    {
        StopOnDown() : OrluSubscriber<LineStatus>("stop") {}
        void onData(const Orlu<LineStatus>&, const std::string&, const LineStatus& s) override
        {
            if (s == LineStatus::DOWN)
                hostrun::stopFramework();
        }
    } stopOnDown;
    HostThread<> mon(host, "MON");
    std::unique_ptr<Monitored> m; // goes before the thread it lives on
    mon.runnable->stopWhenDone = false;
    mon.runnable->work = [&] {
        m = std::make_unique<Monitored>("feed", mon.session, host.log);
        m->statuses.subscribe(&stopOnDown);
        m->monitor.setQualityInterval(40); // replaces the running timer
        m->monitor.setQualityInterval(40); // the same interval keeps the running timer
        m->monitor.monitorOn("L1");
        m->data("L1");
    };
    ASSERT_TRUE(hostrun::runFramework({{"MON", 100}}, "", std::chrono::seconds(20)));
    ASSERT_TRUE(m);
    EXPECT_EQ(m->recorder.texts, (Texts{"up", "down"}));
    EXPECT_EQ(countMatching(host.lines, "no data for line L1", reportPattern("no data for line L1", 40),
                            LOG_LEVEL_WARNING),
              1);
    for (const Line& line : host.lines.with("no data for line L1"))
        EXPECT_EQ(line.thread, "MON");
    m->statuses.unsubscribe(&stopOnDown);
    m.reset();
}

// Without a timer a restart has nothing to restart; with an interval but no
// thread for its timer, every restart says so.
TEST(LineMonitor, WithoutATimerARestartSaysSoUnlessTheIntervalIsZero)
{
    MonitorHost host;
    TarvokSession noThread;
    Monitored m("feed", noThread, host.log);
    m.monitor.setQualityInterval(0);
    m.monitor.monitorOn("L1");
    EXPECT_EQ(host.lines.count("resetQualityTimer(): Quality Timer is not active!"), 0);
    m.monitor.setQualityInterval(100);
    m.monitor.monitorOn("L2");
    EXPECT_EQ(host.lines.count("LineMonitor(feed): resetQualityTimer(): Quality Timer is not active!"), 1);
}

} // namespace
