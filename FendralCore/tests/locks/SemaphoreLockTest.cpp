#include "FendralCore/tests/support/TestLog.h"

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/SemaphoreLock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace
{

using Clock = std::chrono::steady_clock;

int64_t msSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Another process holding the semaphore through its own SemaphoreLock, with
// its holder record in memory shared with this process.
class HolderProcess
{
public:
    // Starts the child and returns once it holds the semaphore (or failed to).
    // releaseAfterMs >= 0: the child lets go on its own after that long.
    bool start(const std::string& name, const char* appId, LockedBy* record, bool owner, int releaseAfterMs = -1)
    {
        int ready[2];
        int release[2];
        if (pipe2(ready, O_CLOEXEC) != 0 || pipe2(release, O_CLOEXEC) != 0)
            return false;
        m_pid = fork();
        if (m_pid == 0)
        {
            ::close(ready[0]);
            ::close(release[1]);
            SemaphoreLock lock(name, appId, record, owner);
            const char state = lock.lock(1000000) == 0 ? 'L' : 'F';
            if (::write(ready[1], &state, 1) != 1)
                _exit(2);
            if (releaseAfterMs >= 0)
            {
                std::this_thread::sleep_for(std::chrono::milliseconds(releaseAfterMs));
                lock.unlock();
            }
            char byte;
            while (::read(release[0], &byte, 1) > 0)
            {
            }
            lock.unlock();
            _exit(0); // an owner child leaves the name for the parent to remove
        }
        ::close(ready[1]);
        ::close(release[0]);
        m_releaseFd = release[1];
        char state = 'F';
        const bool got = ::read(ready[0], &state, 1) == 1 && state == 'L';
        ::close(ready[0]);
        return got;
    }

    void release()
    {
        if (m_releaseFd != -1)
            ::close(m_releaseFd);
        m_releaseFd = -1;
        reap();
    }

    void kill()
    {
        ::kill(m_pid, SIGKILL);
        reap();
    }

    pid_t pid() const { return m_pid; }

    ~HolderProcess()
    {
        if (m_pid > 0)
            kill();
        if (m_releaseFd != -1)
            ::close(m_releaseFd);
    }

private:
    pid_t m_pid = -1;
    int m_releaseFd = -1;

    void reap()
    {
        if (m_pid > 0)
            waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }
};

class SemaphoreLockTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        static std::atomic<int> counter{0};
        m_name = "fwsemtest" + std::to_string(getpid()) + "_" + std::to_string(counter++);
        void* shared = mmap(nullptr, sizeof(LockedBy), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(shared, MAP_FAILED);
        m_record = static_cast<LockedBy*>(shared);
        m_record->pid = -1;
        testLog().clear();
    }

    void TearDown() override
    {
        // Whatever the test created, its owner removed on destruction.
        EXPECT_FALSE(semaphoreExists()) << m_name;
        sem_unlink(semName().c_str());
        munmap(m_record, sizeof(LockedBy));
    }

    std::string semName() const { return "/" + m_name + "_sem"; }
    bool semaphoreExists() const { return access(("/dev/shm/sem." + m_name + "_sem").c_str(), F_OK) == 0; }

    // Whether a fresh opener could take the semaphore right now (it gives it back).
    bool isFree() const
    {
        SemaphoreLock probe(m_name, "PROBE", nullptr, false);
        if (probe.lock(0) != 0)
            return false;
        probe.unlock();
        return true;
    }

    std::string m_name;
    LockedBy* m_record = nullptr;
};

TEST_F(SemaphoreLockTest, HolderRecordFollowsTheHolderAndAWaiterTimesOut)
{
    {
        SemaphoreLock owner(m_name, "APP1", m_record, true);
        SemaphoreLock other(m_name, "APP2", nullptr, false);
        ASSERT_TRUE(semaphoreExists());

        ASSERT_EQ(owner.lock(1000000), 0);
        EXPECT_STREQ(m_record->appIdTxt, "APP1");
        EXPECT_EQ(m_record->pid, getpid());

        const auto start = Clock::now();
        EXPECT_EQ(other.lock(100000), -1);
        EXPECT_EQ(FrameworkErrno::m_fwErrno, LOCK_TIMEOUT);
        EXPECT_GE(msSince(start), 95);
        EXPECT_EQ(testLog().count("Error [110] waiting for semaphore [" + semName() + "]."), 1u);

        ASSERT_EQ(owner.unlock(), 0);
        EXPECT_EQ(m_record->appIdTxt[0], '\0');
        EXPECT_EQ(m_record->pid, -1);
        EXPECT_EQ(other.lock(0), 0);
        EXPECT_EQ(other.unlock(), 0);
    }
}

TEST_F(SemaphoreLockTest, NestedLockKeepsItTakenUntilTheLastUnlock)
{
    SemaphoreLock owner(m_name, "APP1", m_record, true);
    ASSERT_EQ(owner.lock(1000000), 0);
    ASSERT_EQ(owner.lock(1000000), 0);
    ASSERT_EQ(owner.unlock(), 0);
    EXPECT_FALSE(isFree());
    EXPECT_EQ(m_record->pid, getpid());
    ASSERT_EQ(owner.unlock(), 0);
    EXPECT_TRUE(isFree());
    EXPECT_EQ(owner.unlock(), 0); // not held: nothing to do
    EXPECT_TRUE(isFree());
}

TEST_F(SemaphoreLockTest, NonOwnerOfAMissingNameFailsToOpenAndEveryCallFails)
{
    SemaphoreLock missing(m_name, "APP1", m_record, false);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, LOCK_OPEN_FAILED);
    EXPECT_EQ(testLog().count("Failed [2] to open semaphore [" + semName() + "]. No such file or directory"), 1u);
    for (const int32 rc : {missing.lock(1000000), missing.unlock(), missing.resetLock()})
    {
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(FrameworkErrno::m_fwErrno, INVALID_LOCK);
    }
    EXPECT_FALSE(semaphoreExists());
}

