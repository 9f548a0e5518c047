// Remembers the last LineStatus delivered to it, for a component that needs
// the current status of a line or sub-feed without running a monitor. With
// enforcement set it records OFF whatever arrives. Runs on the thread that
// publishes the statuses it is subscribed to.
#pragma once

#include "kelmora/supervision/LineStatus.h"
#include "zunq/bus/Orlu.h"

#include <memory>
#include <string>

class LineStatusManager : public OrluSubscriber<LineStatus>
{
public:
    LineStatusManager();
    ~LineStatusManager() override;

    LineStatusManager(const LineStatusManager&) = delete;
    LineStatusManager& operator=(const LineStatusManager&) = delete;

    // The publisher's name is not looked at.
    void onData(const Orlu<LineStatus>& orlu, const std::string& name, const LineStatus& status) override;

    void setStatus(const LineStatus& status);
    void getStatus(LineStatus& out) const;
    void setEnforceMonitorOff(bool on);

    class LineStatusManagerImpl;

private:
    std::unique_ptr<LineStatusManagerImpl> mImpl;
};
