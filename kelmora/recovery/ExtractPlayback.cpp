#include "kelmora/recovery/ExtractPlayback.h"

#include "kelmora/thread/TarvokHandler.h"
#include "kelmora/thread/TarvokSession.h"
#include "kelmora/thread/TarvokTimer.h"
#include "zunq/log/Log.h"
#include "zunq/protocol/ZunqDumpUtils.h"
#include "zunq/time/TimeZone.h"

#include <zlib.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <sstream>

namespace
{

const char* const cMetaStart = "*M*E*T*A*S*T*A*R*T*";
const char* const cMetaEnd = "*M*E*T*A*E*N*D*";
const char* const cMetaVersion = "4";
constexpr char cSep = '/';
constexpr std::size_t cMetaBuffer = 2048;

std::string text(const Time& time)
{
    std::ostringstream out;
    out << time;
    return out.str();
}

Time parseTimeOfDay(const std::string& text)
{
    return Time(text.c_str(), TimeZone::local());
}

bool endsWithGz(const std::string& pattern)
{
    return pattern.size() >= 3 && pattern.compare(pattern.size() - 3, 3, ".gz") == 0;
}

// File names come from configuration or an admin request: shown escaped.
std::string shown(const std::string& name)
{
    return ZunqDumpUtils::writePeerBytes(name.data(), name.size());
}

} // namespace

class ExtractPlayback::ExtractPlaybackImpl : public TarvokTimerHandler
{
public:
    ExtractPlaybackImpl(ExtractPlayback& ep, TarvokSession& session, Log& log, const std::string& fileNameFormat,
                        const std::string& startTime, const std::string& stopTime, bool meta,
                        ExtractPlaybackActions* actions, Clock clock)
        : mEp(ep),
          mControlSession(session),
          mLog(log),
          mFileNameFormat(fileNameFormat),
          mStartTime(parseTimeOfDay(startTime)),
          mStopTime(parseTimeOfDay(stopTime)),
          mMeta(meta),
          mActions(actions),
          mTz(TimeZone::local()),
          mStartTimeStr(startTime),
          mStopTimeStr(stopTime),
          mClock(std::move(clock))
    {
    }

    // TarvokTimerHandler
    void onTimer(TarvokTimer*) override { check(); }
    void onTimerRefused(TarvokTimer*) override
    {
        // Nothing waits on it: the window is checked again at the next reset or time change.
        mTimerRunning = false;
        mLog.error() << "ExtractPlayback: cannot start reset timer: the framework refused the " << cCheckIntervalMs
                     << " ms timer (a thread holds at most MSG_DISP_FD_NUM + 5 timers)";
    }

    Time now() const
    {
        if (mClock)
            return mClock();
        Time t;
        t.recalcNow();
        return t;
    }

    void check();
    void start();
    void stop();
    void startTimer();
    void stopTimer();
    void write(const LineData& data);
    std::size_t formatMeta(const LineData& data, char* buffer) const;

    ExtractPlayback& mEp;
    TarvokSession& mControlSession;
    Log& mLog;
    std::string mFileNameFormat;
    Time mStartTime;
    Time mStopTime;
    bool mMeta;
    ExtractPlaybackActions* mActions;
    FILE* mFile = nullptr;
    gzFile mGzipFile = nullptr;
    TarvokTimer mTimer;
    const TimeZone* mTz;
    bool mMillisecondTimestamps = false;
    std::mutex mMutex;
    char mHint[cMaxHint + 1] = {};
    std::string mStartTimeStr;
    std::string mStopTimeStr;

    Clock mClock;
    // A file is open: records are written. Set and cleared under mMutex; read
    // first without it, so that a record with no file open costs one load.
    std::atomic<bool> mWriting{false};
    bool mTimerRunning = false;
    // TerminateAll came: no file opens again.
    bool mTerminated = false;
};

void ExtractPlayback::ExtractPlaybackImpl::check()
{
    // A time of day always means today's.
    mStartTime = parseTimeOfDay(mStartTimeStr);
    mStopTime = parseTimeOfDay(mStopTimeStr);
    const Time current = now();
    if (mLog.verboseEnabled())
    {
        mLog.verbose() << "ExtractPlayback: checking playback file";
        mLog.verbose() << "ExtractPlayback::check(): start=" << text(mStartTime) << "; stop=" << text(mStopTime)
                       << "; now=" << text(current);
    }
    if (!mStartTime.isSet())
    {
        if (!mFileNameFormat.empty())
            start();
        else
            stop();
        return;
    }
    if (!mStopTime.isSet())
    {
        if (current > mStartTime)
        {
            // Recording runs from here until a reset or the end of the process.
            stopTimer();
            mStartTime.clear();
            start();
        }
        else
        {
            stop();
        }
        return;
    }
    const bool open = mStartTime < mStopTime ? mStartTime < current && current < mStopTime
                                             : current > mStartTime || current < mStopTime;
    if (open)
        start();
    else
        stop();
}

