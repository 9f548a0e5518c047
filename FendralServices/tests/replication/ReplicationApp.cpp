// A framework application with a replicated TCP server channel, for the
// replication process tests: run once active and once standby, it prints
// every message its thread gets, so a test can compare what each instance's
// application holds.
//
//   repl_app --app ID --inst N --mode 0|1 --config FILE --logdir DIR --port P
//            --repl GROUP:PORT,GROUP:PORT
//
// Thread APP1 owns the TCP server "FEED" (127.0.0.1:P, input replication,
// frames of a 10-byte header whose first two bytes are the little-endian
// body size). Each message of FEED is one line "RECV <flag> <body>" on
// standard output, flag being the replication flag it came with. SIGTERM
// stops the process (exit status 0).
#include <FendralServices/api/FwServices.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace
{
int g_port = 0;

int onMessage(MessageType type, EventMsg* evt, DataMsg* data)
{
    if (type == MSG_DATA && data != nullptr && data->chnType == TCP_CHANNEL && data->dataLen >= 10)
    {
        std::printf("RECV %d %.*s\n", static_cast<int>(data->replicationFlag), data->dataLen - 10, data->bufPtr + 10);
        std::fflush(stdout);
    }
    else if (type == MSG_EVENT && evt != nullptr &&
             (evt->id == NEW_CONNECT || evt->id == CONNECTED || evt->id == DISCONNECTED))
    {
        std::printf("EVENT %d %.16s %d\n", evt->id, evt->eventParam.resNameTxt, static_cast<int>(evt->replicationFlag));
        std::fflush(stdout);
    }
    return 0;
}

int registerAll()
{
    ThreadParam thread;
    if (initStructParam(THREAD_PARAM, &thread, sizeof(thread)) != 0)
        return -1;
    copyResourceName(thread.threadNameTxt, "APP1");
    if (registerThread(&thread) != 0 || registerMessageCallback("APP1", onMessage) != 0)
        return -1;
    TcpConnParam tcp;
    if (initStructParam(TCPCONN_PARAM, &tcp, sizeof(tcp)) != 0)
        return -1;
    copyResourceName(tcp.connNameTxt, "FEED");
    copyResourceName(tcp.threadNameTxt, "APP1");
    std::snprintf(tcp.interfaceTxt, sizeof tcp.interfaceTxt, "127.0.0.1");
    tcp.tcpMode = TCP_SERVER_LISTEN_MODE;
    tcp.localPort = static_cast<unsigned short>(g_port);
    tcp.msgFormat = MSG_FORMAT_QUOR;
    tcp.connectAtStartup = true;
    tcp.replicationMode = INPUT_REPLICATION;
    return registerListenTcpConnection(&tcp);
}
} // namespace

int main(int argc, char** argv)
{
    std::string app = "APP";
    int inst = 0;
    int mode = ACTIVE_MODE;
    std::string config;
    std::string logDir = "/tmp";
    std::string repl;
    for (int i = 1; i + 1 < argc; i += 2)
    {
        const std::string key = argv[i];
        const std::string value = argv[i + 1];
        if (key == "--app")
            app = value;
        else if (key == "--inst")
            inst = std::atoi(value.c_str());
        else if (key == "--mode")
            mode = std::atoi(value.c_str());
        else if (key == "--config")
            config = value;
        else if (key == "--logdir")
            logDir = value;
        else if (key == "--port")
            g_port = std::atoi(value.c_str());
        else if (key == "--repl")
            repl = value;
    }
    char data[16] = {};
    char ack[16] = {};
    unsigned dataPort = 0;
    unsigned ackPort = 0;
    if (std::sscanf(repl.c_str(), "%15[^:]:%u,%15[^:]:%u", data, &dataPort, ack, &ackPort) != 4)
    {
        std::printf("--repl wants GROUP:PORT,GROUP:PORT\n");
        return 2;
    }
    const int rc = frameworkInit("repl_app", app.data(), inst, PRIMARY_SITE, static_cast<AppMode>(mode),
                                 config.c_str(), logDir.c_str(), nullptr, nullptr, data,
                                 static_cast<unsigned short>(dataPort), ack, static_cast<unsigned short>(ackPort),
                                 NO_META_CMD, registerAll);
    if (rc != 0)
    {
        std::printf("FrameworkInit failed. Error [%d]\n", getErrorCode());
        return 1;
    }
    return 0;
}
