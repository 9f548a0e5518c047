#include "kelmora/linehandler/LineHandler.h"

#include "kelmora/linehandler/LineHandlerImpl.h"
#include "kelmora/thread/Runnable.h"
#include "kelmora/thread/TarvokSession.h"
#include "zunq/log/Log.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace
{
const char* const cBaseName = "LineHandler";
const char* const cEofReason = "End-of-File or server closed connection";
const char* const cEndOfReplay = "End of recovery file";

LogStream levelled(Log& log, bool isError)
{
    return isError ? log.error() : log.info();
}
} // namespace

LineHandler::LineHandler(LineDataFactory* factory, TarvokSession& session, Log& log)
    : OrluPublisher<LineData>(cBaseName), OrluPublisher<LineHeartbeat>(cBaseName),
      OrluPublisher<LineStatus>(cBaseName), OrluPublisher<SystemEvent>(cBaseName),
      OrluPublisher<TerminateAll>(cBaseName), OrluSubscriber<Zunq::ThreadData>(cBaseName), mLog(log),
      mImpl(std::make_unique<LineHandlerImpl>(*this, factory, session, log))
{
    if (Runnable* runnable = session.getRunnable())
        runnable->getOrluThreadData(Zunq::FILE_RECOVERY)->subscribe(this);
}

LineHandler::~LineHandler()
{
    stop(false);
    // The thread's bus must not keep the address of a handler that is gone.
    if (Runnable* runnable = mImpl->mSession.getRunnable())
        runnable->getOrluThreadData(Zunq::FILE_RECOVERY)->unsubscribe(this);
}

void LineHandler::stop(bool publishTerminateAll)
{
    mLog.info() << "LineHandler::terminate(): stopping this LineHandler";
    if (!mImpl->mTerminateAll)
    {
        mLog.info() << " (note other LineHandlers may still be running)";
        return;
    }
    mLog.info() << " and stopping entire process";
    if (publishTerminateAll)
        OrluPublisher<TerminateAll>::publish(TerminateAll(cBaseName));
}

void LineHandler::terminate()
{
    stop(true);
}

bool LineHandler::check(LineData&)
{
    return true;
}

void LineHandler::save(LineData& data)
{
    // Called for every message; most lines keep no recovery file.
    if (mImpl->mRecoveryOutput != nullptr)
        mImpl->save(data);
}

void LineHandler::lineDown(const std::string& reason, LineStatus::StatusType status, bool isError)
{
    levelled(mLog, isError) << "LineHandler::lineDown: " << reason;
    onLineDown(reason, status, isError);
}

void LineHandler::bounceLine(const std::string& reason, LineStatus::StatusType status, bool isError)
{
    levelled(mLog, isError) << "LineHandler::bounceLine: " << reason;
    mImpl->bProcessRecoveryFile = false;
    disconnect();
    setLineStatus(status);
    mImpl->closeInput();
    connect();
}

void LineHandler::lineEof(LineEof&)
{
    const bool isError = mImpl->mDisconnectIsError;
    lineDown(cEofReason, LineStatus::DOWN, isError);
    bounceLine(cEofReason, LineStatus::DOWN, isError);
}

void LineHandler::lineError(LineError& e)
{
    lineDown(e.what(), LineStatus::DOWN, true);
    bounceLine(e.what(), LineStatus::DOWN, true);
}

void LineHandler::lineConnectError(LineConnectError& e)
{
    lineDown(e.what(), LineStatus::DOWN, true);
    bounceLine(e.what(), LineStatus::DOWN, true);
}

void LineHandler::lineTerminate(LineTerminate&)
{
    terminate();
}

void LineHandler::invalidArg(std::invalid_argument& e)
{
    lineDown(e.what(), LineStatus::DOWN, true);
    bounceLine(e.what(), LineStatus::DOWN, true);
}

void LineHandler::onData(const Orlu<Zunq::ThreadData>&, const std::string&, const Zunq::ThreadData& data)
{
    if (data.mDataType != Zunq::FILE_RECOVERY || data.mDataPtr1 != this)
    {
        mLog.verbose() << "LineHandler::onData(): message not to LineHandler";
        return;
    }
    // A signal still queued when a bounce or stop ended the replay.
    if (!mImpl->bProcessRecoveryFile)
        return;
    // The line exceptions end here: nothing may leave the thread's delivery.
    try
    {
        try
        {
            mImpl->readRecovery();
        }
        catch (LineEof&)
        {
            endReplay();
        }
    }
    catch (LineEof& e)
    {
        lineEof(e);
    }
    catch (LineConnectError& e)
    {
        lineConnectError(e);
    }
    catch (LineError& e)
    {
        lineError(e);
    }
    catch (std::invalid_argument& e)
    {
        invalidArg(e);
    }
    catch (LineTerminate& e)
    {
        lineTerminate(e);
    }
}

