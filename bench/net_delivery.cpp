// The receiving threads' own work, driven on one thread and timed by that
// thread's CPU time, so that a loaded machine taking the CPU away does not
// count (the threaded ingest benchmarks cannot avoid it):
// - the stream thread: taking the ring's wake-ups (one read) and one pass of
//   processAllDataStreams after the network thread has written 16 reads of
//   2200 bytes (each with its event record)
//   holding frames of the length-and-sequence framing with 1000-byte bodies,
//   per message delivered to the owning thread's queue; and one pass with
//   nothing to do (the low-latency loop runs one on every cycle);
// - the network thread: one pass of its loop (in either mode; the CPU-mode
//   pass finds the socket ready at once) that finds 10 multicast datagrams
//   of 64 or 1400 bytes waiting on a loopback group (or a single one, as at
//   a low rate, where the pass is the work on the latency path), receives
//   them and delivers them, per datagram, to the owner's queue or (pipeline
//   variant) to the channel's pipeline; beside it the plain loop's work on
//   the same datagrams: one recvmmsg. The owner's queue (or the pipeline)
//   has 8192 entries as in the threaded ingest benchmark, or the default
//   thread queue length of 1000: fixed-size slots make the ring's size what
//   decides whether the slot a put writes is still in the cache.
// The owning thread's queue is emptied outside the timed part.
#include "NetIngestSupport.h"

#include "FendralCore/dispatch/MessageStore.h"
#include "FendralCore/dispatch/MulticastSocket.h"
#include "FendralCore/dispatch/SingleRwRingBuffer2.h"
#include "FendralCore/dispatch/StreamEventRecord.h"
#include "FendralCore/runtime/StreamBuffer.h"

#include <benchmark/benchmark.h>

#include <sys/ioctl.h>

using namespace netbench;

