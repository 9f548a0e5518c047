#include "FendralCore/foundation/SortedMultiMap.h"

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

template <typename K>
class SortedMultiMapTest : public ::testing::Test
{
protected:
    static K key(int rank) { return KeyMaker<K>::key(rank); }
    static int rankOf(const K& k) { return KeyMaker<K>::rankOf(k); }

    // (5, a), (7, b), (5, c), (9, d), inserted in that order.
    void fillSample()
    {
        for (auto [r, v] : {std::pair{5, 'a'}, {7, 'b'}, {5, 'c'}, {9, 'd'}})
            ASSERT_TRUE(m_map.insert(key(r), static_cast<DataValueType>(v)));
    }

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
    Step find(int r, FindOperation op)
    {
        return step([&](K& k, DataValueType& v) { return m_map.find(key(r), k, v, op); });
    }
    // The by-key calls hand out a value only; the key is the one asked for.
    Step firstOfKey(int r)
    {
        return step([&](K& k, DataValueType& v) { return m_map.getFirstValueByKey(key(r), v) && (k = key(r), true); });
    }
    Step nextOfKey(int r)
    {
        return step([&](K& k, DataValueType& v) { return m_map.getNextValueByKey(key(r), v) && (k = key(r), true); });
    }
    Step removeCurrent()
    {
        FrameworkErrno::m_fwErrno = UNTOUCHED_CODE;
        DataValueType v = 0;
        if (!m_map.removeCurrent(v))
            return failed(FrameworkErrno::m_fwErrno);
        Step s = found(-1, v);
        s.code = FrameworkErrno::m_fwErrno;
        return s;
    }

    SortedMultiMap<K> m_map;
};
TYPED_TEST_SUITE(SortedMultiMapTest, ContainerKeyTypes, ContainerKeyNames);

Step entry(int rank, char value) { return found(rank, static_cast<DataValueType>(value)); }
Step removed(char value) { return found(-1, static_cast<DataValueType>(value)); }

TYPED_TEST(SortedMultiMapTest, WalksEqualKeysInInsertionOrder)
{
    EXPECT_EQ(this->next(), failed(DAT_MAP_POS_LAST));
    EXPECT_EQ(this->prev(), failed(DAT_MAP_POS_FIRST));
    EXPECT_EQ(this->first(), failed(DAT_MAP_EMPTY));
    EXPECT_EQ(this->last(), failed(DAT_MAP_EMPTY));
    EXPECT_EQ(this->removeCurrent(), failed(DAT_MAP_POS_INVALID));

    this->fillSample();
    EXPECT_EQ(this->m_map.getSize(), 4U);
    EXPECT_EQ(this->first(), entry(5, 'a'));
    EXPECT_EQ(this->next(), entry(5, 'c'));
    EXPECT_EQ(this->next(), entry(7, 'b'));
    EXPECT_EQ(this->next(), entry(9, 'd'));
    EXPECT_EQ(this->next(), failed(DAT_MAP_POS_LAST));
    EXPECT_EQ(this->prev(), entry(7, 'b')) << "current stays on the last entry";

    EXPECT_EQ(this->last(), entry(9, 'd'));
    EXPECT_EQ(this->prev(), entry(7, 'b'));
    EXPECT_EQ(this->prev(), entry(5, 'c'));
    EXPECT_EQ(this->prev(), entry(5, 'a'));
    EXPECT_EQ(this->prev(), failed(DAT_MAP_POS_FIRST));
    EXPECT_EQ(this->next(), entry(5, 'c'));
}

