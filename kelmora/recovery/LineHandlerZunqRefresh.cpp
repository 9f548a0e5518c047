#include "kelmora/recovery/LineHandlerZunqRefresh.h"

#include "kelmora/filter/LineFilter.h"
#include "kelmora/linedata/LineDataFactoryDravek.h"
#include "kelmora/linehandler/LineHandlerMulticast.h"
#include "kelmora/recovery/MessageHandlerZunq.h"
#include "kelmora/runtime/PeerLog.h"
#include "kelmora/thread/Runnable.h"
#include "kelmora/thread/TarvokSession.h"
#include "kelmora/thread/TarvokTimer.h"
#include "libstats/pool/ArrayBackedDoubleLinkedList.h"
#include "libstats/pool/ArrayBackedPool.h"
#include "libstats/pool/PacketBufferItem.h"
#include "zunq/log/Log.h"
#include "zunq/protocol/RetransProtocol.h"
#include "zunq/protocol/ZunqDumpUtils.h"

#include <algorithm>
#include <cassert>
#include <chrono>
#include <cstring>
#include <unordered_map>
#include <vector>

using DRAVEK::Recovery::MessageHandlerZunq;

namespace
{

const char* const cName = "LineHandlerZunqRefresh";

using Item = ZunqUtils::PacketBufferItem;
using Pool = Zunq::Utils::ArrayBackedPool<Item>;
using Cache = Zunq::Utils::ArrayBackedDoubleLinkedList<Item>;

static_assert(sizeof(Item::mData) == LineHandlerZunqRefresh::cMaxPacketSize);

constexpr std::uint32_t cHeaderSize = Zunq::cPacketHeaderSize;
constexpr std::uint32_t cLeadSize = Zunq::cMessagePrefixSize;
constexpr std::uint32_t cMessageHeaderSize = sizeof(Zunq::MsgHeader);
static_assert(cMessageHeaderSize == sizeof(Zunq::RefreshComplete));
constexpr std::size_t cCountOffset = offsetof(Zunq::PacketHeader, mMsgCount);
constexpr std::size_t cSeqNumOffset = offsetof(Zunq::PacketHeader, mSeqNum);
// What a request carries through a thread message besides the source's name.
constexpr std::size_t cHopFixed = 10;
constexpr std::size_t cHopSourceMax = 256;

// Knowing the packet fits an entry, g++ would copy it with rep movsq, several
// times slower here than the library's copy.
[[gnu::noipa]] void copyPacket(char* to, const char* from, std::size_t length)
{
    std::memcpy(to, from, length);
}

std::int64_t monotonicNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

template <class T>
T readAt(const char* bytes, std::size_t offset)
{
    T value;
    std::memcpy(&value, bytes + offset, sizeof value);
    return value;
}

constexpr std::uint32_t cNoClose = 0xFF;

// The messages of a packet as its split into records takes them (each at
// least its 8-byte header, inside the packet), read from its bytes: how many,
// and the first two refresh-complete messages from message `from` on.
struct Messages
{
    std::uint32_t count = 0;
    std::uint32_t close = cNoClose; // its index
    std::uint32_t closeLast = 0;    // the last realtime number it covers
    std::uint32_t nextClose = cNoClose;
};

Messages readMessages(const char* bytes, std::uint32_t length, std::uint32_t from)
{
    Messages m;
    for (std::uint32_t offset = cHeaderSize; length - offset >= cMessageHeaderSize;)
    {
        const std::uint16_t size = readAt<std::uint16_t>(bytes, offset);
        if (size < cMessageHeaderSize || size > length - offset)
            break;
        if (m.count >= from && m.nextClose == cNoClose &&
            readAt<std::uint16_t>(bytes, offset + offsetof(Zunq::RefreshComplete, mMsgType)) ==
                Zunq::REFRESH_COMPLETE_TYPE)
        {
            if (m.close != cNoClose)
                m.nextClose = m.count;
            else
            {
                m.close = m.count;
                m.closeLast = readAt<std::uint32_t>(bytes, offset + offsetof(Zunq::RefreshComplete, mLastSeqNum));
            }
        }
        ++m.count;
        offset += size;
    }
    return m;
}

// What a kept packet's entry says of it beside its bytes, in the entry's
// owner id: its first number, its messages, how many of them lead up to the
// refresh-complete message that opened the cycle (not the cycle's), the
// first refresh-complete message after those, and how many lines delivered
// it. A packet of 1472 bytes holds at most 182 messages.
struct Kept
{
    std::uint32_t first = 0;
    std::uint32_t count = 0;
    std::uint32_t skip = 0;
    std::uint32_t close = cNoClose;
    std::uint32_t arrivals = 1;

    std::uint32_t last() const { return first + count - 1; }
    bool closes() const { return close != cNoClose; }

