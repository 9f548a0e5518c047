// The built modules on the real framework: the host loads the tests' feed
// plug-in, the message handler factory wires its handler for sub-feed A on
// thread FEED, and getMode and setHAMode, asked through the admin session,
// run on FEED and answer exactly, usage errors included.
#include "../host_admin/AdminTestSupport.h"
#include "../host_runnable/RunnableTestSupport.h"
#include "plugins/RecordingMessageHandler.h"

#include "kelmora/thread/TarvokTimer.h"

#include <gtest/gtest.h>

#include <map>

namespace
{

struct Request
{
    std::string subject;
    std::string args;
};

const Request cRequests[] = {
    {"orvane.A.getmode", ""},
    {"orvane.A.getmode", "DETAIL"},
    {"orvane.A.getmode", "normal\tdetail"},
    {"orvane.A.getmode", "verbose"},
    {"orvane.A.sethamode", "standby"},
    {"orvane.A.sethamode", ""},
    {"orvane.A.sethamode", "standby\tactive"},
    {"orvane.A.sethamode", "sideways"},
    {"orvane.A.getmode", ""},
};
constexpr std::size_t cCount = sizeof cRequests / sizeof cRequests[0];

// On the admin session's thread: plays the relay client, then stops the
// framework once every request is answered (or after about ten seconds).
struct AdminDriver : TarvokTimerHandler
{
    void onTimer(TarvokTimer* timer) override
    {
        if (sent == 0)
            for (const Request& r : cRequests)
                admintest::relayRequest(*session, r.subject, "host.1." + std::to_string(++sent), r.args);
        else if (client.taken().size() >= cCount || ++ticks > 2000)
        {
            timer->destroy();
            hostrun::stopFramework();
        }
    }
    TarvokSession* session = nullptr;
    admintest::RecordingClient client;
    std::size_t sent = 0;
    int ticks = 0;
};

TEST(MessageHandlerRun, ModeMethodsRunOnTheHandlersThreadAndAnswerExactly)
{
    hostrun::Host host;
    host.log.setLevel(LOG_LEVEL_INFO);
    ModuleList& modules = keptModuleList();
    registerModule<Log>(&modules, "Log", &host.log, modules.defaultGroup());
    TempDir dir;
    auto cfg = makeConfig({"feedd"},
                          "<QueueSize>200</QueueSize><NamedThreads><Value>FEED</Value></NamedThreads>"
                          "<FEED><Enabled>true</Enabled></FEED><SubFeeds><Value>A</Value></SubFeeds>"
                          "<A><UseNamedThread>FEED</UseNamedThread></A><LineDataFormat>basic</LineDataFormat>"
                          "<SharedObjects><Value>" MSG_HANDLER_PLUGIN "</Value></SharedObjects>",
                          &dir);
    cfg->setAppName("feedd");

    AdminDriver admin;
    TarvokTimer adminTimer;
    hostrun::extraRegistration() = [&] {
        moduleInitializer()->initialize(&modules, cfg.get());
        admin.session = findModule<TarvokSession>(&modules, "TarvokSessionOrvane", "default");
        admin.session->setOrvaneClient(&admin.client);
        adminTimer.create(admin.session, &admin, 5, nullptr);
        return 0;
    };
    ASSERT_TRUE(hostrun::runFramework({}));

    std::map<std::string, std::string> replies;
    for (const std::string& record : admin.client.taken())
        replies[admintest::field(record, 1, 100)] = admintest::field(record, 151, 1200);
    auto reply = [&](std::size_t n) { return replies["host.1." + std::to_string(n)]; };
    auto usage = [&](std::size_t n, const std::string& method) {
        return reply(n).rfind(method + " (", 0) == 0 && reply(n).find("Arguments:") != std::string::npos;
    };
    ASSERT_EQ(replies.size(), cCount);
    EXPECT_EQ(reply(1), "Active");
    EXPECT_EQ(reply(2), "       feedd                    A       Active ");
    EXPECT_TRUE(usage(3, "getMode")) << reply(3);
    EXPECT_TRUE(usage(4, "getMode")) << reply(4);
    EXPECT_EQ(reply(5), "Standby");
    EXPECT_TRUE(usage(6, "setHAMode")) << reply(6);
    EXPECT_TRUE(usage(7, "setHAMode")) << reply(7);
    EXPECT_TRUE(usage(8, "setHAMode")) << reply(8);
    EXPECT_EQ(reply(9), "Standby");

    // Only the accepted change reached the handler, and on its own thread.
    auto* handler = static_cast<RecordingMessageHandler*>(findModule<MessageHandler>(&modules, "MessageHandler", "A"));
    ASSERT_NE(handler, nullptr);
    EXPECT_EQ(handler->taken("ha"), (std::vector<std::string>{"ha Active@main", "ha Standby@FEED"}));
}

} // namespace