TYPED_TEST(SortedMultiMapTest, FindModesPickTheEntryOfTheTable)
{
    struct Case
    {
        int probe;
        FindOperation op;
        Step match;
        Step after; // what getNext hands out after a match
    };
    const Step none = failed(DAT_KEY_NOT_FOUND);
    const Case cases[] = {
        {5, FIND_EQ, entry(5, 'a'), entry(5, 'c')}, {5, FIND_LE, entry(5, 'c'), entry(7, 'b')},
        {5, FIND_LT, none, {}},                     {5, FIND_GT, entry(7, 'b'), entry(9, 'd')},
        {6, FIND_GE, entry(7, 'b'), entry(9, 'd')}, {5, FIND_GE, entry(5, 'a'), entry(5, 'c')},
        {6, FIND_EQ, none, {}},                     {6, FIND_LT, entry(5, 'c'), entry(7, 'b')},
        {10, FIND_LT, entry(9, 'd'), failed(DAT_MAP_POS_LAST)},
        {4, FIND_LE, none, {}},                     {9, FIND_GT, none, {}},
        {10, FIND_GE, none, {}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(this->find(c.probe, c.op), none) << "empty multimap, mode " << c.op;

    this->fillSample();
    for (const Case& c : cases)
    {
        SCOPED_TRACE("mode " + std::to_string(c.op) + " probe " + std::to_string(c.probe));
        ASSERT_EQ(this->last(), entry(9, 'd'));
        EXPECT_EQ(this->find(c.probe, c.op), c.match);
        EXPECT_EQ(this->next(), c.match.ok ? c.after : failed(DAT_MAP_POS_LAST));
    }

    // A mode outside the five is refused; outputs and positions stay.
    ASSERT_EQ(this->first(), entry(5, 'a'));
    auto k = this->key(77);
    DataValueType v = 0xDEAD;
    EXPECT_FALSE(this->m_map.find(this->key(5), k, v, static_cast<FindOperation>(5)));
    EXPECT_EQ(FrameworkErrno::m_fwErrno, INVALID_FUNC_ARG);
    EXPECT_EQ(this->rankOf(k), 77);
    EXPECT_EQ(v, 0xDEADU);
    EXPECT_EQ(this->next(), entry(5, 'c'));
}

TYPED_TEST(SortedMultiMapTest, WalksTheValuesOfOneKey)
{
    this->fillSample();
    EXPECT_EQ(this->firstOfKey(5), entry(5, 'a'));
    EXPECT_EQ(this->nextOfKey(5), entry(5, 'c'));
    EXPECT_EQ(this->nextOfKey(5), failed(DAT_KEY_NO_MORE));
    EXPECT_EQ(this->next(), entry(7, 'b')) << "positions unchanged by the refusal";

    EXPECT_EQ(this->firstOfKey(9), entry(9, 'd'));
    EXPECT_EQ(this->nextOfKey(9), failed(DAT_MAP_POS_LAST));
    EXPECT_EQ(this->firstOfKey(6), failed(DAT_KEY_NOT_FOUND));
    EXPECT_EQ(this->prev(), entry(7, 'b'));
}

TYPED_TEST(SortedMultiMapTest, RemoveByKeyRepairsThePositions)
{
    auto& map = this->m_map;
    this->fillSample();
    FrameworkErrno::m_fwErrno = UNTOUCHED_CODE;
    EXPECT_EQ(map.remove(this->key(6)), 0);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, UNTOUCHED_CODE);

    // The next entry goes: next becomes the entry after the current one.
    ASSERT_EQ(this->first(), entry(5, 'a'));
    ASSERT_EQ(this->next(), entry(5, 'c'));
    EXPECT_EQ(map.remove(this->key(7)), 1);
    EXPECT_EQ(this->next(), entry(9, 'd'));

    // The current entry's key goes: the walk goes on after its entries, either way.
    ASSERT_TRUE(map.insert(this->key(7), 'b'));
    ASSERT_EQ(this->first(), entry(5, 'a'));
    EXPECT_EQ(map.remove(this->key(5)), 2);
    EXPECT_EQ(map.getSize(), 2U);
    EXPECT_EQ(this->prev(), failed(DAT_MAP_POS_FIRST));
    EXPECT_EQ(this->next(), entry(7, 'b'));
    EXPECT_EQ(map.remove(this->key(7)), 1);
    EXPECT_EQ(this->prev(), failed(DAT_MAP_POS_FIRST));
    EXPECT_EQ(this->next(), entry(9, 'd'));
    EXPECT_EQ(map.remove(this->key(9)), 1);
    EXPECT_TRUE(map.empty());
    EXPECT_EQ(this->next(), failed(DAT_MAP_POS_LAST));
    EXPECT_EQ(this->removeCurrent(), failed(DAT_MAP_POS_INVALID));
}

TYPED_TEST(SortedMultiMapTest, RemoveCurrentHandsOutTheFollowerNext)
{
    auto& map = this->m_map;
    for (int r = 1; r <= 4; ++r) // A, B, C, D
        ASSERT_TRUE(map.insert(this->key(r), 'A' + r - 1));

    ASSERT_EQ(this->first(), entry(1, 'A'));
    EXPECT_EQ(this->removeCurrent(), removed('A'));
    EXPECT_EQ(this->next(), entry(2, 'B'));

    // Backward, the walk goes on with the entry before the removed one.
    ASSERT_EQ(this->last(), entry(4, 'D'));
    ASSERT_EQ(this->prev(), entry(3, 'C'));
    EXPECT_EQ(this->removeCurrent(), removed('C'));
    EXPECT_EQ(this->prev(), entry(2, 'B'));

    // The last entry goes: both positions at the end.
    ASSERT_EQ(this->last(), entry(4, 'D'));
    EXPECT_EQ(this->removeCurrent(), removed('D'));
    EXPECT_EQ(this->next(), failed(DAT_MAP_POS_LAST));
    EXPECT_EQ(this->removeCurrent(), failed(DAT_MAP_POS_INVALID));
    EXPECT_EQ(this->prev(), entry(2, 'B'));
    EXPECT_EQ(map.getSize(), 1U);

    // Within the values of one key.
    map.removeAll();
    this->fillSample();
    ASSERT_EQ(this->firstOfKey(5), entry(5, 'a'));
    EXPECT_EQ(this->removeCurrent(), removed('a'));
    EXPECT_EQ(this->nextOfKey(5), entry(5, 'c'));
    EXPECT_TRUE(map.removeCurrent());
    EXPECT_EQ(this->nextOfKey(5), failed(DAT_KEY_NO_MORE));
    EXPECT_EQ(this->next(), entry(7, 'b'));
}

TYPED_TEST(SortedMultiMapTest, EntriesInsertedAheadOfTheWalkAreVisited)
{
    auto& map = this->m_map;
    this->fillSample();
    ASSERT_EQ(this->find(5, FIND_LE), entry(5, 'c'));
    ASSERT_TRUE(map.insert(this->key(6), 'e'));
    EXPECT_EQ(this->next(), entry(6, 'e'));

    // After a removal, an entry landing where the removed one stood comes next;
    // one landing behind it does not.
    EXPECT_EQ(this->removeCurrent(), removed('e'));
    ASSERT_TRUE(map.insert(this->key(5), 'f')); // behind: after (5, c)
    ASSERT_TRUE(map.insert(this->key(6), 'g'));
    EXPECT_EQ(this->next(), entry(6, 'g'));
    EXPECT_EQ(this->next(), entry(7, 'b'));

    ASSERT_EQ(this->last(), entry(9, 'd'));
    EXPECT_EQ(this->removeCurrent(), removed('d'));
    ASSERT_TRUE(map.insert(this->key(9), 'h'));
    EXPECT_EQ(this->next(), entry(9, 'h'));
}

TYPED_TEST(SortedMultiMapTest, CopyHasItsOwnEntriesAndPositions)
{
    using K = TypeParam;
    auto source = std::make_unique<SortedMultiMap<K>>();
    for (auto [r, v] : {std::pair{5, 'a'}, {7, 'b'}, {5, 'c'}})
        source->insert(this->key(r), v);
    DataValueType v = 0;
    ASSERT_TRUE(source->getFirstValueByKey(this->key(5), v));

    SortedMultiMap<K> copy(*source);
    source->remove(this->key(5));
    source.reset();

    K k;
    EXPECT_EQ(copy.getSize(), 3U);
    ASSERT_TRUE(copy.getNextValueByKey(this->key(5), v));
    EXPECT_EQ(v, DataValueType('c'));
    ASSERT_TRUE(copy.removeCurrent(v));
    ASSERT_TRUE(copy.getNext(k, v));
    EXPECT_EQ(v, DataValueType('b'));
}

// Walks that remove some of what they visit must visit every entry exactly
// once, in order; removing a key drops its entries that are still ahead.
TYPED_TEST(SortedMultiMapTest, WalkThatRemovesVisitsEveryEntryOnce)
{
    std::mt19937 rng(11);
    for (int round = 0; round < 60; ++round)
    {
        const bool forward = round % 3 != 1;
        const bool byKey = round % 3 == 2;
        SCOPED_TRACE("round " + std::to_string(round));
        auto& map = this->m_map;
        map.removeAll();
        std::vector<std::pair<int, DataValueType>> order; // the expected walk
        for (DataValueType id = 1; id <= 60; ++id)
        {
            const int r = static_cast<int>(rng() % 20);
            map.insert(this->key(r), id);
            order.insert(std::upper_bound(order.begin(), order.end(), r,
                                          [](int x, const auto& e) { return x < e.first; }),
                         {r, id});
        }
        if (!forward)
            std::reverse(order.begin(), order.end());

        std::vector<std::pair<int, DataValueType>> visited, kept;
        size_t pos = 0;
        for (Step s = forward ? this->first() : this->last(); s.ok; s = forward ? this->next() : this->prev())
        {
            visited.emplace_back(s.rank, s.value);
            ++pos;
            if (rng() % 3 != 0)
            {
                kept.emplace_back(s.rank, s.value);
            }
            else if (!byKey)
            {
                ASSERT_EQ(this->removeCurrent(), found(-1, s.value));
            }
            else
            {
                // Entries of that key still ahead of the walk go too.
                map.remove(this->key(s.rank));
                std::erase_if(kept, [&](const auto& e) { return e.first == s.rank; });
                order.erase(std::remove_if(order.begin() + static_cast<std::ptrdiff_t>(pos), order.end(),
                                           [&](const auto& e) { return e.first == s.rank; }),
                            order.end());
            }
        }
        EXPECT_EQ(visited, order);
        std::vector<std::pair<int, DataValueType>> left;
        for (Step s = forward ? this->first() : this->last(); s.ok; s = forward ? this->next() : this->prev())
            left.emplace_back(s.rank, s.value);
        EXPECT_EQ(left, kept);
    }
}

// Entries in walk order with both positions held as entry ids (values are
// unique in the model test): a second account of what the multimap answers.
struct MultiMapModel
{
    static constexpr DataValueType END = 0;
    std::vector<std::pair<int, DataValueType>> entries;
    DataValueType current = END;
    DataValueType next = END;
    std::optional<int> removedRank; // set while both positions stand on a removed entry's follower

    size_t indexOf(DataValueType id) const
    {
        if (id == END)
            return entries.size();
        size_t i = 0;
        while (entries[i].second != id)
            ++i;
        return i;
    }
    DataValueType idAt(size_t i) const { return i < entries.size() ? entries[i].second : END; }
    int rankOf(DataValueType id) const { return entries[indexOf(id)].first; }
    size_t firstWhere(auto pred) const
    {
        size_t i = 0;
        while (i < entries.size() && !pred(entries[i].first))
            ++i;
        return i;
    }
    Step handOut(size_t i)
    {
        current = idAt(i);
        next = idAt(i + 1);
        removedRank.reset();
        return found(entries[i].first, entries[i].second);
    }
    void afterRemoval(DataValueType follower, int rank)
    {
        current = next = follower;
        removedRank = rank;
    }

    void insert(int rank, DataValueType id)
    {
        const size_t at = firstWhere([&](int r) { return r > rank; });
        entries.insert(entries.begin() + static_cast<std::ptrdiff_t>(at), {rank, id});
        if (removedRank)
        {
            if (idAt(at + 1) == next && rank >= *removedRank)
                current = next = id;
        }
        else if (current != END)
        {
            next = idAt(indexOf(current) + 1);
        }
    }
    int remove(int rank)
    {
        const bool currentGoes = current != END && rankOf(current) == rank;
        const bool nextGoes = next != END && rankOf(next) == rank;
        const DataValueType follower = idAt(firstWhere([&](int r) { return r > rank; }));
        const auto gone = std::erase_if(entries, [&](const auto& e) { return e.first == rank; });
        if (gone == 0)
            return 0;
        if (currentGoes)
            afterRemoval(follower, rank);
        else if (nextGoes)
            next = current == END ? END : idAt(indexOf(current) + 1);
        return static_cast<int>(gone);
    }
    Step removeCurrent()
    {
        if (current == END)
            return failed(DAT_MAP_POS_INVALID);
        const size_t i = indexOf(current);
        const auto [rank, id] = entries[i];
        entries.erase(entries.begin() + static_cast<std::ptrdiff_t>(i));
        afterRemoval(idAt(i), rank);
        return found(-1, id);
    }
    void removeAll()
    {
        entries.clear();
        current = next = END;
        removedRank.reset();
    }
    Step find(int probe, FindOperation op)
    {
        size_t i = entries.size();
        auto lastWhere = [&](auto pred) {
            const size_t n = firstWhere([&](int r) { return !pred(r); });
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
        return i == entries.size() ? failed(DAT_KEY_NOT_FOUND) : handOut(i);
    }
    Step nextOfKey(int rank)
    {
        if (next == END)
            return failed(DAT_MAP_POS_LAST);
        if (rankOf(next) != rank)
            return failed(DAT_KEY_NO_MORE);
        return handOut(indexOf(next));
    }
    Step first() { return entries.empty() ? failed(DAT_MAP_EMPTY) : handOut(0); }
    Step last() { return entries.empty() ? failed(DAT_MAP_EMPTY) : handOut(entries.size() - 1); }
    Step getNext() { return next == END ? failed(DAT_MAP_POS_LAST) : handOut(indexOf(next)); }
    Step getPrev()
    {
        const size_t from = indexOf(current);
        return from == 0 ? failed(DAT_MAP_POS_FIRST) : handOut(from - 1);
    }
};

TYPED_TEST(SortedMultiMapTest, AgreesWithAReferenceModelUnderRandomOperations)
{
    using K = TypeParam;
    for (unsigned seed = 1; seed <= 4; ++seed)
    {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 rng(seed);
        auto& map = this->m_map;
        map.removeAll();
        MultiMapModel model;
        DataValueType lastId = 0;
        for (int n = 0; n < 3000; ++n)
        {
            // A third of the operations aim at or beside the cursor, where the cases are.
            int rank = static_cast<int>(rng() % 12);
            const std::optional<int> aim = model.removedRank ? model.removedRank
                                           : model.current != MultiMapModel::END
                                               ? std::optional<int>(model.rankOf(model.current))
                                               : std::nullopt;
            if (aim && rng() % 3 == 0)
                rank = std::clamp(*aim + static_cast<int>(rng() % 3) - 1, 0, 11);
            const int op = static_cast<int>(rng() % 100);
            SCOPED_TRACE("operation " + std::to_string(n) + " kind " + std::to_string(op) + " rank " +
                         std::to_string(rank));
            if (op < 25)
            {
                ASSERT_TRUE(map.insert(this->key(rank), ++lastId));
                model.insert(rank, lastId);
            }
            else if (op < 30)
            {
                ASSERT_EQ(map.remove(this->key(rank)), model.remove(rank));
            }
            else if (op < 42)
            {
                ASSERT_EQ(this->removeCurrent(), model.removeCurrent());
            }
            else if (op < 43)
            {
                map.removeAll();
                model.removeAll();
            }
            else if (op < 53)
            {
                const auto mode = static_cast<FindOperation>(rng() % 6);
                ASSERT_EQ(this->find(rank, mode), model.find(rank, mode));
            }
            else if (op < 57)
            {
                ASSERT_EQ(this->firstOfKey(rank), model.find(rank, FIND_EQ));
            }
            else if (op < 63)
            {
                ASSERT_EQ(this->nextOfKey(rank), model.nextOfKey(rank));
            }
            else if (op < 66)
            {
                ASSERT_EQ(this->first(), model.first());
            }
            else if (op < 69)
            {
                ASSERT_EQ(this->last(), model.last());
            }
            else if (op < 84)
            {
                ASSERT_EQ(this->next(), model.getNext());
            }
            else if (op < 99)
            {
                ASSERT_EQ(this->prev(), model.getPrev());
            }
            else
            {
                SortedMultiMap<K> copy(map);
                MultiMapModel modelCopy = model;
                for (int i = 0; i < 3; ++i)
                    ASSERT_EQ(this->step([&](K& k, DataValueType& v) { return copy.getNext(k, v); }),
                              modelCopy.getNext());
            }
            ASSERT_EQ(map.getSize(), model.entries.size());
        }
        std::vector<std::pair<int, DataValueType>> content;
        for (Step s = this->first(); s.ok; s = this->next())
            content.emplace_back(s.rank, s.value);
        EXPECT_EQ(content, model.entries);
    }
}

} // namespace
