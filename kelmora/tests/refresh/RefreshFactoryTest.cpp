// The refresh client factory over configuration files, with the modules it
// needs built by hand and the framework's network calls scripted: which
// refresh lines each sub-feed gets and with what, which channels share a
// record, a refresh at start, and the configurations it refuses.
#include "../host_admin/AdminTestSupport.h"
#include "../host_runnable/RunnableTestSupport.h"
#include "../msg_handler/plugins/RecordingMessageHandler.h"

#include "kelmora/filter/LineFilter.h"
#include "kelmora/linedata/LineDataFactoryDravek.h"
#include "kelmora/linehandler/LineHandlerMulticast.h"
#include "kelmora/linehandler/NetworkApi.h"
#include "kelmora/recovery/LineHandlerZunqRefresh.h"

#include <gtest/gtest.h>

#include <list>
#include <map>
#include <memory>

namespace
{

// Multicast receivers registered: "<feed name> <interface> <group>:<port>".
std::vector<std::string> gRegistered;

const NetworkApi cScripted{
    [](StructParamType t, void* p, int n) { return ::initStructParam(t, p, n); },
    [](const TcpConnParam*) { return -1; },
    [](const TcpConnParam*) { return -1; },
    [](const UdpConnParam*) { return -1; },
    [](const UdpConnParam* p) {
        gRegistered.push_back(std::string(p->connNameTxt) + " " + p->interfaceTxt + " " + p->destAddrTxt + ":" +
                              std::to_string(p->port));
        return 0;
    },
    [](const UdpConnParam*) { return -1; },
    [](const IpcParam*) { return -1; },
    [](const char*, FwEventID, AppEventParam*) { return 0; },
    [](const char*, const char*, int, char (*)[17], bool) { return -1; },
    [](const char*, const char*, int, char (*)[17], bool) { return -1; },
    [](const char*, const char*, int) { return -1; },
    [] { return 0; },
    [](const char*, FwEventID, AppEventParam*) { return -1; },
};

struct SubFeed
{
    std::string name;
    std::string thread; // the named thread its session belongs to
};

class RefreshFactory : public admintest::AdminFixture
{
protected:
    void SetUp() override
    {
        AdminFixture::SetUp();
        NetworkApi::install(&cScripted);
    }
    void TearDown() override
    {
        NetworkApi::install(nullptr);
        AdminFixture::TearDown();
    }

    // The modules the factory looks up, for `subFeeds`, then the factory over
    // `xml`. The error text when it refused, else "".
    std::string start(const std::vector<SubFeed>& subFeeds, const std::string& xml, std::vector<std::string> args = {})
    {
        gRegistered.clear();
        // Lines of an earlier start in this process let their names go.
        Log quiet;
        for (const SubFeed& s : subFeeds)
            for (int i = 1; i <= 4; ++i)
            {
                char name[17] = {};
                std::snprintf(name, sizeof name, "%s:r%d", s.name.c_str(), i);
                Runnable::removeNetworkHandleMap(name, quiet);
            }
        mList = &keptModuleList();
        registerModule<Log>(mList, "Log", &mLog, mList->defaultGroup());
        registerModule<Orlu<TerminateAll>>(mList, "OrluTerminateAll", &mTerminate, mList->defaultGroup());
        registerModule<Orlu<MsgPubAdmin>>(mList, "OrluMsgPubAdmin", &mPubAdmin, mList->defaultGroup());
        registerModule<Orlu<RefreshRequest>>(mList, "OrluRefreshRequest", &mRequests, mList->defaultGroup());
        auto* names = new std::list<std::string>;
        registerModule<std::list<std::string>>(mList, "SubFeeds", names, mList->defaultGroup());
        for (const SubFeed& s : subFeeds)
        {
            names->push_back(s.name);
            auto& thread = mThreads[s.thread];
            if (!thread)
                thread = std::make_unique<hostrun::Thread<>>(mHost, s.thread.c_str());
            auto* factory = new LineDataFactoryDravek(s.name, mLog);
            auto* handler = new RecordingMessageHandler(s.name, mLog);
            auto* filter = new LineFilter(s.name, thread->session, mLog, factory, false);
            registerModule<LineDataFactoryDravek>(mList, "LineDataFactoryDravek", factory, s.name);
            registerModule<TarvokSession>(mList, "TarvokSession", &thread->session, s.name);
            registerModule<MessageHandler>(mList, "MessageHandler", handler, s.name);
            registerModule<LineFilter>(mList, "LineFilter", filter, s.name);
            mHandlers[s.name] = handler;
            mFilters[s.name] = filter;
        }
        try
        {
            InitModule<LineHandlerZunqRefresh>().createModule(mList, &config(xml, std::move(args)));
        }
        catch (const InitModuleError& e)
        {
            return e.what();
        }
        return "";
    }

