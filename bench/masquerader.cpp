// 256-byte records from a bus publish through a TCP masquerader connection to
// one loopback client, plain and deflated, beside a plain blocking send loop
// of the same bytes on a connected loopback socket (the bound). The
// framework's send is replaced by a blocking send on that socket, so the
// figure is the masquerader's own cost on top of the same system call; a
// thread of its own drains the client side throughout.
#include "kelmora/linedata/LineDataBasic.h"
#include "kelmora/linehandler/NetworkApi.h"
#include "kelmora/masquerade/LineMasqueraderTcp.h"
#include "kelmora/thread/TarvokSession.h"
#include "zunq/log/Log.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace
{
constexpr int cRecordSize = 256;
constexpr int cDistinct = 1024; // records cycled through, so deflate sees varied text

int gServerFd = -1;

int blockingSend(int fd, const char* data, int len)
{
    int done = 0;
    while (done < len)
    {
        const ssize_t n = ::send(fd, data + done, static_cast<size_t>(len - done), MSG_NOSIGNAL);
        if (n < 0)
            return -1;
        done += static_cast<int>(n);
    }
    return done;
}

// A connected loopback pair: the client side is drained by a thread.
struct Loopback
{
    int client = -1;
    std::atomic<bool> stop{false};
    std::thread drain;

    Loopback()
    {
        const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(listener, 1);
        socklen_t len = sizeof a;
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
        client = ::socket(AF_INET, SOCK_STREAM, 0);
        ::connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a);
        gServerFd = ::accept(listener, nullptr, nullptr);
        ::close(listener);
        drain = std::thread([this] {
            std::vector<char> buf(1 << 20);
            while (!stop)
                if (::recv(client, buf.data(), buf.size(), 0) <= 0)
                    break;
        });
    }
    ~Loopback()
    {
        stop = true;
        ::shutdown(gServerFd, SHUT_RDWR);
        drain.join();
        ::close(gServerFd);
        ::close(client);
    }
};

const NetworkApi& sendOnSocket()
{
    static const NetworkApi api = [] {
        NetworkApi a = NetworkApi::framework();
        a.sendTcpMessage = [](const char*, const char* data, int len, char (*)[17], bool) {
            return blockingSend(gServerFd, data, len);
        };
        return a;
    }();
    return api;
}

std::vector<std::string> records()
{
    std::vector<std::string> r;
    for (int i = 0; i < cDistinct; ++i)
    {
        std::string s = "seq=" + std::to_string(100000 + i) + "|sym=SYM" + std::to_string(i % 97) + "|px=" +
                        std::to_string(1000 + (i * 7919) % 5000) + "|qty=" + std::to_string((i * 31) % 900) + "|";
        while (s.size() < cRecordSize)
            s += static_cast<char>('A' + (s.size() * 13 + i) % 26);
        s.resize(cRecordSize);
        r.push_back(s);
    }
    return r;
}

void BM_PlainBlockingSend(benchmark::State& state)
{
    Loopback pair;
    const std::vector<std::string> r = records();
    std::size_t i = 0;
    for (auto _ : state)
    {
        const std::string& rec = r[i++ % cDistinct];
        benchmark::DoNotOptimize(blockingSend(gServerFd, rec.data(), cRecordSize));
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * cRecordSize);
}
BENCHMARK(BM_PlainBlockingSend)->UseRealTime();

void masquerade(benchmark::State& state, bool deflated)
{
    Loopback pair;
    NetworkApi::install(&sendOnSocket());
    {
        Log log;
        TarvokSession session;
        Orlu<LineData> bus("OrluLineData", "default");
        OrluPublisher<LineData> publisher("feed");
        publisher.setDestination(&bus);
        LineMasqueraderTcp connection("LineMasqueraderTcp", session, log);
        connection.setDeflateData(deflated);
        const char resource[17] = "BENCH";
        connection.setConnection(resource, "127.0.0.1:1");
        bus.subscribe(&connection);
        connection.setOrluLineData(&bus);
        const std::vector<std::string> r = records();
        std::vector<LineDataBasic> lines(cDistinct);
        for (int k = 0; k < cDistinct; ++k)
            lines[k].setData(r[k].data(), cRecordSize);
        std::size_t i = 0;
        for (auto _ : state)
            publisher.publish(lines[i++ % cDistinct]);
        if (!connection.connected() || connection.getUsedPendingBufferSize() != 0)
            state.SkipWithError("the connection closed or queued");
        connection.closeFd(false);
        bus.unsubscribe(&connection);
    }
    NetworkApi::install(nullptr);
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * cRecordSize);
}

void BM_MasqueraderPublish(benchmark::State& state)
{
    masquerade(state, false);
}
BENCHMARK(BM_MasqueraderPublish)->UseRealTime();

void BM_MasqueraderPublishDeflated(benchmark::State& state)
{
    masquerade(state, true);
}
BENCHMARK(BM_MasqueraderPublishDeflated)->UseRealTime();
} // namespace

BENCHMARK_MAIN();
