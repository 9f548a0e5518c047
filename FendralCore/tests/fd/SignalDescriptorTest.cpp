#include "FendralCore/tests/support/TestLog.h"

#include "FendralCore/foundation/FileDescMultiplexer.h"
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/SignalDescriptor.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <pthread.h>
#include <sys/signalfd.h>
#include <thread>

namespace
{

bool blocksEverySignal()
{
    sigset_t current;
    pthread_sigmask(SIG_BLOCK, nullptr, &current);
    for (const int sig : {SIGTERM, SIGINT, SIGUSR1, SIGUSR2, SIGCHLD, SIGHUP, SIGRTMIN})
        if (!sigismember(&current, sig))
            return false;
    return true;
}

// Signals go to the thread that built the descriptor, never to the test
// runner's main thread, which keeps its default handling.
TEST(SignalDescriptor, SignalToTheThreadIsReadAsOneRecord)
{
    std::thread([] {
        SignalDescriptor signals;
        const int fd = signals.getFileDescriptor();
        ASSERT_NE(fd, -1);
        EXPECT_EQ(fcntl(fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
        EXPECT_TRUE(blocksEverySignal());

        FileDescMultiplexer mux(2);
        ASSERT_EQ(mux.addFileDesc(&signals, IO_WAIT_READ), 0);
        ASSERT_EQ(pthread_kill(pthread_self(), SIGUSR1), 0);
        FileDescriptor* ready[2];
        ASSERT_EQ(mux.wait(ready, 2, 5000), 1);
        EXPECT_EQ(ready[0], &signals);

        char small[64];
        int done = 0;
        testLog().clear();
        EXPECT_EQ(signals.receive(small, sizeof(small), done), -1);
        EXPECT_EQ(FrameworkErrno::m_fwErrno, INVALID_SIGNAL_MSG_BUFFER_SIZE);
        EXPECT_EQ(testLog().count("Receive buffer must be at least [128] bytes long"), 1u);

        signalfd_siginfo record{};
        ASSERT_EQ(signals.receive(reinterpret_cast<char*>(&record), sizeof(record), done), 0);
        EXPECT_EQ(done, 128);
        EXPECT_EQ(record.ssi_signo, static_cast<uint32_t>(SIGUSR1));
        EXPECT_EQ(signals.send(small, sizeof(small), done), 0);
        EXPECT_EQ(mux.removeFileDesc(&signals), 0);
    }).join();
}

TEST(SignalDescriptor, ThreadsStartedAfterwardInheritTheBlockedSignals)
{
    std::thread([] {
        SignalDescriptor signals;
        bool childBlocks = false;
        std::thread([&] { childBlocks = blocksEverySignal(); }).join();
        EXPECT_TRUE(childBlocks);
    }).join();
    EXPECT_FALSE(blocksEverySignal()); // the constructing thread only
}

} // namespace
