// Loggers that hand their lines to the LOGGER thread: the requests they post
// on a real queue (decoded here as the LOGGER thread reads them), the parts
// of long payloads, close requests, the LOGGER-side header, and what happens
// without a LOGGER thread or its queue.
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/runtime/AppLogger.h"
#include "FendralCore/runtime/LoggerRegistryLink.h"
#include "FendralCore/runtime/MessageQueue.h"
#include "FendralCore/tests/logger/LoggerFixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <memory>
#include <set>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

using namespace logtest;

std::atomic<MessageQueue<FwIntMessage>*> g_loggerQueue{nullptr};

int32 loggerRegistered(MessageQueue<FwIntMessage>*& queue)
{
    queue = g_loggerQueue.load();
    return 0;
}

struct Request
{
    std::string originator;
    std::string recipient;
    int32 partNum;
    bool more;
    uint32 dataLen;
    LogMsgHeader header;
    std::string body;
};

// Takes everything posted so far, in order.
std::vector<Request> takeAll(MessageQueue<FwIntMessage>& queue)
{
    std::vector<Request> requests;
    auto msg = std::make_unique<FwIntMessage>();
    bool more = false;
    while (queue.getMessage(msg.get(), more) == 0)
    {
        Request r;
        r.originator = msg->originatorTxt;
        r.recipient = msg->recipientTxt;
        EXPECT_EQ(msg->appMsg.type, MSG_DATA);
        const Data_t& data = msg->appMsg.data;
        r.partNum = data.msgPartNum;
        r.more = data.more;
        r.dataLen = data.dataLen;
        std::memcpy(&r.header, data.buffer, sizeof(r.header));
        EXPECT_EQ(r.dataLen, static_cast<uint32>(LOG_MSG_HEADER_SIZE + r.header.bodyLen));
        r.body.assign(data.buffer + LOG_MSG_HEADER_SIZE, static_cast<size_t>(r.header.bodyLen));
        requests.push_back(r);
    }
    return requests;
}

class AppLoggerHandOff : public ::testing::Test
{
protected:
    ScopedTz m_tz{"UTC"};
    TempDir m_dir;
    MessageQueue<FwIntMessage> m_queue{64, false, true, LOW_LATENCY, false, 1000};

    void SetUp() override
    {
        setClock(utc(2024, 3, 5, 13, 4, 5), 42000);
        g_loggerQueue.store(&m_queue);
        LoggerRegistryLink::setFindLoggerQueue(loggerRegistered);
        AppLogger::setThreadName("POSTER");
    }
    void TearDown() override
    {
        LoggerRegistryLink::setFindLoggerQueue(nullptr);
        g_loggerQueue.store(nullptr);
    }

    std::unique_ptr<AppLogger> openLogger(const char* prefix)
    {
        auto logger = std::make_unique<AppLogger>(m_dir.path().c_str(), prefix, LOG_LEVEL_INFO, true, false, true);
        logger->setClock(fakeClock);
        EXPECT_EQ(logger->openLog(), 0);
        EXPECT_TRUE(logger->useLoggerThread());
        return logger;
    }
};

