// The backup switch: order of connects and disconnects, its log lines, the
// lists, and a handler that lives on another thread than the publisher.
#include "LineControlTestSupport.h"

#include "kelmora/linecontrol/BackupLineControl.h"
#include "zunq/bus/OrluPublisher.h"

#include <gtest/gtest.h>

using namespace hostrun;
using namespace lctest;

namespace
{

TEST(BackupLineControl, EachChangeConnectsTheIdleSideThenDisconnectsTheActiveOneWhateverItCarries)
{
    Host host;
    TarvokSession session;
    Events events;
    CountingLine m1("M1", session, host.log, &events);
    CountingLine m2("M2", session, host.log, &events);
    CountingLine b1("B1", session, host.log, &events, false);
    CountingLine shared("S", session, host.log, &events);
    BackupLineControl control(host.log);
    for (CountingLine* line : {&m1, &m2, &m1, &shared})
        control.addMainLineConnection(line);
    for (CountingLine* line : {&b1, &shared, &b1})
        control.addBackupLineConnection(line);
    Orlu<BackupLineChange> channel("OrluBackupLineChange", "A");
    channel.subscribe(&control);
    OrluPublisher<BackupLineChange> publisher("LineFilter");
    publisher.setDestination(&channel);

    const char* const toBackupLine = "BackupLineControl::onData() - Switching from main to backup line.";
    const char* const toMainLine = "BackupLineControl::onData() - Switching from backup to main line.";
    const struct
    {
        bool toBackup;
        std::vector<std::string> events;
        bool onMain;
        int toBackupLines; // log lines so far
        int toMainLines;
    } steps[] = {
        {true, {"connect B1", "connect S", "disconnect M1", "disconnect M2", "disconnect S"}, false, 1, 0},
        // The message's flag is not read: false switches as well.
        {false, {"connect M1", "connect M2", "connect S", "disconnect B1", "disconnect S"}, true, 1, 1},
        {false, {"connect B1", "connect S", "disconnect M1", "disconnect M2", "disconnect S"}, false, 2, 1},
    };
    for (const auto& step : steps)
    {
        events.clear();
        publisher.publish(BackupLineChange(step.toBackup));
        EXPECT_EQ(events.all(), step.events);
        EXPECT_EQ(control.connectedToMainLine(), step.onMain);
        EXPECT_EQ(host.sink.count(toBackupLine, LOG_LEVEL_INFO), step.toBackupLines);
        EXPECT_EQ(host.sink.count(toMainLine, LOG_LEVEL_INFO), step.toMainLines);
    }
}

TEST(BackupLineControl, WithNoHandlersAChangeOnlyLogsAndFlips)
{
    Host host;
    BackupLineControl control(host.log);
    Orlu<BackupLineChange> channel("OrluBackupLineChange", "A");
    channel.subscribe(&control);
    OrluPublisher<BackupLineChange> publisher("LineFilter");
    publisher.setDestination(&channel);
    publisher.publish(BackupLineChange(true));
    EXPECT_FALSE(control.connectedToMainLine());
    EXPECT_EQ(host.sink.count("Switching from main to backup line."), 1);
}

// The change is published on OWNER; the main line lives on OTHER and is
// disconnected there, the backup line on OWNER is connected where it lives.
TEST(BackupLineControl, AHandlerOnAnotherThreadIsSwitchedOnItsOwnThread)
{
    Host host;
    Thread<> owner(host, "OWNER");
    Thread<> other(host, "OTHER");
    SessionScript script(host);
    script.serve(owner);
    script.serve(other);
    CountingLine mainLine("M", other.session, host.log);
    CountingLine backupLine("B", owner.session, host.log, nullptr, false);
    BackupLineControl control(host.log);
    control.addMainLineConnection(&mainLine);
    control.addBackupLineConnection(&backupLine);
    Orlu<BackupLineChange> channel("OrluBackupLineChange", "A");
    channel.subscribe(&control);
    OrluPublisher<BackupLineChange> publisher("LineFilter");
    publisher.setDestination(&channel);

    ASSERT_TRUE(script.run([&] {
        ASSERT_TRUE(runOnSession(owner.session, [&] { publisher.publish(BackupLineChange(true)); }));
        EXPECT_TRUE(waitOnSession(other.session, [&] { return mainLine.disconnects == 1; }));
        ASSERT_TRUE(runOnSession(other.session, [&] { EXPECT_EQ(mainLine.lastThread, "OTHER"); }));
        ASSERT_TRUE(runOnSession(owner.session, [&] {
            EXPECT_EQ(backupLine.connects, 1);
            EXPECT_EQ(backupLine.lastThread, "OWNER");
        }));
    }));
}

} // namespace
