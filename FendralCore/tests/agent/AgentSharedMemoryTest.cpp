#include "AgentTestSupport.h"
#include "FendralCore/tests/support/TestLog.h"

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/GlobalData.h"
#include "FendralCore/runtime/AgentSharedMemory.h"

#include <gtest/gtest.h>

#include <ctime>
#include <sys/wait.h>

namespace
{

class AgentSharedMemoryTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        testLog().clear();
        m_saved = {m_gbl.m_crossEnvSupport, m_gbl.m_runAsFwMiddleware, m_gbl.m_metaCmdCode.load(),
                   m_gbl.m_appMode.load()};
        m_gbl.m_crossEnvSupport = true;
        m_gbl.m_runAsFwMiddleware = false;
        m_gbl.m_metaCmdCode = NO_META_CMD;
        m_gbl.m_appMode = ACTIVE_MODE;
    }
    void TearDown() override
    {
        m_gbl.m_crossEnvSupport = m_saved.crossEnv;
        m_gbl.m_runAsFwMiddleware = m_saved.middleware;
        m_gbl.m_metaCmdCode = m_saved.metaCmd;
        m_gbl.m_appMode = m_saved.mode;
    }

    GlobalData& m_gbl = GlobalData::getInst();
    std::string m_agentId = uniqueId("T");
    std::string m_appId = uniqueId("A");
    AgentConfig m_config{"AGT_ID STRING " + m_agentId + "\n"};

private:
    struct
    {
        bool crossEnv;
        bool middleware;
        MetaCmdCode metaCmd;
        AppMode mode;
    } m_saved{};
};

TEST(AgentSharedMemoryNames, LockNamesFromTheAgentAndApplicationIds)
{
    EXPECT_EQ(AgentSharedMemory::getAppLockName("AGT", "APP1", true), "AGT.APP1");
    EXPECT_EQ(AgentSharedMemory::getAppLockName("AGT", "APP1", false), "APP1");
    EXPECT_EQ(AgentSharedMemory::getAgtLockName("AGT"), "AGT");
}

// The agent made the blocks and semaphores under the names of both settings
// of "CROSS_ENV_SUPP"; the application finds them and writes its start status.
TEST_F(AgentSharedMemoryTest, OpensTheAgentsBlocksByTheirNames)
{
    for (const bool crossEnv : {true, false})
    {
        SCOPED_TRACE(crossEnv);
        m_gbl.m_crossEnvSupport = crossEnv;
        const std::string appLock = crossEnv ? m_agentId + "." + m_appId : m_appId;
        FakeAgent agent;
        AppSharedMemBlock* app = agent.createAppBlock("/" + appLock);
        AgentSharedMemBlock* agt = agent.createAgtBlock("/" + m_agentId);
        ASSERT_TRUE(app && agt && agent.createSemaphore(appLock) && agent.createSemaphore(m_agentId));
        agt->pid = 4242;

        const int64 before = time(nullptr);
        {
            // Trailing blanks of a padded id are not part of the names.
            AgentSharedMemory shm(m_config.manager(), (m_appId + std::string(8 - m_appId.size(), ' ')).c_str(),
                                  true);
            ASSERT_EQ(shm.openAppSharedMemory(), 0);
            ASSERT_EQ(shm.openAgtSharedMemory(), 0);
            EXPECT_EQ(app->statBuf.statusRec.status, ACTIVE);
            EXPECT_GE(app->statBuf.statusRec.reportTime, before);
            EXPECT_EQ(app->lockedBy.pid, -1) << "the semaphore is released";
            EXPECT_EQ(shm.getAgtShmPtr()->pid, 4242) << "the agent block is the agent's";
            EXPECT_NE(shm.getAgtShmLockPtr(), shm.getAppShmLockPtr());
            EXPECT_EQ(shm.getAgtShmLockPtr()->lock(0), 0);
            EXPECT_EQ(agt->lockedBy.pid, getpid());
            EXPECT_EQ(shm.getAgtShmLockPtr()->unlock(), 0);
            EXPECT_TRUE(testLog().contains("Application shared memory [/" + appLock + "] block opened"));
            EXPECT_TRUE(testLog().contains("Framework Agent shared memory [/" + m_agentId + "] block opened"));
        }
        EXPECT_TRUE(semExists(appLock)) << "the agent's semaphore outlives the application";
    }
}

