// Parked pipeline entries: order, limits, and a destination that is too small.
#include "FendralCore/dispatch/PlMessageStore.h"
#include "FendralCore/foundation/FrameworkErrno.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{

std::string entry(char fill, size_t length)
{
    return std::string(length, fill);
}

TEST(PlMessageStore, RecordsComeOutOldestFirstWithTheirLength)
{
    PlMessageStore store;
    const std::vector<std::string> entries = {entry('a', 2528), entry('b', 1), entry('c', PlMessageStore::PL_MSG_MAX_LEN),
                                              ""};
    for (const auto& e : entries)
        ASSERT_EQ(store.insertMsg(MSG_SERVICE_MSG_LIST, e.data(), static_cast<uint32>(e.size())), 0);
    std::vector<char> out(PlMessageStore::PL_MSG_MAX_LEN);
    for (const auto& e : entries)
    {
        ASSERT_TRUE(store.isMsgAvail(MSG_SERVICE_MSG_LIST));
        uint32 length = 12345;
        ASSERT_EQ(store.getMsg(MSG_SERVICE_MSG_LIST, out.data(), static_cast<uint32>(out.size()), length), 0);
        EXPECT_EQ(std::string(out.data(), length), e);
        ASSERT_EQ(store.removeMsg(MSG_SERVICE_MSG_LIST), 0);
    }
    EXPECT_FALSE(store.isMsgAvail(MSG_SERVICE_MSG_LIST));
    uint32 length = 0;
    EXPECT_EQ(store.getMsg(MSG_SERVICE_MSG_LIST, out.data(), static_cast<uint32>(out.size()), length), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, DAT_LIST_EMPTY);
    EXPECT_EQ(store.removeMsg(MSG_SERVICE_MSG_LIST), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, DAT_LIST_EMPTY);
}

TEST(PlMessageStore, OversizedRecordIsRefusedWhole)
{
    PlMessageStore store;
    const std::string big = entry('x', PlMessageStore::PL_MSG_MAX_LEN + 1);
    EXPECT_EQ(store.insertMsg(NET_RCV_MSG_LIST, big.data(), static_cast<uint32>(big.size())), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, MSG_TOO_LARGE);
    EXPECT_FALSE(store.isMsgAvail(NET_RCV_MSG_LIST));
    EXPECT_EQ(store.insertMsg(NET_RCV_MSG_LIST, nullptr, 10), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, NULL_PARAM);
    EXPECT_EQ(store.insertMsg(static_cast<MsgListType>(MSG_LIST_TYPE_MAX), big.data(), 10), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, INVALID_FUNC_ARG);
}

// A record is never handed out cut: the caller would send half an entry and
// remove the rest with it.
TEST(PlMessageStore, SmallDestinationGetsNothingAndTheRecordStays)
{
    PlMessageStore store;
    const std::string e = entry('p', 100);
    ASSERT_EQ(store.insertMsg(IPC_RCV_MSG_LIST, e.data(), 100), 0);
    char small[99];
    std::memset(small, 0, sizeof(small));
    uint32 length = 7;
    EXPECT_EQ(store.getMsg(IPC_RCV_MSG_LIST, small, sizeof(small), length), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, BUF_NOT_ENOUGH_SPACE);
    EXPECT_EQ(length, 7u);
    EXPECT_EQ(small[0], 0);
    char exact[100];
    ASSERT_EQ(store.getMsg(IPC_RCV_MSG_LIST, exact, sizeof(exact), length), 0);
    EXPECT_EQ(std::string(exact, length), e);
}

} // namespace
