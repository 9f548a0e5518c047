// Deflate helpers of the tests: inflating a whole connection as one stream,
// and finding a record whose compressed form fills the connection's 16384-byte
// output block exactly while record bytes still wait in the stream.
#pragma once

#include <zlib.h>

#include <random>
#include <string>
#include <vector>

namespace deflating
{
inline std::string inflateAll(const std::string& stream)
{
    z_stream z{};
    if (inflateInit(&z) != Z_OK)
        return {};
    std::string out;
    char block[4096];
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(stream.data()));
    z.avail_in = static_cast<uInt>(stream.size());
    do
    {
        z.next_out = reinterpret_cast<Bytef*>(block);
        z.avail_out = sizeof block;
        const int r = inflate(&z, Z_SYNC_FLUSH);
        if (r != Z_OK && r != Z_BUF_ERROR)
            break;
        out.append(block, sizeof block - z.avail_out);
    } while (z.avail_out == 0 || z.avail_in > 0);
    inflateEnd(&z);
    return out;
}

inline std::string randomBytes(std::size_t n, unsigned seed)
{
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char& c : s)
        c = static_cast<char>(gen());
    return s;
}

// After `before` went through a fresh stream (empty records skipped, each
// record flushed), a record that fills the block exactly with all its input
// taken and more than the flush marker still pending; empty when none is
// found.
inline std::string exactFillRecord(const std::vector<std::string>& before)
{
    z_stream mirror{};
    if (deflateInit(&mirror, Z_DEFAULT_COMPRESSION) != Z_OK)
        return {};
    std::vector<char> block(16384);
    for (const std::string& r : before)
    {
        if (r.empty())
            continue;
        mirror.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(r.data()));
        mirror.avail_in = static_cast<uInt>(r.size());
        do
        {
            mirror.next_out = reinterpret_cast<Bytef*>(block.data());
            mirror.avail_out = static_cast<uInt>(block.size());
            deflate(&mirror, Z_SYNC_FLUSH);
        } while (mirror.avail_out == 0);
    }
    std::string exact;
    for (std::size_t len = 16000; len < 17000 && exact.empty(); ++len)
    {
        const std::string candidate = randomBytes(len, 7);
        z_stream trial{};
        if (deflateCopy(&trial, &mirror) != Z_OK)
            break;
        trial.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(candidate.data()));
        trial.avail_in = static_cast<uInt>(candidate.size());
        trial.next_out = reinterpret_cast<Bytef*>(block.data());
        trial.avail_out = static_cast<uInt>(block.size());
        deflate(&trial, Z_SYNC_FLUSH);
        if (trial.avail_out == 0 && trial.avail_in == 0)
        {
            // Record bytes, not only the flush marker, still wait in the stream.
            trial.next_out = reinterpret_cast<Bytef*>(block.data());
            trial.avail_out = static_cast<uInt>(block.size());
            deflate(&trial, Z_SYNC_FLUSH);
            if (block.size() - trial.avail_out > 32)
                exact = candidate;
        }
        deflateEnd(&trial);
    }
    deflateEnd(&mirror);
    return exact;
}
} // namespace deflating