TEST_F(AgentSharedMemoryTest, RefusesBlocksThatAreMissingOrTooSmall)
{
    const std::string appName = "/" + m_agentId + "." + m_appId;
    const struct
    {
        const char* what;
        long appSize; // 0: no block
        long agtSize;
        bool appFails;
        int32 code;
        std::string logged;
    } cases[] = {
        {"short application block", 3095, 32, true, SHM_MAP_FAILED,
         "The application shared memory block size [3095] < AppSharedMemBlock [3096]"},
        {"no application block", 0, 32, true, FILE_OPEN_ERROR,
         "Error [2] opening application shared memory [" + appName + "]. "},
        {"short agent block", 3096, 31, false, SHM_MAP_FAILED,
         "The agent shared memory block size [31] < AgentSharedMemBlock [32]"},
        {"no agent block", 3096, 0, false, FILE_OPEN_ERROR,
         "Error [2] opening Framework Agent shared memory [/" + m_agentId + "]. "},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        testLog().clear();
        FakeAgent agent;
        ASSERT_TRUE(agent.createSemaphore(m_agentId + "." + m_appId));
        if (c.appSize != 0)
        {
            ASSERT_NE(agent.createBlock(appName, static_cast<size_t>(c.appSize)), nullptr);
        }
        if (c.agtSize != 0)
        {
            ASSERT_NE(agent.createBlock("/" + m_agentId, static_cast<size_t>(c.agtSize)), nullptr);
        }

        AgentSharedMemory shm(m_config.manager(), m_appId.c_str(), true);
        FrameworkErrno::m_fwErrno = 0;
        const int32 appRc = shm.openAppSharedMemory();
        const int32 rc = c.appFails ? appRc : shm.openAgtSharedMemory();
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(FrameworkErrno::m_fwErrno, c.code);
        EXPECT_TRUE(testLog().contains(c.logged));
        EXPECT_EQ(c.appFails ? static_cast<void*>(shm.getAppShmPtr()) : static_cast<void*>(shm.getAgtShmPtr()),
                  nullptr);
    }
}

// The agent made the block but not its semaphore: the status is still
// written, but the open reports the unusable lock.
TEST_F(AgentSharedMemoryTest, MissingSemaphoreOfTheAgentsBlockIsAnError)
{
    FakeAgent agent;
    AppSharedMemBlock* app = agent.createAppBlock("/" + m_agentId + "." + m_appId);
    ASSERT_NE(app, nullptr);
    AgentSharedMemory shm(m_config.manager(), m_appId.c_str(), true);
    FrameworkErrno::m_fwErrno = 0;
    EXPECT_EQ(shm.openAppSharedMemory(), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, INVALID_LOCK);
    EXPECT_TRUE(testLog().contains("Error [302] waiting for the application resource lock."));
    EXPECT_EQ(app->statBuf.statusRec.status, ACTIVE);
    EXPECT_FALSE(semExists(m_agentId + "." + m_appId)) << "the application never creates the agent's semaphore";
}

// Without the agent, and as middleware, both blocks are private memory that
// the same code paths use; the semaphore is this process's own.
TEST_F(AgentSharedMemoryTest, WithoutTheAgentTheBlocksArePrivate)
{
    const struct
    {
        bool useAgent;
        bool middleware;
        AppMode mode;
        int32 status;
    } cases[] = {
        {false, false, ACTIVE_MODE, ACTIVE},
        {false, false, STANDBY_MODE, STANDBY},
        {false, false, RECOVERY_MODE, RECOVERY},
        {true, true, STANDBY_MODE, STANDBY},
    };
    const std::string lockName = m_agentId + "." + m_appId;
    for (const auto& c : cases)
    {
        SCOPED_TRACE(::testing::Message() << c.useAgent << c.middleware << c.mode);
        testLog().clear();
        m_gbl.m_runAsFwMiddleware = c.middleware;
        m_gbl.m_appMode = c.mode;
        {
            AgentSharedMemory shm(m_config.manager(), m_appId.c_str(), c.useAgent);
            ASSERT_EQ(shm.openAppSharedMemory(), 0);
            ASSERT_EQ(shm.openAgtSharedMemory(), 0);
            AppSharedMemBlock* app = shm.getAppShmPtr();
            EXPECT_EQ(app->statBuf.statusRec.pid, getpid());
            EXPECT_EQ(app->statBuf.statusRec.status, c.status);
            EXPECT_EQ(app->cmdBuf.m_headIndex, 0);
            EXPECT_EQ(app->cmdBuf.m_tailIndex, 0);
            EXPECT_EQ(app->cmdBuf.getNumOfElem(), 0);
            EXPECT_EQ(shm.getAgtShmPtr()->pid, 0);
            EXPECT_EQ(shm.getAgtShmLockPtr(), shm.getAppShmLockPtr());
            EXPECT_FALSE(shmExists("/" + lockName));
            EXPECT_TRUE(semExists(lockName));
        }
        EXPECT_FALSE(semExists(lockName)) << "the private block's semaphore is removed with it";
        EXPECT_FALSE(testLog().contains("corrupt"));
    }
}

