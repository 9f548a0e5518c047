// A small framework application built only against the installed headers of
// the framework services library.
//
//   fw_example <app id> <instance> <site> <mode> <config file> <log dir>
//              [<primary addr> <alt addr> <topic mcast> <topic port>
//               <ack mcast> <ack port> [<meta code>]]
//
// Two threads, APP1 and APP2: at APP_READY APP1 starts a 50 ms timer "TICK"
// and sends "ping" to APP2, which answers "pong". Each step is one line on
// standard output. SIGTERM stops it; the exit status is 0 after an orderly
// stop and 1 when the start failed.
//
// Environment:
//   FW_EXAMPLE_MCAST=<group>:<port>  APP1 also listens to that multicast group
//                                    on the loopback interface
//   FW_EXAMPLE_MCAST_TO=<group>:<port>  a multicast sender "MCAST_OUT" on the
//                                    loopback interface; main sends "hello" on
//                                    it in middleware mode
//   FW_EXAMPLE_FAIL_REG=1            the registration function fails
//   FW_EXAMPLE_MIDDLEWARE=1          middleware mode: the framework runs beside
//                                    main, which sends through "MIDDLEWARE_MD"
#include <FendralServices/api/FwServices.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <unistd.h>

namespace
{
constexpr int TICKS_REPORTED = 3;
int g_ticks = 0; // APP1's own

void say(const char* format, const char* a, const char* b = "")
{
    std::printf(format, a, b);
    std::printf("\n");
    std::fflush(stdout);
}

int threadCount()
{
    int n = 0;
    if (DIR* dir = opendir("/proc/self/task"))
    {
        while (dirent* entry = readdir(dir))
            n += entry->d_name[0] != '.';
        closedir(dir);
    }
    return n;
}

std::string threadName()
{
    char name[17] = {};
    if (getCurrentThreadName(name) != 0)
        return "?";
    return name;
}

int onMessage(MessageType type, EventMsg* evt, DataMsg* data)
{
    const std::string self = threadName();
    if (type == MSG_EVENT && evt != nullptr)
    {
        if (evt->id == TIMER)
        {
            if (++g_ticks <= TICKS_REPORTED)
            {
                std::printf("TIMER %s %.16s\n", self.c_str(), evt->eventParam.resNameTxt);
                std::fflush(stdout);
            }
            return 0;
        }
        std::printf("EVENT %s %d\n", self.c_str(), evt->id);
        std::fflush(stdout);
        if (evt->id == APP_READY && self == "APP1")
        {
            long handle = 0;
            if (createTimer("TICK", 50, true, handle) != 0 || startTimer(handle) != 0)
                std::printf("TIMER_ERROR %d\n", getErrorCode());
            const char* epoll = std::getenv("EF_UL_EPOLL");
            say("EF_UL_EPOLL %s", epoll != nullptr ? epoll : "unset");
            if (sendThreadMessage("APP2", "ping", 4, false) != 0)
                std::printf("SEND_ERROR %d\n", getErrorCode());
            // By handle: the one the framework gives works, one that names
            // another thread than it points at is refused.
            ResourceHandle peer;
            if (getResHandleByName("APP2", THREAD_RES, peer) != 0 ||
                sendThreadMessage2(peer, "ping2", 5, true) != 0)
                std::printf("SEND_ERROR %d\n", getErrorCode());
            const char ghost[17] = "GHOST";
            const ResourceHandle forged(ghost, THREAD_RES, peer.getResourcePtr());
            if (sendThreadMessage2(forged, "ping3", 5, false) != 0)
                std::printf("HANDLE_REFUSED %d\n", getErrorCode());
            std::fflush(stdout);
        }
        if (evt->id == APP_READY && self == "MIDDLEWARE_MD")
        {
            long handle = 0;
            if (createTimer("MW_TICK", 50, true, handle) != 0 || startTimer(handle) != 0)
                std::printf("TIMER_ERROR %d\n", getErrorCode());
            std::fflush(stdout);
        }
        return 0;
    }
    if (type == MSG_DATA && data != nullptr)
    {
        const std::string text(data->bufPtr, data->dataLen);
        if (data->chnType == ITC_CHANNEL)
        {
            say("MESSAGE %s %s", self.c_str(), text.c_str());
            if (text == "ping" && sendThreadMessage("APP1", "pong", 4, false) != 0)
                std::printf("SEND_ERROR %d\n", getErrorCode());
        }
        else
            say("DATAGRAM %s %s", self.c_str(), text.c_str());
    }
    return 0;
}

// A multicast connection "<name>" on the loopback interface to <group>:<port>.
int registerMulticast(const char* spec, const char* name, const char* thread, bool sender)
{
    const char* colon = std::strchr(spec, ':');
    if (colon == nullptr)
        return -1;
    UdpConnParam udp;
    if (initStructParam(UDPCONN_PARAM, &udp, sizeof(udp)) != 0)
        return -1;
    copyResourceName(udp.connNameTxt, name);
    if (thread != nullptr)
        copyResourceName(udp.threadNameTxt, thread);
    udp.udpMode = sender ? MULTICAST_SENDER_MODE : MULTICAST_RECEIVER_MODE;
    std::snprintf(udp.interfaceTxt, sizeof(udp.interfaceTxt), "127.0.0.1");
    std::snprintf(udp.destAddrTxt, sizeof(udp.destAddrTxt), "%.*s", static_cast<int>(colon - spec), spec);
    udp.port = static_cast<unsigned short>(std::atoi(colon + 1));
    udp.connectAtStartup = true;
    return sender ? registerSendMulticastConnection(&udp) : registerListenMulticastConnection(&udp);
}

int registerAll()
{
    if (std::getenv("FW_EXAMPLE_FAIL_REG") != nullptr)
        return -1;
    const char* to = std::getenv("FW_EXAMPLE_MCAST_TO");
    if (to != nullptr && registerMulticast(to, "MCAST_OUT", nullptr, true) != 0)
        return -1;
    if (std::getenv("FW_EXAMPLE_MIDDLEWARE") != nullptr)
        return 0; // no threads of our own: channels belong to "MIDDLEWARE_MD"
    for (const char* name : {"APP1", "APP2"})
    {
        ThreadParam thread;
        if (initStructParam(THREAD_PARAM, &thread, sizeof(thread)) != 0)
            return -1;
        copyResourceName(thread.threadNameTxt, name);
        if (registerThread(&thread) != 0 || registerMessageCallback(name, onMessage) != 0)
            return -1;
    }
    if (const char* mcast = std::getenv("FW_EXAMPLE_MCAST"))
        return registerMulticast(mcast, "MCAST_IN", "APP1", false);
    return 0;
}

int runMiddleware(int argc, char** argv)
{
    if (argc < 7)
    {
        std::printf("FrameworkInit failed. Error [%d]\n", INVALID_FUNC_ARG);
        return 1;
    }
    // The framework's threads do not take the exit signals in this mode: main waits for them.
    sigset_t signals;
    sigemptyset(&signals);
    for (int sig : {SIGTERM, SIGINT, SIGQUIT, SIGHUP})
        sigaddset(&signals, sig);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    FrameworkArgument arg{};
    std::snprintf(arg.appIdTxt, sizeof(arg.appIdTxt), "%s", argv[1]);
    arg.appInstId = std::atoi(argv[2]);
    arg.siteId = static_cast<ApplicationSite>(std::atoi(argv[3]));
    arg.mode = static_cast<AppMode>(std::atoi(argv[4]));
    std::snprintf(arg.configFileTxt, sizeof(arg.configFileTxt), "%s", argv[5]);
    std::snprintf(arg.logDirTxt, sizeof(arg.logDirTxt), "%s", argv[6]);
    arg.regFnPtr = registerAll;
    arg.callbackFnPtr = onMessage;
    if (startFrameworkThreads(&arg) != 0)
    {
        std::printf("startFrameworkThreads failed. Error [%d]\n", getErrorCode());
        return 1;
    }
    // main is no framework thread: its calls go through "MIDDLEWARE_MD".
    say("MAIN_VIA %s%s", threadName().c_str());
    static int anchor = 0;
    if (setAppObjectPtr(&anchor) == 0 && getAppObjectPtr() == &anchor)
        say("MAIN_OBJECT %s%s", "set");
    if (std::getenv("FW_EXAMPLE_MCAST_TO") != nullptr)
    {
        const int rc = sendUdpMessage("MCAST_OUT", "hello", 5, nullptr, false);
        std::printf("MAIN_UDP %d %d\n", rc, rc == 0 ? 0 : getErrorCode());
    }
    if (sendThreadMessage("MIDDLEWARE_MD", "x", 1, false) != 0)
        std::printf("MAIN_THREAD_MESSAGE refused %d\n", getErrorCode());
    std::fflush(stdout);

    int sig = 0;
    sigwait(&signals, &sig);
    const int rc = stopFrameworkThreads();
    int state = -1, result = -1, code = -1;
    getFrameworkThreadInfo(&state, &result, &code);
    std::printf("STOPPED rc %d state %d result %d\n", rc, state, result);
    std::printf("EXIT %d THREADS %d\n", rc, threadCount());
    std::fflush(stdout);
    return rc == 0 && result == 0 ? 0 : 1;
}
} // namespace

int main(int argc, char** argv)
{
    if (std::getenv("FW_EXAMPLE_MIDDLEWARE") != nullptr)
        return runMiddleware(argc, argv);
    const int rc = frameworkInit(argc, argv, registerAll);
    std::printf("EXIT %d THREADS %d\n", rc, threadCount());
    std::fflush(stdout);
    return rc == 0 ? 0 : 1;
}
