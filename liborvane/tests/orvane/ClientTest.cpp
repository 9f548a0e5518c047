// The admin client on a real framework against a raw loopback server that
// plays the hub: records cut anywhere in the stream, replies through the
// same line, reconnection, and streams out of step with the records.
#include "ClientTestSupport.h"

#include <gtest/gtest.h>

#include <random>
#include <thread>

using namespace relaytest;

// Records split over many reads, several in one read and one read ending a
// byte into the next are executed once each, in order, and each answer
// comes back over the line; a subject nobody listens to gets nothing.
// A connection lost in the middle of a record drops the part: the next
// connection starts a fresh record. Each connection is announced on the bus.
TEST(OrvaneClient, RecordsAreJoinedAcrossReadsExecutedInOrderAndAnswered)
{
    ClientHost s;
    const std::string r1 = record("test.echo", "reply.1", "one"), r2 = record("test.echo", "reply.2", "two"),
                      r3 = record("test.echo", "reply.3", "three"), nobody = record("test.nobody", "reply.x", "x"),
                      r4 = record("test.echo", "reply.4", "four"), r5 = record("test.echo", "", "five");
    std::vector<std::string> answers;
    bool extra = true;
    std::atomic<bool> done{false};
    std::thread hub([&] {
        blockExitSignals();
        int fd = s.hub.accept();
        for (char c : r1)
            sendAll(fd, std::string(1, c));
        sendAll(fd, r2 + r3);
        sendAll(fd, nobody + r4.substr(0, 1));
        sendAll(fd, r4.substr(1));
        answers = readRecords(fd, 4);
        // Half a record, then the line goes.
        sendAll(fd, r5.substr(0, 700));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ::close(fd);
        fd = s.hub.accept();
        sendAll(fd, r5);
        extra = !silent(fd, 300);
        for (int i = 0; i < 3000 && s.echo.taken().size() < 5; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ::close(fd);
        done = true;
    });
    ASSERT_TRUE(s.run([&] { return done.load(); }));
    hub.join();

    EXPECT_EQ(s.echo.taken(), (std::vector<std::string>{"one", "two", "three", "four", "five"}));
    ASSERT_EQ(answers.size(), 4u);
    for (int i = 0; i < 4; ++i)
    {
        EXPECT_EQ(subjectOf(answers[i]), "reply." + std::to_string(i + 1));
        EXPECT_EQ(answers[i][0], '\0');
    }
    EXPECT_EQ(argsOf(answers[0]), "re:one");
    EXPECT_EQ(argsOf(answers[3]), "re:four");
    EXPECT_FALSE(extra);
    EXPECT_EQ(s.connects.count, 2);
    EXPECT_EQ(s.host.sink.count("OrvaneClient::onTcpConnect(): connected"), 2);
    EXPECT_GE(s.host.sink.count("OrvaneClient::onTcpDisconnect(): socket is disconnected. clear the buffer"), 1);
}

// A stream out of step with the records (random bytes; a valid record
// behind one stray byte) is never executed: the client logs it and drops
// the connection, then connects again and executes what comes in step.
TEST(OrvaneClient, MisframedStreamsAreNeverExecuted)
{
    ClientHost s;
    std::mt19937 random(777);
    constexpr int cStreams = 8;
    int dropped = 0;
    std::atomic<bool> done{false};
    std::thread hub([&] {
        blockExitSignals();
        for (int i = 0; i < cStreams; ++i)
        {
            std::string bytes;
            if (i == 0)
                bytes = std::string(1, 'x') + record("test.echo", "", "shifted") + record("test.echo", "", "again");
            else
                for (int n = 0; n < 2 * 1451 + static_cast<int>(random() % 1451); ++n)
                    bytes.push_back(static_cast<char>(random()));
            const int fd = s.hub.accept();
            sendAll(fd, bytes);
            dropped += loopback::closedByPeer(fd, 10);
            ::close(fd);
        }
        const int fd = s.hub.accept();
        sendAll(fd, record("test.echo", "", "in step"));
        for (int i = 0; i < 3000 && s.echo.taken().empty(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ::close(fd);
        done = true;
    });
    ASSERT_TRUE(s.run([&] { return done.load(); }));
    hub.join();
    EXPECT_EQ(dropped, cStreams);
    EXPECT_EQ(s.echo.taken(), std::vector<std::string>{"in step"});
    EXPECT_EQ(s.host.sink.count("is not terminated text followed by zero bytes"), cStreams);
}
