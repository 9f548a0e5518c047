// One publisher and four subscribers, each a framework application with the
// default messaging settings in a network namespace of its own, the
// namespaces joined by a bridge, and nftables dropping 1 % of the multicast
// datagrams that reach every subscriber: at 2,000 messages a second, every
// subscriber receives all 10,000 messages once, in order and intact, and
// hears of no unrecoverable gap. Where namespaces cannot be made, the
// processes share a loopback interface with groups of their own, and each
// subscriber drops 1 % of what it receives through the messaging service's
// test hook instead.
#include "FendralCore/tests/support/ProcessTestSupport.h"
#include "FendralServices/tests/msltopics/TopicAppProcess.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sched.h>
#include <signal.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{
using namespace std::chrono_literals;

bool sh(const std::string& command)
{
    return std::system(("(" + command + ") >/dev/null 2>&1").c_str()) == 0;
}

// Network namespaces named after this process, one per peer, each with an
// interface on one bridge (in a namespace of its own) and an address in
// SUBNET; a peer may drop a share of the multicast datagrams it receives.
// Everything made is removed when it goes, whatever failed on the way.
class NamespaceLan
{
public:
    static constexpr const char* SUBNET = "10.77.0.0";

    explicit NamespaceLan(int peers) : m_tag("mslt" + std::to_string(::getpid()))
    {
        if (::geteuid() != 0 || !sh("command -v ip && command -v nft"))
            return;
        const std::string hub = m_tag + "h";
        if (!sh("ip netns add " + hub))
            return;
        m_made.push_back(hub);
        m_up = sh("ip -n " + hub + " link add br0 type bridge && ip -n " + hub +
                  " link set br0 type bridge mcast_snooping 0 && ip -n " + hub + " link set br0 up");
        for (int i = 0; m_up && i < peers; ++i)
        {
            const std::string ns = name(i);
            const std::string veth = m_tag + "v" + std::to_string(i);
            m_up = sh("ip netns add " + ns);
            if (!m_up)
                break;
            m_made.push_back(ns);
            m_up = sh("ip link add " + veth + " netns " + hub + " type veth peer name eth0 netns " + ns) &&
                   sh("ip -n " + hub + " link set " + veth + " master br0 up") && sh("ip -n " + ns + " link set lo up") &&
                   sh("ip -n " + ns + " addr add " + address(i) + "/24 dev eth0") &&
                   sh("ip -n " + ns + " link set eth0 up") && sh("ip -n " + ns + " route add 224.0.0.0/4 dev eth0");
        }
    }
    ~NamespaceLan()
    {
        for (auto it = m_made.rbegin(); it != m_made.rend(); ++it)
            sh("ip netns del " + *it);
    }
    NamespaceLan(const NamespaceLan&) = delete;
    NamespaceLan& operator=(const NamespaceLan&) = delete;

    bool up() const { return m_up; }
    std::string name(int i) const { return m_tag + "p" + std::to_string(i); }
    static std::string address(int i) { return "10.77.0." + std::to_string(10 + i); }

    // percent % of the multicast datagrams arriving in peer i's namespace
    // are dropped, at random.
    bool drop(int i, int percent) const
    {
        const std::string nft = "ip netns exec " + name(i) + " nft ";
        return sh(nft + "add table ip msltest") &&
               sh(nft + "add chain ip msltest input '{ type filter hook input priority 0; policy accept; }'") &&
               sh(nft + "add rule ip msltest input ip daddr 224.0.0.0/4 numgen random mod 100 '<' " +
                  std::to_string(percent) + " counter drop");
    }

    // The datagrams dropped in peer i's namespace so far.
    uint64_t dropped(int i) const
    {
        const std::string out = m_tag + "n" + std::to_string(i);
        const std::string path = (std::filesystem::temp_directory_path() / out).string();
        sh("ip netns exec " + name(i) + " nft list table ip msltest > " + path);
        const std::string text = processtest::readAll(path);
        std::filesystem::remove(path);
        const size_t at = text.find("packets ");
        return at == std::string::npos ? 0 : std::strtoull(text.c_str() + at + 8, nullptr, 10);
    }

private:
    std::string m_tag;
    std::vector<std::string> m_made;
    bool m_up = false;
};

// A framework application of the tests (msl_topic_app), in the named network
// namespace when one is given; its output goes to a file.
using topictest::App;

