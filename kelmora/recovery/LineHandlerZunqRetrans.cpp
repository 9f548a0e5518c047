#include "kelmora/recovery/LineHandlerZunqRetrans.h"

#include "FendralCore/foundation/FwErrorNum.h"
#include "kelmora/linedata/LineDataDravek.h"
#include "kelmora/linedata/LineDataFactoryDravek.h"
#include "kelmora/linehandler/FileDescBuffer.h"
#include "kelmora/runtime/PeerLog.h"
#include "kelmora/supervision/LineMonitor.h"
#include "kelmora/thread/Runnable.h"
#include "kelmora/thread/TarvokSession.h"
#include "kelmora/thread/TarvokStatus.h"
#include "kelmora/thread/TarvokTimer.h"
#include "zunq/log/Log.h"
#include "zunq/protocol/PacketDecoder.h"
#include "zunq/protocol/RetransProtocol.h"
#include "zunq/protocol/ZunqDumpUtils.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <stdexcept>
#include <unordered_map>

namespace
{

const char* const cName = "LineHandlerZunqRetrans";
const char* const cOnNetworkData = "LineHandlerZunqRetrans::onNetworkData ";
const char* const cLogonResponse = "LineHandlerZunqRetrans::processLogonResponse ";
const char* const cRetransResponse = "LineHandlerZunqRetrans::processRetransResponse ";
const char* const cEndRequest = "LineHandlerZunqRetrans::endRetransRequest ";
const char* const cSendRequest = "LineHandlerZunqRetrans::sendRetransRequest ";
const char* const cCreateLogin = "LineHandlerZunqRetrans::createLoginPacket ";
constexpr char cSep = '|';
constexpr std::size_t cRequestPacketSize = Zunq::cPacketHeaderSize + sizeof(Zunq::RetransmissionRequest);
constexpr std::size_t cLogonPacketSize = Zunq::cPacketHeaderSize + sizeof(Zunq::Logon);

// The channel id a feed id names: its leading decimal digits, 0 without any;
// a number beyond 32 bits stops growing at the largest u32.
std::uint32_t channelOf(const char* feedId)
{
    std::uint64_t value = 0;
    for (const char* c = feedId; c != nullptr && *c >= '0' && *c <= '9'; ++c)
    {
        value = value * 10 + static_cast<std::uint64_t>(*c - '0');
        if (value > UINT32_MAX)
            return UINT32_MAX;
    }
    return static_cast<std::uint32_t>(value);
}

// Send time of a packet: the wall clock in whole milliseconds, in nanoseconds.
std::uint64_t sendTimeNow()
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    return static_cast<std::uint64_t>(ms.count()) * 1000000ULL;
}

// Header and one record as one packet in `out`.
template <typename Record>
void buildPacket(std::uint32_t seqNum, const Record& record, char* out)
{
    Zunq::PacketHeader header;
    header.mPktSize = static_cast<std::uint16_t>(Zunq::cPacketHeaderSize + sizeof record);
    header.mMsgCount = 1;
    header.mSeqNum = seqNum;
    header.mSendTime = sendTimeNow();
    std::memcpy(out, &header, sizeof header);
    std::memcpy(out + sizeof header, &record, sizeof record);
}

// A request hop: cancel flag, begin, end and the feed id text.
struct RequestHop
{
    static constexpr std::size_t cSize = 1 + 4 + 4 + MAX_FEED_ID;

    static void encode(const RetransRequest& r, Zunq::ThreadData& out)
    {
        const std::uint32_t begin = r.begin();
        const std::uint32_t end = r.end();
        out.mData[0] = r.getCancel() ? 1 : 0;
        std::memcpy(out.mData + 1, &begin, sizeof begin);
        std::memcpy(out.mData + 5, &end, sizeof end);
        char feedId[MAX_FEED_ID];
        copyFeedId(feedId, r.feedId());
        std::memcpy(out.mData + 9, feedId, sizeof feedId);
        out.mDataSize = static_cast<std::uint16_t>(cSize);
    }

    // Built in place: a copy or an assignment of a request drops its cancel flag.
    static RetransRequest decode(const Zunq::ThreadData& in)
    {
        std::uint32_t begin = 0;
        std::uint32_t end = 0;
        std::memcpy(&begin, in.mData + 1, sizeof begin);
        std::memcpy(&end, in.mData + 5, sizeof end);
        char feedId[MAX_FEED_ID];
        std::memcpy(feedId, in.mData + 9, sizeof feedId);
        feedId[MAX_FEED_ID - 1] = '\0';
        return RetransRequest(begin, end, feedId, in.mData[0] != 0, 0);
    }
};

} // namespace

