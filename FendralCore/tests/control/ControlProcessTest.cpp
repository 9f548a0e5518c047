// A real framework process (ctl_harness) under a real control thread, driven
// as an operator would: signals, and the agent tool fwagent for the blocks,
// the commands and the status. Names are unique per test and removed after.
#include "FendralCore/runtime/AgentShmLayout.h"
#include "FendralCore/tests/support/ProcessTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <semaphore.h>
#include <signal.h>
#include <sstream>
#include <string>
#include <sys/mman.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{
using namespace std::chrono_literals;

using processtest::base36;
using processtest::ToolResult;

ToolResult runTool(const std::string& args)
{
    return processtest::runCommand(std::string(FWAGENT_PATH) + " " + args);
}

struct HarnessOptions
{
    HarnessOptions(std::string c, int t = 2, std::vector<std::string> e = {})
        : config(std::move(c)), threads(t), extra(std::move(e))
    {
    }
    std::string config;
    int threads;
    std::vector<std::string> extra;
    // The process reuses freed memory at once, as it does without the
    // sanitizer, whose quarantine would keep a new object off an old one's place.
    bool reuseFreedMemory = false;
};

// One framework process with its agent blocks, configuration and log.
class FrameworkProcess
{
public:
    explicit FrameworkProcess(const HarnessOptions& options)
    {
        static std::atomic<unsigned> counter{0};
        const std::string tag = base36(static_cast<unsigned long>(::getpid()) % 1679616) + base36(counter++);
        m_agent = "G" + tag;
        m_app = "P" + tag;
        std::string pattern = (std::filesystem::temp_directory_path() / "ctlXXXXXX").string();
        m_dir = ::mkdtemp(pattern.data()) != nullptr ? pattern : std::string("/tmp");
        std::ofstream(m_dir + "/fw.cfg") << "AGT_ID STRING " << m_agent << "\n"
                                         << "HEALTH_CHK_TM INT32 200\n"
                                         << "THD_TERM_TIMEOUT INT32 1\n"
                                         << options.config;
        m_threads = options.threads;
        EXPECT_EQ(tool("create").rc, 0);
        m_pid = ::fork();
        if (m_pid == 0)
        {
            const int log = ::open((m_dir + "/log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(log, STDERR_FILENO);
            std::vector<std::string> args = {CTL_HARNESS_PATH, "--app",     m_app,
                                             "--config",       m_dir + "/fw.cfg", "--threads",
                                             std::to_string(options.threads)};
            args.insert(args.end(), options.extra.begin(), options.extra.end());
            if (options.reuseFreedMemory)
            {
                const char* asan = ::getenv("ASAN_OPTIONS");
                const std::string value = (asan != nullptr && *asan != 0 ? std::string(asan) + ":" : "") +
                                          "quarantine_size_mb=0";
                ::setenv("ASAN_OPTIONS", value.c_str(), 1);
            }
            std::vector<char*> argv;
            for (std::string& arg : args)
                argv.push_back(arg.data());
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
    }

    ~FrameworkProcess()
    {
        if (m_pid > 0 && !m_exited)
        {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        tool("remove");
        if (::testing::Test::HasFailure())
            std::fprintf(stderr, "--- framework log ---\n%s\n", log().c_str());
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }

    ToolResult tool(const std::string& args) const
    {
        return runTool(args + " --agent " + m_agent + " --app " + m_app);
    }

    // The status lines of the agent tool as keys (threads under "thread").
    std::multimap<std::string, std::string> status() const
    {
        std::multimap<std::string, std::string> fields;
        std::istringstream lines(tool("status").out);
        for (std::string line; std::getline(lines, line);)
        {
            const size_t eq = line.find('=');
            if (eq == std::string::npos)
                continue;
            std::string value = line.substr(eq + 1);
            if (line.compare(0, eq, "thread") == 0)
                value = value.substr(0, value.find(' '));
            fields.emplace(line.substr(0, eq), value);
        }
        return fields;
    }

    std::string field(const std::string& key) const
    {
        const auto fields = status();
        const auto it = fields.find(key);
        return it == fields.end() ? std::string() : it->second;
    }

    // The start status is written before the threads start: started means
    // every thread answered INIT and the first got APP_READY.
    bool waitStarted() const
    {
        return waitForState("ACTIVE") && (m_threads == 0 || waitForLog("APP_CALLBACK [APP1] event [2]"));
    }

    bool waitForState(const std::string& state, std::chrono::milliseconds limit = 20s) const
    {
        return waitFor([&] { return field("state") == state; }, limit);
    }

    std::string log() const
    {
        std::ifstream in(m_dir + "/log");
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    size_t logCount(const std::string& text) const
    {
        const std::string all = log();
        size_t n = 0;
        for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1))
            ++n;
        return n;
    }

    bool waitForLog(const std::string& text, std::chrono::milliseconds limit = 20s, size_t times = 1) const
    {
        return waitFor([&] { return logCount(text) >= times; }, limit);
    }

    // The exit status, or -1 when the process still runs after limit.
    int waitExit(std::chrono::milliseconds limit = 30s)
    {
        int status = 0;
        const bool ended = waitFor([&] { return ::waitpid(m_pid, &status, WNOHANG) == m_pid; }, limit);
        if (!ended)
            return -1;
        m_exited = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    bool running() { return !m_exited && ::waitpid(m_pid, nullptr, WNOHANG) == 0; }
    void signal(int sig) const { ::kill(m_pid, sig); }
    pid_t pid() const { return m_pid; }

    // The application block, mapped for the test to play a hostile agent.
    AppSharedMemBlock* mapAppBlock()
    {
        const int fd = shm_open(("/" + m_agent + "." + m_app).c_str(), O_RDWR, 0);
        void* block = fd < 0 ? MAP_FAILED : mmap(nullptr, sizeof(AppSharedMemBlock), PROT_READ | PROT_WRITE,
                                                  MAP_SHARED, fd, 0);
        if (fd >= 0)
            ::close(fd);
        return block == MAP_FAILED ? nullptr : static_cast<AppSharedMemBlock*>(block);
    }
    AgentSharedMemBlock* mapAgtBlock()
    {
        const int fd = shm_open(("/" + m_agent).c_str(), O_RDWR, 0);
        void* block = fd < 0 ? MAP_FAILED : mmap(nullptr, sizeof(AgentSharedMemBlock), PROT_READ | PROT_WRITE,
                                                  MAP_SHARED, fd, 0);
        if (fd >= 0)
            ::close(fd);
        return block == MAP_FAILED ? nullptr : static_cast<AgentSharedMemBlock*>(block);
    }

    // Runs write with the application block's semaphore held, as the agent
    // changes the block: the control thread reads a field and writes it back
    // under that semaphore, and a write of ours between the two would be lost.
    template <typename Write>
    bool asAgent(Write write) const
    {
        sem_t* sem = sem_open(("/" + m_agent + "." + m_app + "_sem").c_str(), O_RDWR);
        if (sem == SEM_FAILED)
            return false;
        timespec deadline{};
        ::clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_sec += 10;
        int rc = 0;
        while ((rc = sem_timedwait(sem, &deadline)) != 0 && errno == EINTR)
        {
        }
        if (rc == 0)
        {
            write();
            sem_post(sem);
        }
        sem_close(sem);
        return rc == 0;
    }

    template <typename Pred>
    static bool waitFor(Pred pred, std::chrono::milliseconds limit)
    {
        return processtest::waitFor(pred, limit);
    }

private:
    std::string m_agent;
    std::string m_app;
    std::string m_dir;
    pid_t m_pid = -1;
    bool m_exited = false;
    int m_threads = 0;
};

std::vector<std::string> threadsOf(const std::multimap<std::string, std::string>& fields)
{
    std::vector<std::string> names;
    auto [from, to] = fields.equal_range("thread");
    for (auto it = from; it != to; ++it)
        names.push_back(it->second);
    return names;
}

bool has(const std::vector<std::string>& names, const std::string& name)
{
    return std::find(names.begin(), names.end(), name) != names.end();
}

size_t positionOf(const std::string& text, const std::string& what)
{
    return text.find(what);
}
} // namespace

TEST(ControlProcessTest, StartsTwoApplicationThreadsAndShowsThemRunningThroughTheAgentTool)
{
    FrameworkProcess process({"LOGGER_THD_OPT INT32 1\n"});
    ASSERT_TRUE(process.waitStarted());
    const auto fields = process.status();
    EXPECT_EQ(fields.find("mode")->second, "active");
    EXPECT_EQ(fields.find("running")->second, "yes");
    EXPECT_EQ(fields.find("pid")->second, std::to_string(process.pid()));
    const auto threads = threadsOf(fields);
    for (const char* name : {"CTL_THREAD", "APP1", "APP2", "LOGGER"})
        EXPECT_TRUE(has(threads, name)) << name;
    EXPECT_TRUE(process.waitForLog("APP_CALLBACK [APP2] event [2]")); // APP_READY reached both

    process.signal(SIGTERM);
    EXPECT_EQ(process.waitExit(), 0);
}

// Application threads stop first, in registry order, the framework threads
// after them in the reverse of their start order; the stop is recorded.
TEST(ControlProcessTest, SigtermStopsThreadsInOrderAndWritesTheStopStatus)
{
    FrameworkProcess process({"LOGGER_THD_OPT INT32 1\n"});
    ASSERT_TRUE(process.waitStarted());
    process.signal(SIGTERM);
    ASSERT_EQ(process.waitExit(), 0);
    const std::string log = process.log();
    const size_t app1 = positionOf(log, "Sent TERM event to [APP1]");
    const size_t app2 = positionOf(log, "Sent TERM event to [APP2]");
    const size_t logger = positionOf(log, "Sent TERM event to [LOGGER]");
    ASSERT_NE(app1, std::string::npos);
    ASSERT_NE(app2, std::string::npos);
    ASSERT_NE(logger, std::string::npos);
    EXPECT_LT(app1, app2);
    EXPECT_LT(app2, logger);
    EXPECT_EQ(process.field("state"), "TERMINATED");
    EXPECT_EQ(process.field("running"), "no");
}

TEST(ControlProcessTest, SigintStopsOnlyWhenTheKeyAllowsIt)
{
    struct Case
    {
        const char* config;
        bool stops;
    } cases[] = {{"SIGINT_ACTION INT32 0\n", false}, {"SIGINT_ACTION INT32 2\n", true}};
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.config);
        FrameworkProcess process({c.config});
        ASSERT_TRUE(process.waitStarted());
        process.signal(SIGINT);
        if (c.stops)
        {
            EXPECT_EQ(process.waitExit(), 0);
            continue;
        }
        ASSERT_TRUE(process.waitForLog("Received SIGINT. Ignore and continue."));
        EXPECT_TRUE(process.running());
        process.signal(SIGTERM);
        EXPECT_EQ(process.waitExit(), 0);
    }
}

TEST(ControlProcessTest, ThreadThatNeverAnswersInitFailsTheStartAndNothingKeepsRunning)
{
    FrameworkProcess process({"EVENT_TIMEOUT INT32 1000\n", 2, {"--hang-init", "APP2"}});
    EXPECT_EQ(process.waitExit(), 1);
    EXPECT_TRUE(process.waitForLog("RUN_RESULT [-1] code [117]", 1s));
    EXPECT_TRUE(process.waitForLog("[APP2] does not terminate after sending TERM event for [1] seconds", 1s));
    EXPECT_EQ(process.field("state"), "TERMINATED");
    EXPECT_EQ(process.field("running"), "no");
}

TEST(ControlProcessTest, ProcessWithoutThreadsWaitsWithoutSpinningAndStopsOnSigterm)
{
    FrameworkProcess process({"", 0});
    ASSERT_TRUE(process.waitStarted());
    auto cpuTicks = [&] {
        std::ifstream stat("/proc/" + std::to_string(process.pid()) + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        std::istringstream fields(text.substr(text.rfind(')') + 2));
        std::string skip;
        long utime = 0, stime = 0;
        for (int i = 0; i < 11; ++i)
            fields >> skip;
        fields >> utime >> stime;
        return utime + stime;
    };
    const long before = cpuTicks();
    std::this_thread::sleep_for(1s);
    EXPECT_LT(cpuTicks() - before, 30); // well under a third of one CPU
    process.signal(SIGTERM);
    EXPECT_EQ(process.waitExit(), 0);
}

TEST(ControlProcessTest, HungThreadIsCancelledAfterTheConfiguredTimeOut)
{
    FrameworkProcess process({"", 2, {"--hang-term", "APP1"}});
    ASSERT_TRUE(process.waitStarted());
    const auto start = std::chrono::steady_clock::now();
    process.signal(SIGTERM);
    EXPECT_EQ(process.waitExit(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 8s);
    EXPECT_TRUE(process.waitForLog("[APP1] does not terminate after sending TERM event for [1] seconds. Cancel thread",
                                   1s));
    EXPECT_FALSE(process.waitForLog("Caught an exception", 0ms));
}

// A thread that ignores TERM and never reaches a cancellation point: the
// stop names it, goes on to the other application thread, and still stops
// every framework thread before the process ends.
TEST(ControlProcessTest, ThreadThatWillNotEndIsNamedAndTheOthersStillStop)
{
    FrameworkProcess process({"LOGGER_THD_OPT INT32 1\n", 2, {"--spin-term", "APP1"}});
    ASSERT_TRUE(process.waitStarted());
    process.signal(SIGTERM);
    EXPECT_NE(process.waitExit(), -1);
    const std::string log = process.log();
    EXPECT_NE(log.find("[APP1] does not terminate after calling pthread_cancel()"), std::string::npos);
    EXPECT_NE(log.find("Fail to stop application thread [APP1]"), std::string::npos);
    EXPECT_NE(log.find("Sent TERM event to [APP2]"), std::string::npos);
    EXPECT_NE(log.find("Sent TERM event to [LOGGER]"), std::string::npos);
    EXPECT_EQ(log.find("Fail to stop Logger"), std::string::npos);
    EXPECT_NE(log.find("[APP1] still runs: the message queues are kept."), std::string::npos);
}

TEST(ControlProcessTest, ExceptionLeavingAThreadBodyIsReportedAndStopsTheProcess)
{
    FrameworkProcess process({"", 2, {"--throw", "APP1"}});
    EXPECT_EQ(process.waitExit(), 0);
    EXPECT_TRUE(process.waitForLog("Caught an exception at Message Dispatcher", 1s));
    EXPECT_TRUE(process.waitForLog("Received SIGCHLD from one of its threads. Terminate all remaining threads", 1s));
    EXPECT_EQ(process.field("state"), "TERMINATED");
}

TEST(ControlProcessTest, AgentCommandsThroughTheAgentTool)
{
    FrameworkProcess process({"FW_LOG_LEVEL INT32 4\n"});
    ASSERT_TRUE(process.waitStarted());

    // Log level: debug lines appear only after the change.
    EXPECT_EQ(process.logCount("Status time updated"), 0u);
    EXPECT_EQ(process.tool("log-level 6").rc, 0);
    EXPECT_TRUE(process.waitForLog("Status time updated"));

    // Application-defined event: to every application thread, id and text.
    EXPECT_EQ(process.tool("app-defined 7 abc").rc, 0);
    EXPECT_TRUE(process.waitForLog("APP_EVENT [APP1] id [1000] action [7] text [abc]"));
    EXPECT_TRUE(process.waitForLog("APP_EVENT [APP2] id [1000] action [7] text [abc]"));

    EXPECT_EQ(process.tool("reload").rc, 0);
    EXPECT_TRUE(process.waitForLog("Received CONFIGURATION FILE RELOAD command from Framework Agent."));

    // A failure an application thread reports is the last error shown.
    EXPECT_EQ(process.tool("app-defined 42 fail").rc, 0);
    EXPECT_TRUE(FrameworkProcess::waitFor([&] { return process.field("last_error") == "42"; }, 10s));

    // Soft restart into standby: every thread starts again and answers INIT.
    EXPECT_EQ(process.tool("restart 1").rc, 0);
    ASSERT_TRUE(process.waitForState("STANDBY"));
    EXPECT_TRUE(process.waitForLog("APP_CALLBACK [APP1] event [0]", 5s, 2));
    EXPECT_EQ(process.field("mode"), "standby");

    // Failover in standby (no replication to wait for): the switch to active.
    EXPECT_EQ(process.tool("failover").rc, 0);
    ASSERT_TRUE(process.waitForState("ACTIVE"));
    EXPECT_TRUE(process.waitForLog("APP_CALLBACK [APP2] event [18]"));
    EXPECT_TRUE(process.waitForLog("Switched to Active Mode."));

    // And back to standby, with a restart asking for recovery: without
    // replication or application recovery it restarts in standby.
    EXPECT_EQ(process.tool("restart 2").rc, 0);
    ASSERT_TRUE(process.waitForState("STANDBY"));

    EXPECT_EQ(process.tool("stop").rc, 0);
    EXPECT_EQ(process.waitExit(), 0);
    EXPECT_EQ(process.field("state"), "STOPPED");
}

// A stop that a thread asks for while the switch to active awaits its
// acknowledgements (as the messaging service does when the instance turns out
// behind its standby) is kept: it ends the process once the wait is over, and
// the switch is not completed.
TEST(ControlProcessTest, TermSentDuringTheSwitchsWaitEndsTheProcessWithoutTheSwitch)
{
    FrameworkProcess process(
        {"APP_TRIG_TERM INT32 1\n", 2, {"--mode", "1", "--term-on-switch", "APP1"}});
    ASSERT_TRUE(process.waitForState("STANDBY"));
    EXPECT_EQ(process.tool("failover").rc, 0);
    EXPECT_EQ(process.waitExit(), 0);
    EXPECT_EQ(process.logCount("TERM from [APP1] received while waiting for acknowledgements."), 1u);
    EXPECT_EQ(process.logCount("Received TERM event from [APP1]. Terminate the application."), 1u);
    EXPECT_EQ(process.logCount("Switched to Active Mode."), 0u);
}

// The agent block's replication status follows what the threads report: in
// recovery (3) from the messaging service's REPLI_TOPIC_RECOVERY until its
// REPLI_TOPIC_RECOV_DONE, even when the replicator's REPLICATION_RESUMED
// (its publisher answered) comes just after the recovery started; without
// publisher (2) and back (1) from the replicator.
TEST(ControlProcessTest, ReplicationStatusShowsARecoveryUntilItsEnd)
{
    FrameworkProcess process({""});
    ASSERT_TRUE(process.waitStarted());
    struct Step
    {
        const char* events; // posted to the control thread, in order
        const char* last;   // the control thread's line of the last one
        const char* status;
    } steps[] = {
        {"ctl:60,25", "Received REPLICATION_RESUMED from [APP1]", "3"},
        {"ctl:61", "Received REPLI_TOPIC_RECOV_DONE from [APP1]", "1"},
        {"ctl:24", "Received REPLICATION_NOT_RCVD from [APP1]", "2"},
        {"ctl:25", "Received REPLICATION_RESUMED from [APP1]", "1"},
    };
    for (const Step& s : steps)
    {
        SCOPED_TRACE(s.events);
        const size_t before = process.logCount(s.last);
        EXPECT_EQ(process.tool(std::string("app-defined 1 ") + s.events).rc, 0);
        EXPECT_TRUE(process.waitForLog(s.last, 20s, before + 1));
        EXPECT_TRUE(FrameworkProcess::waitFor([&] { return process.field("replication") == s.status; }, 10s))
            << process.field("replication");
    }
    EXPECT_EQ(process.tool("stop").rc, 0);
    EXPECT_EQ(process.waitExit(), 0);
}

// Soft restarts in a row, as an operator may give them: each brings every
// thread back through INIT to APP_READY. A restarted thread builds its wait
// set anew around queues that outlive it, often where the last run's set
// stood, and must not take what that set left on them for a registration of
// its own.
TEST(ControlProcessTest, FiftySoftRestartsInARowEachComeBackRunning)
{
    HarnessOptions options("");
    options.reuseFreedMemory = true;
    FrameworkProcess process(options);
    ASSERT_TRUE(process.waitStarted());
    for (size_t i = 1; i <= 50; ++i)
    {
        SCOPED_TRACE(i);
        ASSERT_EQ(process.tool(i % 2 == 1 ? "restart 1" : "restart 0").rc, 0);
        ASSERT_TRUE(process.waitForLog("APP_CALLBACK [APP1] event [2]", 20s, i + 1));
        ASSERT_TRUE(process.waitForLog("APP_CALLBACK [APP2] event [2]", 20s, i + 1));
    }
    EXPECT_EQ(process.field("running"), "yes");
    EXPECT_EQ(process.field("mode"), "active");
    EXPECT_EQ(process.logCount("Already registered"), 0u);
    process.signal(SIGTERM);
    EXPECT_EQ(process.waitExit(), 0);
}

TEST(ControlProcessTest, StopCommandsReportHowTheProcessEnded)
{
    struct Case
    {
        const char* command;
        const char* state;
    } cases[] = {{"stop --force", "FORCE_TERMINATED"}, {"failover", "STOPPED"}};
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.command);
        FrameworkProcess process({""});
        ASSERT_TRUE(process.waitStarted());
        EXPECT_EQ(process.tool(c.command).rc, 0);
        EXPECT_EQ(process.waitExit(), 0);
        EXPECT_EQ(process.field("state"), c.state);
    }
}

// Values another process writes into the blocks are checked before use: each
// is refused with a line in the log, and the process goes on serving.
TEST(ControlProcessTest, HostileAgentBlockValuesAreRefused)
{
    FrameworkProcess process({"AGT_CHK_INTERVAL INT32 1\n"});
    ASSERT_TRUE(process.waitStarted());
    AppSharedMemBlock* app = process.mapAppBlock();
    AgentSharedMemBlock* agt = process.mapAgtBlock();
    ASSERT_NE(app, nullptr);
    ASSERT_NE(agt, nullptr);
    const pid_t self = process.pid();

    auto command = [](int32 code, int32 mode, int32 para) {
        Command cmd;
        std::memset(&cmd, 0, sizeof(cmd));
        cmd.fwCmd.cmdCode = code;
        cmd.fwCmd.mode = mode;
        cmd.fwCmd.additionalPara = para;
        return cmd;
    };
    const std::string longText(100, 'x');

    struct Case
    {
        const char* what;
        std::function<void()> apply;
        std::string expected;
    } cases[] = {
        {"ring size 0", [&] { app->cmdBuf.m_bufSize = 0; app->cmdBuf.m_headIndex = 3; },
         "Shared ring buffer is corrupt: size [0]"},
        {"ring head past the slots", [&] { app->cmdBuf.initialize(); app->cmdBuf.m_headIndex = 11; },
         "head [11]"},
        {"ring tail negative", [&] { app->cmdBuf.initialize(); app->cmdBuf.m_tailIndex = -1; }, "tail [-1]"},
        {"log level 99", [&] { app->cmdBuf.initialize(); app->cmdBuf.enqueue(command(CMD_LOG_LEVEL, 0, 99)); },
         "Invalid log level [99]"},
        {"restart mode 7", [&] { app->cmdBuf.enqueue(command(CMD_SOFT_RESTART, 7, 0)); },
         "Invalid mode [7] specified in CMD_SOFT_RESTART"},
        {"restart mode -1", [&] { app->cmdBuf.enqueue(command(CMD_SOFT_RESTART, -1, 0)); },
         "Invalid mode [-1] specified in CMD_SOFT_RESTART"},
        {"unknown command", [&] { app->cmdBuf.enqueue(command(CMD_FA_RELOAD, 0, 0)); },
         "Unexpected command message [6] received"},
        {"text without its NUL",
         [&] {
             Command cmd = command(CMD_APP_DEFINED, 0, 0);
             std::memset(cmd.appCmd.actPara, 'x', sizeof(cmd.appCmd.actPara));
             app->cmdBuf.enqueue(cmd);
         },
         "text [" + longText + "]"},
        {"statistics count negative",
         [&] { ASSERT_TRUE(process.asAgent([&] { app->statBuf.numOfStatRec = -5; })); },
         "Invalid number of statistics records [-5]"},
        {"statistics count past the records",
         [&] { ASSERT_TRUE(process.asAgent([&] { app->statBuf.numOfStatRec = 1000; })); },
         "Invalid number of statistics records [1000]"},
        {"agent pid of the process itself",
         [&] {
             ASSERT_TRUE(process.asAgent([&] { app->statBuf.numOfStatRec = 0; }));
             agt->pid = self;
             agt->reportTime = 1;
             agt->status = ACTIVE;
         },
         "Refused to kill the framework agent [pid: " + std::to_string(self) + "]"},
        {"agent pid 1, report time at the far past",
         [&] {
             // The refusal above marks the agent stopped after its line: an
             // agent made active before that would be marked stopped unseen.
             ASSERT_TRUE(FrameworkProcess::waitFor([&] { return agt->status == STOPPED; }, 10s));
             agt->pid = 1;
             agt->reportTime = INT64_MIN;
             agt->status = ACTIVE;
         },
         "Refused to kill the framework agent [pid: 1]"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        const size_t before = process.logCount(c.expected);
        c.apply();
        process.signal(SIGUSR1);
        EXPECT_TRUE(process.waitForLog(c.expected, 10s, before + 1));
        ASSERT_TRUE(process.running());
    }
    agt->status = NOT_STARTED;
    app->cmdBuf.initialize();
    // Still serving: the health check goes on and a command still works.
    EXPECT_EQ(process.tool("stop").rc, 0);
    EXPECT_EQ(process.waitExit(), 0);
    EXPECT_EQ(process.field("state"), "STOPPED");
    munmap(app, sizeof(AppSharedMemBlock));
    munmap(agt, sizeof(AgentSharedMemBlock));
}

TEST(ControlProcessTest, ThreadThatStopsReportingItsStatusStopsTheProcess)
{
    FrameworkProcess process({"STS_RPT_INTERVAL INT32 200\n", 2, {"--block-ready", "APP1"}});
    EXPECT_EQ(process.waitExit(), 0);
    EXPECT_TRUE(process.waitForLog("Thread [APP1] does not update its status over", 1s));
    EXPECT_EQ(process.field("state"), "TERMINATED");
}

TEST(ControlProcessTest, SoftRestartWithAThreadThatIgnoresTermStopsTheProcess)
{
    FrameworkProcess process({"", 2, {"--hang-term", "APP1"}});
    ASSERT_TRUE(process.waitStarted());
    EXPECT_EQ(process.tool("restart 1").rc, 0);
    EXPECT_EQ(process.waitExit(), 0);
    EXPECT_TRUE(process.waitForLog("stopping threads for the soft restart. Terminate the application.", 1s));
    EXPECT_EQ(process.field("state"), "TERMINATED");
}

// An agent that stops reporting is killed and marked stopped; the
// application keeps running.
TEST(ControlProcessTest, StaleAgentIsKilledAndMarkedStopped)
{
    FrameworkProcess process({"AGT_CHK_INTERVAL INT32 1\n"});
    ASSERT_TRUE(process.waitStarted());
    const pid_t agent = ::fork();
    if (agent == 0)
    {
        for (;;)
            ::pause();
    }
    AgentSharedMemBlock* agt = process.mapAgtBlock();
    ASSERT_NE(agt, nullptr);
    agt->reportTime = static_cast<int64>(::time(nullptr)) - 60;
    agt->pid = agent;
    agt->status = ACTIVE;
    int status = 0;
    const bool killed = FrameworkProcess::waitFor([&] { return ::waitpid(agent, &status, WNOHANG) == agent; }, 10s);
    if (!killed)
    {
        ::kill(agent, SIGKILL);
        ::waitpid(agent, nullptr, 0);
    }
    ASSERT_TRUE(killed);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    EXPECT_TRUE(FrameworkProcess::waitFor([&] { return agt->status == STOPPED; }, 5s));
    EXPECT_EQ(agt->pid, -1);
    EXPECT_TRUE(process.running());
    EXPECT_EQ(process.field("state"), "ACTIVE");
    munmap(agt, sizeof(AgentSharedMemBlock));
    process.signal(SIGTERM);
    EXPECT_EQ(process.waitExit(), 0);
}

// A registered topic brings the messaging thread, which answers the start
// like every thread; the application's recovery topic name must fit a
// resource name. Its control channels stay on the loopback interface.
TEST(ControlProcessTest, TopicsBringTheMessagingThreadAndItsRecoveryTopicName)
{
    const std::string localMessaging = "MSG_SVR_SUBNET STRING 127.0.0.0\nMSL_MCAST_TTL UINT16 1\n"
                                       "MCAST_RC_ADDR STRING 239.255.81.1\nMCAST_RAC_ADDR STRING 239.255.81.2\n";
    {
        FrameworkProcess process({localMessaging, 2, {"--topic", "QUOTES"}});
        ASSERT_TRUE(process.waitStarted());
        EXPECT_TRUE(has(threadsOf(process.status()), "MSG_SERVICE"));
        process.signal(SIGTERM);
        EXPECT_EQ(process.waitExit(), 0);
        EXPECT_TRUE(process.waitForLog("Sent TERM event to [MSG_SERVICE]", 1s));
    }
    {
        // "<application id>:<instance>_RECO" passes 16 characters whatever the
        // length of the test's application id, which follows the process id.
        FrameworkProcess process({localMessaging, 2, {"--topic", "QUOTES", "--inst", "1234567890"}});
        EXPECT_EQ(process.waitExit(), 1);
        EXPECT_TRUE(process.waitForLog("is too long.", 1s));
        EXPECT_TRUE(process.waitForLog("RUN_RESULT [-1] code [1653]", 1s));
        EXPECT_EQ(process.field("state"), "TERMINATED");
    }
}

// Two processes with topics on one host, hearing each other: the recovery
// instances' topics are published by the instances alone, so the second
// process is not refused the topics the first one opened.
TEST(ControlProcessTest, SecondProcessOnAHostIsNotRefusedTheMrmTopics)
{
    const std::string config = "MSG_SVR_SUBNET STRING 127.0.0.0\nMSL_MCAST_TTL UINT16 1\nMSL_LOOPBACK INT32 1\n"
                               "MCAST_RC_ADDR STRING 239.255.82.1\nMCAST_RAC_ADDR STRING 239.255.82.2\n"
                               "RQS_TIMEOUT INT32 100\n";
    FrameworkProcess first({config, 2, {"--topic", "QUOTES", "--mrm-base", "MRM"}});
    ASSERT_TRUE(first.waitStarted());
    ASSERT_TRUE(first.waitForLog("_RECO] created for publishing.", 20s));
    FrameworkProcess second({config, 2, {"--topic", "QUOTES2", "--mrm-base", "MRM"}});
    ASSERT_TRUE(second.waitStarted());
    ASSERT_TRUE(second.waitForLog("_RECO] created for publishing.", 20s));
    // The MRM topics went out with the recovery topic: any refusal is in.
    EXPECT_TRUE(second.waitForLog("[MRM0:0L]", 1s));
    EXPECT_EQ(second.log().find("Error [2100] creating topic"), std::string::npos);
    EXPECT_EQ(first.log().find("TOPIC_CONFLICT"), std::string::npos);
    first.signal(SIGTERM);
    second.signal(SIGTERM);
    EXPECT_EQ(first.waitExit(), 0);
    EXPECT_EQ(second.waitExit(), 0);
}

// Statistics samples move into the application block, at most the 20 it
// holds, until the agent takes them.
TEST(ControlProcessTest, StatisticsSamplesMoveIntoTheApplicationBlock)
{
    FrameworkProcess process({"", 2, {"--stats", "25"}});
    ASSERT_TRUE(process.waitStarted());
    EXPECT_TRUE(FrameworkProcess::waitFor([&] { return process.field("statistics") == "20"; }, 10s));
    AppSharedMemBlock* app = process.mapAppBlock();
    ASSERT_NE(app, nullptr);
    EXPECT_EQ(app->statBuf.statisticsRec[0].statCounterId, 1);
    EXPECT_EQ(app->statBuf.statisticsRec[19].statCounterId, 20);
    ASSERT_TRUE(process.asAgent([&] { app->statBuf.numOfStatRec = 0; })); // the agent took them
    EXPECT_TRUE(FrameworkProcess::waitFor([&] { return process.field("statistics") == "5"; }, 10s));
    EXPECT_EQ(app->statBuf.statisticsRec[4].statCounterId, 25);
    munmap(app, sizeof(AppSharedMemBlock));
    process.signal(SIGTERM);
    EXPECT_EQ(process.waitExit(), 0);
}