TEST(TopicLossTest, FourSubscribersLosingOnePercentReceiveEveryMessageOnceInOrder)
{
    constexpr int SUBS = 4;
    constexpr long COUNT = 10000;
    NamespaceLan lan(SUBS + 1); // peer 0 publishes
    bool lanLoss = lan.up();
    for (int i = 1; lanLoss && i <= SUBS; ++i)
        lanLoss = lan.drop(i, 1);
    const bool isolated = !lanLoss && processtest::isolateNetwork();
    RecordProperty("network", lanLoss ? "namespaces on a bridge" : isolated ? "namespace loopback" : "host loopback");

    std::string pattern = (std::filesystem::temp_directory_path() / "mslLossXXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    const std::string dir = pattern;
    auto group = [](int n) { return processtest::uniqueGroup(140, 8, n); };
    auto port = [] { return std::to_string(processtest::freePort(SOCK_DGRAM)); };
    // The messaging settings are the defaults but for the channel plan (and
    // the subscriber events the publisher waits for).
    std::string config = "FW_AGT_OPTION INT32 0\nTHD_TERM_TIMEOUT INT32 5\nSUBSCRIB_STS_EVT UINT32 1\n"
                         "MCAST_RC_ADDR STRING " + group(0) + "\nMCAST_RC_PORT UINT16 " + port() +
                         "\nMCAST_RAC_ADDR STRING " + group(1) + "\nMCAST_RAC_PORT UINT16 " + port() +
                         "\nMCAST_DC_ADDR STRING " + group(2) + "\nMCAST_DC_PORT UINT16 " + port() +
                         "\nMCAST_DAC_ADDR STRING " + group(3) + "\nMCAST_DAC_PORT UINT16 " + port() +
                         "\nMCAST_DC_ADDR_RG INT32 1\nMCAST_DC_PORT_RG INT32 1\nMSL_MCAST_TTL UINT16 1\n";
    config += lanLoss ? std::string("MSG_SVR_SUBNET STRING ") + NamespaceLan::SUBNET + "\n"
                      : "MSG_SVR_SUBNET STRING 127.0.0.0\nMSL_LOOPBACK INT32 1\n";
    std::ofstream(dir + "/pub.cfg") << config;
    for (int i = 1; i <= SUBS; ++i)
        std::ofstream(dir + "/sub" + std::to_string(i) + ".cfg")
            << (lanLoss ? "" : "MSL_TEST_DROP DOUBLE 0.01\nMSL_TEST_DROP_SD UINT64 " + std::to_string(70 + i) + "\n")
            << config;
    auto args = [&](const char* role, const std::string& app, const std::string& cfg) {
        return std::vector<std::string>{"--role", role, "--app", app, "--inst", "1", "--config", dir + "/" + cfg,
                                        "--logdir", dir, "--count", std::to_string(COUNT), "--subs",
                                        std::to_string(SUBS), "--rate", "2000"};
    };
    auto netns = [&](int i) { return lanLoss ? lan.name(i) : std::string(); };
    std::vector<std::unique_ptr<App>> subs;
    for (int i = 1; i <= SUBS; ++i)
    {
        const std::string n = std::to_string(i);
        subs.push_back(std::make_unique<App>(dir, "sub" + n, args("sub", "SUB" + n, "sub" + n + ".cfg"), netns(i)));
    }
    for (auto& s : subs)
        ASSERT_TRUE(processtest::waitFor([&] { return s->says("READY"); }, 30s)) << s->output();
    App pub(dir, "pub", args("pub", "PUB1", "pub.cfg"), netns(0));
    ASSERT_TRUE(processtest::waitFor([&] { return pub.says("SENT ") || pub.says("ERROR"); }, 40s)) << pub.output();
    EXPECT_TRUE(pub.says("SENT " + std::to_string(COUNT))) << pub.output();
    const std::string done = "DONE " + std::to_string(COUNT) + " 0";
    for (int i = 0; i < SUBS; ++i)
    {
        App& s = *subs[static_cast<size_t>(i)];
        EXPECT_TRUE(processtest::waitFor([&] { return s.says("DONE") || s.says("BAD") || s.says("GAP"); }, 20s) &&
                    s.says(done))
            << "SUB" << i + 1 << ": " << s.output();
        EXPECT_FALSE(s.says("GAP")) << "SUB" << i + 1 << " heard of an unrecoverable gap: " << s.output();
        if (lanLoss)
        {
            EXPECT_GT(lan.dropped(i + 1), 0u) << "SUB" << i + 1 << "'s namespace dropped datagrams";
        }
    }
    EXPECT_EQ(pub.stop(), 0);
    for (auto& s : subs)
        EXPECT_EQ(s->stop(), 0);
    std::error_code ignored;
    if (!::testing::Test::HasFailure())
        std::filesystem::remove_all(dir, ignored);
    else
        std::fprintf(stderr, "framework logs kept in %s\n", dir.c_str());
}
} // namespace
