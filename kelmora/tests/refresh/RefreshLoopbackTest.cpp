// A refresh through the real framework: two senders repeat a snapshot cycle
// on two loopback multicast groups, the client's two refresh lines receive
// it, the request comes from another thread, and the real line filter holds
// realtime data until the snapshot ends.
#include "../host_runnable/SessionThreadSupport.h"
#include "../linefilter/LineFilterTestSupport.h"
#include "RefreshTestSupport.h"

#include "kelmora/linedata/LineDataFactoryDravek.h"
#include "kelmora/linehandler/LineHandlerMulticast.h"
#include "kelmora/recovery/LineHandlerZunqRefresh.h"
#include "kelmora/thread/TarvokTimer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <sstream>
#include <thread>

using namespace refreshtest;

namespace
{

constexpr std::uint32_t cChannel = 7;

// Repeats the cycle until stopped: cycle k holds messages 5k+1 to 5k+5, the
// last of them its end, covering realtime numbers up to 100 + k.
class CycleSender
{
public:
    CycleSender(const char* group, int port)
        : mWorker([this, group = std::string(group), port] {
              hostrun::blockExitSignals();
              hostrun::LoopbackGroupSender to(group.c_str(), port);
              for (std::uint32_t k = 0; !mStop; ++k)
              {
                  const std::uint32_t b = 5 * k;
                  to.send(packet(b + 1, {data("s1.."), data("s2..")}));
                  to.send(packet(b + 3, {data("s3..")}));
                  to.send(packet(b + 4, {data("s4.."), complete(100 + k)}));
                  std::this_thread::sleep_for(std::chrono::milliseconds(2));
              }
          })
    {
    }
    ~CycleSender()
    {
        mStop = true;
        mWorker.join();
    }

private:
    std::atomic<bool> mStop{false};
    std::thread mWorker;
};

struct Flushes : OrluSubscriber<MsgPubAdmin>
{
    Flushes() : OrluSubscriber<MsgPubAdmin>("flushes") { channel.subscribe(this); }
    void onData(const Orlu<MsgPubAdmin>&, const std::string&, const MsgPubAdmin& m) override
    {
        count += m.getAction() == MsgPubAdmin::FLUSH;
    }
    Orlu<MsgPubAdmin> channel{"MsgPubAdmin", ""};
    std::atomic<int> count{0};
};

// The plain numbers of the filter's publications (its data, not its requests).
std::vector<std::uint32_t> numbers(const std::string& events)
{
    std::vector<std::uint32_t> out;
    std::istringstream in(events);
    std::string token;
    while (in >> token)
        if (!token.empty() && std::isdigit(static_cast<unsigned char>(token[0])))
            out.push_back(static_cast<std::uint32_t>(std::stoul(token)));
    return out;
}

// The last number of the refresh-complete message the handler got.
std::uint32_t lastOf(const std::vector<std::string>& messages)
{
    const std::string& end = messages.back();
    const auto star = end.find('*');
    return star == std::string::npos ? 0 : static_cast<std::uint32_t>(std::stoul(end.substr(star + 1)));
}

TEST(RefreshLoopback, TwoLinesCarryTheSnapshotAndTheFilterResumesBehindIt)
{
    hostrun::Host host;
    hostrun::Thread<> rfsh(host, "RFSH");
    hostrun::SessionScript script(host);
    script.serve(rfsh);

    LineDataFactoryDravek factory("refresh", host.log);
    factory.setChannelId(cChannel);
    SnapshotHandler handler("FEED", host.log);
    FilterBench filter(true, 64, &rfsh.session);
    Flushes flushes;
    Orlu<RefreshRequest> requests("RefreshRequest", "");
    LineHandlerZunqRefresh client(host.log, 16);
    client.setSession(rfsh.session);
    client.OrluPublisher<MsgPubAdmin>::setDestination(&flushes.channel);
    client.addMessageHandler(cChannel, &handler);
    client.addLineFilter(cChannel, &filter.mFilter);
    requests.subscribe(&client);
    const char* groups[2] = {"239.255.51.1", "239.255.51.2"};
    const int ports[2] = {hostrun::freePort(SOCK_DGRAM), hostrun::freePort(SOCK_DGRAM)};
    LineHandlerMulticast* lines[2];
    for (int i = 0; i < 2; ++i)
    {
        lines[i] = client.addLineHandlerMulticast(cChannel, factory, rfsh.session);
        ASSERT_NE(lines[i], nullptr);
        lines[i]->setFeedName("RF:r" + std::to_string(i + 1));
    }
    std::string registerError;
    hostrun::extraRegistration() = [&] {
        try
        {
            for (int i = 0; i < 2; ++i)
                lines[i]->setMulticastParams("127.0.0.1", groups[i], std::to_string(ports[i]), false);
            return 0;
        }
        catch (const LineError& e)
        {
            registerError = e.what();
            return -1;
        }
    };
    CycleSender senderA(groups[0], ports[0]);
    CycleSender senderB(groups[1], ports[1]);

    OrluPublisher<RefreshRequest> fromDriver("DRIVER");
    fromDriver.setDestination(&requests);
    RefreshRequest request;
    request.mChannelId = cChannel;
    request.mSpoolRealtimeMessage = true;

    std::vector<std::string> first;
    std::vector<std::string> second;
    std::vector<std::uint32_t> released;
    std::uint32_t nextAfterFirst = 0;
    std::uint32_t nextAfterSecond = 0;
    bool linesLeft = false;
    const bool ran = script.run([&] {
        ASSERT_TRUE(hostrun::runOnSession(rfsh.session, [&] {
            filter.mFilter.setNextSeqNum(96, false);
            filter.mCapture.take();
        }));
        // Published on this thread: the client takes it on its own.
        fromDriver.publish(request);
        ASSERT_TRUE(hostrun::waitOnSession(rfsh.session, [&] { return client.isSpooling(cChannel); }));
        ASSERT_TRUE(hostrun::runOnSession(rfsh.session, [&] {
            for (std::uint32_t s = 96; s <= 1000; ++s)
                filter.send(filter.record(std::to_string(s)));
        }));
        ASSERT_TRUE(hostrun::waitOnSession(
            rfsh.session, [&] { return !client.isActive(cChannel) && flushes.count == 1; },
            std::chrono::seconds(30)));
        ASSERT_TRUE(hostrun::runOnSession(rfsh.session, [&] {
            first = handler.messages();
            released = numbers(filter.mCapture.take());
            nextAfterFirst = filter.mFilter.getNextSeqNum();
            linesLeft = !lines[0]->connected() && !lines[1]->connected();
            handler.clear();
        }));
        request.mSpoolRealtimeMessage = false;
        fromDriver.publish(request);
        ASSERT_TRUE(hostrun::waitOnSession(
            rfsh.session, [&] { return flushes.count == 2; }, std::chrono::seconds(30)));
        ASSERT_TRUE(hostrun::runOnSession(rfsh.session, [&] {
            second = handler.messages();
            nextAfterSecond = filter.mFilter.getNextSeqNum();
        }));
    });
    ASSERT_EQ(registerError, "");
    ASSERT_TRUE(ran);

    ASSERT_EQ(first.size(), 6u);
    const std::uint32_t last = lastOf(first);
    EXPECT_EQ(first, (std::vector<std::string>{"reset", "7/1/s1..", "7/2/s2..", "7/3/s3..", "7/4/s4..",
                                               "7/5/*" + std::to_string(last)}));
    EXPECT_EQ(handler.threads(), std::set<std::string>{"RFSH"});
    EXPECT_EQ(nextAfterFirst, 1001u);
    // What the filter held is released behind the snapshot, in order, once.
    std::vector<std::uint32_t> expected;
    for (std::uint32_t s = last + 1; s <= 1000; ++s)
        expected.push_back(s);
    EXPECT_EQ(released, expected);
    EXPECT_TRUE(linesLeft);

    ASSERT_EQ(second.size(), 6u);
    // The senders are not in step: either line's cycle may serve.
    const std::uint32_t secondLast = lastOf(second);
    EXPECT_EQ(second, (std::vector<std::string>{"reset", "7/6/s1..", "7/7/s2..", "7/8/s3..", "7/9/s4..",
                                                "7/10/*" + std::to_string(secondLast)}));
    EXPECT_EQ(nextAfterSecond, secondLast + 1);
    EXPECT_EQ(flushes.count, 2);
}

// A thread that holds every timer the framework allows.
struct Crowded : Runnable
{
    using Runnable::Runnable;
    void init() override
    {
        for (auto& t : fillers)
            t.create(getTarvokSession(), &idle, 1000, nullptr);
    }
    struct Idle : TarvokTimerHandler
    {
        void onTimer(TarvokTimer*) override {}
    } idle;
    TarvokTimer fillers[10];
};

// Without a timer for its time-out a refresh could hold realtime data for
// ever: it is not started.
TEST(RefreshLoopback, ARefreshWithoutATimerForItsTimeOutIsNotStarted)
{
    hostrun::Host host;
    hostrun::Thread<Crowded> rfsh(host, "RFSH");
    hostrun::SessionScript script(host);
    script.serve(rfsh);
    LineDataFactoryDravek factory("refresh", host.log);
    factory.setChannelId(cChannel);
    SnapshotHandler handler("FEED", host.log);
    FilterBench filter(true, 64, &rfsh.session);
    LineHandlerZunqRefresh client(host.log, 16);
    client.setSession(rfsh.session);
    client.addMessageHandler(cChannel, &handler);
    client.addLineFilter(cChannel, &filter.mFilter);
    client.addLineHandlerMulticast(cChannel, factory, rfsh.session)->setFeedName("RF:r1");
    bool active = true;
    bool spooling = true;
    // One descriptor for application timers besides the framework's own.
    ASSERT_TRUE(script.run(
        [&] {
            ASSERT_TRUE(hostrun::runOnSession(rfsh.session, [&] {
                RefreshRequest request;
                request.mChannelId = cChannel;
                request.mSpoolRealtimeMessage = true;
                client.handleRefreshRequest("FEED", request);
                active = client.isActive(cChannel);
                spooling = client.isSpooling(cChannel);
            }));
        },
        "MSG_DISP_FD_NUM INT32 1\n"));
    EXPECT_FALSE(active);
    EXPECT_FALSE(spooling);
    EXPECT_EQ(host.sink.count("LineHandlerZunqRefresh::handleRefreshRequest() Channel [7] no timer for the refresh "
                              "time-out (a thread holds at most MSG_DISP_FD_NUM + 5 timers)",
                              LOG_LEVEL_ERROR),
              1);
}

} // namespace
