#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/GlobalData.h"
#include "FendralCore/foundation/ResourceLock.h"

#include <gtest/gtest.h>

#include <thread>

namespace
{

class ResourceLockTest : public ::testing::Test
{
protected:
    void TearDown() override { GlobalData::getInst().m_optMode = m_savedMode; }

    static void setMode(int32 mode) { GlobalData::getInst().m_optMode = static_cast<OptimizationMode>(mode); }

    // Whether reset frees the lock held by this thread for another thread:
    // only a spin lock can be freed that way.
    static bool resetFreesIt(ResourceLock& lock)
    {
        EXPECT_EQ(lock.lock(0), 0);
        EXPECT_EQ(lock.reset(), 0);
        int32 rc = -1;
        std::thread([&] {
            rc = lock.lock(0);
            if (rc == 0)
                lock.unlock();
        }).join();
        if (rc != 0)
        {
            EXPECT_EQ(lock.unlock(), 0);
        }
        return rc == 0;
    }

private:
    OptimizationMode m_savedMode = GlobalData::getInst().m_optMode;
};

TEST_F(ResourceLockTest, ModeAtConstructionChoosesTheBacking)
{
    struct Case
    {
        int32 mode;
        bool spinBacked;
    };
    for (const Case& c : {Case{CPU_UTILIZATION, false}, Case{LOW_LATENCY, true}, Case{OPTIMIZ_MODE_MAX, true}})
    {
        SCOPED_TRACE(c.mode);
        setMode(c.mode);
        ResourceLock lock;
        EXPECT_EQ(resetFreesIt(lock), c.spinBacked);
    }
}

TEST_F(ResourceLockTest, LaterModeChangeKeepsTheBacking)
{
    setMode(CPU_UTILIZATION);
    ResourceLock mutexBacked;
    setMode(LOW_LATENCY);
    ResourceLock spinBacked;
    setMode(CPU_UTILIZATION);
    EXPECT_FALSE(resetFreesIt(mutexBacked));
    EXPECT_TRUE(resetFreesIt(spinBacked));
}

TEST_F(ResourceLockTest, BothBackingsAreRecursiveAndRefuseANonHolder)
{
    for (const int32 mode : {CPU_UTILIZATION, LOW_LATENCY})
    {
        SCOPED_TRACE(mode);
        setMode(mode);
        ResourceLock lock;
        ASSERT_EQ(lock.lock(0), 0);
        ASSERT_EQ(lock.lock(1000), 0);
        int32 code = 0;
        std::thread([&] {
            EXPECT_EQ(lock.unlock(), -1);
            code = FrameworkErrno::m_fwErrno;
        }).join();
        EXPECT_EQ(code, LOCK_NO_PERMISSION);
        EXPECT_EQ(lock.unlock(), 0);
        EXPECT_EQ(lock.unlock(), 0);
        EXPECT_EQ(lock.reset(), 0);
    }
}

} // namespace
