#include "FendralCore/foundation/UnsortedMap.h"
#include "FendralCore/foundation/UnsortedMultiMap.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace
{

// The i-th distinct key of each type (i < 4000); keys include 0 and the empty text.
template <typename K>
K makeKey(uint64 i)
{
    if constexpr (std::is_signed_v<K>)
        return static_cast<K>(static_cast<int64>(i) - 2000);
    else
        return static_cast<K>(i);
}

template <>
UInt128 makeKey<UInt128>(uint64 i)
{
    Data128 d{};
    d.unum = {i % 7, i}; // several keys share an upper word
    return UInt128(d);
}

template <>
Int128 makeKey<Int128>(uint64 i)
{
    Data128 d{};
    d.num = {static_cast<int64>(i % 5) - 2, -static_cast<int64>(i)};
    return Int128(d);
}

template <>
CharArray<48> makeKey<CharArray<48>>(uint64 i)
{
    if (i == 0)
        return CharArray<48>("");
    // Lengths around the 8-byte word edges and the 48-character limit.
    std::string text = "k" + std::to_string(i);
    text.append(i % 50, static_cast<char>('a' + i % 26));
    return CharArray<48>(text.c_str());
}

template <typename K>
uint64 indexOf(const K& key, const std::map<uint64, int>&, uint64 limit)
{
    for (uint64 i = 0; i < limit; ++i)
        if (makeKey<K>(i) == key)
            return i;
    return limit;
}

template <typename K>
class UnsortedMapTyped : public ::testing::Test
{
};

using KeyTypes = ::testing::Types<unsigned short, unsigned int, unsigned long, short, int, long, UInt128,
                                  Int128, CharArray<48>>;
TYPED_TEST_SUITE(UnsortedMapTyped, KeyTypes);

TYPED_TEST(UnsortedMapTyped, CursorAndErrorCodes)
{
    using K = TypeParam;
    UnsortedMap<K> map(0);
    K key{};
    DataValueType value = 0;

    EXPECT_FALSE(map.getFirst(key, value));
    EXPECT_EQ(FrameworkErrno::m_fwErrno, DAT_MAP_EMPTY);
    EXPECT_FALSE(map.getNext(key, value));
    EXPECT_EQ(FrameworkErrno::m_fwErrno, DAT_MAP_POS_LAST);

    const int n = 25;
    for (int i = 0; i < n; ++i)
        ASSERT_TRUE(map.insert(makeKey<K>(i), 100 + i, false));
    EXPECT_EQ(map.getSize(), 25u);

    EXPECT_FALSE(map.insert(makeKey<K>(3), 999, false));
    EXPECT_EQ(FrameworkErrno::m_fwErrno, DAT_KEY_EXIST);
    ASSERT_TRUE(map.getValueByKey(makeKey<K>(3), value, false));
    EXPECT_EQ(value, 103u);
    EXPECT_TRUE(map.insert(makeKey<K>(3), 999, true));
    ASSERT_TRUE(map.getValueByKey(makeKey<K>(3), value, false));
    EXPECT_EQ(value, 999u);

    // A walk visits every entry once, then keeps failing with 1511.
    int calls = 0;
    for (bool ok = map.getFirst(key, value); ok; ok = map.getNext(key, value))
        ++calls;
    EXPECT_EQ(calls, n);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, DAT_MAP_POS_LAST);
    EXPECT_FALSE(map.getNext(key, value));
    EXPECT_EQ(FrameworkErrno::m_fwErrno, DAT_MAP_POS_LAST);

    // An absent key: remove returns 0 and leaves the code and the value alone.
    FrameworkErrno::m_fwErrno = 0;
    value = 77;
    EXPECT_EQ(map.remove(makeKey<K>(3999), value), 0);
    EXPECT_EQ(value, 77u);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, 0);
    EXPECT_EQ(map.remove(makeKey<K>(4), value), 1);
    EXPECT_EQ(value, 104u);

    EXPECT_FALSE(map.getValueByKey(makeKey<K>(4), value, false));
    EXPECT_EQ(FrameworkErrno::m_fwErrno, DAT_KEY_NOT_FOUND);
    EXPECT_FALSE(map.getNext(makeKey<K>(4), key, value));
    EXPECT_EQ(FrameworkErrno::m_fwErrno, DAT_KEY_NOT_FOUND);

    // getValueByKey with updatePos continues the walk after that entry.
    K last{};
    for (bool ok = map.getFirst(key, value); ok; ok = map.getNext(key, value))
        last = key;
    EXPECT_FALSE(map.getNext(last, key, value));
    EXPECT_EQ(FrameworkErrno::m_fwErrno, DAT_MAP_POS_LAST);

    map.removeAll();
    EXPECT_TRUE(map.empty());
    EXPECT_FALSE(map.getNext(key, value));
}

