// The IPC thread run as the framework runs it: its loop on a thread of its
// own, driven by events in its queues, over real shared-memory channels whose
// writer is this process or a forked one. The owning thread's queues are
// read by the test.
#include "FendralCore/tests/registry/RegistryTestSupport.h"

#include "FendralCore/dispatch/IpcReceiver.h"
#include "FendralCore/dispatch/IpcShrMemMsgQ.h"
#include "FendralCore/dispatch/MessageStore.h"
#include "FendralCore/runtime/ResourceManager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <sched.h>
#include <string>
#include <sys/mman.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace
{
constexpr uint32 OWNER_QUEUE_LEN = 16;
constexpr uint32 CHANNEL_LEN = 100;

// A channel name unique to this process and test; its object is removed at
// the end whoever left it.
class ChannelName
{
public:
    ChannelName()
    {
        static std::atomic<unsigned> counter{0};
        m_name = "T" + std::to_string(::getpid() % 1000000) + "x" + std::to_string(counter++);
    }
    ~ChannelName() { ::shm_unlink(shm().c_str()); }
    const char* c_str() const { return m_name.c_str(); }
    std::string shm() const { return std::string(IpcReceiver::SHARE_MEM_PREFIX) + m_name; }

private:
    std::string m_name;
};

// The next message of a polled queue, waiting up to 10 s for it.
bool next(FwMessageQueue& q, FwIntMessage& msg)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline)
    {
        bool more = false;
        if (q.getMessage(&msg, more) == 0)
            return true;
        ::sched_yield();
    }
    return false;
}

IpcShmMsg dataEntry(const std::string& bytes, int32 part, bool more)
{
    IpcShmMsg e{};
    e.msgType = IPC_MSG_TYPE_DATA;
    e.dataLen = static_cast<uint32>(bytes.size());
    e.msgPartNum = part;
    e.more = more ? 1 : 0;
    std::memcpy(e.buffer, bytes.data(), bytes.size());
    return e;
}

IpcShmMsg controlEntry(IpcIntMsgType type)
{
    IpcShmMsg e{};
    e.msgType = type;
    return e;
}

// A writer process, forked before the receiver thread starts (a fork beside
// running threads may copy a lock held by one of them); it runs body once
// told to go and exits with its result.
// The channel's object mapped read-write, as a process of its group that
// forges entries or indices would have it.
class ForgedRing
{
public:
    explicit ForgedRing(const ChannelName& name) : m_size(IpcShrMemMsgQ::objectSize(CHANNEL_LEN))
    {
        const int fd = ::shm_open(name.shm().c_str(), O_RDWR, 0);
        if (fd < 0)
            return;
        void* mem = ::mmap(nullptr, m_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        ::close(fd);
        if (mem != MAP_FAILED)
            m_mem = mem;
    }
    ~ForgedRing()
    {
        if (m_mem != nullptr)
            ::munmap(m_mem, m_size);
    }
    ForgedRing(const ForgedRing&) = delete;
    ForgedRing& operator=(const ForgedRing&) = delete;

    bool mapped() const { return m_mem != nullptr; }
    IpcSharedMemInfo* info() const { return static_cast<IpcSharedMemInfo*>(m_mem); }
    IpcShmMsg* slots() const
    {
        return reinterpret_cast<IpcShmMsg*>(static_cast<char*>(m_mem) + sizeof(IpcSharedMemInfo));
    }
    int32 head() const { return __atomic_load_n(&info()->ringBufInfo.headIndex, __ATOMIC_ACQUIRE); }
    void setHead(int32 head) { __atomic_store_n(&info()->ringBufInfo.headIndex, head, __ATOMIC_RELEASE); }

private:
    size_t m_size;
    void* m_mem = nullptr;
};

class ForkedWriter
{
public:
    explicit ForkedWriter(std::function<int()> body)
    {
        if (::pipe(m_fds) != 0)
            std::abort();
        m_pid = ::fork();
        if (m_pid == 0)
        {
            char go = 0;
            ::_exit(::read(m_fds[0], &go, 1) == 1 ? body() : 99);
        }
    }
    ~ForkedWriter()
    {
        ::close(m_fds[0]);
        ::close(m_fds[1]);
        if (m_pid > 0 && !m_joined)
        {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    // Lets the child run and returns its exit status (-1 when it did not exit).
    int run()
    {
        const char go = 1;
        if (::write(m_fds[1], &go, 1) != 1)
            return -1;
        int status = 0;
        m_joined = true;
        if (::waitpid(m_pid, &status, 0) != m_pid || !WIFEXITED(status))
            return -1;
        return WEXITSTATUS(status);
    }

private:
    int m_fds[2]{-1, -1};
    pid_t m_pid = -1;
    bool m_joined = false;
};
} // namespace

class IpcReceiverTest : public ::testing::Test
{
protected:
    explicit IpcReceiverTest(OptimizationMode mode = LOW_LATENCY)
        : m_mode(mode),
          m_config("IPC_CHK_TIMER_INT INT32 1\nIPC_CHK_PROC_MTR INT32 1\nSTS_RPT_INTERVAL INT32 5\n"),
          m_registry(m_config.get())
    {
        m_savedMode = GlobalData::getInst().m_optMode.load();
        GlobalData::getInst().m_optMode.store(mode);
        // The thread's own queues block on read, as the framework makes them.
        m_self = registerThread("IPC_RECEIVER", m_selfNormal, m_selfHigh, 64, true);
        m_ctl = registerThread("CTL_THREAD", m_ctlNormal, m_ctlHigh, 64);
        m_owner = registerThread("OWNER", m_ownerNormal, m_ownerHigh, OWNER_QUEUE_LEN);
        GlobalData::getInst().m_tmpMsgRepository.insert(UInt128(Name("OWNER").txt, true),
                                                        reinterpret_cast<DataValueType>(&m_store), false);
    }

