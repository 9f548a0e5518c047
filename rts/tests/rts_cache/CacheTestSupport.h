// Shared by the cache tests: a feeder that builds retransmission-format
// messages and publishes them on a real bus.
#pragma once

#include "kelmora/bus/MhMode.h"
#include "kelmora/tests/linedata/LineDataTestSupport.h"
#include "kelmora/linedata/LineDataBasic.h"
#include "zunq/bus/Orlu.h"
#include "rts/tests/support/TempDir.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

// Message bytes: u16 size field, u16 type, then a pattern tied to `tag`.
inline std::vector<char> messageBytes(std::uint32_t recordLen, std::uint16_t sizeField, std::uint16_t type,
                                      std::uint32_t tag)
{
    std::vector<char> bytes(recordLen);
    for (std::uint32_t i = 0; i < recordLen; ++i)
        bytes[i] = static_cast<char>(tag * 31 + i * 7);
    if (recordLen >= 2)
        std::memcpy(bytes.data(), &sizeField, 2);
    if (recordLen >= 4)
        std::memcpy(bytes.data() + 2, &type, 2);
    return bytes;
}

struct Feeder
{
    Orlu<LineData> mData{"OrluLineData", "feed"};
    Orlu<MhMode> mMode{"OrluMhMode", "feed"};
    OrluPublisher<LineData> mDataPub{"filter"};
    OrluPublisher<MhMode> mModePub{"monitor"};
    LineDataBasic mRecord;

    Feeder()
    {
        mDataPub.setDestination(&mData);
        mModePub.setDestination(&mMode);
    }
    void send(std::uint32_t seq, const std::vector<char>& bytes, bool control = false, bool heartbeat = false)
    {
        mRecord.clear();
        mRecord.setData(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
        mRecord.setSeqNum(seq);
        mRecord.setIsControl(control);
        mRecord.setIsHeartbeat(heartbeat);
        mDataPub.publish(mRecord);
    }
    void mode(MhMode::Mode m) { mModePub.publish(MhMode(m)); }
};
