// Messages per second through the retransmission packet helpers, for 40-byte
// and 400-byte channel messages: packing a response's messages into
// 1472-byte packets (the copy into the send queue left out), and framing
// received packets and walking their messages.
#include "zunq/protocol/PacketDecoder.h"
#include "zunq/protocol/PacketPacker.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <span>
#include <vector>

namespace
{

constexpr std::size_t MESSAGES = 1000;

std::vector<char> channelMessage(std::size_t size)
{
    std::vector<char> m(size, 'm');
    const auto ownSize = static_cast<std::uint16_t>(size);
    const std::uint16_t type = 0x0500;
    std::memcpy(m.data(), &ownSize, 2);
    std::memcpy(m.data() + 2, &type, 2);
    return m;
}

void BM_Pack(benchmark::State& state)
{
    const std::vector<char> message = channelMessage(static_cast<std::size_t>(state.range(0)));
    Zunq::PacketPacker packer;
    std::size_t bytes = 0;
    auto emit = [&](std::span<const char> packet) { bytes += packet.size(); };
    for (auto _ : state)
    {
        packer.start(1);
        for (std::size_t i = 0; i < MESSAGES; ++i)
            packer.add(message.data(), message.size(), emit);
        emit(packer.packet());
        benchmark::DoNotOptimize(bytes);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * MESSAGES));
}

void BM_Decode(benchmark::State& state)
{
    const std::vector<char> message = channelMessage(static_cast<std::size_t>(state.range(0)));
    std::vector<char> stream;
    Zunq::PacketPacker packer(1);
    auto keep = [&](std::span<const char> packet) { stream.insert(stream.end(), packet.begin(), packet.end()); };
    for (std::size_t i = 0; i < MESSAGES; ++i)
        packer.add(message.data(), message.size(), keep);
    keep(packer.packet());

    std::size_t seen = 0;
    for (auto _ : state)
    {
        std::size_t at = 0;
        Zunq::PacketView view;
        while (Zunq::PacketDecoder::frame(stream.data() + at, stream.size() - at, view) ==
               Zunq::PacketDecoder::Status::OK)
        {
            Zunq::PacketMessage m;
            while (view.nextMessage(m))
                seen += m.type;
            at += view.size();
        }
        benchmark::DoNotOptimize(seen);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * MESSAGES));
}

} // namespace

BENCHMARK(BM_Pack)->Arg(40)->Arg(400);
BENCHMARK(BM_Decode)->Arg(40)->Arg(400);

BENCHMARK_MAIN();
