#include "kelmora/linedata/LineData.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

class LineDataImpl
{
public:
    // What sequencing reads of every record shares the first cache line;
    // the times and the host, read rarely, come after it.
    std::uint32_t mSeqNum = 0;
    bool mIsOriginal = true;
    bool mIsControl = false;
    bool mIsSequenceReset = false;
    bool mIsHeartbeat = false;
    bool mIsRecovery = false;
    bool mIsLast = false;
    bool mIgnoreSeqNum = false;
    bool mMultiMsg = false;
    std::uint16_t mChannelId = 0;
    std::uint64_t mSrcTimeInt64 = 0;
    const char* mSessionId = nullptr;
    std::string mSavedData;
    Time mSrcTime;
    char mSrcHost[32] = {};
    std::int32_t mSrcPort = 0;
    Time mReadQuorDataTime;
    Time mLineTime;

    void copyHost(const char* host)
    {
        std::memset(mSrcHost, 0, sizeof mSrcHost);
        std::snprintf(mSrcHost, sizeof mSrcHost, "%s", host != nullptr ? host : "");
    }

    // Everything but the payload, the saved text and the buffer.
    void copyAttributes(const LineDataImpl& other)
    {
        mSeqNum = other.mSeqNum;
        mSrcTime = other.mSrcTime;
        mSrcTimeInt64 = other.mSrcTimeInt64;
        mSrcPort = other.mSrcPort;
        mReadQuorDataTime = other.mReadQuorDataTime;
        mLineTime = other.mLineTime;
        mIsOriginal = other.mIsOriginal;
        mIsControl = other.mIsControl;
        mIsSequenceReset = other.mIsSequenceReset;
        mIsHeartbeat = other.mIsHeartbeat;
        mIsRecovery = other.mIsRecovery;
        mIsLast = other.mIsLast;
        mIgnoreSeqNum = other.mIgnoreSeqNum;
        mMultiMsg = other.mMultiMsg;
        mChannelId = other.mChannelId;
        mSessionId = other.mSessionId;
        // Already cut and zero-filled in the other record.
        std::memcpy(mSrcHost, other.mSrcHost, sizeof mSrcHost);
    }
};

bool LineData::pointsIntoBuffer(const char* p) const
{
    return owns() && p != nullptr && p >= mData && p < mData + mBufferLen;
}

void LineData::releaseBuffer()
{
    if (owns())
    {
        std::free(buffer());
        mBufferLen = 0;
    }
}

void LineData::takeBuffer(std::uint32_t size, std::uint32_t keep)
{
    if (!owns())
    {
        char* block = static_cast<char*>(std::malloc(size));
        if (block == nullptr)
            throw std::bad_alloc();
        if (mData != nullptr && keep != 0)
            std::memcpy(block, mData, keep);
        mData = block;
    }
    else
    {
        void* block = std::realloc(buffer(), size);
        if (block == nullptr)
            throw std::bad_alloc();
        mData = static_cast<const char*>(block);
    }
    mBufferLen = size;
}

LineData::LineData()
    : mImpl(new LineDataImpl)
{
}

LineData::LineData(const LineData& other)
    : mImpl(new LineDataImpl)
{
    mImpl->copyAttributes(*other.mImpl);
    mData = other.mData;
    mDataLen = other.mDataLen;
    // The copy never refers to the other record's bytes.
    saveData();
}

LineData::~LineData()
{
    releaseBuffer();
    delete mImpl;
}

LineData& LineData::operator=(const LineData& other)
{
    if (this == &other)
        return *this;
    LineDataImpl& d = *mImpl;
    const std::uint32_t n = other.mDataLen;
    if (n != 0)
    {
        if (!owns() || mBufferLen < n)
            takeBuffer(n, 0);
        std::memmove(buffer(), other.mData, n);
    }
    else if (!owns())
    {
        // Nothing to own: an empty borrowing record, not a block of 0 bytes.
        mData = nullptr;
    }
    mDataLen = n;
    d.copyAttributes(*other.mImpl);
    return *this;
}

void LineData::clear()
{
    LineDataImpl& d = *mImpl;
    if (!owns())
        mData = nullptr;
    mDataLen = 0;
    d.mSeqNum = 0;
    d.mLineTime.clear();
    d.mReadQuorDataTime.clear();
    d.mSrcTime.clear();
    d.mSrcTimeInt64 = 0;
    d.mSrcHost[0] = '\0';
    d.mSrcPort = 0;
    d.mIsOriginal = true;
    d.mIsControl = false;
    d.mIsSequenceReset = false;
    d.mIsHeartbeat = false;
    d.mIsRecovery = false;
    d.mIsLast = false;
    d.mIgnoreSeqNum = false;
    d.mMultiMsg = false;
    d.mSessionId = nullptr;
}

void LineData::borrowIntoOwned(const char* data, std::uint32_t len)
{
    LineDataImpl& d = *mImpl;
    if (data == nullptr)
        len = 0;
    if (len != 0 && pointsIntoBuffer(data))
    {
        // The bytes live in the buffer about to be released: keep a copy.
        const std::uint32_t room = static_cast<std::uint32_t>(mData + mBufferLen - data);
        len = std::min(len, room);
        d.mSavedData.assign(data, len);
        data = d.mSavedData.data();
    }
    releaseBuffer();
    mData = data;
    mDataLen = len;
}

void LineData::setDataLen(std::uint32_t len)
{
    mDataLen = len;
}

void LineData::setBufferLen(std::uint32_t size)
{
    if (size == 0)
    {
        if (owns())
        {
            releaseBuffer();
            mData = nullptr;
            mDataLen = 0;
        }
        return;
    }
    if (!owns())
        takeBuffer(std::max(mDataLen, size), mDataLen);
    else if (size > mBufferLen)
        takeBuffer(size, mDataLen);
}

