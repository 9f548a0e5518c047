#include "FendralCore/tests/containers/ContainerKeys.h"

#include "FendralCore/foundation/CacheArray.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <map>
#include <random>
#include <vector>

namespace
{
void* ptrOf(int rank)
{
    return reinterpret_cast<void*>(static_cast<std::uintptr_t>(0x2000 + rank));
}

// Reads the slots, and sets counts where a test needs them near the top.
template <typename K>
class CacheProbe : public CacheArray<K>
{
public:
    using CacheArray<K>::CacheArray;

    K keyAt(int32 slot) const { return this->m_keyAry[slot]; }
    void* ptrAt(int32 slot) const { return this->m_ptrAry[slot]; }
    std::vector<uint32> counts() const
    {
        return std::vector<uint32>(this->m_refCountAry.get(), this->m_refCountAry.get() + this->m_curListIdx);
    }
    uint32 maxCount() const { return this->m_maxRefCount; }
    int32 victim() const { return this->m_leastRefIdx; }
    void setCount(int32 slot, uint32 count) { this->m_refCountAry[slot] = count; }
    void setMaxCount(uint32 count) { this->m_maxRefCount = count; }
};

constexpr int A = 1, B = 2, C = 3, D = 4;
} // namespace

TEST(CacheArrayTest, MissNotesLeastReferencedSlotAndAddReplacesItAsMostReferenced)
{
    CacheProbe<int> cache(2);
    void* ptr = nullptr;
    ASSERT_EQ(cache.add(A, ptrOf(A)), 0);
    ASSERT_EQ(cache.add(B, ptrOf(B)), 0);
    EXPECT_EQ(cache.counts(), (std::vector<uint32>{1, 1}));
    EXPECT_EQ(cache.maxCount(), 1U);

    ASSERT_EQ(cache.find(B, &ptr), 0);
    EXPECT_EQ(ptr, ptrOf(B));
    EXPECT_EQ(cache.counts(), (std::vector<uint32>{1, 2}));
    EXPECT_EQ(cache.maxCount(), 2U);

    EXPECT_EQ(cache.find(C, &ptr), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, DAT_KEY_NOT_FOUND);
    EXPECT_EQ(cache.victim(), 0);

    ASSERT_EQ(cache.add(C, ptrOf(C)), 0);
    EXPECT_EQ(cache.keyAt(0), C);
    EXPECT_EQ(cache.counts(), (std::vector<uint32>{3, 2}));
    EXPECT_EQ(cache.victim(), -1);
    EXPECT_EQ(cache.find(A, &ptr), -1);
    ASSERT_EQ(cache.find(C, &ptr), 0);
    EXPECT_EQ(ptr, ptrOf(C));
}

TEST(CacheArrayTest, FullCacheWithEqualCountsAndNoVictimNotedReplacesSlotZero)
{
    CacheProbe<int> cache(3);
    for (int k : {A, B, C})
        ASSERT_EQ(cache.add(k, ptrOf(k)), 0);
    ASSERT_EQ(cache.add(D, ptrOf(D)), 0);
    EXPECT_EQ(cache.keyAt(0), D);
    EXPECT_EQ(cache.keyAt(1), B);
    EXPECT_EQ(cache.keyAt(2), C);
}

TEST(CacheArrayTest, RemovedSlotIsReusedOnlyOnceTheCacheIsFull)
{
    void* ptr = nullptr;
    {
        CacheProbe<int> cache(3);
        for (int k : {A, B, C})
            ASSERT_EQ(cache.add(k, ptrOf(k)), 0);
        ASSERT_EQ(cache.remove(B), 0);
        EXPECT_EQ(cache.victim(), 1);
        EXPECT_EQ(cache.find(B, &ptr), -1);
        ASSERT_EQ(cache.add(D, ptrOf(D)), 0);
        EXPECT_EQ(cache.keyAt(1), D) << "full: the freed slot is the victim";
        EXPECT_EQ(cache.ptrAt(1), ptrOf(D));
    }
    {
        CacheProbe<int> cache(4);
        for (int k : {A, B, C})
            ASSERT_EQ(cache.add(k, ptrOf(k)), 0);
        ASSERT_EQ(cache.remove(B), 0);
        ASSERT_EQ(cache.add(D, ptrOf(D)), 0);
        EXPECT_EQ(cache.keyAt(3), D) << "not full: appended";
        EXPECT_EQ(cache.keyAt(1), int{0});
    }
}

TEST(CacheArrayTest, SecondAddOfACachedKeyTakesAnotherSlotAndFindReturnsTheFirst)
{
    CacheProbe<int> cache(3);
    ASSERT_EQ(cache.add(A, ptrOf(A)), 0);
    ASSERT_EQ(cache.add(A, ptrOf(B)), 0);
    EXPECT_EQ(cache.counts().size(), 2U);
    void* ptr = nullptr;
    ASSERT_EQ(cache.find(A, &ptr), 0);
    EXPECT_EQ(ptr, ptrOf(A));
}

