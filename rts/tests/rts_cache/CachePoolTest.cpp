#include "rts/cache/CachePool.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>

namespace
{

// A record the size of a cached message's slot that counts its lives.
struct Counted
{
    static inline int made = 0;
    static inline int unmade = 0;
    Counted() { ++made; }
    ~Counted() { ++unmade; }
    char bytes[1500] = {};
};

// The VmFlags of the mapping that holds `address`; empty when not found.
std::string flagsAround(const void* address)
{
    std::ifstream smaps("/proc/self/smaps");
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    bool inside = false;
    std::string line;
    while (std::getline(smaps, line))
    {
        std::uintptr_t from = 0;
        std::uintptr_t to = 0;
        char dash = 0;
        std::istringstream head(line);
        if (head >> std::hex >> from >> dash >> to && dash == '-')
        {
            inside = from <= at && at < to;
            continue;
        }
        if (inside && line.rfind("VmFlags:", 0) == 0)
            return line.substr(8) + " ";
    }
    return {};
}

} // namespace

// Small and large rings alike (1398 and 1399 records lie either side of the
// 2 MB where the block moves to huge pages): every slot's record made once at
// the start and unmade once at the end, the records side by side in slot order.
TEST(CachePool, RecordsLieInSlotOrderAndLiveAsLongAsThePool)
{
    for (const std::uint32_t size : {1u, 3u, 1398u, 1399u, 4000u})
    {
        Counted::made = 0;
        Counted::unmade = 0;
        {
            CachePool<Counted> pool(size, true, true);
            EXPECT_EQ(Counted::made, static_cast<int>(size)) << size;
            for (std::uint32_t i = 1; i < size; ++i)
                ASSERT_EQ(pool.at(i), pool.at(i - 1) + 1) << size << " slot " << i;
            for (std::uint32_t i = 0; i < size; ++i)
                pool.at(i)->bytes[sizeof Counted::bytes - 1] = 1; // every byte of it is ours
            EXPECT_EQ(Counted::unmade, 0);
        }
        EXPECT_EQ(Counted::unmade, static_cast<int>(size)) << size;
    }
}

// A cache of several megabytes is read all over by a replay: its records
// ask for huge pages (whether the system has them free is its own matter),
// a small one stays on the ordinary heap.
TEST(CachePool, ALargeRingAsksForHugePages)
{
    if (!std::ifstream("/sys/kernel/mm/transparent_hugepage/enabled"))
        GTEST_SKIP() << "this kernel has no huge pages on request";
    CachePool<Counted> large(4000, true, true); // 6 MB
    EXPECT_NE(flagsAround(large.at(2000)).find(" hg "), std::string::npos) << flagsAround(large.at(2000));
    CachePool<Counted> small(100, true, true);
    EXPECT_EQ(flagsAround(small.at(50)).find(" hg "), std::string::npos) << flagsAround(small.at(50));
}
