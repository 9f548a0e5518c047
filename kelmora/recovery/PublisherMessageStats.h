// What one downstream publisher sends and what its subscribers ask for,
// reported as a rate line each time the statistics manager has its reporters
// print. A plug-in's publisher owns one and adds it to the StatsManager.
//
// Threads: the publisher counts on its own thread while the statistics
// manager prints and resets on the default thread. A reset does not write the
// counters: it moves the point they are read from, so it never undoes what
// the counting thread adds meanwhile.
#pragma once

#include "kelmora/stats/StatsReporter.h"

#include <atomic>
#include <cstdint>
#include <string>

class PublisherMessageStats : public StatsReporter
{
public:
    PublisherMessageStats();
    ~PublisherMessageStats() override;

    // One message of `bytes` sent.
    void update(std::uint32_t bytes)
    {
        add(mTotalSizeOut, bytes);
        add(mNumOutbound, 1);
    }
    void addRequest() { add(mNumSubscRequest, 1); }
    void addRefresh() { add(mNumSubscRefresh, 1); }
    void addRecap() { add(mNumSubscRecap, 1); }
    void addGroupRequest() { add(mNumSubscGroup, 1); }
    void addBookRequest() { add(mNumSubscBook, 1); }
    void addWouldBlock() { add(mNumWouldBlock, 1); }

    void setPrintSubscInfo(bool on) { mPrintSubscInfo = on; }
    bool getPrintSubscInfo() const { return mPrintSubscInfo; }
    void setName(const std::string& name) { mPubName = name; }
    const std::string& getName() const { return mPubName; }

    // Bytes and messages sent since the last reset.
    void getStats(std::uint32_t& totalSize, std::uint32_t& count) const;
    // The request counters since the last reset, in the order of their adders.
    void getRequests(std::uint32_t& requests, std::uint32_t& refreshes, std::uint32_t& recaps,
                     std::uint32_t& groups, std::uint32_t& books, std::uint32_t& wouldBlocks) const;

    // StatsReporter
    // "Publisher(<name>) statistics: number= msg/sec= bytes-avg= KB/sec=" at
    // info level, then reset(false). Nothing is logged or reset without
    // traffic, with more messages than bytes, or for an interval of 0.
    void print(unsigned int intervalSeconds) override;
    // Every counter back to zero; the argument is not used.
    void reset(bool full) override;

private:
    // A counter that only grows (wrapping at 32 bits) and the point a reset
    // left it at; its value is the difference.
    struct Counter
    {
        std::atomic<std::uint32_t> mTotal{0};
        std::atomic<std::uint32_t> mBase{0};
        std::uint32_t value() const
        {
            return mTotal.load(std::memory_order_relaxed) - mBase.load(std::memory_order_relaxed);
        }
        void reset() { mBase.store(mTotal.load(std::memory_order_relaxed), std::memory_order_relaxed); }
    };
    static void add(Counter& counter, std::uint32_t n) { counter.mTotal.fetch_add(n, std::memory_order_relaxed); }

    Counter mTotalSizeOut;
    Counter mNumOutbound;
    Counter mNumSubscRequest;
    Counter mNumSubscRefresh;
    Counter mNumSubscRecap;
    Counter mNumSubscGroup;
    Counter mNumSubscBook;
    Counter mNumWouldBlock;
    bool mPrintSubscInfo = true;
    std::string mPubName;
};
