// The publisher's window: every rule in its order and every code it gives.
#include "FendralCore/foundation/FwErrorNum.h"
#include "FendralCore/messaging/TopicWindow.h"

#include <gtest/gtest.h>

#include <functional>

namespace
{
// A publisher with one effective local subscriber of each kind that
// acknowledged up to 100 of 100 sent a moment ago, and no remote one: room
// for 50 outstanding parts.
TopicWindowInput base()
{
    TopicWindowInput in;
    in.parts = 1;
    in.outstandingMax = 50;
    in.numUnackMax = 5; // U = 15
    in.ackTimeoutMs = 3000;
    in.lastMsgSeq = 100;
    in.anyAck = true;
    in.ackedAll = in.ackedDr = in.ackedMrm = in.ackedDrMrm = 100;
    in.sinceAckMs = in.sinceDrMs = in.sinceMrmMs = in.sinceDrMrmMs = 10;
    in.drAckSeen = true;
    in.numEffectiveSub = 1;
    in.numDrSiteSub = 1;
    in.numEffectiveMrmSub = 1;
    in.numDrSiteMrmSub = 1;
    return in;
}

constexpr int32 FULL = -1;

struct Case
{
    const char* what;
    std::function<void(TopicWindowInput&)> set;
    int32 expect; // the code sent with, or FULL
    uint32 notes = 0;
};

TEST(TopicWindowTest, RulesInOrderWithTheirCodes)
{
    using D = TopicWindowDecision;
    const Case cases[] = {
        {"room in the window", [](auto&) {}, 0},
        {"exactly full", [](auto& in) { in.ackedAll = 51; in.parts = 1; }, 0},
        {"one part past", [](auto& in) { in.ackedAll = 50; }, FULL},
        {"forced past a full window", [](auto& in) { in.ackedAll = 50; in.forceSend = true; }, MSL_FORCE_SENT},
        {"a message wider than the window", [](auto& in) { in.parts = 51; }, FULL},
        {"no acknowledgement ever: counts are 0",
         [](auto& in) { in.anyAck = false; in.ackedAll = 0; in.parts = 50; }, 0},
        {"an empty message counts no part", [](auto& in) { in.ackedAll = 50; in.parts = 0; }, 0},
        {"silent past the time-out with U outstanding",
         [](auto& in) { in.sinceAckMs = 3001; in.ackedAll = 84; }, MSL_NO_SUBSCRIBER, D::NOTE_NO_ACK},
        {"silent but within U", [](auto& in) { in.sinceAckMs = 3001; in.ackedAll = 85; }, 0},
        {"silent and beyond the window: sent, not noted",
         [](auto& in) { in.sinceAckMs = 3001; in.ackedAll = 40; }, MSL_NO_SUBSCRIBER},
        {"no effective subscriber", [](auto& in) { in.numEffectiveSub = 0; in.ackedAll = 0; }, MSL_NO_SUBSCRIBER},
        {"remote subscribers: the remote position decides",
         [](auto& in) { in.numRemoteSub = 1; in.ackedRemote = 50; }, FULL},
        {"remote position with room",
         [](auto& in) { in.numRemoteSub = 1; in.ackedRemote = 100; in.ackedAll = 10; }, 0},
        {"waiting for the DR site, none there",
         [](auto& in) { in.waitDr = true; in.numDrSiteSub = 0; }, MSL_NO_DR_SITE_SUBSCRIBER},
        {"DR site silent", [](auto& in) { in.waitDr = true; in.sinceDrMs = 3001; in.ackedDr = 80; },
         MSL_NO_DR_SITE_SUBSCRIBER, D::NOTE_NO_DR_ACK},
        {"DR site behind: full", [](auto& in) { in.waitDr = true; in.ackedDr = 50; }, FULL},
        {"DR site on the DR site with remote subscribers: remote decides",
         [](auto& in) {
             in.waitDr = true;
             in.site = DR_SITE;
             in.numRemoteSub = 1;
             in.ackedRemote = 100;
             in.ackedDr = 10;
         },
         0},
        {"recovery instances: none", [](auto& in) { in.waitMrm = true; in.numEffectiveMrmSub = 0; },
         MSL_NO_MRM_SUBSCRIBER},
        {"recovery instances silent",
         [](auto& in) { in.waitMrm = true; in.sinceMrmMs = 3001; in.ackedMrm = 80; }, MSL_NO_MRM_SUBSCRIBER,
         D::NOTE_NO_MRM_ACK},
        {"recovery instances behind", [](auto& in) { in.waitMrm = true; in.ackedMrm = 50; }, FULL},
        {"recovery instances up, all behind: theirs decides",
         [](auto& in) { in.waitMrm = true; in.ackedAll = 10; }, 0},
        {"both waits, DR down", [](auto& in) { in.waitMrm = in.waitDr = true; in.numDrSiteSub = 0; },
         MSL_NO_DR_SITE_MRM_SUBSCRIBER},
        {"both waits, instances down", [](auto& in) { in.waitMrm = in.waitDr = true; in.numEffectiveMrmSub = 0; },
         MSL_NO_DR_SITE_MRM_SUBSCRIBER},
        {"both waits, DR instances down",
         [](auto& in) { in.waitMrm = in.waitDr = true; in.numDrSiteMrmSub = 0; }, MSL_NO_DR_SITE_MRM_SUBSCRIBER},
        {"both waits, DR instances silent",
         [](auto& in) { in.waitMrm = in.waitDr = true; in.sinceDrMrmMs = 3001; in.ackedDrMrm = 80; },
         MSL_NO_DR_SITE_MRM_SUBSCRIBER, D::NOTE_NO_DR_MRM_ACK},
        {"both waits, all up, DR instances behind",
         [](auto& in) { in.waitMrm = in.waitDr = true; in.ackedDrMrm = 50; }, FULL},
        {"both waits, all up, room", [](auto& in) { in.waitMrm = in.waitDr = true; }, 0},
    };
    for (const Case& c : cases)
    {
        TopicWindowInput in = base();
        c.set(in);
        const TopicWindowDecision d = decideTopicWindow(in);
        if (c.expect == FULL)
            EXPECT_FALSE(d.send) << c.what;
        else
        {
            EXPECT_TRUE(d.send) << c.what;
            EXPECT_EQ(d.code, c.expect) << c.what;
        }
        EXPECT_EQ(d.notes, c.notes) << c.what;
    }
}
} // namespace
