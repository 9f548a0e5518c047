#include "FendralCore/dispatch/Pipeline.h"
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/FwErrorNum.h"
#include "FendralCore/foundation/MutexLock.h"
#include "FendralCore/tests/support/TestLog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <limits>
#include <poll.h>
#include <string>
#include <thread>
#include <vector>

namespace
{
constexpr OptimizationMode MODES[] = {CPU_UTILIZATION, LOW_LATENCY};

PipelineMsgHeader dataHeader(uint32 dataLen)
{
    PipelineMsgHeader h{};
    h.type = MSG_DATA;
    std::strcpy(h.channelNameTxt, "CH");
    h.dataLen = dataLen;
    return h;
}

int32 put(Pipeline& pl, const std::string& text)
{
    const PipelineMsgHeader h = dataHeader(static_cast<uint32>(text.size()));
    return pl.enqueue(text.data(), h, 1) == 0 ? 0 : FrameworkErrno::m_fwErrno;
}

// The payload of the stage's next entry, taken and released, or the code.
std::string pass(Pipeline& pl, uint32 stage)
{
    char* payload = nullptr;
    PipelineMsgHeader* hdr = nullptr;
    int32 size = 0;
    if (pl.dequeueEntryLock2(stage, payload, hdr, size, 1) != 0)
        return "error " + std::to_string(FrameworkErrno::m_fwErrno);
    std::string text(payload, hdr->dataLen);
    if (pl.dequeueEntryRelease2(stage) != 0)
        return "release error " + std::to_string(FrameworkErrno::m_fwErrno);
    return text;
}

std::string err(int32 code) { return "error " + std::to_string(code); }

bool readable(PipelineStageDesc* d)
{
    pollfd p{d->getFileDescriptor(), POLLIN, 0};
    return ::poll(&p, 1, 0) == 1;
}
} // namespace

TEST(Pipeline, SlotsAreSixtyFourByteMultiplesHoldingTheEntryInfoAndPayload)
{
    struct Case
    {
        uint32 maxData;
        uint32 elem;
    } cases[] = {{0, 192}, {8, 192}, {9, 256}, {2376 + 152, 2752}, {32768 + 152, 33152}};
    for (const Case& c : cases)
    {
        Pipeline pl(2, c.maxData, 1, LOW_LATENCY, false);
        ASSERT_TRUE(pl.isValid());
        EXPECT_EQ(pl.getElemSize(), c.elem) << c.maxData;
    }
}

TEST(Pipeline, AcceptsAsManyEntriesAsRegisteredAndRefusesTheNext)
{
    for (OptimizationMode mode : MODES)
    {
        Pipeline pl(3, 64, 2, mode, false);
        for (const char* t : {"a", "b", "c"})
            ASSERT_EQ(put(pl, t), 0) << mode;
        EXPECT_EQ(put(pl, "d"), BUFFER_FULL) << mode;
        EXPECT_EQ(pl.getMaxUsage(), 3);

        // Only the last stage's release frees a slot.
        EXPECT_EQ(pass(pl, 0), "a");
        EXPECT_EQ(put(pl, "d"), BUFFER_FULL) << mode;
        EXPECT_EQ(pass(pl, 1), "a");
        EXPECT_EQ(put(pl, "d"), 0) << mode;
        for (const char* t : {"b", "c", "d"})
        {
            EXPECT_EQ(pass(pl, 0), t);
            EXPECT_EQ(pass(pl, 1), t);
        }
        EXPECT_EQ(pass(pl, 0), mode == CPU_UTILIZATION ? err(WOULD_BLOCK) : err(BUFFER_EMPTY));
    }
}

