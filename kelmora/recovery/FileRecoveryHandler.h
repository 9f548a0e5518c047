// Lets a feed plug-in restart without publishing twice. Each partition's
// (sub-feed's) publishing state lives in a sequence record of a System V
// segment, "FileRecoveryHandler_SeqNum", that outlives the process; the
// plug-in hands a partition's record to its publisher, which takes the values
// the record held as the partition's recovery point. recover then replays the
// partition's local recording through the plug-in's message handler up to
// that point (the publisher suppresses what was published before) and sets
// the partition's line filter to resume the live feed right behind it.
//
// The recovery point of a partition is also kept in a second record of the
// pool, named after the partition, until the partition's record passes it:
// a process that ends during its recovery, before the live feed has passed
// the point, leaves it to the next start, which recovers to it again.
//
// The segment is another run's memory: it is refused when its size or its
// pool counters do not match, and names are read within their field. On
// TerminateAll the publishers stop using the records, each at its next call
// on its own thread; the segment stays attached until every thread has ended
// and is detached once, by detachAll after the framework start returns.
//
// The plug-in builds the handler on a session thread and calls it there. A
// recovery may hand its replay to a timer on the reader's session thread (set
// with setRunningInDifferentThread); recover then waits on its own thread,
// bounded, and replays inline when it runs on that thread itself or on no
// framework thread.
#pragma once

#include "kelmora/bus/SeqNumStorageItem.h"
#include "kelmora/bus/TerminateAll.h"
#include "libstats/pool/ArrayBackedPool.h"
#include "libstats/pool/SeqNumStorageList.h"
#include "zunq/bus/Orlu.h"

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

class LineFilter;
class Log;
class MsgZunqPublisher;
class TarvokSession;

namespace DRAVEK::Recovery
{

class MessageHandlerZunq;
class RecoveryLocalFileReader;

struct RecoveryClient
{
    MessageHandlerZunq* mMessageHandler = nullptr;
    std::string mRecoveryFilePath;
    LineFilter* mLineFilter = nullptr;
    std::uint16_t mChannelId = 0;
};

class FileRecoveryHandler : public OrluSubscriber<TerminateAll>
{
public:
    using SeqNumStorageItem = Zunq::Utils::SeqNumStorageItem;
    using SeqNumPool = Zunq::Utils::ArrayBackedPool<SeqNumStorageItem>;
    using SeqNumStorageList = Zunq::Utils::SeqNumStorageList<SeqNumStorageItem>;
    // Monotonic nanoseconds; the wait of recover reads it.
    using Clock = std::function<std::int64_t()>;

    static constexpr const char* cSegmentName = "FileRecoveryHandler_SeqNum";
    // Appended to a partition's name: the record that keeps its recovery point.
    static constexpr const char* cRecoveryPointSuffix = "|recovery";
    // How long recover waits for a handed-over replay that makes no progress
    // (the reader itself gives up after 10 seconds without data).
    static constexpr long cDefaultWaitLimitMs = 30000;
    // How long a stopped replay has to say it stopped.
    static constexpr long cStopGraceMs = 2000;

    // Creates the segment of `key` for `poolSize` records, or attaches it with
    // its records kept; InitModuleError when it cannot. `session` is not used.
    FileRecoveryHandler(key_t key, long poolSize, Log& log, TarvokSession& session);
    // Frees what it built; the segment stays attached (see detachAll).
    ~FileRecoveryHandler() override;

    FileRecoveryHandler(const FileRecoveryHandler&) = delete;
    FileRecoveryHandler& operator=(const FileRecoveryHandler&) = delete;

    void onData(const Orlu<TerminateAll>& orlu, const std::string& name, const TerminateAll& data) override;
    // The plug-in's reader of `path`, owned and deleted by the caller.
    virtual RecoveryLocalFileReader* getLocalFileReader(const std::string& path, MessageHandlerZunq& handler) = 0;

    // The partition's record, found or taken and named; null when the pool
    // cannot give one. The recovery point that an earlier run left unpassed
    // is put back into the record first.
    SeqNumStorageItem* getSeqNumStorer(const std::string& name);
    void addSeqNumClien(MsgZunqPublisher* client);
    void addRecoveryClient(MessageHandlerZunq& handler, const std::string& path, LineFilter* lineFilter,
                           std::uint16_t channelId);

    // Replays up to the recovery point; true when the replay did not fail.
    bool recover(MessageHandlerZunq& handler, const std::string& path, LineFilter* lineFilter, std::uint16_t channelId,
                 bool checkSeqNum);
    bool recover(std::uint16_t channelId, std::uint64_t seqNum, std::uint64_t subSeqNum, bool useLineFilter,
                 bool checkSeqNum);
    bool recoverAll(MessageHandlerZunq& handler, const std::string& path, LineFilter* lineFilter,
                    std::uint16_t channelId, std::uint64_t& filePosition, bool checkSeqNum);
    bool resumeLineFilter(std::uint16_t channelId, std::uint64_t seqNum, bool intraday);
    bool pauseAllPartitions();
    std::uint64_t getPartitionSeqNum(std::uint16_t channelId);
    std::string getAllPartitionSeqNumsAsString();

    // Detaches the segment, once; later calls do nothing.
    void detachShm();
    // Every publisher stops using the records.
    void notifyClientsShmDetached();
    // Detaches the segment of every handler of the process: for main, after
    // the framework start has returned.
    static void detachAll();

    void setIntradayRecovery(std::uint16_t channelId, bool on) { mRecoveryChannels[channelId] = on; }
    bool getIntradayRecovery(std::uint16_t channelId) const;
    void setIntradayRecoveryRunning(std::uint16_t channelId, bool on) { mRecoveryChannelsRunning[channelId] = on; }
    bool getIntradayRecoveryRunning(std::uint16_t channelId) const;
    void setRunningInDifferentThread(bool on) { mRunningInDifferentThread = on; }
    bool getRunningInDifferentThread() const { return mRunningInDifferentThread; }
    bool isRunningIntradayRecovery() const { return mRunningIntradayRecovery; }

    bool isAttached() const { return mSeqNumPool != nullptr; }
    void setClock(Clock clock);
    void setWaitLimit(long milliseconds) { mWaitLimitMs = milliseconds; }

protected:
    Log& mLog;

private:
    enum class Wait
    {
        Finished,
        Stopped,
        Abandoned
    };
    // The handed-over replay: until it finishes, or stops after making no progress.
    Wait waitFor(RecoveryLocalFileReader& reader, std::uint16_t channelId);
    // Hands every recovery point record the publisher's records have to it.
    void guardPoints(MsgZunqPublisher& publisher);

    SeqNumPool* mSeqNumPool = nullptr;
    std::unique_ptr<SeqNumStorageList> mSeqNumList;
    std::atomic<bool> mDetached{false};
    std::vector<MsgZunqPublisher*> mClients;
    // Partition record, and the record that keeps its recovery point.
    std::vector<std::pair<SeqNumStorageItem*, SeqNumStorageItem*>> mGuards;
    std::map<std::uint16_t, RecoveryClient> mRecoveryClients;
    bool mRunningIntradayRecovery = false;
    bool mRunningInDifferentThread = false;
    std::map<std::uint16_t, bool> mRecoveryChannels;
    std::map<std::uint16_t, bool> mRecoveryChannelsRunning;
    Clock mClock;
    long mWaitLimitMs = cDefaultWaitLimitMs;
};

} // namespace DRAVEK::Recovery
