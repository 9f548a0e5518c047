// The topic handler and the topic line handler on scripted framework calls:
// registration, subscribe and leave requests, the events a thread's Runnable
// delivers, and topic messages into the line data channel.
#include "../lh_base/LineHandlerTestSupport.h"
#include "TopicTestSupport.h"

#include "kelmora/linehandler/LineHandlerTopic.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

using namespace hostrun;
using namespace lhtest;
using topictest::TopicThread;

namespace
{
// What the handler asked of the framework.
struct Script
{
    std::vector<std::string> calls;
    MsgTopicParam topic{};
    int registerResult = 0;
    int eventResult = 0;
    int errorCode = 0;
};
Script gScript;

const TopicApi cScripted{
    [](StructParamType t, void* p, int n) { return ::initStructParam(t, p, n); },
    [](const MsgTopicParam* p) {
        gScript.calls.push_back(std::string("register ") + p->topicNameTxt);
        gScript.topic = *p;
        return gScript.registerResult;
    },
    [](const char* name, FwEventID id, AppEventParam*) {
        gScript.calls.push_back(std::string(id == TOPIC_SUBSCRIBE   ? "subscribe "
                                            : id == TOPIC_LEAVE_SUB ? "leave "
                                                                    : "event ") +
                                name);
        return gScript.eventResult;
    },
    [] { return gScript.errorCode; },
};

// The topic map is the process's: each test's handlers get topic names of
// their own.
std::string uniqueTopic()
{
    static std::atomic<int> n{0};
    return "TP" + std::to_string(++n);
}

std::string adminText(const MsgPubAdmin& m)
{
    return m.getAction() == MsgPubAdmin::START_BATCH ? "S" : m.getAction() == MsgPubAdmin::FLUSH ? "F" : "?";
}

// An event as the framework hands it to the thread's callback.
void deliver(const std::string& topic, int id, short int16 = 0, int int32 = 1, bool replicated = false)
{
    EventMsg e{};
    e.id = id;
    e.replicationFlag = replicated ? ReplicationFlag(1) : ReplicationFlag(0);
    copyResourceName(e.eventParam.resNameTxt, topic.c_str());
    e.eventParam.paramInt16 = int16;
    e.eventParam.paramInt32 = int32;
    Runnable::callback(MSG_EVENT, &e, nullptr);
}

bool inTopicMap(const std::string& topic, const TopicHandler* expected = nullptr)
{
    char key[17] = {};
    copyResourceName(key, topic.c_str());
    unsigned long value = 0;
    return Runnable::getTopicHandleMap(key, value) &&
           (expected == nullptr || reinterpret_cast<TopicHandler*>(value) == expected);
}

struct Topic : ::testing::Test
{
    Topic() { TopicApi::install(&cScripted); }
    ~Topic() override
    {
        handlers.clear();
        TopicApi::install(nullptr);
        gScript = Script{};
    }
    Host host;
    Thread<TopicThread> thread{host, "LHTP"};
    CountingFactory factory;
    std::vector<std::string> events;
    Recorder<LineData> data{events, [](const LineData& d) { return "D:" + std::to_string(d.getDataLen()); }};
    Recorder<MsgPubAdmin> admin{events, adminText};
    Recorder<LineStatus> statuses{events, [](const LineStatus& s) { return std::string("status:") + s.str(); }};
    Recorder<LineHeartbeat> beats{events, [](const LineHeartbeat&) { return std::string("heartbeat"); }};
    std::vector<std::unique_ptr<LineHandlerTopic>> handlers;
    OrluPublisher<Zunq::ThreadStatus> threadState{"test"};

