#include "kelmora/recovery/MessageHandler.h"

#include "zunq/log/Log.h"

struct MessageHandlerImpl
{
    MessageHandlerImpl(const std::string& name, Log& log)
        : mName(name), mLog(log), mLogPrefix("MessageHandler(" + name + "): ")
    {
    }

    const std::string mName;
    Log& mLog;
    const std::string mLogPrefix;
    MhMode mMode{MhMode::UNKNOWN};
    HaMode mHAMode{HaMode::UNKNOWN};
    bool mDebug = false;
    std::uint32_t mSeqNum = 0;
};

MessageHandler::MessageHandler(const std::string& name, Log& log)
    : OrluSubscriber<LineData>(name),
      OrluSubscriber<LineStatus>(name),
      OrluSubscriber<SystemEvent>(name),
      OrluSubscriber<LineAdmin>(name),
      OrluPublisher<MhMode>(name),
      mImpl(std::make_unique<MessageHandlerImpl>(name, log))
{
}

MessageHandler::~MessageHandler() = default;

void MessageHandler::onData(const Orlu<LineStatus>&, const std::string&, const LineStatus& status)
{
    Log& log = mImpl->mLog;
    if (log.verboseEnabled())
        log.verbose() << mImpl->mLogPrefix << "received LineStatus update (cond=" << status.str()
                      << "; mode=" << mImpl->mMode.str() << ")";
}

void MessageHandler::onData(const Orlu<SystemEvent>&, const std::string&, const SystemEvent&)
{
}

void MessageHandler::onData(const Orlu<LineAdmin>&, const std::string&, const LineAdmin& admin)
{
    if (admin.getAction() != LineAdmin::SET_SEQNUM)
        return;
    mImpl->mLog.info() << mImpl->mLogPrefix << "setting sequence number to: " << admin.getSeqNum();
    setSeqNum(static_cast<std::uint32_t>(admin.getSeqNum()));
}

const std::string& MessageHandler::getName() const
{
    return mImpl->mName;
}

std::uint32_t MessageHandler::getSeqNum() const
{
    return mImpl->mSeqNum;
}

void MessageHandler::setSeqNum(std::uint32_t seqNum)
{
    mImpl->mSeqNum = seqNum;
}

const HaMode& MessageHandler::getHAMode() const
{
    return mImpl->mHAMode;
}

void MessageHandler::setHAMode(const HaMode& mode)
{
    MessageHandlerImpl& d = *mImpl;
    d.mLog.info() << d.mLogPrefix << "MessageHandler::setHAMode(): changing mode from '" << d.mHAMode.str() << "' to '"
                  << mode.str() << "'";
    if (mode == HaMode::UNKNOWN)
        d.mLog.warning() << d.mLogPrefix << "MessageHandler::setHaMode(): setting mode to UNKNOWN!";
    d.mHAMode = mode;
}

void MessageHandler::setHAMode(HaMode::Mode mode)
{
    setHAMode(HaMode(mode));
}

void MessageHandler::setHAMode(const std::string& mode)
{
    setHAMode(HaMode(mode));
}

const MhMode& MessageHandler::getMode() const
{
    return mImpl->mMode;
}

void MessageHandler::setMode(const MhMode& mode)
{
    MessageHandlerImpl& d = *mImpl;
    const MhMode::Mode from = d.mMode.getMode();
    const MhMode::Mode to = mode.getMode();
    // Moves among the non-trading modes through TEST are routine; they stay out of the normal log.
    const bool quiet = from != MhMode::NORMAL && to != MhMode::NORMAL && (from == MhMode::TEST || to == MhMode::TEST);
    {
        LogStream line = quiet ? d.mLog.verbose() : d.mLog.info();
        if (line.active())
            line << d.mLogPrefix << "MessageHandler::setMode(): changing mode from '" << d.mMode.str() << "' to '"
                 << mode.str() << "'";
    }
    if (to == MhMode::UNKNOWN)
        d.mLog.warning() << d.mLogPrefix << "MessageHandler::setMode(): setting mode to UNKNOWN!";
    d.mMode = mode;
    publish(d.mMode);
}

void MessageHandler::setMode(MhMode::Mode mode)
{
    setMode(MhMode(mode));
}

void MessageHandler::setMode(const std::string& mode)
{
    setMode(MhMode(mode));
}

void MessageHandler::initialize(const std::string& modeName)
{
    setMode(modeName);
}

void MessageHandler::setDebug(bool on)
{
    mImpl->mDebug = on;
}

bool MessageHandler::getDebug() const
{
    return mImpl->mDebug;
}

Log& MessageHandler::getLog() const
{
    return mImpl->mLog;
}
