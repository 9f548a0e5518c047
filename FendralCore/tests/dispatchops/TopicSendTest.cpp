#include "OpsHarness.h"

#include "FendralCore/tests/support/RecordingTopic.h"

// A topic that cannot take the message now is tried 4 times in all, 10 ms
// apart in a CPU thread; a message accepted without subscribers still
// counts as sent for the caller's sequence but reports its code.
TEST(DispatchTopicSend, WouldBlockIsRetriedFourTimesThenReported)
{
    struct Case
    {
        const char* what;
        std::vector<int32> answers;
        int32 rc;
        int32 code;
        size_t calls;
        int64 minMs;
    };
    const std::vector<Case> cases = {
        {"accepted at once", {}, 0, 0, 1, 0},
        {"accepted at the fourth try", {WOULD_BLOCK, WOULD_BLOCK, WOULD_BLOCK}, 0, 0, 4, 30},
        {"blocked four times", {WOULD_BLOCK, WOULD_BLOCK, WOULD_BLOCK, WOULD_BLOCK}, -1, WOULD_BLOCK, 4, 30},
        {"no subscriber", {MSL_NO_SUBSCRIBER}, -1, MSL_NO_SUBSCRIBER, 1, 0},
        {"other failure is not retried", {MSG_TOO_LARGE}, -1, MSG_TOO_LARGE, 1, 0},
    };
    OpsHarness h;
    MsgTopicResource* rec = h.addTopic("TOPIC1", PUBLISH);
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        RecordingTopic topic;
        for (int32 a : c.answers)
            topic.answer({a});
        rec->msgTopicPtr = &topic;
        uint64 seq = 99;
        const auto start = std::chrono::steady_clock::now();
        const auto [rc, code] =
            h.call([&](MsgDispatcher& md) { return md.sendTopicMessage("TOPIC1", "hello", 5, seq, 77); });
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
        EXPECT_EQ(rc, c.rc);
        if (c.rc != 0)
        {
            EXPECT_EQ(code, c.code);
        }
        EXPECT_EQ(seq, c.rc == 0 ? 1u : 0u);
        const auto sent = topic.sent();
        ASSERT_EQ(sent.size(), c.calls);
        EXPECT_EQ(sent.back().payload, "hello");
        EXPECT_EQ(sent.back().applSeqNum, 77u);
        EXPECT_GE(ms, c.minMs);
        rec->msgTopicPtr = nullptr;
    }
}

// A topic that is not open yet, or not registered, is refused; the handle
// form works like the name form; forwarding needs output replication.
TEST(DispatchTopicSend, TopicsWithoutPublisherAndUnknownNamesAreRefused)
{
    OpsHarness h;
    MsgTopicResource* rec = h.addTopic("TOPIC2", PUBLISH);
    uint64 seq = 0;
    auto [rc, code] = h.call([&](MsgDispatcher& md) { return md.sendTopicMessage("TOPIC2", "x", 1, seq); });
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(code, MSL_REC_NOT_FOUND);
    EXPECT_TRUE(testLog().contains("msgTopicPtr is NULL for [TOPIC2]"));
    std::tie(rc, code) = h.call([&](MsgDispatcher& md) { return md.sendTopicMessage("NOTOPIC", "x", 1, seq); });
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(code, MSL_REC_NOT_FOUND);
    EXPECT_TRUE(testLog().contains("msgTopicResPtr is NULL for [NOTOPIC]"));

    RecordingTopic topic;
    rec->msgTopicPtr = &topic;
    rec->status.store(RES_ACTIVE);
    ResourceHandle handle;
    ASSERT_EQ(h.call([&](MsgDispatcher& md) { return md.getResHandleByName("TOPIC2", TOPIC_RES, handle); }).first, 0);
    std::tie(rc, code) = h.call([&](MsgDispatcher& md) { return md.sendTopicMessage(handle, "abc", 3, seq, 5); });
    EXPECT_EQ(rc, 0) << code;
    EXPECT_EQ(seq, 1u);
    std::tie(rc, code) =
        h.call([&](MsgDispatcher& md) { return md.sendTopicMessage("TOPIC2", "abc", 3, seq, 5, "PEER"); });
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(code, INVALID_FUNC_ARG);
    EXPECT_EQ(topic.sent().size(), 1u);
    rec->msgTopicPtr = nullptr;
}

// Recovery commands go to the local recovery topic for the own site and to
// the cross-site one otherwise, and are dropped quietly while that topic is
// missing or not active.
TEST(DispatchTopicSend, RecoveryCommandsPickTheTopicBySite)
{
    GlobalData& gd = GlobalData::getInst();
    const bool savedMrm = gd.m_mrmApplication;
    ResourceName savedLocal, savedCross;
    std::memcpy(savedLocal, gd.m_thisMrmLocalTopicName, sizeof(ResourceName));
    std::memcpy(savedCross, gd.m_thisMrmCrossSiteTopicName, sizeof(ResourceName));
    gd.m_mrmApplication = true;
    setName(gd.m_thisMrmLocalTopicName, "MRM_L");
    setName(gd.m_thisMrmCrossSiteTopicName, "MRM_C");
    {
        // The topics exist before the thread starts: it looks them up once.
        OpsHarness h(EVENT_LOOP, 64, "STS_RPT_INTERVAL INT32 20\n", [](OpsHarness& self) {
            self.addTopic("MRM_L", PUBLISH);
            self.addTopic("MRM_C", PUBLISH);
        });
        MsgTopicResource* local = nullptr;
        MsgTopicResource* cross = nullptr;
        ASSERT_EQ(h.m_registry.getMsgTopicRes(Name("MRM_L"), &local), 0);
        ASSERT_EQ(h.m_registry.getMsgTopicRes(Name("MRM_C"), &cross), 0);
        RecordingTopic localTopic, crossTopic;
        local->msgTopicPtr = &localTopic;
        cross->msgTopicPtr = &crossTopic;
        const int32 ownSite = gd.m_siteId;
        auto send = [&](int32 site) {
            return h.call([&](MsgDispatcher& md) {
                return md.sendMrmTopicMessage(MRM_TOPIC_RSP, 7, "rsp", 3, site, "PEERAPP", 2);
            });
        };
        EXPECT_EQ(send(ownSite).first, 0);
        EXPECT_TRUE(localTopic.sent().empty()) << "not active yet";
        local->status.store(RES_ACTIVE);
        cross->status.store(RES_ACTIVE);
        localTopic.answer({MRM_UNEXPECTED_CMD});
        const auto [rc, code] = send(ownSite);
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(code, MRM_UNEXPECTED_CMD);
        EXPECT_EQ(send(ownSite + 1).first, 0);
        ASSERT_EQ(localTopic.sent().size(), 1u);
        ASSERT_EQ(crossTopic.sent().size(), 1u);
        const RecordingTopic::Sent s = crossTopic.sent()[0];
        EXPECT_EQ(s.mrmCmd, MRM_TOPIC_RSP);
        EXPECT_EQ(s.mrmSessionId, 7u);
        EXPECT_EQ(s.payload, "rsp");
        EXPECT_EQ(s.appId, "PEERAPP");
        EXPECT_EQ(s.appInstId, 2);
        local->msgTopicPtr = nullptr;
        cross->msgTopicPtr = nullptr;
    }
    gd.m_mrmApplication = savedMrm;
    std::memcpy(gd.m_thisMrmLocalTopicName, savedLocal, sizeof(ResourceName));
    std::memcpy(gd.m_thisMrmCrossSiteTopicName, savedCross, sizeof(ResourceName));
}
