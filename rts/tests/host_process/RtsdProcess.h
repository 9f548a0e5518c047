// The real rtsd as a child process: its own temporary directory (framework
// log, configuration, standard output and error), started with a command
// line, watched through its output, signalled and waited for.
#pragma once

#include "rts/tests/support/FreePort.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace proctest
{

class RtsdProcess
{
public:
    RtsdProcess()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "rtsd-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        mDir = pattern;
    }
    ~RtsdProcess()
    {
        if (mPid > 0 && !mStatus)
        {
            // Asked to end first, so that it removes its named semaphore and
            // segments; killed only when it does not end in time.
            ::kill(mPid, SIGTERM);
            int status = 0;
            bool ended = false;
            for (int i = 0; i < 500 && !ended; ++i)
            {
                ended = ::waitpid(mPid, &status, WNOHANG) == mPid;
                if (!ended)
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            if (!ended)
            {
                ::kill(mPid, SIGKILL);
                ::waitpid(mPid, &status, 0);
            }
        }
        std::error_code ignored;
        if (std::getenv("RTSD_TEST_KEEP") == nullptr)
            std::filesystem::remove_all(mDir, ignored);
    }
    RtsdProcess(const RtsdProcess&) = delete;
    RtsdProcess& operator=(const RtsdProcess&) = delete;

    const std::string& dir() const { return mDir; }
    int port() const { return mPort; }

    std::string write(const std::string& name, const std::string& content) const
    {
        const std::string path = mDir + "/" + name;
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        std::ofstream(path) << content;
        return path;
    }

    // A configuration of its own: no agent, log to standard output, the
    // framework log in this directory, a small cache, the server on a free
    // loopback port (port()); `keys` add to or replace these keys.
    std::string writeConfig(const std::map<std::string, std::string>& keys = {}) const
    {
        const std::string fw = write("fw.cfg", "FW_AGT_OPTION INT32 0\nTHD_TERM_TIMEOUT INT32 2\n");
        std::map<std::string, std::string> all{{"FwInitArg1", "RTSDTEST"}, {"FwInitArg5", fw},
                                               {"FwInitArg6", mDir},        {"APP_LOG_PREFIX", "stdout"},
                                               {"RtsChannelId", "7"},       {"MaxCacheSize", "100"},
                                               {"RtsTcpIpAddress", "127.0.0.1"},
                                               {"RtsTcpPort", std::to_string(mPort)}};
        for (const auto& [key, value] : keys)
            all[key] = value;
        std::string xml = "<rtsd>";
        for (const auto& [key, value] : all)
            xml += "<" + key + ">" + value + "</" + key + ">";
        return write("rtsd.xml", xml + "</rtsd>");
    }

    // Starts `program` with `args` in `workDir` (default: this directory),
    // TARVOK_PATH pointing here so that no file of the machine is read, unless
    // `tarvokPath` says otherwise (empty: unset).
    void start(const std::vector<std::string>& args, const std::string& workDir = "",
               const std::string& program = RTSD_PROGRAM, const std::optional<std::string>& tarvokPath = {})
    {
        const std::string out = mDir + "/stdout.txt", err = mDir + "/stderr.txt";
        const std::string cwd = workDir.empty() ? mDir : workDir;
        mPid = ::fork();
        ASSERT_GE(mPid, 0);
        if (mPid == 0)
        {
            if (::chdir(cwd.c_str()) != 0)
                ::_exit(126);
            std::freopen(out.c_str(), "w", stdout);
            std::freopen(err.c_str(), "w", stderr);
            const std::string path = tarvokPath.value_or(mDir);
            if (path.empty())
                ::unsetenv("TARVOK_PATH");
            else
                ::setenv("TARVOK_PATH", path.c_str(), 1);
            ::unsetenv("DEFAULT_FW_CONFIG_PATH");
            ::unsetenv("DEFAULT_FW_LOGS_PATH");
            std::vector<std::string> all{program};
            all.insert(all.end(), args.begin(), args.end());
            std::vector<char*> argv;
            for (std::string& a : all)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(program.c_str(), argv.data());
            ::_exit(127);
        }
    }

    pid_t pid() const { return mPid; }
    std::string out() const { return read("stdout.txt"); }
    // Standard output and every file under the process's log directory.
    std::string allLogs() const
    {
        std::string text = out();
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(mDir + "/logs", error))
            text += read("logs/" + entry.path().filename().string());
        return text;
    }
    std::string err() const { return read("stderr.txt"); }

    // Waits until standard output holds `text` `times` times; false on time-out or exit.
    bool waitForOutput(const std::string& text, int times = 1, std::chrono::seconds limit = std::chrono::seconds(30))
    {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end)
        {
            if (count(out(), text) >= times)
                return true;
            if (exited())
                return count(out(), text) >= times;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    // The exit code, or -1 when it did not end within the limit or ended by a signal.
    int waitExit(std::chrono::seconds limit = std::chrono::seconds(30))
    {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (!exited() && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (!mStatus)
            return -1;
        return WIFEXITED(*mStatus) ? WEXITSTATUS(*mStatus) : -1;
    }

    void signal(int sig) const { ::kill(mPid, sig); }

    static int count(const std::string& text, const std::string& what)
    {
        int n = 0;
        for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size()))
            ++n;
        return n;
    }

private:
    bool exited()
    {
        if (mStatus)
            return true;
        int status = 0;
        if (::waitpid(mPid, &status, WNOHANG) == mPid)
            mStatus = status;
        return mStatus.has_value();
    }
    std::string read(const std::string& name) const
    {
        std::ifstream in(mDir + "/" + name);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    std::string mDir;
    int mPort = rtstest::freeTcpPort();
    pid_t mPid = -1;
    std::optional<int> mStatus;
};

} // namespace proctest
