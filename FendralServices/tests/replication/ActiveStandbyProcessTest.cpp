// Replication between an active and a standby framework application, each a
// process of its own, over a replicated TCP server channel fed by a test
// client, a replicated multicast channel fed by the test and a replicated
// topic fed by a publishing application: the standby's thread gets
// byte-identical records in the same order; the active's application gets a
// record only once the standby has acknowledged it; without a standby records
// pass straight through; a standby that stops (SIGSTOP, so it acknowledges
// nothing) fills the active's hold ring and stops its intake, yet TERM still
// ends the active at once, and once the messaging service has dropped the
// silent standby the held records are released. The processes share a
// network namespace of their own where one can be made, else the host's
// loopback with TTL 0 and groups and ports of their own.
#include "FendralCore/tests/support/ProcessTestSupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sstream>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
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
    return processtest::uniqueGroup(140, 10, n);
}

// A process of the test: its standard output and its framework log.
class Proc
{
public:
    Proc(const std::string& dir, const std::vector<std::string>& args) : m_dir(dir)
    {
        std::filesystem::create_directories(m_dir);
        m_pid = ::fork();
        if (m_pid == 0)
        {
            const int out = ::open((m_dir + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(out, STDOUT_FILENO);
            ::dup2(out, STDERR_FILENO);
            std::vector<char*> argv;
            for (const std::string& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
    }

    ~Proc()
    {
        if (m_pid > 0 && !m_exited)
        {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        if (::testing::Test::HasFailure())
            std::fprintf(stderr, "--- %s output (tail) ---\n%s\n--- framework log (tail) ---\n%s\n", m_dir.c_str(),
                         tail(out()).c_str(), tail(log()).c_str());
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
    bool says(const std::string& text) const { return out().find(text) != std::string::npos; }
    bool logs(const std::string& text) const { return log().find(text) != std::string::npos; }

    void signal(int sig) const { ::kill(m_pid, sig); }

    // SIGSTOP, returning once every thread has stopped.
    bool freeze() const { return processtest::freeze(m_pid); }

    // SIGTERM; the exit status, or -1 when the process outlived limit.
    int stop(std::chrono::milliseconds limit = 30s)
    {
        ::kill(m_pid, SIGCONT);
        ::kill(m_pid, SIGTERM);
        int status = 0;
        if (!processtest::waitFor([&] { return ::waitpid(m_pid, &status, WNOHANG) == m_pid; }, limit))
            return -1;
        m_exited = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

private:
    static std::string tail(const std::string& s) { return s.size() > 5000 ? s.substr(s.size() - 5000) : s; }

    std::string m_dir;
    pid_t m_pid = -1;
    bool m_exited = false;
};

// One line "RECV <type> <flag> <len> <hash>" of an application.
struct Rec
{
    int type;
    int flag;
    std::string bytes; // length and hash
};

std::map<int, std::vector<Rec>> received(const std::string& out)
{
    std::map<int, std::vector<Rec>> byType;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);)
    {
        int type = 0;
        int flag = 0;
        char rest[64] = {};
        if (std::sscanf(line.c_str(), "RECV %d %d %63[^\n]", &type, &flag, rest) == 3)
            byType[type].push_back(Rec{type, flag, rest});
    }
    return byType;
}

// "<length> <FNV-1a>" as the application prints a message.
std::string recordOf(const std::string& bytes)
{
    uint64_t h = 1469598103934665603ull;
    for (char c : bytes)
    {
        h ^= static_cast<unsigned char>(c);
        h *= 1099511628211ull;
    }
    char text[64];
    std::snprintf(text, sizeof text, "%zu %016llx", bytes.size(), static_cast<unsigned long long>(h));
    return text;
}

size_t count(const Proc& p, int type)
{
    return received(p.out())[type].size();
}

constexpr int TCP = 0;
constexpr int UDP = 1;
constexpr int TOPIC = 2;

// The test's client of FEED: frames of a 10-byte header (little-endian body
// size first) and a body of bodyLen bytes that starts "M<n>".
class FeedClient
{
public:
    ~FeedClient()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }

    bool connect(uint16_t port)
    {
        return processtest::waitFor(
            [&] {
                if (m_fd >= 0)
                    ::close(m_fd);
                m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                sockaddr_in a{};
                a.sin_family = AF_INET;
                a.sin_port = htons(port);
                a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                return ::connect(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
            },
            30s);
    }

    static std::string frame(long n, size_t bodyLen)
    {
        std::string f(10 + bodyLen, '\0');
        f[0] = static_cast<char>(bodyLen & 0xff);
        f[1] = static_cast<char>(bodyLen >> 8);
        for (size_t i = 10; i < f.size(); ++i)
            f[i] = static_cast<char>('a' + (n + static_cast<long>(i)) % 26);
        const std::string tag = "M" + std::to_string(n);
        std::memcpy(f.data() + 10, tag.data(), std::min(tag.size(), bodyLen));
        return f;
    }

    bool send(long n, size_t bodyLen = 16)
    {
        const std::string f = frame(n, bodyLen);
        return ::send(m_fd, f.data(), f.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(f.size());
    }

private:
    int m_fd = -1;
};

// Datagrams to the multicast channel, on the loopback interface.
class McastSender
{
public:
    McastSender(const std::string& group, uint16_t port)
    {
        m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        in_addr local{};
        local.s_addr = htonl(INADDR_LOOPBACK);
        ::setsockopt(m_fd, IPPROTO_IP, IP_MULTICAST_IF, &local, sizeof local);
        const unsigned char loop = 1;
        ::setsockopt(m_fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop);
        const unsigned char ttl = isolateNetwork() ? 1 : 0;
        ::setsockopt(m_fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
        m_to.sin_family = AF_INET;
        m_to.sin_port = htons(port);
        ::inet_pton(AF_INET, group.c_str(), &m_to.sin_addr);
    }
    ~McastSender() { ::close(m_fd); }

    // Datagram n: up to 3000 bytes, so that some cross a framework
    // message's payload and travel in parts.
    bool send(long n)
    {
        std::string d(50 + static_cast<size_t>(n * 997 % 2950), '\0');
        for (size_t i = 0; i < d.size(); ++i)
            d[i] = static_cast<char>((n * 31 + static_cast<long>(i)) & 0xff);
        return ::sendto(m_fd, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&m_to), sizeof m_to) ==
               static_cast<ssize_t>(d.size());
    }

private:
    int m_fd = -1;
    sockaddr_in m_to{};
};

// The plan of one test: its directory, configuration, groups and ports.
class Plan
{
public:
    // SUBSCRIB_STS_EVT stays at its default, 0: the replicator hears its
    // standby whatever it says.
    explicit Plan(const std::string& extraConfig = "")
    {
        const bool isolated = isolateNetwork();
        std::string pattern = (std::filesystem::temp_directory_path() / "replASXXXXXX").string();
        EXPECT_NE(::mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        auto udp = [] { return std::to_string(freePort(SOCK_DGRAM)); };
        config = "FW_AGT_OPTION INT32 0\nTHD_TERM_TIMEOUT INT32 5\n"
                 "MCAST_RC_ADDR STRING " + group(1) + "\nMCAST_RC_PORT UINT16 " + udp() +
                 "\nMCAST_RAC_ADDR STRING " + group(2) + "\nMCAST_RAC_PORT UINT16 " + udp() +
                 "\nMCAST_DC_ADDR STRING " + group(3) + "\nMCAST_DC_PORT UINT16 " + udp() +
                 "\nMCAST_DAC_ADDR STRING " + group(4) + "\nMCAST_DAC_PORT UINT16 " + udp() +
                 "\nMCAST_DC_ADDR_RG INT32 1\nMCAST_DC_PORT_RG INT32 1\n"
                 "MSG_SVR_SUBNET STRING 127.0.0.0\nMSL_MCAST_TTL UINT16 " + std::string(isolated ? "1" : "0") +
                 "\nMSL_LOOPBACK INT32 1\n"
                 "RQS_TIMEOUT INT32 50\nMSL_TM_INTERVAL INT32 10\nMSL_RESEND_THOLD INT32 2\n"
                 "MCAST_RECV_BUF INT32 4194304\nMCAST_SEND_BUF INT32 4194304\n" + extraConfig;
        std::ofstream(dir + "/fw.cfg") << config;
        repl = group(5) + ":" + udp() + "," + group(6) + ":" + udp();
        mcastGroup = group(7);
        mcastPort = freePort(SOCK_DGRAM);
        port = freePort(SOCK_STREAM);
        app = "S" + base36(static_cast<unsigned long>(::getpid()) % 1679616) + base36(counter()++ % 36);
    }

    ~Plan()
    {
        std::error_code ignored;
        if (!::testing::Test::HasFailure())
            std::filesystem::remove_all(dir, ignored);
        else
            std::fprintf(stderr, "framework logs kept in %s\n", dir.c_str());
    }

    // extraConfig: lines of this instance alone.
    std::unique_ptr<Proc> instance(const std::string& name, int inst, int mode,
                                   const std::string& extraConfig = "") const
    {
        std::string cfg = dir + "/fw.cfg";
        if (!extraConfig.empty())
        {
            cfg = dir + "/" + name + ".cfg";
            std::ofstream(cfg) << config << extraConfig;
        }
        return std::make_unique<Proc>(
            dir + "/" + name,
            std::vector<std::string>{REPL_CHANNELS_APP_PATH, "--app", app, "--inst", std::to_string(inst), "--mode",
                                     std::to_string(mode), "--config", cfg, "--logdir",
                                     dir + "/" + name, "--port", std::to_string(port), "--mcast",
                                     mcastGroup + ":" + std::to_string(mcastPort), "--repl", repl});
    }

    // The publishing application waits for its subscriber: its thread hears
    // of subscribers (SUBSCRIB_STS_EVT).
    std::unique_ptr<Proc> publisher(long messages) const
    {
        const std::string cfg = dir + "/pub.cfg";
        std::ofstream(cfg) << config << "SUBSCRIB_STS_EVT UINT32 1\n";
        return std::make_unique<Proc>(
            dir + "/pub", std::vector<std::string>{TOPIC_APP_PATH, "--role", "pub", "--app", app + "P", "--inst", "1",
                                                   "--config", cfg, "--logdir", dir + "/pub", "--topic",
                                                   "QUOTES", "--count", std::to_string(messages), "--subs", "1",
                                                   "--rate", "2000"});
    }

    std::string dir;
    std::string config;
    std::string repl;
    std::string mcastGroup;
    uint16_t mcastPort = 0;
    uint16_t port = 0;
    std::string app;

private:
    static std::atomic<int>& counter()
    {
        static std::atomic<int> c{0};
        return c;
    }
};

// Active and standby up, the standby subscribed: the first TCP message sent
// until the standby has it.
void startPair(const Plan& plan, std::unique_ptr<Proc>& active, std::unique_ptr<Proc>& standby, FeedClient& client,
               const std::string& standbyConfig = "")
{
    active = plan.instance("active", 0, 0);
    standby = plan.instance("standby", 1, 1, standbyConfig);
    ASSERT_TRUE(processtest::waitFor([&] { return active->says("UP"); }, 30s)) << active->out();
    ASSERT_TRUE(processtest::waitFor([&] { return standby->says("UP"); }, 30s)) << standby->out();
    ASSERT_TRUE(client.connect(plan.port));
    ASSERT_TRUE(client.send(1));
    ASSERT_TRUE(processtest::waitFor([&] { return count(*standby, TCP) == 1; }, 30s))
        << "the standby never got the first message";
    // The standby may have subscribed after the active's topic opened: the
    // active holds records back only once its replicator has heard of it.
    ASSERT_TRUE(processtest::waitFor([&] { return active->logs("subscribers joined the topic ["); }, 30s))
        << "the active never heard of its standby";
}
} // namespace

// All three channels: the standby's application gets what the active's got,
// byte for byte and in the same order, flagged as replicated; and while the
// standby cannot acknowledge, the active's application gets nothing new.
TEST(ActiveStandbyProcessTest, StandbyMirrorsEveryChannelAndAcknowledgesFirst)
{
    RecordProperty("network", isolateNetwork() ? "namespace" : "host loopback");
    Plan plan;
    std::unique_ptr<Proc> active;
    std::unique_ptr<Proc> standby;
    FeedClient client;
    startPair(plan, active, standby, client);
    ASSERT_TRUE(processtest::waitFor([&] { return active->says("SUBSCRIBED"); }, 30s)) << active->out();

    constexpr long TCP_MSGS = 300;
    constexpr long UDP_MSGS = 200;
    constexpr long TOPIC_MSGS = 200;
    auto pub = plan.publisher(TOPIC_MSGS);
    McastSender mcast(plan.mcastGroup, plan.mcastPort);
    for (long n = 2; n <= TCP_MSGS; ++n)
    {
        ASSERT_TRUE(client.send(n, 16 + static_cast<size_t>(n * 37 % 3000)));
        if (n <= UDP_MSGS + 1)
        {
            ASSERT_TRUE(mcast.send(n));
        }
        if (n % 25 == 0)
            std::this_thread::sleep_for(2ms);
    }
    ASSERT_TRUE(processtest::waitFor([&] { return pub->says("SENT"); }, 60s)) << pub->out();
    const auto all = [&](const Proc& p) {
        return count(p, TCP) == TCP_MSGS && count(p, UDP) == UDP_MSGS && count(p, TOPIC) == TOPIC_MSGS;
    };
    ASSERT_TRUE(processtest::waitFor([&] { return all(*active) && all(*standby); }, 40s))
        << "active " << count(*active, TCP) << "/" << count(*active, UDP) << "/" << count(*active, TOPIC)
        << ", standby " << count(*standby, TCP) << "/" << count(*standby, UDP) << "/" << count(*standby, TOPIC);
    auto a = received(active->out());
    auto s = received(standby->out());
    for (long n = 1; n <= TCP_MSGS; ++n)
        ASSERT_EQ(a[TCP][static_cast<size_t>(n - 1)].bytes,
                  recordOf(FeedClient::frame(n, n == 1 ? 16 : 16 + static_cast<size_t>(n * 37 % 3000))))
            << "message " << n;
    for (int type : {TCP, UDP, TOPIC})
    {
        SCOPED_TRACE(type);
        for (size_t i = 0; i < a[type].size(); ++i)
        {
            ASSERT_EQ(s[type][i].bytes, a[type][i].bytes) << "record " << i;
            EXPECT_EQ(a[type][i].flag, 0);
            EXPECT_EQ(s[type][i].flag, 1);
        }
    }

    // A standby that cannot acknowledge holds the active's delivery back;
    // once it can, the record arrives on both.
    ASSERT_TRUE(standby->freeze());
    ASSERT_TRUE(client.send(TCP_MSGS + 1));
    std::this_thread::sleep_for(700ms);
    EXPECT_EQ(count(*active, TCP), static_cast<size_t>(TCP_MSGS)) << "delivered before the standby acknowledged";
    standby->signal(SIGCONT);
    EXPECT_TRUE(processtest::waitFor([&] { return count(*active, TCP) == TCP_MSGS + 1; }, 20s));
    EXPECT_TRUE(processtest::waitFor([&] { return count(*standby, TCP) == TCP_MSGS + 1; }, 20s));

    EXPECT_EQ(pub->stop(), 0);
    EXPECT_EQ(active->stop(), 0);
    EXPECT_EQ(standby->stop(), 0);
}

// Without a standby nothing waits for an acknowledgement.
TEST(ActiveStandbyProcessTest, WithoutStandbyRecordsPassStraightThrough)
{
    Plan plan;
    auto active = plan.instance("active", 0, 0);
    ASSERT_TRUE(processtest::waitFor([&] { return active->says("UP"); }, 30s)) << active->out();
    FeedClient client;
    ASSERT_TRUE(client.connect(plan.port));
    McastSender mcast(plan.mcastGroup, plan.mcastPort);
    for (long n = 1; n <= 50; ++n)
    {
        ASSERT_TRUE(client.send(n));
        ASSERT_TRUE(mcast.send(n));
    }
    EXPECT_TRUE(processtest::waitFor([&] { return count(*active, TCP) == 50 && count(*active, UDP) == 50; }, 20s))
        << active->out();
    EXPECT_EQ(active->stop(), 0);
}

// A silent standby: the active's hold ring fills (3 x 1000 + 1 records) and
// its application gets nothing more; once the messaging service has dropped
// the silent subscriber, everything held reaches the application, in order.
// Again with TERM while full: the active ends at once.
TEST(ActiveStandbyProcessTest, SilentStandbyFillsTheHoldRingThenIsDropped)
{
    for (const bool term : {false, true})
    {
        SCOPED_TRACE(term ? "TERM while full" : "standby dropped");
        // A silent subscriber is dropped after three idle intervals.
        Plan plan("TOPIC_IDLE_INTV INT32 4000\n");
        std::unique_ptr<Proc> active;
        std::unique_ptr<Proc> standby;
        FeedClient client;
        startPair(plan, active, standby, client);
        ASSERT_TRUE(standby->freeze());
        const auto stopped = std::chrono::steady_clock::now();
        constexpr long MSGS = 3200;
        for (long n = 2; n <= MSGS; ++n)
            ASSERT_TRUE(client.send(n));
        ASSERT_TRUE(processtest::waitFor([&] { return active->logs("The replicated message buffer is full."); }, 20s))
            << "hold ring never full";
        EXPECT_EQ(count(*active, TCP), 1u)
            << "delivered without an acknowledgement, "
            << std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - stopped).count()
            << " ms after the standby stopped";
        if (term)
        {
            const auto t0 = std::chrono::steady_clock::now();
            EXPECT_EQ(active->stop(5s), 0);
            EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s) << "TERM was not heard promptly";
            EXPECT_TRUE(processtest::waitFor(
                [&] { return active->logs("Message Replicator ends with [3001] records held"); }, 10s));
            continue;
        }
        ASSERT_TRUE(processtest::waitFor([&] { return count(*active, TCP) == MSGS; }, 40s))
            << count(*active, TCP) << " of " << MSGS;
        EXPECT_TRUE(processtest::waitFor([&] { return active->logs("Last subscribers left the topic"); }, 10s));
        const std::vector<Rec> got = received(active->out())[TCP];
        for (long n = 1; n <= MSGS; ++n)
            ASSERT_EQ(got[static_cast<size_t>(n - 1)].bytes, recordOf(FeedClient::frame(n, 16))) << "message " << n;
        EXPECT_EQ(active->stop(), 0);
        standby->signal(SIGKILL);
    }
}

// With SUBSCRIB_STS_EVT at its default the replicator still hears its
// standby: an active started alone tells its application thread that the
// standby is not there, and once the standby has joined, that it is back.
TEST(ActiveStandbyProcessTest, ApplicationHearsTheStandbyMissingThenRejoined)
{
    Plan plan;
    auto active = plan.instance("active", 0, 0);
    ASSERT_TRUE(processtest::waitFor([&] { return active->says("REPLI 70 "); }, 30s)) << active->out();
    EXPECT_FALSE(active->says("REPLI 71 "));
    auto standby = plan.instance("standby", 1, 1);
    ASSERT_TRUE(processtest::waitFor([&] { return active->says("REPLI 71 "); }, 30s)) << active->out();
    const std::string out = active->out();
    EXPECT_LT(out.find("REPLI 70 "), out.find("REPLI 71 "));
    EXPECT_EQ(active->stop(), 0);
    EXPECT_EQ(standby->stop(), 0);
}

// A standby that hears nothing (it drops every datagram while a file
// exists) until the active's hold ring is full, then leaves gracefully:
// the held records reach the active's application at once, not when the
// silent subscriber would be dropped (three idle intervals of 6 s), and the
// replicated channel delivers again.
TEST(ActiveStandbyProcessTest, LaggingStandbyThatLeavesReleasesTheHeldRecords)
{
    Plan plan("TOPIC_IDLE_INTV INT32 6000\n");
    const std::string dropFile = plan.dir + "/standby.drop";
    std::unique_ptr<Proc> active;
    std::unique_ptr<Proc> standby;
    FeedClient client;
    startPair(plan, active, standby, client, "MSL_TEST_DROP_FILE STRING " + dropFile + "\n");
    std::ofstream(dropFile).put('x');
    std::this_thread::sleep_for(50ms);
    const auto silent = std::chrono::steady_clock::now();
    constexpr long MSGS = 3200;
    for (long n = 2; n <= MSGS; ++n)
        ASSERT_TRUE(client.send(n));
    ASSERT_TRUE(processtest::waitFor([&] { return active->logs("The replicated message buffer is full."); }, 20s))
        << "hold ring never full";
    EXPECT_LT(count(*active, TCP), static_cast<size_t>(MSGS));
    EXPECT_EQ(standby->stop(), 0);
    ASSERT_TRUE(processtest::waitFor([&] { return count(*active, TCP) == MSGS; }, 20s))
        << count(*active, TCP) << " of " << MSGS;
    EXPECT_LT(std::chrono::steady_clock::now() - silent, 14s) << "released only once the silent standby was dropped";
    EXPECT_TRUE(processtest::waitFor([&] { return active->logs("Last subscribers left the topic"); }, 10s));
    for (long n = MSGS + 1; n <= MSGS + 10; ++n)
        ASSERT_TRUE(client.send(n));
    EXPECT_TRUE(processtest::waitFor([&] { return count(*active, TCP) == MSGS + 10; }, 20s));
    const std::vector<Rec> got = received(active->out())[TCP];
    for (long n = 1; n <= MSGS + 10 && static_cast<size_t>(n) <= got.size(); ++n)
        ASSERT_EQ(got[static_cast<size_t>(n - 1)].bytes, recordOf(FeedClient::frame(n, 16))) << "message " << n;
    EXPECT_EQ(active->stop(), 0);
}
