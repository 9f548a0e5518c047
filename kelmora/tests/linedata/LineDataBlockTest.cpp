#include "LineDataTestSupport.h"
#include "kelmora/linedata/LineDataBlock.h"
#include "kelmora/linedata/LineDataFactoryBlock.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace
{

const std::string B = "\x01", E = "\x03", S = "\x1f";

// Split messages as (sequence number, text, flags "ocrh" for original,
// control, reset, heartbeat; '-' when clear).
struct Split
{
    std::uint32_t seq;
    std::string text;
    std::string flags;
    bool operator==(const Split&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Split& s)
{
    return out << "{" << s.seq << ",'" << s.text << "'," << s.flags << "}";
}

std::string flagsOf(const LineData& r)
{
    return std::string(1, r.isOriginal() ? 'o' : '-') + (r.isControl() ? 'c' : '-') + (r.isSequenceReset() ? 'r' : '-') +
           (r.isHeartbeat() ? 'h' : '-');
}

std::vector<Split> splitOf(const LineData& block)
{
    std::deque<const LineData*>* list = nullptr;
    block.getBlockData(list);
    std::vector<Split> out;
    for (const LineData* m : *list)
        out.push_back({m->getSeqNum(), std::string(m->getData(), m->getDataLen()), flagsOf(*m)});
    return out;
}

struct BlockFixture : ::testing::Test
{
    BlockFixture()
    {
        factory.setSeqNumOffset(0);
        factory.setSeqNumLength(6);
    }
    std::unique_ptr<LineData> make() { return std::unique_ptr<LineData>(factory.create()); }
    LineDataFactoryBlock factory;
};

struct SplitCase
{
    const char* name;
    std::string block;
    char separator;
    std::uint32_t blockSeq;
    std::vector<Split> messages;
    std::uint32_t next;
};

TEST_F(BlockFixture, SplitTable)
{
    const SplitCase cases[] = {
        {"two messages and a newline", B + "000123a" + S + "000124b" + E + "\n", 0x1f, 123,
         {{123, "000123a", "----"}, {124, "000124b", "----"}}, 125},
        {"separator 0 keeps one message", B + "000007a" + S + "000008b" + E, 0, 7,
         {{7, "000007a" + S + "000008b", "----"}}, 8},
        {"only the framing", B + E, 0x1f, 0, {}, 1},
        {"trailing separator adds nothing", B + "000005x" + S + E, 0x1f, 5, {{5, "000005x", "----"}}, 6},
        {"adjacent separators give an empty message", B + "000005x" + S + S + "000009y" + E, 0x1f, 5,
         {{5, "000005x", "----"}, {0, "", "----"}, {9, "000009y", "----"}}, 10},
        {"a field cut short by its message is absent", B + "000005x" + S + "0009" + E, 0x1f, 5,
         {{5, "000005x", "----"}, {0, "0009", "----"}}, 1},
        {"wraps after the last number", B + "4294967295" + E, 0x1f, 4294967295u, {{4294967295u, "4294967295", "----"}},
         0},
    };
    for (const SplitCase& c : cases)
    {
        factory.setMsgSeparator(c.separator);
        factory.setSeqNumLength(c.name[0] == 'w' ? 10 : 6);
        auto block = make();
        Bytes bytes(c.block);
        block->setData(bytes.mData.get(), bytes.mLen);
        EXPECT_EQ(block->getSeqNum(), c.blockSeq) << c.name;
        EXPECT_TRUE(block->isBlockData());
        EXPECT_EQ(splitOf(*block), c.messages) << c.name;
        EXPECT_EQ(block->getNextSeqNum(), c.next) << c.name;
    }
}

TEST_F(BlockFixture, BadlyFormattedBlocksAreRefused)
{
    struct Case
    {
        bool framed;
        std::string text;
    } cases[] = {{true, ""}, {true, "\n"}, {true, "000001a" + E}, {true, B + "000001a"}, {true, B},
                 {false, ""}, {false, "\n"}};
    for (const auto& [framed, text] : cases)
    {
        factory.setBlockBegin(framed ? 0x01 : 0);
        factory.setBlockEnd(framed ? 0x03 : 0);
        auto block = make();
        Bytes bytes(text);
        try
        {
            block->setData(bytes.mData.get(), bytes.mLen);
            ADD_FAILURE() << "accepted a block of " << text.size() << " bytes";
        }
        catch (const std::invalid_argument& e)
        {
            EXPECT_EQ(std::string(e.what()).rfind("LineDataBlock: badly formatted block: ", 0), 0u) << e.what();
        }
    }
}

// Flags from the first message for the block, and per message for the split.
TEST_F(BlockFixture, AttributeTable)
{
    factory.setSeqNumLength(1);
    factory.setCategoryOffset(1);
    factory.setCategoryControl("C");
    factory.setTypeOffset(2);
    factory.setTypeHeartbeat("H");
    factory.setTypeSeqNumReset("R");
    factory.setRetransOffset(10);
    factory.setRetransLength(1);
    factory.setRetransOrig("O");
    struct Case
    {
        std::string message;
        std::string flags;
    } cases[] = {
        {"1CH_______O", "oc-h"}, {"1DH_______O", "o---"}, {"1CR_______R", "-cr-"},
        {"1CX_______O", "oc--"}, {"1DX_______", "----"},  {"1C", "-c--"},
    };
    for (const Case& c : cases)
    {
        auto block = make();
        Bytes bytes(B + c.message + E);
        block->setData(bytes.mData.get(), bytes.mLen);
        EXPECT_EQ(flagsOf(*block), c.flags) << c.message;
        ASSERT_EQ(splitOf(*block).size(), 1u);
        EXPECT_EQ(splitOf(*block)[0].flags, c.flags) << c.message;
    }
}

TEST_F(BlockFixture, SettersRefuseLongListsAndBoundRetransFields)
{
    EXPECT_NO_THROW(factory.setCategoryControl("ABCDE"));
    EXPECT_STREQ(factory.categoryControl(), "ABCDE");
    const std::pair<void (LineDataFactoryBlock::*)(const std::string&), const char*> setters[] = {
        {&LineDataFactoryBlock::setCategoryControl, "SetCategoryControl: too many chars in argument: ABCDEF"},
        {&LineDataFactoryBlock::setTypeSeqNumReset, "SetTypeSeqNumReset: too many chars in argument: ABCDEF"},
        {&LineDataFactoryBlock::setTypeHeartbeat, "SetTypeHeartbeat: too many chars in argument: ABCDEF"},
    };
    for (auto [setter, text] : setters)
    {
        try
        {
            (factory.*setter)("ABCDEF");
            ADD_FAILURE() << text;
        }
        catch (const std::invalid_argument& e)
        {
            EXPECT_STREQ(e.what(), text);
        }
    }
    factory.setRetransOrig("123456789");
    EXPECT_STREQ(factory.retransOrig(), "1234567");
    factory.setRetransLength(3);
    factory.setRetransRecip("ABCDEF");
    EXPECT_STREQ(factory.retransRecip(), "ABC");
    factory.setRetransLength(12);
    factory.setRetransRecip("ABCDEFGHIJKL");
    EXPECT_STREQ(factory.retransRecip(), "ABCDEFG");
}

// The split reuses the block's message records: no allocation once warm.
TEST_F(BlockFixture, SplitKeepsItsRecordsAcrossBlocks)
{
    auto block = make();
    Bytes first(B + "000001a" + S + "000002b" + E);
    block->setData(first.mData.get(), first.mLen);
    std::deque<const LineData*>* list = nullptr;
    block->getBlockData(list);
    const std::vector<const LineData*> records(list->begin(), list->end());
    Bytes second(B + "000003c" + S + "000004d" + E);
    block->setData(second.mData.get(), second.mLen);
    block->getBlockData(list);
    EXPECT_EQ(std::vector<const LineData*>(list->begin(), list->end()), records);
    EXPECT_EQ(splitOf(*block), (std::vector<Split>{{3, "000003c", "----"}, {4, "000004d", "----"}}));
}

TEST_F(BlockFixture, CopiesOwnTheirBytes)
{
    auto block = make();
    Bytes bytes(B + "000042a" + S + "000043b" + E);
    block->setData(bytes.mData.get(), bytes.mLen);
    std::unique_ptr<LineData> copy(block->clone());
    std::memset(bytes.mData.get(), 'Z', bytes.mLen);
    EXPECT_EQ(splitOf(*copy), (std::vector<Split>{{42, "000042a", "----"}, {43, "000043b", "----"}}));
    auto assigned = make();
    *assigned = *copy;
    EXPECT_EQ(assigned->getNextSeqNum(), 44u);
}

} // namespace
