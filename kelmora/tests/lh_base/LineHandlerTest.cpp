// The line handler base on real buses: status publication, the exception
// actions, termination, heartbeats and the feed name.
#include "LineHandlerTestSupport.h"

#include "kelmora/linehandler/LineHandler.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

using namespace hostrun;
using namespace lhtest;

namespace
{
// Notes connect, disconnect and line-down calls in the shared event list.
struct TestLine : LineHandler
{
    TestLine(LineDataFactory* factory, TarvokSession& session, Log& log, std::vector<std::string>& events)
        : LineHandler(factory, session, log), events(events)
    {
    }
    void connect() override { events.push_back("connect"); }
    void disconnect() override { events.push_back("disconnect"); }
    bool connected() const override { return false; }
    void onLineDown(const std::string& reason, LineStatus::StatusType, bool) override
    {
        events.push_back("down:" + reason);
    }
    std::vector<std::string>& events;
};

std::string statusText(const LineStatus& s)
{
    return std::string("status:") + s.str();
}

struct BaseTest : ::testing::Test
{
    Host host;
    Thread<> thread{host, "LHB"};
    CountingFactory factory;
    std::vector<std::string> events;
    Recorder<LineStatus> statuses{events, statusText};
    Recorder<TerminateAll> terminations{events, [](const TerminateAll& t) { return "terminate:" + t.getReason(); }};
    Recorder<LineHeartbeat> heartbeats{events, [](const LineHeartbeat&) { return std::string("heartbeat"); }};

    std::unique_ptr<TestLine> line(bool connectBuses = true)
    {
        auto l = std::make_unique<TestLine>(&factory, thread.session, host.log, events);
        if (connectBuses)
        {
            l->OrluPublisher<LineStatus>::setDestination(&statuses.channel);
            l->OrluPublisher<TerminateAll>::setDestination(&terminations.channel);
            l->OrluPublisher<LineHeartbeat>::setDestination(&heartbeats.channel);
        }
        return l;
    }
};
} // namespace

TEST_F(BaseTest, StatusIsPublishedOncePerChangeStartingWithTheFirstChangeFromUnknown)
{
    auto l = line();
    EXPECT_EQ(l->getLineStatus(), LineStatus::UNKNOWN);
    l->setLineStatus(LineStatus::UNKNOWN);
    l->setLineStatus(LineStatus::UP);
    l->setLineStatus(LineStatus::UP);
    l->setLineStatus(LineStatus::DOWN);
    l->setLineStatus(LineStatus::DOWN);
    l->setLineStatus(LineStatus::UP);
    EXPECT_EQ(events, (std::vector<std::string>{"status:up", "status:down", "status:up"}));
    EXPECT_EQ(host.sink.count("LineHandler: LineStatus set to: up", LOG_LEVEL_INFO), 2);
    EXPECT_EQ(host.sink.count("LineHandler: LineStatus set to: down", LOG_LEVEL_INFO), 1);
}

TEST_F(BaseTest, WithoutDestinationsOnlyTheHandlersOwnStateChanges)
{
    auto l = line(false);
    l->setLineStatus(LineStatus::UP);
    l->publishHeartbeat();
    l->setTerminateAll(true);
    l->terminate();
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(l->getLineStatus(), LineStatus::UP);
}

TEST_F(BaseTest, HeartbeatReachesItsBus)
{
    auto l = line();
    l->publishHeartbeat();
    l->publishHeartbeat();
    EXPECT_EQ(events, (std::vector<std::string>{"heartbeat", "heartbeat"}));
}

TEST_F(BaseTest, FeedNameIsSetOnce)
{
    auto l = line();
    l->setFeedName("A");
    l->setFeedName("B");
    EXPECT_EQ(l->getFeedName(), "A");
}

TEST_F(BaseTest, NameReachesEveryPublisher)
{
    auto l = line();
    l->setName("LINE1");
    struct Named : OrluSubscriber<LineStatus>
    {
        Named() : OrluSubscriber<LineStatus>("named") {}
        std::string seen;
        void onData(const Orlu<LineStatus>&, const std::string& name, const LineStatus&) override { seen = name; }
    } named;
    statuses.channel.subscribe(&named);
    l->setLineStatus(LineStatus::UP);
    statuses.channel.unsubscribe(&named);
    EXPECT_EQ(named.seen, "LINE1");
    EXPECT_EQ(l->getName(), "LINE1");
    EXPECT_EQ(l->OrluPublisher<TerminateAll>::getName(), "LINE1");
}

namespace
{
struct ExceptionCase
{
    const char* name;
    std::function<void(LineHandler&)> raise;
    bool disconnectIsError;
    LogLevels level;
    std::vector<std::string> events;
    LineStatus::StatusType status;
};
} // namespace