    ~IpcReceiverTest() override
    {
        stop();
        GlobalData::getInst().m_tmpMsgRepository.remove(UInt128(Name("OWNER").txt, true));
        GlobalData::getInst().m_optMode.store(m_savedMode);
    }

    ThreadResource* registerThread(const char* name, std::unique_ptr<FwMessageQueue>& normal,
                                   std::unique_ptr<FwMessageQueue>& high, uint32 len, bool block = false)
    {
        ThreadResource* res = registerTestThread(m_registry, name, normal, high, len, m_mode, block);
        EXPECT_NE(res, nullptr) << name;
        return res;
    }

    IpcResource* addChannel(const ChannelName& name, IpcAccessMode mode, bool openAtStartup = false)
    {
        IpcParam param{};
        m_registry.initIpcParam(param);
        setName(param.ipcNameTxt, name.c_str());
        setName(param.threadNameTxt, "OWNER");
        param.accessMode = mode;
        param.msgQueLen = CHANNEL_LEN;
        param.openAtStartup = openAtStartup;
        IpcResource* res = nullptr;
        EXPECT_EQ(m_registry.registerIpcRes(param, &res), 0) << lastCode();
        return res;
    }

    void start()
    {
        m_receiver = std::make_unique<IpcReceiver>(m_self, m_registry, GlobalData::getInst(), m_config.get());
        m_thread = std::thread([this] { m_result = m_receiver->run(m_exitHdr); });
    }

    void stop()
    {
        if (!m_thread.joinable())
            return;
        send(TERM);
        m_thread.join();
        m_receiver.reset();
    }

    void send(FwEventID id, const char* resName = "", const char* from = "OWNER")
    {
        FwIntMessage msg{};
        setName(msg.originatorTxt, from);
        msg.appMsg.type = MSG_EVENT;
        msg.appMsg.event.id = id;
        setName(msg.appMsg.event.eventParam.resNameTxt, resName);
        ASSERT_EQ(m_selfNormal->putMessage(&msg), 0);
    }

    // INIT and CONN_INIT, answered and acted on.
    void connInit()
    {
        send(INIT, "", "CTL_THREAD");
        FwIntMessage ack{};
        ASSERT_TRUE(next(*m_ctlHigh, ack));
        EXPECT_EQ(ack.appMsg.event.id, INIT_ACK);
        send(CONN_INIT, "", "CTL_THREAD");
    }

    // The next event of the owner's queue q.
    EventMsg event(FwMessageQueue& q)
    {
        FwIntMessage msg{};
        EXPECT_TRUE(next(q, msg)) << "no message";
        EXPECT_EQ(msg.appMsg.type, MSG_EVENT);
        return msg.appMsg.event;
    }

