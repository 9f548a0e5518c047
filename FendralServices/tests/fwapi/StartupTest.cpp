// The start-up entries inside a test process, on the ways that end before
// the control thread runs: what they answer and that no thread is left
// behind. A process starts the framework once, so each test's starts run in
// a child process of their own.
#include "FendralServices/api/FwServices.h"

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/tests/support/ProcessTestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace
{
int threadCount()
{
    int n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task"))
        ++n;
    return n;
}

class StartupInProcess : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "fwapiXXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_dir = pattern;
        std::ofstream(m_dir + "/fw.cfg") << "FW_AGT_OPTION INT32 0\n";
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }

    // frameworkInit of an argument vector, standard output captured.
    int init(std::vector<std::string> args, int (*reg)(), std::string& out)
    {
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        ::testing::internal::CaptureStdout();
        const int rc = frameworkInit(static_cast<int>(argv.size()), argv.data(), reg);
        out = ::testing::internal::GetCapturedStdout();
        return rc;
    }

    std::vector<std::string> args(const std::string& mode, size_t count)
    {
        std::vector<std::string> all = {"app", "INPROC", "0", "0", mode, m_dir + "/fw.cfg", m_dir,
                                        "127.0.0.1", "127.0.0.1", "239.1.1.1", "7000", "239.1.1.2", "7001", "0",
                                        "extra"};
        all.resize(count);
        return all;
    }

    std::string logText() const
    {
        std::stringstream text;
        for (const auto& entry : std::filesystem::directory_iterator(m_dir))
            if (entry.path().filename().string().find("_fw_") != std::string::npos)
                text << std::ifstream(entry.path()).rdbuf();
        return text.str();
    }

    std::string m_dir;
};

int noRegistration()
{
    return 0;
}
} // namespace

// Counts other than 7, 13 and 14 or more print the usage line and start
// nothing; the accepted counts are parsed and reach the mode check (mode 3
// fails there, before any file is opened).
TEST_F(StartupInProcess, ArgumentCounts)
{
    processtest::inChildProcess([&] {
        for (size_t count = 0; count <= 15; ++count)
        {
            SCOPED_TRACE("argc " + std::to_string(count));
            std::string out;
            FrameworkErrno::m_fwErrno = 0;
            EXPECT_EQ(init(args("3", count), noRegistration, out), -1);
            const bool accepted = count == 7 || count == 13 || count >= 14;
            EXPECT_EQ(out.find("<Application>  <Application ID>") != std::string::npos, !accepted) << out;
            EXPECT_EQ(getErrorCode(), accepted ? INVALID_STARTUP_MODE : INVALID_FUNC_ARG);
            if (accepted)
            {
                EXPECT_NE(out.find("FrameworkInit failed. Error [104]"), std::string::npos) << out;
            }
        }
        EXPECT_TRUE(logText().empty());
        EXPECT_EQ(threadCount(), 1);
    });
}

// Numbers are whole decimal text within their field.
TEST_F(StartupInProcess, MalformedNumbersAreUsageErrors)
{
    processtest::inChildProcess([&] {
        struct Case
        {
            size_t index;
            const char* value;
        } cases[] = {{2, "x"}, {2, "5x"}, {3, "2"}, {3, ""}, {4, "1e3"}, {10, "70000"}, {12, "-1"}, {13, "4"},
                     {13, "abc"}};
        for (const Case& c : cases)
        {
            SCOPED_TRACE(std::to_string(c.index) + " = '" + c.value + "'");
            std::vector<std::string> a = args("0", 14);
            a[c.index] = c.value;
            std::string out;
            EXPECT_EQ(init(a, noRegistration, out), -1);
            EXPECT_EQ(getErrorCode(), INVALID_FUNC_ARG);
            EXPECT_NE(out.find("<Application>  <Application ID>"), std::string::npos) << out;
        }
        EXPECT_TRUE(logText().empty());
    });
}

int registerHalfPipeline()
{
    PipelineParam pipeline;
    initStructParam(PIPELINE_PARAM, &pipeline, sizeof(pipeline));
    copyResourceName(pipeline.pipelineNameTxt, "PL3");
    pipeline.numStages = 3;
    pipeline.entrySize = 4096;
    pipeline.numEntry = 64;
    if (registerPipeline(&pipeline) != 0)
        return -2;
    ThreadParam thread;
    initStructParam(THREAD_PARAM, &thread, sizeof(thread));
    copyResourceName(thread.threadNameTxt, "STAGES");
    thread.numOfPipeline = 2;
    copyResourceName(thread.pipelineInfo[0].pipelineNameTxt, "PL3");
    thread.pipelineInfo[0].pipelineStageNum = 0;
    copyResourceName(thread.pipelineInfo[1].pipelineNameTxt, "PL3");
    thread.pipelineInfo[1].pipelineStageNum = 2;
    return registerThread(&thread) == 0 ? 0 : -3;
}

TEST_F(StartupInProcess, PipelineWithAStageNoThreadServes)
{
    processtest::inChildProcess([&] {
        std::string out;
        EXPECT_EQ(init(args("0", 7), registerHalfPipeline, out), -1);
        EXPECT_EQ(getErrorCode(), RES_REG_FAILED);
        EXPECT_NE(logText().find("Not all stages of the pipeline [PL3] are registered with at least one thread. "
                                 "Check mask [5], check bits [7]"),
                  std::string::npos)
            << logText();
        EXPECT_NE(out.find("FrameworkInit failed. Error [1600]"), std::string::npos) << out;
        EXPECT_EQ(threadCount(), 1);
    });
}

int throwingRegistration()
{
    throw std::runtime_error("registration broke");
}

TEST_F(StartupInProcess, ThrowingRegistrationFunctionIsAFailedStart)
{
    processtest::inChildProcess([&] {
        std::string out;
        EXPECT_EQ(init(args("0", 7), throwingRegistration, out), -1);
        EXPECT_EQ(getErrorCode(), EXCEPTION);
        EXPECT_NE(logText().find("Caught an exception in registration function()"), std::string::npos);
        EXPECT_NE(logText().find("********** BEGIN **********"), std::string::npos);
        EXPECT_EQ(threadCount(), 1);
        // One start per process.
        EXPECT_EQ(init(args("0", 7), noRegistration, out), -1);
        EXPECT_EQ(getErrorCode(), FUNC_NOT_ALLOWED);
    });
}
