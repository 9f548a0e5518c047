// A middleware start that does not complete within its time-out: the call
// fails with MIDDLEWARE_STARTUP_TIMEOUT only once every thread the start made
// has ended. A process starts the framework once, so each test's start runs
// in a child process of its own.
#include "FendralServices/api/FwServices.h"

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/tests/support/ProcessTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace
{
int threadCount()
{
    int n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task"))
        ++n;
    return n;
}

std::atomic<int> g_initSeen{0};
// Held: INIT itself, or a message the dispatcher sends itself at INIT, which
// its queue holds ahead of APP_READY.
std::atomic<bool> g_holdInit{true};

// Far past the start's time-out; only the framework's stop (TERM, then
// cancellation) ends it sooner.
void hold()
{
    for (int i = 0; i < 6000; ++i)
        ::usleep(10000);
}

// The middleware dispatcher's callback.
int holdOne(MessageType type, EventMsg* evt, DataMsg*)
{
    if (type == MSG_DATA)
    {
        hold();
        return 0;
    }
    if (evt == nullptr || evt->id != INIT)
        return 0;
    ++g_initSeen;
    // No health check of this thread either: the thread defaults of a process
    // that made them before this test's configuration was read check it every
    // 2 s, which would stop the start as its time-out does.
    EXPECT_EQ(setApplThreadHealthCheckInterval(0), 0) << getErrorCode();
    if (g_holdInit)
        hold();
    else
        EXPECT_EQ(sendThreadMessage("MIDDLEWARE_MD", "hold", 4, true), 0) << getErrorCode();
    return 0;
}

int noRegistration()
{
    return 0;
}

// Returns only once the start was given up (or after half a minute).
int slowRegistration()
{
    int code = 0;
    for (int i = 0; i < 3000 && code != MIDDLEWARE_STARTUP_TIMEOUT; ++i)
    {
        ::usleep(10000);
        getFrameworkThreadInfo(nullptr, nullptr, &code);
    }
    return 0;
}

class MiddlewareStart : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "fwmwXXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_dir = pattern;
        // No health check of the threads: only the start's time-out stops them.
        std::ofstream(m_dir + "/fw.cfg")
            << "FW_AGT_OPTION INT32 0\nTHD_TERM_TIMEOUT INT32 1\nRP_TM_MULTIPLIER INT32 0\n";
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }

    // startFrameworkThreads, which must fail with the time-out, leave no
    // thread behind and report the same in the status.
    void startTimesOut(int (*reg)())
    {
        FrameworkArgument arg{};
        std::snprintf(arg.appIdTxt, sizeof(arg.appIdTxt), "MWSTART");
        std::snprintf(arg.configFileTxt, sizeof(arg.configFileTxt), "%s/fw.cfg", m_dir.c_str());
        std::snprintf(arg.logDirTxt, sizeof(arg.logDirTxt), "%s", m_dir.c_str());
        arg.regFnPtr = reg;
        arg.callbackFnPtr = holdOne;
        const int before = threadCount();
        const auto begin = std::chrono::steady_clock::now();
        EXPECT_EQ(startFrameworkThreads(&arg), -1);
        // 3 s, then a second for the held thread's TERM before it is
        // cancelled; far less than the minute it would hold INIT.
        EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(20));
        EXPECT_EQ(getErrorCode(), MIDDLEWARE_STARTUP_TIMEOUT);
        EXPECT_EQ(threadCount(), before) << "a thread of the failed start still runs";
        int state = -1, result = 0, code = 0;
        EXPECT_EQ(getFrameworkThreadInfo(&state, &result, &code), 0);
        EXPECT_EQ(state, FW_TERMINATED);
        EXPECT_EQ(result, -1);
        EXPECT_EQ(code, MIDDLEWARE_STARTUP_TIMEOUT);
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
} // namespace

// The control thread ran and every thread waited for the middleware
// dispatcher, which never got past INIT.
TEST_F(MiddlewareStart, TimedOutWhileAThreadHoldsInitStopsEveryThread)
{
    processtest::inChildProcess([&] {
        startTimesOut(noRegistration);
        EXPECT_EQ(g_initSeen.load(), 1);
        EXPECT_NE(logText().find("The framework start was given up with error [4]. Stop all threads."),
                  std::string::npos)
            << logText();
    });
}

// Every thread answered INIT and the control thread waits for commands, but
// the middleware dispatcher never reaches APP_READY.
TEST_F(MiddlewareStart, TimedOutAfterEveryThreadAnsweredInitStopsEveryThread)
{
    processtest::inChildProcess([&] {
        g_holdInit = false;
        startTimesOut(noRegistration);
        EXPECT_EQ(g_initSeen.load(), 1);
        EXPECT_NE(logText().find("The framework start was given up with error [4]. Stop all threads."),
                  std::string::npos)
            << logText();
    });
}

// The registration function outlasted the time-out: no thread is started.
TEST_F(MiddlewareStart, TimedOutInTheRegistrationStartsNothing)
{
    processtest::inChildProcess([&] {
        startTimesOut(slowRegistration);
        EXPECT_EQ(g_initSeen.load(), 0);
        EXPECT_NE(logText().find("The framework start was given up with error [4] before the control thread ran."),
                  std::string::npos)
            << logText();
    });
}
