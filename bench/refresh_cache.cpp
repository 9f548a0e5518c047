// One refresh cycle of 1472-byte packets through the refresh client: each
// packet checked in order and copied into the shared pool, then every message
// replayed into the channel's handler, the cache emptied and the filter set.
// Beside it the bound: the same packets copied into a buffer each and their
// messages walked into the same handler through its interface, with nothing
// else. Reported per
// packet, as the refresh line publishes them: whole, not split into records.
#include "kelmora/filter/LineFilter.h"
#include "kelmora/linedata/LineDataFactoryBasic.h"
#include "kelmora/linedata/LineDataFactoryDravek.h"
#include "kelmora/recovery/LineHandlerZunqRefresh.h"
#include "kelmora/recovery/MessageHandlerZunq.h"
#include "kelmora/thread/TarvokSession.h"
#include "zunq/log/Log.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace
{

constexpr std::uint32_t cChannel = 7;
// 28 messages of 52 bytes fill a packet to 1472 bytes.
constexpr int cMessagesPerPacket = 28;
constexpr std::uint16_t cMessageSize = 52;
constexpr std::size_t cPacketSize = 16 + cMessagesPerPacket * cMessageSize;
static_assert(cPacketSize == 1472);

class Handler : public DRAVEK::Recovery::MessageHandlerZunq
{
public:
    explicit Handler(Log& log) : MessageHandlerZunq("bench", log, true) {}
    void onData(const Orlu<LineData>&, const std::string&, const LineData&) override {}
    void processMessage(const char* msg, std::uint16_t, std::uint64_t seqNum, std::uint64_t, std::uint64_t) override
    {
        mSum += static_cast<unsigned char>(msg[4]) + seqNum;
        benchmark::DoNotOptimize(mSum);
    }
    void resetState() override {}
    std::uint64_t mSum = 0;
};

void put16(std::string& out, std::uint16_t v)
{
    out.append(reinterpret_cast<const char*>(&v), 2);
}

void put32(std::string& out, std::uint32_t v)
{
    out.append(reinterpret_cast<const char*>(&v), 4);
}

// A packet from `seq`: full of data messages, or one refresh-complete message.
std::string packet(std::uint32_t seq, bool complete)
{
    std::string body;
    const int count = complete ? 1 : cMessagesPerPacket;
    for (int i = 0; i < count; ++i)
    {
        if (complete)
        {
            put16(body, 8);
            put16(body, 203);
            put32(body, 1000);
            continue;
        }
        put16(body, cMessageSize);
        put16(body, 0x0500);
        body.append(cMessageSize - 4, static_cast<char>('a' + i));
    }
    std::string out;
    put16(out, static_cast<std::uint16_t>(16 + body.size()));
    out += static_cast<char>(count);
    out += '\0';
    put32(out, seq);
    out.append(8, '\0');
    return out + body;
}

// The records a refresh line would publish for one cycle of `packets`
// packets between its two ends.
struct Cycle
{
    Cycle(Log& log, std::int64_t packets) : factory("bench", log)
    {
        factory.setChannelId(cChannel);
        std::uint32_t seq = 1;
        add(packet(seq++, true));
        for (std::int64_t i = 0; i < packets; ++i)
        {
            add(packet(seq, false));
            seq += cMessagesPerPacket;
        }
        add(packet(seq, true));
    }
    ~Cycle()
    {
        for (LineData* record : records)
            factory.destroy(record);
    }
    void add(std::string packetBytes)
    {
        // A record borrows its packet's bytes.
        const std::string& bytes = kept.emplace_back(std::move(packetBytes));
        LineData* record = factory.create();
        record->setData(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
        records.push_back(record);
    }
    LineDataFactoryDravek factory;
    std::deque<std::string> kept;
    std::vector<LineData*> records;
};

void BM_RefreshCacheAndReplay(benchmark::State& state)
{
    const std::int64_t packetsPerCycle = state.range(0);
    Log log;
    Handler handler(log);
    TarvokSession session;
    LineDataFactoryBasic records("bench", log);
    LineFilter filter("bench", session, log, &records, false);
    Cycle cycle(log, packetsPerCycle);
    LineHandlerZunqRefresh client(log, packetsPerCycle + 2);
    client.addMessageHandler(cChannel, &handler);
    client.addLineFilter(cChannel, &filter);
    Orlu<LineData> bus("refresh", "");
    RefreshRequest request;
    request.mChannelId = cChannel;
    OrluSubscriber<LineData>& packets = client;
    for (auto _ : state)
    {
        client.handleRefreshRequest("bench", request);
        for (LineData* record : cycle.records)
            packets.onData(bus, "line", *record);
    }
    if (client.isActive(cChannel) || client.getPoolUsage() != 0)
        state.SkipWithError("the refresh did not end");
    state.SetItemsProcessed(state.iterations() * packetsPerCycle);
    state.counters["ns_per_packet"] = benchmark::Counter(static_cast<double>(state.iterations() * packetsPerCycle),
                                                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_BareCopyAndWalk(benchmark::State& state)
{
    const std::int64_t packetsPerCycle = state.range(0);
    Log log;
    Handler handler(log);
    Cycle cycle(log, packetsPerCycle);
    std::vector<char> buffers(static_cast<std::size_t>(packetsPerCycle + 2) * cPacketSize);
    std::uint64_t publishSeqNum = 1;
    // Through the handler's interface, as any consumer of the messages calls it.
    DRAVEK::Recovery::MessageHandlerZunq* target = &handler;
    benchmark::DoNotOptimize(target);
    for (auto _ : state)
    {
        std::size_t used = 0;
        for (LineData* record : cycle.records)
        {
            std::memcpy(buffers.data() + used * cPacketSize, record->getData(), record->getDataLen());
            ++used;
        }
        for (std::size_t p = 1; p < used; ++p)
        {
            const char* bytes = buffers.data() + p * cPacketSize;
            const auto count = static_cast<unsigned char>(bytes[2]);
            std::size_t offset = 16;
            for (unsigned i = 0; i < count; ++i)
            {
                std::uint16_t size = 0;
                std::memcpy(&size, bytes + offset, 2);
                target->processMessage(bytes + offset, cChannel, publishSeqNum++, 0, 0);
                offset += size;
            }
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * packetsPerCycle);
    state.counters["ns_per_packet"] = benchmark::Counter(static_cast<double>(state.iterations() * packetsPerCycle),
                                                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

} // namespace

// Packets per cycle: the refresh's own steps (request, reset, filter, logs)
// weigh on a short cycle.
BENCHMARK(BM_RefreshCacheAndReplay)->Arg(64)->Arg(1024);
BENCHMARK(BM_BareCopyAndWalk)->Arg(64)->Arg(1024);

BENCHMARK_MAIN();
