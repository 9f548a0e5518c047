#include "FendralCore/dispatch/IpcShrMemMsgQ.h"
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/tests/ipc/IpcTestSupport.h"
#include "FendralCore/tests/support/TestLog.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
IpcShmMsg dataMsg(uint32 len, int32 part = 0, char fill = 'x')
{
    IpcShmMsg msg{};
    msg.msgType = IPC_MSG_TYPE_DATA;
    msg.dataLen = len;
    msg.msgPartNum = part;
    std::memset(msg.buffer, fill, len < sizeof(msg.buffer) ? len : sizeof(msg.buffer));
    return msg;
}

// The object as a peer (or a vandal) sees it, mapped independently of the queue.
class RawObject
{
public:
    RawObject(const ShmName& name, size_t size) : m_size(size)
    {
        const int fd = ::shm_open(name.c_str(), O_RDWR, 0);
        if (fd >= 0)
        {
            void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
            m_ptr = p == MAP_FAILED ? nullptr : p;
            ::close(fd);
        }
    }
    ~RawObject()
    {
        if (m_ptr != nullptr)
            ::munmap(m_ptr, m_size);
    }
    IpcSharedMemInfo& header() { return *static_cast<IpcSharedMemInfo*>(m_ptr); }
    IpcShmMsg& entry(int k)
    {
        return reinterpret_cast<IpcShmMsg*>(static_cast<char*>(m_ptr) + sizeof(IpcSharedMemInfo))[k];
    }
    bool ok() const { return m_ptr != nullptr; }

private:
    void* m_ptr = nullptr;
    size_t m_size;
};

class IpcShrMemMsgQTest : public ::testing::Test
{
protected:
    void SetUp() override { testLog().clear(); }

    // Reader and writer both in this process: the usual pair of most tests.
    void openPair(uint32 len = 100)
    {
        ASSERT_EQ(m_reader.open(m_name.c_str(), IPC_READER_MODE, len), 0) << FrameworkErrno::m_fwErrno;
        ASSERT_EQ(m_writer.open(m_name.c_str(), IPC_WRITER_MODE, 0), 0) << FrameworkErrno::m_fwErrno;
    }

    ShmName m_name;
    IpcShrMemMsgQ m_reader{"READER"};
    IpcShrMemMsgQ m_writer{"WRITER"};
};
} // namespace

TEST_F(IpcShrMemMsgQTest, ObjectSizeFollowsQueueLengthAndOutOfRangeLengthsAreRefused)
{
    ASSERT_EQ(m_reader.open(m_name.c_str(), IPC_READER_MODE, 100), 0);
    EXPECT_EQ(m_name.size(), 225480u);
    EXPECT_EQ(m_reader.getQueueLength(), 100u);
    EXPECT_TRUE(testLog().contains("New IPC shared memory [" + m_name.str() + "] created with [101] blocks"));

    for (uint32 len : {0u, 99u, 1000001u})
    {
        ShmName other;
        IpcShrMemMsgQ q{"R"};
        FrameworkErrno::m_fwErrno = 0;
        EXPECT_EQ(q.open(other.c_str(), IPC_READER_MODE, len), -1) << len;
        EXPECT_EQ(FrameworkErrno::m_fwErrno, IPC_SHR_MEM_INVALID_LEN) << len;
        EXPECT_FALSE(other.exists()) << len;
    }
}

TEST_F(IpcShrMemMsgQTest, WriterNeedsAnObjectAndALiveReader)
{
    EXPECT_EQ(m_writer.open(m_name.c_str(), IPC_WRITER_MODE, 0), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, IPC_SHR_MEM_OPEN_FAIL);

    // The reader leaves without unlinking: the object stays, its slot is free.
    ASSERT_EQ(m_reader.open(m_name.c_str(), IPC_READER_MODE, 100), 0);
    ASSERT_EQ(m_reader.close(false), 0);
    EXPECT_EQ(m_writer.open(m_name.c_str(), IPC_WRITER_MODE, 0), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, IPC_READER_NOT_EXIST);
    EXPECT_NE(m_writer.isOpened(), 0);
}

