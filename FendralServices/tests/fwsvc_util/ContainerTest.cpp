// The container calls over every key type, checked against std::map and
// std::multimap ordered by the key's own ordering, plus the handle checks.
#include "FendralServices/api/FwServices.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace
{

using TextKey = CharArray<48>;

std::string mapName()
{
    static std::atomic<int> serial{0};
    return "m" + std::to_string(::getpid() % 10000) + "_" + std::to_string(serial++);
}

// Key number n as a key of type T; spread over both words and signs.
template <typename T>
T makeKey(int n)
{
    if constexpr (std::is_same_v<T, UInt128>)
    {
        Data128 d;
        d.unum = {static_cast<uint64>(n % 7), static_cast<uint64>(n) * 0x9e3779b97f4a7c15ULL};
        return UInt128(d);
    }
    else if constexpr (std::is_same_v<T, Int128>)
    {
        Data128 d;
        d.num = {static_cast<int64>(n % 7) - 3, static_cast<int64>(n) * -977};
        return Int128(d);
    }
    else if constexpr (std::is_same_v<T, TextKey>)
    {
        char txt[16];
        std::snprintf(txt, sizeof(txt), "key%05d", n);
        return TextKey(txt);
    }
    else if constexpr (std::is_signed_v<T>)
        return static_cast<T>(n * 37 - 5000);
    else
        return static_cast<T>(static_cast<unsigned long>(n) * 2654435761UL);
}

struct KeyLess
{
    template <typename T>
    bool operator()(const T& a, const T& b) const
    {
        return a < b;
    }
};

template <typename T>
bool same(const T& a, const T& b)
{
    return !(a < b) && !(b < a);
}

template <typename T>
class ContainerCalls : public ::testing::Test
{
};

using KeyTypes = ::testing::Types<unsigned int, unsigned long, UInt128, int, long, Int128, TextKey>;
TYPED_TEST_SUITE(ContainerCalls, KeyTypes);

TYPED_TEST(ContainerCalls, SortedMapAgainstStdMap)
{
    using T = TypeParam;
    const long h = sortedMapCreate<T>(mapName().c_str());
    ASSERT_NE(h, 0);
    std::map<T, unsigned long, KeyLess> model;
    std::mt19937 rng(7);
    for (int step = 0; step < 3000; ++step)
    {
        const int n = static_cast<int>(rng() % 400);
        const T key = makeKey<T>(n);
        const unsigned long value = rng();
        switch (rng() % 4)
        {
        case 0:
        case 1: {
            const bool overwrite = rng() % 2 == 0;
            const bool had = model.count(key) != 0;
            const bool ok = sortedMapInsertElement<T>(h, key, value, overwrite);
            EXPECT_EQ(ok, !had || overwrite);
            if (!had || overwrite)
                model[key] = value;
            else
                EXPECT_EQ(getErrorCode(), DAT_KEY_EXIST);
            break;
        }
        case 2: {
            unsigned long removed = 0;
            const auto it = model.find(key);
            EXPECT_EQ(sortedMapRemoveElement<T>(h, key, &removed), it != model.end() ? 1 : 0);
            if (it != model.end())
            {
                EXPECT_EQ(removed, it->second);
                model.erase(it);
            }
            break;
        }
        default: {
            const FindOperation op = static_cast<FindOperation>(rng() % 5);
            auto expect = model.end();
            switch (op)
            {
            case FIND_EQ: expect = model.find(key); break;
            case FIND_LT: {
                auto b = model.lower_bound(key);
                expect = b == model.begin() ? model.end() : std::prev(b);
                break;
            }
            case FIND_LE: {
                auto b = model.upper_bound(key);
                expect = b == model.begin() ? model.end() : std::prev(b);
                break;
            }
            case FIND_GT: expect = model.upper_bound(key); break;
            case FIND_GE: expect = model.lower_bound(key); break;
            }
            T found{};
            unsigned long v = 0;
            const bool ok = sortedMapFind<T>(h, key, &found, &v, op);
            ASSERT_EQ(ok, expect != model.end()) << "op " << op << " step " << step;
            if (ok)
            {
                EXPECT_TRUE(same(found, expect->first));
                EXPECT_EQ(v, expect->second);
            }
            if (op == FIND_EQ)
            {
                unsigned long byKey = 0;
                EXPECT_EQ(sortedMapGetValueByKey<T>(h, key, &byKey), ok);
                EXPECT_EQ(byKey, ok ? v : 0UL);
            }
        }
        }
    }
    unsigned long size = 0;
    ASSERT_EQ(sortedMapGetSize<T>(h, &size), 0);
    EXPECT_EQ(size, model.size());

    // Forward and backward walks, and walks by key.
    std::vector<std::pair<T, unsigned long>> walk;
    T k{};
    unsigned long v = 0;
    for (bool ok = sortedMapGetFirst<T>(h, &k, &v); ok; ok = sortedMapGetNext<T>(h, &k, &v))
        walk.emplace_back(k, v);
    ASSERT_EQ(walk.size(), model.size());
    EXPECT_TRUE(std::equal(walk.begin(), walk.end(), model.begin(),
                           [](const auto& a, const auto& b) { return same(a.first, b.first) && a.second == b.second; }));
    EXPECT_EQ(getErrorCode(), DAT_MAP_POS_LAST);
    size_t back = 0;
    for (bool ok = sortedMapGetLast<T>(h, &k, &v); ok; ok = sortedMapGetPrev<T>(h, &k, &v))
        EXPECT_TRUE(same(k, walk[walk.size() - 1 - back++].first));
    EXPECT_EQ(back, walk.size());
    ASSERT_GE(walk.size(), 3u);
    ASSERT_TRUE(sortedMapGetNextByKey<T>(h, walk[1].first, &k, &v));
    EXPECT_TRUE(same(k, walk[2].first));
    ASSERT_TRUE(sortedMapGetPrevByKey<T>(h, walk[1].first, &k, nullptr));
    EXPECT_TRUE(same(k, walk[0].first));

    EXPECT_TRUE(sortedMapRemoveAll<T>(h));
    EXPECT_FALSE(sortedMapGetFirst<T>(h, &k, &v));
    EXPECT_EQ(getErrorCode(), DAT_MAP_EMPTY);
    EXPECT_EQ(sortedMapRemove<T>(h), 1);
}

TYPED_TEST(ContainerCalls, SortedMultiMapAgainstStdMultimap)
{
    using T = TypeParam;
    const long h = sortedMultiMapCreate<T>(mapName().c_str());
    ASSERT_NE(h, 0);
    std::multimap<T, unsigned long, KeyLess> model;
    std::mt19937 rng(11);
    for (int step = 0; step < 2000; ++step)
    {
        const T key = makeKey<T>(static_cast<int>(rng() % 150));
        if (rng() % 5 != 0)
        {
            const unsigned long value = rng();
            ASSERT_TRUE(sortedMultiMapInsertElement<T>(h, key, value));
            model.emplace(key, value);
        }
        else
        {
            EXPECT_EQ(sortedMultiMapRemoveElement<T>(h, key), static_cast<int>(model.erase(key)));
        }
    }
    unsigned long size = 0;
    ASSERT_EQ(sortedMultiMapGetSize<T>(h, &size), 0);
    EXPECT_EQ(size, model.size());

    // The values of each key in insertion order.
    for (int n = 0; n < 150; n += 13)
    {
        const T key = makeKey<T>(n);
        const auto [first, last] = model.equal_range(key);
        std::vector<unsigned long> want;
        for (auto it = first; it != last; ++it)
            want.push_back(it->second);
        std::vector<unsigned long> got;
        unsigned long v = 0;
        for (bool ok = sortedMultiMapGetFirstValueByKey<T>(h, key, &v); ok;
             ok = sortedMultiMapGetNextValueByKey<T>(h, key, &v))
            got.push_back(v);
        EXPECT_EQ(got, want) << n;
        T found{};
        EXPECT_EQ(sortedMultiMapFind<T>(h, key, &found, &v, FIND_GE), model.lower_bound(key) != model.end());
    }

    // Removing every other element during a walk skips none.
    std::vector<unsigned long> kept;
    T k{};
    unsigned long v = 0;
    bool drop = true;
    for (bool ok = sortedMultiMapGetFirst<T>(h, &k, &v); ok; ok = sortedMultiMapGetNext<T>(h, &k, &v))
    {
        if (drop)
        {
            unsigned long removed = 0;
            ASSERT_TRUE(sortedMultiMapRemoveCurrent<T>(h, &removed));
            EXPECT_EQ(removed, v);
        }
        else
        {
            kept.push_back(v);
        }
        drop = !drop;
    }
    std::vector<unsigned long> want;
    drop = true;
    for (const auto& [key, value] : model)
    {
        if (!drop)
            want.push_back(value);
        drop = !drop;
    }
    EXPECT_EQ(kept, want);
    std::vector<unsigned long> back;
    for (bool ok = sortedMultiMapGetLast<T>(h, &k, &v); ok; ok = sortedMultiMapGetPrev<T>(h, &k, &v))
        back.push_back(v);
    std::reverse(back.begin(), back.end());
    EXPECT_EQ(back, want);
    EXPECT_TRUE(sortedMultiMapRemoveAll<T>(h));
    EXPECT_EQ(sortedMultiMapRemove<T>(h), 1);
}

TYPED_TEST(ContainerCalls, UnsortedMapsAgainstStdMaps)
{
    using T = TypeParam;
    const long h = unsortedMapCreate<T>(mapName().c_str(), 8);
    const long mh = unsortedMultiMapCreate<T>(mapName().c_str(), 8);
    ASSERT_NE(h, 0);
    ASSERT_NE(mh, 0);
    std::map<T, unsigned long, KeyLess> model;
    std::multimap<T, unsigned long, KeyLess> multiModel;
    std::mt19937 rng(5);
    for (int step = 0; step < 3000; ++step)
    {
        const T key = makeKey<T>(static_cast<int>(rng() % 300));
        const unsigned long value = rng();
        if (rng() % 3 != 0)
        {
            const bool had = model.count(key) != 0;
            EXPECT_EQ(unsortedMapInsertElement<T>(h, key, value, false), !had);
            if (!had)
                model[key] = value;
            ASSERT_TRUE(unsortedMultiMapInsertElement<T>(mh, key, value));
            multiModel.emplace(key, value);
        }
        else
        {
            unsigned long removed = 0;
            const auto it = model.find(key);
            EXPECT_EQ(unsortedMapRemoveElement<T>(h, key, &removed), it != model.end() ? 1 : 0);
            if (it != model.end())
            {
                EXPECT_EQ(removed, it->second);
                model.erase(it);
            }
            EXPECT_EQ(unsortedMultiMapRemoveElement<T>(mh, key), static_cast<int>(multiModel.erase(key)));
        }
    }
    unsigned long size = 0;
    ASSERT_EQ(unsortedMapGetSize<T>(h, &size), 0);
    EXPECT_EQ(size, model.size());
    ASSERT_EQ(unsortedMultiMapGetSize<T>(mh, &size), 0);
    EXPECT_EQ(size, multiModel.size());

    // A walk sees every element once; the walk by key follows the cursor's order.
    std::map<T, unsigned long, KeyLess> seen;
    std::vector<T> order;
    T k{};
    unsigned long v = 0;
    for (bool ok = unsortedMapGetFirst<T>(h, &k, &v); ok; ok = unsortedMapGetNext<T>(h, &k, &v))
    {
        EXPECT_TRUE(seen.emplace(k, v).second);
        order.push_back(k);
    }
    EXPECT_EQ(seen, model);
    for (size_t i = 0; i + 1 < order.size(); i += 17)
    {
        ASSERT_TRUE(unsortedMapGetNextByKey<T>(h, order[i], &k, nullptr));
        EXPECT_TRUE(same(k, order[i + 1]));
    }
    for (const auto& [key, value] : model)
    {
        unsigned long got = 0;
        ASSERT_TRUE(unsortedMapGetValueByKey<T>(h, key, &got));
        EXPECT_EQ(got, value);
    }

    std::multimap<T, unsigned long, KeyLess> multiSeen;
    for (bool ok = unsortedMultiMapGetFirst<T>(mh, &k, &v); ok; ok = unsortedMultiMapGetNext<T>(mh, &k, &v))
        multiSeen.emplace(k, v);
    EXPECT_EQ(multiSeen.size(), multiModel.size());
    for (const auto& [key, value] : multiModel)
    {
        const auto [first, last] = multiSeen.equal_range(key);
        EXPECT_TRUE(std::any_of(first, last, [&](const auto& e) { return e.second == value; }));
    }
    for (int n = 0; n < 300; n += 29)
    {
        const T key = makeKey<T>(n);
        std::vector<unsigned long> got;
        for (bool ok = unsortedMultiMapGetFirstValueByKey<T>(mh, key, &v); ok;
             ok = unsortedMultiMapGetNextValueByKey<T>(mh, key, &v))
            got.push_back(v);
        std::vector<unsigned long> want;
        const auto [first, last] = multiModel.equal_range(key);
        for (auto it = first; it != last; ++it)
            want.push_back(it->second);
        std::sort(got.begin(), got.end());
        std::sort(want.begin(), want.end());
        EXPECT_EQ(got, want) << n;
    }

    // Removing during a walk skips nothing.
    size_t removedCount = 0;
    for (bool ok = unsortedMultiMapGetFirst<T>(mh, &k, &v); ok; ok = unsortedMultiMapGetNext<T>(mh, &k, &v))
    {
        ASSERT_TRUE(unsortedMultiMapRemoveCurrent<T>(mh, nullptr));
        ++removedCount;
    }
    EXPECT_EQ(removedCount, multiModel.size());
    EXPECT_TRUE(unsortedMapRemoveAll<T>(h));
    EXPECT_TRUE(unsortedMultiMapRemoveAll<T>(mh));
    EXPECT_EQ(unsortedMapRemove<T>(h), 1);
    EXPECT_EQ(unsortedMultiMapRemove<T>(mh), 1);
}

} // namespace