// An empty cache has no used slot to take a modulo over; the miss still
// notes slot 0 so the add that follows has a place.
TEST(CacheArrayTest, LookupsInAnEmptyCacheMissCleanly)
{
    CacheProbe<Int128> cache(10);
    void* ptr = ptrOf(99);
    EXPECT_EQ(cache.find(Int128(7), &ptr), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, DAT_KEY_NOT_FOUND);
    EXPECT_EQ(ptr, ptrOf(99));
    EXPECT_EQ(cache.victim(), 0);
    EXPECT_EQ(cache.remove(Int128(7)), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, DAT_KEY_NOT_FOUND);
    ASSERT_EQ(cache.add(Int128(7), ptrOf(7)), 0);
    ASSERT_EQ(cache.find(Int128(7), &ptr), 0);
    EXPECT_EQ(ptr, ptrOf(7));
}

TEST(CacheArrayTest, CacheOfNoSlotsRefusesAddAndMissesLookups)
{
    CacheArray<int> cache(0);
    EXPECT_EQ(cache.add(A, ptrOf(A)), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, INVALID_FUNC_ARG);
    void* ptr = nullptr;
    EXPECT_EQ(cache.find(A, &ptr), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, DAT_KEY_NOT_FOUND);
    EXPECT_EQ(cache.remove(A), -1);
    CacheArray<int> negative(-2);
    EXPECT_EQ(negative.add(A, ptrOf(A)), -1);
}

TEST(CacheArrayTest, CountWrapResetsEveryCountAndAHotSlotNeverWrapsToZero)
{
    CacheProbe<int> cache(2);
    ASSERT_EQ(cache.add(A, ptrOf(A)), 0);
    ASSERT_EQ(cache.add(B, ptrOf(B)), 0);
    cache.setCount(1, std::numeric_limits<uint32>::max());
    cache.setMaxCount(std::numeric_limits<uint32>::max());
    void* ptr = nullptr;
    ASSERT_EQ(cache.find(B, &ptr), 0);
    EXPECT_EQ(cache.counts(), (std::vector<uint32>{1, std::numeric_limits<uint32>::max()}))
        << "a hit at the top stays at the top";

    ASSERT_EQ(cache.add(C, ptrOf(C)), 0);
    EXPECT_EQ(cache.keyAt(0), C);
    EXPECT_EQ(cache.counts(), (std::vector<uint32>{0, 0}));
    EXPECT_EQ(cache.maxCount(), 0U);
    ASSERT_EQ(cache.find(B, &ptr), 0);
    ASSERT_EQ(cache.find(C, &ptr), 0);
    EXPECT_EQ(ptr, ptrOf(C));
}

// Freed slots hold the zero key; a zero-key lookup must not hit one and
// hand back its null pointer as a success.
template <typename K>
class CacheArrayKeyTest : public ::testing::Test
{
};
TYPED_TEST_SUITE(CacheArrayKeyTest, ContainerKeyTypes, ContainerKeyNames);

TYPED_TEST(CacheArrayKeyTest, ZeroKeyIsRefusedAndNeverMatchesAFreedSlot)
{
    CacheArray<TypeParam> cache(3);
    const TypeParam one = KeyMaker<TypeParam>::key(1);
    const TypeParam two = KeyMaker<TypeParam>::key(2);
    ASSERT_EQ(cache.add(one, ptrOf(1)), 0);
    ASSERT_EQ(cache.add(two, ptrOf(2)), 0);
    ASSERT_EQ(cache.remove(one), 0);

    EXPECT_EQ(cache.add(TypeParam{}, ptrOf(9)), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, DAT_NULL_KEY);
    void* ptr = ptrOf(77);
    EXPECT_EQ(cache.find(TypeParam{}, &ptr), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, DAT_NULL_KEY);
    EXPECT_EQ(ptr, ptrOf(77));
    EXPECT_EQ(cache.remove(TypeParam{}), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, DAT_NULL_KEY);

    EXPECT_EQ(cache.find(one, &ptr), -1);
    ASSERT_EQ(cache.find(two, &ptr), 0);
    EXPECT_EQ(ptr, ptrOf(2));
}

// Used as the dispatcher uses it (find; on a miss resolve and add; now and
// then drop a stale entry): a hit always gives the object last added for
// that key, and a key just added is found at once.
TYPED_TEST(CacheArrayKeyTest, HitsAlwaysReturnTheObjectLastAddedForTheKey)
{
    CacheArray<TypeParam> cache(4);
    std::map<int, int> generation; // rank -> object version cached last
    std::mt19937 rng(1209);
    std::uniform_int_distribution<int> rankDist(1, 12);
    auto object = [](int rank, int gen) { return ptrOf(rank * 1000 + gen); };
    int hits = 0;
    for (int step = 0; step < 5000; ++step)
    {
        const int rank = rankDist(rng);
        const TypeParam key = KeyMaker<TypeParam>::key(rank);
        void* ptr = nullptr;
        if (rng() % 8 == 0)
        {
            // The object behind the key changed: drop it; the next miss re-adds.
            if (cache.remove(key) == 0)
                ++generation[rank];
            continue;
        }
        if (cache.find(key, &ptr) == 0)
        {
            ASSERT_EQ(ptr, object(rank, generation[rank])) << "step " << step;
            ++hits;
            continue;
        }
        ASSERT_EQ(FrameworkErrno::m_fwErrno, DAT_KEY_NOT_FOUND);
        ASSERT_EQ(cache.add(key, object(rank, generation[rank])), 0);
        ASSERT_EQ(cache.find(key, &ptr), 0) << "step " << step;
        ASSERT_EQ(ptr, object(rank, generation[rank]));
    }
    EXPECT_GT(hits, 500);
}
