// The extract recorder with a fixed clock: the stored bytes (meta line, hint,
// records without a line time, plain against gzip, appending), the file names
// and their failures, the daily window, and records from four threads while
// the file opens and closes.
#include "../host_runnable/RunnableTestSupport.h"
#include "ExtractTestSupport.h"

#include "kelmora/bus/TerminateAll.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

using extracttest::FixedClock;
using extracttest::Record;

namespace
{

const TimeZone* utc()
{
    return TimeZone::getTimeZone("UTC");
}

class ExtractPlaybackTest : public HostFixture
{
protected:
    void SetUp() override
    {
        HostFixture::SetUp();
        mDirPath = mDir.write("probe", "");
        mDirPath = mDirPath.substr(0, mDirPath.rfind('/'));
        // A session with a thread, so that the check timer can be made (it never fires here).
        mSession.setName("CTRL");
        mSession.setLog(&mLog);
        mSession.setRunnable(mRunnable.get());
        mRunnable->setTarvokSession(&mSession);
    }
    void TearDown() override
    {
        // The Runnable's own timers refer to the session: it goes first.
        mRunnable.reset();
        HostFixture::TearDown();
    }
    std::unique_ptr<ExtractPlayback> make(const std::string& pattern, const std::string& start = "",
                                          const std::string& stop = "", bool meta = true)
    {
        auto ep = std::make_unique<ExtractPlayback>(mSession, mLog, pattern.empty() ? "" : path(pattern), start,
                                                    stop, meta, nullptr, mClock.clock());
        ep->setTimeZone("UTC");
        return ep;
    }
    std::string path(const std::string& name) const { return mDirPath + "/" + name; }
    void write(ExtractPlayback& ep, const LineData& line) { ep.onData(mChannel, "line", line); }

    TempDir mDir;
    std::string mDirPath;
    FixedClock mClock;
    const char* mArgv[1] = {"extract"};
    ZunqConfigManager mCfg{1, mArgv};
    ModuleList mModules;
    std::unique_ptr<Runnable> mRunnable = std::make_unique<Runnable>("CTRL", mCfg, mModules, mLog, 10000u);
    TarvokSession mSession;
    Orlu<LineData> mChannel{"LineData.A", ""};
};

TEST_F(ExtractPlaybackTest, RecordsAreStoredByteForByte)
{
    Record hello("HELLO");
    hello.line.setLineTime(Time("2024-03-01 09:01:02.123456", utc()));
    Record untimed("x", "10.1.2.3", -1);
    mClock.set("2024-03-01 10:00:00.5", utc());
    Record empty("");
    empty.line.setLineTime(Time("2024-03-01 23:59:59.999999", utc()));
    const std::string binary("a\nb\0c", 5);
    Record raw(binary);
    raw.line.setLineTime(Time("2024-03-01 00:00:00", utc()));

    auto ep = make("golden.play");
    ASSERT_TRUE(ep->isOpen());
    for (const Record* r : {&hello, &untimed, &empty, &raw})
        write(*ep, r->line);
    ep.reset();
    EXPECT_EQ(extracttest::readFile(path("golden.play")),
              "*M*E*T*A*S*T*A*R*T*/4/5/h/7/09:01:02.123/1709283662.123456//*M*E*T*A*E*N*D*HELLO\n"
              "*M*E*T*A*S*T*A*R*T*/4/1/10.1.2.3/-1/10:00:00.500/1709287200.500000//*M*E*T*A*E*N*D*x\n"
              "*M*E*T*A*S*T*A*R*T*/4/0/h/7/23:59:59.999/1709337599.999999//*M*E*T*A*E*N*D*\n"
              "*M*E*T*A*S*T*A*R*T*/4/5/h/7/00:00:00.000/1709251200.000000//*M*E*T*A*E*N*D*" +
                  binary + "\n");

    // Without meta lines each record is its bytes and a line feed.
    auto bare = make("bare.play", "", "", false);
    write(*bare, hello.line);
    write(*bare, raw.line);
    bare.reset();
    EXPECT_EQ(extracttest::readFile(path("bare.play")), "HELLO\n" + binary + "\n");
}

TEST_F(ExtractPlaybackTest, TheHintIsCutAt128Characters)
{
    Record hello("HELLO");
    hello.line.setLineTime(Time("2024-03-01 09:01:02.123456", utc()));
    const std::string hint(130, 'k');
    auto ep = make("hint.play");
    ep->setExtractHint(hint.c_str());
    write(*ep, hello.line);
    ep->setExtractHint("feed A");
    write(*ep, hello.line);
    ep.reset();
    std::string rest;
    const auto records = extracttest::parseRecords(extracttest::readFile(path("hint.play")), rest);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].fields[6], hint.substr(0, 128));
    EXPECT_EQ(records[1].fields[6], "feed A");
    EXPECT_EQ(rest, "");
}

