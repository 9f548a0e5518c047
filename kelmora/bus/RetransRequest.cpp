#include "kelmora/bus/RetransRequest.h"

RetransRequest::RetransRequest(std::uint32_t begin, std::uint32_t end, const char* feedId, bool cancel,
                               std::uint64_t /*unusedId*/)
{
    set(begin, end, feedId, 0);
    mCancel = cancel;
}

RetransRequest::RetransRequest(const RetransRequest& other)
{
    set(other.mBegin, other.mEnd, other.mFeedId, other.mId);
}

RetransRequest& RetransRequest::operator=(const RetransRequest& other)
{
    if (this != &other)
        set(other.mBegin, other.mEnd, other.mFeedId, other.mId);
    return *this;
}

void RetransRequest::set(std::uint32_t begin, std::uint32_t end, const char* feedId, std::uint64_t id)
{
    mBegin = begin;
    mEnd = end;
    mId = id;
    copyFeedId(mFeedId, feedId);
}
