// The topic line factory from temporary configurations: which sub-feeds get
// lines, the line entries, the channels and monitoring each line is given,
// the start-up errors and the per-line admin method.
#include "../host_admin/AdminTestSupport.h"
#include "../lh_base/LineHandlerTestSupport.h"
#include "TopicTestSupport.h"

#include "kelmora/bus/MsgZunqPublisher.h"
#include "kelmora/linedata/LineDataBasic.h"
#include "kelmora/linedata/LineDataFactory.h"
#include "kelmora/linehandler/LineHandlerTopic.h"
#include "kelmora/supervision/LineMonitor.h"
#include "kelmora/thread/Runnable.h"
#include "kelmora/thread/TarvokSession.h"
#include "zunq/admin/KeshMethod.h"
#include "zunq/admin/KeshParamList.h"
#include "zunq/admin/KeshSession.h"
#include "zunq/admin/KeshUsageError.h"

#include <gtest/gtest.h>

#include <atomic>
#include <list>

namespace
{
std::vector<std::string> gRegistered;
int gRegisterResult = 0;

const TopicApi cAccepting{
    [](StructParamType t, void* p, int n) { return ::initStructParam(t, p, n); },
    [](const MsgTopicParam* p) {
        gRegistered.push_back(std::string(p->topicNameTxt) + "@" + std::to_string(p->startingSeqNum));
        return gRegisterResult;
    },
    [](const char*, FwEventID, AppEventParam*) { return 0; },
    [] { return 0; },
};

using Factory = lhtest::CountingFactory;

struct Publisher : MsgZunqPublisher
{
    explicit Publisher(Log& log) : MsgZunqPublisher(log, true) {}
    bool getRecoverySeqNums(unsigned short channel, unsigned long& seq, unsigned long& sub) override
    {
        seq = channel == 7 ? 1234 : 0;
        sub = 0;
        return channel == 7;
    }
};

struct Counter : OrluSubscriber<LineData>
{
    Counter() : OrluSubscriber<LineData>("counter") {}
    void onData(const Orlu<LineData>&, const std::string&, const LineData&) override { ++n; }
    int n = 0;
};

// A topic name no earlier case registered: the topic map is the process's.
std::string freshTopic()
{
    static std::atomic<int> n{0};
    return "FT" + std::to_string(++n);
}

class TopicFactory : public admintest::AdminFixture
{
protected:
    struct Wiring
    {
        bool subFeeds = true;
        bool lineDataFactory = true;
        bool monitor = true;
        bool plain = true;
        bool block = false;
        bool status = true;
        bool kesh = true;
        bool session = true;
        bool heartbeat = true;
        bool publisher = false;
    };

    void SetUp() override
    {
        AdminFixture::SetUp();
        TopicApi::install(&cAccepting);
        gRegistered.clear();
    }
    void TearDown() override
    {
        TopicApi::install(nullptr);
        AdminFixture::TearDown();
    }

    // Runs the factory on a fresh module list; the error text, or "".
    std::string run(const std::string& xml) { return run(xml, Wiring()); }
    std::string run(const std::string& xml, const Wiring& w, std::vector<std::string> args = {})
    {
        mL = &keptModuleList();
        ModuleList& list = *mL;
        registerModule<Log>(&list, "Log", &mLog, "default");
        registerModule<Orlu<TerminateAll>>(&list, "OrluTerminateAll", &mTerminate, "default");
        registerModule<Orlu<MsgPubAdmin>>(&list, "OrluMsgPubAdmin", &mPubAdmin, "default");
        if (w.subFeeds)
            registerModule<std::list<std::string>>(&list, "SubFeeds", &mSubFeeds, "default");
        if (w.lineDataFactory)
            registerModule<LineDataFactory>(&list, "LineDataFactory", &mFactory, "A");
        if (w.monitor)
            registerModule<LineMonitor>(&list, "LineMonitor", &mMonitor, "A");
        if (w.plain)
            registerModule<Orlu<LineData>>(&list, "OrluLineData", &mPlain, "A");
        if (w.block)
            registerModule<Orlu<LineData>>(&list, "OrluLineDataBlock", &mBlock, "A");
        if (w.status)
            registerModule<Orlu<LineStatus>>(&list, "OrluLineStatus", &mStatuses, "A");
        if (w.kesh)
            registerModule<KeshSession>(&list, "KeshSession", &mKesh, "A");
        if (w.session)
            registerModule<TarvokSession>(&list, "TarvokSession", &mSession, "A");
        if (w.heartbeat)
            registerModule<Orlu<LineHeartbeat>>(&list, "OrluLineHeartbeat", &mHeartbeats, "A");
        if (w.publisher)
            registerModule<MsgZunqPublisher>(&list, "MsgZunqPublisher", &mPublisher, "A");
        try
        {
            InitModule<LineHandlerTopic> factory;
            factory.createModule(&list, &config(xml, std::move(args)));
        }
        catch (const std::exception& e)
        {
            return e.what();
        }
        return "";
    }
    LineHandler* last() { return findModule<LineHandler>(mL, "LineHandler", "A"); }
    KeshMethod* method(const std::string& name)
    {
        for (KeshMethod* m : mKesh.getMethods())
            if (m->getName() == name)
                return m;
        return nullptr;
    }
    static std::string sub(const std::string& body, const std::string& type = "topic")
    {
        return "<A><LineHandlerType>" + type + "</LineHandlerType><Topic>" + freshTopic() + "</Topic>" + body +
               "</A>";
    }

