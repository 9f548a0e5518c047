// Byte layout of the retransmission protocol that rtsd, its clients and the
// binary packet line data share: every packet is a 16-byte PacketHeader
// followed by messages, each starting with its own u16 size (size and type
// included) and u16 type. Little-endian, packed, no padding; text fields are
// NUL-padded and need not be NUL-terminated when full; filler is sent as 0
// and ignored on receipt.
//
// The records are plain values with their wire layout checked below. Bytes
// from a buffer are copied into them (PacketDecoder), never cast in place, so
// a record may sit at any offset of a received stream. Any thread.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>

namespace Zunq
{

// The records are copied to and from the wire byte for byte.
static_assert(std::endian::native == std::endian::little, "the protocol records are little-endian");

inline constexpr std::size_t cPacketHeaderSize = 16;
// One packet fits one Ethernet-sized UDP payload.
inline constexpr std::size_t cMaxPacketSize = 1472;
inline constexpr std::size_t cMaxMessageSize = cMaxPacketSize - cPacketHeaderSize; // 1456
// mMsgCount is one byte.
inline constexpr std::size_t cMaxMessagesPerPacket = 255;
// mMsgSize and mMsgType, the start of every message.
inline constexpr std::size_t cMessagePrefixSize = 4;
inline constexpr std::size_t cUsernameSize = 12;

enum ZunqBaseMessageTypes : std::uint16_t
{
    SEQUENCE_RESET_TYPE = 100,
    LOGON_TYPE = 101,
    LOGON_RESPONSE_TYPE = 102,
    RETRANS_REQUEST_TYPE = 201,
    RETRANS_RESPONSE_TYPE = 202,
    REFRESH_COMPLETE_TYPE = 203,
};

// LogonResponse::mSessionStatus.
enum SessionStatus : std::uint8_t
{
    SESSION_ACTIVE = 0,
    INVALID_USERNAME = 5,
    USER_ALREADY_CONNECTED = 100,
    // A server that cannot take one more client now answers as a full
    // connection limit does: clients know it, and try again later or elsewhere.
    SERVER_BUSY = USER_ALREADY_CONNECTED,
};

// RetransmissionResponse::mRetransStatus.
enum RetransStatus : std::uint8_t
{
    REQUEST_ACCEPTED = 0,
    UNKNOWN_CHANNEL_ID = 1,
    MESSAGES_NOT_AVAILABLE = 2,
    EXCEEDS_MAXIMUM_SEQUENCE_RANGE = 100,
    EXCEEDS_MAXIMUM_REQUESTS_PER_DAY = 101,
};

// The server's own check results; never sent (99 and 999 go out as 2).
enum InternalStatus : int
{
    INTERNAL_OK = 0,
    INTERNAL_ERROR = 99,
    ILLEGAL_LENGTH = 102,
    ILLEGAL_MSG_TYPE = 103,
    UNKNOWN_USERID = 104,
    SEQNUM_TOO_SMALL = 105,
    ILLEGAL_CONNECTION = 106,
    BAD_CLIENT_BEHAVIOUR = 999,
};

// mMsgCount 0 is a heartbeat. mSeqNum is the control number of a control
// packet or the sequence number of a data packet's first message; mSendTime
// is in nanoseconds since the epoch (see roundSendTime).
struct PacketHeader
{
    std::uint16_t mPktSize = cPacketHeaderSize;
    std::uint8_t mMsgCount = 0;
    char mFiller = 0;
    std::uint32_t mSeqNum = 0;
    std::uint64_t mSendTime = 0;
};

// The start of any message; mSecurityCode overlays the first body bytes and
// is never read.
struct MsgHeader
{
    std::uint16_t mMsgSize = 0;
    std::uint16_t mMsgType = 0;
    std::uint32_t mSecurityCode = 0;
};

struct Logon
{
    std::uint16_t mMsgSize = 16;
    std::uint16_t mMsgType = LOGON_TYPE;
    char mUsername[cUsernameSize] = {};
};

struct LogonResponse
{
    std::uint16_t mMsgSize = 8;
    std::uint16_t mMsgType = LOGON_RESPONSE_TYPE;
    std::uint8_t mSessionStatus = SESSION_ACTIVE;
    char mFiller[3] = {};
};

// mBeginSeqNum 0 is taken as 1; mEndSeqNum is inclusive, 0 meaning the
// channel's last message where the server allows it.
struct RetransmissionRequest
{
    std::uint16_t mMsgSize = 16;
    std::uint16_t mMsgType = RETRANS_REQUEST_TYPE;
    std::uint16_t mChannelId = 0;
    char mFiller[2] = {};
    std::uint32_t mBeginSeqNum = 0;
    std::uint32_t mEndSeqNum = 0;
};

struct RetransmissionResponse
{
    std::uint16_t mMsgSize = 16;
    std::uint16_t mMsgType = RETRANS_RESPONSE_TYPE;
    std::uint16_t mChannelId = 0;
    std::uint8_t mRetransStatus = REQUEST_ACCEPTED;
    char mFiller = 0;
    std::uint32_t mBeginSeqNum = 0;
    std::uint32_t mEndSeqNum = 0;
};

// Carried as channel data.
struct SequenceReset
{
    std::uint16_t mMsgSize = 8;
    std::uint16_t mMsgType = SEQUENCE_RESET_TYPE;
    std::uint32_t mNewSeqNo = 0;
};

// Carried as channel data.
struct RefreshComplete
{
    std::uint16_t mMsgSize = 8;
    std::uint16_t mMsgType = REFRESH_COMPLETE_TYPE;
    std::uint32_t mLastSeqNum = 0;
};

// Wire layout, checked once here for every user of the records.
static_assert(sizeof(PacketHeader) == cPacketHeaderSize);
static_assert(offsetof(PacketHeader, mPktSize) == 0);
static_assert(offsetof(PacketHeader, mMsgCount) == 2);
static_assert(offsetof(PacketHeader, mFiller) == 3);
static_assert(offsetof(PacketHeader, mSeqNum) == 4);
static_assert(offsetof(PacketHeader, mSendTime) == 8);

static_assert(sizeof(MsgHeader) == 8);
static_assert(offsetof(MsgHeader, mMsgSize) == 0);
static_assert(offsetof(MsgHeader, mMsgType) == 2);
static_assert(offsetof(MsgHeader, mSecurityCode) == 4);

static_assert(sizeof(Logon) == 16);
static_assert(offsetof(Logon, mMsgSize) == 0);
static_assert(offsetof(Logon, mMsgType) == 2);
static_assert(offsetof(Logon, mUsername) == 4);

static_assert(sizeof(LogonResponse) == 8);
static_assert(offsetof(LogonResponse, mMsgSize) == 0);
static_assert(offsetof(LogonResponse, mMsgType) == 2);
static_assert(offsetof(LogonResponse, mSessionStatus) == 4);
static_assert(offsetof(LogonResponse, mFiller) == 5);

static_assert(sizeof(RetransmissionRequest) == 16);
static_assert(offsetof(RetransmissionRequest, mMsgSize) == 0);
static_assert(offsetof(RetransmissionRequest, mMsgType) == 2);
static_assert(offsetof(RetransmissionRequest, mChannelId) == 4);
static_assert(offsetof(RetransmissionRequest, mFiller) == 6);
static_assert(offsetof(RetransmissionRequest, mBeginSeqNum) == 8);
static_assert(offsetof(RetransmissionRequest, mEndSeqNum) == 12);

static_assert(sizeof(RetransmissionResponse) == 16);
static_assert(offsetof(RetransmissionResponse, mMsgSize) == 0);
static_assert(offsetof(RetransmissionResponse, mMsgType) == 2);
static_assert(offsetof(RetransmissionResponse, mChannelId) == 4);
static_assert(offsetof(RetransmissionResponse, mRetransStatus) == 6);
static_assert(offsetof(RetransmissionResponse, mFiller) == 7);
static_assert(offsetof(RetransmissionResponse, mBeginSeqNum) == 8);
static_assert(offsetof(RetransmissionResponse, mEndSeqNum) == 12);

static_assert(sizeof(SequenceReset) == 8);
static_assert(offsetof(SequenceReset, mMsgSize) == 0);
static_assert(offsetof(SequenceReset, mMsgType) == 2);
static_assert(offsetof(SequenceReset, mNewSeqNo) == 4);

static_assert(sizeof(RefreshComplete) == 8);
static_assert(offsetof(RefreshComplete, mMsgSize) == 0);
static_assert(offsetof(RefreshComplete, mMsgType) == 2);
static_assert(offsetof(RefreshComplete, mLastSeqNum) == 4);

static_assert(std::is_trivially_copyable_v<PacketHeader> && std::is_trivially_copyable_v<MsgHeader> &&
              std::is_trivially_copyable_v<Logon> && std::is_trivially_copyable_v<LogonResponse> &&
              std::is_trivially_copyable_v<RetransmissionRequest> &&
              std::is_trivially_copyable_v<RetransmissionResponse> && std::is_trivially_copyable_v<SequenceReset> &&
              std::is_trivially_copyable_v<RefreshComplete>);

// The user name of a logon: up to its first NUL, all 12 bytes when full
// (a full name has no terminator).
inline std::string_view logonUsername(const Logon& logon)
{
    const void* nul = std::memchr(logon.mUsername, '\0', sizeof logon.mUsername);
    return {logon.mUsername, nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - logon.mUsername)
                                 : sizeof logon.mUsername};
}

