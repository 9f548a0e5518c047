// The controller and backup-line factories from temporary configurations:
// which controllers exist, where they are registered and subscribed, what
// reaches the statistics collector, and the start-up errors.
#include "../host_bus/HostTestSupport.h"
#include "LineControlTestSupport.h"

#include "kelmora/linecontrol/BackupLineControl.h"
#include "kelmora/linecontrol/LineController.h"
#include "kelmora/stats/OrluStatsCollector.h"
#include "kelmora/thread/TarvokSession.h"
#include "zunq/bus/OrluPublisher.h"

#include <gtest/gtest.h>

#include <list>
#include <memory>

namespace
{

class LineControlModuleTest : public HostFixture
{
protected:
    struct Wiring
    {
        bool log = true;
        bool subFeeds = true;
        bool defaultSession = true;
        bool defaultChannel = true;
        bool channelA = true;
        bool sessionB = true;
    };

    // A fresh module list as the earlier factories leave it for sub-feeds A and B.
    ModuleList& wire(const Wiring& w)
    {
        ModuleList& list = keptModuleList();
        if (w.log)
            registerModule<Log>(&list, "Log", &mLog, "default");
        if (w.subFeeds)
            registerModule<std::list<std::string>>(&list, "SubFeeds", &mSubFeeds, "default");
        registerModule<OrluStatsCollector>(&list, "OrluStatsCollector", &mCollector, "default");
        if (w.defaultSession)
            registerModule<TarvokSession>(&list, "TarvokSession", &mSessions[0], "default");
        if (w.defaultChannel)
            registerModule<Orlu<LineControl>>(&list, "OrluLineControl", &mChannels[0], "default");
        if (w.channelA)
            registerModule<Orlu<LineControl>>(&list, "OrluLineControl", &mChannels[1], "A");
        registerModule<TarvokSession>(&list, "TarvokSession", &mSessions[1], "A");
        registerModule<Orlu<LineControl>>(&list, "OrluLineControl", &mChannels[2], "B");
        if (w.sessionB)
            registerModule<TarvokSession>(&list, "TarvokSession", &mSessions[2], "B");
        return list;
    }

    std::unique_ptr<ZunqConfigManager> config(const std::string& xml)
    {
        return makeConfig({"feedd"}, xml, &mDir);
    }

