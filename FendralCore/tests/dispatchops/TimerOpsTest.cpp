#include "OpsHarness.h"

#include <string>

class DispatchTimers : public ::testing::TestWithParam<LoopSetup>
{
};

// The per-thread limit is MSG_DISP_FD_NUM + 5 (105 by default), in the
// descriptor loops and the polling loop alike; bad intervals and names fail
// with handle 0; a freed place can be taken again.
TEST_P(DispatchTimers, LimitsIntervalsAndNamesAreChecked)
{
    OpsHarness h(GetParam());
    h.onApp([](MsgDispatcher& md) {
        int64 handle = -1;
        for (int32 i = 0; i < 105; ++i)
        {
            const std::string name = "T" + std::to_string(i);
            ASSERT_EQ(md.createTimer(name.c_str(), 3600000, true, handle), 0) << i;
            EXPECT_NE(handle, 0);
            EXPECT_EQ(md.getTimerHandle(name.c_str()), handle);
        }
        struct Case
        {
            const char* what;
            std::function<int32(int64&)> create;
            int32 code;
        };
        const std::vector<Case> refused = {
            {"106th", [&](int64& hd) { return md.createTimer("EXTRA", 10, true, hd); }, NOT_ENOUGH_EMPTY_ENTRY},
            {"106th in microseconds", [&](int64& hd) { return md.createUTimer("EXTRA", 10, true, hd); },
             NOT_ENOUGH_EMPTY_ENTRY},
            {"zero milliseconds", [&](int64& hd) { return md.createTimer("Z", 0, true, hd); }, INVALID_TIMER_INTERVAL},
            {"negative milliseconds", [&](int64& hd) { return md.createTimer("Z", -5, false, hd); },
             INVALID_TIMER_INTERVAL},
            {"zero microseconds", [&](int64& hd) { return md.createUTimer("Z", 0, false, hd); },
             INVALID_TIMER_INTERVAL},
            {"name taken", [&](int64& hd) { return md.createTimer("T7", 10, true, hd); }, RES_NAME_EXIST},
            {"no name", [&](int64& hd) { return md.createTimer(nullptr, 10, true, hd); }, NULL_PARAM},
            {"empty name", [&](int64& hd) { return md.createTimer("", 10, true, hd); }, RES_NO_NAME},
            {"empty name in microseconds", [&](int64& hd) { return md.createUTimer("", 10, true, hd); },
             RES_NO_NAME},
            {"17 characters", [&](int64& hd) { return md.createTimer("ABCDEFGHIJKLMNOPQ", 10, true, hd); },
             RES_NAME_TOO_LONG},
            {"17 characters in microseconds",
             [&](int64& hd) { return md.createUTimer("ABCDEFGHIJKLMNOPQ", 10, true, hd); }, RES_NAME_TOO_LONG},
        };
        for (const Case& c : refused)
        {
            SCOPED_TRACE(c.what);
            handle = -1;
            EXPECT_EQ(c.create(handle), -1);
            EXPECT_EQ(FrameworkErrno::m_fwErrno, c.code);
            EXPECT_EQ(handle, 0);
        }
        EXPECT_EQ(md.getNumTimers(), 105);

        const int64 t3 = md.getTimerHandle("T3");
        EXPECT_EQ(md.removeTimer(t3), 0);
        EXPECT_EQ(md.getTimerHandle("T3"), 0);
        EXPECT_EQ(md.createTimer("AGAIN", 10, true, handle), 0);
        EXPECT_EQ(md.getNumTimers(), 105);
        for (int32 i = 0; i < 105; ++i)
            if (i != 3)
            {
                EXPECT_EQ(md.removeTimer(("T" + std::to_string(i)).c_str()), 0);
            }
        EXPECT_EQ(md.removeTimer("AGAIN"), 0);
        EXPECT_EQ(md.getNumTimers(), 0);
    });
}

