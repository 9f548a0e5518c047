#include "FendralCore/tests/support/TestLog.h"
#include "ThreadTestSupport.h"

#include "FendralCore/foundation/ConfigManager.h"
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/GlobalData.h"
#include "FendralCore/runtime/ProcessPriority.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

namespace
{

// The framework configuration of this test process, in a directory of its
// own; each test writes the keys it needs and reloads.
class ProcessConfig
{
public:
    static ProcessConfig& get()
    {
        static ProcessConfig config;
        return config;
    }

    void write(const std::string& content)
    {
        std::ofstream(m_path, std::ios::trunc) << content;
        m_manager->reloadConfigFile();
    }

    ~ProcessConfig()
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }

private:
    ProcessConfig()
    {
        testLog();
        std::string pattern = (std::filesystem::temp_directory_path() / "prioXXXXXX").string();
        m_dir = ::mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
        m_path = m_dir + "/fw.cfg";
        std::ofstream(m_path) << "";
        m_manager = new ConfigManager(m_path); // GlobalData keeps it for the process
        m_manager->loadConfigFile();
        GlobalData::getInst().setConfigManager(m_manager);
    }

    std::string m_dir;
    std::string m_path;
    ConfigManager* m_manager = nullptr;
};

struct Outcome
{
    int32 rc = -2;
    int32 code = 0;
    Scheduling sched;
    std::vector<int> cpus;
};

// On a thread of its own, so the test program's main thread keeps its settings.
Outcome applyOnNewThread()
{
    Outcome outcome;
    std::thread([&] {
        FrameworkErrno::m_fwErrno = 0;
        ProcessPriority priority;
        outcome.rc = priority.setSchPriority();
        outcome.code = FrameworkErrno::m_fwErrno;
        outcome.sched = schedulingOf(pthread_self());
        outcome.cpus = affinityOf(pthread_self());
    }).join();
    return outcome;
}

class ProcessPriorityTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ProcessConfig::get();
        testLog().clear();
    }
};

TEST_F(ProcessPriorityTest, AppliesTheMaskAndNormalPriorityToTheCallingThread)
{
    const std::vector<int> cpus = allowedCpus();
    ASSERT_FALSE(cpus.empty());
    const int pinned = cpus.back() < 63 ? cpus.back() : cpus.front();
    ProcessConfig::get().write("CPU_BITMAP UINT64 " + std::to_string(uint64{1} << pinned) + "\nPROC_PRI INT32 0\n");
    const Outcome outcome = applyOnNewThread();
    EXPECT_EQ(outcome.rc, 0);
    EXPECT_EQ(outcome.cpus, std::vector<int>{pinned});
    EXPECT_EQ(outcome.sched.policy, SCHED_OTHER);
}

TEST_F(ProcessPriorityTest, RealTimePriorityIsCutToTheSystemMaximum)
{
    if (!realTimeAllowed())
        GTEST_SKIP() << "this machine refuses real-time FIFO scheduling";
    ProcessConfig::get().write("PROC_PRI INT32 500\n");
    const Outcome outcome = applyOnNewThread();
    EXPECT_EQ(outcome.rc, 0);
    EXPECT_EQ(outcome.sched.policy, SCHED_FIFO);
    EXPECT_EQ(outcome.sched.priority, sched_get_priority_max(SCHED_FIFO));
    EXPECT_EQ(outcome.cpus, affinityOf(pthread_self())) << "no mask given, none applied";
}

// A refused setting is logged and reported, and the other one still applied.
TEST_F(ProcessPriorityTest, RefusedSettingsAreLoggedAndReported)
{
    const int absent = absentCpu();
    if (absent >= 0)
    {
        ProcessConfig::get().write("CPU_BITMAP UINT64 " + std::to_string(uint64{1} << absent) + "\nPROC_PRI INT32 0\n");
        const Outcome outcome = applyOnNewThread();
        EXPECT_EQ(outcome.rc, -1);
        EXPECT_EQ(outcome.code, INVALID_FUNC_ARG);
        EXPECT_TRUE(testLog().contains("setting CPU affinity."));
        EXPECT_EQ(outcome.sched.policy, SCHED_OTHER);
    }

    ProcessConfig::get().write("PROC_PRI INT32 -5\n");
    Outcome outcome = applyOnNewThread();
    EXPECT_EQ(outcome.rc, -1);
    EXPECT_EQ(outcome.code, INVALID_FUNC_ARG);
    EXPECT_TRUE(testLog().contains("Error [22] setting normal process priority for MAIN"));

    ProcessConfig::get().write("PROC_PRI INT32 50\n");
    const std::optional<std::string> answer = runUnprivileged([] {
        testLog().clear();
        const Outcome refused = applyOnNewThread();
        if (refused.rc != -1 || refused.code != FUNC_NOT_ALLOWED)
            return "result " + std::to_string(refused.rc) + " code " + std::to_string(refused.code);
        if (refused.sched.policy != SCHED_OTHER)
            return std::string("policy changed");
        if (!testLog().contains("Error [1] setting RT process priority for MAIN"))
            return std::string("no refusal line");
        return std::string();
    });
    if (!answer)
        GTEST_SKIP() << "could not drop the right to real-time scheduling";
    EXPECT_EQ(*answer, "");
}

} // namespace