// Publishes a live channel's packets and completions on the thread of the
// live sub-feed when that is not the client's: the client copies each into
// a thread message (its own thread's queue keeps them in order), and this
// object, subscribed on the live thread, rebuilds and publishes them there.
class LiveChannelHop : public OrluSubscriber<Zunq::ThreadData>,
                       public OrluPublisher<LineData>,
                       public OrluPublisher<RetransComplete>
{
public:
    LiveChannelHop(Runnable& owner, Log& log)
        : OrluSubscriber<Zunq::ThreadData>(cName), OrluPublisher<LineData>(cName),
          OrluPublisher<RetransComplete>(cName), mLog(log), mOwnerBus(owner.getOrluThreadData(cLiveHopType)),
          mFactory(std::string(cName) + "(" + owner.getName() + ")", log),
          mRecord(*static_cast<LineDataDravek*>(mFactory.create()))
    {
        owner.getResourceName(mOwner);
        mRecord.setMultipleMessages(true);
        mRecord.setIsRecovery(true);
        mOwnerBus->subscribe(this);
    }
    ~LiveChannelHop() override
    {
        mOwnerBus->unsubscribe(this);
        mFactory.destroy(&mRecord);
    }

    static constexpr std::uint32_t cLiveHopType = LineHandlerZunqRetrans::cLiveHopType;

    // On the client's thread.
    bool sendPacket(Orlu<LineData>* orlu, std::uint16_t channel, const std::string& publisher, const char* host,
                    int port, const char* packet, std::uint32_t size)
    {
        const std::size_t nameLength = std::min<std::size_t>(publisher.size(), cMaxText);
        const std::size_t hostLength = strnlen(host, cMaxText);
        const std::size_t head = 1 + 2 + 4 + 1 + nameLength + 1 + hostLength;
        if (head + size > Zunq::ThreadData::cMaxData)
            return false;
        char* out = mOut.mData;
        out[0] = cPacket;
        std::memcpy(out + 1, &channel, 2);
        std::memcpy(out + 3, &port, 4);
        out[7] = static_cast<char>(nameLength);
        std::memcpy(out + 8, publisher.data(), nameLength);
        out[8 + nameLength] = static_cast<char>(hostLength);
        std::memcpy(out + 9 + nameLength, host, hostLength);
        std::memcpy(out + head, packet, size);
        mOut.mDataSize = static_cast<std::uint16_t>(head + size);
        mOut.mDataPtr2 = orlu;
        return send();
    }
    bool sendComplete(Orlu<RetransComplete>* orlu, std::uint64_t begin, std::uint64_t end)
    {
        mOut.mData[0] = cComplete;
        std::memcpy(mOut.mData + 1, &begin, 8);
        std::memcpy(mOut.mData + 9, &end, 8);
        mOut.mDataSize = 17;
        mOut.mDataPtr2 = orlu;
        return send();
    }

    // On the live sub-feed's thread.
    void onData(const Orlu<Zunq::ThreadData>&, const std::string&, const Zunq::ThreadData& data) override
    {
        if (data.mDataPtr1 != this || data.mDataSize < 1)
            return;
        if (data.mData[0] == cComplete && data.mDataSize >= 17)
        {
            std::uint64_t begin = 0;
            std::uint64_t end = 0;
            std::memcpy(&begin, data.mData + 1, 8);
            std::memcpy(&end, data.mData + 9, 8);
            OrluPublisher<RetransComplete>::setDestination(
                static_cast<Orlu<RetransComplete>*>(const_cast<void*>(data.mDataPtr2)));
            OrluPublisher<RetransComplete>::publish(RetransComplete(begin, end));
            return;
        }
        if (data.mData[0] != cPacket || data.mDataSize < 9)
            return;
        std::uint16_t channel = 0;
        int port = 0;
        std::memcpy(&channel, data.mData + 1, 2);
        std::memcpy(&port, data.mData + 3, 4);
        const std::size_t nameLength = static_cast<unsigned char>(data.mData[7]);
        if (9 + nameLength > data.mDataSize)
            return;
        const std::size_t hostLength = static_cast<unsigned char>(data.mData[8 + nameLength]);
        const std::size_t head = 9 + nameLength + hostLength;
        if (head > data.mDataSize)
            return;
        OrluPublisher<LineData>::setName(std::string(data.mData + 8, nameLength));
        const std::string host(data.mData + 9 + nameLength, hostLength);
        try
        {
            mRecord.setData(data.mData + head, static_cast<std::uint32_t>(data.mDataSize - head));
        }
        catch (const std::invalid_argument& e)
        {
            mLog.error() << "LiveChannelHop(" << mOwner << "): packet dropped: " << e.what();
            return;
        }
        mRecord.setChannelId(channel);
        mRecord.setLineTimeNow();
        mRecord.setSource(host.c_str(), port);
        OrluPublisher<LineData>::setDestination(static_cast<Orlu<LineData>*>(const_cast<void*>(data.mDataPtr2)));
        OrluPublisher<LineData>::publish(mRecord);
    }

private:
    static constexpr char cPacket = 1;
    static constexpr char cComplete = 2;
    static constexpr std::size_t cMaxText = 64;

    bool send()
    {
        mOut.mDataType = cLiveHopType;
        mOut.mDataPtr1 = this;
        Runnable* own = Runnable::current();
        const int rc = own != nullptr ? own->sendThreadMessageByThreadName(mOwner, mOut, false) : FUNC_NOT_ALLOWED;
        if (rc != 0)
            mLog.error() << "LineHandlerZunqRetrans: cannot pass recovered data to thread " << mOwner << ", error "
                         << rc << "; dropped";
        return rc == 0;
    }

    Log& mLog;
    Orlu<Zunq::ThreadData>* mOwnerBus;
    char mOwner[17] = {};
    LineDataFactoryDravek mFactory;
    LineDataDravek& mRecord;
    Zunq::ThreadData mOut; // built on the client's thread only
};

// A request from a live line filter on another thread, taken on the client's.
class RetransRequestHop : public OrluSubscriber<Zunq::ThreadData>
{
public:
    RetransRequestHop(LineHandlerZunqRetrans& handler, Runnable& owner)
        : OrluSubscriber<Zunq::ThreadData>(cName), mHandler(handler),
          mBus(owner.getOrluThreadData(LineHandlerZunqRetrans::cRequestHopType))
    {
        owner.getResourceName(mOwner);
        mBus->subscribe(this);
    }
    ~RetransRequestHop() override { mBus->unsubscribe(this); }

    void onData(const Orlu<Zunq::ThreadData>&, const std::string& source, const Zunq::ThreadData& data) override;

    const char* owner() const { return mOwner; }

private:
    LineHandlerZunqRetrans& mHandler;
    Orlu<Zunq::ThreadData>* mBus;
    char mOwner[17] = {};
};

// The time-out of the request outstanding.
class RetransRequestTimeout : public TarvokTimerHandler
{
public:
    explicit RetransRequestTimeout(LineHandlerZunqRetransImpl& impl) : mImpl(impl) {}
    void onTimer(TarvokTimer*) override;

private:
    LineHandlerZunqRetransImpl& mImpl;
};

class LineHandlerZunqRetransImpl
{
public:
    // One range of the queue.
    struct Range
    {
        std::uint32_t mBegin;
        std::uint32_t mEnd;
        std::uint32_t mChannelId;
        char mFeedId[MAX_FEED_ID];
        // Numbers below this went out in an earlier answer to the range (0:
        // none): asked again after a lost connection, they are not
        // published twice.
        std::uint64_t mPublishedTo;
        // Times the range's answer was not complete in time: once, it is
        // asked again after the reconnect (the next server of the hunt list);
        // twice, it is given up.
        std::uint8_t mTimeouts;
    };

    // Where a live channel's packets and completion go.
    struct Route
    {
        Orlu<LineData>* mLineData = nullptr;
        Orlu<RetransComplete>* mComplete = nullptr;
        LiveChannelHop* mHop = nullptr; // set when the live sub-feed runs on another thread
    };

    LineHandlerZunqRetransImpl(LineHandlerZunqRetrans& handler, LineDataFactoryDravek& factory,
                               TarvokSession& session, Log& log)
        : mHandler(handler), mSession(session), mFactory(factory), mLog(log),
          mLineData(*static_cast<LineDataDravek*>(factory.create()))
    {
        mLineData.setMultipleMessages(true);
        mLineData.setIsRecovery(true);
        if (Runnable* owner = session.getRunnable())
            mRequestHop = std::make_unique<RetransRequestHop>(handler, *owner);
    }

    ~LineHandlerZunqRetransImpl()
    {
        stopRequestTimer();
        mPeerLog.close(mLog, who());
        mFactory.destroy(&mLineData);
    }

    std::string who() const { return std::string(cName) + " (" + mHandler.getName() + ")"; }
    bool peerLine() { return mPeerLog.admit(mLog, who()); }

    // ---- requests from the bus
    void onRequest(const RetransRequest& request);
    void cancelRequest(const RetransRequest& request);
    void refreshRequest(std::uint32_t channel, bool cancel);
    bool queueRanges(const RetransRequest& request);
    void processRetransQueue();
    void sendRetransRequest(std::uint32_t channel, std::uint32_t begin, std::uint32_t end);
    void endRetransRequest();

