#include "kelmora/linedata/LineDataBasic.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace
{

// LineData is abstract: the basic record exercises the base behaviour.
using Record = LineDataBasic;

TEST(LineDataRecord, NewRecordIsEmptyOriginalAndExpectsOne)
{
    Record r;
    EXPECT_EQ(r.getData(), nullptr);
    EXPECT_EQ(r.getDataLen(), 0u);
    EXPECT_EQ(r.getSeqNum(), 0u);
    EXPECT_EQ(r.getNextSeqNum(), 1u);
    EXPECT_TRUE(r.isOriginal());
    EXPECT_FALSE(r.isControl() || r.isSequenceReset() || r.isHeartbeat() || r.isRecovery() || r.isLast() ||
                 r.getIgnoreSeqNum() || r.getMultipleMessages());
    EXPECT_EQ(r.getChannelId(), 0);
    EXPECT_FALSE(r.isBlockData());
}

// The one-call read the line filter uses answers field by field as the
// getters do, for each flag set alone (a swapped field shows at once).
TEST(LineDataRecord, SeqFieldsAnswerAsTheGetters)
{
    using Set = void (LineData::*)(bool);
    const struct
    {
        const char* name;
        Set set;
    } cases[] = {
        {"none", nullptr},
        {"not original", &LineData::setIsOriginal},
        {"control", &LineData::setIsControl},
        {"sequence reset", &LineData::setIsSequenceReset},
        {"heartbeat", &LineData::setIsHeartbeat},
        {"recovery", &LineData::setIsRecovery},
        {"last", &LineData::setIsLast},
        {"ignore", &LineData::setIgnoreSeqNum},
        {"multiple", &LineData::setMultipleMessages},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        Record r;
        r.setSeqNum(4000000123u);
        if (c.set == &LineData::setIsOriginal)
            r.setIsOriginal(false);
        else if (c.set != nullptr)
            (r.*c.set)(true);
        const LineData::SeqFields f = r.getSeqFields();
        EXPECT_EQ(f.mSeqNum, r.getSeqNum());
        EXPECT_EQ(f.mIsOriginal, r.isOriginal());
        EXPECT_EQ(f.mIsControl, r.isControl());
        EXPECT_EQ(f.mIsSequenceReset, r.isSequenceReset());
        EXPECT_EQ(f.mIsHeartbeat, r.isHeartbeat());
        EXPECT_EQ(f.mIsRecovery, r.isRecovery());
        EXPECT_EQ(f.mIsLast, r.isLast());
        EXPECT_EQ(f.mIgnoreSeqNum, r.getIgnoreSeqNum());
        EXPECT_EQ(f.mMultiMsg, r.getMultipleMessages());
    }
}

TEST(LineDataRecord, NextSeqNumWrapsAt32Bits)
{
    Record r;
    r.setSeqNum(4294967295u);
    EXPECT_EQ(r.getNextSeqNum(), 0u);
}

TEST(LineDataRecord, SetDataBorrowsAndReleasesAnOwnedBuffer)
{
    Record r;
    r.setBufferLen(16);
    const char bytes[] = "borrowed";
    r.setData(bytes, 8);
    EXPECT_EQ(r.getData(), bytes);
    EXPECT_EQ(r.getDataLen(), 8u);
}

// No bytes with a length is an empty record, whether the record borrowed or
// owned its payload before.
TEST(LineDataRecord, SetDataOfNoBytesIsEmpty)
{
    for (const bool owning : {false, true})
    {
        Record r;
        if (owning)
            r.setBufferLen(16);
        else
            r.setData("abc", 3);
        r.setData(nullptr, 5);
        EXPECT_EQ(r.getData(), nullptr) << "owning " << owning;
        EXPECT_EQ(r.getDataLen(), 0u) << "owning " << owning;
    }
}

TEST(LineDataRecord, SetBufferLenTakesGrowsAndReleases)
{
    std::string text(25, 'x');
    Record r;
    r.setData(text.data(), 25);
    r.setBufferLen(10);
    EXPECT_NE(r.getData(), text.data());
    EXPECT_EQ(std::string(r.getData(), r.getDataLen()), text);
    const char* owned = r.getData();
    r.setBufferLen(5);
    EXPECT_EQ(r.getData(), owned);
    r.setBufferLen(0);
    EXPECT_EQ(r.getData(), nullptr);
    EXPECT_EQ(r.getDataLen(), 0u);
}

TEST(LineDataRecord, SaveDataSurvivesTheCallersBytes)
{
    char bytes[] = "abcdef";
    Record r;
    r.setData(bytes, 6);
    r.saveData();
    bytes[0] = 'Z';
    EXPECT_EQ(std::string(r.getData(), r.getDataLen()), "abcdef");
}

TEST(LineDataRecord, ClearKeepsAnOwnedBufferAndTheChannel)
{
    Record owning;
    owning.setBufferLen(20);
    const char* buffer = owning.getData();
    owning.setChannelId(7);
    owning.setSeqNum(9);
    owning.setIsHeartbeat(true);
    owning.clear();
    EXPECT_EQ(owning.getData(), buffer);
    EXPECT_EQ(owning.getDataLen(), 0u);
    EXPECT_EQ(owning.getChannelId(), 7);
    EXPECT_EQ(owning.getSeqNum(), 0u);
    EXPECT_FALSE(owning.isHeartbeat());

    Record borrowing;
    borrowing.setData("x", 1);
    borrowing.clear();
    EXPECT_EQ(borrowing.getData(), nullptr);
}

// A host of 40 characters keeps 31 in the base record, by each way in.
TEST(LineDataRecord, BaseHostIsCutTo31Characters)
{
    const std::string host(40, 'h');
    Record source;
    source.LineData::setSource(host.c_str(), 5);
    EXPECT_EQ(std::string(source.LineData::getSrcHost()), host.substr(0, 31));
    Record copy(source);
    EXPECT_EQ(std::string(copy.LineData::getSrcHost()), host.substr(0, 31));
    Record assigned;
    assigned = static_cast<const LineData&>(source);
    EXPECT_EQ(std::string(assigned.LineData::getSrcHost()), host.substr(0, 31));
    EXPECT_EQ(assigned.LineData::getSrcPort(), 5);
}

TEST(LineDataRecord, AssignmentGrowsAndReusesItsBuffer)
{
    std::string big(1000, 'b');
    Record from;
    from.setData(big.data(), 1000);
    from.setSeqNum(77);
    from.setIsRecovery(true);
    Record to;
    to.setBufferLen(20);
    to = static_cast<const LineData&>(from);
    EXPECT_EQ(std::string(to.getData(), to.getDataLen()), big);
    EXPECT_NE(to.getData(), big.data());
    EXPECT_EQ(to.getSeqNum(), 77u);
    EXPECT_TRUE(to.isRecovery());
    const char* buffer = to.getData();
    from.setData("0123456789", 10);
    to = static_cast<const LineData&>(from);
    EXPECT_EQ(to.getData(), buffer);
    EXPECT_EQ(std::string(to.getData(), 10), "0123456789");
}

// Ownership faults: an empty source, the record itself, and bytes that
// live in the record's own buffer (ASan reports a leak or a use after free).
TEST(LineDataRecord, OwnershipEdgesLeakNothingAndKeepTheBytes)
{
    Record empty;
    Record to;
    to = static_cast<const LineData&>(empty);
    EXPECT_EQ(to.getData(), nullptr);
    EXPECT_EQ(to.getDataLen(), 0u);

    Record self;
    self.setData("payload", 7);
    self.setSeqNum(3);
    self.LineData::setSource("host", 1);
    Record& alias = self;
    self.LineData::operator=(alias);
    EXPECT_EQ(std::string(self.getData(), self.getDataLen()), "payload");
    EXPECT_EQ(self.getSeqNum(), 3u);
    EXPECT_STREQ(self.LineData::getSrcHost(), "host");

    Record inner;
    inner.setData("0123456789", 10);
    inner.setBufferLen(10);
    inner.setData(inner.getData() + 2, 5);
    EXPECT_EQ(std::string(inner.getData(), inner.getDataLen()), "23456");
}

TEST(LineDataRecord, CloneOwnsACopyOfThePayload)
{
    char bytes[] = "clone me";
    Record r;
    r.setData(bytes, 8);
    r.setChannelId(4);
    LineData* copy = r.clone();
    bytes[0] = 'X';
    EXPECT_EQ(std::string(copy->getData(), copy->getDataLen()), "clone me");
    EXPECT_EQ(copy->getChannelId(), 4);
    delete copy;
}

} // namespace
