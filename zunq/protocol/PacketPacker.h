// Builds the data packets of one retransmission response in a fixed buffer:
// messages are appended while the packet stays within 1472 bytes and 255
// messages; the next message closes the packet and starts the next one,
// numbered after its predecessor's messages. Allocates nothing; the caller
// copies each closed packet out (into its send queue) before the next starts.
//
// A message must carry its own length in its first u16, at least 4 and at
// most 1456: anything else would break the framing of every packet behind it
// at the client, so it is refused and the packet is left as it was.
// One thread at a time.
#pragma once

#include "zunq/protocol/RetransProtocol.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <type_traits>

namespace Zunq
{

class PacketPacker
{
public:
    enum class AddResult
    {
        ADDED,   // in the packet under construction
        FULL,    // fits no more: close the packet (next()) and add it again
        REFUSED, // not a well-formed message; nothing changed
    };

    explicit PacketPacker(std::uint32_t firstSeqNum = 0) { start(firstSeqNum); }

    // Drops what is packed and starts a packet whose first message is
    // `firstSeqNum`.
    void start(std::uint32_t firstSeqNum)
    {
        std::memset(mBuffer, 0, cPacketHeaderSize);
        mSize = cPacketHeaderSize;
        mCount = 0;
        mSeqNum = firstSeqNum;
        writeHeader();
    }

    AddResult add(const char* message, std::size_t length)
    {
        if (message == nullptr || length < cMessagePrefixSize || length > cMaxMessageSize)
            return AddResult::REFUSED;
        std::uint16_t ownSize = 0;
        std::memcpy(&ownSize, message + offsetof(MsgHeader, mMsgSize), sizeof ownSize);
        if (ownSize != length)
            return AddResult::REFUSED;
        if (mSize + length > cMaxPacketSize || mCount == cMaxMessagesPerPacket)
            return AddResult::FULL;
        std::memcpy(mBuffer + mSize, message, length);
        mSize += length;
        ++mCount;
        writeHeader();
        return AddResult::ADDED;
    }

    // A protocol record (a logon response, a retransmission response) as
    // the message, for a control packet of its own.
    template <typename Record>
    AddResult add(const Record& record)
    {
        static_assert(std::is_trivially_copyable_v<Record> && !std::is_same_v<Record, PacketHeader>);
        return add(reinterpret_cast<const char*>(&record), sizeof record);
    }

    // Adds the message, first handing the closed packet to `emit` (a callable
    // taking std::span<const char>) and starting the next one when it is full.
    // False when the message is refused.
    template <typename Emit>
    bool add(const char* message, std::size_t length, Emit&& emit)
    {
        AddResult result = add(message, length);
        if (result == AddResult::FULL)
        {
            emit(packet());
            next();
            result = add(message, length);
        }
        return result == AddResult::ADDED;
    }

    // Starts the next packet, numbered after the messages of this one.
    void next() { start(mSeqNum + mCount); }

    // The packet under construction: header and messages, mPktSize bytes.
    std::span<const char> packet() const { return {mBuffer, mSize}; }
    bool empty() const { return mCount == 0; }
    std::size_t messageCount() const { return mCount; }
    std::uint32_t seqNum() const { return mSeqNum; }

private:
    void writeHeader()
    {
        const auto size = static_cast<std::uint16_t>(mSize);
        const auto count = static_cast<std::uint8_t>(mCount);
        std::memcpy(mBuffer + offsetof(PacketHeader, mPktSize), &size, sizeof size);
        std::memcpy(mBuffer + offsetof(PacketHeader, mMsgCount), &count, sizeof count);
        std::memcpy(mBuffer + offsetof(PacketHeader, mSeqNum), &mSeqNum, sizeof mSeqNum);
    }

    alignas(8) char mBuffer[cMaxPacketSize];
    std::size_t mSize = cPacketHeaderSize;
    std::size_t mCount = 0;
    std::uint32_t mSeqNum = 0;
};

} // namespace Zunq
