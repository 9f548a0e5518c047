// The LOGGER loop on a thread of its own, fed through its real queues by real
// AppLoggers (or hand-built requests), writing real files in a directory of
// the test's own.
#include "FendralCore/runtime/Logger.h"

#include "FendralCore/foundation/GlobalData.h"
#include "FendralCore/foundation/LogLevels.h"
#include "FendralCore/runtime/AppLogger.h"
#include "FendralCore/runtime/FrameworkResource.h"
#include "FendralCore/runtime/LoggerRegistryLink.h"
#include "FendralCore/tests/support/TestLog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <dlfcn.h>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace
{

// The wall clock as this program sees it, stepped back an hour on request:
// the library's calls resolve to this definition before the system's.
std::atomic<bool> g_wallClockSteppedBack{false};

} // namespace

extern "C" int clock_gettime(clockid_t id, timespec* ts)
{
    using ClockGetTime = int (*)(clockid_t, timespec*);
    static const auto next = reinterpret_cast<ClockGetTime>(dlsym(RTLD_NEXT, "clock_gettime"));
    const int rc = next(id, ts);
    if (rc == 0 && id == CLOCK_REALTIME && g_wallClockSteppedBack.load())
        ts->tv_sec -= 3600;
    return rc;
}

namespace
{

std::unique_ptr<FwMessageQueue> makeQueue(bool block)
{
    return std::make_unique<FwMessageQueue>(1000, false, true, CPU_UTILIZATION, block, 100);
}

struct TestThread
{
    ThreadResource res{};
    std::unique_ptr<FwMessageQueue> normal;
    std::unique_ptr<FwMessageQueue> high;