    static Kept of(const Item& item)
    {
        const std::uint64_t id = item.mID;
        return Kept{static_cast<std::uint32_t>(id), static_cast<std::uint32_t>((id >> 32) & 0xFF),
                    static_cast<std::uint32_t>((id >> 40) & 0xFF), static_cast<std::uint32_t>((id >> 48) & 0xFF),
                    static_cast<std::uint32_t>(id >> 56)};
    }
    void into(Item& item) const
    {
        item.mID = first | static_cast<std::uint64_t>(count & 0xFF) << 32 | static_cast<std::uint64_t>(skip & 0xFF) << 40 |
                   static_cast<std::uint64_t>(close & 0xFF) << 48 |
                   static_cast<std::uint64_t>(std::min<std::uint32_t>(arrivals, 0xFF)) << 56;
    }
};
static_assert((LineHandlerZunqRefresh::cMaxPacketSize - cHeaderSize) / cMessageHeaderSize < cNoClose);

} // namespace

struct RefreshChannelInfo
{
    RefreshChannelInfo(std::uint32_t id, Log& log, Pool& pool)
        : mID(static_cast<std::uint16_t>(id)), mLineDataCache(std::make_unique<Cache>(0, log, "RefreshDataCache", &pool))
    {
    }

    std::uint16_t mID;
    MessageHandlerZunq* mMessageHandler = nullptr;
    LineFilter* mLineFilter = nullptr;
    std::vector<std::unique_ptr<LineHandlerMulticast>> mLineHandlers;
    bool mStartFound = false;
    bool mActive = false;
    // The end steps of a refresh run: what they set off finds it over.
    bool mEnding = false;
    std::uint32_t mPublishSeqNum = 1;
    // The last number of the unbroken run of the cycle's packets.
    std::uint32_t mLastProcessedSeqNum = 0;
    // The cycle's packets by number: the unbroken run up to mTakenTail (-1:
    // none), then those that came ahead of a gap, until it fills.
    std::unique_ptr<Cache> mLineDataCache;
    long mTakenTail = -1;
    // The first packet ahead of the gap that holds a refresh-complete
    // message (-1: none), and how many such packets are ahead.
    long mCloseAhead = -1;
    unsigned mClosesAhead = 0;
    bool mSpoolRealtimeMessage = false;
    // When the running refresh was asked for (monotonic ns).
    std::int64_t mStartedNs = 0;
    // The lines the refresh source causes: bad packets, given-up cycles.
    PeerLog mPeerLog;
};

class LineHandlerZunqRefresh::Impl
{
public:
    Impl(LineHandlerZunqRefresh& client, Log& log, long cacheSize);
    ~Impl();

    RefreshChannelInfo& channel(std::uint32_t channelId);
    RefreshChannelInfo* find(std::uint32_t channelId) const;

    void route(const std::string& source, const RefreshRequest& request);
    void request(const std::string& source, const RefreshRequest& request);
    void packet(const LineData& data);
    void checkTimeouts();
    void timerRefused();

    void setSession(TarvokSession& session);
    bool onOwnerThread() const;

private:
    class HopTaker;
    class Ticker;

    // A packet while no cycle is open: a refresh-complete message opens one.
    void open(RefreshChannelInfo& c, const LineData& packet, std::uint32_t first, std::uint32_t length);
    // A packet of the open cycle, in order or ahead of a gap.
    void intake(RefreshChannelInfo& c, const LineData& packet, std::uint32_t first, std::uint32_t length);
    // The packet kept in a new cache entry before `before` (-1: last); null
    // when it cannot be kept. A packet `ahead` of a gap takes only room the
    // pool already has.
    Item* keep(RefreshChannelInfo& c, const LineData& packet, std::uint32_t first, long before, bool ahead);
    // Takes what came ahead of the gap once it is filled, and gives the cycle
    // up once its gap can no longer be filled.
    void settle(RefreshChannelInfo& c);
    void giveUpAt(RefreshChannelInfo& c, long closing);
    // The cycle cannot complete: the next refresh-complete message opens one.
    void abandon(RefreshChannelInfo& c, std::uint32_t first);
    void findCloseAhead(RefreshChannelInfo& c);
    long firstAhead(const RefreshChannelInfo& c) const;
    void emptyCache(RefreshChannelInfo& c);
    void endOfRefresh(RefreshChannelInfo& c, std::uint32_t last);
    void replay(RefreshChannelInfo& c);
    void replayPacket(RefreshChannelInfo& c, const Item& item);
    void disconnectLines(RefreshChannelInfo& c);
    void resetChannel(RefreshChannelInfo& c);
    void spool(RefreshChannelInfo& c);
    void stopSpooling(RefreshChannelInfo& c);
    void cancel(RefreshChannelInfo& c);
    bool ensureTimer(RefreshChannelInfo& c);
    std::string who(const RefreshChannelInfo& c) const { return std::string(cName) + " (channel " + std::to_string(c.mID) + ")"; }

public:
    LineHandlerZunqRefresh& mClient;
    Log& mLog;
    // Emptied first by the destructor: the caches and lines use the pool and the buses.
    std::unordered_map<std::uint32_t, std::unique_ptr<RefreshChannelInfo>> mChannelInfoMap;
    Pool mLineDataPool;
    std::unique_ptr<Orlu<LineData>> mOrluRefreshLineData;
    std::unique_ptr<Orlu<LineStatus>> mOrluRefreshLineStatus;
    long mMaxMulticastReadsPerChance = 10;
    long mTimeoutMs = LineHandlerZunqRefresh::cDefaultTimeoutMs;
    Clock mClock = monotonicNs;
    TarvokSession* mSession = nullptr;
    Runnable* mThread = nullptr;
    std::unique_ptr<HopTaker> mHopTaker;
    std::unique_ptr<Ticker> mTicker;
    TarvokTimer mTimer;
    MsgPubAdmin mFlush{MsgPubAdmin::FLUSH};
};

