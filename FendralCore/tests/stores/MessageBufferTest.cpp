// A channel's pending output: the raw message first, then framework messages
// oldest first; nothing is cut or silently replaced.
#include "FendralCore/dispatch/MessageBuffer.h"
#include "FendralCore/foundation/FrameworkErrno.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

namespace
{

FwIntMessage dataMessage(uint32 seq)
{
    FwIntMessage msg;
    std::memset(&msg, 0, sizeof(msg));
    msg.msgSeqNum = seq;
    msg.appMsg.type = MSG_DATA;
    msg.appMsg.data.dataLen = 10;
    std::memset(msg.appMsg.data.buffer, 'm', 10);
    return msg;
}

const char* bytesOf(const FwIntMessage& msg)
{
    return reinterpret_cast<const char*>(&msg);
}

TEST(MessageBuffer, RawMessageComesFirstThenFrameworkMessagesInOrder)
{
    auto buffer = std::make_unique<MessageBuffer>();
    EXPECT_FALSE(buffer->isMsgAvail());
    const FwIntMessage first = dataMessage(1);
    const FwIntMessage second = dataMessage(2);
    ASSERT_EQ(buffer->insertMsg(bytesOf(first), sizeof(first), true), 0);
    ASSERT_EQ(buffer->insertMsg(bytesOf(second), sizeof(second), true), 0);
    const std::string raw = "raw payload";
    ASSERT_EQ(buffer->insertMsg(raw.data(), static_cast<uint32>(raw.size()), false), 0);
    EXPECT_TRUE(buffer->isMsgAvail());
    EXPECT_EQ(buffer->getNumMsg(), 2);

    auto out = std::make_unique<char[]>(MessageBuffer::RAW_MSG_MAX_LEN);
    uint32 length = 0;
    bool internal = true;
    ASSERT_EQ(buffer->getMsg(out.get(), MessageBuffer::RAW_MSG_MAX_LEN, length, internal), 0);
    EXPECT_FALSE(internal);
    EXPECT_EQ(std::string(out.get(), length), raw);
    ASSERT_EQ(buffer->removeMsg(), 0);
    EXPECT_EQ(buffer->getNumMsg(), 2);

    for (uint32 seq : {1u, 2u})
    {
        ASSERT_TRUE(buffer->isMsgAvail());
        ASSERT_EQ(buffer->getMsg(out.get(), MessageBuffer::RAW_MSG_MAX_LEN, length, internal), 0);
        EXPECT_TRUE(internal);
        EXPECT_EQ(length, sizeof(FwIntMessage));
        FwIntMessage got;
        std::memcpy(&got, out.get(), sizeof(got));
        EXPECT_EQ(got.msgSeqNum, seq);
        EXPECT_EQ(std::memcmp(got.appMsg.data.buffer, "mmmmmmmmmm", 10), 0);
        ASSERT_EQ(buffer->removeMsg(), 0);
    }
    EXPECT_FALSE(buffer->isMsgAvail());
    EXPECT_EQ(buffer->getMsg(out.get(), MessageBuffer::RAW_MSG_MAX_LEN, length, internal), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, DAT_LIST_EMPTY);
    EXPECT_EQ(buffer->removeMsg(), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, DAT_LIST_EMPTY);
}

TEST(MessageBuffer, NothingIsCutOrReplaced)
{
    auto buffer = std::make_unique<MessageBuffer>();
    const std::string tooLong(MessageBuffer::RAW_MSG_MAX_LEN + 1, 'l');
    EXPECT_EQ(buffer->insertMsg(tooLong.data(), static_cast<uint32>(tooLong.size()), false), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, MSG_TOO_LARGE);
    EXPECT_FALSE(buffer->isMsgAvail());

    const std::string held(MessageBuffer::RAW_MSG_MAX_LEN, 'h');
    ASSERT_EQ(buffer->insertMsg(held.data(), static_cast<uint32>(held.size()), false), 0);
    const std::string other = "other";
    EXPECT_EQ(buffer->insertMsg(other.data(), static_cast<uint32>(other.size()), false), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, BUFFER_FULL);

    const std::string notAMessage(sizeof(FwIntMessage) + 1, 'n');
    EXPECT_EQ(buffer->insertMsg(notAMessage.data(), static_cast<uint32>(notAMessage.size()), true), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, MSG_TOO_LARGE);
    EXPECT_EQ(buffer->getNumMsg(), 0);

    // A destination smaller than the message gets nothing.
    auto out = std::make_unique<char[]>(MessageBuffer::RAW_MSG_MAX_LEN);
    uint32 length = 0;
    bool internal = true;
    EXPECT_EQ(buffer->getMsg(out.get(), MessageBuffer::RAW_MSG_MAX_LEN - 1, length, internal), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, BUF_NOT_ENOUGH_SPACE);
    ASSERT_EQ(buffer->getMsg(out.get(), MessageBuffer::RAW_MSG_MAX_LEN, length, internal), 0);
    EXPECT_EQ(std::string(out.get(), length), held);
    ASSERT_EQ(buffer->removeMsg(), 0);

    const FwIntMessage msg = dataMessage(3);
    ASSERT_EQ(buffer->insertMsg(bytesOf(msg), sizeof(msg), true), 0);
    EXPECT_EQ(buffer->getMsg(out.get(), sizeof(FwIntMessage) - 1, length, internal), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, BUF_NOT_ENOUGH_SPACE);
    EXPECT_EQ(buffer->getNumMsg(), 1);
}

} // namespace
