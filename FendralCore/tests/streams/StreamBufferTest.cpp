#include "FendralCore/runtime/StreamBuffer.h"
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/FwErrorNum.h"
#include "FendralCore/runtime/FrameworkResource.h"
#include "FendralCore/runtime/ResourceManager.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <numeric>
#include <poll.h>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace
{
int32 put(StreamBuffer& sb, const std::string& bytes, bool allOrNothing = false)
{
    int32 written = -1;
    const int32 r = sb.enqueue(bytes.data(), static_cast<int32>(bytes.size()), written, allOrNothing);
    return r == 0 ? written : -FrameworkErrno::m_fwErrno;
}

// The bytes read, or the error code as text.
std::string take(StreamBuffer& sb, int32 maxLen, bool exact = false, int32 headLimit = -1, bool peek = false)
{
    std::vector<char> buf(static_cast<size_t>(maxLen) + 1);
    int32 n = -1;
    const int32 r = peek ? sb.peek(buf.data(), maxLen, n, exact, headLimit)
                         : sb.dequeue(buf.data(), maxLen, n, exact, headLimit);
    return r == 0 ? std::string(buf.data(), static_cast<size_t>(n)) : "error " + std::to_string(FrameworkErrno::m_fwErrno);
}

bool readable(const StreamBuffer& sb)
{
    pollfd p{sb.getFileDescriptor(), POLLIN, 0};
    return ::poll(&p, 1, 0) == 1;
}
} // namespace

TEST(StreamBuffer, HoldsItsCapacityAndRefusesTheByteBeyond)
{
    for (OptimizationMode mode : {CPU_UTILIZATION, LOW_LATENCY})
    {
        StreamBuffer sb(4, mode, false);
        EXPECT_EQ(put(sb, "abcd"), 4);
        EXPECT_EQ(put(sb, "e"), -BUFFER_FULL);
        EXPECT_EQ(sb.availEntry(), 4);
        EXPECT_EQ(take(sb, 10), "abcd");
        EXPECT_EQ(take(sb, 10), "error " + std::to_string(BUFFER_EMPTY));
    }
}

TEST(StreamBuffer, AllOrNothingWriteRefusesWhatDoesNotFitAndPlainWriteCuts)
{
    StreamBuffer sb(4, LOW_LATENCY, false);
    ASSERT_EQ(put(sb, "xy"), 2);
    int32 written = -1;
    int32 newHead = -1;
    EXPECT_EQ(sb.enqueue("123", 3, written, newHead, true), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, NOT_ENOUGH_EMPTY_ENTRY);
    EXPECT_EQ(written, 0);
    EXPECT_EQ(newHead, 2);
    EXPECT_EQ(sb.availEntry(), 2);

    EXPECT_EQ(sb.enqueue("123", 3, written, newHead, false), 0);
    EXPECT_EQ(written, 2);
    EXPECT_EQ(newHead, 4);
    EXPECT_EQ(take(sb, 10), "xy12");
}

TEST(StreamBuffer, ExactReadOfMoreThanHeldFailsAndConsumesNothing)
{
    StreamBuffer sb(16, CPU_UTILIZATION, false);
    ASSERT_EQ(put(sb, "abcdef"), 6);
    std::vector<char> buf(10);
    int32 n = -1;
    EXPECT_EQ(sb.dequeue(buf.data(), 10, n, true), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, NOT_ENOUGH_FILLED_ENTRY);
    EXPECT_EQ(n, 6);
    EXPECT_EQ(sb.availEntry(), 6);

    EXPECT_EQ(take(sb, 4, true, -1, true), "abcd") << "peek";
    EXPECT_EQ(take(sb, 4, true), "abcd");
    EXPECT_EQ(take(sb, 6), "ef");
}

TEST(StreamBuffer, HeadLimitStopsAtTheWritersRecordedHead)
{
    StreamBuffer sb(8, LOW_LATENCY, false);
    int32 written = 0;
    int32 firstHead = -1;
    ASSERT_EQ(sb.enqueue("abc", 3, written, firstHead, false), 0);
    ASSERT_EQ(put(sb, "defg"), 4);
    EXPECT_EQ(take(sb, 100, false, firstHead, true), "abc") << "peek";
    EXPECT_EQ(take(sb, 100, false, firstHead), "abc");
    EXPECT_EQ(take(sb, 100, false, firstHead), "error " + std::to_string(BUFFER_EMPTY));
    EXPECT_EQ(take(sb, 100), "defg");

    // A limit from a record the reader has already passed, even across the
    // ring's end, yields nothing rather than bytes never written.
    ASSERT_EQ(put(sb, "hij"), 3); // head wraps to 1, tail 7
    EXPECT_EQ(take(sb, 100, false, firstHead), "error " + std::to_string(BUFFER_EMPTY));
    EXPECT_EQ(sb.availEntry(), 3);
    for (int32 bad : {-2, 9, std::numeric_limits<int32>::max()})
        EXPECT_EQ(take(sb, 100, false, bad), "error " + std::to_string(INVALID_FUNC_ARG)) << bad;
    EXPECT_EQ(take(sb, 100), "hij");
}

