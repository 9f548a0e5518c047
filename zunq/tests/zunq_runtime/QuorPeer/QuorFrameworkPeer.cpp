// Stands in for the framework services' log-file calls that libQuor binds to:
// the same signatures, a real file per log.
#include "QuorFrameworkPeer.h"

#include <fcntl.h>
#include <mutex>
#include <set>
#include <unistd.h>

namespace
{

std::mutex gLock;
std::set<QuorPeerLog*> gLogs;

QuorPeerLog* find(long handle)
{
    auto found = gLogs.find(reinterpret_cast<QuorPeerLog*>(handle));
    return found == gLogs.end() ? nullptr : *found;
}

} // namespace

long createLogFile(const char* fileLocationTxt, const char* filePrefixTxt, int logLevel, bool concurrentLog,
                   bool isWriteSync, bool useLoggerThread, bool logThreadName)
{
    if (fileLocationTxt == nullptr || filePrefixTxt == nullptr)
        return 0;
    auto* log = new QuorPeerLog{fileLocationTxt, filePrefixTxt, logLevel, concurrentLog, isWriteSync,
                                useLoggerThread, logThreadName, "", ""};
    log->path = log->directory + "/" + log->prefix + ".log";
    int fd = open(log->path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
    {
        delete log;
        return 0;
    }
    close(fd);
    std::lock_guard lock(gLock);
    gLogs.insert(log);
    return reinterpret_cast<long>(log);
}

int setSyslogIdent(long logHandle, const char* syslogIdentTxt)
{
    std::lock_guard lock(gLock);
    QuorPeerLog* log = find(logHandle);
    if (log == nullptr)
        return -1;
    log->syslogIdent = syslogIdentTxt != nullptr ? syslogIdentTxt : "";
    return 0;
}

extern "C" const QuorPeerLog* quorPeerLog(long handle)
{
    std::lock_guard lock(gLock);
    return find(handle);
}

extern "C" void quorPeerClose(long handle)
{
    std::lock_guard lock(gLock);
    if (QuorPeerLog* log = find(handle))
    {
        gLogs.erase(log);
        delete log;
    }
}
