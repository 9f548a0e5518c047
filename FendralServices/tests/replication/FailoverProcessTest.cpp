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
#include <poll.h>
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

    bool freeze() const { return processtest::freeze(m_pid); }
    void resume() const { ::kill(m_pid, SIGCONT); }

    void kill()
    {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
        m_exited = true;
    }

    // The exit status once the process ended by itself, -1 when it outlived
    // limit.
    int waitExit(std::chrono::milliseconds limit)
    {
        int status = 0;
        if (!processtest::waitFor([&] { return ::waitpid(m_pid, &status, WNOHANG) == m_pid; }, limit))
            return -1;
        m_exited = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    // The value of key in the agent tool's status ("" when absent).
    std::string status(const std::string& key) const
    {
        std::istringstream lines(tool("status").out);
        for (std::string line; std::getline(lines, line);)
            if (line.rfind(key + "=", 0) == 0)
                return line.substr(key.size() + 1);
        return {};
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

// What the instances of one test share: a directory, groups and ports of
// their own, and the framework configuration (extra lines go first, so that
// they count).
struct Plan
{
    std::string dir;
    std::string rcGroup;
    uint16_t rcPort = 0;
    std::string racGroup;
    uint16_t racPort = 0;
    std::string config;
    std::string repl;
    uint16_t port = 0;
};

// A socket that receives what is sent to group:port on the loopback.
int joinedSocket(const std::string& group, uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ip_mreq join{};
    ::inet_pton(AF_INET, group.c_str(), &join.imr_multiaddr);
    join.imr_interface.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join), 0);
    return fd;
}

// The test's side of the control channels, written from the bytes: it
// reads the requests of the request group and answers on the
// request-acknowledgement group, as another instance of the application
// would.
class ControlPeer
{
public:
    explicit ControlPeer(const Plan& plan)
    {
        m_rc = joinedSocket(plan.rcGroup, plan.rcPort);
        m_rac = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        in_addr local{};
        local.s_addr = htonl(INADDR_LOOPBACK);
        ::setsockopt(m_rac, IPPROTO_IP, IP_MULTICAST_IF, &local, sizeof local);
        const unsigned char loop = 1;
        ::setsockopt(m_rac, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop);
        const unsigned char ttl = isolateNetwork() ? 1 : 0;
        ::setsockopt(m_rac, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
        m_racTo.sin_family = AF_INET;
        m_racTo.sin_port = htons(plan.racPort);
        ::inet_pton(AF_INET, plan.racGroup.c_str(), &m_racTo.sin_addr);
    }

    ~ControlPeer()
    {
        ::close(m_rc);
        ::close(m_rac);
    }

    // The next 99-byte request of command cmd on topic, within limit.
    bool nextRequest(uint32_t cmd, const std::string& topic, std::string& rqs, std::chrono::milliseconds limit)
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline)
        {
            pollfd p{m_rc, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            char buf[256];
            const ssize_t n = ::recv(m_rc, buf, sizeof buf, 0);
            if (n != 99)
                continue;
            rqs.assign(buf, 99);
            if (get(rqs, 0, 4) == cmd && std::string(rqs.data() + 66, strnlen(rqs.data() + 66, 17)) == topic)
                return true;
        }
        return false;
    }

    // PUBLISHER_TOPIC_ACK to rqs from application app, instance inst: a
    // subscriber whose last number is lastSeq.
    void answerPublisher(const std::string& rqs, const std::string& app, int32_t inst, uint64_t lastSeq)
    {
        std::string a(107, '\0');
        put(a, 0, 1, 4);                                    // PUBLISHER_TOPIC_ACK
        std::memcpy(a.data() + 20, app.data(), std::min<size_t>(app.size(), 8));
        std::memcpy(a.data() + 29, rqs.data() + 20, 9);     // the requester
        put(a, 38, static_cast<uint32_t>(inst), 4);
        std::memcpy(a.data() + 42, rqs.data() + 38, 4);     // its instance
        std::memcpy(a.data() + 50, rqs.data() + 46, 4);     // its site
        std::memcpy(a.data() + 54, rqs.data() + 54, 8);     // request id, resend count
        put(a, 62, 107, 4);
        std::memcpy(a.data() + 66, rqs.data() + 66, 17);    // topic
        put(a, 83, 0, 4);                                   // status
        put(a, 87, lastSeq, 8);
        put(a, 95, 0, 4);                                   // error code
        put(a, 99, 0xFFFFFFFFu, 4);                         // no partition
        std::memcpy(a.data() + 103, rqs.data() + 95, 4);    // window
        ::sendto(m_rac, a.data(), a.size(), 0, reinterpret_cast<const sockaddr*>(&m_racTo), sizeof m_racTo);
    }

private:
    static void put(std::string& b, size_t at, uint64_t v, size_t n)
    {
        for (size_t i = 0; i < n; ++i)
            b[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    }
    static uint64_t get(const std::string& b, size_t at, size_t n)
    {
        uint64_t v = 0;
        for (size_t i = 0; i < n; ++i)
            v |= static_cast<uint64_t>(static_cast<uint8_t>(b[at + i])) << (8 * i);
        return v;
    }

    int m_rc = -1;
    int m_rac = -1;
    sockaddr_in m_racTo{};
};

size_t occurrences(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size()))
        ++n;
    return n;
}

