#include "libstats/stats/BandwidthOutStats.h"

#include "libstats/stats/StatsMessage.h"
#include "zunq/log/Log.h"

void BandwidthOutStats::printBandwidthOutStats(Log& log) const
{
    static const char* const prefix = "BandwidthOutStats: printBandwidthOutStats():  ";
    log.debug() << "";
    StatsMessage::debugLine(log, prefix, "Packets", 8, " = ", std::to_string(mBandwidthOutTable.pkts));
    StatsMessage::debugLine(log, prefix, "Messages", 8, " = ", std::to_string(mBandwidthOutTable.msgs));
    StatsMessage::debugLine(log, prefix, "Bytes", 8, " = ", std::to_string(mBandwidthOutTable.bytes));
    StatsMessage::debugLine(log, prefix, "Packets Throttled ", 0, "= ", std::to_string(mBandwidthOutTable.pkts_throt));
    StatsMessage::debugLine(log, prefix, "Max queue size    ", 0, "= ", std::to_string(mBandwidthOutTable.max_q_size));
    log.debug() << "";
}

void BandwidthOutStats::genBandwidthOutVelbrinMessage(std::string& out)
{
    const bandwidth_out_table_t current = mBandwidthOutTable;
    const bandwidth_out_table_t& previous = mPreviousBandwidthOutTable;
    out.clear();
    StatsMessage::appendHead(out, name_, "#BOUT#;", true);
    StatsMessage::appendField(out, "Tot_Msgs:", std::to_string(current.msgs));
    StatsMessage::appendField(out, "Int_Pkts:", std::to_string(static_cast<uint32_t>(current.pkts - previous.pkts)));
    StatsMessage::appendField(out, "Int_Msgs:", std::to_string(static_cast<uint32_t>(current.msgs - previous.msgs)));
    StatsMessage::appendField(out, "Int_Bytes:", std::to_string(current.bytes - previous.bytes));
    StatsMessage::appendField(out, "Int_Pkts_Throt:",
                              std::to_string(static_cast<uint32_t>(current.pkts_throt - previous.pkts_throt)));
    StatsMessage::appendField(out, "Int_Max_Q_Size:", std::to_string(current.max_q_size));
    mPreviousBandwidthOutTable = current;
    mBandwidthOutTable.max_q_size = 0;
}
