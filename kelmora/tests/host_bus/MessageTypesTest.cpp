#include "kelmora/bus/LineAdmin.h"
#include "kelmora/bus/MhMode.h"
#include "kelmora/bus/MsgZunq.h"
#include "kelmora/bus/RetransRequest.h"
#include "kelmora/bus/SeqNumGap.h"
#include "kelmora/bus/SystemEvent.h"
#include "kelmora/supervision/LineControl.h"
#include "kelmora/supervision/LineStatus.h"

#include <gtest/gtest.h>

#include <string>

namespace
{

TEST(MessageTypes, ModeTextParsesCaseBlindAndPrintsCapitalised)
{
    const struct
    {
        const char* text;
        MhMode::Mode mode;
    } parses[] = {
        {"RETRANS", MhMode::RETRANS}, {"offline", MhMode::OFFLINE}, {"Normal", MhMode::NORMAL},
        {"hAlT", MhMode::HALT},       {"test", MhMode::TEST},       {"Sleep", MhMode::SLEEP},
        {"recovery", MhMode::RECOVERY}, {"Unknown", MhMode::UNKNOWN}, {"", MhMode::ERROR},
        {"error", MhMode::ERROR},     {"normal ", MhMode::ERROR},
    };
    for (const auto& p : parses)
    {
        EXPECT_EQ(MhMode::stringToMode(p.text), p.mode) << p.text;
        EXPECT_EQ(MhMode::stringToMode(std::string(p.text)), p.mode) << p.text;
    }
    EXPECT_EQ(MhMode::stringToMode(static_cast<const char*>(nullptr)), MhMode::ERROR);

    const struct
    {
        int mode;
        const char* text;
    } prints[] = {{0, "Offline"}, {1, "Normal"}, {2, "Halt"},     {3, "Test"},     {4, "Retrans"},
                  {5, "Sleep"},   {6, "Recovery"}, {7, "Unknown"}, {99, "Unknown"}, {100, "Error"}};
    for (const auto& p : prints)
        EXPECT_EQ(MhMode::modeToString(p.mode), p.text) << p.mode;

    MhMode mode("SLEEP");
    EXPECT_EQ(mode.getMode(), MhMode::SLEEP);
    EXPECT_EQ(mode.str(), "Sleep");
    EXPECT_FALSE(mode != MhMode::SLEEP);
    EXPECT_TRUE(mode != MhMode(MhMode::HALT));
    EXPECT_EQ(MhMode().getMode(), MhMode::UNKNOWN);
}

TEST(MessageTypes, EventAndStatusAndControlTexts)
{
    const struct
    {
        int type;
        const char* text;
    } events[] = {{0, "ok"}, {1, "reset"}, {2, "loginresetbegin"}, {3, "loginresetend"}, {9, "prog-error"}};
    for (const auto& e : events)
        EXPECT_EQ(SystemEvent(static_cast<SystemEvent::EventType>(e.type)).str(), e.text) << e.type;

    const struct
    {
        int type;
        const char* text;
    } statuses[] = {{0, "off"}, {1, "up"}, {2, "part"}, {3, "down"}, {4, "unkn"}, {5, "wait"}, {6, "dsbl"}, {7, "err"}};
    for (const auto& s : statuses)
        EXPECT_STREQ(LineStatus(static_cast<LineStatus::StatusType>(s.type)).str(), s.text) << s.type;

    const struct
    {
        int action;
        const char* text;
    } actions[] = {{0, "NONE"}, {1, "RECONNECT"}, {2, "DISCONNECT"}, {3, "UNKNOWN"}};
    for (const auto& a : actions)
        EXPECT_EQ(LineControl::str(static_cast<LineControl::ContolAction>(a.action)), a.text) << a.action;

    SystemEvent event(SystemEvent::RESET);
    event = SystemEvent::LOGIN_RESET_END;
    EXPECT_TRUE(event == SystemEvent::LOGIN_RESET_END);
    EXPECT_TRUE(event != SystemEvent(SystemEvent::OK));

    LineStatus status(LineStatus::UP);
    status.copy(LineStatus(LineStatus::DOWN));
    EXPECT_EQ(status.type(), LineStatus::DOWN);
    EXPECT_FALSE(status != LineStatus::DOWN);
}

TEST(MessageTypes, LineControlCopiesKeepTheirOwnStateAndTheirOwnTexts)
{
    std::string address = "239.1.1.1";
    std::string port = "3100";
    LineControl control;
    EXPECT_EQ(control.getAction(), LineControl::NONE);
    EXPECT_EQ(control.mcAddr(), nullptr);
    control.setAction(LineControl::DISCONNECT);
    control.setRevertInterval(1500);
    control.setMcAddr(address.c_str());
    control.setAddrPort(port.c_str());
    // The publisher's texts change (or go) once published.
    address.assign("x");
    port.assign("y");

    LineControl copy(control);
    LineControl assigned;
    assigned = control;
    control.setAction(LineControl::RECONNECT);
    control.setMcAddr(nullptr);
    for (const LineControl* c : {&copy, &assigned})
    {
        EXPECT_EQ(c->getAction(), LineControl::DISCONNECT);
        EXPECT_EQ(c->getRevertInterval(), 1500u);
        ASSERT_NE(c->mcAddr(), nullptr);
        EXPECT_STREQ(c->mcAddr(), "239.1.1.1");
        EXPECT_STREQ(c->addrPort(), "3100");
    }
    EXPECT_EQ(control.mcAddr(), nullptr);
}

TEST(MessageTypes, FeedIdsAreCutTo31CharactersAndNullIsEmpty)
{
    const std::string forty(40, 'f');
    const struct
    {
        const char* feedId;
        std::string stored;
    } cases[] = {
        {forty.c_str(), std::string(31, 'f')},
        {"0123456789012345678901234567890", "0123456789012345678901234567890"},
        {"A", "A"},
        {nullptr, ""},
    };
    for (const auto& c : cases)
    {
        RetransRequest request(1, 2, c.feedId, false);
        EXPECT_EQ(request.feedId(), c.stored);
        SeqNumGap gap(3, 4, c.feedId);
        EXPECT_EQ(gap.feedId(), c.stored);
    }

    RetransRequest cancel(5, 9, "X", true, 77);
    EXPECT_TRUE(cancel.getCancel());
    EXPECT_EQ(cancel.getId(), 0u);
    cancel.setId(12);
    cancel.set(6, 10, forty.c_str(), 13);
    EXPECT_TRUE(cancel.getCancel()) << "set leaves the cancel flag";
    EXPECT_EQ(cancel.getId(), 13u);
    EXPECT_EQ(cancel.feedId(), std::string(31, 'f'));

    RetransRequest copy(cancel);
    EXPECT_EQ(copy.begin(), 6u);
    EXPECT_EQ(copy.end(), 10u);
    EXPECT_EQ(copy.getId(), 13u);
    EXPECT_STREQ(copy.feedId(), cancel.feedId());
    copy = copy;
    EXPECT_EQ(copy.feedId(), std::string(31, 'f'));
}

TEST(MessageTypes, LineAdminActions)
{
    LineAdmin admin;
    EXPECT_EQ(admin.getAction(), LineAdmin::NONE);
    admin.actionSetSequence(1ull << 40);
    EXPECT_EQ(admin.getAction(), LineAdmin::SET_SEQNUM);
    EXPECT_EQ(admin.getSeqNum(), 1ull << 40);
    admin.actionSetReset();
    EXPECT_EQ(admin.getAction(), LineAdmin::RESET);
}

TEST(MessageTypes, ChannelListGrowsByDoublingAndStopsAtItsSixteenBitLimit)
{
    MsgZunq msg;
    EXPECT_EQ(msg.mChannelListCapacity, MsgZunq::INITIAL_CHANNELS_SIZE);
    msg.mChannelList[0] = 11;
    msg.mChannelList[7] = 17;
    msg.mChannelListSize = 8;
    std::vector<unsigned> capacities;
    // Bounded: a capacity that wraps to a small value would let this run on.
    for (int i = 0; i < 20 && msg.resize(); ++i)
        capacities.push_back(msg.mChannelListCapacity);
    EXPECT_EQ(capacities,
              (std::vector<unsigned>{16, 32, 64, 128, 256, 512, 1024, 2048, 4096, 8192, 16384, 32768, 65535}));
    EXPECT_EQ(msg.mChannelListCapacity, 65535u);
    EXPECT_EQ(msg.mChannelList[0], 11);
    EXPECT_EQ(msg.mChannelList[7], 17);
    // The whole capacity is usable.
    msg.mChannelList[65534] = 5;

    MsgZunq copy(msg);
    copy.mChannelList[0] = 99;
    EXPECT_EQ(msg.mChannelList[0], 11) << "a copy owns its own list";
    EXPECT_EQ(copy.mChannelListSize, 8);
    MsgZunq small;
    small = msg;
    EXPECT_EQ(small.mChannelList[7], 17);
    EXPECT_EQ(small.mChannelListSize, 8);
}

} // namespace