TYPED_TEST(UnsortedMapTyped, RandomOperationsMatchTheStandardMap)
{
    using K = TypeParam;
    std::mt19937_64 rng(12345);
    UnsortedMap<K> map(UnsortedMap<K>::DEFAULT_INIT_BUCKETS);
    std::unordered_map<uint64, DataValueType> model;
    const uint64 keySpace = 600;

    for (int step = 0; step < 6000; ++step)
    {
        const uint64 i = rng() % keySpace;
        const K key = makeKey<K>(i);
        const DataValueType v = rng();
        switch (rng() % 5)
        {
        case 0:
        case 1: {
            const bool overwrite = rng() % 2;
            const bool present = model.count(i) > 0;
            EXPECT_EQ(map.insert(key, v, overwrite), overwrite || !present);
            if (overwrite || !present)
                model[i] = v;
            break;
        }
        case 2: {
            DataValueType got = 0;
            EXPECT_EQ(map.remove(key, got), static_cast<int32>(model.count(i)));
            if (model.count(i))
            {
                EXPECT_EQ(got, model[i]);
            }
            model.erase(i);
            break;
        }
        case 3: {
            DataValueType got = 0;
            EXPECT_EQ(map.getValueByKey(key, got, false), model.count(i) > 0);
            if (model.count(i))
            {
                EXPECT_EQ(got, model[i]);
            }
            break;
        }
        default:
            if (rng() % 50 == 0)
                map.setCapacity(static_cast<int32>(rng() % 3000));
            break;
        }
        ASSERT_EQ(map.getSize(), model.size());
    }

    // Walk and remove about half: every entry is reported exactly once.
    std::map<uint64, int> seen;
    K key{};
    DataValueType value = 0;
    for (bool ok = map.getFirst(key, value); ok; ok = map.getNext(key, value))
    {
        const uint64 i = indexOf(key, seen, keySpace);
        ASSERT_LT(i, keySpace);
        ASSERT_EQ(value, model.at(i));
        ++seen[i];
        if (value % 2)
        {
            ASSERT_EQ(map.remove(key), 1);
        }
    }
    ASSERT_EQ(seen.size(), model.size());
    for (const auto& [i, times] : seen)
        EXPECT_EQ(times, 1) << "key index " << i;
    for (const auto& [i, v] : model)
        EXPECT_EQ(map.getValueByKey(makeKey<K>(i), value, false), v % 2 == 0);
}

TEST(UnsortedMap, CollidingWordsStayDistinct)
{
    UnsortedMap<UInt128> map(1);
    Data128 a{};
    a.unum = {1, 2};
    Data128 b{};
    b.unum = {3, 0};
    ASSERT_TRUE(map.insert(UInt128(a), 1, false));
    ASSERT_TRUE(map.insert(UInt128(b), 2, false));
    DataValueType v = 0;
    ASSERT_TRUE(map.getValueByKey(UInt128(b), v, false));
    EXPECT_EQ(v, 2u);
    EXPECT_EQ(map.getSize(), 2u);
}

TEST(UnsortedMap, RemovingOtherEntriesKeepsTheCursor)
{
    UnsortedMap<long> map(100);
    for (long i = 0; i < 10; ++i)
        map.insert(i, static_cast<DataValueType>(i), false);
    long key = 0;
    DataValueType value = 0;
    ASSERT_TRUE(map.getFirst(key, value));
    ASSERT_TRUE(map.getNext(key, value));
    const long cursor = key;
    // Remove every other entry but the cursor's; the walk goes on with what is left.
    for (long i = 0; i < 10; ++i)
        if (i != cursor && i % 3 == 0)
            map.remove(i);
    std::set<long> rest;
    while (map.getNext(key, value))
        rest.insert(key);
    for (long k : rest)
        EXPECT_NE(k % 3, 0) << k;
}

TEST(UnsortedMap, SetCapacityOnlyEverGrows)
{
    UnsortedMap<int> map(100);
    map.setCapacity(0);
    map.setCapacity(-5);
    map.setCapacity(50);
    for (int i = 0; i < 5000; ++i)
        map.insert(i, static_cast<DataValueType>(i), false);
    map.setCapacity(20000);
    DataValueType v = 0;
    EXPECT_TRUE(map.getValueByKey(4321, v, false));
    EXPECT_EQ(v, 4321u);
}

template <typename K>
class UnsortedMultiMapTyped : public ::testing::Test
{
};
TYPED_TEST_SUITE(UnsortedMultiMapTyped, KeyTypes);

