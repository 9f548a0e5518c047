// The tests' own view of the retransmission protocol's bytes, written from
// the byte layout and not from the library's records: hex text to bytes, and
// little-endian fields read at plain offsets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace wire
{

using Bytes = std::vector<char>;

// "20 00 01" -> {0x20, 0x00, 0x01}; blanks and '|' separate bytes.
inline Bytes hex(const std::string& text)
{
    Bytes out;
    int high = -1;
    for (char c : text)
    {
        int v = -1;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else if (c == ' ' || c == '|')
            continue;
        else
            throw std::invalid_argument("bad hex text: " + text);
        if (high < 0)
        {
            high = v;
        }
        else
        {
            out.push_back(static_cast<char>(high << 4 | v));
            high = -1;
        }
    }
    if (high >= 0)
        throw std::invalid_argument("odd hex text: " + text);
    return out;
}

inline std::uint64_t le(const Bytes& bytes, std::size_t offset, std::size_t width)
{
    std::uint64_t v = 0;
    for (std::size_t i = width; i-- > 0;)
        v = v << 8 | static_cast<unsigned char>(bytes.at(offset + i));
    return v;
}

inline void putLe(Bytes& bytes, std::size_t offset, std::uint64_t value, std::size_t width)
{
    for (std::size_t i = 0; i < width; ++i)
        bytes.at(offset + i) = static_cast<char>(value >> (8 * i));
}

// A message of `size` bytes of type `type`, body bytes `fill`.
inline Bytes message(std::uint16_t size, std::uint16_t type, char fill = 'm')
{
    Bytes m(size, fill);
    putLe(m, 0, size, 2);
    putLe(m, 2, type, 2);
    return m;
}

// A packet of the given messages: header {size, count, 0, seq, sendTime}.
inline Bytes packet(std::uint32_t seq, const std::vector<Bytes>& messages, std::uint64_t sendTime = 0)
{
    Bytes p(16, 0);
    for (const Bytes& m : messages)
        p.insert(p.end(), m.begin(), m.end());
    putLe(p, 0, p.size(), 2);
    putLe(p, 2, messages.size(), 1);
    putLe(p, 4, seq, 4);
    putLe(p, 8, sendTime, 8);
    return p;
}

} // namespace wire
