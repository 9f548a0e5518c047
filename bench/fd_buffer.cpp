// MB/s cutting newline-framed messages of 64, 256 and 1024 bytes out of a
// pipe through the descriptor read buffer (append, scan, shift), beside a
// plain read loop into a fixed buffer with the same memchr framing (the
// bound); and the same for a deflated stream, beside a plain inflate loop.
// Each iteration moves 16 MB of messages through a pipe from a writer thread.
#include "kelmora/linehandler/FileDescBuffer.h"
#include "kelmora/linehandler/LineEof.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <fcntl.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>
#include <zlib.h>

namespace
{

constexpr std::size_t cTotal = 16u << 20;

std::string messages(std::size_t size)
{
    std::string text;
    text.reserve(cTotal);
    for (std::size_t i = 0; text.size() + size <= cTotal; ++i)
    {
        std::string m = std::to_string(i) + " ";
        m.resize(size - 1, 'a' + static_cast<char>(i % 26));
        text += m;
        text += '\n';
    }
    return text;
}

std::string deflated(const std::string& text)
{
    z_stream z{};
    deflateInit(&z, Z_BEST_SPEED);
    std::string out(deflateBound(&z, text.size()) + 64, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    z.avail_in = static_cast<uInt>(text.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_SYNC_FLUSH);
    out.resize(out.size() - z.avail_out);
    deflateEnd(&z);
    return out;
}

// Runs `reader` on the read end while a thread writes `bytes` and closes.
template <class Reader>
std::size_t throughPipe(const std::string& bytes, Reader reader)
{
    int fds[2];
    if (::pipe(fds) != 0)
        return 0;
    ::fcntl(fds[0], F_SETPIPE_SZ, 1 << 20);
    std::thread writer([&] {
        for (std::size_t at = 0; at < bytes.size();)
        {
            const ssize_t n = ::write(fds[1], bytes.data() + at, bytes.size() - at);
            if (n <= 0)
                break;
            at += static_cast<std::size_t>(n);
        }
        ::close(fds[1]);
    });
    const std::size_t count = reader(fds[0]);
    writer.join();
    ::close(fds[0]);
    return count;
}

std::size_t cutAll(FileDescBuffer& b)
{
    std::size_t count = 0;
    for (;;)
    {
        const char* start = b.buffer();
        const char* end = start + b.bufferSize();
        const char* at = start;
        while (const void* nl = std::memchr(at, '\n', static_cast<std::size_t>(end - at)))
        {
            ++count;
            at = static_cast<const char*>(nl) + 1;
        }
        if (at != start)
            b.shift(at);
        try
        {
            b.readChunk();
        }
        catch (const LineEof&)
        {
            return count;
        }
    }
}

void run(benchmark::State& state, bool deflate, bool bound)
{
    const std::string text = messages(static_cast<std::size_t>(state.range(0)));
    const std::string input = deflate ? deflated(text) : text;
    std::size_t count = 0;
    for (auto _ : state)
    {
        count = throughPipe(input, [&](int fd) -> std::size_t {
            if (!bound)
            {
                FileDescBuffer b;
                b.setDataIsDeflated(deflate);
                b.setFd(fd);
                return cutAll(b);
            }
            std::vector<char> out(FileDescBuffer::cDefaultSize);
            std::vector<char> zin(FileDescBuffer::cZBufferSize);
            z_stream z{};
            if (deflate)
                inflateInit(&z);
            std::size_t kept = 0, n = 0;
            for (;;)
            {
                std::size_t got = 0;
                if (deflate)
                {
                    if (z.avail_in == 0)
                    {
                        const ssize_t r = ::read(fd, zin.data(), zin.size());
                        if (r <= 0)
                            break;
                        z.next_in = reinterpret_cast<Bytef*>(zin.data());
                        z.avail_in = static_cast<uInt>(r);
                    }
                    z.next_out = reinterpret_cast<Bytef*>(out.data() + kept);
                    z.avail_out = static_cast<uInt>(out.size() - kept);
                    inflate(&z, Z_NO_FLUSH);
                    got = out.size() - kept - z.avail_out;
                }
                else
                {
                    const ssize_t r = ::read(fd, out.data() + kept, out.size() - kept);
                    if (r <= 0)
                        break;
                    got = static_cast<std::size_t>(r);
                }
                const char* start = out.data();
                const char* end = start + kept + got;
                const char* at = start;
                while (const void* nl = std::memchr(at, '\n', static_cast<std::size_t>(end - at)))
                {
                    ++n;
                    at = static_cast<const char*>(nl) + 1;
                }
                kept = static_cast<std::size_t>(end - at);
                std::memmove(out.data(), at, kept);
            }
            if (deflate)
                inflateEnd(&z);
            return n;
        });
    }
    state.counters["messages"] = static_cast<double>(count);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(text.size()));
}

void BM_FdBufferPlain(benchmark::State& state) { run(state, false, false); }
void BM_ReadLoopPlain(benchmark::State& state) { run(state, false, true); }
void BM_FdBufferDeflated(benchmark::State& state) { run(state, true, false); }
void BM_InflateLoop(benchmark::State& state) { run(state, true, true); }

BENCHMARK(BM_FdBufferPlain)->Arg(64)->Arg(256)->Arg(1024)->UseRealTime();
BENCHMARK(BM_ReadLoopPlain)->Arg(64)->Arg(256)->Arg(1024)->UseRealTime();
BENCHMARK(BM_FdBufferDeflated)->Arg(64)->Arg(256)->Arg(1024)->UseRealTime();
BENCHMARK(BM_InflateLoop)->Arg(64)->Arg(256)->Arg(1024)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
