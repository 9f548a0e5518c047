// Bus message: an administrative action on a line's sequencing.
#pragma once

#include <cstdint>

class LineAdmin
{
public:
    enum AdminAction : int
    {
        NONE = 0,
        SET_SEQNUM = 1,
        RESET = 2
    };

    LineAdmin() = default;

    AdminAction getAction() const { return mAction; }
    std::uint64_t getSeqNum() const { return mSeqNum; }
    void actionSetSequence(std::uint64_t seqNum)
    {
        mAction = SET_SEQNUM;
        mSeqNum = seqNum;
    }
    void actionSetReset() { mAction = RESET; }

private:
    AdminAction mAction = NONE;
    std::uint64_t mSeqNum = 0;
};
