// The write buffer against a scripted sender: what it keeps, what it sends,
// when it asks for a resend or a retry, and when it gives the connection up.
#include "kelmora/masquerade/WriteBuffer.h"

#include "../host_runnable/RunnableTestSupport.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>

using namespace hostrun;

namespace
{
struct ScriptedSink : WriteBufferSink
{
    std::deque<int> results; // what each write returns; "all" once empty
    std::string written;
    int calls = 0;
    int failures = 0;
    int sendToNetwork(const char* data, int len) override
    {
        ++calls;
        int n = len;
        if (!results.empty())
        {
            n = results.front();
            results.pop_front();
        }
        if (n > 0)
            written.append(data, static_cast<std::size_t>(std::min(n, len)));
        return n;
    }
    void onQueuedSendFailed() override { ++failures; }
};

// Counts the resend posts and retry arming instead of reaching a thread.
struct CountingBuffer : WriteBuffer
{
    using WriteBuffer::WriteBuffer;
    int posts = 0;
    int postResult = 0;
    int arms = 0;
    bool armed = false;
    int postResend() override
    {
        ++posts;
        return postResult;
    }
    void armRetryTimer() override
    {
        ++arms;
        armed = true;
    }
    void disarmRetryTimer() override { armed = false; }
};

Zunq::ThreadData resendFor(const void* buffer)
{
    Zunq::ThreadData d;
    d.mDataType = Zunq::RESEND;
    d.mDataPtr1 = buffer;
    return d;
}

struct WriteBufferFixture : ::testing::Test
{
    Host host;
    TarvokSession session;
    ScriptedSink sink;
    CountingBuffer buffer{"LineMasqueraderTcp", session, sink, host.log};
    Orlu<Zunq::ThreadData> bus{"resend", "default"};

    void SetUp() override { buffer.setSocketValid(true); }
    // The resend message coming back to the buffer.
    void deliverResend() { buffer.onData(bus, "t", resendFor(&buffer)); }
};
} // namespace

TEST_F(WriteBufferFixture, DrainsThroughPartialWritesWithOneResendInFlight)
{
    std::string all;
    for (int i = 0; i < 3; ++i)
    {
        std::string chunk(100, static_cast<char>('a' + i));
        ASSERT_TRUE(buffer.enqueue(chunk.data(), chunk.size()));
        all += chunk;
    }
    // Three enqueues, one message on its way.
    EXPECT_EQ(buffer.posts, 1);
    EXPECT_EQ(buffer.used(), 300u);

    sink.results = {120, 100};
    deliverResend();
    EXPECT_EQ(buffer.used(), 180u);
    EXPECT_EQ(buffer.posts, 2); // bytes remain: the next resend
    deliverResend();
    EXPECT_EQ(buffer.used(), 80u);
    deliverResend();
    EXPECT_EQ(buffer.used(), 0u);
    EXPECT_EQ(buffer.posts, 3); // emptied: nothing more asked
    EXPECT_EQ(sink.written, all);
    EXPECT_EQ(sink.failures, 0);
}

TEST_F(WriteBufferFixture, AFullSocketKeepsTheBytesAndRetriesOnTheTimer)
{
    ASSERT_TRUE(buffer.enqueue("0123456789", 10));
    sink.results = {0, 0, 4};
    deliverResend();
    // Nothing lost and no loop of resend messages: a retry is armed.
    EXPECT_EQ(buffer.used(), 10u);
    EXPECT_EQ(buffer.posts, 1);
    EXPECT_TRUE(buffer.armed);
    buffer.onTimer(nullptr);
    EXPECT_EQ(buffer.used(), 10u);
    EXPECT_EQ(buffer.posts, 1);
    buffer.onTimer(nullptr); // 4 go out, the rest by a resend
    EXPECT_EQ(buffer.used(), 6u);
    EXPECT_EQ(buffer.posts, 2);
    deliverResend();
    EXPECT_EQ(buffer.used(), 0u);
    EXPECT_FALSE(buffer.armed);
    EXPECT_EQ(sink.written, "0123456789");
    EXPECT_EQ(sink.failures, 0);
}

TEST_F(WriteBufferFixture, AFailedWriteDropsTheQueueAndClosesTheConnection)
{
    ASSERT_TRUE(buffer.enqueue("abc", 3));
    sink.results = {-1};
    deliverResend();
    EXPECT_EQ(buffer.used(), 0u);
    EXPECT_EQ(sink.failures, 1);
    EXPECT_EQ(buffer.posts, 1);
    EXPECT_EQ(host.sink.count("LineMasqueraderTcp: send of queued data failed", LOG_LEVEL_ERROR), 1);
}

