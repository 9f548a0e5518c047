#include "kelmora/supervision/LineMonitor.h"

#include "kelmora/thread/Runnable.h"
#include "kelmora/thread/TarvokHandler.h"
#include "kelmora/thread/TarvokSession.h"
#include "kelmora/thread/TarvokTimer.h"
#include "libstats/stats/BandwidthInStats.h"
#include "libstats/stats/ZunqStatsWriter.h"
#include "zunq/log/Log.h"
#include "zunq/time/Time.h"
#include "zunq/time/TimeZone.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

namespace
{

// A report line holds at most this many bytes.
constexpr std::size_t cMaxReport = 255;

enum class Hop : std::uint32_t
{
    PRINT = 1,
    RESET = 2,
    TERMINATE = 3
};

Log& fallbackLog()
{
    static Log log;
    return log;
}

// One data source of the sub-feed, under the name it publishes with.
struct LineInfo
{
    LineInfo(Log& log, const std::string& name, bool on) : mLog(log), mName(name), mOn(on) {}

    void clear()
    {
        mQualityCount = 0;
        mQualityWarningCount = 0;
        mStatsCount = 0;
        mStatsCountMax = 0;
        mStatsCountTotal = 0;
        mSeqNum = 0;
    }

    void update()
    {
        ++mQualityCount;
        ++mStatsCount;
        if (mLineStatus != LineStatus::OFF && mLineStatus != LineStatus::DISABLED)
            mLineStatus = LineStatus::UP;
    }

    void update(const LineData& data, bool checkSeqNum)
    {
        update();
        if (checkSeqNum && !data.getIgnoreSeqNum())
            checkSequence(data);
    }

    void checkSequence(const LineData& data)
    {
        const std::uint32_t seq = data.getSeqNum();
        const std::uint32_t next = data.getNextSeqNum();
        const std::uint32_t last = next != 0 ? next - 1 : 0;
        if (seq > mSeqNum)
        {
            if (seq != mSeqNum + 1)
                mLog.info() << "LineMonitor: sequence number gap (" << mName << "): missed " << mSeqNum + 1 << "-"
                            << seq - 1;
        }
        else if (seq != 0 && !data.isControl())
        {
            // A record of several messages names its whole range.
            if (last > seq)
                mLog.info() << "LineMonitor: received earlier sequence numbers (" << mName << "): " << seq << "-"
                            << last;
            else
                mLog.info() << "LineMonitor: received earlier sequence number (" << mName << "): " << seq;
        }
        mSeqNum = last != 0 ? last : seq;
    }

    bool isUp() const { return mLineStatus == LineStatus::UP; }
    bool justRecovered() const { return mQualityCount == 1 && mLineStatus == LineStatus::DOWN; }

    Log& mLog;
    const std::string mName;
    std::uint32_t mQualityCount = 0;
    std::uint32_t mQualityWarningCount = 0;
    Time mDownTime;
    std::uint32_t mStatsCount = 0;
    std::uint32_t mStatsCountMax = 0;
    std::uint32_t mStatsCountTotal = 0;
    bool mOn;
    std::uint32_t mSeqNum = 0;
    LineStatus mLineStatus = LineStatus::WAIT;
};

// Up lines first, then monitored lines, then the busiest.
bool lineTableComp(const LineInfo* a, const LineInfo* b)
{
    if (a->isUp() != b->isUp())
        return a->isUp();
    if (a->mOn != b->mOn)
        return a->mOn;
    return a->mStatsCountTotal > b->mStatsCountTotal;
}

// `text` cut to `limit` bytes without splitting a multi-byte character.
void cutOnCharacter(std::string& text, std::size_t limit)
{
    if (text.size() <= limit)
        return;
    std::size_t length = limit;
    while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80)
        --length;
    text.resize(length);
}

} // namespace

class LineMonitor::LineMonitorImpl
{
public:
    using LineTable = std::vector<LineInfo*>;

    class QualityTimerHandler : public TarvokTimerHandler
    {
    public:
        explicit QualityTimerHandler(LineMonitorImpl& impl) : mImpl(impl) {}
        void onTimer(TarvokTimer*) override { mImpl.checkDown(); }

