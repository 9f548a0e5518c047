// Host threads on a real framework inside the test's process (one start per
// process: every test runs in a process of its own). A test builds its
// Runnables and sessions on the main thread, then runs the framework until a
// framework thread calls stopFramework(); a watchdog stops a run that hangs.
#pragma once

#include "kelmora/runtime/ModuleList.h"
#include "kelmora/thread/Runnable.h"
#include "kelmora/thread/TarvokSession.h"

#include "FendralCore/tests/support/ProcessTestSupport.h"
#include "FendralServices/api/FwServices.h"
#include "zunq/config/ZunqConfigManager.h"
#include "zunq/log/Log.h"
#include "zunq/log/LogSink.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace hostrun
{

class CaptureSink : public LogSink
{
public:
    void setLevel(LogLevels level) override { mLevel = level; }
    LogLevels getLevel() const override { return mLevel; }
    void print(LogLevels level, char c) override { print(level, &c, 1); }
    void print(LogLevels level, const std::string& text) override { print(level, text.data(), text.size()); }
    void print(LogLevels level, const char* text, unsigned long length) override
    {
        std::lock_guard lock(mLock);
        mLines.emplace_back(level, std::string(text, length));
    }
    void clear()
    {
        std::lock_guard lock(mLock);
        mLines.clear();
    }
    std::vector<std::pair<LogLevels, std::string>> lines() const
    {
        std::lock_guard lock(mLock);
        return mLines;
    }
    // Lines of at most `level` that contain `text`.
    int count(const std::string& text, LogLevels level = LOG_LEVEL_DEBUG) const
    {
        std::lock_guard lock(mLock);
        int n = 0;
        for (const auto& [l, line] : mLines)
            if (l <= level && line.find(text) != std::string::npos)
                ++n;
        return n;
    }

private:
    mutable std::mutex mLock;
    LogLevels mLevel = LOG_LEVEL_DEBUG;
    std::vector<std::pair<LogLevels, std::string>> mLines;
};

// What every test needs to build Runnables: a log that captures, a
// configuration and a module list.
struct Host
{
    Host()
    {
        log.addLogSink(&sink);
        log.setLevel(LOG_LEVEL_DEBUG);
    }
    ~Host() { log.addLogSink(nullptr); }

    CaptureSink sink;
    Log log;
    const char* argv[1] = {"host_runnable"};
    ZunqConfigManager cfg{1, argv};
    ModuleList modules;
};

// A Runnable with its session, as the factories pair them.
template <typename R = Runnable>
struct Thread
{
    Thread(Host& host, const char* name, int queueLength = 100)
        : runnable(std::make_unique<R>(name, host.cfg, host.modules, host.log, 10000u)), queue(queueLength)
    {
        // The session outlives the Runnable, whose own timers refer to it.
        session.setName(name);
        session.setLog(&host.log);
        session.setRunnable(runnable.get());
        runnable->setTarvokSession(&session);
    }
    ~Thread() { runnable.reset(); }
    std::unique_ptr<R> runnable;
    TarvokSession session;
    int queue;
};

// Hops: a test running on one framework thread has work run on another
// host thread. The closure travels by address in a thread message sent
// through the calling thread's own Runnable; the target runs it from its bus.
constexpr unsigned int cHopDataType = Zunq::APPLICATION_RESERVED + 1;

struct HopTaker : OrluSubscriber<Zunq::ThreadData>
{
    HopTaker() : OrluSubscriber<Zunq::ThreadData>("hop") {}
    void onData(const Orlu<Zunq::ThreadData>&, const std::string&, const Zunq::ThreadData& d) override
    {
        (*static_cast<const std::function<void()>*>(d.mDataPtr1))();
    }
};

// Lets `target` take hops; before the framework starts.
inline void acceptHops(Runnable& target)
{
    static HopTaker taker;
    target.getOrluThreadData(cHopDataType)->subscribe(&taker);
}

// From a framework thread: `work` (which must outlive its run) runs on
// `target`. 0, or the send's refusal code.
inline int hop(const char* target, const std::function<void()>& work)
{
    Runnable* own = Runnable::current();
    if (own == nullptr)
        return FUNC_NOT_ALLOWED;
    char dst[17] = {};
    std::strncpy(dst, target, 16);
    Zunq::ThreadData data;
    data.mDataType = cHopDataType;
    data.mDataPtr1 = &work;
    return own->sendThreadMessageByThreadName(dst, data, false);
}

// A thread a test starts must leave the exit signals to the framework's
// control thread.
inline void blockExitSignals()
{
    sigset_t exits;
    sigemptyset(&exits);
    for (int sig : {SIGTERM, SIGINT, SIGQUIT, SIGHUP})
        sigaddset(&exits, sig);
    pthread_sigmask(SIG_BLOCK, &exits, nullptr);
}

// A port of 127.0.0.1 that was free a moment ago.
inline int freePort(int type = SOCK_STREAM)
{
    return processtest::freePort(type);
}

inline void stopFramework()
{
    ::kill(::getpid(), SIGTERM);
}

// Sends datagrams to a multicast group on the loopback interface.
struct LoopbackGroupSender
{
    LoopbackGroupSender(const char* group, int port) : fd(::socket(AF_INET, SOCK_DGRAM, 0))
    {
        in_addr lo{};
        lo.s_addr = htonl(INADDR_LOOPBACK);
        ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &lo, sizeof lo);
        const unsigned char loop = 1;
        ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop);
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(port));
        ::inet_pton(AF_INET, group, &to.sin_addr);
    }
    ~LoopbackGroupSender() { ::close(fd); }
    LoopbackGroupSender(const LoopbackGroupSender&) = delete;
    LoopbackGroupSender& operator=(const LoopbackGroupSender&) = delete;
    void send(const std::string& bytes) const
    {
        ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }
    int fd;
    sockaddr_in to{};
};

