// The retransmission client of a retransmission sub-feed: fills the sequence
// gaps of the live multicast sub-feeds it serves from a retransmission
// server over one logged-on TCP session. The live sub-feeds' line filters
// publish RetransRequest; the client cuts each range into pieces of at most
// MaxRetransRequestRange - 1 numbers, sends them one at a time, republishes
// every returned packet as recovery line data on the raw line data bus of
// the live channel it belongs to, and publishes RetransComplete once the
// range's numbers have all come. A range the server refuses as unavailable
// or too large may become a RefreshRequest for the channel instead, which
// asks for the channel's realtime data to be held until the refresh ends.
//
// No server is trusted: an answer must number its data from the range's
// first number on without a hole; a packet sent again is published once,
// messages past the range's end are not published, and anything else takes
// the line down so that the range is asked again. A range left unfinished
// for longer than the request time-out is given up. A connection that ends
// before its logon was accepted, or before the range it carried was
// complete, sends the next attempt to the next server of the hunt list.
//
// Everything runs on the thread of the client's session and takes no lock.
// A request published on another thread reaches the client through a thread
// message, and a live channel whose sub-feed runs on another thread gets its
// packets and completions the same way, in order, on that thread.
#pragma once

#include "kelmora/bus/RefreshRequest.h"
#include "kelmora/bus/RetransComplete.h"
#include "kelmora/bus/RetransRequest.h"
#include "kelmora/linehandler/LineHandlerLogin.h"
#include "kelmora/thread/ThreadData.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class LineDataFactoryDravek;
class LineMonitor;
class LineHandlerZunqRetransImpl;
class RetransRequestHop;
class Runnable;

class LineHandlerZunqRetrans : public LineHandlerLogin,
                               public OrluSubscriber<RetransRequest>,
                               public OrluPublisher<RetransComplete>,
                               public OrluPublisher<RefreshRequest>
{
public:
    // Thread messages: a request for the client's thread, packets and
    // completions for a live sub-feed's thread.
    static constexpr std::uint32_t cRequestHopType = Zunq::APPLICATION_RESERVED - 40;
    static constexpr std::uint32_t cLiveHopType = Zunq::APPLICATION_RESERVED - 41;
    // The most ranges the queue holds: a request that would split into more
    // is refused rather than let a tiny split size exhaust memory.
    static constexpr std::size_t cMaxQueuedRanges = 100000;
    // How long a range may stay outstanding by default.
    static constexpr unsigned int cDefaultRequestTimeoutMillis = 60000;

    LineHandlerZunqRetrans(LineDataFactoryDravek& factory, TarvokSession& session, Log& log);
    ~LineHandlerZunqRetrans() override;

    // Line handler operations.
    void tryConnect() override;
    void onTcpConnect() override;
    void onTcpDisconnect() override;
    void onConnectFail() override;
    void bounceLine(const std::string& reason, LineStatus::StatusType status, bool isError) override;
    void onNetworkData(const char* data, unsigned int length) override;
    void createHeartbeatPacket(char* buffer, int& length) override;
    void createLoginPacket(char* buffer, int& length) override;

    // The line's name, not a bus base's.
    void setName(const std::string& name) { LineHandler::setName(name); }
    const std::string& getName() const { return LineHandler::getName(); }

    using LineHandler::onData;
    // A request or cancel from a live sub-feed's line filter.
    void onData(const Orlu<RetransRequest>& orlu, const std::string& name, const RetransRequest& request) override;

    // Wiring, before the threads start. The first mapping of a channel
    // stays. `owner` is the thread of the live sub-feed when it is not the
    // client's: its packets and completions are then published there.
    void addOrluLineData(const std::uint32_t& channelId, Orlu<LineData>* orlu, Runnable* owner = nullptr);
    void addOrluRetransComplete(const std::uint32_t& channelId, Orlu<RetransComplete>* orlu);
    // A split size of 0 or 1 (or less) means no splitting.
    void setMaxRetransRequestRange(long range);
    void setTraceRetransCommiunications(bool on);
    void setRefreshEnabled(bool on);
    void setLineMonitor(LineMonitor* monitor);
    // How long a range may stay outstanding before it is given up and the
    // line bounced; 0 is taken as 1 ms.
    void setRequestTimeout(unsigned int millis);
    unsigned int getRequestTimeout() const;

    // The cancel step alone: entries of the request's feed that end no later
    // than it are dropped, the front one marked so its refusal asks for no
    // refresh.
    void cancelRequest(const RetransRequest& request);

    // What the client holds, for operators and tests.
    std::size_t getQueueSize() const;
    bool isRequestOutstanding() const;
    // Distinct numbers of the outstanding range received so far.
    std::uint64_t getMsgsFilled() const;

private:
    friend class LineHandlerZunqRetransImpl;
    friend class RetransRequestHop;
    std::unique_ptr<LineHandlerZunqRetransImpl> mImpl;
};
