// The server's end of one retransmission client's TCP connection, from
// accept to close: the logon, the joining and checking of received packets,
// the queue of retransmission requests served one at a time, the queue of
// outgoing packets written under the server's shared per-tick budget, and
// the heartbeats. Sessions are pooled by the server and reused, never
// deleted while the process runs.
//
// Runs only on the server's thread (its network events and its timers
// arrive there) and takes no lock. Every outgoing byte leaves through one
// ordered path: a packet written directly (logon response, heartbeat, the
// final status response) never starts while a queued packet is partly
// written. After any step that can close the session, processing stops.
//
// Timers are taken before the client is let in: the logon deadline when the
// connection is accepted, the heartbeat, heartbeat-response and sending
// timers when the logon is accepted (a thread without room for them answers
// the logon as a busy server). A logged-on session keeps those three until
// it closes, pausing the last two while they are not needed, so it is never
// closed for want of a timer.
//
// An answer is built as the socket drains: at most cWindowPackets packets
// are queued ahead of the socket, so the pool holds sessions times window,
// not sessions times answer.
#pragma once

#include "kelmora/linehandler/TCPClientNetworkHandler.h"
#include "kelmora/runtime/PeerLog.h"
#include "kelmora/thread/TarvokHandler.h"
#include "kelmora/thread/TarvokTimer.h"
#include "libstats/pool/ArrayBackedDoubleLinkedList.h"
#include "libstats/pool/PacketBufferItem.h"
#include "rts/cache/LineDataCacheManager.h"
#include "zunq/protocol/RetransProtocol.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <netinet/in.h>
#include <string>

class RtsClientEntry;
class RtsTcpServer;

class RtsTcpSession : public TarvokTimerHandler, public TCPClientNetworkHandler
{
public:
    using PacketQueue = Zunq::Utils::ArrayBackedDoubleLinkedList<ZunqUtils::PacketBufferItem>;

    // The largest packet a client may send; a held fragment is always shorter.
    static constexpr std::size_t cMaxClientPacket = 32;

    RtsTcpSession(TarvokSession& session, Log& log);
    ~RtsTcpSession() override;

    // Preparation by the server, in this order, for each accepted connection.
    void setTraceUser(const std::string& user) { mTraceUser = user; }
    void setTraceCommunications(bool on) { mTraceCommunications = on; }
    void initialize(const sockaddr_in& addr, RtsTcpServer* server, bool allowLastSeqNumRequest);
    void setNanoDecimalPlaces(int places) { mNanoDecimalPlaces = places; }
    void setConnection(const char (&name)[17]);
    void setAccepted(bool accepted) { mAccepted = accepted; }
    // The thread had no timer left for the logon deadline: the connection
    // is closed with a line naming the limit (by the server, once set up).
    bool untimed() const { return mUntimed; }
    void closeUntimed();

    void setThrottleThreshold(long threshold) { mThrottleThreshold = static_cast<int>(threshold); }
    bool connected() const { return !mConnectionClosed; }
    void closeSocket();

    void onTimer(TarvokTimer* timer) override;
    // A turn between the session's ticks (while the thread builds other
    // answers): what is queued is written when all of it fits in what the
    // budget has left, as an answer written at once would be.
    void writeBetweenTicks();
    // Packets written in one go before the other sending sessions get a
    // turn: writing them holds the thread a while.
    static constexpr std::uint32_t cPacketsBeforeATurn = 256;
    // Packets of an answer queued ahead of its socket at most: what the
    // socket did not take of a write. The rest is built as the socket drains.
    static constexpr unsigned long cWindowPackets = 64;
    // Packets one write call takes at most (about 370 KB): fewer calls for
    // the kernel's work on each. A session whose last write was cut builds
    // a window's worth, then twice as much after each write taken whole.
    static constexpr unsigned long cBatchPackets = 256;
    // Timers a logged-on session holds: heartbeat, heartbeat response, sending.
    static constexpr int cLoggedOnTimers = 3;
    void onDisconnect() override;
    void onNetworkData(const char* data, unsigned int length) override;

