// The example application, built against the installed tree, run as a user
// runs it: a framework configuration file, the agent tool for its blocks,
// SIGTERM to stop. Its standard output tells what its threads saw.
#include "FendralCore/foundation/FwErrorNum.h"
#include "FendralCore/runtime/AgentShmLayout.h"
#include "FendralCore/tests/support/ProcessTestSupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <netinet/in.h>
#include <regex>
#include <signal.h>
#include <sstream>
#include <string>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{
using namespace std::chrono_literals;

// The example's last line after a clean stop: only main is left (and, under
// the thread sanitizer, that tool's own background thread).
#if defined(__SANITIZE_THREAD__)
const std::string cCleanExit = "EXIT 0 THREADS 2";
#else
const std::string cCleanExit = "EXIT 0 THREADS 1";
#endif

using processtest::base36;

std::string readAll(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

template <typename Pred>
bool waitFor(Pred pred, std::chrono::milliseconds limit = 20s)
{
    return processtest::waitFor(pred, limit);
}

struct RunOptions
{
    std::vector<std::string> args;  // after the program name; {} = the 7-entry vector
    std::vector<std::string> env;   // NAME=value
    std::string config = "";        // appended to the framework configuration
    bool agent = true;              // create the agent's blocks first
    const char* program = FW_EXAMPLE_PATH;
};

class ExampleRun
{
public:
    explicit ExampleRun(const RunOptions& options)
    {
        // Agent and application ids of at most 8 characters, unique per run.
        static std::atomic<unsigned> counter{0};
        const std::string tag = base36(static_cast<unsigned long>(::getpid()) % 1679616) + base36(counter++);
        m_agent = "G" + tag;
        m_app = "E" + tag;
        std::string pattern = (std::filesystem::temp_directory_path() / "fwexXXXXXX").string();
        m_dir = ::mkdtemp(pattern.data()) != nullptr ? pattern : std::string("/tmp");
        std::ofstream(m_dir + "/fw.cfg") << "AGT_ID STRING " << m_agent << "\n"
                                         << "HEALTH_CHK_TM INT32 200\n"
                                         << "THD_TERM_TIMEOUT INT32 1\n"
                                         << (options.agent ? "" : "FW_AGT_OPTION INT32 0\n") << options.config;
        if (options.agent)
        {
            m_agentCreated = tool("create").rc == 0;
            EXPECT_TRUE(m_agentCreated);
        }
        std::vector<std::string> args = {options.program};
        if (options.args.empty())
            args.insert(args.end(), {m_app, "0", "0", "0", m_dir + "/fw.cfg", m_dir});
        else
            for (std::string a : options.args)
            {
                a = std::regex_replace(a, std::regex("@APP@"), m_app);
                a = std::regex_replace(a, std::regex("@DIR@"), m_dir);
                args.push_back(a);
            }
        m_pid = ::fork();
        if (m_pid == 0)
        {
            const int out = ::open((m_dir + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int err = ::open((m_dir + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(out, STDOUT_FILENO);
            ::dup2(err, STDERR_FILENO);
            for (const std::string& e : options.env)
                ::putenv(const_cast<char*>(e.c_str()));
            std::vector<char*> argv;
            for (std::string& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
    }

    ~ExampleRun()
    {
        if (m_pid > 0 && !m_exited)
        {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        if (m_agentCreated)
            tool("remove");
        if (::testing::Test::HasFailure())
            std::fprintf(stderr, "--- output ---\n%s\n--- errors ---\n%s\n--- framework log ---\n%s\n",
                         out().c_str(), readAll(m_dir + "/err").c_str(), log().c_str());
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }

    processtest::ToolResult tool(const std::string& args) const
    {
        return processtest::runCommand(std::string(FWAGENT_PATH) + " " + args + " --agent " + m_agent + " --app " +
                                       m_app);
    }
    std::string field(const std::string& key) const
    {
        std::istringstream lines(tool("status").out);
        for (std::string line; std::getline(lines, line);)
            if (line.rfind(key + "=", 0) == 0)
                return line.substr(key.size() + 1);
        return {};
    }

    std::string out() const { return readAll(m_dir + "/out"); }
    std::string log() const
    {
        std::string text;
        for (const auto& entry : std::filesystem::directory_iterator(m_dir))
            if (entry.path().filename().string().find("_fw_") != std::string::npos)
                text += readAll(entry.path());
        return text;
    }
    bool hasLogFile() const
    {
        for (const auto& entry : std::filesystem::directory_iterator(m_dir))
            if (entry.path().filename().string().find("_fw_") != std::string::npos)
                return true;
        return false;
    }
    size_t count(const std::string& text) const
    {
        const std::string all = out();
        size_t n = 0;
        for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1))
            ++n;
        return n;
    }
    bool waitOut(const std::string& text, size_t times = 1) const
    {
        return waitFor([&] { return count(text) >= times; });
    }
    int waitExit(std::chrono::milliseconds limit = 30s)
    {
        int status = 0;
        if (!waitFor([&] { return ::waitpid(m_pid, &status, WNOHANG) == m_pid; }, limit))
            return -1;
        m_exited = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    void signal(int sig) const { ::kill(m_pid, sig); }
    pid_t pid() const { return m_pid; }
    const std::string& dir() const { return m_dir; }
    const std::string& app() const { return m_app; }

    // The process id field of the application's agent block.
    int32_t blockPid() const
    {
        const int fd = shm_open(("/" + m_agent + "." + m_app).c_str(), O_RDONLY, 0);
        void* block = fd < 0 ? MAP_FAILED : mmap(nullptr, sizeof(AppSharedMemBlock), PROT_READ, MAP_SHARED, fd, 0);
        if (fd >= 0)
            ::close(fd);
        if (block == MAP_FAILED)
            return -2;
        const int32_t pid = static_cast<const AppSharedMemBlock*>(block)->statBuf.statusRec.pid;
        munmap(block, sizeof(AppSharedMemBlock));
        return pid;
    }

private:
    std::string m_agent;
    std::string m_app;
    std::string m_dir;
    pid_t m_pid = -1;
    bool m_exited = false;
    bool m_agentCreated = false;
};

// A multicast group on the loopback interface, unique to this process.
std::string testGroup(int n)
{
    const unsigned pid = static_cast<unsigned>(::getpid());
    return "239.201." + std::to_string((pid >> 8) & 0xff) + "." + std::to_string((pid + n) & 0xff);
}

// A socket joined to group on 127.0.0.1 at a port the system picked.
class McastReceiver
{
public:
    explicit McastReceiver(const std::string& group)
    {
        m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        inet_pton(AF_INET, group.c_str(), &addr.sin_addr);
        EXPECT_EQ(::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
        socklen_t len = sizeof(addr);
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len);
        m_port = ntohs(addr.sin_port);
        ip_mreq join{};
        inet_pton(AF_INET, group.c_str(), &join.imr_multiaddr);
        inet_pton(AF_INET, "127.0.0.1", &join.imr_interface);
        EXPECT_EQ(::setsockopt(m_fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof(join)), 0);
        timeval wait{10, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));
    }
    ~McastReceiver() { ::close(m_fd); }
    unsigned port() const { return m_port; }
    std::string receive()
    {
        char buf[256];
        const ssize_t n = ::recv(m_fd, buf, sizeof(buf), 0);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    }

private:
    int m_fd = -1;
    unsigned m_port = 0;
};

// A free UDP port for a group: one the system gives, then let go.
unsigned freeGroupPort(const std::string& group)
{
    McastReceiver probe(group);
    return probe.port();
}

void mcastSend(const std::string& group, unsigned port, const std::string& text)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    in_addr iface{};
    inet_pton(AF_INET, "127.0.0.1", &iface);
    ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &iface, sizeof(iface));
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, group.c_str(), &to.sin_addr);
    ::sendto(fd, text.data(), text.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&to), sizeof(to));
    ::close(fd);
}

// Every line of the framework log: time stamp, severity letter, thread field.
void expectWellFormedLog(const std::string& log)
{
    const std::regex line(R"(^\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\.\d{6},[A-Z], .{16}: .*$)");
    std::istringstream lines(log);
    size_t n = 0;
    for (std::string text; std::getline(lines, text); ++n)
        EXPECT_TRUE(std::regex_match(text, line)) << "line " << n << ": " << text;
    EXPECT_GT(n, 5u);
}
} // namespace

TEST(Example, RunsItsThreadsAndStopsOnSigterm)
{
    const std::string group = testGroup(1);
    const unsigned port = freeGroupPort(group);
    RunOptions options;
    options.env = {"FW_EXAMPLE_MCAST=" + group + ":" + std::to_string(port)};
    ExampleRun run(options);
    ASSERT_TRUE(run.waitOut("TIMER APP1 TICK", 3));
    EXPECT_TRUE(run.waitOut("MESSAGE APP2 ping"));
    EXPECT_TRUE(run.waitOut("MESSAGE APP1 pong"));
    EXPECT_TRUE(run.waitOut("MESSAGE APP2 ping2"));
    EXPECT_EQ(run.count("HANDLE_REFUSED " + std::to_string(RES_INVALID_HANDLE)), 1u);
    EXPECT_EQ(run.count("ping3"), 0u);
    EXPECT_EQ(run.count("EVENT APP1 2"), 1u); // APP_READY
    EXPECT_EQ(run.count("EVENT APP2 2"), 1u);
    EXPECT_EQ(run.count("SEND_ERROR"), 0u);
    EXPECT_EQ(run.field("state"), "ACTIVE");

    // Datagrams to the group reach the owning thread's callback, once each,
    // as soon as the connection has joined.
    EXPECT_TRUE(waitFor([&] {
        mcastSend(group, port, "probe");
        return run.count("DATAGRAM APP1 probe") > 0;
    }));
    for (const char* text : {"quote-1", "quote-2", "quote-3"})
        mcastSend(group, port, text);
    for (const char* text : {"quote-1", "quote-2", "quote-3"})
        EXPECT_TRUE(run.waitOut(std::string("DATAGRAM APP1 ") + text));
    EXPECT_EQ(run.count("DATAGRAM APP2"), 0u);

    run.signal(SIGTERM);
    EXPECT_EQ(run.waitExit(), 0);
    EXPECT_EQ(run.count(cCleanExit), 1u);
    const std::string log = run.log();
    EXPECT_NE(log.find("********** BEGIN **********"), std::string::npos);
    EXPECT_NE(log.find("[" + run.app() + "] [0] [0] [0] [" + run.dir() + "/fw.cfg] [" + run.dir() + "] [0]"),
              std::string::npos);
    expectWellFormedLog(log);
    EXPECT_EQ(run.field("state"), "TERMINATED");
    EXPECT_EQ(run.field("running"), "no");
}

// Under the agent: the meta command code tells the start to hand the agent our pid.
TEST(Example, StopsOnTheAgentsCommand)
{
    RunOptions options;
    options.args = {"@APP@", "0", "0", "0", "@DIR@/fw.cfg", "@DIR@", "127.0.0.1", "127.0.0.1",
                    "239.1.2.3", "7000", "239.1.2.4", "7001", "1"};
    ExampleRun run(options);
    ASSERT_TRUE(run.waitOut("TIMER APP1 TICK"));
    EXPECT_EQ(run.tool("stop").rc, 0);
    EXPECT_EQ(run.waitExit(), 0);
    EXPECT_EQ(run.field("state"), "STOPPED");
    EXPECT_EQ(run.count(cCleanExit), 1u);
}

// The same example built with the flags pkg-config gives.
TEST(Example, BuiltThroughPkgConfig)
{
    RunOptions options;
    options.program = FW_EXAMPLE_PC_PATH;
    ExampleRun run(options);
    ASSERT_TRUE(run.waitOut("MESSAGE APP1 pong"));
    run.signal(SIGTERM);
    EXPECT_EQ(run.waitExit(), 0);
}

// The meta command code: any non-zero code writes our pid into the agent's
// block; the Onload bit sets EF_UL_EPOLL.
TEST(Example, MetaCommandCode)
{
    struct Case
    {
        const char* code;
        bool pid;
        const char* epoll;
    } cases[] = {{"0", false, "unset"}, {"1", true, "unset"}, {"2", true, "1"}, {"3", true, "1"}};
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::string("meta code ") + c.code);
        RunOptions options;
        options.args = {"@APP@", "0", "0", "0", "@DIR@/fw.cfg", "@DIR@", "127.0.0.1", "127.0.0.1",
                        "239.1.2.3", "7000", "239.1.2.4", "7001", c.code};
        ExampleRun run(options);
        ASSERT_TRUE(run.waitOut("MESSAGE APP1 pong"));
        EXPECT_EQ(run.count(std::string("EF_UL_EPOLL ") + c.epoll), 1u);
        if (c.pid)
            EXPECT_EQ(run.blockPid(), run.pid());
        else
            EXPECT_NE(run.blockPid(), run.pid());
        EXPECT_NE(run.log().find("[127.0.0.1] [127.0.0.1] [239.1.2.3] [7000] [239.1.2.4] [7001] [" +
                                 std::string(c.code) + "]"),
                  std::string::npos);
        run.signal(SIGTERM);
        EXPECT_EQ(run.waitExit(), 0);
    }

    // The pid goes to the agent before registration: a start that then
    // fails still tells the agent which process it was.
    RunOptions failing;
    failing.args = {"@APP@", "0", "0", "0", "@DIR@/fw.cfg", "@DIR@", "127.0.0.1", "127.0.0.1",
                    "239.1.2.3", "7000", "239.1.2.4", "7001", "1"};
    failing.env = {"FW_EXAMPLE_FAIL_REG=1"};
    ExampleRun run(failing);
    EXPECT_EQ(run.waitExit(), 1);
    EXPECT_EQ(run.blockPid(), run.pid());
}

