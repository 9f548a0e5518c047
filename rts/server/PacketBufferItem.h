// One queued outgoing packet of a retransmission client session: an entry of
// the server's shared packet-buffer pool, linked into the session's send
// queue. Written and read on the server's thread only.
#pragma once

#include "libstats/pool/ArrayBackedPoolObject.h"
#include "zunq/protocol/RetransProtocol.h"

#include <cstdint>

namespace ZunqUtils
{

struct PacketBufferItem : Zunq::Utils::ArrayBackedPoolObject
{
    char mData[Zunq::cMaxPacketSize];
    std::uint32_t mLength; // bytes to write; 0 for the end mark of a response without messages
    std::uint32_t mLineTime;
    bool lastMsgInRetrans; // the last packet of an accepted request's data
};

} // namespace ZunqUtils
