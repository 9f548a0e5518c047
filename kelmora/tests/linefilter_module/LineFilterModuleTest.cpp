// Start-up of the sequencing road: the line data factory modules and the line
// filter module through the process's own module initializer (sub-feeds A and
// B, or none), their errors and logs on hand-built module lists, and the
// filter's admin methods.
#include "../host_admin/AdminTestSupport.h"
#include "../linefilter/LineFilterTestSupport.h"

#include "kelmora/admin/KeshInterfaceOrvane.h"
#include "kelmora/admin/KeshMethodInvoker.h"
#include "kelmora/bus/OrluChannelFactory.h"
#include "kelmora/filter/InitLineFilter.h"
#include "kelmora/filter/KeshResetSequenceNumber.h"
#include "kelmora/filter/KeshSendTestRetransRequest.h"
#include "kelmora/filter/KeshSetGapLimitSize.h"
#include "kelmora/linedata/InitLineDataFactory.h"
#include "kelmora/thread/TarvokOldMsg.h"
#include "zunq/admin/KeshParamList.h"
#include "zunq/admin/KeshSession.h"
#include "zunq/admin/KeshUsageError.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <list>
#include <memory>
#include <set>

using namespace admintest;

namespace
{

using Groups = std::list<std::string>;

// ---- start-up through the process's module initializer

class StartUp : public AdminFixture
{
protected:
    void start(const std::string& xml, std::vector<std::string> args = {}, Groups* emptySubFeeds = nullptr)
    {
        ZunqConfigManager& cfg = config(xml, std::move(args));
        cfg.setExeName("feedd");
        cfg.setAppName("feedd");
        if (emptySubFeeds != nullptr)
            registerModule<Groups>(&mList, "SubFeeds", emptySubFeeds, mList.defaultGroup());
        moduleInitializer()->initialize(&mList, &cfg);
    }

    // The class of the group's "LineDataFactory", checked to be its only one.
    std::string factoryClass(const std::string& group)
    {
        LineDataFactory* factory = findModule<LineDataFactory>(&mList, "LineDataFactory", group);
        std::vector<std::string> found;
        if (auto* f = findModule<LineDataFactoryBasic>(&mList, "LineDataFactoryBasic", group))
            found.push_back(f == factory ? "basic" : "stray basic");
        if (auto* f = findModule<LineDataFactoryBlock>(&mList, "LineDataFactoryBlock", group))
            found.push_back(f == factory ? "block" : "stray block");
        if (auto* f = findModule<LineDataFactoryDravek>(&mList, "LineDataFactoryDravek", group))
            found.push_back(f == factory ? "dravek" : "stray dravek");
        if (found.empty())
            return factory == nullptr ? "none" : "unknown";
        return found.size() == 1 ? found.front() : "several";
    }

