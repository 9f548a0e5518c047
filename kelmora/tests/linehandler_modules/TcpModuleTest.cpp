// The TCP line module from temporary configurations through the process's
// module initializer, with the framework's network calls recorded: which
// sub-feeds get a line, its connection, framing, channels, monitoring and
// admin methods, the command-line overrides and the settings log; and the
// start-up errors on hand-built lists.
#include "ModuleTestSupport.h"

#include "kelmora/linedata/LineDataFactoryBasic.h"
#include "kelmora/linehandler/InitLineHandlerTcp.h"
#include "kelmora/supervision/LineMonitor.h"
#include "kelmora/thread/TarvokSession.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

using namespace modtest;

namespace
{

// Every record published on the channels it is subscribed to, by channel name.
struct Records : OrluSubscriber<LineData>
{
    Records() : OrluSubscriber<LineData>("records") {}
    void onData(const Orlu<LineData>& orlu, const std::string&, const LineData& d) override
    {
        seen[orlu.getName()].emplace_back(d.getData(), d.getDataLen());
    }
    std::map<std::string, std::vector<std::string>> seen;
};

const std::string cTcpA = "<TcpIpAddress>127.0.0.5</TcpIpAddress><TcpPort>7001</TcpPort>";

class TcpStartUp : public StartUp
{
protected:
    LineHandlerTcp* line(const std::string& subFeed) const
    {
        return findModule<LineHandlerTcp>(mUsed, "LineHandlerTcp", subFeed);
    }
    // What the line of `subFeed` publishes for `bytes` from its server, by channel.
    std::map<std::string, std::vector<std::string>> framed(const std::string& subFeed, const std::string& bytes)
    {
        Records records;
        auto* raw = findModule<Orlu<LineData>>(mUsed, "OrluLineDataBlock", subFeed);
        auto* filtered = findModule<Orlu<LineData>>(mUsed, "OrluLineData", subFeed);
        raw->subscribe(&records);
        filtered->subscribe(&records);
        line(subFeed)->onReadyToConnect();
        line(subFeed)->onConnect();
        line(subFeed)->onNetworkData(bytes.data(), static_cast<unsigned int>(bytes.size()));
        raw->unsubscribe(&records);
        filtered->unsubscribe(&records);
        // What the line filter passes on from the raw channel is its own business.
        if (line(subFeed)->OrluPublisher<LineData>::getOrluName() == raw->getName())
            records.seen.erase(filtered->getName());
        return records.seen;
    }
};

TEST_F(TcpStartUp, EachTcpSubFeedGetsOneConfiguredLine)
{
    // Records of any text: the framing alone is looked at.
    start({"A", "B", "C", "D", "E", "M", "N"},
          "<LineDataFormat>basic</LineDataFormat><A><LineHandlerType>Multicast</LineHandlerType><LineHandlerType>TCP</LineHandlerType>" + cTcpA +
              "<TcpMessageSeparator>a</TcpMessageSeparator></A>"
              "<B><LineHandlerType>tcp</LineHandlerType><TcpIpAddress>127.0.0.1</TcpIpAddress><TcpPort>7002</TcpPort>"
              "<TcpMessageSeparator>10</TcpMessageSeparator><TcpUseLineDataBlock>false</TcpUseLineDataBlock>"
              "<TcpConnectOnStartUp>false</TcpConnectOnStartUp></B>"
              "<C><LineHandlerType>tcp</LineHandlerType><TcpIpAddress>127.0.0.1</TcpIpAddress><TcpPort>7003</TcpPort>"
              "<TcpMessageSeparator>0x0a</TcpMessageSeparator></C>"
              "<D><LineHandlerType>tcp</LineHandlerType><TcpIpAddress>127.0.0.1</TcpIpAddress><TcpPort>7004</TcpPort>"
              "<TcpMessageSeparator>7</TcpMessageSeparator><LineMonitorInitState>false</LineMonitorInitState></D>"
              "<E><LineHandlerType>tcp</LineHandlerType><TcpIpAddress>127.0.0.1</TcpIpAddress><TcpPort>7005</TcpPort>"
              "<TcpMessageSeparator>x</TcpMessageSeparator>"
              "<TcpMessageSeparatorString>&lt;EOM&gt;</TcpMessageSeparatorString></E>"
              "<M><LineHandlerType>multicast</LineHandlerType><LineHandlerType>tcp</LineHandlerType>"
              "<TcpIpAddress>127.0.0.1</TcpIpAddress><TcpPort>7006</TcpPort><Listen>/239.1.1.1/1</Listen></M>"
              "<N><LineHandlerType>multicast</LineHandlerType><TcpIpAddress>127.0.0.1</TcpIpAddress>"
              "<TcpPort>7007</TcpPort></N>");

    // A sub-feed with a multicast line keeps only that line; N is no TCP sub-feed.
    EXPECT_EQ(gTcpRegistered, (std::vector<std::string>{"A:0 127.0.0.5:7001", "B:0 127.0.0.1:7002",
                                                        "C:0 127.0.0.1:7003", "D:0 127.0.0.1:7004",
                                                        "E:0 127.0.0.1:7005"}));
    EXPECT_EQ(gRegistered, (std::vector<std::string>{"M:1 127.0.0.1 239.1.1.1:1"}));
    EXPECT_EQ(mSink.count("InitModule<LineHandlerTcp>(M): found an existing non-TCP LineHandler instance"), 1);
    EXPECT_EQ(line("M"), nullptr);
    EXPECT_EQ(line("N"), nullptr);

    // Monitoring as the line monitor starts it.
    const LineStatus* watched = findModule<LineMonitor>(mUsed, "LineMonitor", "A")->getLineStatus("127.0.0.5:7001");
    ASSERT_NE(watched, nullptr);
    EXPECT_EQ(watched->str(), std::string("wait"));
    const LineStatus* unwatched = findModule<LineMonitor>(mUsed, "LineMonitor", "D")->getLineStatus("127.0.0.1:7004");
    ASSERT_NE(unwatched, nullptr);
    EXPECT_EQ(unwatched->str(), std::string("off"));

    // Framing: one character, decimal and hexadecimal numbers, a digit as
    // itself, and a separator string over a character.
    const std::string rawA = "LineDataBlock.A", rawB = "LineDataBlock.B", filteredB = "LineData.B";
    const struct
    {
        const char* subFeed;
        std::string bytes;
        std::map<std::string, std::vector<std::string>> published;
    } frames[] = {
        {"A", "xayaz", {{rawA, {"xa", "ya"}}}},
        {"B", "one\ntwo\n", {{filteredB, {"one\n", "two\n"}}}},
        {"C", "one\ntwo", {{"LineDataBlock.C", {"one\n"}}}},
        {"D", "1727", {{"LineDataBlock.D", {"17", "27"}}}},
        {"E", "axb<EOM>c<EOM>", {{"LineDataBlock.E", {"axb<EOM>", "c<EOM>"}}}},
    };
    for (const auto& f : frames)
    {
        SCOPED_TRACE(f.subFeed);
        ASSERT_NE(line(f.subFeed), nullptr);
        EXPECT_EQ(framed(f.subFeed, f.bytes), f.published);
    }
    EXPECT_EQ(line("B")->OrluPublisher<LineData>::getOrluName(), filteredB);

    // Names, channels, monitoring, admin methods, the first connection.
    LineHandlerTcp* a = line("A");
    EXPECT_EQ(a->getName(), "127.0.0.5:7001");
    EXPECT_EQ(a->getFeedName(), "A");
    EXPECT_EQ(findModule<LineHandler>(mUsed, "LineHandler", "A"), a);
    EXPECT_EQ(a->OrluPublisher<LineHeartbeat>::getOrluName(), "LineHeartbeat.A");
    EXPECT_EQ(a->OrluPublisher<LineStatus>::getOrluName(), "LineStatus.A");
    EXPECT_EQ(a->OrluPublisher<SystemEvent>::getOrluName(), "SystemEvent.A");
    EXPECT_EQ(a->OrluPublisher<TerminateAll>::getOrluName(), "TerminateAll");
    EXPECT_EQ(methods("A",
                      [](const std::string& m) {
                          return m.find("isconnect") != std::string::npos ||
                                 m.find("FileDescBuffer") != std::string::npos;
                      }),
              (std::vector<std::string>{"disconnectTcpFeed", "disconnect", "getFileDescBufferStats",
                                        "resetFileDescBufferStats"}));
    // B does not connect at start-up.
    EXPECT_EQ(mSink.count("LineHandlerTcp::startReconnectTimer() creating connect timer"), 4);

    EXPECT_EQ(mSink.count("InitModule<LineHandlerTcp>(A):\n"
                          "    TcpIpAddress:              127.0.0.5\n"
                          "    TcpPort:                   7001\n"
                          "    TcpNonBlockingConnect:     true\n"
                          "    TcpTryReconnect:           true\n"
                          "    TcpConnectDelay:           1000\n"
                          "    TcpConnectDelayMax:        60000\n"
                          "    TcpReceiveBufferSize:      0\n"
                          "    TcpMinMessageBufferSize:   262144\n"
                          "    TcpAnyFailOk:              false\n"
                          "    TcpTempFailOk:             true\n"
                          "    TcpConnectedMeansLineUp:   false\n"
                          "    TcpMessageSeparator:       a\n"
                          "    TcpMessageSeparatorString: \n"
                          "    MessageRecoveryFile:       feedd.msg\n"
                          "    TcpDataIsDeflated:         false\n"
                          "    TcpSendHeartBeats:         false\n"
                          "    TcpUseRecoveryFile:        false\n"
                          "    TcpHeartbeatInterval:      30\n"
                          "    TcpUseLineDataBlock:       true"),
              1);
}

TEST_F(TcpStartUp, CommandLineAddressAndPortWinInEverySubFeed)
{
    start({"A", "B"},
          "<A><LineHandlerType>tcp</LineHandlerType>" + cTcpA + "</A><B><LineHandlerType>tcp</LineHandlerType></B>",
          {"--tcp-ip-address", "127.0.0.9", "--tcp-port", "7100"});
    EXPECT_EQ(gTcpRegistered, (std::vector<std::string>{"A:0 127.0.0.9:7100", "B:0 127.0.0.9:7100"}));
    EXPECT_EQ(line("B")->getName(), "127.0.0.9:7100");
}

// ---- errors and skipped sub-feeds on module lists built by hand

class TcpErrors : public ScriptedNet
{
protected:
    struct Parts
    {
        explicit Parts(Log& log) : factory("records", log) {}
        Groups subFeeds{"A"};
        TarvokSession session;
        KeshSession kesh;
        Orlu<LineData> data{"LineData.A", "A"};
        Orlu<LineHeartbeat> heartbeat{"LineHeartbeat.A", "A"};
        Orlu<LineStatus> status{"LineStatus.A", "A"};
        Orlu<SystemEvent> event{"SystemEvent.A", "A"};
        LineDataFactoryBasic factory;
        std::unique_ptr<LineMonitor> monitor;
    };

