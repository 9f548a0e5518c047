#include "RawDescriptor.h"
#include "FendralCore/tests/support/TestLog.h"

#include "FendralCore/foundation/EventDescriptor.h"
#include "FendralCore/foundation/FileDescMultiplexer.h"
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/GlobalData.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <new>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;

int64_t msSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

int64 identity(const FileDescMultiplexer& mux)
{
    return mux.identity();
}

std::unique_ptr<EventDescriptor> newEvent()
{
    return std::make_unique<EventDescriptor>(0, false, EVENT_DESC);
}

class FileDescMultiplexerTest : public ::testing::Test
{
protected:
    void SetUp() override { testLog().clear(); }
    void TearDown() override { GlobalData::getInst().m_optMode = m_savedMode; }

private:
    OptimizationMode m_savedMode = GlobalData::getInst().m_optMode;
};

// --- registration ---

TEST_F(FileDescMultiplexerTest, CapacityBelowOneMeansAHundredSlots)
{
    for (const int32 capacity : {0, -5})
    {
        SCOPED_TRACE(capacity);
        FileDescMultiplexer mux(capacity);
        std::vector<std::unique_ptr<EventDescriptor>> events;
        for (int i = 0; i < FileDescMultiplexer::DEFAULT_NUM_FILE_DESCRIPTOR; ++i)
        {
            events.push_back(newEvent());
            ASSERT_EQ(mux.addFileDesc(events.back().get(), IO_WAIT_READ), 0);
        }
        auto extra = newEvent();
        EXPECT_EQ(mux.addFileDesc(extra.get(), IO_WAIT_READ), -1);
        EXPECT_EQ(FrameworkErrno::m_fwErrno, WAIT_OBJECT_LIST_FULL);
        for (auto& event : events)
            EXPECT_EQ(mux.removeFileDesc(event.get()), 0);
    }
}

TEST_F(FileDescMultiplexerTest, NeverUsedSlotsComeFirstThenFreedOnesAreReused)
{
    FileDescMultiplexer mux(3);
    auto a = newEvent(), b = newEvent(), c = newEvent(), d = newEvent(), e = newEvent();
    ASSERT_EQ(mux.addFileDesc(a.get(), IO_WAIT_READ), 0);
    ASSERT_EQ(mux.addFileDesc(b.get(), IO_WAIT_READ), 0);
    EXPECT_EQ(a->getRef(identity(mux)), 0);
    EXPECT_EQ(b->getRef(identity(mux)), 1);
    ASSERT_EQ(mux.removeFileDesc(a.get()), 0);
    EXPECT_EQ(a->getRef(identity(mux)), -1);
    ASSERT_EQ(mux.addFileDesc(c.get(), IO_WAIT_READ), 0);
    EXPECT_EQ(c->getRef(identity(mux)), 2);
    ASSERT_EQ(mux.addFileDesc(d.get(), IO_WAIT_READ), 0);
    EXPECT_EQ(d->getRef(identity(mux)), 0);
    EXPECT_EQ(mux.addFileDesc(e.get(), IO_WAIT_READ), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, WAIT_OBJECT_LIST_FULL);

    // The reused slot reports the new descriptor.
    ASSERT_EQ(d->postEvent(), 0);
    FileDescriptor* ready[3];
    ASSERT_EQ(mux.wait(ready, 3, 1000), 1);
    EXPECT_EQ(ready[0], d.get());
}

// A thread that restarts builds a new multiplexer, which may land where the
// old one stood, around a queue that outlived the old one still registered.
TEST_F(FileDescMultiplexerTest, NewMultiplexerWhereAnOldOneStoodTakesItsLeftoverRegistrationForNone)
{
    alignas(FileDescMultiplexer) unsigned char place[sizeof(FileDescMultiplexer)];
    auto queue = newEvent();
    auto* old = new (place) FileDescMultiplexer(4);
    ASSERT_EQ(old->addFileDesc(queue.get(), IO_WAIT_READ), 0);
    old->~FileDescMultiplexer(); // gone without removing it
    auto* renewed = new (place) FileDescMultiplexer(4);
    EXPECT_EQ(renewed->addFileDesc(queue.get(), IO_WAIT_READ), 0);
    ASSERT_EQ(queue->postEvent(), 0);
    FileDescriptor* ready[4];
    EXPECT_EQ(renewed->wait(ready, 4, 1000), 1);
    EXPECT_EQ(ready[0], queue.get());
    EXPECT_EQ(renewed->removeFileDesc(queue.get()), 0);
    renewed->~FileDescMultiplexer();
}

