#include "kelmora/linecontrol/BackupLineControl.h"

#include "kelmora/linehandler/LineHandler.h"
#include "kelmora/thread/Runnable.h"
#include "kelmora/thread/TarvokSession.h"
#include "zunq/log/Log.h"

#include <algorithm>
#include <cstring>

namespace
{

Runnable* ownerOf(LineHandler* handler)
{
    return handler->getTarvokSession().getRunnable();
}

} // namespace

// Runs the connects and disconnects carried to a handler's thread.
class BackupLineControl::HopTaker : public OrluSubscriber<Zunq::ThreadData>
{
public:
    explicit HopTaker(BackupLineControl& control)
        : OrluSubscriber<Zunq::ThreadData>("BackupLineControl"), mControl(control)
    {
    }
    void onData(const Orlu<Zunq::ThreadData>&, const std::string&, const Zunq::ThreadData& data) override
    {
        if (data.mDataType != cThreadDataType || data.mDataPtr1 != &mControl || data.mDataSize != 1)
            return;
        // Only handlers of the lists are acted on.
        auto* handler = static_cast<LineHandler*>(const_cast<void*>(data.mDataPtr2));
        const auto& mains = mControl.mMainLineList;
        const auto& backups = mControl.mBackupLineList;
        if (std::find(mains.begin(), mains.end(), handler) == mains.end() &&
            std::find(backups.begin(), backups.end(), handler) == backups.end())
            return;
        if (data.mData[0] != 0)
            handler->connect();
        else
            handler->disconnect();
    }

private:
    BackupLineControl& mControl;
};

BackupLineControl::BackupLineControl(Log& log)
    : OrluSubscriber<BackupLineChange>("BackupLineControl"), mLog(log), mHopTaker(std::make_unique<HopTaker>(*this))
{
}

BackupLineControl::~BackupLineControl()
{
    for (Runnable* runnable : mListening)
        runnable->getOrluThreadData(cThreadDataType)->unsubscribe(mHopTaker.get());
}

void BackupLineControl::addMainLineConnection(LineHandler* handler)
{
    add(mMainLineList, handler);
}

void BackupLineControl::addBackupLineConnection(LineHandler* handler)
{
    add(mBackupLineList, handler);
}

void BackupLineControl::add(std::vector<LineHandler*>& list, LineHandler* handler)
{
    if (handler == nullptr || std::find(list.begin(), list.end(), handler) != list.end())
        return;
    list.push_back(handler);
    listen(handler);
}

void BackupLineControl::listen(LineHandler* handler)
{
    Runnable* owner = ownerOf(handler);
    if (owner == nullptr || !mListening.insert(owner).second)
        return;
    owner->getOrluThreadData(cThreadDataType)->subscribe(mHopTaker.get());
}

bool BackupLineControl::connectedToMainLine() const
{
    return mConnectedToMainLine;
}

void BackupLineControl::onData(const Orlu<BackupLineChange>&, const std::string&, const BackupLineChange&)
{
    const std::vector<LineHandler*>* up = &mBackupLineList;
    const std::vector<LineHandler*>* down = &mMainLineList;
    {
        // Only the state is guarded: a handler's connect may itself publish.
        std::lock_guard lock(mSwitchLock);
        if (mConnectedToMainLine)
        {
            mLog.info() << "BackupLineControl::onData() - Switching from main to backup line.";
        }
        else
        {
            mLog.info() << "BackupLineControl::onData() - Switching from backup to main line.";
            std::swap(up, down);
        }
        mConnectedToMainLine = !mConnectedToMainLine.load();
    }
    for (LineHandler* handler : *up)
        act(handler, true);
    for (LineHandler* handler : *down)
        act(handler, false);
}

void BackupLineControl::act(LineHandler* handler, bool connect)
{
    Runnable* target = ownerOf(handler);
    Runnable* own = Runnable::current();
    // A thread without a Runnable (start-up, a tool) cannot send; it calls.
    if (target == nullptr || own == nullptr || own == target)
    {
        connect ? handler->connect() : handler->disconnect();
        return;
    }
    Zunq::ThreadData data;
    data.mDataType = cThreadDataType;
    data.mDataPtr1 = this;
    data.mDataPtr2 = handler;
    data.mData[0] = connect ? 1 : 0;
    data.mDataSize = 1;
    char dst[17];
    target->getResourceName(dst);
    const int rc = own->sendThreadMessageByThreadName(dst, data, false);
    if (rc != 0)
        mLog.error() << "BackupLineControl: cannot pass " << (connect ? "connect" : "disconnect") << " of "
                     << handler->getName() << " to thread " << dst << ", error " << rc;
}