    // The start-up error ("" for none); `before` adds to the list first.
    std::string error(const std::set<std::string>& omit, const std::string& xml, std::vector<std::string> args = {},
                      const std::function<void(ModuleList&, Parts&)>& before = {})
    {
        ModuleList& l = keptModuleList();
        static std::vector<std::unique_ptr<Parts>> kept;
        Parts& p = *kept.emplace_back(std::make_unique<Parts>(mLog));
        p.monitor = std::make_unique<LineMonitor>("A", &p.session, &mLog, nullptr);
        auto add = [&](const std::string& name, auto* module, const std::string& group) {
            if (omit.count(name) == 0)
                registerModule(&l, name, module, group);
        };
        add("Log", &mLog, "default");
        add("SubFeeds", &p.subFeeds, "default");
        add("LineDataFactory", static_cast<LineDataFactory*>(&p.factory), "A");
        add("LineMonitor", p.monitor.get(), "A");
        add("KeshSession", &p.kesh, "A");
        add("OrluLineData", &p.data, "A");
        add("OrluLineHeartbeat", &p.heartbeat, "A");
        add("OrluLineStatus", &p.status, "A");
        add("OrluSystemEvent", &p.event, "A");
        add("TarvokSession", &p.session, "A");
        if (before)
            before(l, p);
        mList = &l;
        forgetFeeds();
        try
        {
            InitModule<LineHandlerTcp>().createModule(&l, &config(xml, std::move(args)));
        }
        catch (const std::invalid_argument& e)
        {
            return e.what();
        }
        return "";
    }
    ModuleList* mList = nullptr;
};

TEST_F(TcpErrors, MissingModulesAndBadSettingsEndStartUp)
{
    const std::string tcp = "<LineHandlerType>tcp</LineHandlerType>";
    const std::string ok = "<A>" + tcp + cTcpA + "</A>";
    auto with = [&](const std::string& more) { return "<A>" + tcp + cTcpA + more + "</A>"; };
    const std::string at = "InitModule<LineHandlerTcp>(A): ";
    const std::string badSeparator = at + "TcpMessageSeparator must be a number or length must be 1";
    const struct
    {
        std::set<std::string> omit;
        std::string xml, error;
    } cases[] = {
        {{}, ok, ""},
        {{"Log", "SubFeeds"}, ok, "InitModule<LineHandlerTcp>: could not find Log object"},
        {{"LineDataFactory", "LineMonitor"}, ok, at + "could not find LineDataFactory object"},
        {{"LineMonitor", "KeshSession"}, ok, at + "could not find LineMonitor object"},
        {{"KeshSession", "OrluLineData"}, ok, at + "could not find KeshSession object"},
        {{"OrluLineData", "OrluLineHeartbeat"}, ok, at + "could not find OrluLineData object"},
        {{"OrluLineHeartbeat", "OrluLineStatus"}, ok, at + "could not find OrluLineHeartbeat object"},
        {{"OrluLineStatus", "OrluSystemEvent"}, ok, at + "could not find OrluLineStatus object"},
        {{"OrluSystemEvent", "TarvokSession"}, ok, at + "could not find OrluSystemEvent object"},
        {{"TarvokSession"}, ok, at + "could not find TarvokSession object"},
        {{}, "<A>" + tcp + "<TcpPort>7001</TcpPort></A>", at + "must provide TCP options"},
        {{}, "<A>" + tcp + "<TcpIpAddress>127.0.0.1</TcpIpAddress></A>", at + "must provide TCP options"},
        {{}, with("<TcpMessageSeparator>256</TcpMessageSeparator>"), badSeparator},
        {{}, with("<TcpMessageSeparator>abc</TcpMessageSeparator>"), badSeparator},
        // Neither cut to its low byte nor read in part.
        {{}, with("<TcpMessageSeparator>257</TcpMessageSeparator>"), badSeparator},
        {{}, with("<TcpMessageSeparator>10x</TcpMessageSeparator>"), badSeparator},
        {{}, with("<TcpMessageSeparatorString>" + std::string(29, '#') + "</TcpMessageSeparatorString>"),
         at + "TcpMessageSeparatorString is longer than 28 characters"},
        {{}, with("<TcpMessageSeparatorString>" + std::string(28, '#') + "</TcpMessageSeparatorString>"), ""},
        {{}, with("<TcpConnectDelay>-1</TcpConnectDelay>"), at + "TcpConnectDelay must be from 0 to 4294967295"},
        {{}, with("<TcpMinMessageBufferSize>-5</TcpMinMessageBufferSize>"),
         at + "TcpMinMessageBufferSize must be from 0 to 4294967295"},
        // Not a TCP sub-feed: its modules are not needed.
        {{"LineDataFactory"}, "<A><LineHandlerType>multicast</LineHandlerType></A>", ""},
        {{"SubFeeds", "LineDataFactory"}, ok, ""},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.xml + " without " + (c.omit.empty() ? "nothing" : *c.omit.begin()));
        EXPECT_EQ(error(c.omit, c.xml), c.error);
    }
    gRefuseTcp = true;
    EXPECT_EQ(error({}, ok), at + "failed to register TCP Client Service");
}

