// Data and message-journal lines written by the logger itself: their
// fixed-width headers, masking through the channel's callback, and limits.
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/GlobalData.h"
#include "FendralCore/runtime/AppLogger.h"
#include "FendralCore/runtime/LoggerRegistryLink.h"
#include "FendralCore/tests/logger/LoggerFixture.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <string>
#include <vector>

namespace
{

using namespace logtest;

const char* const T = "2024/03/05 13:04:05.000042";

// Masks every message of channel "CARDS" on TCP that holds "pin=".
int maskPins(char* msg, unsigned int length)
{
    return std::string(msg, length).find("pin=") != std::string::npos ? 1 : 0;
}

LoggerRegistryLink::MsgMaskFunc findMask(const char* channelName, ExtChannelType channelType)
{
    return std::strcmp(channelName, "CARDS") == 0 && channelType == TCP_CHANNEL ? maskPins : nullptr;
}

class AppLoggerJournal : public ::testing::Test
{
protected:
    ScopedTz m_tz{"UTC"};
    TempDir m_dir;
    int m_loggers = 0;

    void SetUp() override
    {
        setClock(utc(2024, 3, 5, 13, 4, 5), 42000);
        AppLogger::setThreadName("JOURNAL");
        LoggerRegistryLink::setFindMaskFunc(findMask);
    }
    void TearDown() override
    {
        LoggerRegistryLink::setFindMaskFunc(nullptr);
        GlobalData::getInst().m_msgJournalExtraFieldEnabled = false;
    }

    // Logs through a fresh logger and returns the file's text.
    template <typename Body>
    std::string logWith(bool extraFields, Body body)
    {
        GlobalData::getInst().m_msgJournalExtraFieldEnabled = extraFields;
        const std::string prefix = "journal" + std::to_string(++m_loggers);
        AppLogger logger(m_dir.path().c_str(), prefix.c_str(), LOG_LEVEL_INFO);
        logger.setClock(fakeClock);
        EXPECT_EQ(logger.openLog(), 0);
        body(logger);
        const std::string name = logger.getFileName();
        EXPECT_EQ(logger.closeLog(), 0);
        return readFile(name);
    }
};

TEST_F(AppLoggerJournal, LineLayouts)
{
    const in_addr_t peer = inet_addr("10.1.2.254");
    struct Case
    {
        const char* what;
        bool extra;
        bool journal;
        DataDirection dir;
        ExtChannelType type;
        const char* channel;
        const char* peerId;
        std::string payload;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"data line", false, false, INCOMING_DATA, TCP_CHANNEL, "IN", "P1", "raw\x01 bytes",
         std::string(T) + ",I, JOURNAL         : raw\x01 bytes\n"},
        {"data line ignores extra fields", true, false, INCOMING_DATA, TCP_CHANNEL, "IN", "P1", "abc",
         std::string(T) + ",I, JOURNAL         : abc\n"},
        {"journal line", false, true, OUTGOING_DATA, UDP_CHANNEL, "OUT", "P1", "8=FIX.4.2|35=D",
         std::string(T) + ",I, JOURNAL         ,   14,2:\n8=FIX.4.2|35=D\n"},
        {"journal line with extra fields", true, true, INCOMING_DATA, MSG_TOPIC_CHANNEL, "TOPIC_A", "PEERAPP1",
         "hello\nworld",
         std::string(T) + ",I, JOURNAL         ,   11,1,2,TOPIC_A         ,PEERAPP1,0A0102FE:\nhello\nworld\n"},
        {"names cut to their fields", true, true, INTER_THREAD_DATA, ITC_CHANNEL, "CHANNEL_NAME_OF_20",
         "PEER_ID_TOO_LONG", "",
         std::string(T) + ",I, JOURNAL         ,    0,0,4,CHANNEL_NAME_OF_,PEER_ID_,0A0102FE:\n\n"},
    };
    for (const Case& c : cases)
    {
        const std::string text = logWith(c.extra, [&](AppLogger& logger) {
            ASSERT_EQ(logger.logMessageFixedLength(LOG_LEVEL_INFO, c.payload.data(),
                                                   static_cast<uint32>(c.payload.size()), c.dir, nullptr, c.journal,
                                                   c.type, c.channel, c.peerId, peer),
                      0)
                << c.what;
        });
        EXPECT_EQ(text, c.expected) << c.what;
    }
}

TEST_F(AppLoggerJournal, FieldOffsetsWithExtraFields)
{
    const std::string text = logWith(true, [](AppLogger& logger) {
        const timespec given{utc(2023, 12, 31, 23, 59, 58), 7000};
        ASSERT_EQ(logger.logMessageFixedLength(LOG_LEVEL_WARNING, "12345", 5, OUTGOING_DATA, &given, true,
                                               UDP_CHANNEL, "MD_FEED", "APP", htonl(0xC0A80001)),
                  0);
    });
    ASSERT_EQ(text.size(), 93u + 5 + 1);
    EXPECT_EQ(text.substr(0, 26), "2023/12/31 23:59:58.000007") << "the given time";
    EXPECT_EQ(text[AppLogger::SEVERITY_OFFSET], 'W');
    EXPECT_EQ(text.substr(AppLogger::MSGLEN_OFFSET, 5), "    5");
    EXPECT_EQ(text[AppLogger::DIR_OFFSET], '2');
    EXPECT_EQ(text[AppLogger::CHANNEL_TYPE_OFFSET], '1');
    EXPECT_EQ(text.substr(AppLogger::CHANNEL_NAME_OFFSET, 16), "MD_FEED         ");
    EXPECT_EQ(text.substr(AppLogger::PEER_APP_ID_OFFSET, 8), "APP     ");
    EXPECT_EQ(text.substr(AppLogger::PEER_IP_ADDR_OFFSET, 8), "C0A80001");
    EXPECT_EQ(text.substr(91, 2), ":\n");
    EXPECT_EQ(text.substr(93), "12345\n");
}