TEST_F(SemaphoreLockTest, UnusableNamesAreRefusedWithoutHarm)
{
    for (const std::string& name : {std::string("agent/app"), std::string(300, 'n')})
        for (const bool owner : {true, false})
        {
            SCOPED_TRACE(name.size());
            SemaphoreLock lock(name, "APP1", m_record, owner);
            EXPECT_EQ(FrameworkErrno::m_fwErrno, LOCK_OPEN_FAILED);
            EXPECT_EQ(lock.lock(1000), -1);
            EXPECT_EQ(FrameworkErrno::m_fwErrno, INVALID_LOCK);
        }
}

TEST_F(SemaphoreLockTest, ThreeSecondWaitDoesNotOverflowAndGetsTheSemaphore)
{
    // 3,000,000 us x 1000 overflows 32 bits; a wrong deadline would fail at once.
    SemaphoreLock owner(m_name, "APP1", m_record, true);
    HolderProcess holder;
    ASSERT_TRUE(holder.start(m_name, "OTHER", m_record, false, 200));
    const auto start = Clock::now();
    EXPECT_EQ(owner.lock(SemaphoreLock::LOCK_TIMEOUT_INTERVAL), 0);
    EXPECT_LT(msSince(start), 2500);
    EXPECT_EQ(m_record->pid, getpid());
    EXPECT_EQ(owner.unlock(), 0);
    holder.release();
}

TEST_F(SemaphoreLockTest, WaitOfOneSecondForAnotherProcessTimesOutWithOneErrorLine)
{
    SemaphoreLock owner(m_name, "APP1", m_record, true);
    HolderProcess holder;
    ASSERT_TRUE(holder.start(m_name, "OTHER", m_record, false));
    EXPECT_EQ(m_record->pid, holder.pid());
    testLog().clear();
    const auto start = Clock::now();
    EXPECT_EQ(owner.lock(1000000), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, LOCK_TIMEOUT);
    EXPECT_GE(msSince(start), 990);
    EXPECT_EQ(testLog().count(semName()), 1u);
    EXPECT_EQ(m_record->pid, holder.pid()); // the holder's record is untouched
    holder.release();
    EXPECT_EQ(owner.lock(0), 0);
    EXPECT_EQ(owner.unlock(), 0);
}

// A second owner built while a live process holds the semaphore waits the
// probe interval and leaves it taken: whether that holder is another
// application or another process of this one.
class LiveHolderTest : public SemaphoreLockTest, public ::testing::WithParamInterface<const char*>
{
};

TEST_P(LiveHolderTest, OwnerProbeWaitsTheIntervalAndLeavesTheSemaphoreTaken)
{
    HolderProcess holder;
    ASSERT_TRUE(holder.start(m_name, GetParam(), m_record, true));
    const auto start = Clock::now();
    {
        SemaphoreLock second(m_name, "APP1", m_record, true);
        EXPECT_GE(msSince(start), 2990);
        EXPECT_EQ(m_record->pid, holder.pid());
        EXPECT_STREQ(m_record->appIdTxt, GetParam());
        EXPECT_FALSE(isFree());

        holder.release();
        EXPECT_EQ(second.lock(1000000), 0);
        EXPECT_EQ(second.unlock(), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(SemaphoreLock, LiveHolderTest, ::testing::Values("OTHER", "APP1"));

TEST_F(SemaphoreLockTest, OwnerRestartingAfterItsHolderWasKilledRecoversTheSemaphore)
{
    HolderProcess previous;
    ASSERT_TRUE(previous.start(m_name, "APP1", m_record, true));
    const pid_t deadPid = previous.pid();
    previous.kill();
    ASSERT_TRUE(semaphoreExists());
    EXPECT_EQ(m_record->pid, deadPid);

    {
        SemaphoreLock restarted(m_name, "APP1", m_record, true);
        EXPECT_EQ(m_record->pid, -1);
        EXPECT_EQ(m_record->appIdTxt[0], '\0');
        EXPECT_EQ(testLog().count("[" + std::to_string(deadPid) + "] of [APP1] is released"), 1u);
        EXPECT_EQ(restarted.lock(0), 0);
        EXPECT_EQ(restarted.unlock(), 0);
        // Posted once only: one taker at a time.
        EXPECT_EQ(restarted.lock(0), 0);
        EXPECT_FALSE(isFree());
        EXPECT_EQ(restarted.unlock(), 0);
    }
}

TEST_F(SemaphoreLockTest, ResetLockIsTheOwnersAndAHoldersLaterUnlockDoesNotPostAgain)
{
    SemaphoreLock owner(m_name, "APP1", m_record, true);
    SemaphoreLock holder(m_name, "APP2", m_record, false);
    ASSERT_EQ(holder.lock(0), 0);

    EXPECT_EQ(holder.resetLock(), 0); // not the owner: nothing
    EXPECT_FALSE(isFree());

    EXPECT_EQ(owner.resetLock(), 0);
    EXPECT_EQ(m_record->pid, -1);

    // The holder finds it free already: it must neither post a second time
    // nor go on believing it holds it.
    EXPECT_EQ(holder.unlock(), 0);
    ASSERT_EQ(owner.lock(0), 0);
    EXPECT_EQ(holder.lock(0), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, LOCK_TIMEOUT);
    EXPECT_EQ(owner.resetLock(), 0); // held through the owner itself: nothing
    EXPECT_FALSE(isFree());
    EXPECT_EQ(owner.unlock(), 0);
    EXPECT_TRUE(isFree());
}

} // namespace
