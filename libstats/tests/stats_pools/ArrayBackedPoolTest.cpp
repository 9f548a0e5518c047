#include "libstats/pool/ArrayBackedLocklessCircularList.h"
#include "libstats/pool/ArrayBackedMap.h"
#include "libstats/pool/ArrayBackedPool.h"
#include "libstats/tests/support/StatsTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <set>
#include <sys/mman.h>
#include <sys/shm.h>
#include <unistd.h>
#include <vector>

using Zunq::Utils::ArrayBackedLocklessCircularList;
using Zunq::Utils::ArrayBackedMap;
using Zunq::Utils::ArrayBackedPool;
using Zunq::Utils::ArrayBackedPoolObject;

namespace
{

struct Item : ArrayBackedPoolObject
{
    long payload;
    char text[16];
};

// A type whose default constructor sets its payload only, as pooled types with
// construction on init must.
struct Constructed : ArrayBackedPoolObject
{
    Constructed() { payload = 77; }
    long payload;
};

class ArrayBackedPoolTest : public ::testing::Test
{
protected:
    CapturedLog mLog;
};

TEST_F(ArrayBackedPoolTest, HandsOutAllButTheLastEntryThenGrowsByOneLevel)
{
    for (long size : {1L, 2L, 5L, 100L})
    {
        SCOPED_TRACE(size);
        ArrayBackedPool<Item> pool;
        ASSERT_TRUE(pool.init(size, mLog.log(), "items", 0));
        for (long i = 0; i < size - 1; ++i)
            EXPECT_EQ(pool.getFreeIndex(), i);
        EXPECT_EQ(pool.getTotalMaxEntries(), size);
        EXPECT_EQ(pool.getFreeIndex(), size - 1);
        EXPECT_EQ(pool.getTotalMaxEntries(), 2 * size);
        EXPECT_EQ(pool.getNumLevels(), 2);
        // Every entry handed out is distinct memory of the pool.
        for (long i = 0; i < size; ++i)
            pool.getEntry(i)->payload = i;
        for (long i = 0; i < size; ++i)
            EXPECT_EQ(pool.getEntry(i)->payload, i);
    }
}

TEST_F(ArrayBackedPoolTest, PoolOfNoEntriesGrowsOnFirstUse)
{
    ArrayBackedPool<Item> pool;
    ASSERT_TRUE(pool.init(0, mLog.log(), "empty", 0));
    long first = pool.getFreeIndex();
    long second = pool.getFreeIndex();
    ASSERT_GE(first, 0);
    ASSERT_GE(second, 0);
    EXPECT_NE(first, second);
    pool.getEntry(first)->payload = 1;
    pool.getEntry(second)->payload = 2;
    EXPECT_EQ(pool.getEntry(first)->payload, 1);
    EXPECT_EQ(pool.getNumEntries(), 2);
}

TEST_F(ArrayBackedPoolTest, FreedEntriesReturnUnclearedAtTheEndOfTheFreeList)
{
    ArrayBackedPool<Item> pool;
    ASSERT_TRUE(pool.init(4, mLog.log(), "items", 0));
    long a = pool.getFreeIndex();
    pool.getEntry(a)->payload = 4242;
    std::strcpy(pool.getEntry(a)->text, "kept");
    ASSERT_TRUE(pool.freeIndex(a));
    EXPECT_EQ(pool.getNumEntries(), 0);
    // The free list runs 1, 2, 3, then the freed 0.
    EXPECT_EQ(pool.getFreeIndex(), 1);
    EXPECT_EQ(pool.getFreeIndex(), 2);
    EXPECT_EQ(pool.getFreeIndex(), 3);
    EXPECT_EQ(pool.getTotalMaxEntries(), 4);
    EXPECT_EQ(pool.getFreeIndex(), a);
    EXPECT_EQ(pool.getEntry(a)->payload, 4242);
    EXPECT_STREQ(pool.getEntry(a)->text, "kept");
    EXPECT_EQ(pool.getMaxUsedEntries(), 4);
}

TEST_F(ArrayBackedPoolTest, IndicesOutsideThePoolAreRefused)
{
    ArrayBackedPool<Item> pool;
    ASSERT_TRUE(pool.init(4, mLog.log(), "items", 0));
    for (long index : {-1L, 4L, 1000L})
    {
        EXPECT_EQ(pool.getEntry(index), nullptr) << index;
        EXPECT_FALSE(pool.freeIndex(index)) << index;
    }
}

TEST_F(ArrayBackedPoolTest, FillWarningOncePerFillAndAgainAfterGrowth)
{
    const std::string warning = "WARNING: Pool [fill]  warn level at 90 % reached.";
    ArrayBackedPool<Item> pool;
    ASSERT_TRUE(pool.init(10, mLog.log(), "fill", 0));
    for (int i = 0; i < 8; ++i)
        pool.getFreeIndex();
    EXPECT_EQ(mLog.count(warning), 0);
    pool.getFreeIndex(); // 9 of 10
    EXPECT_EQ(mLog.count(warning), 1);
    EXPECT_TRUE(mLog.sink().contains("Current number of items used: 9. Maximum items allowed: 10"));
    pool.getFreeIndex(); // grows to 20
    EXPECT_EQ(mLog.count("] is full. Pool resizing. MAX_ENTRIES IS: 10"), 1);
    for (int i = 0; i < 7; ++i)
        pool.getFreeIndex();
    EXPECT_EQ(mLog.count(warning), 1);
    pool.getFreeIndex(); // 18 of 20
    EXPECT_EQ(mLog.count(warning), 2);
    pool.getFreeIndex();
    EXPECT_EQ(mLog.count(warning), 2);
}

TEST_F(ArrayBackedPoolTest, LogNameIsCutTo49Characters)
{
    ArrayBackedPool<Item> pool;
    ASSERT_TRUE(pool.init(2, mLog.log(), std::string(60, 'n'), 0));
    EXPECT_EQ(std::string(pool.getLogName()), std::string(49, 'n'));
}

TEST_F(ArrayBackedPoolTest, ConstructorOnInitBuildsPayloadAndKeepsTheLinks)
{
    ArrayBackedPool<Constructed> pool;
    pool.setConstructorOnInit(true);
    ASSERT_TRUE(pool.init(3, mLog.log(), "built", 0));
    EXPECT_EQ(pool.getFreeIndex(), 0);
    EXPECT_EQ(pool.getFreeIndex(), 1);
    EXPECT_EQ(pool.getFreeIndex(), 2); // the links survived construction: growth went well
    EXPECT_EQ(pool.getEntry(2)->payload, 77);
    EXPECT_EQ(pool.getEntry(4)->payload, 77);
}

TEST_F(ArrayBackedPoolTest, RandomGetsAndFreesNeverHandOutAnEntryTwice)
{
    ArrayBackedPool<Item> pool;
    ASSERT_TRUE(pool.init(16, mLog.log(), "random", 0));
    std::mt19937 random(7);
    std::set<long> held;
    for (int step = 0; step < 20000; ++step)
    {
        if (held.empty() || random() % 3 != 0)
        {
            long index = pool.getFreeIndex();
            ASSERT_GE(index, 0);
            ASSERT_TRUE(held.insert(index).second) << "handed out twice: " << index;
            pool.getEntry(index)->payload = index;
        }
        else
        {
            auto it = held.begin();
            std::advance(it, random() % held.size());
            ASSERT_EQ(pool.getEntry(*it)->payload, *it);
            ASSERT_TRUE(pool.freeIndex(*it));
            held.erase(it);
        }
        ASSERT_EQ(pool.getNumEntries(), static_cast<long>(held.size()));
    }
}

// A large heap pool costs resident memory for the most entries it had out
// at once, not for its size: its block's pages stay untouched until an
// entry on them is first handed out, and entries given back go out again
// before any never used.
TEST_F(ArrayBackedPoolTest, LargeHeapPoolHoldsResidentOnlyItsHighWaterMark)
{
    struct Page : ArrayBackedPoolObject
    {
        char bytes[4096 - sizeof(ArrayBackedPoolObject)];
    };
    constexpr long cEntries = 2048; // 8 MB, a block of its own
    ArrayBackedPool<Page> pool;
    ASSERT_TRUE(pool.init(cEntries, mLog.log(), "pages", 0));
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    auto resident = [&] {
        const auto first = reinterpret_cast<std::uintptr_t>(pool.peekEntry(0)) & ~(pageSize - 1);
        const auto end = reinterpret_cast<std::uintptr_t>(pool.peekEntry(cEntries - 1)) + sizeof(Page);
        std::vector<unsigned char> pages((end - first + pageSize - 1) / pageSize);
        EXPECT_EQ(::mincore(reinterpret_cast<void*>(first), end - first, pages.data()), 0);
        long n = 0;
        for (unsigned char p : pages)
            n += p & 1;
        return n;
    };
    EXPECT_LE(resident(), 8) << "of " << cEntries << " pages";
    for (long i = 0; i < 100; ++i)
        ASSERT_EQ(pool.getFreeIndex(), i); // in index order, as a pool linked whole
    const long used = resident();
    EXPECT_GE(used, 100);
    EXPECT_LE(used, 110);
    // Many times as many entries through the pool as it holds, 100 at a time.
    std::set<long> handedOut;
    std::vector<long> held;
    for (long i = 0; i < 100; ++i)
        held.push_back(i);
    for (int round = 0; round < 50; ++round)
    {
        for (long index : held)
            ASSERT_TRUE(pool.freeIndex(index));
        held.clear();
        for (int i = 0; i < 100; ++i)
        {
            held.push_back(pool.getFreeIndex());
            handedOut.insert(held.back());
        }
        ASSERT_EQ(std::set<long>(held.begin(), held.end()).size(), held.size()) << "round " << round;
    }
    EXPECT_LE(handedOut.size(), 101u);
    EXPECT_LE(resident(), used + 2);
    EXPECT_EQ(pool.getNumLevels(), 1);
    EXPECT_EQ(pool.getNumEntries(), 100);
}

TEST_F(ArrayBackedPoolTest, ClearGivesEveryEntryBackAndKeepsTheLevels)
{
    ArrayBackedPool<Item> pool;
    ASSERT_TRUE(pool.init(4, mLog.log(), "cleared", 0));
    for (int i = 0; i < 5; ++i)
        pool.getFreeIndex();
    ASSERT_EQ(pool.getNumLevels(), 2);
    ASSERT_TRUE(pool.clear());
    EXPECT_EQ(pool.getNumEntries(), 0);
    EXPECT_EQ(pool.getMaxUsedEntries(), 5);
    EXPECT_EQ(pool.getNumLevels(), 2);
    // All eight are free again, in index order, and the last in reserve as before.
    for (long i = 0; i < 7; ++i)
        EXPECT_EQ(pool.getFreeIndex(), i);
    EXPECT_EQ(pool.getNumLevels(), 2);
    EXPECT_EQ(pool.getFreeIndex(), 7);
    EXPECT_EQ(pool.getNumLevels(), 3);

    pool.dump();
    EXPECT_EQ(mLog.count("ArrayBackedPool::dump() pool [cleared] used[8] maxUsed[8] perLevel[4] levels[3] total[12] "
                         "mFree[8] mLast[11] warnAt[10] shmKey[-1] view[no]"),
              1);
}

TEST_F(ArrayBackedPoolTest, AViewSharesThePoolsCountersAndEntriesButNeverGrowsIt)
{
    ArrayBackedPool<Item> pool;
    ASSERT_TRUE(pool.init(2, mLog.log(), "viewed", 0));
    pool.getFreeIndex();
    pool.getFreeIndex(); // second level
    ArrayBackedPool<Item> view(&pool);
    ArrayBackedPool<Item> viewOfView(&view);
    for (long i = 0; i < 4; ++i)
    {
        EXPECT_EQ(view.getEntry(i), pool.getEntry(i)) << i;
        EXPECT_EQ(viewOfView.getEntry(i), pool.getEntry(i)) << i;
    }
    EXPECT_EQ(view.getFreeIndex(), 2);
    EXPECT_EQ(pool.getNumEntries(), 3);
    // Only the last free entry is left: the view may not grow the pool.
    EXPECT_EQ(view.getFreeIndex(), -1);
    EXPECT_EQ(pool.getNumLevels(), 2);
    EXPECT_FALSE(view.clear());
    // Levels the pool grew after the view was made are not the view's.
    EXPECT_EQ(pool.getFreeIndex(), 3);
    EXPECT_EQ(pool.getNumLevels(), 3);
    EXPECT_EQ(view.getEntry(4), nullptr);
    EXPECT_EQ(view.getNumEntries(), 4);
}

TEST(ArrayBackedLocklessCircularListTest, FullListRefusesNewItemsAndKeepsTheUnreadOnes)
{
    CapturedLog log;
    for (long slots : {2L, 3L, 8L})
    {
        SCOPED_TRACE(slots);
        ArrayBackedLocklessCircularList<Item> list(slots, log.log(), "samples", nullptr, 0);
        Item item{};
        for (long i = 0; i < slots - 1; ++i)
        {
            item.payload = i;
            EXPECT_NE(list.pushBackItem(item), nullptr);
        }
        item.payload = 999;
        EXPECT_EQ(list.pushBackItem(item), nullptr);
        EXPECT_EQ(list.pushBackItem(item), nullptr);
        EXPECT_EQ(list.getDropped(), 2u);
        EXPECT_EQ(list.getNumUnread(), slots - 1);
        for (long i = 0; i < slots - 1; ++i)
        {
            Item* read = list.popHead();
            ASSERT_NE(read, nullptr);
            EXPECT_EQ(read->payload, i);
        }
        EXPECT_EQ(list.popHead(), nullptr);
        // Room again after reading, across the wrap.
        item.payload = 5;
        EXPECT_NE(list.pushBackItem(item), nullptr);
        EXPECT_EQ(list.popHead()->payload, 5);
    }
    EXPECT_EQ(log.count("ArrayBackedLocklessCircularList::pushBackItem(samples) - circular buffer started to wrap."), 3);
}

// A list whose state came from another process is trusted only within its slots.
class DamagedList : public ArrayBackedLocklessCircularList<Item>
{
public:
    using ArrayBackedLocklessCircularList::ArrayBackedLocklessCircularList;
    void setSlots(long head, long tail)
    {
        mValues->mHead = head;
        mValues->mTail = tail;
    }
};

TEST(ArrayBackedLocklessCircularListTest, IndicesOutsideTheSlotsAreRefused)
{
    CapturedLog log;
    DamagedList list(4, log.log(), "damaged", nullptr, 0);
    Item item{};
    for (auto [head, tail] : {std::pair{0L, 4L}, {7L, 0L}, {-1L, 2L}, {1L, 1L << 40}})
    {
        list.setSlots(head, tail);
        EXPECT_EQ(list.pushBackItem(item), nullptr) << head << " " << tail;
        EXPECT_EQ(list.popHead(), nullptr) << head << " " << tail;
        EXPECT_EQ(list.getNumUnread(), 0);
    }
}

TEST(ArrayBackedMapTest, SlotsMapToPoolEntries)
{
    CapturedLog log;
    ArrayBackedMap<unsigned int, Item> map(4, log.log(), "map", nullptr);
    Item* first = map.addEmptyEntry(2, false);
    ASSERT_NE(first, nullptr);
    first->payload = 12;
    EXPECT_EQ(map.getEntry(2), first);
    EXPECT_EQ(map.addEmptyEntry(2, false), nullptr);
    EXPECT_EQ(map.addEmptyEntry(2, true), first);
    EXPECT_EQ(map.getEntry(1), nullptr);
    EXPECT_EQ(map.addEmptyEntry(4, false), nullptr);
    EXPECT_EQ(map.getNumEntries(), 1);
    EXPECT_TRUE(map.deleteEntry(2));
    EXPECT_FALSE(map.deleteEntry(2));
    EXPECT_EQ(map.getEntry(2), nullptr);
    EXPECT_EQ(map.getNumEntries(), 0);
}

} // namespace
