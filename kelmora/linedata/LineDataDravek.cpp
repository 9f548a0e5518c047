#include "kelmora/linedata/LineDataDravek.h"

#include "kelmora/linedata/LineDataBasic.h"
#include "kelmora/linedata/LineDataFactoryBasic.h"
#include "zunq/log/Log.h"
#include "zunq/protocol/RetransProtocol.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

namespace
{

constexpr std::uint32_t cHeaderSize = Zunq::cPacketHeaderSize;
constexpr std::uint32_t cMsgHeaderSize = sizeof(Zunq::MsgHeader);
// The first message's type, and a reset's new number, as packet offsets.
constexpr std::uint32_t cFirstTypeEnd = cHeaderSize + offsetof(Zunq::MsgHeader, mMsgType) + 2;
constexpr std::uint32_t cNewSeqNoEnd = cHeaderSize + offsetof(Zunq::SequenceReset, mNewSeqNo) + 4;

Zunq::PacketHeader headerOf(const char* packet)
{
    Zunq::PacketHeader header;
    std::memcpy(&header, packet, sizeof header);
    return header;
}

template <class T>
T readAt(const char* bytes, std::size_t offset)
{
    T value;
    std::memcpy(&value, bytes + offset, sizeof value);
    return value;
}

} // namespace

class LineDataDravekImpl
{
public:
    LineDataList mLineDataList;
    LineDataFactoryBasic* mFactory = nullptr;
    std::uint32_t mNextSeqNum = 0;
    bool mIsBlockData = true;
    bool mSplit = false;
    Log* mLog = nullptr;

    void clearMessages()
    {
        for (const LineData* message : mLineDataList)
        {
            auto* record = const_cast<LineData*>(message);
            record->setIsHeartbeat(false);
            record->setIsLast(false);
            if (mFactory != nullptr)
                mFactory->destroy(record);
            else
                delete record;
        }
        mLineDataList.clear();
        mNextSeqNum = 0;
        mSplit = false;
    }

    LineData* takeRecord() { return mFactory != nullptr ? mFactory->create() : new LineDataBasic(); }

    void overrun()
    {
        static const char text[] = "LineDataDravek: block overrun";
        if (mLog != nullptr)
            mLog->error() << text;
        else
            std::printf("%s\n", text);
    }

    void split(const LineData& packet)
    {
        mSplit = true;
        const char* bytes = packet.getData();
        const std::uint32_t len = packet.getDataLen();
        if (bytes == nullptr || len < cHeaderSize)
            return;
        const Zunq::PacketHeader header = headerOf(bytes);
        const std::uint32_t first = header.mSeqNum;
        std::uint32_t count = 0;
        std::uint32_t offset = cHeaderSize;
        while (offset < len)
        {
            const std::uint32_t room = len - offset;
            const std::uint16_t size = room >= 2 ? readAt<std::uint16_t>(bytes, offset) : 0;
            // A size below the message header would never advance.
            if (room < cMsgHeaderSize || size < cMsgHeaderSize || size > room)
            {
                overrun();
                break;
            }
            LineData* message = takeRecord();
            message->setIgnoreSeqNum(false);
            message->setIsControl(false);
            message->setIsSequenceReset(false);
            message->setIsHeartbeat(false);
            message->setData(bytes + offset, size);
            message->setSeqNum(first + count);
            message->setLineTime(packet.getLineTime());
            message->setSrcTime(header.mSendTime);
            message->setChannelId(packet.getChannelId());
            message->setIsRecovery(packet.isRecovery());
            offset += size;
            message->setIsLast(offset == len);
            mLineDataList.push_back(message);
            ++count;
        }
        // Nothing taken still moves past the packet's own number.
        mNextSeqNum = first + (count != 0 ? count : 1);
    }
};

LineDataDravek::LineDataDravek()
    : mDravekImpl(new LineDataDravekImpl)
{
}

LineDataDravek::LineDataDravek(const LineDataDravek& other)
    : LineData(other),
      ArrayBackedPoolObject(),
      mDravekImpl(new LineDataDravekImpl)
{
    mDravekImpl->mFactory = other.mDravekImpl->mFactory;
    mDravekImpl->mNextSeqNum = other.mDravekImpl->mNextSeqNum;
    mDravekImpl->mIsBlockData = other.mDravekImpl->mIsBlockData;
    mDravekImpl->mLog = other.mDravekImpl->mLog;
}