// Takes the requests other threads carry to the client's thread.
class LineHandlerZunqRefresh::Impl::HopTaker : public OrluSubscriber<Zunq::ThreadData>
{
public:
    explicit HopTaker(Impl& impl) : OrluSubscriber<Zunq::ThreadData>(cName), mImpl(impl) {}
    void onData(const Orlu<Zunq::ThreadData>&, const std::string&, const Zunq::ThreadData& data) override
    {
        if (data.mDataType != cRequestHopType || data.mDataPtr1 != &mImpl || data.mDataSize < cHopFixed ||
            data.mDataSize > cHopFixed + cHopSourceMax)
            return;
        RefreshRequest request;
        request.mChannelId = readAt<std::int64_t>(data.mData, 0);
        request.mCancel = data.mData[8] != 0;
        request.mSpoolRealtimeMessage = data.mData[9] != 0;
        mImpl.request(std::string(data.mData + cHopFixed, data.mDataSize - cHopFixed), request);
    }

private:
    Impl& mImpl;
};

class LineHandlerZunqRefresh::Impl::Ticker : public TarvokTimerHandler
{
public:
    explicit Ticker(Impl& impl) : mImpl(impl) {}
    void onTimer(TarvokTimer*) override { mImpl.checkTimeouts(); }
    void onTimerRefused(TarvokTimer*) override { mImpl.timerRefused(); }

private:
    Impl& mImpl;
};

LineHandlerZunqRefresh::Impl::Impl(LineHandlerZunqRefresh& client, Log& log, long cacheSize)
    : mClient(client), mLog(log), mOrluRefreshLineData(std::make_unique<Orlu<LineData>>(cName, "")),
      mOrluRefreshLineStatus(std::make_unique<Orlu<LineStatus>>(cName, "")), mHopTaker(std::make_unique<HopTaker>(*this)),
      mTicker(std::make_unique<Ticker>(*this))
{
    if (cacheSize < 1)
        mLog.error() << cName << ": a refresh cache of " << cacheSize << " entries cannot hold a packet; using 1";
    mLineDataPool.init(std::max(cacheSize, 1L), log, "RefreshLineDataPool", 0);
    mOrluRefreshLineData->subscribe(&client);
    mOrluRefreshLineStatus->subscribe(&client);
}

LineHandlerZunqRefresh::Impl::~Impl()
{
    mTimer.destroy();
    if (mThread != nullptr)
        mThread->getOrluThreadData(cRequestHopType)->unsubscribe(mHopTaker.get());
    // The lines and caches before the buses and the pool they use.
    mChannelInfoMap.clear();
}

RefreshChannelInfo& LineHandlerZunqRefresh::Impl::channel(std::uint32_t channelId)
{
    auto found = mChannelInfoMap.find(channelId);
    if (found != mChannelInfoMap.end())
        return *found->second;
    auto created = std::make_unique<RefreshChannelInfo>(channelId, mLog, mLineDataPool);
    RefreshChannelInfo& c = *created;
    mChannelInfoMap.emplace(channelId, std::move(created));
    return c;
}

RefreshChannelInfo* LineHandlerZunqRefresh::Impl::find(std::uint32_t channelId) const
{
    auto found = mChannelInfoMap.find(channelId);
    return found == mChannelInfoMap.end() ? nullptr : found->second.get();
}

void LineHandlerZunqRefresh::Impl::setSession(TarvokSession& session)
{
    if (mThread != nullptr)
        mThread->getOrluThreadData(cRequestHopType)->unsubscribe(mHopTaker.get());
    mSession = &session;
    mThread = session.getRunnable();
    // Subscribed once, before the threads run: requests of other threads arrive here.
    if (mThread != nullptr)
        mThread->getOrluThreadData(cRequestHopType)->subscribe(mHopTaker.get());
}

bool LineHandlerZunqRefresh::Impl::onOwnerThread() const
{
    Runnable* current = Runnable::current();
    return current == nullptr || mThread == nullptr || current == mThread;
}

void LineHandlerZunqRefresh::Impl::route(const std::string& source, const RefreshRequest& request)
{
    Runnable* own = Runnable::current();
    // Start-up and the client's own thread call; other framework threads send.
    if (own == nullptr || mThread == nullptr || own == mThread)
    {
        this->request(source, request);
        return;
    }
    Zunq::ThreadData data;
    data.mDataType = cRequestHopType;
    data.mDataPtr1 = this;
    std::memcpy(data.mData, &request.mChannelId, sizeof request.mChannelId);
    data.mData[8] = request.mCancel ? 1 : 0;
    data.mData[9] = request.mSpoolRealtimeMessage ? 1 : 0;
    const std::size_t length = std::min(source.size(), cHopSourceMax);
    std::memcpy(data.mData + cHopFixed, source.data(), length);
    data.mDataSize = static_cast<std::uint16_t>(cHopFixed + length);
    char dst[17];
    mThread->getResourceName(dst);
    const int rc = own->sendThreadMessageByThreadName(dst, data, false);
    if (rc != 0)
        mLog.error() << cName << "::handleRefreshRequest(): cannot pass the request of source [" << source
                     << "] for channel [" << request.mChannelId << "] to thread " << dst << ", error " << rc;
}