void ExtractPlayback::ExtractPlaybackImpl::start()
{
    if (mFileNameFormat.empty() || mTerminated || mWriting.load(std::memory_order_relaxed))
        return;
    std::time_t seconds = -1;
    if (mClock)
        seconds = static_cast<std::time_t>(mClock().getSecondsSinceEpoch());
    else
        seconds = std::time(nullptr);
    if (seconds == static_cast<std::time_t>(-1))
    {
        mLog.warning() << "ExtractPlayback: time() failed (no playback being recorded)";
        return;
    }
    struct tm local;
    if (localtime_r(&seconds, &local) == nullptr)
    {
        mLog.warning() << "ExtractPlayback: localtime() failed (no playback being recorded)";
        return;
    }
    char name[cMaxFileName + 1];
    // 0 also when the expansion does not fit: nothing half-named is opened.
    if (std::strftime(name, sizeof name, mFileNameFormat.c_str(), &local) == 0)
    {
        mLog.warning() << "ExtractPlayback: strftime() failed (no playback being recorded)";
        return;
    }
    mLog.info() << "ExtractPlayback: opening extract file: " << shown(name);

    std::lock_guard lock(mMutex);
    // "e": the descriptor does not leak into programs the process starts.
    if (endsWithGz(mFileNameFormat))
        mGzipFile = gzopen(name, "ae");
    else
        mFile = std::fopen(name, "ae");
    if (mFile == nullptr && mGzipFile == nullptr)
    {
        const int error = errno;
        mLog.error() << "ExtractPlayback: cannot open: " << shown(name) << " (" << std::strerror(error) << ")";
        return;
    }
    mWriting.store(true, std::memory_order_release);
    if (mActions != nullptr)
        mActions->extractOn(mEp);
}

void ExtractPlayback::ExtractPlaybackImpl::stop()
{
    std::lock_guard lock(mMutex);
    if (mFile == nullptr && mGzipFile == nullptr)
        return;
    mLog.info() << "ExtractPlayback: closing playback file";
    mWriting.store(false, std::memory_order_release);
    if (mFile != nullptr)
    {
        std::fclose(mFile);
        mFile = nullptr;
    }
    else
    {
        gzclose(mGzipFile);
        mGzipFile = nullptr;
    }
    if (mActions != nullptr)
        mActions->extractOff(mEp);
}

void ExtractPlayback::ExtractPlaybackImpl::startTimer()
{
    if (mTimerRunning || !mStartTime.isSet() || mFileNameFormat.empty())
        return;
    mLog.info() << "ExtractPlayback: starting reset timer...";
    TarvokStatus status = mTimer.create(&mControlSession, this, cCheckIntervalMs, nullptr);
    if (!status)
    {
        mLog.error() << "ExtractPlayback: cannot start reset timer: " << status.getText();
        return;
    }
    mTimerRunning = true;
}

void ExtractPlayback::ExtractPlaybackImpl::stopTimer()
{
    if (!mTimerRunning)
        return;
    mLog.info() << "ExtractPlayback: stopping reset timer";
    mTimer.destroy();
    mTimerRunning = false;
}

std::size_t ExtractPlayback::ExtractPlaybackImpl::formatMeta(const LineData& data, char* buffer) const
{
    Time stamp = data.getLineTime();
    if (!stamp.isSet())
    {
        if (mClock)
            stamp = mClock();
        else if (mMillisecondTimestamps)
            Time::nowTime(stamp);
        else
            stamp.recalcNow();
    }
    char timeOfDay[32] = {};
    stamp.strFmt(timeOfDay, sizeof timeOfDay, "%T.%:", mTz);
    timeOfDay[12] = '\0';
    const double seconds = static_cast<double>(stamp.getMicrosecondsSinceEpoch()) / 1e6;
    const char* host = data.getSrcHost();
    const int length = std::snprintf(buffer, cMetaBuffer, "%s%c%s%c%u%c%s%c%d%c%s%c%17.6f%c%s%c%s", cMetaStart, cSep,
                                     cMetaVersion, cSep, data.getDataLen(), cSep, host != nullptr ? host : "", cSep,
                                     data.getSrcPort(), cSep, timeOfDay, cSep, seconds, cSep, mHint, cSep, cMetaEnd);
    if (length < 0)
        return 0;
    return static_cast<std::size_t>(length) < cMetaBuffer ? static_cast<std::size_t>(length) : cMetaBuffer - 1;
}

