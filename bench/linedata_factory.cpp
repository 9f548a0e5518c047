// create + destroy pairs per second from the pooled basic factory, beside
// plain new/delete of the same record and beside a standard pool resource
// handing out the record constructed; and the cost per message of splitting
// a 10-message text block and a 10-message binary packet.
#include "kelmora/linedata/LineDataBasic.h"
#include "kelmora/linedata/LineDataBlock.h"
#include "kelmora/linedata/LineDataDravek.h"
#include "kelmora/linedata/LineDataFactoryBasic.h"
#include "kelmora/linedata/LineDataFactoryBlock.h"
#include "kelmora/linedata/LineDataFactoryDravek.h"
#include "zunq/log/Log.h"

#include <benchmark/benchmark.h>

#include <memory>
#include <memory_resource>
#include <string>

namespace
{

void BM_BasicFactoryCreateDestroy(benchmark::State& state)
{
    Log log;
    log.setLevel(LOG_LEVEL_ALERT);
    LineDataFactoryBasic factory("bench", log);
    factory.setObjPoolSize(1050);
    for (auto _ : state)
    {
        LineData* record = factory.create();
        benchmark::DoNotOptimize(record);
        factory.destroy(record);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BasicFactoryCreateDestroy);

void BM_NewDeleteRecord(benchmark::State& state)
{
    for (auto _ : state)
    {
        auto* record = new LineDataBasic();
        benchmark::DoNotOptimize(record);
        delete record;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_NewDeleteRecord);

void BM_PmrPoolRecord(benchmark::State& state)
{
    std::pmr::unsynchronized_pool_resource pool;
    for (auto _ : state)
    {
        void* place = pool.allocate(sizeof(LineDataBasic), alignof(LineDataBasic));
        auto* record = new (place) LineDataBasic();
        benchmark::DoNotOptimize(record);
        record->~LineDataBasic();
        pool.deallocate(place, sizeof(LineDataBasic), alignof(LineDataBasic));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PmrPoolRecord);

// Items are messages: the rate's inverse is the time per message.
void BM_SplitBlock10(benchmark::State& state)
{
    LineDataFactoryBlock factory;
    factory.setSeqNumOffset(0);
    factory.setSeqNumLength(8);
    factory.setCategoryControl("C");
    factory.setTypeHeartbeat("H");
    std::string block = "\x01";
    for (int i = 0; i < 10; ++i)
        block += (i ? "\x1f" : "") + std::to_string(10000000 + i) + "DX some message text of a price update";
    block += "\x03";
    std::unique_ptr<LineData> record(factory.create());
    std::deque<const LineData*>* list = nullptr;
    for (auto _ : state)
    {
        record->setData(block.data(), static_cast<std::uint32_t>(block.size()));
        record->getBlockData(list);
        benchmark::DoNotOptimize(list->back());
    }
    state.SetItemsProcessed(state.iterations() * 10);
}
BENCHMARK(BM_SplitBlock10);

void BM_SplitPacket10(benchmark::State& state)
{
    Log log;
    log.setLevel(LOG_LEVEL_ALERT);
    LineDataFactoryDravek factory("bench", log);
    std::string packet(16, '\0');
    packet[2] = 10;
    packet[4] = 1;
    for (int i = 0; i < 10; ++i)
    {
        std::string message(40, 'm');
        message[0] = 40;
        message[1] = 0;
        message[2] = 1;
        message[3] = 0;
        packet += message;
    }
    std::unique_ptr<LineData, void (*)(LineData*)> record(factory.create(), [](LineData* r) { delete r; });
    std::deque<const LineData*>* list = nullptr;
    for (auto _ : state)
    {
        record->setData(packet.data(), static_cast<std::uint32_t>(packet.size()));
        record->getBlockData(list);
        benchmark::DoNotOptimize(list->back());
    }
    state.SetItemsProcessed(state.iterations() * 10);
}
BENCHMARK(BM_SplitPacket10);

} // namespace

BENCHMARK_MAIN();
