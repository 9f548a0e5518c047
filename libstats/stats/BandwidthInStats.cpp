#include "libstats/stats/BandwidthInStats.h"

#include "libstats/stats/StatsMessage.h"
#include "zunq/log/Log.h"

void BandwidthInStats::printBandwidthInStats(Log& log) const
{
    static const char* const prefix = "BandwidthInStats: printBandwidthInStats():  ";
    log.debug() << "";
    StatsMessage::debugLine(log, prefix, "Packets", 8, " = ", std::to_string(mBandwidthInTable.pkts));
    StatsMessage::debugLine(log, prefix, "Messages", 8, " = ", std::to_string(mBandwidthInTable.msgs));
    StatsMessage::debugLine(log, prefix, "Bytes", 8, " = ", std::to_string(mBandwidthInTable.bytes));
    log.debug() << "";
}

void BandwidthInStats::genBandwidthInVelbrinMessage(std::string& out)
{
    const bandwidth_in_table_t current = mBandwidthInTable;
    const bandwidth_in_table_t& previous = mPreviousBandwidthInTable;
    out.clear();
    StatsMessage::appendHead(out, name_, "#BIN#;");
    StatsMessage::appendField(out, "Tot_Msgs:", std::to_string(current.msgs));
    StatsMessage::appendField(out, "Int_Pkts:", std::to_string(static_cast<uint32_t>(current.pkts - previous.pkts)));
    StatsMessage::appendField(out, "Int_Msgs:", std::to_string(static_cast<uint32_t>(current.msgs - previous.msgs)));
    StatsMessage::appendField(out, "Int_Bytes:", std::to_string(current.bytes - previous.bytes));
    mPreviousBandwidthInTable = current;
}
