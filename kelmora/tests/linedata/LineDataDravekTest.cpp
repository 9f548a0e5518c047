#include "LineDataTestSupport.h"
#include "kelmora/linedata/LineDataDravek.h"
#include "kelmora/linedata/LineDataFactoryBasic.h"
#include "kelmora/linedata/LineDataFactoryDravek.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace
{

// Packets are written byte by byte here, from the wire layout, never through
// the protocol's own records.
void put16(std::string& s, std::uint16_t v)
{
    s.push_back(static_cast<char>(v & 0xff));
    s.push_back(static_cast<char>(v >> 8));
}

void put32(std::string& s, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        s.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

void put64(std::string& s, std::uint64_t v)
{
    for (int i = 0; i < 8; ++i)
        s.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

std::string header(std::uint8_t count, std::uint32_t seq, std::uint64_t sendTime = 0)
{
    std::string s;
    put16(s, 0);
    s.push_back(static_cast<char>(count));
    s.push_back('\0');
    put32(s, seq);
    put64(s, sendTime);
    return s;
}

// A message of `size` bytes: size, type, then filler.
std::string message(std::uint16_t size, std::uint16_t type = 1)
{
    std::string s;
    put16(s, size);
    put16(s, type);
    while (s.size() < size)
        s.push_back('m');
    return s;
}

std::string reset(std::uint32_t newSeqNo)
{
    std::string s;
    put16(s, 8);
    put16(s, 100);
    put32(s, newSeqNo);
    return s;
}

struct PacketFixture : ::testing::Test
{
    PacketFixture() { factory.setChannelId(12); }
    std::unique_ptr<LineData, std::function<void(LineData*)>> make()
    {
        return {factory.create(), [this](LineData* r) { factory.destroy(r); }};
    }
    std::vector<const LineData*> messagesOf(const LineData& packet)
    {
        std::deque<const LineData*>* list = nullptr;
        packet.getBlockData(list);
        return {list->begin(), list->end()};
    }
    TestLog log;
    LineDataFactoryDravek factory{"Dravek", log.mLog};
};

struct ClassifyCase
{
    const char* name;
    std::string packet;
    bool heartbeat, ignoreSeq, reset, blockData;
    std::uint32_t seq, next;
    std::uint32_t payloadOffset;
    std::vector<std::uint32_t> sizes;
};

TEST_F(PacketFixture, ClassifyAndSplitTable)
{
    const ClassifyCase cases[] = {
        {"heartbeat numbered 1", header(0, 1), true, true, false, false, 1, 2, 0, {}},
        {"heartbeat numbered 57", header(0, 57), true, false, false, false, 57, 58, 0, {}},
        {"sequence reset to 1000", header(1, 5) + reset(1000), false, false, true, false, 5, 1000, 16, {}},
        {"three messages filling the packet", header(3, 500) + message(10) + message(12) + message(8), false, false,
         false, true, 500, 503, 0, {10, 12, 8}},
        {"second message overruns", header(2, 40) + message(10) + message(50).substr(0, 20), false, false, false,
         true, 40, 41, 0, {10}},
        {"message smaller than its header", header(2, 40) + message(10) + message(8).replace(0, 1, "\x03"), false,
         false, false, true, 40, 41, 0, {10}},
        {"size field of 0", header(2, 7) + std::string(8, '\0'), false, false, false, true, 7, 8, 0, {}},
        {"a few bytes after the last message", header(1, 9) + message(8) + "xyz", false, false, false, true, 9, 10,
         0, {8}},
        {"data header without messages", header(1, 70), false, false, false, true, 70, 71, 0, {}},
        {"one byte of a message type", header(1, 3) + "\x08\x00\x64", false, false, false, true, 3, 4, 0, {}},
    };
    for (const ClassifyCase& c : cases)
    {
        auto packet = make();
        Bytes bytes(c.packet);
        packet->setData(bytes.get(), bytes.mLen);
        EXPECT_EQ(packet->isHeartbeat(), c.heartbeat) << c.name;
        EXPECT_EQ(packet->getIgnoreSeqNum(), c.ignoreSeq) << c.name;
        EXPECT_EQ(packet->isSequenceReset(), c.reset) << c.name;
        EXPECT_EQ(packet->isBlockData(), c.blockData) << c.name;
        EXPECT_EQ(packet->getSeqNum(), c.seq) << c.name;
        EXPECT_EQ(packet->getData(), bytes.get() + c.payloadOffset) << c.name;
        EXPECT_EQ(packet->getNextSeqNum(), c.next) << c.name;
        const auto messages = messagesOf(*packet);
        ASSERT_EQ(messages.size(), c.sizes.size()) << c.name;
        for (std::size_t i = 0; i < messages.size(); ++i)
        {
            EXPECT_EQ(messages[i]->getSeqNum(), c.seq + i) << c.name;
            EXPECT_EQ(messages[i]->getDataLen(), c.sizes[i]) << c.name;
        }
    }
    EXPECT_EQ(log.mSink.count("LineDataDravek: block overrun"), 5);
}

TEST_F(PacketFixture, PacketAndMessagesCarryTheSendTimeAndMessagesThePacketsChannelAndLastFlag)
{
    auto packet = make();
    Bytes bytes(header(3, 500, 123456789) + message(10) + message(12) + message(8));
    packet->setIsRecovery(true);
    packet->setData(bytes.get(), bytes.mLen);
    EXPECT_EQ(packet->getSrcTimeInt64(), 123456789u);
    const auto messages = messagesOf(*packet);
    ASSERT_EQ(messages.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i)
    {
        EXPECT_EQ(messages[i]->getChannelId(), 12);
        EXPECT_EQ(messages[i]->getSrcTimeInt64(), 123456789u);
        EXPECT_TRUE(messages[i]->isRecovery());
        EXPECT_EQ(messages[i]->isLast(), i == 2);
    }
    EXPECT_EQ(messagesOf(*packet), messages);
    EXPECT_EQ(factory.messageFactory().getNumUsed(), 3);
    packet->setData(bytes.get(), 16);
    EXPECT_EQ(factory.messageFactory().getNumUsed(), 0);
}

TEST_F(PacketFixture, ShortPacketsAreRefused)
{
    const std::string cases[] = {"", header(0, 1).substr(0, 15), header(1, 2) + reset(9).substr(0, 6),
                                 header(1, 2) + reset(9).substr(0, 7)};
    for (const std::string& text : cases)
    {
        auto packet = make();
        Bytes bytes(text);
        EXPECT_THROW(packet->setData(bytes.get(), bytes.mLen), std::invalid_argument) << text.size();
    }
}

// A spooled copy is a record used before for any kind of packet: assigned
// one is the packet it copies, whatever it held.
TEST_F(PacketFixture, AnAssignedRecordIsThePacketItCopiesWhateverItHeld)
{
    const std::string kinds[] = {header(0, 57), header(2, 5) + reset(1000) + message(10),
                                 header(3, 500) + message(10) + message(12) + message(8)};
    for (const std::string& held : kinds)
        for (const std::string& copied : kinds)
        {
            Bytes heldBytes(held), copiedBytes(copied);
            auto source = make();
            source->setData(copiedBytes.get(), copiedBytes.mLen);
            auto target = make();
            target->setData(heldBytes.get(), heldBytes.mLen);
            *target = *source;
            const std::string pair = std::to_string(held.size()) + " <- " + std::to_string(copied.size());
            EXPECT_EQ(target->isBlockData(), source->isBlockData()) << pair;
            EXPECT_EQ(target->isSequenceReset(), source->isSequenceReset()) << pair;
            EXPECT_EQ(target->getNextSeqNum(), source->getNextSeqNum()) << pair;
            EXPECT_EQ(messagesOf(*target).size(), messagesOf(*source).size()) << pair;
        }
}

TEST_F(PacketFixture, MessagesGoBackToThePoolWithTheRecord)
{
    Bytes bytes(header(2, 1) + message(8) + message(8));
    {
        auto packet = make();
        packet->setData(bytes.get(), bytes.mLen);
        EXPECT_EQ(messagesOf(*packet).size(), 2u);
        std::unique_ptr<LineData> copy(packet->clone());
        EXPECT_EQ(messagesOf(*copy).size(), 2u);
        EXPECT_EQ(factory.messageFactory().getNumUsed(), 4);
        auto other = make();
        *other = *packet;
        EXPECT_EQ(messagesOf(*other).size(), 2u);
        EXPECT_EQ(factory.messageFactory().getNumUsed(), 6);
    }
    EXPECT_EQ(factory.messageFactory().getNumUsed(), 0);
}

} // namespace