TEST_F(AppLoggerJournal, MaskingHidesTheJournalCopyOnly)
{
    std::string payload = "user=7 pin=1234";
    const std::string original = payload;
    const std::string text = logWith(false, [&](AppLogger& logger) {
        ASSERT_EQ(logger.logMessageFixedLength(LOG_LEVEL_INFO, payload.data(), static_cast<uint32>(payload.size()),
                                               INCOMING_DATA, nullptr, true, TCP_CHANNEL, "CARDS", nullptr, 0),
                  0);
        // Same bytes, other channels or kinds of channel: no callback applies.
        ASSERT_EQ(logger.logMessageFixedLength(LOG_LEVEL_INFO, payload.data(), static_cast<uint32>(payload.size()),
                                               INCOMING_DATA, nullptr, true, TCP_CHANNEL, "OTHER", nullptr, 0),
                  0);
        ASSERT_EQ(logger.logMessageFixedLength(LOG_LEVEL_INFO, payload.data(), static_cast<uint32>(payload.size()),
                                               INCOMING_DATA, nullptr, true, IPC_CHANNEL, "CARDS", nullptr, 0),
                  0);
        // A message the callback lets through.
        ASSERT_EQ(logger.logMessageFixedLength(LOG_LEVEL_INFO, "user=7", 6, INCOMING_DATA, nullptr, true,
                                               TCP_CHANNEL, "CARDS", nullptr, 0),
                  0);
    });
    EXPECT_EQ(payload, original) << "the caller's data is never changed";
    const std::string header = std::string(T) + ",I, JOURNAL         ,   15,1:\n";
    EXPECT_EQ(text, header + "***************\n" + header + original + "\n" + header + original + "\n" +
                        std::string(T) + ",I, JOURNAL         ,    6,1:\nuser=7\n");

    // In place, as the LOGGER thread masks its own copy.
    char buffer[] = "pin=0000";
    EXPECT_EQ(AppLogger::maskMessage("CARDS", TCP_CHANNEL, buffer, 8), 0);
    EXPECT_STREQ(buffer, "********");
    char kept[] = "pin=0000";
    EXPECT_EQ(AppLogger::maskMessage("CARDS", ITC_CHANNEL, kept, 8), 0);
    EXPECT_STREQ(kept, "pin=0000");
}

TEST_F(AppLoggerJournal, RefusedInput)
{
    GlobalData::getInst().m_msgJournalExtraFieldEnabled = true;
    AppLogger logger(m_dir.path().c_str(), "refused", LOG_LEVEL_INFO);
    logger.setClock(fakeClock);
    const std::string max(AppLogger::MAX_DIRECT_JOURNAL_LEN, 'j');
    EXPECT_EQ(logger.logMessageFixedLength(LOG_LEVEL_INFO, "x", 1, INCOMING_DATA, nullptr, true, TCP_CHANNEL, "C",
                                           nullptr, 0),
              -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, BAD_DESCRIPTOR);
    ASSERT_EQ(logger.openLog(), 0);

    struct Case
    {
        const char* what;
        const char* data;
        uint32 length;
        int32 level;
        DataDirection dir;
        ExtChannelType type;
        int32 result;
        int32 code;
    };
    const Case cases[] = {
        {"journal over 32768 bytes", max.data(), AppLogger::MAX_DIRECT_JOURNAL_LEN + 1, LOG_LEVEL_INFO,
         INCOMING_DATA, TCP_CHANNEL, -1, MSG_TOO_LARGE},
        {"null data", nullptr, 4, LOG_LEVEL_INFO, INCOMING_DATA, TCP_CHANNEL, -1, NULL_PARAM},
        {"unknown direction", "x", 1, LOG_LEVEL_INFO, static_cast<DataDirection>(3), TCP_CHANNEL, -1,
         INVALID_FUNC_ARG},
        {"unknown channel type", "x", 1, LOG_LEVEL_INFO, INCOMING_DATA, static_cast<ExtChannelType>(10), -1,
         INVALID_FUNC_ARG},
        {"negative level", "x", 1, -1, INCOMING_DATA, TCP_CHANNEL, -1, LOGGER_INVALID_LOG_LEVEL},
        {"filtered level", "x", 1, LOG_LEVEL_DEBUG, INCOMING_DATA, TCP_CHANNEL, 0, 0},
        {"exactly 32768 bytes", max.data(), AppLogger::MAX_DIRECT_JOURNAL_LEN, LOG_LEVEL_INFO, INCOMING_DATA,
         TCP_CHANNEL, 0, 0},
    };
    for (const Case& c : cases)
    {
        FrameworkErrno::m_fwErrno = 0;
        EXPECT_EQ(logger.logMessageFixedLength(c.level, c.data, c.length, c.dir, nullptr, true, c.type, "C", "P", 0),
                  c.result)
            << c.what;
        EXPECT_EQ(FrameworkErrno::m_fwErrno, c.code) << c.what;
    }
    const std::string name = logger.getFileName();
    ASSERT_EQ(logger.closeLog(), 0);
    EXPECT_EQ(readFile(name).size(), 93u + max.size() + 1) << "only the accepted line was written";
}

} // namespace
