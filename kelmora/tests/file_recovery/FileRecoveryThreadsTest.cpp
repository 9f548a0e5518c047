// File recovery on framework threads: a replay handed to a timer on the
// reader's thread while recover waits on another, a recording still being
// written, replays that fail there, a timer the framework refuses, and the end
// of the process while two sub-feed threads write their records.
#include "../host_bus/HostTestSupport.h"
#include "../host_runnable/SessionThreadSupport.h"
#include "../linefilter/LineFilterTestSupport.h"
#include "FileRecoveryTestSupport.h"

#include "kelmora/thread/TarvokTimer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <set>
#include <thread>

using namespace frtest;

namespace
{

// A test's temporary directory and segment, both removed at its end.
struct Place
{
    Place() : key(testKey()) { removeSegments(key); }
    ~Place() { EXPECT_TRUE(removeSegments(key)); }
    std::string write(const std::string& name, const std::string& bytes) const { return dir.write(name, bytes); }
    TempDir dir;
    key_t key;
};

// A partition of the plug-in: its handler attached to the record that an
// earlier run left at `published`.
struct Partition
{
    Partition(recording::RecoveryHandler& recovery, const std::string& name, std::uint16_t channel,
              std::uint64_t published, Log& log)
        : handler(name, log), channel(channel)
    {
        handler.MsgZunqPublisher::setDestination(&out.channel);
        Zunq::Utils::SeqNumStorageItem* record = recovery.getSeqNumStorer(name);
        record->mSeqNum = published;
        handler.addSubFeedSeqNum(channel, record);
        recovery.addSeqNumClien(&handler);
    }
    // The sequence numbers handed over, and the threads they were handed on.
    std::vector<std::uint64_t> seqs() const
    {
        std::vector<std::uint64_t> out;
        for (const std::string& h : handler.handed())
            out.push_back(std::stoull(h.substr(0, h.find('/'))));
        return out;
    }
    std::set<std::string> threads(std::size_t from) const
    {
        std::set<std::string> out;
        const std::vector<std::string> handed = handler.handed();
        for (std::size_t i = from; i < handed.size(); ++i)
            out.insert(handed[i].substr(handed[i].find('@') + 1));
        return out;
    }

