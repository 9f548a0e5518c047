#include "kelmora/linehandler/FileDescBuffer.h"

#include "kelmora/linehandler/LineEof.h"
#include "kelmora/linehandler/LineError.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <unistd.h>

class FileDescBuffer::FileDescBufferImpl
{
public:
    FileDescBufferImpl()
    {
        mBuffer = allocate(mMaxBuffSize);
        clear();
    }

    ~FileDescBufferImpl()
    {
        releaseInflater();
        std::free(mBuffer);
    }

    static char* allocate(std::uint32_t capacity)
    {
        // One byte more than the capacity: the terminating NUL.
        auto* area = static_cast<char*>(std::malloc(static_cast<std::size_t>(capacity) + 1));
        if (area == nullptr)
            throw std::bad_alloc();
        area[capacity] = '\0';
        return area;
    }

    std::uint32_t unread() const { return static_cast<std::uint32_t>(mBufferAvailable - mBufferBegin); }

    void clear()
    {
        mBuffer[0] = '\0';
        mBufferBegin = mBuffer;
        mBufferAvailable = mBuffer;
        mBufSizeAvailable = mMaxBuffSize;
    }

    std::uint32_t garbageCollect()
    {
        const std::uint32_t count = unread();
        if (mBufferBegin == mBuffer)
            return count;
        std::memmove(mBuffer, mBufferBegin, count);
        ++mNumMemMoves;
        mBytesMoved += count;
        mBufferBegin = mBuffer;
        mBufferAvailable = mBuffer + count;
        *mBufferAvailable = '\0';
        mBufSizeAvailable = mMaxBuffSize - count;
        return count;
    }

    void resize(std::uint32_t size)
    {
        if (mMaxBuffSize >= size)
            return;
        const std::uint64_t wanted = (static_cast<std::uint64_t>(size) / 1024) * 1024 + 1024;
        const auto capacity = static_cast<std::uint32_t>(std::min<std::uint64_t>(wanted, 0xFFFFFC00u));
        if (capacity <= mMaxBuffSize)
            return;
        char* area = allocate(capacity);
        const std::uint32_t count = unread();
        std::memcpy(area, mBufferBegin, count);
        area[count] = '\0';
        std::free(mBuffer);
        mBuffer = area;
        mMaxBuffSize = capacity;
        mBufferBegin = area;
        mBufferAvailable = area + count;
        mBufSizeAvailable = capacity - count;
    }

    void shift(std::uint32_t count)
    {
        // Never past the unread bytes.
        count = std::min(count, unread());
        ++mNumClears;
        mBytesCleared += count;
        if (count == unread())
            clear();
        else
            mBufferBegin += count;
    }

    void shift(const char* end)
    {
        if (end == nullptr || end > mBufferAvailable)
        {
            clear();
            return;
        }
        shift(end < mBufferBegin ? 0u : static_cast<std::uint32_t>(end - mBufferBegin));
    }

    // The bytes stored in the free space at the end.
    void stored(std::uint32_t count)
    {
        mBufferAvailable += count;
        mBufSizeAvailable -= count;
        *mBufferAvailable = '\0';
    }

    int addData(const char* data, std::uint32_t length)
    {
        garbageCollect();
        std::uint32_t taken = 0;
        if (mDataIsDeflated)
            taken = decompressData(data, length);
        else
        {
            taken = std::min(length, mBufSizeAvailable);
            if (taken != 0)
                std::memcpy(mBufferAvailable, data, taken);
            stored(taken);
        }
        mBytesRead += taken;
        ++mNumReads;
        return static_cast<int>(taken);
    }

