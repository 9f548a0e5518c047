#include "rts/cache/LineDataCacheManager.h"

#include "zunq/log/Log.h"
#include "zunq/protocol/RetransProtocol.h"

#include <algorithm>
#include <cassert>
#include <cstring>

namespace
{
constexpr std::uint32_t cMaxMsgSize = static_cast<std::uint32_t>(Zunq::cMaxMessageSize);
constexpr std::uint32_t cHeaderFieldsSize = 4; // mMsgSize and mMsgType

const char* yn(bool on)
{
    return on ? "Y" : "N";
}

// The message header's first two fields; only for records of at least 4 bytes.
void readHeader(const LineData& lineData, std::uint16_t& msgSize, std::uint16_t& msgType)
{
    const char* data = lineData.getData();
    std::memcpy(&msgSize, data, sizeof(msgSize));
    std::memcpy(&msgType, data + sizeof(msgSize), sizeof(msgType));
}
} // namespace

using LineDataCache = LineDataCacheManager::LineDataCache;

LineDataCache::LineDataCache(Log& log, std::uint16_t channelId, const std::string& name, std::int32_t maxCacheSize,
                             bool lastNCaching, bool cacheControlMsgs, std::uint32_t maxPacketSize)
    : OrluSubscriber<LineData>(name),
      OrluSubscriber<MhMode>(name),
      mMaxCacheSize(maxCacheSize),
      mLastNCaching(lastNCaching),
      mCacheControlMsgs(cacheControlMsgs),
      mMaxPacketSize(maxPacketSize),
      mChannelId(channelId),
      mLog(log),
      mLineDataPool(static_cast<std::uint32_t>(maxCacheSize), true, true)
{
}

LineDataCache::~LineDataCache()
{
    if (mOrluLineData != nullptr)
        mOrluLineData->unsubscribe(this);
    if (mOrluMhMode != nullptr)
        mOrluMhMode->unsubscribe(this);
}

void LineDataCache::subscribeTo(Orlu<LineData>* orluLineData, Orlu<MhMode>* orluMhMode)
{
    if (orluLineData != nullptr)
    {
        orluLineData->subscribe(this);
        mOrluLineData = orluLineData;
    }
    if (orluMhMode != nullptr)
    {
        orluMhMode->subscribe(this);
        mOrluMhMode = orluMhMode;
    }
}

void LineDataCache::bindOwnerThread()
{
    mOwner = std::this_thread::get_id();
}

void LineDataCache::checkOwner() const
{
#ifndef NDEBUG
    // The cache takes no lock: its first user owns it, and any other thread
    // touching it is a deployment fault.
    if (mOwner == std::thread::id())
        mOwner = std::this_thread::get_id();
    assert(mOwner == std::this_thread::get_id() && "line data cache used outside its owner thread");
#endif
}

void LineDataCache::onData(const Orlu<MhMode>&, const std::string&, const MhMode& mode)
{
    checkOwner();
    if (mLog.verboseEnabled())
        mLog.verbose() << "LineDataCache::onData<MhMode> received notification of mode update: "
                       << MhMode::modeToString(mode.getMode());
    mMhMode = mode;
}

