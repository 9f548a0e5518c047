// What the thread callback does with events and data without a running
// framework: the network handler table and its exception translation, the
// refusals of the send path, and the clamp of a received thread message.
#include "RunnableTestSupport.h"

#include "kelmora/linehandler/NetworkHandler.h"
#include "kelmora/thread/TarvokStatus.h"
#include "kelmora/thread/TarvokTimer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <thread>
#include <vector>

using namespace hostrun;
using Zunq::ThreadData;

namespace
{
// The handler under test needs a session and log of its own only to exist.
TarvokSession& spareSession()
{
    static TarvokSession s;
    return s;
}
Log& spareLog()
{
    static Log l;
    return l;
}

struct RecordingHandler : NetworkHandler
{
    RecordingHandler() : NetworkHandler(spareSession(), spareLog()) {}
    std::function<void()> thrower;
    std::vector<std::string> calls;
    std::string data;

    void onNetworkData(const char* buffer, unsigned int length) override
    {
        data.assign(buffer, length);
        calls.push_back("data");
        if (thrower)
            thrower();
    }
    void onLineEof(LineEof&) override { calls.push_back("eof"); }
    void onLineError(LineError&) override { calls.push_back("error"); }
    void onLineConnectError(LineConnectError&) override { calls.push_back("connect"); }
    void onLineTerminate(LineTerminate&) override { calls.push_back("terminate"); }
    void onInvalidArg(std::invalid_argument&) override { calls.push_back("invalid"); }
    void onNetworkEvent(EventMsg* e) override
    {
        calls.push_back("event" + std::to_string(e->id));
        if (thrower)
            thrower();
    }
};

DataMsg dataFor(const char* channel, int type, char* buffer, int length)
{
    DataMsg d{};
    std::strncpy(d.channelNameTxt, channel, 16);
    d.chnType = static_cast<ExtChannelType>(type);
    d.bufPtr = buffer;
    d.dataLen = length;
    return d;
}

EventMsg eventFor(int id, const char* name)
{
    EventMsg e{};
    e.id = id;
    std::strncpy(e.eventParam.resNameTxt, name, 16);
    return e;
}

// Gives the tests the receive path of one thread.
struct OpenRunnable : Runnable
{
    using Runnable::_onThreadData;
    using Runnable::Runnable;
};
} // namespace

TEST(NetworkDispatch, HandlerExceptionsReachTheirHooks)
{
    Host host;
    RecordingHandler handler;
    char name[17] = "UDPIN";
    ASSERT_TRUE(Runnable::insertNetworkHandleMap(name, &handler, host.log));
    RecordingHandler second;
    EXPECT_FALSE(Runnable::insertNetworkHandleMap(name, &second, host.log)); // the first stays

    struct Case
    {
        const char* what;
        std::function<void()> thrower;
        const char* hook;
    } cases[] = {
        {"none", nullptr, nullptr},
        {"eof", [] { throw LineEof(); }, "eof"},
        {"connect", [] { throw LineConnectError("refused"); }, "connect"},
        {"line error before invalid_argument", [] { throw LineError("bad"); }, "error"},
        {"invalid", [] { throw std::invalid_argument("arg"); }, "invalid"},
        {"terminate", [] { throw LineTerminate(); }, "terminate"},
        {"other", [] { throw 42; }, nullptr},
    };
    char bytes[] = "abc";
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        for (int type : {0, 1, 3}) // TCP, UDP, IPC
        {
            handler.calls.clear();
            handler.thrower = c.thrower;
            DataMsg d = dataFor("UDPIN", type, bytes, 3);
            EXPECT_EQ(Runnable::callback(MSG_DATA, nullptr, &d), 0);
            std::vector<std::string> want{"data"};
            if (c.hook != nullptr)
                want.push_back(c.hook);
            EXPECT_EQ(handler.calls, want);
            EXPECT_EQ(handler.data, "abc");
        }
        handler.calls.clear();
        EventMsg e = eventFor(13, "UDPIN");
        EXPECT_EQ(Runnable::callback(MSG_EVENT, &e, nullptr), 0);
        std::vector<std::string> want{"event13"};
        if (c.hook != nullptr)
            want.push_back(c.hook);
        EXPECT_EQ(handler.calls, want);
    }
    EXPECT_TRUE(second.calls.empty());
}

