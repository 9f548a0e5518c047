// rts_feeder --port <port> --count <n> [--group <address>] [--interface <address>]
//            [--from <first>] [--gap <first>-<last>]... [--rate <messages/s>]
//            [--per-packet <k>] [--size <bytes>]
// Feeds a line with retransmission-format packets: messages numbered from
// --from, --count of them, leaving out every number of each --gap, up to
// --per-packet consecutive messages per packet, paced at --rate messages a
// second (0: as fast as possible). Sent to the group through --interface
// (default 239.255.47.1 through 127.0.0.1); a destination that is no group
// address is sent to as directed UDP.
//
// Message n is u16 size, u16 type 0x0500, u32 n, then bytes (n + i) & 0xFF
// for each offset i up to the size, so a reader can check any message it is
// given from its number alone.
//
// Where the machine cannot send to the group (no multicast route), the
// feeder says so and sends directed UDP to 127.0.0.1 at the same port: a
// line listening with 127.0.0.1 as its group receives that.
//
// Exit code 0 when every packet went out, 1 on a send failure, 2 on bad
// arguments.
#include "zunq/protocol/RetransProtocol.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace
{

constexpr std::uint16_t cMessageType = 0x0500;
constexpr std::size_t cNumberOffset = 4;

int usage(const char* why)
{
    std::fprintf(stderr,
                 "rts_feeder: %s\n"
                 "usage: rts_feeder --port <port> --count <n> [--group <address>] [--interface <address>]\n"
                 "                  [--from <first>] [--gap <first>-<last>]... [--rate <messages/s>]\n"
                 "                  [--per-packet <k>] [--size <bytes>]\n",
                 why);
    return 2;
}

bool number(const std::string& text, unsigned long lowest, unsigned long highest, unsigned long& value)
{
    if (text.empty() || text[0] < '0' || text[0] > '9')
        return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtoul(text.c_str(), &end, 10);
    return errno == 0 && *end == '\0' && value >= lowest && value <= highest;
}

struct Settings
{
    std::string group = "239.255.47.1";
    std::string interface = "127.0.0.1";
    unsigned long port = 0;
    unsigned long from = 1;
    unsigned long count = 0;
    unsigned long rate = 1000;
    unsigned long perPacket = 1;
    unsigned long size = 20;
    std::vector<std::pair<unsigned long, unsigned long>> gaps;
};

// Empty on success, else what is wrong.
std::string parse(int argc, char** argv, Settings& s)
{
    bool portGiven = false, countGiven = false;
    for (int i = 1; i < argc; i += 2)
    {
        const std::string name = argv[i];
        if (i + 1 >= argc)
            return name + " needs a value";
        const std::string value = argv[i + 1];
        bool ok = true;
        if (name == "--group")
            s.group = value;
        else if (name == "--interface")
            s.interface = value;
        else if (name == "--port")
            ok = portGiven = number(value, 1, 65535, s.port);
        else if (name == "--from")
            ok = number(value, 1, UINT32_MAX, s.from);
        else if (name == "--count")
            ok = countGiven = number(value, 1, UINT32_MAX, s.count);
        else if (name == "--rate")
            ok = number(value, 0, 100000000, s.rate);
        else if (name == "--per-packet")
            ok = number(value, 1, Zunq::cMaxMessagesPerPacket, s.perPacket);
        else if (name == "--size")
            ok = number(value, cNumberOffset + 4, Zunq::cMaxMessageSize, s.size);
        else if (name == "--gap")
        {
            const std::size_t dash = value.find('-');
            unsigned long first = 0, last = 0;
            ok = dash != std::string::npos && number(value.substr(0, dash), 1, UINT32_MAX, first)
                 && number(value.substr(dash + 1), first, UINT32_MAX, last);
            s.gaps.emplace_back(first, last);
        }
        else
            return "unknown option " + name;
        if (!ok)
            return "bad value for " + name + ": " + value;
    }
    if (!portGiven || !countGiven)
        return "--port and --count are required";
    if (s.from + s.count - 1 > UINT32_MAX)
        return "the last number would pass 4294967295";
    const std::size_t packet = Zunq::cPacketHeaderSize + s.perPacket * s.size;
    if (packet > Zunq::cMaxPacketSize)
        return std::to_string(s.perPacket) + " messages of " + std::to_string(s.size) + " bytes pass the largest packet ("
               + std::to_string(Zunq::cMaxPacketSize) + " bytes)";
    return "";
}

bool inGap(const Settings& s, unsigned long n)
{
    for (const auto& [first, last] : s.gaps)
        if (n >= first && n <= last)
            return true;
    return false;
}

void putMessage(char* at, std::uint32_t n, std::size_t size)
{
    Zunq::MsgHeader header;
    header.mMsgSize = static_cast<std::uint16_t>(size);
    header.mMsgType = cMessageType;
    header.mSecurityCode = n; // the message's own number, at the same offset
    for (std::size_t i = 0; i < size; ++i)
        at[i] = static_cast<char>((n + i) & 0xFF);
    std::memcpy(at, &header, sizeof header);
}

std::uint64_t nowNanos()
{
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count());
}