TEST_F(TcpErrors, AReplayingProcessBuildsNoLine)
{
    const std::string ok = "<A><LineHandlerType>tcp</LineHandlerType>" + cTcpA + "</A>";
    const std::string notAny = "InitModule<LineHandlerTcp>: NOT initializing any LineHandlerTcp objects: ";
    const struct
    {
        std::string xml;
        std::vector<std::string> args;
        std::string log; // empty: the line is built
    } cases[] = {
        {"<InputFile>day.dat</InputFile>" + ok, {}, notAny + "we encountered an --input-file parameter (day.dat)"},
        {"<InputFile>day.dat</InputFile>" + ok, {"--input", "other.dat"},
         notAny + "we encountered an --input-file parameter (other.dat)"},
        {"<InputFile>none</InputFile>" + ok, {}, ""},
        {"<InputFile>day.dat</InputFile>" + ok, {"--input", "none"}, ""},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.log);
        gTcpRegistered.clear();
        const int before = c.log.empty() ? 0 : mSink.count(c.log);
        EXPECT_EQ(error({}, c.xml, c.args), "");
        EXPECT_EQ(gTcpRegistered.size(), c.log.empty() ? 1u : 0u);
        if (!c.log.empty())
        {
            EXPECT_EQ(mSink.count(c.log) - before, 1);
        }
    }
}