    OptimizationMode m_mode;
    TestConfig m_config;
    ResourceManager m_registry;
    OptimizationMode m_savedMode;
    std::unique_ptr<FwMessageQueue> m_selfNormal, m_selfHigh, m_ctlNormal, m_ctlHigh, m_ownerNormal, m_ownerHigh;
    ThreadResource* m_self = nullptr;
    ThreadResource* m_ctl = nullptr;
    ThreadResource* m_owner = nullptr;
    MessageStore m_store;
    std::unique_ptr<IpcReceiver> m_receiver;
    std::thread m_thread;
    int32 m_result = -2;
    int32 m_exitHdr = -2;
};

TEST_F(IpcReceiverTest, OpenAndCloseRequestsAnswerTheOwnerThroughTheirWholeLife)
{
    ChannelName name;
    IpcResource* res = addChannel(name, IPC_READER_MODE);
    start();

    // Before CONN_INIT the request is only logged; TERM still ends the loop.
    send(IPC_OPEN_RQS, name.c_str());
    connInit();
    EXPECT_EQ(event(*m_ownerNormal).id, IPC_READY_TO_OPEN);
    EXPECT_TRUE(testLog().contains("IPC_OPEN_RQS event for [" + std::string(name.c_str()) +
                                   "] from [OWNER] is ignored before CONN_INIT received."));

    struct Step
    {
        FwEventID request;
        FwEventID answer;
        int32 code;
        ResourceStatus status;
    };
    const Step steps[] = {
        {IPC_OPEN_RQS, IPC_OPENED, 0, RES_CONNECTED},
        {IPC_OPEN_RQS, IPC_OPEN_FAIL, IPC_ALREADY_OPENED, RES_CONNECTED},
        {IPC_CLOSE_RQS, IPC_CLOSED, 0, RES_DISCONNECTED},
        {IPC_CLOSE_RQS, IPC_CLOSED, IPC_NOT_OPEN, RES_DISCONNECTED},
        {IPC_OPEN_RQS, IPC_OPENED, 0, RES_CONNECTED},
    };
    for (const Step& s : steps)
    {
        send(s.request, name.c_str());
        const EventMsg e = event(*m_ownerNormal);
        EXPECT_EQ(e.id, s.answer) << s.request;
        EXPECT_EQ(e.eventParam.paramInt32, s.code) << s.request;
        EXPECT_STREQ(e.eventParam.resNameTxt, name.c_str());
        EXPECT_EQ(res->status.load(), s.status);
    }

    // An unknown channel is answered to the requester's high-priority queue.
    send(IPC_OPEN_RQS, "NOSUCHCHANNEL");
    const EventMsg e = event(*m_ownerHigh);
    EXPECT_EQ(e.id, IPC_OPEN_FAIL);
    EXPECT_NE(e.eventParam.paramInt32, 0);

    stop();
    EXPECT_EQ(m_result, 0);
    EXPECT_EQ(m_exitHdr, 0);
}

TEST_F(IpcReceiverTest, WriterWithoutAReaderFailsToOpen)
{
    ChannelName name;
    {
        // The object exists but its reader has gone.
        IpcShrMemMsgQ reader("READER");
        ASSERT_EQ(reader.open(name.shm().c_str(), IPC_READER_MODE, CHANNEL_LEN), 0);
        ASSERT_EQ(reader.close(false), 0);
    }
    IpcResource* res = addChannel(name, IPC_WRITER_MODE, true);
    start();
    connInit();
    const EventMsg e = event(*m_ownerNormal);
    EXPECT_EQ(e.id, IPC_OPEN_FAIL);
    EXPECT_EQ(e.eventParam.paramInt32, IPC_READER_NOT_EXIST);
    EXPECT_EQ(res->status.load(), RES_FAILED);
}

TEST_F(IpcReceiverTest, ForkedWriterIsAnnouncedDeliveredInOrderAndDetachedByItsCloseEntry)
{
    ChannelName name;
    addChannel(name, IPC_READER_MODE, true);
    const std::string big(2200, 'z');
    ForkedWriter peer([&] {
        IpcShrMemMsgQ writer("WRITER1");
        if (writer.open(name.shm().c_str(), IPC_WRITER_MODE, 0) != 0)
            return 1;
        // The reader looks the writer up when it reads the open entry.
        if (writer.enqueue(controlEntry(IPC_MSG_TYPE_CTL_OPEN), 5, 20) != 0)
            return 2;
        while (writer.getNumMsgQueued() != 0)
            ::sched_yield();
        const IpcShmMsg entries[] = {dataEntry("first", 0, true), dataEntry(big, 1, false), dataEntry("", 0, false),
                                     controlEntry(IPC_MSG_TYPE_CTL_CLOSE)};
        for (const IpcShmMsg& e : entries)
            if (writer.enqueue(e, 5, 20) != 0)
                return 2;
        return writer.close(false) == 0 ? 0 : 3;
    });
    start();
    connInit();
    ASSERT_EQ(event(*m_ownerNormal).id, IPC_OPENED);
    testLog().clear();

    const int rc = peer.run();
    ASSERT_EQ(rc, 0);

    EventMsg e = event(*m_ownerNormal);
    EXPECT_EQ(e.id, IPC_WRITER_ATTACHED);
    EXPECT_STREQ(e.eventParam.appIdTxt, "WRITER1");
    struct Expect
    {
        std::string bytes;
        int32 part;
        bool more;
    };
    const Expect expected[] = {{"first", 0, true}, {big, 1, false}, {"", 0, false}};
    uint32 seq = 0;
    for (const Expect& x : expected)
    {
        FwIntMessage m{};
        ASSERT_TRUE(next(*m_ownerNormal, m));
        ASSERT_EQ(m.appMsg.type, MSG_DATA);
        const Data_t& d = m.appMsg.data;
        EXPECT_EQ(std::string(d.buffer, d.dataLen), x.bytes);
        EXPECT_EQ(d.msgPartNum, x.part);
        EXPECT_EQ(d.more, x.more);
        EXPECT_EQ(d.chnType, IPC_CHANNEL);
        EXPECT_EQ(d.dataDir, INCOMING_DATA);
        EXPECT_STREQ(d.channelNameTxt, name.c_str());
        EXPECT_STREQ(m.recipientTxt, "OWNER");
        EXPECT_GT(m.msgSeqNum, seq);
        seq = m.msgSeqNum;
    }
    e = event(*m_ownerNormal);
    EXPECT_EQ(e.id, IPC_WRITER_DETACHED);
    EXPECT_EQ(e.eventParam.paramInt32, 0);
    EXPECT_STREQ(e.eventParam.appIdTxt, "WRITER1");
    stop();
    EXPECT_FALSE(testLog().contains("No IPC internal CLOSE msg"));
}

TEST_F(IpcReceiverTest, WriterThatDiedIsDetachedAfterItsQueuedEntriesAreDelivered)
{
    ChannelName name;
    IpcResource* res = addChannel(name, IPC_READER_MODE, true);
    ForkedWriter peer([&] {
        IpcShrMemMsgQ writer("WRITER2");
        if (writer.open(name.shm().c_str(), IPC_WRITER_MODE, 0) != 0)
            return 1;
        for (const IpcShmMsg& e : {controlEntry(IPC_MSG_TYPE_CTL_OPEN), dataEntry("a", 0, false),
                                   dataEntry("b", 0, false)})
            if (writer.enqueue(e, 5, 20) != 0)
                return 2;
        ::_exit(0); // gone without a close entry, its slot still held
    });
    start();
    connInit();
    ASSERT_EQ(event(*m_ownerNormal).id, IPC_OPENED);

    const int rc = peer.run();
    ASSERT_EQ(rc, 0);

    EXPECT_EQ(event(*m_ownerNormal).id, IPC_WRITER_ATTACHED);
    for (const char* bytes : {"a", "b"})
    {
        FwIntMessage m{};
        ASSERT_TRUE(next(*m_ownerNormal, m));
        ASSERT_EQ(m.appMsg.type, MSG_DATA);
        EXPECT_EQ(std::string(m.appMsg.data.buffer, m.appMsg.data.dataLen), bytes);
    }
    const EventMsg e = event(*m_ownerNormal);
    EXPECT_EQ(e.id, IPC_WRITER_DETACHED);
    EXPECT_EQ(e.eventParam.paramInt32, IPC_WRITER_NOT_EXIST);
    EXPECT_EQ(res->counterpartStatus.load(), RES_DISCONNECTED);
    EXPECT_EQ(res->counterpartPid, -1);
}

// A full owner queue: the entry is parked and congestion reported on the
// other queue; once the owner drains, the parked entry and later ones arrive
// in order.
TEST_F(IpcReceiverTest, EntryForAQueueAtItsReserveIsParkedAndDeliveredInOrderLater)
{
    ChannelName name;
    addChannel(name, IPC_READER_MODE, true);
    start();
    connInit();
    ASSERT_EQ(event(*m_ownerNormal).id, IPC_OPENED);

    FwIntMessage filler{};
    filler.appMsg.type = MSG_EVENT;
    filler.appMsg.event.id = APP_READY;
    while (m_ownerNormal->getNumFreeEntry() > IpcReceiver::THREAD_MSGQ_RESERVED_ENTRIES)
        ASSERT_EQ(m_ownerNormal->putMessage(&filler), 0);

    IpcShrMemMsgQ writer("WRITER3");
    ASSERT_EQ(writer.open(name.shm().c_str(), IPC_WRITER_MODE, 0), 0);
    ASSERT_EQ(writer.enqueue(dataEntry("one", 0, false)), 0);
    const EventMsg congest = event(*m_ownerHigh);
    EXPECT_EQ(congest.id, MSG_QUEUE_CONGEST);
    EXPECT_EQ(congest.eventParam.paramInt32, BUFFER_FULL);
    ASSERT_EQ(writer.enqueue(dataEntry("two", 0, false)), 0);

    // Drain the fillers; then both entries arrive, parked one first.
    FwIntMessage m{};
    for (uint32 i = 0; i < OWNER_QUEUE_LEN - IpcReceiver::THREAD_MSGQ_RESERVED_ENTRIES; ++i)
    {
        ASSERT_TRUE(next(*m_ownerNormal, m));
        ASSERT_EQ(m.appMsg.type, MSG_EVENT);
    }
    for (const char* bytes : {"one", "two"})
    {
        ASSERT_TRUE(next(*m_ownerNormal, m));
        ASSERT_EQ(m.appMsg.type, MSG_DATA);
        EXPECT_EQ(std::string(m.appMsg.data.buffer, m.appMsg.data.dataLen), bytes);
    }
    stop();
    writer.close(false);
}

// A peer that writes a length past the entry's buffer: nothing of it is
// delivered, and the entries after it still are.
TEST_F(IpcReceiverTest, EntryWithALengthPastItsBufferIsRefusedAndTheChannelGoesOn)
{
    ChannelName name;
    addChannel(name, IPC_READER_MODE, true);
    start();
    connInit();
    ASSERT_EQ(event(*m_ownerNormal).id, IPC_OPENED);

    // Forge the writer: entries straight into the mapped slots, head moved last.
    ForgedRing ring(name);
    ASSERT_TRUE(ring.mapped());
    const int32 head = ring.head();
    IpcShmMsg bad = dataEntry("x", 0, false);
    bad.dataLen = 50000;
    ring.slots()[head] = bad;
    ring.slots()[head + 1] = dataEntry("good", 0, false);
    ring.setHead(head + 2);

    FwIntMessage m{};
    ASSERT_TRUE(next(*m_ownerNormal, m));
    ASSERT_EQ(m.appMsg.type, MSG_DATA);
    EXPECT_EQ(std::string(m.appMsg.data.buffer, m.appMsg.data.dataLen), "good");
    stop();
    EXPECT_TRUE(testLog().contains("Error [2302]"));
}

// A writer that forges malformed entries as fast as it can: ten of them are
// told in a minute with their follow-up lines, the rest are counted and the
// count is told when the writer detaches; the good entries still pass.
TEST_F(IpcReceiverTest, MalformedEntriesAreToldUpToTheLimitAndCountedWhenTheWriterGoes)
{
    ChannelName name;
    addChannel(name, IPC_READER_MODE, true);
    start();
    connInit();
    ASSERT_EQ(event(*m_ownerNormal).id, IPC_OPENED);
    testLog().clear();

    ForgedRing ring(name);
    ASSERT_TRUE(ring.mapped());
    const int32 head = ring.head();
    constexpr int32 cBad = 25;
    IpcShmMsg bad = dataEntry("x", 0, false);
    bad.dataLen = 50000;
    for (int32 i = 0; i < cBad; ++i)
        ring.slots()[head + i] = bad;
    ring.slots()[head + cBad] = dataEntry("good", 0, false);
    ring.slots()[head + cBad + 1] = controlEntry(IPC_MSG_TYPE_CTL_CLOSE);
    ring.setHead(head + cBad + 2);

    FwIntMessage m{};
    ASSERT_TRUE(next(*m_ownerNormal, m));
    ASSERT_EQ(m.appMsg.type, MSG_DATA);
    EXPECT_EQ(std::string(m.appMsg.data.buffer, m.appMsg.data.dataLen), "good");
    EXPECT_EQ(event(*m_ownerNormal).id, IPC_WRITER_DETACHED);
    stop();
    EXPECT_EQ(testLog().count("Error [2302] retrieving invalid message from IPC channel"), 10u);
    EXPECT_EQ(testLog().count("Error [2302] processing in IPC reader channel"), 10u);
    EXPECT_EQ(testLog().count("IPC channel [" + std::string(name.c_str()) + "]: 15 similar log lines held back"), 1u);
}

// The descriptor-driven loop: its queues block on read, so it reads only
// those that are ready, and it polls the channels on its check timer.
class IpcReceiverCpuTest : public IpcReceiverTest
{
protected:
    IpcReceiverCpuTest() : IpcReceiverTest(CPU_UTILIZATION) {}
};

TEST_F(IpcReceiverCpuTest, EventsAndEntriesAreServedAndTermEndsTheLoop)
{
    ChannelName name;
    addChannel(name, IPC_READER_MODE);
    ForkedWriter peer([&] {
        IpcShrMemMsgQ writer("WRITER4");
        if (writer.open(name.shm().c_str(), IPC_WRITER_MODE, 0) != 0)
            return 1;
        for (const IpcShmMsg& e : {controlEntry(IPC_MSG_TYPE_CTL_OPEN), dataEntry("cpu", 0, false)})
            if (writer.enqueue(e, 5, 20) != 0)
                return 2;
        while (writer.getNumMsgQueued() != 0)
            ::sched_yield();
        return writer.enqueue(controlEntry(IPC_MSG_TYPE_CTL_CLOSE), 5, 20) == 0 ? 0 : 3;
    });
    start();
    connInit();
    EXPECT_EQ(event(*m_ownerNormal).id, IPC_READY_TO_OPEN);
    send(IPC_OPEN_RQS, name.c_str());
    ASSERT_EQ(event(*m_ownerNormal).id, IPC_OPENED);

    const int rc = peer.run();
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(event(*m_ownerNormal).id, IPC_WRITER_ATTACHED);
    FwIntMessage m{};
    ASSERT_TRUE(next(*m_ownerNormal, m));
    ASSERT_EQ(m.appMsg.type, MSG_DATA);
    EXPECT_EQ(std::string(m.appMsg.data.buffer, m.appMsg.data.dataLen), "cpu");
    EXPECT_EQ(event(*m_ownerNormal).id, IPC_WRITER_DETACHED);

    stop();
    EXPECT_EQ(m_result, 0);
    EXPECT_EQ(m_exitHdr, 0);
}

// Pipeline channels: parts are joined into one pipeline message; a part out
// of order or a joined message too large for the join buffer or the pipeline
// is refused, and the channel goes on with the next message.
class IpcReceiverPipelineTest : public IpcReceiverTest
{
protected:
    IpcReceiverPipelineTest() { m_savedMaxMsg = GlobalData::getInst().m_maxMsgSize; }
    ~IpcReceiverPipelineTest() override
    {
        stop();
        GlobalData::getInst().m_maxMsgSize = m_savedMaxMsg;
    }