    // ---- bytes from the server
    void onNetworkData(const char* data, unsigned int length);
    bool drainPackets(std::uint64_t epoch);
    bool handlePacket(const Zunq::PacketView& packet, std::uint64_t epoch);
    bool processLogonResponse(const Zunq::PacketMessage& message);
    bool processRetransResponse(const Zunq::PacketMessage& message);
    void processData(const Zunq::PacketView& packet, std::uint64_t epoch);
    // Messages skip .. skip + count - 1 of a framed packet as a packet of
    // their own in mCut, numbered from the first of them; its size.
    std::uint32_t cutPacket(const Zunq::PacketView& packet, std::uint32_t skip, std::uint32_t count);
    bool publishData(const Zunq::PacketView& packet, std::uint64_t from, std::uint64_t to, std::uint64_t epoch);
    void protocolError(const std::string& what, std::uint32_t packetSize);
    void bounce(const char* reason);
    // After the base scheduled (or failed to schedule) its next attempt.
    void checkReconnectScheduled(const char* when);

    // ---- the request time-out
    bool startRequestTimer();
    void stopRequestTimer();
    void onRequestTimeout();
    // The request outstanding is over, ended or given up.
    void clearOutstanding()
    {
        stopRequestTimer();
        mRetransLock = false;
        mAnswered = false;
        mMsgsFilled = 0;
        mCurrentRetransCancelled = false;
    }

    LineHandlerZunqRetrans& mHandler;
    TarvokSession& mSession;
    LineDataFactoryDravek& mFactory;
    Log& mLog;
    LineDataDravek& mLineData;
    bool mRetransLock = false;
    bool mTryReconnect = true;
    std::uint32_t mBeginSeqNum = 0;
    std::uint32_t mEndSeqNum = 0;
    std::uint32_t mChannelId = 0;
    std::deque<Range> mRetransQueue;
    // Whether the front of the queue is the request outstanding (the
    // refresh step may have removed it while it still is).
    bool mFrontOutstanding = false;
    std::uint64_t mMsgsFilled = 0;
    // The number the next data packet of the answer must start at: the
    // range's first number once sent, one past the last message taken since.
    std::uint64_t mNextInRange = 0;
    // The numbers below this have been published for the range outstanding.
    std::uint64_t mPublishedTo = 0;
    // The server accepted the request outstanding: its data may follow.
    bool mAnswered = false;
    unsigned int mRequestTimeoutMillis = LineHandlerZunqRetrans::cDefaultRequestTimeoutMillis;
    RetransRequestTimeout mRequestTimeout{*this};
    TarvokTimer mRequestTimer;
    bool mRequestTimerLive = false;
    // The part of a packet that is published in place of the server's.
    char mCut[Zunq::cMaxPacketSize] = {};
    std::uint32_t mSeqNumOut = 0;
    Zunq::Logon mMsgLogon;
    Zunq::RetransmissionRequest mMsgRequest;
    char mRequestPacket[cRequestPacketSize] = {};
    bool mLoggedIn = false;
    // Logged on over the connection that is up now.
    bool mLoggedOnNow = false;
    // A connection is up and its end not yet handled: the framework may
    // report the end of a connection we closed ourselves once more.
    bool mConnectionUp = false;
    std::unordered_map<std::uint32_t, Route> mRoutes;
    bool mTraceRetransCommunications = false;
    LineMonitor* mLineMonitor = nullptr;
    bool mRefreshEnabled = false;
    RefreshRequest mRefreshRequest;
    long mMaxRetransRequestRange = 0;
    bool mCurrentRetransCancelled = false;
    // Counts connections that ended: a bus delivery that took the line down
    // tells the receive loop to stop reading a buffer that is gone.
    std::uint64_t mEpoch = 0;
    PeerLog mPeerLog;
    std::unique_ptr<RetransRequestHop> mRequestHop;
    std::vector<std::unique_ptr<LiveChannelHop>> mLiveHops;
};

void RetransRequestHop::onData(const Orlu<Zunq::ThreadData>&, const std::string&, const Zunq::ThreadData& data)
{
    if (data.mDataPtr1 != &mHandler || data.mDataSize < RequestHop::cSize)
        return;
    mHandler.mImpl->onRequest(RequestHop::decode(data));
}

// ---- requests

void LineHandlerZunqRetransImpl::onRequest(const RetransRequest& request)
{
    if (request.getCancel())
    {
        mLog.info() << "LineHandlerZunqRetrans::onData(): Cancel RetransRequest received for Feed ["
                    << request.feedId() << "]; SeqNums [" << request.begin() << "-" << request.end() << "]";
        cancelRequest(request);
        refreshRequest(channelOf(request.feedId()), true);
        return;
    }
    if (request.begin() == UINT32_MAX && request.end() == UINT32_MAX)
        return;
    if (request.end() < request.begin())
    {
        mLog.error() << "LineHandlerZunqRetrans::onData RetransRequest refused for ChannelId [" << request.feedId()
                     << "]; SeqNums [" << request.begin() << "-" << request.end()
                     << "]: the end lies below the begin";
        return;
    }
    if (request.end() < Zunq::firstServedSeqNum(request.begin()))
    {
        // 0-0: a range from 0 is served from 1, so it holds no number.
        mLog.error() << "LineHandlerZunqRetrans::onData RetransRequest refused for ChannelId [" << request.feedId()
                     << "]; SeqNums [" << request.begin() << "-" << request.end()
                     << "]: the range holds no number (0 is served from 1)";
        return;
    }
    if (channelOf(request.feedId()) > UINT16_MAX)
    {
        mLog.error() << "LineHandlerZunqRetrans::onData RetransRequest refused for ChannelId [" << request.feedId()
                     << "]; SeqNums [" << request.begin() << "-" << request.end()
                     << "]: a channel id is at most 65535";
        return;
    }
    mLog.info() << "LineHandlerZunqRetrans::onData RetransRequest received for ChannelId [" << request.feedId()
                << "]; SeqNums [" << request.begin() << "-" << request.end() << "]";
    if (queueRanges(request))
        processRetransQueue();
}

bool LineHandlerZunqRetransImpl::queueRanges(const RetransRequest& request)
{
    const std::uint32_t end = request.end();
    std::uint32_t b = request.begin();
    Range range{};
    range.mChannelId = channelOf(request.feedId());
    copyFeedId(range.mFeedId, request.feedId());
    // Pieces of M - 1 numbers; M of 1 or less would make empty pieces for ever.
    const std::uint64_t piece = mMaxRetransRequestRange > 1 ? static_cast<std::uint64_t>(mMaxRetransRequestRange) - 1 : 0;
    const std::uint64_t numbers = static_cast<std::uint64_t>(end) - b + 1;
    const std::uint64_t pieces = piece == 0 ? 1 : (numbers + piece - 1) / piece;
    if (pieces > LineHandlerZunqRetrans::cMaxQueuedRanges - mRetransQueue.size() ||
        mRetransQueue.size() >= LineHandlerZunqRetrans::cMaxQueuedRanges)
    {
        mLog.error() << "LineHandlerZunqRetrans::onData RetransRequest refused for ChannelId [" << request.feedId()
                     << "]; SeqNums [" << b << "-" << end << "]: " << pieces << " ranges of at most " << piece
                     << " would pass the queue's " << LineHandlerZunqRetrans::cMaxQueuedRanges << " ("
                     << mRetransQueue.size() << " queued)";
        return false;
    }
    if (piece != 0)
        while (static_cast<std::uint64_t>(end) - b >= piece)
        {
            range.mBegin = b;
            range.mEnd = static_cast<std::uint32_t>(b + piece - 1);
            mLog.info() << "LineHandlerZunqRetrans::onData RetransRequest split on ChannelId [" << request.feedId()
                        << "]; SeqNums [" << range.mBegin << "-" << range.mEnd << "]";
            mRetransQueue.push_back(range);
            b = static_cast<std::uint32_t>(b + piece);
        }
    if (piece != 0)
        mLog.info() << "LineHandlerZunqRetrans::onData RetransRequest last on ChannelId [" << request.feedId()
                    << "]; SeqNums [" << b << "-" << end << "]";
    range.mBegin = b;
    range.mEnd = end;
    mRetransQueue.push_back(range);
    return true;
}

