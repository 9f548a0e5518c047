#include "libstats/pool/ArrayBackedPool.h"
#include "libstats/tests/support/StatsTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ipc.h>
#include <sys/shm.h>

using Zunq::Utils::ArrayBackedPool;
using Zunq::Utils::ArrayBackedPoolObject;
using Zunq::Utils::PoolShmLayout;

namespace
{

struct Item : ArrayBackedPoolObject
{
    long payload;
};

class SharedPoolTest : public ::testing::Test
{
protected:
    SharedPoolTest() { mKey = ftok(mIpc.keyFile(mDir.path()).c_str(), 0); }

    TempDir mDir;
    IpcCleaner mIpc;
    CapturedLog mLog;
    key_t mKey = -1;
};

TEST_F(SharedPoolTest, ForkedProcessAttachesTheLevelsAndSeesCountersAndEntries)
{
    int id = 0;
    ArrayBackedPool<Item>* pool = ArrayBackedPool<Item>::initShMem(mKey, id, 4, mLog.log(), "shared", nullptr, 90);
    ASSERT_NE(pool, nullptr);
    EXPECT_EQ(reinterpret_cast<char*>(pool->getEntry(0)) - reinterpret_cast<char*>(pool),
              static_cast<long>(PoolShmLayout::cFirstEntries));
    for (long i = 0; i < 5; ++i)
    {
        ASSERT_EQ(pool->getFreeIndex(), i);
        pool->getEntry(i)->payload = 100 + i;
    }
    ASSERT_EQ(pool->getNumLevels(), 2);
    // The second level is a segment of its own, key + 2.
    ASSERT_GE(shmget(mKey + 2, 0, 0), 0);
    // The segments outlive the creator's attachment.
    ASSERT_EQ(ArrayBackedPool<Item>::detachShm(pool), 0);

    int code = runInChild([this] {
        int childId = 0;
        ArrayBackedPool<Item>* attached =
            ArrayBackedPool<Item>::initShMem(mKey, childId, 4, mLog.log(), "shared", nullptr, 90);
        if (attached == nullptr)
            return 1;
        if (attached->getNumEntries() != 5 || attached->getTotalMaxEntries() != 8 || attached->getNumLevels() != 2)
            return 2;
        for (long i = 0; i < 5; ++i)
            if (attached->getEntry(i)->payload != 100 + i)
                return 3;
        // The free list goes on where the creator left it.
        if (attached->getFreeIndex() != 5)
            return 4;
        attached->getEntry(5)->payload = 105;
        return ArrayBackedPool<Item>::detachShm(attached) == 0 ? 0 : 5;
    });
    EXPECT_EQ(code, 0);

    // A view sees the shared counters the child moved.
    int viewId = 0;
    ArrayBackedPool<Item>* view =
        ArrayBackedPool<Item>::initShMemAndGetCopy(mKey, viewId, 4, mLog.log(), "shared", nullptr, 90);
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view->getNumEntries(), 6);
    EXPECT_EQ(view->getEntry(3)->payload, 103);
    // A view knows level 0 only and refuses what lies beyond it.
    EXPECT_EQ(view->getEntry(5), nullptr);
    EXPECT_EQ(ArrayBackedPool<Item>::detachShm(view), 0);
    delete view;
}

TEST_F(SharedPoolTest, SegmentsThatDoNotDescribeThePoolAreRefused)
{
    const std::size_t size = ArrayBackedPool<Item>::getInitialNeededSize(4, nullptr);
    struct Case
    {
        const char* what;
        std::size_t segmentSize;
        void (*damage)(ArrayBackedPool<Item>*, char*);
    };
    const Case cases[] = {
        {"segment of another size", size, nullptr},
        {"count above the pool", size,
         [](ArrayBackedPool<Item>*, char* base) {
             reinterpret_cast<Zunq::Utils::SimpleValues*>(base + 32)->mNumEntries = 1000;
         }},
        {"free index outside the pool", size,
         [](ArrayBackedPool<Item>*, char* base) {
             reinterpret_cast<Zunq::Utils::SimpleValues*>(base + 32)->mFree = -7;
         }},
        {"other entries per level", size,
         [](ArrayBackedPool<Item>*, char* base) {
             reinterpret_cast<Zunq::Utils::SimpleValues*>(base + 32)->mMaxEntries = 3;
         }},
        {"levels that are not there", size,
         [](ArrayBackedPool<Item>*, char* base) {
             auto* values = reinterpret_cast<Zunq::Utils::SimpleValues*>(base + 32);
             values->mNumAuxEntries = 2;
             values->mTotalMaxEntries = 8;
         }},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        int id = 0;
        if (c.damage == nullptr)
        {
            // A complete pool of 5 entries where one of 4 is asked for.
            ArrayBackedPool<Item>* other =
                ArrayBackedPool<Item>::initShMem(mKey, id, 5, mLog.log(), "other", nullptr, 90);
            ASSERT_NE(other, nullptr);
            ArrayBackedPool<Item>::detachShm(other);
        }
        else
        {
            ArrayBackedPool<Item>* pool =
                ArrayBackedPool<Item>::initShMem(mKey, id, 4, mLog.log(), "damaged", nullptr, 90);
            ASSERT_NE(pool, nullptr);
            c.damage(pool, reinterpret_cast<char*>(pool));
            ArrayBackedPool<Item>::detachShm(pool);
        }
        EXPECT_EQ(ArrayBackedPool<Item>::initShMem(mKey, id, 4, mLog.log(), "damaged", nullptr, 90), nullptr);
        shmctl(shmget(mKey, 0, 0), IPC_RMID, nullptr);
    }
}

