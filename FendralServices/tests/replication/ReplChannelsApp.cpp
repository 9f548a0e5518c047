// A framework application with three replicated input channels, for the
// active/standby process tests: run once active and once standby, it prints
// a line for every message and connection event its thread gets, so a test
// can compare the two instances' applications record by record.
//
//   repl_channels_app --app ID --inst N --mode 0|1 --config FILE --logdir DIR
//                     --port P --mcast GROUP:PORT --repl GROUP:PORT,GROUP:PORT
//
// Thread APP1 owns, each with input replication:
// - the TCP server "FEED" (127.0.0.1:P, frames of a 10-byte header whose
//   first two bytes are the little-endian body size);
// - the multicast receiver "MFEED" (GROUP:PORT on 127.0.0.1);
// - the topic "QUOTES", subscribed when the framework offers it.
// Each message is one line "RECV <channel type> <replication flag> <length>
// <FNV-1a of the bytes>", each connection event "EVENT <id> <flag>", each
// notice of the replicator about its standby "REPLI <id> <status>"; "UP"
// once the application runs, "SUBSCRIBED" when the topic is open. SIGTERM
// stops the process (exit status 0).
#include <FendralServices/api/FwServices.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace
{
int g_port = 0;
std::string g_mcastGroup;
unsigned g_mcastPort = 0;

uint64_t fnv(const char* p, int len)
{
    uint64_t h = 1469598103934665603ull;
    for (int i = 0; i < len; ++i)
    {
        h ^= static_cast<unsigned char>(p[i]);
        h *= 1099511628211ull;
    }
    return h;
}

void line(const char* format, ...) __attribute__((format(printf, 1, 2)));
void line(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::printf("\n");
    std::fflush(stdout);
}

int onMessage(MessageType type, EventMsg* evt, DataMsg* data)
{
    if (type == MSG_DATA && data != nullptr)
    {
        line("RECV %d %d %d %016llx", static_cast<int>(data->chnType), static_cast<int>(data->replicationFlag),
             data->dataLen, static_cast<unsigned long long>(fnv(data->bufPtr, data->dataLen)));
        return 0;
    }
    if (type != MSG_EVENT || evt == nullptr)
        return 0;
    switch (evt->id)
    {
    case APP_READY:
        line("UP");
        break;
    case TOPIC_SUB_READY_TO_OPEN:
        sendMsgServiceEvent("QUOTES", TOPIC_SUBSCRIBE, nullptr);
        break;
    case TOPIC_SUBSCRIBE_ACK:
        line(evt->eventParam.paramInt16 == -1 ? "SUBSCRIBE_ERROR" : "SUBSCRIBED");
        break;
    case NEW_CONNECT:
    case CONNECTED:
    case DISCONNECTED:
        line("EVENT %d %d", evt->id, static_cast<int>(evt->replicationFlag));
        break;
    case REPLI_SUBSCRIBER_NOT_AVAIL:
    case REPLI_SUBSCRIBER_REJOINED:
        line("REPLI %d %ld", evt->id, static_cast<long>(evt->eventParam.paramInt64));
        break;
    default:
        break;
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
    if (registerListenTcpConnection(&tcp) != 0)
        return -1;

    UdpConnParam udp;
    if (initStructParam(UDPCONN_PARAM, &udp, sizeof(udp)) != 0)
        return -1;
    copyResourceName(udp.connNameTxt, "MFEED");
    copyResourceName(udp.threadNameTxt, "APP1");
    std::snprintf(udp.interfaceTxt, sizeof udp.interfaceTxt, "127.0.0.1");
    std::snprintf(udp.destAddrTxt, sizeof udp.destAddrTxt, "%s", g_mcastGroup.c_str());
    udp.port = static_cast<unsigned short>(g_mcastPort);
    udp.udpMode = MULTICAST_RECEIVER_MODE;
    udp.connectAtStartup = true;
    udp.recvBufSize = 4 * 1024 * 1024;
    udp.replicationMode = INPUT_REPLICATION;
    if (registerListenMulticastConnection(&udp) != 0)
        return -1;

    MsgTopicParam topic;
    if (initStructParam(MSG_TOPIC_PARAM, &topic, sizeof(topic)) != 0)
        return -1;
    copyResourceName(topic.topicNameTxt, "QUOTES");
    copyResourceName(topic.threadNameTxt, "APP1");
    topic.openType = SUBSCRIBE;
    topic.openAtStartup = false;
    topic.replicationMode = INPUT_REPLICATION;
    return registerMsgTopic(&topic);
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
    std::string mcast;
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
        else if (key == "--mcast")
            mcast = value;
    }
    char data[16] = {};
    char ack[16] = {};
    char group[16] = {};
    unsigned dataPort = 0;
    unsigned ackPort = 0;
    if (std::sscanf(repl.c_str(), "%15[^:]:%u,%15[^:]:%u", data, &dataPort, ack, &ackPort) != 4 ||
        std::sscanf(mcast.c_str(), "%15[^:]:%u", group, &g_mcastPort) != 2)
    {
        std::printf("--repl wants GROUP:PORT,GROUP:PORT and --mcast GROUP:PORT\n");
        return 2;
    }
    g_mcastGroup = group;
    const int rc = frameworkInit("repl_channels_app", app.data(), inst, PRIMARY_SITE, static_cast<AppMode>(mode),
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