    LineHandlerTopic& make(const std::string& group = "239.1.1.1", bool classD = false,
                           const std::string& topic = uniqueTopic())
    {
        auto h = std::make_unique<LineHandlerTopic>(factory, thread.session, host.log);
        h->setFeedName("FEED1");
        h->setName(group + ":5001");
        h->setCheckForClassD(classD);
        h->OrluPublisher<LineData>::setDestination(&data.channel);
        h->OrluPublisher<MsgPubAdmin>::setDestination(&admin.channel);
        h->OrluPublisher<LineStatus>::setDestination(&statuses.channel);
        h->OrluPublisher<LineHeartbeat>::setDestination(&beats.channel);
        h->setTopicParams(topic, group, "5001", "239.1.1.2", "5002", 7);
        thread.runnable->getOrluThreadStatus()->subscribe(h.get());
        handlers.push_back(std::move(h));
        gScript.calls.clear();
        return *handlers.back();
    }
    void appReady()
    {
        threadState.setDestination(thread.runnable->getOrluThreadStatus());
        Zunq::ThreadStatus s;
        s.mState = Zunq::THD_APP_READY;
        threadState.publish(s);
    }
};
} // namespace

TEST_F(Topic, EventNamesAndTheRegistrationRecord)
{
    EXPECT_EQ(TopicHandler::eventToString(FwEventID(40)), "40");
    EXPECT_EQ(TopicHandler::eventToString(FwEventID(47)), "TOPIC_PUBLISHER_LEFT");
    EXPECT_EQ(TopicHandler::eventToString(FwEventID(71)), "REPLI_SUBSCRIBER_REJOINED");

    LineHandlerTopic h(factory, thread.session, host.log);
    const std::string longName = "ABCDEFGHIJKLMNOP" + uniqueTopic();
    h.setTopicParams(longName, "239.1.1.1", "0x1f90", "239.1.1.2", "5002", 42);
    const MsgTopicParam& p = gScript.topic;
    EXPECT_EQ(std::string(p.topicNameTxt), "ABCDEFGHIJKLMNOP");
    EXPECT_STREQ(p.threadNameTxt, "LHTP");
    EXPECT_EQ(p.openType, SUBSCRIBE);
    EXPECT_FALSE(p.openAtStartup);
    EXPECT_STREQ(p.topicDataMcastTxt, "239.1.1.1");
    EXPECT_EQ(p.topicDataPortNum, 8080);
    EXPECT_STREQ(p.topicAckMcastTxt, "239.1.1.2");
    EXPECT_EQ(p.topicAckPortNum, 5002);
    EXPECT_EQ(p.startingSeqNum, 42u);
    EXPECT_EQ(p.replicationMode, NO_REPLICATION);
    unsigned long value = 0;
    const char cut[17] = "ABCDEFGHIJKLMNOP";
    ASSERT_TRUE(Runnable::getTopicHandleMap(cut, value));
    EXPECT_EQ(reinterpret_cast<TopicHandler*>(value), static_cast<TopicHandler*>(&h));
}

TEST_F(Topic, RefusedRegistrationAndBadServices)
{
    gScript.registerResult = -1;
    gScript.errorCode = 1669;
    LineHandlerTopic h(factory, thread.session, host.log);
    h.setFeedName("FEED1");
    const std::string name = uniqueTopic() + "_RECO";
    EXPECT_FALSE(h.registerTopic(name, "239.1.1.1", 1, "239.1.1.2", 2, 0, SUBSCRIBE, false, false, NO_REPLICATION));
    char key[17] = {};
    copyResourceName(key, name.c_str());
    unsigned long value = 0;
    EXPECT_FALSE(Runnable::getTopicHandleMap(key, value));
    EXPECT_EQ(host.sink.count("TopicHandlerImpl::registerTopic(" + name + ") failed to register as type|1|",
                              LOG_LEVEL_ERROR),
              1);

    // A group text too long for its field is refused before the framework
    // is asked: cut to fit, "239.255.255.2501" would become another group.
    gScript = Script{};
    for (const auto& [data, ack] : {std::pair{"239.255.255.2501", "239.1.1.2"}, {"239.1.1.1", "239.255.255.2501"}})
    {
        const std::string topic = uniqueTopic();
        EXPECT_FALSE(h.registerTopic(topic, data, 1, ack, 2, 0, SUBSCRIBE, false, false, NO_REPLICATION));
        EXPECT_EQ(host.sink.count("TopicHandlerImpl::registerTopic(" + topic +
                                      ") failed to register: group address|239.255.255.2501| is too long",
                                  LOG_LEVEL_ERROR),
                  1);
    }
    EXPECT_TRUE(gScript.calls.empty()) << "the framework was asked";
    gScript.registerResult = -1;
    gScript.errorCode = 1669;
    try
    {
        h.setTopicParams(name, "239.1.1.1", "5001", "239.1.1.2", "5002", 0);
        ADD_FAILURE() << "no LineError";
    }
    catch (const LineError& e)
    {
        EXPECT_STREQ(e.what(), "Failed to register multicast receiver [FEED1], error = 1669");
    }

    struct Case
    {
        const char* service;
        const char* ackService;
        const char* text;
    };
    const Case cases[] = {
        {"", "5002", "Invalid (empty) multicast service parameter."},
        {"0", "5002", "Invalid multicast service parameter: \"0\""},
        {"5001", "", "Invalid (empty) multicast Ack service parameter."},
        {"5001", "nosuchservice", "Invalid multicast Ack service parameter: \"nosuchservice\""},
    };
    gScript = Script{};
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.text);
        try
        {
            h.setTopicParams(uniqueTopic(), "239.1.1.1", c.service, "239.1.1.2", c.ackService, 0);
            ADD_FAILURE() << "no invalid_argument";
        }
        catch (const std::invalid_argument& e)
        {
            EXPECT_STREQ(e.what(), c.text);
        }
    }
    EXPECT_TRUE(gScript.calls.empty());
}

