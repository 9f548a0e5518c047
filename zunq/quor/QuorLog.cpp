#include "zunq/quor/QuorLog.h"

#include <cstring>
#include <string>

// The framework services' log-file calls. Weak: they bind when the process
// holds the framework services library and stay null otherwise.
long createLogFile(const char* fileLocationTxt, const char* filePrefixTxt, int logLevel, bool concurrentLog,
                   bool isWriteSync, bool useLoggerThread, bool logThreadName) __attribute__((weak));
int setSyslogIdent(long logHandle, const char* syslogIdentTxt) __attribute__((weak));

namespace
{

bool validName(const char* text)
{
    return text != nullptr && std::strlen(text) <= QUOR_MAX_NAME_LENGTH;
}

} // namespace

extern "C" {

long utlGetSyslogHandle(const char*, const char*)
{
    return 0;
}

long utlGetInitLogHandle(const char* directory, const char* prefix, int level)
{
    if (createLogFile == nullptr || !validName(directory) || !validName(prefix) || *prefix == '\0')
        return 0;
    try
    {
        const std::string initPrefix = std::string(prefix) + "_init";
        // Several threads may log before the framework runs, and there is no logger thread yet.
        return createLogFile(directory, initPrefix.c_str(), level, true, false, false, false);
    }
    catch (...)
    {
        return 0;
    }
}

int utlSetSyslogId(long handle, const char* identity)
{
    if (setSyslogIdent == nullptr || handle == 0 || identity == nullptr)
        return -1;
    return setSyslogIdent(handle, identity) == 0 ? 0 : -1;
}

}