void LineHandlerZunqRetransImpl::cancelRequest(const RetransRequest& request)
{
    for (auto it = mRetransQueue.begin(); it != mRetransQueue.end();)
    {
        if (std::strcmp(it->mFeedId, request.feedId()) != 0 || it->mEnd > request.end())
        {
            ++it;
            continue;
        }
        if (it == mRetransQueue.begin())
        {
            mLog.info() << "LineHandlerZunqRetrans:cancelRequest() - Marking current RetransRequest '" << it->mBegin
                        << "-" << it->mEnd << "' for channel '" << it->mFeedId
                        << "' as cancelled. No RefreshRequest if unsuccessful";
            mCurrentRetransCancelled = true;
            ++it;
            continue;
        }
        mLog.info() << "LineHandlerZunqRetrans:cancelRequest() - Erasing RetransRequest '" << it->mBegin << "-"
                    << it->mEnd << "' for channel ' " << it->mFeedId << "' as gap has been filled";
        it = mRetransQueue.erase(it);
    }
}

void LineHandlerZunqRetransImpl::refreshRequest(std::uint32_t channel, bool cancel)
{
    if (!mRefreshEnabled)
        return;
    mRefreshRequest.mChannelId = channel;
    mRefreshRequest.mCancel = cancel;
    // A refresh asked for at a gap holds the channel's realtime data from
    // here on: the filter cannot give the gap up at its time limit meanwhile,
    // and what comes after the snapshot is released behind it.
    mRefreshRequest.mSpoolRealtimeMessage = !cancel;
    // A cancel stops a refresh; the ranges it covers went in the cancel step,
    // and the channel's later gaps still need their retransmission.
    if (!cancel)
    {
        mLog.info() << "LineHandlerZunqRetrans::LineHandlerZunqRetransImpl::refreshRequest(): Sending refresh request.";
        for (auto it = mRetransQueue.begin(); it != mRetransQueue.end();)
        {
            if (it->mChannelId != channel)
            {
                ++it;
                continue;
            }
            mLog.info() << "LineHandlerZunqRetrans:refreshRequest() - Erasing RetransRequest [" << it->mBegin << "-"
                        << it->mEnd << "] for channel [" << it->mFeedId << "] as refresh request is to be sent.";
            if (it == mRetransQueue.begin())
                mFrontOutstanding = false;
            it = mRetransQueue.erase(it);
        }
    }
    mHandler.OrluPublisher<RefreshRequest>::publish(mRefreshRequest);
}

void LineHandlerZunqRetransImpl::processRetransQueue()
{
    if (mRetransQueue.empty() || mRetransLock)
    {
        mLog.info() << "LineHandlerZunqRetrans::processRetransQueue Queue is empty ("
                    << (mRetransQueue.empty() ? "true" : "false") << ") or still waiting for another Retrans to end ("
                    << (mRetransLock ? "true" : "false") << ")";
        return;
    }
    if (mTryReconnect)
    {
        mHandler.resetConnectAttemptCount();
        mHandler.tryConnect();
        return;
    }
    // A request before the logon is answered would end the connection.
    if (mHandler.connected() && mLoggedOnNow)
    {
        const Range& front = mRetransQueue.front();
        mBeginSeqNum = front.mBegin;
        mEndSeqNum = front.mEnd;
        mChannelId = front.mChannelId;
        mMsgsFilled = 0;
        mNextInRange = Zunq::firstServedSeqNum(mBeginSeqNum);
        mPublishedTo = std::max(mNextInRange, front.mPublishedTo);
        mAnswered = false;
        // Nothing waits for an answer without a time-out: a thread that has
        // no timer left cannot ask.
        if (!startRequestTimer())
        {
            mLog.error() << cSendRequest << "request for channel [" << mChannelId << "] from [" << mBeginSeqNum
                         << "] to [" << mEndSeqNum
                         << "] not sent: no timer for its time-out: the thread holds as many as the framework allows "
                            "(MSG_DISP_FD_NUM + 5); reconnecting";
            bounce("no timer for the request time-out");
            return;
        }
        // Set before the send: a send that takes the line down clears them.
        mRetransLock = true;
        mFrontOutstanding = true;
        sendRetransRequest(mChannelId, mBeginSeqNum, mEndSeqNum);
        return;
    }
    mLog.info() << "LineHandlerZunqRetrans:processRetransQueue Not processing as connection not fully established";
}

void LineHandlerZunqRetransImpl::sendRetransRequest(std::uint32_t channel, std::uint32_t begin, std::uint32_t end)
{
    mMsgRequest.mChannelId = static_cast<std::uint16_t>(channel);
    mMsgRequest.mBeginSeqNum = begin;
    mMsgRequest.mEndSeqNum = end;
    buildPacket(mSeqNumOut, mMsgRequest, mRequestPacket);
    mLog.info() << cSendRequest << "publishing request for channel [" << channel << "] from [" << begin << "] to ["
                << end << "].. " << ZunqDumpUtils::writeStructToString(&mMsgRequest, cSep);
    const std::uint64_t epoch = mEpoch;
    if (!mHandler.sendTo(mRequestPacket, static_cast<int>(cRequestPacketSize), "Zunq Retrans Request") &&
        epoch == mEpoch && mHandler.connected())
    {
        // Not sent, yet the line stays up: the request would wait for an
        // answer that never comes. A new connection sends it again.
        mLog.error() << cSendRequest << "request for channel [" << channel << "] from [" << begin << "] to [" << end
                     << "] could not be sent; reconnecting";
        bounce("retransmission request not sent");
    }
}

void LineHandlerZunqRetransImpl::endRetransRequest()
{
    mLog.info() << cEndRequest << "Finished processing retransmission for channel [" << mChannelId << "] from ["
                << mBeginSeqNum << "] to [" << mEndSeqNum << "]";
    clearOutstanding();
    if (mFrontOutstanding)
    {
        mRetransQueue.pop_front();
        mFrontOutstanding = false;
    }
    processRetransQueue();
}

// ---- bytes

