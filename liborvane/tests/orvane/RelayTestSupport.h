// What the relay tests share: admin records written byte by byte as the
// layout says (never through the relay's own helpers), and reading whole
// records from a raw socket.
#pragma once

#include "kelmora/tests/masquerader/LoopbackSupport.h"

#include <cstring>
#include <string>
#include <vector>

namespace relaytest
{

constexpr std::size_t cRecord = 1451;

// A record: type byte 0, then subject (100), reply subject (50), args (1200),
// interface (50), method (50), each text NUL-padded.
inline std::string record(const std::string& subject, const std::string& reply = "", const std::string& args = "",
                          const std::string& iface = "", const std::string& method = "")
{
    std::string r(cRecord, '\0');
    auto put = [&r](std::size_t at, std::size_t size, const std::string& text) {
        r.replace(at, std::min(text.size(), size - 1), text.substr(0, size - 1));
    };
    put(1, 100, subject);
    put(101, 50, reply);
    put(151, 1200, args);
    put(1351, 50, iface);
    put(1401, 50, method);
    return r;
}

inline std::string field(const std::string& rec, std::size_t at, std::size_t size)
{
    const std::string raw = rec.substr(at, size);
    return raw.substr(0, raw.find('\0'));
}
inline std::string subjectOf(const std::string& rec) { return field(rec, 1, 100); }
inline std::string argsOf(const std::string& rec) { return field(rec, 151, 1200); }

// The subjects of records, for messages about them.
inline std::string subjects(const std::vector<std::string>& records)
{
    std::string out;
    for (const std::string& r : records)
        out += field(r, 1, 100) + " ";
    return out;
}

inline bool sendAll(int fd, const std::string& bytes)
{
    std::size_t at = 0;
    while (at < bytes.size())
    {
        const ssize_t n = ::send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        at += static_cast<std::size_t>(n);
    }
    return true;
}

// Reads `n` whole records (or fewer when the peer closes or is silent for
// `seconds`).
inline std::vector<std::string> readRecords(int fd, std::size_t n, int seconds = 20)
{
    std::string bytes;
    loopback::readUpTo(fd, bytes, n * cRecord, seconds);
    std::vector<std::string> out;
    for (std::size_t at = 0; at + cRecord <= bytes.size(); at += cRecord)
        out.push_back(bytes.substr(at, cRecord));
    return out;
}

// Nothing more arrives within `ms`.
inline bool silent(int fd, int ms)
{
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) == 0;
}

} // namespace relaytest