struct ThreadSpec
{
    std::string name;
    int queue;
};

inline std::vector<ThreadSpec>& specs()
{
    static std::vector<ThreadSpec> s;
    return s;
}
// More registrations a test makes (channels), after the threads.
inline std::function<int()>& extraRegistration()
{
    static std::function<int()> f;
    return f;
}

inline int registerAll()
{
    for (const ThreadSpec& s : specs())
    {
        ThreadParam param;
        initStructParam(THREAD_PARAM, &param, sizeof param);
        copyResourceName(param.threadNameTxt, s.name.c_str());
        param.messageQueueLength = s.queue;
        if (registerThread(&param) != 0 || registerMessageCallback(s.name.c_str(), Runnable::callback) != 0)
            return -1;
    }
    return extraRegistration() ? extraRegistration()() : 0;
}

// Runs the framework with the named threads until stopFramework() or the
// time-out; true when it was stopped in time.
inline bool runFramework(std::vector<ThreadSpec> threads, const std::string& extraConfig = "",
                         std::chrono::seconds timeout = std::chrono::seconds(60))
{
    specs() = std::move(threads);
    std::string pattern = (std::filesystem::temp_directory_path() / "hostrunXXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
        return false;
    const std::string config = pattern + "/fw.cfg";
    std::ofstream(config) << "FW_AGT_OPTION INT32 0\nTHD_TERM_TIMEOUT INT32 1\n" << extraConfig;
    // An application id of this process's own: the framework names its block's
    // semaphore after it, and test programs run side by side.
    char appId[16];
    std::snprintf(appId, sizeof appId, "HR%06X", static_cast<unsigned>(::getpid()) & 0xFFFFFFu);
    std::vector<std::string> args = {"host_runnable", appId, "0", "0", "0", config, pattern};
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());

    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    std::atomic<bool> timedOut{false};
    std::thread watchdog([&] {
        // The framework's control thread takes the exit signals; this thread
        // was made before it blocked them.
        sigset_t exits;
        sigemptyset(&exits);
        for (int sig : {SIGTERM, SIGINT, SIGQUIT, SIGHUP})
            sigaddset(&exits, sig);
        pthread_sigmask(SIG_BLOCK, &exits, nullptr);
        std::unique_lock lock(m);
        if (!cv.wait_for(lock, timeout, [&] { return done; }))
        {
            timedOut = true;
            stopFramework();
        }
    });
    frameworkInit(static_cast<int>(argv.size()), argv.data(), registerAll);
    {
        std::lock_guard lock(m);
        done = true;
    }
    cv.notify_all();
    watchdog.join();
    // HOSTRUN_KEEP keeps the framework's log directory for a look after a failure.
    if (std::getenv("HOSTRUN_KEEP") == nullptr)
        std::filesystem::remove_all(pattern);
    return !timedOut;
}

} // namespace hostrun
