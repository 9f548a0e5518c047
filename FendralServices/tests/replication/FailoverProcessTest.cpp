// Failover of a replicated TCP server channel between two framework
// applications, each a process of its own: a test client feeds the active,
// which is killed mid-stream; the agent tool's failover command switches the
// standby, which must hold every message the old active's application got,
// each once and in order, and serve the channel on. Once more with 1 % of the
// standby's messaging datagrams dropped on receipt. The processes share a
// network namespace of their own where one can be made, else the host's
// loopback with TTL 0 and groups and ports of their own.
#include "FendralCore/tests/support/ProcessTestSupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <signal.h>
#include <sstream>
#include <string>
#include <memory>
#include <thread>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{
using namespace std::chrono_literals;
using processtest::base36;
using processtest::freePort;
using processtest::isolateNetwork;
using processtest::readAll;

std::string group(int n)
{
    return processtest::uniqueGroup(130, 8, n);
}

// One instance of the application, with the agent blocks of its own agent.
class Instance
{
public:
    Instance(const std::string& dir, const std::string& name, const std::string& app, int inst, int mode,
             const std::string& config, uint16_t port, const std::string& repl)
        : m_dir(dir + "/" + name), m_app(app)
    {
        static std::atomic<unsigned> counter{0};
        m_agent = "G" + base36(static_cast<unsigned long>(::getpid()) % 1679616) + base36(counter++);
        std::filesystem::create_directories(m_dir);
        std::ofstream(m_dir + "/fw.cfg") << "AGT_ID STRING " << m_agent << "\n" << config;
        m_agentCreated = tool("create").rc == 0;
        EXPECT_TRUE(m_agentCreated);
        const std::vector<std::string> args = {REPL_APP_PATH, "--app", app, "--inst", std::to_string(inst),
                                               "--mode", std::to_string(mode), "--config", m_dir + "/fw.cfg",
                                               "--logdir", m_dir, "--port", std::to_string(port), "--repl", repl};
        m_pid = ::fork();
        if (m_pid == 0)
        {
            const int out = ::open((m_dir + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int err = ::open((m_dir + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(out, STDOUT_FILENO);
            ::dup2(err, STDERR_FILENO);
            std::vector<char*> argv;
            for (const std::string& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
    }

    ~Instance()
    {
        if (m_pid > 0 && !m_exited)
        {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        if (m_agentCreated)
            tool("remove");
        if (::testing::Test::HasFailure())
            std::fprintf(stderr, "--- %s output (tail) ---\n%s\n--- framework log (tail) ---\n%s\n", m_dir.c_str(),
                         tail(out()).c_str(), tail(log()).c_str());
    }

    processtest::ToolResult tool(const std::string& args) const
    {
        return processtest::runCommand(std::string(FWAGENT_PATH) + " " + args + " --agent " + m_agent + " --app " +
                                       m_app);
    }

    std::string state() const
    {
        std::istringstream lines(tool("status").out);
        for (std::string line; std::getline(lines, line);)
            if (line.rfind("state=", 0) == 0)
                return line.substr(6);
        return {};
    }

    bool waitState(const std::string& s, std::chrono::milliseconds limit = 30s) const
    {
        return processtest::waitFor([&] { return state() == s; }, limit);
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

    // The agent that starts a process records its id; here the test does.
    processtest::ToolResult command(const std::string& cmd) const
    {
        return tool(cmd + " --pid " + std::to_string(m_pid));
    }

    void kill()
    {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
        m_exited = true;
    }

    int stop()
    {
        ::kill(m_pid, SIGTERM);
        int status = 0;
        if (!processtest::waitFor([&] { return ::waitpid(m_pid, &status, WNOHANG) == m_pid; }, 30s))
            return -1;
        m_exited = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

private:
    static std::string tail(const std::string& s) { return s.size() > 6000 ? s.substr(s.size() - 6000) : s; }

    std::string m_dir;
    std::string m_app;
    std::string m_agent;
    pid_t m_pid = -1;
    bool m_exited = false;
    bool m_agentCreated = false;
};

// The messages "M<n>" an application got on FEED, in order, with the
// replication flag each came with.
struct Got
{
    std::vector<long> seq;
    std::vector<int> flag;
};

Got received(const std::string& out)
{
    Got g;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);)
    {
        int flag = 0;
        long n = 0;
        if (std::sscanf(line.c_str(), "RECV %d M%ld", &flag, &n) == 2)
        {
            g.seq.push_back(n);
            g.flag.push_back(flag);
        }
    }
    return g;
}

// The test's client of FEED: frames of a 10-byte header (little-endian body
// size first) and the body "M<n>".
class FeedClient
{
public:
    ~FeedClient() { close(); }

    bool connect(uint16_t port, std::chrono::milliseconds limit)
    {
        return processtest::waitFor(
            [&] {
                close();
                m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                sockaddr_in a{};
                a.sin_family = AF_INET;
                a.sin_port = htons(port);
                a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                if (::connect(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
                    return true;
                return false;
            },
            limit);
    }

    bool send(long n)
    {
        char body[32];
        const int len = std::snprintf(body, sizeof body, "M%07ld", n);
        char frame[64] = {};
        frame[0] = static_cast<char>(len & 0xff);
        frame[1] = static_cast<char>(len >> 8);
        std::memcpy(frame + 10, body, static_cast<size_t>(len));
        return ::send(m_fd, frame, static_cast<size_t>(10 + len), MSG_NOSIGNAL) == 10 + len;
    }

    void close()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd = -1;
};

bool holds(const Got& g, long n)
{
    for (long s : g.seq)
        if (s == n)
            return true;
    return false;
}

void runFailover(double loss)
{
    const bool isolated = isolateNetwork();
    ::testing::Test::RecordProperty("network", isolated ? "namespace" : "host loopback");
    std::string pattern = (std::filesystem::temp_directory_path() / "replFoXXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    const std::string dir = pattern;
    auto udp = [] { return std::to_string(freePort(SOCK_DGRAM)); };
    const std::string common =
        "HEALTH_CHK_TM INT32 200\nTHD_TERM_TIMEOUT INT32 1\n"
        "MCAST_RC_ADDR STRING " + group(1) + "\nMCAST_RC_PORT UINT16 " + udp() +
        "\nMCAST_RAC_ADDR STRING " + group(2) + "\nMCAST_RAC_PORT UINT16 " + udp() +
        "\nMCAST_DC_ADDR STRING " + group(3) + "\nMCAST_DC_PORT UINT16 " + udp() +
        "\nMCAST_DAC_ADDR STRING " + group(4) + "\nMCAST_DAC_PORT UINT16 " + udp() +
        "\nMCAST_DC_ADDR_RG INT32 1\nMCAST_DC_PORT_RG INT32 1\n"
        "MSG_SVR_SUBNET STRING 127.0.0.0\nMSL_MCAST_TTL UINT16 " + std::string(isolated ? "1" : "0") +
        "\nMSL_LOOPBACK INT32 1\n"
        "RQS_TIMEOUT INT32 50\nMSL_TM_INTERVAL INT32 10\nMSL_RESEND_THOLD INT32 2\nTOPIC_IDLE_INTV INT32 200\n"
        "MCAST_RECV_BUF INT32 4194304\nMCAST_SEND_BUF INT32 4194304\n";
    const std::string repl = group(5) + ":" + udp() + "," + group(6) + ":" + udp();
    const uint16_t port = freePort(SOCK_STREAM);
    const std::string app = "R" + base36(static_cast<unsigned long>(::getpid()) % 1679616) +
                            base36(static_cast<unsigned long>(loss * 1000));
    std::string standbyConfig = common;
    if (loss > 0)
        standbyConfig += "MSL_TEST_DROP DOUBLE " + std::to_string(loss) + "\nMSL_TEST_DROP_SD UINT64 7\n";

    long lastSent = 0;
    {
        auto active = std::make_unique<Instance>(dir, "active", app, 0, 0, common, port, repl);
        Instance standby(dir, "standby", app, 1, 1, standbyConfig, port, repl);
        ASSERT_TRUE(active->waitState("ACTIVE")) << active->state();
        ASSERT_TRUE(standby.waitState("STANDBY")) << standby.state();

        // The first message is sent until the standby has it: from then on the
        // standby is subscribed and the active delivers only what it acknowledged.
        FeedClient client;
        ASSERT_TRUE(client.connect(port, 30s));
        ASSERT_TRUE(client.send(++lastSent));
        ASSERT_TRUE(processtest::waitFor([&] { return holds(received(standby.out()), 1); }, 30s))
            << "the standby never got the first message";

        // A stream, with the active killed once the standby is some way in.
        std::atomic<bool> stop{false};
        std::atomic<long> sent{lastSent};
        std::thread feeder([&] {
            while (!stop.load() && sent.load() < 100000)
            {
                if (!client.send(sent.load() + 1))
                    break;
                ++sent;
                if (sent.load() % 20 == 0)
                    std::this_thread::sleep_for(1ms);
            }
        });
        const bool streaming = processtest::waitFor([&] { return received(standby.out()).seq.size() >= 300; }, 60s);
        active->kill();
        stop.store(true);
        feeder.join();
        lastSent = sent.load();
        ASSERT_TRUE(streaming) << "the standby got too little before the kill";
        const Got old = received(active->out());
        active.reset();

        // The operator's failover.
        const processtest::ToolResult fo = standby.command("failover");
        ASSERT_EQ(fo.rc, 0) << fo.out;
        ASSERT_TRUE(standby.waitState("ACTIVE", 45s)) << standby.state();

        // Served on: the client comes back and its next messages arrive.
        FeedClient again;
        ASSERT_TRUE(again.connect(port, 30s)) << "the new active does not serve FEED";
        const long resumeFrom = lastSent + 1;
        for (long n = resumeFrom; n < resumeFrom + 100; ++n)
            ASSERT_TRUE(again.send(n));
        ASSERT_TRUE(
            processtest::waitFor([&] { return holds(received(standby.out()), resumeFrom + 99); }, 30s));

        const Got now = received(standby.out());
        std::printf("old active delivered %zu (last M%ld), new active holds %zu, client sent up to M%ld\n",
                    old.seq.size(), old.seq.empty() ? 0L : old.seq.back(), now.seq.size(), resumeFrom + 99);
        // Once each, in order: nothing duplicated.
        for (size_t i = 1; i < now.seq.size(); ++i)
            ASSERT_LT(now.seq[i - 1], now.seq[i]) << "at " << i;
        // Nothing the old active's application got is missing here.
        for (long n : old.seq)
            EXPECT_TRUE(holds(now, n)) << "M" << n << " lost in the failover";
        EXPECT_FALSE(old.seq.empty());
        for (long n = resumeFrom; n < resumeFrom + 100; ++n)
            EXPECT_TRUE(holds(now, n)) << "M" << n;
        // As standby replicated (flag 1), as active its own (flag 0).
        EXPECT_EQ(now.flag.front(), 1);
        EXPECT_EQ(now.flag.back(), 0);
        EXPECT_EQ(standby.stop(), 0);
    }
    std::error_code ignored;
    if (!::testing::Test::HasFailure() && std::getenv("REPL_KEEP_LOGS") == nullptr)
        std::filesystem::remove_all(dir, ignored);
    else
        std::fprintf(stderr, "framework logs kept in %s\n", dir.c_str());
}
} // namespace

TEST(FailoverProcessTest, StandbyTakesOverWithEveryDeliveredMessage)
{
    runFailover(0);
}

TEST(FailoverProcessTest, StandbyTakesOverUnderLossOnTheReplicationTopic)
{
    runFailover(0.01);
}