TEST_F(TcpErrors, TheRecoveryFileIsOpenedOnlyWhenAskedFor)
{
    const std::string file = mDir.write("lines.msg", "");
    const std::string any = "LineHandler::writeRecoveryFile(): opening recovery file: ";
    const std::string opened = any + "\"" + file + "\"";
    const struct
    {
        const char* use;
        int opened;
    } cases[] = {{"true", 1}, {"false", 0}};
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.use);
        const int before = mSink.count(opened), beforeAny = mSink.count(any);
        ASSERT_EQ(error({}, "<A><LineHandlerType>tcp</LineHandlerType>" + cTcpA + "<TcpUseRecoveryFile>" + c.use +
                                "</TcpUseRecoveryFile><MessageRecoveryFile>" + file + "</MessageRecoveryFile></A>"),
                  "");
        auto* line = findModule<LineHandlerTcp>(mList, "LineHandlerTcp", "A");
        ASSERT_NE(line, nullptr);
        line->onReadyToConnect();
        line->onConnect();
        EXPECT_EQ(mSink.count(opened) - before, c.opened);
        EXPECT_EQ(mSink.count(any) - beforeAny, c.opened);
        line->disconnect();
    }
}

TEST_F(TcpErrors, ASubFeedListedTwiceIsConfiguredAgainNotDoubled)
{
    EXPECT_EQ(error({}, "<A><LineHandlerType>tcp</LineHandlerType>" + cTcpA + "</A>", {},
                    [](ModuleList&, Parts& p) { p.subFeeds = {"A", "A"}; }),
              "");
    auto* made = findModule<LineHandlerTcp>(mList, "LineHandlerTcp", "A");
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(gTcpRegistered, (std::vector<std::string>{"A:0 127.0.0.5:7001"}));
    EXPECT_EQ(mSink.count("InitModule<LineHandlerTcp>(A): found an existing LineHandlerTcp instance"), 1);
    EXPECT_EQ(mSink.count("InitModule<LineHandlerTcp>(A):\n    TcpIpAddress:"), 2);
    EXPECT_EQ(made->getConnectionInfo().mName, "A:0");
}

