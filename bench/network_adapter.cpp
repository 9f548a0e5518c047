// Datagrams handed to a UDP adapter's onNetworkData through the thread
// callback and its network handle map, beside the same datagrams handed to a
// bare thread callback that calls its receiver directly (the bound). Both
// callbacks are called through a function pointer, as the framework's
// dispatcher calls them, and the bare one reaches its receiver through a
// pointer it reads, as an application's callback would: the compiler may
// neither inline the call nor resolve the receiver's virtual call.
#include "kelmora/linehandler/UDPNetworkHandler.h"
#include "kelmora/thread/Runnable.h"
#include "kelmora/thread/TarvokSession.h"
#include "FendralServices/api/FwServices.h"
#include "zunq/log/Log.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace
{
struct Counter : UDPNetworkHandler
{
    using UDPNetworkHandler::UDPNetworkHandler;
    unsigned long bytes = 0;
    void onNetworkData(const char*, unsigned int length) override { bytes += length; }
};

NetworkHandler* gBare = nullptr;

// What a thread callback with no routing at all does with the datagram.
[[gnu::noipa]] int bareCallback(MessageType type, EventMsg*, DataMsg* data)
{
    if (type == MSG_DATA && data != nullptr)
    {
        NetworkHandler* receiver = gBare;
        asm volatile("" : "+r"(receiver)); // its type is not known here
        receiver->onNetworkData(data->bufPtr, static_cast<unsigned int>(data->dataLen));
    }
    return 0;
}

void run(benchmark::State& state, FwMessageCallback callback, DataMsg& data)
{
    for (auto _ : state)
    {
        FwMessageCallback cb = callback;
        benchmark::DoNotOptimize(cb);
        benchmark::DoNotOptimize(data);
        cb(MSG_DATA, nullptr, &data);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}

struct Fixture
{
    explicit Fixture(const std::string& channel = "BENCHUDP")
    {
        std::strncpy(name, channel.c_str(), 16);
        Runnable::insertNetworkHandleMap(name, &adapter, log);
        gBare = &bare;
        std::memset(&data, 0, sizeof data);
        std::memcpy(data.channelNameTxt, name, sizeof data.channelNameTxt); // name is terminated or 16 wide
        data.chnType = UDP_CHANNEL;
        data.bufPtr = payload;
        data.dataLen = sizeof payload;
    }
    Log log;
    TarvokSession session;
    Counter adapter{session, log};
    Counter bare{session, log};
    char name[17] = {};
    char payload[200] = {};
    DataMsg data;
};

Fixture& fixture()
{
    static Fixture f;
    return f;
}

// One channel and adapter per benchmark thread, as named threads have.
constexpr int MAX_THREADS = 8;
Fixture& fixtureOf(int thread)
{
    static std::vector<std::unique_ptr<Fixture>>* all = [] {
        auto* v = new std::vector<std::unique_ptr<Fixture>>();
        for (int i = 0; i < MAX_THREADS; ++i)
            v->push_back(std::make_unique<Fixture>("BENCHUDP" + std::to_string(i)));
        return v;
    }();
    return *(*all)[static_cast<size_t>(thread)];
}

void BM_UdpAdapterThroughHandleMap(benchmark::State& state)
{
    Fixture& f = fixture();
    run(state, Runnable::callback, f.data);
    if (f.adapter.bytes == 0)
        state.SkipWithError("nothing reached the adapter");
}
BENCHMARK(BM_UdpAdapterThroughHandleMap);

void BM_BareThreadCallback(benchmark::State& state)
{
    Fixture& f = fixture();
    run(state, bareCallback, f.data);
    if (f.bare.bytes == 0)
        state.SkipWithError("nothing reached the receiver");
}
BENCHMARK(BM_BareThreadCallback);

// Threads delivering at once, each to its own adapter: deliveries share no
// lock, so the time per datagram should not grow with the threads.
void BM_UdpAdapterThroughHandleMapThreads(benchmark::State& state)
{
    Fixture& f = fixtureOf(state.thread_index());
    run(state, Runnable::callback, f.data);
}
BENCHMARK(BM_UdpAdapterThroughHandleMapThreads)->Threads(1)->Threads(4)->Threads(MAX_THREADS)->UseRealTime();
} // namespace

BENCHMARK_MAIN();
