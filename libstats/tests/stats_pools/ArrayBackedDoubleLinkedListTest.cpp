#include "libstats/pool/ArrayBackedDoubleLinkedList.h"
#include "libstats/tests/support/StatsTestSupport.h"

#include <gtest/gtest.h>

#include <vector>

using Zunq::Utils::ArrayBackedDoubleLinkedList;
using Zunq::Utils::ArrayBackedPoolObject;

namespace
{

struct Level : ArrayBackedPoolObject
{
    long price;
};

struct Ascending
{
    bool operator()(const Level& a, const Level& b) const { return a.price < b.price; }
};

using Book = ArrayBackedDoubleLinkedList<Level, Ascending>;

Level level(long price, uint64_t id = 0)
{
    Level l{};
    l.mID = id;
    l.price = price;
    return l;
}

// Prices from head to tail, checked against the walk from tail to head.
std::vector<long> prices(Book& list)
{
    std::vector<long> forward, backward;
    for (long at = list.getHead(); at != -1; at = list.getNext(at))
        forward.push_back(list.getEntry(at)->price);
    for (long at = list.getTail(); at != -1; at = list.getPrev(at))
        backward.insert(backward.begin(), list.getEntry(at)->price);
    EXPECT_EQ(forward, backward);
    EXPECT_EQ(forward.size(), list.getNumEntries());
    return forward;
}

TEST(ArrayBackedDoubleLinkedListTest, InsertsInEveryPlace)
{
    CapturedLog log;
    Book list(2, log.log(), "book");
    ASSERT_NE(list.insertOrdered(level(30)), nullptr);
    list.insertOrdered(level(10));
    list.insertOrdered(level(20));
    list.insertOrdered(level(40)); // grows the pool
    EXPECT_EQ(prices(list), (std::vector<long>{10, 20, 30, 40}));
    list.pushBack(level(5));
    list.insertByPosition(level(1), 0);
    list.insertByPosition(level(25), 3);
    list.insertByPosition(level(99), 100);
    EXPECT_EQ(prices(list), (std::vector<long>{1, 10, 20, 25, 30, 40, 5, 99}));
    // An entry to fill in place, before a given one or at the tail; never
    // before an entry the list does not hold.
    list.insertEmptyItemBefore(list.getHead())->price = 0;
    list.insertEmptyItemBefore(-1)->price = 100;
    EXPECT_EQ(list.insertEmptyItemBefore(1000), nullptr);
    EXPECT_EQ(prices(list), (std::vector<long>{0, 1, 10, 20, 25, 30, 40, 5, 99, 100}));
}

TEST(ArrayBackedDoubleLinkedListTest, DeletesAnywhereAndRefusesWhatItDoesNotHold)
{
    CapturedLog log;
    Book list(8, log.log(), "fifo");
    std::vector<long> indices;
    for (long p : {1, 2, 3, 4, 5})
        indices.push_back(list.pushBack(level(p))->mIndex);
    EXPECT_TRUE(list.deleteEntry(indices[2]));  // middle
    EXPECT_TRUE(list.deleteEntry(indices[0]));  // head
    EXPECT_TRUE(list.deleteEntry(list.getTailEntry())); // tail
    EXPECT_EQ(prices(list), (std::vector<long>{2, 4}));
    EXPECT_FALSE(list.deleteEntry(indices[2])); // twice
    EXPECT_FALSE(list.deleteEntry(-1));
    EXPECT_FALSE(list.deleteEntry(1000));
    EXPECT_EQ(prices(list), (std::vector<long>{2, 4}));
    EXPECT_EQ(list.getPool()->getNumEntries(), 2);
    list.clear();
    EXPECT_EQ(list.getNumEntries(), 0u);
    EXPECT_EQ(list.getHeadEntry(), nullptr);
    EXPECT_EQ(list.getPool()->getNumEntries(), 0);
}

TEST(ArrayBackedDoubleLinkedListTest, UpdateObjectInShMemChangesContentsWhereTheyLie)
{
    CapturedLog log;
    Zunq::Utils::ArrayBackedPool<Level> shared;
    ASSERT_TRUE(shared.init(8, log.log(), "shared", 0));
    Book list(0, log.log(), "levels", &shared);
    list.pushBack(level(10, 1));
    Level* middle = list.pushBack(level(20, 2));
    list.pushBack(level(30, 3));
    const long index = static_cast<long>(middle->mIndex);
    Level* updated = list.updateObjectInShMem(index, level(25, 9));
    ASSERT_EQ(updated, shared.getEntry(index));
    EXPECT_EQ(updated->mID, 9u);
    EXPECT_EQ(prices(list), (std::vector<long>{10, 25, 30}));
    // Only entries of the list: not a free one, not one outside the pool.
    EXPECT_EQ(list.updateObjectInShMem(5, level(99)), nullptr);
    EXPECT_EQ(list.updateObjectInShMem(100, level(99)), nullptr);
    list.deleteEntry(index);
    EXPECT_EQ(list.updateObjectInShMem(index, level(99)), nullptr);
    EXPECT_EQ(prices(list), (std::vector<long>{10, 30}));
}

TEST(ArrayBackedDoubleLinkedListTest, SearchesFromTheHead)
{
    CapturedLog log;
    Book list(4, log.log(), "search");
    list.pushBack(level(10, 7));
    list.pushBack(level(20, 8));
    list.pushBack(level(30, 8));
    ASSERT_NE(list.searchEntry(uint64_t{8}), nullptr);
    EXPECT_EQ(list.searchEntry(uint64_t{8})->price, 20);
    EXPECT_EQ(list.searchEntry(uint64_t{9}), nullptr);
    EXPECT_EQ(list.searchEntry([](const Level& l) { return l.price > 15; })->price, 20);
    // An entry taken empty keeps what its last user left.
    long reused = list.getHead();
    list.deleteEntry(reused);
    list.deleteEntry(list.getHead());
    list.deleteEntry(list.getHead());
    for (int i = 0; i < 3; ++i)
        list.pushBackEmptyItem();
    EXPECT_NE(list.searchEntry([](const Level& l) { return l.price == 10; }), nullptr);
}

} // namespace
