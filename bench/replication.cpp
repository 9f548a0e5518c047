// Replication of an incoming TCP channel: messages per second and the latency
// from the client's send to the owning thread's callback, for the channel
// replicated to a standby on loopback (the active delivers each message only
// once the standby has acknowledged it) beside the same channel unreplicated;
// and, as the yardstick of the added latency, the round trip of a bare topic
// message (one application publishes, the other answers on a second topic).
//
// Every party is a framework application of its own, started from this
// program (it runs itself with --role). Each figure is the median of ROUNDS
// rounds, the unreplicated and the replicated rounds alternating, and the
// rate's ratio the median of the rounds' own ratios; a round is a burst of
// BURST messages sent as fast as the socket takes them (throughput: messages
// over the time from the first send to the last delivery) and a paced run of
// PACED messages, one every PACE_US microseconds (latency percentiles,
// without queueing behind a burst).
// Processes share a network namespace of their own where one can be made.
//
//   bench_replication            the table
//   bench_replication --role ... one party (internal)
#include <FendralServices/api/FwServices.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <signal.h>
#include <sstream>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{
const int ROUNDS = std::getenv("BENCH_ROUNDS") != nullptr ? std::atoi(std::getenv("BENCH_ROUNDS")) : 5;
constexpr long BURST = 100000;
constexpr long PACED = 4000;
constexpr int PACE_US = 250;
constexpr long PINGS = 4000;
constexpr size_t BODY = 100;

int64_t nowNs()
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void say(const std::string& text)
{
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
}

// The body of a frame: send time, sequence number (-1 ends a phase), phase.
struct Body
{
    int64_t sendNs;
    int64_t seq;
    int32_t phase;
};

// ---- the parties (framework applications) ----

std::string g_role;
int g_port = 0;
bool g_replicate = false;
std::vector<int64_t> g_lat;
long g_count = 0;
int64_t g_firstSendNs = 0;
int64_t g_lastRecvNs = 0;

std::string percentiles(std::vector<int64_t>& v)
{
    if (v.empty())
        return "0 0";
    std::sort(v.begin(), v.end());
    const int64_t p50 = v[v.size() / 2];
    const int64_t p99 = v[std::min(v.size() - 1, v.size() * 99 / 100)];
    return std::to_string(p50) + " " + std::to_string(p99);
}

void onFeed(const DataMsg& d)
{
    if (d.dataLen < 10 + static_cast<int>(sizeof(Body)))
        return;
    Body b{};
    std::memcpy(&b, d.bufPtr + 10, sizeof b);
    const int64_t now = nowNs();
    if (b.seq < 0)
    {
        say("PHASE " + std::to_string(b.phase) + " " + std::to_string(g_count) + " " +
            std::to_string(g_lastRecvNs - g_firstSendNs) + " " + percentiles(g_lat));
        g_count = 0;
        g_lat.clear();
        return;
    }
    if (g_count++ == 0)
        g_firstSendNs = b.sendNs;
    g_lastRecvNs = now;
    g_lat.push_back(now - b.sendNs);
}

// Ping-pong over two topics.
long g_pingSeq = 0;
int64_t g_pingSentNs = 0;
bool g_pingReady[3] = {false, false, false}; // PING published, joined, PONG subscribed
long g_timer = 0;

void sendPing()
{
    Body b{nowNs(), ++g_pingSeq, 0};
    g_pingSentNs = b.sendNs;
    unsigned long seq = 0;
    sendTopicMessage("PING", reinterpret_cast<const char*>(&b), sizeof b, &seq, 0, nullptr, false);
}

void onPong(const DataMsg& d)
{
    Body b{};
    if (d.dataLen < static_cast<int>(sizeof b))
        return;
    std::memcpy(&b, d.bufPtr, sizeof b);
    if (b.seq != g_pingSeq)
        return;
    g_lat.push_back(nowNs() - b.sendNs);
    if (static_cast<long>(g_lat.size()) == PINGS)
    {
        say("RTT " + percentiles(g_lat));
        g_lat.clear();
    }
    sendPing();
}