TEST_F(SharedPoolTest, SegmentNeverCompletedByItsCreatorIsRefused)
{
    // What a creator that died half-way leaves: the right size, no ready mark.
    ASSERT_GE(shmget(mKey, ArrayBackedPool<Item>::getInitialNeededSize(4, nullptr), IPC_CREAT | IPC_EXCL | 0600), 0);
    int id = 0;
    EXPECT_EQ(ArrayBackedPool<Item>::initShMem(mKey, id, 4, mLog.log(), "half", nullptr, 90), nullptr);
    EXPECT_TRUE(mLog.sink().contains("was never completed by its creator"));
}

TEST_F(SharedPoolTest, ProcessesStartingTogetherShareOneInitialisation)
{
    // Each child takes one entry through its own view, one at a time; had any
    // set-up built the pool again, the count would not add up.
    const std::string lockFile = mDir.path() + "/lock";
    constexpr int cChildren = 4;
    runChildrenTogether(cChildren, [&](int) {
        int id = 0;
        ArrayBackedPool<Item>* view =
            ArrayBackedPool<Item>::initShMemAndGetCopy(mKey, id, 64, mLog.log(), "together", nullptr, 90);
        if (view == nullptr)
            return 1;
        int lock = open(lockFile.c_str(), O_CREAT | O_RDWR, 0600);
        flock(lock, LOCK_EX);
        long index = view->getFreeIndex();
        flock(lock, LOCK_UN);
        return index >= 0 ? 0 : 2;
    });
    int id = 0;
    ArrayBackedPool<Item>* pool = ArrayBackedPool<Item>::initShMem(mKey, id, 64, mLog.log(), "together", nullptr, 90);
    ASSERT_NE(pool, nullptr);
    EXPECT_EQ(pool->getNumEntries(), cChildren);
    EXPECT_EQ(pool->values().mFree, cChildren);
    EXPECT_EQ(pool->values().mLast, 63);
    ArrayBackedPool<Item>::detachShm(pool);
}

TEST_F(SharedPoolTest, APoolAttachedByHandIsMadeUsableByCalculatingItsPointers)
{
    // Another process builds a pool of two levels and leaves its own pointers in it.
    int code = runInChild([this] {
        int id = 0;
        ArrayBackedPool<Item>* pool = ArrayBackedPool<Item>::initShMem(mKey, id, 4, mLog.log(), "byhand", nullptr, 90);
        if (pool == nullptr)
            return 1;
        for (long i = 0; i < 6; ++i)
            pool->getEntry(pool->getFreeIndex())->payload = 100 + i;
        return ArrayBackedPool<Item>::detachShm(pool) == 0 ? 0 : 2;
    });
    ASSERT_EQ(code, 0);

    void* base = shmat(shmget(mKey, 0, 0), nullptr, 0);
    ASSERT_NE(base, reinterpret_cast<void*>(-1));
    auto* pool = static_cast<ArrayBackedPool<Item>*>(base);
    ASSERT_TRUE(pool->calculatePointersShm(mLog.log()));
    ASSERT_EQ(pool->getNumLevels(), 2);
    for (long i = 0; i < 6; ++i)
        EXPECT_EQ(pool->getEntry(i)->payload, 100 + i) << i;
    EXPECT_EQ(pool->getFreeIndex(), 6);
    EXPECT_EQ(ArrayBackedPool<Item>::detachShm(pool), 0);

    ArrayBackedPool<Item> heap;
    ASSERT_TRUE(heap.init(2, mLog.log(), "heap", 0));
    EXPECT_FALSE(heap.calculatePointersShm(mLog.log()));
    EXPECT_EQ(mLog.count("ArrayBackedPool::calculatePointersShm() pool [heap] is not in shared memory"), 1);
}

TEST_F(SharedPoolTest, CreateShmLevelMakesTheNextLevelsSegmentThatGrowthThenUses)
{
    int id = 0;
    ArrayBackedPool<Item>* pool = ArrayBackedPool<Item>::initShMem(mKey, id, 4, mLog.log(), "levels", nullptr, 90);
    ASSERT_NE(pool, nullptr);
    int levelId = 0;
    void* level = pool->createShmLevel(mKey + 2, &levelId);
    ASSERT_NE(level, nullptr);
    EXPECT_EQ(shmget(mKey + 2, 0, 0), levelId);
    struct shmid_ds info;
    ASSERT_EQ(shmctl(levelId, IPC_STAT, &info), 0);
    EXPECT_EQ(info.shm_segsz, pool->getLevelNeededSize(2));
    shmdt(level);
    // Growth finds the segment made and hooks it in as the second level.
    for (long i = 0; i < 5; ++i)
        EXPECT_EQ(pool->getFreeIndex(), i);
    EXPECT_EQ(pool->getNumLevels(), 2);
    int hooked = 0;
    std::memcpy(&hooked, reinterpret_cast<char*>(pool) + PoolShmLayout::cNextLevelId, sizeof hooked);
    EXPECT_EQ(hooked, levelId);
    ArrayBackedPool<Item>::detachShm(pool);

    ArrayBackedPool<Item> heap;
    ASSERT_TRUE(heap.init(2, mLog.log(), "heap", 0));
    EXPECT_EQ(heap.createShmLevel(mKey + 3, &levelId), nullptr);
    EXPECT_EQ(mLog.count("ERROR: creating pool shm level, initial level is not defined"), 1);
}

TEST_F(SharedPoolTest, DetachOfAHeapPoolDoesNothing)
{
    ArrayBackedPool<Item> pool;
    ASSERT_TRUE(pool.init(2, mLog.log(), "heap", 0));
    EXPECT_EQ(ArrayBackedPool<Item>::detachShm(&pool), -1);
    EXPECT_EQ(ArrayBackedPool<Item>::detachShm(nullptr), -1);
    EXPECT_EQ(pool.getFreeIndex(), 0);
}

} // namespace
