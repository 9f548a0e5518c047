// The extract recorder's factory over configuration files: which channels it
// records and in what order, its settings and options, the process without
// an admin session, and the start-up errors.
#include "../host_admin/AdminTestSupport.h"
#include "ExtractTestSupport.h"

#include "kelmora/bus/TerminateAll.h"
#include "kelmora/thread/TarvokSession.h"
#include "zunq/admin/KeshMethod.h"
#include "zunq/admin/KeshSession.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <list>

using extracttest::Record;

namespace
{

struct Wiring
{
    bool log = true;
    bool session = true;
    bool terminate = true;
    bool kesh = true;
    bool subFeeds = true;
    bool playbackFilter = false;
};

class ExtractPlaybackFactoryTest : public admintest::AdminFixture
{
protected:
    void SetUp() override
    {
        AdminFixture::SetUp();
        mDirPath = mDir.write("probe", "");
        mDirPath = mDirPath.substr(0, mDirPath.rfind('/'));
    }
    // Runs the factory on a fresh list; the error text, or "".
    std::string run(const std::string& xml, const Wiring& w = Wiring(), std::vector<std::string> args = {})
    {
        mL = &keptModuleList();
        ModuleList& list = *mL;
        if (w.log)
            registerModule<Log>(&list, "Log", &mLog, "default");
        if (w.session)
            registerModule<TarvokSession>(&list, "TarvokSessionDefault", &mSession, "default");
        if (w.terminate)
            registerModule<Orlu<TerminateAll>>(&list, "OrluTerminateAll", &mTerminate, "default");
        if (w.kesh)
            registerModule<KeshSession>(&list, "KeshSession", &mKesh, "default");
        if (w.subFeeds)
            registerModule<std::list<std::string>>(&list, "SubFeeds", &mSubFeeds, "default");
        for (auto& [group, block, plain, filter] : mChannels)
        {
            if (w.playbackFilter)
                registerModule<Orlu<LineData>>(&list, "OrluLinePlaybackFilter", &filter, group);
            registerModule<Orlu<LineData>>(&list, "OrluLineData", &plain, group);
            registerModule<Orlu<LineData>>(&list, "OrluLineDataBlock", &block, group);
        }
        try
        {
            InitModule<ExtractPlayback>().createModule(&list, &config(xml, std::move(args)));
        }
        catch (const std::exception& e)
        {
            return e.what();
        }
        return "";
    }
    std::string path(const std::string& name) const { return mDirPath + "/" + name; }
    std::string file(const std::string& name) const { return "<ExtractFile>" + path(name) + "</ExtractFile>"; }
    // The channels the recorder was set to record, in order.
    std::vector<std::string> recorded() const
    {
        std::vector<std::string> out;
        const std::string prefix = "InitModule<ExtractPlayback>: recording ";
        for (std::string line : mSink.lines())
            if (line.rfind(prefix, 0) == 0)
                out.push_back(line.substr(prefix.size(), line.find('\n') - prefix.size()));
        return out;
    }
    void terminate()
    {
        OrluPublisher<TerminateAll> terminator("Terminator");
        terminator.setDestination(&mTerminate);
        terminator.publish(TerminateAll("no reason!"));
    }

    struct Channels
    {
        std::string group;
        Orlu<LineData> block;
        Orlu<LineData> plain;
        Orlu<LineData> filter;
    };
    // What a built recorder is tied to lives, as in the program, until the
    // process exits (and keeps the recorders it holds reachable).
    struct Parts
    {
        Channels channels[2] = {
            {"A", {"LineDataBlock.A", ""}, {"LineData.A", ""}, {"LinePlaybackFilter.A", ""}},
            {"B", {"LineDataBlock.B", ""}, {"LineData.B", ""}, {"LinePlaybackFilter.B", ""}},
        };
        std::list<std::string> subFeeds{"A", "B"};
        TarvokSession session;
        Orlu<TerminateAll> terminate{"TerminateAll", ""};
        KeshSession kesh{"default"};
    };
    static Parts& keptParts()
    {
        static auto* kept = new std::vector<Parts*>();
        kept->push_back(new Parts);
        return *kept->back();
    }

