#include "kelmora/linehandler/LineHandlerImpl.h"

#include "kelmora/linedata/LineData.h"
#include "kelmora/linedata/LineDataFactory.h"
#include "kelmora/linehandler/LineHandler.h"
#include "kelmora/thread/Runnable.h"
#include "kelmora/thread/TarvokSession.h"
#include "zunq/log/Log.h"
#include "zunq/protocol/ZunqDumpUtils.h"
#include "zunq/time/Time.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
constexpr unsigned int cLengthWidth = 6;
constexpr unsigned int cSeqWidth = 10;
// Backup names tried before giving up: each try is one stat.
constexpr int cMaxBackupVersion = 100000;
} // namespace

LineHandlerImpl::LineHandlerImpl(LineHandler& handler, LineDataFactory* factory, TarvokSession& session, Log& log)
    : mLineHandler(handler), mSession(session), mLog(log), mFactory(factory),
      mData(factory != nullptr ? factory->create() : nullptr), mRecoveryOutput(handler.mRecoveryOutput),
      mRecoveryMaxAge(LineHandler::cRecoveryMaxAge)
{
}

LineHandlerImpl::~LineHandlerImpl()
{
    closeInput();
    closeOutput();
    if (mData != nullptr)
        mFactory->destroy(mData);
}

std::time_t LineHandlerImpl::now() const
{
    return mClock != nullptr ? mClock() : std::time(nullptr);
}

void LineHandlerImpl::closeOutput()
{
    if (mRecoveryOutput != nullptr)
        std::fclose(mRecoveryOutput);
    mRecoveryOutput = nullptr;
}

void LineHandlerImpl::closeInput()
{
    if (mRecoveryInput == nullptr)
        return;
    std::fclose(mRecoveryInput);
    mRecoveryInput = nullptr;
    mRecoveryBuffer.setFd(-1);
    mRecoveryBuffer.clear();
}

void LineHandlerImpl::writeRecoveryFile(bool truncate)
{
    if (mRecoveryFileName.empty())
    {
        mLog.info() << "LineHandler::writeRecoveryFile(): Empty recovery filename passed";
        closeOutput();
        return;
    }
    closeOutput();
    mLog.info() << "LineHandler::writeRecoveryFile(): opening recovery file: \"" << mRecoveryFileName << "\"";
    mRecoveryOutput = std::fopen(mRecoveryFileName.c_str(), truncate ? "we" : "ae");
    if (mRecoveryOutput == nullptr)
    {
        const int error = errno;
        mLog.error() << "LineHandler::writeRecoveryFile(): Cannot open: " << mRecoveryFileName << ": "
                     << std::strerror(error);
        mRecoveryFileFd = -1;
        return;
    }
    // The replay reads through its own input; handing it the writer's
    // descriptor would make a running replay read a write-only file.
    mRecoveryFileFd = ::fileno(mRecoveryOutput);
}

void LineHandlerImpl::save(LineData& data)
{
    // Most lines keep no recovery file: answer that before asking the
    // record anything, as this runs for every message.
    if (mRecoveryOutput == nullptr)
        return;
    const std::uint32_t n = data.getDataLen();
    if (n == 0)
        return;
    const char* bytes = data.getData();
    const bool hasNewline = bytes[n - 1] == '\n';
    const std::uint64_t length = std::uint64_t(n) + (hasNewline ? 0 : 1);
    if (length > LineHandler::cMaxRecordLength)
    {
        // A cut length field would misalign every later record of the file.
        mLog.warning() << "LineHandler::save(): record of " << length << " bytes exceeds the limit of "
                       << LineHandler::cMaxRecordLength << " bytes; not written (sequence number "
                       << data.getSeqNum() << ")";
        return;
    }
    const int header = std::fprintf(mRecoveryOutput, "%6u%10u", static_cast<unsigned>(length), data.getSeqNum());
    if (header != static_cast<int>(LineHandler::cRecordHeaderLength))
    {
        const int error = errno;
        mLog.warning() << "LineHandler::save(): writing recovery header: ";
        if (header > 0)
            mLog.warning() << header << " of " << LineHandler::cRecordHeaderLength << " header bytes written";
        else
            mLog.warning() << std::strerror(error) << " (" << error << ")";
        return;
    }
    const std::size_t written = std::fwrite(bytes, 1, n, mRecoveryOutput);
    if (written < n)
    {
        const int error = errno;
        mLog.warning() << "LineHandler::save(): writing recovery data: ";
        if (written > 0)
            mLog.warning() << written << " of " << n << " data bytes written";
        else
            mLog.warning() << std::strerror(error) << " (" << error << ")";
        return;
    }
    if (!hasNewline)
        std::fputc('\n', mRecoveryOutput);
    std::fflush(mRecoveryOutput);
}

