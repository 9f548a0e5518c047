#include "kelmora/time/TimeHelper.h"
#include "kelmora/time/TraceSymbol.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <time.h>

namespace
{

// Local time pinned to UTC and "now" pinned to 2024-03-01 09:30:00.
class PinnedTimeHelper : public TimeHelper
{
public:
    std::time_t pinned = 1709285400;

protected:
    std::time_t now() const override { return pinned; }
};

class TimeHelperTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        const char* tz = std::getenv("TZ");
        mSavedTz = tz != nullptr ? std::optional<std::string>(tz) : std::nullopt;
        setenv("TZ", "UTC", 1);
        tzset();
    }
    void TearDown() override
    {
        if (mSavedTz)
            setenv("TZ", mSavedTz->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    std::optional<std::string> mSavedTz;
};

std::tm timeOfDay(int hour, int minute, int second)
{
    std::tm t{};
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return t;
}

TEST_F(TimeHelperTest, TimeTextOnTodaysDate)
{
    PinnedTimeHelper helper;
    std::tm out{};
    out.tm_yday = 123; // whatever the caller had is not kept
    EXPECT_TRUE(helper.getTimeStructure("093000", out));
    EXPECT_EQ(out.tm_hour, 9);
    EXPECT_EQ(out.tm_min, 30);
    EXPECT_EQ(out.tm_sec, 0);
    EXPECT_EQ(out.tm_year, 124);
    EXPECT_EQ(out.tm_mon, 2);
    EXPECT_EQ(out.tm_mday, 1);
    EXPECT_EQ(out.tm_wday, 5);
    EXPECT_EQ(out.tm_yday, 0);

    EXPECT_FALSE(helper.getTimeStructure("xx", out));
    EXPECT_EQ(out.tm_hour, 0);
    EXPECT_EQ(out.tm_mday, 1);
}

TEST_F(TimeHelperTest, TimesOfDayAgainstEachOtherAndTheClock)
{
    PinnedTimeHelper helper;
    const struct
    {
        std::tm t;
        bool equalOrAfterNow; // now is t or later
        bool afterNow;        // now is strictly later than t
    } cases[] = {
        {timeOfDay(9, 30, 0), true, false},
        {timeOfDay(9, 29, 59), true, true},
        {timeOfDay(9, 30, 1), false, false},
        {timeOfDay(10, 0, 0), false, false},
        {timeOfDay(0, 0, 0), true, true},
    };
    for (const auto& c : cases)
    {
        EXPECT_EQ(helper.isCurrentTimeEqualOrAfter(c.t), c.equalOrAfterNow) << c.t.tm_hour << ":" << c.t.tm_min;
        EXPECT_EQ(helper.isAfterCurrentTime(c.t), c.afterNow) << c.t.tm_hour << ":" << c.t.tm_min;
    }
    EXPECT_FALSE(TimeHelper::isAfter(timeOfDay(9, 30, 0), timeOfDay(9, 30, 0)));
    EXPECT_TRUE(TimeHelper::isAfter(timeOfDay(9, 30, 1), timeOfDay(9, 30, 0)));
    EXPECT_TRUE(TimeHelper::isAfter(timeOfDay(10, 0, 0), timeOfDay(9, 59, 59)));
    EXPECT_FALSE(TimeHelper::isAfter(timeOfDay(9, 59, 59), timeOfDay(10, 0, 0)));

    std::tm a = timeOfDay(9, 30, 0);
    a.tm_mday = 1;
    std::tm b = a;
    EXPECT_TRUE(TimeHelper::isSameTime(a, b));
    b.tm_mon = 1;
    EXPECT_FALSE(TimeHelper::isSameTime(a, b));
}

TEST_F(TimeHelperTest, EpochTimesFromTexts)
{
    TimeHelper helper;
    unsigned long seconds = 0;
    ASSERT_TRUE(helper.getUtcTimeInSecond("20240301 093000", "%Y%m%d %H%M%S", seconds));
    EXPECT_EQ(seconds, 1709285400ul);
    unsigned long nanos = 0;
    ASSERT_TRUE(helper.getUtcTimeInNanoSecond("20240301 093000", "%Y%m%d %H%M%S", nanos));
    EXPECT_EQ(nanos, 1709285400000000000ul);

    seconds = 5;
    EXPECT_FALSE(helper.getUtcTimeInSecond("not a date", "%Y%m%d %H%M%S", seconds));
    EXPECT_FALSE(helper.getUtcTimeInSecond(nullptr, "%Y", seconds));
    EXPECT_EQ(seconds, 5ul);
    EXPECT_EQ(helper.getPacketSendTime(1), 1000ul);
}

TEST(TraceSymbol, HoldsAtMost31CharactersAndMatchesExactly)
{
    TraceSymbol::setSymbol(nullptr);
    EXPECT_TRUE(TraceSymbol::matches(""));
    EXPECT_FALSE(TraceSymbol::matches(nullptr));

    TraceSymbol::setSymbol("IBM");
    EXPECT_TRUE(TraceSymbol::matches("IBM"));
    EXPECT_FALSE(TraceSymbol::matches("IBMX"));
    EXPECT_FALSE(TraceSymbol::matches("IB"));

    const std::string longSymbol(100, 'S');
    TraceSymbol::setSymbol(longSymbol.c_str());
    EXPECT_EQ(std::string(TraceSymbol::getSymbol()), std::string(31, 'S'));
    TraceSymbol::setSymbol(nullptr);
}

} // namespace
