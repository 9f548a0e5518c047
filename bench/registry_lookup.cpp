// ns per lookup by name in the registry's name-keyed tables: up to four
// entries are found in the four-slot list, from five on in the hash map.
// Also with the TCP table's baton taken (uncontended), and through the
// registry's TCP lookup while a second thread churns accepted connections.
#include "FendralCore/runtime/ResourceManager.h"
#include "FendralCore/runtime/ResourceRepository.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace
{

struct NameValue
{
    ResourceName txt;
};

std::vector<NameValue> names(int64_t count)
{
    std::vector<NameValue> out(static_cast<size_t>(count));
    for (int64_t i = 0; i < count; ++i)
    {
        std::memset(out[i].txt, 0, sizeof(ResourceName));
        std::snprintf(out[i].txt, sizeof(ResourceName), "CHANNEL_%u", static_cast<unsigned>(i));
    }
    return out;
}

// Lookups over all entries in a random order (or of one name over and
// over), with or without the baton.
void lookups(benchmark::State& state, bool exclusive, bool sameName = false)
{
    const auto keys = names(state.range(0));
    ResourceRepository<int> repo;
    std::vector<int> objs(keys.size());
    for (size_t i = 0; i < keys.size(); ++i)
        repo.addResource(keys[i].txt, &objs[i]);
    std::vector<size_t> order(4096);
    std::mt19937 rng(1);
    for (auto& o : order)
        o = sameName ? keys.size() - 1 : rng() % keys.size();
    size_t n = 0;
    int* found = nullptr;
    for (auto _ : state)
    {
        repo.getResourceObject(keys[order[n++ & 4095]].txt, found, exclusive);
        benchmark::DoNotOptimize(found);
    }
    state.SetLabel(repo.isListLookup() ? "scan list" : "hash map");
}

void BM_RepositoryLookup(benchmark::State& state)
{
    lookups(state, false);
}
BENCHMARK(BM_RepositoryLookup)->Arg(1)->Arg(4)->Arg(5)->Arg(20)->Arg(200)->Arg(10000);

void BM_RepositoryLookupSameName(benchmark::State& state)
{
    lookups(state, false, true);
}
BENCHMARK(BM_RepositoryLookupSameName)->Arg(1)->Arg(4)->Arg(20);

void BM_RepositoryLookupWithBaton(benchmark::State& state)
{
    lookups(state, true);
}
BENCHMARK(BM_RepositoryLookupWithBaton)->Arg(4)->Arg(20);

void BM_RepositoryLookupMiss(benchmark::State& state)
{
    const auto keys = names(state.range(0));
    ResourceRepository<int> repo;
    int obj = 0;
    for (const auto& k : keys)
        repo.addResource(k.txt, &obj);
    ResourceName missing{};
    std::snprintf(missing, sizeof(missing), "NOT_THERE");
    int* found = nullptr;
    for (auto _ : state)
        benchmark::DoNotOptimize(repo.getResourceObject(missing, found));
}
BENCHMARK(BM_RepositoryLookupMiss)->Arg(4)->Arg(20);

// The registry's TCP lookup (baton) of a listen connection while another
// thread registers and removes accepted connections as fast as it can.
void BM_TcpLookupDuringChurn(benchmark::State& state)
{
    ResourceManager registry(nullptr);
    ThreadParam thread;
    registry.initThreadParam(thread);
    std::snprintf(thread.threadNameTxt, sizeof(ResourceName), "T");
    registry.registerThreadRes(thread, true, nullptr);
    TcpConnParam listen;
    registry.initTcpConnParam(listen);
    std::snprintf(listen.connNameTxt, sizeof(ResourceName), "LSN");
    std::snprintf(listen.threadNameTxt, sizeof(ResourceName), "T");
    std::snprintf(listen.interfaceTxt, sizeof(IpAddress), "127.0.0.1");
    listen.tcpMode = TCP_SERVER_LISTEN_MODE;
    registry.registerTcpConnRes(listen, nullptr, false);

    std::atomic<bool> stop{false};
    std::thread churn;
    if (state.range(0) != 0)
    {
        churn = std::thread([&] {
            TcpConnParam accepted = listen;
            accepted.tcpMode = TCP_SERVER_DATA_MODE;
            for (unsigned i = 0; !stop.load(std::memory_order_relaxed); ++i)
            {
                std::memset(accepted.connNameTxt, 0, sizeof(ResourceName));
                std::snprintf(accepted.connNameTxt, sizeof(ResourceName), "LSN:%u", i % 100000);
                registry.registerTcpConnRes(accepted, nullptr, true);
                registry.removeTcpClientConnRes(accepted.connNameTxt, true);
            }
        });
    }
    ResourceName name{};
    std::snprintf(name, sizeof(name), "LSN");
    TcpConnResource* rec = nullptr;
    for (auto _ : state)
    {
        registry.getTcpConnRes(name, &rec, true);
        benchmark::DoNotOptimize(rec);
    }
    stop = true;
    if (churn.joinable())
        churn.join();
    state.SetLabel(state.range(0) != 0 ? "with churn" : "quiet");
}
BENCHMARK(BM_TcpLookupDuringChurn)->Arg(0)->Arg(1)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