    private:
        LineMonitorImpl& mImpl;
    };

    // Takes the thread messages that carry calls from other threads.
    class HopTaker : public OrluSubscriber<Zunq::ThreadData>
    {
    public:
        explicit HopTaker(LineMonitorImpl& impl) : OrluSubscriber<Zunq::ThreadData>("LineMonitor"), mImpl(impl) {}
        void onData(const Orlu<Zunq::ThreadData>&, const std::string&, const Zunq::ThreadData& data) override
        {
            if (data.mDataPtr1 != &mImpl.mMonitor || data.mDataSize < 2 * sizeof(std::uint32_t))
                return;
            std::uint32_t op = 0;
            std::uint32_t value = 0;
            std::memcpy(&op, data.mData, sizeof op);
            std::memcpy(&value, data.mData + sizeof op, sizeof value);
            mImpl.runHop(static_cast<Hop>(op), value);
        }

    private:
        LineMonitorImpl& mImpl;
    };

    LineMonitorImpl(LineMonitor& monitor, const std::string& name, TarvokSession* session, Log* log,
                    ZunqStatsWriter* writer)
        : mMonitor(monitor),
          mName(name),
          mSession(session),
          mLog(log != nullptr ? *log : fallbackLog()),
          mZunqStatsWriter(writer),
          mQualityTimerHandler(*this),
          mHopTaker(*this)
    {
        if (mZunqStatsWriter != nullptr)
        {
            const auto rc = mZunqStatsWriter->addBandwidthInEntry(mLog, mBandwidthInStats, mName.c_str());
            if (rc != ZunqStatsWriter::SUCCESS && rc != ZunqStatsWriter::ENTRY_EXISTS)
                mBandwidthInStats = nullptr;
        }
        if (Runnable* runnable = ownerRunnable())
        {
            mHopBus = runnable->getOrluThreadData(cThreadDataType);
            mHopBus->subscribe(&mHopTaker);
        }
    }

    ~LineMonitorImpl()
    {
        if (mHopBus != nullptr)
            mHopBus->unsubscribe(&mHopTaker);
        if (mQualityTimer != nullptr)
            mQualityTimer->destroy();
        for (LineInfo* line : mUnorderedLines)
            delete line;
    }

    Runnable* ownerRunnable() const { return mSession != nullptr ? mSession->getRunnable() : nullptr; }

    // --- lines

    // An exact name first; else the first entry whose name ends with `name`.
    LineInfo* find(std::string_view name) const
    {
        LineInfo* suffix = nullptr;
        for (LineInfo* line : mLines)
        {
            const std::string& entry = line->mName;
            if (entry.size() == name.size())
            {
                if (std::memcmp(entry.data(), name.data(), name.size()) == 0)
                    return line;
            }
            else if (suffix == nullptr && !name.empty() && entry.size() > name.size() &&
                     std::memcmp(entry.data() + entry.size() - name.size(), name.data(), name.size()) == 0)
            {
                suffix = line;
            }
        }
        return suffix;
    }

    // The publisher's line, or the line of the record's destination host.
    LineInfo* findForData(const std::string& name, const LineData& data)
    {
        if (LineInfo* line = find(name))
            return line;
        data.getDestHost(mDestHost);
        return find(mDestHost);
    }

    // By exact name only: two configured lines whose names end alike
    // ("10.1.1.1:5000", "0.1.1.1:5000") stay two lines.
    LineInfo* findOrCreate(const std::string& name)
    {
        for (LineInfo* line : mLines)
            if (line->mName == name)
                return line;
        auto* line = new LineInfo(mLog, name, mInitMonitorState);
        mLines.push_back(line);
        mUnorderedLines.push_back(line);
        // A mistyped name in an admin request lands here: say so.
        mLog.info() << "LineMonitor(" << mName << "): line " << name << " was not known; added it";
        return line;
    }

    void sortLines() { std::sort(mLines.begin(), mLines.end(), lineTableComp); }

