// Watches the feed lines of one sub-feed: counts each line's data and
// heartbeats, finds at every quality interval which monitored lines stayed
// silent, and publishes the sub-feed's LineStatus (WAIT, UP, PART, DOWN, OFF,
// DISABLED) on its status channel. Optionally checks sequence numbers per
// line; logs per-line rates when the statistics manager asks; counts inbound
// bandwidth into the sub-feed's record of the statistics segment.
//
// One thread: the bus handlers, the switches and the quality timer run on the
// thread of the sub-feed's session, and the monitor takes no lock. print,
// reset and TerminateAll may arrive on another thread; they are carried onto
// the monitor's thread as a thread message and run there.
#pragma once

#include "kelmora/bus/LineHeartbeat.h"
#include "kelmora/bus/TerminateAll.h"
#include "kelmora/linedata/LineData.h"
#include "kelmora/runtime/InitModule.h"
#include "kelmora/stats/StatsReporter.h"
#include "kelmora/supervision/LineStatus.h"
#include "kelmora/thread/ThreadData.h"
#include "zunq/bus/Orlu.h"

#include <cstdint>
#include <memory>
#include <string>

class Log;
class TarvokSession;
class ZunqStatsWriter;

class LineMonitor : public OrluSubscriber<LineData>,
                    public OrluSubscriber<LineHeartbeat>,
                    public OrluSubscriber<LineStatus>,
                    public OrluPublisher<LineStatus>,
                    public StatsReporter,
                    public OrluSubscriber<TerminateAll>
{
public:
    // Thread messages that carry print, reset and TerminateAll onto the
    // monitor's thread; mDataPtr1 names the monitor they are for.
    static constexpr std::uint32_t cThreadDataType = Zunq::APPLICATION_RESERVED - 28;

    // Registers (or finds) the sub-feed's inbound bandwidth record under
    // `name` when a writer is given. No timer runs until setQualityInterval.
    LineMonitor(const std::string& name, TarvokSession* session, Log* log, ZunqStatsWriter* writer);
    ~LineMonitor() override;

    LineMonitor(const LineMonitor&) = delete;
    LineMonitor& operator=(const LineMonitor&) = delete;

    // Bus entry points; `name` is the publisher's, that is the line's, name.
    void onData(const Orlu<LineData>& orlu, const std::string& name, const LineData& data) override;
    void onData(const Orlu<LineHeartbeat>& orlu, const std::string& name, const LineHeartbeat& heartbeat) override;
    void onData(const Orlu<LineStatus>& orlu, const std::string& name, const LineStatus& status) override;
    void onData(const Orlu<TerminateAll>& orlu, const std::string& name, const TerminateAll& terminate) override;

    // StatsReporter: the report covers `interval` seconds (0 counts as 1).
    void print(unsigned int interval) override;
    void reset(bool full) override;

    // Settings.
    void setQualityInterval(std::uint32_t ms);
    void setCheckSeqNumPerLine(bool on);
    void setInitMonitorOn(bool on);
    bool getInitMonitorOn() const;
    void setEnforceMonitorOff(bool on);
    void setAlwaysCheckUpOnLineData(bool on);
    void setEnableStatsLogging(bool on);
    void setEnableNoDataWarning(bool on);

    // Switches for all lines, and for one line (created when unknown; an
    // empty name means all lines).
    void monitorOn();
    void monitorOff();
    void monitorDisable();
    void monitorOn(const std::string& name);
    void monitorOff(const std::string& name);
    void monitorDisable(const std::string& name);

    const LineStatus& getStatus() const;
    const std::string& getName() const;
    bool getCheckSeqNumPerLine() const;

    // The quality timer's expiry: the down check.
    void onQualityTimer();
    // A line's state by exact name, for reports and tests; null when unknown.
    const LineStatus* getLineStatus(const std::string& name) const;
    // True once TerminateAll has stopped the bandwidth counts.
    bool isCountingStopped() const;

    class LineMonitorImpl;

private:
    std::unique_ptr<LineMonitorImpl> mImpl;
};

// One monitor per sub-feed (priority 770), wired to the sub-feed's heartbeat,
// status and data channels, with its admin methods; registered as
// "LineMonitor" in the sub-feed's group and reporting to the StatsManager.
template <>
bool InitModule<LineMonitor>::createModule(ModuleList* list, ZunqConfigManager* config);