void LineHandlerZunqRefresh::Impl::request(const std::string& source, const RefreshRequest& request)
{
    // The map is keyed by the id cut to 32 bits, as every channel was added.
    RefreshChannelInfo* found = find(static_cast<std::uint32_t>(request.mChannelId));
    if (found == nullptr)
    {
        mLog.warning() << cName << "::handleRefreshRequest() - Refresh is not configured for channel ["
                       << static_cast<std::int64_t>(request.mChannelId) << "]";
        return;
    }
    RefreshChannelInfo& c = *found;
    if (request.mCancel)
    {
        // A refresh that ended, or is ending, has nothing to cancel.
        if (!c.mActive || c.mEnding)
            return;
        mLog.info() << cName << "::handleRefreshRequest(): Refresh CANCEL was received from source [" << source
                    << "] for channel [" << c.mID << "]";
        cancel(c);
        return;
    }
    if (c.mActive || c.mEnding)
    {
        mLog.info() << cName << "::handleRefreshRequest(): suppressing refresh request from source [" << source
                    << "] for channel [" << c.mID << "] as one is already active.";
        if (request.mSpoolRealtimeMessage && !c.mSpoolRealtimeMessage && !c.mEnding)
            spool(c);
        return;
    }
    mLog.info() << cName << "::handleRefreshRequest(): Refresh request was received from source [" << source
                << "] for channel [" << c.mID << "]";
    // Nothing holds realtime data unless the time-out can end it.
    if (!ensureTimer(c))
        return;
    if (request.mSpoolRealtimeMessage)
        spool(c);
    // A source that restarted its numbering since the last refresh is followed.
    c.mLastProcessedSeqNum = 0;
    mLog.info() << cName << "::handleRefreshRequest() Channel [" << c.mID << "] Connecting Refresh LineHandlers";
    for (auto& line : c.mLineHandlers)
        if (!line->connected())
        {
            line->setReadsPerIoEvent(mMaxMulticastReadsPerChance);
            line->connect();
        }
    c.mActive = true;
    c.mStartedNs = mClock();
    mLog.info() << cName << "::handleRefreshRequest() Channel [" << c.mID << "] Waiting for RefreshComplete message...";
}

bool LineHandlerZunqRefresh::Impl::ensureTimer(RefreshChannelInfo& c)
{
    // Without a session nothing ticks: the owner calls checkTimeouts itself.
    if (mSession == nullptr || mTimer.isValid())
        return true;
    const long tick = std::clamp(mTimeoutMs / 10, 1L, 1000L);
    TarvokStatus status = mTimer.create(mSession, mTicker.get(), static_cast<unsigned int>(tick), nullptr);
    if (!status)
    {
        mLog.error() << cName << "::handleRefreshRequest() Channel [" << c.mID
                     << "] no timer for the refresh time-out (a thread holds at most MSG_DISP_FD_NUM + 5 timers): "
                     << status.getText() << "; refresh not started";
        return false;
    }
    return true;
}

void LineHandlerZunqRefresh::Impl::timerRefused()
{
    mLog.error() << cName << ": no timer for the refresh time-out (a thread holds at most MSG_DISP_FD_NUM + 5 "
                            "timers); running refreshes are cancelled";
    for (auto& [id, c] : mChannelInfoMap)
        if (c->mActive)
            cancel(*c);
}

void LineHandlerZunqRefresh::Impl::checkTimeouts()
{
    const std::int64_t now = mClock();
    const std::int64_t limit = static_cast<std::int64_t>(mTimeoutMs) * 1000000;
    for (auto& [id, c] : mChannelInfoMap)
    {
        if (!c->mActive || now - c->mStartedNs < limit)
            continue;
        mLog.warning() << cName << ": Channel [" << c->mID << "] refresh has not ended within " << mTimeoutMs
                       << " ms; cancelled";
        cancel(*c);
    }
}

void LineHandlerZunqRefresh::Impl::packet(const LineData& data)
{
    assert(onOwnerThread());
    if (!data.isBlockData())
        return;
    RefreshChannelInfo* found = find(data.getChannelId());
    // Datagrams that were on their way when a refresh ended belong to no cycle.
    if (found == nullptr || !found->mActive || found->mEnding)
        return;
    RefreshChannelInfo& c = *found;
    // A packet's number is its first message's.
    const std::uint32_t first = data.getSeqNum();
    // Seen already (this also drops the copy the other line delivers).
    if (c.mLastProcessedSeqNum >= first)
        return;
    const std::uint32_t length = data.getData() != nullptr ? data.getDataLen() : 0;
    if (length < cHeaderSize)
        return;
    if (c.mStartFound)
        intake(c, data, first, length);
    else
        open(c, data, first, length);
}

