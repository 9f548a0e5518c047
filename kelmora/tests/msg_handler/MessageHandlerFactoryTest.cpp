// The message handler factory over configuration files: the plug-in's
// handlers of two sub-feeds, one of them on a message-handling thread, wired
// to the channels of their sub-feed and admin group, with their settings and
// admin methods; and the start-up errors, each with its text.
#include "../host_admin/AdminTestSupport.h"
#include "MsgHandlerTestSupport.h"
#include "plugins/RecordingMessageHandler.h"

#include "kelmora/admin/KeshSessionModule.h"
#include "kelmora/bus/OrluChannelFactory.h"
#include "kelmora/linedata/LineDataBasic.h"
#include "kelmora/runtime/SharedObjects.h"
#include "kelmora/thread/SubFeeds.h"
#include "kelmora/thread/TarvokSessionFactory.h"
#include "zunq/admin/KeshMethod.h"
#include "zunq/admin/KeshSession.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <list>

using mhtest::Kept;

namespace
{

// The plug-in's factory, from the library the loader opened.
InitModuleX* pluginFactory(Log& log)
{
    loadSharedObjects(MSG_HANDLER_PLUGIN, &log);
    void* library = dlopen(MSG_HANDLER_PLUGIN, RTLD_NOW | RTLD_NOLOAD);
    if (library == nullptr)
        return nullptr;
    auto* get = reinterpret_cast<InitModuleX* (*)()>(dlsym(library, "msg_handler_plugin_factory"));
    dlclose(library); // the loader's reference keeps it open
    return get != nullptr ? get() : nullptr;
}

// Two feed threads: FEED carries sub-feed A; MH handles messages and carries
// the sub-feed of its own name.
const char* const cTwoSubFeeds =
    "<NamedThreads><Value>FEED</Value><Value>MH</Value></NamedThreads>"
    "<FEED><Enabled>true</Enabled><QueueSize>10</QueueSize></FEED>"
    "<MH><Enabled>true</Enabled><QueueSize>10</QueueSize><IsMsgHandling>true</IsMsgHandling>"
    "<UseNamedThread>MH</UseNamedThread></MH>"
    "<SubFeeds><Value>A</Value><Value>MH</Value></SubFeeds>"
    "<A><UseNamedThread>FEED</UseNamedThread><MessageHandlerDebug>true</MessageHandlerDebug></A>"
    "<HaMode>standby</HaMode>";

class MessageHandlerFactoryTest : public admintest::AdminFixture
{
protected:
    // Start-up up to the handlers, as the module initializer orders it, then the factory.
    void startUp(const std::string& xml, std::vector<std::string> args = {})
    {
        ZunqConfigManager& cfg = config(xml, std::move(args));
        InitModule<NamedThreads>().createModule(&mList, &cfg);
        InitModule<TarvokSessionQelmo>().createModule(&mList, &cfg);
        InitModule<TarvokSessionQelmoFt>().createModule(&mList, &cfg);
        InitModule<TarvokSessionQelmoOrvane>().createModule(&mList, &cfg);
        InitModule<SubFeeds>().createModule(&mList, &cfg);
        InitModule<KeshSession>().createModule(&mList, &cfg);
        InitModule<Orlu<LineAdmin>>().createModule(&mList, &cfg);
        InitModule<Orlu<LineStatus>>().createModule(&mList, &cfg);
        InitModule<Orlu<SystemEvent>>().createModule(&mList, &cfg);
        InitModule<Orlu<LineData>>().createModule(&mList, &cfg);
        InitModule<Orlu<MhMode>>().createModule(&mList, &cfg);
        // With sub-feeds the channel factories make no admin channels in the
        // default group; the message-handling thread's handler needs them there.
        const std::string& def = mList.defaultGroup();
        registerModule<Orlu<LineAdmin>>(&mList, "OrluLineAdmin", &mDefaultAdmin, def);
        registerModule<Orlu<LineStatus>>(&mList, "OrluLineStatus", &mDefaultStatus, def);
        registerModule<Orlu<SystemEvent>>(&mList, "OrluSystemEvent", &mDefaultEvents, def);
        registerModule<Orlu<MhMode>>(&mList, "OrluMhMode", &mDefaultModes, def);
        InitModuleX* plugin = pluginFactory(mLog);
        ASSERT_NE(plugin, nullptr);
        plugin->createModule(&mList, &cfg);
        InitModule<MessageHandler>().createModule(&mList, &cfg);
    }
    RecordingMessageHandler* handler(const std::string& group)
    {
        // The plug-in registers only its recording handlers.
        return static_cast<RecordingMessageHandler*>(findModule<MessageHandler>(&mList, "MessageHandler", group));
    }
    template <typename T>
    Orlu<T>* channel(const std::string& module, const std::string& group)
    {
        return findModule<Orlu<T>>(&mList, module, group);
    }
    // "<method>@<thread>" of every method of the group's admin session.
    std::vector<std::string> methods(const std::string& group)
    {
        std::vector<std::string> out;
        for (KeshMethod* m : findModule<KeshSession>(&mList, "KeshSession", group)->getMethods())
            out.push_back(m->getName() + "@" + m->getThread());
        return out;
    }