    int readChunk()
    {
        garbageCollect();
        long result = 0;
        if (mDataIsDeflated)
        {
            result = readFromZipStream(mFd, mBufferAvailable, mBufSizeAvailable);
            if (result == 0)
                return 0;
        }
        else if (mDataIsZipped)
            result = readFromZipFile(mZFile, mBufferAvailable, mBufSizeAvailable);
        else
            result = ::read(mFd, mBufferAvailable, mBufSizeAvailable);
        if (result < 0)
        {
            if (errno == EAGAIN || errno == EINTR)
                return 0;
            const std::string text = std::string("FileDescBuffer: read() failed: ") + std::strerror(errno);
            if (mDataIsDeflated)
                initialize(true);
            throw LineError(text);
        }
        if (result == 0)
            throw LineEof();
        const auto count = static_cast<std::uint32_t>(result);
        stored(count);
        ++mNumReads;
        mBytesRead += count;
        mFileOffset += count;
        return static_cast<int>(count);
    }

    std::uint32_t ZBufferSize() const { return mDataIsDeflated ? mMaxZBuffSize - mZBufSizeAvailable : 0; }

    void clearZBuffer()
    {
        if (!mDataIsDeflated)
            return;
        mZBuffer[0] = '\0';
        mZBufferAvailable = mZBuffer;
        mZBufSizeAvailable = mMaxZBuffSize;
    }

    void shiftZBuffer(std::uint32_t count)
    {
        const std::uint32_t held = ZBufferSize();
        if (count >= held)
        {
            clearZBuffer();
            return;
        }
        std::memmove(mZBuffer, mZBuffer + count, held - count);
        mZBufferAvailable -= count;
        mZBufSizeAvailable += count;
    }

    void initialize(bool end)
    {
        if (end)
            inflateEnd(&mZStream);
        std::memset(&mZStream, 0, sizeof mZStream);
        mZStream.next_in = nullptr;
        mZStream.avail_in = 0;
        mZStream.zalloc = nullptr;
        mZStream.zfree = nullptr;
        mZStream.opaque = nullptr;
        const int result = inflateInit(&mZStream);
        mInflaterReady = result == Z_OK;
        if (result != Z_OK)
        {
            char text[160];
            std::snprintf(text, sizeof text,
                          "FileDescBuffer: failed to initialise z_stream (zlib), not using compression (%d)", result);
            throw LineError(text);
        }
    }

    void releaseInflater()
    {
        if (!mDataIsDeflated)
            return;
        if (mInflaterReady)
            inflateEnd(&mZStream);
        mInflaterReady = false;
        std::free(mZBuffer);
        mZBuffer = nullptr;
        mZBufferAvailable = nullptr;
    }

    [[noreturn]] void handleZlibError(int result, std::uint32_t inBytes)
    {
        std::string text(256, '\0');
        const char* format = nullptr;
        switch (result)
        {
        case Z_BUF_ERROR:
            format = "FileDescBuffer::inflate(): not enough buffer space. inBytes=%d avail_in=%d avail_out=%d "
                     "mMaxBuffSize=%d mMaxZBuffSize=%d";
            break;
        case Z_MEM_ERROR:
            format = "FileDescBuffer::inflate(): not enough memory";
            break;
        case Z_DATA_ERROR:
            format = "FileDescBuffer::inflate(): corrupt data due to Z_DATA_ERROR. inBytes=%d avail_in=%d "
                     "avail_out=%d mMaxBuffSize=%d mMaxZBuffSize=%d";
            break;
        case Z_STREAM_ERROR:
            format = "FileDescBuffer::inflate(): stream error";
            break;
        case Z_NEED_DICT:
            format = "FileDescBuffer::inflate(): corrupt data due to Z_NEED_DICT. inBytes=%d avail_in=%d "
                     "avail_out=%d mMaxBuffSize=%d mMaxZBuffSize=%d";
            break;
        default:
            break;
        }
        int length = 0;
        if (format != nullptr)
            length = std::snprintf(text.data(), text.size(), format, static_cast<int>(inBytes),
                                   static_cast<int>(mZStream.avail_in), static_cast<int>(mZStream.avail_out),
                                   static_cast<int>(mMaxBuffSize), static_cast<int>(mMaxZBuffSize));
        else
            length = std::snprintf(text.data(), text.size(), "FileDescBuffer::inflate(): unhandled error %d", result);
        text.resize(static_cast<std::size_t>(std::max(length, 0)));
        initialize(true);
        clearZBuffer();
        throw LineError(text);
    }

