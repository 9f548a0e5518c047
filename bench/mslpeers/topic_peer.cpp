// Our topics in the messaging comparison: a framework application on the
// exported interface that publishes or subscribes to one topic.
//
//   msl_bench_topic --role pub|sub --config FILE --logdir DIR --app ID
//                   --size BYTES --count N --rate MSG_PER_S (0: as fast as
//                   the window lets) --subs K --threads T [--history N]
//
// The publisher waits for K active subscribers, then T framework threads
// send N messages in all and it prints "SENT ..."; a subscriber prints "READY",
// and "RESULT ..." after the N-th message or at SIGTERM.
#include "PeerCommon.h"

#include <FendralServices/api/FwServices.h>

#include <atomic>
#include <sched.h>

namespace
{
const char* TOPIC = "BENCH";
std::string g_role;
long g_size = 64;
long g_count = 10000;
long g_rate = 0;
long g_subs = 1;
long g_threads = 1;
long g_history = 0; // the topic's history; 0: the registration's default
bool g_published = false;
long g_joined = 0;
bool g_started = false;
std::atomic<uint64_t> g_next{1};
std::atomic<long> g_done{0};
std::atomic<uint64_t> g_errors{0};
uint64_t g_start = 0;
peer::Receiver* g_receiver = nullptr;

void sendLoop()
{
    std::vector<char> buf(static_cast<size_t>(g_size));
    for (;;)
    {
        const uint64_t index = g_next.fetch_add(1);
        if (index > static_cast<uint64_t>(g_count))
            break;
        peer::pace(g_start, g_rate, index);
        for (;;)
        {
            peer::stamp(buf.data(), index);
            unsigned long seq = 0;
            if (sendTopicMessage(TOPIC, buf.data(), static_cast<int>(buf.size()), &seq, index, nullptr, false) == 0)
                break;
            const int code = getErrorCode();
            if (code == MSL_NO_SUBSCRIBER)
                break; // went out; nobody acknowledged yet
            if (code != WOULD_BLOCK)
            {
                ++g_errors;
                break;
            }
            sched_yield(); // the window is full
        }
    }
    if (g_done.fetch_add(1) + 1 == g_threads)
    {
        peer::reportSent(static_cast<uint64_t>(g_count), g_start);
        if (g_errors.load() != 0)
            std::printf("SEND_ERRORS %llu\n", static_cast<unsigned long long>(g_errors.load()));
        std::fflush(stdout);
    }
}

void startSending()
{
    if (g_started || !g_published || g_joined < g_subs)
        return;
    g_started = true;
    g_start = peer::nowNs();
    // Only framework threads may send: APP1 and SND2.. (a process has
    // eight application threads at most), each started by a message.
    for (long i = 1; i <= g_threads; ++i)
        if (sendThreadMessage(i == 1 ? "APP1" : ("SND" + std::to_string(i)).c_str(), "go", 2, false) != 0)
            std::printf("START_ERROR %d\n", getErrorCode());
}

int onSender(MessageType type, EventMsg*, DataMsg* data)
{
    if (type == MSG_DATA && data != nullptr)
        sendLoop();
    return 0;
}

int onMessage(MessageType type, EventMsg* evt, DataMsg* data)
{
    if (type == MSG_DATA && data != nullptr)
    {
        if (data->chnType == MSG_TOPIC_CHANNEL && g_receiver != nullptr &&
            g_receiver->onMessage(data->bufPtr, static_cast<size_t>(data->dataLen)))
            g_receiver->report();
        else if (data->chnType != MSG_TOPIC_CHANNEL && g_role == "pub")
            sendLoop();
        return 0;
    }
    if (type != MSG_EVENT || evt == nullptr)
        return 0;
    const EventParam& p = evt->eventParam;
    switch (evt->id)
    {
    case TOPIC_PUB_READY_TO_OPEN:
        sendMsgServiceEvent(TOPIC, TOPIC_PUBLISH, nullptr);
        break;
    case TOPIC_SUB_READY_TO_OPEN:
        sendMsgServiceEvent(TOPIC, TOPIC_SUBSCRIBE, nullptr);
        break;
    case TOPIC_PUBLISH_ACK:
        if (p.paramInt16 == -1)
            std::printf("OPEN_ERROR %d\n", p.paramInt32);
        g_published = p.paramInt16 != -1;
        startSending();
        break;
    case TOPIC_SUBSCRIBE_ACK:
        if (p.paramInt16 == -1)
            std::printf("OPEN_ERROR %d\n", p.paramInt32);
        else
            std::printf("READY\n");
        std::fflush(stdout);
        break;
    case ACTIVE_SUBSCRIBER_JOINED:
        ++g_joined;
        startSending();
        break;
    case ACTIVE_SUBSCRIBER_LEFT:
        --g_joined;
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
    for (long i = 2; g_role == "pub" && i <= g_threads; ++i)
    {
        const std::string name = "SND" + std::to_string(i);
        if (initStructParam(THREAD_PARAM, &thread, sizeof(thread)) != 0)
            return -1;
        copyResourceName(thread.threadNameTxt, name.c_str());
        if (registerThread(&thread) != 0 || registerMessageCallback(name.c_str(), onSender) != 0)
            return -1;
    }
    MsgTopicParam topic;
    if (initStructParam(MSG_TOPIC_PARAM, &topic, sizeof(topic)) != 0)
        return -1;
    copyResourceName(topic.topicNameTxt, TOPIC);
    copyResourceName(topic.threadNameTxt, "APP1");
    topic.openType = g_role == "pub" ? PUBLISH : SUBSCRIBE;
    topic.openAtStartup = false;
    if (g_history > 0)
        topic.historyBufSize = static_cast<int32_t>(g_history);
    return registerMsgTopic(&topic);
}
} // namespace

int main(int argc, char** argv)
{
    const peer::Options o(argc, argv);
    g_role = o.str("role", "sub");
    g_size = std::max<long>(static_cast<long>(peer::STAMP), o.num("size", 64));
    g_count = o.num("count", 10000);
    g_rate = o.num("rate", 0);
    g_subs = o.num("subs", 1);
    g_threads = std::max<long>(1, o.num("threads", 1));
    g_history = std::max<long>(0, o.num("history", 0));
    std::string app = o.str("app", g_role == "pub" ? "PUB1" : "SUB1");
    const std::string config = o.str("config", "");
    const std::string logDir = o.str("logdir", "/tmp");
    peer::Receiver receiver(g_count);
    if (g_role != "pub")
        g_receiver = &receiver;
    const int rc = frameworkInit("msl_bench_topic", app.data(), 1, PRIMARY_SITE, ACTIVE_MODE, config.c_str(),
                                 logDir.c_str(), nullptr, nullptr, nullptr, 0, nullptr, 0, NO_META_CMD, registerAll);
    if (g_receiver != nullptr)
        g_receiver->report();
    if (rc != 0)
    {
        std::printf("FrameworkInit failed. Error [%d]\n", getErrorCode());
        return 1;
    }
    return 0;
}