    TestThread(const char* name, bool block) : normal(makeQueue(block)), high(makeQueue(block))
    {
        std::strncpy(res.threadNameTxt, name, sizeof(res.threadNameTxt) - 1);
        res.msgQueuePtrArray[MQUEUE_NORMAL] = normal.get();
        res.msgQueuePtrArray[MQUEUE_HIGH_PRIORITY] = high.get();
        res.status.store(RES_ACTIVE);
    }
};

// The threads of the running test, for the loop's and the loggers' look-ups.
TestThread* g_loggerThread = nullptr;
TestThread* g_ctlThread = nullptr;

int32 findTestThread(const char* name, ThreadResource*& res)
{
    res = nullptr;
    if (g_loggerThread != nullptr && std::strcmp(name, "LOGGER") == 0)
        res = &g_loggerThread->res;
    else if (g_ctlThread != nullptr && std::strcmp(name, "CTL_THREAD") == 0)
        res = &g_ctlThread->res;
    return res != nullptr ? 0 : -1;
}

int32 findTestLoggerQueue(FwMessageQueue*& queue)
{
    queue = g_loggerThread != nullptr ? g_loggerThread->normal.get() : nullptr;
    return g_loggerThread != nullptr ? 0 : -1;
}

bool directIoWorks(const std::string& dir)
{
    const std::string probe = dir + "/probe";
    const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_DIRECT | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    void* block = std::aligned_alloc(512, 512);
    std::memset(block, 'x', 512);
    const bool ok = ::write(fd, block, 512) == 512;
    std::free(block);
    ::close(fd);
    ::unlink(probe.c_str());
    return ok;
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Whether a descriptor of this process refers to the file.
bool isOpenHere(const std::string& file)
{
    for (const auto& link : std::filesystem::directory_iterator("/proc/self/fd"))
    {
        std::error_code error;
        if (std::filesystem::read_symlink(link.path(), error) == std::filesystem::path(file))
            return true;
    }
    return false;
}

// A logger whose destruction a test can see.
class TrackedLogger : public AppLogger
{
public:
    TrackedLogger(const char* dir, std::atomic<bool>& destroyed)
        : AppLogger(dir, "tracked", LOG_LEVEL_DEBUG, true, false, true), m_destroyed(destroyed)
    {
    }
    ~TrackedLogger() override { m_destroyed.store(true); }

private:
    std::atomic<bool>& m_destroyed;
};

} // namespace

class LoggerThreadTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        testLog().clear();
        const char* base = std::getenv("ODIRECT_TMPDIR");
        std::string pattern = std::string(base != nullptr ? base : ".") + "/loggerthread_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_dir = std::filesystem::canonical(pattern).string();
        g_loggerThread = &m_logger;
        g_ctlThread = &m_ctl;
        LoggerRegistryLink::setFindLoggerQueue(findTestLoggerQueue);
    }

    void TearDown() override
    {
        stop();
        LoggerRegistryLink::setFindLoggerQueue(nullptr);
        g_loggerThread = nullptr;
        g_ctlThread = nullptr;
        std::filesystem::remove_all(m_dir);
    }

    void start()
    {
        m_loop = std::make_unique<Logger>(&m_logger.res, findTestThread);
        m_thread = std::thread([this] { m_result = m_loop->run(m_exitCode); });
        postEvent(*m_logger.high, INIT, 0);
        EXPECT_EQ(takeCtlEvent(), INIT_ACK);
    }

    // Ends the loop after everything posted so far on the normal queue.
    void stop()
    {
        if (!m_thread.joinable())
            return;
        postEvent(*m_logger.normal, TERM, 0);
        m_thread.join();
        m_loop.reset();
    }

    // Returns once the loop has taken everything posted before on the normal queue.
    void sync()
    {
        postEvent(*m_logger.normal, SW_ACTIVE, 0);
        ASSERT_EQ(takeCtlEvent(), SW_ACTIVE_ACK);
    }

    static void postEvent(FwMessageQueue& queue, int32 id, int32 param)
    {
        FwIntMessage msg{};
        msg.appMsg.type = MSG_EVENT;
        msg.appMsg.event.id = id;
        msg.appMsg.event.eventParam.paramInt32 = param;
        ASSERT_EQ(queue.putMessage(&msg), 0);
    }

    // Blocks until the control thread's high queue holds an event.
    int32 takeCtlEvent()
    {
        FwIntMessage msg{};
        bool more = false;
        if (m_ctl.high->getMessage(&msg, more) != 0)
            return -1;
        return msg.appMsg.event.id;
    }

    // One hand-built request part from sender.
    void postPart(const char* sender, const LogMsgHeader& header, const std::string& body, int32 partNum, bool more)
    {
        FwIntMessage msg{};
        std::strncpy(msg.originatorTxt, sender, 16);
        msg.appMsg.type = MSG_DATA;
        msg.appMsg.data.dataLen = static_cast<uint32>(LOG_MSG_HEADER_SIZE + body.size());
        msg.appMsg.data.msgPartNum = partNum;
        msg.appMsg.data.more = more;
        LogMsgHeader part = header;
        part.bodyLen = static_cast<int32>(body.size());
        std::memcpy(msg.appMsg.data.buffer, &part, sizeof(part));
        std::memcpy(msg.appMsg.data.buffer + LOG_MSG_HEADER_SIZE, body.data(), body.size());
        ASSERT_EQ(m_logger.normal->putMessage(&msg), 0);
    }

    static LogMsgHeader plainHeader(int fd, int flags)
    {
        LogMsgHeader header;
        std::memset(&header, 0, sizeof(header));
        header.msgType = LOG_MSG;
        header.fd = fd;
        header.openFlags = flags;
        header.padCharacter = ' ';
        header.logLevel = LOG_LEVEL_INFO;
        return header;
    }

    std::string path(const char* name) const { return m_dir + "/" + name; }

    void requireDirectIo()
    {
        if (!directIoWorks(m_dir))
            GTEST_SKIP() << "O_DIRECT writes are not supported in " << m_dir
                         << "; set ODIRECT_TMPDIR to a directory on a disk file system";
    }

    std::string m_dir;
    TestThread m_logger{"LOGGER", false};
    TestThread m_ctl{"CTL_THREAD", true};
    std::unique_ptr<Logger> m_loop;
    std::thread m_thread;
    int32 m_result = -1;
    int32 m_exitCode = 0;
};

