// The example configuration's whole road in the real rtsd: the feeder sends
// numbered packets with gaps to the example's loopback group, the line, the
// filter and the cache take them in, a client following the feed receives
// every message in order, requested ranges come back byte for byte with the
// feed's gaps answered 2, and the statistics reader shows each client's
// counters.
#include "rts/tests/host_process/RtsdProcess.h"
#include "rts/tests/rts_e2e/RtsdScenario.h"
#include "rts/tests/support/FreePort.h"
#include "rts/tests/support/RtsTestClient.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <thread>

using proctest::RtsdProcess;
using namespace rtstest;
using namespace std::chrono_literals;

namespace
{

constexpr std::uint32_t cLast = 3000;
constexpr std::size_t cSize = 40;
// The feed's gaps: one inside a packet of five, one of whole packets.
const std::vector<std::pair<std::uint32_t, std::uint32_t>> cGaps = {{1003, 1004}, {2601, 2610}};

bool inGap(std::uint32_t n)
{
    for (const auto& [first, last] : cGaps)
        if (n >= first && n <= last)
            return true;
    return false;
}

// Message n as the feeder sends it: u16 size, u16 type 0x0500, u32 n, then
// (n + i) & 0xFF at each offset i.
std::string fedMessage(std::uint32_t n, std::size_t size = cSize)
{
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((n + i) & 0xFF);
    std::string head;
    put16(head, static_cast<std::uint16_t>(size));
    put16(head, 0x0500);
    put32(head, n);
    return bytes.replace(0, head.size(), head);
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The value of the first `<key>` of `xml` becomes `value`; a key it lacks is added at the top level.
void setKey(std::string& xml, const std::string& key, const std::string& value)
{
    const std::string open = "<" + key + ">", close = "</" + key + ">";
    const std::size_t at = xml.find(open);
    if (at == std::string::npos)
    {
        xml.insert(xml.rfind("</rtsd>"), open + value + close + "\n");
        return;
    }
    const std::size_t from = at + open.size();
    xml.replace(from, xml.find(close, from) - from, value);
}

std::string run(const std::string& command, int& exitCode)
{
    std::string printed;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr)
    {
        exitCode = -1;
        return printed;
    }
    for (char buffer[512]; std::fgets(buffer, sizeof buffer, pipe) != nullptr;)
        printed += buffer;
    const int status = ::pclose(pipe);
    exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return printed;
}

std::uint64_t nowNanos()
{
    timespec t{};
    ::clock_gettime(CLOCK_REALTIME, &t);
    return static_cast<std::uint64_t>(t.tv_sec) * 1000000000ULL + static_cast<std::uint64_t>(t.tv_nsec);
}

// A logged-on client that answers heartbeats and checks that every control
// packet (logon answer, response, heartbeat) takes the next control number
// and that send times are whole milliseconds, never fall back, and lie
// between the logon and the packet's arrival.
class Session
{
public:
    bool logon(int port, const std::string& user)
    {
        mLastSendTime = nowNanos() / 1000000 * 1000000;
        if (!mClient.connect(port) || !mClient.send(rtstest::logon(user)))
            return false;
        const std::optional<Packet> p = next();
        return p && p->logonStatus() == 0;
    }

    // The status of a request, and its messages when accepted.
    int request(std::uint16_t channel, std::uint32_t begin, std::uint32_t end, std::vector<Message>& messages,
                std::vector<std::uint32_t>& numbers)
    {
        if (!mClient.send(rtstest::request(channel, begin, end)))
            return -1;
        const std::optional<Packet> r = next();
        if (!r || r->type() != 202)
            return -1;
        if (r->retransStatus() != 0)
            return r->retransStatus();
        for (std::uint32_t n = begin; n <= end;)
        {
            const std::optional<Packet> d = next();
            if (!d || d->type() == 202 || d->messages.empty())
                return -1;
            // A data packet carries its first message's number; one that
            // skips ahead is a fault, and counting goes on from it.
            if (d->seq != n)
                faults.push_back("packet numbered " + std::to_string(d->seq) + " where " + std::to_string(n) +
                                 " was due");
            n = d->seq;
            for (const Message& m : d->messages)
            {
                numbers.push_back(n++);
                messages.push_back(m);
            }
        }
        return 0;
    }

