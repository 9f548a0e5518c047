// Whether a publisher may send a message of some parts now: the decision of
// its acknowledgement window, from how far each kind of subscriber (all,
// remote, disaster-recovery site, recovery instances) has acknowledged and
// how long ago, and from how many subscribers of each kind there are. A
// message may go out although the window is not satisfied: nobody
// acknowledges (no subscriber, or none for longer than the acknowledgement
// time-out), or the caller forces it; the code then says why.
//
// A pure function of its input: the publisher gathers the input under its
// baton and acts on the decision.
#pragma once

#include "FendralCore/foundation/FwTypes.h"
#include "FendralCore/foundation/GlobalData.h"

struct TopicWindowInput
{
    uint64 parts = 0;          // the message's parts (0 for an empty message)
    uint32 outstandingMax = 0; // unacknowledged parts allowed
    uint32 numUnackMax = 0;    // the acknowledgement interval
    int64 ackTimeoutMs = 0;    // three times the topic time-out
    uint64 lastMsgSeq = 0;
    // Whether any acknowledgement ever arrived: without one, every position
    // and elapsed time counts as 0.
    bool anyAck = false;
    uint64 ackedAll = 0, ackedRemote = 0, ackedDr = 0, ackedMrm = 0, ackedRemoteMrm = 0, ackedDrMrm = 0;
    // Whole milliseconds since the last acknowledgement of each kind; 0 when
    // none of that kind arrived.
    int64 sinceAckMs = 0, sinceDrMs = 0, sinceMrmMs = 0, sinceDrMrmMs = 0;
    bool drAckSeen = false;
    int32 numEffectiveSub = 0, numRemoteSub = 0, numDrSiteSub = 0;
    int32 numEffectiveMrmSub = 0, numRemoteMrmSub = 0, numDrSiteMrmSub = 0;
    bool waitDr = false;
    bool waitMrm = false;
    ApplicationSite site = PRIMARY_SITE;
    bool forceSend = false;
};

struct TopicWindowDecision
{
    // Lines worth a log line: a kind of subscriber stopped acknowledging
    // while the window itself still had room.
    enum Note : uint32
    {
        NOTE_NO_ACK = 1,
        NOTE_NO_DR_ACK = 2,
        NOTE_NO_MRM_ACK = 4,
        NOTE_NO_DR_MRM_ACK = 8,
    };

    bool send = false;
    // 0, or the code the send returns although it went out: MSL_NO_SUBSCRIBER,
    // MSL_NO_DR_SITE_SUBSCRIBER, MSL_NO_MRM_SUBSCRIBER,
    // MSL_NO_DR_SITE_MRM_SUBSCRIBER or MSL_FORCE_SENT. Nothing sent: full.
    int32 code = 0;
    uint32 notes = 0;
};

TopicWindowDecision decideTopicWindow(const TopicWindowInput& in);
