// The retransmission client factory from temporary configuration files:
// which sub-feeds get a client, its hunt list, the live channels it serves,
// the start-up errors with their texts (on module lists built by hand), and
// one whole start-up through the module initializer, where the login line
// module gives the client its user name and the client serves its live
// sub-feed's buses.
#include "../linehandler_modules/ModuleTestSupport.h"
#include "RetransTestSupport.h"

#include "kelmora/recovery/InitLineHandlerZunqRetrans.h"
#include "kelmora/supervision/LineMonitor.h"
#include "kelmora/thread/TarvokSession.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>

using namespace modtest;

namespace
{

const std::string cFactory = "InitModule<LineHandlerZunqRetrans>: ";

std::string liveFeed(const std::string& name, const std::string& more)
{
    return "<" + name + "><LineDataFormat>dravek</LineDataFormat>" + more + "</" + name + ">";
}

std::string retransFeed(const std::string& name, int port, const std::string& more = "")
{
    return "<" + name + "><LineDataFormat>dravek</LineDataFormat><FeedRole>retrans</FeedRole>"
                        "<TcpIpAddress>127.0.0.1</TcpIpAddress><TcpPort>" +
           std::to_string(port) + "</TcpPort>" + more + "</" + name + ">";
}

// ---- the factory alone, on module lists built by hand

class RetransFactory : public ScriptedNet
{
protected:
    // What a sub-feed group holds, as the earlier factories would have made it.
    struct Group
    {
        Group(const std::string& name, Log& log, Runnable& thread)
            : factory("LineDataFactoryDravek(" + name + ")", log), block("LineDataBlock." + name, name),
              requests("RetransRequest." + name, name), complete("RetransComplete." + name, name)
        {
            session.setName(name);
            session.setLog(&log);
            session.setRunnable(&thread);
            monitor = std::make_unique<LineMonitor>(name, &session, &log, nullptr);
        }
        TarvokSession session;
        std::unique_ptr<LineMonitor> monitor;
        LineDataFactoryDravek factory;
        Orlu<LineData> block;
        Orlu<RetransRequest> requests;
        Orlu<RetransComplete> complete;
    };
    struct Parts
    {
        // The thread the sessions name: the clients' timers wait for it.
        hostrun::Host host;
        hostrun::Thread<> thread{host, "RTCFACTORY"};
        Groups subFeeds;
        TarvokSession session;
        Orlu<RefreshRequest> refresh{"RefreshRequest", ""};
        std::map<std::string, std::unique_ptr<Group>> groups;
    };

    // Runs the factory over `subFeeds` configured by `xml`; the start-up
    // error ("" for none).
    std::string run(const Groups& subFeeds, const std::string& xml, std::vector<std::string> args = {},
                    const std::set<std::string>& omit = {})
    {
        ModuleList& l = keptModuleList();
        // Never destroyed, as the program's modules: the clients refer to them.
        static auto* kept = new std::vector<std::unique_ptr<Parts>>();
        Parts& p = *kept->emplace_back(std::make_unique<Parts>());
        p.subFeeds = subFeeds;
        mList = &l;
        mParts = &p;
        registerModule(&l, "Log", &mLog, "default");
        registerModule(&l, "SubFeeds", &p.subFeeds, "default");
        registerModule(&l, "TarvokSession", &p.session, "default");
        registerModule(&l, "OrluRefreshRequest", &p.refresh, "default");
        for (const std::string& name : subFeeds)
        {
            Group& g =
                *p.groups.emplace(name, std::make_unique<Group>(name, mLog, *p.thread.runnable)).first->second;
            auto add = [&](const std::string& module, auto* component) {
                if (omit.count(module) == 0)
                    registerModule(&l, module, component, name);
            };
            add("TarvokSession", &g.session);
            add("LineMonitor", g.monitor.get());
            add("LineDataFactoryDravek", &g.factory);
            add("OrluLineDataBlock", &g.block);
            add("OrluRetransRequest", &g.requests);
            add("OrluRetransComplete", &g.complete);
            rtest::ClientRig::forget(name);
        }
        gTcpRegistered.clear();
        try
        {
            InitModule<LineHandlerZunqRetrans>().createModule(&l, &config(xml, std::move(args)));
        }
        catch (const std::invalid_argument& e)
        {
            return e.what();
        }
        return "";
    }
    LineHandlerZunqRetrans* client(const std::string& group) const
    {
        return findModule<LineHandlerZunqRetrans>(mList, "LineHandlerZunqRetrans", group);
    }
    // Which client a request on `live`'s bus reaches ("" for none).
    std::string servedBy(const std::string& live)
    {
        std::map<const LineHandlerZunqRetrans*, std::size_t> before;
        for (const auto& [name, group] : mParts->groups)
            if (const auto* c = client(name))
                before[c] = c->getQueueSize();
        OrluPublisher<RetransRequest> filter("LineFilter");
        filter.setDestination(&mParts->groups.at(live)->requests);
        filter.publish(RetransRequest(1, 5, "7", false, 0));
        std::string served;
        for (const auto& [name, group] : mParts->groups)
            if (const auto* c = client(name); c != nullptr && c->getQueueSize() != before[c])
                served += (served.empty() ? "" : ",") + name;
        return served;
    }