    // A reader channel into a one-stage pipeline of maxDataSize bytes, opened.
    void openPipelineChannel(uint32 maxDataSize)
    {
        m_pipeline = std::make_unique<Pipeline>(8, maxDataSize, 1, LOW_LATENCY, false);
        ASSERT_NE(registerTestPipeline(m_registry, "PL1", m_pipeline.get(), 8, static_cast<int32>(maxDataSize)), nullptr);

        IpcParam param{};
        m_registry.initIpcParam(param);
        setName(param.ipcNameTxt, m_name.c_str());
        setName(param.threadNameTxt, "OWNER");
        setName(param.pipelineNameTxt, "PL1");
        param.channelType = PIPELINE_CHANNEL;
        param.accessMode = IPC_READER_MODE;
        param.msgQueLen = CHANNEL_LEN;
        param.openAtStartup = true;
        ASSERT_EQ(m_registry.registerIpcRes(param, nullptr), 0) << lastCode();
        start();
        connInit();
        ASSERT_EQ(pipelineEvent(), IPC_OPENED);
        ASSERT_EQ(m_writer.open(m_name.shm().c_str(), IPC_WRITER_MODE, 0), 0);
    }

    // The id of the next pipeline entry, an event.
    int32 pipelineEvent()
    {
        std::string payload;
        PipelineMsgHeader hdr{};
        if (!nextEntry(hdr, payload) || hdr.type != MSG_EVENT || payload.size() < sizeof(FwIntMessage) / 2)
            return -1;
        FwIntMessage evt{};
        std::memcpy(&evt, payload.data(), std::min(payload.size(), sizeof evt));
        return evt.appMsg.event.id;
    }