TEST(Pipeline, NextStageSeesAnEntryOnlyOnceTheStageBeforeReleasedIt)
{
    for (OptimizationMode mode : MODES)
    {
        Pipeline pl(4, 100, 2, mode, false);
        const PipelineMsgHeader h = dataHeader(5);
        ASSERT_EQ(pl.enqueue("hello", h, 1), 0);
        if (mode == CPU_UTILIZATION)
        {
            EXPECT_TRUE(readable(pl.getStageEventFd(0)));
            EXPECT_FALSE(readable(pl.getStageEventFd(1)));
        }
        else
        {
            EXPECT_EQ(pl.getStageEventFd(0), nullptr);
        }

        char* payload = nullptr;
        PipelineMsgHeader* hdr = nullptr;
        int32 size = 0;
        ASSERT_EQ(pl.dequeueEntryLock2(0, payload, hdr, size, 1), 0);
        EXPECT_EQ(size, 100);
        EXPECT_STREQ(hdr->channelNameTxt, "CH");
        EXPECT_EQ(payload, reinterpret_cast<char*>(hdr) + Pipeline::ENTRY_INFO_SIZE);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(hdr) % 64, 0u);
        EXPECT_NE(pass(pl, 1), "hello") << "stage 1 before stage 0 released";
        payload[0] = 'j'; // worked on in place
        ASSERT_EQ(pl.dequeueEntryRelease2(0), 0);
        if (mode == CPU_UTILIZATION)
        {
            EXPECT_TRUE(readable(pl.getStageEventFd(1)));
        }
        EXPECT_EQ(pass(pl, 1), "jello");
    }
}

TEST(Pipeline, RefusesBadStagesOversizePayloadsAndMisplacedReleases)
{
    for (OptimizationMode mode : MODES)
    {
        Pipeline pl(4, 8, 2, mode, false);
        char* payload = nullptr;
        PipelineMsgHeader* hdr = nullptr;
        int32 size = 0;
        char buf[8];
        PipelineMsgHeader out{};
        EXPECT_EQ(pass(pl, 2), err(INVALID_STAGE));
        EXPECT_EQ(pl.dequeueEntryRelease2(7), -1);
        EXPECT_EQ(FrameworkErrno::m_fwErrno, INVALID_STAGE);
        EXPECT_EQ(pl.dequeue(2, buf, 8, out, 1), -1);
        EXPECT_EQ(FrameworkErrno::m_fwErrno, INVALID_STAGE);
        EXPECT_EQ(pl.getStageEventFd(2), nullptr);

        EXPECT_EQ(put(pl, "123456789"), MSG_TOO_LARGE);
        EXPECT_EQ(put(pl, "12345678"), 0);

        // A release with nothing taken is refused at once, in either mode.
        testLog().clear();
        EXPECT_EQ(pl.dequeueEntryRelease2(0), -1);
        EXPECT_EQ(FrameworkErrno::m_fwErrno, mode == CPU_UTILIZATION ? PL_INCORRECT_LOCKER : PL_STAGE_ERROR);
        EXPECT_TRUE(testLog().contains(mode == CPU_UTILIZATION ? "is not locked by this thread"
                                                               : "Mismatch found in pipeline entry info at stage [0]"));
        ASSERT_EQ(pl.dequeueEntryLock2(0, payload, hdr, size, 1), 0);
        EXPECT_EQ(pl.dequeueEntryRelease2(1), -1) << "the entry is held at stage 0";
        EXPECT_EQ(pl.dequeueEntryRelease2(0), 0);
        EXPECT_EQ(pl.dequeueEntryRelease2(0), -1) << "released twice";
        EXPECT_EQ(pass(pl, 1), "12345678");
    }
}

TEST(Pipeline, ReleaseFromAnotherThreadThanTheTakerIsRefused)
{
    for (OptimizationMode mode : MODES)
    {
        Pipeline pl(4, 8, 1, mode, false);
        ASSERT_EQ(put(pl, "x"), 0);
        char* payload = nullptr;
        PipelineMsgHeader* hdr = nullptr;
        int32 size = 0;
        ASSERT_EQ(pl.dequeueEntryLock2(0, payload, hdr, size, 1), 0);
        testLog().clear();
        int32 result = 0;
        int32 code = 0;
        std::thread other([&] {
            result = pl.dequeueEntryRelease2(0);
            code = FrameworkErrno::m_fwErrno;
        });
        other.join();
        EXPECT_EQ(result, -1);
        EXPECT_EQ(code, mode == CPU_UTILIZATION ? PL_INCORRECT_LOCKER : PL_STAGE_ERROR);
        if (mode == CPU_UTILIZATION)
        {
            EXPECT_TRUE(testLog().contains("The pipeline stage [0] is not locked by this thread ["));
        }
        EXPECT_EQ(pl.dequeueEntryRelease2(0), 0);
        EXPECT_EQ(put(pl, "y"), 0);
    }
}

