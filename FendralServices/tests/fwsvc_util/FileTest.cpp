// The file calls: direct files, and files written through a real LOGGER loop
// from a thread that runs a dispatcher (a framework application thread).
#include "FendralServices/api/FwServices.h"

#include "FendralServices/tests/fwsvc_util/TempDir.h"

#include "FendralCore/dispatch/MsgDispatcher.h"
#include "FendralCore/runtime/FrameworkResource.h"
#include "FendralCore/runtime/LogMsg.h"
#include "FendralCore/runtime/Logger.h"
#include "FendralCore/runtime/LoggerRegistryLink.h"
#include "FendralCore/runtime/MessageQueue.h"
#include "FendralCore/runtime/ResourceManager.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>

namespace
{

struct TestThread
{
    ThreadResource res{};
    std::unique_ptr<FwMessageQueue> normal;
    std::unique_ptr<FwMessageQueue> high;

    TestThread(const char* name, uint32 entries, bool block)
        : normal(std::make_unique<FwMessageQueue>(entries, false, true, CPU_UTILIZATION, block, 100)),
          high(std::make_unique<FwMessageQueue>(entries, false, true, CPU_UTILIZATION, block, 100))
    {
        std::strncpy(res.threadNameTxt, name, sizeof(res.threadNameTxt) - 1);
        res.msgQueuePtrArray[MQUEUE_NORMAL] = normal.get();
        res.msgQueuePtrArray[MQUEUE_HIGH_PRIORITY] = high.get();
        res.status.store(RES_ACTIVE);
    }
};

TestThread* g_logger = nullptr;
TestThread* g_ctl = nullptr;

int32 findThread(const char* name, ThreadResource*& res)
{
    res = nullptr;
    if (g_logger != nullptr && std::strcmp(name, "LOGGER") == 0)
        res = &g_logger->res;
    else if (g_ctl != nullptr && std::strcmp(name, "CTL_THREAD") == 0)
        res = &g_ctl->res;
    return res != nullptr ? 0 : -1;
}

int32 findLoggerQueue(FwMessageQueue*& queue)
{
    queue = g_logger != nullptr ? g_logger->normal.get() : nullptr;
    return g_logger != nullptr ? 0 : -1;
}

std::string readAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string pattern(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>('A' + (i * 7 + i / 26) % 26);
    return s;
}

class FileCalls : public TempDirTest
{
protected:
    void TearDown() override
    {
        stopLogger();
        LoggerRegistryLink::setFindLoggerQueue(nullptr);
        g_logger = nullptr;
        g_ctl = nullptr;
        TempDirTest::TearDown();
    }

    // A LOGGER thread whose normal queue holds `entries` requests; with run
    // false nothing takes them (the test reads them itself).
    void startLogger(uint32 entries, bool run)
    {
        m_loggerThd = std::make_unique<TestThread>("LOGGER", entries, false);
        g_logger = m_loggerThd.get();
        g_ctl = &m_ctl;
        // The registry installs its own lookup when first used; ours goes after.
        ResourceManager::getInst();
        LoggerRegistryLink::setFindLoggerQueue(findLoggerQueue);
        if (!run)
            return;
        m_loop = std::make_unique<Logger>(&m_loggerThd->res, findThread);
        m_thread = std::thread([this] { m_loop->run(m_exitCode); });
        postEvent(*m_loggerThd->high, INIT);
        EXPECT_EQ(takeCtlEvent(), INIT_ACK);
    }

    // Returns once the loop has handled everything queued before.
    void syncLogger()
    {
        postEvent(*m_loggerThd->normal, SW_ACTIVE);
        ASSERT_EQ(takeCtlEvent(), SW_ACTIVE_ACK);
    }

    void stopLogger()
    {
        if (!m_thread.joinable())
            return;
        postEvent(*m_loggerThd->normal, TERM);
        m_thread.join();
        m_loop.reset();
    }

    static void postEvent(FwMessageQueue& queue, int32 id)
    {
        FwIntMessage msg{};
        msg.appMsg.type = MSG_EVENT;
        msg.appMsg.event.id = id;
        ASSERT_EQ(queue.putMessage(&msg), 0);
    }

