#include "FendralCore/foundation/SortedMap.h"

#include "FendralCore/tests/containers/ContainerKeys.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace
{

DataValueType valueOf(int rank) { return 1000 + static_cast<DataValueType>(rank); }

template <typename K>
class SortedMapTest : public ::testing::Test
{
protected:
    static K key(int rank) { return KeyMaker<K>::key(rank); }
    static int rankOf(const K& k) { return KeyMaker<K>::rankOf(k); }

    void fill(SortedMap<K>& map, const std::vector<int>& ranks)
    {
        for (int r : ranks)
            ASSERT_TRUE(map.insert(key(r), valueOf(r), false));
    }
    void fill(const std::vector<int>& ranks) { fill(m_map, ranks); }

    // Runs one call that may hand out an entry and records what it gave.
    template <typename Call>
    static Step step(Call call)
    {
        FrameworkErrno::m_fwErrno = UNTOUCHED_CODE;
        K k = key(9999);
        DataValueType v = 0;
        if (!call(k, v))
            return failed(FrameworkErrno::m_fwErrno);
        Step s = found(rankOf(k), v);
        s.code = FrameworkErrno::m_fwErrno;
        return s;
    }
    Step first() { return step([&](K& k, DataValueType& v) { return m_map.getFirst(k, v); }); }
    Step last() { return step([&](K& k, DataValueType& v) { return m_map.getLast(k, v); }); }
    Step next() { return step([&](K& k, DataValueType& v) { return m_map.getNext(k, v); }); }
    Step prev() { return step([&](K& k, DataValueType& v) { return m_map.getPrev(k, v); }); }
    Step nextFrom(int r) { return step([&](K& k, DataValueType& v) { return m_map.getNext(key(r), k, v); }); }
    Step prevFrom(int r) { return step([&](K& k, DataValueType& v) { return m_map.getPrev(key(r), k, v); }); }
    Step find(int r, FindOperation op, bool updatePos)
    {
        return step([&](K& k, DataValueType& v) { return m_map.find(key(r), k, v, op, updatePos); });
    }

    SortedMap<K> m_map;
};
TYPED_TEST_SUITE(SortedMapTest, ContainerKeyTypes, ContainerKeyNames);

Step at(int rank) { return found(rank, valueOf(rank)); }

TYPED_TEST(SortedMapTest, FindModesPickTheEntryOfTheTable)
{
    struct Case
    {
        FindOperation op;
        int probe;
        std::optional<int> match;
    };
    const Case cases[] = {
        {FIND_EQ, 20, 20}, {FIND_EQ, 25, {}},  {FIND_LT, 20, 10}, {FIND_LT, 10, {}},  {FIND_LT, 100, 30},
        {FIND_LE, 20, 20}, {FIND_LE, 25, 20},  {FIND_LE, 5, {}},  {FIND_GT, 20, 30},  {FIND_GT, 5, 10},
        {FIND_GT, 30, {}}, {FIND_GE, 20, 20},  {FIND_GE, 25, 30}, {FIND_GE, 31, {}},
    };

    for (const Case& c : cases)
        EXPECT_EQ(this->find(c.probe, c.op, false), failed(DAT_KEY_NOT_FOUND)) << "empty map, mode " << c.op;

    this->fill({30, 10, 20});
    for (const Case& c : cases)
    {
        SCOPED_TRACE("mode " + std::to_string(c.op) + " probe " + std::to_string(c.probe));
        ASSERT_EQ(this->first(), at(10));
        EXPECT_EQ(this->find(c.probe, c.op, false), c.match ? at(*c.match) : failed(DAT_KEY_NOT_FOUND));
        // Without updatePos the walk goes on from where it stood.
        EXPECT_EQ(this->next(), at(20));

        ASSERT_EQ(this->first(), at(10));
        EXPECT_EQ(this->find(c.probe, c.op, true), c.match ? at(*c.match) : failed(DAT_KEY_NOT_FOUND));
        const int stood = c.match.value_or(10);
        EXPECT_EQ(this->next(), stood == 30 ? failed(DAT_MAP_POS_LAST) : at(stood + 10));
    }
}

TYPED_TEST(SortedMapTest, FailedOrRefusedFindLeavesOutputsAndCursorAlone)
{
    using K = TypeParam;
    this->fill({10, 20, 30});
    ASSERT_EQ(this->first(), at(10));

    for (auto op : {FIND_LT, static_cast<FindOperation>(5), static_cast<FindOperation>(-1)})
    {
        K k = this->key(77);
        DataValueType v = 0xDEAD;
        FrameworkErrno::m_fwErrno = UNTOUCHED_CODE;
        EXPECT_FALSE(this->m_map.find(this->key(10), k, v, op, true));
        EXPECT_EQ(FrameworkErrno::m_fwErrno, op == FIND_LT ? DAT_KEY_NOT_FOUND : INVALID_FUNC_ARG);
        EXPECT_EQ(this->rankOf(k), 77);
        EXPECT_EQ(v, 0xDEADU);
    }
    EXPECT_EQ(this->next(), at(20));
}

TYPED_TEST(SortedMapTest, WalksInKeyOrderBothWays)
{
    EXPECT_EQ(this->next(), failed(DAT_MAP_POS_LAST));
    EXPECT_EQ(this->prev(), failed(DAT_MAP_POS_FIRST));
    EXPECT_EQ(this->first(), failed(DAT_MAP_EMPTY));
    EXPECT_EQ(this->last(), failed(DAT_MAP_EMPTY));

    // Ranks around the places where the key types change sign or top bit.
    std::vector<int> ranks = {4100, 7, 2049, 0, 4095, 9999, 2047, 24, 23};
    this->fill(ranks);
    std::sort(ranks.begin(), ranks.end());

    EXPECT_EQ(this->first(), at(ranks.front()));
    for (size_t i = 1; i < ranks.size(); ++i)
        EXPECT_EQ(this->next(), at(ranks[i]));
    EXPECT_EQ(this->next(), failed(DAT_MAP_POS_LAST));
    EXPECT_EQ(this->next(), failed(DAT_MAP_POS_LAST));
    EXPECT_EQ(this->prev(), at(ranks.back()));

    EXPECT_EQ(this->last(), at(ranks.back()));
    for (size_t i = ranks.size() - 1; i-- > 0;)
        EXPECT_EQ(this->prev(), at(ranks[i]));
    EXPECT_EQ(this->prev(), failed(DAT_MAP_POS_FIRST));
    EXPECT_EQ(this->next(), at(ranks[1])) << "cursor stays on the smallest key";
}

TYPED_TEST(SortedMapTest, KeyPositionedStepsStartFromTheGivenKey)
{
    this->fill({10, 20, 30});
    EXPECT_EQ(this->nextFrom(20), at(30));
    EXPECT_EQ(this->prevFrom(20), at(10));

    EXPECT_EQ(this->nextFrom(30), failed(DAT_MAP_POS_LAST));
    EXPECT_EQ(this->prev(), at(30)) << "cursor at the end position";

    EXPECT_EQ(this->prevFrom(10), failed(DAT_MAP_POS_FIRST));
    EXPECT_EQ(this->next(), at(20)) << "cursor on the smallest key";

    EXPECT_EQ(this->nextFrom(15), failed(DAT_KEY_NOT_FOUND));
    EXPECT_EQ(this->prevFrom(15), failed(DAT_KEY_NOT_FOUND));
    EXPECT_EQ(this->next(), at(30)) << "an absent key leaves the cursor";
}

TYPED_TEST(SortedMapTest, InsertAndRemoveKeepValuesAndCodes)
{
    auto& map = this->m_map;
    const auto k = this->key(5);
    EXPECT_TRUE(map.empty());
    EXPECT_TRUE(map.insert(k, 1, false));
    FrameworkErrno::m_fwErrno = UNTOUCHED_CODE;
    EXPECT_FALSE(map.insert(k, 2, false));
    EXPECT_EQ(FrameworkErrno::m_fwErrno, DAT_KEY_EXIST);

    DataValueType v = 0;
    EXPECT_TRUE(map.getValueByKey(k, v, false));
    EXPECT_EQ(v, 1U);
    EXPECT_TRUE(map.insert(k, 3, true));
    EXPECT_TRUE(map.insert(this->key(6), 4, true));
    EXPECT_TRUE(map.getValueByKey(k, v, false));
    EXPECT_EQ(v, 3U);
    EXPECT_EQ(map.getSize(), 2U);

    FrameworkErrno::m_fwErrno = UNTOUCHED_CODE;
    EXPECT_EQ(map.remove(this->key(7)), 0);
    EXPECT_EQ(map.remove(this->key(7), v), 0);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, UNTOUCHED_CODE);
    EXPECT_EQ(v, 3U);

    EXPECT_EQ(map.remove(k, v), 1);
    EXPECT_EQ(v, 3U);
    EXPECT_FALSE(map.getValueByKey(k, v, false));
    EXPECT_EQ(FrameworkErrno::m_fwErrno, DAT_KEY_NOT_FOUND);
    EXPECT_EQ(map.getSize(), 1U);

    ASSERT_EQ(this->first(), found(6, 4));
    map.removeAll();
    EXPECT_TRUE(map.empty());
    EXPECT_EQ(this->next(), failed(DAT_MAP_POS_LAST));
    EXPECT_EQ(this->prev(), failed(DAT_MAP_POS_FIRST));
}

