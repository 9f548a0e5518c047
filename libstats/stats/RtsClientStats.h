// The record of one client of the retransmission server. The server keeps
// its own running totals and stores them here.
#pragma once

#include "libstats/stats/StatsRecords.h"

#include <string>

class Log;

struct RtsClientStats : StatsEntry
{
    rts_client_table_t mRtsClientTable;
    rts_client_table_t mPreviousRtsClientTable;
    char dummy[56];

    void updateNumRequests(int total) { mRtsClientTable.totalNumRequests = total; }
    void updateNumAcceptedRequests(int total) { mRtsClientTable.totalNumAcceptRequests = total; }
    void updateNumRejectedRequests(int total) { mRtsClientTable.totalNumRejectRequests = total; }
    void updateExceedsMaxSeqRange(int total) { mRtsClientTable.totalExceedsMaxSeqRange = total; }
    void updateUnknownChannelId(int total) { mRtsClientTable.totalUnknownChannelId = total; }
    void updateMessageNotAvailable(int total) { mRtsClientTable.totalMsgsNotAvailable = total; }
    void updateExceedsMaxRequestsPerDay(int total) { mRtsClientTable.totalExceedsMaxRequests = total; }
    void updateNumMessagesAccepted(int total) { mRtsClientTable.totalNumMsgsAccepted = total; }
    void updateNumMessagesRetransmitted(int total) { mRtsClientTable.totalNumMsgsRetransmitted = total; }

    void printRtsClientStats(Log& log) const;
    // One interval's message; the current table then becomes the previous one.
    void genRtsClientVelbrinMessage(std::string& out);
};

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
static_assert(sizeof(RtsClientStats) == 256);
static_assert(offsetof(RtsClientStats, mRtsClientTable) == 128);
static_assert(offsetof(RtsClientStats, mPreviousRtsClientTable) == 164);
static_assert(offsetof(RtsClientStats, dummy) == 200);
#pragma GCC diagnostic pop
