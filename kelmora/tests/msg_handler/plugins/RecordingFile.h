// The recording format of the tests' feed plug-in, its file reader and its
// file recovery handler.
//
// A packet, little-endian: a 16-byte header (u16 packet length, header
// included; u16 message count; u8 flags, 1 for a sequence reset; 3 bytes 0;
// u64 sequence number), then its messages, each a u16 length (itself
// included) followed by its bytes. The tests write recordings with `encode`.
#pragma once

#include "kelmora/recovery/FileRecoveryHandler.h"
#include "kelmora/recovery/RecoveryLocalFileReader.h"
#include "zunq/log/Log.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace recording
{

constexpr std::size_t cHeaderSize = 16;
// The reader's buffer: the largest packet the length field can give.
constexpr std::size_t cBufferSize = 65536;

struct Packet
{
    std::uint64_t seqNum;
    std::vector<std::string> messages;
    bool reset = false;
};

inline std::string encode(const Packet& p)
{
    std::string body;
    for (const std::string& m : p.messages)
    {
        const auto length = static_cast<std::uint16_t>(m.size() + 2);
        body.append(reinterpret_cast<const char*>(&length), 2);
        body += m;
    }
    std::string out(cHeaderSize, '\0');
    const auto length = static_cast<std::uint16_t>(cHeaderSize + body.size());
    const auto count = static_cast<std::uint16_t>(p.messages.size());
    std::memcpy(&out[0], &length, 2);
    std::memcpy(&out[2], &count, 2);
    out[4] = p.reset ? 1 : 0;
    std::memcpy(&out[8], &p.seqNum, 8);
    return out + body;
}

// Packets first .. last, one message "m<seq>" each.
inline std::string packets(std::uint64_t first, std::uint64_t last)
{
    std::string out;
    for (std::uint64_t s = first; s <= last; ++s)
        out += encode({s, {"m" + std::to_string(s)}});
    return out;
}

class Reader : public DRAVEK::Recovery::RecoveryLocalFileReader
{
public:
    Reader(Log& log, const std::string& path, DRAVEK::Recovery::MessageHandlerZunq& handler, TarvokSession& session,
           int attempts)
        : RecoveryLocalFileReader(log, path, handler, cBufferSize, session), mAttempts(attempts)
    {
    }

    char* getMessage(char* data, std::size_t& length) override
    {
        std::uint16_t size = 0;
        if (length >= 2)
            std::memcpy(&size, data, 2);
        // A length below its own field is no step at all.
        length = size < 2 ? 0 : size;
        return data;
    }

    void getPacketValues(char* packet, std::uint64_t& seqNum, std::uint16_t& messageCount, std::size_t& headerLength,
                         bool& isSequenceReset) override
    {
        std::memcpy(&messageCount, packet + 2, 2);
        std::memcpy(&seqNum, packet + 8, 8);
        isSequenceReset = packet[4] == 1;
        headerLength = cHeaderSize;
        mLastProcessSeqNum = seqNum;
        if (mCheckSeqNum && seqNum != mExpectedSeqNum && !isSequenceReset)
            mLog.info() << "recording::Reader: packet " << seqNum << " where " << mExpectedSeqNum << " was expected";
        mExpectedSeqNum = seqNum + 1;
    }

    bool readPacket(std::FILE* file, std::size_t& length, bool processAll) override
    {
        const int attempts = processAll ? 0 : mAttempts;
        if (!tryToRead(file, cHeaderSize, mPacket, attempts))
            return false;
        std::uint16_t size = 0;
        std::memcpy(&size, mPacket, 2);
        if (size < cHeaderSize)
        {
            mLog.error() << "recording::Reader::readPacket(): packet length " << size << " is shorter than its header";
            return false;
        }
        if (size > cHeaderSize && !tryToRead(file, size - cHeaderSize, mPacket + cHeaderSize, attempts))
            return false;
        length = size;
        return true;
    }

private:
    int mAttempts;
};

// The plug-in's file recovery handler: its readers read this format. Tests
// set how readers wait (`attempts` of tryToRead, the clock and the sleep).
class RecoveryHandler : public DRAVEK::Recovery::FileRecoveryHandler
{
public:
    RecoveryHandler(key_t key, long poolSize, Log& log, TarvokSession& session)
        : FileRecoveryHandler(key, poolSize, log, session), mSession(session)
    {
    }

    DRAVEK::Recovery::RecoveryLocalFileReader* getLocalFileReader(const std::string& path,
                                                                  DRAVEK::Recovery::MessageHandlerZunq& handler) override
    {
        auto* reader = new Reader(mLog, path, handler, mSession, attempts);
        reader->setSleep(sleep);
        reader->setClock(clock);
        return reader;
    }

    TarvokSession& mSession;
    int attempts = 10;
    DRAVEK::Recovery::RecoveryLocalFileReader::Sleep sleep;
    DRAVEK::Recovery::RecoveryLocalFileReader::Clock clock;
};

} // namespace recording