TEST_F(LoggerThreadTest, AnswersControlEventsAndEndsOnTerm)
{
    start();
    postEvent(*m_logger.high, SW_STANDBY, 0);
    EXPECT_EQ(takeCtlEvent(), SW_STANDBY_ACK);
    EXPECT_EQ(m_loop->getMode(), STANDBY_MODE);
    postEvent(*m_logger.high, 999, 0);
    sync();
    EXPECT_TRUE(testLog().contains("Unexpected event message [999] received. Ignore and continue."));
    EXPECT_EQ(m_loop->getMode(), ACTIVE_MODE);
    stop();
    EXPECT_EQ(m_result, 0);
    EXPECT_EQ(m_exitCode, 0);
}

TEST_F(LoggerThreadTest, WithoutControlThreadRunFailsWithExitCode)
{
    g_ctlThread = nullptr;
    Logger loop(&m_logger.res, findTestThread);
    int32 exitCode = 0;
    EXPECT_NE(loop.run(exitCode), 0);
    EXPECT_EQ(exitCode, 1);
    EXPECT_TRUE(testLog().contains("getting main control thread resource pointer."));
}

TEST_F(LoggerThreadTest, LineModeWritesPlainAndJournalLinesAndClosesTheDescriptor)
{
    start();
    AppLogger logger(m_dir.c_str(), "app", LOG_LEVEL_DEBUG, true, false, true);
    ASSERT_EQ(logger.openLog(), 0);
    AppLogger::setThreadName("WRITER");
    ASSERT_EQ(logger.logMessage(LOG_LEVEL_INFO, "value [%d]", 42), 0);
    const timespec when{1700000000, 123456000};
    ASSERT_EQ(logger.logMessageFixedLength(LOG_LEVEL_INFO, "PAYLOAD", 7, INCOMING_DATA, &when, true, TCP_CHANNEL,
                                           "CH1", nullptr, 0),
              0);
    sync();
    const std::string text = readFile(logger.getFileName());
    const size_t nl = text.find('\n');
    ASSERT_NE(nl, std::string::npos);
    EXPECT_EQ(text.substr(30, 16), "WRITER          ");
    EXPECT_EQ(text.substr(46, nl + 1 - 46), ": value [42]\n");
    // The journal header is formatted on the LOGGER thread from the request.
    const std::string journal = text.substr(nl + 1);
    ASSERT_EQ(journal.size(), 56u + 7 + 1);
    EXPECT_EQ(journal.substr(20, 6), "123456");
    EXPECT_EQ(journal.substr(30, 16), "WRITER          ");
    EXPECT_EQ(journal.substr(46), ",    7,1:\nPAYLOAD\n");

    // Opened by the logger, closed by the LOGGER thread after the lines.
    const std::string name = logger.getFileName();
    EXPECT_TRUE(isOpenHere(name));
    ASSERT_EQ(logger.closeLog(), 0);
    sync();
    EXPECT_FALSE(isOpenHere(name));
    AppLogger::setThreadName(nullptr);
}