void LineHandlerZunqRefresh::Impl::open(RefreshChannelInfo& c, const LineData& packet, std::uint32_t first,
                                        std::uint32_t length)
{
    const Messages m = readMessages(packet.getData(), length, 0);
    if (m.close == cNoClose)
        return;
    // The packet is taken whole: its messages before the refresh-complete
    // message close the cycle before, those after it are this cycle's first.
    c.mStartFound = true;
    c.mLastProcessedSeqNum = first + m.count - 1;
    mLog.info() << cName << ": Channel [" << c.mID << "] Start of Refresh detected";
    if (m.close + 1 == m.count)
        return;
    Item* item = keep(c, packet, first, -1, false);
    if (item == nullptr)
        return abandon(c, first);
    Kept{first, m.count, m.close + 1, m.nextClose}.into(*item);
    c.mTakenTail = static_cast<long>(item->mIndex);
    // A cycle whose messages all lie in this one packet.
    if (m.nextClose != cNoClose)
        endOfRefresh(c, readMessages(item->mData, length, m.nextClose).closeLast);
}

void LineHandlerZunqRefresh::Impl::intake(RefreshChannelInfo& c, const LineData& packet, std::uint32_t first,
                                          std::uint32_t length)
{
    Cache& cache = *c.mLineDataCache;
    const bool inOrder = c.mLastProcessedSeqNum + 1 == first;
    long before = -1;
    if (inOrder)
        before = firstAhead(c);
    else if (c.mLineHandlers.size() < 2)
    {
        // One line: nothing fills the gap. A packet that ends a cycle across
        // it gives the cycle up and opens the next one.
        if (readMessages(packet.getData(), length, 0).close == cNoClose)
            return;
        if (c.mPeerLog.admit(mLog, who(c)))
            mLog.info() << cName << ": Channel [" << c.mID << "] refresh cycle given up at a gap (packet [" << first
                        << "] after [" << c.mLastProcessedSeqNum << "]); the next cycle starts";
        emptyCache(c);
        c.mStartFound = false;
        return open(c, packet, first, length);
    }
    else
    {
        // Ahead of a gap: kept by number among the packets held back, found
        // from the last, where the lines deliver.
        for (long at = cache.getTail(); at != -1 && at != c.mTakenTail; at = cache.getPrev(at))
        {
            Item* held = cache.getEntry(at);
            Kept kept = Kept::of(*held);
            if (kept.first < first)
                break;
            if (kept.first == first)
            {
                // Another line's copy: it counts when it ends the cycle.
                ++kept.arrivals;
                kept.into(*held);
                if (at == c.mCloseAhead)
                    settle(c);
                return;
            }
            before = at;
        }
    }
    Item* item = keep(c, packet, first, before, !inOrder);
    if (item == nullptr)
        return abandon(c, first);
    // Read from the copy, which the copy has just brought close.
    const Messages m = readMessages(item->mData, length, 0);
    if (m.count == 0)
    {
        cache.deleteEntry(item);
        return;
    }
    const Kept kept{first, m.count, 0, m.close};
    kept.into(*item);
    const long index = static_cast<long>(item->mIndex);
    if (inOrder)
    {
        c.mLastProcessedSeqNum = kept.last();
        c.mTakenTail = index;
        if (kept.closes())
            return endOfRefresh(c, m.closeLast);
        if (before == -1)
            return;
    }
    else if (kept.closes())
    {
        ++c.mClosesAhead;
        if (c.mCloseAhead == -1 || first < Kept::of(*cache.getEntry(c.mCloseAhead)).first)
            c.mCloseAhead = index;
    }
    settle(c);
}

long LineHandlerZunqRefresh::Impl::firstAhead(const RefreshChannelInfo& c) const
{
    Cache& cache = *c.mLineDataCache;
    return c.mTakenTail == -1 ? cache.getHead() : cache.getNext(c.mTakenTail);
}

void LineHandlerZunqRefresh::Impl::settle(RefreshChannelInfo& c)
{
    Cache& cache = *c.mLineDataCache;
    while (c.mActive && c.mStartFound)
    {
        for (long at = firstAhead(c); at != -1; at = firstAhead(c))
        {
            Item* held = cache.getEntry(at);
            const Kept kept = Kept::of(*held);
            if (kept.first > c.mLastProcessedSeqNum + 1)
                break;
            if (kept.first <= c.mLastProcessedSeqNum)
            {
                // Its numbers overlap the run's: a source that numbers its
                // packets inconsistently. Nothing of it is replayed.
                cache.deleteEntry(held);
                if (kept.closes())
                    findCloseAhead(c);
                continue;
            }
            c.mLastProcessedSeqNum = kept.last();
            c.mTakenTail = at;
            if (kept.closes())
                return endOfRefresh(c, readMessages(held->mData, held->mLength, kept.skip).closeLast);
        }
        if (c.mCloseAhead == -1)
            return;
        // The cycle's end came on every line with a packet before it still
        // missing, or the next cycle's end came too: the gap is not filled.
        const Kept closing = Kept::of(*cache.getEntry(c.mCloseAhead));
        if (closing.arrivals < c.mLineHandlers.size() && c.mClosesAhead < 2)
            return;
        giveUpAt(c, c.mCloseAhead);
    }
}

