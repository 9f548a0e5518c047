#include "zunq/protocol/PacketDecoder.h"
#include "zunq/protocol/PacketPacker.h"

#include "WireBytes.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace
{

using Zunq::PacketDecoder;
using Zunq::PacketMessage;
using Zunq::PacketView;
using Status = PacketDecoder::Status;

const char* name(Status s)
{
    switch (s)
    {
    case Status::OK:
        return "OK";
    case Status::NEED_MORE:
        return "NEED_MORE";
    case Status::ILLEGAL:
        return "ILLEGAL";
    }
    return "?";
}

// The bytes in a heap block of exactly their size, so that a read past them
// is caught by the address sanitizer.
std::unique_ptr<char[]> exact(const char* data, std::size_t length)
{
    auto block = std::make_unique<char[]>(length == 0 ? 1 : length);
    if (length > 0)
        std::memcpy(block.get(), data, length);
    return block;
}

wire::Bytes withHeader(wire::Bytes p, std::uint64_t size, std::uint64_t count)
{
    wire::putLe(p, 0, size, 2);
    wire::putLe(p, 2, count, 1);
    return p;
}

TEST(PacketDecoder, FramesWholePacketsWaitsForPartsAndRefusesBrokenOnes)
{
    const wire::Bytes heartbeat = wire::packet(3, {});
    const wire::Bytes two = wire::packet(1, {wire::message(12, 0x0500), wire::message(8, 100)});
    const wire::Bytes largest = wire::packet(1, {wire::message(1456, 0x0500)});
    wire::Bytes twoThenMore = two;
    twoThenMore.insert(twoThenMore.end(), heartbeat.begin(), heartbeat.end());
    wire::Bytes shortMessage = two;
    wire::putLe(shortMessage, 16, 3, 2);
    wire::Bytes zeroMessage = two;
    wire::putLe(zeroMessage, 16, 0, 2);
    wire::Bytes pastTheEnd = two;
    wire::putLe(pastTheEnd, 28, 9, 2);
    // A second message announced, one byte of it in the packet.
    wire::Bytes oneByteLeft = wire::packet(1, {wire::message(12, 0x0500)});
    oneByteLeft.push_back(0x04);
    oneByteLeft = withHeader(oneByteLeft, oneByteLeft.size(), 2);
    wire::Bytes tooLarge = largest;
    tooLarge.push_back(0);
    const struct
    {
        const char* name;
        wire::Bytes bytes;
        std::size_t given; // bytes available, from the front
        Status status;
    } cases[] = {
        {"Heartbeat", heartbeat, 16, Status::OK},
        {"TwoMessages", two, two.size(), Status::OK},
        {"LargestPacket", largest, largest.size(), Status::OK},
        {"FirstOfTwoPackets", twoThenMore, twoThenMore.size(), Status::OK},
        {"NothingYet", heartbeat, 0, Status::NEED_MORE},
        {"HalfAHeader", heartbeat, 15, Status::NEED_MORE},
        {"HeaderOnlyOfAPacket", two, 16, Status::NEED_MORE},
        {"LastByteMissing", two, two.size() - 1, Status::NEED_MORE},
        {"SizeBelowHeader", withHeader(heartbeat, 15, 0), 16, Status::ILLEGAL},
        {"SizeZero", withHeader(heartbeat, 0, 0), 16, Status::ILLEGAL},
        {"SizeAboveLimitSeenBeforeItsBytes", withHeader(tooLarge, 1473, 1), 16, Status::ILLEGAL},
        {"BareHeaderClaimsAMessage", withHeader(heartbeat, 16, 1), 16, Status::ILLEGAL},
        {"BareHeaderClaims255", withHeader(heartbeat, 16, 255), 16, Status::ILLEGAL},
        {"CountShortOfTheBytes", withHeader(two, two.size(), 1), two.size(), Status::ILLEGAL},
        {"CountBeyondTheBytes", withHeader(two, two.size(), 3), two.size(), Status::ILLEGAL},
        {"BytesBehindAHeartbeatCount", withHeader(two, two.size(), 0), two.size(), Status::ILLEGAL},
        {"MessageShorterThanItsPrefix", shortMessage, shortMessage.size(), Status::ILLEGAL},
        {"MessageSizeZero", zeroMessage, zeroMessage.size(), Status::ILLEGAL},
        {"MessageRunsPastThePacket", pastTheEnd, pastTheEnd.size(), Status::ILLEGAL},
        {"OneByteLeftForTheNextMessage", oneByteLeft, oneByteLeft.size(), Status::ILLEGAL},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        const auto bytes = exact(c.bytes.data(), c.given);
        PacketView view;
        const Status s = PacketDecoder::frame(bytes.get(), c.given, view);
        EXPECT_STREQ(name(s), name(c.status));
        if (s == Status::OK)
        {
            EXPECT_EQ(view.size(), wire::le(c.bytes, 0, 2));
        }
    }
    PacketView view;
    EXPECT_EQ(PacketDecoder::frame(nullptr, 100, view), Status::NEED_MORE);
}

TEST(PacketDecoder, WalksTheMessagesOfAFramedPacket)
{
    const wire::Bytes p = wire::packet(40, {wire::message(12, 0x0500, 'a'), wire::message(8, 100, 'b'),
                                            wire::message(4, 0x0777)});
    PacketView view;
    ASSERT_EQ(PacketDecoder::frame(p.data(), p.size(), view), Status::OK);
    EXPECT_EQ(view.header().mSeqNum, 40u);
    EXPECT_EQ(view.data(), p.data());
    const struct
    {
        std::size_t offset;
        std::uint16_t size;
        std::uint16_t type;
    } want[] = {{16, 12, 0x0500}, {28, 8, 100}, {36, 4, 0x0777}};
    PacketMessage m;
    for (const auto& w : want)
    {
        ASSERT_TRUE(view.nextMessage(m));
        EXPECT_EQ(m.data, p.data() + w.offset);
        EXPECT_EQ(m.size, w.size);
        EXPECT_EQ(m.type, w.type);
    }
    EXPECT_FALSE(view.nextMessage(m));
    EXPECT_FALSE(view.nextMessage(m));
}

// Random bytes, and valid packets cut and spoiled at random, arrive in random
// splits; a reader frames what has arrived as a stream reader would. Nothing
// may be read outside the bytes handed over (the sanitizer watches), an OK
// packet lies within them and its messages fill it exactly.
TEST(PacketDecoder, NeverReadsOutsideRandomBytesInRandomSplits)
{
    const unsigned seed = std::random_device{}();
    // Printed first, so that a sanitizer abort can be replayed.
    std::fprintf(stderr, "random seed %u\n", seed);
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    auto pick = [&](std::size_t lo, std::size_t hi) { return std::uniform_int_distribution<std::size_t>(lo, hi)(rng); };

    std::size_t packets = 0;
    std::size_t illegal = 0;
    for (int round = 0; round < 1000; ++round)
    {
        // The stream: valid packets, some with a byte spoiled, between random runs.
        wire::Bytes stream;
        while (stream.size() < 6000)
        {
            if (pick(0, 2) == 0)
            {
                for (std::size_t n = pick(1, 40); n > 0; --n)
                    stream.push_back(static_cast<char>(pick(0, 255)));
                continue;
            }
            std::vector<wire::Bytes> messages;
            for (std::size_t n = pick(0, 6), used = 0; n > 0; --n)
            {
                const auto size = static_cast<std::uint16_t>(pick(4, 300));
                if (used + size > 1456)
                    break;
                used += size;
                messages.push_back(wire::message(size, static_cast<std::uint16_t>(pick(0, 0xFFFF))));
            }
            wire::Bytes p = wire::packet(static_cast<std::uint32_t>(pick(0, 1000)), messages);
            if (pick(0, 1) == 0)
                p[pick(0, p.size() - 1)] = static_cast<char>(pick(0, 255));
            stream.insert(stream.end(), p.begin(), p.end());
        }

        std::size_t arrived = 0;
        std::size_t consumed = 0;
        while (arrived < stream.size())
        {
            arrived = std::min(stream.size(), arrived + pick(1, 700));
            for (;;)
            {
                // A packet is at most 1472 bytes: more never changes the answer.
                const std::size_t length = std::min<std::size_t>(arrived - consumed, 1472);
                const auto bytes = exact(stream.data() + consumed, length);
                PacketView view;
                const Status s = PacketDecoder::frame(bytes.get(), length, view);
                if (s == Status::NEED_MORE)
                    break;
                // The same packet alone, its last byte the last one readable.
                const std::size_t claimed = wire::le(stream, consumed, 2);
                if (claimed >= 1 && claimed <= length)
                {
                    const auto alone = exact(stream.data() + consumed, claimed);
                    PacketView aloneView;
                    const Status a = PacketDecoder::frame(alone.get(), claimed, aloneView);
                    ASSERT_EQ(a == Status::OK, s == Status::OK);
                }
                if (s == Status::ILLEGAL)
                {
                    // A real reader closes the stream; skip a byte to look at more shapes.
                    ++illegal;
                    consumed += 1;
                    continue;
                }
                ++packets;
                ASSERT_GE(view.size(), 16u);
                ASSERT_LE(view.size(), length);
                std::size_t carried = 16;
                std::size_t count = 0;
                PacketMessage m;
                while (view.nextMessage(m))
                {
                    ASSERT_GE(m.data, bytes.get());
                    ASSERT_LE(m.data + m.size, bytes.get() + view.size());
                    Zunq::RetransmissionRequest request;
                    Zunq::Logon logon;
                    Zunq::SequenceReset reset;
                    (void)PacketDecoder::readMessage(m, request);
                    (void)PacketDecoder::readMessage(m, logon);
                    (void)PacketDecoder::readMessage(m, reset);
                    carried += m.size;
                    ++count;
                }
                ASSERT_EQ(carried, view.size());
                ASSERT_EQ(count, view.header().mMsgCount);
                consumed += view.size();
            }
        }
    }
    // Both roads were taken.
    EXPECT_GT(packets, 1000u);
    EXPECT_GT(illegal, 1000u);
}

} // namespace
