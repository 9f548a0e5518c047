// Recovery time of the messaging topics: a subscriber misses a run of
// messages (its data socket leaves the group while a second subscriber keeps
// the publisher's window moving), hears the next message, and asks the
// publisher, which resends from its history. Measured per round: from
// sending the message that shows the gap to the delivery of the last missing
// message; p50 and p99 over the rounds, for gaps of 1, 100, 10,000 and
// 100,000 messages (16-byte messages). Both services and the publisher run
// in this process on the in-memory multicast fabric of the tests, pumped
// from this thread: what is measured is the services' own work, not a
// network's.
//
//   bench_msl_recovery_time [ROUNDS_SCALE]   (default 1: 50/50/10/3 rounds)
#include "FendralCore/tests/mslrecovery/RecoveryTestSupport.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace
{
using namespace rectest;
using Clock = std::chrono::steady_clock;

double percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    const size_t i = std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5));
    return v[i];
}

void deafen(Node& n, bool deaf)
{
    MslSocket* s = n.sub()->chnRecPtr->dataSock.get();
    if (deaf)
        s->leave();
    else
        s->join();
}
} // namespace

int main(int argc, char** argv)
{
    const int scale = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1;
    std::printf("| gap | rounds | p50 ms | p99 ms | resends served |\n|---|---|---|---|---|\n");
    for (const auto& [gap, rounds] : std::vector<std::pair<int, int>>{{1, 50}, {100, 50}, {10000, 10}, {100000, 3}})
    {
        Net net;
        const TopicSpec pubSpec{"QUOTES", PUBLISH, 120000, 200000};
        const TopicSpec subSpec{"QUOTES", SUBSCRIBE, 1000, 200000};
        Node& pub = net.add("PUBA", "10.0.0.1", {pubSpec});
        Node& a = net.add("SUBA", "10.0.1.1", {subSpec});
        Node& b = net.add("SUBB", "10.0.1.2", {subSpec});
        if (!net.ready(a) || !net.ready(b) || !net.ready(pub) ||
            !net.pumpUntil([&] { return pub.pub()->numEffectiveSub.load() == 2; }))
        {
            std::fprintf(stderr, "the services did not come up\n");
            return 1;
        }
        std::vector<double> ms;
        for (int r = 0; r < rounds * scale; ++r)
        {
            const size_t base = b.seqs.size();
            deafen(b, true);
            net.send(pub, gap);
            deafen(b, false);
            const size_t target = base + static_cast<size_t>(gap);
            const Clock::time_point t0 = Clock::now();
            net.send(pub, 1);
            Clock::time_point t1{};
            const bool done = net.pumpUntil(
                [&] {
                    if (b.seqs.size() >= target && t1 == Clock::time_point{})
                        t1 = Clock::now();
                    return b.seqs.size() >= target + 1 && a.seqs.size() >= target + 1;
                },
                120s);
            if (!done || !b.deliveredInOrder(1, target + 1))
            {
                std::fprintf(stderr, "gap %d round %d: not recovered (%zu of %zu)\n", gap, r, b.seqs.size(),
                             target + 1);
                return 1;
            }
            ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
        }
        std::printf("| %d | %zu | %.2f | %.2f | %lu |\n", gap, ms.size(), percentile(ms, 0.5), percentile(ms, 0.99),
                    static_cast<unsigned long>(pub.svc().topicStats().resendsServed.get()));
        std::fflush(stdout);
    }
    return 0;
}