TEST(Pipeline, CopyingDequeueCutsAnOversizePayloadButStillPassesTheEntryOn)
{
    for (OptimizationMode mode : MODES)
    {
        Pipeline pl(4, 16, 2, mode, false);
        ASSERT_EQ(put(pl, "abcdefgh"), 0);
        ASSERT_EQ(put(pl, "xy"), 0);
        char buf[4] = {};
        PipelineMsgHeader out{};
        EXPECT_EQ(pl.dequeue(0, buf, 4, out, 1), -1);
        EXPECT_EQ(FrameworkErrno::m_fwErrno, MSG_TOO_LARGE);
        EXPECT_EQ(std::string(buf, 4), "abcd");
        EXPECT_EQ(out.dataLen, 8u);
        if (mode == CPU_UTILIZATION)
        {
            EXPECT_TRUE(readable(pl.getStageEventFd(1))) << "the next stage must be woken for the cut entry";
        }
        EXPECT_EQ(pass(pl, 1), "abcdefgh");

        EXPECT_EQ(pl.dequeue(0, buf, 4, out, 1), 0);
        EXPECT_EQ(std::string(buf, 2), "xy");
        EXPECT_EQ(pass(pl, 1), "xy");
    }
}

TEST(Pipeline, MultiEntryTakeHoldsAConsecutiveRunReleasedTogether)
{
    for (OptimizationMode mode : MODES)
    {
        Pipeline pl(8, 8, 2, mode, false);
        for (const char* t : {"1", "2", "3"})
            ASSERT_EQ(put(pl, t), 0);
        PipelineMsgRecord2 recs[Pipeline::RECV_MULTI_REC_MAX + 1];
        int32 got = -1;
        int32 size = 0;
        for (int32 bad : {0, -1, Pipeline::RECV_MULTI_REC_MAX + 1})
        {
            EXPECT_EQ(pl.multiDequeueEntryLock2(0, recs, bad, got, size, 1), -1) << bad;
            EXPECT_EQ(FrameworkErrno::m_fwErrno, PL_INVALID_NUM_REC);
        }
        ASSERT_EQ(pl.multiDequeueEntryLock2(0, recs, 2, got, size, 1), 0);
        ASSERT_EQ(got, 2);
        EXPECT_EQ(std::string(recs[0].bufPtr, recs[0].plMsgHdrPtr->dataLen), "1");
        EXPECT_EQ(std::string(recs[1].bufPtr, recs[1].plMsgHdrPtr->dataLen), "2");

        testLog().clear();
        EXPECT_EQ(pl.multiDequeueEntryRelease2(0, 3), -1);
        EXPECT_EQ(FrameworkErrno::m_fwErrno, PL_INCORRECT_NUM_UNLOCK_RECORD);
        EXPECT_TRUE(testLog().contains(
            "The number of records unlocked [2] at stage [0] does not match the number specified [3]."));
        ASSERT_EQ(pl.multiDequeueEntryRelease2(0, 2), 0);

        ASSERT_EQ(pl.multiDequeueEntryLock2(0, recs, 50, got, size, 1), 0);
        EXPECT_EQ(got, 1) << "only what was released to the stage";
        ASSERT_EQ(pl.multiDequeueEntryRelease2(0, 1), 0);
        ASSERT_EQ(pl.multiDequeueEntryLock2(1, recs, 50, got, size, 1), 0);
        EXPECT_EQ(got, 3);
        EXPECT_EQ(std::string(recs[2].bufPtr, 1), "3");
        ASSERT_EQ(pl.multiDequeueEntryRelease2(1, 3), 0);
        EXPECT_NE(pass(pl, 1), "1");
    }
}