bool holds(const Got& g, long n)
{
    for (long s : g.seq)
        if (s == n)
            return true;
    return false;
}

Plan makePlan(const std::string& extra = "")
{
    const bool isolated = isolateNetwork();
    ::testing::Test::RecordProperty("network", isolated ? "namespace" : "host loopback");
    Plan p;
    std::string pattern = (std::filesystem::temp_directory_path() / "replFoXXXXXX").string();
    EXPECT_NE(::mkdtemp(pattern.data()), nullptr);
    p.dir = pattern;
    auto udp = [] { return std::to_string(freePort(SOCK_DGRAM)); };
    p.rcGroup = group(1);
    p.rcPort = freePort(SOCK_DGRAM);
    p.racGroup = group(2);
    p.racPort = freePort(SOCK_DGRAM);
    p.config = extra +
        "HEALTH_CHK_TM INT32 200\nTHD_TERM_TIMEOUT INT32 1\n"
        "MCAST_RC_ADDR STRING " + p.rcGroup + "\nMCAST_RC_PORT UINT16 " + std::to_string(p.rcPort) +
        "\nMCAST_RAC_ADDR STRING " + p.racGroup + "\nMCAST_RAC_PORT UINT16 " + std::to_string(p.racPort) +
        "\nMCAST_DC_ADDR STRING " + group(3) + "\nMCAST_DC_PORT UINT16 " + udp() +
        "\nMCAST_DAC_ADDR STRING " + group(4) + "\nMCAST_DAC_PORT UINT16 " + udp() +
        "\nMCAST_DC_ADDR_RG INT32 1\nMCAST_DC_PORT_RG INT32 1\n"
        "MSG_SVR_SUBNET STRING 127.0.0.0\nMSL_MCAST_TTL UINT16 " + std::string(isolated ? "1" : "0") +
        "\nMSL_LOOPBACK INT32 1\n"
        "RQS_TIMEOUT INT32 50\nMSL_TM_INTERVAL INT32 10\nMSL_RESEND_THOLD INT32 2\nTOPIC_IDLE_INTV INT32 200\n"
        "MCAST_RECV_BUF INT32 4194304\nMCAST_SEND_BUF INT32 4194304\n";
    p.repl = group(5) + ":" + udp() + "," + group(6) + ":" + udp();
    p.port = freePort(SOCK_STREAM);
    return p;
}

// The plan's directory goes unless the test failed or REPL_KEEP_LOGS is set.
void removePlan(const Plan& p)
{
    std::error_code ignored;
    if (!::testing::Test::HasFailure() && std::getenv("REPL_KEEP_LOGS") == nullptr)
        std::filesystem::remove_all(p.dir, ignored);
    else
        std::fprintf(stderr, "framework logs kept in %s\n", p.dir.c_str());
}