    // What a test or the server may look at.
    bool isLoggedOn() const { return mLoggedOn; }
    bool isAccepted() const { return mAccepted; }
    bool isInitialized() const { return mInitialized; }
    std::size_t heldBytes() const { return mBufPosition; }
    std::size_t pendingRequests() const { return mActiveRetransRequests.size(); }
    unsigned long queuedPackets() const { return mPacketQueue ? mPacketQueue->getNumEntries() : 0; }
    // Counted among the server's sending sessions (its sending timer runs).
    bool isSending() const { return mSending; }
    // A heartbeat was written and its echo is awaited.
    bool awaitsHeartbeatEcho() const { return mHeartBeatRspTimer.isValid() && !mHeartBeatRspTimer.isPaused(); }
    std::uint32_t lastControlSeqNum() const { return mLastSeqNum; }
    std::uint32_t heartbeatSeqNum() const { return mHeartBeatSeqNum; }
    std::uint64_t bytesSent() const { return mBytesSent; }
    int throttleThreshold() const { return mThrottleThreshold; }
    unsigned attemptsToSendDataCount() const { return mAttemptsToSendDataCount; }
    unsigned maxAttemptsToSendBeforeDisconnect() const { return mMaxAttemptsToSendBeforeDisconnect; }
    const std::string& clientLogStr() const { return mClientLogStr; }
    const char* clientResource() const { return mClientResource; }
    RtsClientEntry* clientEntry() const { return mClientEntry; }
    TarvokTimer& heartbeatTimer() { return mHeartBeatTimer; }
    TarvokTimer& heartbeatRspTimer() { return mHeartBeatRspTimer; }
    TarvokTimer& loginTimeoutTimer() { return mLoginTimeoutTimer; }
    TarvokTimer& sendingTimer() { return mSendingTimer; }
    TarvokTimer& closeConnectionTimer() { return mCloseConnectionTimer; }

private:
    // Framing of received bytes.
    void processRequest(const char* data, int length);
    enum class Framed
    {
        DONE,      // a whole packet handled; its size is in `used`
        NEED_MORE, // an unfinished packet: keep the bytes
        CLOSED,    // the session was closed
    };
    Framed processPacket(const char* packet, std::size_t available, std::size_t& used);
    void refuseIllegalPacket(const char* reason);
    void keepFragment(const char* data, std::size_t length);

    // Logon.
    void handleLogon(const char* message);
    // `rejected` replaces the refusal's usual text in the log.
    void sendLogonResponse(int status, const char* rejected = nullptr);
    // Makes the timers a logged-on session holds; false (none kept) when the
    // thread has no room for all of them.
    bool reserveLoggedOnTimers();

    // Requests.
    void queueRequest(const char* message);
    void processRetransQueue();
    int validateSeqNum(Zunq::RetransmissionRequest* request);
    void sendRetransResponse(Zunq::RetransmissionRequest& request, int status);
    void handleRetrans(Zunq::RetransmissionRequest* request);
    // The cache of the answer in service; null (the answer ended, logged) when gone.
    LineDataCacheManager::LineDataCache* replayCache();
    // Builds the next packet of the answer in service at `out` (room for a
    // packet); its length, 0 for the end mark alone, -1 when that closed the
    // session. `last`: the answer is complete with it.
    int buildPacket(LineDataCacheManager::LineDataCache& cache, char* out, bool& last);
    // Builds the answer in service on into the queue until cWindowPackets
    // are queued or it is complete; false when that closed the session.
    bool fillWindow();
    // Packets still to write: those queued and, for an answer not built in
    // whole, at most one per message left (the last carries the end mark).
    unsigned long packetsToWrite() const;

    // Sending.
    void sendPacket(const char* packet, unsigned int length, bool lastMsgInRetrans);
    // A new entry at the tail of the send queue, the sending timer started; null without memory.
    ZunqUtils::PacketBufferItem* queueEntry();
    bool socketSendPacket(char* packet, unsigned int length);
    bool writeDirect(char* packet, unsigned int length);
    void sendRetry();
    // Writes queued packets, whole ones batched, until `budget` of them left
    // or the socket takes no more; the count written, or -1 when the
    // connection closed.
    int writeQueued(int budget);
    // The answer just queued on a session that had nothing queued leaves now
    // when all of it fits in what this interval's budget has left.
    void sendAtOnce(bool timerWasRunning);
    // Writes up to `most` whole packets with one call: the queued ones (a
    // window at most), then those of the answer in service built behind
    // them. Of those the socket does not take, the queue takes up to a
    // window and the rest is built again later. The packets completed
    // (`whole` when all of them), or -1 when the connection closed.
    int sendBatch(int most, bool& whole);
    // What a packet written in whole leaves behind: the client's count, the
    // end of a request's data, the queue entry.
    void packetWritten(ZunqUtils::PacketBufferItem* entry);
    // The request in service was written to its end.
    void finishRequest();
    void stopSending();

