// The recovery message file: the record bytes, the writer's limits, backups,
// and the replay through the real thread queue of a running framework.
#include "LineHandlerTestSupport.h"

#include "kelmora/linehandler/LineHandler.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

using namespace hostrun;
using namespace lhtest;
namespace fs = std::filesystem;

namespace
{
struct TestLine : LineHandler
{
    TestLine(LineDataFactory* factory, TarvokSession& session, Log& log, std::vector<std::string>& events)
        : LineHandler(factory, session, log), events(events)
    {
    }
    void connect() override
    {
        events.push_back("connect");
        if (onConnect)
            onConnect();
    }
    void disconnect() override { events.push_back("disconnect"); }
    bool connected() const override { return false; }
    void onLineDown(const std::string&, LineStatus::StatusType, bool) override {}
    bool check(LineData&) override { return !refuse; }
    std::vector<std::string>& events;
    std::function<void()> onConnect;
    bool refuse = false;
};

struct TempDir
{
    TempDir()
    {
        std::string pattern = (fs::temp_directory_path() / "lhrecXXXXXX").string();
        path = ::mkdtemp(pattern.data());
    }
    ~TempDir() { fs::remove_all(path); }
    std::string operator/(const std::string& name) const { return (fs::path(path) / name).string(); }
    std::string path;
};

std::string readAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// A record as the file holds it, written from the format, not the writer.
std::string record(const std::string& data, unsigned seq)
{
    const std::string body = data.back() == '\n' ? data : data + "\n";
    char header[17];
    std::snprintf(header, sizeof header, "%6zu%10u", body.size(), seq);
    return header + body;
}

void saveText(LineHandler& l, LineData& d, const std::string& text, unsigned seq)
{
    d.setData(text.data(), static_cast<std::uint32_t>(text.size()));
    d.setSeqNum(seq);
    l.save(d);
}

std::string recordText(const LineData& d)
{
    return "r" + std::to_string(d.getSeqNum()) + (d.isRecovery() ? "" : "!") + ":" +
           std::string(d.getData(), d.getDataLen());
}

struct FileTest : ::testing::Test
{
    Host host;
    Thread<Starter> thread{host, "LHREC"};
    CountingFactory factory;
    TempDir dir;
    std::vector<std::string> events;
    Recorder<LineData> data{events, recordText};
    Recorder<LineStatus> statuses{events, [](const LineStatus& s) { return std::string("status:") + s.str(); }};

    std::unique_ptr<TestLine> line()
    {
        auto l = std::make_unique<TestLine>(&factory, thread.session, host.log, events);
        l->OrluPublisher<LineData>::setDestination(&data.channel);
        l->OrluPublisher<LineStatus>::setDestination(&statuses.channel);
        return l;
    }
    // A line with its recovery file "rec" open for writing, truncated.
    std::unique_ptr<TestLine> writer()
    {
        auto l = line();
        l->setRecoveryFile(dir / "rec");
        l->writeRecoveryFile(true);
        return l;
    }
};

std::time_t gNow = 0;
std::time_t fixedNow()
{
    return gNow;
}
} // namespace

TEST_F(FileTest, RecordsWithAndWithoutTheirNewlineAreIdenticalAndEmptyDataWritesNothing)
{
    auto l = writer();
    LineDataBasic d;
    saveText(*l, d, "ABC", 42);
    saveText(*l, d, "ABC\n", 42);
    d.setData("", 0);
    l->save(d);
    // Each record is on disk as soon as it is saved.
    EXPECT_EQ(readAll(dir / "rec"), "     4        42ABC\n     4        42ABC\n");
    saveText(*l, d, "Z", 4294967295u);
    EXPECT_EQ(readAll(dir / "rec").substr(40), "     24294967295Z\n");
}

TEST_F(FileTest, ARecordBeyondTheLengthFieldIsRefusedAndLaterOnesStillWritten)
{
    auto l = writer();
    LineDataBasic d;
    const std::string fits(999998, 'x');      // 999999 with its newline
    const std::string tooLong(999999, 'x');   // 1000000 with its newline
    saveText(*l, d, fits, 1);
    saveText(*l, d, tooLong, 2);
    saveText(*l, d, "after", 3);
    EXPECT_EQ(readAll(dir / "rec"), record(fits, 1) + record("after", 3));
    EXPECT_EQ(host.sink.count("LineHandler::save(): record of 1000000 bytes exceeds the limit", LOG_LEVEL_WARNING),
              1);
}