TEST_F(AppLoggerHandOff, PlainLineIsOneRequestWithTheWholeLine)
{
    auto logger = openLogger("handoff");
    const std::string name = logger->getFileName();
    // The file is opened here and written by the LOGGER thread only.
    EXPECT_TRUE(std::filesystem::exists(name));
    ASSERT_EQ(logger->setSyslogLevel(LOG_LEVEL_ERROR), 0);
    ASSERT_EQ(logger->logMessage(LOG_LEVEL_ERROR, "Error [%d] on [%s].", 42, "T1"), 0);
    ASSERT_EQ(logger->logMessage(LOG_LEVEL_INFO, "no mirror"), 0);
    ASSERT_EQ(logger->logMessage(LOG_LEVEL_DEBUG, "filtered"), 0);
    EXPECT_EQ(readFile(name), "");

    const auto requests = takeAll(m_queue);
    ASSERT_EQ(requests.size(), 2u);
    const Request& r = requests[0];
    EXPECT_EQ(r.originator, "POSTER");
    EXPECT_EQ(r.recipient, "LOGGER");
    EXPECT_EQ(r.partNum, 0);
    EXPECT_FALSE(r.more);
    EXPECT_EQ(r.header.msgType, LOG_MSG);
    EXPECT_GE(r.header.fd, 0);
    EXPECT_EQ(r.header.openFlags & (O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC),
              O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC);
    EXPECT_EQ(r.header.openFlags & O_DIRECT, 0);
    EXPECT_EQ(r.header.loggerPtr, logger.get());
    EXPECT_EQ(r.header.logLevel, LOG_LEVEL_ERROR);
    EXPECT_EQ(r.header.padCharacter, ' ');
    EXPECT_TRUE(r.header.writeToSysLog);
    EXPECT_FALSE(r.header.formatLogHeader);
    EXPECT_FALSE(r.header.isMsgJournal);
    EXPECT_EQ(r.header.msgSeqNum, 0);
    EXPECT_FALSE(r.header.needAck);
    EXPECT_EQ(r.header.flushTimeout, 0);
    EXPECT_EQ(r.body, "2024/03/05 13:04:05.000042,E, POSTER          : Error [42] on [T1].\n");
    EXPECT_FALSE(requests[1].header.writeToSysLog);
    EXPECT_EQ(requests[1].body.substr(46), ": no mirror\n");

    // Writing what was posted to the posted descriptor gives the file.
    for (const Request& each : requests)
        ASSERT_EQ(::write(each.header.fd, each.body.data(), each.body.size()), static_cast<ssize_t>(each.body.size()));
    EXPECT_EQ(readFile(name), requests[0].body + requests[1].body);
}

TEST_F(AppLoggerHandOff, LongJournalPayloadTravelsInParts)
{
    auto logger = openLogger("parts");
    std::string payload(5000, '\0');
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<char>('a' + i % 26);
    const timespec when{utc(2024, 3, 5, 13, 4, 7), 5000};
    ASSERT_EQ(logger->logMessageFixedLength(LOG_LEVEL_NOTICE, payload.data(), 5000, OUTGOING_DATA, &when, true,
                                            TCP_CHANNEL, "ORDERS", "PEER", 0),
              0);
    const auto requests = takeAll(m_queue);
    ASSERT_EQ(requests.size(), 3u);
    const int32 bodies[] = {2056, 2056, 889};
    std::string joined;
    for (int32 i = 0; i < 3; ++i)
    {
        const Request& r = requests[static_cast<size_t>(i)];
        EXPECT_EQ(r.partNum, i);
        EXPECT_EQ(r.more, i < 2);
        EXPECT_EQ(r.header.bodyLen, bodies[i]);
        EXPECT_EQ(r.header.loggerPtr, i == 0 ? logger.get() : nullptr);
        EXPECT_EQ(r.header.msgType, LOG_MSG);
        EXPECT_EQ(r.header.logMsgLen, 5000);
        EXPECT_TRUE(r.header.isMsgJournal);
        EXPECT_TRUE(r.header.formatLogHeader);
        EXPECT_FALSE(r.header.writeToSysLog);
        EXPECT_EQ(r.header.dataDir, OUTGOING_DATA);
        EXPECT_EQ(r.header.channelType, TCP_CHANNEL);
        EXPECT_STREQ(r.header.channelNameTxt, "ORDERS");
        EXPECT_EQ(r.header.logTime.tv_sec, when.tv_sec);
        EXPECT_EQ(r.header.tid, pthread_self());
        EXPECT_EQ(r.originator, "POSTER");
        joined += r.body;
    }
    EXPECT_EQ(joined, payload + "\n");

    // The LOGGER thread formats the header with the request's logger.
    char header[AppLogger::MAX_LOG_LINE];
    ASSERT_EQ(logger->formatLogHeader(requests[0].header, requests[0].originator.c_str(), header, sizeof(header)),
              AppLogger::JOURNAL_HEADER_LEN);
    EXPECT_EQ(std::string(header, AppLogger::JOURNAL_HEADER_LEN),
              "2024/03/05 13:04:07.000005,N, POSTER          , 5000,2:\n");
    // Without a sender's name: the request's thread id.
    ASSERT_EQ(logger->formatLogHeader(requests[0].header, "", header, sizeof(header)), AppLogger::JOURNAL_HEADER_LEN);
    char id[17] = {};
    std::snprintf(id, sizeof(id), "%016lX", static_cast<unsigned long>(pthread_self()));
    EXPECT_EQ(std::string(header + 30, 16), id);
    EXPECT_EQ(logger->formatLogHeader(requests[0].header, "POSTER", header, AppLogger::JOURNAL_HEADER_LEN - 1), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, BUF_NOT_ENOUGH_SPACE);
    LogMsgHeader hostile = requests[0].header;
    hostile.logLevel = 9;
    EXPECT_EQ(logger->formatLogHeader(hostile, "POSTER", header, sizeof(header)), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, LOGGER_INVALID_LOG_LEVEL);
    hostile = requests[0].header;
    hostile.dataDir = static_cast<DataDirection>(-4);
    EXPECT_EQ(logger->formatLogHeader(hostile, "POSTER", header, sizeof(header)), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, INVALID_FUNC_ARG);
}