TYPED_TEST(SortedMapTest, RemovingTheEntryUnderTheCursorNeitherSkipsNorRepeats)
{
    auto& map = this->m_map;
    this->fill({10, 20, 30, 40});

    // The largest entry goes: nothing follows, and a step back gives the new largest.
    ASSERT_EQ(this->last(), at(40));
    EXPECT_EQ(map.remove(this->key(40)), 1);
    EXPECT_EQ(this->next(), failed(DAT_MAP_POS_LAST));
    EXPECT_EQ(this->prev(), at(30));

    // From the middle, either way goes on from where the removed entry stood.
    ASSERT_EQ(this->nextFrom(10), at(20));
    map.remove(this->key(20));
    EXPECT_EQ(this->next(), at(30));
    ASSERT_EQ(this->find(30, FIND_EQ, true), at(30));
    map.remove(this->key(30));
    EXPECT_EQ(this->prev(), at(10));
    EXPECT_EQ(this->next(), failed(DAT_MAP_POS_LAST));

    // Entries inserted past the removed one, before the walk goes on, are visited.
    this->fill({20, 30});
    ASSERT_EQ(this->first(), at(10));
    map.remove(this->key(10));
    this->fill({15, 5});
    EXPECT_EQ(this->next(), at(15));

    // The smallest entry goes: nothing comes before it, and the place holds.
    ASSERT_EQ(this->first(), at(5));
    map.remove(this->key(5));
    EXPECT_EQ(this->prev(), failed(DAT_MAP_POS_FIRST));
    EXPECT_EQ(this->next(), at(15));
}

