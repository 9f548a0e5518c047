#include "FendralCore/tests/containers/ContainerKeys.h"

#include "FendralCore/foundation/ArrayMap.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <vector>

namespace
{
void* ptrOf(int rank)
{
    return reinterpret_cast<void*>(static_cast<std::uintptr_t>(0x1000 + rank));
}

// Every entry a full walk hands out, as rank -> pointer; fails on a repeat.
template <typename K>
std::map<int, void*> walk(ArrayMap<K>& map)
{
    std::map<int, void*> seen;
    K key{};
    void* ptr = nullptr;
    for (bool ok = map.getFirst(key, &ptr); ok; ok = map.getNext(key, &ptr))
    {
        const bool fresh = seen.emplace(KeyMaker<K>::rankOf(key), ptr).second;
        EXPECT_TRUE(fresh) << "walk repeated rank " << KeyMaker<K>::rankOf(key);
    }
    return seen;
}
} // namespace

template <typename K>
class ArrayMapKeyTest : public ::testing::Test
{
protected:
    static K key(int rank) { return KeyMaker<K>::key(rank); }
};
TYPED_TEST_SUITE(ArrayMapKeyTest, ContainerKeyTypes, ContainerKeyNames);

TYPED_TEST(ArrayMapKeyTest, OverflowSwitchesToMapAndBackOnFirstRemoveThatFits)
{
    ArrayMap<TypeParam> map(2);
    const int ranks[] = {5, 6, 7};
    const bool listAfter[] = {true, true, false};
    for (int i = 0; i < 3; ++i)
    {
        ASSERT_EQ(map.add(this->key(ranks[i]), ptrOf(ranks[i])), 0);
        EXPECT_EQ(map.isListLookup(), listAfter[i]) << "after adding rank " << ranks[i];
    }
    EXPECT_EQ(map.size(), 3U);
    EXPECT_EQ(walk(map), (std::map<int, void*>{{5, ptrOf(5)}, {6, ptrOf(6)}, {7, ptrOf(7)}}));

    ASSERT_EQ(map.remove(this->key(7)), 0);
    EXPECT_TRUE(map.isListLookup());
    EXPECT_EQ(map.size(), 2U);
    EXPECT_EQ(walk(map), (std::map<int, void*>{{5, ptrOf(5)}, {6, ptrOf(6)}}));
    void* ptr = nullptr;
    EXPECT_EQ(map.find(this->key(7), &ptr), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, DAT_KEY_NOT_FOUND);
    ASSERT_EQ(map.find(this->key(6), &ptr), 0);
    EXPECT_EQ(ptr, ptrOf(6));
}

TYPED_TEST(ArrayMapKeyTest, ZeroKeyAndDuplicateRefusedInBothModes)
{
    ArrayMap<TypeParam> map(1);
    EXPECT_EQ(map.add(TypeParam{}, ptrOf(1)), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, DAT_NULL_KEY);
    EXPECT_EQ(map.size(), 0U);

    ASSERT_EQ(map.add(this->key(1), ptrOf(1)), 0);
    EXPECT_EQ(map.add(this->key(1), ptrOf(9)), -1) << "list mode";
    EXPECT_EQ(FrameworkErrno::m_fwErrno, DAT_KEY_EXIST);
    ASSERT_EQ(map.add(this->key(2), ptrOf(2)), 0);
    ASSERT_FALSE(map.isListLookup());
    EXPECT_EQ(map.add(this->key(2), ptrOf(9)), -1) << "map mode";
    EXPECT_EQ(FrameworkErrno::m_fwErrno, DAT_KEY_EXIST);
    EXPECT_EQ(map.add(TypeParam{}, ptrOf(1)), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, DAT_NULL_KEY);

    EXPECT_EQ(map.size(), 2U);
    void* ptr = nullptr;
    ASSERT_EQ(map.find(this->key(2), &ptr), 0);
    EXPECT_EQ(ptr, ptrOf(2)) << "the refused duplicate must not overwrite";
    EXPECT_EQ(map.remove(this->key(3)), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, DAT_KEY_NOT_FOUND);
}

