// A real rtsd on loopback whose multicast feed has gaps, filled by its
// retransmission client from the tests' own retransmission server, which
// breaks one rule at a time: it repeats a packet, numbers its data wrongly,
// answers more than asked, leaves an answer unfinished, or refuses every
// logon beside a working backup. Whatever the server does, a client of that
// rtsd asking for the whole feed gets every number once, each message with
// its own bytes: nothing lost, nothing twice, nothing under a wrong number.
#include "GapFillTestSupport.h"

#include "FendralCore/tests/support/ProcessTestSupport.h"
#include "kelmora/tests/retrans_client/RetransTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using proctest::RtsdProcess;
using rtest::FakeRts;
using rtest::Sent;
using namespace std::chrono_literals;

namespace
{

// The feed: messages 1..cLast of cSize bytes, five to a live packet, with
// ten numbers (two live packets) missing at each gap.
constexpr std::uint32_t cLast = 200;
constexpr std::size_t cSize = 20;
const char* const cGaps = "--gap 21-30 --gap 101-110 --gap 186-195";

// Packets of the feed's messages first..last, `perPacket` to a packet, each
// header numbered `shift` above its first message.
std::string fedPackets(std::uint32_t first, std::uint32_t last, unsigned perPacket, std::uint32_t shift = 0)
{
    std::string out;
    for (std::uint32_t n = first; n <= last;)
    {
        std::string body;
        std::uint8_t count = 0;
        const std::uint32_t from = n;
        for (; n <= last && count < perPacket; ++n, ++count)
            body += rtstest::feedMessage(n, cSize);
        out += rtest::packet(from + shift, count, body);
    }
    return out;
}

// Accepts `request` and sends `data` as its answer.
void answer(FakeRts& server, const Sent& request, const std::string& data)
{
    server.send(rtest::retransResponse(request.channel, 0, request.begin, request.end, server.nextControl()));
    server.send(data);
}

// A range from 0 is served from 1.
std::uint32_t firstOf(const Sent& request)
{
    return request.begin == 0 ? 1 : request.begin;
}

// What a server that keeps the rules sends: the range, four to a packet.
void serveFaithfully(FakeRts& server, const Sent& request)
{
    answer(server, request, fedPackets(firstOf(request), request.end, 4));
}

struct FaultyServer
{
    const char* name;
    // Sets how the primary answers (its hooks run on its own thread).
    std::function<void(FakeRts&)> script;
    // A faithful server follows the primary in the hunt list.
    bool backup;
    // RETR keys of the case.
    std::string retransKeys;
};

// The lines the retransmission client and the line filter wrote, for a
// failure's message: what was asked, answered, given up or missed.
std::string gapFillingLines(const RtsdProcess& rtsd)
{
    std::istringstream in(rtsd.out());
    std::string out;
    for (std::string line; std::getline(in, line);)
        if (line.find("LineFilter(") != std::string::npos || line.find("LineHandlerZunqRetrans") != std::string::npos)
            out += line + "\n";
    return out;
}

void PrintTo(const FaultyServer& c, std::ostream* out)
{
    *out << c.name;
}

class RtsdFaultyServer : public ::testing::TestWithParam<FaultyServer>
{
};

const FaultyServer cCases[] = {
    // Every answer's first packet twice: counted twice, it would end the
    // range one packet early and lose the rest of it.
    {"RepeatsAPacket",
     [](FakeRts& s) {
         s.onRequest = [](FakeRts& s, const Sent& r) {
             const std::string data = fedPackets(firstOf(r), r.end, 3);
             const std::string first = data.substr(0, rtest::get16(data.data()));
             answer(s, r, first + data);
         };
     },
     false, ""},
    // The first answer to each range numbered one above its messages: taken
    // as numbered, the cache would serve each message under the next number.
    // Asked again, the server keeps the rules.
    {"NumbersItsDataWronglyThenBehaves",
     [](FakeRts& s) {
         auto answered = std::make_shared<std::set<std::pair<std::uint32_t, std::uint32_t>>>();
         s.onRequest = [answered](FakeRts& s, const Sent& r) {
             if (answered->insert({r.begin, r.end}).second)
                 answer(s, r, fedPackets(firstOf(r), r.end, 4, 1));
             else
                 serveFaithfully(s, r);
         };
     },
     false, ""},
    // Three messages past each range's end, in a packet that also holds the
    // range's last ones: passed on whole, they would move the line filter's
    // next number into the live packet that follows the gap, which it then
    // drops whole, live messages nobody asks for again with it (after the
    // last gap, the feed's last ones).
    {"AnswersMoreThanAsked",
     [](FakeRts& s) {
         s.onRequest = [](FakeRts& s, const Sent& r) {
             answer(s, r, fedPackets(firstOf(r), std::min(r.end + 3, cLast), 4));
         };
     },
     false, ""},
    // The first answer lacks its last message, and the line stays up: the
    // request time-out bounces the line, and the range is asked again after
    // the reconnect, before the ranges queued behind it.
    {"LeavesOutTheLastMessageOfItsFirstAnswer",
     [](FakeRts& s) {
         auto first = std::make_shared<bool>(true);
         s.onRequest = [first](FakeRts& s, const Sent& r) {
             if (!std::exchange(*first, false))
                 serveFaithfully(s, r);
             else
                 answer(s, r, fedPackets(firstOf(r), r.end - 1, 4));
         };
     },
     false, "<RetransRequestTimeout>1</RetransRequestTimeout>"},
    // A primary that takes every connection and refuses every logon: the
    // backup behind it must get the work.
    {"RefusesEveryLogonBesideAWorkingBackup",
     [](FakeRts& s) {
         s.onLogon = [](FakeRts& s, const Sent&) { s.send(rtest::logonResponse(5, s.nextControl())); };
     },
     true, ""},
};

} // namespace

