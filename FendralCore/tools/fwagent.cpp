// fwagent: the framework agent's side of a framework process, for operators
// and tests. It creates and removes the two shared-memory blocks and their
// semaphores, writes the agent's commands into the application's command
// ring and wakes the process with SIGUSR1, and prints the status the process
// writes, one "key=value" per line (a "thread=" line per thread).
#include "FendralCore/runtime/AgentShmLayout.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <semaphore.h>
#include <signal.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace
{
const char* const USAGE =
    "usage: fwagent COMMAND --agent ID --app ID [--no-cross-env] [--pid PID] [ARGS]\n"
    "  create                         create both blocks and semaphores\n"
    "  remove                         remove them\n"
    "  status                         print the process's status\n"
    "  stop [--force]                 orderly (or forced) stop\n"
    "  restart MODE                   soft restart in MODE: 0 active, 1 standby, 2 recovery\n"
    "  failover                       standby goes active; active stops\n"
    "  log-level LEVEL                framework log level 0..6\n"
    "  reload                         reload the configuration file\n"
    "  app-defined ACTION [TEXT]      application-defined event (TEXT at most 100 characters)\n";

struct Options
{
    std::string command;
    std::string agentId = "AGT";
    std::string appId;
    bool crossEnv = true;
    long pid = 0;
    bool force = false;
    std::vector<std::string> args;
};

int usage(const char* problem)
{
    if (problem != nullptr)
        std::fprintf(stderr, "fwagent: %s\n", problem);
    std::fputs(USAGE, stderr);
    return 2;
}

// Whole decimal text only.
bool parseLong(const std::string& text, long& value)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtol(text.c_str(), &end, 10);
    return errno == 0 && end != nullptr && *end == '\0';
}

std::string appLockName(const Options& o)
{
    return o.crossEnv ? o.agentId + "." + o.appId : o.appId;
}

void* mapBlock(const std::string& name, size_t size, bool create, bool quiet = false)
{
    const int fd = shm_open(name.c_str(), create ? O_RDWR | O_CREAT | O_EXCL : O_RDWR, 0660);
    if (fd < 0)
    {
        if (quiet)
            return nullptr;
        std::fprintf(stderr, "fwagent: cannot %s block %s: %s\n", create ? "create" : "open", name.c_str(),
                     std::strerror(errno));
        return nullptr;
    }
    struct stat st;
    if ((create && ftruncate(fd, static_cast<off_t>(size)) != 0) || fstat(fd, &st) != 0 ||
        st.st_size < static_cast<off_t>(size))
    {
        std::fprintf(stderr, "fwagent: block %s is not %zu bytes\n", name.c_str(), size);
        ::close(fd);
        return nullptr;
    }
    void* block = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    if (block == MAP_FAILED)
    {
        std::fprintf(stderr, "fwagent: cannot map block %s: %s\n", name.c_str(), std::strerror(errno));
        return nullptr;
    }
    return block;
}

bool createSemaphore(const std::string& lockName)
{
    const std::string name = "/" + lockName + "_sem";
    sem_t* sem = sem_open(name.c_str(), O_CREAT | O_EXCL, 0660, 1);
    if (sem == SEM_FAILED)
    {
        std::fprintf(stderr, "fwagent: cannot create semaphore %s: %s\n", name.c_str(), std::strerror(errno));
        return false;
    }
    sem_close(sem);
    return true;
}

int create(const Options& o)
{
    const std::string appLock = appLockName(o);
    auto* app = static_cast<AppSharedMemBlock*>(mapBlock("/" + appLock, sizeof(AppSharedMemBlock), true));
    if (app == nullptr)
        return 1;
    app->cmdBuf.initialize();
    app->lockedBy.pid = -1;
    app->statBuf.statusRec.status = NOT_STARTED;
    app->appStartTime = static_cast<int64>(::time(nullptr));
    munmap(app, sizeof(AppSharedMemBlock));
    // Several applications share one agent block.
    auto* agt =
        static_cast<AgentSharedMemBlock*>(mapBlock("/" + o.agentId, sizeof(AgentSharedMemBlock), false, true));
    if (agt == nullptr)
    {
        agt = static_cast<AgentSharedMemBlock*>(mapBlock("/" + o.agentId, sizeof(AgentSharedMemBlock), true));
        if (agt == nullptr || !createSemaphore(o.agentId))
            return 1;
        agt->lockedBy.pid = -1;
        agt->pid = -1;
        agt->status = NOT_STARTED;
    }
    munmap(agt, sizeof(AgentSharedMemBlock));
    if (!createSemaphore(appLock))
        return 1;
    std::printf("block=/%s\nagent_block=/%s\n", appLock.c_str(), o.agentId.c_str());
    return 0;
}

