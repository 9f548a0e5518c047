// The sequencing stage of one sub-feed: takes every raw LineData record,
// republishes the in-order ones on the filtered channel in one direct call,
// spools early ones, asks for missing ranges, closes gaps by their limits
// (skip, halt or shut down), follows sequence resets and admin changes, and
// asks for the backup line when the line goes quiet. A control record that a
// second line delivers again is published once.
//
// One thread: everything, timer expiries included, runs on the thread of the
// sub-feed's session; the filter takes no lock. Sequence numbers compare as
// 32-bit serial numbers, so the filter follows a feed across 2^32.
#pragma once

#include "kelmora/bus/BackupLineChange.h"
#include "kelmora/bus/LineAdmin.h"
#include "kelmora/bus/MhMode.h"
#include "kelmora/bus/MsgPubAdmin.h"
#include "kelmora/bus/MsgStartOfDay.h"
#include "kelmora/bus/RefreshRequest.h"
#include "kelmora/bus/RetransRequest.h"
#include "kelmora/bus/SeqNumGap.h"
#include "kelmora/linedata/LineData.h"
#include "zunq/bus/Orlu.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class Log;
class LineDataFactory;
class TarvokSession;

class LineFilter : public OrluSubscriber<LineData>,
                   public OrluSubscriber<LineAdmin>,
                   public OrluSubscriber<MsgStartOfDay>,
                   public OrluSubscriber<MhMode>,
                   public OrluPublisher<LineData>,
                   public OrluPublisher<RetransRequest>,
                   public OrluPublisher<SeqNumGap>,
                   public OrluPublisher<MsgPubAdmin>,
                   public OrluPublisher<BackupLineChange>,
                   public OrluPublisher<RefreshRequest>
{
public:
    // Monotonic nanoseconds; the minimum interval between sequence sets reads it.
    using Clock = std::function<std::int64_t()>;

    // The timers are created on `session`, whose thread runs the filter.
    LineFilter(const std::string& name, TarvokSession& session, Log& log, LineDataFactory* factory,
               bool backupLineEnabled);
    ~LineFilter() override;

    LineFilter(const LineFilter&) = delete;
    LineFilter& operator=(const LineFilter&) = delete;

    // Bus entry points.
    void onData(const Orlu<LineData>& orlu, const std::string& source, const LineData& data) override;
    void onData(const Orlu<LineAdmin>& orlu, const std::string& source, const LineAdmin& admin) override;
    void onData(const Orlu<MsgStartOfDay>& orlu, const std::string& source, const MsgStartOfDay& msg) override;
    void onData(const Orlu<MhMode>& orlu, const std::string& source, const MhMode& mode) override;

    // Timer expiries: the 100 ms gap tick and the end of a heartbeat-control
    // cycle. The filter's own timers call these; tests may drive them directly.
    void onGapTimer();
    void onHeartbeatsControlTimer();
    // True while the gap timer would be armed (a time limit set and no halt in force).
    bool isGapTimerRunning() const;
    bool isHeartbeatsControlRunning() const;

    void setFeedId(const std::string& feedId);
    void setRetransActive(bool on);
    void setDiscardForwardRetrans(bool on);
    void setRetransMaxGapSize(unsigned long size);
    void setGapLimitSize(unsigned long size);
    void setGapLimitStartOfDay(unsigned long size);
    void setGapLimitTime(double seconds);
    void setGapLimitTimeOriginal(double seconds);
    void setGapShutdown(bool on);
    void setResumeOnGapFill(bool on);
    void setRequestRetransTime(double seconds);
    void setCheckEveryMessageInBlock(bool on);
    void setLogRetrans(bool on);
    void setContinueProcessingAfterTimeOut(bool on);
    void setSendPubFlushMsg(bool on);
    void setHeartbeatsHavePrevSeqNum(bool on);
    void setIgnoreAllDataInSleepMode(bool on);
    void setMinSeqNumberSetInterval(double seconds);
    void setAutoSeqNumberResetDetect(bool on);
    void setAutoSeqNumberResetHighWater(unsigned int mark);
    void setAutoSeqNumberResetLowWater(unsigned int mark);
    void setRefreshOnSeqReset(bool on);
    void setPublishWholeBlocks(bool on);
    void setHandleBackwardSequenceReset(bool on);
    void setBackwardSequenceResetTimeLimit(long limit);
    void setHeartbeatsControlTime(double milliseconds);
    void setNumberHeartbeatsPerControlTime(double count);
    void setMaxValidGapSize(unsigned long size);
    void setFhMode(MhMode::Mode mode);
    void setInDRRecovery(bool on);
    void setSpoolAll(bool on);
    void setNextSeqNum(long seqNum, bool leaveDetectZone);
    void setClock(Clock clock);

    // The last in-order number (next expected minus 1).
    std::uint32_t getSeqNum() const;
    std::uint32_t getNextSeqNum() const;
    std::size_t getSpoolSize() const;
    bool isChannelDead() const;

    bool retransRequestDRRecoveryGap();
    void sendTestRetransRequest(unsigned int& begin, unsigned int& end, const char* feedId);

    class LineFilterImpl;

private:
    std::unique_ptr<LineFilterImpl> mImpl;
};