TEST_P(RtsdFaultyServer, TheCacheEndsCompleteAndExact)
{
    const FaultyServer& c = GetParam();
    std::string group = processtest::uniqueGroup(150, 1, 0);
    if (!rtstest::loopbackMulticastWorks(group))
    {
        std::cout << "multicast does not loop back on this machine: the line listens on 127.0.0.1 and is fed by "
                     "directed UDP\n";
        group = "127.0.0.1";
    }
    const int udpPort = rtstest::freeUdpPort();

    FakeRts primary;
    primary.onRequest = serveFaithfully;
    c.script(primary);
    primary.start();
    FakeRts backup;
    backup.onRequest = serveFaithfully;
    backup.start();

    RtsdProcess rtsd;
    std::map<std::string, std::string> keys = rtstest::liveFeedConfig(
        "RTSDFAULTY", "127.0.0.1/" + group + "/" + std::to_string(udpPort), rtstest::channelOneUser("check"));
    keys["SubFeeds"] = "<Value>FEED</Value><Value>RETR</Value>";
    // Long enough for a few reconnects on a busy machine; the unfinished
    // answer's last number waits for it.
    keys["FEED"] += "<LiveChannelId>1</LiveChannelId><FeedId>1</FeedId>"
                    "<LineFilterRetransActive>true</LineFilterRetransActive>"
                    "<LineFilterGapLimitTime>6</LineFilterGapLimitTime>";
    keys["RETR"] = "<LineDataFormat>dravek</LineDataFormat><FeedRole>retrans</FeedRole>"
                   "<LineHandlerType>login</LineHandlerType><LoginUsername>faulty</LoginUsername>"
                   "<TcpIpAddress>127.0.0.1</TcpIpAddress><TcpPort>" +
                   std::to_string(primary.port()) +
                   "</TcpPort><TcpConnectDelay>100</TcpConnectDelay><TcpConnectDelayMax>500</TcpConnectDelayMax>" +
                   (c.backup ? "<RetransBackupConnections><Value>127.0.0.1/" + std::to_string(backup.port()) +
                                   "</Value></RetransBackupConnections>"
                             : std::string()) +
                   c.retransKeys;
    rtsd.start({"--config-file", rtsd.writeConfig(keys)});
    ASSERT_TRUE(rtsd.waitForOutput("Module initialization completed")) << rtsd.out() << rtsd.err();
    ASSERT_TRUE(rtsd.waitForOutput("joined multicast stream successfully")) << rtsd.out();

    std::string fed;
    ASSERT_EQ(rtstest::feedLine(group, udpPort, cLast, cSize, cGaps, fed), 0) << fed;
    ASSERT_NE(fed.find("30 left out as gaps"), std::string::npos) << fed;

    // Every number of the feed, each with its own bytes, once.
    std::string fault = "not read";
    for (auto until = std::chrono::steady_clock::now() + 25s;
         !fault.empty() && std::chrono::steady_clock::now() < until;)
    {
        fault = rtstest::cacheFault(rtsd.port(), "check", 1, cLast, cSize);
        if (!fault.empty())
            std::this_thread::sleep_for(200ms);
    }
    EXPECT_EQ(fault, "") << gapFillingLines(rtsd);
    if (c.backup)
    {
        EXPECT_EQ(primary.connections(), 1) << "the primary was tried again";
    }

    rtsd.signal(SIGTERM);
    EXPECT_EQ(rtsd.waitExit(), 0) << rtsd.err();
}

INSTANTIATE_TEST_SUITE_P(Faults, RtsdFaultyServer, ::testing::ValuesIn(cCases),
                         [](const ::testing::TestParamInfo<FaultyServer>& info) { return std::string(info.param.name); });