int remove(const Options& o)
{
    const std::string appLock = appLockName(o);
    int result = 0;
    for (const std::string& name : {"/" + appLock, "/" + o.agentId})
        if (shm_unlink(name.c_str()) != 0 && errno != ENOENT)
            result = 1;
    for (const std::string& name : {"/" + appLock + "_sem", "/" + o.agentId + "_sem"})
        if (sem_unlink(name.c_str()) != 0 && errno != ENOENT)
            result = 1;
    return result;
}

const char* stateName(int32 status)
{
    static const char* const NAMES[] = {"NOT_STARTED", "ACTIVE",     "STANDBY",          "STOPPED", "RECOVERY",
                                        "RESTARTING",  "TERMINATED", "FORCE_TERMINATED", "STARTING"};
    return status >= 0 && status <= STARTING ? NAMES[status] : "UNKNOWN";
}

const char* modeName(int32 status)
{
    switch (status)
    {
    case ACTIVE:
        return "active";
    case STANDBY:
        return "standby";
    case RECOVERY:
        return "recovery";
    default:
        return "-";
    }
}

bool processRuns(long pid)
{
    return pid > 1 && ::kill(static_cast<pid_t>(pid), 0) == 0;
}

// The threads of a running process by their system names; the process's
// first thread is the control thread.
void printThreads(long pid)
{
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR* tasks = opendir(dir.c_str());
    if (tasks == nullptr)
        return;
    std::vector<std::pair<long, std::string>> threads;
    while (dirent* entry = readdir(tasks))
    {
        long tid = 0;
        if (!parseLong(entry->d_name, tid))
            continue;
        char name[32] = {};
        if (FILE* comm = std::fopen((dir + "/" + entry->d_name + "/comm").c_str(), "r"))
        {
            if (std::fgets(name, sizeof(name), comm) != nullptr)
                name[std::strcspn(name, "\n")] = '\0';
            std::fclose(comm);
        }
        threads.emplace_back(tid, tid == pid ? std::string("CTL_THREAD") : std::string(name));
    }
    closedir(tasks);
    for (const auto& [tid, name] : threads)
        std::printf("thread=%s tid=%ld\n", name.c_str(), tid);
}

int status(const Options& o)
{
    const std::string appLock = appLockName(o);
    auto* app = static_cast<AppSharedMemBlock*>(mapBlock("/" + appLock, sizeof(AppSharedMemBlock), false));
    if (app == nullptr)
        return 1;
    AppSharedMemBlock copy;
    std::memcpy(&copy, app, sizeof(copy));
    munmap(app, sizeof(AppSharedMemBlock));
    const AppStatusRecord& rec = copy.statBuf.statusRec;
    const long pid = o.pid > 0 ? o.pid : rec.pid;
    const long now = static_cast<long>(::time(nullptr));
    std::printf("app=%s\nblock=/%s\n", o.appId.c_str(), appLock.c_str());
    std::printf("state=%s\nstatus=%d\nmode=%s\n", stateName(rec.status), rec.status, modeName(rec.status));
    std::printf("pid=%d\nrunning=%s\n", rec.pid, processRuns(pid) ? "yes" : "no");
    // The block's values may be anything: an age only for a time in the past.
    const long reported = static_cast<long>(rec.reportTime);
    std::printf("report_time=%ld\n", reported);
    if (reported > 0 && reported <= now)
        std::printf("report_age=%ld\n", now - reported);
    else
        std::printf("report_age=-\n");
    std::printf("replication=%d\nlast_error=%d\n", rec.msgRepliStatus, rec.applStatusCode);
    std::printf("commands_waiting=%d\nstatistics=%d\n", copy.cmdBuf.getNumOfElem(), copy.statBuf.numOfStatRec);
    if (auto* agt = static_cast<AgentSharedMemBlock*>(mapBlock("/" + o.agentId, sizeof(AgentSharedMemBlock), false)))
    {
        std::printf("agent_status=%d\nagent_pid=%d\n", agt->status, agt->pid);
        munmap(agt, sizeof(AgentSharedMemBlock));
    }
    if (processRuns(pid))
        printThreads(pid);
    return 0;
}

