#include "PgCluster.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace
{
const char* const BIN = "/usr/lib/postgresql/15/bin";

struct State
{
    bool started = false;
    bool tried = false;
    std::string dir;
    std::string error;
    int port = 0;
    int watchdogFd = -1;
};

State& state()
{
    static State s;
    return s;
}

bool asRoot()
{
    return ::geteuid() == 0;
}

// Runs a command as the server's user, output into the cluster's log.
bool run(const std::string& cmd)
{
    std::string full = asRoot() ? "runuser -u postgres -- " + cmd : cmd;
    full += " >>" + state().dir + "/setup.log 2>&1 </dev/null";
    return std::system(full.c_str()) == 0;
}

int freePort()
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    ::close(fd);
    return port;
}

std::string driverPath()
{
    for (const char* path : {"/usr/lib/x86_64-linux-gnu/odbc/psqlodbca.so", "/usr/lib/aarch64-linux-gnu/odbc/psqlodbca.so",
                             "/usr/lib/odbc/psqlodbca.so"})
        if (std::filesystem::exists(path))
            return path;
    return {};
}

bool fail(const std::string& why)
{
    State& s = state();
    std::ifstream log(s.dir + "/setup.log");
    std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    s.error = why + ": " + text.substr(text.size() > 2000 ? text.size() - 2000 : 0);
    return false;
}

// A child that outlives a crashed test process: when the process ends
// without stop() (an abort, a sanitizer report), the pipe reads end-of-file
// and the child stops the server and removes the directory. stop() writes a
// byte first, which sends the child away without touching anything.
void startWatchdog()
{
    State& s = state();
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return;
    std::string cleanup = std::string(asRoot() ? "runuser -u postgres -- " : "") + BIN + "/pg_ctl -D " + s.dir +
                          "/data -m immediate -w stop; rm -rf " + s.dir;
    pid_t pid = ::fork();
    if (pid == 0)
    {
        ::signal(SIGINT, SIG_IGN);
        ::setsid();
        int devNull = ::open("/dev/null", O_RDWR);
        ::dup2(devNull, 0);
        ::dup2(devNull, 1);
        ::dup2(devNull, 2);
        ::close(fds[1]);
        char byte = 0;
        ssize_t got;
        while ((got = ::read(fds[0], &byte, 1)) < 0 && errno == EINTR)
        {
        }
        if (got == 1)
            ::_exit(0);
        ::execl("/bin/sh", "sh", "-c", cleanup.c_str(), static_cast<char*>(nullptr));
        ::_exit(1);
    }
    ::close(fds[0]);
    if (pid < 0)
    {
        ::close(fds[1]);
        return;
    }
    s.watchdogFd = fds[1];
}

bool startCluster()
{
    State& s = state();
    char tmpl[] = "/tmp/fendral-pg-XXXXXX";
    if (::mkdtemp(tmpl) == nullptr)
        return fail("mkdtemp failed");
    s.dir = tmpl;
    if (asRoot())
    {
        passwd* pw = ::getpwnam("postgres");
        if (pw == nullptr)
            return fail("no postgres user to run the server as root");
        if (::chown(s.dir.c_str(), pw->pw_uid, pw->pw_gid) != 0)
            return fail("chown of the cluster directory failed");
    }
    startWatchdog();
    std::string driver = driverPath();
    if (driver.empty() || !std::filesystem::exists(std::string(BIN) + "/initdb"))
        return fail("postgresql or odbc-postgresql missing: run tools/install-deps");
    if (!run(std::string(BIN) + "/initdb -D " + s.dir + "/data -A trust -U " + PgCluster::USER +
             " -E UTF8 --locale=C --no-sync"))
        return fail("initdb failed");
    bool up = false;
    for (int attempt = 0; attempt < 5 && !up; ++attempt)
    {
        s.port = freePort();
        up = run(std::string(BIN) + "/pg_ctl -D " + s.dir + "/data -l " + s.dir + "/server.log -w -t 60 -o \"-p " +
                 std::to_string(s.port) + " -k " + s.dir +
                 " -c listen_addresses=127.0.0.1 -c fsync=off -c max_connections=20\" start");
    }
    if (!up)
        return fail("pg_ctl start failed");
    s.started = true;

    std::ofstream(s.dir + "/odbcinst.ini") << "[FendralPg]\nDriver=" << driver << "\n";
    std::ofstream(s.dir + "/odbc.ini") << "[" << PgCluster::DSN << "]\nDriver=FendralPg\nServername=127.0.0.1\nPort="
                                       << s.port << "\nDatabase=postgres\nBoolsAsChar=0\n";
    ::setenv("ODBCSYSINI", s.dir.c_str(), 1);
    ::setenv("ODBCINI", (s.dir + "/odbc.ini").c_str(), 1);
    return true;
}

} // namespace

bool PgCluster::ensureStarted()
{
    State& s = state();
    if (!s.tried)
    {
        s.tried = true;
        startCluster();
    }
    return s.started;
}

void PgCluster::stop()
{
    State& s = state();
    if (s.started)
        run(std::string(BIN) + "/pg_ctl -D " + s.dir + "/data -m immediate -w stop");
    s.started = false;
    if (!s.dir.empty())
    {
        std::error_code ignored;
        std::filesystem::remove_all(s.dir, ignored);
    }
    s.dir.clear();
    if (s.watchdogFd >= 0)
    {
        char done = 'x';
        [[maybe_unused]] ssize_t ignored = ::write(s.watchdogFd, &done, 1);
        ::close(s.watchdogFd);
        s.watchdogFd = -1;
    }
}

const std::string& PgCluster::error()
{
    return state().error;
}

int PgCluster::port()
{
    return state().port;
}