void LineHandler::endReplay()
{
    if (mImpl->mData != nullptr)
        mImpl->mData->setIsRecovery(false);
    mImpl->bProcessRecoveryFile = false;
    bounceLine(cEndOfReplay, LineStatus::DOWN, true);
}

void LineHandler::setName(const std::string& name)
{
    mImpl->mName = name;
    OrluPublisher<LineData>::setName(name);
    OrluPublisher<LineHeartbeat>::setName(name);
    OrluPublisher<LineStatus>::setName(name);
    OrluPublisher<SystemEvent>::setName(name);
    OrluPublisher<TerminateAll>::setName(name);
    OrluSubscriber<Zunq::ThreadData>::setName(name);
}

const std::string& LineHandler::getName() const
{
    return mImpl->mName;
}

void LineHandler::setFeedName(const std::string& name)
{
    if (mImpl->mFeedName.empty())
        mImpl->mFeedName = name;
}

const std::string& LineHandler::getFeedName() const
{
    return mImpl->mFeedName;
}

void LineHandler::setUsesRecoveryFile(bool on)
{
    mImpl->mUsesRecoveryFile = on;
}

bool LineHandler::getUsesRecoveryFile() const
{
    return mImpl->mUsesRecoveryFile;
}

void LineHandler::setTerminateAll(bool on)
{
    mImpl->mTerminateAll = on;
}

TarvokSession& LineHandler::getTarvokSession() const
{
    return mImpl->mSession;
}

std::uint32_t LineHandler::getMsgCount() const
{
    return mImpl->mMsgCount;
}

void LineHandler::addMsgCount(unsigned int n)
{
    mImpl->mMsgCount += n;
}

void LineHandler::setLineStatus(LineStatus::StatusType status)
{
    if (mLineStatus.type() == status)
        return;
    mLineStatus = LineStatus(status);
    mLog.info() << "LineHandler: LineStatus set to: " << mLineStatus.str();
    OrluPublisher<LineStatus>::publish(mLineStatus);
}

void LineHandler::publishHeartbeat()
{
    OrluPublisher<LineHeartbeat>::publish(LineHeartbeat());
}

void LineHandler::setLineTimeStamps(bool on)
{
    mImpl->mRecordLineTimeStamps = on;
}

bool LineHandler::getLineTimeStamps() const
{
    return mImpl->mRecordLineTimeStamps;
}

void LineHandler::setServerDisconnectIsError(bool on)
{
    mImpl->mDisconnectIsError = on;
}

bool LineHandler::getServerDisconnectIsError() const
{
    return mImpl->mDisconnectIsError;
}

void LineHandler::setLogInternalLatencyPerPacket(bool on)
{
    mImpl->mLogLatencyPerPacket = on;
}

bool LineHandler::getLogInternalLatencyPerPacket() const
{
    return mImpl->mLogLatencyPerPacket;
}

int LineHandler::setNonBlocking(int fd) const
{
    const int flags = ::fcntl(fd, F_GETFL);
    const int result = flags < 0 ? -1 : ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    if (result < 0)
    {
        const int error = errno;
        // The descriptor is closed on failure: the caller cannot use a
        // blocking one on the line's thread.
        ::close(fd);
        const std::string text = std::string("fcntl() O_NONBLOCK failed: ") + std::strerror(error) + ")";
        mLog.error() << text;
        throw LineError(text);
    }
    return result;
}

void LineHandler::setRecoveryFile(const std::string& path)
{
    mImpl->mRecoveryFileName = path;
}

void LineHandler::setRecoveryFileBackupFmt(const std::string& fmt)
{
    mImpl->mRecoveryFileBackupFmt = fmt;
}

void LineHandler::readRecoveryFile(int, bool)
{
    mImpl->readRecoveryFile();
}

void LineHandler::stopReadRecoveryFile()
{
    mImpl->bProcessRecoveryFile = false;
}

bool LineHandler::readingRecoveryFile() const
{
    return mImpl->mRecoveryInput != nullptr;
}

void LineHandler::writeRecoveryFile(bool truncate)
{
    mImpl->writeRecoveryFile(truncate);
}

void LineHandler::resetRecoveryFile()
{
    mImpl->resetRecoveryFile();
}

void LineHandler::readRecovery()
{
    mImpl->readRecovery();
}

void LineHandler::setWallClock(std::time_t (*clock)())
{
    mImpl->mClock = clock;
}