TEST_F(ExtractPlaybackTest, GzipHoldsTheSameBytesAsPlainAndBothAppend)
{
    std::ofstream(path("both.play")) << "kept\n";
    std::vector<std::unique_ptr<Record>> records;
    for (int i = 0; i < 50; ++i)
    {
        records.push_back(std::make_unique<Record>(std::string(static_cast<std::size_t>(i * 7), char('a' + i % 26))));
        records.back()->line.setLineTime(Time("2024-03-01 09:30:00", utc()));
    }
    // Two openings each, so that both files are appended to.
    for (const std::string name : {"both.play", "both.play.gz"})
    {
        auto ep = make(name);
        for (int i = 0; i < 25; ++i)
            write(*ep, records[static_cast<std::size_t>(i)]->line);
        ep->reset(path(name));
        for (int i = 25; i < 50; ++i)
            write(*ep, records[static_cast<std::size_t>(i)]->line);
    }
    const std::string plain = extracttest::readFile(path("both.play"));
    ASSERT_EQ(plain.rfind("kept\n", 0), 0u);
    std::string rest;
    EXPECT_EQ(extracttest::parseRecords(plain.substr(5), rest).size(), 50u);
    EXPECT_EQ(rest, "");
    EXPECT_EQ("kept\n" + extracttest::inflateFile(path("both.play.gz")), plain);
    const std::string check = "gzip -t '" + path("both.play.gz") + "'";
    EXPECT_EQ(std::system(check.c_str()), 0);
}

TEST_F(ExtractPlaybackTest, TheNameIsExpandedWhenTheFileOpensAndABadOneOpensNothing)
{
    mClock.set("2024-03-01 12:00:00");
    auto dated = make("x_%Y%m%d.play");
    EXPECT_TRUE(dated->isOpen());
    EXPECT_TRUE(std::filesystem::exists(path("x_20240301.play")));
    // The next opening takes the day it opens on.
    mClock.set("2024-03-02 00:00:01");
    dated->reset(path("x_%Y%m%d.play"));
    EXPECT_TRUE(std::filesystem::exists(path("x_20240302.play")));
    dated.reset();

    struct Case
    {
        std::string pattern;
        std::string logged;
    };
    const Case cases[] = {
        {std::string(1030, 'y'), "ExtractPlayback: strftime() failed (no playback being recorded)"},
        {std::string(600, 'y') + "%c%c%c%c%c%c%c%c%c%c%c%c%c%c%c%c%c%c%c%c", "strftime() failed"},
        {"missing/dir/x.play", "ExtractPlayback: cannot open: "},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.pattern);
        const int before = mSink.count(c.logged);
        auto ep = make(c.pattern);
        EXPECT_FALSE(ep->isOpen());
        EXPECT_EQ(mSink.count(c.logged), before + 1);
        Record r("dropped");
        write(*ep, r.line);
    }
    EXPECT_FALSE(std::filesystem::exists(path("missing")));
}

TEST_F(ExtractPlaybackTest, TheWindowOpensAndClosesStrictlyBetweenItsEdges)
{
    struct Case
    {
        std::string start;
        std::string stop;
        std::string now;
        bool open;
    };
    const Case cases[] = {
        {"09:01", "09:10", "09:00:00", false},
        {"09:01", "09:10", "09:01:00", false},
        {"09:01", "09:10", "09:01:00.000001", true},
        {"09:01", "09:10", "09:05:00", true},
        {"09:01", "09:10", "09:09:59.999999", true},
        {"09:01", "09:10", "09:10:00", false},
        {"09:01", "09:10", "12:00:00", false},
        {"22:00", "06:00", "23:00:00", true},
        {"22:00", "06:00", "05:00:00", true},
        {"22:00", "06:00", "12:00:00", false},
        {"22:00", "06:00", "22:00:00", false},
        {"22:00", "06:00", "06:00:00", false},
        {"", "", "03:00:00", true},
    };
    auto ep = make("window.play");
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.start + "-" + c.stop + " at " + c.now);
        mClock.set("2024-03-01 " + c.now);
        ep->setStartTime(c.start);
        ep->setStopTime(c.stop);
        ep->check();
        EXPECT_EQ(ep->isOpen(), c.open);
        // Only a same-day window that is open counts as extracting.
        EXPECT_EQ(ep->isCurrentlyExtracting(), c.open && !c.start.empty() && c.start < c.stop);
    }
}

