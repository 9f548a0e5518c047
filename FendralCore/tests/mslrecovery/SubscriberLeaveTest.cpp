// A subscriber of a published topic that waits for the acknowledgements of
// recovery instances leaves with a leave notification: the publishing
// thread hears that the last subscriber, the last DR-site one, the last
// recovery instance or the last DR-site recovery instance left, each only
// with SUBSCRIB_STS_EVT set, and the publisher forgets the acknowledgement
// times of what left. The subscribers are the test's own, from the bytes.
#include "FendralCore/tests/mslrecovery/RecoveryTestSupport.h"

#include <gtest/gtest.h>

namespace
{
using namespace rectest;

struct Subscriber
{
    const char* appId;
    int32 inst;
    int32 site;
    bool mrm; // a recovery instance (its id starts with the base name "MRM")
};

struct LeaveCase
{
    const char* name;
    std::vector<Subscriber> subscribers;
    size_t leaving;
    bool statusEvents;
    std::vector<int32> heard; // subscriber status events of the publishing thread, in order
};

void PrintTo(const LeaveCase& c, std::ostream* os)
{
    *os << c.name;
}

class SubscriberLeaveTest : public ::testing::TestWithParam<LeaveCase>
{
};

TEST_P(SubscriberLeaveTest, PublisherHearsWhatTheLeaveTookAway)
{
    const LeaveCase& c = GetParam();
    Net net;
    Net::Extra extra;
    extra.adjust = [](GlobalData& gd) {
        std::memset(gd.m_mrmBaseName, 0, sizeof(ApplicationID));
        std::memcpy(gd.m_mrmBaseName, "MRM", 3);
        gd.m_mrmBaseNameLen = 3;
    };
    extra.beforeStart = [](Node& n) {
        ResourceName name{};
        ResourceManager::copyResourceName(name, "QUOTES");
        MsgTopicResource* res = nullptr;
        ASSERT_EQ(n.h->registry().getMsgTopicRes(name, &res), 0);
        res->regParam.waitForMrmAck = true;
    };
    Node& pub = net.add("PUBA", "10.0.0.1", {{"QUOTES", PUBLISH}},
                        c.statusEvents ? "SUBSCRIB_STS_EVT UINT32 1\n" : "", false, extra);
    ASSERT_TRUE(net.ready(pub));
    std::vector<std::unique_ptr<RawPeer>> peers;
    for (size_t i = 0; i < c.subscribers.size(); ++i)
    {
        const Subscriber& s = c.subscribers[i];
        peers.push_back(std::make_unique<RawPeer>(net.fabric, "10.0.2." + std::to_string(i + 1)));
        Rqs join;
        join.cmd = 3; // SUBSCRIBER_TOPIC_RQS
        join.sender = s.appId;
        join.senderInst = s.inst;
        join.site = s.site;
        join.rqsId = static_cast<uint32_t>(100 + i);
        peers.back()->send(join);
        const int32 joined = static_cast<int32>(i + 1);
        ASSERT_TRUE(net.pumpUntil([&] { return pub.pub()->publisherTopicPtr->getSubscriberCnt() == joined; }));
        peers.back()->sendAck(topicAck(s.appId, s.inst, s.site, s.mrm, 0));
        ASSERT_TRUE(net.pumpUntil([&] { return pub.pub()->numEffectiveSub.load() == joined; }));
    }
    const TopicRecord& rec = *pub.pub();
    ASSERT_NE(rec.lastAckRcvdNs.load(), 0);
    pub.events.clear();

    const Subscriber& s = c.subscribers[c.leaving];
    Rqs leave;
    leave.cmd = 6; // SUBSCRIBER_LEAVE_TOPIC_NOTIFICATION
    leave.sender = s.appId;
    leave.senderInst = s.inst;
    leave.site = s.site;
    leave.rqsId = 900;
    peers[c.leaving]->send(leave);
    ASSERT_TRUE(net.pumpUntil(
        [&] { return rec.numEffectiveSub.load() == static_cast<int32>(c.subscribers.size() - 1); }));
    net.pumpUntil([] { return false; }, std::chrono::milliseconds(50));
    std::vector<int32> heard;
    for (const auto& [id, param] : pub.events)
        if ((id >= FIRST_SUBSCRIBER_JOINED && id <= LAST_DR_SUBSCRIBER_LEFT) ||
            (id >= FIRST_MRM_SUBSCRIBER_JOINED && id <= LAST_DR_MRM_SUBSCRIBER_LEFT))
            heard.push_back(id);
    EXPECT_EQ(heard, c.heard);
    // What no longer acknowledges is not waited for.
    if (s.site == DR_SITE)
    {
        EXPECT_EQ(rec.lastDrAckRcvdNs.load(), 0);
    }
    if (s.mrm)
    {
        EXPECT_EQ(s.site == DR_SITE ? rec.lastDrMrmAckRcvdNs.load() : rec.lastMrmAckRcvdNs.load(), 0);
    }
    if (c.subscribers.size() == 1)
    {
        EXPECT_EQ(rec.lastAckRcvdNs.load(), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SubscriberLeaveTest,
    ::testing::Values(
        LeaveCase{"Last", {{"SUBX", 1, PRIMARY_SITE, false}}, 0, true, {LAST_SUBSCRIBER_LEFT}},
        LeaveCase{"LastDrSite",
                  {{"SUBX", 1, PRIMARY_SITE, false}, {"SUBY", 1, DR_SITE, false}},
                  1,
                  true,
                  {LAST_DR_SUBSCRIBER_LEFT}},
        LeaveCase{"LastMrm",
                  {{"MRM0", 0, PRIMARY_SITE, true}},
                  0,
                  true,
                  {LAST_SUBSCRIBER_LEFT, LAST_MRM_SUBSCRIBER_LEFT}},
        LeaveCase{"LastDrSiteMrm",
                  {{"MRM0", 0, PRIMARY_SITE, true}, {"MRM0", 1, DR_SITE, true}},
                  1,
                  true,
                  {LAST_DR_SUBSCRIBER_LEFT, LAST_DR_MRM_SUBSCRIBER_LEFT}},
        LeaveCase{"LastMrmWithoutStatusEvents", {{"MRM0", 0, PRIMARY_SITE, true}}, 0, false, {}}),
    [](const auto& info) { return std::string(info.param.name); });
} // namespace