    ModuleList* mL = nullptr;
    std::list<std::string> mSubFeeds{"A"};
    Orlu<TerminateAll> mTerminate{"TerminateAll", "default"};
    Orlu<MsgPubAdmin> mPubAdmin{"MsgPubAdmin", "default"};
    Orlu<LineHeartbeat> mHeartbeats{"LineHeartbeat.A", "A"};
    Orlu<LineStatus> mStatuses{"LineStatus.A", "A"};
    Orlu<LineData> mBlock{"LineDataBlock.A", "A"};
    Orlu<LineData> mPlain{"LineData.A", "A"};
    KeshSession mKesh{"A"};
    std::unique_ptr<ZunqConfigManager> mThreadConfig = makeConfig({"feedd"});
    topictest::TopicThread mRunnable{"A", *mThreadConfig, mList, mLog, 10000u};
    TarvokSession mSession;
    LineMonitor mMonitor{"A", nullptr, &mLog, nullptr};
    Factory mFactory;
    Publisher mPublisher{mLog};
};
} // namespace

TEST_F(TopicFactory, WhichSubFeedsAndInputsGetLines)
{
    mSession.setRunnable(&mRunnable);
    mSession.setLog(&mLog);
    struct Case
    {
        std::string xml;
        std::vector<std::string> args;
        bool created;
    };
    const std::string entry = "<Listen>eth0/239.1.1.1/5001/239.1.1.2/5002</Listen>";
    const Case cases[] = {
        {sub(entry, "Topic"), {}, true},
        {sub(entry, "tcp"), {}, false},
        {"<InputFile>none</InputFile>" + sub(entry), {}, true},
        {"<InputFile>feed.dat</InputFile>" + sub(entry), {}, false},
        {sub(entry), {"--input", "other.dat"}, false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.xml);
        ASSERT_EQ(run(c.xml, Wiring(), c.args), "");
        EXPECT_EQ(last() != nullptr, c.created);
    }
    EXPECT_EQ(mSink.count("NOT initializing any LineHandlerTopic objects: we encountered a --input-file parameter "
                          "(feed.dat)"),
              1);
    EXPECT_EQ(mSink.count("(other.dat)"), 1);
    EXPECT_EQ(run(sub(entry), Wiring{.subFeeds = false}), "");
    EXPECT_EQ(mSink.count("InitModule<LineHandlerTopic>: NOT initializing any LineHandlerTopic objects: no SubFeeds "
                          "defined"),
              1);
    EXPECT_EQ(last(), nullptr);
}

TEST_F(TopicFactory, LineEntries)
{
    mSession.setRunnable(&mRunnable);
    mSession.setLog(&mLog);
    const std::string xml = "<DefaultMulticastInterface1>10.0.0.1</DefaultMulticastInterface1><LiveChannelId>7"
                            "</LiveChannelId>" +
                            sub("<Listen>default1/239.1.1.1/5001/239.1.1.2/5002/monitorOff,eth0/239.1.1.1/5001"
                                "</Listen>");
    ASSERT_EQ(run(xml, Wiring{.publisher = true}), "");
    LineHandler* line = last();
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(line->getName(), "239.1.1.1:5001");
    EXPECT_EQ(line->getFeedName(), "A");
    EXPECT_EQ(mSink.count(" line parameter: 10.0.0.1, 239.1.1.1, 5001, 239.1.1.2, 5002"), 1);
    EXPECT_EQ(mSink.count("Channel|7| recover from seqNum|1234|"), 1);
    ASSERT_EQ(gRegistered.size(), 1u);
    EXPECT_NE(gRegistered[0].find("@1234"), std::string::npos);
    ASSERT_NE(mMonitor.getLineStatus("239.1.1.1:5001"), nullptr);
    EXPECT_EQ(*mMonitor.getLineStatus("239.1.1.1:5001"), LineStatus::DISABLED);
    // The short entry: refused, nothing built for it.
    EXPECT_EQ(mSink.count("Bad parameter: eth0/239.1.1.1/5001"), 1);
    // Two records per line: the live one and the base's replay record.
    EXPECT_EQ(mFactory.created, 2);

    // The per-line admin method.
    KeshMethod* disconnect = method("disconnect");
    ASSERT_NE(disconnect, nullptr);
    KeshParamList args;
    KeshParamList results;
    disconnect->invoke(args, results);
    ASSERT_NE(results.getParam("Message"), nullptr);
    EXPECT_EQ(results.getParam("Message")->getValue(), "A disconnected.");
    args.add("x", "1");
    EXPECT_THROW(disconnect->invoke(args, results), KeshUsageError);
}