    TempDir mDir;
    std::list<std::string> mSubFeeds{"A", "B"};
    OrluStatsCollector mCollector;
    TarvokSession mSessions[3];
    Orlu<LineControl> mChannels[3] = {
        {"OrluLineControl", "default"}, {"OrluLineControl", "A"}, {"OrluLineControl", "B"}};
};

TEST_F(LineControlModuleTest, ControllersAreMadePerGroupRegisteredAndSubscribedWithTheOverrideFlag)
{
    ModuleList& list = wire({});
    auto cfg = config("<LineControllerUseOverridesExisting>true</LineControllerUseOverridesExisting>");
    InitModule<LineController> factory;
    ASSERT_TRUE(factory.createModule(&list, cfg.get()));

    const struct
    {
        const char* group;
        const char* name;
    } expected[] = {{"default", "LineControl.default"}, {"A", "LineControl.A"}, {"B", "LineControl.B"}};
    for (std::size_t i = 0; i < std::size(expected); ++i)
    {
        LineController* controller = findModule<LineController>(&list, "LineController", expected[i].group);
        ASSERT_NE(controller, nullptr) << expected[i].group;
        EXPECT_EQ(controller->getControllerName(), expected[i].name);
        EXPECT_EQ(controller->getSubfeed(), expected[i].group);
        EXPECT_TRUE(controller->getUseOverridesExisting()) << expected[i].group;
        // Subscribed to its own group's channel: an unknown line there is reported once.
        const std::string warning = std::string("multicast params (239.0.0.") + std::to_string(i) + ",1)";
        OrluPublisher<LineControl> publisher("test");
        publisher.setDestination(&mChannels[i]);
        LineControl control;
        control.setAction(LineControl::DISCONNECT);
        const std::string address = "239.0.0." + std::to_string(i);
        control.setMcAddr(address.c_str());
        control.setAddrPort("1");
        publisher.publish(control);
        EXPECT_EQ(mSink.count(warning), 1) << expected[i].group;
    }
    const std::vector<OrluBase*> reported = {&mChannels[1], &mChannels[2]};
    EXPECT_EQ(mCollector.channels(), reported);
    EXPECT_EQ(mSink.count("InitModule<OrluLineControl>: creating general LineControl instance"), 1);
    EXPECT_EQ(mSink.count("InitModule<OrluLineControl>(B): creating OrluLineControl instance"), 1);
}

TEST_F(LineControlModuleTest, NoControllerWithoutSubFeedsOrWhenSwitchedOffAndTheOverrideIsOffByDefault)
{
    const struct
    {
        const char* name;
        bool subFeeds;
        bool empty;
        const char* xml;
        bool created;
    } cases[] = {
        {"defaults", true, false, "", true},
        {"switched off", true, false, "<UseLineController>false</UseLineController>", false},
        {"no sub-feed module", false, false, "", false},
        {"empty sub-feed list", true, true, "", false},
    };
    for (const auto& c : cases)
    {
        mSubFeeds = c.empty ? std::list<std::string>{} : std::list<std::string>{"A", "B"};
        Wiring w;
        w.subFeeds = c.subFeeds;
        ModuleList& list = wire(w);
        auto cfg = config(c.xml);
        InitModule<LineController> factory;
        ASSERT_TRUE(factory.createModule(&list, cfg.get())) << c.name;
        LineController* general = findModule<LineController>(&list, "LineController", "default");
        EXPECT_EQ(general != nullptr, c.created) << c.name;
        if (general != nullptr)
        {
            EXPECT_FALSE(general->getUseOverridesExisting());
        }
    }
    EXPECT_EQ(mSink.count("LineController: not initializing"), 1);
}

TEST_F(LineControlModuleTest, MissingLogSessionOrChannelEndsStartUp)
{
    const struct
    {
        const char* name;
        Wiring wiring;
        const char* message;
    } cases[] = {
        {"log", {.log = false}, "InitModule<OrluLineControl>: could not find Log object"},
        {"default session",
         {.defaultSession = false},
         "InitModule<OrluLineControl>: could not find TarvokSession object"},
        {"default channel",
         {.defaultChannel = false},
         "InitModule<OrluLineControl>: could not find OrluLineControl object"},
        {"sub-feed channel", {.channelA = false}, "InitModule<OrluLineControl>: could not find OrluLineControl object"},
        {"sub-feed session", {.sessionB = false}, "InitModule<OrluLineControl>: could not find TarvokSession object"},
    };
    for (const auto& c : cases)
    {
        ModuleList& list = wire(c.wiring);
        auto cfg = config("");
        InitModule<LineController> factory;
        try
        {
            factory.createModule(&list, cfg.get());
            ADD_FAILURE() << c.name << ": no error";
        }
        catch (const InitModuleError& e)
        {
            EXPECT_STREQ(e.what(), c.message) << c.name;
        }
    }
}

class BackupLineModuleTest : public HostFixture
{
protected:
    Orlu<BackupLineChange> mChangesA{"OrluBackupLineChange", "A"};
    Orlu<BackupLineChange> mChangesDefault{"OrluBackupLineChange", "default"};
    std::list<std::string> mSubFeeds{"A", "B"};
};

// One control for the process: either sub-feed's change flips the one state.
TEST_F(BackupLineModuleTest, OneControlServesEverySubFeedAndAGroupWithoutAChannelIsSkipped)
{
    ModuleList& list = keptModuleList();
    registerModule<Log>(&list, "Log", &mLog, "default");
    registerModule<std::list<std::string>>(&list, "SubFeeds", &mSubFeeds, "default");
    registerModule<Orlu<BackupLineChange>>(&list, "OrluBackupLineChange", &mChangesA, "A");
    Orlu<BackupLineChange> changesB("OrluBackupLineChange", "B");
    registerModule<Orlu<BackupLineChange>>(&list, "OrluBackupLineChange", &changesB, "B");
    registerModule<Orlu<BackupLineChange>>(&list, "OrluBackupLineChange", &mChangesDefault, "default");
    InitModule<BackupLineControl> factory;
    ASSERT_TRUE(factory.createModule(&list, nullptr));
    BackupLineControl* control = findModule<BackupLineControl>(&list, "BackupLineControl", "default");
    ASSERT_NE(control, nullptr);

    TarvokSession session;
    lctest::CountingLine main("main", session, mLog);
    lctest::CountingLine backup("backup", session, mLog, nullptr, false);
    control->addMainLineConnection(&main);
    control->addBackupLineConnection(&backup);
    OrluPublisher<BackupLineChange> publisher("LineFilter");
    for (Orlu<BackupLineChange>* channel : {&mChangesA, &changesB, &mChangesDefault})
    {
        publisher.setDestination(channel);
        publisher.publish(BackupLineChange(true));
    }
    // A, then B switched back; the default group's channel is not one of the sub-feeds'.
    EXPECT_TRUE(control->connectedToMainLine());
    EXPECT_EQ(backup.connects, 1);
    EXPECT_EQ(backup.disconnects, 1);
    EXPECT_EQ(main.disconnects, 1);
    EXPECT_EQ(main.connects, 1);
}

TEST_F(BackupLineModuleTest, WithoutSubFeedsOnlyTheDefaultGroupIsHeardAndAMissingChannelIsLogged)
{
    ModuleList& list = keptModuleList();
    registerModule<Log>(&list, "Log", &mLog, "default");
    registerModule<Orlu<BackupLineChange>>(&list, "OrluBackupLineChange", &mChangesDefault, "default");
    InitModule<BackupLineControl> factory;
    ASSERT_TRUE(factory.createModule(&list, nullptr));
    BackupLineControl* control = findModule<BackupLineControl>(&list, "BackupLineControl", "default");
    ASSERT_NE(control, nullptr);
    OrluPublisher<BackupLineChange> publisher("LineFilter");
    publisher.setDestination(&mChangesDefault);
    publisher.publish(BackupLineChange(true));
    EXPECT_FALSE(control->connectedToMainLine());

    ModuleList& withSubFeeds = keptModuleList();
    registerModule<Log>(&withSubFeeds, "Log", &mLog, "default");
    registerModule<std::list<std::string>>(&withSubFeeds, "SubFeeds", &mSubFeeds, "default");
    registerModule<Orlu<BackupLineChange>>(&withSubFeeds, "OrluBackupLineChange", &mChangesA, "A");
    ASSERT_TRUE(factory.createModule(&withSubFeeds, nullptr));
    EXPECT_EQ(mSink.count("InitModule<BackupLineControl>(B): no OrluBackupLineChange channel; not subscribed"), 1);
    EXPECT_EQ(mSink.count("InitModule<BackupLineControl>(A)"), 0);

    ModuleList& noLog = keptModuleList();
    try
    {
        factory.createModule(&noLog, nullptr);
        ADD_FAILURE() << "no error";
    }
    catch (const InitModuleError& e)
    {
        EXPECT_STREQ(e.what(), "InitModule<BackupLineControl>: could not find Log object");
    }
}

} // namespace