int onMessage(MessageType type, EventMsg* evt, DataMsg* data)
{
    if (type == MSG_DATA && data != nullptr)
    {
        if (data->chnType == TCP_CHANNEL)
            onFeed(*data);
        else if (g_role == "pong")
        {
            unsigned long seq = 0;
            sendTopicMessage("PONG", data->bufPtr, data->dataLen, &seq, 0, nullptr, false);
        }
        else if (g_role == "ping")
            onPong(*data);
        return 0;
    }
    if (type != MSG_EVENT || evt == nullptr)
        return 0;
    const std::string res(evt->eventParam.resNameTxt, strnlen(evt->eventParam.resNameTxt, 16));
    switch (evt->id)
    {
    case APP_READY:
        // The ping's start (and a first ping lost) are driven from a timer.
        if (g_role == "ping" && (createTimer("PING", 10, true, g_timer) != 0 || startTimer(g_timer) != 0))
            say("TIMER_ERROR");
        say("UP");
        break;
    case TOPIC_PUB_READY_TO_OPEN:
        sendMsgServiceEvent(res.c_str(), TOPIC_PUBLISH, nullptr);
        break;
    case TOPIC_SUB_READY_TO_OPEN:
        sendMsgServiceEvent(res.c_str(), TOPIC_SUBSCRIBE, nullptr);
        break;
    case TOPIC_PUBLISH_ACK:
        g_pingReady[0] |= res == "PING";
        break;
    case TOPIC_SUBSCRIBE_ACK:
        g_pingReady[2] |= res == "PONG";
        break;
    case ACTIVE_SUBSCRIBER_JOINED:
        g_pingReady[1] |= res == "PING";
        break;
    case TIMER:
        // Start once both ways are open; a ping lost before then is sent again.
        if (g_role == "ping" && g_pingReady[0] && g_pingReady[1] && g_pingReady[2] &&
            (g_pingSeq == 0 || nowNs() - g_pingSentNs > 200000000))
            sendPing();
        break;
    default:
        break;
    }
    return 0;
}

int registerTopic(const char* name, MsgTopicOpenType open)
{
    MsgTopicParam topic;
    if (initStructParam(MSG_TOPIC_PARAM, &topic, sizeof(topic)) != 0)
        return -1;
    copyResourceName(topic.topicNameTxt, name);
    copyResourceName(topic.threadNameTxt, "APP1");
    topic.openType = open;
    topic.openAtStartup = false;
    return registerMsgTopic(&topic);
}

int registerAll()
{
    ThreadParam thread;
    if (initStructParam(THREAD_PARAM, &thread, sizeof(thread)) != 0)
        return -1;
    copyResourceName(thread.threadNameTxt, "APP1");
    if (registerThread(&thread) != 0 || registerMessageCallback("APP1", onMessage) != 0)
        return -1;
    if (g_role == "ping")
        return registerTopic("PING", PUBLISH) != 0 || registerTopic("PONG", SUBSCRIBE) != 0 ? -1 : 0;
    if (g_role == "pong")
        return registerTopic("PING", SUBSCRIBE) != 0 || registerTopic("PONG", PUBLISH) != 0 ? -1 : 0;
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
    tcp.replicationMode = g_replicate ? INPUT_REPLICATION : NO_REPLICATION;
    return registerListenTcpConnection(&tcp);
}

int runParty(int argc, char** argv)
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
        if (key == "--role")
            g_role = value;
        else if (key == "--app")
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
        else if (key == "--replicate")
            g_replicate = value == "1";
    }
    g_lat.reserve(1 << 20);
    char data[16] = {};
    char ack[16] = {};
    unsigned dataPort = 0;
    unsigned ackPort = 0;
    std::sscanf(repl.c_str(), "%15[^:]:%u,%15[^:]:%u", data, &dataPort, ack, &ackPort);
    const int rc = frameworkInit("bench_replication", app.data(), inst, PRIMARY_SITE, static_cast<AppMode>(mode),
                                 config.c_str(), logDir.c_str(), nullptr, nullptr, data,
                                 static_cast<unsigned short>(dataPort), ack, static_cast<unsigned short>(ackPort),
                                 NO_META_CMD, registerAll);
    return rc == 0 ? 0 : 1;
}

// ---- the driver ----

bool isolateNetwork()
{
    if (::unshare(CLONE_NEWNET) != 0)
        return false;
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    ifreq req{};
    std::strcpy(req.ifr_name, "lo");
    const bool up = fd >= 0 && ::ioctl(fd, SIOCGIFFLAGS, &req) == 0 &&
                    (req.ifr_flags |= IFF_UP | IFF_MULTICAST, ::ioctl(fd, SIOCSIFFLAGS, &req) == 0);
    if (fd >= 0)
        ::close(fd);
    return up;
}