TEST_F(FileDescMultiplexerTest, BadRegistrationsAreRefusedAndLeakNoSlot)
{
    FileDescMultiplexer mux(1);
    EXPECT_EQ(mux.addFileDesc(nullptr, IO_WAIT_READ), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, OBJECT_NULL_PTR);
    EXPECT_EQ(mux.removeFileDesc(nullptr), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, OBJECT_NULL_PTR);
    EXPECT_EQ(mux.amendWaitType(nullptr, IO_WAIT_READ), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, OBJECT_NULL_PTR);

    auto closed = newEvent();
    closed->closeEventDesc();
    EXPECT_EQ(mux.addFileDesc(closed.get(), IO_WAIT_READ), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, INVALID_DESCRIPTOR);
    EXPECT_TRUE(testLog().contains("The file descriptor [-1] to be added to the descriptor multiplexer is invalid"));

    // A regular file cannot be waited on: the kernel refuses it, and the
    // slot it took is given back.
    RawDescriptor file(::open("/proc/self/status", O_RDONLY | O_CLOEXEC));
    ASSERT_NE(file.getFileDescriptor(), -1);
    EXPECT_EQ(mux.addFileDesc(&file, IO_WAIT_READ), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, ADD_DESCRIPTOR_FAILED);
    EXPECT_TRUE(testLog().contains("to EPOLL. Operation not permitted"));
    EXPECT_EQ(file.getRef(identity(mux)), -1);

    auto event = newEvent();
    ASSERT_EQ(mux.addFileDesc(event.get(), IO_WAIT_READ), 0);
    EXPECT_EQ(mux.addFileDesc(event.get(), IO_WAIT_READ), -1); // once is enough
    EXPECT_EQ(FrameworkErrno::m_fwErrno, ADD_DESCRIPTOR_FAILED);
    EXPECT_EQ(mux.removeFileDesc(event.get()), 0);
    EXPECT_EQ(mux.removeFileDesc(event.get()), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, DESCRIPTOR_NOT_FOUND);
}

TEST_F(FileDescMultiplexerTest, DescriptorOfAnotherMultiplexerIsLeftAlone)
{
    FileDescMultiplexer mine(2);
    FileDescMultiplexer theirs(2);
    auto event = newEvent();
    ASSERT_EQ(theirs.addFileDesc(event.get(), IO_WAIT_READ), 0);
    EXPECT_EQ(mine.removeFileDesc(event.get()), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, DESCRIPTOR_NOT_FOUND);
    EXPECT_EQ(mine.amendWaitType(event.get(), IO_WAIT_WRITE), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, DESCRIPTOR_NOT_FOUND);

    ASSERT_EQ(event->postEvent(), 0);
    FileDescriptor* ready[2];
    EXPECT_EQ(theirs.wait(ready, 2, 1000), 1);
    EXPECT_EQ(mine.wait(ready, 2, 0), 0);
    EXPECT_EQ(theirs.removeFileDesc(event.get()), 0);
}

TEST_F(FileDescMultiplexerTest, DescriptorClosedBeforeRemovalIsStillRemoved)
{
    FileDescMultiplexer mux(1);
    auto event = newEvent();
    const int fd = event->getFileDescriptor();
    ASSERT_EQ(mux.addFileDesc(event.get(), IO_WAIT_READ), 0);
    event->closeEventDesc();
    EXPECT_EQ(mux.removeFileDesc(event.get()), 0);
    EXPECT_TRUE(testLog().contains("The file descriptor [" + std::to_string(fd) +
                                   "] of index [0] should have been closed outside EPOLL. Continue removing it."));
    auto next = newEvent();
    EXPECT_EQ(mux.addFileDesc(next.get(), IO_WAIT_READ), 0); // the slot is free again
}

// --- readiness ---