    void recount()
    {
        mNumLines = static_cast<std::int32_t>(
            std::count_if(mLines.begin(), mLines.end(), [](const LineInfo* l) { return l->mOn; }));
        mNumLinesUp = 0;
    }

    void setStatus(LineStatus::StatusType status)
    {
        mLineStatus = status;
        mMonitor.OrluPublisher<LineStatus>::publish(mLineStatus);
    }

    // --- data

    void onData(const std::string& name, const LineData& data)
    {
        if (mLines.empty())
            return;
        if (mDisableStatsLogging)
        {
            lightPath(name, &data);
            return;
        }
        LineInfo* line = findForData(name, data);
        if (line == nullptr)
            return;
        const LineStatus before = line->mLineStatus;
        line->update(data, mCheckSeqNumPerLine);
        if (before == LineStatus::WAIT || (before == LineStatus::DOWN && mAlwaysCheckUpOnLineData) ||
            line->mQualityWarningCount != 0)
            checkUp();
        if (mBandwidthInStats != nullptr && !mCountingStopped.load(std::memory_order_acquire) &&
            mZunqStatsWriter->isAttached())
            mBandwidthInStats->writeBandwidthInStats(1, 1, data.getDataLen());
    }

    void onHeartbeat(const std::string& name)
    {
        if (mLines.empty())
            return;
        if (mDisableStatsLogging)
        {
            lightPath(name, nullptr);
            return;
        }
        LineInfo* line = find(name);
        if (line == nullptr)
            return;
        const bool wasWaiting = line->mLineStatus == LineStatus::WAIT;
        line->update();
        if (line->mQualityWarningCount != 0 || wasWaiting)
            checkUp();
    }

    // Statistics logging off: no statistics, no sequence check, and nothing
    // at all once every monitored line has had data in this interval.
    // `data` is null for a heartbeat, which has no destination-host fallback.
    void lightPath(const std::string& name, const LineData* data)
    {
        if (mNumLinesUp >= mNumLines)
            return;
        std::int32_t withData = 0;
        LineInfo* exact = nullptr;
        LineInfo* suffix = nullptr;
        for (LineInfo* line : mLines)
        {
            if (line->mQualityCount != 0)
                ++withData;
            if (exact != nullptr)
                continue;
            const std::string& entry = line->mName;
            if (entry.size() == name.size())
            {
                if (std::memcmp(entry.data(), name.data(), name.size()) == 0)
                    exact = line;
            }
            else if (suffix == nullptr && !name.empty() && entry.size() > name.size() &&
                     std::memcmp(entry.data() + entry.size() - name.size(), name.data(), name.size()) == 0)
            {
                suffix = line;
            }
        }
        mNumLinesUp = withData;
        LineInfo* line = exact != nullptr ? exact : suffix;
        if (line == nullptr && data != nullptr)
        {
            data->getDestHost(mDestHost);
            line = find(mDestHost);
        }
        if (line == nullptr || line->mLineStatus == LineStatus::OFF || line->mLineStatus == LineStatus::DISABLED)
            return;
        const LineStatus before = line->mLineStatus;
        if (line->mQualityCount == 0)
            ++mNumLinesUp;
        ++line->mQualityCount;
        line->mLineStatus = LineStatus::UP;
        const bool downCheck = data != nullptr && before == LineStatus::DOWN && mAlwaysCheckUpOnLineData;
        if (before == LineStatus::WAIT || downCheck || line->mQualityWarningCount != 0)
            checkUp();
    }

    void onStatus(const std::string& name, const LineStatus& status)
    {
        if (mLog.verboseEnabled())
            mLog.verbose() << "LineMonitor(" << mName << "): LineStatus update: " << name << " is " << status.str();
        if (mLines.empty())
            return;
        LineInfo* line = find(name);
        if (line == nullptr)
            return;
        if (mEnforceMonitorOff && !line->mOn)
            return;
        switch (status.type())
        {
        case LineStatus::OFF:
            switchOff(line);
            break;
        case LineStatus::DOWN:
            line->mQualityCount = 0;
            line->mLineStatus = LineStatus::DOWN;
            switchOn(line);
            mNumLinesUp = 0;
            break;
        default:
            switchOn(line);
            break;
        }
    }

