#include "AgentTestSupport.h"
#include "FendralCore/tests/support/TestLog.h"

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/runtime/AgentShmLayout.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sched.h>
#include <sys/wait.h>

namespace
{

Command commandOf(int32 seq)
{
    Command cmd{};
    cmd.fwCmd.cmdCode = CMD_APP_DEFINED;
    cmd.fwCmd.seq = seq;
    cmd.appCmd.actionId = seq * 3;
    std::snprintf(cmd.appCmd.actPara, sizeof(cmd.appCmd.actPara), "action %d", seq);
    return cmd;
}

// On the heap and exactly its size, so a slot read outside the ring is caught.
std::unique_ptr<CommandRing> newRing()
{
    auto ring = std::make_unique<CommandRing>();
    std::memset(ring.get(), 0, sizeof(CommandRing));
    return ring;
}

TEST(SingleRwRingBufferTest, FullRingHoldsTenCommandsInOrderAcrossTheWrap)
{
    auto ring = newRing();
    ring->initialize();
    // Start near the end, so the ten entries wrap round slot 10.
    ring->m_headIndex = ring->m_tailIndex = 7;
    for (int32 seq = 0; seq < 10; ++seq)
        ASSERT_EQ(ring->enqueue(commandOf(seq)), 0) << seq;
    EXPECT_EQ(ring->m_headIndex, (ring->m_tailIndex + 10) % 11);
    EXPECT_EQ(ring->getNumOfElem(), 10);
    EXPECT_EQ(ring->m_maxUsage, 10);
    FrameworkErrno::m_fwErrno = 0;
    EXPECT_EQ(ring->enqueue(commandOf(10)), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, BUFFER_FULL);

    for (int32 seq = 0; seq < 10; ++seq)
    {
        Command cmd{};
        ASSERT_EQ(ring->dequeue(cmd), 0) << seq;
        const Command expected = commandOf(seq);
        EXPECT_EQ(std::memcmp(&cmd, &expected, sizeof(cmd)), 0) << seq;
        EXPECT_EQ(ring->getNumOfElem(), 9 - seq);
    }
    Command cmd{};
    FrameworkErrno::m_fwErrno = 0;
    EXPECT_EQ(ring->dequeue(cmd), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, BUFFER_EMPTY);
}

// Size and indices come from the other process: a ring it left in any of these
// states reads as empty, nothing outside the slots is touched, and nothing is
// moved.
TEST(SingleRwRingBufferTest, RingWithIndicesOutsideItsSlotsReadsAsEmpty)
{
    const struct
    {
        int32 size, head, tail;
    } cases[] = {
        {0, 3, 0},   {0, 0, 4},       {12, 1, 0},      {-11, 1, 0}, {11, 11, 0},
        {11, 0, 11}, {11, -1, 0},     {11, 0, -7},     {11, 1000000, 0},
        {11, 2, INT32_MIN},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(::testing::Message() << c.size << " " << c.head << " " << c.tail);
        testLog().clear();
        auto ring = newRing();
        ring->m_bufSize = c.size;
        ring->m_headIndex = c.head;
        ring->m_tailIndex = c.tail;

        EXPECT_EQ(ring->getNumOfElem(), 0);
        Command cmd{};
        FrameworkErrno::m_fwErrno = 0;
        EXPECT_EQ(ring->dequeue(cmd), -1);
        EXPECT_EQ(FrameworkErrno::m_fwErrno, BUFFER_EMPTY);
        FrameworkErrno::m_fwErrno = 0;
        EXPECT_EQ(ring->enqueue(commandOf(1)), -1);
        EXPECT_EQ(FrameworkErrno::m_fwErrno, BUFFER_FULL);
        EXPECT_EQ(ring->m_headIndex, c.head);
        EXPECT_EQ(ring->m_tailIndex, c.tail);
        EXPECT_TRUE(testLog().contains("Shared ring buffer is corrupt: size [" + std::to_string(c.size) +
                                       "] (expected [11]), head [" + std::to_string(c.head) + "], tail [" +
                                       std::to_string(c.tail) + "]. Treat it as empty."));
    }
}

TEST(SingleRwRingBufferTest, RingNobodyInitialisedIsEmptyWithoutComplaint)
{
    testLog().clear();
    auto ring = newRing();
    Command cmd{};
    EXPECT_EQ(ring->getNumOfElem(), 0);
    FrameworkErrno::m_fwErrno = 0;
    EXPECT_EQ(ring->dequeue(cmd), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, BUFFER_EMPTY);
    EXPECT_TRUE(testLog().lines().empty());
}

// The agent writes commands in its own process while this one reads them:
// every command arrives once, whole and in order, through many wraps.
TEST(SingleRwRingBufferTest, CommandsFromAnotherProcessArriveWholeAndInOrder)
{
    constexpr int32 COUNT = 2000;
    FakeAgent agent;
    AppSharedMemBlock* block = agent.createAppBlock("/" + uniqueId("R"));
    ASSERT_NE(block, nullptr);

    const pid_t child = fork();
    if (child == 0)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        for (int32 seq = 0; seq < COUNT;)
        {
            if (block->cmdBuf.enqueue(commandOf(seq)) == 0)
                ++seq;
            else if (std::chrono::steady_clock::now() > deadline)
                _exit(5);
            else
                sched_yield();
        }
        _exit(0);
    }
    ASSERT_GT(child, 0);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int32 next = 0;
    int32 mismatches = 0;
    while (next < COUNT && std::chrono::steady_clock::now() < deadline)
    {
        Command cmd{};
        if (block->cmdBuf.dequeue(cmd) != 0)
        {
            sched_yield();
            continue;
        }
        const Command expected = commandOf(next);
        if (std::memcmp(&cmd, &expected, sizeof(cmd)) != 0)
            ++mismatches;
        ++next;
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(next, COUNT);
    EXPECT_EQ(mismatches, 0);
    EXPECT_EQ(block->cmdBuf.getNumOfElem(), 0);
    EXPECT_LE(block->cmdBuf.m_maxUsage, 10);
}

} // namespace
