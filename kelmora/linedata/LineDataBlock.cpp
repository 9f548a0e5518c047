#include "kelmora/linedata/LineDataBlock.h"

#include "kelmora/linedata/LineDataBasic.h"
#include "kelmora/linedata/LineDataFactoryBlock.h"
#include "zunq/protocol/ZunqDumpUtils.h"

#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

namespace
{

// The factory's settings, read once per block rather than per field.
struct Format
{
    explicit Format(const LineDataFactoryBlock& f)
        : mBegin(f.blockBegin()),
          mEnd(f.blockEnd()),
          mSep(f.msgSeparator()),
          mSeqNumOffset(f.seqNumOffset()),
          mSeqNumLength(f.seqNumLength()),
          mCategoryOffset(f.categoryOffset()),
          mCategoryControl(f.categoryControl()),
          mTypeOffset(f.typeOffset()),
          mTypeSeqNumReset(f.typeSeqNumReset()),
          mTypeHeartbeat(f.typeHeartbeat()),
          mRetransOffset(f.retransOffset()),
          mRetransLength(f.retransLength()),
          mRetransOrig(f.retransOrig())
    {
    }
    char mBegin, mEnd, mSep;
    int mSeqNumOffset, mSeqNumLength, mCategoryOffset;
    const char* mCategoryControl;
    int mTypeOffset;
    const char* mTypeSeqNumReset;
    const char* mTypeHeartbeat;
    int mRetransOffset, mRetransLength;
    const char* mRetransOrig;
};

// The character at `offset` of a message, or -1 when the message is too short.
int charAt(const char* msg, std::uint32_t len, int offset)
{
    if (offset < 0 || static_cast<std::uint32_t>(offset) >= len)
        return -1;
    return static_cast<unsigned char>(msg[offset]);
}

bool inList(const char* list, int c)
{
    if (c < 0)
        return false;
    for (; *list != '\0'; ++list)
        if (static_cast<unsigned char>(*list) == c)
            return true;
    return false;
}

std::uint32_t fieldSeqNum(const Format& f, const char* msg, std::uint32_t len)
{
    const int offset = f.mSeqNumOffset;
    const int length = f.mSeqNumLength;
    if (offset < 0 || length < 1 || static_cast<std::uint64_t>(offset) + static_cast<std::uint64_t>(length) > len)
        return 0;
    return LineDataBasic::parseSeqNum(msg + offset, static_cast<std::uint64_t>(length));
}

// As strncmp over the retransmission field, inside the message only.
bool isOriginalField(const Format& f, const char* msg, std::uint32_t len)
{
    const int offset = f.mRetransOffset;
    const int length = f.mRetransLength;
    const char* orig = f.mRetransOrig;
    for (int i = 0; i < length; ++i)
    {
        const int c = charAt(msg, len, offset < 0 ? -1 : offset + i);
        if (c < 0)
            return false;
        if (c != static_cast<unsigned char>(orig[i]))
            return false;
        if (orig[i] == '\0')
            return true;
    }
    return true;
}

void checkAttributes(LineData& record, const Format& f, const char* msg, std::uint32_t len)
{
    const bool original = isOriginalField(f, msg, len);
    record.setIsOriginal(original);
    if (!inList(f.mCategoryControl, charAt(msg, len, f.mCategoryOffset)))
    {
        record.setIsControl(false);
        record.setIsHeartbeat(false);
        record.setIsSequenceReset(false);
        return;
    }
    const int type = charAt(msg, len, f.mTypeOffset);
    record.setIsControl(true);
    record.setIsSequenceReset(inList(f.mTypeSeqNumReset, type));
    record.setIsHeartbeat(inList(f.mTypeHeartbeat, type));
}

// The message bytes of a block: after the begin and before the end character.
struct Content
{
    const char* mStart;
    const char* mEnd;
};

Content contentOf(const Format& f, const char* data, std::uint32_t len)
{
    if (data == nullptr || len == 0)
        return {data, data};
    const char* start = data + (f.mBegin != 0 ? 1 : 0);
    const char* end = data + len - (f.mEnd != 0 ? 1 : 0);
    return {start, end < start ? start : end};
}

// One message: up to the next separator or the content end.
const char* messageEnd(const Format& f, const char* start, const char* end)
{
    if (f.mSep == 0)
        return end;
    const void* sep = std::memchr(start, f.mSep, static_cast<std::size_t>(end - start));
    return sep != nullptr ? static_cast<const char*>(sep) : end;
}

} // namespace