TEST_F(IpcShrMemMsgQTest, ReopenWithAnotherLengthIsRefusedAndLeavesTheObject)
{
    ASSERT_EQ(m_reader.open(m_name.c_str(), IPC_READER_MODE, 150), 0);
    ASSERT_EQ(m_writer.open(m_name.c_str(), IPC_WRITER_MODE, 0), 0);
    EXPECT_EQ(m_writer.getQueueLength(), 150u);
    ASSERT_EQ(m_writer.enqueue(dataMsg(10)), 0);
    ASSERT_EQ(m_reader.close(false), -1); // the writer (this process) is alive
    EXPECT_EQ(FrameworkErrno::m_fwErrno, IPC_SHR_MEM_CLOSE_FAIL);

    // Shorter: the header disagrees; longer: the object is too small as well.
    for (uint32 len : {100u, 200u})
    {
        IpcShrMemMsgQ again{"READER"};
        EXPECT_EQ(again.open(m_name.c_str(), IPC_READER_MODE, len), -1) << len;
        EXPECT_EQ(FrameworkErrno::m_fwErrno, IPC_SHR_MEM_NOT_ALIGN) << len;
    }
    EXPECT_TRUE(testLog().contains("IPC shared memory [" + m_name.str() +
                                   "] is already created but the queue length [150] is not same as expected one "
                                   "[100], remove the shared memory manually for changing buffer size"));
    EXPECT_EQ(m_name.size(), 48u + 151u * 2232u);
    RawObject raw(m_name, sizeof(IpcSharedMemInfo));
    ASSERT_TRUE(raw.ok());
    EXPECT_EQ(raw.header().ringBufInfo.bufSize, 151u);
    EXPECT_EQ(raw.header().ringBufInfo.headIndex, 1);
    EXPECT_EQ(raw.header().readerInfo.pid, -1);

    // The same length opens it again and discards what was queued.
    IpcShrMemMsgQ again{"READER"};
    ASSERT_EQ(again.open(m_name.c_str(), IPC_READER_MODE, 150), 0);
    EXPECT_TRUE(testLog().contains("Existing IPC shared memory [" + m_name.str() + "] opened with [151] blocks"));
    EXPECT_EQ(again.getNumMsgQueued(), 0);
    EXPECT_EQ(again.getCounterpartPid(), ::getpid());
}

TEST_F(IpcShrMemMsgQTest, SecondLiveWriterIsRefusedAndDeadWriterSlotIsTakenOver)
{
    ASSERT_EQ(m_reader.open(m_name.c_str(), IPC_READER_MODE, 100), 0);

    ForkedPeer dead([&] {
        IpcShrMemMsgQ w{"DEADW"};
        if (w.open(m_name.c_str(), IPC_WRITER_MODE, 0) != 0)
            return 1;
        ::_exit(0); // ends without closing: its pid stays in the slot
    });
    const pid_t deadPid = dead.pid();
    ASSERT_EQ(dead.join(), 0);

    ASSERT_EQ(m_writer.open(m_name.c_str(), IPC_WRITER_MODE, 0), 0);
    EXPECT_TRUE(testLog().contains("Non-exist AppId [DEADW] PID [" + std::to_string(deadPid) +
                                   "] attached as writer of IPC shared memory msg queue [" + m_name.str() +
                                   "] before, replace the writer now"));

    IpcShrMemMsgQ second{"OTHER"};
    EXPECT_EQ(second.open(m_name.c_str(), IPC_WRITER_MODE, 0), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, IPC_WRITER_ALREADY_ATTACHED);
    IpcShrMemMsgQ secondReader{"OTHER"};
    EXPECT_EQ(secondReader.open(m_name.c_str(), IPC_READER_MODE, 100), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, IPC_READER_ALREADY_ATTACHED);
}

