#include "libstats/stats/LatencyStats.h"

#include "libstats/latency/CircularBufferMng.h"
#include "libstats/stats/StatsMessage.h"
#include "zunq/log/Log.h"

#include <algorithm>
#include <cstdio>

int LatencyStats::writeLatencyStats(Log& log, uint64_t t1, uint64_t t2, uint64_t t3, uint64_t t4, uint64_t t0,
                                    uint64_t orderId, uint64_t t0b, uint64_t t4b)
{
    const uint64_t latencies[4] = {t2 - t1, t3 - t2, t4 - t3, t4 - t1};
    writeLatencyToTable(latencies);
    writeLatencyToQueue(log, name_, mID, t1, latencies, t0, orderId, t0b, t4b);
    return 0;
}

void LatencyStats::writeLatencyToTable(const uint64_t latencies[4])
{
    latency_table_t& table = mLatencyTable;
    for (int i = 0; i < 4; ++i)
    {
        // Compared and stored saturated: cutting to the low 32 bits would
        // report a huge latency as a small one.
        const uint32_t value = static_cast<uint32_t>(std::min<uint64_t>(latencies[i], cNoMinimum));
        if (table.msg_count == 0)
        {
            table.msg_latency_min[i] = value;
            table.msg_latency_max[i] = value;
        }
        else
        {
            if (table.msg_latency_min[i] > value)
                table.msg_latency_min[i] = value;
            if (table.msg_latency_max[i] < value)
                table.msg_latency_max[i] = value;
        }
        table.msg_latency_total[i] += latencies[i];
    }
    table.msg_count += 1;
}

bool LatencyStats::writeLatencyToQueue(Log&, const char*, uint32_t id, uint64_t t1, const uint64_t latencies[4],
                                       uint64_t t0, uint64_t orderId, uint64_t t0b, uint64_t t4b)
{
    // The sample is written straight into its slot; the name does not pick the queue, the id does.
    if (CircularBufferMng* manager = CircularBufferMng::getInstance())
        manager->addElementInPlace(id, [&](latency_info_t& sample) {
            sample.T0 = t0;
            sample.T1 = t1;
            sample.T2_T1 = latencies[0];
            sample.T3_T2 = latencies[1];
            sample.T4_T3 = latencies[2];
            sample.orderID = orderId;
            sample.T0_ = t0b;
            sample.T4_ = t4b;
        });
    return true;
}

void LatencyStats::storeCurrentToPrevious()
{
    mPreviousLatencyTable = mLatencyTable;
    for (int i = 0; i < 4; ++i)
    {
        mLatencyTable.msg_latency_min[i] = cNoMinimum;
        mLatencyTable.msg_latency_max[i] = 0;
    }
}

void LatencyStats::printLatencyStats(Log& log) const
{
    static const char* const prefix = "LatencyStats: printLatencyStats():  ";
    static const char* const intervals[4] = {"(T2 - T1)", "(T3 - T2)", "(T4 - T3)", "(T4 - T1)"};
    log.debug() << "";
    StatsMessage::debugLine(log, prefix, "msg_count", 18, "= ", std::to_string(mLatencyTable.msg_count));
    for (int i = 0; i < 4; ++i)
    {
        const std::string interval = std::string(intervals[i]) + " ";
        StatsMessage::debugLine(log, prefix, (interval + "msg_latency_total ").c_str(), 0, "= ",
                                std::to_string(mLatencyTable.msg_latency_total[i]));
        StatsMessage::debugLine(log, prefix, (interval + "msg_latency_min   ").c_str(), 0, "= ",
                                std::to_string(mLatencyTable.msg_latency_min[i]));
        StatsMessage::debugLine(log, prefix, (interval + "msg_latency_max   ").c_str(), 0, "= ",
                                std::to_string(mLatencyTable.msg_latency_max[i]));
    }
    log.debug() << "";
}

void LatencyStats::genLatencyVelbrinMessage(std::string& out, LatencyType type) const
{
    static const char* const tags[4] = {"#LAT-FH#;", "#LAT-TRANS#;", "#LAT-PUB#;", "#LAT-ALL#;"};
    out.clear();
    const bool known = type >= LAT_FH && type <= LAT_ALL;
    StatsMessage::appendHead(out, name_, known ? tags[type] : "");
    const int i = known ? type : 0;
    const uint64_t count = mLatencyTable.msg_count - mPreviousLatencyTable.msg_count;
    const uint64_t total = mLatencyTable.msg_latency_total[i] - mPreviousLatencyTable.msg_latency_total[i];
    const float average = count == 0 ? 0.0f : static_cast<float>(total) / static_cast<float>(count);
    char averageText[64];
    std::snprintf(averageText, sizeof averageText, "%.1f", static_cast<double>(average));
    const uint32_t minimum = mLatencyTable.msg_latency_min[i];
    StatsMessage::appendField(out, "Msg_Count:", std::to_string(mLatencyTable.msg_count));
    StatsMessage::appendField(out, "Int_Count:", std::to_string(count));
    StatsMessage::appendField(out, "Int_Lat:", averageText);
    StatsMessage::appendField(out, "rt_interval_min:", std::to_string(minimum == cNoMinimum ? 0 : minimum));
    StatsMessage::appendField(out, "rt_interval_max:", std::to_string(mLatencyTable.msg_latency_max[i]));
}