struct SocketPair
{
    SocketPair() { socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds); }
    int fds[2] = {-1, -1};
};

TEST_F(FileDescMultiplexerTest, ReadinessIsReportedAsTheKernelSeesIt)
{
    struct Case
    {
        const char* name;
        IoWaitType interest;
        bool peerWrites;
        bool peerCloses;
        IoWaitType reported;
    };
    const Case cases[] = {
        {"readable", IO_WAIT_READ, true, false, IO_WAIT_READ},
        {"writable", IO_WAIT_WRITE, false, false, IO_WAIT_WRITE},
        {"both", IO_WAIT_RW, true, false, IO_WAIT_RW},
        {"hang-up with data", IO_WAIT_READ, true, true, IO_WAIT_ERROR},
        {"error interest", IO_WAIT_ERROR, false, false, IO_WAIT_WRITE},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        SocketPair pair;
        RawDescriptor mine(pair.fds[0]);
        RawDescriptor peer(pair.fds[1]);
        if (c.peerWrites)
        {
            ASSERT_EQ(::write(pair.fds[1], "x", 1), 1);
        }
        if (c.peerCloses)
            ::shutdown(pair.fds[1], SHUT_RDWR);
        FileDescMultiplexer mux(2);
        ASSERT_EQ(mux.addFileDesc(&mine, c.interest), 0);
        FileDescriptor* ready[2];
        IoWaitType types[2];
        WireOrderInfo wire[2];
        ASSERT_EQ(mux.wait(ready, types, wire, 2, 1000), 1);
        EXPECT_EQ(ready[0], &mine);
        EXPECT_EQ(types[0], c.reported);
        EXPECT_EQ(wire[0].dataSize, 0);
        EXPECT_EQ(wire[0].dataTm.tv_sec, 0);
    }
}

TEST_F(FileDescMultiplexerTest, AmendedInterestChangesWhatIsReported)
{
    SocketPair pair;
    RawDescriptor mine(pair.fds[0]);
    RawDescriptor peer(pair.fds[1]);
    FileDescMultiplexer mux(2);
    ASSERT_EQ(mux.addFileDesc(&mine, IO_WAIT_READ), 0);
    FileDescriptor* ready[2];
    IoWaitType types[2];
    EXPECT_EQ(mux.wait(ready, types, 2, 0), 0); // nothing to read
    ASSERT_EQ(mux.amendWaitType(&mine, IO_WAIT_WRITE), 0);
    ASSERT_EQ(mux.wait(ready, types, 2, 1000), 1);
    EXPECT_EQ(types[0], IO_WAIT_WRITE);
    EXPECT_TRUE(testLog().contains("Amend file descriptor [" + std::to_string(pair.fds[0]) +
                                   "] IO event to [0] from index [0]"));
}

TEST_F(FileDescMultiplexerTest, OutputArraysStayAlignedAndMissingOnesAreRefused)
{
    FileDescMultiplexer mux(4);
    auto idle = newEvent(), first = newEvent(), second = newEvent();
    for (auto* event : {idle.get(), first.get(), second.get()})
        ASSERT_EQ(mux.addFileDesc(event, IO_WAIT_READ), 0);
    ASSERT_EQ(first->postEvent(), 0);
    ASSERT_EQ(second->postEvent(), 0);

    // More events asked for than the table holds: taken as its capacity.
    FileDescriptor* ready[4] = {};
    IoWaitType types[4];
    WireOrderInfo wire[4];
    ASSERT_EQ(mux.wait(ready, types, wire, 1000, 1000), 2);
    EXPECT_TRUE((ready[0] == first.get() && ready[1] == second.get()) ||
                (ready[0] == second.get() && ready[1] == first.get()));
    EXPECT_EQ(types[0], IO_WAIT_READ);
    EXPECT_EQ(types[1], IO_WAIT_READ);
    EXPECT_EQ(ready[2], nullptr);

    const int32 results[] = {
        mux.wait(nullptr, 4, 0),
        mux.wait(ready, nullptr, 4, 0),
        mux.wait(ready, types, nullptr, 4, 0),
        mux.wait(ready, 0, 0),
    };
    for (const int32 rc : results)
        EXPECT_EQ(rc, -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, INVALID_FUNC_ARG);
}

