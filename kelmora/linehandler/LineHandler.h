// The base of every feed line handler. It owns the line's status and
// publishes each change, publishes line data, heartbeats, system events and
// the request to end the process, turns the line exceptions into line-down
// and bounce actions, counts received messages, and keeps the line's
// recovery message file: one record per received message, written as a
// 6-character length and a 10-character sequence number (both decimal,
// right-aligned with spaces) followed by the data and its newline, replayed
// later in batches of 20 records, each batch started by a thread message to
// the handler's own thread so other work runs between batches.
//
// A handler is built with a TarvokSession and runs only on that session's
// thread; it takes no lock.
#pragma once

#include "kelmora/bus/LineHeartbeat.h"
#include "kelmora/bus/SystemEvent.h"
#include "kelmora/bus/TerminateAll.h"
#include "kelmora/linedata/LineData.h"
#include "kelmora/linehandler/LineConnectError.h"
#include "kelmora/linehandler/LineEof.h"
#include "kelmora/linehandler/LineError.h"
#include "kelmora/linehandler/LineTerminate.h"
#include "kelmora/supervision/LineStatus.h"
#include "kelmora/thread/ThreadData.h"
#include "zunq/bus/Orlu.h"

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <stdexcept>
#include <string>

class LineDataFactory;
class LineHandlerImpl;
class Log;
class TarvokSession;

class LineHandler : public OrluPublisher<LineData>,
                    public OrluPublisher<LineHeartbeat>,
                    public OrluPublisher<LineStatus>,
                    public OrluPublisher<SystemEvent>,
                    public OrluPublisher<TerminateAll>,
                    public OrluSubscriber<Zunq::ThreadData>
{
public:
    static constexpr unsigned int cReplayBatch = 20;
    static constexpr std::uint32_t cRecoveryMaxAge = 14400;
    // The largest data length (newline included) the length field holds.
    static constexpr std::uint32_t cMaxRecordLength = 999999;
    static constexpr unsigned int cRecordHeaderLength = 16;

    LineHandler(LineDataFactory* factory, TarvokSession& session, Log& log);
    // Logs the termination lines but publishes nothing: at process teardown
    // the buses may already be gone.
    virtual ~LineHandler();

    LineHandler(const LineHandler&) = delete;
    LineHandler& operator=(const LineHandler&) = delete;

    virtual void terminate();
    virtual void connect() = 0;
    virtual void disconnect() = 0;
    virtual bool connected() const = 0;
    virtual void onLineDown(const std::string& reason, LineStatus::StatusType status, bool isError) = 0;
    virtual bool check(LineData& data);
    virtual void save(LineData& data);
    virtual void bounceLine(const std::string& reason, LineStatus::StatusType status, bool isError);
    virtual void lineDown(const std::string& reason, LineStatus::StatusType status, bool isError);
    // The replay signal: runs a batch when the message is this handler's.
    void onData(const Orlu<Zunq::ThreadData>& orlu, const std::string& name, const Zunq::ThreadData& data) override;
    virtual void lineEof(LineEof& e);
    virtual void lineError(LineError& e);
    virtual void lineConnectError(LineConnectError& e);
    virtual void lineTerminate(LineTerminate& e);
    virtual void invalidArg(std::invalid_argument& e);

    void setName(const std::string& name);
    const std::string& getName() const;
    // Only the first name given sticks.
    void setFeedName(const std::string& name);
    const std::string& getFeedName() const;
    void setUsesRecoveryFile(bool on);
    bool getUsesRecoveryFile() const;
    void setTerminateAll(bool on);
    TarvokSession& getTarvokSession() const;
    std::uint32_t getMsgCount() const;
    void addMsgCount(unsigned int n);
    LineStatus::StatusType getLineStatus() const { return mLineStatus.type(); }
    // Publishes only a change.
    void setLineStatus(LineStatus::StatusType status);
    void publishHeartbeat();
    void setLineTimeStamps(bool on);
    bool getLineTimeStamps() const;
    void setServerDisconnectIsError(bool on);
    bool getServerDisconnectIsError() const;
    void setLogInternalLatencyPerPacket(bool on);
    bool getLogInternalLatencyPerPacket() const;
    // Adds O_NONBLOCK; on failure closes fd, logs and throws LineError.
    int setNonBlocking(int fd) const;

    // The recovery message file.
    void setRecoveryFile(const std::string& path);
    // A time format (with "%;" and "%:" as Time::strFmt has them); empty: no backups.
    void setRecoveryFileBackupFmt(const std::string& fmt);
    // Opens the file for replay and sends the first signal; LineEof when it
    // cannot be replayed. Both arguments are ignored.
    void readRecoveryFile(int unused = 0, bool unused2 = false);
    void stopReadRecoveryFile();
    bool readingRecoveryFile() const;
    // True while received messages are being written to the recovery file.
    bool writingRecoveryFile() const { return mRecoveryOutput != nullptr; }
    void writeRecoveryFile(bool truncate);
    void resetRecoveryFile();
    // One batch of up to 20 records; throws LineEof at the end of the file.
    void readRecovery();
    // The wall clock the replay's age check reads (tests fix it).
    void setWallClock(std::time_t (*clock)());

protected:
    Log& mLog;

private:
    friend class LineHandlerImpl;
    // The two lines of terminate(); the request to end the process only when asked.
    void stop(bool publishTerminateAll);
    void endReplay();

    // Read for every received message, so held here where the receive
    // paths read them inline rather than behind mImpl.
    LineStatus mLineStatus{LineStatus::UNKNOWN};
    // The recovery file writer; null while no record is written.
    std::FILE* mRecoveryOutput = nullptr;
    // Declared after the two above: its writer refers to mRecoveryOutput.
    std::unique_ptr<LineHandlerImpl> mImpl;
};
