// rtsd catching a live sub-feed up from its refresh line, run as a feed runs
// it: the tests' feed plug-in, loaded through SharedObjects, writes what its
// message handler is handed to the log; an exchange stand-in sends realtime
// data and refresh cycles of about 0.7 s on loopback multicast; the tests'
// own retransmission server answers every range as not available, so that a
// gap in the realtime data becomes a refresh. With the default gap time limit
// (0.5 s), shorter than a cycle, the handler gets the data before the gap,
// its reset, one whole snapshot and the realtime data from the snapshot's
// last number on: none repeated, none lost.
#include "rts/tests/retrans_e2e/GapFillTestSupport.h"

#include "FendralCore/tests/support/ProcessTestSupport.h"
#include "kelmora/tests/refresh/RefreshTestSupport.h"
#include "kelmora/tests/retrans_client/RetransTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using proctest::RtsdProcess;
using namespace std::chrono_literals;

namespace
{

constexpr std::uint32_t cLast = 3000;
constexpr std::uint32_t cGapFrom = 301, cGapTo = 310;
constexpr int cCyclePackets = 14;
// Past the filter's gap time limit, before the cycle that the refresh takes
// ends (cycles end 650 ms into each 700).
constexpr int cFillDelayMs = 600;

struct Line
{
    std::string group;
    int port;
    std::string listen() const { return "127.0.0.1/" + group + "/" + std::to_string(port); }
};

// The exchange: realtime messages 1 to cLast on line A, five to a packet and
// one a millisecond, without the gap; the gap's packets on line B (when
// there is one) cFillDelay after A passed them; on the refresh line, cycles of
// cCyclePackets packets 50 ms apart, each a snapshot as of the last realtime
// number sent when it began ("c<cycle>.<i>@<number>"), closed by a
// refresh-complete message that carries that number.
class Exchange
{
public:
    Exchange(const Line& a, const std::optional<Line>& b, const Line& refresh)
        : mWorker([this, a, b, refresh] {
              hostrun::blockExitSignals();
              run(a, b, refresh);
          })
    {
    }
    ~Exchange()
    {
        mStop = true;
        mWorker.join();
    }
    Exchange(const Exchange&) = delete;
    Exchange& operator=(const Exchange&) = delete;

private:
    void run(const Line& a, const std::optional<Line>& b, const Line& refresh)
    {
        hostrun::LoopbackGroupSender toA(a.group.c_str(), a.port);
        std::optional<hostrun::LoopbackGroupSender> toB;
        if (b)
            toB.emplace(b->group.c_str(), b->port);
        hostrun::LoopbackGroupSender toRefresh(refresh.group.c_str(), refresh.port);
        std::vector<std::pair<int, std::string>> late;
        std::uint32_t next = 1, sent = 0, refreshSeq = 1, cycle = 0, covered = 0;
        const auto start = std::chrono::steady_clock::now();
        for (int ms = 0; !mStop; ++ms)
        {
            std::this_thread::sleep_until(start + std::chrono::milliseconds(ms));
            if (ms % 5 == 0 && next <= cLast)
            {
                std::string body;
                for (std::uint32_t n = next; n < next + 5; ++n)
                    body += rtstest::feedMessage(n);
                const std::string packet = rtest::packet(next, 5, body);
                if (next >= cGapFrom && next <= cGapTo)
                    late.emplace_back(ms + cFillDelayMs, packet);
                else
                    toA.send(packet);
                next += 5;
                sent = next - 1;
            }
            for (auto it = late.begin(); it != late.end() && it->first <= ms;)
            {
                if (toB)
                    toB->send(it->second);
                it = late.erase(it);
            }
            if (ms % 50 != 0)
                continue;
            const int i = ms / 50 % cCyclePackets;
            if (i == 0)
                covered = sent;
            const std::string message =
                i + 1 < cCyclePackets
                    ? refreshtest::data("c" + std::to_string(cycle) + "." + std::to_string(i) + "@" +
                                        std::to_string(covered))
                    : refreshtest::complete(covered);
            toRefresh.send(refreshtest::packet(refreshSeq++, {message}));
            if (i + 1 == cCyclePackets)
                ++cycle;
        }
    }