TEST_F(FileDescMultiplexerTest, NothingReadyTimesOutWithZero)
{
    FileDescMultiplexer mux(2);
    auto event = newEvent();
    ASSERT_EQ(mux.addFileDesc(event.get(), IO_WAIT_READ), 0);
    FileDescriptor* ready[2];
    const auto start = Clock::now();
    EXPECT_EQ(mux.wait(ready, 2, 50), 0);
    EXPECT_GE(msSince(start), 50);
}

// --- the ordered wait of the kernel-bypass stack ---

std::atomic<int> g_orderedCalls{0};

int orderedWaitStandIn(int epfd, epoll_event* events, FileDescMultiplexer::OrderedEvent* ordered, int maxEvents,
                       int timeout)
{
    ++g_orderedCalls;
    const int n = epoll_wait(epfd, events, maxEvents, timeout);
    for (int i = 0; i < n; ++i)
    {
        int bytes = 0;
        ioctl(static_cast<int>(static_cast<uint32>(events[i].data.u64)), FIONREAD, &bytes);
        ordered[i].bytes = bytes;
        ordered[i].ts = timespec{1700000000, 123};
    }
    return n;
}

TEST_F(FileDescMultiplexerTest, OrderedWaitIsUsedOnlyWhenPresentAndInLowLatencyMode)
{
    struct Case
    {
        int present;
        OptimizationMode mode;
        bool ordered;
        const char* log;
    };
    const Case cases[] = {
        {1, LOW_LATENCY, true, "Onload is running."},
        {1, CPU_UTILIZATION, false, "Onload is running."},
        {0, LOW_LATENCY, false, "Onload is NOT running."},
        {2, LOW_LATENCY, false, nullptr},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::to_string(c.present) + " " + std::to_string(c.mode));
        testLog().clear();
        static int s_present;
        s_present = c.present;
        const FileDescMultiplexer::OnloadApi api{[] { return s_present; }, orderedWaitStandIn};
        GlobalData::getInst().m_optMode = c.mode;
        FileDescMultiplexer mux(2, &api);
        if (c.log != nullptr)
        {
            EXPECT_EQ(testLog().count(c.log), 1u);
        }
        else
        {
            EXPECT_FALSE(testLog().contains("Onload is"));
        }

        SocketPair pair;
        RawDescriptor mine(pair.fds[0]);
        RawDescriptor peer(pair.fds[1]);
        ASSERT_EQ(::write(pair.fds[1], "hello", 5), 5);
        ASSERT_EQ(mux.addFileDesc(&mine, IO_WAIT_READ), 0);
        g_orderedCalls = 0;
        FileDescriptor* ready[2];
        IoWaitType types[2];
        WireOrderInfo wire[2];
        ASSERT_EQ(mux.wait(ready, types, wire, 2, 1000), 1);
        EXPECT_EQ(wire[0].dataSize, c.ordered ? 5 : 0);
        EXPECT_EQ(wire[0].dataTm.tv_sec, c.ordered ? 1700000000 : 0);
        // The one- and two-array forms always wait on the plain set.
        ASSERT_EQ(mux.wait(ready, types, 2, 1000), 1);
        ASSERT_EQ(mux.wait(ready, 2, 1000), 1);
        EXPECT_EQ(g_orderedCalls.load(), c.ordered ? 1 : 0);
    }
}

TEST_F(FileDescMultiplexerTest, WithoutTheStackInTheProcessThePlainPathIsTheWholeBehaviour)
{
    EXPECT_EQ(FileDescMultiplexer::systemOnloadApi().isPresent, nullptr);
    EXPECT_EQ(FileDescMultiplexer::systemOnloadApi().orderedWait, nullptr);
    GlobalData::getInst().m_optMode = LOW_LATENCY;
    FileDescMultiplexer mux(2);
    EXPECT_EQ(testLog().count("Onload is NOT running."), 1u);
    auto event = newEvent();
    ASSERT_EQ(mux.addFileDesc(event.get(), IO_WAIT_READ), 0);
    ASSERT_EQ(event->postEvent(), 0);
    FileDescriptor* ready[2];
    IoWaitType types[2];
    WireOrderInfo wire[2];
    ASSERT_EQ(mux.wait(ready, types, wire, 2, 1000), 1);
    EXPECT_EQ(wire[0].dataSize, 0);
}