TEST_F(ExtractPlaybackTest, AStartAloneRecordsFromItsTimeOnForGood)
{
    mClock.set("2024-03-01 09:00:00");
    auto ep = make("start.play", "09:01");
    EXPECT_FALSE(ep->isOpen());
    EXPECT_EQ(mSink.count("ExtractPlayback: starting reset timer..."), 1);
    mClock.set("2024-03-01 09:01:30");
    ep->check();
    EXPECT_TRUE(ep->isOpen());
    EXPECT_EQ(mSink.count("ExtractPlayback: stopping reset timer"), 1);
    EXPECT_FALSE(ep->getStartTime().isSet());
    // The next day's morning changes nothing.
    mClock.set("2024-03-02 08:00:00");
    Record r("later");
    write(*ep, r.line);
    EXPECT_TRUE(ep->isOpen());
    ep.reset();
    EXPECT_NE(extracttest::readFile(path("start.play")).find("later\n"), std::string::npos);
}

TEST_F(ExtractPlaybackTest, AnEmptyPatternRecordsNothingAndTerminateAllClosesForGood)
{
    auto none = make("");
    EXPECT_FALSE(none->isOpen());
    Record r("x");
    write(*none, r.line);
    none->setStartTime("09:01");
    EXPECT_EQ(mSink.count("ExtractPlayback: starting reset timer..."), 0);

    auto ep = make("stopped.play");
    write(*ep, r.line);
    ep->reset("");
    EXPECT_FALSE(ep->isOpen());
    write(*ep, r.line);
    ep->reset(path("stopped.play"));
    ASSERT_TRUE(ep->isOpen());
    Orlu<TerminateAll> terminate("TerminateAll", "");
    terminate.subscribe(ep.get());
    OrluPublisher<TerminateAll> terminator("Terminator");
    terminator.setDestination(&terminate);
    terminator.publish(TerminateAll("no reason!"));
    EXPECT_FALSE(ep->isOpen());
    ep->check();
    ep->reset(path("stopped.play"));
    EXPECT_FALSE(ep->isOpen());
    write(*ep, r.line);
    terminate.unsubscribe(ep.get());
    ep.reset();
    std::string rest;
    EXPECT_EQ(extracttest::parseRecords(extracttest::readFile(path("stopped.play")), rest).size(), 1u);
}

TEST_F(ExtractPlaybackTest, FourFeedThreadsWhileTheFileOpensAndClosesLeaveOnlyWholeRecords)
{
    constexpr int cThreads = 4;
    constexpr int cOpenings = 100;
    // Recorded from real threads' time: the default clock.
    const std::string file = path("busy.play");
    ExtractPlayback ep(mSession, mLog, "", "", "", true, nullptr);
    std::vector<std::unique_ptr<Orlu<LineData>>> channels;
    for (int t = 0; t < cThreads; ++t)
    {
        channels.push_back(std::make_unique<Orlu<LineData>>("LineData." + std::to_string(t), ""));
        channels.back()->subscribe(&ep);
    }
    // Record n of thread t: its name, then a length and filler that depend on both.
    auto bytes = [](int t, int n) {
        const std::string head = "T" + std::to_string(t) + "#" + std::to_string(n) + ":";
        return head + std::string(static_cast<std::size_t>((t * 131 + n * 17) % 400), char('a' + (t + n) % 26));
    };
    std::atomic<bool> stop{false};
    std::vector<std::thread> feeds;
    for (int t = 0; t < cThreads; ++t)
        feeds.emplace_back([&, t] {
            OrluPublisher<LineData> line("line" + std::to_string(t));
            line.setDestination(channels[static_cast<std::size_t>(t)].get());
            LineDataBasic record;
            for (int n = 0; !stop; ++n)
            {
                const std::string data = bytes(t, n);
                record.setData(data.data(), static_cast<std::uint32_t>(data.size()));
                line.publish(record);
            }
        });
    // Each opening lasts until some record has gone in, at most two seconds.
    std::uintmax_t size = 0;
    for (int opening = 0; opening < cOpenings; ++opening)
    {
        ep.reset(file);
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (std::filesystem::file_size(file) == size && std::chrono::steady_clock::now() < until)
            std::this_thread::yield();
        ep.reset("");
        size = std::filesystem::file_size(file);
    }
    stop = true;
    for (std::thread& f : feeds)
        f.join();
    for (auto& channel : channels)
        channel->unsubscribe(&ep);

    std::string rest;
    const auto records = extracttest::parseRecords(extracttest::readFile(file), rest);
    EXPECT_EQ(rest, "");
    EXPECT_GE(records.size(), static_cast<std::size_t>(cOpenings));
    std::vector<int> last(cThreads, -1);
    for (const auto& p : records)
    {
        const int t = std::stoi(p.data.substr(1));
        const int n = std::stoi(p.data.substr(p.data.find('#') + 1));
        ASSERT_TRUE(t >= 0 && t < cThreads) << p.data;
        EXPECT_EQ(p.data, bytes(t, n));
        EXPECT_EQ(p.fields[1], std::to_string(p.data.size()));
        // Each thread's records in its own order, none twice.
        EXPECT_GT(n, last[static_cast<std::size_t>(t)]);
        last[static_cast<std::size_t>(t)] = n;
    }
}

} // namespace
