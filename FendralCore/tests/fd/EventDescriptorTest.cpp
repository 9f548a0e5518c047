#include "FendralCore/foundation/EventDescriptor.h"
#include "FendralCore/foundation/FileDescMultiplexer.h"
#include "FendralCore/foundation/FrameworkErrno.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <thread>

namespace
{

bool isNonBlocking(int fd)
{
    return (fcntl(fd, F_GETFL) & O_NONBLOCK) != 0;
}

bool isReadable(int fd)
{
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1;
}

TEST(EventDescriptor, EventsPostedOnAnotherThreadAllReachTheOwner)
{
    EventDescriptor event(0, false, MSG_QUEUE_DESC);
    FileDescMultiplexer mux(4);
    ASSERT_EQ(mux.addFileDesc(&event, IO_WAIT_READ), 0);
    constexpr unsigned long POSTS = 2000;
    std::thread poster([&] {
        for (unsigned long i = 0; i < POSTS; ++i)
            ASSERT_EQ(event.postEvent(), 0);
    });
    unsigned long received = 0;
    FileDescriptor* ready[4];
    while (received < POSTS)
    {
        ASSERT_EQ(mux.wait(ready, 4, 5000), 1);
        ASSERT_EQ(ready[0], &event);
        unsigned long value = 0;
        ASSERT_EQ(event.deliverEvent(value), 0);
        received += value;
    }
    poster.join();
    EXPECT_EQ(received, POSTS);
    EXPECT_EQ(mux.removeFileDesc(&event), 0);
}

TEST(EventDescriptor, CounterModeDeliversTheSumAndSemaphoreModeOneAtATime)
{
    struct Case
    {
        int32 flags;
        std::vector<unsigned long> deliveries;
    };
    for (const Case& c : {Case{0, {3}}, Case{EFD_SEMAPHORE, {1, 1, 1}}})
    {
        SCOPED_TRACE(c.flags);
        EventDescriptor event(c.flags, false, MSG_QUEUE_DESC);
        ASSERT_NE(event.getFileDescriptor(), -1);
        for (int i = 0; i < 3; ++i)
            ASSERT_EQ(event.postEvent(), 0);
        for (const unsigned long expected : c.deliveries)
        {
            unsigned long value = 0;
            ASSERT_EQ(event.deliverEvent(value), 0);
            EXPECT_EQ(value, expected);
        }
        unsigned long value = 0;
        EXPECT_EQ(event.deliverEvent(value), -1);
        EXPECT_EQ(FrameworkErrno::m_fwErrno, WOULD_BLOCK);
    }
}

TEST(EventDescriptor, ShortBuffersAndAClosedDescriptorFailWithTheirCodes)
{
    EventDescriptor event(0, false, EVENT_DESC);
    EXPECT_EQ(fcntl(event.getFileDescriptor(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    ASSERT_EQ(event.postEvent(), 0);
    char small[4] = {1, 0, 0, 0};
    int done = 0;
    EXPECT_EQ(event.send(small, sizeof(small), done), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, SEND_FAILED);
    EXPECT_EQ(event.receive(small, sizeof(small), done), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, RECV_FAILED);

    EXPECT_EQ(event.closeEventDesc(), 0);
    EXPECT_EQ(event.getFileDescriptor(), -1);
    EXPECT_EQ(event.postEvent(), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, BAD_DESCRIPTOR);
    unsigned long value = 0;
    EXPECT_EQ(event.deliverEvent(value), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, BAD_DESCRIPTOR);
}

TEST(EventDescriptor, ClearAllEventDrainsAndKeepsTheBlockingMode)
{
    for (const bool blocking : {true, false})
    {
        SCOPED_TRACE(blocking);
        EventDescriptor event(EFD_SEMAPHORE, blocking, MSG_QUEUE_DESC);
        ASSERT_EQ(isNonBlocking(event.getFileDescriptor()), !blocking);
        for (int i = 0; i < 5; ++i)
            ASSERT_EQ(event.postEvent(), 0);
        FrameworkErrno::m_fwErrno = LOCK_BUSY;
        EXPECT_EQ(event.clearAllEvent(), 0);
        EXPECT_FALSE(isReadable(event.getFileDescriptor()));
        EXPECT_EQ(isNonBlocking(event.getFileDescriptor()), !blocking);
        EXPECT_EQ(FrameworkErrno::m_fwErrno, LOCK_BUSY); // running dry is not an error
    }
}

TEST(EventDescriptor, ReopenGivesAFreshDescriptorUnderTheSameRules)
{
    EventDescriptor event(EFD_SEMAPHORE, false, MSG_QUEUE_DESC);
    ASSERT_EQ(event.postEvent(), 0);
    ASSERT_EQ(event.postEvent(), 0);
    ASSERT_EQ(event.reopenEventDesc(), 0);
    const int fd = event.getFileDescriptor();
    ASSERT_NE(fd, -1);
    EXPECT_TRUE(isNonBlocking(fd));
    EXPECT_EQ(fcntl(fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    EXPECT_FALSE(isReadable(fd)); // nothing carried over
    ASSERT_EQ(event.postEvent(), 0);
    ASSERT_EQ(event.postEvent(), 0);
    unsigned long value = 0;
    ASSERT_EQ(event.deliverEvent(value), 0);
    EXPECT_EQ(value, 1u); // still in semaphore mode
}

} // namespace