    // A built filter: its name, channels and admin methods.
    void expectFilter(const std::string& group)
    {
        SCOPED_TRACE(group);
        LineFilter* filter = findModule<LineFilter>(&mList, "LineFilter", group);
        ASSERT_NE(filter, nullptr);
        auto& filtered = static_cast<OrluPublisher<LineData>&>(*filter);
        EXPECT_EQ(filtered.getName(), "LineFilter(" + group + ")");
        EXPECT_EQ(filtered.getOrluName(), findModule<Orlu<LineData>>(&mList, "OrluLineData", group)->getName());
        EXPECT_EQ(static_cast<OrluPublisher<RetransRequest>&>(*filter).getOrluName(),
                  findModule<Orlu<RetransRequest>>(&mList, "OrluRetransRequest", group)->getName());
        EXPECT_EQ(static_cast<OrluPublisher<RefreshRequest>&>(*filter).getOrluName(),
                  findModule<Orlu<RefreshRequest>>(&mList, "OrluRefreshRequest", "default")->getName());
        EXPECT_EQ(static_cast<OrluPublisher<BackupLineChange>&>(*filter).getOrluName(),
                  findModule<Orlu<BackupLineChange>>(&mList, "OrluBackupLineChange", group)->getName());
        std::set<std::string> methods;
        for (KeshMethod* m : findModule<KeshSession>(&mList, "KeshSession", group)->getMethods())
            methods.insert(m->getName());
        for (const char* name : {"resetSequenceNumber", "sendTestRetransRequest", "setGapLimitSize"})
            EXPECT_EQ(methods.count(name), 1u) << name;
    }
};

TEST_F(StartUp, EachSubFeedGetsTheFactoryOfItsFormatAndOneFilter)
{
    start("<SubFeeds><Value>A</Value><Value>B</Value><Value>C</Value></SubFeeds>"
          "<A><LineDataFormat>BaSiC</LineDataFormat><LineFilterGapLimitSize>200</LineFilterGapLimitSize></A>"
          "<C><LineDataFormat>DRAVEK</LineDataFormat><LiveChannelId>7</LiveChannelId></C>");
    EXPECT_EQ(factoryClass("A"), "basic");
    EXPECT_EQ(findModule<LineDataFactoryBasic>(&mList, "LineDataFactoryBasic", "A")->getObjPoolSize(), 250u);
    EXPECT_EQ(factoryClass("B"), "block");
    EXPECT_EQ(factoryClass("C"), "dravek");
    EXPECT_EQ(findModule<LineDataFactoryDravek>(&mList, "LineDataFactoryDravek", "C")->getChannelId(), 7);
    EXPECT_EQ(factoryClass("default"), "none");
    // No format anywhere: the block defaults.
    const LineDataFactoryBlock& block = *findModule<LineDataFactoryBlock>(&mList, "LineDataFactoryBlock", "B");
    EXPECT_EQ(block.blockBegin(), '\x01');
    EXPECT_EQ(block.blockEnd(), '\x03');
    EXPECT_EQ(block.msgSeparator(), '\x1F');
    EXPECT_EQ(block.seqNumOffset(), 0);
    EXPECT_EQ(block.seqNumLength(), 1);
    EXPECT_STREQ(block.retransOrig(), "O");
    for (const char* group : {"A", "B", "C"})
        expectFilter(group);
    EXPECT_EQ(findModule<LineFilter>(&mList, "LineFilter", "default"), nullptr);
}

TEST_F(StartUp, FormatOptionOnTheCommandLineGivesEachSubFeedOneBasicFactory)
{
    start("<SubFeeds><Value>A</Value><Value>B</Value></SubFeeds>", {"--line-data-format", "basic"});
    EXPECT_EQ(factoryClass("A"), "basic");
    EXPECT_EQ(factoryClass("B"), "basic");
    expectFilter("A");
}

TEST_F(StartUp, WithoutSubFeedsOnlyThePacketFactoryServesTheDefaultGroupAndNoFilterIsBuilt)
{
    start("<LineDataFormat>dravek</LineDataFormat>");
    EXPECT_EQ(factoryClass("default"), "dravek");
    EXPECT_EQ(findModule<LineFilter>(&mList, "LineFilter", "default"), nullptr);
    EXPECT_EQ(mSink.count("InitModule<LineFilter>: NOT initializing any LineFilter objects: no SubFeeds defined"), 1);
    EXPECT_EQ(mSink.count("InitModule<LineDataFactoryBasic>: NOT initializing any LineDataFactoryBasic objects: no SubFeeds defined"), 1);
    EXPECT_EQ(mSink.count("InitModule<LineDataFactoryBlock>: NOT initializing any LineDataFactoryBlock objects: no SubFeeds defined"), 1);
}

TEST_F(StartUp, AnEmptySubFeedListBuildsOneFilterInTheDefaultGroup)
{
    static Groups none;
    start("<LineDataFormat>dravek</LineDataFormat>", {}, &none);
    expectFilter("default");
    EXPECT_EQ(mSink.count("InitModule<LineFilter>: creating LineFilter object(s)"), 1);
}

// ---- errors and logs, on module lists built by hand

// Every module the filter's factory looks up, for sub-feed A; they live as
// long as the process, as start-up's do.
struct Parts
{
    explicit Parts(Log& log) : factory(std::make_unique<LineDataFactoryBasic>("records", log))
    {
        session->setName("A");
    }
    template <typename T, typename... Args>
    static std::unique_ptr<T> make(Args... args)
    {
        return std::make_unique<T>(args...);
    }
    std::unique_ptr<Groups> subFeeds = std::make_unique<Groups>(Groups{"A"});
    std::unique_ptr<KeshSession> keshSession = make<KeshSession>("A");
    std::unique_ptr<TarvokSession> session = make<TarvokSession>();
    std::unique_ptr<Orlu<LineAdmin>> lineAdmin = make<Orlu<LineAdmin>>("LineAdmin.A", "A");
    std::unique_ptr<Orlu<LineData>> raw = make<Orlu<LineData>>("LineDataBlock.A", "A");
    std::unique_ptr<Orlu<LineData>> filtered = make<Orlu<LineData>>("LineData.A", "A");
    std::unique_ptr<Orlu<SeqNumGap>> gaps = make<Orlu<SeqNumGap>>("SeqNumGap.A", "A");
    std::unique_ptr<Orlu<RetransRequest>> requests = make<Orlu<RetransRequest>>("RetransRequest.A", "A");
    std::unique_ptr<Orlu<MsgStartOfDay>> startOfDay = make<Orlu<MsgStartOfDay>>("MsgStartOfDay", "");
    std::unique_ptr<Orlu<BackupLineChange>> backup = make<Orlu<BackupLineChange>>("BackupLineChange.A", "A");
    std::unique_ptr<Orlu<MhMode>> mode = make<Orlu<MhMode>>("MhMode.A", "A");
    std::unique_ptr<Orlu<MsgPubAdmin>> pubAdmin = make<Orlu<MsgPubAdmin>>("MsgPubAdmin", "");
    std::unique_ptr<Orlu<RefreshRequest>> refresh = make<Orlu<RefreshRequest>>("RefreshRequest", "");
    std::unique_ptr<LineDataFactoryBasic> factory;
};

class HandBuilt : public AdminFixture
{
protected:
    // A fresh list with the log (unless omitted), sub-feed A and every
    // module not in `omit`.
    ModuleList& list(const std::set<std::string>& omit = {})
    {
        ModuleList& l = keptModuleList();
        auto add = [&](const std::string& name, auto* module, const std::string& group) {
            if (omit.count(name) == 0)
                registerModule(&l, name, module, group);
        };
        // Kept for the process, as the list that refers to them.
        static std::vector<std::unique_ptr<Parts>> kept;
        Parts& p = *kept.emplace_back(std::make_unique<Parts>(mLog));
        add("Log", &mLog, "default");
        add("SubFeeds", p.subFeeds.get(), "default");
        add("KeshSession", p.keshSession.get(), "A");
        add("TarvokSession", p.session.get(), "A");
        add("OrluLineAdmin", p.lineAdmin.get(), "A");
        add("OrluLineDataBlock", p.raw.get(), "A");
        add("OrluLineData", p.filtered.get(), "A");
        add("OrluSeqNumGap", p.gaps.get(), "A");
        add("OrluRetransRequest", p.requests.get(), "A");
        add("OrluMsgStartOfDay", p.startOfDay.get(), "default");
        add("LineDataFactory", static_cast<LineDataFactory*>(p.factory.get()), "A");
        add("OrluBackupLineChange", p.backup.get(), "A");
        add("OrluMhMode", p.mode.get(), "A");
        add("OrluMsgPubAdmin", p.pubAdmin.get(), "default");
        add("OrluRefreshRequest", p.refresh.get(), "default");
        return l;
    }

public:
    // The error the factory ends start-up with; empty when it builds.
    template <typename T>
    std::string error(ModuleList& l, const std::string& xml, std::vector<std::string> args = {})
    {
        try
        {
            InitModule<T>().createModule(&l, &config(xml, std::move(args)));
        }
        catch (const std::invalid_argument& e)
        {
            return e.what();
        }
        return "";
    }

