// Helpers of the tests that run a framework process of their own: short
// unique ids, polling with a limit, running a command for its output,
// running a test's body in a child process, a network namespace of the
// process's own, a free port and a file's text.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sstream>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace processtest
{
// Base-36 text of value: agent and application ids of a few characters.
inline std::string base36(unsigned long value)
{
    std::string text;
    do
    {
        text.insert(text.begin(), "0123456789abcdefghijklmnopqrstuvwxyz"[value % 36]);
        value /= 36;
    } while (value != 0);
    return text;
}

struct ToolResult
{
    int rc;
    std::string out;
};

// A shell command's exit status and its standard output and error together.
inline ToolResult runCommand(const std::string& command)
{
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    std::string out;
    char buf[512];
    while (pipe != nullptr && fgets(buf, sizeof(buf), pipe) != nullptr)
        out += buf;
    const int status = pipe != nullptr ? pclose(pipe) : -1;
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

// True once pred holds, false when limit passed first.
template <typename Pred>
bool waitFor(Pred pred, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!pred())
    {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// Failed parts of the running test so far.
inline int failedParts()
{
    const ::testing::TestResult* result = ::testing::UnitTest::GetInstance()->current_test_info()->result();
    int n = 0;
    for (int i = 0; i < result->total_part_count(); ++i)
        n += result->GetTestPartResult(i).failed();
    return n;
}

// Runs body in a child process, for what a process does only once (the
// framework's start, its set-once configuration), so that the test leaves
// nothing behind for the tests run after it in the same process. The child
// prints its own failures and ends through exit(), its leak check included;
// the test fails when the child failed, crashed or outlived limit.
template <typename Body>
void inChildProcess(Body body, std::chrono::milliseconds limit = std::chrono::seconds(60))
{
    std::fflush(nullptr);
    const int before = failedParts();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0) << "fork failed";
    if (child == 0)
    {
        try
        {
            body();
        }
        catch (...)
        {
            ADD_FAILURE() << "exception in the child process";
        }
        std::fflush(nullptr);
        std::exit(failedParts() > before ? 1 : 0);
    }
    int status = 0;
    const bool ended = waitFor([&] { return ::waitpid(child, &status, WNOHANG) == child; }, limit);
    if (!ended)
    {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
    }
    EXPECT_TRUE(ended) << "the child process did not end";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "the child process failed (exit " << (WIFEXITED(status) ? WEXITSTATUS(status) : -1) << ", signal "
        << (WIFSIGNALED(status) ? WTERMSIG(status) : 0) << ")";
}

// The test process in a network namespace of its own, made at the first call,
// with the loopback interface up and multicast on it; false when none can be
// made here (the process stays on the host's network).
inline bool isolateNetwork()
{
    static const bool isolated = [] {
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
    }();
    return isolated;
}

// A port of type (SOCK_STREAM, SOCK_DGRAM) on 127.0.0.1 that the system
// just gave out and took back.
inline uint16_t freePort(int type)
{
    const int fd = ::socket(AF_INET, type, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

// Multicast group n (below spacing) of the next set of groups this process
// takes: 239.<base + pid % 100>.x.y, eight sets per third byte. base keeps
// the test programs that run side by side apart; without a namespace of
// their own, the processes of one test share the host's loopback.
inline std::string uniqueGroup(int base, int spacing, int n)
{
    static std::atomic<int> counter{0};
    const unsigned pid = static_cast<unsigned>(::getpid());
    const int k = counter++;
    return "239." + std::to_string(base + pid % 100) + "." + std::to_string((pid / 100 + k / 8) % 250) + "." +
           std::to_string(n + spacing * (k % 8) + 1);
}

// A file's whole text; empty when it cannot be read.
inline std::string readAll(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}
// SIGSTOP to pid, returning once every thread of it has stopped (false
// after limit): a thread still running could answer what comes next.
inline bool freeze(pid_t pid, std::chrono::milliseconds limit = std::chrono::seconds(10))
{
    ::kill(pid, SIGSTOP);
    return waitFor(
        [&] {
            const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
            std::error_code ec;
            for (const auto& task : std::filesystem::directory_iterator(tasks, ec))
            {
                const std::string stat = readAll(task.path().string() + "/stat");
                const size_t end = stat.rfind(')');
                if (end == std::string::npos || end + 2 >= stat.size() || stat[end + 2] != 'T')
                    return false;
            }
            return !ec;
        },
        limit);
}
} // namespace processtest
