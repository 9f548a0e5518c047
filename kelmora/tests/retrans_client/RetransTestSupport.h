// What the retransmission client tests share: the protocol's bytes written
// and read by hand (never through the layout descriptor the client uses), a
// small retransmission server on 127.0.0.1 that speaks them, and a client
// wired to buses that record what it publishes.
#pragma once

#include "../lh_base/LineHandlerTestSupport.h"
#include "../lh_tcp/TcpTestSupport.h"

#include "kelmora/linedata/LineDataFactoryDravek.h"
#include "kelmora/recovery/LineHandlerZunqRetrans.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace rtest
{

// ---- bytes, little-endian

inline void put16(std::string& s, std::uint16_t v)
{
    s += static_cast<char>(v & 0xFF);
    s += static_cast<char>(v >> 8);
}
inline void put32(std::string& s, std::uint32_t v)
{
    put16(s, static_cast<std::uint16_t>(v & 0xFFFF));
    put16(s, static_cast<std::uint16_t>(v >> 16));
}
inline void put64(std::string& s, std::uint64_t v)
{
    put32(s, static_cast<std::uint32_t>(v & 0xFFFFFFFFu));
    put32(s, static_cast<std::uint32_t>(v >> 32));
}
inline std::uint16_t get16(const char* p)
{
    return static_cast<std::uint16_t>(static_cast<unsigned char>(p[0]) | static_cast<unsigned char>(p[1]) << 8);
}
inline std::uint32_t get32(const char* p)
{
    return get16(p) | static_cast<std::uint32_t>(get16(p + 2)) << 16;
}
inline std::uint64_t get64(const char* p)
{
    return get32(p) | static_cast<std::uint64_t>(get32(p + 4)) << 32;
}

// A packet: u16 size (header included), u8 count, filler, u32 number, u64
// send time, then the messages.
inline std::string packet(std::uint32_t seq, std::uint8_t count, const std::string& body, std::uint64_t time = 0)
{
    std::string p;
    put16(p, static_cast<std::uint16_t>(16 + body.size()));
    p += static_cast<char>(count);
    p += '\0';
    put32(p, seq);
    put64(p, time);
    return p + body;
}

// Message n of the test feed: 12 bytes of type 0x0500 holding n and ~n.
inline std::string feedMessage(std::uint32_t n)
{
    std::string m;
    put16(m, 12);
    put16(m, 0x0500);
    put32(m, n);
    put32(m, ~n);
    return m;
}

inline std::string logonResponse(std::uint8_t status, std::uint32_t seq)
{
    std::string m;
    put16(m, 8);
    put16(m, 102);
    m += static_cast<char>(status);
    m += std::string(3, '\0');
    return packet(seq, 1, m);
}

inline std::string retransResponse(std::uint16_t channel, std::uint8_t status, std::uint32_t begin, std::uint32_t end,
                                   std::uint32_t seq)
{
    std::string m;
    put16(m, 16);
    put16(m, 202);
    put16(m, channel);
    m += static_cast<char>(status);
    m += '\0';
    put32(m, begin);
    put32(m, end);
    return packet(seq, 1, m);
}

inline std::string heartbeat(std::uint32_t seq, std::uint64_t time)
{
    return packet(seq, 0, "", time);
}

// The data packets of first..last, `perPacket` messages each.
inline std::string dataPackets(std::uint32_t first, std::uint32_t last, unsigned perPacket)
{
    std::string out;
    for (std::uint64_t n = first; n <= last;)
    {
        std::string body;
        std::uint8_t count = 0;
        const std::uint64_t from = n;
        for (; n <= last && count < perPacket; ++n, ++count)
            body += feedMessage(static_cast<std::uint32_t>(n));
        out += packet(static_cast<std::uint32_t>(from), count, body);
    }
    return out;
}

// One packet the client sent, read from its bytes.
struct Sent
{
    std::string raw;
    std::uint16_t size = 0;
    std::uint8_t count = 0;
    std::uint8_t filler = 0;
    std::uint32_t seq = 0;
    std::uint64_t time = 0;
    std::uint16_t msgSize = 0;
    std::uint16_t msgType = 0;
    std::string user;         // a logon's 12-byte name field
    std::uint16_t channel = 0; // a request's
    std::uint32_t begin = 0, end = 0;
};

// Takes the first whole packet off `buffer`; false while none is complete.
inline bool takeSent(std::string& buffer, Sent& out)
{
    if (buffer.size() < 16)
        return false;
    const std::uint16_t size = get16(buffer.data());
    if (size < 16)
    {
        // Unframed bytes: none of the tests expects the client to send any.
        buffer.clear();
        return false;
    }
    if (buffer.size() < size)
        return false;
    out = Sent{};
    out.raw = buffer.substr(0, size);
    out.size = size;
    out.count = static_cast<std::uint8_t>(out.raw[2]);
    out.filler = static_cast<std::uint8_t>(out.raw[3]);
    out.seq = get32(out.raw.data() + 4);
    out.time = get64(out.raw.data() + 8);
    if (size >= 20)
    {
        out.msgSize = get16(out.raw.data() + 16);
        out.msgType = get16(out.raw.data() + 18);
    }
    if (out.msgType == 101 && size >= 32)
        out.user = out.raw.substr(20, 12);
    if (out.msgType == 201 && size >= 32)
    {
        out.channel = get16(out.raw.data() + 20);
        out.begin = get32(out.raw.data() + 24);
        out.end = get32(out.raw.data() + 28);
    }
    buffer.erase(0, size);
    return true;
}

inline std::uint64_t wallNanos()
{
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                          std::chrono::system_clock::now().time_since_epoch())
                                          .count());
}

