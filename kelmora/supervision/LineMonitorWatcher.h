// Switches a sub-feed's line monitor off while the feed's message handler
// sleeps (silent lines are expected then) and on again when it wakes. Follows
// the mode published on the sub-feed's "OrluMhMode" channel and runs on the
// thread that publishes it, the sub-feed's thread.
#pragma once

#include "kelmora/bus/MhMode.h"
#include "kelmora/runtime/InitModule.h"
#include "zunq/bus/Orlu.h"

#include <string>

class LineMonitor;
class Log;

class LineMonitorWatcher : public OrluSubscriber<MhMode>
{
public:
    LineMonitorWatcher(LineMonitor& monitor, Log& log);
    ~LineMonitorWatcher() override;

    LineMonitorWatcher(const LineMonitorWatcher&) = delete;
    LineMonitorWatcher& operator=(const LineMonitorWatcher&) = delete;

    // Entering SLEEP: monitoring off and statistics reset; leaving it:
    // monitoring on. Other changes are only recorded.
    void onData(const Orlu<MhMode>& orlu, const std::string& name, const MhMode& mode) override;

    MhMode::Mode getMode() const { return mMhMode.getMode(); }

private:
    LineMonitor& mMonitor;
    Log& mLog;
    MhMode mMhMode;
};

// One watcher per sub-feed (priority 830) unless LineMonitorOffDuringSleep is
// false; registered as "LineMonitorWatcher" in the sub-feed's group.
template <>
bool InitModule<LineMonitorWatcher>::createModule(ModuleList* list, ZunqConfigManager* config);
