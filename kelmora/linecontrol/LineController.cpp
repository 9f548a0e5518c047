#include "kelmora/linecontrol/LineController.h"

#include "kelmora/linehandler/LineHandler.h"
#include "kelmora/thread/Runnable.h"
#include "kelmora/thread/TarvokHandler.h"
#include "kelmora/thread/TarvokSession.h"
#include "kelmora/thread/TarvokTimer.h"
#include "zunq/log/Log.h"

#include <cstring>
#include <unordered_map>
#include <vector>

namespace
{

constexpr unsigned int cApplyDelayMs = 1;
const char* const cIndividualGroup = "IndividualControl";

std::string individualKey(const char* address, const char* port)
{
    return std::string(address) + ":" + port;
}

// A request travels to the controller's thread as bytes: action, interval,
// then each text as a presence byte, a 16-bit length and its bytes.
bool putText(Zunq::ThreadData& data, const char* text)
{
    const std::size_t length = text != nullptr ? std::strlen(text) : 0;
    const std::size_t need = 1 + sizeof(std::uint16_t) + length;
    if (length > UINT16_MAX || data.mDataSize + need > Zunq::ThreadData::cMaxData)
        return false;
    char* out = data.mData + data.mDataSize;
    out[0] = text != nullptr ? 1 : 0;
    const auto n = static_cast<std::uint16_t>(length);
    std::memcpy(out + 1, &n, sizeof n);
    std::memcpy(out + 1 + sizeof n, text != nullptr ? text : "", length);
    data.mDataSize = static_cast<std::uint16_t>(data.mDataSize + need);
    return true;
}

bool getText(const Zunq::ThreadData& data, std::size_t& at, std::string& text, bool& present)
{
    if (at + 1 + sizeof(std::uint16_t) > data.mDataSize)
        return false;
    present = data.mData[at] != 0;
    std::uint16_t n = 0;
    std::memcpy(&n, data.mData + at + 1, sizeof n);
    at += 1 + sizeof n;
    if (at + n > data.mDataSize)
        return false;
    text.assign(data.mData + at, n);
    at += n;
    return true;
}

bool encode(const LineControl& control, Zunq::ThreadData& data)
{
    const auto action = static_cast<std::int32_t>(control.getAction());
    const std::uint32_t interval = control.getRevertInterval();
    std::memcpy(data.mData, &action, sizeof action);
    std::memcpy(data.mData + sizeof action, &interval, sizeof interval);
    data.mDataSize = sizeof action + sizeof interval;
    return putText(data, control.mcAddr()) && putText(data, control.addrPort());
}

bool decode(const Zunq::ThreadData& data, LineControl& control)
{
    std::int32_t action = 0;
    std::uint32_t interval = 0;
    if (data.mDataSize < sizeof action + sizeof interval)
        return false;
    std::memcpy(&action, data.mData, sizeof action);
    std::memcpy(&interval, data.mData + sizeof action, sizeof interval);
    std::size_t at = sizeof action + sizeof interval;
    std::string address;
    std::string port;
    bool hasAddress = false;
    bool hasPort = false;
    if (!getText(data, at, address, hasAddress) || !getText(data, at, port, hasPort))
        return false;
    control.setAction(static_cast<LineControl::ContolAction>(action));
    control.setRevertInterval(interval);
    control.setMcAddr(hasAddress ? address.c_str() : nullptr);
    control.setAddrPort(hasPort ? port.c_str() : nullptr);
    return true;
}

} // namespace

class LineControllerImpl;

// Applies the opposite of an applied control once its interval has passed.
class LineReverter : public TarvokTimerHandler
{
public:
    LineReverter(LineControllerImpl& controller, const std::string& subfeed)
        : mController(controller), mSubfeed(subfeed)
    {
    }
    void onTimer(TarvokTimer* timer) override;

    LineControllerImpl& mController;
    const std::string mSubfeed;
    LineControl mControl;
    // The lines a whole-group control changed, which its revert acts on.
    std::vector<LineHandler*> mLines;
};

// One multicast line under individual control.
class IndividualControl : public TarvokTimerHandler
{
public:
    IndividualControl(LineHandler* handler, LineControllerImpl& controller)
        : mLh(handler), mLr(std::make_unique<LineReverter>(controller, cIndividualGroup)), mController(controller)
    {
    }
    void onTimer(TarvokTimer* timer) override;

    LineHandler* mLh;
    std::unique_ptr<LineReverter> mLr;
    TarvokTimer mApplyTimer;
    TarvokTimer mRevertTimer;
    LineControl mControl;
    LineControllerImpl& mController;
};

class LineControllerImpl : public TarvokTimerHandler
{
public:
    // Takes the requests other threads carry to this controller's thread.
    class HopTaker : public OrluSubscriber<Zunq::ThreadData>
    {
    public:
        explicit HopTaker(LineControllerImpl& impl) : OrluSubscriber<Zunq::ThreadData>(impl.mName), mImpl(impl) {}
        void onData(const Orlu<Zunq::ThreadData>&, const std::string&, const Zunq::ThreadData& data) override
        {
            if (data.mDataType != LineController::cThreadDataType || data.mDataPtr1 != &mImpl.mController)
                return;
            LineControl control;
            if (!decode(data, control))
            {
                mImpl.mLog.error() << "LineController(" << mImpl.mName << "): malformed control request dropped";
                return;
            }
            mImpl.receive(control);
        }