void LineHandlerZunqRetransImpl::onNetworkData(const char* data, unsigned int length)
{
    FileDescBuffer& buffer = mHandler.getBuffer();
    const bool deflated = buffer.getDataIsDeflated();
    const std::uint64_t epoch = mEpoch;
    std::uint32_t left = length;
    for (;;)
    {
        const std::uint32_t before = buffer.bufferSize();
        int taken = 0;
        if (left > 0 || (deflated && buffer.ZBufferSize() > 0))
        {
            try
            {
                taken = buffer.addData(data + (length - left), left);
            }
            catch (const LineError& e)
            {
                if (peerLine())
                    mLog.error() << cOnNetworkData << "cannot inflate the server's data: " << e.what()
                                 << "; clear the buffer and reconnect.";
                buffer.clear();
                bounce("inflate error");
                return;
            }
        }
        left -= static_cast<std::uint32_t>(taken);
        const bool grew = buffer.bufferSize() > before;
        if (!drainPackets(epoch))
            return;
        if (left == 0 && (!deflated || buffer.ZBufferSize() == 0))
            return;
        if (taken == 0 && !grew)
        {
            if (peerLine())
                mLog.error() << cOnNetworkData
                             << "Not enough data in TCP buffer for a complete packet. clear the buffer and reconnect.";
            buffer.clear();
            bounce("receive buffer full");
            return;
        }
    }
}

// Handles every whole packet at the front of the buffer; false once the
// line went down (a protocol error, or a delivery that took it down).
bool LineHandlerZunqRetransImpl::drainPackets(std::uint64_t epoch)
{
    FileDescBuffer& buffer = mHandler.getBuffer();
    for (;;)
    {
        if (epoch != mEpoch || !mHandler.connected())
            return false;
        const char* bytes = buffer.buffer();
        const std::uint32_t size = buffer.bufferSize();
        if (mLog.enabled(LOG_LEVEL_DEBUG))
            mLog.debug() << cOnNetworkData << "Buffer Size = " << size;
        Zunq::PacketHeader header;
        if (Zunq::PacketDecoder::readHeader(bytes, size, header) != Zunq::PacketDecoder::Status::OK)
            return true;
        const std::uint32_t capacity = size + buffer.bufferSizeUnused();
        if (header.mPktSize < Zunq::cPacketHeaderSize || header.mPktSize > Zunq::cMaxPacketSize ||
            header.mPktSize > capacity)
        {
            protocolError(header.mPktSize < Zunq::cPacketHeaderSize ? "packet size below the header's 16 bytes"
                                                                    : "packet larger than any the server sends",
                          header.mPktSize);
            return false;
        }
        if (size < header.mPktSize)
        {
            if (mLog.enabled(LOG_LEVEL_DEBUG))
                mLog.debug() << cOnNetworkData << "Not enough bytes in the buffer (Have " << size << ", Need "
                             << header.mPktSize << "); Waiting for more data";
            return true;
        }
        Zunq::PacketView packet;
        if (Zunq::PacketDecoder::frame(bytes, size, packet) != Zunq::PacketDecoder::Status::OK)
        {
            protocolError("messages that do not fill the packet as its count says", header.mPktSize);
            return false;
        }
        if (!handlePacket(packet, epoch))
            return false;
        if (epoch != mEpoch)
            return false;
        buffer.shift(header.mPktSize);
    }
}

bool LineHandlerZunqRetransImpl::handlePacket(const Zunq::PacketView& packet, std::uint64_t epoch)
{
    const Zunq::PacketHeader& header = packet.header();
    const bool trace = mTraceRetransCommunications || mLog.enabled(LOG_LEVEL_DEBUG);
    if (trace)
    {
        mLog.info() << cOnNetworkData << "received packet from rts.";
        mLog.info() << cOnNetworkData << ZunqDumpUtils::writeStructToString(&header, cSep);
        if (header.mPktSize > Zunq::cPacketHeaderSize && header.mMsgCount != 0)
            mLog.info() << cOnNetworkData << " packet contents..\n"
                        << ZunqDumpUtils::dumpBaseToStringLg(packet.data() + Zunq::cPacketHeaderSize, cSep,
                                                             header.mPktSize - Zunq::cPacketHeaderSize);
    }
    if (header.mMsgCount == 0)
    {
        if (trace)
            mLog.info() << cOnNetworkData << "received HeartBeat from rts.. sending it straight back "
                        << ZunqDumpUtils::writeStructToString(&header, cSep);
        mHandler.sendTo(packet.data(), static_cast<int>(Zunq::cPacketHeaderSize), "Zunq Heartbeat");
        if (epoch != mEpoch)
            return false;
        mHandler.addMsgCount(1);
        mHandler.publishHeartbeat();
        return true;
    }
    mHandler.addMsgCount(header.mMsgCount);
    if (header.mMsgCount == 1)
    {
        Zunq::PacketView walk = packet;
        Zunq::PacketMessage message;
        walk.nextMessage(message);
        if (message.type == Zunq::LOGON_RESPONSE_TYPE)
            return processLogonResponse(message);
        if (message.type == Zunq::RETRANS_RESPONSE_TYPE)
            return processRetransResponse(message);
    }
    processData(packet, epoch);
    return true;
}

bool LineHandlerZunqRetransImpl::processLogonResponse(const Zunq::PacketMessage& message)
{
    Zunq::LogonResponse response;
    if (!Zunq::PacketDecoder::readMessage(message, response))
    {
        protocolError("a logon response of another size", static_cast<std::uint32_t>(message.size) + 16);
        return false;
    }
    mLog.info() << cLogonResponse << "received LogonReponse from rts.. "
                << ZunqDumpUtils::writeStructToString(&response, cSep);
    mHandler.onLogin();
    if (response.mSessionStatus == Zunq::SESSION_ACTIVE)
    {
        mLoggedIn = true;
        mLoggedOnNow = true;
        mLog.info() << cLogonResponse << "Logon succeed.";
        mHandler.resetConnectAttemptCount();
        processRetransQueue();
        return true;
    }
    // Refused: the line goes down so that the reconnect back-off tries again;
    // a line left up would hold the queue for ever.
    if (peerLine())
    {
        if (response.mSessionStatus == Zunq::INVALID_USERNAME)
            mLog.error() << cLogonResponse << "Invalid Username.";
        else if (response.mSessionStatus == Zunq::USER_ALREADY_CONNECTED)
            mLog.warning() << cLogonResponse << "User already connected.";
        else
            mLog.warning() << cLogonResponse << "Logon refused with status "
                           << static_cast<unsigned>(response.mSessionStatus);
    }
    bounce("logon refused");
    return false;
}

bool LineHandlerZunqRetransImpl::processRetransResponse(const Zunq::PacketMessage& message)
{
    Zunq::RetransmissionResponse response;
    if (!Zunq::PacketDecoder::readMessage(message, response))
    {
        protocolError("a retransmission response of another size", static_cast<std::uint32_t>(message.size) + 16);
        return false;
    }
    mLog.info() << cRetransResponse << "received RetransReponse from rts.. "
                << ZunqDumpUtils::writeStructToString(&response, cSep);
    if (!mRetransLock)
    {
        if (peerLine())
            mLog.warning() << cRetransResponse << "response while no request is outstanding; ignored";
        return true;
    }
    const unsigned status = response.mRetransStatus;
    if (status == Zunq::REQUEST_ACCEPTED)
    {
        mAnswered = true;
        return true;
    }
    mLog.warning() << cRetransResponse << "Retrans unsuccessful - RetransStatus [" << status
                   << "]. Removing from queue";
    if ((status == Zunq::MESSAGES_NOT_AVAILABLE || status == Zunq::EXCEEDS_MAXIMUM_SEQUENCE_RANGE ||
         status == Zunq::EXCEEDS_MAXIMUM_REQUESTS_PER_DAY) &&
        !mCurrentRetransCancelled)
        refreshRequest(mChannelId, false);
    endRetransRequest();
    return true;
}

