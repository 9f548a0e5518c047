// Bus message: the retransmitted range [begin, end] has been received.
#pragma once

#include <cstdint>

class RetransComplete
{
public:
    RetransComplete() = default;
    RetransComplete(std::uint64_t begin, std::uint64_t end) : mBeginSeqNum(begin), mEndSeqNum(end) {}
    virtual ~RetransComplete() = default;
    RetransComplete(const RetransComplete&) = default;
    RetransComplete& operator=(const RetransComplete&) = default;

    std::uint64_t getBeginSeqNum() const { return mBeginSeqNum; }
    std::uint64_t getEndSeqNum() const { return mEndSeqNum; }
    void setSeqNums(std::uint64_t begin, std::uint64_t end)
    {
        mBeginSeqNum = begin;
        mEndSeqNum = end;
    }

private:
    std::uint64_t mBeginSeqNum = 0;
    std::uint64_t mEndSeqNum = 0;
};
