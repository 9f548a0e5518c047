// The replication record read and written by byte offset, not through the
// descriptor: a wrong descriptor cannot hide behind its own tests.
#include "FendralCore/messaging/ReplicationRecord.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace
{
void put32(std::vector<char>& b, size_t off, uint32 v)
{
    std::memcpy(b.data() + off, &v, 4);
}
void put64(std::vector<char>& b, size_t off, uint64 v)
{
    std::memcpy(b.data() + off, &v, 8);
}
void putText(std::vector<char>& b, size_t off, size_t size, const std::string& s)
{
    // NUL-padded; a text as long as the field has no terminator of its own.
    std::memset(b.data() + off, 0, size);
    std::memcpy(b.data() + off, s.data(), std::min(s.size(), size));
}

// A data record as the wire carries it: the fixed 173 bytes and the payload.
std::vector<char> dataRecord(uint32 chnType, uint32 dir, uint32 dataLen, size_t len)
{
    std::vector<char> b(len, 0);
    put32(b, 0, 77);
    putText(b, 4, 17, "APPL_THREAD");
    putText(b, 21, 17, "MSG_REPLICATOR");
    put32(b, 72, 2);
    putText(b, 80, 17, "CHANNEL_ONE");
    put32(b, 100, chnType);
    put64(b, 112, 42);
    put64(b, 152, 0xdeadbeefULL); // the sender's channel address
    put32(b, 160, dir);
    put32(b, 164, dataLen);
    put32(b, 168, 0);
    if (len > 172)
        b[172] = 7; // a flag byte that is not 0 or 1
    for (size_t i = 173; i < len; ++i)
        b[i] = static_cast<char>(i * 7);
    return b;
}

std::vector<char> eventRecord(size_t len)
{
    std::vector<char> b(len, 0);
    put32(b, 72, 1);
    put32(b, 80, 13);
    putText(b, 88, 17, "SERVER_CHANNEL:17");
    put64(b, 112, 0x1111);
    put64(b, 120, 0x2222);
    put32(b, 132, -5);
    put64(b, 136, 99);
    putText(b, 144, 9, "APPIDAPPID");
    putText(b, 160, 101, std::string(120, 'd'));
    return b;
}
} // namespace

TEST(ReplicationRecordTest, RecordLengthFollowsThePayload)
{
    struct Case
    {
        uint32 dataLen;
        uint32 expect;
    } cases[] = {{0, 173}, {1, 174}, {2199, 2372}, {2200, 2376}};
    for (const Case& c : cases)
    {
        FwIntMessage m{};
        m.appMsg.type = MSG_DATA;
        m.appMsg.data.dataLen = c.dataLen;
        std::vector<char> out(2376);
        EXPECT_EQ(ReplicationRecord::encode(m, out.data()), c.expect) << c.dataLen;
    }
    FwIntMessage e{};
    e.appMsg.type = MSG_EVENT;
    std::vector<char> out(2376);
    EXPECT_EQ(ReplicationRecord::encode(e, out.data()), 264u);
}

TEST(ReplicationRecordTest, DataRecordReadsBackWithoutTheSendersPointer)
{
    for (uint32 dataLen : {0u, 5u, 2199u, 2200u})
    {
        const size_t len = dataLen < 2200 ? 173 + dataLen : 2376;
        std::vector<char> b = dataRecord(0, 2, dataLen, len);
        FwIntMessage m{};
        ASSERT_EQ(ReplicationRecord::decode(b.data(), static_cast<uint32>(len), m), ReplicationRecord::Verdict::OK)
            << dataLen;
        EXPECT_EQ(m.msgSeqNum, 77u);
        EXPECT_STREQ(m.originatorTxt, "APPL_THREAD");
        EXPECT_STREQ(m.recipientTxt, "MSG_REPLICATOR");
        EXPECT_STREQ(m.appMsg.data.channelNameTxt, "CHANNEL_ONE");
        EXPECT_EQ(m.appMsg.data.chnType, TCP_CHANNEL);
        EXPECT_EQ(m.appMsg.data.dataDir, OUTGOING_DATA);
        EXPECT_EQ(m.appMsg.data.msgTopicSeq, 42u);
        EXPECT_EQ(m.appMsg.data.fdPtr, nullptr);
        EXPECT_EQ(m.appMsg.data.dataLen, dataLen);
        EXPECT_TRUE(m.appMsg.data.more);
        EXPECT_EQ(std::memcmp(m.appMsg.data.buffer, b.data() + 173, dataLen), 0);
    }
}

