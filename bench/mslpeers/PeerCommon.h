// What the three publisher/subscriber programs of the messaging comparison
// share: options, the message stamp, pacing, and the result lines the
// driver (tools/msl-topics-bench) reads.
//
// Every message starts with its index (from 1) and the sender's
// CLOCK_MONOTONIC time in ns; the clock is the same in every network
// namespace of the host, so the subscriber's callback time minus the stamp
// is the one-way latency.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <vector>

namespace peer
{
inline uint64_t nowNs()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<uint64_t>(t.tv_sec) * 1000000000ull + static_cast<uint64_t>(t.tv_nsec);
}

// --key value pairs.
struct Options
{
    std::map<std::string, std::string> values;

    Options(int argc, char** argv)
    {
        for (int i = 1; i + 1 < argc; i += 2)
            values[argv[i]] = argv[i + 1];
    }
    std::string str(const std::string& key, const std::string& dflt) const
    {
        auto it = values.find("--" + key);
        return it == values.end() ? dflt : it->second;
    }
    long num(const std::string& key, long dflt) const
    {
        auto it = values.find("--" + key);
        return it == values.end() ? dflt : std::atol(it->second.c_str());
    }
};

constexpr size_t STAMP = 16;

inline void stamp(char* buf, uint64_t index)
{
    const uint64_t t = nowNs();
    std::memcpy(buf, &index, 8);
    std::memcpy(buf + 8, &t, 8);
}

// Sleeps or spins until message index (from 1) is due at rate per second;
// rate 0 never waits.
inline void pace(uint64_t start, long rate, uint64_t index)
{
    if (rate <= 0)
        return;
    const uint64_t due = start + (index - 1) * 1000000000ull / static_cast<uint64_t>(rate);
    for (;;)
    {
        const uint64_t now = nowNs();
        if (now >= due)
            return;
        if (due - now > 200000)
        {
            timespec t{0, static_cast<long>(due - now - 100000)};
            nanosleep(&t, nullptr);
        }
    }
}

// The subscriber's record: latencies of every message after the first
// tenth (the warm-up), first and last arrival, order faults.
class Receiver
{
public:
    explicit Receiver(long count) : m_count(static_cast<uint64_t>(count)) { m_lat.reserve(m_count); }

    // True once N messages came (with several sending threads the
    // highest index may come before the others).
    bool onMessage(const char* p, size_t len)
    {
        const uint64_t now = nowNs();
        if (len < STAMP)
        {
            ++m_bad;
            return false;
        }
        uint64_t index = 0;
        uint64_t sent = 0;
        std::memcpy(&index, p, 8);
        std::memcpy(&sent, p + 8, 8);
        if (m_received == 0)
            m_first = now;
        m_last = now;
        ++m_received;
        if (index <= m_lastIndex)
            ++m_bad; // out of order (expected only with several sending threads)
        m_lastIndex = index;
        if (index > m_count / 10 && now >= sent)
            m_lat.push_back(now - sent);
        return m_received >= m_count;
    }

    void report()
    {
        if (m_reported)
            return;
        m_reported = true;
        std::sort(m_lat.begin(), m_lat.end());
        auto pct = [&](double q) {
            return m_lat.empty() ? 0.0 : static_cast<double>(m_lat[static_cast<size_t>(q * static_cast<double>(m_lat.size() - 1))]) / 1000.0;
        };
        const double span = static_cast<double>(m_last - m_first) / 1e9;
        std::printf("RESULT recv=%llu bad=%llu mps=%.0f p50_us=%.1f p99_us=%.1f\n",
                    static_cast<unsigned long long>(m_received), static_cast<unsigned long long>(m_bad),
                    span > 0 ? static_cast<double>(m_received - 1) / span : 0.0, pct(0.50), pct(0.99));
        std::fflush(stdout);
    }

private:
    uint64_t m_count;
    uint64_t m_received = 0;
    uint64_t m_bad = 0;
    uint64_t m_lastIndex = 0;
    uint64_t m_first = 0;
    uint64_t m_last = 0;
    bool m_reported = false;
    std::vector<uint64_t> m_lat;
};

inline void reportSent(uint64_t sent, uint64_t start)
{
    const double span = static_cast<double>(nowNs() - start) / 1e9;
    std::printf("SENT n=%llu mps=%.0f\n", static_cast<unsigned long long>(sent),
                span > 0 ? static_cast<double>(sent) / span : 0.0);
    std::fflush(stdout);
}
} // namespace peer