    std::atomic<bool> mStop{false};
    std::thread mWorker;
};

// What the handler of sub-feed FEED was handed, in order: "d<n>" for
// realtime message n, "reset", and "m:<body>" for a snapshot message.
std::vector<std::string> handed(const std::string& log)
{
    const std::string prefix = "RecordingMessageHandler(FEED) ";
    std::vector<std::string> out;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);)
    {
        const auto at = line.find(prefix);
        if (at == std::string::npos)
            continue;
        const std::string entry = line.substr(at + prefix.size());
        if (entry.rfind("data ", 0) == 0)
            out.push_back("d" + entry.substr(5, entry.find('@') - 5));
        else if (entry.rfind("reset@", 0) == 0)
            out.push_back("reset");
        else if (entry.rfind("message ", 0) == 0 && entry.find(" body=") != std::string::npos)
            out.push_back("m:" + entry.substr(entry.find(" body=") + 6));
    }
    return out;
}

void addData(std::vector<std::string>& to, std::uint32_t from, std::uint32_t last)
{
    for (std::uint32_t n = from; n <= last; ++n)
        to.push_back("d" + std::to_string(n));
}

// What the handler must have been handed: the data up to the gap, then its
// reset, the whole of one snapshot and the data after the snapshot's last
// number; or, when the feed filled the gap itself and the refresh was
// cancelled, the whole of the data. "" when it was, else the difference.
std::string handedFault(const std::vector<std::string>& got, bool refreshMayBeCancelled)
{
    std::vector<std::string> want;
    const auto reset = std::find(got.begin(), got.end(), "reset");
    if (reset == got.end() && refreshMayBeCancelled)
        addData(want, 1, cLast);
    else if (reset == got.end())
        return "no reset among " + std::to_string(got.size()) + " entries";
    else
    {
        addData(want, 1, cGapFrom - 1);
        want.push_back("reset");
        // The snapshot's first message names its cycle and its last number.
        const std::string first = reset + 1 != got.end() ? reset[1] : "";
        const auto dot = first.find('.'), atSign = first.find('@');
        if (first.rfind("m:c", 0) != 0 || dot == std::string::npos || atSign == std::string::npos)
            return "no snapshot after the reset: " + first;
        const std::string cycle = first.substr(3, dot - 3);
        const std::uint32_t covered = static_cast<std::uint32_t>(std::stoul(first.substr(atSign + 1)));
        if (covered < cGapTo)
            return "a snapshot that does not cover the gap: " + first;
        for (int i = 0; i + 1 < cCyclePackets; ++i)
            want.push_back("m:c" + cycle + "." + std::to_string(i) + "@" + std::to_string(covered));
        want.push_back("m:" + ZunqDumpUtils::writePeerBytes(refreshtest::u32(covered).data(), 4));
        addData(want, covered + 1, cLast);
    }
    if (got == want)
        return "";
    std::size_t at = 0;
    while (at < got.size() && at < want.size() && got[at] == want[at])
        ++at;
    return "handed " + std::to_string(got.size()) + " entries, " + std::to_string(want.size()) + " due; entry " +
           std::to_string(at) + " is " + (at < got.size() ? got[at] : "missing") + " where " +
           (at < want.size() ? want[at] : "nothing") + " was due";
}

struct Case
{
    const char* name;
    // The other live line sends the gap's packets before the cycle ends.
    bool lateFill;
};

void PrintTo(const Case& c, std::ostream* out)
{
    *out << c.name;
}

class RtsdRefresh : public ::testing::TestWithParam<Case>
{
};

const Case cCases[] = {
    {"TheGapBecomesARefreshThatRunsToItsEnd", false},
    {"TheOtherLiveLineFillsTheGapAfterItsTimeLimitBeforeTheCycleEnds", true},
};

} // namespace

