// Test code acting on a component from its session's thread. The test's
// script runs on a driver thread of a real framework and hands each step to
// the session's thread through a thread message (a hop), waiting for it to
// finish; a component that runs only on its owner thread is thus driven where
// it lives, with its real timers.
//
//   hostrun::Host host;
//   hostrun::Thread<> owner(host, "OWNER");
//   hostrun::SessionScript script(host);
//   script.serve(owner);
//   ... build the component on owner.session ...
//   ASSERT_TRUE(script.run([&] {
//       EXPECT_TRUE(runOnSession(owner.session, [&] { ... }));
//   }));
#pragma once

#include "RunnableTestSupport.h"

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace hostrun
{

// From a framework thread: runs `work` on `session`'s thread and waits for it.
// False when it could not be sent or did not finish within `timeout`.
inline bool runOnSession(TarvokSession& session, const std::function<void()>& work,
                         std::chrono::milliseconds timeout = std::chrono::seconds(10))
{
    Runnable* target = session.getRunnable();
    if (target == nullptr)
        return false;
    if (Runnable::current() == target)
    {
        work();
        return true;
    }
    auto finished = std::make_shared<std::promise<void>>();
    std::future<void> done = finished->get_future();
    // The hop carries the closure by address: it is kept for the rest of the
    // process, since after a time-out it may still run.
    static std::mutex keptLock;
    static std::vector<std::unique_ptr<std::function<void()>>> kept;
    std::function<void()>* closure = nullptr;
    {
        std::lock_guard lock(keptLock);
        kept.push_back(std::make_unique<std::function<void()>>([work, finished] {
            work();
            finished->set_value();
        }));
        closure = kept.back().get();
    }
    if (hop(target->getName().c_str(), *closure) != 0)
        return false;
    return done.wait_for(timeout) == std::future_status::ready;
}

// Asks `condition` on the session's thread every 10 ms until it holds or the
// time-out passes; true when it held.
inline bool waitOnSession(TarvokSession& session, const std::function<bool()>& condition,
                          std::chrono::milliseconds timeout = std::chrono::seconds(10))
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    bool held = false;
    while (!held && std::chrono::steady_clock::now() < end)
    {
        if (!runOnSession(session, [&] { held = condition(); }))
            return false;
        if (!held)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return held;
}

// The driver thread: runs the script at APP_READY, then stops the framework.
struct ScriptRunnable : Runnable
{
    using Runnable::Runnable;
    void appReady() override
    {
        if (script)
            script();
        stopFramework();
    }
    std::function<void()> script;
};

class SessionScript
{
public:
    explicit SessionScript(Host& host, const char* driverName = "DRIVER") : mDriver(host, driverName), mName(driverName)
    {
    }

    // Lets `thread` take the script's steps; before run().
    template <typename R>
    void serve(Thread<R>& thread)
    {
        acceptHops(*thread.runnable);
        mServed.push_back({thread.session.getName(), thread.queue});
    }

    // Runs the framework with the served threads and the driver until the
    // script ends; true when it ended in time.
    bool run(std::function<void()> script, const std::string& extraConfig = "",
             std::chrono::seconds timeout = std::chrono::seconds(60))
    {
        mDriver.runnable->script = std::move(script);
        std::vector<ThreadSpec> threads = mServed;
        threads.push_back({mName, 100});
        return runFramework(threads, extraConfig, timeout);
    }

private:
    Thread<ScriptRunnable> mDriver;
    std::string mName;
    std::vector<ThreadSpec> mServed;
};

} // namespace hostrun