    PublishingHandler handler;
    Published out;
    FilterBench filter;
    std::uint16_t channel;
};

std::vector<std::uint64_t> range(std::uint64_t first, std::uint64_t last)
{
    std::vector<std::uint64_t> out;
    for (std::uint64_t s = first; s <= last; ++s)
        out.push_back(s);
    return out;
}

// With start 0 the first packet is read before the hand-over: it is handed
// over once, the rest on the reader's thread as the file grows.
TEST(FileRecoveryThreads, AGrowingRecordingIsFollowedOnTheReadersThread)
{
    Place place;
    hostrun::Host host;
    hostrun::Thread<> reader(host, "READER");
    hostrun::SessionScript script(host);
    script.serve(reader);
    recording::RecoveryHandler recovery(place.key, 16, host.log, reader.session);
    recovery.setRunningInDifferentThread(true);
    // The reader's waits, by thread: none may stall the reader's thread.
    std::mutex sleptLock;
    std::set<std::string> sleptOn;
    recovery.sleep = [&](std::chrono::milliseconds) {
        char name[17] = {};
        std::lock_guard lock(sleptLock);
        sleptOn.insert(Runnable::current() != nullptr && getCurrentThreadName(name) == 0 ? name : "main");
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    Partition a(recovery, "A", 1, 100, host.log);
    const std::string path = place.write("day.rec", recording::packets(1, 10));

    bool recovered = false;
    std::uint32_t next = 0;
    ASSERT_TRUE(script.run([&] {
        std::thread writer([&] {
            hostrun::blockExitSignals();
            for (std::uint64_t s = 11; s <= 120; ++s)
            {
                const std::string packet = recording::packets(s, s);
                // Now and then a packet arrives in two writes, long enough
                // apart for the reader to find it cut.
                const std::size_t cut = s % 10 == 0 ? 10 : packet.size();
                append(path, packet.substr(0, cut));
                std::this_thread::sleep_for(std::chrono::milliseconds(cut < packet.size() ? 20 : 2));
                if (cut < packet.size())
                    append(path, packet.substr(cut));
            }
        });
        recovered = recovery.recover(a.handler, path, &a.filter.mFilter, a.channel, true);
        next = a.filter.mFilter.getNextSeqNum();
        writer.join();
    }));
    EXPECT_TRUE(recovered);
    EXPECT_EQ(next, 101u);
    EXPECT_EQ(a.seqs(), range(1, 100));
    EXPECT_EQ(a.threads(0), (std::set<std::string>{"DRIVER", "READER"}));
    EXPECT_EQ(a.threads(1), std::set<std::string>{"READER"});
    EXPECT_TRUE(a.out.taken().empty());
    EXPECT_EQ(sleptOn.count("READER"), 0u);
    recovery.detachShm();
}

// A replay that fails on the reader's thread ends the wait at once, and one
// whose recording stops growing after its 10 seconds of (injected) time; on
// the reader's own thread recover replays inline.
TEST(FileRecoveryThreads, AReplayThatFailsOnItsThreadEndsTheWaitWithFailure)
{
    Place place;
    hostrun::Host host;
    hostrun::Thread<> reader(host, "READER");
    hostrun::SessionScript script(host);
    script.serve(reader);
    recording::RecoveryHandler recovery(place.key, 16, host.log, reader.session);
    recovery.setRunningInDifferentThread(true);
    // Each reading of the reader's clock is a tenth of a second later.
    std::atomic<std::int64_t> fakeNs{0};
    recovery.clock = [&] { return fakeNs.fetch_add(100000000) + 100000000; };
    Partition broken(recovery, "A", 1, 100, host.log);
    Partition stopped(recovery, "B", 2, 100, host.log);
    Partition inline_(recovery, "C", 3, 100, host.log);
    std::string bad = recording::packets(51, 51);
    const std::uint16_t tooLong = 300;
    std::memcpy(&bad[16], &tooLong, 2);
    const std::string brokenPath = place.write("a.rec", recording::packets(1, 50) + bad);
    const std::string stoppedPath = place.write("b.rec", recording::packets(1, 50));
    const std::string inlinePath = place.write("c.rec", recording::packets(1, 120));

    bool brokenOk = true;
    bool stoppedOk = true;
    bool inlineOk = false;
    std::chrono::milliseconds brokenTook{0};
    std::chrono::milliseconds stoppedTook{0};
    ASSERT_TRUE(script.run([&] {
        auto start = std::chrono::steady_clock::now();
        brokenOk = recovery.recover(broken.handler, brokenPath, &broken.filter.mFilter, broken.channel, true);
        brokenTook = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        start = std::chrono::steady_clock::now();
        stoppedOk = recovery.recover(stopped.handler, stoppedPath, &stopped.filter.mFilter, stopped.channel, true);
        stoppedTook = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        EXPECT_TRUE(hostrun::runOnSession(reader.session, [&] {
            inlineOk = recovery.recover(inline_.handler, inlinePath, &inline_.filter.mFilter, inline_.channel, true);
        }));
    }));
    EXPECT_FALSE(brokenOk);
    EXPECT_LT(brokenTook, std::chrono::seconds(5));
    EXPECT_EQ(broken.seqs(), range(1, 50));
    EXPECT_EQ(host.sink.count("RecoveryLocalFileReader::processMessages(): packet [51] message 0 of 1 takes 300 bytes",
                              LOG_LEVEL_ERROR),
              1);

    EXPECT_FALSE(stoppedOk);
    EXPECT_LT(stoppedTook, std::chrono::seconds(5));
    EXPECT_EQ(stopped.seqs(), range(1, 50));
    EXPECT_EQ(stopped.filter.mFilter.getNextSeqNum(), 51u);
    EXPECT_EQ(host.sink.count("RecoveryLocalFileReader::onTimer(): Timed out waiting for data.", LOG_LEVEL_ERROR), 1);
    EXPECT_EQ(host.sink.count("FileRecoveryHandler::recover(): the replay of channel 2 failed before its recovery point",
                              LOG_LEVEL_ERROR),
              1);

    EXPECT_TRUE(inlineOk);
    EXPECT_EQ(inline_.seqs(), range(1, 100));
    EXPECT_EQ(inline_.threads(0), std::set<std::string>{"READER"});
    EXPECT_EQ(inline_.filter.mFilter.getNextSeqNum(), 101u);
    recovery.detachShm();
}

// A reader thread that holds every timer the framework allows.
struct Crowded : Runnable
{
    using Runnable::Runnable;
    void init() override
    {
        for (auto& t : fillers)
            t.create(getTarvokSession(), &idle, 1000, nullptr);
    }
    struct Idle : TarvokTimerHandler
    {
        void onTimer(TarvokTimer*) override {}
    } idle;
    TarvokTimer fillers[10];
};

TEST(FileRecoveryThreads, ATimerTheFrameworkRefusesFailsTheRecoveryAndNothingWaitsOnIt)
{
    Place place;
    hostrun::Host host;
    hostrun::Thread<Crowded> reader(host, "READER");
    hostrun::SessionScript script(host);
    script.serve(reader);
    recording::RecoveryHandler recovery(place.key, 16, host.log, reader.session);
    recovery.setRunningInDifferentThread(true);
    Partition a(recovery, "A", 1, 100, host.log);
    const std::string path = place.write("day.rec", recording::packets(1, 120));

    bool recovered = true;
    std::chrono::milliseconds took{0};
    // One descriptor for application timers besides the framework's own.
    ASSERT_TRUE(script.run(
        [&] {
            const auto start = std::chrono::steady_clock::now();
            recovered = recovery.recover(a.handler, path, &a.filter.mFilter, a.channel, true);
            took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        },
        "MSG_DISP_FD_NUM INT32 1\n"));
    EXPECT_FALSE(recovered);
    EXPECT_LT(took, std::chrono::seconds(5));
    EXPECT_EQ(host.sink.count("RecoveryLocalFileReader::onTimer(): no timer on thread [READER] (a thread holds at "
                              "most MSG_DISP_FD_NUM + 5 timers)",
                              LOG_LEVEL_ERROR),
              1);
    // Only the packet read before the hand-over was handed over.
    EXPECT_EQ(a.seqs(), range(1, 1));
    recovery.detachShm();
}

// Writes its partition's record every millisecond on its thread until the
// records are no longer to be used, then only counts its ticks.
struct Writer : TarvokTimerHandler
{
    Writer(PublishingHandler& handler, std::uint16_t channel) : handler(handler), channel(channel) {}
    void onTimer(TarvokTimer*) override
    {
        if (stopped)
        {
            ++ticksAfter;
            return;
        }
        const std::uint64_t n = written + 1;
        if (handler.setSeqNums(channel, n, 0))
            written = n;
        else
            stopped = true;
    }
    PublishingHandler& handler;
    std::uint16_t channel;
    TarvokTimer timer;
    std::atomic<std::uint64_t> written{0};
    std::atomic<bool> stopped{false};
    std::atomic<int> ticksAfter{0};
};

TEST(FileRecoveryThreads, AfterTerminateAllNoRecordIsWrittenAndTheSegmentIsDetachedOnceAtExit)
{
    Place place;
    hostrun::Host host;
    hostrun::Thread<> threadA(host, "SUBA");
    hostrun::Thread<> threadB(host, "SUBB");
    hostrun::SessionScript script(host);
    script.serve(threadA);
    script.serve(threadB);
    recording::RecoveryHandler recovery(place.key, 16, host.log, threadA.session);
    Partition a(recovery, "A", 1, 0, host.log);
    Partition b(recovery, "B", 2, 0, host.log);
    Zunq::Utils::SeqNumStorageItem* recordA = recovery.getSeqNumStorer("A");
    Zunq::Utils::SeqNumStorageItem* recordB = recovery.getSeqNumStorer("B");
    Orlu<TerminateAll> terminate("TerminateAll", "");
    terminate.subscribe(&recovery);
    Writer writerA(a.handler, a.channel);
    Writer writerB(b.handler, b.channel);

    int attachedWhileRunning = -1;
    std::uint64_t inRecordA = 0;
    std::uint64_t inRecordB = 0;
    auto waitFor = [](const std::function<bool()>& done) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!done() && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return done();
    };
    ASSERT_TRUE(script.run([&] {
        ASSERT_TRUE(hostrun::runOnSession(threadA.session,
                                          [&] { ASSERT_FALSE(!writerA.timer.create(&threadA.session, &writerA, 1, nullptr)); }));
        ASSERT_TRUE(hostrun::runOnSession(threadB.session,
                                          [&] { ASSERT_FALSE(!writerB.timer.create(&threadB.session, &writerB, 1, nullptr)); }));
        ASSERT_TRUE(waitFor([&] { return writerA.written >= 20 && writerB.written >= 20; }));
        OrluPublisher<TerminateAll> terminator("Terminator");
        terminator.setDestination(&terminate);
        terminator.publish(TerminateAll("test"));
        ASSERT_TRUE(waitFor([&] {
            return writerA.stopped && writerB.stopped && writerA.ticksAfter >= 20 && writerB.ticksAfter >= 20;
        }));
        attachedWhileRunning = attachments(place.key);
        ASSERT_TRUE(hostrun::runOnSession(threadA.session, [&] {
            inRecordA = recordA->mSeqNum;
            writerA.timer.destroy();
        }));
        ASSERT_TRUE(hostrun::runOnSession(threadB.session, [&] {
            inRecordB = recordB->mSeqNum;
            writerB.timer.destroy();
        }));
    }));
    // Until every thread has ended the segment stays; nothing was written after the stop.
    EXPECT_EQ(attachedWhileRunning, 1);
    EXPECT_EQ(inRecordA, writerA.written.load());
    EXPECT_EQ(inRecordB, writerB.written.load());
    EXPECT_TRUE(recovery.isAttached());
    EXPECT_EQ(attachments(place.key), 1);
    // As main does once the framework has stopped: once, whoever asks again.
    DRAVEK::Recovery::FileRecoveryHandler::detachAll();
    EXPECT_EQ(attachments(place.key), 0);
    EXPECT_FALSE(recovery.isAttached());
    DRAVEK::Recovery::FileRecoveryHandler::detachAll();
    recovery.detachShm();
    EXPECT_EQ(attachments(place.key), 0);
}

} // namespace
