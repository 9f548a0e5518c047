// The refresh client: brings a channel's message handler up to date from the
// channel's refresh lines, multicast lines on which the exchange repeats a
// snapshot of the channel in cycles, each closed by a refresh-complete message
// (type 203). On a RefreshRequest it joins the channel's refresh lines and,
// when asked, has the channel's line filter hold back all realtime data; the
// first refresh-complete message opens a cycle, whose packets are cached in
// order until the next one closes it. A refresh-complete message splits its
// packet: the messages before it belong to the cycle it closes, those after
// it to the cycle it opens. With two or more lines, a packet that comes ahead
// of a gap is kept until another line fills the gap; the cycle is given up
// once its end came on every line with the gap still open. Then it resets
// the handler, replays the cached messages into it, leaves the lines, sets
// the filter to expect the number after the snapshot, lets it release what
// it held and publishes MsgPubAdmin FLUSH.
//
// One client serves every refresh channel of the process, so the channels'
// lines, filters and handlers share one session thread: everything runs
// there, without locks. A request published on another thread reaches it as a
// thread message. A refresh that does not end within its time-out is
// cancelled, so a source that never closes a cycle cannot hold realtime data
// for ever.
//
// Packets are copied into entries of one pool shared by all channels, which
// grows for a cycle longer than its size but not for packets kept ahead of a
// gap; a packet that cannot be kept (over 1472 bytes, or no room) gives its
// cycle up, and the replay walks only the bytes a packet holds.
#pragma once

#include "kelmora/bus/MsgPubAdmin.h"
#include "kelmora/bus/RefreshRequest.h"
#include "kelmora/linedata/LineData.h"
#include "kelmora/runtime/InitModule.h"
#include "kelmora/supervision/LineStatus.h"
#include "kelmora/thread/ThreadData.h"
#include "zunq/bus/Orlu.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace DRAVEK::Recovery
{
class MessageHandlerZunq;
}
class LineDataFactoryDravek;
class LineFilter;
class LineHandlerMulticast;
class Log;
class TarvokSession;

class LineHandlerZunqRefresh : public OrluSubscriber<RefreshRequest>,
                               public OrluSubscriber<LineData>,
                               public OrluSubscriber<LineStatus>,
                               public OrluPublisher<LineData>,
                               public OrluPublisher<MsgPubAdmin>
{
public:
    // Monotonic nanoseconds; the time-out reads it.
    using Clock = std::function<std::int64_t()>;

    // A request carried to the client's thread.
    static constexpr std::uint32_t cRequestHopType = Zunq::APPLICATION_RESERVED - 50;
    // The most bytes a cached packet holds.
    static constexpr std::uint32_t cMaxPacketSize = 1472;
    static constexpr long cDefaultTimeoutMs = 300000;

    // `cacheSize` entries (at least 1) in the pool "RefreshLineDataPool".
    LineHandlerZunqRefresh(Log& log, long cacheSize);
    ~LineHandlerZunqRefresh() override;

    LineHandlerZunqRefresh(const LineHandlerZunqRefresh&) = delete;
    LineHandlerZunqRefresh& operator=(const LineHandlerZunqRefresh&) = delete;

    // A request or cancel from a line filter, on any thread.
    void onData(const Orlu<RefreshRequest>& orlu, const std::string& source, const RefreshRequest& request) override;
    // Refresh packets from the private bus of the refresh lines.
    void onData(const Orlu<LineData>& orlu, const std::string& source, const LineData& data) override;
    // Status of the refresh lines: not used.
    void onData(const Orlu<LineStatus>& orlu, const std::string& source, const LineStatus& status) override;

    // Wiring, before the framework runs. The session is the thread the client
    // runs on; every line must be built on a session of that thread (a line
    // of another thread is refused: null and an error line).
    void setSession(TarvokSession& session);
    TarvokSession* getSession() const;
    void addMessageHandler(std::uint32_t channelId, DRAVEK::Recovery::MessageHandlerZunq* handler);
    void addLineFilter(std::uint32_t channelId, LineFilter* filter);
    LineHandlerMulticast* addLineHandlerMulticast(std::uint32_t channelId, LineDataFactoryDravek& factory,
                                                  TarvokSession& session);
    void setMaxMulticastReadsPerChance(long reads);
    // How long a refresh may run before it is cancelled; at least 1 ms.
    void setRefreshTimeout(long milliseconds);
    void setClock(Clock clock);

    // A request: handled at once on the client's thread (or before the
    // framework runs), carried there from any other framework thread.
    void handleRefreshRequest(const std::string& source, const RefreshRequest& request);

    // Cancels every refresh that has run longer than its time-out; the
    // client's timer calls it.
    void checkTimeouts();

    // What the client holds, for operators and tests.
    bool isActive(std::uint32_t channelId) const;
    bool isSpooling(std::uint32_t channelId) const;
    unsigned long getCachedPackets(std::uint32_t channelId) const;
    std::uint32_t getPublishSeqNum(std::uint32_t channelId) const;
    std::vector<LineHandlerMulticast*> getLines(std::uint32_t channelId) const;
    LineFilter* getLineFilter(std::uint32_t channelId) const;
    DRAVEK::Recovery::MessageHandlerZunq* getMessageHandler(std::uint32_t channelId) const;
    // Entries of the shared pool in use.
    long getPoolUsage() const;

    class Impl;

private:
    std::unique_ptr<Impl> mImpl;
};

// Factory "LineHandlerZunqRefresh" (priority 800): one client for every live
// sub-feed that lists refresh lines (RefreshListen), when
// LineHandlerZunqRefreshEnabled is set and no input file is read.
template <>
bool InitModule<LineHandlerZunqRefresh>::createModule(ModuleList* list, ZunqConfigManager* config);