TEST(ContainerHandles, WrongKindOrKeyTypeRefused)
{
    const std::string name = mapName();
    const long intMap = sortedMapCreate<int>(name.c_str());
    const long u128 = unsortedMapCreate<UInt128>(mapName().c_str(), 4);
    const long text = sortedMultiMapCreate<TextKey>(mapName().c_str());
    ASSERT_NE(intMap, 0);
    ASSERT_EQ(sortedMapCreate<int>(name.c_str()), 0) << "a name already taken";
    const long gone = sortedMapCreate<int>(mapName().c_str());
    ASSERT_EQ(sortedMapRemove<int>(gone), 1);
    unsigned long size = 0;
    unsigned long v = 0;

    struct Case
    {
        const char* what;
        std::function<bool()> refused;
        int code;
    };
    const Case cases[] = {
        {"int map as unsigned int", [&] { return !sortedMapInsertElement<unsigned int>(intMap, 1, 1, false); },
         DAT_MAP_KEY_TYPE},
        {"int map as long", [&] { return sortedMapGetSize<long>(intMap, &size) == -1; }, DAT_MAP_KEY_TYPE},
        {"sorted map as unsorted", [&] { return !unsortedMapInsertElement<int>(intMap, 1, 1, false); }, DAT_TYPE},
        {"sorted map as multimap", [&] { return sortedMultiMapGetSize<int>(intMap, &size) == -1; }, DAT_TYPE},
        {"UInt128 as Int128", [&] { return !unsortedMapGetValueByKey<Int128>(u128, Int128(1L), &v); },
         DAT_MAP_KEY_TYPE},
        {"text multimap as unsigned long",
         [&] { return sortedMultiMapRemoveElement<unsigned long>(text, 1) == -1; }, DAT_MAP_KEY_TYPE},
        {"removed map", [&] { return sortedMapGetSize<int>(gone, &size) == -1; }, DAT_HANDLE},
        {"null handle", [&] { return !sortedMapRemoveAll<int>(0); }, DAT_HANDLE},
        {"remove twice", [&] { return sortedMapRemove<int>(gone) == 0; }, DAT_HANDLE},
        {"size without a pointer", [&] { return sortedMapGetSize<int>(intMap, nullptr) == -1; }, NULL_PARAM},
        {"map as list", [&] { return !listPushBack(intMap, 1); }, DAT_TYPE},
    };
    for (const Case& c : cases)
    {
        EXPECT_TRUE(c.refused()) << c.what;
        EXPECT_EQ(getErrorCode(), c.code) << c.what;
    }
    EXPECT_EQ(sortedMapRemove<int>(intMap), 1);
    EXPECT_EQ(unsortedMapRemove<UInt128>(u128), 1);
    EXPECT_EQ(sortedMultiMapRemove<TextKey>(text), 1);
}