void LineHandlerZunqRefresh::Impl::giveUpAt(RefreshChannelInfo& c, long closing)
{
    Cache& cache = *c.mLineDataCache;
    Item* item = cache.getEntry(closing);
    Kept kept = Kept::of(*item);
    if (c.mPeerLog.admit(mLog, who(c)))
        mLog.info() << cName << ": Channel [" << c.mID << "] refresh cycle given up at a gap (packet [" << kept.first
                    << "] after [" << c.mLastProcessedSeqNum << "]); the next cycle starts";
    // What came before it belongs to the broken cycle; its refresh-complete
    // message opens the next, whose first messages follow it.
    while (cache.getHead() != closing)
        cache.deleteEntry(cache.getHead());
    mLog.info() << cName << ": Channel [" << c.mID << "] Start of Refresh detected";
    c.mLastProcessedSeqNum = kept.last();
    c.mTakenTail = -1;
    const Messages rest = readMessages(item->mData, item->mLength, kept.close + 1);
    if (kept.close + 1 >= kept.count)
        cache.deleteEntry(item);
    else
    {
        kept.skip = kept.close + 1;
        kept.close = rest.close;
        kept.into(*item);
        c.mTakenTail = closing;
    }
    findCloseAhead(c);
    if (c.mTakenTail != -1 && kept.closes())
        endOfRefresh(c, rest.closeLast);
}

void LineHandlerZunqRefresh::Impl::findCloseAhead(RefreshChannelInfo& c)
{
    Cache& cache = *c.mLineDataCache;
    c.mCloseAhead = -1;
    c.mClosesAhead = 0;
    for (long at = firstAhead(c); at != -1; at = cache.getNext(at))
        if (Kept::of(*cache.getEntry(at)).closes())
        {
            if (c.mCloseAhead == -1)
                c.mCloseAhead = at;
            ++c.mClosesAhead;
        }
}

void LineHandlerZunqRefresh::Impl::abandon(RefreshChannelInfo& c, std::uint32_t first)
{
    if (c.mPeerLog.admit(mLog, who(c)))
        mLog.info() << cName << ": Channel [" << c.mID << "] refresh cycle given up at packet [" << first
                    << "], which cannot be kept; the next refresh-complete message opens a cycle";
    emptyCache(c);
    c.mStartFound = false;
}

void LineHandlerZunqRefresh::Impl::emptyCache(RefreshChannelInfo& c)
{
    // Every cached packet goes back to the shared pool.
    c.mLineDataCache->clear();
    c.mTakenTail = -1;
    c.mCloseAhead = -1;
    c.mClosesAhead = 0;
}

Item* LineHandlerZunqRefresh::Impl::keep(RefreshChannelInfo& c, const LineData& packet, std::uint32_t first,
                                         long before, bool ahead)
{
    const std::uint32_t length = packet.getDataLen();
    const char* bytes = packet.getData();
    if (bytes == nullptr || length > cMaxPacketSize)
    {
        if (c.mPeerLog.admit(mLog, who(c)))
            mLog.warning() << cName << ": Channel [" << c.mID << "] packet [" << first << "] of " << length
                           << " bytes is larger than " << cMaxPacketSize << ": not cached, taken as a gap";
        return nullptr;
    }
    // The cycle itself grows the pool when it needs more than the configured
    // size; packets ahead of a gap take only the room it has (the pool grows
    // when its last free entry is asked for), so a line running ahead, or a
    // source numbering at random, cannot grow it.
    if (ahead && mLineDataPool.getNumEntries() + 1 >= mLineDataPool.getTotalMaxEntries())
    {
        // The lines decide what comes ahead of a gap: limited as their other lines are.
        if (c.mPeerLog.admit(mLog, who(c)))
            mLog.error() << cName << ": Channel [" << c.mID << "] no room left in pool [RefreshLineDataPool] of "
                         << mLineDataPool.getTotalMaxEntries() << " entries for packet [" << first
                         << "] ahead of a gap: not cached";
        return nullptr;
    }
    Item* item = c.mLineDataCache->insertEmptyItemBefore(before);
    if (item == nullptr)
    {
        mLog.error() << cName << ": Channel [" << c.mID << "] no entry left in pool [RefreshLineDataPool] for packet ["
                     << first << "]: not cached";
        return nullptr;
    }
    copyPacket(item->mData, bytes, length);
    item->mLength = length;
    item->mLineTime = static_cast<std::uint32_t>(packet.getLineTime().getMicrosecondsSinceEpoch());
    item->lastMsgInRetrans = false;
    return item;
}

