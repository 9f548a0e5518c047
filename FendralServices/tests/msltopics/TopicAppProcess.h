// The tests' topic program (TOPIC_APP_PATH) as a child process: its output
// in a file of its own, run in a network namespace when one is named.
#pragma once

#include "FendralCore/tests/support/ProcessTestSupport.h"

#include <chrono>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace topictest
{
class App
{
public:
    App(const std::string& dir, const std::string& name, const std::vector<std::string>& args,
        const std::string& netns = "")
        : m_out(dir + "/" + name)
    {
        m_pid = ::fork();
        if (m_pid != 0)
            return;
        if (!netns.empty())
        {
            const int ns = ::open(("/run/netns/" + netns).c_str(), O_RDONLY | O_CLOEXEC);
            if (ns < 0 || ::setns(ns, CLONE_NEWNET) != 0)
                ::_exit(126);
        }
        const int fd = ::open(m_out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fd, STDOUT_FILENO);
        ::dup2(fd, STDERR_FILENO);
        std::vector<char*> argv{const_cast<char*>(TOPIC_APP_PATH)};
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(TOPIC_APP_PATH, argv.data());
        ::_exit(127);
    }
    ~App()
    {
        if (m_pid > 0 && !m_exited)
        {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    App(const App&) = delete;
    App& operator=(const App&) = delete;

    std::string output() const { return processtest::readAll(m_out); }
    bool says(const std::string& text) const { return output().find(text) != std::string::npos; }
    // SIGTERM, then its exit status (128 + signal when killed; -1 when it
    // does not end within 30 s).
    int stop()
    {
        ::kill(m_pid, SIGTERM);
        int status = 0;
        if (!processtest::waitFor([&] { return ::waitpid(m_pid, &status, WNOHANG) == m_pid; },
                                  std::chrono::seconds(30)))
            return -1;
        m_exited = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

private:
    std::string m_out;
    pid_t m_pid = -1;
    bool m_exited = false;
};
} // namespace topictest