    bool nextEntry(PipelineMsgHeader& hdr, std::string& payload)
    {
        std::vector<char> buf(m_pipeline->getMaxDataSize());
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline)
        {
            if (m_pipeline->dequeue(0, buf.data(), static_cast<uint32>(buf.size()), hdr, 1) == 0)
            {
                payload.assign(buf.data(), hdr.dataLen);
                return true;
            }
            ::sched_yield();
        }
        return false;
    }

    void write(const std::string& bytes, int32 part, bool more)
    {
        ASSERT_EQ(m_writer.enqueue(dataEntry(bytes, part, more), 5, 20), 0);
    }

    ChannelName m_name;
    std::unique_ptr<Pipeline> m_pipeline;
    IpcShrMemMsgQ m_writer{"WRITERP"};
    uint32 m_savedMaxMsg = 0;
};

TEST_F(IpcReceiverPipelineTest, PartsAreJoinedAndOutOfOrderPartsRefused)
{
    openPipelineChannel(8000);
    struct Case
    {
        std::vector<std::pair<int32, bool>> parts; // part number, more
        int32 error;                               // 0: delivered
    };
    const Case cases[] = {
        {{{0, true}, {1, true}, {2, false}}, 0},
        {{{0, true}, {2, true}}, IPC_SHR_MEM_READ_FAIL},
        {{{0, true}, {2, false}}, IPC_INCOMPLETE_MSG_RCVD},
        {{{0, false}}, 0},
    };
    for (const Case& c : cases)
    {
        testLog().clear();
        std::string expected;
        for (const auto& [part, more] : c.parts)
        {
            const std::string bytes(100 + static_cast<size_t>(part), static_cast<char>('a' + part));
            expected += bytes;
            write(bytes, part, more);
        }
        if (c.error != 0)
        {
            // The refusal is logged; a whole message behind it still arrives.
            write("after", 0, false);
            expected = "after";
        }
        PipelineMsgHeader hdr{};
        std::string payload;
        ASSERT_TRUE(nextEntry(hdr, payload));
        EXPECT_EQ(hdr.type, MSG_DATA);
        EXPECT_EQ(payload, expected);
        EXPECT_STREQ(hdr.channelNameTxt, m_name.c_str());
        EXPECT_STREQ(hdr.recipientTxt, "OWNER");
        EXPECT_EQ(hdr.chnType, IPC_CHANNEL);
        if (c.error != 0)
        {
            EXPECT_TRUE(testLog().contains("Error [" + std::to_string(c.error) + "] processing in IPC reader channel"))
                << c.error;
        }
    }
}

// The join buffer holds the configured largest message, which may be smaller
// than the pipeline's entries: the check uses the smaller of the two before
// anything is copied.
TEST_F(IpcReceiverPipelineTest, JoinedMessageLargerThanJoinBufferOrPipelineIsRefused)
{
    GlobalData::getInst().m_maxMsgSize = GlobalData::MSG_SIZE_MIN;
    openPipelineChannel(GlobalData::MSG_SIZE_MAX);
    const std::string full(IPC_SHM_MSG_DATA_SIZE, 'q');
    testLog().clear();
    write(full, 0, true);
    write(full, 1, true);
    write(full, 2, false);
    write("small", 0, false);
    PipelineMsgHeader hdr{};
    std::string payload;
    ASSERT_TRUE(nextEntry(hdr, payload));
    EXPECT_EQ(payload, "small");
    EXPECT_TRUE(testLog().contains("is too large to fit into the entry size"));
}

namespace
{
// The writer's process id as the object's header holds it.
int32 writerPidOf(const ChannelName& name)
{
    const int fd = ::shm_open(name.shm().c_str(), O_RDONLY, 0);
    if (fd < 0)
        return -2;
    IpcSharedMemInfo info{};
    const bool ok = ::pread(fd, &info, sizeof info, 0) == static_cast<ssize_t>(sizeof info);
    ::close(fd);
    return ok ? __atomic_load_n(&info.writerInfo.pid, __ATOMIC_ACQUIRE) : -2;
}

bool waitFor(const std::function<bool()>& done)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done())
    {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        ::sched_yield();
    }
    return true;
}
} // namespace