void LineHandlerZunqRefresh::Impl::endOfRefresh(RefreshChannelInfo& c, std::uint32_t last)
{
    // The filter's cancel below may come back through a retransmission
    // client on this thread: the refresh is over by then.
    c.mEnding = true;
    mLog.info() << cName << ": Channel [" << c.mID << "] End of Refresh detected. with LastSeqNum [" << last << "]";
    if (c.mMessageHandler != nullptr)
    {
        mLog.info() << cName << ": Channel [" << c.mID << "] Resetting MessageHandler";
        c.mMessageHandler->resetState();
    }
    replay(c);
    disconnectLines(c);
    if (c.mLineFilter != nullptr)
    {
        const std::uint32_t next = last + 1;
        mLog.info() << cName << ": Channel [" << c.mID << "] Setting LineFilter to [" << next << "]";
        c.mLineFilter->setNextSeqNum(static_cast<long>(next), false);
    }
    resetChannel(c);
    stopSpooling(c);
    mClient.OrluPublisher<MsgPubAdmin>::publish(mFlush);
    c.mEnding = false;
}

void LineHandlerZunqRefresh::Impl::replay(RefreshChannelInfo& c)
{
    // The unbroken run, up to the packet that ends the cycle; what came
    // ahead of it belongs to the next.
    Cache& cache = *c.mLineDataCache;
    const long last = c.mTakenTail;
    for (long at = cache.getHead(); last != -1 && at != -1;)
    {
        Item* item = cache.getEntry(at);
        replayPacket(c, *item);
        const long next = at == last ? -1 : cache.getNext(at);
        cache.deleteEntry(item);
        at = next;
    }
    emptyCache(c);
}

void LineHandlerZunqRefresh::Impl::replayPacket(RefreshChannelInfo& c, const Item& item)
{
    const std::uint32_t length = std::min<std::uint32_t>(item.mLength, cMaxPacketSize);
    const auto count = static_cast<std::uint8_t>(length > cCountOffset ? item.mData[cCountOffset] : 0);
    // The messages before the refresh-complete message that opened the
    // cycle belong to the cycle before, those after the one that ends it to
    // the next.
    const Kept kept = Kept::of(item);
    std::uint32_t offset = cHeaderSize;
    for (unsigned int i = 0; i < count; ++i)
    {
        // Each message holds its lead (size and type) and ends inside the packet.
        const std::uint32_t size =
            offset + cLeadSize <= length ? readAt<std::uint16_t>(item.mData, offset) : 0;
        if (size < cLeadSize || size > length - offset)
        {
            if (c.mPeerLog.admit(mLog, who(c)))
                mLog.warning() << cName << ": Channel [" << c.mID << "] replay of packet ["
                               << (length >= cHeaderSize ? readAt<std::uint32_t>(item.mData, cSeqNumOffset) : 0)
                               << "] stopped at message " << i << " of " << static_cast<unsigned>(count)
                               << ": it does not fit the packet's " << length
                               << " bytes; packet=" << ZunqDumpUtils::writePeerBytes(item.mData, length);
            return;
        }
        if (i >= kept.skip)
        {
            if (c.mMessageHandler != nullptr)
                c.mMessageHandler->processMessage(item.mData + offset, c.mID, c.mPublishSeqNum, 0, item.mLineTime);
            ++c.mPublishSeqNum;
            if (i == kept.close)
                return;
        }
        offset += size;
    }
}

void LineHandlerZunqRefresh::Impl::disconnectLines(RefreshChannelInfo& c)
{
    mLog.info() << cName << ": Channel [" << c.mID << "] Disconnecting Refresh LineHandlers";
    for (auto& line : c.mLineHandlers)
        if (line->connected())
        {
            line->setReadsPerIoEvent(0);
            line->disconnect();
        }
}

void LineHandlerZunqRefresh::Impl::resetChannel(RefreshChannelInfo& c)
{
    c.mStartFound = false;
    c.mActive = false;
    emptyCache(c);
    c.mPeerLog.close(mLog, who(c));
}

void LineHandlerZunqRefresh::Impl::spool(RefreshChannelInfo& c)
{
    if (c.mLineFilter == nullptr)
    {
        mLog.error() << cName << "::spoolRealtimeMessage() Channel [" << c.mID
                     << "] has no line filter to hold realtime data";
        return;
    }
    mLog.info() << cName << "::spoolRealtimeMessage() Channel [" << c.mID << "]";
    c.mSpoolRealtimeMessage = true;
    c.mLineFilter->setSpoolAll(true);
}

void LineHandlerZunqRefresh::Impl::stopSpooling(RefreshChannelInfo& c)
{
    if (!c.mSpoolRealtimeMessage)
        return;
    mLog.info() << cName << "::resetSpoolRealtimeMessage() Channel [" << c.mID << "]";
    c.mSpoolRealtimeMessage = false;
    if (c.mLineFilter != nullptr)
        c.mLineFilter->setSpoolAll(false);
}

void LineHandlerZunqRefresh::Impl::cancel(RefreshChannelInfo& c)
{
    disconnectLines(c);
    resetChannel(c);
    stopSpooling(c);
}

// ---- LineHandlerZunqRefresh ----

LineHandlerZunqRefresh::LineHandlerZunqRefresh(Log& log, long cacheSize)
    : OrluSubscriber<RefreshRequest>(cName), OrluSubscriber<LineData>(cName), OrluSubscriber<LineStatus>(cName),
      OrluPublisher<LineData>(cName), OrluPublisher<MsgPubAdmin>(cName),
      mImpl(std::make_unique<Impl>(*this, log, cacheSize))
{
}

LineHandlerZunqRefresh::~LineHandlerZunqRefresh() = default;

void LineHandlerZunqRefresh::onData(const Orlu<RefreshRequest>&, const std::string& source,
                                    const RefreshRequest& request)
{
    handleRefreshRequest(source, request);
}

void LineHandlerZunqRefresh::onData(const Orlu<LineData>&, const std::string&, const LineData& data)
{
    mImpl->packet(data);
}

void LineHandlerZunqRefresh::onData(const Orlu<LineStatus>&, const std::string&, const LineStatus&)
{
}

void LineHandlerZunqRefresh::setSession(TarvokSession& session)
{
    mImpl->setSession(session);
}

TarvokSession* LineHandlerZunqRefresh::getSession() const
{
    return mImpl->mSession;
}

void LineHandlerZunqRefresh::addMessageHandler(std::uint32_t channelId, MessageHandlerZunq* handler)
{
    mImpl->channel(channelId).mMessageHandler = handler;
}

void LineHandlerZunqRefresh::addLineFilter(std::uint32_t channelId, LineFilter* filter)
{
    mImpl->channel(channelId).mLineFilter = filter;
}

LineHandlerMulticast* LineHandlerZunqRefresh::addLineHandlerMulticast(std::uint32_t channelId,
                                                                      LineDataFactoryDravek& factory,
                                                                      TarvokSession& session)
{
    Impl& d = *mImpl;
    if (d.mSession == nullptr)
        d.setSession(session);
    else if (session.getRunnable() != d.mThread || (d.mThread == nullptr && &session != d.mSession))
    {
        d.mLog.error() << cName << "::addLineHandlerMulticast(): channel [" << channelId << "] line on session ["
                       << session.getName() << "] refused: every refresh line runs on the client's session ["
                       << d.mSession->getName() << "]";
        return nullptr;
    }
    auto line = std::make_unique<LineHandlerMulticast>(factory, session, d.mLog);
    // Only the client hears the refresh lines.
    line->OrluPublisher<LineData>::setDestination(d.mOrluRefreshLineData.get());
    line->OrluPublisher<LineStatus>::setDestination(d.mOrluRefreshLineStatus.get());
    LineHandlerMulticast* raw = line.get();
    d.channel(channelId).mLineHandlers.push_back(std::move(line));
    return raw;
}

void LineHandlerZunqRefresh::setMaxMulticastReadsPerChance(long reads)
{
    mImpl->mMaxMulticastReadsPerChance = reads;
}

void LineHandlerZunqRefresh::setRefreshTimeout(long milliseconds)
{
    mImpl->mTimeoutMs = std::max(milliseconds, 1L);
}

void LineHandlerZunqRefresh::setClock(Clock clock)
{
    mImpl->mClock = clock ? std::move(clock) : Clock(monotonicNs);
}

void LineHandlerZunqRefresh::handleRefreshRequest(const std::string& source, const RefreshRequest& request)
{
    mImpl->route(source, request);
}

void LineHandlerZunqRefresh::checkTimeouts()
{
    mImpl->checkTimeouts();
}

bool LineHandlerZunqRefresh::isActive(std::uint32_t channelId) const
{
    const RefreshChannelInfo* c = mImpl->find(channelId);
    return c != nullptr && c->mActive;
}

bool LineHandlerZunqRefresh::isSpooling(std::uint32_t channelId) const
{
    const RefreshChannelInfo* c = mImpl->find(channelId);
    return c != nullptr && c->mSpoolRealtimeMessage;
}

unsigned long LineHandlerZunqRefresh::getCachedPackets(std::uint32_t channelId) const
{
    const RefreshChannelInfo* c = mImpl->find(channelId);
    return c != nullptr ? c->mLineDataCache->getNumEntries() : 0;
}

std::uint32_t LineHandlerZunqRefresh::getPublishSeqNum(std::uint32_t channelId) const
{
    const RefreshChannelInfo* c = mImpl->find(channelId);
    return c != nullptr ? c->mPublishSeqNum : 0;
}

std::vector<LineHandlerMulticast*> LineHandlerZunqRefresh::getLines(std::uint32_t channelId) const
{
    std::vector<LineHandlerMulticast*> lines;
    if (const RefreshChannelInfo* c = mImpl->find(channelId))
        for (const auto& line : c->mLineHandlers)
            lines.push_back(line.get());
    return lines;
}

LineFilter* LineHandlerZunqRefresh::getLineFilter(std::uint32_t channelId) const
{
    const RefreshChannelInfo* c = mImpl->find(channelId);
    return c != nullptr ? c->mLineFilter : nullptr;
}

MessageHandlerZunq* LineHandlerZunqRefresh::getMessageHandler(std::uint32_t channelId) const
{
    const RefreshChannelInfo* c = mImpl->find(channelId);
    return c != nullptr ? c->mMessageHandler : nullptr;
}

long LineHandlerZunqRefresh::getPoolUsage() const
{
    return mImpl->mLineDataPool.getNumEntries();
}