    // The log entry that begins with `head`.
    std::string entry(const std::string& head)
    {
        for (const std::string& line : mSink.lines())
            if (line.rfind(head, 0) == 0)
                return line;
        return "(no entry " + head + ")";
    }
};

TEST_F(HandBuilt, FilterModuleErrors)
{
    struct Case
    {
        const char* xml;
        std::set<std::string> omit;
        const char* error; // "" when the filter is built
    };
    const std::string at = "InitModule<LineFilter>(A): ";
    const Case cases[] = {
        {"", {}, ""},
        {"", {"Log"}, "InitModule<LineFilter>: could not find Log object"},
        {"", {"KeshSession", "LineDataFactory"}, "could not find KeshSession object"},
        {"", {"TarvokSession", "OrluMhMode"}, "could not find TarvokSession object"},
        {"", {"OrluLineAdmin"}, "could not find OrluLineAdmin object"},
        {"", {"OrluLineDataBlock"}, "could not find OrluLineDataBlock object"},
        {"", {"OrluLineData", "OrluRetransRequest"}, "could not find OrluLineData object"},
        {"", {"OrluRetransRequest", "OrluSeqNumGap"}, "could not find OrluRetransRequest object"},
        {"", {"OrluSeqNumGap"}, "could not find OrluSeqNumGap object"},
        {"", {"OrluMhMode", "OrluMsgPubAdmin"}, "could not find OrluMhMode object"},
        {"", {"OrluMsgPubAdmin"}, "could not find OrluMsgPubAdmin object"},
        {"", {"LineDataFactory", "OrluRefreshRequest"}, "could not find LineDataFactory object"},
        {"", {"OrluRefreshRequest"}, "could not find OrluRefreshRequest object"},
        {"", {"OrluMsgStartOfDay", "OrluBackupLineChange"}, ""},
        {"<UseBackupLine>true</UseBackupLine>", {"OrluBackupLineChange", "OrluRefreshRequest"},
         "could not find OrluBackupLineChange object"},
        {"<UseLineFilter>false</UseLineFilter>", {"OrluMhMode"}, "could not find OrluMhMode object"},
        {"<LineFilterCheckEveryMessageInBlockForceTrue>true</LineFilterCheckEveryMessageInBlockForceTrue>"
         "<LineFilterCheckEveryMessageInBlockForceFalse>true</LineFilterCheckEveryMessageInBlockForceFalse>"
         "<LineFilterCheckEveryMessageInBlock>true</LineFilterCheckEveryMessageInBlock>",
         {},
         "InitModule<LineFilter>: cannot force 'LineFilterCheckEveryMessageInBlock' true and false"},
        {"<LineFilterAutoDetectSeqNumberReset>true</LineFilterAutoDetectSeqNumberReset>"
         "<LineFilterSeqNumberResetLowWater>100</LineFilterSeqNumberResetLowWater>",
         {},
         "LineFilterAutoDetectSeqNumberReset is true, but LineFilterSeqNumberResetHighWater is not set."},
        {"<LineFilterAutoDetectSeqNumberReset>true</LineFilterAutoDetectSeqNumberReset>"
         "<LineFilterSeqNumberResetHighWater>100</LineFilterSeqNumberResetHighWater>",
         {},
         "LineFilterAutoDetectSeqNumberReset is true, but LineFilterSeqNumberResetLowWater is not set."},
        {"<LineFilterAutoDetectSeqNumberReset>true</LineFilterAutoDetectSeqNumberReset>"
         "<LineFilterSeqNumberResetHighWater>100</LineFilterSeqNumberResetHighWater>"
         "<LineFilterSeqNumberResetLowWater>100</LineFilterSeqNumberResetLowWater>",
         {},
         "LineFilterSeqNumberResetHighWater must be higher than LineFilterSeqNumberResetLowWater."},
        // Detection off: the marks are not checked.
        {"<LineFilterSeqNumberResetHighWater>100</LineFilterSeqNumberResetHighWater>"
         "<LineFilterSeqNumberResetLowWater>100</LineFilterSeqNumberResetLowWater>",
         {},
         ""},
        {"<LineFilterMaxValidGapSize>1</LineFilterMaxValidGapSize>", {},
         "LineFilterMaxValidGapSize should be 0 or greater than 1"},
        {"<LineFilterMaxValidGapSize>2</LineFilterMaxValidGapSize>", {}, ""},
        {"<A><LineFilterGapLimitSize>-1</LineFilterGapLimitSize></A>", {},
         "LineFilterGapLimitSize must be between 0 and 4294967295"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.xml + (c.omit.empty() ? "" : " without " + *c.omit.begin()));
        ModuleList& l = list(c.omit);
        const std::string expected =
            std::string(c.error).empty() || std::string(c.error).rfind("InitModule", 0) == 0 ? c.error : at + c.error;
        EXPECT_EQ(error<LineFilter>(l, c.xml), expected);
        const bool built = expected.empty() && std::string(c.xml).find("UseLineFilter") == std::string::npos;
        EXPECT_EQ(findModule<LineFilter>(&l, "LineFilter", "A") != nullptr, built);
    }
}

TEST_F(HandBuilt, UseLineFilterFalseBuildsNoFilter)
{
    ModuleList& l = list();
    EXPECT_EQ(error<LineFilter>(l, "<UseLineFilter>false</UseLineFilter>"), "");
    EXPECT_EQ(findModule<LineFilter>(&l, "LineFilter", "A"), nullptr);
    EXPECT_TRUE(findModule<KeshSession>(&l, "KeshSession", "A")->getMethods().empty());
    EXPECT_EQ(mSink.count("InitModule<LineFilter>(A): not initializing LineFilter for subfeed: A"), 1);
}

TEST_F(HandBuilt, ParameterDump)
{
    // Rows read from the main configuration only: A's own values are not seen.
    ModuleList& l = list();
    ASSERT_EQ(error<LineFilter>(l,
                                "<FeedId>7</FeedId><LineFilterGapLimitTime>1.5</LineFilterGapLimitTime>"
                                "<A><LineFilterRequestRetransTime>2</LineFilterRequestRetransTime>"
                                "<LineFilterSendPublisherFlushMsg>true</LineFilterSendPublisherFlushMsg>"
                                "<LineFilterRetransActive>true</LineFilterRetransActive>"
                                "<LineFilterCheckEveryMessageInBlockForceFalse>true</LineFilterCheckEveryMessageInBlockForceFalse>"
                                "<HeartbeatsPerCycle>2.5</HeartbeatsPerCycle></A>",
                                {"--gap-limit-size", "300"}),
              "");
    EXPECT_EQ(entry("InitModule<LineFilter>(A) parameters:"),
              "InitModule<LineFilter>(A) parameters:\n"
              "  FeedId:                        7\n"
              "  LineFilterRetransActive:       true\n"
              "  LineFilterRetransMaxGapSize:   500\n"
              "  LineFilterGapLimitSize:        300\n"
              "  LineFilterGapLimitTime:        1.5\n"
              "  LineFilterGapShutdown:         false\n"
              "  LineFilterResumeOnGapFill      false\n"
              "  LineFilterRequestRetransTime:  0\n"
              "  LineFilterGapLimitStartOfDay:  1000\n"
              "  LineFilterInitialSeqNum:       0\n"
              "  LineFilterPublishWholeBlocks:  false\n"
              "  LineFilterCheckEveryMessageInBlock:           false\n"
              "  LineFilterCheckEveryMessageInBlockForceTrue:  false\n"
              "  LineFilterCheckEveryMessageInBlockForceFalse: true\n"
              "  LineFilterHeartbeatsHavePrevSeqNum: true\n"
              "  LineFilterMinSeqNumberSetInterval: 0\n"
              "  LineFilterAutoDetectSeqNumberReset: false\n"
              "  LineFilterSeqNumberResetHighWater: 0\n"
              "  LineFilterSeqNumberResetLowWater: 0\n"
              "  LineFilterDiscardForwardRetrans: false\n"
              "  LineFilterHandleBackwardSequenceReset: false\n"
              "  LineFilterBackwardSequenceResetTimeLimit: 2000000000\n"
              "  LineFilterContinueProcessingAfterGapLimitTimeout : true\n"
              "  HeartbeatsControlTime: 0\n"
              "  HeartbeatsPerCycle: 2.5\n"
              "  RefreshOnSeqReset false\n");
}

TEST_F(HandBuilt, BlockFactorySettingsLog)
{
    ModuleList& l = list({"LineDataFactory"});
    ASSERT_EQ(error<LineDataFactoryBlock>(l,
                                          "<A><LineDataBlockBegin>[</LineDataBlockBegin>"
                                          "<LineDataMessageTypeHeartbeat>HB</LineDataMessageTypeHeartbeat>"
                                          "<LineDataRetransLength>2</LineDataRetransLength></A>",
                                          {"--linedata-seqnum-offset", "4"}),
              "");
    EXPECT_EQ(entry("InitModule<LineDataFactoryBlock>(A): settings:"),
              "InitModule<LineDataFactoryBlock>(A): settings:\n"
              "  LineDataBlockBegin:             \"[\"\n"
              "  LineDataBlockEnd:               \"\\x03\"\n"
              "  LineDataMsgSeparator:           \"\\x1F\"\n"
              "  LineDataSeqNumOffset:           4\n"
              "  LineDataSeqNumLength:           1\n"
              "  LineDataMessageCategoryOffset:  0\n"
              "  LineDataMessageCategoryControl: \"\"\n"
              "  LineDataMessageTypeOffset:      0\n"
              "  LineDataMessageTypeSeqNumReset: \"\"\n"
              "  LineDataMessageTypeHeartbeat:   \"HB\"\n"
              "  LineDataRetransOffset:          0\n"
              "  LineDataRetransLength:          2\n"
              "  LineDataRetransOrig:            \"O\"\n"
              "  LineDataRetransAll:             \"A\"\n"
              "  LineDataRetransRecip:           \"\"\n");
    EXPECT_EQ(mSink.count("InitModule<LineDataFactoryBlock>(A): creating LineDataFactoryBlock"), 1);
    EXPECT_EQ(findModule<LineDataFactoryBlock>(&l, "LineDataFactoryBlock", "A")->blockBegin(), '[');
}

TEST_F(HandBuilt, LineDataFactoryModuleErrors)
{
    struct Case
    {
        std::function<std::string(HandBuilt&, ModuleList&, const std::string&)> run;
        const char* xml;
        const char* error;
    };
    auto block = [](HandBuilt& t, ModuleList& l, const std::string& x) { return t.error<LineDataFactoryBlock>(l, x); };
    auto basic = [](HandBuilt& t, ModuleList& l, const std::string& x) { return t.error<LineDataFactoryBasic>(l, x); };
    auto dravek = [](HandBuilt& t, ModuleList& l, const std::string& x) { return t.error<LineDataFactoryDravek>(l, x); };
    const std::string blockAt = "InitModule<LineDataFactoryBlock>(A): ";
    const std::string orig = "LineDataRetransOrig must be at least one charand less than or equal to LineDataRetransLength";
    const Case cases[] = {
        {block, "<LineDataBlockBegin>ab</LineDataBlockBegin>", "LineDataBlockBegin param must be a single char"},
        {block, "<LineDataBlockEnd></LineDataBlockEnd>", "LineDataBlockEnd param must be a single char"},
        {block, "<LineDataMsgSeparator>||</LineDataMsgSeparator>", "LineDataMsgSeparator param must be a single char"},
        {block, "<LineDataRetransOrig>OR</LineDataRetransOrig>", orig.c_str()},
        {block, "<LineDataRetransLength>2</LineDataRetransLength><LineDataRetransOrig></LineDataRetransOrig>",
         orig.c_str()},
        {block, "<LineDataRetransAll>AB</LineDataRetransAll>",
         "length of LineDataRetransAll must be empty or less than or equal to LineDataRetransLength"},
        {block, "<LineDataRetransRecip>RR</LineDataRetransRecip>",
         "length of LineDataRetransRecip must be empty or less than or equal to LineDataRetransLength"},
        {block, "<LineDataRetransLength>8</LineDataRetransLength><LineDataRetransOrig>OOOOOOOO</LineDataRetransOrig>",
         "LineDataRetransLength must be at most 7: the retransmission fields hold 7 characters"},
        {block, "<LineDataRetransLength>-1</LineDataRetransLength>",
         "LineDataRetransLength must be at most 7: the retransmission fields hold 7 characters"},
        {block, "<LineDataMessageCategoryControl>ABCDEF</LineDataMessageCategoryControl>", "LineDataMessageCategoryControl"},
        {block, "<LineDataRetransLength>7</LineDataRetransLength><LineDataRetransOrig>OOOOOOO</LineDataRetransOrig>", ""},
        {basic, "<LineDataFormat>basic</LineDataFormat><LineFilterGapLimitSize>-51</LineFilterGapLimitSize>",
         "InitModule<LineDataFactoryBasic>(A): LineFilterGapLimitSize must be between 0 and 4294967245"},
        {dravek, "<LineDataFormat>dravek</LineDataFormat><LiveChannelId>65536</LiveChannelId>",
         "InitModule<LineDataFactoryDravek>(A): LiveChannelId must be between 0 and 65535"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.xml);
        ModuleList& l = list({"LineDataFactory"});
        const std::string expected = std::string(c.error).empty() || std::string(c.error).rfind("InitModule", 0) == 0
                                         ? c.error
                                         : blockAt + c.error;
        const std::string got = c.run(*this, l, c.xml);
        if (std::string(c.error) == "LineDataMessageCategoryControl")
            EXPECT_EQ(got.rfind(blockAt, 0), 0u) << got; // the setter's own text, with the module's prefix
        else
            EXPECT_EQ(got, expected);
    }
}

TEST_F(HandBuilt, ASecondLineDataFactoryInAGroupEndsStartUp)
{
    // The format option reaches every module alike: one basic factory, no block one beside it.
    ModuleList& byOption = list({"LineDataFactory"});
    using Run = std::string (HandBuilt::*)(ModuleList&, const std::string&, std::vector<std::string>);
    const Run runs[] = {&HandBuilt::error<LineDataFactoryBasic>, &HandBuilt::error<LineDataFactoryBlock>,
                        &HandBuilt::error<LineDataFactoryDravek>};
    for (Run run : runs)
        EXPECT_EQ((this->*run)(byOption, "", {"--line-data-format", "basic"}), "");
    EXPECT_NE(findModule<LineDataFactoryBasic>(&byOption, "LineDataFactoryBasic", "A"), nullptr);
    EXPECT_EQ(findModule<LineDataFactoryBlock>(&byOption, "LineDataFactoryBlock", "A"), nullptr);

    // Any other way to a second one ends start-up naming both.
    ModuleList& withBlock = list({"LineDataFactory"});
    ASSERT_EQ(error<LineDataFactoryBlock>(withBlock, ""), "");
    EXPECT_EQ(error<LineDataFactoryBasic>(withBlock, "<A><LineDataFormat>basic</LineDataFormat></A>"),
              "InitModule<LineDataFactoryBasic>(A): a LineDataFactory (LineDataFactoryBlock) is already registered for "
              "A; a LineDataFactoryBasic would be a second one");
}

// ---- admin methods

TEST(LineFilterAdminMethods, ArgumentsAnswersAndEffects)
{
    using Args = std::vector<std::pair<std::string, std::string>>;
    struct Case
    {
        const char* method;
        Args args;
        const char* answer; // null: usage error
        const char* play;   // records after the call, from next expected 100
        const char* events; // what the filter published for the call and the records
    };
    const Case cases[] = {
        {"resetSequenceNumber", {}, "ResetSequenceNumber received", "1", "1"},
        {"resetSequenceNumber", {{"Arg0", "500"}}, "ResetSequenceNumber received", "501", "501"},
        {"resetSequenceNumber", {{"SequenceNumber", "7"}}, "ResetSequenceNumber received", "8", "8"},
        {"resetSequenceNumber", {{"Arg0", "4294967295"}}, "ResetSequenceNumber received", "0", "0"},
        {"resetSequenceNumber", {{"Arg0", "1"}, {"Arg1", "2"}}, nullptr, "100", "100"},
        // "-1" read loosely would be 4294967295 and send the next number to 0.
        {"resetSequenceNumber", {{"Arg0", "-1"}}, nullptr, "100", "100"},
        {"resetSequenceNumber", {{"Arg0", "12abc"}}, nullptr, "100", "100"},
        {"resetSequenceNumber", {{"Arg0", "4294967296"}}, nullptr, "100", "100"},
        {"setGapLimitSize", {{"Arg0", "2"}}, "GapLimitSize set successfully", "103 104 105",
         "G100-102 C0-102 103 104 105"},
        {"setGapLimitSize", {{"Size", "0"}}, "GapLimitSize set successfully", "103", ""},
        {"setGapLimitSize", {{"Arg0", "-1"}}, "Invalid - GapLimitSize should be an integer >= 0", "103 104 105", ""},
        {"setGapLimitSize", {}, nullptr, "", ""},
        {"setGapLimitSize", {{"Arg0", "2"}, {"Arg1", "3"}}, nullptr, "103 104 105", ""},
        {"setGapLimitSize", {{"Arg0", "two"}}, nullptr, "103 104 105", ""},
        {"setGapLimitSize", {{"Arg0", "4294967296"}}, nullptr, "103 104 105", ""},
        {"sendTestRetransRequest", {{"Arg0", "2"}, {"Arg1", "101"}, {"Arg2", "105"}},
         "Sending test Retrans for sequence numbers 101 to 105 on subfeed/channel 2\n", "", "R101-105"},
        {"sendTestRetransRequest", {{"End", "105"}, {"FeedId", "9"}, {"Begin", "101"}},
         "Sending test Retrans for sequence numbers 101 to 105 on subfeed/channel 9\n", "", "R101-105"},
        {"sendTestRetransRequest", {{"Arg0", "2"}, {"Arg1", "7"}, {"Arg2", "7"}},
         "Sending test Retrans for sequence number 7 on subfeed/channel 2\n", "", "R7-7"},
        {"sendTestRetransRequest", {{"Arg0", "2"}, {"Arg1", "9"}, {"Arg2", "8"}}, nullptr, "", ""},
        {"sendTestRetransRequest", {{"Arg0", "2"}, {"Arg1", "101"}}, nullptr, "", ""},
        {"sendTestRetransRequest", {{"Arg0", "2"}, {"Arg1", "+101"}, {"Arg2", "105"}}, nullptr, "", ""},
        {"sendTestRetransRequest", {{"Arg0", "2"}, {"Arg1", "101"}, {"Arg2", "99999999999"}}, nullptr, "", ""},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::string(c.method) + " " + std::to_string(c.args.size()) + " " +
                     (c.args.empty() ? "" : c.args.front().second));
        FilterBench bench;
        bench.mFilter.setNextSeqNum(100, false);
        bench.mCapture.take();
        KeshResetSequenceNumber reset;
        reset.setDestination(&bench.mAdmin);
        KeshSetGapLimitSize gapLimit(bench.mFilter);
        KeshSendTestRetransRequest testRequest(bench.mFilter);
        KeshMethod* method = std::string(c.method) == "resetSequenceNumber" ? static_cast<KeshMethod*>(&reset)
                             : std::string(c.method) == "setGapLimitSize"   ? static_cast<KeshMethod*>(&gapLimit)
                                                                            : &testRequest;
        KeshParamList in, out;
        for (const auto& [name, value] : c.args)
            in.add(name, value);
        if (c.answer == nullptr)
        {
            EXPECT_THROW(method->invoke(in, out), KeshUsageError);
            EXPECT_EQ(out.size(), 0u);
        }
        else
        {
            method->invoke(in, out);
            ASSERT_EQ(out.size(), 1u);
            EXPECT_EQ(out.getParam(std::size_t{0})->getName(), "Message");
            EXPECT_EQ(out.getParam(std::size_t{0})->getValue(), c.answer);
        }
        bench.play(c.play);
        EXPECT_EQ(bench.mCapture.take(), c.events);
    }
}