TYPED_TEST(UnsortedMultiMapTyped, KeyRunIsNewestFirst)
{
    using K = TypeParam;
    UnsortedMultiMap<K> map(100);
    const K k = makeKey<K>(7);
    map.insert(k, 'a');
    map.insert(makeKey<K>(8), 'x');
    map.insert(k, 'b');
    map.insert(k, 'c');
    DataValueType v = 0;
    ASSERT_TRUE(map.getFirstValueByKey(k, v));
    EXPECT_EQ(v, DataValueType('c'));
    ASSERT_TRUE(map.getNextValueByKey(k, v));
    EXPECT_EQ(v, DataValueType('b'));
    ASSERT_TRUE(map.getNextValueByKey(k, v));
    EXPECT_EQ(v, DataValueType('a'));
    EXPECT_FALSE(map.getNextValueByKey(k, v));
    EXPECT_TRUE(FrameworkErrno::m_fwErrno == DAT_KEY_NO_MORE || FrameworkErrno::m_fwErrno == DAT_MAP_POS_LAST);

    EXPECT_FALSE(map.getFirstValueByKey(makeKey<K>(9), v));
    EXPECT_EQ(FrameworkErrno::m_fwErrno, DAT_KEY_NOT_FOUND);

    // Removing the cursor's key leaves no cursor.
    ASSERT_TRUE(map.getFirstValueByKey(k, v));
    EXPECT_EQ(map.remove(k), 3);
    EXPECT_FALSE(map.removeCurrent());
    EXPECT_EQ(FrameworkErrno::m_fwErrno, DAT_MAP_POS_INVALID);
    EXPECT_EQ(map.getSize(), 1u);
}

TYPED_TEST(UnsortedMultiMapTyped, WalkAndRemoveSkipsNothing)
{
    using K = TypeParam;
    std::mt19937_64 rng(99);
    UnsortedMultiMap<K> map(3);
    std::multimap<uint64, DataValueType> model;
    for (int n = 0; n < 1500; ++n)
    {
        const uint64 i = rng() % 300;
        const DataValueType v = rng();
        map.insert(makeKey<K>(i), v);
        model.emplace(i, v);
    }
    // Remove whole keys from the side now and then.
    for (int n = 0; n < 40; ++n)
    {
        const uint64 i = rng() % 300;
        EXPECT_EQ(map.remove(makeKey<K>(i)), static_cast<int32>(model.erase(i)));
    }
    ASSERT_EQ(map.getSize(), model.size());

    // Every value once; removeCurrent on odd values, including runs of removals.
    std::multiset<DataValueType> expected;
    for (const auto& [i, v] : model)
        expected.insert(v);
    std::multiset<DataValueType> seen;
    std::multiset<DataValueType> kept;
    K key{};
    DataValueType value = 0;
    for (bool ok = map.getFirst(key, value); ok; ok = map.getNext(key, value))
    {
        seen.insert(value);
        if (value % 2)
        {
            DataValueType removed = 0;
            ASSERT_TRUE(map.removeCurrent(removed));
            ASSERT_EQ(removed, value);
        }
        else
        {
            kept.insert(value);
        }
    }
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(map.getSize(), kept.size());

    std::multiset<DataValueType> left;
    for (bool ok = map.getFirst(key, value); ok; ok = map.getNext(key, value))
        left.insert(value);
    EXPECT_EQ(left, kept);
}

TEST(UnsortedMultiMap, RemoveCurrentThenGetNextReportsTheFollowingEntry)
{
    UnsortedMultiMap<int> map(100);
    map.insert(1, 10);
    map.insert(2, 20);
    map.insert(3, 30);
    int key = 0;
    DataValueType value = 0;
    std::vector<DataValueType> order;
    for (bool ok = map.getFirst(key, value); ok; ok = map.getNext(key, value))
        order.push_back(value);
    ASSERT_EQ(order.size(), 3u);

    ASSERT_TRUE(map.getFirst(key, value));
    ASSERT_TRUE(map.removeCurrent());
    ASSERT_TRUE(map.getNext(key, value));
    EXPECT_EQ(value, order[1]);

    // Consecutive removeCurrent calls remove consecutive entries.
    map.removeAll();
    for (int i = 0; i < 3; ++i)
        map.insert(i, static_cast<DataValueType>(i));
    ASSERT_TRUE(map.getFirst(key, value));
    EXPECT_TRUE(map.removeCurrent());
    EXPECT_TRUE(map.removeCurrent());
    EXPECT_TRUE(map.removeCurrent());
    EXPECT_FALSE(map.removeCurrent());
    EXPECT_TRUE(map.empty());
}

TEST(UnsortedMultiMap, CopyHasItsOwnEntries)
{
    UnsortedMultiMap<long> map(5);
    for (long i = 0; i < 50; ++i)
        map.insert(i % 10, static_cast<DataValueType>(i));
    UnsortedMultiMap<long> copy(map);
    map.removeAll();
    EXPECT_EQ(copy.getSize(), 50u);
    DataValueType v = 0;
    ASSERT_TRUE(copy.getFirstValueByKey(3, v));
    EXPECT_EQ(v, 43u); // newest first survives the copy
}

} // namespace