class LineDataBlockImpl
{
public:
    explicit LineDataBlockImpl(LineDataFactoryBlock& factory) : mFactory(factory) {}

    LineDataFactoryBlock& mFactory;
    LineDataList mDataList;
    std::uint32_t mNextSeqNum = 0;
    bool mNextKnown = false;
    bool mSplit = false;
    // The message records, kept for the next block.
    std::vector<std::unique_ptr<LineDataBasic>> mRecords;

    void discard()
    {
        mDataList.clear();
        mSplit = false;
        mNextKnown = false;
        mNextSeqNum = 0;
    }

    void split(const LineData& block)
    {
        mDataList.clear();
        const Format f(mFactory);
        const Content content = contentOf(f, block.getData(), block.getDataLen());
        mSplit = true;
        mNextKnown = true;
        if (content.mStart == content.mEnd)
        {
            mNextSeqNum = 1;
            return;
        }
        std::uint32_t last = 0;
        const char* start = content.mStart;
        for (std::size_t i = 0;; ++i)
        {
            const char* end = messageEnd(f, start, content.mEnd);
            const auto len = static_cast<std::uint32_t>(end - start);
            if (i == mRecords.size())
                mRecords.push_back(std::make_unique<LineDataBasic>());
            LineDataBasic& msg = *mRecords[i];
            msg.clear();
            msg.setData(start, len);
            last = fieldSeqNum(f, start, len);
            msg.setSeqNum(last);
            msg.setLineTime(block.getLineTime());
            checkAttributes(msg, f, start, len);
            mDataList.push_back(&msg);
            if (end == content.mEnd)
                break;
            start = end + 1;
            if (start >= content.mEnd)
                break;
        }
        mNextSeqNum = last + 1;
    }
};

LineDataBlock::LineDataBlock(LineDataFactoryBlock& factory)
    : mBlockImpl(new LineDataBlockImpl(factory))
{
}

LineDataBlock::LineDataBlock(const LineDataBlock& other)
    : LineData(other),
      mBlockImpl(new LineDataBlockImpl(other.mBlockImpl->mFactory))
{
    mBlockImpl->mNextSeqNum = other.mBlockImpl->mNextSeqNum;
    mBlockImpl->mNextKnown = other.mBlockImpl->mNextKnown;
}

LineDataBlock::~LineDataBlock()
{
    delete mBlockImpl;
}

LineData& LineDataBlock::operator=(const LineData& other)
{
    if (this == &other)
        return *this;
    LineData::operator=(other);
    if (const auto* block = dynamic_cast<const LineDataBlock*>(&other))
    {
        mBlockImpl->discard();
        mBlockImpl->mNextSeqNum = block->mBlockImpl->mNextSeqNum;
        mBlockImpl->mNextKnown = block->mBlockImpl->mNextKnown;
    }
    return *this;
}

LineData* LineDataBlock::clone() const
{
    return new LineDataBlock(*this);
}

void LineDataBlock::setData(const char* block, std::uint32_t len)
{
    mBlockImpl->discard();
    setIsOriginal(false);
    setIsControl(false);
    setIsHeartbeat(false);
    setIsSequenceReset(false);
    const Format f(mBlockImpl->mFactory);
    if (block != nullptr && len != 0 && block[len - 1] == '\n')
        --len;
    if (block == nullptr || len == 0 || (f.mBegin != 0 && block[0] != f.mBegin) ||
        (f.mEnd != 0 && block[len - 1] != f.mEnd))
        throw std::invalid_argument("LineDataBlock: badly formatted block: " +
                                    (block != nullptr ? ZunqDumpUtils::writePeerBytes(block, len) : std::string()));
    borrowData(block, len);
    const Content content = contentOf(f, block, len);
    const char* firstEnd = messageEnd(f, content.mStart, content.mEnd);
    const auto firstLen = static_cast<std::uint32_t>(firstEnd - content.mStart);
    setSeqNum(fieldSeqNum(f, content.mStart, firstLen));
    checkAttributes(*this, f, content.mStart, firstLen);
}

bool LineDataBlock::isBlockData() const
{
    return true;
}

void LineDataBlock::getBlockData(std::deque<const LineData*>*& out) const
{
    if (!mBlockImpl->mSplit)
        mBlockImpl->split(*this);
    out = &mBlockImpl->mDataList;
}

std::uint32_t LineDataBlock::getNextSeqNum() const
{
    if (!mBlockImpl->mNextKnown)
        mBlockImpl->split(*this);
    return mBlockImpl->mNextSeqNum;
}
