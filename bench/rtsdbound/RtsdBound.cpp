// The bound bench_rtsd measures rtsd against: a server as one tuned for
// throughput would write it, as a process of its own so that its resident
// memory can be read beside rtsd's. One thread, one epoll set over every
// connection; each 32-byte request queues the same packets rtsd answered
// with, written with writev a batch of cBoundBatch packets per call, one
// call per connection per readiness (so every connection gets its turn),
// no throttle.
//
//   bench_rtsd_bound <packets file> <connections>
// prints the port it listens on (127.0.0.1), accepts that many connections,
// serves them until its standard input closes, then prints "cpu_ns <n>": the
// serving thread's CPU time.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace
{

constexpr std::size_t cBoundBatch = 512;

struct Connection
{
    int fd = -1;
    char in[32] = {};
    std::size_t held = 0;     // bytes of an unfinished request
    std::size_t requests = 0; // answers still to write, the current one included
    std::size_t packet = 0, offset = 0;
    bool watching = false; // EPOLLOUT asked for
};

std::vector<std::string> packets;
std::vector<Connection> connections;

void watch(int ep, Connection& c, std::size_t i, bool out)
{
    if (c.watching == out)
        return;
    epoll_event e{EPOLLIN | (out ? EPOLLOUT : 0u), {}};
    e.data.u64 = i;
    ::epoll_ctl(ep, EPOLL_CTL_MOD, c.fd, &e);
    c.watching = out;
}

// One writev of up to cBoundBatch packets of the answer under way.
void write(Connection& c)
{
    iovec iov[cBoundBatch];
    std::size_t n = 0;
    for (std::size_t k = c.packet; k < packets.size() && n < cBoundBatch; ++k, ++n)
    {
        const std::size_t skip = k == c.packet ? c.offset : 0;
        iov[n] = {const_cast<char*>(packets[k].data()) + skip, packets[k].size() - skip};
    }
    const ssize_t w = ::writev(c.fd, iov, static_cast<int>(n));
    if (w <= 0)
        return;
    for (auto done = static_cast<std::size_t>(w); done > 0;)
    {
        const std::size_t rest = packets[c.packet].size() - c.offset;
        if (done < rest)
        {
            c.offset += done;
            break;
        }
        done -= rest;
        c.offset = 0;
        ++c.packet;
    }
    if (c.packet == packets.size())
    {
        c.packet = 0;
        --c.requests;
    }
}

void serve()
{
    const int ep = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event stopEvent{EPOLLIN, {}};
    stopEvent.data.u64 = UINT64_MAX;
    ::epoll_ctl(ep, EPOLL_CTL_ADD, STDIN_FILENO, &stopEvent);
    for (std::size_t i = 0; i < connections.size(); ++i)
    {
        epoll_event e{EPOLLIN, {}};
        e.data.u64 = i;
        ::epoll_ctl(ep, EPOLL_CTL_ADD, connections[i].fd, &e);
    }
    std::vector<epoll_event> events(256);
    for (;;)
    {
        const int n = ::epoll_wait(ep, events.data(), static_cast<int>(events.size()), -1);
        for (int k = 0; k < n; ++k)
        {
            if (events[k].data.u64 == UINT64_MAX)
            {
                ::close(ep);
                return;
            }
            const std::size_t i = events[k].data.u64;
            Connection& c = connections[i];
            if ((events[k].events & EPOLLIN) != 0)
            {
                const ssize_t r = ::recv(c.fd, c.in + c.held, sizeof c.in - c.held, MSG_DONTWAIT);
                if (r > 0 && (c.held += static_cast<std::size_t>(r)) == sizeof c.in)
                {
                    c.held = 0;
                    ++c.requests;
                }
            }
            if (c.requests > 0)
                write(c);
            watch(ep, c, i, c.requests > 0);
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3)
    {
        std::fprintf(stderr, "usage: %s <packets file> <connections>\n", argv[0]);
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (std::size_t at = 0; at + 2 <= bytes.size();)
    {
        std::uint16_t size = 0;
        std::memcpy(&size, bytes.data() + at, sizeof size);
        if (size < 16 || at + size > bytes.size())
            return 2;
        packets.emplace_back(bytes, at, size);
        at += size;
    }
    connections.resize(static_cast<std::size_t>(std::atoi(argv[2])));

    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listener, 1024) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return 1;
    std::printf("%d\n", ntohs(a.sin_port));
    std::fflush(stdout);
    for (Connection& c : connections)
    {
        c.fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        int one = 1;
        ::setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    timespec begin{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &begin);
    serve();
    timespec end{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &end);
    std::printf("cpu_ns %.0f\n", static_cast<double>(end.tv_sec - begin.tv_sec) * 1e9 +
                                     static_cast<double>(end.tv_nsec - begin.tv_nsec));
    return 0;
}
