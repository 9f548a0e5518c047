#include "LineDataTestSupport.h"
#include "kelmora/linedata/LineDataBasic.h"
#include "kelmora/linedata/LineDataFactoryBasic.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

namespace
{

struct ParseCase
{
    const char* name;
    std::string payload;
    std::int64_t offset;
    std::int64_t length;
    std::uint32_t expected;
};

TEST(LineDataBasic, SequenceFieldTable)
{
    const ParseCase cases[] = {
        {"digits after spaces and zeros", "ABC  0042X", 3, 6, 42},
        {"plus and zeros only", "+00000", 0, 6, 0},
        {"stops at the first non-digit", "12A456", 0, 6, 12},
        {"starts with a letter", "A123", 0, 4, 0},
        {"eleven digits reduce to 32 bits", "12345678901", 0, 11, static_cast<std::uint32_t>(12345678901ull)},
        {"field ends exactly at the payload end", "xx99", 2, 2, 99},
        {"field cut short by the payload counts as absent", "xx99", 2, 3, 0},
        {"offset at the payload end", "1234", 4, 2, 0},
        {"offset far past the payload", "1234", 1000, 2, 0},
    };
    for (const ParseCase& c : cases)
    {
        LineDataBasic r;
        r.setSeqNum(555);
        r.setSeqNumOffset(c.offset);
        r.setSeqNumLength(c.length);
        Bytes bytes(c.payload);
        r.setData(bytes.get(), bytes.mLen);
        EXPECT_EQ(r.getSeqNum(), c.expected) << c.name;
    }
}

TEST(LineDataBasic, NoFieldLeavesThePreviousNumber)
{
    for (auto [offset, length] : {std::pair<std::int64_t, std::int64_t>{-1, 4}, {0, 0}})
    {
        LineDataBasic r;
        r.setSeqNumOffset(offset);
        r.setSeqNumLength(length);
        r.setSeqNum(17);
        r.setData("1234", 4);
        EXPECT_EQ(r.getSeqNum(), 17u);
    }
}

TEST(LineDataBasic, OwnHostOf63Characters)
{
    const std::string host(70, 'q');
    LineDataBasic r;
    r.setSource(host.c_str(), 9000);
    EXPECT_EQ(std::string(r.getSrcHost()), host.substr(0, 63));
    EXPECT_EQ(r.getSrcPort(), 9000);
    EXPECT_STREQ(r.LineData::getSrcHost(), "");

    LineDataBasic other;
    other.setSeqNumOffset(5);
    other = r;
    EXPECT_EQ(std::string(other.getSrcHost()), host.substr(0, 63));
    std::unique_ptr<LineData> copy(r.clone());
    EXPECT_EQ(std::string(copy->getSrcHost()), host.substr(0, 63));
}

// A copy reads its numbers where the original does; an assigned record keeps
// reading where it was told to.
TEST(LineDataBasic, CopyTakesTheFieldPlaceAssignmentKeepsItsOwn)
{
    LineDataBasic original;
    original.setSeqNumOffset(2);
    original.setSeqNumLength(3);
    LineDataBasic assigned;
    assigned.setSeqNumOffset(0);
    assigned.setSeqNumLength(2);
    assigned = original;
    std::unique_ptr<LineData> cloned(original.clone());
    LineDataBasic copied(original);
    for (LineData* r : {static_cast<LineData*>(&assigned), cloned.get(), static_cast<LineData*>(&copied)})
        r->setData("12345", 5);
    EXPECT_EQ(assigned.getSeqNum(), 12u);
    EXPECT_EQ(cloned->getSeqNum(), 345u);
    EXPECT_EQ(copied.getSeqNum(), 345u);
}

TEST(LineDataFactoryBasic, PoolGrowsAtTheTenthCreateWithItsWarning)
{
    TestLog log;
    LineDataFactoryBasic factory("BasicPool", log.mLog);
    factory.setObjPoolSize(10);
    std::set<LineData*> seen;
    for (int i = 0; i < 9; ++i)
        seen.insert(factory.create());
    EXPECT_EQ(seen.size(), 9u);
    EXPECT_EQ(factory.getCapacity(), 10);
    EXPECT_EQ(log.mSink.count("is full. Pool resizing"), 0);
    EXPECT_EQ(log.mSink.count("warn level at"), 0);

    LineData* tenth = factory.create();
    EXPECT_EQ(seen.count(tenth), 0u);
    EXPECT_EQ(factory.getCapacity(), 20);
    EXPECT_EQ(log.mSink.count(" ArrayBackedPool [BasicPool] is full. Pool resizing. MAX_ENTRIES IS: 10"), 1);
    EXPECT_EQ(factory.getNumUsed(), 10);
    // The tenth is one of the first fill: it owns its 20-byte buffer.
    EXPECT_NE(tenth->getData(), nullptr);
}

TEST(LineDataFactoryBasic, DestroyedRecordComesBackAsItWasLeft)
{
    TestLog log;
    LineDataFactoryBasic factory("Reuse", log.mLog);
    factory.setSeqNumOffset(0);
    factory.setSeqNumLength(3);
    factory.setObjPoolSize(2);
    LineData* first = factory.create();
    const char payload[] = "042abc";
    first->setData(payload, 6);
    EXPECT_EQ(first->getSeqNum(), 42u);
    factory.destroy(first);
    EXPECT_EQ(factory.getNumUsed(), 0);

    // Two entries, one held in reserve: the pool grows, and the returned
    // record is handed out again after the new ones.
    std::vector<LineData*> taken;
    LineData* again = nullptr;
    for (int i = 0; i < 4 && again == nullptr; ++i)
    {
        LineData* r = factory.create();
        taken.push_back(r);
        if (r == first)
            again = r;
    }
    ASSERT_EQ(again, first);
    EXPECT_EQ(again->getData(), payload);
    EXPECT_EQ(again->getSeqNum(), 42u);
    for (LineData* r : taken)
        factory.destroy(r);
}

TEST(LineDataFactoryBasic, NoAllocationPerCreateSetDataAndDestroyOnceFilled)
{
    TestLog log;
    LineDataFactoryBasic factory("Quiet", log.mLog);
    factory.setSeqNumOffset(0);
    factory.setSeqNumLength(4);
    factory.setObjPoolSize(64);
    const char payload[] = "0001 a message of more than sixteen bytes";
    LineData* held[8];
    const std::uint64_t before = allocationCount();
    for (int round = 0; round < 100; ++round)
    {
        for (LineData*& r : held)
        {
            r = factory.create();
            r->clear();
            r->setData(payload, sizeof payload - 1);
        }
        for (LineData* r : held)
            factory.destroy(r);
    }
    EXPECT_EQ(allocationCount(), before);
}

} // namespace