TEST_F(FileTest, WritingAppendsOrTruncatesAndAnEmptyPathClosesTheOutput)
{
    auto l = writer();
    LineDataBasic d;
    saveText(*l, d, "one", 1);
    l->writeRecoveryFile(false);
    saveText(*l, d, "two", 2);
    EXPECT_EQ(readAll(dir / "rec"), record("one", 1) + record("two", 2));
    l->writeRecoveryFile(true);
    saveText(*l, d, "three", 3);
    EXPECT_EQ(readAll(dir / "rec"), record("three", 3));
    l->setRecoveryFile("");
    l->writeRecoveryFile(true);
    saveText(*l, d, "lost", 4);
    EXPECT_EQ(readAll(dir / "rec"), record("three", 3));
    EXPECT_EQ(host.sink.count("LineHandler::writeRecoveryFile(): Empty recovery filename passed", LOG_LEVEL_INFO), 1);

    l->setRecoveryFile(dir / "no/such/dir/rec");
    l->writeRecoveryFile(true);
    EXPECT_EQ(host.sink.count("LineHandler::writeRecoveryFile(): Cannot open: ", LOG_LEVEL_ERROR), 1);
}

TEST_F(FileTest, ResetBacksUpUnderTheFormattedNameWithTheFirstFreeVersion)
{
    auto l = line();
    LineDataBasic d;
    const std::string file = dir / "rec";
    l->setRecoveryFile(file);
    l->setRecoveryFileBackupFmt(dir / "bk-%Y");
    Time now;
    now.recalcNow();
    char year[8];
    now.strFmt(year, sizeof year, "%Y", nullptr);
    const std::string base = dir / (std::string("bk-") + year);

    l->writeRecoveryFile(true);
    saveText(*l, d, "first", 1);
    l->resetRecoveryFile();
    EXPECT_EQ(readAll(base + ".1"), record("first", 1));
    EXPECT_EQ(readAll(file), "");
    saveText(*l, d, "second", 2);
    l->resetRecoveryFile();
    EXPECT_EQ(readAll(base + ".2"), record("second", 2));
    // Nothing saved since: an empty file is not backed up.
    l->resetRecoveryFile();
    EXPECT_FALSE(fs::exists(base + ".3"));
    EXPECT_EQ(host.sink.count("LineHandler::backupMsgFile(): file is empty (not backing up): "), 1);
    // The output is open again after every reset.
    saveText(*l, d, "third", 3);
    EXPECT_EQ(readAll(file), record("third", 3));
}

TEST_F(FileTest, ResetWithoutBackupFormatOnlyTruncates)
{
    auto l = writer();
    LineDataBasic d;
    saveText(*l, d, "gone", 1);
    l->resetRecoveryFile();
    EXPECT_EQ(readAll(dir / "rec"), "");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 1);
}

TEST_F(FileTest, AReplayThatCannotStartThrowsEndOfInput)
{
    auto l = line();
    l->setRecoveryFile("");
    EXPECT_THROW(l->readRecoveryFile(0, false), LineEof);
    EXPECT_EQ(host.sink.count("LineHandler::readRecoveryFile(): Empty recovery filename passed", LOG_LEVEL_ERROR), 1);
    l->setRecoveryFile(dir / "missing");
    EXPECT_THROW(l->readRecoveryFile(0, false), LineEof);
    EXPECT_EQ(host.sink.count("LineHandler::readRecoveryFile(): Cannot stat: ", LOG_LEVEL_WARNING), 1);
    EXPECT_FALSE(l->readingRecoveryFile());
}