    int32 takeCtlEvent()
    {
        FwIntMessage msg{};
        bool more = false;
        return m_ctl.high->getMessage(&msg, more) == 0 ? msg.appMsg.event.id : -1;
    }

    // Runs body on a thread of its own that holds a dispatcher, as the
    // framework's application threads do.
    template <typename Body>
    void onAppThread(Body body)
    {
        std::thread t([&] {
            TestThread self("APPTHD", 16, false);
            MsgDispatcher dispatcher(&self.res);
            body();
        });
        t.join();
    }

    // Takes the queued requests as the LOGGER thread would, closing on a close request.
    void drain()
    {
        FwIntMessage msg{};
        bool more = false;
        while (m_loggerThd->normal->getMessage(&msg, more) == 0)
        {
            LogMsgHeader header;
            std::memcpy(&header, msg.appMsg.data.buffer, sizeof(header));
            if (header.msgType == CLOSE_LOG_REQ)
                ::close(header.fd);
        }
    }

    TestThread m_ctl{"CTL_THREAD", 64, true};
    std::unique_ptr<TestThread> m_loggerThd;
    std::unique_ptr<Logger> m_loop;
    std::thread m_thread;
    int32 m_exitCode = 0;
};

TEST_F(FileCalls, DirectWriteReadSeekAndDelete)
{
    const std::string file = path("direct.dat");
    const long h = fileOpen("direct", file.c_str(), O_RDWR | O_CREAT, DEFAULT_PERMISSION, false, true, false, 0,
                            false);
    ASSERT_NE(h, 0) << getErrorCode();
    EXPECT_EQ(fileGetHandle("direct"), h);
    EXPECT_EQ(fileOpen("direct", file.c_str(), O_RDONLY, 0, false, false, false, 0, false), 0)
        << "a name already taken";
    EXPECT_EQ(fileWrite(h, "hello world", 11), 11) << "outside an application thread the write is direct";
    EXPECT_EQ(fileSeek(h, 6, SEEK_SET), 6);
    char buf[16] = {};
    EXPECT_EQ(fileRead(h, buf, sizeof(buf)), 5);
    EXPECT_STREQ(buf, "world");
    ASSERT_EQ(fileClose(h), 0);
    EXPECT_EQ(fileGetHandle("direct"), 0) << "the name goes with the file";
    EXPECT_EQ(fileWrite(h, "x", 1), -1) << "a closed file's handle";
    EXPECT_EQ(getErrorCode(), INVALID_FILE_HANDLE);
    EXPECT_EQ(readAll(file), "hello world");
    EXPECT_EQ(fileDelete(file.c_str()), 0);
    EXPECT_EQ(fileDelete(file.c_str()), -1);
    EXPECT_EQ(getErrorCode(), DELETE_FAILED);
}

TEST_F(FileCalls, OpenRefusals)
{
    struct Case
    {
        const char* what;
        const char* name;
        std::string file;
        int flags;
        bool remote;
        int code;
    };
    const Case cases[] = {
        {"null name", nullptr, path("a"), O_RDWR | O_CREAT, false, NULL_PARAM},
        {"empty path", "", "", O_RDWR | O_CREAT, false, NULL_PARAM},
        {"remote file", "", path("a"), O_RDWR | O_CREAT, true, REMOTE_FILE_NOT_SUPPORTED},
        {"missing directory", "", path("none/a"), O_RDWR | O_CREAT, false, FILE_OPEN_ERROR},
    };
    for (const Case& c : cases)
    {
        EXPECT_EQ(fileOpen(c.name, c.file.c_str(), c.flags, DEFAULT_PERMISSION, false, false, false, 0, c.remote), 0)
            << c.what;
        EXPECT_EQ(getErrorCode(), c.code) << c.what;
    }
    // Through the logger thread but none is running.
    onAppThread([&] {
        EXPECT_EQ(fileOpen("", path("b").c_str(), O_WRONLY | O_CREAT, DEFAULT_PERMISSION, false, true, false, 0,
                           false),
                  0);
        EXPECT_EQ(getErrorCode(), LOGGER_NOT_STARTED);
    });
}

// 5000 bytes go as three requests of 2056, 2056 and 888 bytes.
TEST_F(FileCalls, LoggerThreadWriteIsCutIntoNumberedRequests)
{
    startLogger(16, false);
    const std::string data = pattern(5000);
    onAppThread([&] {
        const long h = fileOpen("chunks", path("c.dat").c_str(), O_WRONLY | O_CREAT, DEFAULT_PERMISSION, false, true,
                                true, 7, false);
        ASSERT_NE(h, 0) << getErrorCode();
        EXPECT_EQ(fileWrite(h, data.data(), 0), 0) << "nothing sent";
        EXPECT_EQ(fileWrite(h, data.data(), static_cast<long>(data.size())), 3);
        EXPECT_EQ(fileWrite(h, data.data(), 32769), -1);
        EXPECT_EQ(getErrorCode(), MSG_TOO_LARGE);
        ASSERT_EQ(fileClose(h), 0);
    });
    const int32 lens[] = {2056, 2056, 888, 0};
    size_t offset = 0;
    for (int part = 0; part < 4; ++part)
    {
        FwIntMessage msg{};
        bool more = false;
        ASSERT_EQ(m_loggerThd->normal->getMessage(&msg, more), 0) << part;
        LogMsgHeader header;
        std::memcpy(&header, msg.appMsg.data.buffer, sizeof(header));
        EXPECT_STREQ(msg.originatorTxt, "APPTHD");
        EXPECT_EQ(header.msgType, part < 3 ? LOG_MSG : CLOSE_LOG_REQ) << part;
        EXPECT_EQ(header.bodyLen, lens[part]) << part;
        EXPECT_EQ(header.msgSeqNum, part + 1) << part;
        EXPECT_EQ(header.flushTimeout, part < 3 ? 7 : 0) << part;
        EXPECT_STREQ(header.fileResNameTxt, "chunks");
        EXPECT_EQ(msg.appMsg.data.dataLen, static_cast<uint32>(LOG_MSG_HEADER_SIZE + lens[part])) << part;
        if (part < 3)
        {
            EXPECT_EQ(msg.appMsg.data.msgPartNum, part);
            EXPECT_EQ(msg.appMsg.data.more, part < 2) << part;
            EXPECT_EQ(std::memcmp(msg.appMsg.data.buffer + LOG_MSG_HEADER_SIZE, data.data() + offset,
                                  static_cast<size_t>(lens[part])),
                      0)
                << part;
            offset += static_cast<size_t>(lens[part]);
        }
        ::close(header.fd);
    }
}

TEST_F(FileCalls, LoggerThreadWriteGivesTheExactFileBytes)
{
    startLogger(1000, true);
    const std::string data = pattern(5000);
    const std::string file = path("exact.dat");
    onAppThread([&] {
        const long h = fileOpen("exact", file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, DEFAULT_PERMISSION, false, true,
                                false, 0, false);
        ASSERT_NE(h, 0) << getErrorCode();
        EXPECT_EQ(fileWrite(h, data.data(), static_cast<long>(data.size())), 3);
        EXPECT_EQ(fileWrite(h, "tail", 4), 4);
        EXPECT_EQ(fileClose(h), 0);
    });
    syncLogger();
    EXPECT_EQ(readAll(file), data + "tail");
}

// A write the LOGGER thread's queue refuses part-way is a failure, not a
// sequence number.
TEST_F(FileCalls, LoggerThreadWriteRefusedPartWayFails)
{
    startLogger(2, false);
    onAppThread([&] {
        const long h = fileOpen("", path("full.dat").c_str(), O_WRONLY | O_CREAT, DEFAULT_PERMISSION, false, true,
                                false, 0, false);
        ASSERT_NE(h, 0) << getErrorCode();
        EXPECT_EQ(fileWrite(h, pattern(5000).data(), 5000), -1);
        EXPECT_EQ(getErrorCode(), BUFFER_FULL);
        drain();
        EXPECT_EQ(fileClose(h), 0) << "the file stays usable";
        drain();
    });
}

} // namespace