    private:
        LineControllerImpl& mImpl;
    };

    LineControllerImpl(LineController& controller, const std::string& name, const std::string& subfeed,
                       TarvokSession& session, Log& log)
        : mController(controller),
          mName(name),
          mSubfeed(subfeed),
          mSession(session),
          mLog(log),
          mReverter(*this, subfeed),
          mHopTaker(*this)
    {
        if (Runnable* owner = mSession.getRunnable())
        {
            mHopBus = owner->getOrluThreadData(LineController::cThreadDataType);
            mHopBus->subscribe(&mHopTaker);
        }
    }

    ~LineControllerImpl() override
    {
        if (mHopBus != nullptr)
            mHopBus->unsubscribe(&mHopTaker);
    }

    void onTimer(TarvokTimer*) override
    {
        processSubfeedControl(mControl, mList);
        mApplyTimer.destroy();
    }

    // On any thread: true when the request was carried to the owner thread
    // (or could not be, which is logged); false when it is to run here.
    bool hopped(const LineControl& control)
    {
        Runnable* target = mSession.getRunnable();
        Runnable* own = Runnable::current();
        if (target == nullptr || mHopBus == nullptr || own == nullptr || own == target)
            return false;
        Zunq::ThreadData data;
        data.mDataType = LineController::cThreadDataType;
        data.mDataPtr1 = &mController;
        char dst[17];
        target->getResourceName(dst);
        if (!encode(control, data))
        {
            mLog.error() << "LineController(" << mName << "): control request texts too long to pass to thread "
                         << dst << "; dropped";
            return true;
        }
        const int rc = own->sendThreadMessageByThreadName(dst, data, false);
        if (rc != 0)
            mLog.error() << "LineController(" << mName << "): cannot pass control request to thread " << dst
                         << ", error " << rc;
        return true;
    }

    // On the owner thread: stores the request and arms its apply timer.
    void receive(const LineControl& control)
    {
        if (control.mcAddr() != nullptr)
        {
            IndividualControl* target = getIndividualControl(control.mcAddr(), control.addrPort());
            if (target == nullptr)
                return;
            if (!arm(target->mApplyTimer, target->mControl, control, target))
                dropped();
            return;
        }
        if (!arm(mApplyTimer, mControl, control, this))
            dropped();
    }

    bool arm(TarvokTimer& timer, LineControl& stored, const LineControl& control, TarvokTimerHandler* handler)
    {
        if (timer.isValid())
        {
            if (!mOverridesExisting || control.getAction() == stored.getAction())
                return false;
            timer.destroy();
        }
        stored = control;
        timer.create(&mSession, handler, cApplyDelayMs, nullptr);
        return true;
    }

    void dropped() { mLog.verbose() << "LineController::onData already processing individual line control"; }

    IndividualControl* getIndividualControl(const char* address, const char* port)
    {
        const std::string key = individualKey(address, port != nullptr ? port : "");
        const auto it = mIndividualControlMap.find(key);
        if (it != mIndividualControlMap.end())
            return it->second;
        mLog.warning() << "LineController::getIndividualControl - could not find individual line control for "
                          "provided multicast params ("
                       << address << "," << (port != nullptr ? port : "") << ")";
        return nullptr;
    }

    void unsupported(LineControl::ContolAction action)
    {
        mLog.warning() << "LineController::onData(LineControl) unsupported control action "
                       << static_cast<long>(action);
    }

    // The group's lines, or those a revert undoes. A line already in the
    // requested state is passed over and the others are acted on; the revert
    // undoes only what this control changed. A control that changed nothing
    // leaves an earlier revert armed.
    void processSubfeedControl(const LineControl& control, const std::vector<LineHandler*>& lines)
    {
        bool (LineControllerImpl::*act)(LineHandler*) = nullptr;
        LineControl::ContolAction revert = LineControl::NONE;
        switch (control.getAction())
        {
        case LineControl::RECONNECT:
            act = &LineControllerImpl::doConnect;
            revert = LineControl::DISCONNECT;
            break;
        case LineControl::DISCONNECT:
            act = &LineControllerImpl::doDisconnect;
            revert = LineControl::RECONNECT;
            break;
        default: unsupported(control.getAction()); return;
        }
        std::vector<LineHandler*> changed;
        for (LineHandler* handler : lines)
            if ((this->*act)(handler))
                changed.push_back(handler);
        if (changed.empty())
            return;
        if (mRevertTimer.isValid())
            mRevertTimer.destroy();
        if (control.getRevertInterval() == 0)
            return;
        mReverter.mControl = LineControl();
        mReverter.mControl.setAction(revert);
        mReverter.mLines = std::move(changed);
        mRevertTimer.create(&mSession, &mReverter, control.getRevertInterval(), nullptr);
    }

