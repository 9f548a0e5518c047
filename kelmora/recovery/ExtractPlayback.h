// The extract recorder: appends every line data record that reaches it to an
// extract file, so that a day's feed can be kept and played back. The file
// name is a strftime pattern expanded when the file opens; a pattern ending
// in ".gz" writes gzip. Recording may be limited to a daily window (start and
// stop times of day, the stop before the start meaning across midnight),
// which a check every 4007 ms enforces on the control session's thread.
//
// Each record is stored as, optionally, one meta line without a line end
//   *M*E*T*A*S*T*A*R*T*/4/<length>/<host>/<port>/<time of day>/<seconds since
//   the epoch, %17.6f>/<hint>/*M*E*T*A*E*N*D*
// then the record's bytes unchanged and one line feed.
//
// Threads: the factory subscribes the recorder to every sub-feed's line data
// channels once, at creation; records arrive on each sub-feed's thread while
// the window check, the admin methods and TerminateAll run on the control
// session's thread. Opening and closing the file switch writing on and off
// under a mutex that each record write also holds, so a record is written
// whole into an open file or dropped while none is open, never into a file
// being closed. Settings (time zone, hint, time stamps) are made at start-up.
#pragma once

#include "kelmora/bus/TerminateAll.h"
#include "kelmora/linedata/LineData.h"
#include "kelmora/runtime/InitModule.h"
#include "zunq/bus/Orlu.h"
#include "zunq/time/Time.h"

#include <functional>
#include <memory>
#include <string>

class ExtractPlayback;
class Log;
class TarvokSession;
class TimeZone;

// Told when the recorder opens and closes its file.
class ExtractPlaybackActions
{
public:
    virtual ~ExtractPlaybackActions() = default;
    virtual void extractOn(ExtractPlayback& recorder) = 0;
    virtual void extractOff(ExtractPlayback& recorder) = 0;
};

class ExtractPlayback : public OrluSubscriber<LineData>, public OrluSubscriber<TerminateAll>
{
public:
    static constexpr unsigned int cCheckIntervalMs = 4007;
    static constexpr std::size_t cMaxHint = 128;
    static constexpr std::size_t cMaxFileName = 1023;

    // The current time: for the window checks, the file names and the meta
    // line of a record without a line time. Tests give a fixed one; without
    // it the system clock is read. Called on any of the recorder's threads.
    using Clock = std::function<Time()>;

    // Window times are times of day in the local zone ("09:01"); empty means
    // unset. Runs the first window check, which may open the file at once,
    // then starts the check timer when there is a window start.
    ExtractPlayback(TarvokSession& session, Log& log, const std::string& fileNameFormat,
                    const std::string& startTime, const std::string& stopTime, bool meta,
                    ExtractPlaybackActions* actions, Clock clock = Clock());
    // Closes the file and stops the timer.
    ~ExtractPlayback() override;

    ExtractPlayback(const ExtractPlayback&) = delete;
    ExtractPlayback& operator=(const ExtractPlayback&) = delete;

    // Writes the record while a file is open; drops it otherwise.
    void onData(const Orlu<LineData>& orlu, const std::string& name, const LineData& data) override;
    // Closes the file for good: later checks and resets open nothing.
    void onData(const Orlu<TerminateAll>& orlu, const std::string& name, const TerminateAll& data) override;

    // The control session's thread from here on.
    // A new pattern (empty: no recording); the file is closed, then the window decides.
    void reset(const std::string& fileNameFormat);
    void setStartTime(const std::string& startTime);
    void setStopTime(const std::string& stopTime);
    // The window rule, now; the timer runs it every cCheckIntervalMs.
    void check();
    bool isCurrentlyExtracting() const;

    const Time& getStartTime() const;
    const Time& getStopTime() const;
    const std::string& getStartTimeText() const;
    const std::string& getStopTimeText() const;
    const std::string& getFileNameFormat() const;
    bool isOpen() const;

    // Start-up only.
    void setMillisecondTimestamps(bool on);
    // A name TimeZone::getTimeZone knows; another keeps the zone and says so.
    void setTimeZone(const char* name);
    const TimeZone* getTimeZone() const;
    // The first cMaxHint characters.
    void setExtractHint(const char* hint);

private:
    class ExtractPlaybackImpl;
    std::unique_ptr<ExtractPlaybackImpl> mImpl;
};

// Priority 700: one recorder per process on the default session, recording
// each sub-feed group's "OrluLinePlaybackFilter" (with FilterPlayback),
// "OrluLineDataBlock" and "OrluLineData" channels, in group order; the admin
// methods resetExtractPlayback, setExtractPlaybackStartTime and
// setExtractPlaybackStopTime in the default admin session (none, with a
// warning, when there is no "KeshSession"). The recorder is not registered.
template <>
bool InitModule<ExtractPlayback>::createModule(ModuleList* list, ZunqConfigManager* config);
