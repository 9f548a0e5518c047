// What one client's stream looks like on a real framework: deflated as one
// stream, and held back by a client that does not read.
#include "ManagerHost.h"

#include "DeflateSupport.h"
#include "kelmora/linehandler/FileDescBuffer.h"

#include <gtest/gtest.h>

#include <atomic>

using namespace hostrun;
using namespace loopback;

// The client inflates the whole connection as one stream, with zlib and
// through the line handlers' read buffer, and gets every record back: one
// whose compressed form fills the output block exactly and an empty one
// included.
TEST(StreamLoopback, ADeflatedConnectionInflatesAsOneStream)
{
    MasqHost s;
    s.manager.setDeflateData(true);
    std::vector<std::string> records;
    for (unsigned i = 0; i < 200; ++i)
        records.push_back(recordBytes(i, 1 + (i * 53) % 700));
    records.push_back("");
    records.push_back(std::string(3000, 'x'));
    records.push_back(deflating::exactFillRecord(records));
    ASSERT_FALSE(records.back().empty());
    std::string expected;
    for (const std::string& r : records)
        expected += r;

    std::string raw;
    std::atomic<bool> done{false};
    std::thread client([&] {
        blockExitSignals();
        const int fd = connectWhenListening(s.port);
        while (deflating::inflateAll(raw).size() < expected.size())
            if (!readSome(fd, raw))
                break;
        ::close(fd);
        done = true;
    });
    bool published = false;
    s.driver.step = [&] {
        if (s.manager.accepted == 1 && !published)
        {
            for (const std::string& r : records)
                s.feed.publish(r);
            published = true;
        }
        return done.load();
    };
    ASSERT_TRUE(s.run());
    client.join();

    EXPECT_EQ(deflating::inflateAll(raw), expected);
    FileDescBuffer buffer;
    buffer.setDataIsDeflated(true);
    std::size_t taken = 0;
    while (taken < raw.size())
    {
        const int n = buffer.addData(raw.data() + taken, static_cast<std::uint32_t>(raw.size() - taken));
        if (n <= 0)
            break;
        taken += static_cast<std::size_t>(n);
    }
    EXPECT_EQ(std::string(buffer.buffer(), buffer.bufferSize()), expected);
    EXPECT_EQ(s.host.sink.count("ZLineMasqueraderTcp"), 0);
}

namespace
{
constexpr unsigned cSlowRecords = 32768; // 8 MB of 256-byte records

std::string slowStream()
{
    std::string all;
    all.reserve(std::size_t{cSlowRecords} * 256);
    for (unsigned i = 0; i < cSlowRecords; ++i)
        all += recordBytes(i, 256);
    return all;
}

// Publishes the whole stream in one go once the client is in, noting how
// much its connection had to queue; then waits for the client.
struct SlowRun
{
    MasqHost& s;
    std::atomic<bool> published{false};
    std::atomic<bool> done{false};
    int queued = 0;
    explicit SlowRun(MasqHost& host) : s(host)
    {
        s.driver.step = [this] {
            if (s.manager.accepted == 1 && !published)
            {
                for (unsigned i = 0; i < cSlowRecords; ++i)
                    s.feed.publish(recordBytes(i, 256), i + 1);
                queued = s.manager.connections[0]->getUsedPendingBufferSize();
                published = true;
            }
            return done.load();
        };
    }
};
} // namespace

// A client with a small receive buffer that reads only after 8 MB were
// published gets every byte in order.
TEST(StreamLoopback, ASlowClientGetsEverythingInOrder)
{
    MasqHost s;
    SlowRun run(s);
    const std::string expected = slowStream();
    std::string got;
    std::thread client([&] {
        blockExitSignals();
        const int fd = connectWhenListening(s.port, 4096);
        while (!run.published)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        // Meanwhile the queue meets a full socket again and again.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        readUpTo(fd, got, expected.size());
        ::close(fd);
        run.done = true;
    });
    ASSERT_TRUE(s.run());
    client.join();
    EXPECT_GT(run.queued, 1024 * 1024); // most of it waited in the queue
    EXPECT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected);
    EXPECT_EQ(s.host.sink.count("send of queued data failed"), 0);
}

// With a maximum of 256 KB the same client is closed with its log line, and
// what it did receive is the stream's beginning, with no slice missing.
TEST(StreamLoopback, AClientPastTheMaximumIsClosed)
{
    MasqHost s;
    s.manager.setMaxQueueBufferSize(256 * 1024);
    SlowRun run(s);
    const std::string expected = slowStream();
    std::string got;
    bool closed = false;
    std::thread client([&] {
        blockExitSignals();
        const int fd = connectWhenListening(s.port, 4096);
        while (!run.published)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        closed = !readUpTo(fd, got, expected.size());
        ::close(fd);
        run.done = true;
    });
    ASSERT_TRUE(s.run());
    client.join();
    EXPECT_TRUE(closed);
    EXPECT_LT(got.size(), expected.size());
    EXPECT_TRUE(got == expected.substr(0, got.size()));
    EXPECT_EQ(s.host.sink.count("Reached maximum buffer size of 262144 bytes", LOG_LEVEL_ERROR), 1);
    EXPECT_EQ(s.host.sink.count("LineMasqueraderTcp::sendTo(): caught LineError: ", LOG_LEVEL_ERROR), 1);
    EXPECT_EQ(s.manager.liveConnections("127.0.0.1"), 0u);
}
