#include "kelmora/recovery/ExtractPlayback.h"

#include "kelmora/thread/TarvokHandler.h"
#include "kelmora/thread/TarvokSession.h"
#include "kelmora/thread/TarvokTimer.h"
#include "zunq/log/Log.h"
#include "zunq/protocol/ZunqDumpUtils.h"
#include "zunq/time/TimeZone.h"

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <optional>
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

// `width` decimal digits of `value`, zeros in front.
void writeDigits(char* out, std::uint64_t value, int width)
{
    for (int i = width - 1; i >= 0; --i)
    {
        out[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
}

// Builds a meta line in a fixed buffer; what does not fit is cut.
class MetaWriter
{
public:
    MetaWriter(char* buffer, std::size_t capacity) : mBuffer(buffer), mCapacity(capacity) {}
    MetaWriter& bytes(const char* text, std::size_t length)
    {
        const std::size_t n = std::min(length, mCapacity - mLength);
        std::memcpy(mBuffer + mLength, text, n);
        mLength += n;
        return *this;
    }
    MetaWriter& text(const char* text) { return bytes(text, std::strlen(text)); }
    MetaWriter& put(char c) { return bytes(&c, 1); }
    template <typename Integer>
    MetaWriter& number(Integer value)
    {
        char digits[24];
        const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
        return bytes(digits, static_cast<std::size_t>(end - digits));
    }
    std::size_t length() const { return mLength; }

private:
    char* mBuffer;
    std::size_t mCapacity;
    std::size_t mLength = 0;
};

// A time of day made once for a whole second of one zone.
struct TimeOfDay
{
    const TimeZone* mZone = nullptr;
    std::int64_t mSecond = 0;
    unsigned mLength = 0;
    char mText[16] = {};
};

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
    std::size_t mHintLength = 0;
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
    const Time* stamp = &data.getLineTime();
    std::optional<Time> now; // made only for a record without a line time
    if (!stamp->isSet())
    {
        now.emplace();
        if (mClock)
            *now = mClock();
        else if (mMillisecondTimestamps)
            Time::nowTime(*now);
        else
            now->recalcNow();
        stamp = &*now;
    }
    const std::int64_t second = stamp->getSecondsSinceEpoch();
    const std::int64_t micros = stamp->getMicrosecondsSinceEpoch() - second * 1000000;

    // The record's time of day, "%T.%:" cut to 12 characters: the clock time
    // changes once a second, so each thread keeps the last one it made.
    thread_local TimeOfDay tLast;
    if (tLast.mZone != mTz || tLast.mSecond != second)
    {
        tLast.mLength = stamp->strFmt(tLast.mText, sizeof tLast.mText, "%T", mTz);
        tLast.mZone = mTz;
        tLast.mSecond = second;
    }
    char timeOfDay[16];
    std::size_t timeLength = 0;
    if (tLast.mLength != 0)
    {
        timeLength = std::min<std::size_t>(tLast.mLength, 8);
        std::memcpy(timeOfDay, tLast.mText, timeLength);
        if (timeLength == 8)
        {
            timeOfDay[8] = '.';
            writeDigits(timeOfDay + 9, static_cast<std::uint64_t>(micros / 1000), 3);
            timeLength = 12;
        }
    }

    // Seconds since the epoch as "%17.6f" prints them; the digits are exact.
    char seconds[48];
    std::size_t secondsLength = 0;
    if (second >= 0)
    {
        char digits[32];
        const auto end = std::to_chars(digits, digits + sizeof digits, second).ptr;
        std::size_t length = static_cast<std::size_t>(end - digits);
        digits[length++] = '.';
        writeDigits(digits + length, static_cast<std::uint64_t>(micros), 6);
        length += 6;
        const std::size_t pad = length < 17 ? 17 - length : 0;
        std::memset(seconds, ' ', pad);
        std::memcpy(seconds + pad, digits, length);
        secondsLength = pad + length;
    }
    else
    {
        const int length = std::snprintf(seconds, sizeof seconds, "%17.6f",
                                         static_cast<double>(stamp->getMicrosecondsSinceEpoch()) / 1e6);
        secondsLength = length > 0 ? std::min<std::size_t>(static_cast<std::size_t>(length), sizeof seconds - 1) : 0;
    }

    MetaWriter out(buffer, cMetaBuffer - 1);
    out.text(cMetaStart).put(cSep).text(cMetaVersion).put(cSep).number(data.getDataLen()).put(cSep);
    const char* host = data.getSrcHost();
    out.text(host != nullptr ? host : "").put(cSep).number(data.getSrcPort()).put(cSep);
    out.bytes(timeOfDay, timeLength).put(cSep).bytes(seconds, secondsLength).put(cSep);
    out.bytes(mHint, mHintLength).put(cSep).text(cMetaEnd);
    return out.length();
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
    mImpl->mHintLength = std::strlen(mImpl->mHint);
}