TEST_F(Topic, ARefusedSubscribeIsOneErrorLineAndFalse)
{
    LineHandlerTopic& h = make();
    gScript.eventResult = -1;
    gScript.errorCode = 1206;
    EXPECT_FALSE(h.subscribeTopic(h.getTopic().c_str()));
    EXPECT_EQ(host.sink.count("failed to send topic event", LOG_LEVEL_ERROR), 1);
    EXPECT_EQ(host.sink.count("TopicHandlerImpl::sendTopicEvent(" + h.getTopic() +
                                  ") failed to send topic event [40], error:1206",
                              LOG_LEVEL_ERROR),
              1);
    gScript.eventResult = 0;
    EXPECT_TRUE(h.unsubscribeTopic(h.getTopic().c_str()));
    EXPECT_EQ(gScript.calls, (std::vector<std::string>{"subscribe " + h.getTopic(), "leave " + h.getTopic()}));
}

TEST_F(Topic, ReadyToOpenAndAppReadyInEitherOrderSubscribeOnce)
{
    for (bool eventFirst : {true, false})
    {
        SCOPED_TRACE(eventFirst);
        gScript = Script{};
        LineHandlerTopic& h = make();
        if (eventFirst)
        {
            deliver(h.getTopic(), TOPIC_SUB_READY_TO_OPEN);
            EXPECT_TRUE(gScript.calls.empty());
            appReady();
        }
        else
        {
            appReady();
            EXPECT_TRUE(gScript.calls.empty());
            deliver(h.getTopic(), TOPIC_SUB_READY_TO_OPEN);
            // A replicated copy of the event is not this line's.
            deliver(h.getTopic(), TOPIC_SUB_READY_TO_OPEN, 0, 1, true);
        }
        EXPECT_EQ(gScript.calls, (std::vector<std::string>{"subscribe " + h.getTopic()}));
        EXPECT_EQ(h.getConnectStatus(), LineHandlerTopic::MC_READY_CONNECT);
        thread.runnable->getOrluThreadStatus()->unsubscribe(&h);
    }
}