int send(const Options& o)
{
    Command cmd;
    std::memset(&cmd, 0, sizeof(cmd));
    std::strncpy(cmd.fwCmd.senderIdTxt, o.agentId.c_str(), sizeof(cmd.fwCmd.senderIdTxt) - 1);
    std::strncpy(cmd.fwCmd.targetAppIdTxt, o.appId.c_str(), sizeof(cmd.fwCmd.targetAppIdTxt) - 1);
    long value = 0;
    const std::string& c = o.command;
    if (c == "stop")
    {
        cmd.fwCmd.cmdCode = CMD_STOP;
        cmd.fwCmd.additionalPara = o.force ? 1 : 0;
    }
    else if (c == "restart")
    {
        if (o.args.size() != 1 || !parseLong(o.args[0], value) || value < 0 || value > 2)
            return usage("restart wants a mode 0, 1 or 2");
        cmd.fwCmd.cmdCode = CMD_SOFT_RESTART;
        cmd.fwCmd.mode = static_cast<int32>(value);
    }
    else if (c == "failover")
        cmd.fwCmd.cmdCode = CMD_FAILOVER;
    else if (c == "log-level")
    {
        if (o.args.size() != 1 || !parseLong(o.args[0], value) || value < 0 || value > 6)
            return usage("log-level wants a level 0..6");
        cmd.fwCmd.cmdCode = CMD_LOG_LEVEL;
        cmd.fwCmd.additionalPara = static_cast<int32>(value);
    }
    else if (c == "reload")
        cmd.fwCmd.cmdCode = CMD_APP_RELOAD;
    else if (c == "app-defined")
    {
        if (o.args.empty() || o.args.size() > 2 || !parseLong(o.args[0], value) || value < INT32_MIN ||
            value > INT32_MAX)
            return usage("app-defined wants an action id and at most one text");
        if (o.args.size() == 2 && o.args[1].size() >= sizeof(ApplCmdPara))
            return usage("app-defined text is longer than 100 characters");
        cmd.fwCmd.cmdCode = CMD_APP_DEFINED;
        cmd.appCmd.actionId = static_cast<int32>(value);
        if (o.args.size() == 2)
            std::memcpy(cmd.appCmd.actPara, o.args[1].data(), o.args[1].size());
    }
    else
        return usage("unknown command");

    const std::string appLock = appLockName(o);
    auto* app = static_cast<AppSharedMemBlock*>(mapBlock("/" + appLock, sizeof(AppSharedMemBlock), false));
    if (app == nullptr)
        return 1;
    const long pid = o.pid > 0 ? o.pid : app->statBuf.statusRec.pid;
    // A command for a process that is not there would wait for its next start.
    if (!processRuns(pid))
    {
        munmap(app, sizeof(AppSharedMemBlock));
        std::fprintf(stderr, "fwagent: process [%ld] of %s is not running; nothing sent\n", pid, appLock.c_str());
        return 1;
    }
    const int32 queued = app->cmdBuf.enqueue(cmd);
    munmap(app, sizeof(AppSharedMemBlock));
    if (queued != 0)
    {
        std::fprintf(stderr, "fwagent: the command ring of %s is full or not initialised\n", appLock.c_str());
        return 1;
    }
    if (::kill(static_cast<pid_t>(pid), SIGUSR1) != 0)
    {
        std::fprintf(stderr, "fwagent: command queued, but process [%ld] could not be woken\n", pid);
        return 1;
    }
    std::printf("sent=%s\npid=%ld\n", c.c_str(), pid);
    return 0;
}
} // namespace

int main(int argc, char** argv)
{
    Options o;
    for (int i = 1; i < argc; ++i)
    {
        const std::string arg = argv[i];
        if ((arg == "--agent" || arg == "--app" || arg == "--pid") && i + 1 < argc)
        {
            const std::string value = argv[++i];
            if (arg == "--agent")
                o.agentId = value;
            else if (arg == "--app")
                o.appId = value;
            else if (!parseLong(value, o.pid) || o.pid <= 1)
                return usage("--pid wants a process id");
        }
        else if (arg == "--no-cross-env")
            o.crossEnv = false;
        else if (arg == "--force")
            o.force = true;
        else if (arg == "-h" || arg == "--help")
            return usage(nullptr);
        else if (o.command.empty())
            o.command = arg;
        else
            o.args.push_back(arg);
    }
    if (o.command.empty())
        return usage("no command");
    // Names of at most 8 characters, as the process keeps them.
    if (o.appId.empty() || o.appId.size() > 8 || o.agentId.empty() || o.agentId.size() > 8 ||
        o.appId.find('/') != std::string::npos || o.agentId.find('/') != std::string::npos)
        return usage("--app and --agent want ids of 1 to 8 characters without '/'");
    if (o.command == "create")
        return create(o);
    if (o.command == "remove")
        return remove(o);
    if (o.command == "status")
        return status(o);
    return send(o);
}
