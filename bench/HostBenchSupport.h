// Benchmarks that run inside a framework process on host threads: a
// Runnable with its session, a Runnable that runs the benchmarks from its
// appReady and then stops the process, and the framework's start with a
// private log directory.
#pragma once

#include "kelmora/runtime/ModuleList.h"
#include "kelmora/thread/Runnable.h"
#include "kelmora/thread/TarvokSession.h"

#include "FendralServices/api/FwServices.h"
#include "zunq/config/ZunqConfigManager.h"
#include "zunq/log/Log.h"

#include <benchmark/benchmark.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace hostbench
{
// What the host threads need: a log without sink, a configuration, modules.
struct Host
{
    explicit Host(const char* program) : argv{program} {}
    Log log;
    const char* argv[1];
    ZunqConfigManager cfg{1, argv};
    ModuleList modules;
};

// A Runnable paired with its session, as the factories pair them.
template <typename R = Runnable>
struct Thread
{
    Thread(Host& host, const char* name) : runnable(name, host.cfg, host.modules, host.log, 10000u)
    {
        session.setName(name);
        session.setRunnable(&runnable);
        runnable.setTarvokSession(&session);
    }
    TarvokSession session;
    R runnable;
};

// Runs the benchmarks named on the command line from its appReady, then
// stops the process.
struct Runner : Runnable
{
    using Runnable::Runnable;
    static inline int argc = 0;
    static inline char** argv = nullptr;
    void appReady() override
    {
        benchmark::Initialize(&argc, argv);
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
        ::kill(::getpid(), SIGTERM);
    }
};

// A framework multicast receiver `conn` on `thread` for `group`:`port` over
// loopback, joined when the framework reports it ready (the thread's
// callback sends MCAST_JOIN then); 0 or the registration's refusal.
inline int registerLoopbackMulticastReceiver(const char* conn, const char* thread, const char* group, uint16 port,
                                             int recvBufSize)
{
    UdpConnParam param;
    initStructParam(UDPCONN_PARAM, &param, sizeof param);
    copyResourceName(param.connNameTxt, conn);
    copyResourceName(param.threadNameTxt, thread);
    param.udpMode = MULTICAST_RECEIVER_MODE;
    std::strcpy(param.interfaceTxt, "127.0.0.1");
    std::strcpy(param.destAddrTxt, group);
    param.port = port;
    param.recvBufSize = recvBufSize;
    param.connectAtStartup = false;
    param.openInStandbyMode = true;
    return registerListenMulticastConnection(&param);
}

// Starts the framework as `app` with `registration` and `extraConfig` lines
// in its configuration; the process's exit code.
inline int runFramework(const char* program, const char* app, int (*registration)(),
                        const std::string& extraConfig = {})
{
    std::string dir = (std::filesystem::temp_directory_path() / "hostbenchXXXXXX").string();
    if (::mkdtemp(dir.data()) == nullptr)
        return 1;
    const std::string config = dir + "/fw.cfg";
    std::ofstream(config) << "FW_AGT_OPTION INT32 0\nTHD_TERM_TIMEOUT INT32 1\n" << extraConfig;
    std::vector<std::string> args = {program, app, "0", "0", "0", config, dir};
    std::vector<char*> fwArgv;
    for (std::string& a : args)
        fwArgv.push_back(a.data());
    const int rc = frameworkInit(static_cast<int>(fwArgv.size()), fwArgv.data(), registration);
    std::filesystem::remove_all(dir);
    return rc == 0 ? 0 : 1;
}
} // namespace hostbench