    // --- checks

    void checkUp()
    {
        if ((mLineStatus != LineStatus::DOWN && mLineStatus != LineStatus::PART && mLineStatus != LineStatus::WAIT) ||
            mLines.empty())
            return;
        int active = 0;
        int up = 0;
        bool restored = false;
        for (LineInfo* line : mLines)
        {
            if (!line->mOn)
                continue;
            ++active;
            if (!line->isUp())
                continue;
            ++up;
            if (line->mQualityWarningCount != 0)
            {
                line->mQualityWarningCount = 0;
                mErrorCount = 0;
                mLog.info() << report("data restored on line: " + line->mName, line->mDownTime);
                line->mDownTime.clear();
                restored = true;
            }
        }
        if (up == 0)
        {
            if (restored)
                sortLines();
            return;
        }
        mLog.info() << "LineMonitor(" << mName << "): now receiving data on " << up << " of " << active
                    << " monitored lines";
        const LineStatus::StatusType next = up < active ? LineStatus::PART : LineStatus::UP;
        if (!(mLineStatus == LineStatus::PART && next == LineStatus::PART))
            setStatus(next);
        resetQualityTimer();
        if (restored)
            sortLines();
    }

    void checkDown()
    {
        if (mLines.empty())
            return;
        int active = 0;
        int withData = 0;
        bool newlySilent = false;
        for (LineInfo* line : mLines)
        {
            if (!line->mOn)
                continue;
            ++active;
            if (line->mQualityCount == 0)
            {
                if (line->mQualityWarningCount == 0)
                {
                    if (mEnableNoDataWarning)
                    {
                        line->mDownTime.recalcNow();
                        mLog.warning() << report("no data for line " + line->mName, line->mDownTime);
                    }
                    newlySilent = true;
                }
                else if (mEnableNoDataWarning &&
                         (mMaxWarningCount == 0 || line->mQualityWarningCount < mMaxWarningCount))
                {
                    mLog.warning() << report("no data for line " + line->mName, line->mDownTime);
                }
                ++line->mQualityWarningCount;
                line->mLineStatus = LineStatus::DOWN;
            }
            else
            {
                ++withData;
            }
            line->mQualityCount = 0;
        }
        mNumLinesUp = 0;
        if (active == 0)
            return;
        if (withData == 0)
        {
            if (mErrorCount == 0)
            {
                mDownTime.recalcNow();
                mLog.error() << report("no data at all", mDownTime);
            }
            else if (mMaxErrorCount == 0 || mErrorCount < mMaxErrorCount)
            {
                mLog.error() << report("no data at all", mDownTime);
            }
            ++mErrorCount;
            if (mLineStatus != LineStatus::DOWN)
                setStatus(LineStatus::DOWN);
            if (newlySilent)
                sortLines();
            return;
        }
        if (withData < active && mLineStatus != LineStatus::PART)
            setStatus(LineStatus::PART);
        if (newlySilent)
            sortLines();
    }

    std::string report(const std::string& text, const Time& time) const
    {
        unsigned int interval = 0;
        if (mQualityTimer != nullptr)
            mQualityTimer->getInterval(interval);
        char at[64];
        time.strFmt(at, sizeof at, "%T", TimeZone::local());
        std::string line = "LineMonitor(" + mName + "): " + text + " during last " + std::to_string(interval) +
                           " ms (at " + at + ")";
        cutOnCharacter(line, cMaxReport);
        return line;
    }

    // --- switches

    // Monitoring of one line on or off, its counts cleared, and the log line
    // "LineMonitor(<monitor>:<line>): monitoring <what>".
    void setLine(LineInfo* line, bool on, LineStatus::StatusType status, const char* what)
    {
        line->mOn = on;
        line->clear();
        line->mLineStatus = status;
        mLog.info() << "LineMonitor(" << mName << ":" << line->mName << "): monitoring " << what;
    }

