// The local recording file reader over the test plug-in's recording format,
// on the caller's thread: start and end points, sequence resets, a file that
// stops growing, hostile recordings and paths that do not expand.
#include "../host_bus/HostTestSupport.h"
#include "FileRecoveryTestSupport.h"

#include "kelmora/thread/TarvokSession.h"

#include <gtest/gtest.h>

#include <random>

using namespace frtest;

namespace
{

constexpr std::uint16_t cChannel = 1;
constexpr std::uint64_t cWhole = DRAVEK::Recovery::RecoveryLocalFileReader::cWholePacket;

class Reading : public HostFixture
{
protected:
    Reading()
    {
        handler.setUseSharedMemory(false);
        handler.addSubFeedSeqNum(cChannel, &record);
    }

    // A reader of `recording` that never sleeps; it counts its waits.
    std::unique_ptr<recording::Reader> reader(const std::string& recording, int attempts = 3)
    {
        const std::string path = mDir.write("day.rec", recording);
        auto r = std::make_unique<recording::Reader>(mLog, path, handler, session, attempts);
        r->setSleep([this](std::chrono::milliseconds) { ++waits; });
        return r;
    }

    // What the handler was handed, without the thread.
    std::vector<std::string> handed() const
    {
        std::vector<std::string> out;
        for (const std::string& h : handler.handed())
            out.push_back(h.substr(0, h.find('@')));
        return out;
    }