TEST(Pipeline, ImpossibleSizesLeaveAnUnusablePipelineThatSaysSo)
{
    struct Case
    {
        uint32 entries;
        uint32 maxData;
        uint32 stages;
    } cases[] = {
        {0, 100, 1},
        {4, 100, 0},
        {4, std::numeric_limits<uint32>::max(), 1},             // slot size beyond 32 bits
        {std::numeric_limits<uint32>::max(), 0xFFFFFF00u, 3}, // far beyond the address space
    };
    for (const Case& c : cases)
    {
        testLog().clear();
        Pipeline pl(c.entries, c.maxData, c.stages, CPU_UTILIZATION, false);
        EXPECT_FALSE(pl.isValid());
        EXPECT_TRUE(testLog().contains("Failed allocating memory for pipeline [")) << c.entries;
        EXPECT_EQ(put(pl, "x"), INVALID_FUNC_ARG);
        EXPECT_NE(pass(pl, 0).rfind("error", 0), std::string::npos);
        EXPECT_EQ(pl.getStageEventFd(0), nullptr);
    }
}

TEST(Pipeline, PerformanceRecordsStampTheProducerAndEachStage)
{
    Pipeline pl(2, 8, 2, LOW_LATENCY, true);
    ASSERT_EQ(put(pl, "x"), 0);
    ASSERT_EQ(pass(pl, 0), "x");
    const PerfInfo* rec = pl.getPerfInfo(0);
    ASSERT_NE(rec, nullptr);
    EXPECT_TRUE(pthread_equal(rec[0].threadId, pthread_self()));
    EXPECT_NE(rec[0].endTm.tv_sec, 0);
    EXPECT_NE(rec[1].endTm.tv_sec, 0) << "stage 0 released";
    EXPECT_EQ(rec[2].startTm.tv_sec, 0) << "stage 1 not reached";
    EXPECT_EQ(Pipeline(2, 8, 2, LOW_LATENCY, false).getPerfInfo(0), nullptr);
}

TEST(Pipeline, CopyingLockWritesTheUpdatedPayloadBackOnRelease)
{
    for (OptimizationMode mode : MODES)
    {
        Pipeline pl(4, 16, 2, mode, false);
        ASSERT_EQ(put(pl, "abc"), 0);
        ASSERT_EQ(put(pl, "0123456789"), 0);
        char buf[16] = {};
        PipelineMsgHeader hdr{};
        int32 size = 0;
        ASSERT_EQ(pl.dequeueEntryLock(0, buf, 16, hdr, size, 1), 0);
        EXPECT_EQ(std::string(buf, hdr.dataLen), "abc");
        EXPECT_EQ(size, 16);
        EXPECT_EQ(pl.dequeueEntryRelease(0, "wxyz!", 17), -1) << "longer than an entry";
        EXPECT_EQ(FrameworkErrno::m_fwErrno, MSG_TOO_LARGE);
        ASSERT_EQ(pl.dequeueEntryRelease(0, "wxyz!", 5), 0);
        EXPECT_EQ(pass(pl, 1), "wxyz!");

        // Cut: reported, and the entry goes on unchanged rather than stay held.
        EXPECT_EQ(pl.dequeueEntryLock(0, buf, 4, hdr, size, 1), -1);
        EXPECT_EQ(FrameworkErrno::m_fwErrno, MSG_TOO_LARGE);
        EXPECT_EQ(std::string(buf, 4), "0123");
        EXPECT_EQ(pl.dequeueEntryRelease(0, nullptr, -1), -1) << "nothing is held any more";
        EXPECT_EQ(pass(pl, 1), "0123456789");
    }
}