// ---- a retransmission server of the tests' own

// Serves one connection at a time on its own thread. By default a logon is
// accepted and a request answered 0 and served in full; hooks replace that.
// Everything the client sends is kept, with the connection it came on.
class FakeRts
{
public:
    struct Received
    {
        int connection;
        Sent packet;
    };
    using Hook = std::function<void(FakeRts&, const Sent&)>;

    FakeRts()
    {
        mListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(mListen, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(mListen, 4);
        socklen_t len = sizeof a;
        ::getsockname(mListen, reinterpret_cast<sockaddr*>(&a), &len);
        mPort = ntohs(a.sin_port);
    }
    ~FakeRts()
    {
        mStop = true;
        if (mThread.joinable())
            mThread.join();
        ::close(mListen);
    }
    FakeRts(const FakeRts&) = delete;
    FakeRts& operator=(const FakeRts&) = delete;

    int port() const { return mPort; }
    void start()
    {
        mThread = std::thread([this] {
            hostrun::blockExitSignals();
            run();
        });
    }

    // Set before start(); run on the server's thread.
    Hook onLogon = [](FakeRts& s, const Sent&) { s.send(logonResponse(0, s.nextControl())); };
    Hook onRequest = [](FakeRts& s, const Sent& r) { s.serve(r, 0); };
    unsigned perPacket = 100;
    // Before answering a request, watch for a moment whether the client
    // sends anything more: it must wait for the answer.
    bool watchPipelining = false;

    // Bytes of packets the client has published so far, when the test can
    // tell: data is then sent at most `window` bytes ahead of it. The
    // framework's network thread gives a connection up when the client's
    // stream buffer (22,000 bytes) overflows, which a fast server and a
    // client thread held back on a busy machine would make happen.
    std::function<std::uint64_t()> progress;
    std::uint64_t window = 16384;

    // The answer to `request` with `status`, and when 0 its data.
    void serve(const Sent& request, std::uint8_t status)
    {
        if (watchPipelining && readable(30))
            mPipelined = true;
        send(retransResponse(request.channel, status, request.begin, request.end, nextControl()));
        if (status != 0)
            return;
        const std::string data = dataPackets(request.begin == 0 ? 1 : request.begin, request.end, perPacket);
        if (!progress)
        {
            send(data);
            return;
        }
        // Whole packets, each once the client is close enough behind.
        for (std::size_t at = 0; at < data.size();)
        {
            const std::size_t size = get16(data.data() + at);
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            while (mPaced + size > progress() + window && std::chrono::steady_clock::now() < until && !mStop)
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            send(data.substr(at, size));
            mPaced += size;
            at += size;
        }
    }

    // To the current connection; any thread.
    void send(const std::string& bytes)
    {
        std::lock_guard lock(mLock);
        for (std::size_t at = 0; mFd >= 0 && at < bytes.size();)
        {
            const ssize_t n = ::send(mFd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
            if (n <= 0)
                break;
            at += static_cast<std::size_t>(n);
        }
    }
    // In pieces of 1 to `maxPiece` bytes with short pauses, so that the
    // client reads them apart.
    void sendSplit(const std::string& bytes, std::mt19937& rng, unsigned maxPiece)
    {
        std::uniform_int_distribution<unsigned> piece(1, maxPiece);
        for (std::size_t at = 0; at < bytes.size();)
        {
            const std::size_t n = std::min<std::size_t>(piece(rng), bytes.size() - at);
            send(bytes.substr(at, n));
            at += n;
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
    }
    // Ends the current connection; any thread.
    void closeConnection()
    {
        std::lock_guard lock(mLock);
        mShutByUs = true;
        if (mFd >= 0)
            ::shutdown(mFd, SHUT_RDWR);
    }
    // The next control number of the current connection.
    std::uint32_t nextControl()
    {
        std::lock_guard lock(mLock);
        return ++mControl;
    }

    std::vector<Received> received() const
    {
        std::lock_guard lock(mLock);
        return mReceived;
    }
    std::vector<Sent> of(std::uint16_t type) const
    {
        std::vector<Sent> out;
        for (const Received& r : received())
            if (r.packet.msgType == type && r.packet.count == 1)
                out.push_back(r.packet);
        return out;
    }
    std::vector<Sent> echoes() const
    {
        std::vector<Sent> out;
        for (const Received& r : received())
            if (r.packet.count == 0)
                out.push_back(r.packet);
        return out;
    }
    int connections() const { return mConnections; }
    int closedByClient() const { return mClosedByClient; }
    bool pipelined() const { return mPipelined; }

private:
    bool readable(int ms) const
    {
        pollfd p{mFd, POLLIN, 0};
        return ::poll(&p, 1, ms) == 1;
    }

    void run()
    {
        while (!mStop)
        {
            pollfd p{mListen, POLLIN, 0};
            if (::poll(&p, 1, 20) != 1)
                continue;
            const int fd = ::accept4(mListen, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            {
                std::lock_guard lock(mLock);
                mFd = fd;
                mControl = 0;
                mShutByUs = false;
            }
            const int connection = ++mConnections;
            std::string buffer;
            bool open = true;
            while (open && !mStop)
            {
                pollfd q{fd, POLLIN, 0};
                if (::poll(&q, 1, 20) != 1)
                    continue;
                char bytes[4096];
                const ssize_t n = ::recv(fd, bytes, sizeof bytes, 0);
                if (n <= 0)
                {
                    // Ours (closeConnection) or the client's close.
                    if (n == 0 && !mShutByUs)
                        ++mClosedByClient;
                    open = false;
                    break;
                }
                buffer.append(bytes, static_cast<std::size_t>(n));
                Sent s;
                while (takeSent(buffer, s))
                {
                    {
                        std::lock_guard lock(mLock);
                        mReceived.push_back({connection, s});
                    }
                    if (s.count == 1 && s.msgType == 101 && onLogon)
                        onLogon(*this, s);
                    else if (s.count == 1 && s.msgType == 201 && onRequest)
                        onRequest(*this, s);
                }
            }
            std::lock_guard lock(mLock);
            ::close(fd);
            mFd = -1;
        }
    }

    int mListen = -1;
    int mPort = 0;
    std::thread mThread;
    std::atomic<bool> mStop{false};
    mutable std::mutex mLock;
    int mFd = -1;
    std::uint32_t mControl = 0;
    std::vector<Received> mReceived;
    std::atomic<int> mConnections{0};
    std::atomic<int> mClosedByClient{0};
    std::atomic<bool> mShutByUs{false};
    std::atomic<bool> mPipelined{false};
    std::uint64_t mPaced = 0; // data bytes sent by serve, on the server's thread
};

// The last `count` lines of the host's log, for a failure's message.
inline std::string lastLines(const hostrun::Host& host, std::size_t count = 60)
{
    const auto lines = host.sink.lines();
    std::string out;
    for (std::size_t i = lines.size() > count ? lines.size() - count : 0; i < lines.size(); ++i)
        out += lines[i].second + "\n";
    return out;
}

// ---- the client and what it publishes

// A recovered packet as a live bus received it.
struct Recovered
{
    std::string bytes;
    std::uint32_t seq;
    std::uint16_t channel;
    bool recovery;
    std::string thread; // the thread it was published on
};

inline std::string threadName()
{
    Runnable* own = Runnable::current();
    return own != nullptr ? own->getName() : std::string("?");
}

// One live channel's two buses, recorded.
struct LiveChannel : OrluSubscriber<LineData>, OrluSubscriber<RetransComplete>
{
    explicit LiveChannel(const std::string& name)
        : OrluSubscriber<LineData>("live"), OrluSubscriber<RetransComplete>("live"), data("LineDataBlock." + name, name),
          complete("RetransComplete." + name, name)
    {
        data.subscribe(this);
        complete.subscribe(this);
    }
    ~LiveChannel() override
    {
        data.unsubscribe(this);
        complete.unsubscribe(this);
    }
    void onData(const Orlu<LineData>&, const std::string&, const LineData& d) override
    {
        bytes.fetch_add(d.getDataLen(), std::memory_order_relaxed);
        packets.push_back({std::string(d.getData(), d.getDataLen()), d.getSeqNum(), d.getChannelId(), d.isRecovery(),
                           threadName()});
        order.push_back("data " + std::to_string(d.getSeqNum()));
    }
    void onData(const Orlu<RetransComplete>&, const std::string&, const RetransComplete& c) override
    {
        completes.push_back({c.getBeginSeqNum(), c.getEndSeqNum()});
        completeCount.fetch_add(1, std::memory_order_release);
        completeThreads.push_back(threadName());
        order.push_back("complete " + std::to_string(c.getBeginSeqNum()) + "-" + std::to_string(c.getEndSeqNum()));
    }
    // The test feed's messages in the recorded packets, in order; false at
    // a message that is not the feed's.
    bool messages(std::vector<std::uint32_t>& numbers) const
    {
        for (const Recovered& p : packets)
            for (std::size_t at = 16; at < p.bytes.size(); at += 12)
            {
                const std::string m = p.bytes.substr(at, 12);
                if (m.size() != 12 || m != feedMessage(get32(m.data() + 4)))
                    return false;
                numbers.push_back(get32(m.data() + 4));
            }
        return true;
    }

    Orlu<LineData> data;
    Orlu<RetransComplete> complete;
    std::atomic<std::uint64_t> bytes{0}; // of the packets published, for the server's pace
    std::atomic<int> completeCount{0};   // for a thread other than the one publishing
    std::vector<Recovered> packets;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> completes;
    std::vector<std::string> completeThreads;
    std::vector<std::string> order;
};

struct RefreshRecorder : OrluSubscriber<RefreshRequest>
{
    RefreshRecorder() : OrluSubscriber<RefreshRequest>("refresh") { bus.subscribe(this); }
    ~RefreshRecorder() override { bus.unsubscribe(this); }
    void onData(const Orlu<RefreshRequest>&, const std::string&, const RefreshRequest& r) override
    {
        seen.push_back(std::to_string(r.mChannelId) + (r.mCancel ? " cancel" : "") +
                       (r.mSpoolRealtimeMessage ? " spool" : ""));
    }
    Orlu<RefreshRequest> bus{"RefreshRequest", ""};
    std::vector<std::string> seen;
};

// The client of feed `feed` on `session`, user "alice", one live channel 7
// and the request bus the line filter would publish on.
struct ClientRig
{
    // `liveOwner`: the live channel's thread when it is not the client's.
    ClientRig(hostrun::Host& host, TarvokSession& session, const std::string& feed, Runnable* liveOwner = nullptr)
        : factory("LineDataFactoryDravek(" + feed + ")", host.log), client(factory, session, host.log)
    {
        // A line or more per packet at debug level would slow the client
        // far below the server.
        host.log.setLevel(LOG_LEVEL_INFO);
        forget(feed);
        client.setFeedName(feed);
        client.setName(feed + "-retrans");
        client.setUserName("alice");
        client.setConnectedMeansLineUp(true);
        client.setSendHeartbeats(false);
        client.addOrluLineData(7, &live.data, liveOwner);
        client.addOrluRetransComplete(7, &live.complete);
        client.OrluPublisher<RefreshRequest>::setDestination(&refresh.bus);
        requests.subscribe(&client);
        filter.setDestination(&requests);
    }
    ~ClientRig() { requests.unsubscribe(&client); }

    // The hunt-list names of `feed`, left by an earlier client of the process.
    static void forget(const std::string& feed) { tcptest::forgetNames(feed, 4); }

    // As a line filter asks: channel id as the feed id.
    void request(std::uint32_t begin, std::uint32_t end, const char* feedId = "7", bool cancel = false)
    {
        filter.publish(RetransRequest(begin, end, feedId, cancel, 0));
    }

    LineDataFactoryDravek factory;
    LineHandlerZunqRetrans client;
    LiveChannel live{"LIVE"};
    RefreshRecorder refresh;
    Orlu<RetransRequest> requests{"RetransRequest.LIVE", "LIVE"};
    OrluPublisher<RetransRequest> filter{"LineFilter"};
};

} // namespace rtest
