// The UDP and topic line handlers against their bounds.
// - BM_UdpLine / BM_UdpBound: 64-byte loopback datagrams, sent 32 at a time
//   and drained: by the UDP line's read pass (recv, record, publish to a no-op
//   subscriber, start-batch and flush), and by a bare recvmmsg loop on a
//   socket of its own (the bound). Both carry the same send cost.
// - BM_UdpIdleCpu: the CPU the owning thread spends per second of wall time
//   while its line is connected and no datagram arrives: the self-signal loop
//   polls once per pass of the thread's queue and never sleeps.
// - BM_TopicLine / BM_TopicCopy: topic messages of 100 bytes to 64 KB into
//   the line data channel (copy, record, publish), beside a copy of the same
//   bytes into a buffer of the same size (the bound).
// - BM_TopicLineDelivered: the same through the thread's callback, one
//   message per call, as the messaging thread delivers topic data.
// - BM_TopicFloor: one clock read and the copy per message, the least a
//   line that stamps each message can cost (shown beside, not the bound).
// - BM_TopicStep: the steps of one topic message, each alone, so the fixed
//   cost per message can be told apart (the clock read dominates it).
// Everything runs inside the driving thread's appReady of a real framework
// process; the idle line lives on a thread of its own.
#include "HostBenchSupport.h"
#include "NetIngestSupport.h"