TEST(Example, MiddlewareModeSendsThroughTheMiddlewareThread)
{
    const std::string group = testGroup(2);
    McastReceiver receiver(group);
    RunOptions options;
    options.env = {"FW_EXAMPLE_MIDDLEWARE=1", "FW_EXAMPLE_MCAST_TO=" + group + ":" + std::to_string(receiver.port())};
    options.agent = false;
    ExampleRun run(options);
    ASSERT_TRUE(run.waitOut("MAIN_VIA MIDDLEWARE_MD"));
    // main's own send on a channel of "MIDDLEWARE_MD".
    EXPECT_TRUE(run.waitOut("MAIN_UDP 0 0"));
    EXPECT_EQ(receiver.receive(), "hello");
    EXPECT_TRUE(run.waitOut("MAIN_OBJECT set"));
    // Thread messages are for framework threads only.
    EXPECT_TRUE(run.waitOut("MAIN_THREAD_MESSAGE refused 3"));
    EXPECT_TRUE(run.waitOut("TIMER MIDDLEWARE_MD MW_TICK", 3));
    run.signal(SIGTERM);
    EXPECT_EQ(run.waitExit(), 0);
    EXPECT_EQ(run.count("STOPPED rc 0 state 2 result 0"), 1u);
    EXPECT_EQ(run.count(cCleanExit), 1u);
    EXPECT_NE(run.log().find("Framework Control thread ["), std::string::npos);
}

