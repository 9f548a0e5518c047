#include "libstats/stats/RtsClientStats.h"

#include "libstats/stats/StatsMessage.h"
#include "zunq/log/Log.h"

namespace
{

// The interval difference of two running totals, as the signed 32-bit value it is.
std::string difference(int32_t current, int32_t previous)
{
    return std::to_string(static_cast<int32_t>(static_cast<uint32_t>(current) - static_cast<uint32_t>(previous)));
}

} // namespace

void RtsClientStats::printRtsClientStats(Log& log) const
{
    static const char* const prefix = "RtsClientStats: printRtsClientStats():  ";
    const rts_client_table_t& t = mRtsClientTable;
    const std::pair<const char*, int32_t> lines[] = {
        {"total requests", t.totalNumRequests},
        {"total accepted", t.totalNumAcceptRequests},
        {"total rejected", t.totalNumRejectRequests},
        {"total exceeds max seq range", t.totalExceedsMaxSeqRange},
        {"total msgs not available", t.totalMsgsNotAvailable},
        {"total unknown channel ID", t.totalUnknownChannelId},
        {"total exceeds max requests", t.totalExceedsMaxRequests},
        {"total msgs accepted", t.totalNumMsgsAccepted},
        {"total msgs retransmitted", t.totalNumMsgsRetransmitted},
    };
    log.debug() << "";
    for (auto [label, value] : lines)
        StatsMessage::debugLine(log, prefix, label, 28, "= ", std::to_string(value));
    log.debug() << "";
}

void RtsClientStats::genRtsClientVelbrinMessage(std::string& out)
{
    const rts_client_table_t c = mRtsClientTable;
    const rts_client_table_t& p = mPreviousRtsClientTable;
    out.clear();
    StatsMessage::appendHead(out, name_, "#RTS#;");
    StatsMessage::appendField(out, "Int_Requests:", difference(c.totalNumRequests, p.totalNumRequests));
    StatsMessage::appendField(out, "Int_Accept:", difference(c.totalNumAcceptRequests, p.totalNumAcceptRequests));
    StatsMessage::appendField(out, "Int_Reject:", difference(c.totalNumRejectRequests, p.totalNumRejectRequests));
    StatsMessage::appendField(out, "Int_ExMaxSeqRng:",
                              difference(c.totalExceedsMaxSeqRange, p.totalExceedsMaxSeqRange));
    StatsMessage::appendField(out, "Int_MsgsNA:", difference(c.totalMsgsNotAvailable, p.totalMsgsNotAvailable));
    StatsMessage::appendField(out, "Int_UnkChanId:", difference(c.totalUnknownChannelId, p.totalUnknownChannelId));
    StatsMessage::appendField(out, "Int_ExMaxReq:", difference(c.totalExceedsMaxRequests, p.totalExceedsMaxRequests));
    StatsMessage::appendField(out, "Int_MsgsAccept:", difference(c.totalNumMsgsAccepted, p.totalNumMsgsAccepted));
    StatsMessage::appendField(out, "Int_MsgsRetran:",
                              difference(c.totalNumMsgsRetransmitted, p.totalNumMsgsRetransmitted));
    mPreviousRtsClientTable = c;
}