TEST_F(TcpErrors, ATcpLineAnotherModuleRegisteredIsLeftAlone)
{
    std::unique_ptr<LineHandlerTcp> theirs;
    Orlu<LineData> theirChannel{"Theirs", "A"};
    EXPECT_EQ(error({}, "<A><LineHandlerType>tcp</LineHandlerType>" + cTcpA + "</A>", {},
                    [&](ModuleList& l, Parts& p) {
                        theirs = std::make_unique<LineHandlerTcp>(p.factory, p.session, mLog);
                        theirs->setName("theirs");
                        theirs->OrluPublisher<LineData>::setDestination(&theirChannel);
                        registerModule<LineHandlerTcp>(&l, "LineHandlerTcp", theirs.get(), "A");
                        registerModule<LineHandler>(&l, "LineHandler", theirs.get(), "A");
                    }),
              "");
    EXPECT_TRUE(gTcpRegistered.empty());
    EXPECT_EQ(theirs->getName(), "theirs");
    EXPECT_EQ(theirs->OrluPublisher<LineData>::getOrluName(), "Theirs");
    EXPECT_EQ(mSink.count("InitModule<LineHandlerTcp>(A): found a LineHandlerTcp another module registered; "
                          "leaving it as it is"),
              1);
}

} // namespace
