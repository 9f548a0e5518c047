// The retransmission server's store of recent broadcast messages: one ring
// per channel, filled from each sub-feed's filtered line data bus and read by
// the client sessions to check and serve retransmission requests.
//
// A channel cache takes no lock. It is written and read on one thread, the
// server's; debug builds check that in every operation. Numbers that never
// arrived are held as placeholders (sequence number 0), one slot per number,
// so that for every s the cache answers for, getMessage(s) is the message
// stored under s since the last clear, or a placeholder.
#pragma once

#include "kelmora/bus/MhMode.h"
#include "kelmora/linedata/LineData.h"
#include "rts/cache/CachePool.h"
#include "rts/cache/LineDataCopy.h"
#include "zunq/bus/Orlu.h"
#include "zunq/bus/OrluSubscriber.h"

#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>

class Log;

class LineDataCacheManager
{
public:
    class LineDataCache : public OrluSubscriber<LineData>, public OrluSubscriber<MhMode>
    {
    public:
        // `maxCacheSize` must be above 0 (the factory refuses anything else).
        LineDataCache(Log& log, std::uint16_t channelId, const std::string& name, std::int32_t maxCacheSize,
                      bool lastNCaching, bool cacheControlMsgs, std::uint32_t maxPacketSize);
        ~LineDataCache() override;

        void onData(const Orlu<LineData>& orlu, const std::string& source, const LineData& lineData) override;
        void onData(const Orlu<MhMode>& orlu, const std::string& source, const MhMode& mode) override;

        // Writes the placeholders of a gap and then the message, both only
        // when the message is accepted; at most capacity placeholders, since
        // more would only overwrite placeholders again. `restart` empties the
        // cache first (a number behind the last one while unchecked).
        void storeMsg(const LineData& lineData, std::uint32_t gapSize, bool restart = false);
        // The slot for `seqNum`, null when older than the ring or past last + 1.
        // The slot's own number is not compared: callers check it.
        LineDataCopy* getMessage(std::uint32_t seqNum) const;
        // Asks for the slot of `seqNum` ahead of its read: a replay walks
        // slots that lie apart in memory, which the hardware does not fetch
        // ahead, and waits on each one otherwise.
        void prefetchMessage(std::uint32_t seqNum) const;
        bool isRequestValid(const std::string& clientLogName, std::uint16_t channelId, std::uint32_t begin,
                            std::uint32_t end, bool logFail) const;
        void clear();

        std::uint32_t getFirstSeqNum() const { return mFirstSeqNum; }
        std::uint32_t getLastSeqNum() const { return mLastMessageSeqNum; }
        std::uint16_t getChannelId() const { return mChannelId; }
        std::int32_t getMaxCacheSize() const { return mMaxCacheSize; }
        bool getCacheControlMsgs() const { return mCacheControlMsgs; }
        std::uint32_t getMaxPacketSize() const { return mMaxPacketSize; }
        bool getLastNCaching() const { return mLastNCaching; }
        MhMode getMhMode() const { return mMhMode; }
        bool hasHadGaps() const { return mHasHadGaps; }
        std::uint32_t getFirstGapSeqNum() const { return mFirstGapSeqNum; }
        std::uint32_t getLastGapSeqNum() const { return mLastGapSeqNum; }

        // Joins the buses (either may be null); the cache leaves them when destroyed.
        void subscribeTo(Orlu<LineData>* orluLineData, Orlu<MhMode>* orluMhMode);
        // The server's thread takes over the cache (debug-build check).
        void bindOwnerThread();

    private:
        void checkOwner() const;
        LineDataCopy* slotFor(std::uint32_t seqNum) const;
        void recordGap(std::uint32_t firstMissing, std::uint32_t lastMissing);

        std::uint32_t mLastMessageSeqNum = 0;
        std::uint32_t mLastPacketSeqNum = 0;
        std::uint32_t mFirstSeqNum = 0;
        std::uint32_t mVeryFirstSeqNum = 0;
        std::uint32_t mLastActualSeqNum = 0;
        std::uint32_t mFirstGapSeqNum = 0;
        std::uint32_t mLastGapSeqNum = 0;
        std::int32_t mMaxCacheSize;
        std::int32_t mBaseSeqNum = 0;
        bool mLastNCaching;
        bool mCacheControlMsgs;
        std::uint32_t mMaxPacketSize;
        std::uint16_t mChannelId;
        Log& mLog;
        MhMode mMhMode{MhMode::UNKNOWN};
        CachePool<LineDataCopy> mLineDataPool;
        bool mHasHadGaps = false;
        Orlu<LineData>* mOrluLineData = nullptr;
        Orlu<MhMode>* mOrluMhMode = nullptr;
        mutable std::thread::id mOwner;
    };

    explicit LineDataCacheManager(Log& log);
    virtual ~LineDataCacheManager();

    // The channel's cache; an existing one is returned unchanged (no
    // subscription, no log).
    virtual LineDataCache* addLineDataCache(std::uint16_t channelId, const std::string& name,
                                            Orlu<LineData>* orluLineData, Orlu<MhMode>* orluMhMode,
                                            std::int32_t maxCacheSize, bool lastNCaching, bool cacheControlMsgs,
                                            std::uint32_t maxPacketSize, bool sorvelMode);
    virtual LineDataCache* getLineDataCache(std::uint16_t channelId) const;
    virtual void setLastNCaching(bool status);
    virtual bool getLastNCaching() const { return mLastNCaching; }
    virtual void setCacheSize(std::uint32_t size);
    virtual std::uint32_t getCacheSize() const { return mCacheSize; }
    virtual Log& getLog() const { return mLog; }

    std::uint32_t getLastBroadcastSeqNum(std::uint16_t channelId) const;
    std::uint32_t getFirstBroadcastSeqNum(std::uint16_t channelId) const;
    bool isRequestValid(const std::string& clientLogName, std::uint16_t channelId, std::uint32_t begin,
                        std::uint32_t end, bool logFailedRequest) const;
    bool isValidServiceId(std::uint16_t channelId) const;
    void clear();

private:
    using LineDataCacheMap = std::unordered_map<std::uint16_t, std::unique_ptr<LineDataCache>>;

    Log& mLog;
    LineDataCacheMap mLineDataCacheMap;
    bool mLastNCaching = false;
    std::uint32_t mCacheSize = 0;
};

#include "kelmora/runtime/InitModule.h"

// Builds the manager and one channel cache per sub-feed at start-up and
// registers it as "LineDataCacheManager" (priority 700).
template <>
bool InitModule<LineDataCacheManager>::createModule(ModuleList* list, ZunqConfigManager* config);