// 45 records go out in batches of 20, 20 and 5; a message queued to the
// thread during the replay is served between batches; then one bounce.
TEST_F(FileTest, ReplayRunsInBatchesThroughTheThreadQueueThenBounces)
{
    {
        std::ofstream out(dir / "rec", std::ios::binary);
        for (unsigned i = 1; i <= 45; ++i)
            out << record("M" + std::to_string(i), i);
    }
    auto l = line();
    l->setRecoveryFile(dir / "rec");
    l->setLineStatus(LineStatus::UP);
    events.clear();

    // Other work of the thread: a thread message that queues one more of
    // itself the first time it runs.
    constexpr unsigned cOther = Zunq::APPLICATION_RESERVED + 7;
    struct Other : OrluSubscriber<Zunq::ThreadData>
    {
        Other() : OrluSubscriber<Zunq::ThreadData>("other") {}
        std::vector<std::string>* events;
        int runs = 0;
        void onData(const Orlu<Zunq::ThreadData>&, const std::string&, const Zunq::ThreadData&) override
        {
            events->push_back("other");
            if (++runs == 1)
                send();
        }
        static void send()
        {
            Zunq::ThreadData d;
            d.mDataType = cOther;
            char name[17];
            Runnable::current()->getResourceName(name);
            Runnable::current()->sendThreadMessageByThreadName(name, d, false);
        }
    } other;
    other.events = &events;
    thread.runnable->getOrluThreadData(cOther)->subscribe(&other);

    thread.runnable->start = [&] {
        l->readRecoveryFile(0, false);
        Other::send();
    };
    ASSERT_TRUE(runUntil(thread, [&] { return l->getLineStatus() == LineStatus::DOWN; }));
    thread.runnable->getOrluThreadData(cOther)->unsubscribe(&other);

    std::vector<std::string> expected = {"status:wait"};
    for (unsigned i = 1; i <= 45; ++i)
    {
        expected.push_back("r" + std::to_string(i) + ":M" + std::to_string(i) + "\n");
        if (i == 20 || i == 40)
            expected.push_back("other");
    }
    for (const char* e : {"disconnect", "status:down", "connect"})
        expected.push_back(e);
    EXPECT_EQ(events, expected);
    EXPECT_EQ(l->getMsgCount(), 45u);
    EXPECT_FALSE(l->readingRecoveryFile());
    EXPECT_EQ(host.sink.count("LineHandler::bounceLine: End of recovery file", LOG_LEVEL_ERROR), 1);
}

TEST_F(FileTest, ACheckThatRefusesEveryRecordPublishesNoneButCountsEach)
{
    {
        std::ofstream out(dir / "rec", std::ios::binary);
        for (unsigned i = 1; i <= 25; ++i)
            out << record("M", i);
    }
    auto l = line();
    l->refuse = true;
    l->setRecoveryFile(dir / "rec");
    thread.runnable->start = [&] { l->readRecoveryFile(0, false); };
    ASSERT_TRUE(runUntil(thread, [&] { return l->getLineStatus() == LineStatus::DOWN; }));
    EXPECT_EQ(events, (std::vector<std::string>{"status:wait", "disconnect", "status:down", "connect"}));
    EXPECT_EQ(l->getMsgCount(), 25u);
}

// Stopping during a batch lets it finish; no further batch runs and the
// input stays open until the next bounce.
TEST_F(FileTest, StopDuringABatchEndsTheReplayAfterIt)
{
    {
        std::ofstream out(dir / "rec", std::ios::binary);
        for (unsigned i = 1; i <= 45; ++i)
            out << record("M", i);
    }
    auto l = line();
    l->setRecoveryFile(dir / "rec");
    data.after = [&](const LineData& d) {
        if (d.getSeqNum() == 5)
            l->stopReadRecoveryFile();
    };
    // Stop a while after the stop: long enough for further batches to show.
    int ticks = 0;
    thread.runnable->start = [&] { l->readRecoveryFile(0, false); };
    ASSERT_TRUE(runUntil(thread, [&] { return l->getMsgCount() > 0 && ++ticks > 20; }));
    EXPECT_EQ(l->getMsgCount(), 20u);
    EXPECT_TRUE(l->readingRecoveryFile());
    EXPECT_EQ(l->getLineStatus(), LineStatus::WAIT);
    EXPECT_EQ(std::count(events.begin(), events.end(), "connect"), 0);
}