    void switchOn(LineInfo* line)
    {
        if (!line->mOn && line->mLineStatus != LineStatus::DISABLED)
        {
            setLine(line, true, LineStatus::WAIT, "is ON");
            setStatus(LineStatus::WAIT);
        }
        resetQualityTimer();
        recount();
        sortLines();
    }

    void switchOff(LineInfo* line)
    {
        if (line->mLineStatus != LineStatus::DISABLED)
            setLine(line, false, LineStatus::OFF, "OFF");
        recount();
        sortLines();
    }

    void switchDisable(LineInfo* line)
    {
        setLine(line, false, LineStatus::DISABLED, "DISABLED");
        recount();
        sortLines();
    }

    void allOn()
    {
        for (LineInfo* line : mLines)
        {
            if (!line->mOn && line->mLineStatus != LineStatus::DISABLED)
                setLine(line, true, LineStatus::WAIT, "is ON");
        }
        setStatus(LineStatus::WAIT);
        resetQualityTimer();
        recount();
        sortLines();
    }

    void allOff(bool disable)
    {
        for (LineInfo* line : mLines)
        {
            if (disable)
                setLine(line, false, LineStatus::DISABLED, "is DISABLED");
            else if (line->mLineStatus != LineStatus::DISABLED)
                setLine(line, false, LineStatus::OFF, "is OFF");
        }
        for (LineInfo* line : mLines)
        {
            line->mQualityCount = 0;
            line->mQualityWarningCount = 0;
            line->mDownTime.clear();
        }
        mDownTime.clear();
        mErrorCount = 0;
        mNumLinesUp = 0;
        setStatus(disable ? LineStatus::DISABLED : LineStatus::OFF);
        recount();
        sortLines();
    }

    // --- quality timer

    void setQualityInterval(std::uint32_t ms)
    {
        mLog.info() << "LineMonitor: set Quality Interval to " << ms;
        mLineQualityInterval = ms;
        if (mQualityTimer != nullptr)
        {
            unsigned int current = 0;
            mQualityTimer->getInterval(current);
            if (ms == 0 || current != ms)
            {
                mQualityTimer->destroy();
                mQualityTimer.reset();
            }
        }
        if (ms != 0 && mQualityTimer == nullptr)
        {
            auto timer = std::make_unique<TarvokTimer>();
            if (!timer->create(mSession, &mQualityTimerHandler, ms, nullptr)) // "!" is true on failure
                mLog.error() << "LineMonitor(" << mName << "): cannot create the quality timer of " << ms << " ms";
            else
                mQualityTimer = std::move(timer);
        }
    }

    void resetQualityTimer()
    {
        if (mQualityTimer != nullptr)
        {
            unsigned int interval = 0;
            mQualityTimer->getInterval(interval);
            mQualityTimer->setInterval(interval);
        }
        else if (mLineQualityInterval != 0)
        {
            mLog.error() << "LineMonitor(" << mName << "): resetQualityTimer(): Quality Timer is not active!";
        }
    }

    // --- statistics

    void print(unsigned int interval)
    {
        if (interval == 0)
            interval = 1;
        if (mLines.empty())
            return;
        const std::size_t dash = mName.rfind('-');
        const std::string channel = dash == std::string::npos ? mName : mName.substr(dash + 1);
        bool allSkipped = true;
        for (LineInfo* line : mUnorderedLines)
        {
            if (line == nullptr)
            {
                allSkipped = false;
                mLog.error() << "[LineMonitor::print] Unexpected empty LineInfo entry for channel " << channel;
                continue;
            }
            if (!line->isUp())
            {
                allSkipped = false;
                mLog.warning() << "[LineMonitor::print] Channel:" << channel << " [" << line->mName << "] is "
                               << line->mLineStatus.str();
                continue;
            }
            const std::uint32_t rate = line->mStatsCount / interval;
            if (line->mStatsCount == 0 || rate < 2)
                continue; // counted on into the next report
            allSkipped = false;
            line->mStatsCountMax = std::max(line->mStatsCountMax, line->mStatsCount);
            line->mStatsCountTotal += line->mStatsCount;
            mLog.info() << "[LineMonitor::print] Channel:" << channel << " [" << line->mName
                        << "] packets:" << line->mStatsCount << " rate:" << rate << " max:" << line->mStatsCountMax
                        << " max rate:" << line->mStatsCountMax / interval << " total:" << line->mStatsCountTotal;
            line->mStatsCount = 0;
        }
        if (allSkipped)
            mLog.info() << "[LineMonitor::print] Channel:" << channel << " lines are heartbeating";
    }

