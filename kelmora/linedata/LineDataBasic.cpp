#include "kelmora/linedata/LineDataBasic.h"

#include <cstdio>
#include <cstring>
#include <typeinfo>

class LineDataBasicImpl
{
public:
    char mSrcHost[64] = {};
    std::int32_t mSrcPort = 0;
};

LineDataBasic::LineDataBasic()
    : mBasicImpl(new LineDataBasicImpl)
{
}

LineDataBasic::LineDataBasic(const LineDataBasic& other)
    : LineData(other),
      ArrayBackedPoolObject(),
      mBasicImpl(new LineDataBasicImpl(*other.mBasicImpl)),
      mSeqNumOffset(other.mSeqNumOffset),
      mSeqNumLength(other.mSeqNumLength)
{
}

LineDataBasic::~LineDataBasic()
{
    delete mBasicImpl;
}

LineData& LineDataBasic::operator=(const LineData& other)
{
    if (this == &other)
        return *this;
    LineData::operator=(other);
    // The exact type first: the spool copies basic records into basic
    // records, and the general cast walks both bases every time.
    const auto* basic = typeid(other) == typeid(LineDataBasic) ? static_cast<const LineDataBasic*>(&other)
                                                                : dynamic_cast<const LineDataBasic*>(&other);
    if (basic != nullptr)
    {
        std::memcpy(mBasicImpl->mSrcHost, basic->mBasicImpl->mSrcHost, sizeof mBasicImpl->mSrcHost);
        mBasicImpl->mSrcPort = basic->mBasicImpl->mSrcPort;
    }
    return *this;
}

LineDataBasic& LineDataBasic::operator=(const LineDataBasic& other)
{
    operator=(static_cast<const LineData&>(other));
    return *this;
}

LineData* LineDataBasic::clone() const
{
    return new LineDataBasic(*this);
}

std::uint32_t LineDataBasic::parseSeqNum(const char* field, std::uint64_t length)
{
    std::uint64_t i = 0;
    while (i < length && (field[i] == ' ' || field[i] == '0' || field[i] == '+'))
        ++i;
    std::uint32_t value = 0;
    for (; i < length && field[i] >= '0' && field[i] <= '9'; ++i)
        value = value * 10 + static_cast<std::uint32_t>(field[i] - '0');
    return value;
}

void LineDataBasic::readSeqNum()
{
    const std::int64_t offset = mSeqNumOffset;
    const std::int64_t length = mSeqNumLength;
    const std::uint32_t have = getDataLen();
    const char* bytes = getData();
    // A field cut short by the end of the payload counts as absent.
    if (bytes == nullptr || static_cast<std::uint64_t>(offset) >= have)
    {
        setSeqNum(0);
        return;
    }
    const std::uint64_t room = have - static_cast<std::uint64_t>(offset);
    setSeqNum(parseSeqNum(bytes + offset, room < static_cast<std::uint64_t>(length) ? 0 : length));
}

void LineDataBasic::setSource(const char* host, int port)
{
    std::memset(mBasicImpl->mSrcHost, 0, sizeof mBasicImpl->mSrcHost);
    std::snprintf(mBasicImpl->mSrcHost, sizeof mBasicImpl->mSrcHost, "%s", host != nullptr ? host : "");
    mBasicImpl->mSrcPort = port;
}

const char* LineDataBasic::getSrcHost() const
{
    return mBasicImpl->mSrcHost;
}

int LineDataBasic::getSrcPort() const
{
    return mBasicImpl->mSrcPort;
}

void LineDataBasic::setSeqNumOffset(std::int64_t offset)
{
    mSeqNumOffset = offset;
}

void LineDataBasic::setSeqNumLength(std::int64_t length)
{
    mSeqNumLength = length;
}
