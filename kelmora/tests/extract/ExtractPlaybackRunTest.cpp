// The extract recorder on the real framework: the built recorder's admin
// methods through the admin session while its window records, and a check
// timer the framework refuses.
#include "../host_admin/AdminTestSupport.h"
#include "../host_runnable/RunnableTestSupport.h"
#include "ExtractTestSupport.h"

#include "kelmora/thread/TarvokTimer.h"

#include <gtest/gtest.h>

#include <map>
#include <thread>

using extracttest::FixedClock;

namespace
{

std::atomic<int> gPhase{0};

// On the feed thread: one record before the admin requests, one after.
struct FeedDriver : TarvokTimerHandler
{
    void onTimer(TarvokTimer* timer) override
    {
        if (gPhase == 0)
        {
            record.setData("before", 6);
            line.publish(record);
            gPhase = 1;
        }
        else if (gPhase == 2 || ++ticks > 2000)
        {
            record.setData("after", 5);
            line.publish(record);
            gPhase = 3;
            timer->destroy();
            hostrun::stopFramework();
        }
    }
    OrluPublisher<LineData> line{"line"};
    LineDataBasic record;
    int ticks = 0;
};

struct Request
{
    std::string method;
    std::string args;
};

const Request cRequests[] = {
    {"setextractplaybackstarttime", "10:00"},
    {"setextractplaybackstoptime", "00:00:02"},
    {"setextractplaybackstarttime", "a\tb"},
    {"setextractplaybackstarttime", "25:99"},
    {"setextractplaybackstarttime", "00:00:03"},
    {"resetextractplayback", "x\ty"},
    {"resetextractplayback", ""},
    {"setextractplaybackstoptime", ""},
};
constexpr std::size_t cCount = sizeof cRequests / sizeof cRequests[0];

// On the admin session's thread: plays the relay client.
struct AdminDriver : TarvokTimerHandler
{
    void onTimer(TarvokTimer* timer) override
    {
        if (gPhase == 1 && sent == 0)
            for (const Request& r : cRequests)
                admintest::relayRequest(*session, "orvane.feedd." + r.method, "host.1." + std::to_string(++sent),
                                        r.args);
        else if (sent != 0 && client.taken().size() >= cCount)
        {
            gPhase = 2;
            timer->destroy();
        }
    }
    TarvokSession* session = nullptr;
    admintest::RecordingClient client;
    std::size_t sent = 0;
};

// Seconds since local midnight.
long secondOfDay()
{
    const std::time_t now = std::time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    return local.tm_hour * 3600L + local.tm_min * 60L + local.tm_sec;
}

TEST(ExtractPlaybackRun, AdminMethodsMoveTheWindowAndResetTheFileOnTheControlThread)
{
    // The window below is the whole day but its edges; a run at an edge waits it out.
    for (int waited = 0; (secondOfDay() < 5 || secondOfDay() > 86390) && waited < 200; ++waited)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));

    hostrun::Host host;
    host.log.setLevel(LOG_LEVEL_INFO);
    ModuleList& modules = keptModuleList();
    registerModule<Log>(&modules, "Log", &host.log, modules.defaultGroup());
    TempDir dir;
    const std::string file = dir.write("run.play", "");
    auto cfg = makeConfig({"feedd"},
                          "<QueueSize>200</QueueSize><NamedThreads><Value>FEED</Value></NamedThreads>"
                          "<FEED><Enabled>true</Enabled></FEED><SubFeeds><Value>A</Value></SubFeeds>"
                          "<A><UseNamedThread>FEED</UseNamedThread></A><LineDataFormat>basic</LineDataFormat>"
                          "<ExtractFile>" + file + "</ExtractFile><ExtractMetaData>false</ExtractMetaData>"
                          "<ExtractStart>00:00:01</ExtractStart><ExtractStop>23:59:58</ExtractStop>",
                          &dir);
    cfg->setAppName("feedd");

    FeedDriver feed;
    AdminDriver admin;
    TarvokTimer feedTimer, adminTimer;
    hostrun::extraRegistration() = [&] {
        moduleInitializer()->initialize(&modules, cfg.get());
        feed.line.setDestination(findModule<Orlu<LineData>>(&modules, "OrluLineData", "A"));
        admin.session = findModule<TarvokSession>(&modules, "TarvokSessionOrvane", "default");
        admin.session->setOrvaneClient(&admin.client);
        feedTimer.create(findModule<TarvokSession>(&modules, "TarvokSession", "A"), &feed, 5, nullptr);
        adminTimer.create(admin.session, &admin, 5, nullptr);
        return 0;
    };
    ASSERT_TRUE(hostrun::runFramework({}));
    EXPECT_EQ(gPhase, 3);

    std::map<std::string, std::string> replies;
    for (const std::string& record : admin.client.taken())
        replies[admintest::field(record, 1, 100)] = admintest::field(record, 151, 1200);
    auto reply = [&](std::size_t n) { return replies["host.1." + std::to_string(n)]; };
    auto usage = [&](std::size_t n, const std::string& method) {
        return reply(n).rfind(method + " (", 0) == 0 && reply(n).find("Arguments:") != std::string::npos;
    };
    ASSERT_EQ(replies.size(), cCount);
    EXPECT_EQ(reply(1), "Extraction currently running. Cannot alter start time.");
    EXPECT_EQ(reply(2), "Start time currently set to 00:00:01.000. Stop time currently set to 00:00:02.000.");
    EXPECT_TRUE(usage(3, "setExtractPlaybackStartTime")) << reply(3);
    EXPECT_TRUE(usage(4, "setExtractPlaybackStartTime")) << reply(4);
    // Out of its window the start moves; 00:00:03 to 00:00:02 is across midnight.
    EXPECT_EQ(reply(5), "Start time currently set to 00:00:03.000. Stop time currently set to 00:00:02.000.");
    EXPECT_TRUE(usage(6, "resetExtractPlayback")) << reply(6);
    EXPECT_EQ(reply(7), "Reset the playback file");
    EXPECT_EQ(reply(8), "Start time currently set to 00:00:03.000. Stop time currently set to 00:00:02.000.");
    // Recorded while the window was open, dropped after the reset without a pattern.
    EXPECT_EQ(extracttest::readFile(file), "before\n");
}