class Sender
{
public:
    explicit Sender(const Settings& s) : mFd(::socket(AF_INET, SOCK_DGRAM, 0))
    {
        mTo.sin_family = AF_INET;
        mTo.sin_port = htons(static_cast<std::uint16_t>(s.port));
        if (::inet_pton(AF_INET, s.group.c_str(), &mTo.sin_addr) != 1)
        {
            mError = "the destination " + s.group + " is no IPv4 address";
            return;
        }
        mMulticast = IN_MULTICAST(ntohl(mTo.sin_addr.s_addr));
        if (!mMulticast)
            return;
        in_addr interface{};
        if (::inet_pton(AF_INET, s.interface.c_str(), &interface) != 1)
        {
            mError = "the interface " + s.interface + " is no IPv4 address";
            return;
        }
        const unsigned char loop = 1;
        if (::setsockopt(mFd, IPPROTO_IP, IP_MULTICAST_IF, &interface, sizeof interface) != 0
            || ::setsockopt(mFd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) != 0)
            mMulticastError = std::strerror(errno);
    }
    ~Sender() { ::close(mFd); }
    Sender(const Sender&) = delete;
    Sender& operator=(const Sender&) = delete;

    const std::string& error() const { return mError; }
    bool multicast() const { return mMulticast; }

    bool send(const char* bytes, std::size_t size)
    {
        if (mMulticast && mMulticastError.empty()
            && ::sendto(mFd, bytes, size, 0, reinterpret_cast<const sockaddr*>(&mTo), sizeof mTo)
                   == static_cast<ssize_t>(size))
            return true;
        if (mMulticast && mMulticastError.empty())
            mMulticastError = std::strerror(errno);
        if (mMulticast && !mMulticastError.empty() && !mFellBack)
            fallBack();
        if (::sendto(mFd, bytes, size, 0, reinterpret_cast<const sockaddr*>(&mTo), sizeof mTo)
            == static_cast<ssize_t>(size))
            return true;
        mError = std::string("sendto failed: ") + std::strerror(errno);
        return false;
    }

private:
    // Once, at the first failure to reach the group: from then on every packet goes to 127.0.0.1.
    void fallBack()
    {
        char group[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &mTo.sin_addr, group, sizeof group);
        std::printf("multicast to %s is not possible here (%s): sending directed UDP to 127.0.0.1:%u instead\n", group,
                    mMulticastError.c_str(), ntohs(mTo.sin_port));
        std::fflush(stdout);
        mTo.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        mFellBack = true;
        mMulticast = false;
    }

    int mFd;
    sockaddr_in mTo{};
    bool mMulticast = false;
    bool mFellBack = false;
    std::string mMulticastError;
    std::string mError;
};

} // namespace

int main(int argc, char** argv)
{
    Settings s;
    if (const std::string why = parse(argc, argv, s); !why.empty())
        return usage(why.c_str());
    Sender sender(s);
    if (!sender.error().empty())
        return usage(sender.error().c_str());
    const std::string how = sender.multicast() ? "multicast through " + s.interface : "directed UDP";
    std::printf("feeding %lu messages from %lu to %s:%lu (%s), %lu per packet, %lu bytes each\n", s.count, s.from,
                s.group.c_str(), s.port, how.c_str(), s.perPacket, s.size);
    std::fflush(stdout);

    std::vector<char> packet(Zunq::cMaxPacketSize);
    const auto begun = std::chrono::steady_clock::now();
    unsigned long sentMessages = 0, sentPackets = 0, skipped = 0;
    const unsigned long last = s.from + s.count - 1;
    for (unsigned long n = s.from; n <= last;)
    {
        if (inGap(s, n))
        {
            ++skipped;
            ++n;
            continue;
        }
        // Consecutive numbers only: a packet's messages run from its header's number on.
        const unsigned long first = n;
        std::size_t messages = 0;
        for (; n <= last && messages < s.perPacket && !inGap(s, n); ++n, ++messages)
            putMessage(packet.data() + Zunq::cPacketHeaderSize + messages * s.size, static_cast<std::uint32_t>(n),
                       s.size);
        Zunq::PacketHeader header;
        header.mPktSize = static_cast<std::uint16_t>(Zunq::cPacketHeaderSize + messages * s.size);
        header.mMsgCount = static_cast<std::uint8_t>(messages);
        header.mSeqNum = static_cast<std::uint32_t>(first);
        if (s.rate != 0)
            std::this_thread::sleep_until(begun + std::chrono::nanoseconds(sentMessages * 1000000000ULL / s.rate));
        header.mSendTime = nowNanos();
        std::memcpy(packet.data(), &header, sizeof header);
        if (!sender.send(packet.data(), header.mPktSize))
        {
            std::printf("stopped at message %lu: %s\n", first, sender.error().c_str());
            return 1;
        }
        sentMessages += messages;
        ++sentPackets;
    }
    std::printf("sent %lu messages in %lu packets, %lu left out as gaps, last %lu\n", sentMessages, sentPackets,
                skipped, last);
    return 0;
}
