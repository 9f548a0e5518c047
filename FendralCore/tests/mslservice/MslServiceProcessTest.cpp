// A framework process with a topic runs the messaging service thread and
// stops with exit code 0 on SIGTERM. The process gets a network namespace of
// its own (loopback only) where one can be made; elsewhere it runs on the
// loopback interface with groups and ports of the test's own.
#include "FendralCore/tests/mslsupport/MslServiceHarness.h"
#include "FendralCore/tests/support/ProcessTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{
using namespace std::chrono_literals;

// In the child: a namespace of its own with the loopback interface up and
// multicast on it. False when no namespace can be made here.
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

class FrameworkProcess
{
public:
    explicit FrameworkProcess(const std::string& config)
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "mslXXXXXX").string();
        m_dir = ::mkdtemp(pattern.data()) != nullptr ? pattern : std::string("/tmp");
        std::ofstream(m_dir + "/fw.cfg") << config;
        m_pid = ::fork();
        if (m_pid == 0)
        {
            const int log = ::open((m_dir + "/log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(log, STDERR_FILENO);
            const char* where = isolateNetwork() ? "NETWORK namespace of its own\n" : "NETWORK host loopback\n";
            ::write(STDERR_FILENO, where, std::strlen(where));
            const std::string cfg = m_dir + "/fw.cfg";
            ::execl(CTL_HARNESS_PATH, CTL_HARNESS_PATH, "--app", "MSLP", "--config", cfg.c_str(), "--threads", "1",
                    "--topic", "QUOTES", static_cast<char*>(nullptr));
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
        if (::testing::Test::HasFailure())
            std::fprintf(stderr, "--- framework log ---\n%s\n", log().c_str());
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }

    std::string log() const
    {
        std::ifstream in(m_dir + "/log");
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    bool waitForLog(const std::string& text) const
    {
        return processtest::waitFor([&] { return log().find(text) != std::string::npos; }, 30s);
    }

    int waitExit()
    {
        int status = 0;
        if (!processtest::waitFor([&] { return ::waitpid(m_pid, &status, WNOHANG) == m_pid; }, 30s))
            return -1;
        m_exited = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    void signal(int sig) const { ::kill(m_pid, sig); }

private:
    std::string m_dir;
    pid_t m_pid = -1;
    bool m_exited = false;
};

TEST(MslServiceProcessTest, FrameworkApplicationWithATopicRunsTheServiceAndStopsOnSigterm)
{
    // Groups of the test's own and the loopback interface, so that nothing
    // leaves the machine even without a namespace.
    const std::string config = "FW_AGT_OPTION INT32 0\nTHD_TERM_TIMEOUT INT32 2\n" +
                               msltest::controlPlan(msltest::uniqueGroup(), msltest::freeUdpPort(), msltest::uniqueGroup(),
                                                    msltest::freeUdpPort()) +
                               "MSG_SVR_SUBNET STRING 127.0.0.0\nMSL_MCAST_TTL UINT16 1\nMSL_LOOPBACK INT32 1\n";
    FrameworkProcess process(config);
    ASSERT_TRUE(process.waitForLog("APP_CALLBACK [APP1] event [2]")) << "the start never completed";
    const std::string started = process.log();
    EXPECT_NE(started.find("Local interface address [127.0.0.1] is used for MSL."), std::string::npos);
    EXPECT_NE(started.find("Received event [2] from [CTL_THREAD]."), std::string::npos);
    RecordProperty("network", started.find("namespace of its own") != std::string::npos ? "namespace" : "host");

    process.signal(SIGTERM);
    EXPECT_EQ(process.waitExit(), 0);
    EXPECT_TRUE(process.waitForLog("Sent TERM event to [MSG_SERVICE]"));
    EXPECT_EQ(process.log().find("Caught an exception"), std::string::npos);
}
} // namespace
