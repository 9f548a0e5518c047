// A test feed inside rtsd: on the default group's thread it publishes
// messages 1 to "FeedMessages" on the line data bus the channel cache reads,
// "FeedBatch" per 5 ms tick, skipping "FeedGapFrom" to "FeedGapTo" (a feed
// gap), then logs "Feed: fed <n>". Message n: "FeedMessageSize" bytes, its
// size (u16), type 0x0500 (u16) and n (u32), little-endian, then bytes n+i.
#include "kelmora/linedata/LineDataBasic.h"
#include "kelmora/runtime/InitModule.h"
#include "kelmora/runtime/Module.h"
#include "kelmora/runtime/ModuleList.h"
#include "kelmora/thread/TarvokSession.h"
#include "kelmora/thread/TarvokTimer.h"
#include "zunq/bus/Orlu.h"
#include "zunq/bus/OrluPublisher.h"
#include "zunq/config/ZunqConfigManager.h"
#include "zunq/log/Log.h"

#include <vector>

namespace
{

class Feed : public TarvokTimerHandler
{
public:
    Feed(Log& log, Orlu<LineData>* lineData, long messages, long batch, long size, long gapFrom, long gapTo)
        : mLog(log), mMessages(messages), mBatch(batch), mSize(size), mGapFrom(gapFrom), mGapTo(gapTo)
    {
        mPublisher.setDestination(lineData);
    }

    void start(TarvokSession& session) { mTimer.create(&session, this, 5, nullptr); }

    void onTimer(TarvokTimer*) override
    {
        if (mNext > mMessages)
            return;
        std::vector<char> bytes(static_cast<std::size_t>(mSize));
        for (long i = 0; i < mBatch && mNext <= mMessages; ++i, ++mNext)
        {
            if (mNext >= mGapFrom && mNext <= mGapTo)
                continue;
            const auto n = static_cast<std::uint32_t>(mNext);
            for (std::size_t b = 0; b < bytes.size(); ++b)
                bytes[b] = static_cast<char>(n + b);
            bytes[0] = static_cast<char>(mSize & 0xFF);
            bytes[1] = static_cast<char>(mSize >> 8);
            bytes[2] = 0x00;
            bytes[3] = 0x05;
            for (int k = 0; k < 4; ++k)
                bytes[4 + k] = static_cast<char>(n >> (8 * k));
            mRecord.clear();
            mRecord.setData(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
            mRecord.setSeqNum(n);
            mPublisher.publish(mRecord);
        }
        if (mNext > mMessages)
            mLog.info() << "Feed: fed " << mMessages;
    }

private:
    Log& mLog;
    long mMessages, mBatch, mSize, mGapFrom, mGapTo;
    long mNext = 1;
    LineDataBasic mRecord;
    OrluPublisher<LineData> mPublisher{"Feed"};
    TarvokTimer mTimer;
};

} // namespace

struct FeedModule
{
};

template <>
bool InitModule<FeedModule>::createModule(ModuleList* list, ZunqConfigManager* config)
{
    const std::string where = "InitModule<Feed>";
    const std::string& group = list->defaultGroup();
    Log* log = requireModule<Log>(list, "Log", group, where);
    TarvokSession* session = requireModule<TarvokSession>(list, "TarvokSessionDefault", group, where);
    auto* lineData = requireModule<Orlu<LineData>>(list, "OrluLineData", group, where);
    // Lives until the process exits.
    static Feed* feed = nullptr;
    feed = new Feed(*log, lineData, config->getLong("FeedMessages", "", 1000), config->getLong("FeedBatch", "", 500),
                          config->getLong("FeedMessageSize", "", 20), config->getLong("FeedGapFrom", "", 0),
                          config->getLong("FeedGapTo", "", -1));
    feed->start(*session);
    return true;
}

namespace
{
InitModule<FeedModule> gFeed("Feed", 995);
}

extern "C" void tarvok_so_init() {}