    Orlu<LineAdmin> mDefaultAdmin{"LineAdmin", ""};
    Orlu<LineStatus> mDefaultStatus{"LineStatus.default", "default"};
    Orlu<SystemEvent> mDefaultEvents{"SystemEvent.default", "default"};
    Orlu<MhMode> mDefaultModes{"MhMode.default", "default"};
};

TEST_F(MessageHandlerFactoryTest, EachHandlerHearsItsSubFeedAndItsAdminGroup)
{
    ASSERT_NO_FATAL_FAILURE(startUp(cTwoSubFeeds));
    RecordingMessageHandler* a = handler("A");
    RecordingMessageHandler* mh = handler("MH");
    ASSERT_NE(a, nullptr);
    ASSERT_NE(mh, nullptr);
    EXPECT_TRUE(a->getDebug());
    EXPECT_FALSE(mh->getDebug());
    EXPECT_EQ(a->taken(), std::vector<std::string>{"ha Standby@main"});
    EXPECT_EQ(mh->taken(), std::vector<std::string>{"ha Standby@main"});

    OrluPublisher<LineData> line("line");
    OrluPublisher<LineAdmin> admin("admin");
    OrluPublisher<LineStatus> status("status");
    OrluPublisher<SystemEvent> event("event");
    LineDataBasic record;
    LineAdmin set;
    set.actionSetSequence(7);
    for (const std::string group : {"A", "MH"})
    {
        SCOPED_TRACE(group);
        // The admin channels of a message-handling thread's sub-feed are the default group's.
        const std::string adminGroup = group == "MH" ? "default" : group;
        line.setDestination(channel<LineData>("OrluLineData", group));
        admin.setDestination(channel<LineAdmin>("OrluLineAdmin", adminGroup));
        status.setDestination(channel<LineStatus>("OrluLineStatus", adminGroup));
        event.setDestination(channel<SystemEvent>("OrluSystemEvent", adminGroup));
        record.setSeqNum(group == "A" ? 11 : 22);
        line.publish(record);
        admin.publish(set);
        status.publish(LineStatus(LineStatus::UP));
        event.publish(SystemEvent(SystemEvent::RESET));
    }
    EXPECT_EQ(a->taken(), (std::vector<std::string>{"ha Standby@main", "data 11@main", "admin 1 7@main",
                                                    "seqnum 7@main", "status up@main", "event reset@main"}));
    EXPECT_EQ(mh->taken(), (std::vector<std::string>{"ha Standby@main", "data 22@main", "admin 1 7@main",
                                                     "seqnum 7@main", "status up@main", "event reset@main"}));

    Kept<MhMode> modesA, modesDefault, modesMH;
    channel<MhMode>("OrluMhMode", "A")->subscribe(&modesA);
    channel<MhMode>("OrluMhMode", "MH")->subscribe(&modesMH);
    mDefaultModes.subscribe(&modesDefault);
    a->setMode(MhMode::NORMAL);
    mh->setMode(MhMode::SLEEP);
    ASSERT_EQ(modesA.taken().size(), 1u);
    EXPECT_EQ(modesA.taken()[0].second.getMode(), MhMode::NORMAL);
    ASSERT_EQ(modesDefault.taken().size(), 1u);
    EXPECT_EQ(modesDefault.taken()[0].second.getMode(), MhMode::SLEEP);
    EXPECT_TRUE(modesMH.taken().empty());

    // The admin methods run on each handler's own thread, in its admin group's session.
    EXPECT_EQ(methods("A"), (std::vector<std::string>{"getMode@FEED", "setHAMode@FEED"}));
    EXPECT_EQ(methods("default"), (std::vector<std::string>{"getMode@MH", "setHAMode@MH"}));
    EXPECT_EQ(mSink.count("InitModule<MessageHandler>(A): initializing MessageHandler object"), 1);
    EXPECT_EQ(mSink.count("InitModule<MessageHandler>(MH): creating KeshMethod objects"), 1);
}

// What a case leaves out of the list.
struct Leave
{
    std::string module;
    bool handler = true;
};

// A list by hand: the modules one sub-feed's handler needs, each of which a case may leave out.
class MessageHandlerFactoryErrors : public admintest::AdminFixture
{
protected:
    // The error text start-up ends with, or "".
    std::string run(const std::string& xml, const Leave& leave = Leave())
    {
        ModuleList& list = keptModuleList();
        registerModule<Log>(&list, "Log", &mLog, "default");
        registerModule<std::list<std::string>>(&list, "SubFeeds", &mSubFeeds, "default");
        auto add = [&](const std::string& name, auto* module) {
            if (leave.module != name)
                registerModule(&list, name, module, "A");
        };
        if (leave.handler)
            registerModule<MessageHandler>(&list, "MessageHandler", &mHandler, "A");
        add("TarvokSession", &mSession);
        add("OrluLineAdmin", &mAdmin);
        add("OrluLineData", &mLineData);
        add("OrluLineStatus", &mStatus);
        add("OrluSystemEvent", &mEvents);
        add("OrluMhMode", &mModes);
        try
        {
            InitModule<MessageHandler>().createModule(&list, &config(xml));
        }
        catch (const std::exception& e)
        {
            return e.what();
        }
        return "";
    }