TEST_F(AgentSharedMemoryTest, MetaCommandStoresThePidAgain)
{
    for (const MetaCmdCode code : {NO_META_CMD, NUMA_CMD})
    {
        SCOPED_TRACE(code);
        testLog().clear();
        m_gbl.m_metaCmdCode = code;
        FakeAgent agent;
        ASSERT_TRUE(agent.createAll(m_agentId, m_appId));
        agent.app()->statBuf.statusRec.pid = 77;
        AgentSharedMemory shm(m_config.manager(), m_appId.c_str(), true);
        ASSERT_EQ(shm.openAppSharedMemory(), 0);
        const std::string line = "Meta command(s) [1] are used for starting the application, set [pid:" +
                                 std::to_string(getpid()) + "] to the application shared memory record.";
        EXPECT_EQ(agent.app()->statBuf.statusRec.pid, code == NO_META_CMD ? 77 : getpid());
        EXPECT_EQ(testLog().contains(line), code != NO_META_CMD);
    }
}

// The agent, in another process, holds the application block's semaphore:
// the start status is written anyway after the wait, and the agent sees it.
TEST_F(AgentSharedMemoryTest, StartStatusIsWrittenWhileTheAgentHoldsTheLock)
{
    FakeAgent agent;
    ASSERT_TRUE(agent.createAll(m_agentId, m_appId));
    m_gbl.m_appMode = STANDBY_MODE;
    const std::string semName = "/" + m_agentId + "." + m_appId + "_sem";

    int toParent[2], toChild[2];
    ASSERT_EQ(pipe(toParent), 0);
    ASSERT_EQ(pipe(toChild), 0);
    const pid_t child = fork();
    if (child == 0)
    {
        // The agent: take the semaphore, wait for the application, then check
        // what it wrote into the block. A parent that fails early closes the
        // pipe, and the agent ends.
        close(toChild[1]);
        close(toParent[0]);
        sem_t* sem = sem_open(semName.c_str(), 0);
        char byte = sem != SEM_FAILED && sem_wait(sem) == 0 ? 'L' : 'F';
        agent.app()->lockedBy.pid = getpid();
        if (write(toParent[1], &byte, 1) != 1 || read(toChild[0], &byte, 1) != 1)
            _exit(3);
        const AppStatusRecord& record = agent.app()->statBuf.statusRec;
        const bool written = record.status == STANDBY && record.reportTime >= time(nullptr) - 60;
        sem_post(sem);
        _exit(written ? 0 : 4);
    }
    close(toChild[0]);
    close(toParent[1]);
    char state = 0;
    ASSERT_EQ(read(toParent[0], &state, 1), 1);
    ASSERT_EQ(state, 'L');

    {
        AgentSharedMemory shm(m_config.manager(), m_appId.c_str(), true, 100000);
        EXPECT_EQ(shm.openAppSharedMemory(), 0) << "a lock time-out is tolerated";
        EXPECT_TRUE(testLog().contains("Timeout waiting for the application resource lock."));
        const char go = 'G';
        ASSERT_EQ(write(toChild[1], &go, 1), 1);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "agent saw status " << status;
    }
    close(toParent[0]);
    close(toChild[1]);
}

} // namespace
