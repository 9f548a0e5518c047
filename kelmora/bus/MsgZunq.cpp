#include "kelmora/bus/MsgZunq.h"

#include <algorithm>
#include <cstring>

MsgZunq::MsgZunq()
    : mChannelList(new std::uint16_t[INITIAL_CHANNELS_SIZE]())
    , mChannelListCapacity(INITIAL_CHANNELS_SIZE)
{
}

MsgZunq::~MsgZunq()
{
    delete[] mChannelList;
}

MsgZunq::MsgZunq(const MsgZunq& other)
    : mMsgCount(other.mMsgCount)
    , mSeqNum(other.mSeqNum)
    , mSubSeqNum(other.mSubSeqNum)
    , mZunqSeqNum(other.mZunqSeqNum)
    , mSourceChannelId(other.mSourceChannelId)
    , mMsg(other.mMsg)
    , mMsgLen(other.mMsgLen)
    , mIsLastMsg(other.mIsLastMsg)
    , mTimestamps(other.mTimestamps)
    , mChannelList(new std::uint16_t[other.mChannelListCapacity]())
    , mChannelListSize(other.mChannelListSize)
    , mChannelListCapacity(other.mChannelListCapacity)
{
    std::memcpy(mChannelList, other.mChannelList, sizeof(std::uint16_t) * other.mChannelListSize);
}

MsgZunq& MsgZunq::operator=(const MsgZunq& other)
{
    if (this == &other)
        return *this;
    if (mChannelListCapacity < other.mChannelListSize)
    {
        auto* list = new std::uint16_t[other.mChannelListCapacity]();
        delete[] mChannelList;
        mChannelList = list;
        mChannelListCapacity = other.mChannelListCapacity;
    }
    std::memcpy(mChannelList, other.mChannelList, sizeof(std::uint16_t) * other.mChannelListSize);
    mChannelListSize = other.mChannelListSize;
    mMsgCount = other.mMsgCount;
    mSeqNum = other.mSeqNum;
    mSubSeqNum = other.mSubSeqNum;
    mZunqSeqNum = other.mZunqSeqNum;
    mSourceChannelId = other.mSourceChannelId;
    mMsg = other.mMsg;
    mMsgLen = other.mMsgLen;
    mIsLastMsg = other.mIsLastMsg;
    mTimestamps = other.mTimestamps;
    return *this;
}

bool MsgZunq::resize()
{
    // Doubling a 16-bit capacity past 32768 would wrap to 0; stop at the field's limit.
    if (mChannelListCapacity >= MAX_CHANNELS)
        return false;
    const std::uint32_t capacity =
        std::min<std::uint32_t>(std::max<std::uint32_t>(mChannelListCapacity * 2u, INITIAL_CHANNELS_SIZE), MAX_CHANNELS);
    auto* list = new std::uint16_t[capacity]();
    std::memcpy(list, mChannelList, sizeof(std::uint16_t) * mChannelListSize);
    delete[] mChannelList;
    mChannelList = list;
    mChannelListCapacity = static_cast<std::uint16_t>(capacity);
    return true;
}