TEST_F(Topic, SubscribeAcknowledgementTable)
{
    struct Case
    {
        short int16;
        int int32;
        const char* reason; // null: the line stays as it is
    };
    const Case cases[] = {
        {5, 1, ": TOPIC_SUBSCRIBE_ACK negative ack"},
        {0, 0, ": TOPIC_SUBSCRIBE_ACK without publisher"},
        {0, 1, nullptr},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.int16 * 10 + c.int32);
        LineHandlerTopic& h = make();
        h.setLineStatus(LineStatus::UP);
        events.clear();
        appReady();
        deliver(h.getTopic(), TOPIC_SUB_READY_TO_OPEN);
        deliver(h.getTopic(), TOPIC_SUBSCRIBE_ACK, c.int16, c.int32);
        EXPECT_TRUE(h.connected());
        const std::string line = "LineHandler::lineDown: " + h.getTopic() + (c.reason ? c.reason : "");
        EXPECT_EQ(host.sink.count(line, LOG_LEVEL_ERROR), c.reason ? 1 : 0);
        EXPECT_EQ(events, c.reason ? std::vector<std::string>{"status:down"} : std::vector<std::string>{});
        gScript.calls.clear();
        h.disconnect();
        EXPECT_EQ(gScript.calls, (std::vector<std::string>{"leave " + h.getTopic()}));
        EXPECT_EQ(h.getConnectStatus(), LineHandlerTopic::MC_READY_CONNECT);
        thread.runnable->getOrluThreadStatus()->unsubscribe(&h);
    }
}

TEST_F(Topic, PublisherJoinAndLeaveDriveTheStatus)
{
    LineHandlerTopic& h = make();
    deliver(h.getTopic(), TOPIC_PUBLISHER_JOINED);
    deliver(h.getTopic(), TOPIC_PUBLISHER_LEFT);
    deliver(h.getTopic(), 48);
    EXPECT_EQ(events, (std::vector<std::string>{"status:up", "heartbeat", "status:down"}));
    EXPECT_EQ(host.sink.count("LineHandler::lineDown: " + h.getTopic() + ": TOPIC_PUBLISHER_LEFT", LOG_LEVEL_ERROR),
              1);
    EXPECT_EQ(host.sink.count("unhandled event|UNRECOVERABLE_TOPIC_MSG_GAP|"), 1);
}

TEST_F(Topic, ClassDCheckKeepsDirectedGroupsFromSubscribing)
{
    struct Case
    {
        const char* group;
        bool subscribes;
    };
    for (const Case& c : {Case{"10.1.2.3", false}, Case{"239.1.1.1", true}, Case{"240.0.0.1", false}})
    {
        SCOPED_TRACE(c.group);
        gScript = Script{};
        LineHandlerTopic& h = make(c.group, true);
        appReady();
        deliver(h.getTopic(), TOPIC_SUB_READY_TO_OPEN);
        EXPECT_EQ(gScript.calls.size(), c.subscribes ? 1u : 0u);
        thread.runnable->getOrluThreadStatus()->unsubscribe(&h);
    }
    EXPECT_EQ(host.sink.count("LineHandlerTopic: listening for Directed UDP:"), 2);
}

TEST_F(Topic, MessagesUpToTheLimitAreLineDataAndEachPassEndsWithAFlush)
{
    LineHandlerTopic& h = make();
    unsigned long value = 0;
    char key[17] = {};
    copyResourceName(key, h.getTopic().c_str());
    ASSERT_TRUE(Runnable::getTopicHandleMap(key, value));
    TopicHandler* receiver = reinterpret_cast<TopicHandler*>(value);

    const std::string big(LineHandlerTopic::cMaxMessage + 1, 'x');
    receiver->onTopicData(big.data(), LineHandlerTopic::cMaxMessage);
    EXPECT_EQ(events, (std::vector<std::string>{"S", "status:up", "D:8388608", "F"}));
    events.clear();
    try
    {
        receiver->onTopicData(big.data(), LineHandlerTopic::cMaxMessage + 1);
        ADD_FAILURE() << "no LineError";
    }
    catch (const LineError& e)
    {
        EXPECT_NE(std::string(e.what()).find("8388609"), std::string::npos) << e.what();
    }
    EXPECT_THROW(receiver->onTopicData("", 0), LineEof);
    EXPECT_EQ(events, (std::vector<std::string>{"S", "F", "S", "F"}));

    events.clear();
    h.setSendPubFlushMsg(false);
    receiver->onTopicData("abc", 3);
    EXPECT_EQ(events, (std::vector<std::string>{"D:3"}));
    EXPECT_EQ(factory.created, 2);
}

// Kept by the counter the line data tests share.
std::uint64_t allocationCount();

