#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/SpinLock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <future>
#include <thread>

namespace
{

using Clock = std::chrono::steady_clock;

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

// Whether another thread could take the lock right now (it gives it back).
bool freeForOthers(SpinLock& lock)
{
    return onOtherThread([&] { return lock.lock(0) == 0 ? lock.unlock() : -1; }).first == 0;
}

TEST(SpinLock, HeldByAnotherThreadTryGivesBusyAndTimedSpinTimesOut)
{
    SpinLock lock;
    ASSERT_EQ(lock.lock(-1), 0);
    EXPECT_EQ(onOtherThread([&] { return lock.lock(0); }), std::make_pair(-1, int32{LOCK_BUSY}));

    const auto start = Clock::now();
    EXPECT_EQ(onOtherThread([&] { return lock.lock(1000); }), std::make_pair(-1, int32{LOCK_TIMEOUT}));
    const auto elapsed = Clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::microseconds(1000));
    EXPECT_LT(elapsed, std::chrono::milliseconds(500));
    EXPECT_EQ(lock.unlock(), 0);
}

TEST(SpinLock, ThreeLocksNeedThreeUnlocks)
{
    SpinLock lock;
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(lock.lock(0), 0);
    EXPECT_EQ(lock.unlock(), 0);
    EXPECT_EQ(lock.unlock(), 0);
    EXPECT_FALSE(freeForOthers(lock));
    EXPECT_EQ(lock.unlock(), 0);
    EXPECT_TRUE(freeForOthers(lock));
}

TEST(SpinLock, UnlockByANonHolderIsRefusedAndTheLockStaysHeld)
{
    SpinLock lock;
    ASSERT_EQ(lock.lock(-1), 0);
    EXPECT_EQ(onOtherThread([&] { return lock.unlock(); }), std::make_pair(-1, int32{LOCK_NO_PERMISSION}));
    EXPECT_FALSE(freeForOthers(lock));
    EXPECT_EQ(lock.unlock(), 0);
}

TEST(SpinLock, StrayUnlockOfAFreeLockIsRefusedAndBreaksNoLaterRecursion)
{
    SpinLock lock;
    EXPECT_EQ(lock.unlock(), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, LOCK_NO_PERMISSION);

    // Had the stray unlock driven the depth below zero, the second lock's
    // unlock would free the lock one level early.
    ASSERT_EQ(lock.lock(0), 0);
    ASSERT_EQ(lock.lock(0), 0);
    ASSERT_EQ(lock.unlock(), 0);
    EXPECT_FALSE(freeForOthers(lock));
    ASSERT_EQ(lock.unlock(), 0);
    EXPECT_TRUE(freeForOthers(lock));
}

TEST(SpinLock, ResetFreesAHeldLockAndTheOldHoldersUnlockIsRefused)
{
    SpinLock lock;
    ASSERT_EQ(lock.lock(0), 0);
    ASSERT_EQ(lock.lock(0), 0);
    EXPECT_EQ(onOtherThread([&] { return lock.reset(); }).first, 0);

    std::promise<void> taken;
    std::promise<void> release;
    std::thread newHolder([&] {
        ASSERT_EQ(lock.lock(0), 0);
        taken.set_value();
        release.get_future().wait();
        EXPECT_EQ(lock.unlock(), 0);
    });
    taken.get_future().wait();
    EXPECT_EQ(lock.unlock(), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, LOCK_NO_PERMISSION);
    EXPECT_EQ(lock.lock(0), -1); // still the new holder's
    release.set_value();
    newHolder.join();
    EXPECT_TRUE(freeForOthers(lock));
}

TEST(SpinLock, LongestTimeoutSpinsUntilTheHolderReleases)
{
    // The budget INT32_MAX x 1000 ns needs 64 bits; in 32 it would be negative
    // and the spin would give up at once.
    SpinLock lock;
    ASSERT_EQ(lock.lock(-1), 0);
    std::atomic<bool> spinning{false};
    auto waiter = std::async(std::launch::async, [&] {
        spinning = true;
        const int32 rc = lock.lock(INT32_MAX);
        if (rc == 0)
            lock.unlock();
        return rc;
    });
    while (!spinning)
        std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(lock.unlock(), 0);
    EXPECT_EQ(waiter.get(), 0);
}

TEST(SpinLock, KeepsMutualExclusionUnderContention)
{
    SpinLock lock;
    int64_t counter = 0;
    auto work = [&] {
        for (int i = 0; i < 20000; ++i)
        {
            ASSERT_EQ(lock.lock(-1), 0);
            ASSERT_EQ(lock.lock(0), 0); // recursive level inside
            ++counter;
            ASSERT_EQ(lock.unlock(), 0);
            ASSERT_EQ(lock.unlock(), 0);
        }
    };
    std::thread a(work);
    std::thread b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 40000);
}

} // namespace
