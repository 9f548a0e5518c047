#include "zunq/protocol/PacketPacker.h"

#include "WireBytes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{

using Zunq::PacketPacker;

struct Packed
{
    std::uint64_t size;
    std::uint64_t count;
    std::uint64_t seq;
    bool operator==(const Packed&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Packed& p)
{
    return os << "{size " << p.size << ", count " << p.count << ", seq " << p.seq << "}";
}

// Packs the messages of the given sizes from `first` on and checks that the
// packets carry every message once, in order, behind a header that matches.
std::vector<Packed> pack(const std::vector<std::uint16_t>& sizes, std::uint32_t first)
{
    std::vector<wire::Bytes> messages;
    wire::Bytes stream;
    for (std::size_t i = 0; i < sizes.size(); ++i)
    {
        messages.push_back(wire::message(sizes[i], static_cast<std::uint16_t>(0x0500 + i), static_cast<char>(i)));
        stream.insert(stream.end(), messages.back().begin(), messages.back().end());
    }
    std::vector<Packed> out;
    wire::Bytes carried;
    auto emit = [&](std::span<const char> packet) {
        const wire::Bytes p(packet.begin(), packet.end());
        EXPECT_LE(p.size(), 1472u);
        EXPECT_EQ(wire::le(p, 0, 2), p.size());
        EXPECT_EQ(wire::le(p, 3, 1), 0u); // filler
        EXPECT_EQ(wire::le(p, 8, 8), 0u); // stamped when written
        out.push_back({wire::le(p, 0, 2), wire::le(p, 2, 1), wire::le(p, 4, 4)});
        carried.insert(carried.end(), p.begin() + 16, p.end());
    };
    PacketPacker packer(first);
    for (const wire::Bytes& m : messages)
        EXPECT_TRUE(packer.add(m.data(), m.size(), emit));
    if (!packer.empty())
        emit(packer.packet());
    EXPECT_EQ(carried, stream);
    return out;
}

TEST(PacketPacker, FillsPacketsUpTo1472BytesAnd255MessagesNumberedByTheirFirstMessage)
{
    const struct
    {
        const char* name;
        std::vector<std::uint16_t> sizes;
        std::uint32_t first;
        std::vector<Packed> packets;
    } cases[] = {
        {"TwoOf1000BytesTravelApart", {1000, 1000}, 1, {{1016, 1, 1}, {1016, 1, 2}}},
        {"TwoFillTheLimitExactly", {728, 728}, 5, {{1472, 2, 5}}},
        {"OneByteOverTheLimit", {728, 729}, 5, {{744, 1, 5}, {745, 1, 6}}},
        {"LargestMessageAlone", {1456, 4}, 9, {{1472, 1, 9}, {20, 1, 10}}},
        {"ThreeSmall", {12, 12, 12}, 1, {{52, 3, 1}}},
        {"CountCapOf255", std::vector<std::uint16_t>(300, 4), 100, {{16 + 255 * 4, 255, 100}, {16 + 45 * 4, 45, 355}}},
        {"CountCapExactly", std::vector<std::uint16_t>(255, 4), 1, {{16 + 255 * 4, 255, 1}}},
        {"NumbersRunOnAcrossPackets", {1000, 400, 100, 1000, 1000}, 4294967000u,
         {{1416, 2, 4294967000u}, {1116, 2, 4294967002u}, {1016, 1, 4294967004u}}},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(pack(c.sizes, c.first), c.packets);
    }
}

TEST(PacketPacker, RefusesMalformedMessagesAndKeepsThePacket)
{
    PacketPacker packer(1);
    const wire::Bytes first = wire::message(12, 0x0500);
    ASSERT_EQ(packer.add(first.data(), first.size()), PacketPacker::AddResult::ADDED);
    const wire::Bytes before(packer.packet().begin(), packer.packet().end());

    wire::Bytes sizeSays13 = wire::message(12, 0x0500);
    wire::putLe(sizeSays13, 0, 13, 2);
    wire::Bytes sizeSays0 = wire::message(12, 0x0500);
    wire::putLe(sizeSays0, 0, 0, 2);
    const wire::Bytes three = {3, 0, 0};
    const wire::Bytes tooLong = wire::message(1457, 0x0500);
    const struct
    {
        const char* name;
        const char* data;
        std::size_t length;
    } cases[] = {
        {"OwnSizeLarger", sizeSays13.data(), sizeSays13.size()},
        {"OwnSizeZero", sizeSays0.data(), sizeSays0.size()},
        {"ShorterThanSizeAndType", three.data(), three.size()},
        {"LongerThanAPacketHolds", tooLong.data(), tooLong.size()},
        {"Null", nullptr, 12},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(packer.add(c.data, c.length), PacketPacker::AddResult::REFUSED);
        EXPECT_EQ(wire::Bytes(packer.packet().begin(), packer.packet().end()), before);
        int emitted = 0;
        EXPECT_FALSE(packer.add(c.data, c.length, [&](std::span<const char>) { ++emitted; }));
        EXPECT_EQ(emitted, 0);
    }
}

TEST(PacketPacker, FullPacketIsLeftForTheCallerToClose)
{
    PacketPacker packer(10);
    const wire::Bytes big = wire::message(1000, 0x0500);
    ASSERT_EQ(packer.add(big.data(), big.size()), PacketPacker::AddResult::ADDED);
    EXPECT_EQ(packer.add(big.data(), big.size()), PacketPacker::AddResult::FULL);
    EXPECT_EQ(packer.messageCount(), 1u);
    EXPECT_EQ(packer.packet().size(), 1016u);
    packer.next();
    EXPECT_TRUE(packer.empty());
    EXPECT_EQ(packer.seqNum(), 11u);
    const wire::Bytes header(packer.packet().begin(), packer.packet().end());
    EXPECT_EQ(header, wire::packet(11, {}));
    ASSERT_EQ(packer.add(big.data(), big.size()), PacketPacker::AddResult::ADDED);
    // A fresh start drops what was packed.
    packer.start(0);
    EXPECT_EQ(wire::Bytes(packer.packet().begin(), packer.packet().end()), wire::packet(0, {}));
}

} // namespace