    // Inflates the held compressed bytes into `out`; returns the bytes made.
    std::uint32_t inflateHeld(char* out, std::uint32_t outLen, std::uint32_t inBytes)
    {
        const std::uint32_t held = ZBufferSize();
        mZStream.next_in = reinterpret_cast<Bytef*>(mZBuffer);
        mZStream.avail_in = held;
        mZStream.next_out = reinterpret_cast<Bytef*>(out);
        mZStream.avail_out = outLen;
        while (mZStream.avail_out > 0)
        {
            const int result = inflate(&mZStream, Z_NO_FLUSH);
            // No input left and nothing more to give: not an error.
            if (result == Z_BUF_ERROR && mZStream.avail_in == 0)
                break;
            if (result != Z_OK)
                handleZlibError(result, inBytes);
            if (mZStream.avail_in == 0)
                break;
        }
        shiftZBuffer(held - mZStream.avail_in);
        return outLen - mZStream.avail_out;
    }

    std::uint32_t decompressData(const char* data, std::uint32_t length)
    {
        // With no room to inflate into, take nothing and keep what is held.
        if (mBufSizeAvailable == 0)
            return 0;
        std::uint32_t taken = 0;
        if (ZBufferSize() == 0)
        {
            taken = std::min(length, mZBufSizeAvailable);
            if (taken != 0)
                std::memcpy(mZBufferAvailable, data, taken);
            mZBufferAvailable += taken;
            mZBufSizeAvailable -= taken;
        }
        stored(inflateHeld(mBufferAvailable, mBufSizeAvailable, length));
        return taken;
    }

    long readFromZipStream(int fd, char* out, std::uint32_t outLen)
    {
        if (outLen == 0)
            return 0;
        if (ZBufferSize() == 0)
        {
            const ssize_t count = ::read(fd, mZBuffer, mMaxZBuffSize);
            if (count < 0)
            {
                if (errno == EAGAIN || errno == EINTR)
                    return 0;
                const int error = errno;
                char text[256];
                std::snprintf(text, sizeof text, "FileDescBuffer: read(): unhandled error %d:%s", error,
                              std::strerror(error));
                initialize(true);
                throw LineError(text);
            }
            // The deflated source ended, as a plain one does.
            if (count == 0)
                throw LineEof();
            mZBufferAvailable = mZBuffer + count;
            mZBufSizeAvailable = mMaxZBuffSize - static_cast<std::uint32_t>(count);
        }
        return inflateHeld(out, outLen, 0);
    }

    static long readFromZipFile(gzFile file, char* out, std::uint32_t outLen)
    {
        if (file == nullptr)
        {
            errno = EBADF;
            return -1;
        }
        return gzread(file, out, outLen);
    }

    void setDataIsDeflated(bool on)
    {
        if (on == mDataIsDeflated)
            return;
        if (on)
        {
            mZBuffer = allocate(mMaxZBuffSize);
            mDataIsDeflated = true;
            clearZBuffer();
            try
            {
                initialize(false);
            }
            catch (...)
            {
                std::free(mZBuffer);
                mZBuffer = nullptr;
                mDataIsDeflated = false;
                throw;
            }
            return;
        }
        releaseInflater();
        mDataIsDeflated = false;
    }

    int mFd = -1;
    std::uint32_t mMaxBuffSize = FileDescBuffer::cDefaultSize;
    char* mBuffer = nullptr;
    char* mBufferBegin = nullptr;
    char* mBufferAvailable = nullptr;
    std::uint32_t mBufSizeAvailable = 0;
    std::uint64_t mFileOffset = 0;
    std::uint32_t mNumReads = 0;
    std::uint32_t mNumClears = 0;
    std::uint32_t mNumMemMoves = 0;
    std::uint32_t mBytesRead = 0;
    std::uint32_t mBytesCleared = 0;
    std::uint32_t mBytesMoved = 0;
    bool mDataIsDeflated = false;
    bool mDataIsZipped = false;
    bool mInflaterReady = false;
    std::uint32_t mMaxZBuffSize = FileDescBuffer::cZBufferSize;
    z_stream mZStream{};
    char* mZBuffer = nullptr;
    char* mZBufferAvailable = nullptr;
    std::uint32_t mZBufSizeAvailable = 0;
    gzFile mZFile = nullptr;
};

