// Bus message: retransmit the range [begin, end] of a feed, or cancel the
// outstanding requests.
#pragma once

#include "kelmora/bus/FeedId.h"

#include <cstdint>

class RetransRequest
{
public:
    RetransRequest() = default;
    // The id is always 0 here (`unusedId` is not stored); setId gives one.
    RetransRequest(std::uint32_t begin, std::uint32_t end, const char* feedId, bool cancel, std::uint64_t unusedId = 0);
    // Copies begin, end, feed id and id.
    RetransRequest(const RetransRequest& other);
    RetransRequest& operator=(const RetransRequest& other);

    // Leaves the cancel flag as it is.
    void set(std::uint32_t begin, std::uint32_t end, const char* feedId, std::uint64_t id);

    std::uint32_t begin() const { return mBegin; }
    std::uint32_t end() const { return mEnd; }
    const char* feedId() const { return mFeedId; }
    bool getCancel() const { return mCancel; }
    std::uint64_t getId() const { return mId; }
    void setId(std::uint64_t id) { mId = id; }

private:
    std::uint32_t mBegin = 0;
    std::uint32_t mEnd = 0;
    char mFeedId[MAX_FEED_ID] = {};
    bool mCancel = false;
    std::uint64_t mId = 0;
};