    LineHandlerZunqRefresh* client() const
    {
        return findModule<LineHandlerZunqRefresh>(mList, "LineHandlerZunqRefresh", mList->defaultGroup());
    }

    // "<name> <registration>" of each line of `channel`, in order.
    std::vector<std::string> lines(std::uint32_t channel) const
    {
        std::vector<std::string> out;
        for (LineHandlerMulticast* line : client()->getLines(channel))
        {
            std::string registration = "unregistered";
            for (const std::string& r : gRegistered)
                if (r.rfind(line->getFeedName() + " ", 0) == 0)
                    registration = r;
            out.push_back(line->getName() + " " + registration);
        }
        return out;
    }

    hostrun::Host mHost;
    ModuleList* mList = nullptr;
    Orlu<TerminateAll> mTerminate{"TerminateAll", ""};
    Orlu<MsgPubAdmin> mPubAdmin{"MsgPubAdmin", ""};
    Orlu<RefreshRequest> mRequests{"RefreshRequest", ""};
    std::map<std::string, std::unique_ptr<hostrun::Thread<>>> mThreads;
    std::map<std::string, RecordingMessageHandler*> mHandlers;
    std::map<std::string, LineFilter*> mFilters;
};

const std::string cEnabled = "<LineHandlerZunqRefreshEnabled>true</LineHandlerZunqRefreshEnabled>";

std::string subFeed(const std::string& name, const std::string& body)
{
    return "<" + name + ">" + body + "</" + name + ">";
}

TEST_F(RefreshFactory, LinesOfEachLiveSubFeed)
{
    const std::string field99(99, 'x');
    ASSERT_EQ(start({{"A", "T1"}, {"B", "T1"}, {"C", "T1"}, {"D", "T1"}},
                    cEnabled +
                        "<DefaultMulticastInterface1>127.0.0.1</DefaultMulticastInterface1>"
                        "<DefaultMulticastInterface2>127.0.0.2</DefaultMulticastInterface2>" +
                        subFeed("A", "<FeedRole>LIVE</FeedRole><LiveChannelId>7</LiveChannelId>"
                                     "<RefreshListen>default2/239.1.1.1/5001,/239.1.1.2/5002/unused/more</RefreshListen>"
                                     "<RefreshListen>default1/239.1.1.3/5003</RefreshListen>") +
                        subFeed("B", "<FeedRole>standby</FeedRole><LiveChannelId>8</LiveChannelId>"
                                     "<RefreshListen>/239.2.1.1/5001</RefreshListen>") +
                        // Bad specifications are skipped and take no number.
                        subFeed("C", "<LiveChannelId>9</LiveChannelId>"
                                     "<RefreshListen>eth0/239.3.1.1,127.0.0.9/239.3.1.2/5002," +
                                         std::string(101, 'i') + "/239.3.1.3/5003,/239.3.1.4/" + field99 +
                                         "x</RefreshListen>") +
                        // A live sub-feed without refresh lines has no channel.
                        subFeed("D", "<LiveChannelId>10</LiveChannelId>")),
              "");
    ASSERT_NE(client(), nullptr);
    EXPECT_EQ(lines(7), (std::vector<std::string>{"239.1.1.1:5001 A:r1 127.0.0.2 239.1.1.1:5001",
                                                  "239.1.1.2:5002 A:r2 127.0.0.1 239.1.1.2:5002",
                                                  "239.1.1.3:5003 A:r3 127.0.0.1 239.1.1.3:5003"}));
    EXPECT_TRUE(lines(8).empty());
    EXPECT_EQ(lines(9), (std::vector<std::string>{"239.3.1.2:5002 C:r1 127.0.0.9 239.3.1.2:5002"}));
    EXPECT_TRUE(lines(10).empty());
    EXPECT_EQ(mSink.count("Bad parameter: "), 3);
    EXPECT_EQ(mSink.count("Bad parameter: eth0/239.3.1.1"), 1);
    EXPECT_EQ(mSink.count(" line parameter: 127.0.0.2, 239.1.1.1, 5001"), 1);
    EXPECT_EQ(client()->getMessageHandler(7), mHandlers["A"]);
    EXPECT_EQ(client()->getLineFilter(7), mFilters["A"]);
    EXPECT_EQ(client()->getLineFilter(10), nullptr);
    // Lines are joined only when a refresh asks for them.
    for (LineHandlerMulticast* line : client()->getLines(7))
        EXPECT_EQ(line->getConnectStatus(), LineHandlerMulticast::MC_DISCONNECT);
}

TEST_F(RefreshFactory, OneDefaultInterfaceReplacesBothAndSubFeedsOfAChannelShareItsRecord)
{
    ASSERT_EQ(start({{"A", "T1"}, {"B", "T1"}},
                    cEnabled +
                        "<DefaultMulticastInterface>127.0.0.5</DefaultMulticastInterface>"
                        "<DefaultMulticastInterface2>127.0.0.2</DefaultMulticastInterface2>" +
                        subFeed("A", "<LiveChannelId>7</LiveChannelId><RefreshListen>default2/239.1.1.1/5001"
                                     "</RefreshListen>") +
                        subFeed("B", "<LiveChannelId>7</LiveChannelId><RefreshListen>/239.1.1.2/5002"
                                     "</RefreshListen>")),
              "");
    EXPECT_EQ(lines(7), (std::vector<std::string>{"239.1.1.1:5001 A:r1 127.0.0.5 239.1.1.1:5001",
                                                  "239.1.1.2:5002 B:r1 127.0.0.5 239.1.1.2:5002"}));
    // The later sub-feed's handler and filter serve the channel.
    EXPECT_EQ(client()->getMessageHandler(7), mHandlers["B"]);
    EXPECT_EQ(client()->getLineFilter(7), mFilters["B"]);
}

TEST_F(RefreshFactory, NoClient)
{
    struct Case
    {
        const char* what;
        std::string xml;
        std::vector<std::string> args;
        const char* line;
    };
    const std::string listen = subFeed("A", "<LiveChannelId>7</LiveChannelId><RefreshListen>/239.1.1.1/5001"
                                            "</RefreshListen>");
    const std::vector<Case> cases = {
        {"not enabled", listen, {}, nullptr},
        {"an input file", cEnabled + "<InputFile>/var/feed/day.rec</InputFile>" + listen, {},
         "InitModule<LineHandlerZunqRefresh>: NOT initializing any LineHandlerZunqRefresh objects: we encountered a "
         "--input-file parameter (/var/feed/day.rec)"},
        {"an input given on the command line", cEnabled + listen, {"--input", "day.rec"},
         "we encountered a --input-file parameter (day.rec)"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        const int before = c.line != nullptr ? mSink.count(c.line) : 0;
        ASSERT_EQ(start({{"A", "T1"}}, c.xml, c.args), "");
        EXPECT_EQ(client(), nullptr);
        EXPECT_TRUE(gRegistered.empty());
        if (c.line != nullptr)
        {
            EXPECT_EQ(mSink.count(c.line), before + 1);
        }
    }
    // "--input none" reads no file: the client is built.
    ASSERT_EQ(start({{"A", "T1"}}, cEnabled + "<InputFile>/var/feed/day.rec</InputFile>" + listen, {"--input", "none"}),
              "");
    ASSERT_NE(client(), nullptr);
    EXPECT_EQ(client()->getLines(7).size(), 1u);
}

TEST_F(RefreshFactory, RefusedConfigurations)
{
    struct Case
    {
        const char* what;
        std::vector<SubFeed> subFeeds;
        std::string xml;
        std::string error;
    };
    const std::string a = subFeed("A", "<LiveChannelId>7</LiveChannelId><RefreshListen>/239.1.1.1/5001"
                                       "</RefreshListen>");
    const std::string b = subFeed("B", "<LiveChannelId>8</LiveChannelId><RefreshListen>/239.1.1.2/5002"
                                       "</RefreshListen>");
    std::string tenLines;
    for (int i = 1; i <= 10; ++i)
        tenLines += (i > 1 ? "," : "") + std::string("/239.1.1.") + std::to_string(i) + "/50" + (i < 10 ? "0" : "") +
                    std::to_string(i);
    const std::vector<Case> cases = {
        {"an empty refresh cache", {{"A", "T1"}}, cEnabled + "<RefreshDataCacheSize>0</RefreshDataCacheSize>" + a,
         "InitModule<LineHandlerZunqRefresh>: RefreshDataCacheSize must be at least 1, not 0"},
        {"refresh channels on two threads", {{"A", "T1"}, {"B", "T2"}}, cEnabled + a + b,
         "InitModule<LineHandlerZunqRefresh>(B): refresh channels must share one session thread: sub-feed A runs on "
         "[T1], B on [T2]"},
        {"no channel id", {{"A", "T1"}}, cEnabled + subFeed("A", "<RefreshListen>/239.1.1.1/5001</RefreshListen>"),
         "InitModule<LineHandlerZunqRefresh>: No LiveChannelId defined forA - Mandatory Parameter"},
        {"a default interface longer than a field", {{"A", "T1"}},
         cEnabled + "<DefaultMulticastInterface2>" + std::string(101, 'i') + "</DefaultMulticastInterface2>" + a,
         "InitModule<LineHandlerZunqRefresh>: DefaultMulticastInterface2 is longer than 99 characters"},
        {"a refresh line the line handler refuses", {{"A", "T1"}},
         cEnabled + subFeed("A", "<LiveChannelId>7</LiveChannelId><RefreshListen>/239.1.1.1/nosuchservice"
                                 "</RefreshListen>"),
         "InitModule<LineHandlerZunqRefresh>(A): refresh line /239.1.1.1/nosuchservice: Invalid multicast service "
         "parameter: \"nosuchservice\""},
        {"a time-out of 0", {{"A", "T1"}}, cEnabled + "<RefreshTimeout>0</RefreshTimeout>" + a,
         "InitModule<LineHandlerZunqRefresh>: RefreshTimeout must be 1 to 86400 seconds, not 0"},
        // Feed names are cut to 16 characters: the tenth line's would be the first's.
        {"feed names that are one once cut", {{"SUBFEED012345", "T1"}},
         cEnabled + subFeed("SUBFEED012345", "<LiveChannelId>7</LiveChannelId><RefreshListen>" + tenLines +
                                                 "</RefreshListen>"),
         "InitModule<LineHandlerZunqRefresh>(SUBFEED012345): refresh line /239.1.1.10/5010: Failed to register "
         "multicast receiver [SUBFEED012345:r10], error = 0"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(start(c.subFeeds, c.xml), c.error);
    }
}

TEST_F(RefreshFactory, ARefreshAtStartHoldsRealtimeDataUntilTheFirstRefreshEnds)
{
    ASSERT_EQ(start({{"A", "T1"}}, cEnabled + "<RefreshOnStart>true</RefreshOnStart>" +
                                       subFeed("A", "<LiveChannelId>7</LiveChannelId><RefreshListen>/239.1.1.1/5001"
                                                    "</RefreshListen>")),
              "");
    EXPECT_TRUE(client()->isActive(7));
    EXPECT_TRUE(client()->isSpooling(7));
    EXPECT_EQ(mSink.count("InitModule<LineHandlerZunqRefresh>(A) Sending refresh request at SOD for channel [7]"), 1);
    // Asked to join; it joins once the framework has the line ready.
    EXPECT_EQ(client()->getLines(7).front()->getConnectStatus(), LineHandlerMulticast::MC_DELAY_CONNECT);
    // Requests on the bus reach the client.
    OrluPublisher<RefreshRequest> filter("filter");
    filter.setDestination(&mRequests);
    RefreshRequest cancel;
    cancel.mChannelId = 7;
    cancel.mCancel = true;
    filter.publish(cancel);
    EXPECT_FALSE(client()->isActive(7));
}

} // namespace
