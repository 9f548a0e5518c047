#include "kelmora/process/HostMain.h"

#include "zunq/config/ZunqConfigManager.h"
#include "zunq/log/Log.h"
#include "zunq/log/LogRegistry.h"

#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <sys/stat.h>

namespace
{

// The default disaster-recovery flag file beside the agent's log directory.
const char* const cDrFlagFile = "dr_completed.flag";

Log* infoLog()
{
    Log* log = LogRegistry::g_logger;
    return log != nullptr && log->enabled(LOG_LEVEL_INFO) ? log : nullptr;
}

void copyArg(char** fwArgv, int i, const std::string& value)
{
    constexpr std::size_t cMax = cFwArgBufferSize - 1;
    if (value.size() > cMax)
    {
        Log* log = LogRegistry::g_logger;
        if (log != nullptr && log->enabled(LOG_LEVEL_CRITICAL))
            log->severe() << "Fatal error: FwInitArg" << i << " length cannot be longer than " << cMax
                          << "bytes: " << value;
        throw std::runtime_error("configureFwArg failed");
    }
    std::memset(fwArgv[i], 0, cFwArgBufferSize);
    std::memcpy(fwArgv[i], value.data(), value.size());
    if (Log* log = infoLog())
        log->info() << "QUOR FwInitArg" << i << " : " << value;
}

// Adds the blank-separated pieces of `text` as command-line arguments: every
// piece before a blank (empty ones too), and the rest when it is not empty.
void addArgs(const std::string& text, const char* logText)
{
    std::size_t start = 0;
    for (std::size_t blank = text.find(' '); blank != std::string::npos; blank = text.find(' ', start))
    {
        const std::string piece = text.substr(start, blank - start);
        if (Log* log = infoLog())
            log->info() << logText << piece << "]";
        cfgMain->setArg(piece);
        start = blank + 1;
    }
    if (start < text.size())
    {
        const std::string piece = text.substr(start);
        if (Log* log = infoLog())
            log->info() << logText << piece << "]";
        cfgMain->setArg(piece);
    }
}

std::string envOr(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

} // namespace

bool startedByAgent(int argc, char** argv)
{
    if (argc < 7 || argv == nullptr)
        return false;
    // An operator's own six option words are not the agent's positional vector.
    for (int i = 1; i <= 6; ++i)
        if (argv[i] == nullptr || argv[i][0] == '-')
            return false;
    return true;
}

void configureFwArg(const std::string& exeName, int& fwArgc, char** fwArgv, bool startByAgent, int argc,
                    char** argv)
{
    if (cfgMain == nullptr)
        throw std::runtime_error("configureFwArg failed");
    if (Log* log = infoLog())
        log->info() << "StartByAgent:    " << (startByAgent ? "true" : "false");

    if (!startByAgent)
    {
        const std::string defaults[7] = {exeName, exeName, "0", "0", "0", envOr("DEFAULT_FW_CONFIG_PATH"),
                                         envOr("DEFAULT_FW_LOGS_PATH")};
        std::string values[7];
        for (int i = 0; i < 7; ++i)
            values[i] = cfgMain->getString("FwInitArg" + std::to_string(i), "", defaults[i]);
        for (int i = 0; i < 7 && i < fwArgc; ++i)
            copyArg(fwArgv, i, values[i]);
        return;
    }

    const long mode = std::strtol(argv[4], nullptr, 10);
    const long haConfiguration = cfgMain->getLong("HAConfiguration", "", 1);
    if (Log* log = infoLog())
    {
        log->info() << "AgentStartMode:  " << mode;
        log->info() << "HAConfiguration: " << haConfiguration;
    }
    if (mode == 2)
    {
        if (Log* log = infoLog())
            log->info() << "Executing process restart procedure...";
        if (haConfiguration == 1)
        {
            if (Log* log = infoLog())
                log->info() << " - Override AgentStartMode to [0 - ACTIVE] due to ACTIVE_ACTIVE model";
            argv[4][0] = '0';
            argv[4][1] = '\0';
        }
        else if (haConfiguration == 2)
        {
            if (Log* log = infoLog())
                log->info() << " - Override HAMode to [STANDBY] due to ACTIVE_HOT_STANDBY model";
            cfgMain->setArg("--ha-mode=standby");
        }
        const std::string restartArgs = cfgMain->getString("RestartArgs", "", "");
        if (Log* log = infoLog())
            log->info() << " - Loading RestartArgs [" << restartArgs << "]";
        addArgs(restartArgs, " - Adding RestartArg [");

        const std::string flagFile = cfgMain->getString("DRCompleteFile", "", std::string(argv[6]) + "/" + cDrFlagFile);
        struct stat st{};
        if (::stat(flagFile.c_str(), &st) == 0)
        {
            if (Log* log = infoLog())
                log->info() << " - DR is activated. [" << flagFile << "] flag file exists";
            const std::string drArgs = cfgMain->getString("DRRestartArgs", "", "");
            if (Log* log = infoLog())
                log->info() << " - Loading DRRestartArgs [" << drArgs << "]";
            addArgs(drArgs, " - Adding DRRestartArg [");
        }
    }
    for (int i = 0; i < argc && i < fwArgc; ++i)
        copyArg(fwArgv, i, argv[i]);
}