#include "kelmora/linedata/LineDataBasic.h"
#include "kelmora/linedata/LineDataFactory.h"
#include "kelmora/linehandler/LineHandlerTopic.h"
#include "kelmora/linehandler/LineHandlerUDP.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace
{
constexpr int cBatch = 32;

struct Factory : LineDataFactory
{
    LineData* create() override { return new LineDataBasic; }
    void destroy(LineData* data) override { delete data; }
};

struct NoOp : OrluSubscriber<LineData>
{
    NoOp() : OrluSubscriber<LineData>("noop") {}
    void onData(const Orlu<LineData>&, const std::string&, const LineData& d) override
    {
        ++count;
        benchmark::DoNotOptimize(d.getDataLen());
    }
    std::uint64_t count = 0;
};

int freeUdpPort()
{
    return netbench::freePort(SOCK_DGRAM);
}

struct Sender
{
    explicit Sender(int port) : fd(::socket(AF_INET, SOCK_DGRAM, 0))
    {
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(port));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
    ~Sender() { ::close(fd); }
    void batch(const char* data, std::size_t length) const
    {
        mmsghdr msgs[cBatch]{};
        iovec iov[cBatch];
        for (int i = 0; i < cBatch; ++i)
        {
            iov[i] = {const_cast<char*>(data), length};
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
        }
        ::sendmmsg(fd, msgs, cBatch, 0);
    }
    int fd;
    sockaddr_in to{};
};

hostbench::Host* g_host = nullptr;
std::atomic<pthread_t> g_idleThread{};
std::atomic<bool> g_idleReady{false};

void BM_UdpLine(benchmark::State& state)
{
    Factory factory;
    TarvokSession session; // no Runnable: the benchmark drives the read passes itself
    session.setLog(&g_host->log);
    LineHandlerUDP line(factory, session, g_host->log);
    Orlu<LineData> bus("udp", "default");
    NoOp sink;
    bus.subscribe(&sink);
    line.OrluPublisher<LineData>::setDestination(&bus);
    line.setReadsPerIoEvent(cBatch);
    const int port = freeUdpPort();
    line.setUdpParams("127.0.0.1", std::to_string(port), "127.0.0.1", 0, true);
    const Sender sender(port);
    const std::string payload(64, 'u');
    for (auto _ : state)
    {
        sender.batch(payload.data(), payload.size());
        const std::uint64_t target = sink.count + cBatch;
        while (sink.count < target)
            line._read(0);
    }
    state.SetItemsProcessed(static_cast<int64_t>(sink.count));
    bus.unsubscribe(&sink);
}

void BM_UdpBound(benchmark::State& state)
{
    const int port = freeUdpPort();
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    const Sender sender(port);
    const std::string payload(64, 'u');
    std::vector<char> buffers(cBatch * 1500);
    mmsghdr msgs[cBatch]{};
    iovec iov[cBatch];
    std::uint64_t received = 0;
    for (auto _ : state)
    {
        sender.batch(payload.data(), payload.size());
        int left = cBatch;
        while (left > 0)
        {
            for (int i = 0; i < cBatch; ++i)
            {
                iov[i] = {buffers.data() + i * 1500, 1500};
                msgs[i].msg_hdr.msg_iov = &iov[i];
                msgs[i].msg_hdr.msg_iovlen = 1;
            }
            const int n = ::recvmmsg(fd, msgs, left, MSG_DONTWAIT, nullptr);
            if (n > 0)
            {
                left -= n;
                received += static_cast<std::uint64_t>(n);
                benchmark::DoNotOptimize(msgs[0].msg_len);
            }
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(received));
    ::close(fd);
}

void BM_UdpIdleCpu(benchmark::State& state)
{
    while (!g_idleReady.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    clockid_t clock{};
    pthread_getcpuclockid(g_idleThread.load(), &clock);
    double cpuShare = 0;
    for (auto _ : state)
    {
        timespec c0{};
        timespec c1{};
        const auto w0 = std::chrono::steady_clock::now();
        clock_gettime(clock, &c0);
        std::this_thread::sleep_for(std::chrono::seconds(1));
        clock_gettime(clock, &c1);
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count();
        const double cpu = double(c1.tv_sec - c0.tv_sec) + double(c1.tv_nsec - c0.tv_nsec) / 1e9;
        cpuShare = cpu / wall;
    }
    state.counters["idle_cpu_pct"] = cpuShare * 100.0;
}

// A topic line on its own session, its line data to a bus with one no-op
// subscriber, its start-batch and flush messages to a bus of their own.
struct TopicRig
{
    TopicRig()
    {
        session.setLog(&g_host->log);
        bus.subscribe(&sink);
        line.LineHandler::OrluPublisher<LineData>::setDestination(&bus);
        line.OrluPublisher<MsgPubAdmin>::setDestination(&admin);
    }
    ~TopicRig() { bus.unsubscribe(&sink); }
    Factory factory;
    TarvokSession session;
    LineHandlerTopic line{factory, session, g_host->log};
    Orlu<LineData> bus{"topic", "default"};
    Orlu<MsgPubAdmin> admin{"admin", "default"};
    NoOp sink;
};

void BM_TopicLine(benchmark::State& state)
{
    TopicRig rig;
    LineHandlerTopic& line = rig.line;
    const std::string message(static_cast<std::size_t>(state.range(0)), 't');
    for (auto _ : state)
        line.onTopicData(message.data(), static_cast<unsigned int>(message.size()));
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

// The same line reached the way the messaging thread reaches it: one data
// message per call of the thread's callback, which finds the handler by the
// topic's resource name (its per-thread cache) and calls onTopicData. The
// framework hands a topic message to the thread alone, never in a batch, so
// this is the per-message road a real line takes.
void BM_TopicLineDelivered(benchmark::State& state)
{
    static const char cTopic[17] = "BENCHTOPIC";
    TopicRig rig;
    LineHandlerTopic& line = rig.line;
    TopicHandler* handler = &line;
    if (!Runnable::insertTopicHandleMap(cTopic, handler, g_host->log))
    {
        state.SkipWithError("topic handle map refused the benchmark's topic");
        return;
    }
    std::string message(static_cast<std::size_t>(state.range(0)), 't');
    DataMsg data{};
    std::memcpy(data.channelNameTxt, cTopic, sizeof cTopic);
    data.chnType = MSG_TOPIC_CHANNEL;
    data.bufPtr = message.data();
    data.dataLen = static_cast<int32>(message.size());
    for (auto _ : state)
        Runnable::callback(MSG_DATA, nullptr, &data);
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * state.range(0));
    if (rig.sink.count != static_cast<std::uint64_t>(state.iterations()))
        state.SkipWithError("not every message reached the line data channel");
    Runnable::removeTopicHandleMap(cTopic, handler, nullptr, g_host->log);
}

// The least any line can do per message while each message carries its own
// read time: one clock read and the copy. Not the bound (BM_TopicCopy is);
// it shows how much of the gap to the bound the clock alone takes.
void BM_TopicFloor(benchmark::State& state)
{
    std::unique_ptr<char[]> buffer(new char[LineHandlerTopic::cMaxMessage]);
    const std::string message(static_cast<std::size_t>(state.range(0)), 't');
    timespec ts{};
    for (auto _ : state)
    {
        clock_gettime(CLOCK_REALTIME, &ts);
        std::memcpy(buffer.get(), message.data(), message.size());
        benchmark::DoNotOptimize(ts);
        benchmark::DoNotOptimize(buffer.get());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

// What one 100-byte message costs step by step, each step alone on the
// line's own record, publishers and buses, as the line does it: the floor
// of BM_TopicLine is the sum.
enum TopicStep : int
{
    cClockRead,     // setReadQuorDataTimeNow: one clock read
    cLineTime,      // the line time taken over from the read time
    cCopyAndSave,   // the copy into the line's buffer, setData, save
    cPublish,       // the record to the line data bus, one subscriber
    cBatchAndFlush, // the start-batch and flush messages
    cClockOnly      // clock_gettime alone, below every wrapper
};

void BM_TopicStep(benchmark::State& state)
{
    static const char* const labels[] = {"clock read", "line time", "copy+setData+save", "publish",
                                         "start-batch+flush", "clock_gettime"};
    TopicRig rig;
    LineHandlerTopic& line = rig.line;
    std::unique_ptr<LineData, void (*)(LineData*)> record(rig.factory.create(), [](LineData* d) { delete d; });
    std::unique_ptr<char[]> buffer(new char[LineHandlerTopic::cMaxMessage]);
    const std::string message(100, 't');
    MsgPubAdmin batch(MsgPubAdmin::START_BATCH);
    MsgPubAdmin flush(MsgPubAdmin::FLUSH);
    record->setData(message.data(), static_cast<unsigned int>(message.size()));
    record->setReadQuorDataTimeNow();
    const auto step = static_cast<TopicStep>(state.range(0));
    timespec ts{};
    for (auto _ : state)
    {
        switch (step)
        {
        case cClockRead:
            record->setReadQuorDataTimeNow();
            break;
        case cLineTime:
            record->setLineTime(record->getReadQuorDataTime());
            break;
        case cCopyAndSave:
            std::memcpy(buffer.get(), message.data(), message.size());
            record->setData(buffer.get(), static_cast<unsigned int>(message.size()));
            line.save(*record);
            break;
        case cPublish:
            line.LineHandler::OrluPublisher<LineData>::publish(*record);
            break;
        case cBatchAndFlush:
            line.OrluPublisher<MsgPubAdmin>::publish(batch);
            line.OrluPublisher<MsgPubAdmin>::publish(flush);
            break;
        case cClockOnly:
            clock_gettime(CLOCK_REALTIME, &ts);
            benchmark::DoNotOptimize(ts);
            break;
        }
        benchmark::ClobberMemory();
    }
    state.SetLabel(labels[step]);
    state.SetItemsProcessed(state.iterations());
}

void BM_TopicCopy(benchmark::State& state)
{
    std::unique_ptr<char[]> buffer(new char[LineHandlerTopic::cMaxMessage]);
    const std::string message(static_cast<std::size_t>(state.range(0)), 't');
    for (auto _ : state)
    {
        std::memcpy(buffer.get(), message.data(), message.size());
        benchmark::DoNotOptimize(buffer.get());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

// The idle line's thread: connects at its ready point and polls on.
struct IdleOwner : Runnable
{
    using Runnable::Runnable;
    void appReady() override
    {
        line->setUdpParams("127.0.0.1", std::to_string(freeUdpPort()), "127.0.0.1", 0, true);
        g_idleThread = pthread_self();
        g_idleReady = true;
    }
    LineHandlerUDP* line = nullptr;
};

int registerAll()
{
    for (const char* name : {"UBRUN", "UIDLE"})
    {
        ThreadParam thread;
        initStructParam(THREAD_PARAM, &thread, sizeof(thread));
        copyResourceName(thread.threadNameTxt, name);
        thread.statusCheckInterval = 0; // the driver sits in its callback for the whole run
        thread.messageQueueLength = 1024;
        if (registerThread(&thread) != 0 || registerMessageCallback(name, Runnable::callback) != 0)
            return -1;
    }
    return 0;
}
} // namespace

BENCHMARK(BM_UdpLine)->UseRealTime();
BENCHMARK(BM_UdpBound)->UseRealTime();
BENCHMARK(BM_UdpIdleCpu)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TopicLine)->RangeMultiplier(4)->Range(100, 65536);
BENCHMARK(BM_TopicLineDelivered)->RangeMultiplier(4)->Range(100, 65536);
BENCHMARK(BM_TopicCopy)->RangeMultiplier(4)->Range(100, 65536);
BENCHMARK(BM_TopicFloor)->RangeMultiplier(4)->Range(100, 65536);
BENCHMARK(BM_TopicStep)->DenseRange(cClockRead, cClockOnly);

int main(int argc, char** argv)
{
    hostbench::Runner::argc = argc;
    hostbench::Runner::argv = argv;
    hostbench::Host host(argv[0]);
    g_host = &host;
    hostbench::Thread<hostbench::Runner> driver(host, "UBRUN");
    hostbench::Thread<IdleOwner> idle(host, "UIDLE");
    Factory factory;
    LineHandlerUDP line(factory, idle.session, host.log);
    idle.runnable.line = &line;
    return hostbench::runFramework(argv[0], "UTLBENCH", registerAll);
}
