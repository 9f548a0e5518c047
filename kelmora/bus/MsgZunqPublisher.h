// The sub-feed's feed message publisher, as far as the line handlers use it:
// the recovery sequence numbers it keeps per channel. Registered as module
// "MsgZunqPublisher" in the sub-feed's group; a sub-feed may have none.
#pragma once

class MsgZunqPublisher
{
public:
    virtual ~MsgZunqPublisher() = default;

    // The recovery sequence and sub-sequence numbers stored for the channel;
    // false, with both left 0, when the channel has none.
    virtual bool getRecoverySeqNums(unsigned short /*channelId*/, unsigned long& seqNum, unsigned long& subSeqNum)
    {
        seqNum = 0;
        subSeqNum = 0;
        return false;
    }
};