void LineHandlerZunqRetransImpl::processData(const Zunq::PacketView& packet, std::uint64_t epoch)
{
    const Zunq::PacketHeader& header = packet.header();
    if (!mRetransLock || !mAnswered)
    {
        // Nothing was asked for, or not yet accepted: never taken as the
        // answer to a range (the tail of an answer larger than asked ends
        // here, ahead of the next request's response).
        if (peerLine())
            mLog.warning() << cOnNetworkData << "data packet of " << header.mPktSize << " bytes, "
                           << static_cast<unsigned>(header.mMsgCount) << " messages from " << header.mSeqNum
                           << (mRetransLock ? " before the request outstanding was accepted; ignored"
                                            : " while no request is outstanding; ignored");
        return;
    }
    const std::uint64_t first = Zunq::firstServedSeqNum(mBeginSeqNum);
    const std::uint64_t seq = header.mSeqNum;
    const std::uint64_t last = seq + header.mMsgCount - 1;
    if (seq != mNextInRange)
    {
        if (seq >= first && last < mNextInRange)
        {
            // Sent again: its messages went out once already and count once.
            if (peerLine())
                mLog.warning() << cOnNetworkData << "data packet of messages [" << seq << "-" << last
                               << "] received again for channel [" << mChannelId << "] from [" << mBeginSeqNum
                               << "] to [" << mEndSeqNum << "]; ignored";
            return;
        }
        // Published under its numbers, the packet would put other messages'
        // bytes in their place: the range is asked again from its start.
        protocolError("data packet of messages [" + std::to_string(seq) + "-" + std::to_string(last) + "] where [" +
                          std::to_string(mNextInRange) + "] was due for channel [" + std::to_string(mChannelId) +
                          "] from [" + std::to_string(mBeginSeqNum) + "] to [" + std::to_string(mEndSeqNum) + "]",
                      header.mPktSize);
        return;
    }
    // Only what was asked for, and what an earlier answer to the range did
    // not bring: the line filter may drop a packet that reaches below its
    // next number whole, live messages with it.
    const std::uint64_t to = std::min<std::uint64_t>(last, mEndSeqNum);
    const std::uint64_t from = std::max(seq, mPublishedTo);
    if (last > mEndSeqNum && peerLine())
        mLog.warning() << cOnNetworkData << "data packet of messages [" << seq << "-" << last
                       << "] runs past the end of channel [" << mChannelId << "] from [" << mBeginSeqNum << "] to ["
                       << mEndSeqNum << "]; messages past [" << mEndSeqNum << "] not published";
    if (from <= to && !publishData(packet, from, to, epoch))
        return;
    // Counted by distinct numbers: the next is due one past the last taken;
    // counted in 64 bits, so a range up to 0xFFFFFFFF ends too.
    mNextInRange = to + 1;
    mMsgsFilled = mNextInRange - first;
    if (mNextInRange <= mEndSeqNum)
    {
        if (mLog.verboseEnabled())
            mLog.verbose() << cOnNetworkData << "partitally processed retransmission from channel [" << mChannelId
                           << "] from [" << mBeginSeqNum << "] to [" << mEndSeqNum << "] messages filled ["
                           << mMsgsFilled << "] messages outstanding [" << mEndSeqNum + 1 - mNextInRange << "]";
        return;
    }
    auto route = mRoutes.find(mChannelId);
    Orlu<RetransComplete>* complete = route != mRoutes.end() ? route->second.mComplete : nullptr;
    if (complete != nullptr)
    {
        mLog.info() << cOnNetworkData << "fully processed retransmission from channel [" << mChannelId << "] from ["
                    << mBeginSeqNum << "] to [" << mEndSeqNum << "] messages filled [" << mMsgsFilled << "]";
        if (route->second.mHop != nullptr)
            route->second.mHop->sendComplete(complete, mBeginSeqNum, mEndSeqNum);
        else
        {
            mHandler.OrluPublisher<RetransComplete>::setDestination(complete);
            mHandler.OrluPublisher<RetransComplete>::publish(RetransComplete(mBeginSeqNum, mEndSeqNum));
            if (epoch != mEpoch || !mRetransLock)
                return;
        }
    }
    else
        mLog.warning() << cOnNetworkData << "Retransmission for unknown OrluRetransComplete of Channel ID ["
                       << mChannelId << "]";
    endRetransRequest();
}

// Messages from..to of the packet on the live channel's raw bus; false once
// a subscriber took the line down or ended the request.
bool LineHandlerZunqRetransImpl::publishData(const Zunq::PacketView& packet, std::uint64_t from, std::uint64_t to,
                                              std::uint64_t epoch)
{
    const Zunq::PacketHeader& header = packet.header();
    const char* bytes = packet.data();
    std::uint32_t size = header.mPktSize;
    // The whole packet, as received, when all of it goes out.
    if (from != header.mSeqNum || to != static_cast<std::uint64_t>(header.mSeqNum) + header.mMsgCount - 1)
    {
        size = cutPacket(packet, static_cast<std::uint32_t>(from - header.mSeqNum),
                         static_cast<std::uint32_t>(to - from + 1));
        bytes = mCut;
    }
    // Noted before the bus runs: it may end the request or the connection.
    mPublishedTo = to + 1;
    if (mFrontOutstanding)
        mRetransQueue.front().mPublishedTo = mPublishedTo;

    auto route = mRoutes.find(mChannelId);
    if (route == mRoutes.end() || route->second.mLineData == nullptr)
    {
        if (peerLine())
            mLog.warning() << cOnNetworkData << "Retransmission for unknown Orlu of Channel ID [" << mChannelId << "]";
        return true;
    }
    if (route->second.mHop != nullptr)
    {
        const LineHandlerTcpConnectionInfo& entry = mHandler.getConnectionInfo();
        route->second.mHop->sendPacket(route->second.mLineData, static_cast<std::uint16_t>(mChannelId),
                                       mHandler.getName(), entry.mIp.c_str(), std::atoi(entry.mPort.c_str()), bytes,
                                       size);
        return true;
    }
    try
    {
        mLineData.setData(bytes, size);
    }
    catch (const std::invalid_argument&)
    {
        protocolError("a data packet the line data refuses", header.mPktSize);
        return false;
    }
    mLineData.setChannelId(static_cast<std::uint16_t>(mChannelId));
    mLineData.setLineTimeNow();
    if (mLog.enabled(LOG_LEVEL_DEBUG))
        mLog.debug() << cOnNetworkData << "LineData SeqNum=" << mLineData.getSeqNum()
                     << " NextSeqNum=" << mLineData.getNextSeqNum() << " DataLen=" << mLineData.getDataLen();
    mHandler.OrluPublisher<LineData>::setDestination(route->second.mLineData);
    mHandler.OrluPublisher<LineData>::publish(mLineData);
    return epoch == mEpoch && mRetransLock;
}