    // Heartbeats.
    void handleHeartbeat();
    void handleHeartbeatResponse(const char* packet);

    // The held fragment, the numbering, the partial write and the requests of a connection.
    void resetStreamState();
    // A control packet of one message in mControlBuffer, number 0 (given when written); its size.
    template <typename Record>
    unsigned int buildControlPacket(const Record& record);
    // Makes the framework timer; false when the thread refused it.
    bool makeTimer(TarvokTimer& timer, unsigned int milliseconds);
    // Makes it; else the connection closes with a line naming the limit.
    // False when closed.
    bool startTimer(TarvokTimer& timer, unsigned int milliseconds, const char* what);
    void timerRefused(const char* what);
    // "thread |name| holds n of the m timers the framework allows (MSG_DISP_FD_NUM + 5)".
    std::string timerLimitText() const;
    // The sending timer, counted among the server's sending sessions; false when closed.
    bool startSending();
    // The heartbeat-response deadline: armed for a whole interval, or paused.
    void startEchoWait();
    void stopEchoWait();
    bool setHeartbeatInterval(unsigned int milliseconds);
    static void stopTimer(TarvokTimer& timer);
    bool debug() const;
    // Whether a line the client caused (and that does not close it) is written.
    bool peerLine();
    bool traceOrDebug() const { return mTraceCommunications || debug(); }

    RtsTcpServer* mServer = nullptr;
    Log* mLog;
    TarvokSession* mSession;
    sockaddr_in mAddr{};
    RtsClientEntry* mClientEntry = nullptr;
    std::uint32_t mLastSeqNum = 0;
    std::uint32_t mHeartBeatSeqNum = 0;
    // The heartbeat before the last: a client busy receiving may echo it late.
    std::uint32_t mPrevHeartBeatSeqNum = 0;
    bool mLoggedOn = false;
    unsigned mHeartbeatInterval = 0;
    TarvokTimer mHeartBeatTimer;
    bool mAccepted = false;
    bool mConnectionClosed = true;
    std::string mIpAddress;
    unsigned mHeartbeatRspInterval = 0;
    unsigned mThrottleInterval = 0;
    std::string mLoggedOnUserId;
    TarvokTimer mCloseConnectionTimer;
    TarvokTimer mHeartBeatRspTimer;
    TarvokTimer mLoginTimeoutTimer;
    unsigned mLoginTimeout = 0;
    int mThrottleThreshold = 100;
    unsigned mMaxNumMessages = 0;
    unsigned mMaxSeqNumGap = 0;
    unsigned mMaxConnection = 0;
    bool mAllowLastSeqNumRequest = false;
    bool mInitialized = false;
    // A fragment of one client packet, never more than a packet's bytes.
    std::size_t mBufPosition = 0;
    char mIncompleteBuffer[cMaxClientPacket] = {};
    // Control packets (logon and retransmission responses) are built here.
    char mControlBuffer[cMaxClientPacket] = {};
    TarvokTimer mSendingTimer;
    Zunq::PacketHeader mHbPacket;
    std::string mClientLogStr;
    bool mTraceCommunications = false;
    std::string mTraceUser;
    bool mIsTraceUser = false;
    char mSep = '|';
    unsigned mHeartbeatRetryInterval = 1;
    unsigned mAttemptsToSendDataCount = 0;
    unsigned mMaxAttemptsToSendBeforeDisconnect = 0;
    std::uint64_t mBytesSent = 0;
    char mClientResource[17] = {};
    std::unique_ptr<PacketQueue> mPacketQueue;
    std::deque<Zunq::RetransmissionRequest> mActiveRetransRequests;
    // The front request was accepted and its data is being written.
    bool mFrontInService = false;
    // The sending interval the session last wrote in: when it began (steady
    // clock) and the packets written in it, so that writing at once between
    // ticks never takes more than one interval's budget.
    std::int64_t mWindowStart = 0;
    int mWindowSent = 0;
    int mNanoDecimalPlaces = 3;
    bool mUntimed = false;
    bool mSending = false;
    // Packets the next write builds at most (cWindowPackets to cBatchPackets).
    int mBuildLimit = static_cast<int>(cWindowPackets);
    // The answer in service, built from `next` on as its socket drains.
    struct Replay
    {
        bool active = false;
        std::uint16_t channel = 0;
        std::uint64_t next = 0;
        std::uint32_t end = 0;
    };
    Replay mReplay;
    PeerLog mPeerLog;
};