namespace
{
constexpr size_t BODY = 1000;
constexpr int32 READ_SIZE = 2200;
constexpr int32 READS_PER_PASS = 16;
constexpr int32 DGRAMS_PER_PASS = 10;

int64_t cpuNs()
{
    timespec ts{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// count datagrams of size bytes from fd to the group; loopback delivers
// them at once, the wait for the receiving socket rfd is a guard.
void sendPass(int fd, const sockaddr_in& to, int rfd, size_t size, int32 count = DGRAMS_PER_PASS)
{
    static const std::vector<char> dgram(2048, 'd');
    for (int32 i = 0; i < count; ++i)
        ::sendto(fd, dgram.data(), size, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    for (int waiting = 0, spins = 0; spins < 100000; ++spins)
        if (::ioctl(rfd, FIONREAD, &waiting) == 0 && waiting > 0)
            break;
}

class StreamBench
{
public:
    explicit StreamBench(OptimizationMode mode) : m_registry(nullptr)
    {
        GlobalData::getInst().m_optMode.store(mode);
        GlobalData::getInst().m_repliServiceEnabled = false;
        m_self = addThread(m_registry, "DATA_STREAM_HDR", 64, mode, false, m_queues);
        addThread(m_registry, "CTL_THREAD", 64, mode, false, m_queues);
        ThreadResource* owner = addThread(m_registry, "OWNER", 8192, mode, false, m_queues);
        m_ownerQueue = owner->msgQueuePtrArray[MQUEUE_NORMAL];

        copyName(m_res.tcpConnNameTxt, "CONN1");
        copyName(m_res.regParam.threadNameTxt, "OWNER");
        m_res.regParam.msgFormat = MSG_FORMAT_QUOR;
        m_res.regParam.tcpMode = TCP_CLIENT_DATA_MODE;
        m_res.msgQueuePtr = m_ownerQueue;
        m_res.altMsgQueuePtr = owner->msgQueuePtrArray[MQUEUE_HIGH_PRIORITY];
        m_res.tmpMsgStorePtr = &m_store;
        m_res.status.store(RES_CONNECTED);
        m_res.streamBufPtr = new StreamBuffer(&m_res, 1 << 20, mode, false);

        m_handler = std::make_unique<StreamHandler>(m_self, m_registry, GlobalData::getInst(), nullptr);
        m_handler->initialize();
        // The ring comes as the thread takes it, with CONN_INIT.
        GlobalData::getInst().m_streamEvtBufPtr = &m_ring;
        postEvent(*m_self->msgQueuePtrArray[MQUEUE_NORMAL], CONN_INIT);
        bool terminate = false;
        int32 handled = 0;
        m_handler->processMessage(m_self->msgQueuePtrArray[MQUEUE_NORMAL], terminate, handled);
        m_handler->addStream(&m_res, CONNECTED);
        drainQueue(*m_ownerQueue);

        std::string frame(10 + BODY, 'b');
        const auto size = static_cast<uint16_t>(BODY);
        std::memcpy(frame.data(), &size, 2);
        while (m_stream.size() < static_cast<size_t>(READ_SIZE) + frame.size())
            m_stream += frame;
    }

    ~StreamBench()
    {
        m_handler->delStream(&m_res, CONN_CLOSED);
        m_handler.reset();
        GlobalData::getInst().m_streamEvtBufPtr = nullptr;
    }

    // As the network thread: READS_PER_PASS reads of 2200 bytes, each
    // followed by its record, the stream going on where the last read ended.
    void receive()
    {
        StreamBuffer* sb = m_res.streamBufPtr;
        for (int32 i = 0; i < READS_PER_PASS; ++i)
        {
            int32 written = 0;
            int32 head = 0;
            sb->enqueue(m_stream.data() + m_offset % (10 + BODY), READ_SIZE, written, head, true, false);
            m_offset += READ_SIZE;
            StreamEventRecord rec{};
            rec.tcpResId = loadTcpConnNameKey(m_res);
            rec.streamBufPtr = sb;
            rec.effectiveHdIdx = head;
            m_ring.enqueue(rec);
            sb->wakeReader();
        }
    }

    // As the stream thread woken by the ring: its wake-ups, then the pass.
    int32 pass()
    {
        int32 count = 0;
        m_res.streamBufPtr->takeWakeUps();
        m_handler->processAllDataStreams(count);
        return count;
    }

    FwMessageQueue& ownerQueue() { return *m_ownerQueue; }

private:
    ResourceManager m_registry;
    std::vector<std::unique_ptr<FwMessageQueue>> m_queues;
    ThreadResource* m_self = nullptr;
    FwMessageQueue* m_ownerQueue = nullptr;
    TcpConnResource m_res{};
    MessageStore m_store;
    SingleRwRingBuffer2<StreamEventRecord> m_ring{61};
    std::unique_ptr<StreamHandler> m_handler;
    std::string m_stream;
    size_t m_offset = 0;
};

void BM_StreamPassPerMessage(benchmark::State& state)
{
    StreamBench b(static_cast<OptimizationMode>(state.range(0)));
    int64_t messages = 0;
    int64_t timedNs = 0;
    for (auto _ : state)
    {
        b.receive();
        const int64_t t0 = cpuNs();
        messages += b.pass();
        const int64_t ns = cpuNs() - t0;
        timedNs += ns;
        state.SetIterationTime(static_cast<double>(ns) * 1e-9);
        drainQueue(b.ownerQueue());
    }
    state.counters["msgs_per_pass"] = static_cast<double>(messages) / static_cast<double>(state.iterations());
    state.counters["cpu_ns_per_msg"] = messages > 0 ? static_cast<double>(timedNs) / static_cast<double>(messages) : 0;
}

void BM_StreamIdlePass(benchmark::State& state)
{
    StreamBench b(LOW_LATENCY);
    const int64_t t0 = cpuNs();
    for (auto _ : state)
        benchmark::DoNotOptimize(b.pass());
    state.counters["cpu_ns_per_pass"] =
        static_cast<double>(cpuNs() - t0) / static_cast<double>(std::max<int64_t>(state.iterations(), 1));
}

void BM_McastPassPerDatagram(benchmark::State& state)
{
    const auto size = static_cast<size_t>(state.range(0));
    const auto mode = static_cast<OptimizationMode>(state.range(1));
    const auto perPass = static_cast<int32>(state.range(2));
    const bool toPipeline = state.range(3) != 0;
    const auto entries = static_cast<uint32>(state.range(4));
    GlobalData::getInst().m_optMode.store(mode);
    GlobalData::getInst().m_repliServiceEnabled = false;
    ResourceManager registry(nullptr);
    std::vector<std::unique_ptr<FwMessageQueue>> queues;
    ThreadResource* net = addThread(registry, "NET_RECEIVER", 64, mode, false, queues);
    ThreadResource* ctl = addThread(registry, "CTL_THREAD", 64, mode, false, queues);
    ThreadResource* owner = addThread(registry, "OWNER", entries, mode, false, queues);
    MessageStore store;
    GlobalData::getInst().m_tmpMsgRepository.insert(UInt128(owner->threadNameTxt, true),
                                                    reinterpret_cast<DataValueType>(&store), true);

    const std::string grp = "239.78." + std::to_string(::getpid() % 250) + ".1";
    const uint16 port = freePort(SOCK_DGRAM);
    // The pipeline variant: one stage of entries that hold the largest datagram.
    Pipeline pipeline(entries, 1400 + MsgForwarder::PL_HDR_SIZE, 1, mode, false);
    if (toPipeline)
    {
        PipelineParam pp;
        registry.initPipelineParam(pp);
        copyName(pp.pipelineNameTxt, "PL");
        pp.numStages = 1;
        pp.numEntry = static_cast<int32>(entries);
        pp.entrySize = 2376;
        PipelineResource* plRes = nullptr;
        registry.registerPipelineRes(pp, &plRes);
        plRes->pipelinePtr = &pipeline;
    }
    UdpConnResource* res = toPipeline ? addMcastChannel(registry, grp, port, [](UdpConnParam& p) {
        copyName(p.pipelineNameTxt, "PL");
        p.channelType = PIPELINE_CHANNEL;
    })
                                      : addMcastChannel(registry, grp, port);
    auto drainPipeline = [&pipeline] {
        PipelineMsgHeader hdr{};
        int64_t n = 0;
        static char buf[2048];
        while (pipeline.dequeue(0, buf, sizeof buf, hdr, 1, 0) == 0)
            ++n;
        return n;
    };

    {
        NetReceiver receiver(net, registry, GlobalData::getInst(), nullptr);
        receiver.initialize();
        bool terminate = false;
        postEvent(*net->msgQueuePtrArray[MQUEUE_HIGH_PRIORITY], INIT);
        receiver.runOnce(terminate, 0);
        postEvent(*net->msgQueuePtrArray[MQUEUE_NORMAL], CONN_INIT);
        receiver.runOnce(terminate, 0);
        drainQueue(*ctl->msgQueuePtrArray[MQUEUE_HIGH_PRIORITY]);
        drainQueue(*owner->msgQueuePtrArray[MQUEUE_NORMAL]);
        drainQueue(*owner->msgQueuePtrArray[MQUEUE_HIGH_PRIORITY]);

        const int fd = loopbackMulticastSender();
        const sockaddr_in to = groupAddress(grp, port);
        const int rfd = res->multicastSockPtr != nullptr ? res->multicastSockPtr->getFileDescriptor() : -1;
        int64_t delivered = 0;
        int64_t timedNs = 0;
        for (auto _ : state)
        {
            sendPass(fd, to, rfd, size, perPass);
            const int64_t t0 = cpuNs();
            receiver.runOnce(terminate, 0);
            const int64_t ns = cpuNs() - t0;
            timedNs += ns;
            state.SetIterationTime(static_cast<double>(ns) * 1e-9);
            delivered += toPipeline ? drainPipeline() : drainQueue(*owner->msgQueuePtrArray[MQUEUE_NORMAL]);
        }
        ::close(fd);
        state.counters["dgrams_per_pass"] = static_cast<double>(delivered) / static_cast<double>(state.iterations());
        state.counters["cpu_ns_per_dgram"] =
            delivered > 0 ? static_cast<double>(timedNs) / static_cast<double>(delivered) : 0;
        postEvent(*net->msgQueuePtrArray[MQUEUE_HIGH_PRIORITY], TERM);
        receiver.runOnce(terminate, 0);
    }
    GlobalData::getInst().m_tmpMsgRepository.remove(UInt128(owner->threadNameTxt, true));
}

void BM_McastPlainPerDatagram(benchmark::State& state)
{
    const auto size = static_cast<size_t>(state.range(0));
    const auto perPass = static_cast<int32>(state.range(1));
    const std::string grp = "239.78." + std::to_string(::getpid() % 250) + ".2";
    const uint16 port = freePort(SOCK_DGRAM);
    MulticastSocket sock(MULTICAST_RECEIVE, "127.0.0.1", grp.c_str(), port, false, 0, ENABLE_MCAST_LOOPBACK, -1,
                         4 * 1024 * 1024);
    sock.initialize();
    sock.join();
    const int fd = loopbackMulticastSender();
    const sockaddr_in to = groupAddress(grp, port);
    std::vector<char> bufs(DGRAMS_PER_PASS * NetReceiver::MCAST_BUF_SIZE);
    mmsghdr vec[DGRAMS_PER_PASS]{};
    iovec iov[DGRAMS_PER_PASS]{};
    sockaddr_in from[DGRAMS_PER_PASS]{};
    int64_t received = 0;
    int64_t timedNs = 0;
    for (auto _ : state)
    {
        sendPass(fd, to, sock.getFileDescriptor(), size, perPass);
        const int64_t t0 = cpuNs();
        for (int32 i = 0; i < DGRAMS_PER_PASS; ++i)
        {
            iov[i] = iovec{bufs.data() + i * NetReceiver::MCAST_BUF_SIZE, NetReceiver::MCAST_BUF_SIZE};
            vec[i].msg_hdr = msghdr{};
            vec[i].msg_hdr.msg_name = &from[i];
            vec[i].msg_hdr.msg_namelen = sizeof from[i];
            vec[i].msg_hdr.msg_iov = &iov[i];
            vec[i].msg_hdr.msg_iovlen = 1;
        }
        const int n = ::recvmmsg(sock.getFileDescriptor(), vec, static_cast<unsigned>(perPass), MSG_DONTWAIT, nullptr);
        const int64_t ns = cpuNs() - t0;
        timedNs += ns;
        state.SetIterationTime(static_cast<double>(ns) * 1e-9);
        received += n > 0 ? n : 0;
    }
    ::close(fd);
    state.counters["dgrams_per_pass"] = static_cast<double>(received) / static_cast<double>(state.iterations());
    state.counters["cpu_ns_per_dgram"] = received > 0 ? static_cast<double>(timedNs) / static_cast<double>(received) : 0;
}
} // namespace

BENCHMARK(BM_StreamPassPerMessage)->Arg(CPU_UTILIZATION)->Arg(LOW_LATENCY)->UseManualTime();
BENCHMARK(BM_StreamIdlePass);
BENCHMARK(BM_McastPassPerDatagram)
    ->ArgNames({"size", "mode", "per_pass", "pipeline", "entries"})
    ->ArgsProduct({{64, 1400}, {CPU_UTILIZATION, LOW_LATENCY}, {DGRAMS_PER_PASS}, {0}, {8192, 1000}})
    ->Args({64, CPU_UTILIZATION, 1, 0, 8192})
    ->Args({64, LOW_LATENCY, 1, 0, 8192})
    ->ArgsProduct({{64, 1400}, {LOW_LATENCY}, {DGRAMS_PER_PASS}, {1}, {8192, 1000}})
    ->UseManualTime();
BENCHMARK(BM_McastPlainPerDatagram)->ArgsProduct({{64, 1400}, {DGRAMS_PER_PASS}})->Args({64, 1})->UseManualTime();
BENCHMARK_MAIN();
