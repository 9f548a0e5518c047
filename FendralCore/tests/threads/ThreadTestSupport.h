// Helpers of the thread tests: a thread that waits until released, what the
// machine allows (CPUs, real-time scheduling), and a forked child without the
// right to real-time scheduling.
#pragma once

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <grp.h>
#include <optional>
#include <pthread.h>
#include <sched.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

// A thread parked on a pipe until released (or cancelled: read is a
// cancellation point).
class Gate
{
public:
    Gate() { m_ok = ::pipe2(m_fds, O_CLOEXEC) == 0; }
    ~Gate()
    {
        if (m_ok)
        {
            ::close(m_fds[0]);
            if (m_fds[1] != -1)
                ::close(m_fds[1]);
        }
    }
    Gate(const Gate&) = delete;
    Gate& operator=(const Gate&) = delete;

    void wait() const
    {
        char byte;
        while (::read(m_fds[0], &byte, 1) < 0 && errno == EINTR)
        {
        }
    }
    void release()
    {
        if (m_fds[1] != -1)
            ::close(m_fds[1]);
        m_fds[1] = -1;
    }

    static void* entry(void* arg)
    {
        static_cast<Gate*>(arg)->wait();
        return arg;
    }

private:
    int m_fds[2] = {-1, -1};
    bool m_ok = false;
};

inline std::vector<int> allowedCpus()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    std::vector<int> cpus;
    if (sched_getaffinity(0, sizeof(set), &set) != 0)
        return cpus;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
        if (CPU_ISSET(cpu, &set))
            cpus.push_back(cpu);
    return cpus;
}

inline std::vector<int> affinityOf(pthread_t tid)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    std::vector<int> cpus;
    if (pthread_getaffinity_np(tid, sizeof(set), &set) != 0)
        return cpus;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
        if (CPU_ISSET(cpu, &set))
            cpus.push_back(cpu);
    return cpus;
}

// A CPU below 63 that this machine does not have, or -1 when it has them all.
inline int absentCpu()
{
    const long configured = ::sysconf(_SC_NPROCESSORS_CONF);
    return configured > 0 && configured < 63 ? 62 : -1;
}

struct Scheduling
{
    int policy = -1;
    int priority = -1;
};

inline Scheduling schedulingOf(pthread_t tid)
{
    Scheduling result;
    sched_param param{};
    if (pthread_getschedparam(tid, &result.policy, &param) == 0)
        result.priority = param.sched_priority;
    return result;
}

// Whether this process may create a real-time FIFO thread at all.
inline bool realTimeAllowed()
{
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    sched_param param{};
    param.sched_priority = 1;
    pthread_attr_setinheritsched(&attr, PTHREAD_EXPLICIT_SCHED);
    pthread_attr_setschedpolicy(&attr, SCHED_FIFO);
    pthread_attr_setschedparam(&attr, &param);
    pthread_t tid;
    const int rc = pthread_create(&tid, &attr, [](void*) -> void* { return nullptr; }, nullptr);
    pthread_attr_destroy(&attr);
    if (rc == 0)
        pthread_join(tid, nullptr);
    return rc == 0;
}

// The hex id as the framework's log lines print it.
inline std::string hexId(pthread_t tid)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%lX", static_cast<unsigned long>(tid));
    return text;
}

// Runs check in a forked child that may not use real-time scheduling (no
// RLIMIT_RTPRIO, and no root). The child's answer: "" when all held, a
// description otherwise; nullopt when the rights could not be dropped.
inline std::optional<std::string> runUnprivileged(const std::function<std::string()>& check)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return std::string("pipe failed");
    const pid_t pid = ::fork();
    if (pid == 0)
    {
        ::close(fds[0]);
        rlimit none{0, 0};
        bool dropped = ::setrlimit(RLIMIT_RTPRIO, &none) == 0;
        if (dropped && ::geteuid() == 0)
            dropped = ::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0;
        const std::string answer = dropped ? "=" + check() : std::string("!");
        const ssize_t written = ::write(fds[1], answer.data(), answer.size());
        _exit(written == static_cast<ssize_t>(answer.size()) ? 0 : 1);
    }
    ::close(fds[1]);
    std::string answer;
    char buffer[256];
    ssize_t got;
    while ((got = ::read(fds[0], buffer, sizeof(buffer))) > 0)
        answer.append(buffer, static_cast<size_t>(got));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (answer.empty())
        return std::string("child ended without an answer, status ") + std::to_string(status);
    if (answer[0] == '!')
        return std::nullopt;
    return answer.substr(1);
}