FileDescBuffer::FileDescBuffer()
    : mImpl(new FileDescBufferImpl)
{
}

FileDescBuffer::~FileDescBuffer()
{
    delete mImpl;
}

const char* FileDescBuffer::buffer() const { return mImpl->mBufferBegin; }
std::uint32_t FileDescBuffer::bufferSize() const { return mImpl->unread(); }
std::uint32_t FileDescBuffer::bufferSizeUnused() const { return mImpl->mMaxBuffSize - mImpl->unread(); }
std::uint32_t FileDescBuffer::ZBufferSize() const { return mImpl->ZBufferSize(); }

std::uint32_t FileDescBuffer::getBufferOffset() const
{
    return static_cast<std::uint32_t>(mImpl->mBufferBegin - mImpl->mBuffer);
}

void FileDescBuffer::clear() { mImpl->clear(); }
void FileDescBuffer::clearZBuffer() { mImpl->clearZBuffer(); }

void FileDescBuffer::resetZBuffer()
{
    if (mImpl->mDataIsDeflated)
        mImpl->initialize(mImpl->mInflaterReady);
}

void FileDescBuffer::resize(std::uint32_t size) { mImpl->resize(size); }
void FileDescBuffer::shift(std::uint32_t count) { mImpl->shift(count); }
void FileDescBuffer::shift(const char* end) { mImpl->shift(end); }
int FileDescBuffer::addData(const char* data, std::uint32_t length) { return mImpl->addData(data, length); }
int FileDescBuffer::readChunk() { return mImpl->readChunk(); }

void FileDescBuffer::getStats(std::uint32_t& used, std::uint32_t& avail, std::uint32_t& size, std::uint32_t& reads,
                              std::uint32_t& clears, std::uint32_t& moves, std::uint32_t& bread,
                              std::uint32_t& bcleared, std::uint32_t& bmoved) const
{
    used = bufferSize();
    avail = bufferSizeUnused();
    size = mImpl->mMaxBuffSize;
    reads = mImpl->mNumReads;
    clears = mImpl->mNumClears;
    moves = mImpl->mNumMemMoves;
    bread = mImpl->mBytesRead;
    bcleared = mImpl->mBytesCleared;
    bmoved = mImpl->mBytesMoved;
}

void FileDescBuffer::resetStats()
{
    mImpl->mNumReads = 0;
    mImpl->mNumClears = 0;
    mImpl->mNumMemMoves = 0;
    mImpl->mBytesRead = 0;
    mImpl->mBytesCleared = 0;
    mImpl->mBytesMoved = 0;
}

void FileDescBuffer::setDataIsDeflated(bool on) { mImpl->setDataIsDeflated(on); }
bool FileDescBuffer::getDataIsDeflated() const { return mImpl->mDataIsDeflated; }
void FileDescBuffer::setDataIsZipped(bool on) { mImpl->mDataIsZipped = on; }
bool FileDescBuffer::getDataIsZipped() const { return mImpl->mDataIsZipped; }

void FileDescBuffer::setFd(int fd)
{
    mImpl->mFd = fd;
    mImpl->mFileOffset = 0;
}

void FileDescBuffer::setZFd(gzFile file)
{
    mImpl->mZFile = file;
    mImpl->mFileOffset = 0;
}

void FileDescBuffer::setFileOffset(std::uint64_t offset) { mImpl->mFileOffset = offset; }
std::uint64_t FileDescBuffer::getFileOffset() const { return mImpl->mFileOffset; }
