#include "kelmora/supervision/LineStatusManager.h"

class LineStatusManager::LineStatusManagerImpl
{
public:
    LineStatus mStatus = LineStatus::UNKNOWN;
    bool mEnforceMonitorOff = false;
};

LineStatusManager::LineStatusManager()
    : OrluSubscriber<LineStatus>("LineStatusManager"), mImpl(std::make_unique<LineStatusManagerImpl>())
{
}

LineStatusManager::~LineStatusManager() = default;

void LineStatusManager::onData(const Orlu<LineStatus>&, const std::string&, const LineStatus& status)
{
    mImpl->mStatus = mImpl->mEnforceMonitorOff ? LineStatus(LineStatus::OFF) : status;
}

void LineStatusManager::setStatus(const LineStatus& status)
{
    mImpl->mStatus = status;
}

void LineStatusManager::getStatus(LineStatus& out) const
{
    out = mImpl->mStatus;
}

void LineStatusManager::setEnforceMonitorOff(bool on)
{
    mImpl->mEnforceMonitorOff = on;
}