    TempDir mDir;
    TarvokSession session;
    Zunq::Utils::SeqNumStorageItem record{};
    PublishingHandler handler{"A", mLog};
    int waits = 0;
};

std::string packet(std::uint64_t seq, int messages)
{
    recording::Packet p{seq, {}};
    for (int i = 0; i < messages; ++i)
        p.messages.push_back("m" + std::to_string(seq) + "." + std::to_string(i));
    return recording::encode(p);
}

TEST_F(Reading, StartAndEndPoints)
{
    struct Case
    {
        const char* what;
        std::uint64_t startSeq;
        std::uint64_t startSub;
        std::uint64_t endSeq;
        std::uint64_t endSub;
        std::string recording;
        bool reached;
        std::vector<std::string> handed;
    };
    const std::string three = packet(100, 3) + packet(101, 2) + packet(102, 2);
    const std::vector<Case> cases = {
        {"after the start point, up to the end packet whole", 100, 1, 101, cWhole, three, true,
         {"100/2 m100.2", "101/0 m101.0", "101/1 m101.1"}},
        {"up to a message of the end packet", 0, 0, 101, 0, three, true,
         {"100/0 m100.0", "100/1 m100.1", "100/2 m100.2", "101/0 m101.0"}},
        {"a first packet past the end point ends the reading at once", 0, 0, 99, cWhole, three, true, {}},
        {"a jump past the end point is not expected", 0, 0, 101, 0, packet(100, 1) + packet(105, 1), false,
         {"100/0 m100.0"}},
        {"a jump past a whole end packet is its end", 0, 0, 101, cWhole, packet(100, 1) + packet(105, 1), true,
         {"100/0 m100.0"}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        handler.setSeqNums(cChannel, c.startSeq, c.startSub);
        auto r = reader(c.recording);
        const std::size_t before = handler.handed().size();
        EXPECT_EQ(r->process(c.endSeq, c.endSub, cChannel, false, false), c.reached);
        std::vector<std::string> got = handed();
        got.erase(got.begin(), got.begin() + static_cast<long>(before));
        EXPECT_EQ(got, c.handed);
    }
    EXPECT_EQ(mSink.count("RecoveryLocalFileReader::processPacket(): sequence number: [105] was not expected"), 1);
}

// The end point lies after `expected` sequence resets: the same numbers
// before them are read past.
TEST_F(Reading, TheEndPointLiesAfterItsSequenceResets)
{
    const std::string recording = packet(1, 1) + packet(2, 1) + recording::encode({3, {"reset"}, true}) +
                                  packet(1, 1) + packet(2, 1) + packet(3, 1);
    auto r = reader(recording);
    r->setNumSeqResets(1);
    EXPECT_TRUE(r->process(2, cWhole, cChannel, false, false));
    EXPECT_EQ(handed(), (std::vector<std::string>{"1/0 m1.0", "2/0 m2.0", "3/0 reset", "1/0 m1.0", "2/0 m2.0"}));
    EXPECT_FALSE(r->recoveredToSeqReset());

    // Two expected, one met at the end packet: the reader reads on.
    handler.setSeqNums(cChannel, 0, 0);
    auto fewer = reader(recording::encode({3, {"reset"}, true}) + packet(5, 1) + packet(6, 1));
    fewer->setNumSeqResets(2);
    EXPECT_FALSE(fewer->process(5, cWhole, cChannel, false, false));
    EXPECT_EQ(mSink.count("end packet [5] reached after 1 of 2 sequence resets; reading on"), 1);
}

TEST_F(Reading, AFileThatStopsGrowingTimesOutAfterItsWaits)
{
    for (bool all : {false, true})
    {
        SCOPED_TRACE(all ? "whole recording" : "up to a point");
        waits = 0;
        auto r = reader(packet(1, 1) + packet(2, 1));
        EXPECT_FALSE(r->process(10, cWhole, cChannel, false, all));
        EXPECT_EQ(waits, 10);
        EXPECT_EQ(r->getLastReadSeqNum(), 2u);
    }
    EXPECT_EQ(mSink.count("FileHandlerMessages::process(): Timed out waiting for data."), 2);
}

TEST_F(Reading, NoRecordingAndPathsThatDoNotExpand)
{
    recording::Reader missing(mLog, "/nonexistent/day_%Y%m%d.rec", handler, session, 3);
    EXPECT_TRUE(missing.process(0, 0, cChannel, false, true));
    EXPECT_FALSE(missing.process(10, cWhole, cChannel, false, false));
    EXPECT_EQ(mSink.count("FileHandlerMessages::process(): no recovery file to process : /nonexistent/day_"), 1);
    EXPECT_EQ(mSink.count("FileHandlerMessages::process(): Error opening file: /nonexistent/day_"), 1);

    // Too long as written, and too long once each %c is a date and time.
    std::string dates(600, 'q');
    for (int i = 0; i < 20; ++i)
        dates += "%c";
    for (const std::string& pattern : {std::string(1100, 'p'), dates})
    {
        recording::Reader tooLong(mLog, pattern, handler, session, 3);
        EXPECT_FALSE(tooLong.hasPath());
        EXPECT_FALSE(tooLong.process(0, 0, cChannel, false, true));
    }
    EXPECT_EQ(mSink.count("does not expand into a path of at most 1023 characters"), 2);
}

// Bytes of a file are another program's: every length and count is checked
// against the packet read, and the reading ends with a line.
TEST_F(Reading, HostileRecordings)
{
    std::mt19937 random(51);
    std::string noise(4096, '\0');
    for (char& c : noise)
        c = static_cast<char>(random());
    auto withLength = [](std::string p, std::uint16_t messageLength, std::size_t at) {
        std::memcpy(&p[at], &messageLength, 2);
        return p;
    };
    auto withCount = [](std::string p, std::uint16_t count) {
        std::memcpy(&p[2], &count, 2);
        return p;
    };
    std::string huge = recording::encode({3, {std::string(9000, 'h')}});
    struct Case
    {
        const char* what;
        std::string tail; // after two good packets
        const char* line;
    };
    const std::vector<Case> cases = {
        {"a truncated packet", packet(3, 2).substr(0, 20), "tryToRead() only read [4] of [12] bytes, [0] attempts left"},
        {"a message longer than its packet", withLength(packet(3, 1), 200, 16),
         "processMessages(): packet [3] message 0 of 1 takes 200 bytes where 6 are left"},
        {"a message of no length", withLength(packet(3, 2), 0, 16),
         "processMessages(): packet [3] message 0 of 2 takes 0 bytes where 12 are left"},
        {"a count past the messages", withCount(packet(3, 1), 3),
         "processMessages(): packet [3] message 1 of 3 takes 0 bytes where 0 are left"},
        {"a packet over 8192 bytes", huge, "tryToRead() - Error: Msg too large, msglen=9002"},
        {"a packet shorter than its header", withLength(packet(3, 1), 5, 0), "packet length 5 is shorter than its header"},
        {"random bytes", noise, nullptr},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        handler.setSeqNums(cChannel, 0, 0);
        const int lines = static_cast<int>(mSink.lines().size());
        const std::size_t before = handler.handed().size();
        auto r = reader(packet(1, 1) + packet(2, 1) + c.tail);
        EXPECT_FALSE(r->process(100, cWhole, cChannel, false, false));
        std::vector<std::string> got = handed();
        got.erase(got.begin(), got.begin() + static_cast<long>(before));
        ASSERT_GE(got.size(), 2u);
        EXPECT_EQ(got[0], "1/0 m1.0");
        EXPECT_EQ(got[1], "2/0 m2.0");
        if (c.line != nullptr)
        {
            EXPECT_EQ(mSink.count(c.line), 1);
        }
        // Whatever the bytes held, the reading ended with a line saying why.
        const std::vector<std::string> all = mSink.lines();
        bool said = false;
        for (std::size_t i = static_cast<std::size_t>(lines); i < all.size(); ++i)
            for (const char* why : {"tryToRead", "processMessages", "shorter than its header", "Timed out", "was not expected"})
                said = said || all[i].find(why) != std::string::npos;
        EXPECT_TRUE(said);
    }
}

} // namespace
