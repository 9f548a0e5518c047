// Lookup cost of the framework hash map keyed by resource names, the key of
// the registry and handle tables, beside std::unordered_map for scale.
#include "FendralCore/foundation/UnsortedMap.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <random>
#include <unordered_map>
#include <vector>

namespace
{

std::vector<UInt128> names(int64_t count)
{
    std::vector<UInt128> keys;
    for (int64_t i = 0; i < count; ++i)
    {
        char name[17] = {};
        std::snprintf(name, sizeof(name), "THREAD_%u", static_cast<unsigned>(i % 1000000));
        keys.emplace_back(name, false);
    }
    return keys;
}

void BM_UnsortedMapUInt128Lookup(benchmark::State& state)
{
    const auto keys = names(state.range(0));
    UnsortedMap<UInt128> map(100);
    for (size_t i = 0; i < keys.size(); ++i)
        map.insert(keys[i], i, false);
    std::vector<size_t> order(4096);
    std::mt19937 rng(1);
    for (auto& o : order)
        o = rng() % keys.size();
    size_t n = 0;
    DataValueType value = 0;
    for (auto _ : state)
    {
        map.getValueByKey(keys[order[n++ & 4095]], value, false);
        benchmark::DoNotOptimize(value);
    }
}
BENCHMARK(BM_UnsortedMapUInt128Lookup)->Arg(100)->Arg(10000);

struct Hash128
{
    size_t operator()(const UInt128& k) const { return k.hashValue(); }
};

void BM_StdUnorderedMapUInt128Lookup(benchmark::State& state)
{
    const auto keys = names(state.range(0));
    std::unordered_map<UInt128, DataValueType, Hash128> map;
    for (size_t i = 0; i < keys.size(); ++i)
        map.emplace(keys[i], i);
    std::vector<size_t> order(4096);
    std::mt19937 rng(1);
    for (auto& o : order)
        o = rng() % keys.size();
    size_t n = 0;
    for (auto _ : state)
    {
        auto it = map.find(keys[order[n++ & 4095]]);
        benchmark::DoNotOptimize(it->second);
    }
}
BENCHMARK(BM_StdUnorderedMapUInt128Lookup)->Arg(100)->Arg(10000);

} // namespace

BENCHMARK_MAIN();