TEST_F(IpcShrMemMsgQTest, EntriesMoveOnlyTheBytesTheyUse)
{
    struct Case
    {
        int32 type;
        uint32 dataLen;
        uint32 moved;
    };
    const Case cases[] = {
        {IPC_MSG_TYPE_DATA, 0, 32},      {IPC_MSG_TYPE_DATA, 2199, 2231},       {IPC_MSG_TYPE_DATA, 2200, 2232},
        {IPC_MSG_TYPE_CTL_OPEN, 5, 32}, {IPC_MSG_TYPE_CTL_CLOSE, 2200, 32}, {7, 3, 2232},
    };
    openPair();
    for (const Case& c : cases)
    {
        EXPECT_EQ(IpcShrMemMsgQ::entryCopySize(IpcShmMsg{c.type, c.dataLen, 0, 0, {}, {}, {}}), c.moved);
        IpcShmMsg in = dataMsg(IPC_SHM_MSG_DATA_SIZE, 3, 'a');
        in.msgType = c.type;
        in.dataLen = c.dataLen;
        in.more = 1;
        ASSERT_EQ(m_writer.enqueue(in), 0);
        IpcShmMsg out;
        std::memset(&out, 0x5c, sizeof(out));
        ASSERT_EQ(m_reader.dequeue(out), 0);
        const auto* bytes = reinterpret_cast<const unsigned char*>(&out);
        EXPECT_EQ(std::memcmp(&out, &in, c.moved), 0) << c.type << "/" << c.dataLen;
        for (uint32 i = c.moved; i < sizeof(out); ++i)
            ASSERT_EQ(bytes[i], 0x5c) << "byte " << i << " of " << c.type << "/" << c.dataLen;
    }
}

TEST_F(IpcShrMemMsgQTest, FullQueueFailsAfterItsAttemptsAndWrapsInOrder)
{
    openPair();
    for (int32 i = 0; i < 100; ++i)
        ASSERT_EQ(m_writer.enqueue(dataMsg(4, i)), 0) << i;
    EXPECT_TRUE(m_writer.isFull());
    EXPECT_EQ(m_writer.getNumFreeEntry(), 0);
    EXPECT_EQ(m_writer.getMaxUsage(), 100);
    EXPECT_EQ(m_writer.enqueue(dataMsg(4), IpcShrMemMsgQ::DEFAULT_RETRY_CNT, IpcShrMemMsgQ::DEFAULT_RETRY_INTERVAL),
              -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, BUFFER_FULL);

    // Three laps of the ring, one entry in, one out: order and counts hold.
    int32 next = 0;
    for (int32 i = 100; i < 400; ++i)
    {
        IpcShmMsg out;
        ASSERT_EQ(m_reader.dequeue(out), 0);
        ASSERT_EQ(out.msgPartNum, next++);
        ASSERT_EQ(m_writer.enqueue(dataMsg(4, i)), 0);
        ASSERT_EQ(m_reader.getNumMsgQueued(), 100);
    }
    m_reader.clear(30);
    EXPECT_EQ(m_reader.getNumMsgQueued(), 70);
    IpcShmMsg out;
    ASSERT_EQ(m_reader.dequeue(out), 0);
    EXPECT_EQ(out.msgPartNum, 330);
    m_reader.clear(1000);
    EXPECT_TRUE(m_reader.isEmpty());
    EXPECT_EQ(m_reader.dequeue(out, 3, 10), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, BUFFER_EMPTY);
}

TEST_F(IpcShrMemMsgQTest, WrongSideAndClosedQueueOperationsAreRefused)
{
    IpcShmMsg msg = dataMsg(1);
    EXPECT_EQ(m_reader.enqueue(msg), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, IPC_SHR_MEM_NOT_OPEN);
    EXPECT_EQ(m_reader.getNumMsgQueued(), -1);
    EXPECT_FALSE(m_reader.isFull());
    bool attached = true;
    EXPECT_EQ(m_reader.isWriterAttached(attached), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, IPC_SHR_MEM_NOT_INIT);
    EXPECT_FALSE(attached);

    openPair();
    EXPECT_EQ(m_reader.enqueue(msg), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, IPC_INVALID_ACTION);
    EXPECT_EQ(m_writer.dequeue(msg), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, IPC_INVALID_ACTION);
    EXPECT_EQ(m_writer.enqueue(dataMsg(2201)), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, MSG_TOO_LARGE);
    EXPECT_EQ(m_writer.initialize(m_name.c_str(), IPC_WRITER_MODE, 0), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, IPC_SHR_MEM_ALREADY_INIT);

    // The reader went away: the writer stops at once rather than fill a dead ring.
    ASSERT_EQ(m_reader.close(false), -1); // writer alive: 2306, but the slot is freed
    EXPECT_EQ(m_writer.enqueue(msg), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, IPC_READER_NOT_EXIST);
}