TEST_F(BaseTest, EachLineExceptionTakesItsAction)
{
    const std::string eof = "End-of-File or server closed connection";
    const std::vector<std::string> eofEvents = {"down:" + eof, "disconnect", "status:down", "connect"};
    const std::vector<ExceptionCase> cases = {
        {"eof, disconnect is an error", [](LineHandler& l) { LineEof e; l.lineEof(e); }, true, LOG_LEVEL_ERROR,
         eofEvents, LineStatus::DOWN},
        {"eof, disconnect is not an error", [](LineHandler& l) { LineEof e; l.lineEof(e); }, false, LOG_LEVEL_INFO,
         eofEvents, LineStatus::DOWN},
        {"line error", [](LineHandler& l) { LineError e("read failed"); l.lineError(e); }, true, LOG_LEVEL_ERROR,
         {"down:read failed", "disconnect", "status:down", "connect"}, LineStatus::DOWN},
        {"connect error",
         [](LineHandler& l) { LineConnectError e("refused"); l.lineConnectError(e); }, true, LOG_LEVEL_ERROR,
         {"down:refused", "disconnect", "status:down", "connect"}, LineStatus::DOWN},
        {"invalid argument",
         [](LineHandler& l) { std::invalid_argument e("bad block"); l.invalidArg(e); }, true, LOG_LEVEL_ERROR,
         {"down:bad block", "disconnect", "status:down", "connect"}, LineStatus::DOWN},
        {"terminate", [](LineHandler& l) { LineTerminate e; l.lineTerminate(e); }, true, LOG_LEVEL_INFO, {},
         LineStatus::UP},
    };
    for (const ExceptionCase& c : cases)
    {
        SCOPED_TRACE(c.name);
        Host h;
        events.clear();
        TestLine l(&factory, thread.session, h.log, events);
        l.OrluPublisher<LineStatus>::setDestination(&statuses.channel);
        l.setServerDisconnectIsError(c.disconnectIsError);
        l.setLineStatus(LineStatus::UP);
        events.clear();
        c.raise(l);
        EXPECT_EQ(events, c.events);
        EXPECT_EQ(l.getLineStatus(), c.status);
        if (c.events.empty())
        {
            EXPECT_EQ(h.sink.count("LineHandler::terminate(): stopping this LineHandler"), 1);
            EXPECT_EQ(h.sink.count("LineHandler::bounceLine"), 0);
            continue;
        }
        for (const char* what : {"LineHandler::lineDown: ", "LineHandler::bounceLine: "})
        {
            EXPECT_EQ(h.sink.count(what, c.level), 1) << what;
            if (c.level == LOG_LEVEL_INFO)
            {
                EXPECT_EQ(h.sink.count(what, LOG_LEVEL_ERROR), 0) << what;
            }
        }
    }
}

TEST_F(BaseTest, TerminateAllIsPublishedOnlyWhenFlaggedAndNeverFromTheDestructor)
{
    {
        auto l = line();
        l->setLineStatus(LineStatus::UP);
        events.clear();
        l->terminate();
        EXPECT_TRUE(events.empty());
        EXPECT_EQ(host.sink.count(" (note other LineHandlers may still be running)", LOG_LEVEL_INFO), 1);

        l->setTerminateAll(true);
        l->terminate();
        EXPECT_EQ(events, (std::vector<std::string>{"terminate:LineHandler"}));
        EXPECT_EQ(host.sink.count(" and stopping entire process", LOG_LEVEL_INFO), 1);
        // Neither a disconnect nor a status change.
        EXPECT_EQ(l->getLineStatus(), LineStatus::UP);
        events.clear();
    }
    // The destruction above logged its lines but published nothing.
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(host.sink.count(" and stopping entire process", LOG_LEVEL_INFO), 2);
}

TEST_F(BaseTest, RecordsComeFromTheFactoryAndGoBackToIt)
{
    {
        auto l = line();
        EXPECT_EQ(factory.created, 1);
    }
    EXPECT_EQ(factory.destroyed, 1);
    TestLine none(nullptr, thread.session, host.log, events);
    EXPECT_EQ(factory.created, 1);
}

TEST_F(BaseTest, SetNonBlockingAddsTheFlagOrClosesAndThrows)
{
    auto l = line();
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    l->setNonBlocking(fds[0]);
    EXPECT_NE(::fcntl(fds[0], F_GETFL) & O_NONBLOCK, 0);
    ::close(fds[0]);
    ::close(fds[1]);

    try
    {
        l->setNonBlocking(fds[0]); // closed just now
        ADD_FAILURE() << "no LineError";
    }
    catch (const LineError& e)
    {
        EXPECT_STREQ(e.what(), "fcntl() O_NONBLOCK failed: Bad file descriptor)");
    }
    EXPECT_EQ(host.sink.count("fcntl() O_NONBLOCK failed: ", LOG_LEVEL_ERROR), 1);
}
