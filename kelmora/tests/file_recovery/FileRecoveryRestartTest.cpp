// Restarts over a real segment: a forked first run publishes and ends, the
// next run replays the test plug-in's recording without publishing again and
// resumes the line filter behind the point; a run killed during its recovery
// leaves the point to the one after it; a segment that is not this pool's is
// refused.
#include "../host_bus/HostTestSupport.h"
#include "../linefilter/LineFilterTestSupport.h"
#include "FileRecoveryTestSupport.h"

#include "kelmora/runtime/InitModuleError.h"
#include "kelmora/thread/TarvokSession.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <map>

using namespace frtest;

namespace
{

constexpr std::uint16_t cChannel = 1;

// One run of the plug-in: the recovery handler over the segment of `key`,
// and the partition's handler attached to its record.
struct PluginRun
{
    PluginRun(key_t key, Log& log, int fd = -1) : recovery(key, 16, log, session), handler("A", log), published(fd)
    {
        recovery.sleep = [](std::chrono::milliseconds) {};
        handler.MsgZunqPublisher::setDestination(&published.channel);
        handler.addSubFeedSeqNum(cChannel, recovery.getSeqNumStorer("A"));
        recovery.addSeqNumClien(&handler);
    }
    // The live feed.
    void live(std::uint64_t first, std::uint64_t last)
    {
        for (std::uint64_t s = first; s <= last; ++s)
            handler.publish(cChannel, s, 0);
    }

