// The main road on the real framework: datagrams of text blocks sent to a
// loopback multicast group reach the sub-feed's filtered channel through the
// line built from configuration, in order, with a gap skipped after the gap
// time and reported; the monitor reports the line up; the line's admin
// methods leave and rejoin the group.
#include "../lh_base/LineHandlerTestSupport.h"
#include "RoadTestSupport.h"

#include "kelmora/bus/SeqNumGap.h"
#include "kelmora/linehandler/LineHandlerMulticast.h"
#include "kelmora/supervision/LineStatus.h"
#include "kelmora/thread/TarvokTimer.h"

#include "FendralCore/runtime/FrameworkResource.h"
#include "FendralCore/runtime/ResourceManager.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>

using roadtest::Seen;
using roadtest::block;

namespace
{

using Clock = std::chrono::steady_clock;

// On the admin session's thread: sends, asks the admin methods, and ends the run.
struct Driver : TarvokTimerHandler
{
    Driver(const std::string& group, int port) : group(group), port(std::to_string(port)), sender(group.c_str(), port) {}

    void request(const std::string& method)
    {
        admintest::relayRequest(*session, "orvane.A." + method, "host.1." + std::to_string(++requests),
                                group + "\t" + port);
    }
    // Joins the line asked for so far, as it logs them: the line's own state
    // belongs to its thread, not to this one.
    int joins() const { return log->count("joined multicast stream successfully"); }
    // The line's channel in the framework. The line counts as connected once
    // it asked for the join; the network thread joins or leaves later, and
    // until then what is sent to the group is lost or still received.
    ResourceStatus channel() const
    {
        ResourceName name{};
        ResourceManager::copyResourceName(name, line->getFeedName().c_str());
        UdpConnResource* res = nullptr;
        return ResourceManager::getInst().getUdpConnRes(name, &res) == 0 ? res->status.load() : RES_UNUSED;
    }
    // The line asked for its n-th join and the network thread has made it.
    bool joined(int n) const { return joins() >= n && channel() == RES_CONNECTED; }
    bool seen(const std::string& tail) const
    {
        const std::string events = filtered->taken();
        return events.size() >= tail.size() && events.compare(events.size() - tail.size(), tail.size(), tail) == 0;
    }
    void onTimer(TarvokTimer* timer) override
    {
        const auto now = Clock::now();
        if (now - begun > std::chrono::seconds(20))
        {
            timedOutIn = phase;
            phase = 99;
        }
        switch (phase)
        {
        case 0:
            if (!joined(1))
                return;
            sender.send(block({"O1a", "O2b"}));
            sender.send(block({"O3c"}));
            sender.send(block({"O5e", "O6f"}));
            sentGapAt = now;
            phase = 1;
            return;
        case 1:
            if (!seen("6"))
                return;
            gapHeld = now - sentGapAt;
            request("unjoinmulticastgroup");
            phase = 2;
            return;
        case 2:
            if (client.taken().size() < 1 || channel() == RES_CONNECTED)
                return;
            sender.send(block({"O7g"}));
            mark = now;
            phase = 3;
            return;
        case 3:
            if (now - mark < std::chrono::milliseconds(200))
                return;
            whileLeft = filtered->taken();
            request("rejoinmulticastgroup");
            phase = 4;
            return;
        case 4:
            if (client.taken().size() < 2 || !joined(2))
                return;
            // Apart, not as one block: the datagram sent while the line had
            // left may still sit in the socket and come first, and a block
            // starting at a number already passed is dropped whole.
            sender.send(block({"O7g"}));
            sender.send(block({"O8h"}));
            phase = 5;
            return;
        case 5:
            if (!seen("8"))
                return;
            phase = 100;
            break;
        default:
            break;
        }
        timer->destroy();
        hostrun::stopFramework();
    }

    std::string group, port;
    hostrun::LoopbackGroupSender sender;
    TarvokSession* session = nullptr;
    LineHandler* line = nullptr;
    Seen* filtered = nullptr;
    const hostrun::CaptureSink* log = nullptr;
    admintest::RecordingClient client;
    int requests = 0;
    int phase = 0;
    int timedOutIn = -1;
    Clock::time_point begun = Clock::now(), sentGapAt, mark;
    Clock::duration gapHeld{};
    std::string whileLeft;
};

TEST(MulticastRoad, BlocksFromALoopbackGroupReachTheFilteredChannelInOrder)
{
    const std::string group = "239.255.43.33";
    const int port = lhtest::freeUdpPort();
    roadtest::RoadHost road("<LineHandlerType>multicast</LineHandlerType><Listen>127.0.0.1/" + group + "/" +
                                std::to_string(port) + "</Listen>",
                            "<LineFilterInitialSeqNum>1</LineFilterInitialSeqNum>"
                            "<LineFilterGapLimitTime>0.5</LineFilterGapLimitTime>"
                            "<LineDataSeqNumOffset>1</LineDataSeqNumOffset>");
    Seen filtered;
    Driver driver(group, port);
    driver.filtered = &filtered;
    driver.log = &road.host.sink;
    TarvokTimer timer;
    ASSERT_TRUE(road.run([&](ModuleList& list) {
        findModule<Orlu<LineData>>(&list, "OrluLineData", "A")->subscribe(&filtered);
        findModule<Orlu<SeqNumGap>>(&list, "OrluSeqNumGap", "A")->subscribe(&filtered);
        findModule<Orlu<LineStatus>>(&list, "OrluLineStatus", "A")->subscribe(&filtered);
        driver.line = findModule<LineHandler>(&list, "LineHandler", "A");
        driver.session = findModule<TarvokSession>(&list, "TarvokSessionOrvane", "default");
        driver.session->setOrvaneClient(&driver.client);
        timer.create(driver.session, &driver, 5, nullptr);
    }));

    ASSERT_NE(driver.line, nullptr);
    EXPECT_EQ(driver.phase, 100) << "timed out in phase " << driver.timedOutIn;
    EXPECT_EQ(filtered.taken(), "1 2 3 gap4-4 5 6 7 8");
    EXPECT_EQ(driver.whileLeft, "1 2 3 gap4-4 5 6");
    EXPECT_GE(driver.gapHeld, std::chrono::milliseconds(450));
    EXPECT_NE(std::find(filtered.statuses.begin(), filtered.statuses.end(), "up"), filtered.statuses.end());
    std::vector<std::string> replies;
    for (const std::string& rec : driver.client.taken())
        replies.push_back(admintest::field(rec, 151, 1200));
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0].rfind("Unjoined: A", 0), 0u) << replies[0];
    EXPECT_EQ(replies[1].rfind("Rejoined :A", 0), 0u) << replies[1];
}

} // namespace