// Handles: 0 is invalid, a removed timer's handle is no longer followed, and
// unknown names are reported as such.
TEST_P(DispatchTimers, StaleAndUnknownHandlesAndNamesAreRefused)
{
    OpsHarness h(GetParam());
    h.onApp([](MsgDispatcher& md) {
        int64 handle = 0;
        ASSERT_EQ(md.createTimer("GONE", 3600000, false, handle), 0);
        ASSERT_EQ(md.removeTimer("GONE"), 0);
        struct Case
        {
            const char* what;
            std::function<int32()> call;
            int32 code;
        };
        const std::vector<Case> cases = {
            {"remove handle 0", [&] { return md.removeTimer(int64{0}); }, INVALID_TIMER_HANDLE},
            {"start handle 0", [&] { return md.startTimer(int64{0}); }, INVALID_TIMER_HANDLE},
            {"stop handle 0", [&] { return md.stopTimer(int64{0}); }, INVALID_TIMER_HANDLE},
            {"remove removed", [&] { return md.removeTimer(handle); }, TIMER_NOT_FOUND},
            {"start removed", [&] { return md.startTimer(handle); }, TIMER_NOT_FOUND},
            {"stop removed", [&] { return md.stopTimer(handle); }, TIMER_NOT_FOUND},
            {"remove unknown name", [&] { return md.removeTimer("NONE"); }, INVALID_TIMER_HANDLE},
            {"start unknown name", [&] { return md.startTimer("NONE"); }, RES_NOT_EXIST},
            {"stop unknown name", [&] { return md.stopTimer("NONE"); }, RES_NOT_EXIST},
            {"remove removed name", [&] { return md.removeTimer("GONE"); }, INVALID_TIMER_HANDLE},
            {"start removed name", [&] { return md.startTimer("GONE"); }, RES_NOT_EXIST},
            {"remove 17 characters", [&] { return md.removeTimer("ABCDEFGHIJKLMNOPQ"); }, INVALID_TIMER_HANDLE},
            {"start 17 characters", [&] { return md.startTimer("ABCDEFGHIJKLMNOPQ"); }, RES_NOT_EXIST},
            {"stop 17 characters", [&] { return md.stopTimer("ABCDEFGHIJKLMNOPQ"); }, RES_NOT_EXIST},
        };
        for (const Case& c : cases)
        {
            SCOPED_TRACE(c.what);
            FrameworkErrno::m_fwErrno = 0;
            EXPECT_EQ(c.call(), -1);
            EXPECT_EQ(FrameworkErrno::m_fwErrno, c.code);
        }
        EXPECT_EQ(md.getTimerHandle("GONE"), 0);

        // The longest name is whole in the timer, so it is found and removed by it.
        const char* longest = "ABCDEFGHIJKLMNOP";
        ASSERT_EQ(md.createTimer(longest, 3600000, false, handle), 0);
        EXPECT_EQ(md.getTimerHandle(longest), handle);
        EXPECT_EQ(md.createTimer(longest, 3600000, false, handle), -1);
        EXPECT_EQ(FrameworkErrno::m_fwErrno, RES_NAME_EXIST);
        EXPECT_EQ(md.removeTimer(longest), 0);
        EXPECT_EQ(md.getNumTimers(), 0);
    });
}

// A microsecond timer fires as a TIMER event named after it; a stopped timer
// stays silent past its interval and fires once started again, by handle or
// by name.
TEST_P(DispatchTimers, MicrosecondTimersFireAndStoppedTimersFireOnceRestarted)
{
    OpsHarness h(GetParam());
    int64 micro = 0;
    int64 byName = 0;
    h.onApp([&](MsgDispatcher& md) {
        ASSERT_EQ(md.createUTimer("MICRO", 300, false, micro), 0);
        ASSERT_EQ(md.createTimer("BYNAME", 20, false, byName), 0);
        ASSERT_EQ(md.stopTimer("BYNAME"), 0);
    });
    auto timerEvents = [&h](const char* name) {
        size_t n = 0;
        for (const CallRecord& r : h.calls())
            n += r.type == MSG_EVENT && r.id == TIMER && r.name == name;
        return n;
    };
    auto waitCount = [&](const char* name, size_t n) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (timerEvents(name) < n && std::chrono::steady_clock::now() < deadline)
            h.waitFor([](const CallRecord&) { return false; }, 5);
        return timerEvents(name) >= n;
    };
    ASSERT_TRUE(waitCount("MICRO", 1));
    h.onApp([&](MsgDispatcher& md) {
        ASSERT_EQ(md.stopTimer(micro), 0);
        ASSERT_EQ(md.startTimer(micro), 0);
    });
    EXPECT_TRUE(waitCount("MICRO", 2));
    // Five of its intervals have passed since it was stopped.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(timerEvents("BYNAME"), 0u);
    h.onApp([&](MsgDispatcher& md) { ASSERT_EQ(md.startTimer("BYNAME"), 0); });
    EXPECT_TRUE(waitCount("BYNAME", 1));
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_EQ(timerEvents("BYNAME"), 1u);
    h.onApp([&](MsgDispatcher& md) { EXPECT_EQ(md.removeTimer(byName), 0); });
}

INSTANTIATE_TEST_SUITE_P(Loops, DispatchTimers, ::testing::Values(EVENT_LOOP, TIMED_LOOP, POLLING_LOOP),
                         [](const ::testing::TestParamInfo<LoopSetup>& info) { return std::string(info.param.name); });
