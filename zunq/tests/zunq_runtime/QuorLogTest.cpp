#include "TestSupport.h"

#include "QuorPeer/QuorFrameworkPeer.h"
#include "zunq/quor/QuorLog.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace
{

TEST(QuorLog, InitLogOpensThroughTheFrameworkLogCalls)
{
    TempDir dir;
    long handle = utlGetInitLogHandle(dir.path().c_str(), "rtsd", 5);
    ASSERT_NE(handle, 0);
    const QuorPeerLog* log = quorPeerLog(handle);
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(log->directory, dir.path());
    EXPECT_EQ(log->prefix, "rtsd_init");
    EXPECT_EQ(log->level, 5);
    EXPECT_TRUE(log->concurrentLog);
    EXPECT_FALSE(log->isWriteSync);
    EXPECT_FALSE(log->useLoggerThread); // no logger thread runs yet
    EXPECT_TRUE(std::filesystem::exists(log->path));

    EXPECT_EQ(utlSetSyslogId(handle, "rtsd"), 0);
    EXPECT_EQ(log->syslogIdent, "rtsd");
    quorPeerClose(handle);
}

TEST(QuorLog, RefusesWhatDoesNotFitAndHasNoSeparateSyslogChannel)
{
    TempDir dir;
    const std::string longest(QUOR_MAX_NAME_LENGTH, 'p');
    const std::string tooLong(QUOR_MAX_NAME_LENGTH + 1, 'p');
    struct Case
    {
        const char* directory;
        const char* prefix;
        bool opens;
    };
    const Case cases[] = {
        {dir.path().c_str(), longest.c_str(), true},
        {dir.path().c_str(), tooLong.c_str(), false},
        {tooLong.c_str(), "rtsd", false},
        {nullptr, "rtsd", false},
        {dir.path().c_str(), nullptr, false},
        {dir.path().c_str(), "", false},
    };
    for (const Case& c : cases)
    {
        long handle = utlGetInitLogHandle(c.directory, c.prefix, 6);
        EXPECT_EQ(handle != 0, c.opens) << (c.prefix != nullptr ? c.prefix : "(null)");
        quorPeerClose(handle);
    }
    EXPECT_EQ(utlGetSyslogHandle(dir.path().c_str(), "rtsd"), 0);
    EXPECT_EQ(utlSetSyslogId(0, "rtsd"), -1);
    long handle = utlGetInitLogHandle(dir.path().c_str(), "rtsd", 5);
    EXPECT_EQ(utlSetSyslogId(handle, nullptr), -1);
    quorPeerClose(handle);
}

} // namespace
