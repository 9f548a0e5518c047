// One whole retransmission-protocol packet kept in a pool entry: a queued
// outgoing packet of a retransmission server session (linked into the
// session's send queue), or a packet of a refresh cycle that the refresh
// client caches until the cycle ends. Each user reads and writes its entries
// on one thread.
#pragma once

#include "libstats/pool/ArrayBackedPoolObject.h"
#include "zunq/protocol/RetransProtocol.h"

#include <cstdint>

namespace ZunqUtils
{

struct PacketBufferItem : Zunq::Utils::ArrayBackedPoolObject
{
    char mData[Zunq::cMaxPacketSize];
    std::uint32_t mLength; // bytes in use; 0 for the end mark of a response without messages
    std::uint32_t mLineTime;
    bool lastMsgInRetrans; // the last packet of an accepted request's data
};

} // namespace ZunqUtils