// Random adds and removes across the scan-list boundary, checked against a
// plain map after every step: lookups, size and a full walk.
TYPED_TEST(ArrayMapKeyTest, AgreesWithModelAcrossModeChanges)
{
    ArrayMap<TypeParam> map(4);
    std::map<int, void*> model;
    std::mt19937 rng(20261209);
    std::uniform_int_distribution<int> rankDist(1, 9);
    int modeChanges = 0;
    bool wasList = true;
    for (int step = 0; step < 2000; ++step)
    {
        const int rank = rankDist(rng);
        const bool present = model.count(rank) != 0;
        if (rng() % 2 == 0)
        {
            ASSERT_EQ(map.add(this->key(rank), ptrOf(rank)), present ? -1 : 0) << "step " << step;
            model.emplace(rank, ptrOf(rank));
        }
        else
        {
            ASSERT_EQ(map.remove(this->key(rank)), present ? 0 : -1) << "step " << step;
            model.erase(rank);
        }
        ASSERT_EQ(map.size(), model.size());
        ASSERT_EQ(map.isListLookup(), model.size() <= 4) << "step " << step;
        modeChanges += map.isListLookup() != wasList;
        wasList = map.isListLookup();
        for (int r = 1; r <= 9; ++r)
        {
            void* ptr = nullptr;
            const int32 result = map.find(this->key(r), &ptr);
            ASSERT_EQ(result, model.count(r) ? 0 : -1) << "step " << step << " rank " << r;
            if (result == 0)
            {
                ASSERT_EQ(ptr, ptrOf(r));
            }
        }
        ASSERT_EQ(walk(map), model) << "step " << step;
    }
    EXPECT_GT(modeChanges, 20) << "the sequence should cross the boundary often";
}

TEST(ArrayMapListTest, RemovalMovesLastEntryIntoTheHole)
{
    ArrayMap<int> map(5);
    for (int k : {11, 12, 13})
        ASSERT_EQ(map.add(k, ptrOf(k)), 0);
    ASSERT_EQ(map.remove(11), 0);
    std::vector<int> order;
    int key = 0;
    void* ptr = nullptr;
    for (bool ok = map.getFirst(key, &ptr); ok; ok = map.getNext(key, &ptr))
        order.push_back(key);
    EXPECT_EQ(order, (std::vector<int>{13, 12}));
}

TEST(ArrayMapListTest, CursorEdges)
{
    ArrayMap<int> map(5);
    int key = 0;
    void* ptr = nullptr;
    EXPECT_FALSE(map.getFirst(key, &ptr));
    EXPECT_EQ(FrameworkErrno::m_fwErrno, DAT_MAP_EMPTY);
    EXPECT_FALSE(map.getNext(key, &ptr));
    EXPECT_EQ(FrameworkErrno::m_fwErrno, DAT_MAP_POS_LAST);

    for (int k : {21, 22, 23})
        ASSERT_EQ(map.add(k, ptrOf(k)), 0);
    ArrayMap<int> fresh(5);
    for (int k : {21, 22, 23})
        ASSERT_EQ(fresh.add(k, ptrOf(k)), 0);
    ASSERT_TRUE(fresh.getNext(key, &ptr)) << "a walk without getFirst starts at slot 1";
    EXPECT_EQ(key, 22);

    ASSERT_TRUE(map.getFirst(key, &ptr));
    ASSERT_TRUE(map.getNext(key, &ptr));
    ASSERT_TRUE(map.getNext(key, &ptr));
    EXPECT_EQ(key, 23);
    // Many calls past the end keep failing cleanly.
    for (int i = 0; i < 1000; ++i)
        ASSERT_FALSE(map.getNext(key, &ptr));
    EXPECT_EQ(FrameworkErrno::m_fwErrno, DAT_MAP_POS_LAST);
    ASSERT_TRUE(map.getFirst(key, &ptr));
    EXPECT_EQ(key, 21);
}

TEST(ArrayMapListTest, NegativeScanSizeServesEverythingFromTheMapAndNullOutputsAreRefused)
{
    ArrayMap<long> map(-3);
    ASSERT_EQ(map.add(4, ptrOf(4)), 0);
    EXPECT_FALSE(map.isListLookup());
    void* ptr = nullptr;
    ASSERT_EQ(map.find(4, &ptr), 0);
    EXPECT_EQ(ptr, ptrOf(4));
    ASSERT_EQ(map.remove(4), 0);
    EXPECT_EQ(map.size(), 0U);

    ASSERT_EQ(map.add(5, ptrOf(5)), 0);
    long key = 0;
    EXPECT_EQ(map.find(5, nullptr), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, NULL_PARAM);
    EXPECT_FALSE(map.getFirst(key, nullptr));
    EXPECT_EQ(FrameworkErrno::m_fwErrno, NULL_PARAM);
}