TEST_F(LoggerThreadTest, DroppedRequestsAreLoggedAndWriteNothing)
{
    start();
    const std::string file = path("raw.log");
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    const LogMsgHeader header = plainHeader(fd, O_WRONLY | O_APPEND);
    // Parts 0, 1 and 3 of one message: the gap loses all of it, and so does
    // the last part arriving after it.
    postPart("SENDER", header, "aaa", 0, true);
    postPart("SENDER", header, "bbb", 1, true);
    postPart("SENDER", header, "ddd", 3, true);
    postPart("SENDER", header, "eee\n", 4, false);
    postPart("SENDER", plainHeader(-1, 0), "lost\n", 0, false);
    LogMsgHeader unknown = header;
    unknown.msgType = static_cast<LogMsgType>(7);
    postPart("SENDER", unknown, "lost\n", 0, false);
    // A part longer than its message says.
    FwIntMessage bad{};
    bad.appMsg.type = MSG_DATA;
    bad.appMsg.data.dataLen = LOG_MSG_HEADER_SIZE + 4;
    LogMsgHeader lying = header;
    lying.bodyLen = 2000;
    std::memcpy(bad.appMsg.data.buffer, &lying, sizeof(lying));
    ASSERT_EQ(m_logger.normal->putMessage(&bad), 0);
    // A last part with no message begun.
    postPart("OTHER", header, "zzz\n", 2, false);
    // Then a whole message in three parts.
    postPart("SENDER", header, "one ", 0, true);
    postPart("SENDER", header, "two ", 1, true);
    postPart("SENDER", header, "three\n", 2, false);
    sync();
    EXPECT_EQ(readFile(file), "one two three\n");
    EXPECT_TRUE(testLog().contains("LOGGER: Incomplete multi-part message received from [SENDER], expected part#[2], "
                                   "received part#[3]. Message discarded."));
    EXPECT_TRUE(testLog().contains("Received DATA message with fd = -1"));
    EXPECT_TRUE(testLog().contains("Unknown DATA message type [7] received and discarded."));
    EXPECT_TRUE(testLog().contains("bodyLen [2000]. Message discarded."));
    EXPECT_TRUE(testLog().contains("Failed to locate temp buffer for [OTHER]"));
    ::close(fd);
}

TEST_F(LoggerThreadTest, JoinedMessageLargerThanTheJoinBufferIsDroppedWhole)
{
    start();
    const std::string file = path("big.log");
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    const LogMsgHeader header = plainHeader(fd, O_WRONLY | O_APPEND);
    const std::string chunk(LOG_MSG_BODY_MAX, 'x');
    // Seventeen full parts would end 144 + 17 * 2056 bytes into a 32768-byte buffer.
    for (int32 part = 0; part < 17; ++part)
        postPart("SENDER", header, chunk, part, true);
    postPart("SENDER", header, "end\n", 17, false);
    postPart("SENDER", header, "after\n", 0, false);
    sync();
    EXPECT_EQ(readFile(file), "after\n");
    EXPECT_TRUE(testLog().contains("exceeds [32768] bytes at part#[15]. Message discarded."));
    ::close(fd);
}

TEST_F(LoggerThreadTest, ReleasedLoggerOutlivesItsQueuedRequests)
{
    // Lines are queued and the logger handed over before the loop runs: the
    // loop must not format with a destroyed logger.
    std::atomic<bool> destroyed{false};
    auto* logger = new TrackedLogger(m_dir.c_str(), destroyed);
    ASSERT_EQ(logger->openLog(), 0);
    const std::string name = logger->getFileName();
    AppLogger::setThreadName("OWNER");
    const timespec when{1700000000, 0};
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(logger->logMessageFixedLength(LOG_LEVEL_INFO, "DATA", 4, INTER_THREAD_DATA, &when, false,
                                                ITC_CHANNEL, nullptr, nullptr, 0),
                  0);
    AppLogger::setThreadName(nullptr);
    ASSERT_EQ(Logger::releaseLogger(logger), 0);
    EXPECT_FALSE(destroyed.load());
    start();
    sync();
    EXPECT_TRUE(destroyed.load());
    const std::string text = readFile(name);
    ASSERT_EQ(text.size(), 3u * (48 + 5));
    EXPECT_EQ(text.substr(30, 18), "OWNER           : ");
    EXPECT_EQ(text.substr(48, 5), "DATA\n");
}

