// The multicast line module from temporary configurations through the
// process's module initializer, with the framework's network calls scripted:
// which lines each Listen value or block makes, how they join, how the line
// monitor watches them, their bindings, controller entries, individual map
// entries and admin methods; and the start-up errors on hand-built lists.
#include "ModuleTestSupport.h"

#include "kelmora/linecontrol/IndividualLineMap.h"
#include "kelmora/linedata/LineDataFactoryBasic.h"
#include "kelmora/linehandler/InitLineHandlerMulticast.h"
#include "kelmora/supervision/LineMonitor.h"
#include "kelmora/thread/TarvokSession.h"

#include <gtest/gtest.h>

#include <list>
#include <memory>
#include <set>

using namespace modtest;

namespace
{

class MulticastStartUp : public StartUp
{
protected:
    // One line: "<feed> <interface> <group>:<port> <joined|waits> <monitor state>".
    std::string line(const std::string& feed, const std::string& registration, const std::string& name)
    {
        auto* handler = dynamic_cast<LineHandlerMulticast*>(mMap->getIndividualLine(name));
        if (handler == nullptr)
            return "no line " + name;
        const LineStatus* status = findModule<LineMonitor>(mUsed, "LineMonitor", feed.substr(0, feed.find(':')))->getLineStatus(name);
        const auto joins = handler->getConnectStatus() == LineHandlerMulticast::MC_DELAY_CONNECT ? " joins" : " waits";
        return feed + " " + registration + joins + " " + (status == nullptr ? "unwatched" : status->str());
    }

    // Every line built, in order of building.
    std::vector<std::string> lines()
    {
        std::vector<std::string> out;
        for (const std::string& r : gRegistered)
        {
            const std::string feed = r.substr(0, r.find(' '));
            const std::string rest = r.substr(r.find(' ') + 1);
            const std::string name = rest.substr(rest.find(' ') + 1);
            out.push_back(line(feed, rest, name));
        }
        return out;
    }

};

TEST_F(MulticastStartUp, ListenValues)
{
    // One sub-feed per case; the line names differ across sub-feeds.
    struct Case
    {
        const char* subFeed;
        const char* what;
        std::string section;
        std::vector<std::string> lines;
    };
    const std::string field100(100, 'x');
    const std::string multicast = "<LineHandlerType>tcp</LineHandlerType><LineHandlerType>Multicast</LineHandlerType>";
    const std::vector<Case> cases = {
        {"A", "two entries, default2 and an empty interface",
         "<Listen>default2/239.1.1.1/12345,/239.1.1.2/12346</Listen>",
         {"A:1 127.0.0.2 239.1.1.1:12345 joins wait", "A:2 127.0.0.1 239.1.1.2:12346 joins wait"}},
        {"B", "bad entries are skipped and take no number",
         "<Listen>eth0/239.2.1.9,default1/239.2.1.1/12345,/239.2.1.8/,127.0.0.4/239.2.1.2/12346</Listen>",
         {"B:1 127.0.0.1 239.2.1.1:12345 joins wait", "B:2 127.0.0.4 239.2.1.2:12346 joins wait"}},
        {"C", "monitorOff keeps only its own line from joining",
         "<MulticastMonitorOffEqualDownOnInit>true</MulticastMonitorOffEqualDownOnInit>"
         "<Listen>/239.3.1.1/1/monitorOff,/239.3.1.2/2/monitoroff,/239.3.1.3/3</Listen>",
         {"C:1 127.0.0.1 239.3.1.1:1 waits dsbl", "C:2 127.0.0.1 239.3.1.2:2 joins wait",
          "C:3 127.0.0.1 239.3.1.3:3 joins wait"}},
        {"D", "monitorOff alone still joins", "<Listen>/239.4.1.1/1/monitorOff</Listen>",
         {"D:1 127.0.0.1 239.4.1.1:1 joins dsbl"}},
        {"E", "no joining at set-up, monitor off at start",
         "<LineMonitorInitState>false</LineMonitorInitState><MulticastConnectOnInit>false</MulticastConnectOnInit>"
         "<Listen>/239.5.1.1/1</Listen>",
         {"E:1 127.0.0.1 239.5.1.1:1 waits off"}},
        {"F", "a 100-character field is refused whole and later entries are read",
         "<Listen>" + field100 + "/239.6.1.1/1,/239.6.1.2/2</Listen><Listen>/239.6.1.3/" + field100 + "</Listen>",
         {"F:1 127.0.0.1 239.6.1.2:2 joins wait"}},
        {"G", "a line the handler refuses is dropped", "<Listen>/239.7.1.1/nosuchservice,/239.7.1.2/2</Listen>",
         {"G:2 127.0.0.1 239.7.1.2:2 joins wait"}},
    };
    std::vector<std::string> names{"T"};
    std::string xml = "<T><LineHandlerType>tcp</LineHandlerType><TcpIpAddress>127.0.0.1</TcpIpAddress><TcpPort>9</TcpPort><Listen>/239.9.9.9/9</Listen></T>";
    for (const Case& c : cases)
    {
        names.push_back(c.subFeed);
        xml += std::string("<") + c.subFeed + ">" + multicast + c.section + "</" + c.subFeed + ">";
    }
    start(names, xml);
    const std::vector<std::string> all = lines();
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        std::vector<std::string> mine;
        for (const std::string& l : all)
            if (l.rfind(std::string(c.subFeed) + ":", 0) == 0)
                mine.push_back(l);
        EXPECT_EQ(mine, c.lines);
    }
    EXPECT_EQ(all.size(), 11u);
    EXPECT_EQ(mSink.count("Bad parameter: "), 4);
    EXPECT_EQ(mSink.count("Bad parameter: /239.2.1.8/"), 1);
    EXPECT_EQ(mSink.count("LineError: Invalid multicast service parameter: \"nosuchservice\""), 1);
    EXPECT_EQ(mSink.count(" line parameter: 127.0.0.2, 239.1.1.1, 12345"), 1);
    EXPECT_EQ(mSink.count("got subfeed T"), 0);
}