// Each failed start as a user meets it: its message, exit status 1, and no
// thread left when frameworkInit returns.
TEST(Example, FailedStarts)
{
    struct Case
    {
        const char* what;
        std::vector<std::string> args;
        std::vector<std::string> env;
        std::string config;
        std::string message;
        bool logFile;
    } cases[] = {
        {"too few arguments", {"@APP@", "0", "0", "0", "@DIR@/fw.cfg"}, {}, "", "<Application>  <Application ID>",
         false},
        {"eight arguments", {"@APP@", "0", "0", "0", "@DIR@/fw.cfg", "@DIR@", "127.0.0.1"}, {}, "",
         "<Application>  <Application ID>", false},
        {"port out of range",
         {"@APP@", "0", "0", "0", "@DIR@/fw.cfg", "@DIR@", "127.0.0.1", "127.0.0.1", "239.1.2.3", "70000",
          "239.1.2.4", "7001"},
         {}, "", "FrameworkInit failed. Error [6]", false},
        {"bad start-up mode", {"@APP@", "0", "0", "3", "@DIR@/fw.cfg", "@DIR@"}, {}, "",
         "FrameworkInit failed. Error [104]", false},
        {"missing configuration", {"@APP@", "0", "0", "0", "@DIR@/none.cfg", "@DIR@"}, {}, "",
         "FrameworkInit failed. Error [400]", true},
        {"line without a value", {}, {}, "GARBAGE\n", "FrameworkInit failed. Error [501]", true},
        {"line of an unknown type", {}, {}, "KEY FLOATY 1\n", "FrameworkInit failed. Error [500]", true},
        {"line too long", {}, {}, "LONG STRING " + std::string(300, 'x') + "\n", "FrameworkInit failed. Error [402]",
         true},
        {"registration fails", {}, {"FW_EXAMPLE_FAIL_REG=1"}, "", "FrameworkInit failed. Error [1600]", true},
        {"missing log directory", {"@APP@", "0", "0", "0", "@DIR@/fw.cfg", "@DIR@/no/such"}, {}, "",
         "FrameworkInit failed. Error [", false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        RunOptions options;
        options.args = c.args;
        options.env = c.env;
        options.config = c.config;
        options.agent = false;
        ExampleRun run(options);
        EXPECT_EQ(run.waitExit(), 1);
        EXPECT_NE(run.out().find(c.message), std::string::npos) << run.out();
        EXPECT_EQ(run.count("THREADS 1"), 1u);
        EXPECT_EQ(run.hasLogFile(), c.logFile);
    }
}