// A file exactly at the age limit is replayed; one second older is refused.
TEST_F(FileTest, TheAgeLimitIsFourHours)
{
    for (const char* name : {"young", "old"})
    {
        std::ofstream(dir / name, std::ios::binary) << record("Y", 1);
    }
    gNow = std::time(nullptr);
    const utimbuf young{gNow - 14400, gNow - 14400};
    const utimbuf old{gNow - 14401, gNow - 14401};
    ASSERT_EQ(::utime((dir / "young").c_str(), &young), 0);
    ASSERT_EQ(::utime((dir / "old").c_str(), &old), 0);

    auto accepted = line();
    auto refused = line();
    accepted->setWallClock(fixedNow);
    refused->setWallClock(fixedNow);
    accepted->setRecoveryFile(dir / "young");
    refused->setRecoveryFile(dir / "old");
    bool refusedThrew = false;
    thread.runnable->start = [&] {
        accepted->readRecoveryFile(0, false);
        try
        {
            refused->readRecoveryFile(0, false);
        }
        catch (const LineEof&)
        {
            refusedThrew = true;
        }
    };
    ASSERT_TRUE(runUntil(thread, [&] { return accepted->getLineStatus() == LineStatus::DOWN; }));
    EXPECT_TRUE(refusedThrew);
    EXPECT_EQ(accepted->getMsgCount(), 1u);
    EXPECT_EQ(refused->getMsgCount(), 0u);
    EXPECT_EQ(host.sink.count("LineHandler::readRecoveryFile(): Modification time of " + (dir / "old"),
                              LOG_LEVEL_WARNING),
              1);
    EXPECT_EQ(host.sink.count(") exceeds limit of 4 hours", LOG_LEVEL_WARNING), 1);
}

