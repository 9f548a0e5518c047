// The retransmission cache's hot paths: storing a message (beside a plain
// copy of the same bytes into a pre-allocated ring, the bound), lookup by
// number, the request check outside and inside a gap window, absorbing a
// large gap, allocations per store and memory per cached message.
// The counting allocator below pairs malloc with free on purpose.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include "kelmora/linedata/LineDataBasic.h"
#include "rts/cache/LineDataCacheManager.h"
#include "zunq/log/Log.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

std::atomic<std::uint64_t>& gAllocationBytes();

namespace
{
std::atomic<std::uint64_t> gAllocations{0};

constexpr std::int32_t cCapacity = 100000;

std::vector<char> message(std::uint16_t size)
{
    std::vector<char> bytes(size, 'x');
    std::memcpy(bytes.data(), &size, 2);
    const std::uint16_t type = 1;
    std::memcpy(bytes.data() + 2, &type, 2);
    return bytes;
}

struct Fixture
{
    explicit Fixture(std::int32_t capacity = cCapacity)
        : mManager(mLog)
    {
        mLog.setLevel(LOG_LEVEL_CRITICAL);
        mCache = mManager.addLineDataCache(1, "feed", nullptr, nullptr, capacity, true, false, 1536, false);
    }
    void store(LineDataBasic& record, std::uint32_t seq)
    {
        record.setSeqNum(seq);
        mCache->onData(mBus, "bench", record);
    }
    Log mLog;
    Orlu<LineData> mBus{"OrluLineData", "feed"};
    LineDataCacheManager mManager;
    LineDataCacheManager::LineDataCache* mCache;
};

void BM_CacheStore(benchmark::State& state)
{
    Fixture f;
    const std::vector<char> bytes = message(static_cast<std::uint16_t>(state.range(0)));
    LineDataBasic record;
    record.setData(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    std::uint32_t seq = 0;
    for (int i = 0; i < cCapacity; ++i)
        f.store(record, ++seq);
    const std::uint64_t before = gAllocations.load();
    for (auto _ : state)
        f.store(record, ++seq);
    state.counters["allocs_per_store"] =
        static_cast<double>(gAllocations.load() - before) / static_cast<double>(state.iterations());
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CacheStore)->Arg(64)->Arg(512)->Arg(1456);

// The bound: the same bytes copied into a ring of the same size, nothing else.
void BM_PlainRingCopy(benchmark::State& state)
{
    const std::vector<char> bytes = message(static_cast<std::uint16_t>(state.range(0)));
    std::vector<char> ring(static_cast<std::size_t>(cCapacity) * 1456);
    std::uint32_t tail = 0;
    for (auto _ : state)
    {
        std::memcpy(ring.data() + static_cast<std::size_t>(tail) * 1456, bytes.data(), bytes.size());
        benchmark::DoNotOptimize(ring.data());
        tail = tail + 1 == cCapacity ? 0 : tail + 1;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PlainRingCopy)->Arg(64)->Arg(512)->Arg(1456);

void BM_GetMessage(benchmark::State& state)
{
    Fixture f;
    const std::vector<char> bytes = message(64);
    LineDataBasic record;
    record.setData(bytes.data(), 64);
    for (std::uint32_t s = 1; s <= 2 * cCapacity; ++s)
        f.store(record, s);
    std::uint32_t s = cCapacity + 1;
    for (auto _ : state)
    {
        benchmark::DoNotOptimize(f.mCache->getMessage(s));
        s = s == 2 * cCapacity ? cCapacity + 1 : s + 1;
    }
}
BENCHMARK(BM_GetMessage);

// A 100-message request, with arg 1 inside the recorded gap window.
void BM_IsRequestValid(benchmark::State& state)
{
    Fixture f;
    const std::vector<char> bytes = message(64);
    LineDataBasic record;
    record.setData(bytes.data(), 64);
    for (std::uint32_t s = 1; s <= 1000; ++s)
        f.store(record, s);
    f.store(record, 1010); // gaps 1001..1009 and 2901..2909: a window round 1100
    for (std::uint32_t s = 1011; s <= 2900; ++s)
        f.store(record, s);
    for (std::uint32_t s = 2910; s <= 4000; ++s)
        f.store(record, s);
    const std::string client = "client";
    const std::uint32_t begin = state.range(0) != 0 ? 1100 : 3000;
    for (auto _ : state)
        benchmark::DoNotOptimize(f.mCache->isRequestValid(client, 1, begin, begin + 99, false));
}
BENCHMARK(BM_IsRequestValid)->Arg(0)->Arg(1);

void BM_AbsorbGapOfMillion(benchmark::State& state)
{
    Fixture f;
    const std::vector<char> bytes = message(64);
    LineDataBasic record;
    record.setData(bytes.data(), 64);
    std::uint32_t seq = 1;
    f.store(record, seq);
    for (auto _ : state)
    {
        seq += 1000001;
        f.store(record, seq);
    }
}
BENCHMARK(BM_AbsorbGapOfMillion)->Unit(benchmark::kMicrosecond);

void BM_MemoryPerMessage(benchmark::State& state)
{
    Log log;
    std::uint64_t bytesPerSlot = 0;
    for (auto _ : state)
    {
        // Heap bytes taken by a ring of 1000 slots, by counting the allocator.
        const std::uint64_t before = gAllocationBytes().load();
        {
            LineDataCacheManager manager(log);
            manager.addLineDataCache(1, "feed", nullptr, nullptr, 1000, true, false, 1536, false);
            bytesPerSlot = (gAllocationBytes().load() - before) / 1000;
        }
    }
    state.counters["bytes_per_slot"] = static_cast<double>(bytesPerSlot);
    state.counters["max_message"] = 1456;
}
BENCHMARK(BM_MemoryPerMessage)->Iterations(1);
} // namespace

std::atomic<std::uint64_t>& gAllocationBytes()
{
    static std::atomic<std::uint64_t> bytes{0};
    return bytes;
}

void* operator new(std::size_t size)
{
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    gAllocationBytes().fetch_add(size, std::memory_order_relaxed);
    if (void* p = std::malloc(size != 0 ? size : 1))
        return p;
    throw std::bad_alloc();
}

void operator delete(void* p) noexcept
{
    std::free(p);
}

void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}

BENCHMARK_MAIN();
