#include "rts/cache/LineDataCopy.h"

#include <algorithm>
#include <cstring>

LineDataCopy::LineDataCopy()
{
    LineData::clear();
}

LineDataCopy::LineDataCopy(const LineDataCopy& other)
    : LineData(other), mLength(other.mLength), mNextSeqNum(other.mNextSeqNum)
{
    std::memcpy(mBuffer, other.mBuffer, mLength);
    LineData::setData(nullptr, 0);
    LineData::setDataLen(mLength);
}

LineDataCopy::~LineDataCopy() = default;

LineData& LineDataCopy::operator=(const LineData& other)
{
    if (this != &other)
    {
        LineData::operator=(other);
        // The base may have taken a buffer of the source's bytes; this record
        // serves its own.
        LineData::setBufferLen(0);
        LineData::setDataLen(mLength);
    }
    return *this;
}

LineData* LineDataCopy::clone() const
{
    return new LineDataCopy(*this);
}

void LineDataCopy::setData(const char* data, std::uint32_t len)
{
    mLength = std::min(len, cBufferSize);
    if (mLength != 0)
        std::memcpy(mBuffer, data, mLength);
    LineData::setDataLen(mLength);
}

const char* LineDataCopy::getData() const
{
    return mBuffer;
}

bool LineDataCopy::isBlockData() const
{
    return false;
}

std::uint32_t LineDataCopy::getNextSeqNum() const
{
    return mNextSeqNum;
}