TEST_F(MulticastStartUp, OneDefaultInterfaceReplacesBoth)
{
    start({"A"},
          "<DefaultMulticastInterface>127.0.0.3</DefaultMulticastInterface>"
          "<A><LineHandlerType>multicast</LineHandlerType>"
          "<Listen>default2/239.1.1.1/1,default1/239.1.1.2/2</Listen></A>");
    EXPECT_EQ(lines(), (std::vector<std::string>{"A:1 127.0.0.3 239.1.1.1:1 joins wait",
                                                 "A:2 127.0.0.3 239.1.1.2:2 joins wait"}));
}

TEST_F(MulticastStartUp, ADefaultTooLongForTheFieldIsRefusedNotCut)
{
    start({"A"},
          "<A><LineHandlerType>multicast</LineHandlerType>"
          "<Listen>default2/239.1.1.1/1,default1/239.1.1.2/2</Listen></A>",
          {"--default-multicast-interface2", std::string(100, '7')});
    EXPECT_EQ(lines(), (std::vector<std::string>{"A:1 127.0.0.1 239.1.1.2:2 joins wait"}));
    EXPECT_EQ(mSink.count("Bad parameter: default2/239.1.1.1/1"), 1);
}

TEST_F(MulticastStartUp, ListenBlocksFollowTheValues)
{
    start({"A"}, "<A><LineHandlerType>multicast</LineHandlerType>"
          "<MulticastMonitorOffEqualDownOnInit>true</MulticastMonitorOffEqualDownOnInit>"
          "<Listen><MulticastGroup>239.1.1.2</MulticastGroup><Service>2</Service><Monitor>OFF</Monitor></Listen>"
          "<Listen><Interface>default2</Interface><MulticastGroup>239.1.1.3</MulticastGroup><Service>3</Service></Listen>"
          "<Listen><Interface>127.0.0.4</Interface><MulticastGroup>239.1.1.4</MulticastGroup><Service>4</Service>"
          "<Monitor>maybe</Monitor></Listen>"
          "<Listen>/239.1.1.1/1</Listen></A>");
    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "A:1 127.0.0.1 239.1.1.1:1 joins wait",
                           "A:2 127.0.0.1 239.1.1.2:2 waits dsbl",
                           "A:3 127.0.0.2 239.1.1.3:3 joins wait",
                           "A:4 127.0.0.4 239.1.1.4:4 joins dsbl",
                       }));
}

