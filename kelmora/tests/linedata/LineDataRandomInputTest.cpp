#include "LineDataTestSupport.h"
#include "kelmora/linedata/LineDataBlock.h"
#include "kelmora/linedata/LineDataDravek.h"
#include "kelmora/linedata/LineDataFactoryBlock.h"
#include "kelmora/linedata/LineDataFactoryDravek.h"
#include "zunq/log/Log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <exception>
#include <iostream>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>

namespace
{

// Random bytes, biased towards the characters and sizes the parsers look at.
std::string randomBytes(std::mt19937& random, bool packet)
{
    const std::size_t len = random() % (packet ? 80 : 40);
    std::string s(len, '\0');
    static const char interesting[] = {0x01, 0x03, 0x1f, '\n', '0', '9', '+', ' ', 'C', 'H', 'R', 'O', 100, 8, 0};
    for (char& c : s)
        c = random() % 3 == 0 ? interesting[random() % sizeof interesting] : static_cast<char>(random());
    if (random() % 2 == 0)
        return s;
    // Half the inputs look right at first sight: framed blocks, packets
    // with a header and size-prefixed messages (the sizes maybe wrong).
    if (!packet)
        return "\x01" + s + (random() % 8 == 0 ? "" : "\x03") + (random() % 4 == 0 ? "\n" : "");
    std::string p(16, '\0');
    p[2] = static_cast<char>(random() % 4);
    for (std::size_t at = 0; at < s.size();)
    {
        const std::size_t size = random() % 8 == 0 ? random() % 10 : 8 + random() % 12;
        p.push_back(static_cast<char>(size));
        p.push_back('\0');
        const std::size_t body = std::min<std::size_t>(size > 2 ? size - 2 : 0, s.size() - at);
        p += s.substr(at, body);
        at += body + 1;
    }
    return p;
}

std::string randomChars(std::mt19937& random, std::size_t max)
{
    std::string s(random() % (max + 1), 'x');
    for (char& c : s)
        c = "CHRO019\x01\x1f"[random() % 10];
    return s;
}

void configure(LineDataFactoryBlock& f, std::mt19937& random)
{
    auto smallInt = [&] { return static_cast<int>(random() % 14) - 2; };
    f.setBlockBegin(random() % 4 == 0 ? 0 : 0x01);
    f.setBlockEnd(random() % 4 == 0 ? 0 : 0x03);
    f.setMsgSeparator(random() % 4 == 0 ? 0 : 0x1f);
    f.setSeqNumOffset(smallInt());
    f.setSeqNumLength(smallInt());
    f.setCategoryOffset(smallInt());
    f.setCategoryControl(randomChars(random, 5));
    f.setTypeOffset(smallInt());
    f.setTypeSeqNumReset(randomChars(random, 5));
    f.setTypeHeartbeat(randomChars(random, 5));
    f.setRetransOffset(smallInt());
    f.setRetransLength(smallInt() + 4);
    f.setRetransOrig(randomChars(random, 9));
    f.setRetransAll(randomChars(random, 9));
    f.setRetransRecip(randomChars(random, 12));
}

// Every split message lies inside the bytes of its record.
void checkInside(const LineData& record, std::size_t& messages)
{
    std::deque<const LineData*>* list = nullptr;
    record.getBlockData(list);
    ASSERT_NE(list, nullptr);
    const char* begin = record.getData();
    const char* end = begin + record.getDataLen();
    for (const LineData* m : *list)
    {
        ASSERT_TRUE(m->getDataLen() == 0 || (m->getData() >= begin && m->getData() + m->getDataLen() <= end));
        ++messages;
    }
    (void)record.getNextSeqNum();
}

TEST(LineDataRandomInput, BlocksAndPacketsOfRandomBytes)
{
    std::mt19937 random(20261210);
    Log quiet;
    quiet.setLevel(LOG_LEVEL_ALERT);
    LineDataFactoryBlock blocks;
    LineDataFactoryDravek packets("Random", quiet);
    std::unique_ptr<LineData> block(blocks.create());
    std::unique_ptr<LineData> packet(packets.create());
    std::size_t accepted = 0, refused = 0, messages = 0;
    for (int i = 0; i < 100000; ++i)
    {
        if (i % 50 == 0)
            configure(blocks, random);
        const bool isPacket = i % 2 == 1;
        const std::string text = randomBytes(random, isPacket);
        const Bytes bytes(text);
        LineData& record = isPacket ? *packet : *block;
        try
        {
            record.setData(bytes.get(), static_cast<std::uint32_t>(text.size()));
            ++accepted;
            checkInside(record, messages);
        }
        catch (const std::invalid_argument&)
        {
            ++refused;
        }
        catch (const std::exception& e)
        {
            FAIL() << "unexpected exception: " << e.what();
        }
        // Drops the messages that borrow these bytes; an empty input is refused.
        EXPECT_THROW(record.setData(nullptr, 0), std::invalid_argument);
    }
    EXPECT_GT(accepted, 10000u);
    EXPECT_GT(refused, 1000u);
    EXPECT_GT(messages, 50000u);
    std::cout << accepted << " accepted, " << refused << " refused, " << messages << " messages\n";
}

} // namespace