void runFailover(double loss)
{
    const Plan plan = makePlan();
    const std::string& dir = plan.dir;
    const std::string& common = plan.config;
    const std::string& repl = plan.repl;
    const uint16_t port = plan.port;
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
    removePlan(plan);
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

// An active instance whose replication topic hears, while it opens, a
// subscriber holding more than the active starts from is behind its standby:
// it ends itself through its control thread rather than number the standby's
// messages again.
TEST(FailoverProcessTest, ActiveBehindItsStandbyEndsItself)
{
    // The handshake stays open long enough for the answer.
    const Plan plan = makePlan("RQS_TIMEOUT INT32 400\n");
    const std::string app = "T" + base36(static_cast<unsigned long>(::getpid()) % 1679616);
    {
        ControlPeer peer(plan);
        Instance active(plan.dir, "active", app, 0, 0, plan.config, plan.port, plan.repl);
        std::string rqs;
        ASSERT_TRUE(peer.nextRequest(0, app + "_FW_REPL", rqs, 30s)) << "no PUBLISHER_TOPIC_RQS";
        peer.answerPublisher(rqs, app, 1, 1000);
        EXPECT_EQ(active.waitExit(30s), 0) << "still running, or not an orderly end";
        const std::string log = active.log();
        EXPECT_NE(log.find("The new publisher of the replication topic [" + app +
                           "_FW_REPL] expects the last seq# [0] but received [1000] from [" + app +
                           ":1:0]. Need to terminate this application instance."),
                  std::string::npos);
        EXPECT_NE(log.find("Received TERM event from [MSG_SERVICE]. Terminate the application."), std::string::npos);
    }
    removePlan(plan);
}

// A standby that joins while the active's replication topic holds 4000
// records recovers them, resent one at a time: meanwhile its agent block
// reads 3 (in recovery), then 1 once it has caught up; its control thread
// heard each event once.
TEST(FailoverProcessTest, StandbyRecoveringTheReplicationTopicShowsItInTheAgentBlock)
{
    const Plan plan = makePlan("RESEND_BAT_SIZE INT32 1\n");
    const std::string app = "Q" + base36(static_cast<unsigned long>(::getpid()) % 1679616);
    constexpr long MSGS = 4000;
    {
        Instance active(plan.dir, "active", app, 0, 0, plan.config, plan.port, plan.repl);
        ASSERT_TRUE(active.waitState("ACTIVE")) << active.state();
        FeedClient client;
        ASSERT_TRUE(client.connect(plan.port, 30s));
        for (long n = 1; n <= MSGS; ++n)
        {
            ASSERT_TRUE(client.send(n));
            if (n % 200 == 0)
                std::this_thread::sleep_for(1ms);
        }
        ASSERT_TRUE(processtest::waitFor([&] { return holds(received(active.out()), MSGS); }, 60s));

        Instance standby(plan.dir, "standby", app, 1, 1, plan.config, plan.port, plan.repl);
        EXPECT_TRUE(processtest::waitFor([&] { return standby.status("replication") == "3"; }, 60s))
            << "never seen in recovery";
        EXPECT_TRUE(processtest::waitFor(
            [&] { return received(standby.out()).seq.size() == MSGS && standby.status("replication") == "1"; }, 60s))
            << received(standby.out()).seq.size() << " replication=" << standby.status("replication");
        // The log is written behind the process's threads.
        const std::string done = "Received REPLI_TOPIC_RECOV_DONE from [MSG_SERVICE]";
        EXPECT_TRUE(processtest::waitFor([&] { return standby.log().find(done) != std::string::npos; }, 10s));
        const std::string log = standby.log();
        EXPECT_EQ(occurrences(log, "Received REPLI_TOPIC_RECOVERY from [MSG_SERVICE]"), 1u);
        EXPECT_EQ(occurrences(log, done), 1u);
        const Got got = received(standby.out());
        for (size_t i = 0; i < got.seq.size(); ++i)
            ASSERT_EQ(got.seq[i], static_cast<long>(i + 1));
        EXPECT_EQ(standby.stop(), 0);
        EXPECT_EQ(active.stop(), 0);
    }
    removePlan(plan);
}

// Three instances of one application: the active, standby B and standby C.
// One standby misses the last records the active sent (it drops every
// datagram meanwhile), the active is killed without a leave, and B is
// switched while C is stopped, so that no tail is recovered from C first;
// C goes on as B's replication topic opens. Behind C, B logs that it must
// end, ends through its control thread with exit 0 without completing the
// switch and publishes nothing past what it had; ahead of C, B switches and
// serves C every message.
struct TwoStandbysCase
{
    const char* name;
    bool switchedIsBehind;
};

void PrintTo(const TwoStandbysCase& c, std::ostream* os)
{
    *os << c.name;
}

class TwoStandbysTest : public ::testing::TestWithParam<TwoStandbysCase>
{
};

TEST_P(TwoStandbysTest, SwitchedStandbyBehindTheOtherEndsItselfAheadOfItServesIt)
{
    const bool behindIsB = GetParam().switchedIsBehind;
    // C is stopped for seconds: its own health check must not end it.
    const Plan plan = makePlan("RP_TM_MULTIPLIER INT32 0\n");
    const std::string app = "W" + base36(static_cast<unsigned long>(::getpid()) % 1679616) + (behindIsB ? "b" : "a");
    const std::string dropFile = plan.dir + "/drop";
    const std::string dropLine = "MSL_TEST_DROP_FILE STRING " + dropFile + "\n";
    {
        auto active = std::make_unique<Instance>(plan.dir, "active", app, 0, 0, plan.config, plan.port, plan.repl);
        Instance b(plan.dir, "b", app, 1, 1, plan.config + (behindIsB ? dropLine : ""), plan.port, plan.repl);
        Instance c(plan.dir, "c", app, 2, 1, plan.config + (behindIsB ? "" : dropLine), plan.port, plan.repl);
        ASSERT_TRUE(active->waitState("ACTIVE")) << active->state();
        ASSERT_TRUE(b.waitState("STANDBY")) << b.state();
        ASSERT_TRUE(c.waitState("STANDBY")) << c.state();
        Instance& behind = behindIsB ? b : c;
        Instance& ahead = behindIsB ? c : b;

        FeedClient client;
        ASSERT_TRUE(client.connect(plan.port, 30s));
        for (long n = 1; n <= 20; ++n)
            ASSERT_TRUE(client.send(n));
        ASSERT_TRUE(processtest::waitFor(
            [&] { return holds(received(b.out()), 20) && holds(received(c.out()), 20); }, 30s));
        // One standby hears nothing of the next ten.
        std::ofstream(dropFile).put('x');
        // Past the interval at which the drop hook looks for its file.
        std::this_thread::sleep_for(50ms);
        for (long n = 21; n <= 30; ++n)
            ASSERT_TRUE(client.send(n));
        ASSERT_TRUE(processtest::waitFor([&] { return holds(received(ahead.out()), 30); }, 30s));
        EXPECT_FALSE(holds(received(behind.out()), 21));

        ASSERT_TRUE(c.freeze());
        active->kill();
        active.reset();
        client.close();
        std::filesystem::remove(dropFile);

        // B's replication topic opens once B is told to switch; C answers it.
        ControlPeer peer(plan);
        const int repl = joinedSocket(plan.repl.substr(0, plan.repl.find(':')),
                                      static_cast<uint16_t>(std::stoi(plan.repl.substr(plan.repl.find(':') + 1))));
        const processtest::ToolResult fo = b.command("failover");
        ASSERT_EQ(fo.rc, 0) << fo.out;
        std::string rqs;
        const bool opened = peer.nextRequest(0, app + "_FW_REPL", rqs, 45s);
        c.resume();
        ASSERT_TRUE(opened) << "B never opened the replication topic";

        if (behindIsB)
        {
            // A client of B's channel, should B serve it, is numbered on.
            FeedClient late;
            if (late.connect(plan.port, 500ms))
                late.send(31);
            EXPECT_EQ(b.waitExit(30s), 0) << "still running, or not an orderly end";
            const std::string log = b.log();
            const std::string head =
                "The new publisher of the replication topic [" + app + "_FW_REPL] expects the last seq# [";
            const size_t at = log.find(head);
            ASSERT_NE(at, std::string::npos);
            unsigned long had = 0, heard = 0;
            ASSERT_EQ(std::sscanf(log.c_str() + at + head.size(), "%lu] but received [%lu]", &had, &heard), 2);
            EXPECT_LT(had, heard);
            EXPECT_NE(log.find("Received TERM event from [MSG_SERVICE]. Terminate the application."),
                      std::string::npos);
            // C's answer comes within the switch's wait for acknowledgements
            // (at least the replication receiver's quiet wait), and then the
            // switch is not completed; an answer slowed past it by a loaded
            // machine ends B after its switch.
            if (log.find("] received while waiting for acknowledgements.") != std::string::npos)
            {
                EXPECT_EQ(log.find("Switched to Active Mode."), std::string::npos) << "the switch went on";
            }
            // The threads the switch started end with the others.
            EXPECT_EQ(log.find("still runs: the message queues are kept."), std::string::npos);
            // Nothing B sent on the replication topic is numbered past what it had.
            char buf[2048];
            ssize_t n = 0;
            while ((n = ::recv(repl, buf, sizeof buf, MSG_DONTWAIT)) > 0)
            {
                if (n < 72)
                    continue;
                uint32_t cmd = 0;
                int32_t inst = 0;
                uint64_t seq = 0;
                std::memcpy(&cmd, buf, 4);
                std::memcpy(&inst, buf + 22, 4);
                std::memcpy(&seq, buf + 38, 8);
                EXPECT_FALSE(cmd == 13 && inst == 1 && seq > had) << "B published #" << seq;
            }
        }
        else
        {
            EXPECT_TRUE(b.waitState("ACTIVE", 45s)) << b.state();
            FeedClient again;
            ASSERT_TRUE(again.connect(plan.port, 30s)) << "B does not serve the channel";
            for (long n = 31; n <= 40; ++n)
                ASSERT_TRUE(again.send(n));
            ASSERT_TRUE(processtest::waitFor([&] { return holds(received(c.out()), 40); }, 30s))
                << "C was not served";
            const Got got = received(c.out());
            for (size_t i = 1; i < got.seq.size(); ++i)
                ASSERT_LT(got.seq[i - 1], got.seq[i]) << "at " << i;
            for (long n = 1; n <= 40; ++n)
                EXPECT_TRUE(holds(got, n)) << "M" << n;
            EXPECT_EQ(b.stop(), 0);
            EXPECT_EQ(c.stop(), 0);
        }
        ::close(repl);
    }
    removePlan(plan);
}

INSTANTIATE_TEST_SUITE_P(Failover, TwoStandbysTest,
                         ::testing::Values(TwoStandbysCase{"SwitchedStandbyBehind", true},
                                           TwoStandbysCase{"SwitchedStandbyAhead", false}),
                         [](const auto& info) { return std::string(info.param.name); });