TEST(NetworkDispatch, EventsAndDataFindTheirHandler)
{
    Host host;
    host.log.setVerbose(true);
    RecordingHandler server;
    char name[17] = "SRV";
    ASSERT_TRUE(Runnable::insertNetworkHandleMap(name, &server, host.log));

    // A new connection's "<server>:<client>" names the server's handler.
    EventMsg accept = eventFor(NEW_CONNECT, "SRV:10.0.0.1");
    Runnable::callback(MSG_EVENT, &accept, nullptr);
    EXPECT_EQ(server.calls, std::vector<std::string>{"event12"});

    // Events and data of channel types the table does not route reach no one.
    server.calls.clear();
    char bytes[] = "x";
    DataMsg other = dataFor("SRV", 5, bytes, 1);
    EventMsg unhandled = eventFor(3, "SRV");
    EventMsg high = eventFor(72, "SRV");
    Runnable::callback(MSG_DATA, nullptr, &other);
    Runnable::callback(MSG_EVENT, &unhandled, nullptr);
    Runnable::callback(MSG_EVENT, &high, nullptr);
    EXPECT_TRUE(server.calls.empty());
    EXPECT_EQ(host.sink.count("received unhandled event|3"), 0); // no Runnable here: the process log took it

    // Removed: data is dropped quietly, a disconnect is expected, others are errors.
    ASSERT_TRUE(Runnable::removeNetworkHandleMap(name, host.log));
    DataMsg late = dataFor("SRV", 1, bytes, 1);
    Runnable::callback(MSG_DATA, nullptr, &late);
    EventMsg gone = eventFor(DISCONNECTED, "SRV");
    Runnable::callback(MSG_EVENT, &gone, nullptr);
    EXPECT_TRUE(server.calls.empty());
    EXPECT_FALSE(Runnable::removeNetworkHandleMap(name, host.log));
    EXPECT_EQ(host.sink.count("failed to remove handle map - key|SRV", LOG_LEVEL_ERROR), 1);
}

TEST(NetworkDispatch, EachThreadSeesARegistrationChangeAtItsNextDelivery)
{
    // Deliveries remember what they found per thread: a handler that replaces
    // another, here or on another thread, must get the next datagram.
    Host host;
    RecordingHandler first, second;
    char name[17] = "SWAP";
    char bytes[] = "d";
    DataMsg d = dataFor("SWAP", UDP_CHANNEL, bytes, 1);
    auto deliverOn = [&](bool otherThread) {
        if (otherThread)
            std::thread([&] { Runnable::callback(MSG_DATA, nullptr, &d); }).join();
        else
            Runnable::callback(MSG_DATA, nullptr, &d);
    };
    for (bool otherThread : {false, true})
    {
        SCOPED_TRACE(otherThread);
        first.calls.clear();
        second.calls.clear();
        ASSERT_TRUE(Runnable::insertNetworkHandleMap(name, &first, host.log));
        deliverOn(otherThread);
        deliverOn(otherThread);
        ASSERT_TRUE(Runnable::removeNetworkHandleMap(name, host.log));
        ASSERT_TRUE(Runnable::insertNetworkHandleMap(name, &second, host.log));
        deliverOn(otherThread);
        ASSERT_TRUE(Runnable::removeNetworkHandleMap(name, host.log));
        deliverOn(otherThread);
        EXPECT_EQ(first.calls.size(), 2u);
        EXPECT_EQ(second.calls.size(), 1u);
    }
    // Names that differ only past the first byte, or in padding after the
    // terminator, are told apart and matched as the map matches them.
    RecordingHandler other;
    char otherName[17] = "SWAQ";
    ASSERT_TRUE(Runnable::insertNetworkHandleMap(name, &first, host.log));
    ASSERT_TRUE(Runnable::insertNetworkHandleMap(otherName, &other, host.log));
    first.calls.clear();
    DataMsg padded = dataFor("SWAP", UDP_CHANNEL, bytes, 1);
    padded.channelNameTxt[10] = 'x';
    DataMsg q = dataFor("SWAQ", UDP_CHANNEL, bytes, 1);
    Runnable::callback(MSG_DATA, nullptr, &d);
    Runnable::callback(MSG_DATA, nullptr, &padded);
    Runnable::callback(MSG_DATA, nullptr, &q);
    EXPECT_EQ(first.calls.size(), 2u);
    EXPECT_EQ(other.calls.size(), 1u);
}

TEST(ThreadHandleMap, ARunnableThatLeavesTakesItsNameWithIt)
{
    Host host;
    char name[17] = "LEAVER";
    unsigned long value = 0;
    auto gone = std::make_unique<Runnable>("LEAVER", host.cfg, host.modules, host.log, 10000u);
    ASSERT_TRUE(Runnable::getThreadHandleMap(name, value));
    EXPECT_EQ(value, reinterpret_cast<unsigned long>(gone.get()));
    // A second object under a name in use is refused and leaves no trace.
    {
        Runnable twin("LEAVER", host.cfg, host.modules, host.log, 10000u);
        EXPECT_EQ(host.sink.count("key|LEAVER| already exists", LOG_LEVEL_ERROR), 1);
    }
    ASSERT_TRUE(Runnable::getThreadHandleMap(name, value));
    EXPECT_EQ(value, reinterpret_cast<unsigned long>(gone.get()));

    gone.reset();
    EXPECT_FALSE(Runnable::getThreadHandleMap(name, value));
    Runnable next("LEAVER", host.cfg, host.modules, host.log, 10000u);
    ASSERT_TRUE(Runnable::getThreadHandleMap(name, value));
    EXPECT_EQ(value, reinterpret_cast<unsigned long>(&next));
}