    void reset(bool full)
    {
        if (mLines.empty())
            return;
        mNumLinesUp = 0;
        for (LineInfo* line : mUnorderedLines)
        {
            if (line == nullptr)
            {
                mLog.error() << "LineMonitor(" << mName << "): reset(): unexpected empty LineInfo entry!";
                continue;
            }
            line->mStatsCount = 0;
            if (full)
            {
                line->mStatsCountMax = 0;
                line->mStatsCountTotal = 0;
                line->mSeqNum = 0;
            }
        }
    }

    void stopCounting()
    {
        if (!mCountingStopped.exchange(true, std::memory_order_acq_rel) && mBandwidthInStats != nullptr)
            mLog.info() << "LineMonitor(" << mName << "): inbound bandwidth counting stopped for termination";
    }

    // --- calls from other threads

    // True when the call was carried to the monitor's thread (or could not
    // be sent, which is logged); false when it is to run here.
    bool hopped(Hop op, std::uint32_t value)
    {
        Runnable* target = ownerRunnable();
        if (target == nullptr || mHopBus == nullptr)
            return false;
        Runnable* own = Runnable::current();
        if (own == nullptr || own == target)
            return false;
        Zunq::ThreadData data;
        data.mDataType = cThreadDataType;
        data.mDataPtr1 = &mMonitor;
        const auto code = static_cast<std::uint32_t>(op);
        std::memcpy(data.mData, &code, sizeof code);
        std::memcpy(data.mData + sizeof code, &value, sizeof value);
        data.mDataSize = 2 * sizeof(std::uint32_t);
        char dst[17];
        target->getResourceName(dst);
        const int rc = own->sendThreadMessageByThreadName(dst, data, false);
        if (rc != 0)
            mLog.error() << "LineMonitor(" << mName << "): cannot pass call " << code << " to thread " << dst
                         << ", error " << rc;
        return true;
    }

    void runHop(Hop op, std::uint32_t value)
    {
        switch (op)
        {
        case Hop::PRINT: print(value); break;
        case Hop::RESET: reset(value != 0); break;
        case Hop::TERMINATE: stopCounting(); break;
        }
    }

    LineMonitor& mMonitor;
    const std::string mName;
    TarvokSession* mSession;
    Log& mLog;
    ZunqStatsWriter* mZunqStatsWriter;
    BandwidthInStats* mBandwidthInStats = nullptr;
    LineTable mLines;
    LineTable mUnorderedLines; // owns the entries
    LineStatus mLineStatus = LineStatus::WAIT;
    std::uint32_t mMaxWarningCount = 1;
    std::uint32_t mMaxErrorCount = 1;
    std::unique_ptr<TarvokTimer> mQualityTimer;
    QualityTimerHandler mQualityTimerHandler;
    bool mCheckSeqNumPerLine = false;
    std::uint32_t mErrorCount = 0;
    Time mDownTime;
    bool mInitMonitorState = true;
    bool mEnforceMonitorOff = false;
    std::uint32_t mLineQualityInterval = 65000;
    bool mAlwaysCheckUpOnLineData = false;
    std::int32_t mNumLinesUp = 0;
    std::int32_t mNumLines = 0;
    bool mDisableStatsLogging = false;
    bool mEnableNoDataWarning = true;

    std::string mDestHost; // reused by the destination-host look-up
    std::atomic<bool> mCountingStopped{false};
    HopTaker mHopTaker;
    Orlu<Zunq::ThreadData>* mHopBus = nullptr;
};

