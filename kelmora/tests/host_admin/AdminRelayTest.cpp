// The whole road of an admin request on the real framework: start-up builds
// the threads, sessions and admin interfaces from a configuration; a request
// handed to the admin session's listeners runs on the method's own thread,
// and its reply leaves through the admin session's client on that session's
// thread. A failing method is answered and its thread serves the next request.
// One invoker relays for the admin thread and the method's thread at once.
#include "../host_runnable/RunnableTestSupport.h"
#include "AdminTestSupport.h"

#include "kelmora/admin/KeshInterfaceOrvane.h"
#include "kelmora/admin/KeshMethodInvoker.h"
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

#include <algorithm>
#include <atomic>

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
    bool sendTo(const char* data, int length, const char* context) override
    {
        {
            std::lock_guard lock(mLock);
            senders.push_back(currentThread());
        }
        return RecordingClient::sendTo(data, length, context);
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

namespace
{

// Relays one subject through a shared invoker from its appReady, once the
// other relaying thread is ready too: requests (handed over by the admin
// thread's Runnable, refused on this thread) or replies (handed over by the
// method thread's Runnable, its own).
struct Relayer : Runnable
{
    using Runnable::Runnable;
    void appReady() override
    {
        ++*ready;
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (ready->load() < 2 && std::chrono::steady_clock::now() < giveUp)
            std::this_thread::yield();
        TarvokOldMsg msg;
        msg.setSendSubject("orvane.feedd.whereami");
        // At least `least` relays, then on for as long as the other thread relays.
        for (int i = 0; i < most && (i < least || !otherDone->load()); ++i)
            results.push_back(invoker->relayToTargetThread(requests ? &asker : nullptr, msg));
        done->store(true);
        afterwards();
    }
    KeshMethodInvoker* invoker = nullptr;
    bool requests = false;
    int least = 200;
    int most = 0;
    std::atomic<int>* ready = nullptr;
    std::atomic<bool>* done = nullptr;
    const std::atomic<bool>* otherDone = nullptr;
    std::function<void()> afterwards;
    std::vector<int> results;
    TarvokListener asker; // only carried along, never created
};

struct ReplyCounter : OrluSubscriber<Zunq::ThreadData>
{
    ReplyCounter() : OrluSubscriber<Zunq::ThreadData>("replies") {}
    void onData(const Orlu<Zunq::ThreadData>&, const std::string&, const Zunq::ThreadData&) override
    {
        ++received;
        afterwards();
    }
    std::atomic<long> received{0};
    std::function<void()> afterwards;
};

} // namespace

// One invoker relays requests on the admin thread and replies on the
// method's thread at the same time: each relay answers for its own send.
TEST(AdminRelay, EachRelayReportsItsOwnSendWhileAnotherThreadRelaysThroughTheSameInvoker)
{
    hostrun::Host host;
    host.log.setLevel(LOG_LEVEL_INFO);
    hostrun::Thread<> admin(host, "ADMIN");
    hostrun::Thread<Relayer> method(host, "METHOD");
    hostrun::Thread<Relayer> other(host, "OTHER");
    WhereAmI whereAmI;
    KeshMethodInvoker invoker(whereAmI, admin.session, &method.session, host.log, false, false, "feedd");
    ReplyCounter replies;
    admin.runnable->getOrluThreadData(Zunq::ORVANE_REPLY)->subscribe(&replies);

    std::atomic<int> ready{0};
    std::atomic<bool> methodDone{false}, otherDone{false}, stopped{false};
    auto stopOnceAllIn = [&] {
        if (methodDone.load() && otherDone.load() &&
            replies.received.load() == static_cast<long>(method.runnable->results.size()) && !stopped.exchange(true))
            hostrun::stopFramework();
    };
    for (auto* relayer : {method.runnable.get(), other.runnable.get()})
    {
        relayer->invoker = &invoker;
        relayer->ready = &ready;
        relayer->afterwards = stopOnceAllIn;
    }
    // Bounded by the sender's spool and by the log lines of the refusals.
    method.runnable->most = 8000;
    method.runnable->done = &methodDone;
    method.runnable->otherDone = &otherDone;
    other.runnable->requests = true;
    other.runnable->most = 3000;
    other.runnable->done = &otherDone;
    other.runnable->otherDone = &methodDone;
    replies.afterwards = stopOnceAllIn;

    ASSERT_TRUE(hostrun::runFramework({{"ADMIN", 100}, {"METHOD", 100}, {"OTHER", 100}}));
    const std::vector<int>& sent = method.runnable->results;
    const std::vector<int>& refused = other.runnable->results;
    ASSERT_GE(sent.size(), 200u);
    ASSERT_GE(refused.size(), 200u);
    const long refusals = static_cast<long>(refused.size());
    EXPECT_EQ(std::count(sent.begin(), sent.end(), 1), static_cast<long>(sent.size())) << "a send taken for a failure";
    EXPECT_EQ(std::count(refused.begin(), refused.end(), 0), refusals) << "a refusal taken for a send";
    EXPECT_EQ(replies.received.load(), static_cast<long>(sent.size()));
    const std::string failed = "KeshMethodInvoker::relayToTargetThread(): failed to send orvane message|"
                               "orvane.feedd.whereami| to thread|";
    EXPECT_EQ(host.sink.count(failed + "METHOD|. error|" + std::to_string(FUNC_NOT_ALLOWED) + "|"), refusals);
    EXPECT_EQ(host.sink.count(failed), refusals) << "a failure logged with another relay's code";
}
