#include "zunq/protocol/PacketDecoder.h"
#include "zunq/protocol/PacketPacker.h"
#include "zunq/protocol/RetransProtocol.h"

#include "WireBytes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>

namespace
{

using namespace Zunq;

// The wire layout, restated from the byte tables.
static_assert(sizeof(PacketHeader) == 16 && offsetof(PacketHeader, mMsgCount) == 2 &&
              offsetof(PacketHeader, mFiller) == 3 && offsetof(PacketHeader, mSeqNum) == 4 &&
              offsetof(PacketHeader, mSendTime) == 8);
static_assert(sizeof(MsgHeader) == 8 && offsetof(MsgHeader, mMsgType) == 2 && offsetof(MsgHeader, mSecurityCode) == 4);
static_assert(sizeof(Logon) == 16 && offsetof(Logon, mUsername) == 4 && sizeof(Logon::mUsername) == 12);
static_assert(sizeof(LogonResponse) == 8 && offsetof(LogonResponse, mSessionStatus) == 4 &&
              offsetof(LogonResponse, mFiller) == 5);
static_assert(sizeof(RetransmissionRequest) == 16 && offsetof(RetransmissionRequest, mChannelId) == 4 &&
              offsetof(RetransmissionRequest, mFiller) == 6 && offsetof(RetransmissionRequest, mBeginSeqNum) == 8 &&
              offsetof(RetransmissionRequest, mEndSeqNum) == 12);
static_assert(sizeof(RetransmissionResponse) == 16 && offsetof(RetransmissionResponse, mChannelId) == 4 &&
              offsetof(RetransmissionResponse, mRetransStatus) == 6 && offsetof(RetransmissionResponse, mFiller) == 7 &&
              offsetof(RetransmissionResponse, mBeginSeqNum) == 8 && offsetof(RetransmissionResponse, mEndSeqNum) == 12);
static_assert(sizeof(SequenceReset) == 8 && offsetof(SequenceReset, mNewSeqNo) == 4);
static_assert(sizeof(RefreshComplete) == 8 && offsetof(RefreshComplete, mLastSeqNum) == 4);
static_assert(cMaxPacketSize == 1472 && cMaxMessageSize == 1456 && cMaxMessagesPerPacket == 255);
static_assert(SEQUENCE_RESET_TYPE == 100 && LOGON_TYPE == 101 && LOGON_RESPONSE_TYPE == 102 &&
              RETRANS_REQUEST_TYPE == 201 && RETRANS_RESPONSE_TYPE == 202 && REFRESH_COMPLETE_TYPE == 203);
static_assert(SESSION_ACTIVE == 0 && INVALID_USERNAME == 5 && USER_ALREADY_CONNECTED == 100);
static_assert(REQUEST_ACCEPTED == 0 && UNKNOWN_CHANNEL_ID == 1 && MESSAGES_NOT_AVAILABLE == 2 &&
              EXCEEDS_MAXIMUM_SEQUENCE_RANGE == 100 && EXCEEDS_MAXIMUM_REQUESTS_PER_DAY == 101);

// Send time in the examples: 8 bytes 01 .. 08.
constexpr std::uint64_t T = 0x0807060504030201ULL;
const std::string Thex = "01 02 03 04 05 06 07 08";

Logon logon(const char* user)
{
    Logon l;
    setLogonUsername(l, user);
    return l;
}

LogonResponse logonResponse(std::uint8_t status)
{
    LogonResponse r;
    r.mSessionStatus = status;
    return r;
}

RetransmissionRequest request(std::uint16_t channel, std::uint32_t begin, std::uint32_t end)
{
    RetransmissionRequest r;
    r.mChannelId = channel;
    r.mBeginSeqNum = begin;
    r.mEndSeqNum = end;
    return r;
}

RetransmissionResponse response(std::uint16_t channel, std::uint8_t status, std::uint32_t begin, std::uint32_t end)
{
    RetransmissionResponse r;
    r.mChannelId = channel;
    r.mRetransStatus = status;
    r.mBeginSeqNum = begin;
    r.mEndSeqNum = end;
    return r;
}

SequenceReset sequenceReset(std::uint32_t next)
{
    SequenceReset r;
    r.mNewSeqNo = next;
    return r;
}

RefreshComplete refreshComplete(std::uint32_t last)
{
    RefreshComplete r;
    r.mLastSeqNum = last;
    return r;
}

struct GoldenCase
{
    std::string name;
    std::string hex;
    std::uint32_t firstSeqNum;        // the packet as built, before it is stamped
    std::uint32_t controlCounter;     // the connection's last control number before
    std::uint32_t controlCounterAfter;
    std::uint64_t sendTime;
    std::function<void(PacketPacker&)> build;
    std::function<testing::AssertionResult(PacketView&)> decode;
};

// A packet carrying one protocol record.
template <typename Record>
GoldenCase one(std::string name, std::string hex, std::uint32_t seq, std::uint32_t counter, std::uint32_t after,
               std::uint64_t time, Record record)
{
    return {std::move(name),
            std::move(hex),
            seq,
            counter,
            after,
            time,
            [record](PacketPacker& p) { ASSERT_EQ(p.add(record), PacketPacker::AddResult::ADDED); },
            [record](PacketView& view) -> testing::AssertionResult {
                PacketMessage m;
                if (!view.nextMessage(m))
                    return testing::AssertionFailure() << "no message";
                Record decoded{};
                std::memset(static_cast<void*>(&decoded), 0x5A, sizeof decoded); // not the expected bytes
                if (!PacketDecoder::readMessage(m, decoded))
                    return testing::AssertionFailure() << "record refused";
                if (std::memcmp(&decoded, &record, sizeof record) != 0)
                    return testing::AssertionFailure() << "record differs";
                if (view.nextMessage(m))
                    return testing::AssertionFailure() << "a second message";
                return testing::AssertionSuccess();
            }};
}

// A packet of `count` feed messages of 12 bytes, type 0x0500, body bytes
// 0xB0 + index; with none, a heartbeat.
GoldenCase feedData(std::string name, std::string hex, std::uint32_t seq, std::uint32_t counter, std::uint32_t after,
                    std::size_t count)
{
    auto messageBytes = [](std::size_t i) {
        wire::Bytes m = wire::message(12, 0x0500, static_cast<char>(0xB0 + i));
        return m;
    };
    return {std::move(name),
            std::move(hex),
            seq,
            counter,
            after,
            T,
            [=](PacketPacker& p) {
                for (std::size_t i = 0; i < count; ++i)
                {
                    const wire::Bytes m = messageBytes(i);
                    ASSERT_EQ(p.add(m.data(), m.size()), PacketPacker::AddResult::ADDED);
                }
            },
            [=](PacketView& view) -> testing::AssertionResult {
                PacketMessage m;
                for (std::size_t i = 0; i < count; ++i)
                {
                    if (!view.nextMessage(m))
                        return testing::AssertionFailure() << "message " << i << " missing";
                    const wire::Bytes want = messageBytes(i);
                    if (m.size != 12 || m.type != 0x0500 || std::memcmp(m.data, want.data(), want.size()) != 0)
                        return testing::AssertionFailure() << "message " << i << " differs";
                }
                if (view.nextMessage(m))
                    return testing::AssertionFailure() << "a message too many";
                return testing::AssertionSuccess();
            }};
}

std::vector<GoldenCase> goldenCases()
{
    return {
        one("LogonAlice", "20 00 01 00 01 00 00 00 00 00 00 00 00 00 00 00 | 10 00 65 00 61 6C 69 63 65 00 00 00 00 00 00 00",
            1, 0, 0, 0, logon("alice")),
        one("LogonFullNameHasNoTerminator",
            "20 00 01 00 01 00 00 00 00 00 00 00 00 00 00 00 | 10 00 65 00 61 62 63 64 65 66 67 68 69 6A 6B 6C", 1, 0,
            0, 0, logon("abcdefghijkl")),
        one("LogonResponseAccepted", "18 00 01 00 01 00 00 00 " + Thex + " | 08 00 66 00 00 00 00 00", 0, 0, 1, T,
            logonResponse(SESSION_ACTIVE)),
        one("LogonResponseInvalidUser", "18 00 01 00 01 00 00 00 " + Thex + " | 08 00 66 00 05 00 00 00", 0, 0, 1, T,
            logonResponse(INVALID_USERNAME)),
        one("LogonResponseAlreadyConnected", "18 00 01 00 01 00 00 00 " + Thex + " | 08 00 66 00 64 00 00 00", 0, 0,
            1, T, logonResponse(USER_ALREADY_CONNECTED)),
        one("RequestChannel7From1To3",
            "20 00 01 00 02 00 00 00 00 00 00 00 00 00 00 00 | 10 00 C9 00 07 00 00 00 01 00 00 00 03 00 00 00", 0, 1,
            2, 0, request(7, 1, 3)),
        one("ResponseAcceptedControl2",
            "20 00 01 00 02 00 00 00 " + Thex + " | 10 00 CA 00 07 00 00 00 01 00 00 00 03 00 00 00", 0, 1, 2, T,
            response(7, REQUEST_ACCEPTED, 1, 3)),
        one("ResponseTooManyRequestsWideFields",
            "20 00 01 00 0A 00 00 00 " + Thex + " | 10 00 CA 00 34 12 65 00 00 00 00 00 FF FF FF FF", 0, 9, 10, T,
            response(0x1234, EXCEEDS_MAXIMUM_REQUESTS_PER_DAY, 0, 0xFFFFFFFF)),
        one("SequenceResetAsData", "18 00 01 00 0A 00 00 00 " + Thex + " | 08 00 64 00 78 56 34 12", 10, 4, 4, T,
            sequenceReset(0x12345678)),
        one("RefreshCompleteAsData", "18 00 01 00 0B 00 00 00 " + Thex + " | 08 00 CB 00 EF BE AD DE", 11, 4, 4, T,
            refreshComplete(0xDEADBEEF)),
        feedData("Data1To3", "34 00 03 00 01 00 00 00 " + Thex +
                                 " | 0C 00 00 05 B0 B0 B0 B0 B0 B0 B0 B0 | 0C 00 00 05 B1 B1 B1 B1 B1 B1 B1 B1"
                                 " | 0C 00 00 05 B2 B2 B2 B2 B2 B2 B2 B2",
                 1, 7, 7, 3),
        feedData("HeartbeatControl3", "10 00 00 00 03 00 00 00 " + Thex, 0, 2, 3, 0),
    };
}

TEST(RetransProtocolGolden, EveryRecordEncodesToItsBytesAndDecodesBack)
{
    for (const GoldenCase& c : goldenCases())
    {
        SCOPED_TRACE(c.name);
        const wire::Bytes golden = wire::hex(c.hex);

        PacketPacker packer(c.firstSeqNum);
        c.build(packer);
        wire::Bytes built(packer.packet().begin(), packer.packet().end());
        std::uint32_t counter = c.controlCounter;
        ASSERT_TRUE(stampPacket(built.data(), built.size(), c.sendTime, counter));
        EXPECT_EQ(built, golden);
        EXPECT_EQ(counter, c.controlCounterAfter);

        PacketView view;
        ASSERT_EQ(PacketDecoder::frame(golden.data(), golden.size(), view), PacketDecoder::Status::OK);
        EXPECT_EQ(view.size(), golden.size());
        EXPECT_EQ(view.header().mPktSize, wire::le(golden, 0, 2));
        EXPECT_EQ(view.header().mMsgCount, wire::le(golden, 2, 1));
        EXPECT_EQ(view.header().mSeqNum, wire::le(golden, 4, 4));
        EXPECT_EQ(view.header().mSendTime, wire::le(golden, 8, 8));
        EXPECT_TRUE(c.decode(view));
    }
}

TEST(RetransProtocolGolden, RecordRefusedWhenTooShortOrOfAnotherSizeOrType)
{
    const wire::Bytes good = wire::hex("10 00 C9 00 07 00 00 00 01 00 00 00 03 00 00 00");
    const struct
    {
        const char* name;
        wire::Bytes bytes;
        std::size_t length;
    } cases[] = {
        {"OneByteShort", good, 15},
        {"Empty", good, 0},
        {"SizeField15", wire::hex("0F 00 C9 00 07 00 00 00 01 00 00 00 03 00 00 00"), 16},
        {"SizeField17", wire::hex("11 00 C9 00 07 00 00 00 01 00 00 00 03 00 00 00 00"), 17},
        {"ResponseType", wire::hex("10 00 CA 00 07 00 00 00 01 00 00 00 03 00 00 00"), 16},
        {"LogonType", wire::hex("10 00 65 00 07 00 00 00 01 00 00 00 03 00 00 00"), 16},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        RetransmissionRequest r = request(1, 2, 3);
        EXPECT_FALSE(PacketDecoder::readMessage(c.bytes.data(), c.length, r));
        EXPECT_EQ(r.mChannelId, 1); // left as it was
    }
    RetransmissionRequest r;
    ASSERT_TRUE(PacketDecoder::readMessage(good.data(), good.size(), r));
    EXPECT_EQ(r.mChannelId, 7);
    EXPECT_EQ(r.mEndSeqNum, 3u);
    EXPECT_FALSE(PacketDecoder::readMessage(nullptr, 16, r));
}

TEST(RetransProtocolLogon, UserNameIsReadUpToItsFirstNulOrAllTwelveBytes)
{
    const struct
    {
        const char* name;
        std::string set;
        std::string wire; // the 12 bytes of the field
        std::string read;
    } cases[] = {
        {"Short", "alice", std::string("alice\0\0\0\0\0\0\0", 12), "alice"},
        {"Full", "abcdefghijkl", "abcdefghijkl", "abcdefghijkl"},
        {"CutAtTwelve", "abcdefghijklmn", "abcdefghijkl", "abcdefghijkl"},
        {"Empty", "", std::string(12, '\0'), ""},
        {"StopsAtFirstNul", std::string("ab\0cd", 5), std::string("ab\0cd\0\0\0\0\0\0\0", 12), "ab"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        // Filled with non-zero first: setting pads the rest.
        auto record = std::make_unique<Logon>();
        std::memset(record->mUsername, 'z', sizeof record->mUsername);
        setLogonUsername(*record, c.set);
        EXPECT_EQ(std::string(record->mUsername, 12), c.wire);
        EXPECT_EQ(logonUsername(*record), c.read);
    }
}

TEST(RetransProtocolNumbering, ControlPacketsCountFromOneAndDataPacketsKeepTheirNumbers)
{
    std::uint32_t counter = 0;
    wire::Bytes logonRsp = wire::packet(0, {wire::message(8, 102)});
    wire::Bytes data = wire::packet(500, {wire::message(12, 0x0500)});
    wire::Bytes heartbeat = wire::packet(0, {});
    wire::Bytes retransRsp = wire::packet(0, {wire::message(16, 202)});
    const struct
    {
        wire::Bytes* packet;
        std::uint32_t seq;
    } order[] = {{&logonRsp, 1}, {&data, 500}, {&heartbeat, 2}, {&retransRsp, 3}};
    for (const auto& step : order)
    {
        ASSERT_TRUE(stampPacket(step.packet->data(), step.packet->size(), 1'000'000, counter));
        EXPECT_EQ(wire::le(*step.packet, 4, 4), step.seq);
        EXPECT_EQ(wire::le(*step.packet, 8, 8), 1'000'000u);
    }
    EXPECT_EQ(counter, 3u);

    // A packet stamped again (the rest of a partial write) keeps its number.
    ASSERT_TRUE(stampPacket(heartbeat.data(), heartbeat.size(), 2'000'000, counter));
    EXPECT_EQ(wire::le(heartbeat, 4, 4), 2u);
    EXPECT_EQ(counter, 3u);

    wire::Bytes shortPacket(15, 0);
    EXPECT_FALSE(stampPacket(shortPacket.data(), shortPacket.size(), 5, counter));
    EXPECT_EQ(shortPacket, wire::Bytes(15, 0));
    EXPECT_EQ(counter, 3u);

    EXPECT_EQ(firstServedSeqNum(0), 1u);
    EXPECT_EQ(firstServedSeqNum(1), 1u);
    EXPECT_EQ(firstServedSeqNum(77), 77u);
}

TEST(RetransProtocolSendTime, RoundsDownToTheDecimalPlacesKept)
{
    const struct
    {
        std::uint64_t micros;
        unsigned places;
        std::uint64_t nanos;
    } cases[] = {
        {1'700'000'123'456'789ULL, 9, 1'700'000'123'456'789'000ULL},
        {1'700'000'123'456'789ULL, 3, 1'700'000'123'456'000'000ULL},
        {1'700'000'123'456'789ULL, 0, 1'700'000'123'000'000'000ULL},
        {1'700'000'123'456'789ULL, 6, 1'700'000'123'456'789'000ULL},
        {1'700'000'123'456'789ULL, 5, 1'700'000'123'456'780'000ULL},
        {999'999ULL, 0, 0},
        {1'000'000ULL, 0, 1'000'000'000ULL},
        {999ULL, 3, 0},
        {0, 3, 0},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(std::to_string(c.micros) + " p=" + std::to_string(c.places));
        EXPECT_EQ(packetSendTime(c.micros, c.places), c.nanos);
    }
    EXPECT_EQ(roundSendTime(1'234'567'891ULL, 9), 1'234'567'891ULL);
    EXPECT_EQ(roundSendTime(1'234'567'891ULL, 8), 1'234'567'890ULL);
    // Beyond 9 places there is nothing left to cut.
    EXPECT_EQ(roundSendTime(1'234'567'891ULL, 12), 1'234'567'891ULL);
}

} // namespace
