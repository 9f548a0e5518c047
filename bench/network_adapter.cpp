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
} // namespace

BENCHMARK_MAIN();
