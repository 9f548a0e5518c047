// Bus message: one feed message handed to a downstream publisher, with the
// ids of the channels it goes to. The message bytes are the publisher's and
// are only pointed at; the channel id list belongs to the message (copies get
// their own).
#pragma once

#include <cstdint>

class MsgZunq
{
public:
    static constexpr std::uint32_t INITIAL_CHANNELS_SIZE = 8;
    // The capacity field is 16 bits wide.
    static constexpr std::uint32_t MAX_CHANNELS = 0xFFFF;

    MsgZunq();
    ~MsgZunq();
    MsgZunq(const MsgZunq& other);
    MsgZunq& operator=(const MsgZunq& other);

    // Doubles the channel list's capacity, up to MAX_CHANNELS; false, with the
    // list unchanged, when it is already that large.
    bool resize();

    std::uint8_t mMsgCount = 0;
    std::uint32_t mSeqNum = 0;
    std::uint16_t mSubSeqNum = 0;
    std::uint16_t mZunqSeqNum = 0;
    std::uint16_t mSourceChannelId = 0;
    const char* mMsg = nullptr;
    std::uint32_t mMsgLen = 0;
    bool mIsLastMsg = false;
    struct Timestamps
    {
        std::uint64_t mSrcTime = 0;
        std::uint64_t mReadQuorDataTime = 0;
        std::uint64_t mLineTime = 0;
        std::uint64_t mPublishTime = 0;
        std::uint64_t mReceiveTime = 0;
        std::uint64_t mSendTime = 0;
    } mTimestamps;
    std::uint16_t* mChannelList = nullptr;
    std::uint16_t mChannelListSize = 0;
    std::uint16_t mChannelListCapacity = 0;
};