    TarvokSession session;
    recording::RecoveryHandler recovery;
    PublishingHandler handler;
    Published published;
};

// Runs `body` in a child process; its exit code (-1: killed or not run).
int inChild(const std::function<int()>& body)
{
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(body());
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

// The numbers a file of lines holds.
std::vector<std::uint64_t> readNumbers(const std::string& path)
{
    std::vector<std::uint64_t> out;
    std::ifstream in(path);
    std::uint64_t n = 0;
    while (in >> n)
        out.push_back(n);
    return out;
}

class FileRecoveryRestart : public HostFixture
{
protected:
    void TearDown() override
    {
        for (key_t key : mKeys)
            EXPECT_TRUE(removeSegments(key)) << key;
        HostFixture::TearDown();
    }
    key_t key(int n)
    {
        mKeys.push_back(testKey(n));
        removeSegments(mKeys.back());
        return mKeys.back();
    }

    TempDir mDir;
    std::vector<key_t> mKeys;
};

TEST_F(FileRecoveryRestart, ARestartReplaysWithoutPublishingAgainAndResumesBehindThePoint)
{
    struct Case
    {
        const char* what;
        std::string recording;
        std::uint32_t next;
        std::uint64_t lastHanded;
    };
    const std::vector<Case> cases = {
        {"the recording reaches past the point", recording::packets(1, 150), 101, 100},
        {"the recording ends before the point", recording::packets(1, 80), 81, 80},
        {"the recording ends with a sequence reset", recording::packets(1, 90) + recording::encode({91, {"r"}, true}),
         1, 91},
    };
    int n = 0;
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        const key_t k = key(n++);
        const std::string path = mDir.write("day" + std::to_string(n) + ".rec", c.recording);
        // The first run publishes up to 100 and ends.
        ASSERT_EQ(inChild([&] {
                      PluginRun first(k, mLog);
                      first.live(1, 100);
                      return first.published.taken().size() == 100 ? 0 : 1;
                  }),
                  0);

        PluginRun again(k, mLog);
        FilterBench filter;
        ASSERT_TRUE(again.recovery.recover(again.handler, path, &filter.mFilter, cChannel, true));
        EXPECT_EQ(filter.mFilter.getNextSeqNum(), c.next);
        // Everything up to the point rebuilt the handler's state; nothing of it went out.
        const std::vector<std::string> handed = again.handler.handed();
        ASSERT_EQ(handed.size(), c.lastHanded);
        EXPECT_EQ(handed.front(), "1/0 m1@main");
        EXPECT_TRUE(again.published.taken().empty());
        if (c.next != 1)
        {
            // The live feed goes on where the filter resumes; what lies beyond the point goes out.
            again.live(c.next, 105);
            const std::vector<std::uint64_t> published = again.published.taken();
            ASSERT_FALSE(published.empty());
            EXPECT_EQ(published.front(), 101u);
        }
        again.recovery.detachShm();
    }
}

// A process that dies while replaying, before the live feed has passed the
// point it recovers to, must not make the next start publish again.
TEST_F(FileRecoveryRestart, ARunKilledDuringItsRecoveryLeadsToNothingPublishedTwice)
{
    const key_t k = key(0);
    const std::string path = mDir.write("day.rec", recording::packets(1, 100));
    const std::string report = mDir.write("published", "");
    const int fd = ::open(report.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    ASSERT_GE(fd, 0);

    ASSERT_EQ(inChild([&] {
                  PluginRun first(k, mLog, fd);
                  first.live(1, 100);
                  return 0;
              }),
              0);

    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t second = ::fork();
    if (second == 0)
    {
        PluginRun run(k, mLog, fd);
        run.handler.onMessage = [&](std::uint64_t seq) {
            if (seq != 50)
                return;
            // Half way through the replay: tell the test, and wait to be killed.
            if (::write(ready[1], "x", 1) != 1)
                ::_exit(2);
            for (;;)
                ::pause();
        };
        FilterBench filter;
        run.recovery.recover(run.handler, path, &filter.mFilter, cChannel, true);
        ::_exit(3);
    }
    ASSERT_GT(second, 0);
    pollfd wait{ready[0], POLLIN, 0};
    const bool halfWay = ::poll(&wait, 1, 30000) == 1;
    ::kill(second, SIGKILL);
    ::waitpid(second, nullptr, 0);
    ASSERT_TRUE(halfWay);

    {
        PluginRun third(k, mLog, fd);
        FilterBench filter;
        ASSERT_TRUE(third.recovery.recover(third.handler, path, &filter.mFilter, cChannel, true));
        EXPECT_EQ(filter.mFilter.getNextSeqNum(), 101u);
        third.live(101, 110);
        third.recovery.detachShm();
    }
    ::close(fd);
    ::close(ready[0]);
    ::close(ready[1]);

    std::vector<std::uint64_t> published = readNumbers(report);
    std::sort(published.begin(), published.end());
    std::vector<std::uint64_t> once(110);
    for (std::uint64_t s = 1; s <= 110; ++s)
        once[s - 1] = s;
    EXPECT_EQ(published, once);
}

// The recovery point record goes once the live feed has passed it: a later
// run that started its numbers again is not held back by it.
TEST_F(FileRecoveryRestart, ThePointIsLetGoOnceTheLiveFeedHasPassedIt)
{
    const key_t k = key(0);
    const std::string path = mDir.write("day.rec", recording::packets(1, 120));
    ASSERT_EQ(inChild([&] {
                  PluginRun first(k, mLog);
                  first.live(1, 100);
                  return 0;
              }),
              0);
    ASSERT_EQ(inChild([&] {
                  PluginRun second(k, mLog);
                  FilterBench filter;
                  second.recovery.recover(second.handler, path, &filter.mFilter, cChannel, true);
                  second.live(101, 120);
                  // A new day: the feed numbers from 1 again.
                  second.handler.setSeqNums(cChannel, 5, 0);
                  return 0;
              }),
              0);
    PluginRun third(k, mLog);
    std::uint64_t seq = 0;
    std::uint64_t sub = 0;
    std::uint64_t zunq = 0;
    ASSERT_TRUE(third.handler.getRecoverySeqNums(cChannel, seq, sub, zunq));
    EXPECT_EQ(seq, 5u);
    third.recovery.detachShm();
}

TEST_F(FileRecoveryRestart, ASegmentThatIsNotThisPoolIsRefused)
{
    struct Case
    {
        const char* what;
        std::function<void(key_t)> prepare;
    };
    const std::vector<Case> cases = {
        {"another size", [](key_t k) { ::shmget(k, 4096, IPC_CREAT | 0600); }},
        {"counters that do not describe the pool",
         [&](key_t k) {
             {
                 TarvokSession session;
                 recording::RecoveryHandler built(k, 16, mLog, session);
                 built.detachShm();
             }
             const int id = ::shmget(k, 0, 0);
             auto* base = static_cast<char*>(::shmat(id, nullptr, 0));
             // The pool's first free entry, past its end.
             const std::int64_t bad = 1 << 20;
             std::memcpy(base + 32 + 24, &bad, sizeof bad);
             ::shmdt(base);
         }},
    };
    int n = 0;
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        const key_t k = key(n++);
        c.prepare(k);
        const int before = mSink.count("ERROR: Attaching to shared memory segment");
        TarvokSession session;
        try
        {
            recording::RecoveryHandler refused(k, 16, mLog, session);
            ADD_FAILURE() << "attached";
        }
        catch (const InitModuleError& e)
        {
            EXPECT_STREQ(e.what(), "FileRecoveryHandler: Allocating sequence numbers pool.");
        }
        EXPECT_GT(mSink.count("ERROR: Attaching to shared memory segment"), before);
        // Nothing stays attached.
        EXPECT_EQ(attachments(k), 0);
    }
}

} // namespace
