#include "HostTestSupport.h"

#include "kelmora/bus/BackupLineChange.h"
#include "kelmora/bus/LineAdmin.h"
#include "kelmora/bus/LineHeartbeat.h"
#include "kelmora/bus/MhMode.h"
#include "kelmora/bus/MsgPubAdmin.h"
#include "kelmora/bus/MsgZunq.h"
#include "kelmora/bus/OrluChannelFactory.h"
#include "kelmora/bus/RefreshRequest.h"
#include "kelmora/bus/RetransComplete.h"
#include "kelmora/bus/RetransRequest.h"
#include "kelmora/bus/SeqNumGap.h"
#include "kelmora/bus/SystemEvent.h"
#include "kelmora/bus/TerminateAll.h"
#include "kelmora/linedata/LineData.h"
#include "kelmora/supervision/LineControl.h"
#include "kelmora/supervision/LineStatus.h"
#include "kelmora/thread/NamedThread.h"
#include "kelmora/thread/NamedThreads.h"

#include <gtest/gtest.h>

#include <list>

namespace
{

using SubFeedList = std::list<std::string>;

// Runs every channel factory on `list`, in the order of their priorities.
void createAllChannels(ModuleList& list)
{
    InitModule<Orlu<TerminateAll>>().createModule(&list, nullptr);
    InitModule<Orlu<MsgPubAdmin>>().createModule(&list, nullptr);
    InitModule<Orlu<LineAdmin>>().createModule(&list, nullptr);
    InitModule<Orlu<LineControl>>().createModule(&list, nullptr);
    InitModule<Orlu<LineHeartbeat>>().createModule(&list, nullptr);
    InitModule<Orlu<LineStatus>>().createModule(&list, nullptr);
    InitModule<Orlu<RetransComplete>>().createModule(&list, nullptr);
    InitModule<Orlu<SystemEvent>>().createModule(&list, nullptr);
    InitModule<Orlu<LineData>>().createModule(&list, nullptr);
    InitModule<OrluLineDataBlock>().createModule(&list, nullptr);
    InitModule<Orlu<BackupLineChange>>().createModule(&list, nullptr);
    InitModule<Orlu<MhMode>>().createModule(&list, nullptr);
    InitModule<Orlu<RefreshRequest>>().createModule(&list, nullptr);
    InitModule<Orlu<RetransRequest>>().createModule(&list, nullptr);
    InitModule<Orlu<SeqNumGap>>().createModule(&list, nullptr);
    InitModule<OrluMsgZunq>().createModule(&list, nullptr);
}

// The channel behind (module, group), whatever its message type; null when none.
const OrluBase* channelOf(const ModuleList& list, const std::string& module, const std::string& group)
{
    const ModuleBase* base = list.findBase(module, group);
    return base != nullptr ? static_cast<const OrluBase*>(base->getModuleVoid()) : nullptr;
}

struct Expect
{
    const char* module;
    const char* group;
    const char* channel; // null: no module in that group
    const char* groupText = "";
};

void expectChannels(const ModuleList& list, const std::vector<Expect>& table)
{
    for (const Expect& e : table)
    {
        const OrluBase* channel = channelOf(list, e.module, e.group);
        if (e.channel == nullptr)
        {
            EXPECT_EQ(channel, nullptr) << e.module << " in " << e.group << " is " << channel->getName();
            continue;
        }
        ASSERT_NE(channel, nullptr) << e.module << " in " << e.group;
        EXPECT_EQ(channel->getName(), e.channel) << e.module << " in " << e.group;
        EXPECT_EQ(channel->getGroup(), e.groupText) << e.module << " in " << e.group;
    }
}

TEST_F(HostFixture, WithoutSubFeedsEachShapeFallsBackToTheDefaultGroup)
{
    createAllChannels(mList);
    expectChannels(mList, {
        {"OrluTerminateAll", "default", "TerminateAll"},
        {"OrluMsgPubAdmin", "default", "MsgPubAdmin"},
        {"OrluLineAdmin", "default", "LineAdmin"},
        {"OrluLineControl", "default", "LineControl"},
        {"OrluLineHeartbeat", "default", "LineHeartbeat.default", "default"},
        {"OrluLineStatus", "default", "LineStatus.default", "default"},
        {"OrluRetransComplete", "default", "RetransComplete"},
        {"OrluSystemEvent", "default", "SystemEvent.default", "default"},
        {"OrluLineData", "default", "LineData.default", ""},
        {"OrluLineDataBlock", "default", "LineDataBlock"},
        {"OrluBackupLineChange", "default", "BackupLineChangedefault", "default"},
        {"OrluMhMode", "default", "MhMode.default", "default"},
        // Two channels under one name: every lookup gets the first.
        {"OrluRefreshRequest", "default", "RefreshRequest.default", "default"},
        {"OrluRetransRequest", "default", "RetransRequest.default", "default"},
        {"OrluSeqNumGap", "default", "SeqNumGap.default", "default"},
        {"OrluMsgZunq", "default", "MsgZunq"},
    });
    EXPECT_EQ(mSink.count("InitModule<OrluRefreshRequest>: creating OrluRefreshRequest instance"), 1);
    EXPECT_EQ(mSink.count("InitModule<OrluRefreshRequest>(default): creating OrluRefreshRequest instance"), 1);
    EXPECT_EQ(mSink.count("InitModule<Tclass>: creating OrluTerminateAllinstance"), 1);
    EXPECT_EQ(mSink.count("InitModule<OrluLineAdmin>: creating OrluLineAdmin instance"), 1);
}

TEST_F(HostFixture, WithSubFeedsChannelsArePerGroupAndOnlySomeShapesKeepAGeneralOne)
{
    SubFeedList subFeeds{"A", "B"};
    registerModule<SubFeedList>(&mList, "SubFeeds", &subFeeds, mList.defaultGroup());
    createAllChannels(mList);
    expectChannels(mList, {
        {"OrluTerminateAll", "default", "TerminateAll"},
        {"OrluTerminateAll", "A", nullptr},
        {"OrluLineAdmin", "A", "LineAdmin.A"},
        {"OrluLineAdmin", "B", "LineAdmin.B"},
        {"OrluLineAdmin", "default", nullptr},
        {"OrluLineControl", "default", "LineControl"},
        {"OrluLineControl", "A", "LineControl.A"},
        {"OrluLineControl", "B", "LineControl.B"},
        {"OrluLineStatus", "A", "LineStatus.A", "A"},
        {"OrluLineStatus", "default", nullptr},
        {"OrluRetransComplete", "B", "RetransComplete.B"},
        {"OrluRetransComplete", "default", nullptr},
        {"OrluLineData", "A", "LineData.A", ""},
        {"OrluLineData", "default", nullptr},
        {"OrluLineDataBlock", "A", "LineDataBlock.A"},
        {"OrluLineDataBlock", "default", nullptr},
        {"OrluBackupLineChange", "A", "BackupLineChangeA", "A"},
        {"OrluRefreshRequest", "B", "RefreshRequest.B", "B"},
        {"OrluRefreshRequest", "default", "RefreshRequest"},
        {"OrluSeqNumGap", "B", "SeqNumGap.B", "B"},
        {"OrluMsgZunq", "default", "MsgZunq"},
        {"OrluMsgZunq", "A", nullptr},
    });
    EXPECT_EQ(mSink.count("InitModule<OrluLineControl>: creating general OrluLineControl instance"), 1);
    EXPECT_EQ(mSink.count("InitModule<OrluLineStatus>(B): creating OrluLineStatus instance"), 1);

    // The channel modules are typed: a lookup with the channel's type gets it.
    EXPECT_NE(findModule<Orlu<LineData>>(&mList, "OrluLineDataBlock", "B"), nullptr);
    EXPECT_NE(findModule<Orlu<MsgZunq>>(&mList, "OrluMsgZunq", "default"), nullptr);
}

TEST_F(HostFixture, AnEmptySubFeedListIsNoSubFeedList)
{
    SubFeedList none;
    registerModule<SubFeedList>(&mList, "SubFeeds", &none, mList.defaultGroup());
    InitModule<Orlu<LineAdmin>>().createModule(&mList, nullptr);
    InitModule<Orlu<LineStatus>>().createModule(&mList, nullptr);
    expectChannels(mList, {
        {"OrluLineAdmin", "default", "LineAdmin"},
        {"OrluLineStatus", "default", "LineStatus.default", "default"},
    });
}

TEST_F(HostFixture, AThreadThatSendsFeedMessagesGetsAMsgZunqChannelOfItsOwn)
{
    // Threads as the named-thread factory registers them: names, then each in its group.
    NamedThreads names;
    names.push_back("SEND");
    names.push_back("QUIET");
    names.push_back("GONE"); // listed, no thread module
    NamedThread send("SEND"), quiet("QUIET");
    send.setIsMsgSending(true);
    registerModule<NamedThreads>(&mList, "NamedThreads", &names, mList.defaultGroup());
    registerModule<NamedThread>(&mList, "NamedThread", &send, "SEND");
    registerModule<NamedThread>(&mList, "NamedThread", &quiet, "QUIET");
    InitModule<OrluMsgZunq>().createModule(&mList, nullptr);
    expectChannels(mList, {
        {"OrluMsgZunq", "default", "MsgZunq"},
        {"OrluMsgZunq", "SEND", "MsgZunq"},
        {"OrluMsgZunq", "QUIET", nullptr},
        {"OrluMsgZunq", "GONE", nullptr},
    });
    EXPECT_NE(channelOf(mList, "OrluMsgZunq", "SEND"), channelOf(mList, "OrluMsgZunq", "default"));
    EXPECT_EQ(mSink.count("InitModule<OrluMsgZunq>: creating Orlu object"), 1);
    EXPECT_EQ(mSink.count("InitModule<OrluMsgZunq>(SEND): creating Orlu object"), 1);
    EXPECT_EQ(mSink.count("InitModule<OrluMsgZunq>(QUIET): NOT creating a OrluMsgZunq as \"IsMsgSending\" "
                          "parameter is \"false\""),
              1);
}

} // namespace