// A FIFO as the file: the writer holds back the second half until the first
// has been replayed, so reads come back empty in between. The replay must
// keep asking instead of stalling with its input open.
TEST_F(FileTest, AReadThatReturnsNothingRetriesFromTheNextSignal)
{
    const std::string fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    auto l = line();
    l->setRecoveryFile(fifo);
    std::atomic<int> published{0};
    data.after = [&](const LineData&) { ++published; };
    std::thread writer([&] {
        blockExitSignalsHere();
        std::ofstream out(fifo, std::ios::binary);
        for (unsigned i = 1; i <= 5; ++i)
            out << record("A", i);
        out.flush();
        for (int i = 0; i < 2000 && published < 5; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        for (unsigned i = 6; i <= 10; ++i)
            out << record("B", i);
    });
    thread.runnable->start = [&] { l->readRecoveryFile(0, false); };
    const bool done = runUntil(thread, [&] { return l->getLineStatus() == LineStatus::DOWN; },
                               std::chrono::seconds(20));
    writer.join();
    ASSERT_TRUE(done);
    EXPECT_EQ(l->getMsgCount(), 10u);
    EXPECT_EQ(published, 10);
}

// Replays each file in turn on one handler: each end of a replay connects
// the line, which starts the next file. The records each file published.
std::vector<std::vector<std::string>> replayAll(FileTest& t, const std::vector<std::string>& files)
{
    auto l = t.line();
    std::vector<std::vector<std::string>> published(files.size());
    size_t next = 0;
    size_t current = 0;
    t.data.after = [&](const LineData& d) { published[current].push_back(recordText(d)); };
    l->onConnect = [&] {
        while (next < files.size())
        {
            current = next;
            l->setRecoveryFile(files[next++]);
            try
            {
                l->readRecoveryFile(0, false);
                return;
            }
            catch (const LineEof&)
            {
            }
        }
    };
    t.thread.runnable->start = [&] { l->onConnect(); };
    EXPECT_TRUE(runUntil(t.thread, [&] { return next == files.size() && !l->readingRecoveryFile(); }));
    EXPECT_EQ(l->getMsgCount(), [&] {
        size_t n = 0;
        for (const auto& p : published)
            n += p.size();
        return n;
    }());
    t.data.after = nullptr;
    return published;
}

// A header that is not two numbers ends the replay as a corrupt file; a
// record cut short or larger than the buffer ends it too; the records
// before stay published.
TEST_F(FileTest, BadHeadersAndShortRecordsEndTheReplay)
{
    struct Case
    {
        const char* name;
        std::string bytes;
        std::vector<std::string> published;
        bool corrupt;
    };
    const std::string good = record("OK", 7);
    const std::vector<Case> cases = {
        {"letter in the length", good + "    4x        42ABC\n" + good, {"r7:OK\n"}, true},
        {"sign inside the sequence", "     4       -42ABC\n" + good, {}, true},
        {"sequence past 32 bits", "     499999999999ABC\n", {}, true},
        {"zero length", "     0         1" + good, {}, true},
        {"blank length", "              1ABC\n" + good, {}, true},
        {"plus and zeros are skipped", "  +004   +000042ABC\n", {"r42:ABC\n"}, false},
        {"data cut short", good + "     4        42AB", {"r7:OK\n"}, false},
        {"header cut short", good + "     4        4", {"r7:OK\n"}, false},
        {"larger than the buffer", good + "999999         1" + std::string(300000, 'x'), {"r7:OK\n"}, false},
        {"empty file", "", {}, false},
    };
    std::vector<std::string> files;
    for (const Case& c : cases)
    {
        files.push_back(dir / ("f" + std::to_string(files.size())));
        std::ofstream(files.back(), std::ios::binary) << c.bytes;
    }
    const auto published = replayAll(*this, files);
    int corrupt = 0;
    for (size_t i = 0; i < cases.size(); ++i)
    {
        SCOPED_TRACE(cases[i].name);
        EXPECT_EQ(published[i], cases[i].published);
        corrupt += cases[i].corrupt;
        EXPECT_EQ(host.sink.count("LineHandler::readRecovery(): corrupt recovery file " + files[i], LOG_LEVEL_ERROR),
                  cases[i].corrupt ? 1 : 0);
    }
    EXPECT_EQ(host.sink.count("LineHandler::readRecovery(): corrupt recovery file", LOG_LEVEL_ERROR), corrupt);
    EXPECT_EQ(host.sink.count("does not fit the replay buffer of 262144 bytes", LOG_LEVEL_WARNING), 1);
    EXPECT_EQ(host.sink.count("LineHandler::bounceLine: End of recovery file", LOG_LEVEL_ERROR),
              static_cast<int>(cases.size()));
}

// Random, corrupted and truncated files: every replay ends (the line goes
// down and connects again) and never reads outside its buffer.
TEST_F(FileTest, ReplayOfRandomAndTruncatedFilesAlwaysEnds)
{
    std::mt19937 rng(20261210);
    std::vector<std::string> files;
    auto add = [&](const std::string& bytes) {
        files.push_back(dir / ("f" + std::to_string(files.size())));
        std::ofstream(files.back(), std::ios::binary) << bytes;
    };
    std::string valid;
    std::vector<std::string> records;
    for (unsigned i = 1; i <= 30; ++i)
    {
        records.push_back(record(std::string(1 + rng() % 200, 'v'), i));
        valid += records.back();
    }
    // A cut file gives exactly the records it holds whole.
    std::vector<size_t> whole;
    for (int i = 0; i < 40; ++i)
    {
        const size_t cut = rng() % valid.size();
        add(valid.substr(0, cut));
        size_t n = 0;
        for (size_t end = 0; n < records.size() && end + records[n].size() <= cut; ++n)
            end += records[n].size();
        whole.push_back(n);
    }
    for (int i = 0; i < 40; ++i)
    {
        std::string bytes = valid;
        for (int k = 0; k < 5; ++k)
            bytes[rng() % bytes.size()] = static_cast<char>(rng());
        add(bytes);
    }
    for (int i = 0; i < 40; ++i)
    {
        std::string bytes(rng() % 600, '\0');
        for (char& c : bytes)
            c = static_cast<char>(rng() % 4 == 0 ? ' ' + rng() % 16 : rng());
        add(bytes);
    }
    const auto published = replayAll(*this, files);
    for (size_t i = 0; i < whole.size(); ++i)
    {
        ASSERT_EQ(published[i].size(), whole[i]) << "cut file " << i;
        for (size_t k = 0; k < whole[i]; ++k)
            EXPECT_EQ(published[i][k], "r" + std::to_string(k + 1) + ":" + records[k].substr(16)) << i << " " << k;
    }
    EXPECT_EQ(host.sink.count("LineHandler::bounceLine: End of recovery file", LOG_LEVEL_ERROR),
              static_cast<int>(files.size()));
}
