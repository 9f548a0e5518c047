#include "kelmora/thread/OrvaneClient.h"

#include "liborvane/OrvaneRecord.h"

#include "kelmora/linedata/LineDataFactory.h"
#include "kelmora/runtime/PeerLog.h"
#include "kelmora/supervision/LineStatus.h"
#include "kelmora/thread/OrvaneIpcMsg.h"
#include "kelmora/thread/TarvokListener.h"
#include "kelmora/thread/TarvokOldMsg.h"
#include "kelmora/thread/TarvokSession.h"
#include "zunq/protocol/ZunqDumpUtils.h"
#include "zunq/log/Log.h"

#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

class OrvaneClient::OrvaneClientImpl
{
public:
    OrvaneClientImpl(OrvaneClient& handler, LineDataFactory& factory, TarvokSession& session, Log& log)
        : mHandler(handler), mFactory(factory), mSession(session), mLog(log)
    {
    }

    void onNetworkData(const char* data, unsigned int len);
    void executeOrvaneCommand(const OrvaneIpcMsg& record);
    void misframed(const orvane::TextField& field);

    OrvaneClient& mHandler;
    LineDataFactory& mFactory;
    TarvokSession& mSession;
    Log& mLog;
    int mBufPosition = 0;
    char mBuffer[orvane::cRecordSize] = {};
    // What the hub's stream causes in the log.
    PeerLog mPeerLog;
};

namespace
{
const char* const cPeerWho = "OrvaneClient (hub)";
}

void OrvaneClient::OrvaneClientImpl::onNetworkData(const char* data, unsigned int len)
{
    std::size_t need = orvane::cRecordSize - static_cast<std::size_t>(mBufPosition);
    while (len > 0)
    {
        if (len < need)
        {
            std::memcpy(mBuffer + mBufPosition, data, len);
            mBufPosition += static_cast<int>(len);
            if (mLog.verboseEnabled())
                mLog.verbose() << "OrvaneClientImpl::onNetworkData(): received " << len << " bytes. waiting for extra "
                               << orvane::cRecordSize - static_cast<std::size_t>(mBufPosition) << " bytes.";
            return;
        }
        std::memcpy(mBuffer + mBufPosition, data, need);
        data += need;
        len -= static_cast<unsigned int>(need);
        mBufPosition = 0;
        need = orvane::cRecordSize;
        if (const orvane::TextField* bad = orvane::badField(mBuffer))
        {
            // Out of step with the records: nothing more of this stream is
            // read, the connection starts afresh.
            misframed(*bad);
            return;
        }
        OrvaneIpcMsg record;
        std::memcpy(&record, mBuffer, sizeof record);
        executeOrvaneCommand(record);
        // An admin method may have taken the line down meanwhile.
        if (!mHandler.connected())
            return;
    }
}

void OrvaneClient::OrvaneClientImpl::misframed(const orvane::TextField& field)
{
    if (mPeerLog.admit(mLog, cPeerWho))
        mLog.error() << "OrvaneClientImpl::onNetworkData(): record from " << mHandler.getTcpIpAddress() << ":"
                     << mHandler.getTcpService() << " is out of step: its " << field.name
                     << " is not terminated text followed by zero bytes ("
                     << ZunqDumpUtils::writePeerBytes(mBuffer + field.offset, field.size)
                     << "); not executed, reconnecting";
    mHandler.onLineDown("misframed admin record", LineStatus::DOWN, true);
    mHandler.disconnect();
    mHandler.setLineStatus(LineStatus::DOWN);
    mHandler.connect();
    if (!mHandler.connected() && !mHandler.connectInProgress() && !mHandler.isStopped() &&
        !mHandler.reconnectTimerActive())
        mLog.error() << "OrvaneClient::onNetworkData(): no reconnect timer: the thread holds as many as the framework "
                        "allows (MSG_DISP_FD_NUM + 5); the admin line stays down";
}

void OrvaneClient::OrvaneClientImpl::executeOrvaneCommand(const OrvaneIpcMsg& record)
{
    std::vector<TarvokListener*> listeners;
    mSession.getOrvaneRequestListener(record.mSubject, listeners);
    if (listeners.empty())
        return;
    TarvokOldMsg msg;
    msg.setSendSubject(record.mSubject);
    msg.setReplySubject(record.mReplySubject);
    msg.setArgs(record.mArgs);
    msg.setKeshName(record.mKeshName);
    msg.setMethod(record.mMethod);
    // Each line carries what a peer sent: limited as the peer's lines are.
    if (mLog.enabled(LOG_LEVEL_INFO) && mPeerLog.admit(mLog, cPeerWho))
        mLog.info() << "OrvaneClient::executeOrvaneCommand(): subject["
                    << ZunqDumpUtils::writePeerBytes(record.mSubject, ::strnlen(record.mSubject, sizeof record.mSubject))
                    << "] args[" << ZunqDumpUtils::writePeerBytes(record.mArgs, ::strnlen(record.mArgs, sizeof record.mArgs))
                    << "] reply subjet["
                    << ZunqDumpUtils::writePeerBytes(record.mReplySubject,
                                                     ::strnlen(record.mReplySubject, sizeof record.mReplySubject))
                    << "]";
    for (TarvokListener* listener : listeners)
        if (TarvokMsgHandler* handler = listener->getMsgHandler())
            handler->onMsg(listener, msg);
}