TEST_P(RtsdRefresh, TheHandlerGetsEveryNumberOnceAcrossTheSnapshot)
{
    const Case& c = GetParam();
    std::vector<Line> lines;
    for (int n = 0; n < 3; ++n)
        lines.push_back({processtest::uniqueGroup(160, 3, n), rtstest::freeUdpPort()});
    if (!rtstest::loopbackMulticastWorks(lines[0].group))
    {
        std::cout << "multicast does not loop back on this machine: the lines listen on 127.0.0.1 and are fed by "
                     "directed UDP\n";
        for (Line& line : lines)
            line.group = "127.0.0.1";
    }
    const Line &a = lines[0], &b = lines[1], &refresh = lines[2];

    rtest::FakeRts server;
    server.onRequest = [](rtest::FakeRts& s, const rtest::Sent& r) { s.serve(r, 2); };
    server.start();

    RtsdProcess rtsd;
    std::map<std::string, std::string> keys = rtstest::liveFeedConfig(
        "RTSDREFRESH", c.lateFill ? a.listen() + "," + b.listen() : a.listen(), rtstest::channelOneUser("check"));
    keys["SharedObjects"] = std::string("<Value>") + MSG_HANDLER_PLUGIN + "</Value>";
    keys["LineHandlerZunqRefreshEnabled"] = "true";
    keys["SubFeeds"] = "<Value>FEED</Value><Value>RETR</Value>";
    // The default gap time limit; the retransmission client on the live
    // sub-feed's thread, as the refresh client is.
    keys["FEED"] += "<LiveChannelId>1</LiveChannelId><FeedId>1</FeedId>"
                    "<LineFilterRetransActive>true</LineFilterRetransActive>"
                    "<RefreshListen>" + refresh.listen() + "</RefreshListen>"
                    "<RecordingHandlerLog>true</RecordingHandlerLog>";
    keys["RETR"] = "<LineDataFormat>dravek</LineDataFormat><FeedRole>retrans</FeedRole>"
                   "<LineHandlerType>login</LineHandlerType><LoginUsername>refresh</LoginUsername>"
                   "<TcpIpAddress>127.0.0.1</TcpIpAddress><TcpPort>" +
                   std::to_string(server.port()) +
                   "</TcpPort><UseNamedThread>LIVETHREAD</UseNamedThread><RecordingHandler>false</RecordingHandler>";
    rtsd.start({"--config-file", rtsd.writeConfig(keys)});
    ASSERT_TRUE(rtsd.waitForOutput("Module initialization completed")) << rtsd.out() << rtsd.err();
    ASSERT_TRUE(rtsd.waitForOutput("joined multicast stream successfully")) << rtsd.out();

    {
        Exchange exchange(a, c.lateFill ? std::optional<Line>(b) : std::nullopt, refresh);
        EXPECT_TRUE(rtsd.waitForOutput("RecordingMessageHandler(FEED) data " + std::to_string(cLast) + "@"))
            << rtsd.out();
    }
    const std::string out = rtsd.out();
    EXPECT_EQ(handedFault(handed(out), c.lateFill), "");
    EXPECT_EQ(RtsdProcess::count(out, "permanently missed"), 0);
    if (!c.lateFill)
    {
        // A refresh that ended cancels nothing and leaves its lines once.
        EXPECT_EQ(RtsdProcess::count(out, "Refresh CANCEL"), 0);
        EXPECT_EQ(RtsdProcess::count(out, "Disconnecting Refresh LineHandlers"), 1);
    }
    EXPECT_EQ(server.of(201).size(), 1u) << "the gap is asked for once";

    rtsd.signal(SIGTERM);
    EXPECT_EQ(rtsd.waitExit(), 0) << rtsd.err();
}

INSTANTIATE_TEST_SUITE_P(Gaps, RtsdRefresh, ::testing::ValuesIn(cCases),
                         [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });
