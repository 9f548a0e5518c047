#include "rts/cache/LineDataCopy.h"

#include <algorithm>
#include <cstring>

LineDataCopy::LineDataCopy()
{
    LineData::clear();
}

LineDataCopy::LineDataCopy(const LineDataCopy& other)
    : LineData(other), mSeqNum(other.mSeqNum), mLength(other.mLength), mNextSeqNum(other.mNextSeqNum)
{
    std::memcpy(mBuffer, other.mBuffer, mLength);
    LineData::setData(nullptr, 0);
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
        mSeqNum = other.getSeqNum();
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
}

bool LineDataCopy::isBlockData() const
{
    return false;
}

std::uint32_t LineDataCopy::getNextSeqNum() const
{
    return mNextSeqNum;
}

void LineDataCopy::setSeqNum(std::uint32_t seqNum)
{
    mSeqNum = seqNum;
}

LineData::SeqFields LineDataCopy::getSeqFields() const
{
    SeqFields fields = LineData::getSeqFields();
    fields.mSeqNum = mSeqNum;
    return fields;
}

void LineDataCopy::setDataLen(std::uint32_t len)
{
    mLength = std::min(len, cBufferSize);
}

void LineDataCopy::clear()
{
    LineData::clear();
    mSeqNum = 0;
    mLength = 0;
}