TYPED_TEST(SortedMapTest, CopyHasItsOwnEntriesAndCursor)
{
    using K = TypeParam;
    auto source = std::make_unique<SortedMap<K>>();
    this->fill(*source, {10, 20, 30});
    K k;
    DataValueType v = 0;
    ASSERT_TRUE(source->getNext(this->key(10), k, v));

    SortedMap<K> copy(*source);
    source->remove(this->key(30));
    source.reset();

    EXPECT_EQ(copy.getSize(), 3U);
    ASSERT_TRUE(copy.getNext(k, v));
    EXPECT_EQ(this->rankOf(k), 30);
    EXPECT_FALSE(copy.getNext(k, v));
    ASSERT_TRUE(copy.getPrev(k, v));
    EXPECT_EQ(this->rankOf(k), 30);
}

// Walks that remove some of what they visit, forward and backward, must visit
// every entry exactly once in key order.
TYPED_TEST(SortedMapTest, WalkThatRemovesVisitsEveryEntryOnce)
{
    std::mt19937 rng(7);
    for (int round = 0; round < 40; ++round)
    {
        const bool forward = round % 2 == 0;
        SCOPED_TRACE("round " + std::to_string(round));
        auto& map = this->m_map;
        map.removeAll();
        std::vector<int> ranks;
        for (int i = 0; i < 60; ++i)
            ranks.push_back(static_cast<int>(rng() % 200));
        std::sort(ranks.begin(), ranks.end());
        ranks.erase(std::unique(ranks.begin(), ranks.end()), ranks.end());
        this->fill(ranks);
        if (!forward)
            std::reverse(ranks.begin(), ranks.end());

        std::vector<int> visited, kept;
        for (Step s = forward ? this->first() : this->last(); s.ok; s = forward ? this->next() : this->prev())
        {
            visited.push_back(s.rank);
            if (rng() % 3 == 0)
                ASSERT_EQ(map.remove(this->key(s.rank)), 1);
            else
                kept.push_back(s.rank);
        }
        EXPECT_EQ(visited, ranks);
        std::vector<int> left;
        for (Step s = forward ? this->first() : this->last(); s.ok; s = forward ? this->next() : this->prev())
            left.push_back(s.rank);
        EXPECT_EQ(left, kept);
    }
}