void LineDataCache::onData(const Orlu<LineData>&, const std::string&, const LineData& lineData)
{
    checkOwner();
    const std::uint32_t seq = lineData.getSeqNum();
    const std::uint32_t length = lineData.getDataLen();
    if (mLog.verboseEnabled())
        mLog.verbose() << "LineDataCache::onData(" << mChannelId << ") - Received message: isControl ["
                       << yn(lineData.isControl()) << "]; isHeartbeat [" << yn(lineData.isHeartbeat())
                       << "]; SeqNum [" << seq << "]; Length [" << length << "]";

    bool checkSeq = !lineData.isHeartbeat() && (mCacheControlMsgs || !lineData.isControl());
    if (mMhMode.getMode() == MhMode::SLEEP)
    {
        if (mLog.verboseEnabled())
            mLog.verbose() << "LineDataCache::onData(" << mChannelId << ") - LineDataCache is in SLEEP mode";
        checkSeq = false;
    }
    if (lineData.isHeartbeat())
    {
        if (mLog.verboseEnabled())
            mLog.verbose() << "LineDataCache::onData(" << mChannelId << ") - Ignored Message!";
        return;
    }
    if (length > mMaxPacketSize)
        mLog.warning() << "LineDataCache::onData(" << mChannelId << ") - Packet length exceeded the maximum limit "
                       << mMaxPacketSize;
    if (length >= cHeaderFieldsSize)
    {
        std::uint16_t msgLength = 0;
        std::uint16_t msgType = 0;
        readHeader(lineData, msgLength, msgType);
        if (length != msgLength)
            mLog.warning() << "LineDataCache::onData(" << mChannelId
                           << ") -  Msg length does NOT match with LineData length. Msg SeqNum = " << seq
                           << " Msg Length = " << msgLength << " LineData.Size = " << length;
    }

    const std::uint32_t expected = mLastMessageSeqNum + 1;
    if (seq == expected)
    {
        storeMsg(lineData, 0);
        return;
    }
    if (!checkSeq)
    {
        // Stored without the order check, yet one slot per number: a jump
        // leaves placeholders, a step back starts the cache again there.
        if (seq > expected)
        {
            recordGap(expected, seq - 1);
            storeMsg(lineData, seq - expected);
        }
        else
            storeMsg(lineData, 0, true);
        return;
    }
    if (mLog.verboseEnabled())
        mLog.verbose() << "LineDataCache::onData(" << mChannelId
                       << ") - Msg SeqNum NOT as expected.  Msg SeqNum = " << seq << " Expected SeqNum = " << expected;
    if (seq < expected)
    {
        if (mLog.verboseEnabled())
            mLog.verbose() << "LineDataCache::onData(" << mChannelId
                           << ") - Possibly packet duplicated or disorder, ignored it.";
        return;
    }
    mLog.error() << "LineDataCache::onData(" << mChannelId << ") - Message LOST - expected seqNo [" << expected
                 << "] received seqNo [" << seq << "] .";
    recordGap(expected, seq - 1);
    storeMsg(lineData, seq - expected);
}

void LineDataCache::recordGap(std::uint32_t firstMissing, std::uint32_t lastMissing)
{
    if (!mHasHadGaps)
        mFirstGapSeqNum = firstMissing;
    mHasHadGaps = true;
    mLastGapSeqNum = lastMissing;
}

void LineDataCache::storeMsg(const LineData& lineData, std::uint32_t gapSize, bool restart)
{
    checkOwner();
    const std::uint32_t length = lineData.getDataLen();
    std::uint16_t msgLength = 0;
    std::uint16_t msgType = 0;
    if (length >= cHeaderFieldsSize)
        readHeader(lineData, msgLength, msgType);

    // A size field that cannot be parsed, or that claims more bytes than the
    // record holds, would be served with another message's bytes: refuse it.
    if (msgLength > cMaxMsgSize)
    {
        mLog.error() << "LineDataCache::storeMsg(" << mChannelId << ") - Too large message length detected: "
                     << msgLength << ". This packet is ignored. ";
        return;
    }
    if (msgLength < cHeaderFieldsSize)
    {
        mLog.error() << "LineDataCache::storeMsg(" << mChannelId << ") - Too small message length detected: "
                     << msgLength << ". This packet is ignored. ";
        return;
    }
    if (msgLength > length)
    {
        mLog.error() << "LineDataCache::storeMsg(" << mChannelId << ") - Message length " << msgLength
                     << " exceeds the record length " << length << ". This packet is ignored. ";
        return;
    }
    if (msgType == Zunq::SEQUENCE_RESET_TYPE)
    {
        mLog.info() << "LineDataCache::storeMsg(" << mChannelId << ") - Sequence Number Reset checking if we need to clear.";
        if (mFirstSeqNum != 0)
            clear();
        return;
    }
    const std::uint32_t seq = lineData.getSeqNum();
    if (seq == 0)
    {
        // 0 marks a placeholder; a message under it could never be served.
        mLog.warning() << "LineDataCache::storeMsg(" << mChannelId
                       << ") - Message without sequence number. This packet is ignored. ";
        return;
    }
    if (restart)
    {
        clear();
        if (seq > 1)
        {
            recordGap(1, seq - 1);
            gapSize = seq - 1;
        }
    }

    const std::uint32_t capacity = mLineDataPool.size();
    for (std::uint32_t i = std::min(gapSize, capacity); i > 0; --i)
        mLineDataPool.acquire()->setSeqNum(0);

    LineDataCopy* slot = mLineDataPool.acquire();
    slot->setData(lineData.getData(), msgLength);
    slot->setSeqNum(seq);
    mLastMessageSeqNum = seq;
    mFirstSeqNum = seq <= capacity ? 1 : seq - capacity + 1;
    if (mLog.verboseEnabled())
        mLog.verbose() << "LineDataCache::storeMsg(" << mChannelId << ") - Stored Msg SeqNum [" << seq << "]; Length ["
                       << msgLength << "]; mLastMessageSeqNum is now [" << mLastMessageSeqNum << "]";
}

