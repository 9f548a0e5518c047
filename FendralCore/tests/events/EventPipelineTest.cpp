// Events sent as whole pipeline entries: the entry that stage 0 takes, and
// parking in order while the pipeline is full.
#include "FendralCore/tests/registry/RegistryTestSupport.h"
#include "FendralCore/tests/support/TestLog.h"

#include "FendralCore/dispatch/Pipeline.h"
#include "FendralCore/dispatch/PlMessageStore.h"
#include "FendralCore/dispatch/EventMessage.h"
#include "FendralCore/runtime/ResourceManager.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace
{

class EventPipelineTest : public ::testing::Test
{
protected:
    EventPipelineTest() : m_config(""), m_registry(m_config.get())
    {
        testLog().clear();
        setName(m_sender.threadNameTxt, "SENDER");
        setName(m_recipient, "STAGE_OWNER");
        setName(m_param.resNameTxt, "CONN1");
        m_param.paramInt16 = 3;
        m_param.paramInt32 = -4;
        m_param.paramInt64 = 5000000000LL;
    }

    // The next entry of stage 0, copied out; false when there is none.
    bool take(Pipeline& pipeline, PipelineMsgHeader& header, FwIntMessage& msg)
    {
        std::vector<char> payload(pipeline.getMaxDataSize());
        if (pipeline.dequeue(0, payload.data(), static_cast<uint32>(payload.size()), header, 1) != 0)
            return false;
        std::memcpy(&msg, payload.data(), sizeof(msg));
        return true;
    }

    TestConfig m_config;
    ResourceManager m_registry;
    ThreadResource m_sender{};
    ResourceName m_recipient{};
    EventParam m_param{};
};

TEST_F(EventPipelineTest, EntryReachesStageZeroAsHeaderAndWholeMessage)
{
    Pipeline pipeline(8, sizeof(FwIntMessage), 2, LOW_LATENCY, false);
    ASSERT_TRUE(pipeline.isValid());
    EventMessage events(&m_sender, m_registry);
    uint32 seq = 41;
    ASSERT_EQ(events.sendEvtMsgViaPipeline(m_recipient, &pipeline, CONN_RQS, m_param, seq), 0);
    EXPECT_EQ(seq, 42u);

    PipelineMsgHeader header{};
    FwIntMessage msg{};
    ASSERT_TRUE(take(pipeline, header, msg));
    EXPECT_EQ(header.dataLen, 2376u);
    EXPECT_EQ(header.type, MSG_EVENT);
    EXPECT_STREQ(header.originatorTxt, "SENDER");
    EXPECT_STREQ(header.recipientTxt, "STAGE_OWNER");
    EXPECT_NE(header.tm.tv_sec, 0);
    EXPECT_EQ(msg.appMsg.type, MSG_EVENT);
    EXPECT_EQ(msg.msgSeqNum, 42u);
    EXPECT_STREQ(msg.originatorTxt, "SENDER");
    EXPECT_STREQ(msg.recipientTxt, "STAGE_OWNER");
    EXPECT_EQ(msg.tm.tv_sec, header.tm.tv_sec);
    EXPECT_EQ(msg.appMsg.event.id, CONN_RQS);
    EXPECT_STREQ(msg.appMsg.event.eventParam.resNameTxt, "CONN1");
    EXPECT_EQ(msg.appMsg.event.eventParam.paramInt64, 5000000000LL);
    EXPECT_TRUE(testLog().contains("Event message [5] sent via pipeline to [STAGE_OWNER]. Param: [CONN1] [3] [-4] "
                                   "[5000000000]"));
}

TEST_F(EventPipelineTest, FullPipelineParksEntriesInOrderAndFailsWithoutStore)
{
    Pipeline pipeline(2, sizeof(FwIntMessage), 1, LOW_LATENCY, false);
    ASSERT_TRUE(pipeline.isValid());
    EventMessage events(&m_sender, m_registry);
    PlMessageStore store;
    uint32 seq = 0;
    bool saved = true;
    // Fill the pipeline.
    while (events.sendEvtMsgViaPipeline(m_recipient, &pipeline, TIMER, m_param, seq, &store, STREAM_HDR_MSG_LIST,
                                        &saved) == 0 &&
           !saved)
    {
    }
    ASSERT_TRUE(saved) << "the full pipeline parked the entry";
    EXPECT_TRUE(testLog().contains("Unable to forward message due to pipeline full. Schedule retry at next timer "
                                   "event."));
    const uint32 firstParked = seq;

    // Room again, but a new entry goes behind the parked one.
    PipelineMsgHeader header{};
    FwIntMessage msg{};
    ASSERT_TRUE(take(pipeline, header, msg));
    saved = false;
    ASSERT_EQ(events.sendEvtMsgViaPipeline(m_recipient, &pipeline, TIMER, m_param, seq, &store, STREAM_HDR_MSG_LIST,
                                           &saved),
              0);
    EXPECT_TRUE(saved);
    std::vector<uint32> parkedSeqs;
    std::vector<char> entry(EventMessage::PL_BUF_SIZE);
    uint32 length = 0;
    while (store.getMsg(STREAM_HDR_MSG_LIST, entry.data(), static_cast<uint32>(entry.size()), length) == 0)
    {
        ASSERT_EQ(length, EventMessage::PL_BUF_SIZE);
        PipelineMsgHeader parkedHeader{};
        std::memcpy(&parkedHeader, entry.data(), sizeof(parkedHeader));
        EXPECT_EQ(parkedHeader.dataLen, 2376u);
        FwIntMessage parked{};
        std::memcpy(&parked, entry.data() + EventMessage::PL_MSG_HEADER_SIZE, sizeof(parked));
        parkedSeqs.push_back(parked.msgSeqNum);
        store.removeMsg(STREAM_HDR_MSG_LIST);
    }
    EXPECT_EQ(parkedSeqs, (std::vector<uint32>{firstParked, firstParked + 1}));

    // Without a store a full pipeline is the caller's error.
    while (take(pipeline, header, msg))
    {
    }
    while (events.sendEvtMsgViaPipeline(m_recipient, &pipeline, TIMER, m_param, seq) == 0)
    {
    }
    EXPECT_EQ(FrameworkErrno::m_fwErrno, BUFFER_FULL);
    EXPECT_EQ(events.sendEvtMsgViaPipeline(m_recipient, nullptr, TIMER, m_param, seq), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, NULL_PARAM);
}

} // namespace