// A sorted vector with the cursor held as a key: a second, independent account
// of what the map answers.
struct MapModel
{
    std::vector<std::pair<int, DataValueType>> entries;
    std::optional<int> cursor;
    std::optional<int> removedUnderCursor;

    std::optional<size_t> indexOf(int rank) const
    {
        for (size_t i = 0; i < entries.size(); ++i)
            if (entries[i].first == rank)
                return i;
        return {};
    }
    // First index whose rank satisfies pred, or entries.size().
    template <typename Pred>
    size_t firstWhere(Pred pred) const
    {
        size_t i = 0;
        while (i < entries.size() && !pred(entries[i].first))
            ++i;
        return i;
    }
    Step handOut(size_t i)
    {
        cursor = entries[i].first;
        removedUnderCursor.reset();
        return found(entries[i].first, entries[i].second);
    }

    Step insert(int rank, DataValueType value, bool overwrite)
    {
        if (auto i = indexOf(rank))
        {
            if (!overwrite)
                return failed(DAT_KEY_EXIST);
            entries[*i].second = value;
        }
        else
        {
            entries.insert(entries.begin() + firstWhere([&](int r) { return r > rank; }), {rank, value});
        }
        return found(-1, 0);
    }
    int remove(int rank, DataValueType& value)
    {
        auto i = indexOf(rank);
        if (!i)
            return 0;
        value = entries[*i].second;
        if (cursor == rank)
        {
            cursor.reset();
            removedUnderCursor = rank;
        }
        entries.erase(entries.begin() + *i);
        return 1;
    }
    void removeAll()
    {
        entries.clear();
        cursor.reset();
        removedUnderCursor.reset();
    }
    Step find(int probe, FindOperation op, bool updatePos)
    {
        size_t i = entries.size();
        auto lastWhere = [&](auto pred) {
            size_t n = firstWhere([&](int r) { return !pred(r); });
            return n == 0 ? entries.size() : n - 1;
        };
        switch (op)
        {
        case FIND_EQ: i = firstWhere([&](int r) { return r == probe; }); break;
        case FIND_LT: i = lastWhere([&](int r) { return r < probe; }); break;
        case FIND_LE: i = lastWhere([&](int r) { return r <= probe; }); break;
        case FIND_GT: i = firstWhere([&](int r) { return r > probe; }); break;
        case FIND_GE: i = firstWhere([&](int r) { return r >= probe; }); break;
        default: return failed(INVALID_FUNC_ARG);
        }
        if (i == entries.size())
            return failed(DAT_KEY_NOT_FOUND);
        if (updatePos)
            return handOut(i);
        return found(entries[i].first, entries[i].second);
    }
    Step first() { return entries.empty() ? failed(DAT_MAP_EMPTY) : handOut(0); }
    Step last() { return entries.empty() ? failed(DAT_MAP_EMPTY) : handOut(entries.size() - 1); }
    Step next()
    {
        size_t i;
        if (removedUnderCursor)
        {
            const int gone = *removedUnderCursor;
            removedUnderCursor.reset();
            i = firstWhere([&](int r) { return r > gone; });
        }
        else if (!cursor)
        {
            return failed(DAT_MAP_POS_LAST);
        }
        else
        {
            i = *indexOf(*cursor) + 1;
        }
        if (i == entries.size())
        {
            cursor.reset();
            return failed(DAT_MAP_POS_LAST);
        }
        return handOut(i);
    }
    Step prev()
    {
        size_t from = entries.size();
        if (removedUnderCursor)
            from = firstWhere([&](int r) { return r >= *removedUnderCursor; });
        else if (cursor)
            from = *indexOf(*cursor);
        return from == 0 ? failed(DAT_MAP_POS_FIRST) : handOut(from - 1);
    }
    Step nextFrom(int rank)
    {
        auto i = indexOf(rank);
        if (!i)
            return failed(DAT_KEY_NOT_FOUND);
        handOut(*i);
        return next();
    }
    Step prevFrom(int rank)
    {
        auto i = indexOf(rank);
        if (!i)
            return failed(DAT_KEY_NOT_FOUND);
        handOut(*i);
        return prev();
    }
};