void ExtractPlayback::ExtractPlaybackImpl::write(const LineData& data)
{
    char meta[cMetaBuffer];
    const std::size_t metaLength = mMeta ? formatMeta(data, meta) : 0;
    const char* bytes = data.getData();
    const std::uint32_t length = bytes != nullptr ? data.getDataLen() : 0;

    std::lock_guard lock(mMutex);
    if (mFile != nullptr)
    {
        if (metaLength != 0 && std::fwrite(meta, 1, metaLength, mFile) != metaLength)
            mLog.warning() << "ExtractPlayback::onData(): writing header: ferror = " << std::ferror(mFile);
        if (length != 0 && std::fwrite(bytes, 1, length, mFile) != length)
            mLog.warning() << "ExtractPlayback::onData(): writing data: ferror = " << std::ferror(mFile);
        std::fputc('\n', mFile);
        std::fflush(mFile);
    }
    else if (mGzipFile != nullptr)
    {
        int error = 0;
        if (metaLength != 0 && gzwrite(mGzipFile, meta, static_cast<unsigned>(metaLength)) != static_cast<int>(metaLength))
        {
            gzerror(mGzipFile, &error);
            mLog.warning() << "ExtractPlayback::onData(): writing header: ferror = " << error;
        }
        if (length != 0 && gzwrite(mGzipFile, bytes, length) != static_cast<int>(length))
        {
            gzerror(mGzipFile, &error);
            mLog.warning() << "ExtractPlayback::onData(): writing data: ferror = " << error;
        }
        gzputc(mGzipFile, '\n');
    }
}

ExtractPlayback::ExtractPlayback(TarvokSession& session, Log& log, const std::string& fileNameFormat,
                                 const std::string& startTime, const std::string& stopTime, bool meta,
                                 ExtractPlaybackActions* actions, Clock clock)
    : OrluSubscriber<LineData>("ExtractPlayback"),
      OrluSubscriber<TerminateAll>("ExtractPlayback"),
      mImpl(std::make_unique<ExtractPlaybackImpl>(*this, session, log, fileNameFormat, startTime, stopTime, meta,
                                                  actions, std::move(clock)))
{
    log.info() << "ExtractPlayback: ExtractStart: " << text(mImpl->mStartTime) << " Local";
    log.info() << "ExtractPlayback: ExtractStop:  " << text(mImpl->mStopTime) << " Local";
    mImpl->check();
    mImpl->startTimer();
}

ExtractPlayback::~ExtractPlayback()
{
    mImpl->stopTimer();
    mImpl->stop();
}

void ExtractPlayback::onData(const Orlu<LineData>&, const std::string&, const LineData& data)
{
    if (!mImpl->mWriting.load(std::memory_order_acquire))
        return;
    mImpl->write(data);
}

void ExtractPlayback::onData(const Orlu<TerminateAll>&, const std::string&, const TerminateAll&)
{
    mImpl->mTerminated = true;
    mImpl->stop();
}

void ExtractPlayback::reset(const std::string& fileNameFormat)
{
    mImpl->mFileNameFormat = fileNameFormat;
    mImpl->stop();
    mImpl->check();
    mImpl->startTimer();
}

void ExtractPlayback::setStartTime(const std::string& startTime)
{
    mImpl->mStartTime = parseTimeOfDay(startTime);
    mImpl->mStartTimeStr = startTime;
    mImpl->check();
    mImpl->startTimer();
}

void ExtractPlayback::setStopTime(const std::string& stopTime)
{
    mImpl->mStopTime = parseTimeOfDay(stopTime);
    mImpl->mStopTimeStr = stopTime;
    mImpl->check();
}

void ExtractPlayback::check()
{
    mImpl->check();
}

bool ExtractPlayback::isCurrentlyExtracting() const
{
    const ExtractPlaybackImpl& d = *mImpl;
    if (!d.mTimerRunning || d.mFileNameFormat.empty() || !d.mStartTime.isSet())
        return false;
    const Time current = d.now();
    if (d.mStopTime.isSet())
        return d.mStartTime < current && current < d.mStopTime;
    return current > d.mStartTime;
}

const Time& ExtractPlayback::getStartTime() const
{
    return mImpl->mStartTime;
}

const Time& ExtractPlayback::getStopTime() const
{
    return mImpl->mStopTime;
}

const std::string& ExtractPlayback::getStartTimeText() const
{
    return mImpl->mStartTimeStr;
}

const std::string& ExtractPlayback::getStopTimeText() const
{
    return mImpl->mStopTimeStr;
}

const std::string& ExtractPlayback::getFileNameFormat() const
{
    return mImpl->mFileNameFormat;
}

bool ExtractPlayback::isOpen() const
{
    return mImpl->mWriting.load(std::memory_order_acquire);
}

void ExtractPlayback::setMillisecondTimestamps(bool on)
{
    mImpl->mMillisecondTimestamps = on;
}

void ExtractPlayback::setTimeZone(const char* name)
{
    const TimeZone* zone = TimeZone::getTimeZone(name != nullptr ? name : "");
    if (zone == nullptr)
    {
        const std::string given = name != nullptr ? name : "";
        mImpl->mLog.warning() << "ExtractPlayback: unknown time zone " << shown(given) << ", keeping "
                              << mImpl->mTz->getName();
        return;
    }
    mImpl->mTz = zone;
}

const TimeZone* ExtractPlayback::getTimeZone() const
{
    return mImpl->mTz;
}

void ExtractPlayback::setExtractHint(const char* hint)
{
    std::memset(mImpl->mHint, 0, sizeof mImpl->mHint);
    if (hint != nullptr)
        std::strncpy(mImpl->mHint, hint, cMaxHint);
}
