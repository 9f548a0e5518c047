#include "kelmora/process/HostMain.h"

#include "kelmora/process/Terminator.h"
#include "kelmora/recovery/FileRecoveryHandler.h"
#include "kelmora/runtime/InitModuleError.h"
#include "kelmora/runtime/LogModule.h"
#include "kelmora/runtime/ModuleList.h"
#include "kelmora/stats/ZunqStatsWriterModule.h"
#include "FendralServices/api/FwServices.h"
#include "zunq/config/ConfigError.h"
#include "zunq/config/ConfigFile.h"
#include "zunq/config/ZunqConfigManager.h"
#include "zunq/identity/Host.h"
#include "zunq/log/Log.h"
#include "zunq/log/LogRegistry.h"
#include "zunq/module/ModuleInitializer.h"
#include "zunq/runtime/ExitSignals.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <unistd.h>
#include <vector>

ZunqConfigManager* cfgMain = nullptr;
std::string cfgFile;
std::string appName;
std::string hostName;
std::string version = "APPNAMESTR:  Version [\"4.28.0\"] Build Date [\"14062023\"] Git revision [\"e63f105\"]";
// Never destroyed: the modules it holds live until the process exits.
ModuleList& moduleList = *new ModuleList;
ModuleInitializer* myModuleInitializer = moduleInitializer();

// The framework's argument buffers; the framework refers to them until exit.
char** fwArgvBuffers = nullptr;

namespace
{
bool gFrameworkRunsProcess = false;
std::atomic<bool> gFailedExit{false};
std::mutex gFailedExitLock;
std::string gFailedExitReason;
} // namespace

bool frameworkRunsProcess()
{
    return gFrameworkRunsProcess;
}

void requestFailedExit(const std::string& reason)
{
    {
        std::lock_guard lock(gFailedExitLock);
        if (gFailedExitReason.empty())
            gFailedExitReason = reason;
    }
    gFailedExit.store(true, std::memory_order_release);
    if (Terminator* terminator = Terminator::localTerminator())
        terminator->terminate(reason);
    else
        ::kill(::getpid(), SIGTERM); // the framework's control thread stops every thread
}

bool failedExitRequested()
{
    return gFailedExit.load(std::memory_order_acquire);
}