void LineHandlerImpl::resetRecoveryFile()
{
    if (mRecoveryOutput != nullptr)
    {
        mLog.verbose() << "LineHandler: resetting recovery file: \"" << mRecoveryFileName << "\"";
        closeOutput();
        backupMsgFile();
    }
    writeRecoveryFile(true);
}

void LineHandlerImpl::backupMsgFile()
{
    if (mRecoveryFileBackupFmt.empty())
        return;
    struct stat st{};
    if (::stat(mRecoveryFileName.c_str(), &st) != 0)
    {
        const int error = errno;
        mLog.info() << "LineHandler::backupMsgFile(): cannot stat: " << mRecoveryFileName << ": "
                    << std::strerror(error);
        return;
    }
    if (st.st_size == 0)
    {
        mLog.info() << "LineHandler::backupMsgFile(): file is empty (not backing up): " << mRecoveryFileName;
        return;
    }
    Time stamp;
    stamp.recalcNow();
    char base[1024];
    stamp.strFmt(base, sizeof base, mRecoveryFileBackupFmt.c_str(), nullptr);
    std::string name;
    for (int version = 1;; ++version)
    {
        if (version > cMaxBackupVersion)
        {
            mLog.info() << "LineHandler::backupMsgFile(): no free backup name for " << mRecoveryFileName
                        << " up to version " << cMaxBackupVersion;
            return;
        }
        name = std::string(base) + "." + std::to_string(version);
        struct stat probe{};
        if (::stat(name.c_str(), &probe) != 0)
            break;
    }
    mLog.info() << "LineHandler::backupMsgFile(): backing up \"" << mRecoveryFileName << "\" to \"" << name << "\"";
    if (std::rename(mRecoveryFileName.c_str(), name.c_str()) != 0)
    {
        const int error = errno;
        mLog.info() << "LineHandler::backupMsgFile(): cannot rename: " << mRecoveryFileName << ": "
                    << std::strerror(error);
    }
}

void LineHandlerImpl::readRecoveryFile()
{
    mLog.info() << "LineHandler::readRecoveryFile(): opening recovery file: \"" << mRecoveryFileName << "\"";
    if (mRecoveryFileName.empty())
    {
        mLog.error() << "LineHandler::readRecoveryFile(): Empty recovery filename passed";
        throw LineEof();
    }
    struct stat st{};
    if (::stat(mRecoveryFileName.c_str(), &st) != 0)
    {
        const int error = errno;
        mLog.warning() << "LineHandler::readRecoveryFile(): Cannot stat: " << mRecoveryFileName << ": "
                       << std::strerror(error);
        throw LineEof();
    }
    const std::int64_t age = std::int64_t(now()) - std::int64_t(st.st_mtime);
    if (age > std::int64_t(mRecoveryMaxAge))
    {
        char when[64] = {};
        struct tm local{};
        const std::time_t mtime = st.st_mtime;
        ::localtime_r(&mtime, &local);
        std::strftime(when, sizeof when, "%Y/%m/%d %H:%M:%S", &local);
        mLog.warning() << "LineHandler::readRecoveryFile(): Modification time of " << mRecoveryFileName << " ("
                       << when << ") exceeds limit of " << double(mRecoveryMaxAge) / 3600.0 << " hours";
        throw LineEof();
    }
    closeInput();
    mRecoveryInput = std::fopen(mRecoveryFileName.c_str(), "re");
    if (mRecoveryInput == nullptr)
    {
        const int error = errno;
        mLog.warning() << "LineHandler::readRecoveryFile(): Cannot open: " << mRecoveryFileName << ": "
                       << std::strerror(error);
        throw LineEof();
    }
    mRecoveryFileFd = ::fileno(mRecoveryInput);
    // The thread must never wait on the replay (a pipe or FIFO given as the
    // file); a read that would block retries from the next signal.
    const int flags = ::fcntl(mRecoveryFileFd, F_GETFL);
    if (flags >= 0)
        ::fcntl(mRecoveryFileFd, F_SETFL, flags | O_NONBLOCK);
    mRecoveryBuffer.clear();
    mRecoveryBuffer.setFd(mRecoveryFileFd);
    bProcessRecoveryFile = true;
    selfSignal();
    mLineHandler.setLineStatus(LineStatus::WAIT);
}

