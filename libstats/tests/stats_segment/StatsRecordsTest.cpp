#include "libstats/stats/BandwidthInStats.h"
#include "libstats/stats/BandwidthOutStats.h"
#include "libstats/stats/LatencyStats.h"
#include "libstats/stats/RtsClientStats.h"
#include "libstats/stats/SorvelClientStats.h"
#include "libstats/tests/support/StatsTestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <unistd.h>

using ::testing::MatchesRegex;

namespace
{

// Records live in the segment; the tests give them zeroed memory of their own.
template <class Record>
Record* blank(const char* name)
{
    alignas(8) static unsigned char memory[4][512];
    static int next = 0;
    auto* record = reinterpret_cast<Record*>(memory[next++ % 4]);
    std::memset(static_cast<void*>(record), 0, sizeof(Record));
    std::strncpy(record->name_, name, StatsEntry::cNameSize);
    return record;
}

std::string head(const char* name, const char* tag)
{
    char host[24] = {};
    gethostname(host, sizeof host - 1);
    return std::string("DRAVEK#") + host + "#" + name + tag;
}

// The time field is the local clock's; everything else is matched exactly.
std::string withoutTime(const std::string& message)
{
    return std::regex_replace(message, std::regex("Time:[^;]*;"), "Time:T;");
}

TEST(LatencyStatsTest, MinimaAndMaximaRestartEachInterval)
{
    auto* record = blank<LatencyStats>("lat");
    record->mID = 999; // no latency queue manager in this test: the queue takes nothing
    for (uint32_t& minimum : record->mLatencyTable.msg_latency_min)
        minimum = LatencyStats::cNoMinimum;
    CapturedLog log;
    record->writeLatencyStats(log.log(), 100, 110, 130, 160, 0, 1, 0, 0);
    const latency_table_t& t = record->mLatencyTable;
    EXPECT_EQ(t.msg_count, 1u);
    const uint32_t first[4] = {10, 20, 30, 60};
    for (int i = 0; i < 4; ++i)
    {
        EXPECT_EQ(t.msg_latency_min[i], first[i]);
        EXPECT_EQ(t.msg_latency_max[i], first[i]);
        EXPECT_EQ(t.msg_latency_total[i], first[i]);
    }
    record->writeLatencyStats(log.log(), 100, 105, 145, 146, 0, 2, 0, 0);
    EXPECT_EQ(t.msg_latency_min[0], 5u);
    EXPECT_EQ(t.msg_latency_max[1], 40u);
    EXPECT_EQ(t.msg_latency_total[3], 106u);

    record->storeCurrentToPrevious();
    EXPECT_EQ(record->mPreviousLatencyTable.msg_count, 2u);
    EXPECT_EQ(t.msg_count, 2u);
    record->writeLatencyStats(log.log(), 0, 50, 50, 50, 0, 3, 0, 0);
    EXPECT_EQ(t.msg_latency_min[0], 50u);
    EXPECT_EQ(t.msg_latency_max[0], 50u);
    EXPECT_EQ(t.msg_latency_min[2], 0u);
}

TEST(LatencyStatsTest, LatenciesBeyond32BitsSaturate)
{
    auto* record = blank<LatencyStats>("lat");
    const uint64_t small[4] = {7, 7, 7, 7};
    const uint64_t huge[4] = {(1ull << 32) + 3, 5, ~0ull, 7}; // the third is t4 < t3
    record->writeLatencyToTable(small);
    record->writeLatencyToTable(huge);
    const latency_table_t& t = record->mLatencyTable;
    EXPECT_EQ(t.msg_latency_max[0], 0xFFFFFFFFu);
    EXPECT_EQ(t.msg_latency_min[0], 7u);
    EXPECT_EQ(t.msg_latency_min[1], 5u);
    EXPECT_EQ(t.msg_latency_max[2], 0xFFFFFFFFu);
    EXPECT_EQ(t.msg_latency_total[0], 7 + (1ull << 32) + 3);
}

TEST(LatencyStatsTest, MessagesPerLatencyType)
{
    auto* record = blank<LatencyStats>("LineA");
    for (uint32_t& minimum : record->mLatencyTable.msg_latency_min)
        minimum = LatencyStats::cNoMinimum;
    std::string out = "old";
    record->genLatencyVelbrinMessage(out, LAT_FH);
    EXPECT_EQ(withoutTime(out), head("LineA", "#LAT-FH#;") +
                                    "Time:T;Msg_Count:0;Int_Count:0;Int_Lat:0.0;rt_interval_min:0;rt_interval_max:0;");
    EXPECT_THAT(out, MatchesRegex(".*Time:[0-9]{2}:[0-9]{2}:[0-9]{2};.*"));

    const uint64_t a[4] = {10, 20, 30, 60};
    const uint64_t b[4] = {11, 25, 30, 66};
    record->writeLatencyToTable(a);
    record->writeLatencyToTable(b);
    const std::pair<LatencyType, std::string> table[] = {
        {LAT_FH, "#LAT-FH#;Time:T;Msg_Count:2;Int_Count:2;Int_Lat:10.5;rt_interval_min:10;rt_interval_max:11;"},
        {LAT_TRANS, "#LAT-TRANS#;Time:T;Msg_Count:2;Int_Count:2;Int_Lat:22.5;rt_interval_min:20;rt_interval_max:25;"},
        {LAT_PUB, "#LAT-PUB#;Time:T;Msg_Count:2;Int_Count:2;Int_Lat:30.0;rt_interval_min:30;rt_interval_max:30;"},
        {LAT_ALL, "#LAT-ALL#;Time:T;Msg_Count:2;Int_Count:2;Int_Lat:63.0;rt_interval_min:60;rt_interval_max:66;"},
    };
    for (const auto& [type, rest] : table)
    {
        record->genLatencyVelbrinMessage(out, type);
        EXPECT_EQ(withoutTime(out), head("LineA", "") + rest) << type;
    }
    record->storeCurrentToPrevious();
    record->genLatencyVelbrinMessage(out, LAT_FH);
    EXPECT_EQ(withoutTime(out), head("LineA", "#LAT-FH#;") +
                                    "Time:T;Msg_Count:2;Int_Count:0;Int_Lat:0.0;rt_interval_min:0;rt_interval_max:0;");
}

TEST(BandwidthStatsTest, IntervalsAndTheirMessages)
{
    auto* in = blank<BandwidthInStats>("In");
    in->writeBandwidthInStats(2, 3, 100);
    in->writeBandwidthInStats(1, 1, 50);
    std::string out;
    in->genBandwidthInVelbrinMessage(out);
    EXPECT_EQ(withoutTime(out), head("In", "#BIN#;") + "Time:T;Tot_Msgs:4;Int_Pkts:3;Int_Msgs:4;Int_Bytes:150;");
    in->genBandwidthInVelbrinMessage(out);
    EXPECT_EQ(withoutTime(out), head("In", "#BIN#;") + "Time:T;Tot_Msgs:4;Int_Pkts:0;Int_Msgs:0;Int_Bytes:0;");
    // 32-bit counters wrap; the interval is still right.
    in->mBandwidthInTable.pkts = 0xFFFFFFFF;
    in->genBandwidthInVelbrinMessage(out);
    in->writeBandwidthInStats(2, 0, 0);
    in->genBandwidthInVelbrinMessage(out);
    EXPECT_NE(out.find("Int_Pkts:2;"), std::string::npos) << out;

    auto* outbound = blank<BandwidthOutStats>("Out");
    outbound->writeBandwidthOutStats(1, 2, 30, 1, 40);
    outbound->writeBandwidthOutStats(1, 2, 30, 0, 25);
    outbound->genBandwidthOutVelbrinMessage(out);
    EXPECT_EQ(withoutTime(out), head("Out", "#BOUT#;") +
                                    "Name:Out;Time:T;Tot_Msgs:4;Int_Pkts:2;Int_Msgs:4;Int_Bytes:60;Int_Pkts_Throt:1;"
                                    "Int_Max_Q_Size:40;");
    EXPECT_EQ(outbound->mBandwidthOutTable.max_q_size, 0u);
    EXPECT_EQ(outbound->mPreviousBandwidthOutTable.max_q_size, 40u);
    outbound->writeBandwidthOutStats(0, 0, 0, 0, 7);
    outbound->genBandwidthOutVelbrinMessage(out);
    EXPECT_NE(out.find("Int_Max_Q_Size:7;"), std::string::npos) << out;
}

TEST(ClientStatsTest, RetransmissionTotalsAreStoredAndSorvelCountsAdded)
{
    auto* rts = blank<RtsClientStats>("client1");
    rts->updateNumRequests(5);
    rts->updateNumRequests(7);
    EXPECT_EQ(rts->mRtsClientTable.totalNumRequests, 7);
    rts->updateNumAcceptedRequests(6);
    rts->updateNumRejectedRequests(1);
    rts->updateExceedsMaxSeqRange(2);
    rts->updateUnknownChannelId(3);
    rts->updateMessageNotAvailable(4);
    rts->updateExceedsMaxRequestsPerDay(5);
    rts->updateNumMessagesAccepted(100);
    rts->updateNumMessagesRetransmitted(90);
    std::string out;
    rts->genRtsClientVelbrinMessage(out);
    EXPECT_EQ(withoutTime(out), head("client1", "#RTS#;") +
                                    "Time:T;Int_Requests:7;Int_Accept:6;Int_Reject:1;Int_ExMaxSeqRng:2;Int_MsgsNA:4;"
                                    "Int_UnkChanId:3;Int_ExMaxReq:5;Int_MsgsAccept:100;Int_MsgsRetran:90;");
    rts->genRtsClientVelbrinMessage(out);
    EXPECT_EQ(withoutTime(out), head("client1", "#RTS#;") +
                                    "Time:T;Int_Requests:0;Int_Accept:0;Int_Reject:0;Int_ExMaxSeqRng:0;Int_MsgsNA:0;"
                                    "Int_UnkChanId:0;Int_ExMaxReq:0;Int_MsgsAccept:0;Int_MsgsRetran:0;");
    // A total that went down (a restarted server) shows as a negative interval.
    rts->updateNumRequests(2);
    rts->genRtsClientVelbrinMessage(out);
    EXPECT_NE(out.find("Int_Requests:-5;"), std::string::npos) << out;

    auto* sorvel = blank<SorvelClientStats>("user");
    sorvel->updateNumLogonAttempts(5);
    sorvel->updateNumLogonAttempts(7);
    EXPECT_EQ(sorvel->mSorvelClientTable.totalLogonAttempts, 12);
    sorvel->updateNumSuccessfulLogons(1);
    sorvel->updateNumPasswordChangeAttempts(2);
    sorvel->updateSuccessfulPasswordChanges(3);
    sorvel->updateNumRefreshRequests(4);
    sorvel->updateNumRetransmissions(5);
    sorvel->updateNumMsgsRetransmitted(6);
    sorvel->genSorvelClientVelbrinMessage(out);
    EXPECT_EQ(withoutTime(out), head("user", "#SORVEL#;") +
                                    "Time:T;Int_LogAtt:12;Int_LogSuccess:1;Int_PwChgAtt:2;Int_PwChgSuccess:3;"
                                    "Int_TotRfsReq:4;Int_TotalRts:5;Int_MsgsRetran:6;");
}

TEST(StatsRecordsTest, DebugLinesHaveTheirPaddedLabels)
{
    CapturedLog log;
    auto* latency = blank<LatencyStats>("lat");
    latency->mLatencyTable.msg_count = 3;
    latency->mLatencyTable.msg_latency_min[3] = 9;
    latency->printLatencyStats(log.log());
    auto* in = blank<BandwidthInStats>("in");
    in->writeBandwidthInStats(1, 2, 3);
    in->printBandwidthInStats(log.log());
    auto* outbound = blank<BandwidthOutStats>("out");
    outbound->writeBandwidthOutStats(1, 2, 3, 4, 5);
    outbound->printBandwidthOutStats(log.log());
    auto* rts = blank<RtsClientStats>("rts");
    rts->updateMessageNotAvailable(8);
    rts->printRtsClientStats(log.log());
    auto* sorvel = blank<SorvelClientStats>("sorvel");
    sorvel->updateSuccessfulPasswordChanges(6);
    sorvel->printSorvelClientStats(log.log());
    for (const char* expected : {
             "LatencyStats: printLatencyStats():  msg_count         = 3",
             "LatencyStats: printLatencyStats():  (T4 - T1) msg_latency_min   = 9",
             "LatencyStats: printLatencyStats():  (T2 - T1) msg_latency_total = 0",
             "BandwidthInStats: printBandwidthInStats():  Messages = 2",
             "BandwidthInStats: printBandwidthInStats():  Bytes    = 3",
             "BandwidthOutStats: printBandwidthOutStats():  Packets  = 1",
             "BandwidthOutStats: printBandwidthOutStats():  Packets Throttled = 4",
             "BandwidthOutStats: printBandwidthOutStats():  Max queue size    = 5",
             "RtsClientStats: printRtsClientStats():  total msgs not available    = 8",
             "SorvelClientStats: printSorvelClientStats():  total password change success = 6",
             "SorvelClientStats: printSorvelClientStats():  total logon attempts          = 0",
         })
        EXPECT_EQ(log.count(expected), 1) << expected;
}

} // namespace
