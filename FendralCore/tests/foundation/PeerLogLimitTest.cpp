#include "FendralCore/foundation/PeerLogLimit.h"

#include <gtest/gtest.h>

namespace
{

int64 g_now = 0;
int64 fakeNow()
{
    return g_now;
}

constexpr int64 cSecond = 1000LL * 1000 * 1000;

// Counts what a run of lines at the given times writes and reports.
struct Tally
{
    int written = 0;
    uint64 reported = 0;
    int summaries = 0;
};

Tally feed(PeerLogLimit& limit, int lines, int64 at)
{
    Tally tally;
    g_now = at;
    for (int i = 0; i < lines; ++i)
    {
        const PeerLogLimit::Verdict verdict = limit.next();
        tally.written += verdict.write ? 1 : 0;
        if (verdict.heldBack != 0)
        {
            tally.reported += verdict.heldBack;
            ++tally.summaries;
        }
    }
    return tally;
}

} // namespace

// A flood writes ten lines a minute and one count of the rest per minute;
// every held-back line is reported exactly once, at the next window or when
// the peer's connection closes.
TEST(PeerLogLimit, TenLinesAMinuteThenOneCountOfTheRest)
{
    PeerLogLimit limit(&fakeNow);

    Tally first = feed(limit, 110000, 0);
    EXPECT_EQ(first.written, 10);
    EXPECT_EQ(first.summaries, 0);

    // Still inside the minute: nothing more is written.
    Tally late = feed(limit, 5, 59 * cSecond);
    EXPECT_EQ(late.written, 0);

    // The next minute opens with the count of the last, then ten lines again.
    Tally next = feed(limit, 20, 60 * cSecond);
    EXPECT_EQ(next.summaries, 1);
    EXPECT_EQ(next.reported, 110000u - 10 + 5);
    EXPECT_EQ(next.written, 10);

    EXPECT_EQ(limit.takeHeldBack(), 10u);
    EXPECT_EQ(limit.takeHeldBack(), 0u);

    // A quiet peer after the window: written again, nothing to report.
    Tally quiet = feed(limit, 3, 200 * cSecond);
    EXPECT_EQ(quiet.written, 3);
    EXPECT_EQ(quiet.summaries, 0);
    EXPECT_EQ(PeerLogLimit::heldBackText(7), "7 similar log lines held back");
}

// Each peer has its own budget.
TEST(PeerLogLimit, PeersAreCountedApart)
{
    PeerLogLimit a(&fakeNow);
    PeerLogLimit b(&fakeNow);
    EXPECT_EQ(feed(a, 50, 0).written, 10);
    EXPECT_EQ(feed(b, 50, 0).written, 10);
}
