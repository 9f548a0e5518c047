#include "kelmora/linehandler/FileDescBuffer.h"
#include "kelmora/linehandler/LineEof.h"
#include "kelmora/linehandler/LineError.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <random>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <zlib.h>

namespace
{

struct Stats
{
    std::uint32_t used, avail, size, reads, clears, moves, bread, bcleared, bmoved;
    bool operator==(const Stats&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Stats& s)
{
    return out << "{used " << s.used << " avail " << s.avail << " size " << s.size << " reads " << s.reads
               << " clears " << s.clears << " moves " << s.moves << " bread " << s.bread << " bcleared "
               << s.bcleared << " bmoved " << s.bmoved << "}";
}

Stats statsOf(const FileDescBuffer& b)
{
    Stats s{};
    b.getStats(s.used, s.avail, s.size, s.reads, s.clears, s.moves, s.bread, s.bcleared, s.bmoved);
    return s;
}

std::string unreadOf(const FileDescBuffer& b)
{
    return std::string(b.buffer(), b.bufferSize());
}

// Text that compresses, so streams span several chunks of the input.
std::string sampleText(std::size_t size, unsigned seed)
{
    std::mt19937 random(seed);
    std::string text;
    while (text.size() < size)
        text += "msg " + std::to_string(random() % 100000) + " price " + std::to_string(random() % 977) + "\x1f";
    text.resize(size);
    return text;
}

// One endless zlib stream (sync flush, no trailer), or a finished one.
std::string deflateText(const std::string& text, int flush = Z_SYNC_FLUSH)
{
    z_stream z{};
    EXPECT_EQ(deflateInit(&z, Z_DEFAULT_COMPRESSION), Z_OK);
    std::string out(deflateBound(&z, text.size()) + 64, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    z.avail_in = static_cast<uInt>(text.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, flush);
    out.resize(out.size() - z.avail_out);
    deflateEnd(&z);
    return out;
}

struct Pipe
{
    Pipe() { EXPECT_EQ(::pipe(fds), 0); }
    ~Pipe()
    {
        closeWriter();
        ::close(fds[0]);
    }
    void write(const std::string& bytes) { ASSERT_EQ(::write(fds[1], bytes.data(), bytes.size()), ssize_t(bytes.size())); }
    void closeWriter()
    {
        if (fds[1] >= 0)
            ::close(fds[1]);
        fds[1] = -1;
    }
    int fds[2];
};

TEST(FileDescBuffer, NewBufferStats)
{
    FileDescBuffer b;
    EXPECT_EQ(statsOf(b), (Stats{0, 262144, 262144, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(b.buffer()[0], '\0');
}

TEST(FileDescBuffer, CountersAfterAppendsShiftsAndCompactions)
{
    FileDescBuffer b;
    const std::string fill(262134, 'f');
    EXPECT_EQ(b.addData(fill.data(), static_cast<std::uint32_t>(fill.size())), 262134);
    const std::string more(25, 'm');
    EXPECT_EQ(b.addData(more.data(), 25), 10);
    EXPECT_EQ(statsOf(b), (Stats{262144, 0, 262144, 2, 0, 0, 262144, 0, 0}));
    EXPECT_EQ(b.addData(more.data(), 25), 0);

    b.shift(b.bufferSize());
    EXPECT_EQ(b.addData("abcdefgh", 8), 8);
    EXPECT_EQ(statsOf(b), (Stats{8, 262136, 262144, 4, 1, 0, 262152, 262144, 0}));

    b.shift(3u);
    EXPECT_EQ(b.getBufferOffset(), 3u);
    EXPECT_EQ(b.addData("ij", 2), 2);
    EXPECT_EQ(unreadOf(b), "defghij");
    EXPECT_EQ(statsOf(b), (Stats{7, 262137, 262144, 5, 2, 1, 262154, 262147, 5}));

    // A count past the unread bytes consumes only those.
    b.shift(100u);
    EXPECT_EQ(statsOf(b), (Stats{0, 262144, 262144, 5, 3, 1, 262154, 262154, 5}));

    b.addData("klmnop", 6);
    b.shift(b.buffer() + 2);
    EXPECT_EQ(unreadOf(b), "mnop");
    b.shift(static_cast<const char*>(nullptr));
    EXPECT_EQ(b.bufferSize(), 0u);
    b.addData("qrst", 4);
    b.shift(b.buffer() + 5);
    EXPECT_EQ(b.bufferSize(), 0u);
    EXPECT_EQ(statsOf(b).clears, 4u);

    b.resetStats();
    EXPECT_EQ(statsOf(b), (Stats{0, 262144, 262144, 0, 0, 0, 0, 0, 0}));
}

TEST(FileDescBuffer, ResizeKeepsBytesAndTheTerminator)
{
    FileDescBuffer b;
    b.addData("keep", 4);
    b.resize(100);
    EXPECT_EQ(statsOf(b).size, 262144u);
    b.resize(300000);
    EXPECT_EQ(statsOf(b).size, 300032u);
    EXPECT_EQ(unreadOf(b), "keep");
    b.resize(300032);
    EXPECT_EQ(statsOf(b).size, 300032u);
    b.resize(300033);
    EXPECT_EQ(statsOf(b).size, 301056u);

    // Full to the last byte: a separator scan stops at the terminator.
    const std::string fill(b.bufferSizeUnused(), 'x');
    EXPECT_EQ(b.addData(fill.data(), static_cast<std::uint32_t>(fill.size())), static_cast<int>(fill.size()));
    EXPECT_EQ(b.bufferSizeUnused(), 0u);
    EXPECT_EQ(std::strchr(b.buffer(), '\n'), nullptr);
    EXPECT_EQ(std::strlen(b.buffer()), b.bufferSize());
}

TEST(FileDescBuffer, PipeReadsThenEnds)
{
    Pipe p;
    FileDescBuffer b;
    b.setFd(p.fds[0]);
    p.write("hello|world|");
    EXPECT_EQ(b.readChunk(), 12);
    EXPECT_EQ(unreadOf(b), "hello|world|");
    EXPECT_EQ(b.getFileOffset(), 12u);
    p.closeWriter();
    EXPECT_THROW(b.readChunk(), LineEof);
    b.setFd(-1);
    try
    {
        b.readChunk();
        ADD_FAILURE() << "read of a closed descriptor succeeded";
    }
    catch (const LineError& e)
    {
        EXPECT_EQ(std::string(e.what()).rfind("FileDescBuffer: read() failed: ", 0), 0u) << e.what();
    }
}

TEST(FileDescBuffer, NonBlockingSocketWithNothingToReadGivesZero)
{
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
    FileDescBuffer b;
    b.setFd(fds[0]);
    EXPECT_EQ(b.readChunk(), 0);
    ASSERT_EQ(::write(fds[1], "abc", 3), 3);
    EXPECT_EQ(b.readChunk(), 3);
    EXPECT_EQ(b.readChunk(), 0);
    ::close(fds[0]);
    ::close(fds[1]);
}

struct TempDir
{
    TempDir()
    {
        char name[] = "/tmp/fdbufXXXXXX";
        path = ::mkdtemp(name);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
    std::filesystem::path path;
};

TEST(FileDescBuffer, PlainAndGzipFilesReadToTheirEnd)
{
    TempDir dir;
    const std::string text = sampleText(5000, 1);
    const std::string plain = (dir.path / "plain").string();
    const std::string zipped = (dir.path / "zipped.gz").string();
    {
        FILE* f = std::fopen(plain.c_str(), "wb");
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
        gzFile z = gzopen(zipped.c_str(), "wb");
        gzwrite(z, text.data(), static_cast<unsigned>(text.size()));
        gzclose(z);
    }
    FileDescBuffer b;
    b.resize(1000);
    const int fd = ::open(plain.c_str(), O_RDONLY);
    b.setFd(fd);
    std::string got;
    try
    {
        for (;;)
        {
            b.readChunk();
            got += unreadOf(b);
            b.shift(b.bufferSize());
        }
    }
    catch (const LineEof&)
    {
    }
    ::close(fd);
    EXPECT_EQ(got, text);

    gzFile z = gzopen(zipped.c_str(), "rb");
    b.setDataIsZipped(true);
    b.setZFd(z);
    EXPECT_TRUE(b.getDataIsZipped());
    got.clear();
    EXPECT_THROW(
        for (;;) {
            b.readChunk();
            got += unreadOf(b);
            b.shift(b.bufferSize());
        },
        LineEof);
    gzclose(z);
    EXPECT_EQ(got, text);
    EXPECT_EQ(b.getFileOffset(), text.size());
}

// Offers every byte, in random chunk sizes, taking what the buffer takes;
// consumes the inflated bytes as a user would.
std::string feed(FileDescBuffer& b, const std::string& stream, std::mt19937& random, std::size_t maxChunk)
{
    std::string out;
    std::size_t at = 0;
    int idle = 0;
    while (at < stream.size() || b.ZBufferSize() != 0)
    {
        const std::size_t chunk = std::min<std::size_t>(1 + random() % maxChunk, stream.size() - at);
        const int taken = b.addData(stream.data() + at, static_cast<std::uint32_t>(chunk));
        at += static_cast<std::size_t>(taken);
        out += unreadOf(b);
        b.shift(b.bufferSize());
        idle = taken == 0 && b.bufferSize() == 0 ? idle + 1 : 0;
        if (idle > 1000)
            break;
    }
    return out;
}

TEST(FileDescBuffer, DeflatedStreamInRandomChunksRebuildsItsInput)
{
    for (unsigned seed : {1u, 2u, 3u})
    {
        std::mt19937 random(seed);
        const std::string text = sampleText(400000, seed);
        const std::string stream = deflateText(text);
        FileDescBuffer b;
        b.setDataIsDeflated(true);
        b.resize(300000);
        EXPECT_EQ(feed(b, stream, random, seed == 1 ? 7 : 70000), text) << seed;
    }
}

TEST(FileDescBuffer, DeflatedInputWaitsForRoomAndLosesNothing)
{
    const std::string text = sampleText(20000, 4);
    const std::string stream = deflateText(text);
    FileDescBuffer b;
    const std::string fill(262144 - 100, 'f');
    b.addData(fill.data(), static_cast<std::uint32_t>(fill.size()));
    b.setDataIsDeflated(true);
    const int first = b.addData(stream.data(), static_cast<std::uint32_t>(stream.size()));
    EXPECT_EQ(first, static_cast<int>(stream.size()));
    EXPECT_EQ(b.bufferSizeUnused(), 0u);
    const std::uint32_t held = b.ZBufferSize();
    EXPECT_GT(held, 0u);
    // Full: nothing taken, nothing held is dropped.
    EXPECT_EQ(b.addData("zz", 2), 0);
    EXPECT_EQ(b.ZBufferSize(), held);

    std::string out = unreadOf(b).substr(fill.size());
    b.shift(b.bufferSize());
    // Still holding input from before: the next offer takes nothing.
    EXPECT_EQ(b.addData("zz", 2), 0);
    out += unreadOf(b);
    b.shift(b.bufferSize());
    std::mt19937 random(4);
    out += feed(b, "", random, 1);
    EXPECT_EQ(out, text);
}

TEST(FileDescBuffer, InflateErrorsThrowTheirTextAndAFreshStreamInflates)
{
    FileDescBuffer b;
    b.setDataIsDeflated(true);
    const std::string garbage = "this is not a zlib stream at all";
    try
    {
        b.addData(garbage.data(), static_cast<std::uint32_t>(garbage.size()));
        ADD_FAILURE() << "garbage inflated";
    }
    catch (const LineError& e)
    {
        EXPECT_EQ(std::string(e.what()).rfind("FileDescBuffer::inflate(): corrupt data due to Z_DATA_ERROR. inBytes=", 0), 0u)
            << e.what();
    }
    EXPECT_EQ(b.ZBufferSize(), 0u);
    const std::string text = sampleText(3000, 5);
    const std::string stream = deflateText(text);
    EXPECT_EQ(b.addData(stream.data(), static_cast<std::uint32_t>(stream.size())), static_cast<int>(stream.size()));
    EXPECT_EQ(unreadOf(b), text);

    FileDescBuffer finished;
    finished.setDataIsDeflated(true);
    const std::string whole = deflateText(text, Z_FINISH);
    try
    {
        finished.addData(whole.data(), static_cast<std::uint32_t>(whole.size()));
        ADD_FAILURE() << "stream end accepted";
    }
    catch (const LineError& e)
    {
        EXPECT_STREQ(e.what(), "FileDescBuffer::inflate(): unhandled error 1");
    }
}

TEST(FileDescBuffer, DeflatedDescriptorThatEndsThrowsEof)
{
    const std::string text = sampleText(50000, 6);
    Pipe p;
    FileDescBuffer b;
    b.setDataIsDeflated(true);
    b.setFd(p.fds[0]);
    const std::string stream = deflateText(text);
    std::thread writer([&] {
        p.write(stream);
        p.closeWriter();
    });
    std::string out;
    bool ended = false;
    try
    {
        // A pipe read may find nothing yet; an end never seen stops here.
        for (int idle = 0; idle < 100000;)
        {
            idle = b.readChunk() == 0 ? idle + 1 : 0;
            out += unreadOf(b);
            b.shift(b.bufferSize());
        }
    }
    catch (const LineEof&)
    {
        ended = true;
    }
    writer.join();
    EXPECT_TRUE(ended);
    EXPECT_EQ(out, text);
}

} // namespace