LineDataCopy* LineDataCache::getMessage(std::uint32_t seqNum) const
{
    checkOwner();
    if (mLog.enabled(LOG_LEVEL_DEBUG))
        mLog.debug() << "LineDataCache::getMessage retrieve mLastMessageSeqNum=" << mLastMessageSeqNum
                     << " seqNum=" << seqNum;
    return slotFor(seqNum);
}

LineDataCopy* LineDataCache::slotFor(std::uint32_t seqNum) const
{
    const std::uint32_t capacity = mLineDataPool.size();
    const std::uint32_t d = mLastMessageSeqNum - seqNum + 1;
    if (d > capacity)
        return nullptr;
    const std::uint32_t tail = mLineDataPool.tail();
    const std::uint32_t index = d <= tail ? tail - d : static_cast<std::uint32_t>((std::uint64_t(tail) + capacity - d) % capacity);
    return mLineDataPool.at(index);
}

void LineDataCache::prefetchMessage(std::uint32_t seqNum) const
{
    if (const LineDataCopy* slot = slotFor(seqNum))
        slot->prefetch();
}

bool LineDataCache::isRequestValid(const std::string& clientLogName, std::uint16_t, std::uint32_t begin,
                                   std::uint32_t end, bool logFail) const
{
    checkOwner();
    // An empty range (begin 0 and end 0 serve from 1 to 0) holds nothing to send.
    if (!(mFirstSeqNum <= begin && begin <= end && end <= mLastMessageSeqNum))
    {
        if (logFail)
            mLog.info() << "LineDataCache::isRequestValid(" << clientLogName << "): messages not available on channel ["
                        << mChannelId << "] available range is [" << mFirstSeqNum << "] to [" << mLastMessageSeqNum
                        << "]";
        return false;
    }
    if (!mHasHadGaps || end < mFirstGapSeqNum || begin > mLastGapSeqNum)
        return true;
    if (mLog.verboseEnabled())
        mLog.verbose() << "LineDataCache::isRequestValid(" << clientLogName
                       << "): need to check cache as request is in the gap range [" << mFirstGapSeqNum << "] to ["
                       << mLastGapSeqNum << "]";
    for (std::uint64_t s = begin; s <= end; ++s)
    {
        const LineData* message = getMessage(static_cast<std::uint32_t>(s));
        if (message != nullptr && message->getSeqNum() == 0)
        {
            mLog.info() << "LineDataCache::isRequestValid(" << clientLogName
                        << "): found there was gap within the retrans request [" << begin << "] to [" << end
                        << "] on channel [" << mChannelId << "] , marking request as messages unavailable.";
            return false;
        }
    }
    return true;
}

void LineDataCache::clear()
{
    checkOwner();
    if (mFirstSeqNum == 0)
        return;
    mLog.info() << "LinDataCacheManager::LineDataCache(): clearing rts cache on [" << mChannelId << "]";
    mLastMessageSeqNum = 0;
    mLastPacketSeqNum = 0;
    mFirstSeqNum = 0;
    mLastActualSeqNum = 0;
    mFirstGapSeqNum = 0;
    mLastGapSeqNum = 0;
    mHasHadGaps = false;
    mLineDataPool.reset();
}