std::uint32_t LineHandlerZunqRetransImpl::cutPacket(const Zunq::PacketView& packet, std::uint32_t skip,
                                                    std::uint32_t count)
{
    // The messages lie one after the other: those kept are one run of bytes.
    Zunq::PacketView walk = packet;
    Zunq::PacketMessage message;
    std::size_t begin = Zunq::cPacketHeaderSize;
    for (std::uint32_t i = 0; i < skip && walk.nextMessage(message); ++i)
        begin += message.size;
    std::size_t end = begin;
    for (std::uint32_t i = 0; i < count && walk.nextMessage(message); ++i)
        end += message.size;
    Zunq::PacketHeader header = packet.header();
    header.mPktSize = static_cast<std::uint16_t>(Zunq::cPacketHeaderSize + end - begin);
    header.mMsgCount = static_cast<std::uint8_t>(count);
    header.mSeqNum += skip;
    std::memcpy(mCut, &header, sizeof header);
    std::memcpy(mCut + Zunq::cPacketHeaderSize, packet.data() + begin, end - begin);
    return header.mPktSize;
}

void LineHandlerZunqRetransImpl::protocolError(const std::string& what, std::uint32_t packetSize)
{
    FileDescBuffer& buffer = mHandler.getBuffer();
    if (peerLine())
        mLog.error() << cOnNetworkData << "protocol error: " << what << " (packet size " << packetSize << ", "
                     << buffer.bufferSize() << " bytes buffered, buffer of "
                     << buffer.bufferSize() + buffer.bufferSizeUnused()
                     << "): " << ZunqDumpUtils::writePeerBytes(buffer.buffer(), buffer.bufferSize())
                     << "; clear the buffer and reconnect.";
    buffer.clear();
    bounce("protocol error");
}

// The base's bounce without its log lines: what the server causes is
// limited to the peer's allowance, written before this.
void LineHandlerZunqRetransImpl::bounce(const char* reason)
{
    mHandler.onLineDown(reason, LineStatus::DOWN, true);
    mHandler.disconnect();
    mHandler.setLineStatus(LineStatus::DOWN);
    mHandler.connect();
    checkReconnectScheduled(reason);
}

void LineHandlerZunqRetransImpl::checkReconnectScheduled(const char* when)
{
    if (mRetransQueue.empty() || mHandler.connected() || mHandler.connectInProgress() || mHandler.isStopped() ||
        mHandler.reconnectTimerActive())
        return;
    // Without the timer no attempt would ever come: the ranges would wait
    // for a connection for ever. They are given up; the line filter's own
    // limits decide about its gaps, and a new request connects at once.
    mLog.error() << cName << " (" << mHandler.getName() << "): " << when
                 << ": no reconnect timer: the thread holds as many as the framework allows (MSG_DISP_FD_NUM + 5); "
                 << mRetransQueue.size() << " queued ranges given up";
    for (const Range& range : mRetransQueue)
        mLog.error() << cName << ": gave up RetransRequest [" << range.mBegin << "-" << range.mEnd
                     << "] for channel [" << range.mFeedId << "]";
    mRetransQueue.clear();
    mFrontOutstanding = false;
    clearOutstanding();
}

// ---- the request time-out

void RetransRequestTimeout::onTimer(TarvokTimer*)
{
    mImpl.onRequestTimeout();
}

bool LineHandlerZunqRetransImpl::startRequestTimer()
{
    stopRequestTimer();
    if (!mRequestTimer.create(&mSession, &mRequestTimeout, mRequestTimeoutMillis, nullptr))
        return false;
    mRequestTimerLive = true;
    return true;
}

void LineHandlerZunqRetransImpl::stopRequestTimer()
{
    if (mRequestTimerLive)
        mRequestTimer.destroy();
    mRequestTimerLive = false;
}

void LineHandlerZunqRetransImpl::onRequestTimeout()
{
    stopRequestTimer();
    if (!mRetransLock)
        return;
    // A server that stalls costs a retry, not the range: the range is asked
    // once more, from the next server of the hunt list, before it is given up.
    const bool again = mFrontOutstanding && mRetransQueue.front().mTimeouts == 0;
    const std::uint64_t first = Zunq::firstServedSeqNum(mBeginSeqNum);
    mLog.error() << cName << " (" << mHandler.getName() << "): retransmission for channel [" << mChannelId
                 << "] from [" << mBeginSeqNum << "] to [" << mEndSeqNum << "] not complete after "
                 << mRequestTimeoutMillis << " ms (" << mMsgsFilled << " of "
                 << static_cast<std::uint64_t>(mEndSeqNum) - first + 1 << " messages"
                 << (mAnswered ? "" : ", not accepted") << ")"
                 << (again ? "; asked again after the reconnect" : "; given up, reconnecting");
    // The server holds the range and may hold the next one too: the queue
    // goes on after the reconnect, on the next server of the hunt list.
    mHandler.markConnectionFailed();
    if (again)
        ++mRetransQueue.front().mTimeouts;
    else if (mFrontOutstanding)
        mRetransQueue.pop_front();
    mFrontOutstanding = false;
    clearOutstanding();
    bounce("retransmission request timed out");
}

// ---- LineHandlerZunqRetrans

LineHandlerZunqRetrans::LineHandlerZunqRetrans(LineDataFactoryDravek& factory, TarvokSession& session, Log& log)
    : LineHandlerLogin(factory, session, log), OrluSubscriber<RetransRequest>(cName),
      OrluPublisher<RetransComplete>(cName), OrluPublisher<RefreshRequest>(cName),
      mImpl(std::make_unique<LineHandlerZunqRetransImpl>(*this, factory, session, log))
{
    // The client keeps no recovery file: what it receives is replayed by the
    // server on request.
    setUseRecoveryFile(false);
}

LineHandlerZunqRetrans::~LineHandlerZunqRetrans()
{
    // The base's destructor disconnects and calls the hooks below.
    disconnect();
}

void LineHandlerZunqRetrans::tryConnect()
{
    if (connected())
        return;
    // Until the framework has a socket ready for the connection, an attempt
    // would only be noted and never made: the back-off timer comes back.
    if (getConnectStatus() != TCP_READY_CONNECT)
    {
        LineHandlerTcp::connect();
        mImpl->checkReconnectScheduled("connection not ready");
        return;
    }
    LineHandlerLogin::tryConnect();
    mImpl->checkReconnectScheduled("connect attempt failed");
    const LineHandlerTcpConnectionInfo& entry = getConnectionInfo();
    const std::string name = entry.mIp + ":" + entry.mPort;
    if (mImpl->mLineMonitor != nullptr)
    {
        mImpl->mLineMonitor->monitorOff(getName());
        mImpl->mLineMonitor->monitorOn(name);
        setName(name);
    }
    mImpl->mLineData.setSource(entry.mIp.c_str(), std::atoi(entry.mPort.c_str()));
}