// A writer channel whose reader went away closes its queue and gives its
// writer slot back, so the reader's close with unlink can remove the object.
TEST_F(IpcReceiverTest, WriterSeeingItsReaderGoneClosesAndReleasesItsSlot)
{
    ChannelName name;
    IpcShrMemMsgQ reader("READER");
    ASSERT_EQ(reader.open(name.shm().c_str(), IPC_READER_MODE, CHANNEL_LEN), 0);
    IpcResource* res = addChannel(name, IPC_WRITER_MODE, true);
    start();
    connInit();
    ASSERT_EQ(event(*m_ownerNormal).id, IPC_OPENED);
    ASSERT_EQ(writerPidOf(name), ::getpid());

    // The reader leaves while the writer is attached (2306, its slot freed anyway).
    reader.close(false);
    const EventMsg e = event(*m_ownerNormal);
    EXPECT_EQ(e.id, IPC_CLOSED);
    EXPECT_EQ(e.eventParam.paramInt32, IPC_READER_NOT_EXIST);
    EXPECT_EQ(res->status.load(), RES_DISCONNECTED);
    EXPECT_TRUE(waitFor([&] { return writerPidOf(name) == -1; })) << "writer slot still claimed";

    IpcShrMemMsgQ again("READER");
    ASSERT_EQ(again.open(name.shm().c_str(), IPC_READER_MODE, CHANNEL_LEN), 0);
    EXPECT_EQ(again.close(true), 0) << lastCode();
}

