// The receive buffer that line handlers cut messages from: one contiguous
// area of unread bytes, always followed by a NUL so it can be scanned as a C
// string. Appends (addData, readChunk) first move the unread bytes to the
// front when a consumed prefix exists; the area grows only through resize.
// Input may be one endless zlib stream, inflated on the way in through a
// compressed-input area, or a gzip file read with readChunk. Six counters
// show the reads, clears and moves an operator wants to watch.
//
// Failures are thrown: LineEof when a descriptor or file ends (deflated or
// not), LineError with its text for read and inflate errors; after an
// inflate error the inflater is fresh and the compressed-input area empty.
// Used on its owner's thread only.
#pragma once

#include <cstdint>
#include <zlib.h>

class FileDescBuffer
{
public:
    static constexpr std::uint32_t cDefaultSize = 262144;
    static constexpr std::uint32_t cZBufferSize = 131072;

    FileDescBuffer();
    ~FileDescBuffer();

    FileDescBuffer(const FileDescBuffer&) = delete;
    FileDescBuffer& operator=(const FileDescBuffer&) = delete;

    // The first unread byte and the number of unread bytes.
    const char* buffer() const;
    std::uint32_t bufferSize() const;
    // Capacity minus unread bytes (a consumed prefix counts as free).
    std::uint32_t bufferSizeUnused() const;
    // Compressed bytes held and not yet inflated.
    std::uint32_t ZBufferSize() const;
    std::uint32_t getBufferOffset() const;

    // Forgets the unread bytes; counters stay.
    void clear();
    // Forgets the compressed bytes held (deflated only).
    void clearZBuffer();
    // A fresh inflater (deflated only); the compressed bytes held stay.
    void resetZBuffer();
    // Grows the area to hold at least `size` bytes: size rounded down to a
    // multiple of 1024, plus 1024.
    void resize(std::uint32_t size);
    // Consumes `count` unread bytes (at most all of them).
    void shift(std::uint32_t count);
    // Consumes the unread bytes before `end`; null or past the end clears.
    void shift(const char* end);

    // Appends what fits of `data` (inflated when deflated); returns the bytes
    // of `data` taken, which may be fewer than `length`.
    int addData(const char* data, std::uint32_t length);
    // Reads into the free space from the descriptor, the gzip file or the
    // deflated descriptor; 0 when nothing can be read now.
    int readChunk();

    void getStats(std::uint32_t& used, std::uint32_t& avail, std::uint32_t& size, std::uint32_t& reads,
                  std::uint32_t& clears, std::uint32_t& moves, std::uint32_t& bread, std::uint32_t& bcleared,
                  std::uint32_t& bmoved) const;
    void resetStats();

    void setDataIsDeflated(bool on);
    bool getDataIsDeflated() const;
    void setDataIsZipped(bool on);
    bool getDataIsZipped() const;
    // A new source; the file offset starts again at 0. The buffer does not
    // close it.
    void setFd(int fd);
    void setZFd(gzFile file);
    void setFileOffset(std::uint64_t offset);
    std::uint64_t getFileOffset() const;

    class FileDescBufferImpl;

private:
    FileDescBufferImpl* mImpl;
};
