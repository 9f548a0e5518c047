#include "FendralCore/messaging/TopicWindow.h"

#include "FendralCore/foundation/FwErrorNum.h"

namespace
{
uint64 outstanding(uint64 last, uint64 acked)
{
    return last > acked ? last - acked : 0;
}
} // namespace

TopicWindowDecision decideTopicWindow(const TopicWindowInput& in)
{
    TopicWindowDecision d;
    const uint64 p = in.parts;
    const uint64 o = in.outstandingMax;
    const int64 t = in.ackTimeoutMs;
    const uint64 u = 3ull * in.numUnackMax;

    uint64 all = 0, remote = 0, dr = 0, mrm = 0, remoteMrm = 0, drMrm = 0;
    int64 sinceAck = 0, sinceDr = 0, sinceMrm = 0, sinceDrMrm = 0;
    if (in.anyAck)
    {
        all = outstanding(in.lastMsgSeq, in.ackedAll);
        remote = outstanding(in.lastMsgSeq, in.ackedRemote);
        dr = outstanding(in.lastMsgSeq, in.ackedDr);
        mrm = outstanding(in.lastMsgSeq, in.ackedMrm);
        remoteMrm = outstanding(in.lastMsgSeq, in.ackedRemoteMrm);
        drMrm = outstanding(in.lastMsgSeq, in.ackedDrMrm);
        sinceAck = in.sinceAckMs;
        sinceDr = in.waitDr ? in.sinceDrMs : 0;
        sinceMrm = in.waitMrm ? in.sinceMrmMs : 0;
        sinceDrMrm = in.waitDr && in.waitMrm && in.drAckSeen ? in.sinceDrMrmMs : 0;
    }
    const bool fitsAll = (all + p <= o && in.numRemoteSub == 0) || remote + p <= o;
    const bool fitsMrm = (mrm + p <= o && in.numRemoteMrmSub == 0) || remoteMrm + p <= o;
    const bool fitsDr = dr + p <= o;
    const bool drSite = in.site == DR_SITE;
    auto sendWith = [&](int32 code) {
        d.send = true;
        d.code = code;
        return d;
    };

    if (sinceAck > t && all > u)
    {
        if (all < o)
            d.notes |= TopicWindowDecision::NOTE_NO_ACK;
        return sendWith(MSL_NO_SUBSCRIBER);
    }
    if (in.numEffectiveSub == 0)
        return sendWith(MSL_NO_SUBSCRIBER);

    bool drDown = false;
    if (in.waitDr)
    {
        const bool silent = sinceDr > t && dr > u;
        if (silent && dr < o)
            d.notes |= TopicWindowDecision::NOTE_NO_DR_ACK;
        drDown = silent || in.numDrSiteSub == 0;
    }

    bool fits = false;
    int32 code = 0;
    if (!in.waitMrm)
    {
        if (drDown)
        {
            fits = fitsAll;
            code = MSL_NO_DR_SITE_SUBSCRIBER;
        }
        else if (in.waitDr)
            fits = !drSite || in.numRemoteSub == 0 ? fitsDr : remote + p <= o;
        else
            fits = fitsAll;
    }
    else
    {
        const bool mrmSilent = sinceMrm > t && mrm > u;
        if (mrmSilent && mrm < o)
            d.notes |= TopicWindowDecision::NOTE_NO_MRM_ACK;
        const bool mrmDown = mrmSilent || in.numEffectiveMrmSub == 0;
        if (drDown)
        {
            fits = mrmDown || drSite ? fitsAll : fitsMrm;
            code = MSL_NO_DR_SITE_MRM_SUBSCRIBER;
        }
        else if (mrmDown && in.waitDr)
        {
            fits = drSite ? fitsAll : fitsDr;
            code = MSL_NO_DR_SITE_MRM_SUBSCRIBER;
        }
        else if (mrmDown)
        {
            fits = fitsAll;
            code = MSL_NO_MRM_SUBSCRIBER;
        }
        else if (!in.waitDr)
            fits = fitsMrm;
        else
        {
            const bool drMrmSilent = sinceDrMrm > t && drMrm > u;
            if (drMrmSilent && drMrm < o)
                d.notes |= TopicWindowDecision::NOTE_NO_DR_MRM_ACK;
            if (drMrmSilent || in.numDrSiteMrmSub == 0)
            {
                fits = drSite ? fitsAll : fitsDr;
                code = MSL_NO_DR_SITE_MRM_SUBSCRIBER;
            }
            else
                fits = !drSite || in.numRemoteMrmSub == 0 ? drMrm + p <= o : remoteMrm + p <= o;
        }
    }
    if (fits)
        return sendWith(code);
    if (in.forceSend)
        return sendWith(MSL_FORCE_SENT);
    return d;
}