void LineHandlerZunqRetrans::onTcpConnect()
{
    const LineHandlerTcpConnectionInfo& entry = getConnectionInfo();
    mLog.info() << "LineHandlerZunqRetrans:onTcpConnect() - " << entry.mIp << ":" << entry.mPort << " connected";
    // Before the logon goes out: a send that fails takes the line down again.
    mImpl->mTryReconnect = false;
    mImpl->mLoggedOnNow = false;
    mImpl->mConnectionUp = true;
    LineHandlerLogin::onTcpConnect();
}

void LineHandlerZunqRetrans::onTcpDisconnect()
{
    LineHandlerZunqRetransImpl& d = *mImpl;
    LineHandlerLogin::onTcpDisconnect();
    const LineHandlerTcpConnectionInfo& entry = getConnectionInfo();
    mLog.info() << "LineHandlerZunqRetrans:onTcpDisconnect() - " << entry.mIp << ":" << entry.mPort
                << " Disconnected - Queue Size [" << d.mRetransQueue.size() << "]";
    ++d.mEpoch;
    // A server that took the connection but did not serve it: the next
    // attempt goes to the next one of the hunt list, not to it again.
    const bool ended = d.mConnectionUp;
    d.mConnectionUp = false;
    if (ended && (!d.mLoggedOnNow || d.mRetransLock))
    {
        mLog.info() << "LineHandlerZunqRetrans:onTcpDisconnect() - " << entry.mIp << ":" << entry.mPort
                    << (d.mLoggedOnNow ? " did not complete the range it carried" : " did not accept a logon")
                    << ": counted as a failed attempt";
        markConnectionFailed();
    }
    // The front entry stays, its cancel mark with it: it goes out again,
    // whole, after the next logon.
    d.stopRequestTimer();
    d.mRetransLock = false;
    d.mAnswered = false;
    d.mMsgsFilled = 0;
    d.mFrontOutstanding = false;
    getBuffer().clear();
    d.mTryReconnect = true;
    d.mLoggedOnNow = false;
    // The server closed the line: the base has scheduled its next attempt
    // already. (On our own disconnect it does so after this hook.)
    if (getConnectStatus() != TCP_CONNECT)
        d.checkReconnectScheduled("disconnected");
}

void LineHandlerZunqRetrans::onConnectFail()
{
    LineHandlerLogin::onConnectFail();
    mImpl->checkReconnectScheduled("connect failed");
}

void LineHandlerZunqRetrans::bounceLine(const std::string& reason, LineStatus::StatusType status, bool isError)
{
    LineHandlerLogin::bounceLine(reason, status, isError);
    mImpl->checkReconnectScheduled(reason.c_str());
}

void LineHandlerZunqRetrans::onNetworkData(const char* data, unsigned int length)
{
    if (!connected())
        return;
    mImpl->onNetworkData(data, length);
}

void LineHandlerZunqRetrans::createHeartbeatPacket(char*, int&)
{
    // The client sends no heartbeat of its own; it echoes the server's.
}

void LineHandlerZunqRetrans::createLoginPacket(char* buffer, int& length)
{
    LineHandlerZunqRetransImpl& d = *mImpl;
    mLog.info() << cCreateLogin << "[" << (d.mLoggedIn ? "LoggedIn" : "Not-LoggedIn") << "]";
    const std::string& user = getUserName();
    mLog.info() << cCreateLogin << "  Username:       " << user;
    if (buffer == nullptr || length < static_cast<int>(cLogonPacketSize))
    {
        mLog.error() << cCreateLogin << "no room for the logon packet (" << length << " bytes)";
        length = 0;
        return;
    }
    Zunq::setLogonUsername(d.mMsgLogon, user);
    ++d.mSeqNumOut;
    buildPacket(d.mSeqNumOut, d.mMsgLogon, buffer);
    length = static_cast<int>(cLogonPacketSize);
    // The logon is not dumped: a login packet never reaches the log.
    mLog.info() << cCreateLogin << "created Login.. (" << length << " bytes, packet number " << d.mSeqNumOut << ")";
}

void LineHandlerZunqRetrans::onData(const Orlu<RetransRequest>&, const std::string&, const RetransRequest& request)
{
    Runnable* owner = getTarvokSession().getRunnable();
    Runnable* own = Runnable::current();
    // Outside the framework's threads there is nothing to carry the request:
    // then nothing else runs the client either.
    if (owner == nullptr || own == nullptr || own == owner || mImpl->mRequestHop == nullptr)
    {
        mImpl->onRequest(request);
        return;
    }
    Zunq::ThreadData data;
    data.mDataType = cRequestHopType;
    data.mDataPtr1 = this;
    RequestHop::encode(request, data);
    char dst[17];
    owner->getResourceName(dst);
    const int rc = own->sendThreadMessageByThreadName(dst, data, false);
    if (rc != 0)
        mLog.error() << "LineHandlerZunqRetrans::onData(): cannot pass RetransRequest for [" << request.feedId()
                     << "] " << request.begin() << "-" << request.end() << " to thread " << dst << ", error " << rc;
}

void LineHandlerZunqRetrans::addOrluLineData(const std::uint32_t& channelId, Orlu<LineData>* orlu, Runnable* owner)
{
    LineHandlerZunqRetransImpl::Route& route = mImpl->mRoutes[channelId];
    if (route.mLineData != nullptr || orlu == nullptr)
        return;
    route.mLineData = orlu;
    Runnable* own = getTarvokSession().getRunnable();
    if (owner != nullptr && owner != own)
    {
        mImpl->mLiveHops.push_back(std::make_unique<LiveChannelHop>(*owner, mLog));
        route.mHop = mImpl->mLiveHops.back().get();
    }
}

void LineHandlerZunqRetrans::addOrluRetransComplete(const std::uint32_t& channelId, Orlu<RetransComplete>* orlu)
{
    LineHandlerZunqRetransImpl::Route& route = mImpl->mRoutes[channelId];
    if (route.mComplete == nullptr)
        route.mComplete = orlu;
}

void LineHandlerZunqRetrans::setMaxRetransRequestRange(long range) { mImpl->mMaxRetransRequestRange = range; }
void LineHandlerZunqRetrans::setTraceRetransCommiunications(bool on) { mImpl->mTraceRetransCommunications = on; }
void LineHandlerZunqRetrans::setRefreshEnabled(bool on) { mImpl->mRefreshEnabled = on; }
void LineHandlerZunqRetrans::setLineMonitor(LineMonitor* monitor) { mImpl->mLineMonitor = monitor; }
void LineHandlerZunqRetrans::cancelRequest(const RetransRequest& request) { mImpl->cancelRequest(request); }
std::size_t LineHandlerZunqRetrans::getQueueSize() const { return mImpl->mRetransQueue.size(); }
bool LineHandlerZunqRetrans::isRequestOutstanding() const { return mImpl->mRetransLock; }
std::uint64_t LineHandlerZunqRetrans::getMsgsFilled() const { return mImpl->mMsgsFilled; }
void LineHandlerZunqRetrans::setRequestTimeout(unsigned int millis)
{
    mImpl->mRequestTimeoutMillis = millis == 0 ? 1 : millis;
}
unsigned int LineHandlerZunqRetrans::getRequestTimeout() const { return mImpl->mRequestTimeoutMillis; }
