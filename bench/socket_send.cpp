// The send path of the dispatcher's channel sends: one 100-byte message per
// call on a non-blocking loopback TCP connection (TcpDataSocket::send) and to
// a multicast group on the loopback interface (MulticastSocket::send). A
// second thread drains the receiving side so the sender meets a steady
// state; sends that would block are retried and counted. Reports ns per
// accepted send; argument 0 makes the same system call directly, as the
// floor the socket classes add to.
#include "FendralCore/dispatch/MulticastSocket.h"
#include "FendralCore/dispatch/TcpDataSocket.h"
#include "FendralCore/dispatch/TcpListenSocket.h"
#include "FendralCore/foundation/FrameworkErrno.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#include <thread>

namespace
{

constexpr int MESSAGE_SIZE = 100;

uint16 boundPort(int fd)
{
    sockaddr_in local{};
    socklen_t length = sizeof(local);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    return ntohs(local.sin_port);
}

bool waitFor(int fd, short events, int ms)
{
    pollfd p{fd, events, 0};
    return ::poll(&p, 1, ms) == 1;
}

void BM_TcpSend(benchmark::State& state)
{
    const bool direct = state.range(0) == 0;
    TcpListenSocket listener("127.0.0.1", 0, false);
    if (listener.initialize() != 0 || listener.startListen() != 0)
    {
        state.SkipWithError("listen socket");
        return;
    }
    TcpDataSocket client("127.0.0.1", boundPort(listener.getFileDescriptor()), "127.0.0.1", 0, false, -1, -1);
    if (client.initialize() != 0 ||
        (client.connect() != 0 &&
         (!waitFor(client.getFileDescriptor(), POLLOUT, 5000) || client.checkConnectResult() != 0)))
    {
        state.SkipWithError("connect");
        return;
    }
    TcpDataSocket server(-1, -1);
    if (!waitFor(listener.getFileDescriptor(), POLLIN, 5000) || listener.acceptConnRqs(server) != 0)
    {
        state.SkipWithError("accept");
        return;
    }
    server.setBlockMode(true);
    std::thread drain([&] {
        char buf[65536];
        int done = 0;
        while (server.receive(buf, sizeof(buf), done) == 0)
        {
        }
    });

    char message[MESSAGE_SIZE] = {};
    int64_t wouldBlock = 0;
    int64_t bytes = 0;
    for (auto _ : state)
    {
        int offset = 0;
        while (offset < MESSAGE_SIZE)
        {
            int done = 0;
            if (direct)
            {
                const ssize_t sent = ::send(client.getFileDescriptor(), message + offset,
                                            static_cast<size_t>(MESSAGE_SIZE - offset), MSG_NOSIGNAL);
                if (sent >= 0)
                    offset += static_cast<int>(sent);
                else if (errno == EAGAIN)
                    ++wouldBlock;
                else
                {
                    state.SkipWithError("send");
                    break;
                }
            }
            else if (client.send(message + offset, MESSAGE_SIZE - offset, done) == 0)
                offset += done;
            else if (FrameworkErrno::m_fwErrno == WOULD_BLOCK)
                ++wouldBlock;
            else
            {
                state.SkipWithError("send");
                break;
            }
        }
        bytes += offset;
    }
    client.shutdown(CLOSE_WR); // the drain sees the end of the stream
    drain.join();
    state.SetBytesProcessed(bytes);
    state.SetItemsProcessed(state.iterations());
    state.counters["would_block_per_send"] =
        benchmark::Counter(static_cast<double>(wouldBlock), benchmark::Counter::kAvgIterations);
}

void BM_MulticastSend(benchmark::State& state)
{
    const bool direct = state.range(0) == 0;
    MulticastSocket in(MULTICAST_RECEIVE, "127.0.0.1", "239.255.73.1", 0, false, 0, DISABLE_MCAST_LOOPBACK, -1, -1);
    if (in.initialize() != 0 || in.join() != 0)
    {
        state.SkipWithError("receiver");
        return;
    }
    MulticastSocket out(MULTICAST_SEND, "127.0.0.1", "239.255.73.1", boundPort(in.getFileDescriptor()), false, 1,
                        ENABLE_MCAST_LOOPBACK, -1, -1);
    if (out.initialize() != 0)
    {
        state.SkipWithError("sender");
        return;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(boundPort(in.getFileDescriptor()));
    ::inet_pton(AF_INET, "239.255.73.1", &to.sin_addr);
    std::atomic<bool> stop{false};
    std::thread drain([&] {
        constexpr int BATCH = 10;
        static char buffers[BATCH][2048];
        iovec iovs[BATCH];
        mmsghdr vector[BATCH] = {};
        for (int i = 0; i < BATCH; ++i)
        {
            iovs[i] = {buffers[i], sizeof(buffers[i])};
            vector[i].msg_hdr.msg_iov = &iovs[i];
            vector[i].msg_hdr.msg_iovlen = 1;
        }
        while (!stop.load(std::memory_order_relaxed))
        {
            int count = 0;
            if (in.receiveMultiMsg(vector, BATCH, count) != 0)
                waitFor(in.getFileDescriptor(), POLLIN, 10);
        }
    });

    char message[MESSAGE_SIZE] = {};
    int64_t wouldBlock = 0;
    for (auto _ : state)
    {
        int done = 0;
        if (direct)
        {
            while (::sendto(out.getFileDescriptor(), message, MESSAGE_SIZE, MSG_NOSIGNAL,
                            reinterpret_cast<const sockaddr*>(&to), sizeof(to)) < 0)
                ++wouldBlock;
            continue;
        }
        while (out.send(message, MESSAGE_SIZE, done) != 0)
        {
            if (FrameworkErrno::m_fwErrno != WOULD_BLOCK)
            {
                state.SkipWithError("send");
                break;
            }
            ++wouldBlock;
        }
    }
    stop.store(true);
    drain.join();
    state.SetBytesProcessed(state.iterations() * MESSAGE_SIZE);
    state.SetItemsProcessed(state.iterations());
    state.counters["would_block_per_send"] =
        benchmark::Counter(static_cast<double>(wouldBlock), benchmark::Counter::kAvgIterations);
}

BENCHMARK(BM_TcpSend)->ArgName("via_socket")->Arg(1)->Arg(0)->UseRealTime();
BENCHMARK(BM_MulticastSend)->ArgName("via_socket")->Arg(1)->Arg(0)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