void LineHandlerImpl::selfSignal()
{
    if (!bProcessRecoveryFile)
    {
        mLog.verbose() << "LineHandler::selfSignal(): file recovery stopped";
        return;
    }
    Runnable* runnable = mSession.getRunnable();
    int code = -1;
    if (runnable != nullptr)
    {
        char name[17];
        runnable->getResourceName(name);
        Zunq::ThreadData signal;
        signal.mDataType = Zunq::FILE_RECOVERY;
        signal.mDataPtr1 = &mLineHandler;
        signal.mDataSize = 0;
        code = runnable->sendThreadMessageByThreadName(name, signal, false);
    }
    if (code != 0)
    {
        // Without the signal the replay would sit open for ever.
        mLog.error() << "LineHandler::selfSignal(): cannot send the recovery signal for " << mRecoveryFileName
                     << ", error:" << code;
        throw LineEof();
    }
}

bool LineHandlerImpl::parseField(const char* field, unsigned int width, std::uint64_t& value)
{
    unsigned int i = 0;
    while (i < width && (field[i] == ' ' || field[i] == '0' || field[i] == '+'))
        ++i;
    value = 0;
    for (; i < width; ++i)
    {
        if (field[i] < '0' || field[i] > '9')
            return false;
        value = value * 10 + std::uint64_t(field[i] - '0');
    }
    return true;
}

void LineHandlerImpl::readRecovery()
{
    if (mRecoveryInput == nullptr)
        throw LineEof();
    if (mData == nullptr)
        throw LineError("no LineData object available to read recover file");
    FileDescBuffer& buffer = mRecoveryBuffer;
    const std::uint64_t capacity = std::uint64_t(buffer.bufferSize()) + buffer.bufferSizeUnused();
    const unsigned int header = LineHandler::cRecordHeaderLength;
    // Reads more; false when nothing came without the end of the file: the
    // batch ends and the next signal tries again.
    auto fill = [&] {
        if (buffer.readChunk() > 0)
            return true;
        selfSignal();
        return false;
    };
    unsigned int records = 0;
    for (;;)
    {
        if (buffer.bufferSize() <= header)
        {
            if (!fill())
                return;
            continue;
        }
        const char* record = buffer.buffer();
        std::uint64_t length = 0;
        std::uint64_t seqNum = 0;
        if (!parseField(record, cLengthWidth, length) || length == 0 ||
            !parseField(record + cLengthWidth, cSeqWidth, seqNum) || seqNum > UINT32_MAX)
        {
            mLog.error() << "LineHandler::readRecovery(): corrupt recovery file " << mRecoveryFileName
                         << ": record header |" << ZunqDumpUtils::writePeerBytes(record, header) << "|";
            throw LineEof();
        }
        if (header + length > capacity)
        {
            mLog.warning() << "LineHandler::readRecovery(): record of " << length << " bytes in "
                           << mRecoveryFileName << " does not fit the replay buffer of " << capacity
                           << " bytes; replay ends";
            throw LineEof();
        }
        if (buffer.bufferSize() < header + length)
        {
            if (!fill())
                return;
            continue;
        }
        mData->setSeqNum(static_cast<std::uint32_t>(seqNum));
        mData->setData(record + header, static_cast<std::uint32_t>(length));
        mData->setIsRecovery(true);
        if (mLineHandler.check(*mData))
            mLineHandler.OrluPublisher<LineData>::publish(*mData);
        ++mMsgCount;
        buffer.shift(static_cast<std::uint32_t>(header + length));
        if (++records == LineHandler::cReplayBatch)
        {
            selfSignal();
            return;
        }
    }
}