// After a writer open that failed on a full ring, the next request opens.
TEST_F(IpcReceiverTest, WriterOpenFailedOnAFullRingSucceedsOnRetry)
{
    ChannelName name;
    IpcShrMemMsgQ reader("READER");
    ASSERT_EQ(reader.open(name.shm().c_str(), IPC_READER_MODE, CHANNEL_LEN), 0);
    {
        IpcShrMemMsgQ filler("FILLER");
        ASSERT_EQ(filler.open(name.shm().c_str(), IPC_WRITER_MODE, 0), 0);
        for (uint32 i = 0; i < CHANNEL_LEN; ++i)
            ASSERT_EQ(filler.enqueue(dataEntry("f", 0, false), 1, 0), 0);
        ASSERT_EQ(filler.close(false), 0);
    }
    IpcResource* res = addChannel(name, IPC_WRITER_MODE);
    start();
    connInit();
    ASSERT_EQ(event(*m_ownerNormal).id, IPC_READY_TO_OPEN);

    send(IPC_OPEN_RQS, name.c_str());
    EventMsg e = event(*m_ownerNormal);
    EXPECT_EQ(e.id, IPC_OPEN_FAIL);
    EXPECT_EQ(e.eventParam.paramInt32, BUFFER_FULL);
    EXPECT_EQ(res->status.load(), RES_FAILED);

    IpcShmMsg taken{};
    ASSERT_EQ(reader.dequeue(taken), 0);
    send(IPC_OPEN_RQS, name.c_str());
    e = event(*m_ownerNormal);
    EXPECT_EQ(e.id, IPC_OPENED) << e.eventParam.paramInt32;
    EXPECT_EQ(res->status.load(), RES_CONNECTED);
    stop();
    reader.close(false);
}

// At destruction a reader channel keeps its object for the next run, and a
// writer channel tells its reader with the close entry.
TEST_F(IpcReceiverTest, DestructionKeepsTheReaderObjectAndWritesTheWriterClose)
{
    ChannelName readName;
    ChannelName writeName;
    addChannel(readName, IPC_READER_MODE, true);
    IpcShrMemMsgQ peerReader("READER");
    ASSERT_EQ(peerReader.open(writeName.shm().c_str(), IPC_READER_MODE, CHANNEL_LEN), 0);
    addChannel(writeName, IPC_WRITER_MODE, true);
    start();
    connInit();
    EXPECT_EQ(event(*m_ownerNormal).id, IPC_OPENED);
    EXPECT_EQ(event(*m_ownerNormal).id, IPC_OPENED);
    stop();

    const int fd = ::shm_open(readName.shm().c_str(), O_RDONLY, 0);
    EXPECT_GE(fd, 0) << "reader object unlinked";
    if (fd >= 0)
        ::close(fd);
    IpcShmMsg entry{};
    ASSERT_EQ(peerReader.dequeue(entry), 0);
    EXPECT_EQ(entry.msgType, IPC_MSG_TYPE_CTL_OPEN);
    ASSERT_EQ(peerReader.dequeue(entry), 0) << "no close entry";
    EXPECT_EQ(entry.msgType, IPC_MSG_TYPE_CTL_CLOSE);
    EXPECT_EQ(writerPidOf(writeName), -1);
    peerReader.close(true);
}

