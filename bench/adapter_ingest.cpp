// Datagrams from a socket to a UDP adapter's onNetworkData through the
// framework's network receiver, the thread callback and its handle map,
// beside the same traffic to a bare framework thread callback (the bound),
// in one framework process and one run. A sender blasts 512-byte datagrams
// at a loopback multicast group for a fixed time; the figure is datagrams
// per second that reached the receiver (the kernel drops what the receiving
// side cannot take). The two paths have groups, threads and sockets of their
// own and run one after the other. The benchmarks run inside a third
// thread's appReady.
#include "HostBenchSupport.h"
#include "NetIngestSupport.h"

#include "kelmora/linehandler/UDPNetworkHandler.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace
{
constexpr int PAYLOAD = 512;
constexpr auto BLAST = std::chrono::milliseconds(300);

std::atomic<uint64_t> g_adapterCount{0};
std::atomic<uint64_t> g_bareCount{0};

struct Path
{
    std::string group;
    int port = 0;
    std::atomic<uint64_t>& count;
};

Path g_adapterPath{"239.78." + std::to_string(::getpid() % 250) + ".1", netbench::freePort(SOCK_DGRAM), g_adapterCount};
Path g_barePath{"239.78." + std::to_string(::getpid() % 250) + ".2", netbench::freePort(SOCK_DGRAM), g_bareCount};

struct Counter : UDPNetworkHandler
{
    using UDPNetworkHandler::UDPNetworkHandler;
    void onReadyToConnect() override { joinMulticastService("ADPMC"); }
    void onNetworkData(const char*, unsigned int) override { g_adapterCount.fetch_add(1, std::memory_order_relaxed); }
};

// What a thread callback with no routing does: join when ready, count data.
int bareCallback(MessageType type, EventMsg* event, DataMsg* data)
{
    if (type == MSG_DATA && data != nullptr)
        g_bareCount.fetch_add(1, std::memory_order_relaxed);
    else if (type == MSG_EVENT && event != nullptr && event->id == CONN_READY_TO_OPEN)
        sendNetEvent("BAREMC", MCAST_JOIN, nullptr);
    return 0;
}

int senderSocket(const Path& path, sockaddr_in& to)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    in_addr lo{};
    lo.s_addr = htonl(INADDR_LOOPBACK);
    ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &lo, sizeof lo);
    const unsigned char loop = 1;
    ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop);
    to = sockaddr_in{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(path.port));
    ::inet_pton(AF_INET, path.group.c_str(), &to.sin_addr);
    return fd;
}

// Until the group has been joined: a datagram gets through.
bool joined(const Path& path)
{
    sockaddr_in to;
    const int fd = senderSocket(path, to);
    char probe[8] = {};
    for (int i = 0; i < 500 && path.count.load() == 0; ++i)
    {
        ::sendto(fd, probe, sizeof probe, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::close(fd);
    return path.count.load() != 0;
}

void delivered(benchmark::State& state, Path& path)
{
    if (!joined(path))
    {
        state.SkipWithError("the group was never joined");
        return;
    }
    sockaddr_in to;
    const int fd = senderSocket(path, to);
    char payload[PAYLOAD] = {};
    uint64_t total = 0;
    for (auto _ : state)
    {
        const uint64_t before = path.count.load();
        const auto start = std::chrono::steady_clock::now();
        while (std::chrono::steady_clock::now() - start < BLAST)
            for (int i = 0; i < 64; ++i)
                ::sendto(fd, payload, sizeof payload, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        // What is still queued on the way is delivered within the pause.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        total += path.count.load() - before;
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    ::close(fd);
    state.SetItemsProcessed(static_cast<int64_t>(total));
}

void BM_AdapterThroughHandleMap(benchmark::State& state) { delivered(state, g_adapterPath); }
void BM_BareThreadCallback(benchmark::State& state) { delivered(state, g_barePath); }
BENCHMARK(BM_BareThreadCallback)->UseManualTime()->Iterations(5);
BENCHMARK(BM_AdapterThroughHandleMap)->UseManualTime()->Iterations(5);
BENCHMARK(BM_BareThreadCallback)->UseManualTime()->Iterations(5);
BENCHMARK(BM_AdapterThroughHandleMap)->UseManualTime()->Iterations(5);

Counter* g_adapter = nullptr;

int registerAll()
{
    struct T
    {
        const char* name;
        FwMessageCallback cb;
    };
    for (T t : {T{"BRUN", Runnable::callback}, T{"BADP", Runnable::callback}, T{"BBARE", bareCallback}})
    {
        ThreadParam thread;
        initStructParam(THREAD_PARAM, &thread, sizeof(thread));
        copyResourceName(thread.threadNameTxt, t.name);
        thread.statusCheckInterval = 0; // the runner sits in its callback for the whole run
        thread.messageQueueLength = 4096;
        if (registerThread(&thread) != 0 || registerMessageCallback(t.name, t.cb) != 0)
            return -1;
    }
    UdpConnParam bare;
    if (initStructParam(UDPCONN_PARAM, &bare, sizeof bare) != 0)
        return -1;
    // Both sockets get the framework's default receive buffer.
    in_addr lo{};
    lo.s_addr = htonl(INADDR_LOOPBACK);
    if (!g_adapter->registerMulticastService("ADPMC", lo, g_adapterPath.group, g_adapterPath.port, bare.recvBufSize,
                                             MULTICAST_RECEIVER_MODE))
        return -1;
    copyResourceName(bare.connNameTxt, "BAREMC");
    copyResourceName(bare.threadNameTxt, "BBARE");
    bare.udpMode = MULTICAST_RECEIVER_MODE;
    std::strncpy(bare.interfaceTxt, "127.0.0.1", sizeof bare.interfaceTxt - 1);
    std::strncpy(bare.destAddrTxt, g_barePath.group.c_str(), sizeof bare.destAddrTxt - 1);
    bare.port = static_cast<uint16>(g_barePath.port);
    bare.replicationMode = NO_REPLICATION;
    bare.connectAtStartup = false;
    bare.openInStandbyMode = true;
    return registerListenMulticastConnection(&bare);
}
} // namespace

int main(int argc, char** argv)
{
    hostbench::Runner::argc = argc;
    hostbench::Runner::argv = argv;
    hostbench::Host host(argv[0]);
    hostbench::Thread<hostbench::Runner> runner(host, "BRUN");
    hostbench::Thread<> receiver(host, "BADP");
    Counter adapter(receiver.session, host.log);
    g_adapter = &adapter;
    return hostbench::runFramework(argv[0], "ADPTBENCH", registerAll);
}