void LineData::setSource(const char* host, int port)
{
    mImpl->copyHost(host);
    mImpl->mSrcPort = port;
}

void LineData::setSeqNum(std::uint32_t seqNum) { mImpl->mSeqNum = seqNum; }
void LineData::setMultipleMessages(bool on) { mImpl->mMultiMsg = on; }
void LineData::setIgnoreSeqNum(bool on) { mImpl->mIgnoreSeqNum = on; }
void LineData::setSrcTime(const Time& time) { mImpl->mSrcTime = time; }
void LineData::setSrcTime(std::uint64_t time) { mImpl->mSrcTimeInt64 = time; }
void LineData::setLineTime(const Time& time) { mImpl->mLineTime = time; }
void LineData::setLineTimeNow() { mImpl->mLineTime.recalcNow(); }
void LineData::setReadQuorDataTimeNow() { mImpl->mReadQuorDataTime.recalcNow(); }
void LineData::setIsOriginal(bool on) { mImpl->mIsOriginal = on; }
void LineData::setIsControl(bool on) { mImpl->mIsControl = on; }
void LineData::setIsSequenceReset(bool on) { mImpl->mIsSequenceReset = on; }
void LineData::setIsHeartbeat(bool on) { mImpl->mIsHeartbeat = on; }
void LineData::setIsRecovery(bool on) { mImpl->mIsRecovery = on; }
void LineData::setIsLast(bool on) { mImpl->mIsLast = on; }

void LineData::saveData()
{
    LineDataImpl& d = *mImpl;
    if (mData == nullptr || mDataLen == 0)
        d.mSavedData.clear();
    else
        d.mSavedData.assign(mData, mDataLen);
    const std::uint32_t len = mDataLen;
    releaseBuffer();
    mData = len != 0 ? d.mSavedData.data() : nullptr;
    mDataLen = len;
}

std::uint32_t LineData::getSeqNum() const { return mImpl->mSeqNum; }
bool LineData::getMultipleMessages() const { return mImpl->mMultiMsg; }
bool LineData::getIgnoreSeqNum() const { return mImpl->mIgnoreSeqNum; }
const Time& LineData::getSrcTime() const { return mImpl->mSrcTime; }
std::uint64_t LineData::getSrcTimeInt64() const { return mImpl->mSrcTimeInt64; }
const Time& LineData::getReadQuorDataTime() const { return mImpl->mReadQuorDataTime; }
const Time& LineData::getLineTime() const { return mImpl->mLineTime; }
void LineData::getDestHost(std::string& host) const { host.clear(); }
void LineData::getDestPort(int& port) const { port = 0; }
const char* LineData::getSrcHost() const { return mImpl->mSrcHost; }
int LineData::getSrcPort() const { return mImpl->mSrcPort; }
bool LineData::isOriginal() const { return mImpl->mIsOriginal; }
bool LineData::isControl() const { return mImpl->mIsControl; }
bool LineData::isSequenceReset() const { return mImpl->mIsSequenceReset; }
bool LineData::isHeartbeat() const { return mImpl->mIsHeartbeat; }
bool LineData::isRecovery() const { return mImpl->mIsRecovery; }
bool LineData::isLast() const { return mImpl->mIsLast; }
bool LineData::isBlockData() const { return false; }
void LineData::getBlockData(std::deque<const LineData*>*& out) const { out = nullptr; }
std::uint32_t LineData::getNextSeqNum() const { return getSeqNum() + 1; }

// The implementation keeps these fields in the answer's order, so the answer
// is two loads: built field by field it went through the stack, whose
// narrow stores and wide load stalled every caller.
static_assert(offsetof(LineDataImpl, mIsOriginal) - offsetof(LineDataImpl, mSeqNum) == offsetof(LineData::SeqFields, mIsOriginal));
static_assert(offsetof(LineDataImpl, mIsControl) - offsetof(LineDataImpl, mSeqNum) == offsetof(LineData::SeqFields, mIsControl));
static_assert(offsetof(LineDataImpl, mIsSequenceReset) - offsetof(LineDataImpl, mSeqNum) == offsetof(LineData::SeqFields, mIsSequenceReset));
static_assert(offsetof(LineDataImpl, mIsHeartbeat) - offsetof(LineDataImpl, mSeqNum) == offsetof(LineData::SeqFields, mIsHeartbeat));
static_assert(offsetof(LineDataImpl, mIsRecovery) - offsetof(LineDataImpl, mSeqNum) == offsetof(LineData::SeqFields, mIsRecovery));
static_assert(offsetof(LineDataImpl, mIsLast) - offsetof(LineDataImpl, mSeqNum) == offsetof(LineData::SeqFields, mIsLast));
static_assert(offsetof(LineDataImpl, mIgnoreSeqNum) - offsetof(LineDataImpl, mSeqNum) == offsetof(LineData::SeqFields, mIgnoreSeqNum));
static_assert(offsetof(LineDataImpl, mMultiMsg) - offsetof(LineDataImpl, mSeqNum) == offsetof(LineData::SeqFields, mMultiMsg));

LineData::SeqFields LineData::getSeqFields() const
{
    SeqFields fields;
    std::memcpy(&fields, &mImpl->mSeqNum, sizeof fields);
    return fields;
}
void LineData::setSessionId(const char* sessionId) { mImpl->mSessionId = sessionId; }
const char* LineData::getSessionId() const { return mImpl->mSessionId; }
void LineData::setChannelId(std::uint16_t channelId) { mImpl->mChannelId = channelId; }
std::uint16_t LineData::getChannelId() const { return mImpl->mChannelId; }
