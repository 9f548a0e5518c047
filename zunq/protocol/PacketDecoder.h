// Reads retransmission packets and messages out of received bytes, which may
// hold part of a packet, one packet or several. Every length is checked
// before the field behind it is read, and nothing is read outside the bytes
// given: a hostile peer gets ILLEGAL, never a read past its data.
// Allocates nothing. Any thread.
#pragma once

#include "zunq/protocol/RetransProtocol.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace Zunq
{

// One message inside a framed packet: its bytes, size included.
struct PacketMessage
{
    const char* data = nullptr;
    std::uint16_t size = 0;
    std::uint16_t type = 0;
};

// A whole packet at the front of received bytes, framed by
// PacketDecoder::frame. nextMessage walks its messages in order.
class PacketView
{
public:
    const PacketHeader& header() const { return mHeader; }
    const char* data() const { return mData; }
    std::size_t size() const { return mHeader.mPktSize; }

    // The next message, false after the last one or at a message that does
    // not fit the rest of the packet.
    bool nextMessage(PacketMessage& out)
    {
        if (mRead == mHeader.mMsgCount || mData == nullptr)
            return false;
        const std::size_t left = mHeader.mPktSize - mOffset;
        if (left < cMessagePrefixSize)
            return false;
        std::uint16_t size = 0;
        std::memcpy(&size, mData + mOffset + offsetof(MsgHeader, mMsgSize), sizeof size);
        if (size < cMessagePrefixSize || size > left)
            return false;
        out.data = mData + mOffset;
        out.size = size;
        std::memcpy(&out.type, mData + mOffset + offsetof(MsgHeader, mMsgType), sizeof out.type);
        mOffset += size;
        ++mRead;
        return true;
    }

private:
    friend class PacketDecoder;

    PacketHeader mHeader;
    const char* mData = nullptr;
    std::size_t mOffset = cPacketHeaderSize;
    std::size_t mRead = 0;
};

class PacketDecoder
{
public:
    enum class Status
    {
        OK,
        NEED_MORE, // not all of the packet has arrived yet
        ILLEGAL,   // these bytes can never be a packet: the stream is broken
    };

    // The header at the front of the bytes, without judging it.
    static Status readHeader(const char* data, std::size_t length, PacketHeader& out)
    {
        if (data == nullptr || length < cPacketHeaderSize)
            return Status::NEED_MORE;
        std::memcpy(&out, data, sizeof out);
        return Status::OK;
    }

    // The packet at the front of the bytes, `view.size()` of them.
    // ILLEGAL when mPktSize is below 16 or above 1472, or when the messages
    // do not fill the packet exactly: a message shorter than its own size
    // field, one running past the end, fewer or more bytes than mMsgCount
    // messages take (a bare 16-byte header that claims messages included).
    static Status frame(const char* data, std::size_t length, PacketView& view)
    {
        PacketHeader header;
        if (readHeader(data, length, header) != Status::OK)
            return Status::NEED_MORE;
        if (header.mPktSize < cPacketHeaderSize || header.mPktSize > cMaxPacketSize)
            return Status::ILLEGAL;
        if (length < header.mPktSize)
            return Status::NEED_MORE;

        PacketView walk;
        walk.mHeader = header;
        walk.mData = data;
        PacketMessage message;
        while (walk.nextMessage(message))
        {
        }
        if (walk.mRead != header.mMsgCount || walk.mOffset != header.mPktSize)
            return Status::ILLEGAL;

        view.mHeader = header;
        view.mData = data;
        view.mOffset = cPacketHeaderSize;
        view.mRead = 0;
        return Status::OK;
    }

    // The message as its record: false unless the bytes hold the whole
    // record and its size and type fields are the record's own.
    template <typename Record>
    static bool readMessage(const char* data, std::size_t length, Record& out)
    {
        static_assert(std::is_trivially_copyable_v<Record> && !std::is_same_v<Record, PacketHeader> &&
                          !std::is_same_v<Record, MsgHeader>,
                      "a protocol message record");
        const Record expected{};
        if (data == nullptr || length < sizeof(Record))
            return false;
        std::uint16_t size = 0;
        std::uint16_t type = 0;
        std::memcpy(&size, data + offsetof(MsgHeader, mMsgSize), sizeof size);
        std::memcpy(&type, data + offsetof(MsgHeader, mMsgType), sizeof type);
        if (size != expected.mMsgSize || type != expected.mMsgType)
            return false;
        std::memcpy(&out, data, sizeof out);
        return true;
    }

    static bool readMessage(const PacketMessage& message, auto& out)
    {
        return readMessage(message.data, message.size, out);
    }
};

} // namespace Zunq