    void processIndividualControl(IndividualControl& target)
    {
        const LineControl control = target.mControl;
        LineControl::ContolAction revert = LineControl::NONE;
        switch (control.getAction())
        {
        case LineControl::RECONNECT:
            if (!doConnect(target.mLh))
                return;
            revert = LineControl::DISCONNECT;
            break;
        case LineControl::DISCONNECT:
            if (!doDisconnect(target.mLh))
                return;
            revert = LineControl::RECONNECT;
            break;
        default: unsupported(control.getAction()); return;
        }
        if (target.mRevertTimer.isValid())
            target.mRevertTimer.destroy();
        if (control.getRevertInterval() == 0)
            return;
        LineControl& back = target.mLr->mControl;
        back = LineControl();
        back.setAction(revert);
        back.setMcAddr(control.mcAddr());
        back.setAddrPort(control.addrPort());
        target.mRevertTimer.create(&mSession, target.mLr.get(), control.getRevertInterval(), nullptr);
    }

    void processRevert(const LineControl& control)
    {
        if (control.mcAddr() == nullptr)
        {
            const std::vector<LineHandler*> lines = mReverter.mLines;
            processSubfeedControl(control, lines);
            return;
        }
        IndividualControl* target = getIndividualControl(control.mcAddr(), control.addrPort());
        if (target == nullptr)
        {
            mLog.warning() << "LineController::processRevert - no individual line found for key: "
                           << control.mcAddr();
            return;
        }
        target->mControl = control;
        processIndividualControl(*target);
    }

    bool doConnect(LineHandler* handler)
    {
        if (handler == nullptr)
            return false;
        if (!handler->connected())
        {
            mLog.verbose() << "LineController::doConnect: reconnecting " << handler->getName() << ":true";
            handler->connect();
            return true;
        }
        mLog.verbose() << "LineController::doConnect " << handler->getName() << ":true already joined/connected";
        return false;
    }

    bool doDisconnect(LineHandler* handler)
    {
        if (handler == nullptr)
            return false;
        if (handler->connected())
        {
            mLog.verbose() << "LineController::doDisconnect: disconnecting " << handler->getName() << ":true";
            handler->disconnect();
            return true;
        }
        if (mLog.verboseEnabled())
            mLog.info() << "LineController::doDisconnect " << handler->getName()
                        << ":true already unjoined/disconnected";
        return false;
    }

    LineController& mController;
    const std::string mName;
    const std::string mSubfeed;
    TarvokSession& mSession;
    std::vector<LineHandler*> mList;
    std::unordered_map<std::string, IndividualControl*> mIndividualControlMap;
    // Every individual control made; a replaced one stays, its timers may still run.
    std::vector<std::unique_ptr<IndividualControl>> mIndividualControls;
    Log& mLog;
    TarvokTimer mApplyTimer;
    TarvokTimer mRevertTimer;
    LineControl mControl;
    LineReverter mReverter;
    bool mOverridesExisting = false;
    HopTaker mHopTaker;
    Orlu<Zunq::ThreadData>* mHopBus = nullptr;
};

void LineReverter::onTimer(TarvokTimer* timer)
{
    const LineControl control = mControl;
    mController.processRevert(control);
    timer->destroy();
}

void IndividualControl::onTimer(TarvokTimer*)
{
    mController.processIndividualControl(*this);
    mApplyTimer.destroy();
}

LineController::LineController(const std::string& name, const std::string& subfeed, TarvokSession& session,
                               Log& log)
    : OrluSubscriber<LineControl>(name),
      mImpl(std::make_unique<LineControllerImpl>(*this, name, subfeed, session, log))
{
}

LineController::~LineController() = default;

void LineController::setUseOverridesExisting(bool on)
{
    mImpl->mOverridesExisting = on;
}

bool LineController::getUseOverridesExisting() const
{
    return mImpl->mOverridesExisting;
}

void LineController::addLineHandler(LineHandler* handler)
{
    if (handler == nullptr)
        return;
    mImpl->mLog.verbose() << "LineController::addLineHandler: adding lineHandler true";
    mImpl->mList.push_back(handler);
}

void LineController::addIndividual(LineHandler* handler, const char* address, const char* port)
{
    if (handler == nullptr || address == nullptr || port == nullptr || *address == '\0' || *port == '\0')
        return;
    auto control = std::make_unique<IndividualControl>(handler, *mImpl);
    mImpl->mIndividualControlMap[individualKey(address, port)] = control.get();
    mImpl->mIndividualControls.push_back(std::move(control));
    mImpl->mLog.verbose() << "LineController::addIndividual: adding individual control " << address << ":" << port;
}

void LineController::onData(const Orlu<LineControl>&, const std::string&, const LineControl& control)
{
    if (!mImpl->hopped(control))
        mImpl->receive(control);
}

const std::string& LineController::getControllerName() const
{
    return mImpl->mName;
}

const std::string& LineController::getSubfeed() const
{
    return mImpl->mSubfeed;
}