    ModuleList* mList = nullptr;
    Parts* mParts = nullptr;
};

TEST_F(RetransFactory, ConfigurationErrorsEndStartUpWithTheirTexts)
{
    const std::string live = liveFeed("LIVE", "<LiveChannelId>7</LiveChannelId>");
    const struct
    {
        const char* name;
        Groups subFeeds;
        std::string xml;
        std::set<std::string> omit;
        std::string error;
    } cases[] = {
        {"two without a default", {"LIVE", "R1", "R2"}, live + retransFeed("R1", 7001) + retransFeed("R2", 7002), {},
         cFactory + "No default retransmission sub-feed configured"},
        {"two flagged",
         {"LIVE", "R1", "R2"},
         live + retransFeed("R1", 7001, "<DefaultRetranFeed>true</DefaultRetranFeed>") +
             retransFeed("R2", 7002, "<DefaultRetranFeed>true</DefaultRetranFeed>"),
         {},
         cFactory + "More than 1 default retransmission sub-feed configured"},
        {"an unknown RetranFeed",
         {"LIVE", "R1"},
         liveFeed("LIVE", "<LiveChannelId>7</LiveChannelId><RetranFeed>NOPE</RetranFeed>") + retransFeed("R1", 7001),
         {},
         cFactory + "Invalid retransmission feed configured"},
        {"LiveChannelId 0", {"LIVE", "R1"}, liveFeed("LIVE", "") + retransFeed("R1", 7001), {},
         cFactory + "No LiveChannelId defined forR1 - Mandatory Parameter"},
        {"one channel for two live sub-feeds",
         {"LIVE", "LIVE2", "R1"},
         live + liveFeed("LIVE2", "<LiveChannelId>7</LiveChannelId>") + retransFeed("R1", 7001),
         {},
         cFactory + "LiveChannelId 7 of LIVE2 is served for LIVE already"},
        {"no line monitor", {"LIVE", "R1"}, live + retransFeed("R1", 7001), {"LineMonitor"},
         cFactory + "could not find LineMonitor object"},
        {"no packet factory", {"LIVE", "R1"}, live + retransFeed("R1", 7001), {"LineDataFactoryDravek"},
         cFactory + "could not find LineDataFactoryDravek object"},
        {"no raw bus", {"LIVE", "R1"}, live + retransFeed("R1", 7001), {"OrluLineDataBlock"},
         cFactory + "could not find OrluLineDataBlock object"},
        {"no request bus", {"LIVE", "R1"}, live + retransFeed("R1", 7001), {"OrluRetransRequest"},
         cFactory + "could not find OrluRetransRequest object"},
        {"no completion bus", {"LIVE", "R1"}, live + retransFeed("R1", 7001), {"OrluRetransComplete"},
         cFactory + "could not find RetransComplete object"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(run(c.subFeeds, c.xml, {}, c.omit), c.error) << c.name;
    EXPECT_EQ(mSink.count("livefeed LIVE specified unknown retransmission feed NOPE"), 1);
}

TEST_F(RetransFactory, CasesThatBuildNoClientSaySo)
{
    const std::string live = liveFeed("LIVE", "<LiveChannelId>7</LiveChannelId>");
    const struct
    {
        const char* name;
        Groups subFeeds;
        std::string xml;
        std::vector<std::string> args;
        std::string line;
    } cases[] = {
        {"no sub-feed", {}, "", {}, "NOT initializing any LineHandlerZunqRetrans objects: no subfeed configured"},
        {"no retransmission sub-feed", {"LIVE"}, live, {},
         "NOT initializing any LineHandlerZunqRetrans objects: No retransmission feed configured"},
        {"no live sub-feed", {"R1"}, retransFeed("R1", 7001), {},
         "NOT initializing any LineHandlerZunqRetrans objects: No live feed configured"},
        {"input from a file", {"LIVE", "R1"}, live + retransFeed("R1", 7001), {"--input-file", "day.rec"},
         "NOT initializing any LineHandlerZunqRetrans objects: we encountered a --input-file parameter (day.rec)"},
        {"no address", {"LIVE", "R1"}, live + "<R1><FeedRole>retrans</FeedRole><TcpPort>7001</TcpPort></R1>", {},
         "No TCP configs on Retrans subfeed R1"},
    };
    for (const auto& c : cases)
    {
        EXPECT_EQ(run(c.subFeeds, c.xml, c.args), "") << c.name;
        EXPECT_EQ(mSink.count(c.line), 1) << c.name;
        for (const std::string& group : c.subFeeds)
            EXPECT_EQ(client(group), nullptr) << c.name;
    }
}

// One retransmission sub-feed serves the live sub-feeds that name none; with
// more, each serves those that name it, and one that nobody names and that
// is not the default gets no client.
TEST_F(RetransFactory, EachLiveSubFeedIsServedByItsRetransmissionSubFeed)
{
    ASSERT_EQ(run({"LIVE", "R1"}, liveFeed("LIVE", "<LiveChannelId>7</LiveChannelId>") + retransFeed("R1", 7001)), "");
    ASSERT_NE(client("R1"), nullptr);
    EXPECT_EQ(servedBy("LIVE"), "R1");
    // Under the names the login and TCP line modules look up.
    EXPECT_EQ(findModule<LineHandlerLogin>(mList, "LineHandlerLogin", "R1"), client("R1"));
    EXPECT_EQ(findModule<LineHandlerTcp>(mList, "LineHandlerTcp", "R1"), client("R1"));
    EXPECT_EQ(findModule<LineHandler>(mList, "LineHandler", "R1"), client("R1"));
    EXPECT_EQ(client("R1")->OrluPublisher<RefreshRequest>::getDestination(), &mParts->refresh);

    ASSERT_EQ(run({"LA", "LB", "R1", "R2", "R3"},
                  liveFeed("LA", "<LiveChannelId>7</LiveChannelId><RetranFeed>R2</RetranFeed>") +
                      liveFeed("LB", "<LiveChannelId>8</LiveChannelId><RetranFeed>R1</RetranFeed>") +
                      retransFeed("R1", 7001) + retransFeed("R2", 7002) + retransFeed("R3", 7003)),
              "");
    EXPECT_EQ(servedBy("LA"), "R2");
    EXPECT_EQ(servedBy("LB"), "R1");
    EXPECT_EQ(client("R3"), nullptr);

    // The flagged one is the default of those that name none.
    ASSERT_EQ(run({"LA", "LB", "R1", "R2"},
                  liveFeed("LA", "<LiveChannelId>7</LiveChannelId>") +
                      liveFeed("LB", "<LiveChannelId>8</LiveChannelId><RetranFeed>R1</RetranFeed>") +
                      retransFeed("R1", 7001) + retransFeed("R2", 7002, "<DefaultRetranFeed>true</DefaultRetranFeed>")),
              "");
    EXPECT_EQ(servedBy("LA"), "R2");
    EXPECT_EQ(servedBy("LB"), "R1");
}

// A sub-feed of another format takes no part, even with the default role:
// no channel id is asked of it and its gaps reach no client.
TEST_F(RetransFactory, ASubFeedOfAnotherFormatTakesNoPart)
{
    ASSERT_EQ(run({"BLK", "LIVE", "R1"}, "<BLK><LineDataFormat>block</LineDataFormat></BLK>" +
                                             liveFeed("LIVE", "<LiveChannelId>7</LiveChannelId>") +
                                             retransFeed("R1", 7001)),
              "");
    EXPECT_EQ(mSink.count("Sub-feed [BLK] is not an ZUNQ multicast data feed."), 1);
    EXPECT_EQ(mSink.count("Checking live subfeed: BLK"), 0);
    EXPECT_EQ(servedBy("BLK"), "");
    EXPECT_EQ(servedBy("LIVE"), "R1");
}

TEST_F(RetransFactory, BackupConnectionsFollowThePrimaryInTheHuntList)
{
    ASSERT_EQ(run({"LIVE", "R1"},
                  liveFeed("LIVE", "<LiveChannelId>7</LiveChannelId>") +
                      retransFeed("R1", 7001,
                                  "<RetransBackupConnections><Value>127.0.0.2/7002</Value><Value>nohost</Value>"
                                  "<Value>127.0.0.3/7003</Value></RetransBackupConnections>")),
              "");
    EXPECT_EQ(gTcpRegistered,
              (std::vector<std::string>{"R1:0 127.0.0.1:7001", "R1:1 127.0.0.2:7002", "R1:2 127.0.0.3:7003"}));
    EXPECT_EQ(mSink.count("InitModule<LineHandlerZunqRetrans>(R1): Illegal address/port (nohost)"), 1);
}

// The request time-out is read in seconds, fractions kept to the
// millisecond; a value that could never let a range be answered, or that
// would not fit, ends start-up.
TEST_F(RetransFactory, TheRequestTimeOutIsReadInSecondsWithinItsBounds)
{
    const struct
    {
        const char* value; // nullptr: not configured
        unsigned int millis;
        bool refused;
    } cases[] = {
        {nullptr, 60000, false}, {"2.5", 2500, false}, {"0.001", 1, false}, {"86400", 86400000, false},
        {"0", 0, true},          {"-1", 0, true},      {"86401", 0, true},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.value != nullptr ? c.value : "default");
        const std::string more =
            c.value != nullptr ? std::string("<RetransRequestTimeout>") + c.value + "</RetransRequestTimeout>" : "";
        const std::string error =
            run({"LIVE", "R1"}, liveFeed("LIVE", "<LiveChannelId>7</LiveChannelId>") + retransFeed("R1", 7001, more));
        if (c.refused)
        {
            EXPECT_EQ(error, cFactory.substr(0, cFactory.size() - 2) +
                                 "(R1): RetransRequestTimeout must be from 0.001 to 86400 seconds");
            continue;
        }
        ASSERT_EQ(error, "");
        ASSERT_NE(client("R1"), nullptr);
        EXPECT_EQ(client("R1")->getRequestTimeout(), c.millis);
    }
}

// ---- one whole start-up through the module initializer

// Network calls that take every send, recorded.
inline std::string gSent;
const NetworkApi cSending{
    [](StructParamType t, void* p, int n) { return ::initStructParam(t, p, n); },
    [](const TcpConnParam* p) {
        gTcpRegistered.push_back(std::string(p->connNameTxt) + " " + p->remoteAddrTxt + ":" +
                                 std::to_string(p->remotePort));
        return 0;
    },
    [](const TcpConnParam*) { return -1; },
    [](const UdpConnParam*) { return -1; },
    [](const UdpConnParam*) { return 0; },
    [](const UdpConnParam*) { return -1; },
    [](const IpcParam*) { return -1; },
    [](const char*, FwEventID, AppEventParam*) { return 0; },
    [](const char*, const char* data, int length, char (*)[17], bool) {
        gSent.append(data, static_cast<std::size_t>(length));
        return length;
    },
    [](const char*, const char*, int, char (*)[17], bool) { return -1; },
    [](const char*, const char*, int) { return -1; },
    [] { return 0; },
    [](const char*, FwEventID, AppEventParam*) { return -1; },
};

class RetransStartUp : public StartUp
{
};

TEST_F(RetransStartUp, TheClientGetsItsLoginSettingsAndServesTheLiveBuses)
{
    NetworkApi::install(&cSending);
    gSent.clear();
    rtest::ClientRig::forget("RETR");
    start({"LIVE", "RETR"}, liveFeed("LIVE", "<LiveChannelId>7</LiveChannelId>") +
                                retransFeed("RETR", 7001,
                                            "<LineHandlerType>login</LineHandlerType>"
                                            "<LoginUsername>bob</LoginUsername>"
                                            "<MaxRetransRequestRange>4</MaxRetransRequestRange>"
                                            "<LineHandlerZunqRefreshEnabled>true</LineHandlerZunqRefreshEnabled>"));
    auto* client = findModule<LineHandlerZunqRetrans>(mUsed, "LineHandlerZunqRetrans", "RETR");
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(findModule<LineHandlerLogin>(mUsed, "LineHandlerLogin", "RETR"), client);
    EXPECT_EQ(client->getUserName(), "bob");
    EXPECT_EQ(client->OrluPublisher<RefreshRequest>::getDestination(),
              findModule<Orlu<RefreshRequest>>(mUsed, "OrluRefreshRequest", mUsed->defaultGroup()));
    auto setting = [](std::string name, const std::string& value) {
        name = "    " + name + ":";
        return name + std::string(45 - name.size(), ' ') + value;
    };
    EXPECT_EQ(mSink.count(setting("TraceRetransCommunications", "false")), 1);
    EXPECT_EQ(mSink.count(setting("RefreshEnabled", "true")), 1);
    EXPECT_EQ(mSink.count(setting("MaxRetransRequestRange", "4")), 1);

    // The live sub-feed's request bus reaches the client; the packets and the
    // completion come back on the live sub-feed's raw and completion buses.
    rtest::LiveChannel seen("seen");
    auto* block = findModule<Orlu<LineData>>(mUsed, "OrluLineDataBlock", "LIVE");
    auto* complete = findModule<Orlu<RetransComplete>>(mUsed, "OrluRetransComplete", "LIVE");
    block->subscribe(&seen);
    complete->subscribe(&seen);
    client->onReadyToConnect();
    client->onConnect();
    const std::string logon = gSent;
    ASSERT_EQ(logon.size(), 32u);
    EXPECT_EQ(logon.substr(20, 12), std::string("bob\0\0\0\0\0\0\0\0\0", 12));
    const std::string ok = rtest::logonResponse(0, 1);
    client->onNetworkData(ok.data(), static_cast<unsigned int>(ok.size()));
    OrluPublisher<RetransRequest> filter("LineFilter");
    filter.setDestination(findModule<Orlu<RetransRequest>>(mUsed, "OrluRetransRequest", "LIVE"));
    filter.publish(RetransRequest(1, 3, "7", false, 0));
    ASSERT_EQ(gSent.size(), 64u);
    EXPECT_EQ(rtest::get32(gSent.data() + 32 + 24), 1u);
    EXPECT_EQ(rtest::get32(gSent.data() + 32 + 28), 3u);
    const std::string answer = rtest::retransResponse(7, 0, 1, 3, 2) + rtest::dataPackets(1, 3, 3);
    client->onNetworkData(answer.data(), static_cast<unsigned int>(answer.size()));
    block->unsubscribe(&seen);
    complete->unsubscribe(&seen);
    std::vector<std::uint32_t> got;
    ASSERT_TRUE(seen.messages(got));
    EXPECT_EQ(got, (std::vector<std::uint32_t>{1, 2, 3}));
    EXPECT_EQ(seen.completes, (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{1, 3}}));
    NetworkApi::install(nullptr);
}

} // namespace
