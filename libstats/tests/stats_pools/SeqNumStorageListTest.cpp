#include "libstats/pool/SeqNumStorageList.h"
#include "libstats/tests/support/StatsTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <sys/ipc.h>

using Zunq::Utils::ArrayBackedPool;
using Zunq::Utils::ArrayBackedPoolObject;
using Zunq::Utils::SeqNumStorageList;

namespace
{

// A record of the test's own, shaped as the sequence records are.
struct Item : ArrayBackedPoolObject
{
    char mName[8];
    std::uint64_t mSeqNum;
};

std::string nameOf(const Item* item)
{
    return item == nullptr ? "(none)" : std::string(item->mName, strnlen(item->mName, sizeof item->mName));
}

TEST(SeqNumStorageList, NamesAFreeRecordOnceAndFindsItAfterwards)
{
    CapturedLog log;
    ArrayBackedPool<Item> pool;
    ASSERT_TRUE(pool.init(2, log.log(), "names", 0));
    SeqNumStorageList<Item> list(pool, log.log());

    bool created = false;
    Item* a = list.getItemByName("A", created);
    ASSERT_NE(a, nullptr);
    EXPECT_TRUE(created);
    a->mSeqNum = 41;
    Item* b = list.getItemByName("BB", created);
    ASSERT_NE(b, nullptr);
    EXPECT_TRUE(created);
    EXPECT_NE(a, b);
    // More names than the first level holds: the pool grows under the list.
    Item* c = list.getItemByName("CCC", created);
    ASSERT_NE(c, nullptr);
    EXPECT_TRUE(created);

    EXPECT_EQ(list.getItemByName("A", created), a);
    EXPECT_FALSE(created);
    EXPECT_EQ(a->mSeqNum, 41u);
    EXPECT_EQ(list.getItemByName("CCC", created), c);
    EXPECT_FALSE(created);
    // A name is matched whole, not as a prefix of another.
    EXPECT_EQ(list.findItemByName("B"), nullptr);
    EXPECT_EQ(list.findItemByName("BB"), b);
    EXPECT_EQ(pool.getNumEntries(), 3);
}

// An entry handed back to the pool keeps its bytes: its old name must not
// be found, and whoever takes it next starts from zero.
TEST(SeqNumStorageList, AFreedRecordIsNotFoundAndIsClearedWhenTakenAgain)
{
    CapturedLog log;
    ArrayBackedPool<Item> pool;
    ASSERT_TRUE(pool.init(4, log.log(), "names", 0));
    SeqNumStorageList<Item> list(pool, log.log());
    bool created = false;
    Item* old = list.getItemByName("OLDNAME", created);
    ASSERT_NE(old, nullptr);
    old->mSeqNum = 99;
    ASSERT_TRUE(pool.freeIndex(old->mIndex));

    EXPECT_EQ(list.findItemByName("OLDNAME"), nullptr);
    // The freed entry is handed out again once the pool's chain comes round.
    Item* reused = nullptr;
    for (int i = 0; i < 8 && reused == nullptr; ++i)
    {
        Item* item = list.getItemByName("N" + std::to_string(i), created);
        ASSERT_NE(item, nullptr);
        EXPECT_TRUE(created);
        EXPECT_EQ(item->mSeqNum, 0u) << nameOf(item);
        if (item == old)
            reused = item;
    }
    ASSERT_EQ(reused, old);
    EXPECT_EQ(list.findItemByName("OLDNAME"), nullptr);
}

TEST(SeqNumStorageList, RefusesNamesTheFieldCannotHoldWhole)
{
    CapturedLog log;
    ArrayBackedPool<Item> pool;
    ASSERT_TRUE(pool.init(4, log.log(), "names", 0));
    SeqNumStorageList<Item> list(pool, log.log());
    bool created = true;
    ASSERT_NE(list.getItemByName("SEVENCH", created), nullptr);
    const struct
    {
        const char* what;
        std::string name;
    } cases[] = {
        {"empty", ""},
        // Cut to seven characters it would be the record above.
        {"one character too long", "SEVENCHX"},
        {"a NUL inside", std::string("AB\0CD", 5)},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        created = true;
        EXPECT_EQ(list.getItemByName(c.name, created), nullptr);
        EXPECT_FALSE(created);
    }
    EXPECT_EQ(pool.getNumEntries(), 1);
    EXPECT_EQ(log.count("characters is refused; a name holds 1 to 7 characters and no NUL"), 3);
}

// The use the list exists for: a restarted process attaches the segment and
// finds the record its predecessor named, with its values.
TEST(SeqNumStorageList, ARecordNamedBeforeARestartIsFoundInTheReattachedSegment)
{
    TempDir dir;
    IpcCleaner ipc;
    CapturedLog log;
    const key_t key = ftok(ipc.keyFile(dir.path()).c_str(), 0);
    int id = 0;
    ArrayBackedPool<Item>* pool = ArrayBackedPool<Item>::initShMem(key, id, 4, log.log(), "seqnums", nullptr, 90);
    ASSERT_NE(pool, nullptr);
    {
        SeqNumStorageList<Item> list(*pool, log.log());
        bool created = false;
        ASSERT_NE(list.getItemByName("P1", created), nullptr);
        Item* p2 = list.getItemByName("P2", created);
        ASSERT_NE(p2, nullptr);
        p2->mSeqNum = 123456;
    }
    ASSERT_EQ(ArrayBackedPool<Item>::detachShm(pool), 0);

    const int code = runInChild([&] {
        int childId = 0;
        CapturedLog childLog;
        ArrayBackedPool<Item>* again =
            ArrayBackedPool<Item>::initShMem(key, childId, 4, childLog.log(), "seqnums", nullptr, 90);
        if (again == nullptr)
            return 1;
        SeqNumStorageList<Item> list(*again, childLog.log());
        bool created = true;
        Item* p2 = list.getItemByName("P2", created);
        if (p2 == nullptr || created || p2->mSeqNum != 123456)
            return 2;
        Item* p3 = list.getItemByName("P3", created);
        if (p3 == nullptr || !created || p3 == p2)
            return 3;
        return ArrayBackedPool<Item>::detachShm(again) == 0 ? 0 : 4;
    });
    EXPECT_EQ(code, 0);
}

} // namespace