LineMonitor::LineMonitor(const std::string& name, TarvokSession* session, Log* log, ZunqStatsWriter* writer)
    : OrluSubscriber<LineData>("LineMonitor{" + name + "}"),
      OrluSubscriber<LineHeartbeat>(name),
      OrluSubscriber<LineStatus>(name),
      OrluPublisher<LineStatus>(name),
      OrluSubscriber<TerminateAll>(name),
      mImpl(std::make_unique<LineMonitorImpl>(*this, name, session, log, writer))
{
}

LineMonitor::~LineMonitor() = default;

void LineMonitor::onData(const Orlu<LineData>&, const std::string& name, const LineData& data)
{
    mImpl->onData(name, data);
}

void LineMonitor::onData(const Orlu<LineHeartbeat>&, const std::string& name, const LineHeartbeat&)
{
    mImpl->onHeartbeat(name);
}

void LineMonitor::onData(const Orlu<LineStatus>&, const std::string& name, const LineStatus& status)
{
    mImpl->onStatus(name, status);
}

void LineMonitor::onData(const Orlu<TerminateAll>&, const std::string&, const TerminateAll&)
{
    // The segment itself is detached by its owner once the threads have
    // stopped; the monitor only stops writing into it.
    if (!mImpl->hopped(Hop::TERMINATE, 0))
        mImpl->stopCounting();
}

void LineMonitor::print(unsigned int interval)
{
    if (!mImpl->hopped(Hop::PRINT, interval))
        mImpl->print(interval);
}

void LineMonitor::reset(bool full)
{
    if (!mImpl->hopped(Hop::RESET, full ? 1 : 0))
        mImpl->reset(full);
}

void LineMonitor::setQualityInterval(std::uint32_t ms) { mImpl->setQualityInterval(ms); }
void LineMonitor::setCheckSeqNumPerLine(bool on) { mImpl->mCheckSeqNumPerLine = on; }
void LineMonitor::setInitMonitorOn(bool on) { mImpl->mInitMonitorState = on; }
bool LineMonitor::getInitMonitorOn() const { return mImpl->mInitMonitorState; }
void LineMonitor::setEnforceMonitorOff(bool on) { mImpl->mEnforceMonitorOff = on; }
void LineMonitor::setAlwaysCheckUpOnLineData(bool on) { mImpl->mAlwaysCheckUpOnLineData = on; }
void LineMonitor::setEnableStatsLogging(bool on) { mImpl->mDisableStatsLogging = !on; }
void LineMonitor::setEnableNoDataWarning(bool on) { mImpl->mEnableNoDataWarning = on; }

void LineMonitor::monitorOn() { mImpl->allOn(); }
void LineMonitor::monitorOff() { mImpl->allOff(false); }
void LineMonitor::monitorDisable() { mImpl->allOff(true); }

void LineMonitor::monitorOn(const std::string& name)
{
    if (name.empty())
        monitorOn();
    else
        mImpl->switchOn(mImpl->findOrCreate(name));
}

void LineMonitor::monitorOff(const std::string& name)
{
    if (name.empty())
        monitorOff();
    else
        mImpl->switchOff(mImpl->findOrCreate(name));
}

void LineMonitor::monitorDisable(const std::string& name)
{
    if (name.empty())
        monitorDisable();
    else
        mImpl->switchDisable(mImpl->findOrCreate(name));
}

const LineStatus& LineMonitor::getStatus() const { return mImpl->mLineStatus; }
const std::string& LineMonitor::getName() const { return mImpl->mName; }
bool LineMonitor::getCheckSeqNumPerLine() const { return mImpl->mCheckSeqNumPerLine; }
void LineMonitor::onQualityTimer() { mImpl->checkDown(); }

const LineStatus* LineMonitor::getLineStatus(const std::string& name) const
{
    for (const LineInfo* line : mImpl->mUnorderedLines)
        if (line->mName == name)
            return &line->mLineStatus;
    return nullptr;
}

bool LineMonitor::isCountingStopped() const
{
    return mImpl->mCountingStopped.load(std::memory_order_acquire);
}