// --- registrations that outlive their descriptor number ---

// The registered number is closed while its file lives on through a dup
// (as after a fork), then the owner removes the descriptor. The kernel keeps
// that registration, and in one case the number already names a new
// descriptor registered in another slot. Neither may cost the new
// descriptor its registration, and the old file's events must not make a
// wait return at once: a 100 ms wait takes about 100 ms.
TEST_F(FileDescMultiplexerTest, StaleRegistrationAfterNumberReuseNeitherSpinsNorHidesTheNewDescriptor)
{
    for (const bool numberReused : {false, true})
    {
        SCOPED_TRACE(numberReused);
        testLog().clear();
        FileDescMultiplexer mux(4);
        auto old = std::make_unique<RawDescriptor>(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        const int number = old->getFileDescriptor();
        ASSERT_EQ(mux.addFileDesc(old.get(), IO_WAIT_READ), 0);
        const int alias = fcntl(number, F_DUPFD_CLOEXEC, 0);
        ASSERT_NE(alias, -1);
        old->closeUnderneath();

        std::unique_ptr<RawDescriptor> reuser;
        if (numberReused)
        {
            // A new descriptor under the same number, registered before the
            // old one is removed.
            const int fresh = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
            if (fresh != number)
            {
                ASSERT_EQ(dup3(fresh, number, O_CLOEXEC), number);
                ::close(fresh);
            }
            reuser = std::make_unique<RawDescriptor>(number);
            ASSERT_EQ(mux.addFileDesc(reuser.get(), IO_WAIT_READ), 0);
        }
        ASSERT_EQ(mux.removeFileDesc(old.get()), 0);

        const uint64_t one = 1;
        ASSERT_EQ(::write(alias, &one, sizeof(one)), 8); // the old file turns readable
        FileDescriptor* ready[4];
        IoWaitType types[4];
        for (int form = 0; form < 2; ++form)
        {
            const auto start = Clock::now();
            const int32 n = form == 0 ? mux.wait(ready, 4, 100) : mux.wait(ready, types, 4, 100);
            const int64_t elapsed = msSince(start);
            EXPECT_EQ(n, 0);
            EXPECT_GE(elapsed, 95);
            EXPECT_LT(elapsed, 1000);
        }
        EXPECT_LT(testLog().count("already removed from the multiplexer"), 3u);

        if (numberReused)
        {
            ASSERT_EQ(::write(number, &one, sizeof(one)), 8);
            ASSERT_EQ(mux.wait(ready, 4, 1000), 1);
            EXPECT_EQ(ready[0], reuser.get());
            EXPECT_EQ(mux.removeFileDesc(reuser.get()), 0);
        }
        ::close(alias);
    }
}

// --- interrupted waits ---

void ignoreSignal(int) {}

TEST_F(FileDescMultiplexerTest, InterruptedWaitResumesWithTheTimeLeft)
{
    struct sigaction action{};
    action.sa_handler = ignoreSignal; // no SA_RESTART: every signal interrupts the wait
    ASSERT_EQ(sigaction(SIGUSR2, &action, nullptr), 0);

    FileDescMultiplexer mux(2);
    auto event = newEvent();
    ASSERT_EQ(mux.addFileDesc(event.get(), IO_WAIT_READ), 0);
    std::atomic<bool> done{false};
    const pthread_t waiter = pthread_self();
    std::thread interrupter([&] {
        while (!done)
        {
            pthread_kill(waiter, SIGUSR2);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    FileDescriptor* ready[2];
    const auto start = Clock::now();
    const int32 n = mux.wait(ready, 2, 300);
    const int64_t elapsed = msSince(start);
    done = true;
    interrupter.join();
    EXPECT_EQ(n, 0);
    EXPECT_GE(elapsed, 295);
    EXPECT_LT(elapsed, 2000); // restarting the full time-out on each signal would never end
    EXPECT_TRUE(testLog().contains("Received [Interrupted system call] while waiting for descriptor events"));
}

} // namespace