TEST_F(IpcShrMemMsgQTest, PeerChecksReportGoneAndChangedProcesses)
{
    openPair();
    bool attached = false;
    IpcAppInfo info;
    ASSERT_EQ(m_reader.isWriterAttached(attached, &info), 0);
    EXPECT_TRUE(attached);
    EXPECT_STREQ(info.appIdTxt, "WRITER");
    EXPECT_EQ(info.pid, ::getpid());

    RawObject raw(m_name, sizeof(IpcSharedMemInfo));
    ASSERT_TRUE(raw.ok());
    ForkedPeer child([] { return 0; });
    const pid_t gone = child.pid();
    ASSERT_EQ(child.join(), 0);

    // Another live process in the writer slot: reported once, then accepted.
    ForkedPeer live([] {
        ::pause();
        return 0;
    });
    raw.header().writerInfo.pid = live.pid();
    EXPECT_EQ(m_reader.isWriterAttached(attached), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, IPC_WRITER_PID_CHANGED);
    EXPECT_TRUE(attached);
    EXPECT_EQ(m_reader.isWriterAttached(attached), 0);

    // The writer's view of a changed reader stays an error until reopened.
    raw.header().readerInfo.pid = live.pid();
    for (int i = 0; i < 2; ++i)
    {
        EXPECT_EQ(m_writer.isReaderAttached(attached), -1);
        EXPECT_EQ(FrameworkErrno::m_fwErrno, IPC_READER_PID_CHANGED);
    }

    // Dead, and ids that name no single process (0 would signal our own group).
    for (int32 pid : {static_cast<int32>(gone), 0, -7})
    {
        raw.header().writerInfo.pid = pid;
        raw.header().readerInfo.pid = pid;
        EXPECT_EQ(m_reader.isWriterAttached(attached), -1) << pid;
        EXPECT_EQ(FrameworkErrno::m_fwErrno, IPC_WRITER_NOT_EXIST) << pid;
        EXPECT_FALSE(attached);
        EXPECT_EQ(m_writer.isReaderAttached(attached), -1) << pid;
        EXPECT_EQ(FrameworkErrno::m_fwErrno, IPC_READER_NOT_EXIST) << pid;
    }
    raw.header().writerInfo.pid = -1;
    EXPECT_EQ(m_reader.isWriterAttached(attached, &info), 0);
    EXPECT_FALSE(attached);
    EXPECT_EQ(info.pid, -1);
    raw.header().readerInfo.pid = ::getpid();
    raw.header().writerInfo.pid = ::getpid();
}

TEST_F(IpcShrMemMsgQTest, ReaderCloseUnlinksOnlyWithoutALiveWriter)
{
    ASSERT_EQ(m_reader.open(m_name.c_str(), IPC_READER_MODE, 100), 0);
    PipeSignal attachedSignal;
    PipeSignal releaseSignal;
    ForkedPeer writer([&] {
        IpcShrMemMsgQ w{"CHILDW"};
        if (w.open(m_name.c_str(), IPC_WRITER_MODE, 0) != 0)
            return 1;
        attachedSignal.post();
        releaseSignal.wait();
        return w.close(false) == 0 ? 0 : 2;
    });
    ASSERT_EQ(attachedSignal.wait(), 1);

    EXPECT_EQ(m_reader.close(true), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, IPC_SHR_MEM_CLOSE_FAIL);
    EXPECT_TRUE(m_name.exists());
    EXPECT_TRUE(testLog().contains("Cannot unlink IPC shared memory [" + m_name.str() +
                                   "] as writer AppId [CHILDW] PID [" + std::to_string(writer.pid()) +
                                   "] still attach"));
    EXPECT_NE(m_reader.isOpened(), 0);

    releaseSignal.post();
    ASSERT_EQ(writer.join(), 0);
    ASSERT_EQ(m_reader.open(m_name.c_str(), IPC_READER_MODE, 100), 0);
    EXPECT_EQ(m_reader.close(true), 0);
    EXPECT_FALSE(m_name.exists());
}