    std::vector<std::string> faults;

private:
    std::optional<Packet> next()
    {
        // Heartbeats come every second: they must not stretch the wait.
        const auto until = std::chrono::steady_clock::now() + 10s;
        while (true)
        {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
            std::optional<Packet> p = mClient.read(std::max(left, 1ms));
            if (!p)
                return p;
            const std::uint64_t after = nowNanos();
            if (p->sendTime % 1000000 != 0 || p->sendTime < mLastSendTime || p->sendTime > after)
                faults.push_back("send time " + std::to_string(p->sendTime) + " outside [" +
                                 std::to_string(mLastSendTime) + ", " + std::to_string(after) +
                                 "] or not whole milliseconds");
            mLastSendTime = std::max(mLastSendTime, p->sendTime);
            const bool control = p->isHeartbeat() || p->type() == 102 || p->type() == 202;
            if (control && p->seq != ++mControl)
                faults.push_back("control number " + std::to_string(p->seq) + " where " + std::to_string(mControl) +
                                 " was due");
            if (!p->isHeartbeat())
                return p;
            mClient.send(heartbeatEcho(p->seq));
        }
    }

    Client mClient;
    std::uint32_t mControl = 0;
    std::uint64_t mLastSendTime = 0;
};

// A UDP socket on 127.0.0.1 at a free port, taking one datagram at a time.
class Receiver
{
public:
    Receiver()
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(mFd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0
            && ::getsockname(mFd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            mPort = ntohs(a.sin_port);
    }
    ~Receiver() { ::close(mFd); }
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    int port() const { return mPort; }
    // The next datagram, empty when none comes within two seconds.
    std::string take()
    {
        pollfd p{mFd, POLLIN, 0};
        char buffer[2048];
        const ssize_t n = ::poll(&p, 1, 2000) == 1 ? ::recv(mFd, buffer, sizeof buffer, 0) : 0;
        return std::string(buffer, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    }

private:
    int mFd = ::socket(AF_INET, SOCK_DGRAM, 0);
    int mPort = 0;
};

std::string joined(const std::vector<std::string>& lines)
{
    std::string all;
    for (const std::string& l : lines)
        all += l + "\n";
    return all;
}

} // namespace

TEST(RtsdFeedRoad, TheExampleFedByTheFeederServesItsClients)
{
    // The example as it stands, on free ports and with this test's limits.
    RtsdProcess rtsd;
    std::string group = "239.255.47.1";
    if (!loopbackMulticastWorks(group))
    {
        std::cout << "multicast does not loop back on this machine: the line listens on 127.0.0.1 and is fed by "
                     "directed UDP\n";
        group = "127.0.0.1";
    }
    const int udpPort = freeUdpPort();
    StatsKeys keys;
    const std::string statsKey = keys.file(rtsd.dir()), queueKey = keys.file(rtsd.dir());
    ASSERT_FALSE(statsKey.empty() || queueKey.empty());
    rtsd.write("libstats.xml", readFile(EXAMPLE_DIR "/libstats.xml"));
    std::string stats = readFile(rtsd.dir() + "/libstats.xml");
    setKey(stats, "shm_key_filename", statsKey);
    setKey(stats, "latency_queues_managed_shared_memory_name", queueKey);
    rtsd.write("libstats.xml", stats);

    std::string xml = readFile(EXAMPLE_DIR "/rtsd.xml");
    ASSERT_NE(xml.find("<Listen>127.0.0.1/239.255.47.1/47100</Listen>"), std::string::npos) << xml;
    setKey(xml, "FwInitArg1", "RTSDFEED");
    setKey(xml, "FwInitArg5", EXAMPLE_DIR "/rtsd_fw.cfg");
    setKey(xml, "FwInitArg6", rtsd.dir());
    setKey(xml, "RtsTcpPort", std::to_string(rtsd.port()));
    setKey(xml, "Listen", "127.0.0.1/" + group + "/" + std::to_string(udpPort));
    setKey(xml, "ClientList",
           "<Client><UserName>demo</UserName><IpAddresses><Value>127.0.0.1</Value></IpAddresses>"
           "<Channels><Value>1</Value></Channels><MaximumRequests>100000</MaximumRequests></Client>"
           "<Client><UserName>eve</UserName><IpAddresses><Value>127.0.0.1</Value></IpAddresses>"
           "<Channels><Value>1</Value></Channels></Client>");
    setKey(xml, "RtsThrottleInterval", "10");
    setKey(xml, "RtsPacketsPerInterval", "1000");
    setKey(xml, "RtsMaxNumRejectRequests", "100000");
    setKey(xml, "RtsMaxSeqNumGap", "2000");
    setKey(xml, "RtsHeartbeatInterval", "1");
    // Room for the feed while a loaded machine holds rtsd back (the kernel caps it at its maximum).
    setKey(xml, "UdpBufferSize", "4194304");
    rtsd.start({"--config-file", rtsd.write("rtsd.xml", xml)});
    ASSERT_TRUE(rtsd.waitForOutput("Module initialization completed")) << rtsd.out() << rtsd.err();
    ASSERT_TRUE(rtsd.waitForOutput("joined multicast stream successfully")) << rtsd.out();

    // Meanwhile a client follows the feed: it asks for what should have come
    // next, up to the next gap, and again a little later while that is not there yet.
    std::vector<std::uint32_t> followed;
    std::vector<std::string> followerFaults;
    std::thread follower([&] {
        Session s;
        if (!s.logon(rtsd.port(), "demo"))
        {
            followerFaults.push_back("demo could not log on");
            return;
        }
        const auto until = std::chrono::steady_clock::now() + 30s;
        std::uint32_t next = 1;
        while (next <= cLast && std::chrono::steady_clock::now() < until)
        {
            while (inGap(next))
                ++next;
            std::uint32_t end = std::min(next + 99, cLast);
            for (std::uint32_t n = next; n <= end; ++n)
                if (inGap(n))
                    end = n - 1;
            std::vector<Message> messages;
            std::vector<std::uint32_t> numbers;
            const int status = s.request(1, next, end, messages, numbers);
            if (status == 2)
            {
                std::this_thread::sleep_for(50ms);
                continue;
            }
            if (status != 0)
            {
                followerFaults.push_back("status " + std::to_string(status) + " for " + std::to_string(next) + " to " +
                                         std::to_string(end));
                return;
            }
            for (std::size_t i = 0; i < messages.size(); ++i)
                if (messages[i].bytes != fedMessage(numbers[i]))
                    followerFaults.push_back("message " + std::to_string(numbers[i]) + " differs");
            followed.insert(followed.end(), numbers.begin(), numbers.end());
            next = end + 1;
        }
        followerFaults.insert(followerFaults.end(), s.faults.begin(), s.faults.end());
    });

    std::string command = std::string(RTS_FEEDER_PROGRAM) + " --group " + group + " --port " +
                          std::to_string(udpPort) + " --count " + std::to_string(cLast) +
                          " --per-packet 5 --size " + std::to_string(cSize) + " --rate 2000";
    for (const auto& [first, last] : cGaps)
        command += " --gap " + std::to_string(first) + "-" + std::to_string(last);
    int feederExit = -1;
    const std::string fed = run(command, feederExit);
    follower.join();
    EXPECT_EQ(feederExit, 0) << fed;
    EXPECT_NE(fed.find("sent 2988 messages in 599 packets, 12 left out as gaps, last 3000"), std::string::npos)
        << fed;
    EXPECT_EQ(joined(followerFaults), "");
    std::vector<std::uint32_t> expected;
    for (std::uint32_t n = 1; n <= cLast; ++n)
        if (!inGap(n))
            expected.push_back(n);
    EXPECT_EQ(followed, expected);

    // Ranges asked once the feed is in: served byte for byte, gaps answered 2.
    const RangeCase cases[] = {
        {"packets across the first gap's neighbours", 1, 996, 1002, 0},
        {"the first message after a gap inside a packet", 1, 1005, 1009, 0},
        {"a range holding a gap inside a packet", 1, 1000, 1010, 2},
        {"a range ending in a gap of whole packets", 1, 2590, 2601, 2},
        {"the last message", 1, cLast, cLast, 0},
        {"past the last", 1, cLast - 1, cLast + 1, 2},
        {"a channel not fed", 2, 1, 3, 1},
        {"wider than the widest range", 1, 1, 2001, 100},
    };
    Session eve;
    ASSERT_TRUE(eve.logon(rtsd.port(), "eve"));
    int accepted = 0, refused = 0, notAvailable = 0, retransmitted = 0;
    for (const RangeCase& c : cases)
    {
        std::vector<Message> messages;
        std::vector<std::uint32_t> numbers;
        EXPECT_EQ(eve.request(c.channel, c.begin, c.end, messages, numbers), c.status) << c.name;
        accepted += c.status == 0;
        notAvailable += c.status == 2;
        refused += c.status == 1 || c.status == 100;
        for (std::size_t i = 0; i < messages.size(); ++i)
            EXPECT_EQ(messages[i].bytes, fedMessage(numbers[i])) << c.name << " at " << numbers[i];
        retransmitted += static_cast<int>(messages.size());
        EXPECT_EQ(numbers.size(), c.status == 0 ? c.end - c.begin + 1 : 0u) << c.name;
    }
    EXPECT_EQ(joined(eve.faults), "");

    // The statistics segment holds each client's counters, as the reader
    // shows them. Not available is no refusal; messages retransmitted count
    // every message sent, the logon answer and the responses included.
    int readerExit = -1;
    const std::string shown =
        run(std::string(STATS_READER_PROGRAM) + " --config " + rtsd.dir() + "/libstats.xml", readerExit);
    EXPECT_EQ(readerExit, 0) << shown;
    std::ostringstream eveLine;
    eveLine << "rts_client eve totalNumRequests=" << std::size(cases) << " totalNumAcceptRequests=" << accepted
            << " totalNumRejectRequests=" << refused
            << " totalExceedsMaxSeqRange=1 totalUnknownChannelId=1 totalMsgsNotAvailable=" << notAvailable
            << " totalExceedsMaxRequests=0 totalNumMsgsAccepted=" << retransmitted
            << " totalNumMsgsRetransmitted=" << retransmitted + 1 + std::size(cases) << "\n";
    EXPECT_NE(shown.find(eveLine.str()), std::string::npos) << eveLine.str() << shown;
    const std::size_t demo = shown.find("rts_client demo ");
    ASSERT_NE(demo, std::string::npos) << shown;
    const std::string demoLine = shown.substr(demo, shown.find('\n', demo) - demo);
    EXPECT_NE(demoLine.find(" totalNumMsgsAccepted=2988 "), std::string::npos) << shown;

    rtsd.signal(SIGTERM);
    EXPECT_EQ(rtsd.waitExit(), 0) << rtsd.err();
}

// The feeder's packets as a line receives them, read from the bytes: a
// header numbered by its first message, consecutive messages only, a gap
// splitting a packet; a destination that is no group is sent to directly.
TEST(RtsFeeder, PacketsCarryConsecutiveNumberedMessagesAroundTheGaps)
{
    Receiver receiver;
    ASSERT_GT(receiver.port(), 0);
    int exitCode = -1;
    const std::uint64_t before = nowNanos();
    const std::string printed = run(std::string(RTS_FEEDER_PROGRAM) + " --group 127.0.0.1 --port " +
                                        std::to_string(receiver.port()) +
                                        " --from 7 --count 7 --per-packet 3 --size 12 --gap 9-9 --rate 0",
                                    exitCode);
    const std::uint64_t after = nowNanos();
    EXPECT_EQ(exitCode, 0) << printed;
    EXPECT_NE(printed.find("directed UDP"), std::string::npos) << printed;
    EXPECT_NE(printed.find("sent 6 messages in 3 packets, 1 left out as gaps, last 13"), std::string::npos)
        << printed;

    const std::vector<std::vector<std::uint32_t>> expected = {{7, 8}, {10, 11, 12}, {13}};
    for (const std::vector<std::uint32_t>& numbers : expected)
    {
        const std::string packet = receiver.take();
        ASSERT_EQ(packet.size(), 16 + 12 * numbers.size());
        EXPECT_EQ(get16(packet.data()), packet.size());
        EXPECT_EQ(static_cast<unsigned char>(packet[2]), numbers.size());
        EXPECT_EQ(packet[3], '\0');
        EXPECT_EQ(get32(packet.data() + 4), numbers.front());
        EXPECT_GE(get64(packet.data() + 8), before);
        EXPECT_LE(get64(packet.data() + 8), after);
        for (std::size_t m = 0; m < numbers.size(); ++m)
            EXPECT_EQ(packet.substr(16 + 12 * m, 12), fedMessage(numbers[m], 12)) << numbers[m];
    }
}

// An interface that is no address of this machine cannot send to the group:
// the feeder says so and sends to 127.0.0.1 at the same port instead.
TEST(RtsFeeder, FallsBackToDirectedUdpWhenTheGroupCannotBeReached)
{
    Receiver receiver;
    ASSERT_GT(receiver.port(), 0);
    int exitCode = -1;
    const std::string printed = run(std::string(RTS_FEEDER_PROGRAM) + " --interface 192.0.2.77 --port " +
                                        std::to_string(receiver.port()) + " --count 2 --rate 0",
                                    exitCode);
    EXPECT_EQ(exitCode, 0) << printed;
    EXPECT_NE(printed.find("multicast to 239.255.47.1 is not possible here"), std::string::npos) << printed;
    EXPECT_NE(printed.find("sending directed UDP to 127.0.0.1:" + std::to_string(receiver.port())),
              std::string::npos)
        << printed;
    for (std::uint32_t n : {1u, 2u})
    {
        const std::string packet = receiver.take();
        ASSERT_EQ(packet.size(), 16u + 20) << n;
        EXPECT_EQ(get32(packet.data() + 4), n);
    }
}

TEST(RtsFeeder, BadArgumentsAreRefusedWithTheUsage)
{
    const std::string cases[] = {
        "--count 5",
        "--port 9 --count 0",
        "--port 70000 --count 5",
        "--port 9 --count 5 --gap 9-3",
        "--port 9 --count 5 --gap 3",
        "--port 9 --count 5 --rate -1",
        "--port 9 --count 5 --per-packet 100 --size 20",
        "--port 9 --count 5 --size 7",
        "--port 9 --count 5 --from 4294967295",
        "--port 9 --count 5 --group nowhere",
        "--port 9 --count 5 --colour blue",
        "--port 9 --count",
    };
    for (const std::string& args : cases)
    {
        int exitCode = -1;
        const std::string printed = run(std::string(RTS_FEEDER_PROGRAM) + " " + args + " 2>&1", exitCode);
        EXPECT_EQ(exitCode, 2) << args << "\n" << printed;
        EXPECT_NE(printed.find("usage: rts_feeder"), std::string::npos) << args << "\n" << printed;
    }
}