TEST(StreamBuffer, WrapsTheRingEndInTwoPiecesAndCountsHeldBytesAcrossIt)
{
    StreamBuffer sb(4, LOW_LATENCY, false); // ring of 5
    ASSERT_EQ(put(sb, "abc"), 3);
    ASSERT_EQ(take(sb, 3), "abc");
    ASSERT_EQ(put(sb, "def"), 3); // head 1, tail 3
    EXPECT_EQ(sb.availEntry(), 3);
    EXPECT_EQ(take(sb, 2, false, -1, true), "de");
    EXPECT_EQ(take(sb, 3), "def");
    EXPECT_EQ(sb.availEntry(), 0);
}

TEST(StreamBuffer, ResetEmptiesButKeepsThePeakFill)
{
    StreamBuffer sb(10, CPU_UTILIZATION, false);
    ASSERT_EQ(put(sb, "0123456"), 7);
    ASSERT_EQ(take(sb, 5), "01234");
    ASSERT_EQ(put(sb, "78"), 2);
    EXPECT_EQ(sb.getMaxUsage(), 7);
    sb.reset();
    EXPECT_EQ(sb.availEntry(), 0);
    EXPECT_EQ(sb.getMaxUsage(), 7);
    EXPECT_EQ(take(sb, 10), "error " + std::to_string(BUFFER_EMPTY));
    EXPECT_EQ(put(sb, "abcdefghij"), 10);
    EXPECT_EQ(sb.getMaxUsage(), 10);
}

TEST(StreamBuffer, RefusesBadArgumentsAndCapacitiesWithoutTouchingMemory)
{
    StreamBuffer sb(4, LOW_LATENCY, false);
    int32 written = 0;
    int32 n = 0;
    char buf[4];
    EXPECT_EQ(sb.enqueue("ab", -1, written, false), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, INVALID_FUNC_ARG);
    EXPECT_EQ(sb.enqueue(nullptr, 2, written, false), -1);
    EXPECT_EQ(sb.dequeue(buf, -1, n, false), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, INVALID_FUNC_ARG);

    for (int32 capacity : {0, -7, std::numeric_limits<int32>::max()})
    {
        StreamBuffer bad(capacity, LOW_LATENCY, false);
        EXPECT_EQ(put(bad, "a"), -BUFFER_FULL) << capacity;
        EXPECT_EQ(take(bad, 1), "error " + std::to_string(BUFFER_EMPTY)) << capacity;
        EXPECT_EQ(bad.availEntry(), 0);
    }
}

// In CPU_UTILIZATION mode each write posts the descriptor and one read takes
// every pending wake-up, on a channel ring as on a plain one; a write may
// leave the post to its writer (wakeReader), and LOW_LATENCY never posts.
TEST(StreamBuffer, CpuModeWakesTheReaderAndOneTakeClearsEveryWakeUp)
{
    TcpConnResource* noChannel = nullptr;
    StreamBuffer channel(noChannel, 64, CPU_UTILIZATION, false);
    StreamBuffer plain(64, CPU_UTILIZATION, false);
    for (StreamBuffer* sb : {&channel, &plain})
    {
        EXPECT_FALSE(readable(*sb));
        ASSERT_EQ(put(*sb, "ab"), 2);
        ASSERT_EQ(put(*sb, "cd"), 2);
        EXPECT_TRUE(readable(*sb));
        EXPECT_EQ(take(*sb, 1), "a");
        EXPECT_FALSE(readable(*sb)) << "one read takes every count";
        EXPECT_EQ(take(*sb, 8), "bcd") << "no count left is no failure";

        int32 written = 0;
        int32 head = 0;
        ASSERT_EQ(sb->enqueue("ef", 2, written, head, true, false), 0);
        EXPECT_FALSE(readable(*sb)) << "the writer wakes the reader itself";
        ASSERT_EQ(sb->wakeReader(), 0);
        EXPECT_TRUE(readable(*sb));
        sb->takeWakeUps();
        EXPECT_FALSE(readable(*sb));
        sb->takeWakeUps();
        EXPECT_EQ(take(*sb, 8), "ef");
    }

    StreamBuffer polled(64, LOW_LATENCY, false);
    ASSERT_EQ(put(polled, "ab"), 2);
    ASSERT_EQ(polled.wakeReader(), 0);
    EXPECT_FALSE(readable(polled));
}

