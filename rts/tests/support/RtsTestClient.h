// A retransmission client for tests, written from the protocol's byte layout
// alone: its own little-endian encoder and decoder, never the server's
// records. Blocking socket with time-outs; one thread.
//
// Client packets: a 16-byte header (u16 size, u8 count, u8 filler, u32
// number, u64 time) followed by at most one message; a logon is u16 16,
// u16 101, char[12] user; a request is u16 16, u16 201, u16 channel, u16
// filler, u32 begin, u32 end. Server messages: logon response u16 8, u16 102,
// u8 status; retransmission response u16 16, u16 202, u16 channel, u8
// status, u8 filler, u32 begin, u32 end; channel data as cached.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace rtstest
{

inline void put8(std::string& b, std::uint8_t v)
{
    b += static_cast<char>(v);
}
inline void put16(std::string& b, std::uint16_t v)
{
    put8(b, v & 0xFF);
    put8(b, v >> 8);
}
inline void put32(std::string& b, std::uint32_t v)
{
    put16(b, v & 0xFFFF);
    put16(b, v >> 16);
}
inline void put64(std::string& b, std::uint64_t v)
{
    put32(b, static_cast<std::uint32_t>(v));
    put32(b, static_cast<std::uint32_t>(v >> 32));
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

inline std::string header(std::uint16_t size, std::uint8_t count, std::uint32_t seq = 0, std::uint64_t time = 0)
{
    std::string b;
    put16(b, size);
    put8(b, count);
    put8(b, 0);
    put32(b, seq);
    put64(b, time);
    return b;
}

// A 32-byte packet of one 16-byte message: u16 size, u16 type, 12 body bytes.
inline std::string packet32(std::uint16_t msgSize, std::uint16_t type, const std::string& body12,
                            std::uint8_t count = 1)
{
    std::string b = header(32, count);
    put16(b, msgSize);
    put16(b, type);
    std::string body = body12;
    body.resize(12, '\0');
    return b + body;
}

inline std::string logon(const std::string& user)
{
    return packet32(16, 101, user.substr(0, 12));
}

inline std::string request(std::uint16_t channel, std::uint32_t begin, std::uint32_t end)
{
    std::string body;
    put16(body, channel);
    put16(body, 0);
    put32(body, begin);
    put32(body, end);
    return packet32(16, 201, body);
}

inline std::string heartbeatEcho(std::uint32_t seq)
{
    return header(16, 0, seq);
}

struct Message
{
    std::uint16_t size = 0;
    std::uint16_t type = 0;
    std::string bytes; // the whole message, size and type included
};

struct Packet
{
    std::uint16_t size = 0;
    std::uint8_t count = 0;
    std::uint32_t seq = 0;
    std::uint64_t sendTime = 0;
    std::vector<Message> messages;

    bool isHeartbeat() const { return count == 0 && size == 16; }
    std::uint16_t type() const { return messages.empty() ? 0 : messages[0].type; }
    // Logon response.
    int logonStatus() const { return type() == 102 ? static_cast<unsigned char>(messages[0].bytes[4]) : -1; }
    // Retransmission response.
    int retransStatus() const { return type() == 202 ? static_cast<unsigned char>(messages[0].bytes[6]) : -1; }
    std::uint16_t channel() const { return get16(messages[0].bytes.data() + 4); }
    std::uint32_t begin() const { return get32(messages[0].bytes.data() + 8); }
    std::uint32_t end() const { return get32(messages[0].bytes.data() + 12); }
};

// The first whole server packet of `in`, removed from it; nothing while
// incomplete. Bytes that cannot be a packet set `malformed`.
inline std::optional<Packet> takePacket(std::string& in, bool& malformed)
{
    if (in.size() < 16)
        return std::nullopt;
    Packet p;
    p.size = get16(in.data());
    p.count = static_cast<std::uint8_t>(in[2]);
    p.seq = get32(in.data() + 4);
    p.sendTime = get64(in.data() + 8);
    if (p.size < 16)
    {
        malformed = true;
        return std::nullopt;
    }
    if (in.size() < p.size)
        return std::nullopt;
    std::size_t at = 16;
    for (int i = 0; i < p.count; ++i)
    {
        if (at + 4 > p.size || get16(in.data() + at) < 4 || at + get16(in.data() + at) > p.size)
        {
            malformed = true;
            return std::nullopt;
        }
        Message m;
        m.size = get16(in.data() + at);
        m.type = get16(in.data() + at + 2);
        m.bytes.assign(in.data() + at, m.size);
        at += m.size;
        p.messages.push_back(std::move(m));
    }
    if (at != p.size)
    {
        malformed = true;
        return std::nullopt;
    }
    in.erase(0, p.size);
    return p;
}

// Every whole packet of `in`; what is left over stays in `in`.
inline std::vector<Packet> takePackets(std::string& in, bool& malformed)
{
    std::vector<Packet> out;
    while (std::optional<Packet> p = takePacket(in, malformed))
        out.push_back(std::move(*p));
    return out;
}

class Client
{
public:
    Client() = default;
    ~Client() { close(); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Connects to 127.0.0.1:port, retrying refusals until `timeout`.
    bool connect(int port, std::chrono::milliseconds timeout = std::chrono::seconds(10))
    {
        const auto until = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < until)
        {
            mFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            a.sin_port = htons(static_cast<std::uint16_t>(port));
            if (::connect(mFd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
            {
                int one = 1;
                ::setsockopt(mFd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                return true;
            }
            ::close(mFd);
            mFd = -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    // Connects to 127.0.0.1:port from `source` (another loopback address,
    // say, to count as a peer of its own), with a receive buffer of
    // `receiveBuffer` bytes when not 0 (set before the connect, so that the
    // window stays small).
    bool connectFrom(const std::string& source, int port, int receiveBuffer = 0)
    {
        close();
        mIn.clear();
        mClosed = mMalformed = false;
        mFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (receiveBuffer != 0)
            ::setsockopt(mFd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        sockaddr_in from{};
        from.sin_family = AF_INET;
        ::inet_pton(AF_INET, source.c_str(), &from.sin_addr);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(static_cast<std::uint16_t>(port));
        if (::bind(mFd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0)
        {
            close();
            return false;
        }
        // A server just started may not listen yet.
        for (int tries = 0; ::connect(mFd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0; ++tries)
            if (errno != ECONNREFUSED || tries == 250)
            {
                close();
                return false;
            }
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        int one = 1;
        ::setsockopt(mFd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        return true;
    }

    // Closes with a reset instead of the orderly end.
    void reset()
    {
        if (mFd < 0)
            return;
        linger hard{1, 0};
        ::setsockopt(mFd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        close();
    }

    void close()
    {
        if (mFd >= 0)
            ::close(mFd);
        mFd = -1;
    }

    bool send(const std::string& bytes)
    {
        std::size_t done = 0;
        while (done < bytes.size())
        {
            const ssize_t n = ::send(mFd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

    // Sends `bytes` in pieces of the given sizes (the last piece takes the rest),
    // pausing between them so that each tends to arrive as a read of its own.
    bool sendSplit(const std::string& bytes, const std::vector<std::size_t>& sizes)
    {
        std::size_t at = 0;
        for (std::size_t i = 0; at < bytes.size(); ++i)
        {
            const std::size_t n = i < sizes.size() ? std::min(sizes[i], bytes.size() - at) : bytes.size() - at;
            if (!send(bytes.substr(at, n)))
                return false;
            at += n;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

    // The next whole packet, or nothing on time-out or close (closed() tells).
    std::optional<Packet> read(std::chrono::milliseconds timeout = std::chrono::seconds(5))
    {
        const auto until = std::chrono::steady_clock::now() + timeout;
        while (true)
        {
            if (std::optional<Packet> p = take())
                return p;
            if (mClosed || mMalformed)
                return std::nullopt;
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return std::nullopt;
            pollfd pfd{mFd, POLLIN, 0};
            if (::poll(&pfd, 1, static_cast<int>(left.count())) <= 0)
                continue;
            char buf[65536];
            const ssize_t n = ::recv(mFd, buf, sizeof buf, 0);
            if (n <= 0)
                mClosed = true;
            else
                mIn.append(buf, static_cast<std::size_t>(n));
        }
    }

    // True when the server closes the connection within `timeout`; packets
    // that arrive first are counted in `before`.
    bool waitClosed(std::chrono::milliseconds timeout = std::chrono::seconds(5), int* before = nullptr)
    {
        const auto until = std::chrono::steady_clock::now() + timeout;
        int n = 0;
        while (!mClosed && std::chrono::steady_clock::now() < until)
            if (read(std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now())))
                ++n;
        if (before != nullptr)
            *before = n;
        return mClosed;
    }

    bool closed() const { return mClosed; }
    // The server sent bytes that are not a packet.
    bool malformed() const { return mMalformed; }
    int fd() const { return mFd; }

private:
    std::optional<Packet> take() { return takePacket(mIn, mMalformed); }

    int mFd = -1;
    std::string mIn;
    bool mClosed = false;
    bool mMalformed = false;
};

} // namespace rtstest
