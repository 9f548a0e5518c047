// Messages per second cut from a stream buffer by each framing, for 100-byte
// and 2000-byte messages: the stream thread's per-message cost without the
// forwarding. Each iteration writes a block of whole frames and cuts them all.
#include "FendralCore/runtime/StreamBuffer.h"
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/runtime/FrameworkResource.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace
{
constexpr int32 RING = 1 << 20;
constexpr int32 MAX_LEN = 32768;

std::string frame(MsgFormatType format, int32 size)
{
    switch (format)
    {
    case MSG_FORMAT_QUOR:
    {
        std::string f(static_cast<size_t>(size), 'q');
        const auto body = static_cast<uint16_t>(size - 10);
        std::memcpy(f.data(), &body, 2);
        return f;
    }
    case MSG_FORMAT_FIX:
    {
        // Prefix, a 4-digit BodyLength, body ending with SOH, trailer.
        const int32 bodyLen = size - 13 - 5 - 7;
        std::string body(static_cast<size_t>(bodyLen), 'f');
        body.back() = '\x01';
        std::string len = std::to_string(bodyLen);
        len.insert(0, 4 - len.size(), '0');
        return std::string("8=FIXT.1.1\x01" "9=") + len + "\x01" + body + "10=123\x01";
    }
    case MSG_FORMAT_CUSTOM:
    {
        std::string f(static_cast<size_t>(size), 'c');
        f[4] = static_cast<char>(size >> 8);
        f[5] = static_cast<char>(size & 0xff);
        return f;
    }
    default:
        return std::string(static_cast<size_t>(size), 'r');
    }
}

void cutStream(benchmark::State& state, MsgFormatType format)
{
    const auto size = static_cast<int32>(state.range(0));
    TcpConnResource res{};
    res.regParam.msgFormat = format;
    res.regParam.appMsgSizeInfo = AppMsgSizeInfo{4, BIG_INTEGER16, false, 0, 0};
    res.usePipeline = false;
    StreamBuffer sb(&res, RING, LOW_LATENCY, false);
    const std::string one = frame(format, size);
    std::string block;
    while (block.size() + one.size() < static_cast<size_t>(RING / 2))
        block += one;
    const int32 perBlock = static_cast<int32>(block.size() / one.size());
    // Raw hands out whatever is readable; cut it at the message size.
    const int32 maxLen = format == MSG_FORMAT_RAW ? size : MAX_LEN;
    std::vector<char> buf(MAX_LEN);
    int64_t cut = 0;
    for (auto _ : state)
    {
        int32 written = 0;
        sb.enqueue(block.data(), static_cast<int32>(block.size()), written, true);
        MsgFormatType f{};
        int32 len = 0;
        int32 hdr = 0;
        for (int32 i = 0; i < perBlock; ++i)
        {
            if (sb.dequeueMessage(buf.data(), f, maxLen, len, hdr) != 0)
            {
                state.SkipWithError("framing failed");
                return;
            }
            benchmark::DoNotOptimize(buf.data());
        }
        cut += perBlock;
    }
    state.SetItemsProcessed(cut);
    state.SetBytesProcessed(cut * size);
}
} // namespace

BENCHMARK_CAPTURE(cutStream, raw, MSG_FORMAT_RAW)->Arg(100)->Arg(2000);
BENCHMARK_CAPTURE(cutStream, quor, MSG_FORMAT_QUOR)->Arg(100)->Arg(2000);
BENCHMARK_CAPTURE(cutStream, fix, MSG_FORMAT_FIX)->Arg(100)->Arg(2000);
BENCHMARK_CAPTURE(cutStream, custom, MSG_FORMAT_CUSTOM)->Arg(100)->Arg(2000);

BENCHMARK_MAIN();