TEST_F(IpcShrMemMsgQTest, ForkedWriterDeliversEveryEntryInOrderThroughAFullRing)
{
    ASSERT_EQ(m_reader.open(m_name.c_str(), IPC_READER_MODE, 100), 0);
    constexpr int32 COUNT = 5000;
    ForkedPeer writer([&] {
        IpcShrMemMsgQ w{"CHILDW"};
        if (w.open(m_name.c_str(), IPC_WRITER_MODE, 0) != 0)
            return 1;
        for (int32 i = 0; i < COUNT; ++i)
        {
            IpcShmMsg msg = dataMsg(static_cast<uint32>(i % 2201), i, static_cast<char>(i));
            while (w.enqueue(msg, 100, 10) != 0)
                if (FrameworkErrno::m_fwErrno != BUFFER_FULL)
                    return 2;
        }
        IpcShmMsg close{};
        close.msgType = IPC_MSG_TYPE_CTL_CLOSE;
        while (w.enqueue(close, 100, 10) != 0)
            ;
        return 0; // the destructor gives up the writer slot
    });

    // The reader starts once the writer has filled the ring: a reader that
    // keeps up would never let it fill.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (m_reader.getMaxUsage() < 100 && std::chrono::steady_clock::now() < deadline)
        ::usleep(1000);
    ASSERT_EQ(m_reader.getMaxUsage(), 100) << "the writer never filled the ring";
    int32 expected = 0;
    int32 idlePolls = 0; // bounds the wait should the child die
    IpcShmMsg out;
    for (;;)
    {
        if (m_reader.dequeue(out, 1000, 10) != 0)
        {
            ASSERT_EQ(FrameworkErrno::m_fwErrno, BUFFER_EMPTY);
            ASSERT_LT(++idlePolls, 3000) << "writer stopped after " << expected;
            continue;
        }
        idlePolls = 0;
        if (out.msgType == IPC_MSG_TYPE_CTL_CLOSE)
            break;
        ASSERT_EQ(out.msgPartNum, expected);
        ASSERT_EQ(out.dataLen, static_cast<uint32>(expected % 2201));
        const uint32 len = out.dataLen;
        for (uint32 b = 0; b < len; b += 97)
            ASSERT_EQ(out.buffer[b], static_cast<char>(expected)) << expected;
        ++expected;
    }
    EXPECT_EQ(expected, COUNT);
    EXPECT_EQ(writer.join(), 0);
    EXPECT_EQ(m_reader.getMaxUsage(), 100);
    bool attached = true;
    EXPECT_EQ(m_reader.isWriterAttached(attached), 0);
    EXPECT_FALSE(attached);
}

// Every header field is the peer's to write: bad indices, sizes and lengths
// give errors, never an access outside the mapping.
TEST_F(IpcShrMemMsgQTest, CorruptIndicesAreReportedNotFollowed)
{
    openPair();
    RawObject raw(m_name, sizeof(IpcSharedMemInfo) + 101 * sizeof(IpcShmMsg));
    ASSERT_TRUE(raw.ok());
    struct Case
    {
        const char* what;
        int32 head;
        int32 tail;
    };
    const Case cases[] = {
        {"negative head", -1, 0}, {"head past the slots", 101, 0}, {"huge tail", 0, 1 << 30},
        {"negative tail", 3, -5}, {"head at int max", 0x7fffffff, 0},
    };
    for (const Case& c : cases)
    {
        raw.header().ringBufInfo.headIndex = c.head;
        raw.header().ringBufInfo.tailIndex = c.tail;
        IpcShmMsg out;
        EXPECT_EQ(m_reader.dequeue(out), -1) << c.what;
        EXPECT_EQ(FrameworkErrno::m_fwErrno, IPC_SHR_MEM_NOT_ALIGN) << c.what;
        EXPECT_EQ(m_reader.getNumMsgQueued(), -1) << c.what;
        EXPECT_EQ(m_writer.enqueue(dataMsg(1)), -1) << c.what;
        EXPECT_EQ(FrameworkErrno::m_fwErrno, IPC_SHR_MEM_NOT_ALIGN) << c.what;
        raw.header().ringBufInfo.headIndex = 0;
        raw.header().ringBufInfo.tailIndex = 0;
        m_writer.close(false);
        ASSERT_EQ(m_writer.open(m_name.c_str(), IPC_WRITER_MODE, 0), 0);
    }
    // A reader coming back to a head outside the ring starts it afresh.
    raw.header().ringBufInfo.headIndex = 5000;
    m_reader.close(false);
    ASSERT_EQ(m_reader.open(m_name.c_str(), IPC_READER_MODE, 100), 0);
    EXPECT_EQ(raw.header().ringBufInfo.headIndex, 0);
    EXPECT_EQ(raw.header().ringBufInfo.tailIndex, 0);
    EXPECT_TRUE(m_reader.isEmpty());

    // A slot count rewritten by the peer is ignored: ours was fixed at open.
    raw.header().ringBufInfo.bufSize = 1000000;
    for (int32 i = 0; i < 100; ++i)
        ASSERT_EQ(m_writer.enqueue(dataMsg(1)), 0);
    EXPECT_EQ(m_writer.enqueue(dataMsg(1)), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, BUFFER_FULL);
}

