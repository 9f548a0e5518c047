#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/MutexLock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <future>
#include <thread>

namespace
{

using Clock = std::chrono::steady_clock;

int64_t msSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Runs fn on another thread and returns its result with that thread's error code.
template <typename Fn>
std::pair<int32, int32> onOtherThread(Fn fn)
{
    std::pair<int32, int32> seen;
    std::thread([&] {
        seen.first = fn();
        seen.second = FrameworkErrno::m_fwErrno;
    }).join();
    return seen;
}

TEST(MutexLock, HeldByAnotherThreadTryGivesBusyAndTimedWaitTimesOut)
{
    MutexLock lock;
    ASSERT_EQ(lock.lock(-1), 0);

    EXPECT_EQ(onOtherThread([&] { return lock.lock(0); }), std::make_pair(-1, int32{LOCK_BUSY}));

    const auto start = Clock::now();
    EXPECT_EQ(onOtherThread([&] { return lock.lock(200000); }), std::make_pair(-1, int32{LOCK_TIMEOUT}));
    const int64_t elapsed = msSince(start);
    EXPECT_GE(elapsed, 195);
    EXPECT_LT(elapsed, 2000);
    EXPECT_EQ(lock.unlock(), 0);
}

TEST(MutexLock, HolderRelocksAndKeepsItUntilTheLastUnlock)
{
    MutexLock lock;
    ASSERT_EQ(lock.lock(0), 0);
    ASSERT_EQ(lock.lock(1000), 0);
    ASSERT_EQ(lock.unlock(), 0);
    EXPECT_EQ(onOtherThread([&] { return lock.lock(0); }).second, LOCK_BUSY);
    ASSERT_EQ(lock.unlock(), 0);
    EXPECT_EQ(onOtherThread([&] { return lock.lock(0) == 0 ? lock.unlock() : -1; }).first, 0);
}

TEST(MutexLock, UnlockByAThreadThatDoesNotHoldItIsRefused)
{
    MutexLock lock;
    ASSERT_EQ(lock.lock(-1), 0);
    EXPECT_EQ(onOtherThread([&] { return lock.unlock(); }), std::make_pair(-1, int32{LOCK_NO_PERMISSION}));
    EXPECT_EQ(lock.unlock(), 0);
}

TEST(MutexLock, NextLockerTakesOverFromAThreadThatEndedHoldingIt)
{
    for (const int32 timeout : {0, 500000, -1})
    {
        SCOPED_TRACE(timeout);
        MutexLock lock;
        std::thread([&] { ASSERT_EQ(lock.lock(-1), 0); }).join();
        EXPECT_EQ(lock.lock(timeout), 0);
        EXPECT_EQ(lock.unlock(), 0);
        // Consistent again: an ordinary lock by another thread works.
        EXPECT_EQ(onOtherThread([&] { return lock.lock(0) == 0 ? lock.unlock() : -1; }).first, 0);
    }
}

TEST(MutexLock, LongestTimeoutStillWaitsForTheHolder)
{
    // INT32_MAX microseconds is over 35 minutes: the deadline must be a valid
    // time, so the waiter blocks and then gets the mutex when it is released.
    MutexLock lock;
    ASSERT_EQ(lock.lock(-1), 0);
    auto waiter = std::async(std::launch::async, [&] {
        const int32 rc = lock.lock(INT32_MAX);
        const int32 code = FrameworkErrno::m_fwErrno;
        if (rc == 0)
            lock.unlock();
        return std::make_pair(rc, code);
    });
    // Give the waiter time to block; it gets the mutex either way.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    ASSERT_EQ(lock.unlock(), 0);
    EXPECT_EQ(waiter.get().first, 0);
}

} // namespace
