#include "kelmora/linedata/LineData.h"

class LineDataImpl
{
public:
    const char* mData = nullptr;
    std::uint32_t mDataLen = 0;
    std::uint32_t mSeqNum = 0;
};

LineData::LineData()
    : mImpl(new LineDataImpl)
{
}

LineData::LineData(const LineData& other)
    : mImpl(new LineDataImpl(*other.mImpl))
{
}

LineData::~LineData()
{
    delete mImpl;
}

LineData& LineData::operator=(const LineData& other)
{
    if (this != &other)
        *mImpl = *other.mImpl;
    return *this;
}

void LineData::setData(const char* data, std::uint32_t len)
{
    mImpl->mData = data;
    mImpl->mDataLen = data != nullptr ? len : 0;
}

void LineData::setSeqNum(std::uint32_t seqNum)
{
    mImpl->mSeqNum = seqNum;
}

const char* LineData::getData() const
{
    return mImpl->mData;
}

std::uint32_t LineData::getDataLen() const
{
    return mImpl->mDataLen;
}

std::uint32_t LineData::getSeqNum() const
{
    return mImpl->mSeqNum;
}