TEST_F(IpcShrMemMsgQTest, EntryWithImpossibleLengthIsDroppedAndTheNextOneRead)
{
    openPair();
    ASSERT_EQ(m_writer.enqueue(dataMsg(5, 1)), 0);
    ASSERT_EQ(m_writer.enqueue(dataMsg(6, 2)), 0);
    RawObject raw(m_name, sizeof(IpcSharedMemInfo) + 101 * sizeof(IpcShmMsg));
    ASSERT_TRUE(raw.ok());
    raw.entry(0).dataLen = 0xfffffff0u;

    IpcShmMsg out;
    EXPECT_EQ(m_reader.dequeue(out), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, IPC_SHR_MEM_NOT_ALIGN);
    ASSERT_EQ(m_reader.dequeue(out), 0);
    EXPECT_EQ(out.msgPartNum, 2);
    EXPECT_EQ(out.dataLen, 6u);
}

TEST_F(IpcShrMemMsgQTest, WriterRefusesObjectsWhoseSizeDoesNotMatchTheirHeader)
{
    struct Case
    {
        const char* what;
        uint32 bufSize;
        size_t objectBytes;
        int32 code;
    };
    const Case cases[] = {
        {"no slots", 0, 225480, IPC_SHR_MEM_INVALID_LEN},
        {"too short a queue", 100, 225480, IPC_SHR_MEM_INVALID_LEN},
        {"queue longer than the object", 1000001, 225480, IPC_SHR_MEM_NOT_ALIGN},
        {"object cut after the header", 101, 200, IPC_SHR_MEM_NOT_ALIGN},
        {"object cut mid-ring", 101, 100000, IPC_SHR_MEM_NOT_ALIGN},
    };
    for (const Case& c : cases)
    {
        ShmName name;
        IpcShrMemMsgQ reader{"R"};
        ASSERT_EQ(reader.open(name.c_str(), IPC_READER_MODE, 100), 0);
        {
            RawObject raw(name, sizeof(IpcSharedMemInfo));
            ASSERT_TRUE(raw.ok());
            raw.header().ringBufInfo.bufSize = c.bufSize;
        }
        const int fd = ::shm_open(name.c_str(), O_RDWR, 0);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(c.objectBytes)), 0);
        ::close(fd);

        IpcShrMemMsgQ writer{"W"};
        EXPECT_EQ(writer.open(name.c_str(), IPC_WRITER_MODE, 0), -1) << c.what;
        EXPECT_EQ(FrameworkErrno::m_fwErrno, c.code) << c.what;
        EXPECT_NE(writer.isOpened(), 0) << c.what;

        // A reader coming back to the damaged object is refused as well.
        reader.close(false);
        IpcShrMemMsgQ again{"R"};
        EXPECT_EQ(again.open(name.c_str(), IPC_READER_MODE, 100), -1) << c.what;
        EXPECT_EQ(FrameworkErrno::m_fwErrno, IPC_SHR_MEM_NOT_ALIGN) << c.what;
    }
}

// The group may write whatever the creator's umask says.
TEST_F(IpcShrMemMsgQTest, NewObjectIsGroupWritableUnderAUmaskOf022)
{
    const mode_t saved = ::umask(022);
    const int32 r = m_reader.open(m_name.c_str(), IPC_READER_MODE, 100);
    ::umask(saved);
    ASSERT_EQ(r, 0);
    const int fd = ::shm_open(m_name.c_str(), O_RDONLY, 0);
    ASSERT_GE(fd, 0);
    struct stat st{};
    ASSERT_EQ(::fstat(fd, &st), 0);
    ::close(fd);
    EXPECT_EQ(st.st_mode & 0777, 0770u);
}