TEST(LineFilterAdminMethods, AnswersThroughTheAdminPath)
{
    // Arguments arrive as positional text cut at the separator; the answer
    // leaves in the reply record.
    struct Case
    {
        const char* method;
        const char* args;
        const char* reply; // the start of the reply text
    };
    const Case cases[] = {
        {"sendTestRetransRequest", "2\t101\t105", "Sending test Retrans for sequence numbers 101 to 105 on subfeed/channel 2"},
        {"sendTestRetransRequest", "2\t105\t101", "sendTestRetransRequest"}, // usage: the method's help
        {"resetSequenceNumber", "1000", "ResetSequenceNumber received"},
        {"resetSequenceNumber", "1000\t1", "resetSequenceNumber"},
        {"setGapLimitSize", "-5", "Invalid - GapLimitSize should be an integer >= 0"},
        {"setGapLimitSize", "5x", "setGapLimitSize"},
    };
    Log log;
    KeshInterfaceOrvane::setParamSeparator("\t");
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::string(c.method) + " " + c.args);
        FilterBench bench;
        KeshResetSequenceNumber reset;
        KeshSetGapLimitSize gapLimit(bench.mFilter);
        KeshSendTestRetransRequest testRequest(bench.mFilter);
        KeshMethod& method = std::string(c.method) == "resetSequenceNumber" ? static_cast<KeshMethod&>(reset)
                             : std::string(c.method) == "setGapLimitSize"   ? static_cast<KeshMethod&>(gapLimit)
                                                                            : testRequest;
        RecordingClient client;
        TarvokSession session;
        session.setLog(&log);
        session.setOrvaneClient(&client);
        KeshMethodInvoker invoker(method, session, nullptr, log, false, false, "A");
        TarvokOldMsg msg;
        msg.setSendSubject("orvane.A." + method.getName());
        msg.setReplySubject("host.1.1");
        msg.setArgs(c.args);
        invoker.onMsg(nullptr, msg);
        ASSERT_EQ(client.records.size(), 1u);
        const std::string reply = field(client.records[0], 151, 1200);
        EXPECT_EQ(reply.rfind(c.reply, 0), 0u) << reply;
    }
}

} // namespace