uint16_t freePort(int type)
{
    const int fd = ::socket(AF_INET, type, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

std::string readAll(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class Party
{
public:
    Party(const std::string& dir, std::vector<std::string> args) : m_out(dir + "/out")
    {
        std::filesystem::create_directories(dir);
        args.insert(args.begin(), "/proc/self/exe");
        args.push_back("--logdir");
        args.push_back(dir);
        m_pid = ::fork();
        if (m_pid == 0)
        {
            const int out = ::open(m_out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(out, STDOUT_FILENO);
            ::dup2(out, STDERR_FILENO);
            std::vector<char*> argv;
            for (std::string& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv("/proc/self/exe", argv.data());
            ::_exit(127);
        }
    }
    ~Party()
    {
        ::kill(m_pid, SIGTERM);
        for (int i = 0; i < 300 && ::waitpid(m_pid, nullptr, WNOHANG) != m_pid; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
    std::string out() const { return readAll(m_out); }
    // The lines starting with prefix, waiting up to limit for the n-th.
    std::vector<std::string> lines(const std::string& prefix, size_t n, int limitMs) const
    {
        std::vector<std::string> found;
        for (int waited = 0;; waited += 10)
        {
            found.clear();
            std::istringstream in(out());
            for (std::string l; std::getline(in, l);)
                if (l.rfind(prefix, 0) == 0)
                    found.push_back(l);
            if (found.size() >= n || waited > limitMs)
                return found;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

private:
    std::string m_out;
    pid_t m_pid = -1;
};

class Feed
{
public:
    explicit Feed(uint16_t port)
    {
        for (int tries = 0; tries < 3000; ++tries)
        {
            m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(port);
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (::connect(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
                break;
            ::close(m_fd);
            m_fd = -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        const int one = 1;
        ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    ~Feed() { ::close(m_fd); }
    bool ok() const { return m_fd >= 0; }

    void send(int64_t seq, int32_t phase)
    {
        char frame[10 + BODY] = {};
        frame[0] = static_cast<char>(BODY & 0xff);
        frame[1] = static_cast<char>(BODY >> 8);
        const Body b{nowNs(), seq, phase};
        std::memcpy(frame + 10, &b, sizeof b);
        size_t off = 0;
        while (off < sizeof frame)
        {
            const ssize_t n = ::send(m_fd, frame + off, sizeof frame - off, MSG_NOSIGNAL);
            if (n <= 0)
                return;
            off += static_cast<size_t>(n);
        }
    }

private:
    int m_fd = -1;
};

struct Figures
{
    double rate = 0; // messages per second
    double p50 = 0;  // microseconds
    double p99 = 0;
};

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// One measured set-up: the feed into FEED of the party that prints its
// phases. Rounds of the set-ups alternate, so that the host's load, which
// moves single rounds by half, weighs on each alike.
class FeedRun
{
public:
    FeedRun(uint16_t port, const Party& reader) : m_feed(port), m_reader(reader) {}

    // Warm-up, and the standby's subscription settled.
    bool warmUp()
    {
        if (!m_feed.ok())
            return false;
        for (int i = 0; i < 1000; ++i)
            m_feed.send(i, m_phase);
        return endPhase();
    }

    // A burst, then a paced run. Each phase starts once the last one is
    // through, so that the paced run never queues behind a burst.
    bool round()
    {
        for (long i = 0; i < BURST; ++i)
            m_feed.send(i, m_phase);
        if (!endPhase())
            return false;
        for (long i = 0; i < PACED; ++i)
        {
            const int64_t due = nowNs() + PACE_US * 1000;
            m_feed.send(i, m_phase);
            while (nowNs() < due)
            {
            }
        }
        return endPhase();
    }

    // Per round: messages per second of its burst, p50 and p99 of its paced run.
    void results(std::vector<double>& rates, std::vector<double>& p50s, std::vector<double>& p99s) const
    {
        const std::vector<std::string> phases = m_reader.lines("PHASE ", static_cast<size_t>(m_phase), 1000);
        for (int p = 1; p < m_phase && static_cast<size_t>(p) < phases.size(); ++p)
        {
            int id = 0;
            long count = 0;
            long long spanNs = 0;
            long long p50 = 0;
            long long p99 = 0;
            std::sscanf(phases[static_cast<size_t>(p)].c_str(), "PHASE %d %ld %lld %lld %lld", &id, &count, &spanNs,
                        &p50, &p99);
            if (p % 2 == 1)
                rates.push_back(spanNs > 0 ? static_cast<double>(count) * 1e9 / static_cast<double>(spanNs) : 0);
            else
            {
                p50s.push_back(static_cast<double>(p50) / 1000.0);
                p99s.push_back(static_cast<double>(p99) / 1000.0);
            }
        }
    }

private:
    bool endPhase()
    {
        m_feed.send(-1, m_phase++);
        return m_reader.lines("PHASE ", static_cast<size_t>(m_phase), 120000).size() >= static_cast<size_t>(m_phase);
    }

    Feed m_feed;
    const Party& m_reader;
    int32_t m_phase = 0;
};

std::string group(int n)
{
    const unsigned pid = static_cast<unsigned>(::getpid());
    return "239." + std::to_string(160 + pid % 60) + "." + std::to_string((pid / 100) % 250) + "." +
           std::to_string(n);
}

int runDriver()
{
    const bool isolated = isolateNetwork();
    std::string pattern = (std::filesystem::temp_directory_path() / "benchReplXXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
        return 1;
    const std::string dir = pattern;
    auto udp = [] { return std::to_string(freePort(SOCK_DGRAM)); };
    const std::string config =
        "FW_AGT_OPTION INT32 0\nTHD_TERM_TIMEOUT INT32 5\n"
        "MCAST_RC_ADDR STRING " + group(1) + "\nMCAST_RC_PORT UINT16 " + udp() +
        "\nMCAST_RAC_ADDR STRING " + group(2) + "\nMCAST_RAC_PORT UINT16 " + udp() +
        "\nMCAST_DC_ADDR STRING " + group(3) + "\nMCAST_DC_PORT UINT16 " + udp() +
        "\nMCAST_DAC_ADDR STRING " + group(4) + "\nMCAST_DAC_PORT UINT16 " + udp() +
        "\nMCAST_DC_ADDR_RG INT32 1\nMCAST_DC_PORT_RG INT32 1\n"
        "MSG_SVR_SUBNET STRING 127.0.0.0\nMSL_MCAST_TTL UINT16 " + std::string(isolated ? "1" : "0") +
        "\nMSL_LOOPBACK INT32 1\nSUBSCRIB_STS_EVT UINT32 1\nRQS_TIMEOUT INT32 50\nMSL_TM_INTERVAL INT32 10\n"
        "MCAST_RECV_BUF INT32 8388608\nMCAST_SEND_BUF INT32 8388608\nMSG_QUE_LEN INT32 8192\n";
    std::ofstream(dir + "/fw.cfg") << config;
    // The same with the replicator's queue as long as the application's and
    // the stream thread retrying what it parked every 20 ms instead of at its
    // 500 ms status tick: what the default replicated rate is bound by.
    std::ofstream(dir + "/tuned.cfg") << config << "REPLICATOR_Q_LEN INT32 8192\nSTS_RPT_INTERVAL INT32 20\n";
    const std::string repl = group(5) + ":" + udp() + "," + group(6) + ":" + udp();
    const std::string appBase = "B" + std::to_string(::getpid() % 100000);
    auto party = [&](const std::string& name, const std::string& app, int inst, int mode, const std::string& role,
                     uint16_t port, bool replicate, const char* cfg = "fw.cfg") {
        return std::make_unique<Party>(
            dir + "/" + name,
            std::vector<std::string>{"--role", role, "--app", app, "--inst", std::to_string(inst), "--mode",
                                     std::to_string(mode), "--config", dir + "/" + cfg, "--port",
                                     std::to_string(port), "--repl", repl, "--replicate", replicate ? "1" : "0"});
    };
    // The unreplicated channel and the replicated one run side by side,
    // their rounds alternating; the tuned pair runs after them, alone (a
    // standby reads every replication datagram on its host, its own or not).
    std::vector<double> rates[3];
    std::vector<double> p50s[3];
    std::vector<double> p99s[3];
    bool ok = true;
    {
        const uint16_t plainPort = freePort(SOCK_STREAM);
        const uint16_t replPort = freePort(SOCK_STREAM);
        auto plainApp = party("plain", appBase + "p", 0, 0, "feed", plainPort, false);
        auto active = party("active", appBase + "r", 0, 0, "feed", replPort, true);
        auto standby = party("standby", appBase + "r", 1, 1, "feed", replPort, true);
        for (const Party* p : {plainApp.get(), active.get(), standby.get()})
            ok &= !p->lines("UP", 1, 30000).empty();
        std::this_thread::sleep_for(std::chrono::seconds(1)); // the standby's subscription
        FeedRun plainRun(plainPort, *plainApp);
        FeedRun replRun(replPort, *active);
        ok = ok && plainRun.warmUp() && replRun.warmUp();
        for (int r = 0; r < ROUNDS && ok; ++r)
            ok = plainRun.round() && replRun.round();
        plainRun.results(rates[0], p50s[0], p99s[0]);
        replRun.results(rates[1], p50s[1], p99s[1]);
    }
    {
        const uint16_t port = freePort(SOCK_STREAM);
        auto active = party("active-tuned", appBase + "t", 0, 0, "feed", port, true, "tuned.cfg");
        auto standby = party("standby-tuned", appBase + "t", 1, 1, "feed", port, true, "tuned.cfg");
        ok &= !active->lines("UP", 1, 30000).empty() && !standby->lines("UP", 1, 30000).empty();
        std::this_thread::sleep_for(std::chrono::seconds(1));
        FeedRun run(port, *active);
        ok = ok && run.warmUp();
        for (int r = 0; r < ROUNDS && ok; ++r)
            ok = run.round();
        run.results(rates[2], p50s[2], p99s[2]);
    }
    Figures figures[3];
    for (int i = 0; i < 3; ++i)
        figures[i] = Figures{median(rates[i]), median(p50s[i]), median(p99s[i])};
    const Figures& plain = figures[0];
    const Figures& replicated = figures[1];
    const Figures& tuned = figures[2];
    // The rate's ratio within each round, where both ran under one load.
    std::vector<double> ratios;
    for (size_t r = 0; r < rates[0].size() && r < rates[1].size(); ++r)
        if (rates[0][r] > 0)
            ratios.push_back(rates[1][r] / rates[0][r]);
    std::vector<double> rtt50;
    std::vector<double> rtt99;
    {
        auto pong = party("pong", appBase + "o", 0, 0, "pong", 0, false);
        auto ping = party("ping", appBase + "i", 0, 0, "ping", 0, false);
        const std::vector<std::string> rtts = ping->lines("RTT ", static_cast<size_t>(ROUNDS) + 1, 120000);
        for (size_t i = 1; i < rtts.size(); ++i) // the first warms up
        {
            long long p50 = 0;
            long long p99 = 0;
            std::sscanf(rtts[i].c_str(), "RTT %lld %lld", &p50, &p99);
            rtt50.push_back(static_cast<double>(p50) / 1000.0);
            rtt99.push_back(static_cast<double>(p99) / 1000.0);
        }
        ok &= rtts.size() == static_cast<size_t>(ROUNDS) + 1;
    }
    std::string load = readAll("/proc/loadavg");
    load.erase(load.find_last_not_of('\n') + 1);
    const double rtt = median(rtt50);
    std::printf("Replication of an incoming TCP channel (%s; median of %d rounds; %ld-message bursts, %ld paced "
                "at %d us)\nload: %s\n\n",
                isolated ? "own network namespace" : "host loopback", ROUNDS, BURST, PACED, PACE_US, load.c_str());
    std::printf("| case | msg/s | p50 us | p99 us |\n|---|---|---|---|\n");
    std::printf("| TCP channel, unreplicated | %.0f | %.1f | %.1f |\n", plain.rate, plain.p50, plain.p99);
    std::printf("| TCP channel, replicated to a standby | %.0f | %.1f | %.1f |\n", replicated.rate, replicated.p50,
                replicated.p99);
    std::printf("| the same, replicator queue 8192, stream retry 20 ms | %.0f | %.1f | %.1f |\n", tuned.rate, tuned.p50,
                tuned.p99);
    std::printf("| topic message and answer, round trip | - | %.1f | %.1f |\n\n", rtt, median(rtt99));
    const double ratio = median(ratios);
    const double added = replicated.p50 - plain.p50;
    std::printf("rate ratio %.2f, median of the rounds' own (%.2f to %.2f; goal >= 0.5): %s\n"
                "added p50 %.1f us = %.2f x round trip (goal <= 1.5): %s\n",
                ratio, ratios.empty() ? 0 : *std::min_element(ratios.begin(), ratios.end()),
                ratios.empty() ? 0 : *std::max_element(ratios.begin(), ratios.end()), ratio >= 0.5 ? "met" : "not met",
                added, rtt > 0 ? added / rtt : 0, rtt > 0 && added <= 1.5 * rtt ? "met" : "not met");
    std::error_code ignored;
    if (ok && std::getenv("BENCH_KEEP_LOGS") == nullptr)
        std::filesystem::remove_all(dir, ignored);
    else
        std::fprintf(stderr, "logs kept in %s\n", dir.c_str());
    return ok ? 0 : 1;
}
} // namespace

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--role") == 0)
            return runParty(argc, argv);
    return runDriver();
}
