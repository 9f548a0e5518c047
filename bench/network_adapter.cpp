// Datagrams handed to a UDP adapter's onNetworkData through the thread
// callback and its network handle map, beside the same datagrams handed to a
// bare thread callback that calls its receiver directly (the bound).
#include "kelmora/linehandler/UDPNetworkHandler.h"
#include "kelmora/thread/Runnable.h"
#include "kelmora/thread/TarvokSession.h"
#include "zunq/log/Log.h"

#include <benchmark/benchmark.h>

#include <cstring>

namespace
{
struct Counter : UDPNetworkHandler
{
    using UDPNetworkHandler::UDPNetworkHandler;
    unsigned long bytes = 0;
    void onNetworkData(const char*, unsigned int length) override { bytes += length; }
};

Counter* gBare = nullptr;

// What a thread callback with no routing at all does with the datagram.
[[gnu::noinline]] int bareCallback(MessageType type, EventMsg*, DataMsg* data)
{
    if (type == MSG_DATA && data != nullptr)
        gBare->onNetworkData(data->bufPtr, static_cast<unsigned int>(data->dataLen));
    return 0;
}

struct Fixture
{
    Fixture()
    {
        std::strncpy(name, "BENCHUDP", 16);
        Runnable::insertNetworkHandleMap(name, &adapter, log);
        gBare = &bare;
        std::memset(&data, 0, sizeof data);
        std::strncpy(data.channelNameTxt, name, 16);
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

void BM_UdpAdapterThroughHandleMap(benchmark::State& state)
{
    Fixture& f = fixture();
    for (auto _ : state)
    {
        benchmark::DoNotOptimize(f.data);
        Runnable::callback(MSG_DATA, nullptr, &f.data);
        benchmark::ClobberMemory();
    }
    benchmark::DoNotOptimize(f.adapter.bytes);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_UdpAdapterThroughHandleMap);

void BM_BareThreadCallback(benchmark::State& state)
{
    Fixture& f = fixture();
    for (auto _ : state)
    {
        benchmark::DoNotOptimize(f.data);
        bareCallback(MSG_DATA, nullptr, &f.data);
        benchmark::ClobberMemory();
    }
    benchmark::DoNotOptimize(f.bare.bytes);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BareThreadCallback);
} // namespace

BENCHMARK_MAIN();
