#include "zunq/protocol/ZunqDumpUtils.h"
#include "zunq/protocol/ZunqUtils.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace
{

TEST(ZunqDumpUtils, WritesEveryFieldOfTheRecordsJoinedByTheSeparator)
{
    Zunq::PacketHeader header;
    header.mPktSize = 32;
    header.mMsgCount = 1;
    header.mSeqNum = 4000000000u;
    header.mSendTime = 1700000000123000000ULL;
    Zunq::Logon logon;
    std::memcpy(logon.mUsername, "alice", 5);
    Zunq::Logon fullName;
    std::memcpy(fullName.mUsername, "abcdefghijk\x01", 12);
    Zunq::LogonResponse logonRsp;
    logonRsp.mSessionStatus = Zunq::USER_ALREADY_CONNECTED;
    Zunq::RetransmissionRequest request;
    request.mChannelId = 65535;
    request.mBeginSeqNum = 0;
    request.mEndSeqNum = 4294967295u;
    Zunq::RetransmissionResponse response;
    response.mChannelId = 7;
    response.mRetransStatus = Zunq::MESSAGES_NOT_AVAILABLE;
    response.mBeginSeqNum = 1;
    response.mEndSeqNum = 3;

    const char bar = '|';
    const char comma = ',';
    const struct
    {
        const char* name;
        std::string text;
        std::string want;
    } cases[] = {
        {"Header", ZunqDumpUtils::writeStructToString(&header, bar),
         "mPktSize=32|mMsgCount=1|mSeqNum=4000000000|mSendTime=1700000000123000000"},
        {"Logon", ZunqDumpUtils::writeStructToString(&logon, bar), "mMsgSize=16|mMsgType=101|mUsername=alice"},
        {"LogonFullNameWithAControlByte", ZunqDumpUtils::writeStructToString(&fullName, comma),
         "mMsgSize=16,mMsgType=101,mUsername=abcdefghijk\\x01"},
        {"LogonResponse", ZunqDumpUtils::writeStructToString(&logonRsp, bar),
         "mMsgSize=8|mMsgType=102|mSessionStatus=100"},
        {"Request", ZunqDumpUtils::writeStructToString(&request, comma),
         "mMsgSize=16,mMsgType=201,mChannelId=65535,mBeginSeqNum=0,mEndSeqNum=4294967295"},
        {"Response", ZunqDumpUtils::writeStructToString(&response, bar),
         "mMsgSize=16|mMsgType=202|mChannelId=7|mRetransStatus=2|mBeginSeqNum=1|mEndSeqNum=3"},
        {"NullRecord", ZunqDumpUtils::writeStructToString(static_cast<const Zunq::Logon*>(nullptr), bar), "null"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.text, c.want);
    }
}

TEST(ZunqDumpUtils, PeerBytesKeepPrintableTextEscapeTheRestAndAreCappedAt64)
{
    const std::string sixtyFour(64, 'x');
    const std::string sixtyFive = sixtyFour + "y";
    const struct
    {
        const char* name;
        std::string bytes;
        std::string want;
    } cases[] = {
        {"Printable", "Az09 ~!", "Az09 ~!"},
        {"ControlAndHighBytes", std::string("a\0\n\x7F\x80\xFF", 6), "a\\x00\\x0A\\x7F\\x80\\xFF"},
        {"Empty", "", ""},
        {"SixtyFourKept", sixtyFour, sixtyFour},
        {"SixtyFiveCut", sixtyFive, sixtyFour + "...(65 bytes)"},
        {"EscapesCountAsOneByte", std::string(70, '\x01'), [] {
             std::string s;
             for (int i = 0; i < 64; ++i)
                 s += "\\x01";
             return s + "...(70 bytes)";
         }()},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ZunqDumpUtils::writePeerBytes(c.bytes.data(), c.bytes.size()), c.want);
    }
    EXPECT_EQ(ZunqDumpUtils::writePeerBytes(nullptr, 5), "");
}

// A packet's message bytes in a log line: its length, then the capped,
// escaped sample, so a hostile packet neither floods nor garbles the log.
TEST(ZunqDumpUtils, ByteDumpGivesTheLengthAndTheCappedEscapedSample)
{
    const std::string message("\x0C\x00\x00\x05seq1ABCD", 12);
    const std::string long100(100, 'm');
    const struct
    {
        const char* name;
        const char* bytes;
        std::size_t length;
        char separator;
        std::string want;
    } cases[] = {
        {"BinaryMessage", message.data(), message.size(), '|',
         "length=12|bytes=\\x0C\\x00\\x00\\x05seq1ABCD"},
        {"OtherSeparator", "ab", 2, ',', "length=2,bytes=ab"},
        {"Empty", "", 0, '|', "length=0|bytes="},
        {"LongerThanTheSample", long100.data(), long100.size(), '|',
         "length=100|bytes=" + std::string(64, 'm') + "...(100 bytes)"},
        {"NoBytes", nullptr, 7, '|', "null"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ZunqDumpUtils::dumpBaseToStringLg(c.bytes, c.separator, c.length), c.want);
    }
}

TEST(ZunqUtils, NamesEveryRetransmissionStatusAndInternalResult)
{
    const struct
    {
        int status;
        const char* name;
    } cases[] = {
        {0, "REQUEST_ACCEPTED"},
        {1, "UNKNOWN_CHANNEL_ID"},
        {2, "MESSAGES_NOT_AVAILABLE"},
        {100, "EXCEEDS_MAXIMUM_SEQUENCE_RANGE"},
        {101, "EXCEEDS_MAXIMUM_REQUESTS_PER_DAY"},
        {99, "INTERNAL_ERROR"},
        {102, "ILLEGAL_LENGTH"},
        {103, "ILLEGAL_MSG_TYPE"},
        {104, "UNKNOWN_USERID"},
        {105, "SEQNUM_TOO_SMALL"},
        {106, "ILLEGAL_CONNECTION"},
        {999, "BAD_CLIENT_BEHAVIOUR"},
        {3, "UNKNOWN_STATUS(3)"},
        {-1, "UNKNOWN_STATUS(-1)"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ZunqUtils::retransStatusToString(c.status), c.name) << c.status;
}

} // namespace
