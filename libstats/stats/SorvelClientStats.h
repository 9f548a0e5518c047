// The record of one client of the Sorvel service: counts added by the service.
#pragma once

#include "libstats/stats/StatsRecords.h"

#include <string>

class Log;

struct SorvelClientStats : StatsEntry
{
    sorvel_client_table_t mSorvelClientTable;
    sorvel_client_table_t mPreviousSorvelClientTable;
    char dummy[8];

    void updateNumLogonAttempts(int count) { mSorvelClientTable.totalLogonAttempts += count; }
    void updateNumSuccessfulLogons(int count) { mSorvelClientTable.totalSuccessfulLogons += count; }
    void updateNumPasswordChangeAttempts(int count) { mSorvelClientTable.totalPasswordChangeAttempts += count; }
    void updateSuccessfulPasswordChanges(int count) { mSorvelClientTable.totalSuccessfulPasswordChanges += count; }
    void updateNumRefreshRequests(int count) { mSorvelClientTable.totalRefreshRequests += count; }
    void updateNumRetransmissions(int count) { mSorvelClientTable.totalRetransmissions += count; }
    void updateNumMsgsRetransmitted(int count) { mSorvelClientTable.totalNumMsgsRetransmitted += count; }

    void printSorvelClientStats(Log& log) const;
    // One interval's message; the current table then becomes the previous one.
    void genSorvelClientVelbrinMessage(std::string& out);
};

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
static_assert(sizeof(SorvelClientStats) == 192);
static_assert(offsetof(SorvelClientStats, mSorvelClientTable) == 128);
static_assert(offsetof(SorvelClientStats, mPreviousSorvelClientTable) == 156);
static_assert(offsetof(SorvelClientStats, dummy) == 184);
#pragma GCC diagnostic pop
