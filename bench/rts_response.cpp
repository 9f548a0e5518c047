// Building and queueing one retransmission response of 10,000 cached
// messages (100 and 1000 bytes): the request's checks, the packing into
// packets and the copy of each packet into the session's queue of pooled
// buffers, beside a plain copy of the same bytes into packet-sized buffers
// (the bound). Then the packet pool's high-water mark for 1, 50 and 200
// sessions that each have a full-range response queued.
#include "rts/tests/support/SessionDriver.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

using namespace rtstest;

namespace
{
constexpr std::uint32_t cMessages = 10000;

const char* const cClients = R"(<rts><ClientList>
<Client><UserName>bob</UserName><IpAddresses><Value>127.0.0.1</Value></IpAddresses>
  <Channels><Value>9</Value></Channels><MaximumRequests>2000000000</MaximumRequests></Client>
</ClientList></rts>
)";

std::unique_ptr<SessionDriver> driver(std::uint16_t size)
{
    auto d = std::make_unique<SessionDriver>(cClients, 50000);
    d->log().setLevel(LOG_LEVEL_ERROR);
    d->channel(9, 1, cMessages, size, static_cast<std::int32_t>(cMessages));
    return d;
}

void BM_BuildAndQueueResponse(benchmark::State& state)
{
    const auto size = static_cast<std::uint16_t>(state.range(0));
    std::unique_ptr<SessionDriver> d = driver(size);
    const std::string ask = request(9, 1, cMessages);
    RtsTcpSession* s = &d->logOn("s", "bob");
    unsigned long packets = 0;
    for (auto _ : state)
    {
        SessionDriver::send(*s, ask);
        state.PauseTiming();
        packets = s->queuedPackets();
        s->closeSocket();
        d->wire("s").clear();
        s = &d->logOn("s", "bob");
        state.ResumeTiming();
    }
    state.counters["packets"] = static_cast<double>(packets);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * cMessages));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * cMessages * size));
}

// The bound: the same bytes, where the cache holds them, copied back to
// back into 1472-byte buffers.
void BM_PlainCopyIntoPacketBuffers(benchmark::State& state)
{
    const auto size = static_cast<std::uint16_t>(state.range(0));
    std::unique_ptr<SessionDriver> d = driver(size);
    LineDataCacheManager::LineDataCache* cache = d->cache(9);
    std::vector<const char*> messages;
    for (std::uint32_t s = 1; s <= cMessages; ++s)
        messages.push_back(cache->getMessage(s)->getData());
    const std::size_t perPacket = 1456 / size;
    std::vector<char> buffers((cMessages / perPacket + 1) * 1472);
    for (auto _ : state)
    {
        char* packet = buffers.data();
        std::size_t used = 16;
        std::size_t count = 0;
        for (const char* m : messages)
        {
            if (count == perPacket)
            {
                packet += 1472;
                used = 16;
                count = 0;
            }
            std::memcpy(packet + used, m, size);
            used += size;
            ++count;
        }
        benchmark::DoNotOptimize(buffers.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * cMessages));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * cMessages * size));
}

// Sessions each with a full-range response queued at once: the pool's
// high-water mark (entries of 1472 bytes) and the time to queue them all.
void BM_PoolHighWater(benchmark::State& state)
{
    const auto sessions = static_cast<int>(state.range(0));
    const auto size = static_cast<std::uint16_t>(state.range(1));
    std::unique_ptr<SessionDriver> d = driver(size);
    std::vector<RtsTcpSession*> open;
    for (int i = 0; i < sessions; ++i)
        open.push_back(&d->logOn("s" + std::to_string(i), "bob"));
    const std::string ask = request(9, 1, cMessages);
    for (auto _ : state)
        for (RtsTcpSession* s : open)
            SessionDriver::send(*s, ask);
    RtsTcpServer::PacketPool* pool = d->server().getPacketBufferPool();
    state.counters["pool_high_water"] = static_cast<double>(pool->getMaxUsedEntries());
    state.counters["pool_MB"] =
        static_cast<double>(pool->getTotalMaxEntries()) * sizeof(ZunqUtils::PacketBufferItem) / 1e6;
}
} // namespace

BENCHMARK(BM_BuildAndQueueResponse)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PlainCopyIntoPacketBuffers)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PoolHighWater)
    ->Args({1, 100})
    ->Args({50, 100})
    ->Args({200, 100})
    ->Args({1, 1000})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
