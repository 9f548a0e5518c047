// Shared by the benchmarks that run host threads on a real framework in
// their own process: a Runnable's session, and one framework run with its
// configuration and log folder in a fresh temporary directory.
#pragma once

#include "kelmora/thread/Runnable.h"
#include "kelmora/thread/TarvokSession.h"

#include "FendralServices/api/FwServices.h"

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace hostbench
{

// The session a Runnable of the benchmark runs its components on.
struct HostSession
{
    HostSession(Runnable& runnable, const char* name)
    {
        session.setName(name);
        session.setRunnable(&runnable);
        runnable.setTarvokSession(&session);
    }
    TarvokSession session;
};

// Runs the framework until it stops; the process's exit code.
inline int runFramework(const char* argv0, const char* processName, int (*registration)())
{
    std::string pattern = (std::filesystem::temp_directory_path() / "hostbenchXXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
        return 1;
    const std::string config = pattern + "/fw.cfg";
    std::ofstream(config) << "FW_AGT_OPTION INT32 0\nTHD_TERM_TIMEOUT INT32 1\n";
    std::vector<std::string> args = {argv0, processName, "0", "0", "0", config, pattern};
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    const int rc = frameworkInit(static_cast<int>(argv.size()), argv.data(), registration);
    std::filesystem::remove_all(pattern);
    return rc == 0 ? 0 : 1;
}

} // namespace hostbench
