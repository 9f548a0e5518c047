#include "rts/cache/LineDataCacheHop.h"

#include "kelmora/thread/Runnable.h"
#include "zunq/log/Log.h"

#include <cstdint>
#include <cstring>

namespace
{
// The message: u8 kind, then for a record u8 flags, u32 number, u32 length
// and the bytes; for a mode an i32.
constexpr char cRecord = 1;
constexpr char cMode = 2;
constexpr std::size_t cRecordHead = 10;
constexpr std::size_t cMaxBytes = Zunq::ThreadData::cMaxData - cRecordHead;
constexpr unsigned char cControl = 1;
constexpr unsigned char cHeartbeat = 2;
} // namespace

LineDataCacheHop::LineDataCacheHop(LineDataCacheManager::LineDataCache& cache, Runnable& cacheThread,
                                   Orlu<LineData>& lineData, Orlu<MhMode>* mode, Log& log)
    : OrluSubscriber<LineData>(cacheThread.getName() + "_cache_hop"),
      OrluSubscriber<MhMode>(cacheThread.getName() + "_cache_hop"),
      OrluSubscriber<Zunq::ThreadData>(cacheThread.getName() + "_cache_hop"),
      mCache(cache), mOrluLineData(lineData), mOrluMhMode(mode),
      mOrluThreadData(cacheThread.getOrluThreadData(cDataType)), mLog(log)
{
    cacheThread.getResourceName(mCacheThread);
    mOut.mDataType = cDataType;
    mOut.mDataPtr1 = this;
    mOrluLineData.subscribe(this);
    if (mOrluMhMode != nullptr)
        mOrluMhMode->subscribe(this);
    mOrluThreadData->subscribe(this);
}

LineDataCacheHop::~LineDataCacheHop()
{
    mOrluLineData.unsubscribe(this);
    if (mOrluMhMode != nullptr)
        mOrluMhMode->unsubscribe(this);
    mOrluThreadData->unsubscribe(this);
}

void LineDataCacheHop::send(const Zunq::ThreadData& data, const char* what)
{
    Runnable* own = Runnable::current();
    if (own == nullptr)
    {
        mLog.error() << "LineDataCacheHop::onData(" << mCache.getChannelId() << ") - " << what
                     << " published on a thread without a Runnable cannot reach the cache on thread "
                     << mCacheThread << "; dropped";
        return;
    }
    const int rc = own->sendThreadMessageByThreadName(mCacheThread, data, false);
    if (rc != 0)
        mLog.error() << "LineDataCacheHop::onData(" << mCache.getChannelId() << ") - " << what
                     << " could not be sent to the cache on thread " << mCacheThread << ", error " << rc
                     << "; dropped";
}

void LineDataCacheHop::onData(const Orlu<LineData>&, const std::string&, const LineData& lineData)
{
    const std::uint32_t seq = lineData.getSeqNum();
    const std::uint32_t length = lineData.getDataLen();
    if (length > cMaxBytes || (length != 0 && lineData.getData() == nullptr))
    {
        mLog.error() << "LineDataCacheHop::onData(" << mCache.getChannelId() << ") - record " << seq << " of "
                     << length << " bytes does not fit a thread message; dropped";
        return;
    }
    mOut.mData[0] = cRecord;
    mOut.mData[1] = static_cast<char>((lineData.isControl() ? cControl : 0) |
                                      (lineData.isHeartbeat() ? cHeartbeat : 0));
    std::memcpy(mOut.mData + 2, &seq, sizeof seq);
    std::memcpy(mOut.mData + 6, &length, sizeof length);
    if (length != 0)
        std::memcpy(mOut.mData + cRecordHead, lineData.getData(), length);
    mOut.mDataSize = static_cast<std::uint16_t>(cRecordHead + length);
    send(mOut, "a record");
}

void LineDataCacheHop::onData(const Orlu<MhMode>&, const std::string&, const MhMode& mode)
{
    const std::int32_t value = mode.getMode();
    mOut.mData[0] = cMode;
    std::memcpy(mOut.mData + 1, &value, sizeof value);
    mOut.mDataSize = static_cast<std::uint16_t>(1 + sizeof value);
    send(mOut, "a mode");
}

void LineDataCacheHop::onData(const Orlu<Zunq::ThreadData>&, const std::string& source,
                              const Zunq::ThreadData& data)
{
    // Every hop of this thread hears every hop message: take only its own.
    if (data.mDataPtr1 != this || data.mDataSize < 1)
        return;
    if (data.mData[0] == cMode && data.mDataSize >= 1 + sizeof(std::int32_t))
    {
        std::int32_t value = 0;
        std::memcpy(&value, data.mData + 1, sizeof value);
        if (mOrluMhMode != nullptr)
            mCache.onData(*mOrluMhMode, source, MhMode(static_cast<MhMode::Mode>(value)));
        return;
    }
    if (data.mData[0] != cRecord || data.mDataSize < cRecordHead)
        return;
    std::uint32_t seq = 0;
    std::uint32_t length = 0;
    std::memcpy(&seq, data.mData + 2, sizeof seq);
    std::memcpy(&length, data.mData + 6, sizeof length);
    if (length > data.mDataSize - cRecordHead)
        return; // cut on the way: never read past what arrived
    mRecord.clear();
    mRecord.setData(data.mData + cRecordHead, length);
    mRecord.setSeqNum(seq);
    mRecord.setIsControl((data.mData[1] & cControl) != 0);
    mRecord.setIsHeartbeat((data.mData[1] & cHeartbeat) != 0);
    mCache.onData(mOrluLineData, source, mRecord);
}