TEST_F(Topic, AMessageThroughTheThreadAllocatesNothingOnceTheLineIsUp)
{
    LineHandlerTopic& h = make();
    // Subscribers that only count: the recorders of the fixture allocate.
    struct Bytes : OrluSubscriber<LineData>
    {
        Bytes() : OrluSubscriber<LineData>("bytes") {}
        void onData(const Orlu<LineData>&, const std::string&, const LineData& d) override { total += d.getDataLen(); }
        std::uint64_t total = 0;
    } bytes;
    struct Flushes : OrluSubscriber<MsgPubAdmin>
    {
        Flushes() : OrluSubscriber<MsgPubAdmin>("flushes") {}
        void onData(const Orlu<MsgPubAdmin>&, const std::string&, const MsgPubAdmin& m) override
        {
            count += m.getAction() == MsgPubAdmin::FLUSH ? 1 : 0;
        }
        int count = 0;
    } flushes;
    Orlu<LineData> lineData("quiet", "default");
    Orlu<MsgPubAdmin> admin("quiet", "default");
    lineData.subscribe(&bytes);
    admin.subscribe(&flushes);
    h.OrluPublisher<LineData>::setDestination(&lineData);
    h.OrluPublisher<MsgPubAdmin>::setDestination(&admin);

    const std::string message(1000, 'm');
    // The first message brings the line up and fills the thread's look-up.
    thread.runnable->topicData(h.getTopic(), message);
    const std::uint64_t before = allocationCount();
    for (int i = 0; i < 100; ++i)
        thread.runnable->topicData(h.getTopic(), message);
    EXPECT_EQ(allocationCount() - before, 0u);
    EXPECT_EQ(bytes.total, 101u * 1000u);
    EXPECT_EQ(flushes.count, 101);
    lineData.unsubscribe(&bytes);
    admin.unsubscribe(&flushes);
}

TEST_F(Topic, TwoLinesOnOneTopicShareOneRegistrationAndSubscriptionAndEachGetsTheMessages)
{
    gScript = Script{};
    const std::string topic = uniqueTopic();
    std::vector<std::string> sources;
    data.after = [&](const LineData& d) { sources.push_back(d.getSrcHost()); };
    auto first = std::make_unique<LineHandlerTopic>(factory, thread.session, host.log);
    auto second = std::make_unique<LineHandlerTopic>(factory, thread.session, host.log);
    for (LineHandlerTopic* h : {first.get(), second.get()})
    {
        h->OrluPublisher<LineData>::setDestination(&data.channel);
        h->OrluPublisher<LineStatus>::setDestination(&statuses.channel);
        thread.runnable->getOrluThreadStatus()->subscribe(h);
    }
    first->setTopicParams(topic, "239.1.1.1", "5001", "239.1.1.2", "5002", 7);
    second->setTopicParams(topic, "239.1.1.3", "5003", "239.1.1.4", "5004", 7);
    EXPECT_EQ(gScript.calls, (std::vector<std::string>{"register " + topic}));
    EXPECT_EQ(host.sink.count("groups and ports of this line are not used", LOG_LEVEL_WARNING), 1);
    EXPECT_TRUE(inTopicMap(topic, first.get()));

    gScript.calls.clear();
    appReady();
    deliver(topic, TOPIC_SUB_READY_TO_OPEN);
    deliver(topic, TOPIC_SUBSCRIBE_ACK);
    EXPECT_EQ(gScript.calls, (std::vector<std::string>{"subscribe " + topic}));
    EXPECT_TRUE(first->connected());
    EXPECT_TRUE(second->connected());

    // Each line gets each message, as its own record; an empty message ends
    // in each line's exception without keeping it from the other.
    thread.runnable->topicData(topic, "abc");
    thread.runnable->topicData(topic, "");
    EXPECT_EQ(sources, (std::vector<std::string>{"239.1.1.1", "239.1.1.3"}));
    EXPECT_EQ(events, (std::vector<std::string>{"status:up", "D:3", "status:up", "D:3"}));
    EXPECT_EQ(host.sink.count("end-of-file reached"), 2);

    // The subscription stays while one line holds it; a line that left gets
    // no more of the topic.
    gScript.calls.clear();
    sources.clear();
    first->disconnect();
    EXPECT_TRUE(gScript.calls.empty());
    thread.runnable->topicData(topic, "abc");
    EXPECT_EQ(sources, (std::vector<std::string>{"239.1.1.3"}));
    // Back on the acknowledged subscription, without a request of its own.
    first->connect();
    EXPECT_TRUE(gScript.calls.empty());
    EXPECT_TRUE(first->connected());
    first->disconnect();
    second->disconnect();
    EXPECT_EQ(gScript.calls, (std::vector<std::string>{"leave " + topic}));

    // The first leaves the map to the second; the last leaves it empty.
    sources.clear();
    first.reset();
    EXPECT_TRUE(inTopicMap(topic, second.get()));
    thread.runnable->topicData(topic, "abc");
    EXPECT_EQ(sources, (std::vector<std::string>{"239.1.1.3"}));
    second.reset();
    EXPECT_FALSE(inTopicMap(topic));
}

