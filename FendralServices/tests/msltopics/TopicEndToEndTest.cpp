// A publisher and four subscribers, each a framework application of its own
// on the exported interface, exchange messages of mixed sizes over real
// multicast on the loopback interface: every subscriber receives every
// message once, in order and intact. The processes share a network
// namespace of their own where one can be made. MSL_E2E_MESSAGES sets how
// many messages (tools/msl-topics-soak runs a million).
#include "FendralCore/tests/support/ProcessTestSupport.h"
#include "FendralServices/tests/msltopics/TopicAppProcess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <sstream>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{
using namespace std::chrono_literals;

bool isolateNetwork()
{
    if (::unshare(CLONE_NEWNET) != 0)
        return false;
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    ifreq req{};
    std::strcpy(req.ifr_name, "lo");
    const bool up = fd >= 0 && ::ioctl(fd, SIOCGIFFLAGS, &req) == 0 &&
                    (req.ifr_flags |= IFF_UP | IFF_MULTICAST, ::ioctl(fd, SIOCSIFFLAGS, &req) == 0);
    if (fd >= 0)
        ::close(fd);
    return up;
}

std::string group(int n)
{
    const unsigned pid = static_cast<unsigned>(::getpid());
    return "239." + std::to_string(120 + pid % 100) + "." + std::to_string((pid / 100) % 250) + "." +
           std::to_string(n);
}

uint16_t freePort()
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

using topictest::App;

TEST(TopicEndToEndTest, OnePublisherFourSubscribersEveryMessageOnceInOrder)
{
    RecordProperty("network", isolateNetwork() ? "namespace" : "host loopback");
    const char* env = std::getenv("MSL_E2E_MESSAGES");
    const long count = env != nullptr ? std::atol(env) : 100000;
    // Nothing recovers a lost datagram here, and the window follows the
    // fastest subscriber: the rate leaves a stalled subscriber's socket
    // buffer room for a quarter of a second or more of a busy machine.
    const char* rateEnv = std::getenv("MSL_E2E_RATE");
    const std::string rate = rateEnv != nullptr ? rateEnv : "4000";
    // Twice the time the rate takes, for a loaded machine, and two minutes more.
    const auto sendTime = std::chrono::seconds(120 + 2 * count / std::max(1L, std::atol(rate.c_str())));
    std::string pattern = (std::filesystem::temp_directory_path() / "mslE2EXXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    const std::string dir = pattern;
    const std::string config =
        "FW_AGT_OPTION INT32 0\nTHD_TERM_TIMEOUT INT32 5\n"
        "MCAST_RC_ADDR STRING " + group(1) + "\nMCAST_RC_PORT UINT16 " + std::to_string(freePort()) +
        "\nMCAST_RAC_ADDR STRING " + group(2) + "\nMCAST_RAC_PORT UINT16 " + std::to_string(freePort()) +
        "\nMCAST_DC_ADDR STRING " + group(3) + "\nMCAST_DC_PORT UINT16 " + std::to_string(freePort()) +
        "\nMCAST_DAC_ADDR STRING " + group(4) + "\nMCAST_DAC_PORT UINT16 " + std::to_string(freePort()) +
        "\nMCAST_DC_ADDR_RG INT32 1\nMCAST_DC_PORT_RG INT32 1\n"
        "MSG_SVR_SUBNET STRING 127.0.0.0\nMSL_MCAST_TTL UINT16 1\nMSL_LOOPBACK INT32 1\n"
        "RQS_TIMEOUT INT32 50\nMSL_TM_INTERVAL INT32 10\nMSL_RESEND_THOLD INT32 2\nSUBSCRIB_STS_EVT UINT32 1\n"
        // A window any subscriber's socket buffer can hold, and buffers
        // large enough that no datagram is lost on the way.
        "OUTSTDG_MSG_MAX UINT32 300\nUNACK_MSG_MAX UINT32 10\nMCAST_RECV_BUF INT32 4194304\n"
        "MCAST_SEND_BUF INT32 4194304\nMSG_QUE_LEN INT32 8192\n";
    std::ofstream(dir + "/fw.cfg") << config;
    auto args = [&](const char* role, const std::string& app) {
        return std::vector<std::string>{"--role", role, "--app", app, "--inst", "1", "--config", dir + "/fw.cfg",
                                        "--logdir", dir, "--count", std::to_string(count), "--subs", "4", "--rate",
                                        rate};
    };
    std::vector<std::unique_ptr<App>> subs;
    for (int i = 1; i <= 4; ++i)
        subs.push_back(std::make_unique<App>(dir, "sub" + std::to_string(i), args("sub", "SUB" + std::to_string(i))));
    for (auto& s : subs)
        ASSERT_TRUE(processtest::waitFor([&] { return s->says("READY"); }, 30s)) << s->output();
    App pub(dir, "pub", args("pub", "PUB1"));
    ASSERT_TRUE(processtest::waitFor([&] { return pub.says("SENT ") || pub.says("ERROR"); }, sendTime)) << pub.output();
    EXPECT_TRUE(pub.says("SENT " + std::to_string(count))) << pub.output();
    const std::string done = "DONE " + std::to_string(count) + " 0";
    for (auto& s : subs)
        EXPECT_TRUE(processtest::waitFor([&] { return s->says("DONE") || s->says("BAD"); }, 60s) && s->says(done))
            << s->output();
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
