#include "FendralCore/foundation/Int2Txt.h"
#include "FendralCore/foundation/TimeFunc.h"
#include "FendralCore/foundation/TrimString.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace
{

// Sets TZ for one test and restores it afterwards.
class ScopedTimeZone
{
public:
    explicit ScopedTimeZone(const char* zone)
    {
        const char* old = std::getenv("TZ");
        m_had = old != nullptr;
        if (m_had)
            m_old = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ScopedTimeZone()
    {
        if (m_had)
            setenv("TZ", m_old.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    bool m_had = false;
    std::string m_old;
};

TEST(Int2Txt, FixedWidthFields)
{
    const struct
    {
        bool right;
        uint64 value;
        int32 width;
        int32 base;
        bool spaceFill;
        int32 result;
        std::string text; // bytes written, NUL included where one is written
    } cases[] = {
        {true, 42, 5, 10, true, 1, "   42"},
        {true, 42, 5, 10, false, 1, "00042"},
        {true, 255, 2, 16, false, 1, "FF"},
        {true, 0, 3, 10, false, 1, "000"},
        {true, 5, 3, 2, false, 1, "101"},
        {true, 100000, 5, 10, false, 0, ""},
        {true, 1, 2, 17, false, 0, ""},
        {true, 1, 2, 1, false, 0, ""},
        {false, 7, 3, 10, false, 1, std::string("7\0", 2)},
        {false, 7, 3, 10, true, 1, "7  "},
        {false, 123, 3, 10, false, 1, "123"},
        {false, 1234, 3, 10, true, 0, ""},
    };
    for (const auto& c : cases)
    {
        char buf[32];
        std::memset(buf, '#', sizeof(buf));
        const int32 r = c.right ? int2TxtRightAlign(c.value, buf, c.width, c.base, c.spaceFill)
                                : int2TxtLeftAlign(c.value, buf, c.width, c.base, c.spaceFill);
        EXPECT_EQ(r, c.result) << c.value;
        if (r == 1)
        {
            EXPECT_EQ(std::string(buf, c.text.size()), c.text) << c.value;
        }
        EXPECT_EQ(buf[std::max<size_t>(c.text.size(), static_cast<size_t>(c.width))], '#') << "wrote past the field";
    }
}

TEST(TrimString, TrimsOnlyTheEnds)
{
    EXPECT_EQ(TrimString::trim("   "), "");
    EXPECT_EQ(TrimString::trim("a b"), "a b");
    EXPECT_EQ(TrimString::trim("\t a b \n"), "a b");
    EXPECT_EQ(TrimString::ltrim("  x  "), "x  ");
    EXPECT_EQ(TrimString::rtrim("  x  "), "  x");
    EXPECT_EQ(TrimString::rtrim("dir///", "/"), "dir");
}

TEST(TimeFunc, DifferenceBorrowsASecond)
{
    EXPECT_EQ(timeDiff({1, 900000000}, {2, 100000000}), 200000000);
    EXPECT_EQ(timeDiff({2, 100000000}, {1, 900000000}), -200000000);
}

TEST(TimeFunc, TextForms)
{
    ScopedTimeZone zone("UTC");
    tm t{};
    t.tm_year = 126;
    t.tm_mon = 0;
    t.tm_mday = 2;
    t.tm_hour = 3;
    t.tm_min = 4;
    t.tm_sec = 5;
    char buf[32] = {};
    ASSERT_EQ(time2StringTm(t, buf, 19, true), 0);
    EXPECT_EQ(std::string(buf, 19), "2026/01/02 03:04:05");
    EXPECT_EQ(time2StringTm(t, buf, 18, true), -1);
    EXPECT_EQ(time2StringTm(t, buf, 7, false), -1);

    const timeval tv{1767323045, 7}; // 2026/01/02 03:04:05 UTC
    EXPECT_EQ(time2StringTv(tv, buf, 26, true), -1);
    ASSERT_EQ(time2StringTv(tv, buf, 27, true), 0);
    EXPECT_STREQ(buf, "2026/01/02 03:04:05.000007");
    EXPECT_EQ(time2StringTv(tv, buf, 15, false), -1);
    ASSERT_EQ(time2StringTv(tv, buf, 16, false), 0);
    EXPECT_STREQ(buf, "03:04:05.000007");
    ASSERT_EQ(time2String({1767323045, 123456789}, buf, 27, true), 0);
    EXPECT_STREQ(buf, "2026/01/02 03:04:05.123456");

    time_t back = 0;
    ASSERT_EQ(string2Time("2026/01/02 03:04:05", &back, true), 0);
    EXPECT_EQ(back, 1767323045);
    ASSERT_EQ(string2Time("01:00:01", &back, false), 0);
    EXPECT_EQ(back, 3601);
    EXPECT_EQ(string2Time("2026-01-02", &back, true), -1);
    EXPECT_EQ(string2Time("01:00:01", nullptr, false), -1);
}

TEST(TimeFunc, ClockTimeIsRightUnderDaylightSaving)
{
    // 2026-07-01 12:00:00 UTC is 14:00 in Paris (summer time), 13:00 in winter.
    ScopedTimeZone zone("Europe/Paris");
    char buf[16];
    ASSERT_EQ(time2StringTv({1782907200, 0}, buf, sizeof(buf), false), 0);
    EXPECT_STREQ(buf, "14:00:00.000000");
}

} // namespace
