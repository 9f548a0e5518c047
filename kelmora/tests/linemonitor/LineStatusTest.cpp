// Line states compared and printed, and the manager that remembers the last one.
#include "kelmora/supervision/LineStatus.h"
#include "kelmora/supervision/LineStatusManager.h"

#include <gtest/gtest.h>

namespace
{

TEST(LineStatus, ComparisonsAndTextOutsideTheStates)
{
    const LineStatus up(LineStatus::UP);
    EXPECT_TRUE(up == LineStatus::UP);
    EXPECT_TRUE(up == LineStatus(LineStatus::UP));
    EXPECT_FALSE(up != LineStatus(LineStatus::UP));
    EXPECT_FALSE(LineStatus(LineStatus::UNKNOWN) == LineStatus::WAIT);
    EXPECT_STREQ(LineStatus(static_cast<LineStatus::StatusType>(99)).str(), "err");
    EXPECT_STREQ(LineStatus(static_cast<LineStatus::StatusType>(-1)).str(), "err");

    LineStatus s(LineStatus::DOWN);
    s = LineStatus::PART;
    EXPECT_EQ(s.type(), LineStatus::PART);
    s = up;
    EXPECT_EQ(s, LineStatus::UP);
    s = s; // self-assignment keeps the value
    EXPECT_EQ(s, LineStatus::UP);
}

TEST(LineStatusManager, RemembersTheLastStatusOrOffWhenEnforced)
{
    LineStatusManager manager;
    Orlu<LineStatus> channel("LineStatus.xs", "xs");
    OrluPublisher<LineStatus> handler("239.1.1.1:5000");
    handler.setDestination(&channel);
    channel.subscribe(&manager);

    LineStatus seen(LineStatus::OFF);
    manager.getStatus(seen);
    EXPECT_EQ(seen, LineStatus::UNKNOWN);

    manager.setEnforceMonitorOff(true);
    handler.publish(LineStatus(LineStatus::UP));
    manager.getStatus(seen);
    EXPECT_EQ(seen, LineStatus::OFF);

    manager.setEnforceMonitorOff(false);
    handler.publish(LineStatus(LineStatus::PART));
    manager.getStatus(seen);
    EXPECT_EQ(seen, LineStatus::PART);

    manager.setStatus(LineStatus(LineStatus::DISABLED));
    manager.getStatus(seen);
    EXPECT_EQ(seen, LineStatus::DISABLED);
    channel.unsubscribe(&manager);
}

} // namespace
