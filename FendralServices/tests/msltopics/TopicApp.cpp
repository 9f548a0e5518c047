// A framework application on the exported interface that publishes or
// subscribes to one topic, for the end-to-end tests and the long runs.
//
//   msl_topic_app --role pub|sub --app ID --inst N --config FILE --logdir DIR
//                 [--topic NAME] [--count N] [--subs K] [--rate MSG_PER_S]
//                 [--groups DATA:PORT,ACK:PORT]
//
// A publisher opens the topic, waits until K subscribers acknowledge, then
// sends messages 1..N of mixed sizes (1 to 3 parts) at about the rate
// given, and prints "SENT <n>". A subscriber opens the topic, prints
// "READY", checks that every message arrives once, in order and intact, and
// prints "DONE <received> <errors>" after the N-th, and "GAP <n>" when it
// hears that the messages after n cannot be recovered. Lines go to standard
// output; SIGTERM stops the process (exit status 0). Without --groups the
// topic takes the groups of the configuration's pool.
#include <FendralServices/api/FwServices.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace
{
std::string g_role = "sub";
std::string g_topic = "QUOTES";
long g_count = 1000;
long g_subs = 1;
long g_rate = 20000;
std::string g_groups;

// Publisher.
bool g_published = false;
long g_joined = 0;
long g_sent = 0;
long g_timer = 0;
std::chrono::steady_clock::time_point g_start;

// Subscriber.
long g_received = 0;
long g_errors = 0;

std::string g_buf;

void say(const char* format, long a = 0, long b = 0)
{
    std::printf(format, a, b);
    std::printf("\n");
    std::fflush(stdout);
}

size_t sizeOf(long index)
{
    return 8 + static_cast<size_t>((static_cast<unsigned long>(index) * 2654435761ul) % 3000);
}

void fill(long index)
{
    g_buf.resize(sizeOf(index));
    std::memcpy(g_buf.data(), &index, sizeof(index));
    for (size_t i = sizeof(index); i < g_buf.size(); ++i)
        g_buf[i] = static_cast<char>((index + static_cast<long>(i)) & 0xFF);
}

void startSending()
{
    if (g_timer != 0 || !g_published || g_joined < g_subs)
        return;
    g_start = std::chrono::steady_clock::now();
    if (createTimer("SEND", 1, true, g_timer) != 0 || startTimer(g_timer) != 0)
        say("TIMER_ERROR %ld", getErrorCode());
}

void sendSome()
{
    // Up to where the rate says by now.
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - g_start).count();
    const long due = std::min(g_count, static_cast<long>(elapsed * static_cast<double>(g_rate)) + 1);
    while (g_sent < due)
    {
        fill(g_sent + 1);
        unsigned long seq = 0;
        const int rc = sendTopicMessage(g_topic.c_str(), g_buf.data(), static_cast<int>(g_buf.size()), &seq,
                                        static_cast<unsigned long>(g_sent + 1), nullptr, false);
        if (rc != 0)
        {
            const int code = getErrorCode();
            if (code == WOULD_BLOCK)
                return; // the window is full: the next tick goes on
            if (code != MSL_NO_SUBSCRIBER)
            {
                say("SEND_ERROR %ld", code);
                return;
            }
        }
        ++g_sent;
    }
    if (g_sent == g_count)
    {
        stopTimer(g_timer);
        say("SENT %ld", g_sent);
    }
}

void received(const DataMsg& d)
{
    const long expect = g_received + 1;
    long index = -1;
    if (d.dataLen >= 8)
        std::memcpy(&index, d.bufPtr, sizeof(index));
    bool ok = index == expect && static_cast<size_t>(d.dataLen) == sizeOf(index);
    for (int i = 8; ok && i < d.dataLen; ++i)
        ok = d.bufPtr[i] == static_cast<char>((index + i) & 0xFF);
    if (!ok)
    {
        if (g_errors++ < 5)
            say("BAD expected %ld got %ld", expect, index);
    }
    g_received = index > 0 ? index : g_received + 1;
    if (g_received == g_count)
        say("DONE %ld %ld", g_received, g_errors);
}