TEST(StreamBuffer, OneWriterOneReaderPassEveryByteInOrder)
{
    for (OptimizationMode mode : {CPU_UTILIZATION, LOW_LATENCY})
    {
        constexpr size_t total = 2'000'000;
        StreamBuffer sb(nullptr, 4099, mode, false);
        std::vector<char> source(total);
        std::mt19937 rng(7);
        for (char& c : source)
            c = static_cast<char>(rng());

        std::thread writer([&] {
            std::mt19937 sizes(11);
            size_t off = 0;
            while (off < total)
            {
                const auto want = static_cast<int32>(std::min<size_t>(1 + sizes() % 3000, total - off));
                int32 written = 0;
                if (sb.enqueue(source.data() + off, want, written, false) == 0)
                    off += static_cast<size_t>(written);
                else
                    std::this_thread::yield();
            }
        });
        std::vector<char> got;
        got.reserve(total);
        std::mt19937 sizes(13);
        char buf[5000];
        while (got.size() < total)
        {
            int32 n = 0;
            if (sb.dequeue(buf, static_cast<int32>(1 + sizes() % 5000), n, false) == 0)
                got.insert(got.end(), buf, buf + n);
            else
                std::this_thread::yield();
        }
        writer.join();
        EXPECT_TRUE(got == source) << "mode " << mode;
        EXPECT_LE(sb.getMaxUsage(), 4099);
    }
}

TEST(StreamBuffer, ChannelOnAPipelineKnowsTheLargestRawMessageAnEntryTakes)
{
    ResourceManager& reg = ResourceManager::getInst();
    PipelineParam param;
    reg.initPipelineParam(param);
    std::strcpy(param.pipelineNameTxt, "SB_PL");
    param.numStages = 1;
    param.entrySize = 4096;
    param.numEntry = 10;
    PipelineResource* known = nullptr;
    if (reg.getPipelineRes(param.pipelineNameTxt, &known) != 0) // registered once per process
    {
        ASSERT_EQ(reg.registerPipelineRes(param, nullptr), 0);
    }

    TcpConnResource channel{};
    std::strcpy(channel.regParam.pipelineNameTxt, "SB_PL");
    channel.usePipeline = true;
    EXPECT_EQ(StreamBuffer(&channel, 100, LOW_LATENCY, false).getMaxPipeRawMsgSize(), 4096 - 216);
    channel.usePipeline = false;
    EXPECT_EQ(StreamBuffer(&channel, 100, LOW_LATENCY, false).getMaxPipeRawMsgSize(), 0);
    EXPECT_EQ(StreamBuffer(100, LOW_LATENCY, false).getMaxPipeRawMsgSize(), 0);
}

// A read straight into the ring: the free room as one region, or two where
// it wraps the end, never beyond maxLen nor over bytes not yet read; what is
// written there and committed reads back in order, with the head reported.
TEST(StreamBuffer, WritableRegionsCoverTheFreeRoomAcrossTheEndAndCommitPublishesThem)
{
    struct Case
    {
        int32 readFirst;   // of 6 bytes written first into a ring of capacity 8
        int32 maxLen;
        std::string write; // into the regions given, in order
        int32 regions;
    };
    const Case cases[] = {
        {0, 100, "ab", 1},       // room 2, before the end (the ring has 9 bytes)
        {4, 100, "abcdef", 2},   // room 6: 3 before the end, 3 after it
        {4, 4, "abcd", 2},       // cut to maxLen across the end
        {4, 3, "abc", 1},        // cut to maxLen at the end
        {6, 100, "abcdefgh", 2}, // everything read: the whole capacity
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.write);
        StreamBuffer sb(8, LOW_LATENCY, false);
        ASSERT_EQ(put(sb, "012345"), 6);
        ASSERT_EQ(take(sb, c.readFirst).size(), static_cast<size_t>(c.readFirst));
        iovec regions[2]{};
        const int32 n = sb.writableRegions(regions, c.maxLen);
        ASSERT_EQ(n, c.regions);
        size_t at = 0;
        for (int32 i = 0; i < n; ++i)
        {
            std::memcpy(regions[i].iov_base, c.write.data() + at, regions[i].iov_len);
            at += regions[i].iov_len;
        }
        ASSERT_EQ(at, c.write.size());
        int32 head = -1;
        sb.commitWritten(static_cast<int32>(at), head);
        EXPECT_TRUE(sb.isHead(head));
        EXPECT_EQ(take(sb, 100), std::string("012345").substr(static_cast<size_t>(c.readFirst)) + c.write);
    }
    StreamBuffer full(4, LOW_LATENCY, false);
    ASSERT_EQ(put(full, "abcd"), 4);
    iovec regions[2]{};
    EXPECT_EQ(full.writableRegions(regions, 100), 0);
}