TEST_F(LoggerThreadTest, ReleaseWithoutLoggerThreadDestroysAtOnce)
{
    std::atomic<bool> destroyed{false};
    LoggerRegistryLink::setFindLoggerQueue(nullptr);
    auto* logger = new TrackedLogger(m_dir.c_str(), destroyed);
    ASSERT_EQ(logger->openLog(), 0);
    EXPECT_FALSE(logger->useLoggerThread());
    EXPECT_EQ(Logger::releaseLogger(logger), 0);
    EXPECT_TRUE(destroyed.load());
    EXPECT_EQ(Logger::releaseLogger(nullptr), 0);
}

TEST_F(LoggerThreadTest, BlockFileReachesDiskInWholeBlocksAndClosePadsWithBlanks)
{
    requireDirectIo();
    start();
    AppLogger logger(m_dir.c_str(), "blk", LOG_LEVEL_DEBUG, true, false, true, true, true);
    ASSERT_EQ(logger.openLog(), 0);
    const std::string name = logger.getFileName();
    // 48-byte header, 651 bytes, newline: 700 bytes.
    const std::string payload(651, 'p');
    ASSERT_EQ(logger.logMessageFixedLength(LOG_LEVEL_INFO, payload.data(), static_cast<uint32>(payload.size()),
                                           INTER_THREAD_DATA, nullptr, false, ITC_CHANNEL, nullptr, nullptr, 0),
              0);
    sync();
    EXPECT_EQ(std::filesystem::file_size(name), 0u) << "below the flush size nothing is written";
    ASSERT_EQ(logger.closeLog(), 0);
    sync();
    const std::string text = readFile(name);
    ASSERT_EQ(text.size(), 1024u);
    EXPECT_EQ(text.substr(48, 652), payload + "\n");
    EXPECT_EQ(text.substr(700), std::string(324, ' '));
    EXPECT_TRUE(testLog().contains("CLOSE_LOG_REQ: Flushed and closed the file, fd = "));
}

TEST_F(LoggerThreadTest, BlockFileFlushesOnceTheFlushSizeOfWholeBlocksIsBuffered)
{
    requireDirectIo();
    start();
    AppLogger logger(m_dir.c_str(), "blk", LOG_LEVEL_DEBUG, true, false, true, true, true);
    ASSERT_EQ(logger.openLog(), 0);
    const std::string name = logger.getFileName();
    // Lines of exactly 1000 bytes: five make 5000 (no write), six make 6000,
    // of which the 5632 bytes in whole blocks are written.
    const std::string payload(1000 - 48 - 1, 'q');
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(logger.logMessageFixedLength(LOG_LEVEL_INFO, payload.data(), static_cast<uint32>(payload.size()),
                                               INTER_THREAD_DATA, nullptr, false, ITC_CHANNEL, nullptr, nullptr, 0),
                  0);
    sync();
    EXPECT_EQ(std::filesystem::file_size(name), 0u);
    ASSERT_EQ(logger.logMessageFixedLength(LOG_LEVEL_INFO, payload.data(), static_cast<uint32>(payload.size()),
                                           INTER_THREAD_DATA, nullptr, false, ITC_CHANNEL, nullptr, nullptr, 0),
              0);
    sync();
    EXPECT_EQ(std::filesystem::file_size(name), 5632u);
    // The rest is written, padded, when the thread ends.
    stop();
    EXPECT_EQ(std::filesystem::file_size(name), 6144u);
}