// A thread that takes its timers before the recorder asks for its own.
struct Crowded : Runnable
{
    using Runnable::Runnable;
    void init() override
    {
        for (auto& t : fillers)
            t.create(getTarvokSession(), &idle, 1000, nullptr);
        recorder = std::make_unique<ExtractPlayback>(*getTarvokSession(), logOf(), file, "00:00:01", "23:59:58", false,
                                                     nullptr, clock.clock());
        createTimer();
    }
    void appReady() override { hostrun::stopFramework(); }
    Log& logOf() { return *getTarvokSession()->getLog(); }

    struct Idle : TarvokTimerHandler
    {
        void onTimer(TarvokTimer*) override {}
    } idle;
    TarvokTimer fillers[10];
    FixedClock clock{"2024-03-01 12:00:00"};
    std::string file;
    std::unique_ptr<ExtractPlayback> recorder;
};

TEST(ExtractPlaybackRun, ARefusedCheckTimerIsLoggedWithItsLimitAndNothingWaitsOnIt)
{
    hostrun::Host host;
    TempDir dir;
    hostrun::Thread<Crowded> t(host, "CROWD");
    t.runnable->file = dir.write("crowd.play", "");
    // One descriptor for application timers besides the framework's own.
    ASSERT_TRUE(hostrun::runFramework({{"CROWD", 100}}, "MSG_DISP_FD_NUM INT32 1\n", std::chrono::seconds(20)));
    ASSERT_NE(t.runnable->recorder, nullptr);
    EXPECT_EQ(host.sink.count("ExtractPlayback: cannot start reset timer: the framework refused the 4007 ms timer "
                              "(a thread holds at most MSG_DISP_FD_NUM + 5 timers)",
                              LOG_LEVEL_ERROR),
              1);
    // The window is open, so the file is; without its timer the window is not checked again.
    EXPECT_TRUE(t.runnable->recorder->isOpen());
    EXPECT_FALSE(t.runnable->recorder->isCurrentlyExtracting());
    t.runnable->recorder.reset();
}

} // namespace