LineDataCacheManager::LineDataCacheManager(Log& log)
    : mLog(log)
{
}

LineDataCacheManager::~LineDataCacheManager() = default;

LineDataCacheManager::LineDataCache* LineDataCacheManager::addLineDataCache(
    std::uint16_t channelId, const std::string& name, Orlu<LineData>* orluLineData, Orlu<MhMode>* orluMhMode,
    std::int32_t maxCacheSize, bool lastNCaching, bool cacheControlMsgs, std::uint32_t maxPacketSize, bool)
{
    auto found = mLineDataCacheMap.find(channelId);
    if (found != mLineDataCacheMap.end())
        return found->second.get();
    mLog.info() << "LineDataCacheManager::addLineDataCache  Subscribing LineData for ChannelId " << channelId
                << " and SubFeed " << name << " .";
    auto cache = std::make_unique<LineDataCache>(mLog, channelId, name, maxCacheSize, lastNCaching, cacheControlMsgs,
                                                 maxPacketSize);
    cache->subscribeTo(orluLineData, orluMhMode);
    LineDataCache* result = cache.get();
    mLineDataCacheMap.emplace(channelId, std::move(cache));
    return result;
}

LineDataCacheManager::LineDataCache* LineDataCacheManager::getLineDataCache(std::uint16_t channelId) const
{
    auto found = mLineDataCacheMap.find(channelId);
    return found != mLineDataCacheMap.end() ? found->second.get() : nullptr;
}

void LineDataCacheManager::setLastNCaching(bool status)
{
    mLog.info() << "setLastNCaching:: Setting Last N Messages Caching Policy to " << (status ? "true" : "false");
    mLastNCaching = status;
}

void LineDataCacheManager::setCacheSize(std::uint32_t size)
{
    mLog.info() << "setCacheSize:: Setting Max Size of In memory Cache to " << size;
    mCacheSize = size;
}

std::uint32_t LineDataCacheManager::getLastBroadcastSeqNum(std::uint16_t channelId) const
{
    const LineDataCache* cache = getLineDataCache(channelId);
    if (cache == nullptr)
    {
        mLog.warning() << "LineDataCacheManager::getLastBroadcastSeqNum Did not find cache for channel Id = "
                       << channelId;
        return 0;
    }
    if (mLog.verboseEnabled())
        mLog.verbose() << "LineDataCacheManager::getLastBroadcastSeqNum returning " << cache->getLastSeqNum();
    return cache->getLastSeqNum();
}

std::uint32_t LineDataCacheManager::getFirstBroadcastSeqNum(std::uint16_t channelId) const
{
    const LineDataCache* cache = getLineDataCache(channelId);
    if (cache == nullptr)
    {
        mLog.warning() << "LineDataCacheManager::getFirstBroadcastSeqNum Did not find cache for channel Id = "
                       << channelId;
        return 0;
    }
    if (mLog.verboseEnabled())
        mLog.verbose() << "LineDataCacheManager::getFirstBroadcastSeqNum returning " << cache->getFirstSeqNum();
    return cache->getFirstSeqNum();
}

bool LineDataCacheManager::isRequestValid(const std::string& clientLogName, std::uint16_t channelId,
                                          std::uint32_t begin, std::uint32_t end, bool logFailedRequest) const
{
    const LineDataCache* cache = getLineDataCache(channelId);
    if (cache == nullptr)
    {
        mLog.warning() << "LineDataCacheManager::isRequestValid Did not find cache for channel Id = " << channelId;
        return false;
    }
    return cache->isRequestValid(clientLogName, channelId, begin, end, logFailedRequest);
}

bool LineDataCacheManager::isValidServiceId(std::uint16_t channelId) const
{
    return mLineDataCacheMap.count(channelId) != 0;
}

void LineDataCacheManager::clear()
{
    for (auto& [channel, cache] : mLineDataCacheMap)
        if (cache->getFirstSeqNum() != 0)
            cache->clear();
}