// The LOGGER thread joins the parts in a 32768-byte buffer with the header
// and the newline: the longest payload leaves room for both.
TEST_F(AppLoggerHandOff, PayloadLimitFitsTheJoinBuffer)
{
    MessageQueue<FwIntMessage> big(32, false, true, LOW_LATENCY, false, 1000);
    g_loggerQueue.store(&big);
    auto logger = openLogger("limit");
    const std::string payload(AppLogger::MAX_LOGGER_PAYLOAD_LEN + 1, 'p');
    EXPECT_EQ(logger->logMessageFixedLength(LOG_LEVEL_INFO, payload.data(), AppLogger::MAX_LOGGER_PAYLOAD_LEN + 1,
                                            INCOMING_DATA, nullptr, true, TCP_CHANNEL, "C", nullptr, 0),
              -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, MSG_TOO_LARGE);
    EXPECT_EQ(takeAll(big).size(), 0u);

    ASSERT_EQ(logger->logMessageFixedLength(LOG_LEVEL_INFO, payload.data(), AppLogger::MAX_LOGGER_PAYLOAD_LEN,
                                            INCOMING_DATA, nullptr, true, TCP_CHANNEL, "C", nullptr, 0),
              0);
    const auto requests = takeAll(big);
    int32 total = 0;
    for (const Request& r : requests)
        total += r.header.bodyLen;
    EXPECT_EQ(requests.size(), 16u);
    EXPECT_EQ(LOG_MSG_HEADER_SIZE + total, LOG_MSG_ASSEMBLED_MAX);
    EXPECT_FALSE(requests.back().more);
}

// A file for the LOGGER thread's block writes is opened with O_DIRECT (where
// the file system allows it) and says so in every request.
TEST_F(AppLoggerHandOff, BlockModeFilesAreOpenedDirect)
{
    AppLogger logger(m_dir.path().c_str(), "direct", LOG_LEVEL_INFO, true, false, true, false, true);
    logger.setClock(fakeClock);
    if (logger.openLog() != 0)
        GTEST_SKIP() << "O_DIRECT is not supported in " << m_dir.path();
    ASSERT_EQ(logger.logMessage(LOG_LEVEL_INFO, "block"), 0);
    const auto requests = takeAll(m_queue);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_NE(requests[0].header.openFlags & O_DIRECT, 0);
    EXPECT_NE(fcntl(requests[0].header.fd, F_GETFL) & O_DIRECT, 0);
    // Thread names off: the id, even for a named thread.
    char id[17] = {};
    std::snprintf(id, sizeof(id), "%016lX", static_cast<unsigned long>(pthread_self()));
    EXPECT_EQ(requests[0].body.substr(30, 16), id);
}