LineDataDravek::~LineDataDravek()
{
    mDravekImpl->clearMessages();
    delete mDravekImpl;
}

LineData& LineDataDravek::operator=(const LineData& other)
{
    if (this == &other)
        return *this;
    const auto* packet = dynamic_cast<const LineDataDravek*>(&other);
    if (packet != nullptr)
        mDravekImpl->clearMessages();
    LineData::operator=(other);
    if (packet != nullptr)
    {
        // The kind of packet comes along: a record that held a heartbeat or
        // a reset is no data packet, nor the other way round.
        mDravekImpl->mIsBlockData = packet->mDravekImpl->mIsBlockData;
        mDravekImpl->mNextSeqNum = packet->mDravekImpl->mNextSeqNum;
        if (mDravekImpl->mFactory == nullptr)
            mDravekImpl->mFactory = packet->mDravekImpl->mFactory;
    }
    return *this;
}

LineData* LineDataDravek::clone() const
{
    return new LineDataDravek(*this);
}

void LineDataDravek::setData(const char* packet, std::uint32_t len)
{
    LineDataDravekImpl& d = *mDravekImpl;
    d.clearMessages();
    setIsHeartbeat(false);
    setIgnoreSeqNum(false);
    setIsControl(false);
    setIsSequenceReset(false);
    if (packet == nullptr || len < cHeaderSize)
        throw std::invalid_argument("LineDataDravek: packet shorter than its header: " + std::to_string(len) +
                                    " bytes");
    const Zunq::PacketHeader header = headerOf(packet);
    if (header.mMsgCount == 0)
    {
        setIsHeartbeat(true);
        setIgnoreSeqNum(header.mSeqNum == 1);
        setSeqNum(header.mSeqNum);
        d.mIsBlockData = false;
        borrowData(packet, len);
        setSrcTime(header.mSendTime);
        d.mNextSeqNum = header.mSeqNum + 1;
        return;
    }
    if (len >= cFirstTypeEnd &&
        readAt<std::uint16_t>(packet, cHeaderSize + offsetof(Zunq::MsgHeader, mMsgType)) == Zunq::SEQUENCE_RESET_TYPE)
    {
        if (len < cNewSeqNoEnd)
            throw std::invalid_argument("LineDataDravek: sequence reset packet too short: " + std::to_string(len) +
                                        " bytes");
        borrowData(packet + cHeaderSize, len - cHeaderSize);
        setSeqNum(header.mSeqNum);
        setSrcTime(header.mSendTime);
        setIsSequenceReset(true);
        d.mIsBlockData = false;
        d.mNextSeqNum = readAt<std::uint32_t>(packet, cHeaderSize + offsetof(Zunq::SequenceReset, mNewSeqNo));
        return;
    }
    borrowData(packet, len);
    setSeqNum(header.mSeqNum);
    // Stamped like its heartbeat and reset packets: the line filter tells
    // a late record of an old numbering by its time.
    setSrcTime(header.mSendTime);
    d.mIsBlockData = true;
}

bool LineDataDravek::isBlockData() const
{
    return mDravekImpl->mIsBlockData;
}

void LineDataDravek::getBlockData(std::deque<const LineData*>*& out) const
{
    LineDataDravekImpl& d = *mDravekImpl;
    if (d.mIsBlockData && !d.mSplit)
        d.split(*this);
    out = &d.mLineDataList;
}

std::uint32_t LineDataDravek::getNextSeqNum() const
{
    LineDataDravekImpl& d = *mDravekImpl;
    // A data packet knows its end only once split.
    if (d.mIsBlockData && !d.mSplit)
        d.split(*this);
    return d.mNextSeqNum;
}

void LineDataDravek::setLineDataBasicFactory(LineDataFactoryBasic* factory)
{
    mDravekImpl->mFactory = factory;
}

void LineDataDravek::setLog(Log* log)
{
    mDravekImpl->mLog = log;
}
