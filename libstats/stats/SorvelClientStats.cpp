#include "libstats/stats/SorvelClientStats.h"

#include "libstats/stats/StatsMessage.h"
#include "zunq/log/Log.h"

namespace
{

std::string difference(int32_t current, int32_t previous)
{
    return std::to_string(static_cast<int32_t>(static_cast<uint32_t>(current) - static_cast<uint32_t>(previous)));
}

} // namespace

void SorvelClientStats::printSorvelClientStats(Log& log) const
{
    static const char* const prefix = "SorvelClientStats: printSorvelClientStats():  total ";
    const sorvel_client_table_t& t = mSorvelClientTable;
    const std::pair<const char*, int32_t> lines[] = {
        {"logon attempts", t.totalLogonAttempts},
        {"logon success", t.totalSuccessfulLogons},
        {"pass change attempts", t.totalPasswordChangeAttempts},
        {"password change success", t.totalSuccessfulPasswordChanges},
        {"refresh requests", t.totalRefreshRequests},
        {"retransmissions", t.totalRetransmissions},
        {"msgs retransmitted", t.totalNumMsgsRetransmitted},
    };
    log.debug() << "";
    for (auto [label, value] : lines)
        StatsMessage::debugLine(log, prefix, label, 24, "= ", std::to_string(value));
    log.debug() << "";
}

void SorvelClientStats::genSorvelClientVelbrinMessage(std::string& out)
{
    const sorvel_client_table_t c = mSorvelClientTable;
    const sorvel_client_table_t& p = mPreviousSorvelClientTable;
    out.clear();
    StatsMessage::appendHead(out, name_, "#SORVEL#;");
    StatsMessage::appendField(out, "Int_LogAtt:", difference(c.totalLogonAttempts, p.totalLogonAttempts));
    StatsMessage::appendField(out, "Int_LogSuccess:", difference(c.totalSuccessfulLogons, p.totalSuccessfulLogons));
    StatsMessage::appendField(out, "Int_PwChgAtt:",
                              difference(c.totalPasswordChangeAttempts, p.totalPasswordChangeAttempts));
    StatsMessage::appendField(out, "Int_PwChgSuccess:",
                              difference(c.totalSuccessfulPasswordChanges, p.totalSuccessfulPasswordChanges));
    StatsMessage::appendField(out, "Int_TotRfsReq:", difference(c.totalRefreshRequests, p.totalRefreshRequests));
    StatsMessage::appendField(out, "Int_TotalRts:", difference(c.totalRetransmissions, p.totalRetransmissions));
    StatsMessage::appendField(out, "Int_MsgsRetran:",
                              difference(c.totalNumMsgsRetransmitted, p.totalNumMsgsRetransmitted));
    mPreviousSorvelClientTable = c;
}
