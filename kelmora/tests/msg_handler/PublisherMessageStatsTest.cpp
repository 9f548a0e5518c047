// A publisher's rate line: its numbers, and when it is left out (and then
// nothing is reset).
#include "../host_bus/HostTestSupport.h"

#include "kelmora/recovery/PublisherMessageStats.h"

#include <gtest/gtest.h>


namespace
{

class PublisherMessageStatsTest : public HostFixture
{
protected:
    void SetUp() override
    {
        HostFixture::SetUp();
        mStats.setName("quotes");
    }
    std::vector<std::string> statsLines() const
    {
        std::vector<std::string> out;
        for (const std::string& line : mSink.lines())
            if (line.find("statistics:") != std::string::npos)
                out.push_back(line.substr(0, line.find_last_not_of('\n') + 1));
        return out;
    }
    std::uint32_t sent()
    {
        std::uint32_t bytes = 0, count = 0;
        mStats.getStats(bytes, count);
        return count;
    }

    PublisherMessageStats mStats;
};

TEST_F(PublisherMessageStatsTest, RateLineThenEveryCounterStartsAgain)
{
    struct Case
    {
        std::uint32_t messages;
        std::uint32_t size;
        unsigned interval;
        std::string line;
    };
    const Case cases[] = {
        {3000, 100, 10, "Publisher(quotes) statistics: number=3000 msg/sec=300 bytes-avg=100 KB/sec=30"},
        {10, 100, 3, "Publisher(quotes) statistics: number=10 msg/sec=3 bytes-avg=100 KB/sec=0.333333"},
        {7, 1, 1, "Publisher(quotes) statistics: number=7 msg/sec=7 bytes-avg=1 KB/sec=0.007"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.line);
        for (std::uint32_t i = 0; i < c.messages; ++i)
            mStats.update(c.size);
        mStats.addRequest();
        const std::size_t before = statsLines().size();
        mStats.print(c.interval);
        const std::vector<std::string> lines = statsLines();
        ASSERT_EQ(lines.size(), before + 1);
        EXPECT_EQ(lines.back(), c.line);
        EXPECT_EQ(sent(), 0u);
        std::uint32_t requests = 9, refreshes = 9, recaps = 9, groups = 9, books = 9, wouldBlocks = 9;
        mStats.getRequests(requests, refreshes, recaps, groups, books, wouldBlocks);
        EXPECT_EQ(requests, 0u);
    }
}

TEST_F(PublisherMessageStatsTest, NothingIsLoggedOrResetWithoutTrafficWithZeroLengthsOrAZeroInterval)
{
    // No traffic: the requests go on adding up across intervals.
    mStats.addRequest();
    mStats.print(10);
    mStats.addRequest();
    mStats.addWouldBlock();
    mStats.print(10);
    std::uint32_t requests = 0, refreshes = 0, recaps = 0, groups = 0, books = 0, wouldBlocks = 0;
    mStats.getRequests(requests, refreshes, recaps, groups, books, wouldBlocks);
    EXPECT_EQ(requests, 2u);
    EXPECT_EQ(wouldBlocks, 1u);

    // More messages than bytes.
    mStats.update(0);
    mStats.update(0);
    mStats.print(10);
    EXPECT_EQ(sent(), 2u);

    // No interval: no rate, and the traffic waits for a real one.
    mStats.update(500);
    mStats.print(0);
    EXPECT_EQ(sent(), 3u);
    EXPECT_TRUE(statsLines().empty());
    mStats.print(1);
    EXPECT_EQ(statsLines(), std::vector<std::string>{
                                "Publisher(quotes) statistics: number=3 msg/sec=3 bytes-avg=166 KB/sec=0.5"});
}

TEST_F(PublisherMessageStatsTest, AQuietLogGetsNoLineButTheIntervalStillEnds)
{
    mLog.setLevel(LOG_LEVEL_NOTICE);
    mStats.update(100);
    mStats.print(10);
    EXPECT_TRUE(statsLines().empty());
    EXPECT_EQ(sent(), 0u);
}

} // namespace