TEST(ThreadMessageSend, RefusalsOffTheOwnerThreadAndOversize)
{
    Host host;
    Thread<> snd(host, "SNDX");
    char dst[17] = "RCVX";
    ThreadData data;
    data.mDataType = Zunq::APPLICATION_RESERVED;

    // This thread is not SNDX's: no send, and nothing spooled.
    EXPECT_EQ(snd.runnable->sendThreadMessageByThreadName(dst, data, false), FUNC_NOT_ALLOWED);
    EXPECT_EQ(snd.runnable->getSpoolSize(), 0);
    EXPECT_EQ(host.sink.count("but use wrong tarvokSession name|SNDX", LOG_LEVEL_ERROR), 1);

    data.mDataSize = ThreadData::cMaxData + 1;
    EXPECT_EQ(snd.runnable->sendThreadMessageByThreadName(dst, data, false), MSG_TOO_LARGE);
    EXPECT_EQ(host.sink.count("above 4096", LOG_LEVEL_ERROR), 1);
}

TEST(ThreadMessageReceive, ReceivedBytesAreClampedToTheRecord)
{
    Host host;
    OpenRunnable rcv("RCVC", host.cfg, host.modules, host.log, 10000u);
    struct Seen : OrluSubscriber<ThreadData>
    {
        Seen() : OrluSubscriber<ThreadData>("seen") {}
        void onData(const Orlu<ThreadData>&, const std::string&, const ThreadData& d) override
        {
            sizes.push_back(d.mDataSize);
            last = std::string(d.mData, d.mDataSize);
        }
        std::vector<int> sizes;
        std::string last;
    } seen;
    rcv.getOrluThreadData(Zunq::APPLICATION_RESERVED)->subscribe(&seen);

    auto message = [](size_t length, uint16_t claimed) {
        std::vector<char> bytes(length, 'z');
        ThreadData head;
        head.mDataType = Zunq::APPLICATION_RESERVED;
        head.mDataSize = claimed;
        std::memcpy(bytes.data(), &head, std::min(length, Zunq::cThreadDataHeader));
        return bytes;
    };
    struct Case
    {
        size_t length;
        uint16_t claimed;
        int seenSize; // -1: dropped
    } cases[] = {
        {Zunq::cThreadDataHeader, 0, 0},
        {Zunq::cThreadDataHeader + 10, 10, 10},
        {Zunq::cThreadDataHeader + 10, 4000, 10},  // claims more than arrived
        {9000, 4096, 4096},                        // longer than the record
        {50, 0, -1},                               // shorter than the header
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.length);
        seen.sizes.clear();
        std::vector<char> bytes = message(c.length, c.claimed);
        DataMsg d = dataFor("RCVC", ITC_CHANNEL, bytes.data(), static_cast<int>(bytes.size()));
        rcv._onThreadData(&d);
        if (c.seenSize < 0)
            EXPECT_TRUE(seen.sizes.empty());
        else
            EXPECT_EQ(seen.sizes, std::vector<int>{c.seenSize});
    }
    EXPECT_EQ(host.sink.count("cut to 4198", LOG_LEVEL_ERROR), 1);

    // A type no one asked for is reported, not delivered.
    std::vector<char> bytes = message(Zunq::cThreadDataHeader, 0);
    reinterpret_cast<ThreadData*>(bytes.data())->mDataType = Zunq::PUB;
    DataMsg d = dataFor("RCVC", ITC_CHANNEL, bytes.data(), static_cast<int>(bytes.size()));
    rcv._onThreadData(&d);
    EXPECT_EQ(host.sink.count("orlu is not found for data type|3|", LOG_LEVEL_ERROR), 1);
}

TEST(TarvokTimerQueue, DestroyedBeforeItsThreadStartsItLeavesTheQueue)
{
    Host host;
    Thread<> owner(host, "TQ");
    struct Never : TarvokTimerHandler
    {
        void onTimer(TarvokTimer*) override { ++fired; }
        int fired = 0;
    } handler;
    auto deleted = std::make_unique<TarvokTimer>();
    ASSERT_FALSE(!deleted->create(&owner.session, &handler, 5, nullptr));
    TarvokTimer destroyed;
    ASSERT_FALSE(!destroyed.create(&owner.session, &handler, 5, nullptr));
    EXPECT_TRUE(destroyed.isValid());
    deleted.reset();
    destroyed.destroy();
    EXPECT_FALSE(destroyed.isValid());
    // Starting the queue now starts neither (a freed one would be read here).
    owner.runnable->createTimer();
    EXPECT_EQ(owner.runnable->getNumTimers(), 0);
    EXPECT_EQ(host.sink.count("invalid timer handle"), 0);

    // Reset of a timer never started does nothing.
    EXPECT_FALSE(!destroyed.reset());

    TarvokTimer a, b;
    EXPECT_STRNE(a.getTimerName(), b.getTimerName());
}