namespace
{

const char* const cUsage = "Usage: Please see the Administrator's Guide. The configuration file also contains "
                           "documentation for command-line parameters.\n\n";
// Set by the program before main runs; read once by main.
const char* gProgramUsage = nullptr;

// A start-up error of a module factory: it cannot cross the framework's C
// API, so the registration callback keeps it for main to report.
std::exception_ptr gStartupError;

std::string afterLastSlash(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string upToLastSlash(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(0, slash);
}

bool given(const ZunqConfigManager& cfg, const char* option)
{
    std::string ignored;
    return cfg.getOptArg(option, ignored);
}

// The registration callback: every module, in priority order, on the main
// thread before any framework thread exists.
int fwMainThread()
{
    try
    {
        Log* log = LogRegistry::g_logger;
        if (log != nullptr && log->enabled(LOG_LEVEL_INFO))
        {
            log->info() << version;
            log->info() << "Hostname: " << hostName;
            log->info() << "Configuration file: " << cfgFile;
            log->info() << "Application class:  " << appName;
        }
        myModuleInitializer->initialize(&moduleList, cfgMain);
        if (log != nullptr && log->enabled(LOG_LEVEL_INFO))
            log->info() << "Module initialization completed";
        return 0;
    }
    catch (...)
    {
        gStartupError = std::current_exception();
        return -1;
    }
}

// The configuration bases, most general first: the prefix, its netgroups,
// host and fully qualified host, each alone and below the prefix.
void addConfigBases(ZunqConfigManager& cfg, const std::string& exeName, const std::string& fqdnName,
                    const std::vector<std::string>& netgroups)
{
    const bool byExe = cfg.getChild(exeName) != nullptr;
    const std::string prefix = byExe ? exeName : appName;
    cfg.addConfigBase(prefix, ZunqConfigManager::ALT_ROOT_OPTIONAL);
    if (!byExe)
        cfg.addConfigBase(appName + "/" + exeName, ZunqConfigManager::ALT_ROOT_OPTIONAL);
    std::vector<std::string> names = netgroups;
    names.push_back(hostName);
    names.push_back(fqdnName);
    for (const std::string& name : names)
    {
        cfg.addConfigBase(name, ZunqConfigManager::ALT_ROOT_OPTIONAL);
        cfg.addConfigBase(prefix + "/" + name, ZunqConfigManager::ALT_ROOT_OPTIONAL);
    }
}

int startProcess(int argc, char** argv)
{
    // The process log may go to standard output: each line must reach a file
    // or pipe when written, not when a block fills or the process ends.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    ZunqConfigManager cfg(argc, argv);
    cfgMain = &cfg;
    // Help needs no configuration: it says how to name one.
    if (given(cfg, "--help") || given(cfg, "-h") || given(cfg, "-?"))
    {
        std::fputs(gProgramUsage != nullptr ? gProgramUsage : cUsage, stderr);
        return 0;
    }
    const std::string program = argc > 0 && argv[0] != nullptr ? argv[0] : "";
    std::string exeName = afterLastSlash(program);
    const std::string fqdnName = fqdn();
    hostName = hostname();
    const std::vector<std::string> netgroups = nisnetgroup(hostName);
    cfg.setBinaryName(exeName);
    cfg.setExePath(program);
    ExitSignals::block();

    const bool configNamed = given(cfg, "--config-file") || given(cfg, "--config") || given(cfg, "--file");
    cfgFile = cfg.getString("", "--config-file", cfgFile);
    cfgFile = cfg.getString("", "--config", cfgFile);
    cfgFile = cfg.getString("", "--file", cfgFile);
    exeName = cfg.getString("", "--feed-name", exeName);
    exeName = cfg.getString("", "--exe-name", exeName);
    exeName = cfg.getString("", "--name", exeName);
    appName = cfg.getString("", "--app-name", exeName.substr(0, exeName.find('_')));

    const bool agent = startedByAgent(argc, argv);
    if (!agent && argc >= 7)
        std::fprintf(stderr, "Warning: Main: %d arguments with options among the first six: started standalone, "
                             "not as the framework agent's process\n", argc - 1);
    const int fwArgc = agent ? argc : 7;
    if (agent)
    {
        setenv("TARVOK_PATH", upToLastSlash(argv[5]).c_str(), 0);
        setenv("QUOR_AGENT_MODE", "1", 1);
    }
    // The framework keeps pointers into these for the life of the process.
    char** fwArgv = fwArgvBuffers = new char*[static_cast<std::size_t>(fwArgc)];
    for (int i = 0; i < fwArgc; ++i)
        fwArgv[i] = new char[cFwArgBufferSize]();

    std::string className;
    try
    {
        if (std::unique_ptr<ConfigFile> base{createConfigFile("tarvok", cfg)})
            cfg.addFile(base.get());
        className = cfg.getString("ConfigFile." + appName, "", appName);
        if (!configNamed)
            cfgFile = className;
        version.replace(0, 10, appName);
    }
    catch (const ConfigError& error)
    {
        printError("%s", error.what());
        return 1;
    }

    std::unique_ptr<ConfigFile> file{createConfigFile(cfgFile, cfg)};
    if (!file)
    {
        printError("opening configuration file: %s", cfgFile.c_str());
        return 1;
    }
    cfg.addFile(file.get());
    file.reset();
    cfg.setClassName(className);
    cfg.setAppName(appName);
    cfg.setExeName(exeName);
    cfg.setVersion("\"4.28.0\"");
    addConfigBases(cfg, exeName, fqdnName, netgroups);

    if (given(cfg, "--version"))
    {
        std::fprintf(stderr, "%s\n", version.c_str());
        return 0;
    }

    InitModule<Log> logFactory;
    logFactory.createModule(&moduleList, &cfg);
    int fwArgcUsed = fwArgc;
    configureFwArg(exeName, fwArgcUsed, fwArgv, agent, argc, argv);

    gFrameworkRunsProcess = true;
    const int started = frameworkInit(fwArgcUsed, fwArgv, fwMainThread);
    if (gStartupError)
        std::rethrow_exception(gStartupError);
    // Components on every thread wrote into it until the framework stopped them.
    detachStatsWriter(&moduleList);
    DRAVEK::Recovery::FileRecoveryHandler::detachAll();
    Log* log = LogRegistry::g_logger;
    if (started != 0)
    {
        // A framework that never ran is a failed start, not a clean stop.
        const std::string code = std::to_string(getErrorCode());
        printError("Main: framework start failed with error %s", code.c_str());
        return 1;
    }
    if (failedExitRequested())
    {
        std::string reason;
        {
            std::lock_guard lock(gFailedExitLock);
            reason = gFailedExitReason;
        }
        printError("Main: %s", reason.c_str());
        return 1;
    }
    if (log != nullptr && log->enabled(LOG_LEVEL_INFO))
        log->info() << "Main: quit";
    return 0;
}

} // namespace

void setProgramUsage(const char* usage)
{
    gProgramUsage = usage;
}

void printError(const char* errorFormat, const char* errorMsg)
{
    char text[2048];
    std::snprintf(text, sizeof text, errorFormat != nullptr ? errorFormat : "%s",
                  errorMsg != nullptr ? errorMsg : "");
    std::fprintf(stderr, "Error: %s\n", text);
    std::fflush(stderr);
    // Errors before the log exists reach standard error only.
    Log* log = LogRegistry::g_logger;
    if (log != nullptr && log->enabled(LOG_LEVEL_ERROR))
        log->error() << text;
}

void myUnexpected()
{
    printError("unexpected exception", nullptr);
    throw std::runtime_error("unexpected exception");
}

int main(int argc, char** argv)
{
    try
    {
        const int code = startProcess(argc, argv);
        cfgMain = nullptr; // it lived on startProcess's stack
        return code;
    }
    catch (const InitModuleError& error)
    {
        printError("Main: caught InitModuleError: %s", error.what());
    }
    catch (const ConfigError& error)
    {
        printError("Main: caught ConfigError: %s\n \tPlease ensure TARVOK_PATH is set correctly and configuration "
                   "files are valid",
                   error.what());
    }
    catch (const std::invalid_argument& error)
    {
        printError("Main: caught invalid_argument: %s", error.what());
    }
    catch (const std::runtime_error& error)
    {
        printError("Main: caught runtime_error: %s", error.what());
    }
    catch (const std::exception& error)
    {
        printError("Main: caught std::exception: %s", error.what());
    }
    catch (...)
    {
        printError("Main: caught (...): unknown exception", nullptr);
    }
    cfgMain = nullptr;
    return 1;
}
