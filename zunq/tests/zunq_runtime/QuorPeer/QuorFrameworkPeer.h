// What the stand-in for the framework's log-file calls saw.
#pragma once

#include <string>

struct QuorPeerLog
{
    std::string directory;
    std::string prefix;
    int level = -1;
    bool concurrentLog = false;
    bool isWriteSync = false;
    bool useLoggerThread = false;
    bool logThreadName = false;
    std::string syslogIdent;
    std::string path; // the file it opened
};

// The log behind a handle, or null for a handle it never gave out.
extern "C" const QuorPeerLog* quorPeerLog(long handle);
extern "C" void quorPeerClose(long handle);
