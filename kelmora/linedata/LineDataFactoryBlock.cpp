#include "kelmora/linedata/LineDataFactoryBlock.h"

#include "kelmora/linedata/LineDataBlock.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

class LineDataFactoryBlockImpl
{
public:
    char mBlockBegin = 0x01;
    char mBlockEnd = 0x03;
    char mMsgSep = 0x1F;
    int mSeqNumOffset = 0;
    int mSeqNumLength = 1;
    int mCategoryOffset = 0;
    char mCategoryControl[6] = {};
    int mTypeOffset = 0;
    char mTypeSeqNumReset[6] = {};
    char mTypeHeartbeat[6] = {};
    int mRetransOffset = 0;
    int mRetransLength = 2;
    char mRetransOrig[8] = {};
    char mRetransAll[8] = {};
    char mRetransRecipient[8] = {};
};

namespace
{

void storeList(char (&field)[6], const std::string& chars, const char* what)
{
    if (chars.size() > LineDataFactoryBlock::cMaxListChars)
        throw std::invalid_argument(std::string(what) + ": too many chars in argument: " + chars);
    std::memset(field, 0, sizeof field);
    std::memcpy(field, chars.data(), chars.size());
}

void storeCut(char (&field)[8], const std::string& value, std::size_t count)
{
    std::memset(field, 0, sizeof field);
    std::memcpy(field, value.data(), std::min({value.size(), count, LineDataFactoryBlock::cMaxRetransChars}));
}

} // namespace

LineDataFactoryBlock::LineDataFactoryBlock()
    : mImpl(new LineDataFactoryBlockImpl)
{
}

LineDataFactoryBlock::~LineDataFactoryBlock()
{
    delete mImpl;
}

LineData* LineDataFactoryBlock::create()
{
    return new LineDataBlock(*this);
}

void LineDataFactoryBlock::destroy(LineData* data)
{
    delete data;
}

void LineDataFactoryBlock::setBlockBegin(char c) { mImpl->mBlockBegin = c; }
void LineDataFactoryBlock::setBlockEnd(char c) { mImpl->mBlockEnd = c; }
void LineDataFactoryBlock::setMsgSeparator(char c) { mImpl->mMsgSep = c; }
void LineDataFactoryBlock::setSeqNumOffset(int offset) { mImpl->mSeqNumOffset = offset; }
void LineDataFactoryBlock::setSeqNumLength(int length) { mImpl->mSeqNumLength = length; }
void LineDataFactoryBlock::setCategoryOffset(int offset) { mImpl->mCategoryOffset = offset; }
void LineDataFactoryBlock::setTypeOffset(int offset) { mImpl->mTypeOffset = offset; }
void LineDataFactoryBlock::setRetransOffset(int offset) { mImpl->mRetransOffset = offset; }
void LineDataFactoryBlock::setRetransLength(int length) { mImpl->mRetransLength = length; }

void LineDataFactoryBlock::setCategoryControl(const std::string& chars)
{
    storeList(mImpl->mCategoryControl, chars, "SetCategoryControl");
}

void LineDataFactoryBlock::setTypeSeqNumReset(const std::string& chars)
{
    storeList(mImpl->mTypeSeqNumReset, chars, "SetTypeSeqNumReset");
}

void LineDataFactoryBlock::setTypeHeartbeat(const std::string& chars)
{
    storeList(mImpl->mTypeHeartbeat, chars, "SetTypeHeartbeat");
}

void LineDataFactoryBlock::setRetransOrig(const std::string& value)
{
    storeCut(mImpl->mRetransOrig, value, cMaxRetransChars);
}

void LineDataFactoryBlock::setRetransAll(const std::string& value)
{
    storeCut(mImpl->mRetransAll, value, cMaxRetransChars);
}

void LineDataFactoryBlock::setRetransRecip(const std::string& value)
{
    storeCut(mImpl->mRetransRecipient, value, static_cast<std::size_t>(std::max(mImpl->mRetransLength, 0)));
}

char LineDataFactoryBlock::blockBegin() const { return mImpl->mBlockBegin; }
char LineDataFactoryBlock::blockEnd() const { return mImpl->mBlockEnd; }
char LineDataFactoryBlock::msgSeparator() const { return mImpl->mMsgSep; }
int LineDataFactoryBlock::seqNumOffset() const { return mImpl->mSeqNumOffset; }
int LineDataFactoryBlock::seqNumLength() const { return mImpl->mSeqNumLength; }
int LineDataFactoryBlock::categoryOffset() const { return mImpl->mCategoryOffset; }
const char* LineDataFactoryBlock::categoryControl() const { return mImpl->mCategoryControl; }
int LineDataFactoryBlock::typeOffset() const { return mImpl->mTypeOffset; }
const char* LineDataFactoryBlock::typeSeqNumReset() const { return mImpl->mTypeSeqNumReset; }
const char* LineDataFactoryBlock::typeHeartbeat() const { return mImpl->mTypeHeartbeat; }
int LineDataFactoryBlock::retransOffset() const { return mImpl->mRetransOffset; }
int LineDataFactoryBlock::retransLength() const { return mImpl->mRetransLength; }
const char* LineDataFactoryBlock::retransOrig() const { return mImpl->mRetransOrig; }
const char* LineDataFactoryBlock::retransAll() const { return mImpl->mRetransAll; }
const char* LineDataFactoryBlock::retransRecip() const { return mImpl->mRetransRecipient; }
