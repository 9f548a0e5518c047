// The built modules on the real framework: start-up through the process's
// module initializer with sub-feeds A and B on one feed thread; records on A's
// raw channel reach A's filtered channel only, and the admin methods, asked
// through the admin session, run on the filter's thread and act on it.
#include "../host_admin/AdminTestSupport.h"
#include "../host_runnable/RunnableTestSupport.h"

#include "kelmora/filter/LineFilter.h"
#include "kelmora/linedata/LineDataBasic.h"
#include "kelmora/thread/TarvokListener.h"
#include "kelmora/thread/TarvokOldMsg.h"
#include "kelmora/thread/TarvokTimer.h"

#include <gtest/gtest.h>

#include <atomic>

namespace
{

std::string currentThread()
{
    char name[17] = {};
    getCurrentThreadName(name);
    return name;
}

struct Seen : OrluSubscriber<LineData>, OrluSubscriber<RetransRequest>, OrluSubscriber<LineAdmin>
{
    Seen() : OrluSubscriber<LineData>("seen"), OrluSubscriber<RetransRequest>("seen"), OrluSubscriber<LineAdmin>("seen") {}
    void onData(const Orlu<LineData>&, const std::string&, const LineData& d) override
    {
        add(std::to_string(d.getSeqNum()));
    }
    void onData(const Orlu<RetransRequest>&, const std::string&, const RetransRequest& r) override
    {
        add(std::to_string(r.begin()) + "-" + std::to_string(r.end()) + "/" + r.feedId());
    }
    void onData(const Orlu<LineAdmin>&, const std::string&, const LineAdmin& a) override
    {
        add("admin" + std::to_string(a.getSeqNum()));
    }
    void add(const std::string& what)
    {
        std::lock_guard lock(mLock);
        events += (events.empty() ? "" : " ") + what + "@" + currentThread();
    }
    std::string taken()
    {
        std::lock_guard lock(mLock);
        return events;
    }
    std::mutex mLock;
    std::string events;
};

std::atomic<int> gPhase{0};

// On the feed thread: records before and after the admin requests.
struct FeedDriver : TarvokTimerHandler
{
    FeedDriver() : source("lineHandler") {}
    void send(std::uint32_t seq)
    {
        record.setSeqNum(seq);
        source.publish(record);
    }
    void onTimer(TarvokTimer* timer) override
    {
        if (gPhase == 0)
        {
            for (std::uint32_t seq : {1u, 2u, 3u})
                send(seq);
            gPhase = 1;
        }
        else if (gPhase == 2 || ++ticks > 2000)
        {
            send(1001);
            send(1002);
            gPhase = 3;
            timer->destroy();
            hostrun::stopFramework();
        }
    }
    OrluPublisher<LineData> source;
    LineDataBasic record;
    int ticks = 0;
};

// On the admin session's thread: plays the relay client.
struct AdminDriver : TarvokTimerHandler
{
    void request(const std::string& subject, const std::string& args)
    {
        admintest::relayRequest(*session, subject, "host.1." + std::to_string(++requests), args);
    }
    void onTimer(TarvokTimer* timer) override
    {
        if (gPhase == 1 && requests == 0)
        {
            request("orvane.A.resetsequencenumber", "1000");
            request("orvane.A.sendtestretransrequest", "2\t101\t105");
        }
        else if (requests != 0 && client.taken().size() >= 2)
        {
            gPhase = 2;
            timer->destroy();
        }
    }
    TarvokSession* session = nullptr;
    admintest::RecordingClient client;
    int requests = 0;
};

TEST(LineFilterModuleRun, RecordsAndAdminMethodsThroughTheBuiltModules)
{
    hostrun::Host host;
    host.log.setLevel(LOG_LEVEL_INFO);
    ModuleList& modules = keptModuleList();
    registerModule<Log>(&modules, "Log", &host.log, modules.defaultGroup());
    TempDir dir;
    auto cfg = makeConfig({"feedd"},
                          "<QueueSize>200</QueueSize><NamedThreads><Value>FEED</Value></NamedThreads>"
                          "<FEED><Enabled>true</Enabled></FEED>"
                          "<SubFeeds><Value>A</Value><Value>B</Value></SubFeeds>"
                          "<A><UseNamedThread>FEED</UseNamedThread></A><B><UseNamedThread>FEED</UseNamedThread></B>"
                          "<LineDataFormat>basic</LineDataFormat><LineFilterInitialSeqNum>1</LineFilterInitialSeqNum>",
                          &dir);
    cfg->setAppName("feedd");

    Seen filteredA, filteredB, requestsA, adminA;
    FeedDriver feed;
    AdminDriver admin;
    TarvokTimer feedTimer, adminTimer;
    hostrun::extraRegistration() = [&] {
        ModuleList* list = &modules;
        moduleInitializer()->initialize(list, cfg.get());
        findModule<Orlu<LineData>>(list, "OrluLineData", "A")->subscribe(&filteredA);
        findModule<Orlu<LineData>>(list, "OrluLineData", "B")->subscribe(&filteredB);
        findModule<Orlu<RetransRequest>>(list, "OrluRetransRequest", "A")->subscribe(&requestsA);
        findModule<Orlu<LineAdmin>>(list, "OrluLineAdmin", "A")->subscribe(&adminA);
        feed.source.setDestination(findModule<Orlu<LineData>>(list, "OrluLineDataBlock", "A"));

        TarvokSession* feedSession = findModule<TarvokSession>(list, "TarvokSession", "A");
        admin.session = findModule<TarvokSession>(list, "TarvokSessionOrvane", "default");
        admin.session->setOrvaneClient(&admin.client);
        feedTimer.create(feedSession, &feed, 5, nullptr);
        adminTimer.create(admin.session, &admin, 5, nullptr);
        return 0;
    };
    ASSERT_TRUE(hostrun::runFramework({}));

    ASSERT_NE(findModule<LineFilter>(&modules, "LineFilter", "A"), nullptr);
    EXPECT_EQ(gPhase, 3);
    EXPECT_EQ(filteredA.taken(), "1@FEED 2@FEED 3@FEED 1001@FEED 1002@FEED");
    EXPECT_EQ(filteredB.taken(), "");
    EXPECT_EQ(requestsA.taken(), "101-105/2@FEED");
    // The reset method ran on the filter's thread.
    EXPECT_EQ(adminA.taken(), "admin1000@FEED");
    std::vector<std::string> replies;
    for (const std::string& rec : admin.client.taken())
        replies.push_back(admintest::field(rec, 151, 1200));
    std::sort(replies.begin(), replies.end());
    EXPECT_EQ(replies, (std::vector<std::string>{
                           "ResetSequenceNumber received",
                           "Sending test Retrans for sequence numbers 101 to 105 on subfeed/channel 2\n",
                       }));
}

} // namespace
