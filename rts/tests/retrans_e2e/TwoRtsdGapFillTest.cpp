// Two real rtsd processes on loopback. A reads a multicast channel whole and
// serves its cache; B reads the same channel with packets missing, on a
// thread of the live sub-feed's own, and fills its gaps from A through its
// retransmission client and line filter. B's own cache, read through B's
// retransmission port, ends up complete, byte for byte.
#include "GapFillTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <map>
#include <string>
#include <thread>

using proctest::RtsdProcess;
using namespace rtstest;
using namespace std::chrono_literals;

namespace
{

constexpr std::uint32_t cLast = 3000;
constexpr std::size_t cSize = 40;

// Sends the feed to `group`:`port`, leaving out `gaps` ("--gap a-b ...").
int feed(const std::string& group, int port, const std::string& gaps, std::string& printed)
{
    return feedLine(group, port, cLast, cSize, gaps, printed);
}

} // namespace

TEST(TwoRtsd, TheSecondFillsItsGapsFromTheFirstAndItsCacheEndsComplete)
{
    std::string group = "239.255.48.1";
    if (!loopbackMulticastWorks(group))
    {
        std::cout << "multicast does not loop back on this machine: the lines listen on 127.0.0.1 and are fed by "
                     "directed UDP\n";
        group = "127.0.0.1";
    }
    const int portA = freeUdpPort();
    const int portB = freeUdpPort();

    RtsdProcess a;
    a.start({"--config-file",
             a.writeConfig(liveFeedConfig("RTSDA", "127.0.0.1/" + group + "/" + std::to_string(portA),
                                          channelOneUser("bside") + channelOneUser("check")))});
    RtsdProcess b;
    std::map<std::string, std::string> keysB =
        liveFeedConfig("RTSDB", "127.0.0.1/" + group + "/" + std::to_string(portB), channelOneUser("check"));
    keysB["SubFeeds"] = "<Value>FEED</Value><Value>RETR</Value>";
    // The live sub-feed asks for its gaps under its channel id and waits for them.
    keysB["FEED"] += "<LiveChannelId>1</LiveChannelId><FeedId>1</FeedId><LineFilterRetransActive>true</LineFilterRetransActive>"
                     "<LineFilterGapLimitTime>20</LineFilterGapLimitTime>";
    keysB["RETR"] = "<LineDataFormat>dravek</LineDataFormat><FeedRole>retrans</FeedRole>"
                    "<LineHandlerType>login</LineHandlerType><LoginUsername>bside</LoginUsername>"
                    "<TcpIpAddress>127.0.0.1</TcpIpAddress><TcpPort>" +
                    std::to_string(a.port()) + "</TcpPort>";
    b.start({"--config-file", b.writeConfig(keysB)});
    for (RtsdProcess* p : {&a, &b})
    {
        ASSERT_TRUE(p->waitForOutput("Module initialization completed")) << p->out() << p->err();
        ASSERT_TRUE(p->waitForOutput("joined multicast stream successfully")) << p->out();
    }

    // A takes the whole feed.
    std::string fedA;
    ASSERT_EQ(feed(group, portA, "", fedA), 0) << fedA;
    std::string faultA = "not read";
    for (auto until = std::chrono::steady_clock::now() + 20s; !faultA.empty() && std::chrono::steady_clock::now() < until;)
    {
        faultA = cacheFault(a.port(), "check", 1, cLast, cSize);
        if (!faultA.empty())
            std::this_thread::sleep_for(100ms);
    }
    ASSERT_EQ(faultA, "") << a.out();

    // B misses packets at the start, inside and near the end of the feed.
    std::string fedB;
    ASSERT_EQ(feed(group, portB, "--gap 1-5 --gap 1003-1004 --gap 2601-2610 --gap 2991-2995", fedB), 0) << fedB;
    EXPECT_NE(fedB.find("22 left out as gaps"), std::string::npos) << fedB;
    std::string faultB = "not read";
    for (auto until = std::chrono::steady_clock::now() + 30s; !faultB.empty() && std::chrono::steady_clock::now() < until;)
    {
        faultB = cacheFault(b.port(), "check", 1, cLast, cSize);
        if (!faultB.empty())
            std::this_thread::sleep_for(200ms);
    }
    EXPECT_EQ(faultB, "") << b.out();
    const std::string logB = b.out();
    for (const char* range : {"[1] to [5]", "[1003] to [1004]", "[2601] to [2610]", "[2991] to [2995]"})
        EXPECT_NE(logB.find(std::string("fully processed retransmission from channel [1] from ") + range),
                  std::string::npos)
            << range << "\n"
            << logB;

    for (RtsdProcess* p : {&b, &a})
    {
        p->signal(SIGTERM);
        EXPECT_EQ(p->waitExit(), 0) << p->err();
    }
}
