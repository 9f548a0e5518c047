// The message handler base on its own: what a mode change logs (and at which
// level) and publishes, the HA mode forms, the operator's sequence number and
// the line status line.
#include "MsgHandlerTestSupport.h"
#include "plugins/RecordingMessageHandler.h"

#include "zunq/log/Log.h"

#include <gtest/gtest.h>

using mhtest::Kept;
using mhtest::LevelSink;

namespace
{

class MessageHandlerTest : public ::testing::Test
{
protected:
    MessageHandlerTest()
    {
        mLog.addLogSink(&mSink);
        mLog.setLevel(LOG_LEVEL_DEBUG);
        mLog.setVerbose(true);
    }

    LevelSink mSink;
    Log mLog;
    RecordingMessageHandler mHandler{"A", mLog};
};

TEST_F(MessageHandlerTest, EveryModeChangeIsLoggedAtItsLevelAndPublishedChangedOrNot)
{
    Orlu<MhMode> modes("MhMode.A", "A");
    Kept<MhMode> kept;
    modes.subscribe(&kept);
    mHandler.OrluPublisher<MhMode>::setDestination(&modes);

    struct Case
    {
        MhMode::Mode from;
        std::string to; // parsed as an operator's text
        MhMode::Mode stored;
        LogLevels level;
        bool warning;
    };
    const Case cases[] = {
        {MhMode::UNKNOWN, "normal", MhMode::NORMAL, LOG_LEVEL_INFO, false},
        {MhMode::HALT, "TEST", MhMode::TEST, LOG_LEVEL_DEBUG, false},
        {MhMode::TEST, "sleep", MhMode::SLEEP, LOG_LEVEL_DEBUG, false},
        {MhMode::TEST, "test", MhMode::TEST, LOG_LEVEL_DEBUG, false},
        {MhMode::TEST, "Normal", MhMode::NORMAL, LOG_LEVEL_INFO, false},
        {MhMode::NORMAL, "test", MhMode::TEST, LOG_LEVEL_INFO, false},
        {MhMode::NORMAL, "normal", MhMode::NORMAL, LOG_LEVEL_INFO, false},
        {MhMode::SLEEP, "halt", MhMode::HALT, LOG_LEVEL_INFO, false},
        {MhMode::NORMAL, "unknown", MhMode::UNKNOWN, LOG_LEVEL_INFO, true},
        {MhMode::NORMAL, "sideways", MhMode::ERROR, LOG_LEVEL_INFO, false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(MhMode::modeToString(c.from) + " -> " + c.to);
        mHandler.setMode(c.from);
        mSink.clear();
        kept.messages.clear();

        mHandler.setMode(c.to);

        EXPECT_EQ(mHandler.getMode().getMode(), c.stored);
        std::vector<std::string> expected{std::to_string(c.level) + " MessageHandler(A): MessageHandler::setMode(): " +
                                          "changing mode from '" + MhMode::modeToString(c.from) + "' to '" +
                                          MhMode::modeToString(c.stored) + "'"};
        if (c.warning)
            expected.push_back("3 MessageHandler(A): MessageHandler::setMode(): setting mode to UNKNOWN!");
        EXPECT_EQ(mSink.find("MessageHandler(A): "), expected);
        ASSERT_EQ(kept.messages.size(), 1u);
        EXPECT_EQ(kept.messages[0].first, "A");
        EXPECT_EQ(kept.messages[0].second.getMode(), c.stored);
    }

    // A quiet change stays out of a log that is not verbose.
    mLog.setVerbose(false);
    mHandler.setMode(MhMode::HALT);
    mSink.clear();
    mHandler.setMode(MhMode::TEST);
    EXPECT_TRUE(mSink.find("changing mode").empty());
    modes.unsubscribe(&kept);
}

TEST_F(MessageHandlerTest, NewHandlerKnowsNothingAndPublishesNothingWithoutADestination)
{
    EXPECT_EQ(mHandler.getMode().getMode(), MhMode::UNKNOWN);
    EXPECT_EQ(mHandler.getHAMode().getMode(), HaMode::UNKNOWN);
    EXPECT_EQ(mHandler.getSeqNum(), 0u);
    EXPECT_FALSE(mHandler.getDebug());
    mHandler.initialize("retrans");
    EXPECT_EQ(mHandler.getMode().getMode(), MhMode::RETRANS);
}

TEST_F(MessageHandlerTest, OnlySetSeqNumActsAndTheNumberIsCutTo32Bits)
{
    Orlu<LineAdmin> admin("LineAdmin.A", "A");
    admin.subscribe(&mHandler);
    OrluPublisher<LineAdmin> operatorTool("KeshResetSequenceNumber");
    operatorTool.setDestination(&admin);

    LineAdmin reset;
    reset.actionSetReset();
    operatorTool.publish(reset);
    operatorTool.publish(LineAdmin());
    EXPECT_EQ(mHandler.getSeqNum(), 0u);
    EXPECT_TRUE(mSink.find("sequence number").empty());
    EXPECT_TRUE(mHandler.taken("seqnum").empty());

    LineAdmin set;
    set.actionSetSequence(4294967297ull);
    operatorTool.publish(set);
    EXPECT_EQ(mHandler.getSeqNum(), 1u);
    // The override slot is reached with the cut number; the log shows the number given.
    EXPECT_EQ(mHandler.taken("seqnum"), std::vector<std::string>{"seqnum 1@main"});
    EXPECT_EQ(mSink.find("sequence number"),
              std::vector<std::string>{"5 MessageHandler(A): setting sequence number to: 4294967297"});
    admin.unsubscribe(&mHandler);
}

TEST_F(MessageHandlerTest, EveryHAModeFormReachesTheOverride)
{
    MessageHandler& base = mHandler;
    base.setHAMode(HaMode::STANDBY);
    base.setHAMode(std::string("ACTIVE"));
    base.setHAMode(HaMode(HaMode::PARTIALLY_ACTIVE));
    base.setHAMode(std::string("unknown"));
    EXPECT_EQ(mHandler.taken("ha"), (std::vector<std::string>{"ha Standby@main", "ha Active@main",
                                                              "ha PartiallyActive@main", "ha Unknown@main"}));
    EXPECT_EQ(base.getHAMode().getMode(), HaMode::UNKNOWN);
    EXPECT_EQ(mSink.find("MessageHandler(A): MessageHandler::setH"),
              (std::vector<std::string>{
                  "5 MessageHandler(A): MessageHandler::setHAMode(): changing mode from 'Unknown' to 'Standby'",
                  "5 MessageHandler(A): MessageHandler::setHAMode(): changing mode from 'Standby' to 'Active'",
                  "5 MessageHandler(A): MessageHandler::setHAMode(): changing mode from 'Active' to "
                  "'PartiallyActive'",
                  "5 MessageHandler(A): MessageHandler::setHAMode(): changing mode from 'PartiallyActive' to "
                  "'Unknown'",
                  "3 MessageHandler(A): MessageHandler::setHaMode(): setting mode to UNKNOWN!",
              }));
}

TEST_F(MessageHandlerTest, LineStatusIsOnlyLoggedAndOnlyWhenVerbose)
{
    Orlu<LineStatus> statuses("LineStatus.A", "A");
    statuses.subscribe(&mHandler);
    OrluPublisher<LineStatus> line("line");
    line.setDestination(&statuses);
    mHandler.setMode(MhMode::NORMAL);
    mSink.clear();
    line.publish(LineStatus(LineStatus::DOWN));
    EXPECT_EQ(mSink.find("LineStatus"),
              std::vector<std::string>{"6 MessageHandler(A): received LineStatus update (cond=down; mode=Normal)"});
    EXPECT_EQ(mHandler.getMode().getMode(), MhMode::NORMAL);
    mLog.setVerbose(false);
    line.publish(LineStatus(LineStatus::UP));
    EXPECT_EQ(mSink.find("LineStatus").size(), 1u);
    statuses.unsubscribe(&mHandler);
}

} // namespace
