// Shared-memory names unique to the test, removed afterwards, and a forked
// peer process that runs one function and reports its result as exit status.
#pragma once

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

// "/fwipc_" + a name unique to this process and test; unlinked on destruction.
class ShmName
{
public:
    ShmName()
    {
        static std::atomic<unsigned> counter{0};
        m_name = "/fwipc_t" + std::to_string(::getpid()) + "_" + std::to_string(counter++);
    }
    ~ShmName() { ::shm_unlink(m_name.c_str()); }
    const char* c_str() const { return m_name.c_str(); }
    const std::string& str() const { return m_name; }
    bool exists() const { return std::filesystem::exists("/dev/shm" + m_name); }
    uintmax_t size() const { return std::filesystem::file_size("/dev/shm" + m_name); }

private:
    std::string m_name;
};

// One-way signal between processes: the reader blocks until told.
class PipeSignal
{
public:
    PipeSignal()
    {
        if (::pipe(m_fds) != 0)
            std::abort();
    }
    ~PipeSignal()
    {
        ::close(m_fds[0]);
        ::close(m_fds[1]);
    }
    void post(char value = 1) { (void)!::write(m_fds[1], &value, 1); }
    // The posted byte, or -1 when every writer has gone.
    int wait()
    {
        char value = 0;
        return ::read(m_fds[0], &value, 1) == 1 ? value : -1;
    }

private:
    int m_fds[2]{-1, -1};
};

// Runs body in a child process; the child exits with body's result.
class ForkedPeer
{
public:
    explicit ForkedPeer(const std::function<int()>& body)
    {
        m_pid = ::fork();
        if (m_pid == 0)
            ::_exit(body());
    }
    ~ForkedPeer()
    {
        if (m_pid > 0 && !m_reaped)
        {
            ::kill(m_pid, SIGKILL);
            join();
        }
    }
    pid_t pid() const { return m_pid; }
    // The child's exit status, or -1 when it did not exit normally.
    int join()
    {
        int status = 0;
        m_reaped = true;
        if (::waitpid(m_pid, &status, 0) != m_pid || !WIFEXITED(status))
            return -1;
        return WEXITSTATUS(status);
    }

private:
    pid_t m_pid = -1;
    bool m_reaped = false;
};