    std::list<std::string> mSubFeeds{"A"};
    RecordingMessageHandler mHandler{"A", mLog};
    TarvokSession mSession;
    Orlu<LineAdmin> mAdmin{"LineAdmin.A", ""};
    Orlu<LineData> mLineData{"LineData.A", ""};
    Orlu<LineStatus> mStatus{"LineStatus.A", "A"};
    Orlu<SystemEvent> mEvents{"SystemEvent.A", "A"};
    Orlu<MhMode> mModes{"MhMode.A", "A"};
};

TEST_F(MessageHandlerFactoryErrors, AMissingChannelOrSessionOrABadHaModeEndsStartUp)
{
    struct Case
    {
        std::string leave;
        std::string xml;
        std::string error;
    };
    const Case cases[] = {
        {"TarvokSession", "", "InitModule<MessageHandler>(A): could not find TarvokSession object"},
        {"OrluLineAdmin", "", "InitModule<MessageHandler>(A): could not find OrluLineAdmin object"},
        {"OrluLineData", "", "InitModule<MessageHandler>(A): could not find OrluLineData object"},
        {"OrluLineStatus", "", "InitModule<MessageHandler>(A): could not find OrluLineStatus object"},
        {"OrluSystemEvent", "", "InitModule<MessageHandler>(A): could not find OrluSystemEvent object"},
        {"OrluMhMode", "", "InitModule<MessageHandler>(A): could not find OrluMhMode object"},
        {"", "<HaMode>sideways</HaMode>", "InitModule<MessageHandler>: Invalid HA mode passed to MH : sideways"},
        {"", "<HaMode>Error</HaMode>", "InitModule<MessageHandler>: Invalid HA mode passed to MH : Error"},
        {"", "<HaMode>Standby</HaMode>", ""},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.leave + c.xml);
        EXPECT_EQ(run(c.xml, Leave{c.leave}), c.error);
    }
    EXPECT_EQ(mHandler.getHAMode().getMode(), HaMode::STANDBY);
}

TEST_F(MessageHandlerFactoryErrors, ASubFeedWithoutHandlerIsPassedOverWarnedOrSilently)
{
    // Without a handler its channels are not even looked for.
    EXPECT_EQ(run("", Leave{"OrluLineData", false}), "");
    EXPECT_EQ(mSink.count("InitModule<MessageHandler>(A): no MessageHandler object found"), 1);
    EXPECT_EQ(run("<SubFeedsErrorNoMessageHandler>false</SubFeedsErrorNoMessageHandler>", Leave{"", false}), "");
    EXPECT_EQ(mSink.count("no MessageHandler object found"), 1);

    // No sub-feeds at all: nothing is done.
    ModuleList& bare = keptModuleList();
    registerModule<Log>(&bare, "Log", &mLog, "default");
    EXPECT_TRUE(InitModule<MessageHandler>().createModule(&bare, &config("")));
    EXPECT_EQ(mSink.count("InitModule<MessageHandler>: NOT initializing: no SubFeeds defined"), 1);
    ModuleList& noLog = keptModuleList();
    EXPECT_THROW(InitModule<MessageHandler>().createModule(&noLog, &config("")), InitModuleError);
}

} // namespace
