// The whole road of an admin request on the real framework: start-up builds
// the threads, sessions and admin interfaces from a configuration; a request
// handed to the admin session's listeners runs on the method's own thread,
// and its reply leaves through the admin session's client on that session's
// thread. A failing method is answered and its thread serves the next request.
#include "../host_runnable/RunnableTestSupport.h"
#include "AdminTestSupport.h"

#include "kelmora/admin/KeshInterfaceOrvane.h"
#include "kelmora/admin/KeshSessionModule.h"
#include "kelmora/admin/KeshSetLogLevel.h"
#include "kelmora/thread/SubFeeds.h"
#include "kelmora/thread/TarvokListener.h"
#include "kelmora/thread/TarvokOldMsg.h"
#include "kelmora/thread/TarvokSessionFactory.h"
#include "kelmora/thread/TarvokTimer.h"
#include "zunq/admin/KeshMethod.h"
#include "zunq/admin/KeshParamList.h"

#include <gtest/gtest.h>

namespace
{

std::string currentThread()
{
    char name[17] = {};
    getCurrentThreadName(name);
    return name;
}

struct WhereAmI : KeshMethod
{
    WhereAmI() : KeshMethod("whereAmI", KESH_METHOD_INFO, "The thread it runs on.") { setThread("B"); }
    void invoke(const KeshParamList&, KeshParamList& out) override
    {
        ranOn = currentThread();
        out.add("Thread", ranOn);
    }
    std::string ranOn;
};

// Keeps each record with the thread that sent it.
struct ThreadRecordingClient : admintest::RecordingClient
{
    void sendTo(const char* data, unsigned int length, const char* context) override
    {
        {
            std::lock_guard lock(mLock);
            senders.push_back(currentThread());
        }
        RecordingClient::sendTo(data, length, context);
    }
    std::vector<std::string> senders;
};

// Plays the relay client on the admin session's thread: hands requests to
// the listeners of their subject, one step per expiry.
struct RelayDriver : TarvokTimerHandler
{
    void request(const std::string& subject, const std::string& args)
    {
        if (!admintest::relayRequest(*session, subject, "host.1." + std::to_string(++requests), args))
            unknown.push_back(subject);
    }
    void onTimer(TarvokTimer* timer) override
    {
        const std::size_t replies = client->taken().size();
        if (step == 0)
        {
            request(base + "whereamI", "");           // no such subject: case matters
            request(base + "whereami", "");
            request(base + "setloglevel", "verbose");
            step = 1;
        }
        else if (step == 1 && replies >= 2)
        {
            request(base + "setloglevel", "notice");
            step = 2;
        }
        else if ((step == 2 && replies >= 3) || ++ticks > 500)
        {
            timer->destroy();
            hostrun::stopFramework();
        }
    }
    TarvokSession* session = nullptr;
    ThreadRecordingClient* client = nullptr;
    std::string base;
    int step = 0;
    int ticks = 0;
    int requests = 0;
    std::vector<std::string> unknown;
};

TEST(AdminRelay, RequestRunsOnTheMethodsThreadAndTheReplyComesBackThroughTheSession)
{
    hostrun::Host host;
    host.log.setLevel(LOG_LEVEL_INFO);
    // Modules live until the process exits, as in the program.
    ModuleList& modules = keptModuleList();
    registerModule<Log>(&modules, "Log", &host.log, modules.defaultGroup());
    TempDir dir;
    auto cfg = makeConfig({"feedd"},
                          "<QueueSize>200</QueueSize><NamedThreads><Value>B</Value></NamedThreads>"
                          "<B><Enabled>true</Enabled></B>",
                          &dir);
    cfg->setAppName("feedd");

    WhereAmI* method = new WhereAmI; // the session owns it
    ThreadRecordingClient client;
    RelayDriver driver;
    TarvokTimer timer;
    hostrun::extraRegistration() = [&] {
        ModuleList* list = &modules;
        InitModule<NamedThreads>().createModule(list, cfg.get());
        InitModule<TarvokSessionQelmo>().createModule(list, cfg.get());
        InitModule<TarvokSessionQelmoFt>().createModule(list, cfg.get());
        InitModule<TarvokSessionQelmoOrvane>().createModule(list, cfg.get());
        InitModule<SubFeeds>().createModule(list, cfg.get());
        InitModule<KeshSession>().createModule(list, cfg.get());
        InitModule<KeshInterfaceOrvane>().createModule(list, cfg.get());
        InitModule<KeshMethodsLog>().createModule(list, cfg.get());
        findModule<KeshSession>(list, "KeshSession", "default")->addMethod(method);

        TarvokSession* admin = findModule<TarvokSession>(list, "TarvokSessionOrvane", "default");
        admin->setOrvaneClient(&client);
        driver.session = admin;
        driver.client = &client;
        driver.base = "orvane.feedd.";
        timer.create(admin, &driver, 5, nullptr);
        return 0;
    };
    ASSERT_TRUE(hostrun::runFramework({}));

    // Both configured threads reached the framework and were started there.
    for (const char* thread : {"B", "default"})
        EXPECT_EQ(host.sink.count(std::string("Runnable::_init() : thread|") + thread + "| handle|true| INIT completed"), 1)
            << thread;
    EXPECT_EQ(method->ranOn, "B");
    EXPECT_EQ(driver.unknown, std::vector<std::string>{"orvane.feedd.whereamI"});
    const std::vector<std::string> records = client.taken();
    ASSERT_EQ(records.size(), 3u);
    std::map<std::string, std::string> replies; // reply subject -> text
    for (const std::string& rec : records)
    {
        ASSERT_EQ(rec.size(), 1451u);
        replies[admintest::field(rec, 1, 100)] = admintest::field(rec, 151, 1200);
    }
    EXPECT_EQ(replies["host.1.2"], "B");
    EXPECT_EQ(replies["host.1.3"], "Error: Unknown LogLevel:VERBOSE");
    EXPECT_EQ(replies["host.1.4"], "NOTICE");
    EXPECT_EQ(host.log.getLevel(), static_cast<LogLevels>(4));
    EXPECT_EQ(client.senders, (std::vector<std::string>{"default", "default", "default"}));
    // No listener was made for the unknown subject.
    std::vector<TarvokListener*> none;
    driver.session->getOrvaneRequestListener("orvane.feedd.whereamI", none);
    EXPECT_TRUE(none.empty());
    EXPECT_EQ(driver.session->getOrvaneRequestSubjects().size(), 8u);
}

} // namespace