TEST_F(MulticastStartUp, EachLineIsBoundRegisteredControlledAndGetsItsAdminMethods)
{
    start({"A", "B"}, "<A><LineHandlerType>multicast</LineHandlerType><Listen>/239.1.1.1/1,/239.1.1.2/2</Listen></A>"
                      "<B><LineHandlerType>tcp</LineHandlerType><TcpIpAddress>127.0.0.1</TcpIpAddress><TcpPort>9</TcpPort><Listen>/239.9.9.9/9</Listen></B>");
    ModuleList& list = *mUsed;
    const std::string general = list.defaultGroup();
    for (const char* name : {"239.1.1.1:1", "239.1.1.2:2"})
    {
        SCOPED_TRACE(name);
        auto* h = dynamic_cast<LineHandlerMulticast*>(mMap->getIndividualLine(name));
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(h->getName(), name);
        EXPECT_EQ(h->OrluPublisher<LineData>::getOrluName(),
                  findModule<Orlu<LineData>>(&list, "OrluLineDataBlock", "A")->getName());
        EXPECT_EQ(h->OrluPublisher<LineStatus>::getOrluName(),
                  findModule<Orlu<LineStatus>>(&list, "OrluLineStatus", "A")->getName());
        EXPECT_EQ(h->OrluPublisher<TerminateAll>::getOrluName(),
                  findModule<Orlu<TerminateAll>>(&list, "OrluTerminateAll", general)->getName());
        EXPECT_EQ(h->OrluPublisher<MsgPubAdmin>::getOrluName(),
                  findModule<Orlu<MsgPubAdmin>>(&list, "OrluMsgPubAdmin", general)->getName());
        EXPECT_EQ(h->OrluPublisher<LineHeartbeat>::getOrluName(), "");
        EXPECT_EQ(mSink.count(std::string("adding individual control ") + name), 1);
    }
    // The first line is the module; both are in the sub-feed's group only.
    EXPECT_EQ(findModule<LineHandler>(&list, "LineHandler", "A"), mMap->getIndividualLine("239.1.1.1:1"));
    EXPECT_EQ(dynamic_cast<LineHandlerMulticast*>(findModule<LineHandler>(&list, "LineHandler", "B")), nullptr);
    EXPECT_EQ(mSink.count("LineController::addLineHandler: adding lineHandler true"), 2);

    const std::vector<std::string> methods = this->methods(
        "A", [](const std::string& m) { return m.find("join") != std::string::npos || m == "disconnect"; });
    const std::vector<std::string> one = {"unjoinMulticastGroup", "rejoinMulticastGroup", "unjoinSubfeed",
                                          "rejoinSubfeed", "disconnect"};
    std::vector<std::string> two = one;
    two.insert(two.end(), one.begin(), one.end());
    EXPECT_EQ(methods, two);
    EXPECT_EQ(mSink.count("got subfeed A"), 1);
    EXPECT_EQ(mSink.count("got subfeed B"), 0);
}

// ---- errors on module lists built by hand

class MulticastErrors : public ScriptedNet
{
protected:

    struct Parts
    {
        explicit Parts(Log& log) : factory("records", log) {}
        Groups subFeeds{"A"};
        TarvokSession session;
        Orlu<LineData> raw{"LineDataBlock.A", "A"};
        Orlu<LineStatus> status{"LineStatus.A", "A"};
        Orlu<TerminateAll> terminate{"TerminateAll", ""};
        Orlu<MsgPubAdmin> pubAdmin{"MsgPubAdmin", ""};
        LineDataFactoryBasic factory;
        std::unique_ptr<LineMonitor> monitor;
    };

    std::string error(const std::set<std::string>& omit, const std::string& xml, std::vector<std::string> args = {},
                      Groups subFeeds = {"A"})
    {
        ModuleList& l = keptModuleList();
        static std::vector<std::unique_ptr<Parts>> kept;
        Parts& p = *kept.emplace_back(std::make_unique<Parts>(mLog));
        p.subFeeds = std::move(subFeeds);
        p.monitor = std::make_unique<LineMonitor>("A", &p.session, &mLog, nullptr);
        auto add = [&](const std::string& name, auto* module, const std::string& group) {
            if (omit.count(name) == 0)
                registerModule(&l, name, module, group);
        };
        add("Log", &mLog, "default");
        add("SubFeeds", &p.subFeeds, "default");
        add("OrluTerminateAll", &p.terminate, "default");
        add("OrluMsgPubAdmin", &p.pubAdmin, "default");
        add("LineDataFactory", static_cast<LineDataFactory*>(&p.factory), "A");
        add("LineMonitor", p.monitor.get(), "A");
        add("OrluLineDataBlock", &p.raw, "A");
        add("OrluLineStatus", &p.status, "A");
        add("TarvokSession", &p.session, "A");
        try
        {
            InitModule<LineHandlerMulticast>().createModule(&l, &config(xml, std::move(args)));
        }
        catch (const std::invalid_argument& e)
        {
            return e.what();
        }
        return "";
    }
};