TEST_F(LoggerThreadTest, AppendingToABlockFileStartsWithANewlineAndAnUnalignedFileFallsBackToLines)
{
    requireDirectIo();
    start();
    struct Case
    {
        const char* prefix;
        size_t existing;
        std::string expectedAfterExisting;
        bool fallsBack;
    };
    const std::string line = std::string(48, 'h') + "x\n";
    const Case cases[] = {
        {"aligned", 512, "\n", false},
        {"unaligned", 100, "", true},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.prefix);
        AppLogger logger(m_dir.c_str(), c.prefix, LOG_LEVEL_DEBUG, true, false, true, true, true);
        // Today's file with something in it already.
        {
            AppLogger probe(m_dir.c_str(), c.prefix, LOG_LEVEL_DEBUG, false, false, false);
            ASSERT_EQ(probe.openLog(), 0);
            std::ofstream(probe.getFileName(), std::ios::binary) << std::string(c.existing, 'e');
            probe.closeLog();
        }
        ASSERT_EQ(logger.openLog(), 0);
        const std::string name = logger.getFileName();
        ASSERT_EQ(logger.logMessageFixedLength(LOG_LEVEL_INFO, "x", 1, INTER_THREAD_DATA, nullptr, false, ITC_CHANNEL,
                                               nullptr, nullptr, 0),
                  0);
        ASSERT_EQ(logger.closeLog(), 0);
        sync();
        const std::string text = readFile(name);
        ASSERT_GE(text.size(), c.existing + c.expectedAfterExisting.size() + 50);
        EXPECT_EQ(text.substr(c.existing, c.expectedAfterExisting.size()), c.expectedAfterExisting);
        EXPECT_EQ(text.substr(c.existing + c.expectedAfterExisting.size() + 48, 2), "x\n");
        if (c.fallsBack)
            EXPECT_EQ(text.size(), c.existing + 50) << "written as a line, not padded";
        else
            EXPECT_EQ(text.size() % 512, 0u);
    }
    EXPECT_TRUE(testLog().contains("it is written without O_DIRECT."));
}

TEST_F(LoggerThreadTest, OpensTheMessageJournalAtStart)
{
    GlobalData& global = GlobalData::getInst();
    global.m_msgJournalEnabled = true;
    global.setAppId("APP7");
    AppLogger::setMsgJournalLocation(m_dir.c_str());
    start();
    AppLogger* journal = global.getMsgJournalLogger();
    ASSERT_NE(journal, nullptr);
    EXPECT_NE(journal->getFileName().find(m_dir + "/APP7_mj_"), std::string::npos);
    EXPECT_TRUE(std::filesystem::exists(journal->getFileName()));
    EXPECT_TRUE(testLog().contains("Message journal file [" + m_dir + "/APP7_mj] opened"));
    global.m_msgJournalEnabled = false;
}

TEST_F(LoggerThreadTest, PollingLoopWritesLinesAndEndsOnTerm)
{
    GlobalData& global = GlobalData::getInst();
    global.m_optMode.store(LOW_LATENCY);
    start();
    global.m_optMode.store(CPU_UTILIZATION);
    const std::string file = path("poll.log");
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    const LogMsgHeader header = plainHeader(fd, O_WRONLY | O_APPEND);
    for (int i = 0; i < 30; ++i)
        postPart("SENDER", header, "line " + std::to_string(i) + "\n", 0, false);
    sync();
    const std::string text = readFile(file);
    EXPECT_EQ(text.rfind("line 29\n"), text.size() - 8);
    EXPECT_EQ(text.find("line 0\n"), 0u);
    EXPECT_NE(m_logger.res.lastStatusUpdTm.load(), 0) << "status refreshed every LOG_MSG_PROC_NUM messages";
    stop();
    EXPECT_EQ(m_result, 0);
    ::close(fd);
}