TEST(Pipeline, MultiEntryCopyAndLockVariantsCopyOutAndStoreLengthsBack)
{
    for (OptimizationMode mode : MODES)
    {
        Pipeline pl(8, 16, 2, mode, false);
        for (const char* t : {"one", "two", "three-long"})
            ASSERT_EQ(put(pl, t), 0);
        PipelineMsgRecord recs[3];
        int32 got = 0;
        int32 size = 0;
        ASSERT_EQ(pl.multiDequeueEntryLock(0, recs, 3, got, size, 1), 0);
        ASSERT_EQ(got, 3);
        EXPECT_EQ(recs[2].bufLen, 10u);
        recs[0].bufLen = 1;  // "o"
        recs[1].bufLen = 17; // too long: nothing is stored
        EXPECT_EQ(pl.multiDequeueEntryRelease(0, recs, 3), -1);
        EXPECT_EQ(FrameworkErrno::m_fwErrno, MSG_TOO_LARGE);
        EXPECT_EQ(recs[0].plMsgHdrPtr->dataLen, 3u);
        EXPECT_EQ(pl.multiDequeueEntryRelease(0, recs, 2), -1);
        EXPECT_EQ(FrameworkErrno::m_fwErrno, PL_INCORRECT_NUM_UNLOCK_RECORD);
        recs[1].bufLen = 2; // "tw"
        ASSERT_EQ(pl.multiDequeueEntryRelease(0, recs, 3), 0);

        PipelineMsgHeader hdrs[3];
        char bufs[3][8];
        for (int i = 0; i < 3; ++i)
            recs[i] = {&hdrs[i], bufs[i], 8};
        EXPECT_EQ(pl.multiDequeue(1, recs, 3, got, 1), -1) << "the third is cut to 8";
        EXPECT_EQ(FrameworkErrno::m_fwErrno, MSG_TOO_LARGE);
        ASSERT_EQ(got, 3);
        EXPECT_EQ(std::string(bufs[0], recs[0].bufLen), "o");
        EXPECT_EQ(std::string(bufs[1], recs[1].bufLen), "tw");
        EXPECT_EQ(std::string(bufs[2], recs[2].bufLen), "three-lo");
        EXPECT_EQ(hdrs[2].dataLen, 10u);
        EXPECT_EQ(put(pl, "again"), 0) << "all three were released";
        EXPECT_EQ(pl.multiDequeue(0, recs, 0, got, 1), -1);
        EXPECT_EQ(FrameworkErrno::m_fwErrno, PL_INVALID_NUM_REC);
    }
}

namespace
{
std::atomic<int> g_locksBeforeFault{-1};

// Lets locks through until the count reaches 0; that one fails.
int failCountedLock(const MutexLock*)
{
    return g_locksBeforeFault.fetch_sub(1) == 0 ? EAGAIN : 0;
}
} // namespace

// A lock that fails leaves the pipeline as it was: a refused enqueue takes no
// place, and a refused take leaves the entry and its wake-up for the next try.
TEST(Pipeline, FailedLockLosesNoEntryAndTakesNoPlace)
{
    struct Case
    {
        const char* what;
        int locksBefore; // locks let through before the failing one
        bool enqueue;
    };
    // An enqueue takes the write lock; a take the stage's reservation lock,
    // then its hold lock.
    for (const Case& c : {Case{"write lock", 0, true}, Case{"reservation lock", 0, false},
                          Case{"hold lock", 1, false}})
    {
        SCOPED_TRACE(c.what);
        testLog().clear();
        Pipeline pl(4, 64, 1, CPU_UTILIZATION, false);
        ASSERT_TRUE(pl.isValid());
        if (!c.enqueue)
        {
            ASSERT_EQ(put(pl, "kept"), 0);
        }
        g_locksBeforeFault = c.locksBefore;
        MutexLock::setLockFault(failCountedLock);
        if (c.enqueue)
        {
            EXPECT_EQ(put(pl, "refused"), LOCK_FAILED);
        }
        else
        {
            EXPECT_EQ(pass(pl, 0), err(LOCK_FAILED));
        }
        MutexLock::setLockFault(nullptr);

        if (c.enqueue)
        {
            EXPECT_TRUE(testLog().contains("locking the m_wlock for enqueuing a message into pipeline"));
            EXPECT_FALSE(readable(pl.getStageEventFd(0)));
            for (const char* text : {"a", "b", "c", "d"})
                EXPECT_EQ(put(pl, text), 0) << text;
            EXPECT_EQ(put(pl, "e"), BUFFER_FULL);
            EXPECT_EQ(pass(pl, 0), "a");
        }
        else
        {
            EXPECT_TRUE(readable(pl.getStageEventFd(0)));
            EXPECT_EQ(pass(pl, 0), "kept");
        }
    }
}