TEST_F(MulticastErrors, MissingModulesAndSectionEndStartUp)
{
    const std::string typeOnly = "<LineHandlerType>multicast</LineHandlerType>";
    const std::string withSection = "<A>" + typeOnly + "</A>";
    const std::string at = "InitModule<LineHandlerMulticast>: ";
    const std::string atA = "InitModule<LineHandlerMulticast>(A): ";
    const struct
    {
        std::set<std::string> omit;
        std::string xml, error;
    } cases[] = {
        {{}, withSection, ""},
        {{"Log", "OrluTerminateAll"}, withSection, at + "could not find Log object"},
        {{"OrluTerminateAll", "OrluMsgPubAdmin"}, withSection, at + "could not find OrluTerminateAll object"},
        {{"OrluMsgPubAdmin"}, withSection, at + "could not find OrluMsgPubAdmin object"},
        {{"LineDataFactory", "TarvokSession"}, withSection, atA + "could not find LineDataFactory object"},
        {{"LineMonitor", "OrluLineDataBlock"}, withSection, atA + "could not find LineMonitor object"},
        {{"OrluLineDataBlock", "TarvokSession"}, withSection, atA + "could not find OrluLineDataBlock object"},
        {{"OrluLineStatus"}, withSection, atA + "could not find OrluLineStatus object"},
        {{"TarvokSession"}, withSection, atA + "could not find TarvokSession object"},
        {{}, typeOnly, atA + "could not find subfeed params"},
        // Not a multicast sub-feed: its modules are not needed.
        {{"LineDataFactory"}, "<A><LineHandlerType>tcp</LineHandlerType></A>", ""},
        {{"SubFeeds", "LineDataFactory"}, withSection, ""},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.xml + " without " + (c.omit.empty() ? "nothing" : *c.omit.begin()));
        EXPECT_EQ(error(c.omit, c.xml), c.error);
    }
}

TEST_F(MulticastErrors, WhenNoLineIsBuiltTheLogSaysWhy)
{
    const std::string head = "InitModule<LineHandlerMulticast>: ";
    const std::string notAny = head + "NOT initializing any LineHandlerMulticast objects: ";
    const std::string lineA = "<A><LineHandlerType>multicast</LineHandlerType><Listen>/239.1.1.1/1</Listen></A>";
    const struct
    {
        const char* what;
        std::string xml;
        std::vector<std::string> args;
        Groups subFeeds;
        std::set<std::string> omit;
        std::string log; // empty: the line is built
    } cases[] = {
        {"input file", "<InputFile>day.dat</InputFile>" + lineA, {}, {"A"}, {},
         notAny + "we encountered a --input-file parameter (day.dat)"},
        {"--input over the file", "<InputFile>day.dat</InputFile>" + lineA, {"--input", "other.dat"}, {"A"}, {},
         notAny + "we encountered a --input-file parameter (other.dat)"},
        {"--input none", "<InputFile>day.dat</InputFile>" + lineA, {"--input", "none"}, {"A"}, {}, ""},
        {"no sub-feeds", lineA, {}, {"A"}, {"SubFeeds"}, notAny + "no SubFeeds defined"},
        {"empty sub-feed list", lineA, {}, {}, {}, head + "no lines have been configured to use multicast"},
        {"no multicast sub-feed", "<A><LineHandlerType>tcp</LineHandlerType></A>", {}, {"A"}, {},
         head + "no lines have been configured to use multicast"},
        {"no Listen", "<A><LineHandlerType>multicast</LineHandlerType></A>", {}, {"A"}, {},
         notAny + "no valid Listen parameters found"},
        {"only bad Listen values", "<A><LineHandlerType>multicast</LineHandlerType><Listen>a/b</Listen></A>", {},
         {"A"}, {}, notAny + "no valid Listen parameters found"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        gRegistered.clear();
        const int before = mSink.count(c.log.empty() ? head : c.log);
        EXPECT_EQ(error(c.omit, c.xml, c.args, c.subFeeds), "");
        EXPECT_EQ(gRegistered.size(), c.log.empty() ? 1u : 0u);
        if (!c.log.empty())
        {
            EXPECT_EQ(mSink.count(c.log) - before, 1);
        }
        forgetFeeds();
    }
}

} // namespace