// The status report is an interval: a wall clock set back must not stop it.
TEST_F(LoggerThreadTest, PollingLoopKeepsReportingItsStatusWhenTheWallClockStepsBack)
{
    GlobalData& global = GlobalData::getInst();
    global.m_optMode.store(LOW_LATENCY);
    start();
    global.m_optMode.store(CPU_UTILIZATION);
    g_wallClockSteppedBack.store(true);
    m_logger.res.lastStatusUpdTm.store(0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (m_logger.res.lastStatusUpdTm.load() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    g_wallClockSteppedBack.store(false);
    EXPECT_NE(m_logger.res.lastStatusUpdTm.load(), 0);
    stop();
}

TEST_F(LoggerThreadTest, FileAskingForAcknowledgementsGetsTheSequenceOfItsLastWrittenRequest)
{
    requireDirectIo();
    start();
    const std::string file = path("acked.log");
    const int flags = O_WRONLY | O_CREAT | O_APPEND | O_DIRECT | O_CLOEXEC;
    const int fd = ::open(file.c_str(), flags, 0644);
    ASSERT_GE(fd, 0);
    LogMsgHeader header = plainHeader(fd, flags);
    header.needAck = true;
    std::strncpy(header.fileResNameTxt, "FILE1", 16);
    header.padCharacter = '#';
    // The producer is the control thread of this test: acknowledgements go
    // to its normal queue.
    header.msgSeqNum = 7;
    postPart("CTL_THREAD", header, std::string(99, 'a') + "\n", 0, false);
    header.msgSeqNum = 8;
    postPart("CTL_THREAD", header, std::string(99, 'b') + "\n", 0, false);
    LogMsgHeader close = plainHeader(fd, flags);
    close.msgType = CLOSE_LOG_REQ;
    postPart("CTL_THREAD", close, "", 0, false);
    sync();

    FwIntMessage ack{};
    bool more = false;
    ASSERT_EQ(m_ctl.normal->getMessage(&ack, more), 0);
    EXPECT_EQ(ack.appMsg.event.id, IO_COMPL_ACK);
    EXPECT_STREQ(ack.appMsg.event.eventParam.resNameTxt, "FILE1");
    EXPECT_EQ(ack.appMsg.event.eventParam.paramInt16, 1);
    EXPECT_EQ(ack.appMsg.event.eventParam.paramInt32, fd);
    EXPECT_EQ(ack.appMsg.event.eventParam.paramInt64, 8);
    const std::string text = readFile(file);
    ASSERT_EQ(text.size(), 512u);
    EXPECT_EQ(text.substr(0, 200), std::string(99, 'a') + "\n" + std::string(99, 'b') + "\n");
    EXPECT_EQ(text.substr(200), std::string(312, '#'));
    EXPECT_FALSE(isOpenHere(file)) << "the close request closed the descriptor";
}

TEST_F(LoggerThreadTest, FlushTimerWritesAQuietBlockFileInBothLoopModes)
{
    requireDirectIo();
    for (const OptimizationMode mode : {CPU_UTILIZATION, LOW_LATENCY})
    {
        SCOPED_TRACE(mode == CPU_UTILIZATION ? "descriptor timer" : "polled timer");
        GlobalData::getInst().m_optMode.store(mode);
        start();
        GlobalData::getInst().m_optMode.store(CPU_UTILIZATION);
        const std::string file = path(mode == CPU_UTILIZATION ? "timed_cpu.log" : "timed_poll.log");
        const int flags = O_WRONLY | O_CREAT | O_APPEND | O_DIRECT | O_CLOEXEC;
        const int fd = ::open(file.c_str(), flags, 0644);
        ASSERT_GE(fd, 0);
        LogMsgHeader header = plainHeader(fd, flags);
        header.needAck = true;
        header.flushTimeout = 20;
        header.msgSeqNum = 3;
        std::strncpy(header.fileResNameTxt, "TIMED", 16);
        postPart("CTL_THREAD", header, "quiet line\n", 0, false);
        // Nothing else arrives: the timer's forced flush acknowledges.
        FwIntMessage ack{};
        bool more = false;
        ASSERT_EQ(m_ctl.normal->getMessage(&ack, more), 0);
        EXPECT_EQ(ack.appMsg.event.id, IO_COMPL_ACK);
        EXPECT_EQ(ack.appMsg.event.eventParam.paramInt64, 3);
        sync();
        const std::string text = readFile(file);
        ASSERT_EQ(text.size(), 512u);
        EXPECT_EQ(text.substr(0, 11), "quiet line\n");
        stop();
        ::close(fd);
    }
}
