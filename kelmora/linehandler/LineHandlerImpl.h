// The state of a LineHandler and its recovery message file: the writer, the
// backup of a reset and the batched replay. Runs on the handler's thread.
#pragma once

#include "kelmora/linehandler/FileDescBuffer.h"
#include "kelmora/supervision/LineStatus.h"

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

class LineData;
class LineDataFactory;
class LineHandler;
class Log;
class TarvokSession;

class LineHandlerImpl
{
public:
    LineHandlerImpl(LineHandler& handler, LineDataFactory* factory, TarvokSession& session, Log& log);
    ~LineHandlerImpl();

    LineHandlerImpl(const LineHandlerImpl&) = delete;
    LineHandlerImpl& operator=(const LineHandlerImpl&) = delete;

    void save(LineData& data);
    void writeRecoveryFile(bool truncate);
    void resetRecoveryFile();
    void readRecoveryFile();
    void readRecovery();
    // Sends the next replay signal while a replay runs; LineEof when it
    // cannot be sent (the replay cannot go on).
    void selfSignal();
    void closeInput();

    LineHandler& mLineHandler;
    TarvokSession& mSession;
    Log& mLog;
    LineDataFactory* mFactory;
    LineData* mData = nullptr;
    std::uint32_t mMsgCount = 0;
    bool mUsesRecoveryFile = false;
    std::FILE* mRecoveryInput = nullptr;
    // The writer lives in the handler (read per message); this refers to it.
    std::FILE*& mRecoveryOutput;
    std::string mRecoveryFileName;
    int mRecoveryFileFd = -1;
    std::uint32_t mRecoveryMaxAge;
    FileDescBuffer mRecoveryBuffer;
    std::string mRecoveryFileBackupFmt;
    std::string mFeedName;
    bool bProcessRecoveryFile = false;
    bool mTerminateAll = false;
    bool mRecordLineTimeStamps = true;
    bool mDisconnectIsError = true;
    bool mLogLatencyPerPacket = false;
    std::time_t (*mClock)() = nullptr;
    std::string mName = "LineHandler";

private:
    void closeOutput();
    void backupMsgFile();
    // Parses one header field: spaces, "0" and "+" skipped, then digits to
    // the end of the field; false for any other character or an overflow.
    static bool parseField(const char* field, unsigned int width, std::uint64_t& value);
    std::time_t now() const;
};