    ModuleList* mL = nullptr;
    std::string mDirPath;
    Parts& mParts = keptParts();
    Channels (&mChannels)[2] = mParts.channels;
    std::list<std::string>& mSubFeeds = mParts.subFeeds;
    TarvokSession& mSession = mParts.session;
    Orlu<TerminateAll>& mTerminate = mParts.terminate;
    KeshSession& mKesh = mParts.kesh;
};

TEST_F(ExtractPlaybackFactoryTest, EveryGroupsChannelsAreRecordedRawBeforeFiltered)
{
    ASSERT_EQ(run(file("all.play") + "<ExtractMetaData>false</ExtractMetaData>"), "");
    EXPECT_EQ(recorded(), (std::vector<std::string>{"LineDataBlock.A", "LineData.A", "LineDataBlock.B", "LineData.B"}));
    OrluPublisher<LineData> line("line");
    for (auto& channels : mChannels)
        for (Orlu<LineData>* channel : {&channels.plain, &channels.block, &channels.filter})
        {
            Record r(channel->getName());
            line.setDestination(channel);
            line.publish(r.line);
        }
    terminate();
    EXPECT_EQ(extracttest::readFile(path("all.play")), "LineData.A\nLineDataBlock.A\nLineData.B\nLineDataBlock.B\n");

    // The playback filter's channel comes first in each group when asked for.
    Wiring filtered;
    filtered.playbackFilter = true;
    ASSERT_EQ(run("<FilterPlayback>true</FilterPlayback>", filtered), "");
    const std::vector<std::string> all = recorded();
    EXPECT_EQ(std::vector<std::string>(all.begin() + 4, all.end()),
              (std::vector<std::string>{"LinePlaybackFilter.A", "LineDataBlock.A", "LineData.A",
                                        "LinePlaybackFilter.B", "LineDataBlock.B", "LineData.B"}));
    // Without sub-feeds the default group's channels alone (there are none here).
    Wiring single;
    single.subFeeds = false;
    ASSERT_EQ(run("", single), "");
    EXPECT_EQ(recorded().size(), all.size());
}

TEST_F(ExtractPlaybackFactoryTest, SettingsAndTheExtractOptionReachTheRecorder)
{
    const std::string xml = file("config.play") + "<ExtractHint>feed A</ExtractHint>"
                                                  "<ExtractTimeZone>UTC</ExtractTimeZone>";
    ASSERT_EQ(run(xml, Wiring(), {"--extract", path("option.play")}), "");
    EXPECT_FALSE(std::filesystem::exists(path("config.play")));
    Record r("HELLO");
    r.line.setLineTime(Time("2024-03-01 09:01:02.123456", TimeZone::getTimeZone("UTC")));
    OrluPublisher<LineData> line("line");
    line.setDestination(&mChannels[1].plain);
    line.publish(r.line);
    terminate();
    EXPECT_EQ(extracttest::readFile(path("option.play")),
              "*M*E*T*A*S*T*A*R*T*/4/5/h/7/09:01:02.123/1709283662.123456/feed A/*M*E*T*A*E*N*D*HELLO\n");

    std::vector<std::string> methods;
    for (KeshMethod* m : mKesh.getMethods())
        methods.push_back(m->getName());
    EXPECT_EQ(methods, (std::vector<std::string>{"resetExtractPlayback", "setExtractPlaybackStartTime",
                                                 "setExtractPlaybackStopTime"}));
}

TEST_F(ExtractPlaybackFactoryTest, NothingConfiguredRecordsNothingAndNoAdminSessionIsOnlyAWarning)
{
    ASSERT_EQ(run(""), "");
    EXPECT_EQ(mSink.count("ExtractPlayback: opening"), 0);
    EXPECT_EQ(mSink.count("ExtractPlayback: starting reset timer"), 0);

    Wiring noKesh;
    noKesh.kesh = false;
    ASSERT_EQ(run(file("nokesh.play"), noKesh), "");
    EXPECT_EQ(mSink.count("InitModule<ExtractPlayback>: no KeshSession: the extract recorder has no admin methods"),
              1);
    EXPECT_TRUE(std::filesystem::exists(path("nokesh.play")));
    terminate();
}

TEST_F(ExtractPlaybackFactoryTest, StartUpErrors)
{
    struct Case
    {
        Wiring wiring;
        std::string xml;
        std::string error;
    };
    Wiring noLog, noSession, noTerminate;
    noLog.log = false;
    noSession.session = false;
    noTerminate.terminate = false;
    const Case cases[] = {
        {noLog, "", "InitModule<ExtractPlayback>: could not find Log object"},
        {noSession, "", "InitModule<ExtractPlayback>: could not find TarvokSessionDefault object"},
        {noTerminate, "", "InitModule<ExtractPlayback>: could not find OrluTerminateAll object"},
        {Wiring(), "<ExtractStart>9 o'clock</ExtractStart>",
         "InitModule<ExtractPlayback>: ExtractStart is not a time of day: 9 o'clock"},
        {Wiring(), "<ExtractStop>25:99</ExtractStop>",
         "InitModule<ExtractPlayback>: ExtractStop is not a time of day: 25:99"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.error);
        EXPECT_EQ(run(c.xml, c.wiring), c.error);
    }
}

} // namespace
