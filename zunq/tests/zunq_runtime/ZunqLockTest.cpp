#include "zunq/runtime/ZunqLock.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace
{

TEST(ZunqLock, ExcludesOtherThreadsWhetherOrNotLockingIsEnabled)
{
    ZunqLock lock(1, nullptr, "TarvokSessionImpl", 0);
    EXPECT_EQ(lock.getName(), "TarvokSessionImpl");
    long counter = 0;
    constexpr int perThread = 20000;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i)
            {
                // Switching locking on or off while others hold the lock must not matter.
                if (t == 0 && i % 1000 == 0)
                    ZunqLock::enableLocking(i % 2000 == 0);
                lock.acquire();
                long seen = counter;
                counter = seen + 1;
                lock.release();
            }
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(counter, 4L * perThread);

    ZunqLock::enableLocking(true);
    EXPECT_TRUE(ZunqLock::lockingEnabled());
    ZunqLock::enableLocking(false);
    EXPECT_FALSE(ZunqLock::lockingEnabled());
}

} // namespace
