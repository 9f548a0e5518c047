#include "kelmora/supervision/LineMonitorWatcher.h"

#include "kelmora/supervision/LineMonitor.h"
#include "zunq/log/Log.h"

LineMonitorWatcher::LineMonitorWatcher(LineMonitor& monitor, Log& log)
    : OrluSubscriber<MhMode>("LineMonitorWatcher"), mMonitor(monitor), mLog(log)
{
}

LineMonitorWatcher::~LineMonitorWatcher() = default;

void LineMonitorWatcher::onData(const Orlu<MhMode>&, const std::string&, const MhMode& mode)
{
    if (mLog.verboseEnabled())
        mLog.verbose() << "LineMonitorWatcher: received notification of mode update: " << mode.str();
    if (mode.getMode() == mMhMode.getMode())
    {
        mLog.verbose() << "LineMonitorWatcher: ... no action taken since mode has not changed";
        return;
    }
    if (mMhMode.getMode() == MhMode::SLEEP)
    {
        mMonitor.monitorOn();
        mLog.info() << "LineMonitorWatcher: line monitoring is ON";
    }
    else if (mode.getMode() == MhMode::SLEEP)
    {
        mMonitor.monitorOff();
        mMonitor.reset(true);
        mLog.info() << "LineMonitorWatcher: line monitoring is OFF";
    }
    else
    {
        mLog.verbose() << "LineMonitorWatcher: no action taken";
    }
    mMhMode = mode;
}