OrvaneClient::OrvaneClient(LineDataFactory& factory, TarvokSession& session, Log& log)
    : LineHandlerLogin(factory, session, log), OrluSubscriber<Zunq::ThreadStatus>("OrvaneClient"),
      OrluPublisher<OrvaneConnected>("OrvaneConnected"),
      mImpl(std::make_unique<OrvaneClientImpl>(*this, factory, session, log))
{
}

OrvaneClient::~OrvaneClient()
{
    DroskUtils::destroyCmds(mFailoverActions);
    DroskUtils::destroyCmds(mDRFailoverActions);
}

void OrvaneClient::onTcpConnect()
{
    mImpl->mBufPosition = 0;
    mImpl->mLog.info() << "OrvaneClient::onTcpConnect(): connected";
    LineHandlerLogin::onTcpConnect();
    if (OrluPublisher<OrvaneConnected>::getDestination() != nullptr)
        OrluPublisher<OrvaneConnected>::publish(OrvaneConnected{});
}

void OrvaneClient::onTcpDisconnect()
{
    mImpl->mBufPosition = 0;
    mImpl->mLog.info() << "OrvaneClient::onTcpDisconnect(): socket is disconnected. clear the buffer";
    mImpl->mPeerLog.close(mImpl->mLog, cPeerWho);
    LineHandlerLogin::onTcpDisconnect();
}

void OrvaneClient::onNetworkData(const char* data, unsigned int len)
{
    if (connected())
        mImpl->onNetworkData(data, len);
}

int OrvaneClient::bufferedBytes() const
{
    return mImpl->mBufPosition;
}

void OrvaneClient::onData(const Orlu<Zunq::ThreadStatus>&, const std::string&, const Zunq::ThreadStatus& status)
{
    if (status.mState != Zunq::THD_SW_ACTIVE)
        return;
    mImpl->mLog.info() << "OrvaneClient::onData(): received THD_SW_ACTIVE";
    runActions(getFailoverActionsContext());
}

void OrvaneClient::setFailoverActions(const std::string& text)
{
    DroskUtils::KeshCmd** list = DroskUtils::constructCmds(text.c_str(), &mImpl->mLog);
    DroskUtils::destroyCmds(mFailoverActions);
    mFailoverActions = list;
}

void OrvaneClient::setDRFailoverActions(const std::string& text)
{
    DroskUtils::KeshCmd** list = DroskUtils::constructCmds(text.c_str(), &mImpl->mLog);
    DroskUtils::destroyCmds(mDRFailoverActions);
    mDRFailoverActions = list;
}

DroskUtils::KeshCmd** OrvaneClient::getFailoverActionsContext() const
{
    if (mDRActive && mDRFailoverActions != nullptr && mDRFailoverActions[0] != nullptr)
        return mDRFailoverActions;
    return mFailoverActions;
}

void OrvaneClient::runActions(DroskUtils::KeshCmd** list)
{
    if (list == nullptr)
        return;
    for (DroskUtils::KeshCmd** entry = list; *entry != nullptr; ++entry)
    {
        DroskUtils::KeshCmd* cmd = *entry;
        if (!validateSendAction(cmd))
            continue;
        if (cmd->mType == DroskUtils::TOUCH)
        {
            runTouchAction(cmd);
            continue;
        }
        OrvaneIpcMsg record;
        std::memset(&record, 0, sizeof record);
        orvane::putField(record.mSubject, sizeof record.mSubject, cmd->mSubject);
        std::string args;
        if (cmd->mpArgv != nullptr)
            for (char** word = cmd->mpArgv; *word != nullptr; ++word)
            {
                if (word != cmd->mpArgv)
                    args += '\t';
                args += *word;
            }
        orvane::putField(record.mArgs, sizeof record.mArgs, args.c_str());
        executeOrvaneCommand(record);
    }
}

void OrvaneClient::runTouchAction(const DroskUtils::KeshCmd* cmd)
{
    if (cmd == nullptr || cmd->mSubject == nullptr)
        return;
    mImpl->mLog.info() << "ZunqDrosk::runTouchAction()..creating file [" << cmd->mSubject << "] for process ["
                       << (cmd->mProcess != nullptr ? cmd->mProcess : "") << "]";
    const int fd = ::open(cmd->mSubject, O_RDWR | O_CREAT | O_CLOEXEC, 0664);
    if (fd >= 0)
        ::close(fd);
}

bool OrvaneClient::validateSendAction(const DroskUtils::KeshCmd* cmd)
{
    Log& log = mImpl->mLog;
    const char* subject = cmd->mSubject != nullptr ? cmd->mSubject : "";
    if (log.verboseEnabled())
        log.verbose() << "OrvaneClient::validateSendAction().. checking if it is ok to run cmd [" << subject << "]";
    if (std::strcmp(subject, cDatabaseFailoverSubject) == 0)
    {
        if (!mDatabaseFailedOver)
            return true;
        if (!mDatabaseOrvanesSent)
        {
            mDatabaseOrvanesSent = true;
            return true;
        }
        log.info() << "OrvaneClient::validateSendAction().. not sending database failover, as database has already "
                      "failed over";
        return false;
    }
    if (cmd->mType != DroskUtils::TOUCH)
        return true;
    if (cmd->mProcess == nullptr || std::strcmp(cmd->mProcess, cDatabaseProcess) != 0)
        return true;
    if (!mDatabaseFailedOver)
    {
        mDatabaseFailedOver = true;
        return true;
    }
    log.info() << "OrvaneClient::validateSendAction().. not running touch action as database already failed over.";
    return false;
}

void OrvaneClient::executeOrvaneCommand(const OrvaneIpcMsg& record)
{
    mImpl->executeOrvaneCommand(record);
}