TEST_F(Topic, ACutNameHeldByAnotherTopicOrThreadIsRefused)
{
    Thread<> other{host, "LHTQ"};
    const std::string held = "QRSTUVWXYZQRSTUV" + uniqueTopic();
    LineHandlerTopic holder(factory, thread.session, host.log);
    holder.setTopicParams(held, "239.1.1.1", "5001", "239.1.1.2", "5002", 0);
    struct Case
    {
        std::string topic;
        TarvokSession* session;
        std::string text;
    };
    const Case cases[] = {
        {held + "X", &thread.session, "| is taken by topic|" + held + "|"},
        {held, &other.session, "failed to register: thread|LHTQ| asks for a topic registered by thread|LHTP|"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.text);
        gScript.calls.clear();
        LineHandlerTopic h(factory, *c.session, host.log);
        h.setFeedName("FEED1");
        EXPECT_THROW(h.setTopicParams(c.topic, "239.1.1.1", "5001", "239.1.1.2", "5002", 0), LineError);
        EXPECT_EQ(host.sink.count(c.text, LOG_LEVEL_ERROR), 1);
        EXPECT_TRUE(gScript.calls.empty());
    }
    EXPECT_TRUE(inTopicMap(held, &holder));
}

TEST_F(Topic, ADestroyedLineLeavesTheTopicMapAndTheThreadStatusChannel)
{
    const std::string topic = uniqueTopic();
    auto h = std::make_unique<LineHandlerTopic>(factory, thread.session, host.log);
    h->setTopicParams(topic, "239.1.1.1", "5001", "239.1.1.2", "5002", 0);
    thread.runnable->getOrluThreadStatus()->subscribe(h.get());
    ASSERT_TRUE(inTopicMap(topic, h.get()));
    h.reset();
    EXPECT_FALSE(inTopicMap(topic));
    // Neither the thread's status nor the topic's events reach freed memory.
    appReady();
    deliver(topic, TOPIC_SUB_READY_TO_OPEN);
    // The name is free for a new line.
    gScript.calls.clear();
    LineHandlerTopic& again = make("239.1.1.1", false, topic);
    EXPECT_TRUE(inTopicMap(topic, &again));
}

TEST_F(Topic, ALaterLineOnATopicLeavesTheChainAndTheFirstKeepsTheMap)
{
    const std::string topic = uniqueTopic();
    std::vector<std::string> sources;
    data.after = [&](const LineData& d) { sources.push_back(d.getSrcHost()); };
    LineHandlerTopic& first = make("239.1.1.1", false, topic);
    auto later = std::make_unique<LineHandlerTopic>(factory, thread.session, host.log);
    later->OrluPublisher<LineData>::setDestination(&data.channel);
    later->setTopicParams(topic, "239.1.1.3", "5001", "239.1.1.2", "5002", 7);
    later.reset();
    EXPECT_TRUE(inTopicMap(topic, &first));
    thread.runnable->topicData(topic, "abc");
    EXPECT_EQ(sources, (std::vector<std::string>{"239.1.1.1"}));
}