// A queue whose head index another process set out of range: the channel is
// closed and its owner told once, instead of an error line on every poll.
TEST_F(IpcReceiverTest, QueueWithAHeadIndexOutOfRangeIsClosedAndReportedOnce)
{
    ChannelName name;
    IpcResource* res = addChannel(name, IPC_READER_MODE, true);
    start();
    connInit();
    ASSERT_EQ(event(*m_ownerNormal).id, IPC_OPENED);

    ForgedRing ring(name);
    ASSERT_TRUE(ring.mapped());
    ring.setHead(5000);

    const EventMsg e = event(*m_ownerNormal);
    EXPECT_EQ(e.id, IPC_CLOSED);
    EXPECT_EQ(e.eventParam.paramInt32, IPC_SHR_MEM_NOT_ALIGN);
    EXPECT_EQ(res->status.load(), RES_FAILED);
    // Later passes of the loop (a request answered proves one) add nothing.
    for (int i = 0; i < 3; ++i)
    {
        send(IPC_CLOSE_RQS, name.c_str());
        EXPECT_EQ(event(*m_ownerNormal).eventParam.paramInt32, IPC_NOT_OPEN);
    }
    stop();
    EXPECT_EQ(testLog().count("Error [2302] processing in IPC reader channel [" + std::string(name.c_str()) + "]."), 1u);
}

// A process of the object's group truncates it while the reader has it
// mapped: the channel is closed with an error and the process lives on.
TEST_F(IpcReceiverTest, ObjectTruncatedUnderTheReaderClosesTheChannel)
{
    ChannelName name;
    IpcResource* res = addChannel(name, IPC_READER_MODE, true);
    start();
    connInit();
    ASSERT_EQ(event(*m_ownerNormal).id, IPC_OPENED);

    const int fd = ::shm_open(name.shm().c_str(), O_RDWR, 0);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, 0), 0);
    ::close(fd);

    const EventMsg e = event(*m_ownerNormal);
    EXPECT_EQ(e.id, IPC_CLOSED);
    EXPECT_EQ(e.eventParam.paramInt32, IPC_SHR_MEM_READ_FAIL);
    EXPECT_EQ(res->status.load(), RES_FAILED);
    stop();
    EXPECT_EQ(m_result, 0);
}

// In standby a channel not marked to work there refuses open and close.
TEST_F(IpcReceiverTest, StandbyRefusesChannelsNotAllowedThere)
{
    ChannelName name;
    IpcResource* res = addChannel(name, IPC_READER_MODE);
    start();
    connInit();
    ASSERT_EQ(event(*m_ownerNormal).id, IPC_READY_TO_OPEN);
    GlobalData::getInst().m_appMode.store(STANDBY_MODE);
    for (FwEventID request : {IPC_OPEN_RQS, IPC_CLOSE_RQS})
    {
        send(request, name.c_str());
        const EventMsg e = event(*m_ownerNormal);
        EXPECT_EQ(e.id, request == IPC_OPEN_RQS ? IPC_OPEN_FAIL : IPC_CLOSED);
        EXPECT_EQ(e.eventParam.paramInt32, RES_NOT_ALLOW_TO_OPER_IN_STDBY);
    }
    EXPECT_NE(res->status.load(), RES_CONNECTED);
    GlobalData::getInst().m_appMode.store(ACTIVE_MODE);
}

// A handler that fails ends the batch, as in the other receiving threads:
// INIT fails on the control thread's full queue and the TERM behind it
// stays queued for the next batch.
TEST_F(IpcReceiverTest, FailedHandlerEndsTheBatch)
{
    m_receiver = std::make_unique<IpcReceiver>(m_self, m_registry, GlobalData::getInst(), m_config.get());
    ASSERT_EQ(m_receiver->initialize(), 0);
    FwIntMessage filler{};
    filler.appMsg.type = MSG_EVENT;
    while (m_ctlHigh->putMessage(&filler) == 0)
    {
    }
    send(INIT, "", "CTL_THREAD");
    send(TERM, "", "CTL_THREAD");
    bool terminate = false;
    int32 count = 0;
    EXPECT_EQ(m_receiver->processMessage(m_selfNormal.get(), terminate, count), -1);
    EXPECT_FALSE(terminate) << "the batch went on after the failed handler";
    EXPECT_EQ(m_selfNormal->getNumElem(), 1u);
    EXPECT_EQ(m_receiver->processMessage(m_selfNormal.get(), terminate, count), 0);
    EXPECT_TRUE(terminate);
}