// Sets the user name, NUL-padded; a longer name is cut to 12 bytes.
inline void setLogonUsername(Logon& logon, std::string_view name)
{
    std::memset(logon.mUsername, 0, sizeof logon.mUsername);
    std::memcpy(logon.mUsername, name.data(), std::min(name.size(), sizeof logon.mUsername));
}

// A control packet (logon response, retransmission response, heartbeat) is
// written with mSeqNum 0 and takes the connection's next control number when
// it goes out; `lastControlSeqNum` starts at 0 for each connection. Data
// packets carry their own numbers and leave the counter alone. Returns the
// number the header carries.
inline std::uint32_t assignControlSeqNum(PacketHeader& header, std::uint32_t& lastControlSeqNum)
{
    if (header.mSeqNum == 0)
        header.mSeqNum = ++lastControlSeqNum;
    return header.mSeqNum;
}

// Makes a built packet ready to write: its send time, and the next control
// number when it carries mSeqNum 0 (assignControlSeqNum). False, touching
// nothing, when fewer than a header's bytes are given.
inline bool stampPacket(char* packet, std::size_t length, std::uint64_t sendTime, std::uint32_t& lastControlSeqNum)
{
    if (packet == nullptr || length < cPacketHeaderSize)
        return false;
    PacketHeader header;
    std::memcpy(&header, packet, sizeof header);
    header.mSendTime = sendTime;
    assignControlSeqNum(header, lastControlSeqNum);
    std::memcpy(packet + offsetof(PacketHeader, mSeqNum), &header.mSeqNum, sizeof header.mSeqNum);
    std::memcpy(packet + offsetof(PacketHeader, mSendTime), &header.mSendTime, sizeof header.mSendTime);
    return true;
}

// First sequence number served for a requested begin: 0 means from 1.
constexpr std::uint32_t firstServedSeqNum(std::uint32_t beginSeqNum)
{
    return beginSeqNum == 0 ? 1 : beginSeqNum;
}

// Send time with `decimalPlaces` p digits of the second kept: below 9 the
// nanoseconds are rounded down to a multiple of 10^(9-p) (3: whole
// milliseconds, 0: whole seconds); 9 or more keeps every digit.
constexpr std::uint64_t roundSendTime(std::uint64_t nanoseconds, unsigned decimalPlaces)
{
    if (decimalPlaces >= 9)
        return nanoseconds;
    std::uint64_t unit = 1;
    for (unsigned i = decimalPlaces; i < 9; ++i)
        unit *= 10;
    return nanoseconds - nanoseconds % unit;
}

// The send time of a packet written now, from the clock's microseconds.
constexpr std::uint64_t packetSendTime(std::uint64_t microsecondsSinceEpoch, unsigned decimalPlaces)
{
    return roundSendTime(microsecondsSinceEpoch * 1000, decimalPlaces);
}

} // namespace Zunq
