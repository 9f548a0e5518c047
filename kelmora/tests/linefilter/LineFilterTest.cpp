#include "LineFilterTestSupport.h"

#include <gtest/gtest.h>

#include "kelmora/linedata/LineDataFactoryDravek.h"

#include <cstdio>
#include <map>
#include <memory>
#include <stdexcept>

namespace
{
constexpr long cNoStart = -1;

// A packet header as the wire has it: size, message count, filler, first
// number, send time, little-endian.
std::string packetHeader(std::uint8_t count, std::uint32_t seq)
{
    std::string s(16, '\0');
    s[2] = static_cast<char>(count);
    for (int i = 0; i < 4; ++i)
        s[4 + i] = static_cast<char>((seq >> (8 * i)) & 0xff);
    return s;
}

struct Row
{
    const char* name;
    long start; // next expected number set before the stream, or cNoStart
    std::function<void(LineFilter&)> setup;
    const char* stream;
    const char* events;
    std::uint32_t next;
    std::size_t spooled;
};

void none(LineFilter&) {}
void retrans(LineFilter& f) { f.setRetransActive(true); }

const Row cRows[] = {
    // In-order path.
    {"in order, repeat and behind", 10, none, "10 11 11 9", "10 11", 12, 0},
    {"heartbeat carrying the last number", 21, none, "h20", "h20", 21, 0},
    {"heartbeat carrying its own number",
     21, [](LineFilter& f) { f.setHeartbeatsHavePrevSeqNum(false); }, "h21", "h21", 21, 0},
    {"record without sequencing", 10, none, "i500 i3", "500 3", 10, 0},
    {"retransmissions dropped while requests are off", 8, none, "r8 r9 r5", "", 8, 0},
    {"retransmission behind dropped, in order kept", 8, retrans, "r5 r8", "8", 9, 0},
    {"implausible jump dropped after the first record",
     1000, [](LineFilter& f) { f.setMaxValidGapSize(100); }, "1000 1200", "1000", 1001, 0},
    {"implausible jump spooled after start of day",
     1000, [](LineFilter& f) { f.setMaxValidGapSize(100); }, "1000 D 1200", "1000", 1001, 1},
    {"sleep mode ignores everything",
     10, [](LineFilter& f) { f.setIgnoreAllDataInSleepMode(true); f.setFhMode(MhMode::SLEEP); }, "10 12", "", 10, 0},
    {"control record ahead moves on and reports the gap", 10, none, "c15 16", "15 G10-14 16", 17, 0},
    {"control record without a number leaves the number alone, a numbered one behind is had already",
     10, none, "c0 c9 10", "0 10", 11, 0},
    {"sequence reset goes back", 100, none, "s5 5", "4 5", 6, 0},
    {"wrap around in order", 4294967294, none, "4294967294 4294967295 0 1 4294967295", "4294967294 4294967295 0 1", 2, 0},
    {"after 2^32 a lost 0 is not asked for as (0, 0)", 4294967295, retrans, "4294967295 1", "4294967295", 0, 1},
    {"a sequence reset forgets the range asked before it", 100, retrans, "103 r100 r101 r102 104 s50 53",
     "R100-102 100 101 102 C0-102 103 104 49 R50-52", 50, 1},
    // Found by the random streams against the reference filter.
    {"after 2^32 the spool walk does not ask for a lost 0 as (0, 0)", 4294967294, retrans, "4294967295 1 4294967294",
     "R4294967294-4294967294 4294967294 C0-4294967294 4294967295", 0, 1},
    {"wrap around gap filled by retransmission", 4294967295, retrans, "1 r4294967295 r0",
     "R4294967295-0 4294967295 0 C0-0 1", 2, 0},

    // Spool, requests and gap limits.
    {"gap filled by retransmissions", 100, retrans, "103 104 r100 r101 r102",
     "R100-102 100 101 102 C0-102 103 104", 105, 0},
    {"spooled number kept, second copy ignored", 100, retrans, "103 103", "R100-102", 100, 1},
    {"spooled heartbeat replaced by the record", 100, retrans, "h102 103 r100 r101 r102",
     "R100-102 100 101 102 C0-102 103", 104, 0},
    {"start of day asks from 0 below its limit", cNoStart, retrans, "500", "R0-499", 0, 1},
    {"start of day asks nothing past its limit", cNoStart, retrans, "5000", "", 0, 1},
    // Start of day lasts while the expected number is 0, whatever was published meanwhile.
    {"a first record 1 after one without sequencing asks nothing", cNoStart, retrans, "i1 1", "1", 0, 1},
    {"a first record 1 after a heartbeat of its own number asks nothing",
     cNoStart, [](LineFilter& f) { f.setRetransActive(true); f.setHeartbeatsHavePrevSeqNum(false); }, "h0 1", "h0", 0, 1},
    {"a far first record after one without sequencing asks nothing, even with no gap cap",
     cNoStart, [](LineFilter& f) { f.setRetransActive(true); f.setRetransMaxGapSize(0); }, "i1 5000", "1", 0, 1},
    {"a first record below the limit after one without sequencing asks from 0", cNoStart, retrans, "i1 500",
     "1 R0-499", 0, 1},
    {"a first record past 2^31 after one without sequencing is ahead", cNoStart, none, "i1 3000000000", "1", 0, 1},
    {"oversize gap not requested", 100, retrans, "700", "", 100, 1},
    {"a second gap asks only its own range", 100, retrans, "103 106", "R100-102 R104-105", 100, 2},
    {"delayed request goes out once the head is old enough",
     100, [](LineFilter& f) { f.setRetransActive(true); f.setRequestRetransTime(0.2); f.setGapLimitTime(1); },
     "103 T 104 T T T", "R100-102", 100, 2},
    {"retransmissions past the spool dropped when asked",
     100, [](LineFilter& f) { f.setRetransActive(true); f.setDiscardForwardRetrans(true); }, "103 r105 r101",
     "R100-102", 100, 2},
    {"time limit skips the gap", 100, [](LineFilter& f) { f.setGapLimitTime(0.5); }, "103 T T T T T",
     "", 100, 1},
    {"time limit skips the gap after its sixth tick", 100, [](LineFilter& f) { f.setGapLimitTime(0.5); },
     "103 T T T T T T", "G100-102 C0-102 103", 104, 0},
    {"size limit skips the gap", 100, [](LineFilter& f) { f.setGapLimitSize(3); }, "102 103 104",
     "G100-101 C0-101 102 103 104", 105, 0},
    {"sleep mode skips without a shutdown",
     100, [](LineFilter& f) { f.setGapLimitSize(3); f.setGapShutdown(true); f.setFhMode(MhMode::SLEEP); },
     "102 103 104", "G100-101 C0-101 102 103 104", 105, 0},
    {"shutdown waits for a full spool", 100, [](LineFilter& f) { f.setGapLimitSize(3); f.setGapShutdown(true); },
     "102 106", "", 100, 2},
    {"shutdown drops everything after", 100, [](LineFilter& f) { f.setGapLimitSize(3); f.setGapShutdown(true); },
     "102 106 107 100 101", "", 100, 0},
    {"no request follows a shutdown",
     100, [](LineFilter& f) { f.setRetransActive(true); f.setGapLimitSize(3); f.setGapShutdown(true); },
     "102 106 107 Y", "R100-101 R103-105 R4294967295-4294967295", 100, 0},
    {"shutdown with resume comes back at the gap fill",
     100, [](LineFilter& f) { f.setGapLimitSize(3); f.setGapShutdown(true); f.setResumeOnGapFill(true); },
     "102 106 107 108 100 101", "100 101 C0-101 102", 103, 2},
    {"disaster recovery reaches no limit",
     100, [](LineFilter& f) { f.setGapLimitSize(3); f.setGapLimitTime(0.1); f.setInDRRecovery(true); },
     "102 103 104 105 T T T", "", 100, 4},
    {"spool-all keeps in-order records", 100, [](LineFilter& f) { f.setSpoolAll(true); }, "100 101 103", "", 100, 3},

    // Resets, admin messages, heartbeat control.
    // Two lines deliver every control record twice.
    {"a numbered control record from the second line is published once", 10, none, "c10 @B: c10 @A: 11",
     "10 11", 12, 0},
    {"a control record without a number from the second line is published once", 10, none, "c0 @B: c0 @A: 10",
     "0 10", 11, 0},
    {"a line repeating a control record without a number is heard each time", 10, none, "c0 c0 10", "0 0 10", 11, 0},
    {"a reset from the second line is not applied again", 100, none, "s50 50 51 @B: s50 @A: 52", "49 50 51 52",
     53, 0},
    {"set sequence number empties the spool and allows new requests", 100, retrans, "103 A1000 1001 1005",
     "R100-102 1001 R1002-1004", 1002, 1},
    {"reset empties the spool", 100, retrans, "103 X 104", "R100-102 R100-103", 100, 1},
    {"admin none changes nothing", 100, none, "N 100", "100", 101, 0},
    {"automatic reset detected below the low mark",
     8999, [](LineFilter& f) { f.setAutoSeqNumberResetDetect(true); f.setAutoSeqNumberResetHighWater(9000); f.setAutoSeqNumberResetLowWater(100); },
     "8999 9000 9001 50 51", "8999 9000 9001 50 51", 52, 0},
    {"between the marks leaves the zone",
     9000, [](LineFilter& f) { f.setAutoSeqNumberResetDetect(true); f.setAutoSeqNumberResetHighWater(9000); f.setAutoSeqNumberResetLowWater(100); },
     "9000 500 50", "9000", 9001, 0},
    {"the low mark itself leaves the zone",
     9000, [](LineFilter& f) { f.setAutoSeqNumberResetDetect(true); f.setAutoSeqNumberResetHighWater(9000); f.setAutoSeqNumberResetLowWater(100); },
     "9000 100", "9000", 9001, 0},
    {"too few records in a cycle asks for the backup line",
     10, [](LineFilter& f) { f.setHeartbeatsControlTime(1000); f.setNumberHeartbeatsPerControlTime(3); },
     "h9 H 10 11 12 H 13 H", "h9 10 11 12 13 L", 14, 0},
    {"backward reset handled until its time limit, then refresh",
     5000, [](LineFilter& f) { f.setHandleBackwardSequenceReset(true); f.setBackwardSequenceResetTimeLimit(1000); f.setRefreshOnSeqReset(true); f.setRetransActive(true); },
     "5000 t100 s101 t600 s50 t500 101 t1101 102 t1200 103", "5000 100 101 Q7 102 103", 104, 0},
    {"a sequence reset empties the spool of the old numbering", 1, [](LineFilter& f) { f.setGapLimitSize(2); },
     "1 3 s1 1 2 3", "1 0 1 2 3", 4, 0},
    {"a backward reset's own line repeating an old record late does not publish it",
     5000, [](LineFilter& f) { f.setHandleBackwardSequenceReset(true); f.setBackwardSequenceResetTimeLimit(1000); f.setGapLimitSize(100); },
     "t100 5000 5001 t200 s11 t150 5002 t210 11 12", "5000 5001 10 11 12", 13, 0},
    // Found by the random streams against the reference filter.
    {"a backward reset leaves the other line's and the retransmissions' late old records unpublished",
     5000, [](LineFilter& f) { f.setHandleBackwardSequenceReset(true); f.setBackwardSequenceResetTimeLimit(1000); f.setGapLimitSize(100); f.setRetransActive(true); },
     "t100 5000 5001 t200 s11 @B: t150 5002 t160 r5003 @A: t210 11 12", "5000 5001 10 11 12", 13, 0},
    {"a reset to just below 2^32 drops the old numbering spooled ahead of it",
     16160, none, "16160 16170 s4294964527 4294964527", "16160 4294964526 4294964527", 4294964528, 0},
    // A reset drops the old numbering's spooled records and keeps the new one's.
    {"a forward reset keeps a spooled record numbered above its own", 100, none,
     "t1 100 103 t2 505 t3 s500 500 501 502 503 504", "100 499 500 501 502 503 504 C0-504 505", 506, 0},
    {"a backward reset keeps a spooled record stamped after it", 100, none, "t1 100 103 t5 150 t3 s50",
     "100 49", 50, 1},
    {"reset record with nothing received starts no handling",
     cNoStart, [](LineFilter& f) { f.setHandleBackwardSequenceReset(true); f.setBackwardSequenceResetTimeLimit(1000); f.setRefreshOnSeqReset(true); },
     "t100 s11 t5000 11", "10 11", 12, 0},
};

void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

class Scenario : public ::testing::TestWithParam<Row>
{
};

TEST_P(Scenario, PublishesAndMovesTheExpectedNumber)
{
    const Row& row = GetParam();
    FilterBench bench;
    row.setup(bench.mFilter);
    if (row.start != cNoStart)
        bench.mFilter.setNextSeqNum(row.start, false);
    bench.mCapture.take();
    bench.play(row.stream);
    EXPECT_EQ(bench.mCapture.take(), row.events);
    EXPECT_EQ(bench.mFilter.getNextSeqNum(), row.next);
    EXPECT_EQ(bench.mFilter.getSpoolSize(), row.spooled);
}

template <class R>
std::string rowName(const ::testing::TestParamInfo<R>& info)
{
    std::string name;
    for (const char* p = info.param.name; *p != '\0'; ++p)
        name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(LineFilter, Scenario, ::testing::ValuesIn(cRows), rowName<Row>);

// ---- Binary packet feeds
//
// Tokens: "A:D12x3e0@5" a data packet on line A of 3 messages numbered from
// 12, each carrying "e0" (the numbering it belongs to, known to the test
// only), sent at 5; "A:Z5>10@3" a sequence reset packet numbered 5 that
// announces 10, sent at 3; line "R" sends packets flagged as retransmitted;
// "T" a gap tick. Events: "12e0" a published message, "Z5" a published
// reset, the others as in the support's list. The filter expects 1 first.

std::string le(std::uint64_t value, int bytes)
{
    std::string s;
    for (int i = 0; i < bytes; ++i)
        s += static_cast<char>((value >> (8 * i)) & 0xff);
    return s;
}

// A message: its size, type and four bytes, then the body.
std::string message(std::uint16_t type, std::uint32_t word, const std::string& body)
{
    return le(8 + body.size(), 2) + le(type, 2) + le(word, 4) + body;
}

std::string packet(std::uint32_t seq, std::uint64_t sendTime, std::uint8_t count, const std::string& messages)
{
    return le(16 + messages.size(), 2) + le(count, 1) + le(0, 1) + le(seq, 4) + le(sendTime, 8) + messages;
}

class PacketFeed
{
public:
    PacketFeed()
    {
        mBench.mCapture.mDescribe = [](const LineData& d) {
            if (d.isSequenceReset())
                return "Z" + std::to_string(d.getSeqNum());
            const std::uint32_t len = d.getDataLen();
            return std::to_string(d.getSeqNum()) + (len > 8 ? std::string(d.getData() + 8, len - 8) : "?");
        };
    }

    void play(const std::string& stream)
    {
        std::istringstream in(stream);
        std::string token;
        while (in >> token)
        {
            if (token == "T")
            {
                mBench.mFilter.onGapTimer();
                continue;
            }
            char line = 0;
            unsigned first = 0, count = 0, epoch = 0, to = 0;
            unsigned long long at = 0;
            std::string bytes;
            if (std::sscanf(token.c_str(), "%c:D%ux%ue%u@%llu", &line, &first, &count, &epoch, &at) == 5)
            {
                std::string messages;
                for (unsigned i = 0; i < count; ++i)
                    messages += message(1, 0, "e" + std::to_string(epoch));
                bytes = packet(first, at, static_cast<std::uint8_t>(count), messages);
            }
            else if (std::sscanf(token.c_str(), "%c:Z%u>%u@%llu", &line, &first, &to, &at) == 4)
                bytes = packet(first, at, 1, message(100, to, ""));
            else
                throw std::invalid_argument("packet token " + token);
            send(line, bytes);
        }
    }

    LineFilter& filter() { return mBench.mFilter; }
    std::string take() { return mBench.mCapture.take(); }

private:
    void send(char line, const std::string& bytes)
    {
        std::unique_ptr<LineData> record(mPackets.create());
        record->setData(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
        record->setIsOriginal(line != 'R');
        std::unique_ptr<OrluPublisher<LineData>>& source = mSources[line];
        if (source == nullptr)
        {
            source = std::make_unique<OrluPublisher<LineData>>(std::string(1, line));
            source->setDestination(&mBench.mRaw);
        }
        source->publish(*record);
    }

    Log mLog;
    // Before the bench: the filter's spool holds its records.
    LineDataFactoryDravek mPackets{"packets", mLog};
    FilterBench mBench{true, 64, nullptr, &mPackets};
    std::map<char, std::unique_ptr<OrluPublisher<LineData>>> mSources;
};

struct PacketRow
{
    const char* name;
    std::function<void(LineFilter&)> setup;
    const char* stream;
    const char* events;
    std::uint32_t next;
    std::size_t spooled;
};

void halfSecondGaps(LineFilter& f) { f.setGapLimitTime(0.5); }
void backwardResets(LineFilter& f)
{
    f.setHandleBackwardSequenceReset(true);
    f.setBackwardSequenceResetTimeLimit(45);
}

const PacketRow cPacketRows[] = {
    {"a forward reset keeps the new numbering's record spooled before it", halfSecondGaps,
     "A:D1x1e0@1 A:Z5>10@3 A:D12x1e0@5 B:D2x3e0@2 A:D13x1e0@6 T T T T T T T",
     "1e0 2e0 3e0 4e0 C0-4 Z5 G10-11 C0-11 12e0 13e0", 14, 0},
    // Until a backward reset is followed, what comes before it is still the old numbering.
    {"a backward reset waiting in the spool lets the retransmission in front of it through",
     [](LineFilter& f) { backwardResets(f); halfSecondGaps(f); f.setRetransActive(true); },
     "A:D1x1e0@10 A:Z5>1@13 R:D2x3e0@12 T T T T T T", "1e0 R2-4 2e0 3e0 4e0 C0-4 Z5", 1, 0},
    {"a backward reset waiting in the spool lets the other line's records in front of it through",
     [](LineFilter& f) { backwardResets(f); halfSecondGaps(f); f.setRetransActive(true); },
     "A:D1x1e0@10 A:Z5>1@13 B:D2x3e0@12 T T T T T T", "1e0 R2-4 2e0 3e0 4e0 C0-4 Z5", 1, 0},
    // Numbered above the new expected number and not above the reset's own:
    // old on the reset's line too, whatever its stamp.
    {"an old record repeated after a backward reset and stamped again is not taken for a new one", backwardResets,
     "A:D1x3e0@1001 A:Z4>1@1002 A:D3x1e0@1003 A:D1x2e1@1004 A:D3x1e1@1005", "1e0 2e0 3e0 Z4 1e1 2e1 3e1", 4, 0},
    {"a new record that early after a backward reset is asked for again with its gap",
     [](LineFilter& f) { backwardResets(f); f.setRetransActive(true); },
     "A:D1x3e0@1001 A:Z4>1@1002 A:D3x1e1@1003 A:D5x1e1@1005 R:D1x4e1@1003",
     "1e0 2e0 3e0 Z4 R1-4 1e1 2e1 3e1 4e1 C0-4 5e1", 6, 0},
    // Retransmitted packets are dropped while retransmissions are off,
    // however the block is checked.
    {"a retransmitted packet checked whole is dropped", none, "A:D1x1e0@1 R:D2x2e0@2", "1e0", 2, 0},
    {"a retransmitted packet checked message by message is dropped",
     [](LineFilter& f) { f.setCheckEveryMessageInBlock(true); }, "A:D1x1e0@1 R:D2x2e0@2", "1e0", 2, 0},
};

void PrintTo(const PacketRow& row, std::ostream* os) { *os << row.name; }

class PacketScenario : public ::testing::TestWithParam<PacketRow>
{
};

TEST_P(PacketScenario, PublishesAndMovesTheExpectedNumber)
{
    const PacketRow& row = GetParam();
    PacketFeed feed;
    row.setup(feed.filter());
    feed.filter().setNextSeqNum(1, false);
    feed.take();
    feed.play(row.stream);
    EXPECT_EQ(feed.take(), row.events);
    EXPECT_EQ(feed.filter().getNextSeqNum(), row.next);
    EXPECT_EQ(feed.filter().getSpoolSize(), row.spooled);
}

INSTANTIATE_TEST_SUITE_P(LineFilterPackets, PacketScenario, ::testing::ValuesIn(cPacketRows), rowName<PacketRow>);

TEST(LineFilterBlocks, WholeBlockIsPublishedMessageByMessageInBrackets)
{
    FilterBench bench;
    bench.mFilter.setSendPubFlushMsg(true);
    bench.mFilter.setNextSeqNum(10, false);
    bench.mCapture.take();
    bench.send(TestBlock({10, 11, 12}));
    EXPECT_EQ(bench.mCapture.take(), "B 10 11 12 F");
    EXPECT_EQ(bench.mFilter.getNextSeqNum(), 13u);
}

TEST(LineFilterBlocks, CheckedMessageByMessageDropsTheRepeats)
{
    FilterBench bench;
    bench.mFilter.setCheckEveryMessageInBlock(true);
    bench.mFilter.setRetransActive(true);
    bench.mFilter.setNextSeqNum(10, false);
    bench.mCapture.take();
    bench.send(TestBlock({9, 10, 11, 14}));
    EXPECT_EQ(bench.mCapture.take(), "10 11 R12-13");
    EXPECT_EQ(bench.mFilter.getNextSeqNum(), 12u);
    EXPECT_EQ(bench.mFilter.getSpoolSize(), 1u);
}

// Messages of a text block carry no stamp of their own: checked one by one
// they have their block's, which the reset rules read. A late old message is
// dropped while the reset is handled, and a message past the time limit ends
// the handling.
TEST(LineFilterBlocks, MessagesCheckedOneByOneHaveTheirBlocksStamp)
{
    FilterBench bench;
    LineFilter& f = bench.mFilter;
    f.setCheckEveryMessageInBlock(true);
    f.setHandleBackwardSequenceReset(true);
    f.setBackwardSequenceResetTimeLimit(1000);
    f.setRefreshOnSeqReset(true);
    f.setNextSeqNum(5000, false);
    bench.mCapture.take();
    auto block = [&](std::vector<std::uint32_t> seqs, std::uint64_t stamp) {
        TestBlock b(std::move(seqs));
        b.setSrcTime(stamp);
        bench.send(b);
    };
    block({5000, 5001}, 100);
    bench.play("t200 s11");
    block({5002}, 150);
    EXPECT_EQ(f.getSpoolSize(), 0u);
    block({11, 12}, 210);
    block({13}, 1300);
    EXPECT_EQ(bench.mCapture.take(), "5000 5001 10 11 12 Q7 13");
    EXPECT_EQ(f.getNextSeqNum(), 14u);
}

// A record type derived from the plain one answers for its next number itself.
class PairRecord : public LineDataBasic
{
public:
    LineData* clone() const override { return new PairRecord(*this); }
    std::uint32_t getNextSeqNum() const override { return getSeqNum() + 2; }
};

TEST(LineFilterRecords, DerivedRecordTypeGivesItsOwnNextNumber)
{
    FilterBench bench;
    bench.mFilter.setNextSeqNum(10, false);
    bench.mCapture.take();
    PairRecord pair;
    for (const std::uint32_t seq : {10u, 12u})
    {
        pair.setSeqNum(seq);
        bench.send(pair);
    }
    EXPECT_EQ(bench.mCapture.take(), "10 12");
    EXPECT_EQ(bench.mFilter.getNextSeqNum(), 14u);
}

TEST(LineFilterAdmin, AdminPublishedDuringDeliveryWaitsForTheRecord)
{
    FilterBench bench;
    bench.mFilter.setNextSeqNum(10, false);
    bench.mCapture.mOnRecord = [&](const LineData& d) {
        if (d.getSeqNum() == 10)
            bench.admin(LineAdmin::SET_SEQNUM, 500);
    };
    bench.mCapture.take();
    bench.play("10 501 11");
    EXPECT_EQ(bench.mCapture.take(), "10 501");
    EXPECT_EQ(bench.mFilter.getNextSeqNum(), 502u);
}

TEST(LineFilterSpool, HaltStopsTheTimerUntilTheGapFills)
{
    FilterBench bench;
    LineFilter& f = bench.mFilter;
    f.setRetransActive(true);
    f.setContinueProcessingAfterTimeOut(false);
    f.setGapLimitTimeOriginal(0.5);
    f.setGapLimitTime(0.5);
    f.setNextSeqNum(100, false);
    bench.mCapture.take();
    bench.play("103 T T T T T T 104 T 105");
    EXPECT_EQ(bench.mCapture.take(), "R100-102");
    EXPECT_FALSE(f.isGapTimerRunning());
    EXPECT_EQ(bench.mSink.count("filter: missed 3 (100-102) messages, gap has been open for ( 0.5 ) seconds"), 1);
    bench.play("100 101 102");
    EXPECT_EQ(bench.mCapture.take(), "100 101 102 C0-102 103 104 105");
    EXPECT_TRUE(f.isGapTimerRunning());
}

TEST(LineFilterSpool, SpoolAllReleasesWhenSwitchedOff)
{
    FilterBench bench;
    bench.mFilter.setSpoolAll(true);
    bench.mFilter.setNextSeqNum(100, false);
    bench.play("100 101 102");
    bench.mCapture.take();
    bench.mFilter.setSpoolAll(false);
    EXPECT_EQ(bench.mCapture.take(), "C0-99 100 101 102");
    EXPECT_EQ(bench.mFilter.getSpoolSize(), 0u);
}

// A refresh asked for at a gap holds the channel: the gap is not given up
// at its time limit meanwhile, and the time held does not count once the
// hold ends without a snapshot.
TEST(LineFilterSpool, AHeldChannelsGapWaitsOutTheHold)
{
    FilterBench bench;
    LineFilter& f = bench.mFilter;
    f.setRetransActive(true);
    f.setGapLimitTime(0.5);
    f.setNextSeqNum(100, false);
    bench.mCapture.take();
    bench.play("100 103 T T");
    EXPECT_EQ(bench.mCapture.take(), "100 R101-102");
    f.setSpoolAll(true);
    bench.play("104 T T T T T T T T T T 105");
    f.setSpoolAll(false);
    bench.play("T T T");
    EXPECT_EQ(bench.mCapture.take(), "");
    EXPECT_EQ(bench.mSink.count("permanently missed"), 0);
    // Two ticks before the hold and four after: past the five of the limit.
    bench.play("T");
    EXPECT_EQ(bench.mCapture.take(), "G101-102 C0-102 103 104 105");
    EXPECT_EQ(bench.mSink.count("filter: permanently missed 2 (101-102) messages due to GapLimitTime"), 1);
}

TEST(LineFilterSpool, WalkStoppedAtAGapAsksForItOnceSomethingDrained)
{
    // At start of day a far first record asks nothing; once the next number
    // is set and the walk drains up to the remaining gap, it asks for that gap.
    FilterBench bench;
    LineFilter& f = bench.mFilter;
    f.setRetransActive(true);
    bench.play("5000 4995");
    EXPECT_EQ(bench.mCapture.take(), "");
    f.setNextSeqNum(4995, false);
    bench.mCapture.take();
    bench.play("i1");
    EXPECT_EQ(bench.mCapture.take(), "1 C0-4994 4995 R4996-4999");
    EXPECT_EQ(f.getSpoolSize(), 1u);
}

// Binary packets: a heartbeat numbered 1 carries no number, so the first
// data packet after it still finds the expected number at 0.
TEST(LineFilterRequests, PacketHeartbeatNumberedOneLeavesStartOfDayAndAsksNothing)
{
    Log log;
    LineDataFactoryDravek packets("packets", log);
    FilterBench bench(true, 64, nullptr, &packets);
    bench.mFilter.setRetransActive(true);
    bench.mCapture.take();
    std::unique_ptr<LineData> heartbeat(packets.create());
    const std::string heartbeatBytes = packetHeader(0, 1);
    heartbeat->setData(heartbeatBytes.data(), static_cast<std::uint32_t>(heartbeatBytes.size()));
    bench.send(*heartbeat);
    std::unique_ptr<LineData> data(packets.create());
    std::string dataBytes = packetHeader(1, 1);
    dataBytes += std::string("\x08\x00\x01\x00", 4) + "abcd";
    data->setData(dataBytes.data(), static_cast<std::uint32_t>(dataBytes.size()));
    bench.send(*data);
    EXPECT_EQ(bench.mCapture.take(), "h1");
    EXPECT_EQ(bench.mFilter.getNextSeqNum(), 0u);
    EXPECT_EQ(bench.mFilter.getSpoolSize(), 1u);
}

TEST(LineFilterRequests, DisasterRecoveryGapAndTestRequest)
{
    FilterBench bench;
    LineFilter& f = bench.mFilter;
    f.setRetransActive(true);
    f.setInDRRecovery(true);
    f.setRetransMaxGapSize(0);
    f.setNextSeqNum(100, false);
    bench.play("900");
    bench.mCapture.take();
    EXPECT_TRUE(f.retransRequestDRRecoveryGap());
    EXPECT_EQ(bench.mCapture.take(), "R100-900");
    f.setNextSeqNum(901, false);
    bench.mCapture.take();
    EXPECT_FALSE(f.retransRequestDRRecoveryGap());
    unsigned begin = 5, end = 2;
    f.sendTestRetransRequest(begin, end, "7");
    EXPECT_EQ(bench.mCapture.take(), "R5-2");
}

// ---- Faults mended

TEST(LineFilterFaults, RetuningTheTimeLimitDoesNotExpireOpenGaps)
{
    FilterBench bench;
    LineFilter& f = bench.mFilter;
    f.setGapLimitTime(0.5);
    f.setNextSeqNum(100, false);
    bench.play("T T 103 T");
    f.setGapLimitTime(0.5);
    bench.mCapture.take();
    bench.play("T");
    EXPECT_EQ(bench.mCapture.take(), "");
    EXPECT_EQ(f.getSpoolSize(), 1u);
}

TEST(LineFilterFaults, LeavingDisasterRecoveryRestoresTheSizeLimitSetBeforeOrDuringIt)
{
    for (bool setDuring : {false, true})
    {
        FilterBench bench;
        LineFilter& f = bench.mFilter;
        if (!setDuring)
            f.setGapLimitSize(3);
        f.setInDRRecovery(true);
        if (setDuring)
            f.setGapLimitSize(3);
        f.setNextSeqNum(100, false);
        bench.mCapture.take();
        bench.play("102 103 104 105");
        EXPECT_EQ(bench.mCapture.take(), "") << "set during: " << setDuring;
        f.setInDRRecovery(false);
        bench.play("106");
        EXPECT_EQ(bench.mCapture.take(), "G100-101 C0-101 102 103 104 105 106") << "set during: " << setDuring;
    }
}

TEST(LineFilterFaults, MinimumIntervalBetweenSequenceSetsHolds)
{
    FilterBench bench;
    LineFilter& f = bench.mFilter;
    std::int64_t now = 1'000'000'000;
    f.setClock([&] { return now; });
    f.setMinSeqNumberSetInterval(5);
    bench.play("A100");
    EXPECT_EQ(f.getNextSeqNum(), 101u);
    now += 2'000'000'000;
    bench.play("A200");
    EXPECT_EQ(f.getNextSeqNum(), 101u);
    EXPECT_EQ(bench.mSink.count("Ignoring duplicate Sequence-Number-(Re)Set"), 1);
    now += 4'000'000'000;
    bench.play("A300");
    EXPECT_EQ(f.getNextSeqNum(), 301u);
}

TEST(LineFilterFaults, HeartbeatTimerWithoutBackupLineDoesNotAgeGaps)
{
    FilterBench bench(false);
    LineFilter& f = bench.mFilter;
    f.setGapLimitTime(0.5);
    f.setHeartbeatsControlTime(100);
    f.setNumberHeartbeatsPerControlTime(3);
    f.setNextSeqNum(10, false);
    bench.play("h9 13 H H H H H H H H");
    EXPECT_TRUE(f.isHeartbeatsControlRunning());
    EXPECT_EQ(f.getSpoolSize(), 1u);
    bench.mCapture.take();
    bench.play("T T T T T T");
    EXPECT_EQ(bench.mCapture.take(), "G10-12 C0-12 13");
}

TEST(LineFilterFaults, TimersThatCannotBeCreatedAreLogged)
{
    // The bench's session has no thread, so no timer can be made.
    FilterBench bench;
    bench.mFilter.setHeartbeatsControlTime(250.7);
    bench.mFilter.setGapLimitTime(0.5);
    bench.play("h9");
    EXPECT_TRUE(bench.mFilter.isHeartbeatsControlRunning());
    EXPECT_EQ(bench.mSink.count("filter: the heartbeat control timer of 250 ms could not be created"), 1);
    EXPECT_EQ(bench.mSink.count("filter: the gap timer could not be created"), 1);
}

TEST(LineFilterFaults, ImplausibleJumpsAreLoggedFirstAndThenEveryTenThousandth)
{
    FilterBench bench;
    LineFilter& f = bench.mFilter;
    f.setMaxValidGapSize(100);
    f.setNextSeqNum(10, false);
    bench.play("10");
    for (int i = 0; i < 10001; ++i)
        bench.send(bench.record("5000"));
    EXPECT_EQ(bench.mSink.count("dropped record 5000 as an implausible jump from expected 11"), 2);
    EXPECT_EQ(f.getSpoolSize(), 0u);
}

TEST(LineFilterFaults, FailedPublicationLogsEscapedPayloadAndStillAdvances)
{
    FilterBench bench;
    bench.mFilter.setNextSeqNum(10, false);
    bench.mCapture.mOnRecord = [](const LineData&) { throw std::runtime_error("consumer failed"); };
    const char payload[] = {'o', 'k', '\x01', '\n'};
    LineDataBasic& r = bench.record("10");
    r.setData(payload, sizeof payload);
    bench.send(r);
    EXPECT_EQ(bench.mFilter.getNextSeqNum(), 11u);
    EXPECT_EQ(bench.mSink.count("LineHandlerFilterImpl::processLineData(): consumer failed; data=(ok\\x01\\x0A)"), 1);
}
} // namespace