int onMessage(MessageType type, EventMsg* evt, DataMsg* data)
{
    if (type == MSG_DATA && data != nullptr)
    {
        if (data->chnType == MSG_TOPIC_CHANNEL)
            received(*data);
        return 0;
    }
    if (type != MSG_EVENT || evt == nullptr)
        return 0;
    const EventParam& p = evt->eventParam;
    switch (evt->id)
    {
    case TOPIC_PUB_READY_TO_OPEN:
        sendMsgServiceEvent(g_topic.c_str(), TOPIC_PUBLISH, nullptr);
        break;
    case TOPIC_SUB_READY_TO_OPEN:
        sendMsgServiceEvent(g_topic.c_str(), TOPIC_SUBSCRIBE, nullptr);
        break;
    case TOPIC_PUBLISH_ACK:
        if (p.paramInt16 == -1)
            say("OPEN_ERROR %ld", p.paramInt32);
        g_published = p.paramInt16 != -1;
        startSending();
        break;
    case TOPIC_SUBSCRIBE_ACK:
        if (p.paramInt16 == -1)
            say("OPEN_ERROR %ld", p.paramInt32);
        else
            say("READY");
        break;
    case ACTIVE_SUBSCRIBER_JOINED:
        ++g_joined;
        startSending();
        break;
    case ACTIVE_SUBSCRIBER_LEFT:
        --g_joined;
        break;
    case TIMER:
        sendSome();
        break;
    case UNRECOVERABLE_TOPIC_MSG_GAP:
        say("GAP %ld", static_cast<long>(p.paramInt64));
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
    MsgTopicParam topic;
    if (initStructParam(MSG_TOPIC_PARAM, &topic, sizeof(topic)) != 0)
        return -1;
    copyResourceName(topic.topicNameTxt, g_topic.c_str());
    copyResourceName(topic.threadNameTxt, "APP1");
    topic.openType = g_role == "pub" ? PUBLISH : SUBSCRIBE;
    topic.openAtStartup = false;
    char data[16] = {};
    char ack[16] = {};
    unsigned dataPort = 0;
    unsigned ackPort = 0;
    if (!g_groups.empty())
    {
        if (std::sscanf(g_groups.c_str(), "%15[^:]:%u,%15[^:]:%u", data, &dataPort, ack, &ackPort) != 4)
            return -1;
        std::snprintf(topic.topicDataMcastTxt, sizeof topic.topicDataMcastTxt, "%s", data);
        std::snprintf(topic.topicAckMcastTxt, sizeof topic.topicAckMcastTxt, "%s", ack);
        topic.topicDataPortNum = static_cast<unsigned short>(dataPort);
        topic.topicAckPortNum = static_cast<unsigned short>(ackPort);
    }
    return registerMsgTopic(&topic);
}
} // namespace

int main(int argc, char** argv)
{
    std::string app = "APP";
    int inst = 1;
    std::string config;
    std::string logDir = "/tmp";
    for (int i = 1; i + 1 < argc; i += 2)
    {
        const std::string key = argv[i];
        const std::string value = argv[i + 1];
        if (key == "--role")
            g_role = value;
        else if (key == "--app")
            app = value;
        else if (key == "--inst")
            inst = std::atoi(value.c_str());
        else if (key == "--config")
            config = value;
        else if (key == "--logdir")
            logDir = value;
        else if (key == "--topic")
            g_topic = value;
        else if (key == "--count")
            g_count = std::atol(value.c_str());
        else if (key == "--subs")
            g_subs = std::atol(value.c_str());
        else if (key == "--rate")
            g_rate = std::atol(value.c_str());
        else if (key == "--groups")
            g_groups = value;
    }
    g_buf.reserve(4096);
    const int rc = frameworkInit("msl_topic_app", app.data(), inst, PRIMARY_SITE, ACTIVE_MODE, config.c_str(),
                                 logDir.c_str(), nullptr, nullptr, nullptr, 0, nullptr, 0, NO_META_CMD, registerAll);
    if (rc != 0)
    {
        std::printf("FrameworkInit failed. Error [%d]\n", getErrorCode());
        return 1;
    }
    return 0;
}
