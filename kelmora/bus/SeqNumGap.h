// Bus message: a gap [begin, end] detected in a feed's sequence numbers.
#pragma once

#include "kelmora/bus/FeedId.h"

#include <cstdint>

class SeqNumGap
{
public:
    SeqNumGap(std::uint32_t begin, std::uint32_t end, const char* feedId) { set(begin, end, feedId); }

    void set(std::uint32_t begin, std::uint32_t end, const char* feedId)
    {
        mBegin = begin;
        mEnd = end;
        copyFeedId(mFeedId, feedId);
    }

    std::uint32_t begin() const { return mBegin; }
    std::uint32_t end() const { return mEnd; }
    const char* feedId() const { return mFeedId; }

private:
    std::uint32_t mBegin = 0;
    std::uint32_t mEnd = 0;
    char mFeedId[MAX_FEED_ID] = {};
};