TYPED_TEST(SortedMapTest, AgreesWithAReferenceModelUnderRandomOperations)
{
    using K = TypeParam;
    for (unsigned seed = 1; seed <= 4; ++seed)
    {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 rng(seed);
        auto& map = this->m_map;
        map.removeAll();
        MapModel model;
        for (int n = 0; n < 3000; ++n)
        {
            // A third of the operations aim at or beside the cursor, where the cases are.
            int rank = static_cast<int>(rng() % 40);
            const std::optional<int> aim = model.removedUnderCursor ? model.removedUnderCursor : model.cursor;
            if (aim && rng() % 3 == 0)
                rank = std::clamp(*aim + static_cast<int>(rng() % 3) - 1, 0, 39);
            const auto value = static_cast<DataValueType>(rng());
            const int op = static_cast<int>(rng() % 100);
            SCOPED_TRACE("operation " + std::to_string(n) + " kind " + std::to_string(op) + " rank " +
                         std::to_string(rank));
            if (op < 25)
            {
                const bool overwrite = op % 2 == 0;
                FrameworkErrno::m_fwErrno = UNTOUCHED_CODE;
                const bool ok = map.insert(this->key(rank), value, overwrite);
                const Step want = model.insert(rank, value, overwrite);
                ASSERT_EQ(ok, want.ok);
                ASSERT_EQ(FrameworkErrno::m_fwErrno, want.code);
            }
            else if (op < 38)
            {
                DataValueType got = 0, want = 0;
                ASSERT_EQ(op % 2 ? map.remove(this->key(rank), got) : map.remove(this->key(rank)),
                          model.remove(rank, want));
                if (op % 2)
                {
                    ASSERT_EQ(got, want);
                }
            }
            else if (op < 39)
            {
                map.removeAll();
                model.removeAll();
            }
            else if (op < 55)
            {
                const auto mode = static_cast<FindOperation>(rng() % 6);
                const bool updatePos = rng() % 2;
                ASSERT_EQ(this->find(rank, mode, updatePos), model.find(rank, mode, updatePos));
            }
            else if (op < 58)
            {
                ASSERT_EQ(this->first(), model.first());
            }
            else if (op < 61)
            {
                ASSERT_EQ(this->last(), model.last());
            }
            else if (op < 78)
            {
                ASSERT_EQ(this->next(), model.next());
            }
            else if (op < 93)
            {
                ASSERT_EQ(this->prev(), model.prev());
            }
            else if (op < 96)
            {
                ASSERT_EQ(this->nextFrom(rank), model.nextFrom(rank));
            }
            else if (op < 99)
            {
                ASSERT_EQ(this->prevFrom(rank), model.prevFrom(rank));
            }
            else
            {
                // A copy answers as the model's copy, and walking it leaves the source alone.
                SortedMap<K> copy(map);
                MapModel modelCopy = model;
                for (int i = 0; i < 3; ++i)
                    ASSERT_EQ(this->step([&](K& k, DataValueType& v) { return copy.getNext(k, v); }),
                              modelCopy.next());
            }
            ASSERT_EQ(map.getSize(), model.entries.size());
        }
        std::vector<std::pair<int, DataValueType>> content;
        for (Step s = this->first(); s.ok; s = this->next())
            content.emplace_back(s.rank, s.value);
        EXPECT_EQ(content, model.entries);
    }
}

TEST(SortedMapKeys, TextKeysAreTheirFirst48Characters)
{
    const std::string text50 = std::string(47, 't') + "xyz";
    SortedMap<CharArray<48>> map;
    ASSERT_TRUE(map.insert(CharArray<48>(text50.c_str()), 1, false));
    FrameworkErrno::m_fwErrno = UNTOUCHED_CODE;
    EXPECT_FALSE(map.insert(CharArray<48>(text50.substr(0, 48).c_str()), 2, false));
    EXPECT_EQ(FrameworkErrno::m_fwErrno, DAT_KEY_EXIST);

    CharArray<48> key("dirty");
    DataValueType v = 0;
    ASSERT_TRUE(map.getFirst(key, v));
    EXPECT_EQ(v, 1U);
    EXPECT_EQ(std::string(key.m_dataTxt, 48), text50.substr(0, 48));
}

} // namespace
