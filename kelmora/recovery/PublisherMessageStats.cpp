#include "kelmora/recovery/PublisherMessageStats.h"

#include "zunq/log/Log.h"
#include "zunq/log/LogRegistry.h"

#include <cstdio>

PublisherMessageStats::PublisherMessageStats() = default;

PublisherMessageStats::~PublisherMessageStats() = default;

void PublisherMessageStats::getStats(std::uint32_t& totalSize, std::uint32_t& count) const
{
    totalSize = mTotalSizeOut.value();
    count = mNumOutbound.value();
}

void PublisherMessageStats::getRequests(std::uint32_t& requests, std::uint32_t& refreshes, std::uint32_t& recaps,
                                        std::uint32_t& groups, std::uint32_t& books, std::uint32_t& wouldBlocks) const
{
    requests = mNumSubscRequest.value();
    refreshes = mNumSubscRefresh.value();
    recaps = mNumSubscRecap.value();
    groups = mNumSubscGroup.value();
    books = mNumSubscBook.value();
    wouldBlocks = mNumWouldBlock.value();
}

void PublisherMessageStats::print(unsigned int intervalSeconds)
{
    const std::uint32_t count = mNumOutbound.value();
    const std::uint32_t bytes = mTotalSizeOut.value();
    // An interval of 0 has no rate: the traffic stays for a real interval.
    if (count == 0 || count > bytes || intervalSeconds == 0)
        return;
    Log* log = LogRegistry::g_logger;
    if (log != nullptr && log->getLevel() > LOG_LEVEL_NOTICE)
    {
        char kbPerSecond[32];
        std::snprintf(kbPerSecond, sizeof kbPerSecond, "%g",
                      static_cast<double>(bytes) / (static_cast<double>(intervalSeconds) * 1000.0));
        log->info() << "Publisher(" << mPubName << ") statistics: number=" << count
                    << " msg/sec=" << count / intervalSeconds << " bytes-avg=" << bytes / count
                    << " KB/sec=" << kbPerSecond;
    }
    reset(false);
}

void PublisherMessageStats::reset(bool)
{
    for (Counter* counter : {&mTotalSizeOut, &mNumOutbound, &mNumSubscRequest, &mNumSubscRefresh, &mNumSubscRecap,
                             &mNumSubscGroup, &mNumSubscBook, &mNumWouldBlock})
        counter->reset();
}