TEST_F(AppLoggerHandOff, CloseIsRequestedAfterTheQueuedLines)
{
    auto logger = openLogger("close");
    ASSERT_EQ(logger->logMessage(LOG_LEVEL_INFO, "last line"), 0);
    ASSERT_EQ(logger->closeLog(), 0);
    EXPECT_FALSE(logger->isOpen());
    EXPECT_EQ(logger->logMessage(LOG_LEVEL_INFO, "after close"), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, BAD_DESCRIPTOR);

    const auto requests = takeAll(m_queue);
    ASSERT_EQ(requests.size(), 2u);
    const LogMsgHeader& close = requests[1].header;
    EXPECT_EQ(close.msgType, CLOSE_LOG_REQ);
    EXPECT_EQ(close.fd, requests[0].header.fd);
    EXPECT_EQ(close.openFlags, requests[0].header.openFlags);
    EXPECT_EQ(close.padCharacter, ' ');
    EXPECT_EQ(close.bodyLen, 0);
    EXPECT_EQ(close.loggerPtr, nullptr);
    // The descriptor is the LOGGER thread's to close.
    EXPECT_NE(fcntl(close.fd, F_GETFD), -1);
    ::close(close.fd);
}

TEST_F(AppLoggerHandOff, FullQueueLosesTheLineWithTheQueuesCode)
{
    MessageQueue<FwIntMessage> tiny(2, false, true, LOW_LATENCY, false, 1000);
    g_loggerQueue.store(&tiny);
    auto logger = openLogger("full");
    ASSERT_EQ(logger->logMessage(LOG_LEVEL_INFO, "one"), 0);
    ASSERT_EQ(logger->logMessage(LOG_LEVEL_INFO, "two"), 0);
    EXPECT_EQ(logger->logMessage(LOG_LEVEL_INFO, "three"), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, BUFFER_FULL);
    // A close that cannot be posted keeps the log open.
    EXPECT_EQ(logger->closeLog(), -1);
    EXPECT_TRUE(logger->isOpen());
    EXPECT_EQ(takeAll(tiny).size(), 2u);
    EXPECT_EQ(logger->closeLog(), 0);
    const auto requests = takeAll(tiny);
    ASSERT_EQ(requests.size(), 1u);
    ::close(requests[0].header.fd);
}

TEST_F(AppLoggerHandOff, RegisteredWithoutAQueue)
{
    g_loggerQueue.store(nullptr);
    auto logger = openLogger("noqueue");
    EXPECT_EQ(logger->logMessage(LOG_LEVEL_INFO, "nowhere"), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, LOGGER_NULL_MSGQ);
    EXPECT_EQ(logger->logMessageFixedLength(LOG_LEVEL_INFO, "x", 1, INCOMING_DATA, nullptr, true, TCP_CHANNEL, "C",
                                            nullptr, 0),
              -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, LOGGER_NULL_MSGQ);
    // The queue appears later: lines reach it.
    g_loggerQueue.store(&m_queue);
    EXPECT_EQ(logger->logMessage(LOG_LEVEL_INFO, "found"), 0);
    EXPECT_EQ(takeAll(m_queue).size(), 1u);

    // With no queue to hand it to, closing closes the descriptor here: no
    // request can name it, and it must not stay open for ever.
    g_loggerQueue.store(nullptr);
    auto orphan = openLogger("orphan");
    const std::string name = orphan->getFileName();
    auto heldOpen = [&] {
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        {
            std::error_code error;
            if (std::filesystem::read_symlink(entry.path(), error) == std::filesystem::canonical(name))
                return true;
        }
        return false;
    };
    EXPECT_TRUE(heldOpen());
    EXPECT_EQ(orphan->closeLog(), 0);
    EXPECT_FALSE(heldOpen());
}