TEST_F(WriteBufferFixture, TheMaximumRefusesBytesThatWouldPassIt)
{
    struct Case
    {
        int max;
        std::size_t queued;
        std::size_t more;
        bool kept;
    } cases[] = {
        {0, 5000, 100000, true}, // no bound
        {150, 100, 50, true},    // exactly the maximum
        {150, 100, 51, false},
        {-5, 10, 10, true}, // a negative maximum is no bound
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.max);
        CountingBuffer b("LineMasqueraderTcp", session, sink, host.log);
        b.setSocketValid(true);
        b.setMaxBuffer(c.max);
        const std::string first(c.queued, 'q');
        const std::string second(c.more, 'm');
        ASSERT_TRUE(b.enqueue(first.data(), first.size()));
        EXPECT_EQ(b.enqueue(second.data(), second.size()), c.kept);
        // The queued bytes stay whole either way.
        EXPECT_EQ(b.used(), c.queued + (c.kept ? c.more : 0));
        EXPECT_EQ(b.refusals(), c.kept ? 0u : 1u);
    }
    EXPECT_EQ(host.sink.count("Reached maximum buffer size of 150 bytes (Used 100 bytes", LOG_LEVEL_ERROR), 1);
}

TEST_F(WriteBufferFixture, GrowsToTwiceItsSizePlusTheNewBytes)
{
    buffer.setInitialBufferSize(1000);
    ASSERT_TRUE(buffer.enqueue(std::string(100, 'x').data(), 100));
    EXPECT_EQ(buffer.capacity(), 1100u);
    ASSERT_TRUE(buffer.enqueue(std::string(1000, 'y').data(), 1000));
    EXPECT_EQ(buffer.capacity(), 1100u);
    ASSERT_TRUE(buffer.enqueue(std::string(10, 'z').data(), 10));
    EXPECT_EQ(buffer.capacity(), 10u + 2200u);
    EXPECT_EQ(buffer.used(), 1110u);
    // Closing the connection drops the bytes and the block.
    buffer.setSocketValid(false);
    EXPECT_EQ(buffer.used(), 0u);
    EXPECT_EQ(buffer.capacity(), 0u);
}

TEST_F(WriteBufferFixture, AResendOfAnotherBufferLeavesThisOneAlone)
{
    ASSERT_TRUE(buffer.enqueue("abc", 3));
    int other = 0;
    buffer.onData(bus, "t", resendFor(&other));
    Zunq::ThreadData wrongType = resendFor(&buffer);
    wrongType.mDataType = Zunq::SIGNAL;
    buffer.onData(bus, "t", wrongType);
    EXPECT_EQ(sink.calls, 0);
    EXPECT_EQ(buffer.used(), 3u);
    EXPECT_TRUE(buffer.resendPending());
}

TEST_F(WriteBufferFixture, AFailedPostFallsBackOnTheRetryTimer)
{
    buffer.postResult = 206;
    ASSERT_TRUE(buffer.enqueue("abc", 3));
    EXPECT_FALSE(buffer.resendPending());
    EXPECT_TRUE(buffer.armed);
    EXPECT_EQ(host.sink.count("failed to sendThreadMessageByThreadName. error|206|", LOG_LEVEL_ERROR), 1);
    buffer.onTimer(nullptr);
    EXPECT_EQ(sink.written, "abc");
    EXPECT_FALSE(buffer.armed);
}

// A buffer leaves its thread's resend bus when it goes: a resend still in
// flight for it reaches no one, and the other buffers of the thread still
// get theirs.
TEST(WriteBuffer, LeavesItsResendBusWhenDestroyed)
{
    Host host;
    Thread<> thread(host, "WBUF");
    ScriptedSink sinkA;
    ScriptedSink sinkB;
    auto a = std::make_unique<WriteBuffer>("a", thread.session, sinkA, host.log);
    WriteBuffer b("b", thread.session, sinkB, host.log);
    a->setSocketValid(true);
    b.setSocketValid(true);
    // Posting from a test's own thread is refused; the bytes stay queued.
    ASSERT_TRUE(a->enqueue("aaa", 3));
    ASSERT_TRUE(b.enqueue("bbb", 3));
    const void* gone = a.get();
    a.reset();

    OrluPublisher<Zunq::ThreadData> post("test");
    post.setDestination(thread.runnable->getOrluThreadData(Zunq::RESEND));
    post.publish(resendFor(gone));
    post.publish(resendFor(&b));
    EXPECT_EQ(sinkA.calls, 0);
    EXPECT_EQ(sinkB.written, "bbb");
}