TEST_F(TopicFactory, TwoEntriesOnOneTopicAndAHandlerThatFailsIsReleased)
{
    mSession.setRunnable(&mRunnable);
    mSession.setLog(&mLog);
    const std::string topic = freshTopic();
    ASSERT_EQ(run("<A><LineHandlerType>topic</LineHandlerType><Topic>" + topic +
                  "</Topic><Listen>eth0/239.1.1.1/5001/239.1.1.2/5002,eth0/239.1.1.3/5003/239.1.1.4/5004</Listen></A>"),
              "");
    // Two lines on the one registered topic; the module names the second.
    EXPECT_EQ(mFactory.created, 4);
    EXPECT_EQ(mFactory.destroyed, 0);
    EXPECT_EQ(gRegistered.size(), 1u);
    ASSERT_NE(last(), nullptr);
    EXPECT_EQ(last()->getName(), "239.1.1.3:5003");
    Counter plain;
    mPlain.subscribe(&plain);
    mRunnable.topicData(topic, "abc");
    EXPECT_EQ(plain.n, 2);
    mPlain.unsubscribe(&plain);

    ASSERT_EQ(run(sub("<Listen>eth0/239.1.1.1/0/239.1.1.2/5002</Listen>")), "");
    EXPECT_EQ(mSink.count("Unknown exception"), 1);
    EXPECT_EQ(mFactory.created, 6);
    EXPECT_EQ(mFactory.destroyed, 2);

    gRegisterResult = -1;
    ASSERT_EQ(run(sub("<Listen>eth0/239.1.1.1/5001/239.1.1.2/5002</Listen>")), "");
    gRegisterResult = 0;
    EXPECT_EQ(mSink.count("LineError: Failed to register multicast receiver [A], error = "), 1);
    EXPECT_EQ(mFactory.created, 8);
    EXPECT_EQ(mFactory.destroyed, 4);
}

TEST_F(TopicFactory, LineDataChannelChoice)
{
    mSession.setRunnable(&mRunnable);
    mSession.setLog(&mLog);
    struct Case
    {
        bool useBlock;
        bool blockExists;
        const char* reaches;
    };
    for (const Case& c : {Case{true, false, "plain"}, Case{true, true, "block"}, Case{false, true, "plain"}})
    {
        SCOPED_TRACE(std::string(c.reaches) + (c.useBlock ? " use" : "") + (c.blockExists ? " exists" : ""));
        Counter plain;
        Counter block;
        mPlain.subscribe(&plain);
        mBlock.subscribe(&block);
        const std::string use = c.useBlock ? "<TcpUseLineDataBlock>true</TcpUseLineDataBlock>" : "";
        ASSERT_EQ(run(sub(use + "<Listen>eth0/239.1.1.1/5001/239.1.1.2/5002</Listen>"),
                      Wiring{.block = c.blockExists}),
                  "");
        auto* handler = dynamic_cast<LineHandlerTopic*>(last());
        ASSERT_NE(handler, nullptr);
        handler->onTopicData("abc", 3);
        EXPECT_EQ(plain.n, std::string(c.reaches) == "plain" ? 1 : 0);
        EXPECT_EQ(block.n, std::string(c.reaches) == "block" ? 1 : 0);
        mPlain.unsubscribe(&plain);
        mBlock.unsubscribe(&block);
    }
}

TEST_F(TopicFactory, MissingModulesAreNamedInOrder)
{
    mSession.setRunnable(&mRunnable);
    mSession.setLog(&mLog);
    const std::string xml = sub("<Listen>eth0/239.1.1.1/5001/239.1.1.2/5002</Listen>");
    Wiring w{.lineDataFactory = false,
             .monitor = false,
             .plain = false,
             .status = false,
             .kesh = false,
             .session = false,
             .heartbeat = false};
    const std::string prefix = "InitModule<LineHandlerTopic>(A): could not find ";
    EXPECT_EQ(run(xml, w), prefix + "LineDataFactory object");
    w.lineDataFactory = true;
    EXPECT_EQ(run(xml, w), prefix + "LineMonitor object");
    w.monitor = true;
    EXPECT_EQ(run(xml, w), prefix + "OrluLineDataBlock object");
    w.plain = true;
    EXPECT_EQ(run(xml, w), prefix + "OrluLineStatus object");
    w.status = true;
    EXPECT_EQ(run(xml, w), prefix + "KeshSession object");
    w.kesh = true;
    EXPECT_EQ(run(xml, w), prefix + "TarvokSession object");
    w.session = true;
    EXPECT_EQ(run(xml, w), prefix + "OrluLineHeartbeat object");
    w.heartbeat = true;
    EXPECT_EQ(run("<A><LineHandlerType>topic</LineHandlerType></A><B/>", w), "");
    EXPECT_EQ(mSink.count("no valid Listen parameters found"), 1);
    EXPECT_EQ(run("<LineHandlerType>topic</LineHandlerType>", w),
              "InitModule<LineHandlerTopic>(A): could not find subfeed params");
}