TEST_F(AppLoggerHandOff, WithoutALoggerThreadTheFileIsWrittenLocally)
{
    LoggerRegistryLink::setFindLoggerQueue(nullptr);
    AppLogger logger(m_dir.path().c_str(), "local", LOG_LEVEL_INFO, true, false, true);
    logger.setClock(fakeClock);
    ASSERT_EQ(logger.openLog(), 0);
    EXPECT_FALSE(logger.useLoggerThread());
    ASSERT_EQ(logger.logMessage(LOG_LEVEL_INFO, "written here"), 0);
    const std::string name = logger.getFileName();
    ASSERT_EQ(logger.closeLog(), 0);
    EXPECT_EQ(readLines(name), (std::vector<std::string>{
                                   "2024/03/05 13:04:05.000042,W, POSTER          : Logger thread has not started. "
                                   "The log file [" + name + "] is logged locally!\n",
                                   "2024/03/05 13:04:05.000042,I, POSTER          : written here\n",
                               }));
}

// Threads post while the day changes under them. Every line names a
// descriptor that the LOGGER thread has not been asked to close yet, so no
// line can reach a descriptor number that was closed and reused; and every
// thread's request is its own (no shared request buffer).
TEST_F(AppLoggerHandOff, NoLineFollowsTheCloseOfItsDescriptor)
{
    MessageQueue<FwIntMessage> queue(256, false, true, LOW_LATENCY, false, 1000);
    g_loggerQueue.store(&queue);
    const time_t day0 = utc(2024, 5, 1, 23, 0, 0);
    setClock(day0);
    auto logger = openLogger("stale");

    constexpr int WRITERS = 4;
    constexpr int DAYS = 30;
    std::atomic<bool> stop{false};
    std::atomic<int64> posted{0};
    std::vector<std::thread> writers;
    for (int w = 0; w < WRITERS; ++w)
    {
        writers.emplace_back([&, w] {
            const std::string name = "WRITER_" + std::to_string(w);
            AppLogger::setThreadName(name.c_str());
            for (int i = 0; !stop.load(); ++i)
            {
                // A full queue loses the line; the writer tries again.
                while (logger->logMessage(LOG_LEVEL_INFO, "from [%s] line [%d]", name.c_str(), i) != 0)
                    ASSERT_EQ(FrameworkErrno::m_fwErrno, BUFFER_FULL);
                posted.fetch_add(1);
            }
        });
    }
    // The LOGGER thread's view: descriptors asked to close, and violations.
    std::set<int32> closed;
    std::map<std::string, int> lastLine;
    int64 taken = 0;
    std::vector<std::string> problems;
    std::atomic<bool> readerDone{false};
    std::thread reader([&] {
        auto msg = std::make_unique<FwIntMessage>();
        bool more = false;
        while (!readerDone.load() || queue.getNumElem() > 0)
        {
            if (queue.getMessage(msg.get(), more) != 0)
                continue;
            LogMsgHeader h;
            std::memcpy(&h, msg->appMsg.data.buffer, sizeof(h));
            if (h.msgType == CLOSE_LOG_REQ)
            {
                closed.insert(h.fd);
                continue;
            }
            ++taken;
            if (closed.count(h.fd) != 0)
                problems.push_back("line after the close of descriptor " + std::to_string(h.fd));
            const std::string body(msg->appMsg.data.buffer + LOG_MSG_HEADER_SIZE, static_cast<size_t>(h.bodyLen));
            const std::string from = msg->originatorTxt;
            if (body.find("from [" + from + "] line [") == std::string::npos || body.substr(30, from.size()) != from)
                problems.push_back("request of " + from + " holds " + body);
        }
    });
    for (int day = 1; day <= DAYS; ++day)
    {
        const int64 seen = posted.load();
        while (posted.load() < seen + 20)
            std::this_thread::yield();
        setClock(day0 + day * 86400);
    }
    const int64 seen = posted.load();
    while (posted.load() < seen + 20)
        std::this_thread::yield();
    stop.store(true);
    for (auto& writer : writers)
        writer.join();
    ASSERT_EQ(logger->closeLog(), 0);
    readerDone.store(true);
    reader.join();

    EXPECT_EQ(problems, std::vector<std::string>{});
    EXPECT_EQ(taken, posted.load());
    EXPECT_EQ(closed.size(), static_cast<size_t>(DAYS + 1));
    for (int32 fd : closed)
        ::close(fd);
}

} // namespace