TEST(ReplicationRecordTest, EventRecordEndsItsTextsAndDropsPointers)
{
    std::vector<char> b = eventRecord(264);
    FwIntMessage m{};
    ASSERT_EQ(ReplicationRecord::decode(b.data(), 264, m), ReplicationRecord::Verdict::OK);
    const EventMsg& e = m.appMsg.event;
    EXPECT_EQ(e.id, CONNECTED);
    EXPECT_EQ(std::string(e.eventParam.resNameTxt), "SERVER_CHANNEL:1"); // cut at 16
    EXPECT_EQ(e.eventParam.resHandlePtr, nullptr);
    EXPECT_EQ(e.eventParam.resPtr, nullptr);
    EXPECT_EQ(e.eventParam.paramInt32, -5);
    EXPECT_EQ(e.eventParam.paramInt64, 99);
    EXPECT_EQ(std::string(e.eventParam.appIdTxt), "APPIDAPP");
    EXPECT_EQ(std::string(e.descTxt).size(), 100u);
    EXPECT_STREQ(m.originatorTxt, "");
}

TEST(ReplicationRecordTest, MalformedRecordsAreRefused)
{
    using V = ReplicationRecord::Verdict;
    struct Case
    {
        const char* what;
        std::vector<char> bytes;
        V expect;
    };
    std::vector<char> unknownType = dataRecord(0, 1, 10, 183);
    put32(unknownType, 72, 3);
    std::vector<char> zeroType = dataRecord(0, 1, 10, 183);
    put32(zeroType, 72, 0);
    const Case cases[] = {
        {"empty", {}, V::TOO_SHORT},
        {"header cut", std::vector<char>(79, 0), V::TOO_SHORT},
        {"unknown type", unknownType, V::UNKNOWN_TYPE},
        {"type 0", zeroType, V::UNKNOWN_TYPE},
        {"event short", eventRecord(263), V::BAD_EVENT_SIZE},
        {"event long", eventRecord(265), V::BAD_EVENT_SIZE},
        {"data header cut", dataRecord(0, 1, 0, 172), V::SIZE_MISMATCH},
        {"dataLen 2201", dataRecord(0, 1, 2201, 2376), V::DATA_TOO_LONG},
        {"dataLen huge", dataRecord(0, 1, 0xffffffffu, 2376), V::DATA_TOO_LONG},
        {"payload short", dataRecord(0, 1, 10, 182), V::SIZE_MISMATCH},
        {"payload long", dataRecord(0, 1, 10, 184), V::SIZE_MISMATCH},
        {"2199 as full", dataRecord(0, 1, 2199, 2376), V::SIZE_MISMATCH},
        {"2200 cut", dataRecord(0, 1, 2200, 2373), V::SIZE_MISMATCH},
        {"IPC channel", dataRecord(3, 1, 10, 183), V::UNKNOWN_CHANNEL},
        {"negative channel", dataRecord(0xffffffffu, 1, 10, 183), V::UNKNOWN_CHANNEL},
        {"inter-thread", dataRecord(2, 0, 10, 183), V::UNKNOWN_DIRECTION},
        {"direction 3", dataRecord(1, 3, 10, 183), V::UNKNOWN_DIRECTION},
    };
    for (const Case& c : cases)
    {
        FwIntMessage m{};
        EXPECT_EQ(ReplicationRecord::decode(c.bytes.data(), static_cast<uint32>(c.bytes.size()), m), c.expect)
            << c.what;
    }
}

TEST(ReplicationRecordTest, OutgoingRecordCarriesForwardThreadAndTopicSequence)
{
    FwIntMessage m{};
    m.appMsg.type = MSG_DATA;
    std::strcpy(m.recipientTxt, "MSG_REPLICATOR");
    m.appMsg.data.dataDir = OUTGOING_DATA;
    m.appMsg.data.msgTopicSeq = 0x5555; // the forward thread's address on the active side
    m.appMsg.data.dataLen = 3;
    std::memcpy(m.appMsg.data.buffer, "abc", 3);
    const FwIntMessage before = m;
    ResourceName fwd{};
    std::strcpy(fwd, "FORWARD_THREAD");
    std::vector<char> out(2376);
    ASSERT_EQ(ReplicationRecord::encodeOutgoing(m, &fwd, 901, out.data()), 176u);
    EXPECT_STREQ(out.data() + 21, "FORWARD_THREAD");
    uint64 seq = 0;
    std::memcpy(&seq, out.data() + 112, 8);
    EXPECT_EQ(seq, 901u);
    EXPECT_EQ(std::memcmp(out.data() + 173, "abc", 3), 0);
    EXPECT_EQ(std::memcmp(&before, &m, sizeof(m)), 0);
    ASSERT_EQ(ReplicationRecord::encodeOutgoing(m, nullptr, 0, out.data()), 176u);
    EXPECT_STREQ(out.data() + 21, "MSG_REPLICATOR");
}
