// What the file recovery tests share: a System V key per test with its
// segments removed afterwards, the test plug-in's handler publishing what it
// is handed as a feed plug-in would, and what it published.
#pragma once

#include "../msg_handler/plugins/RecordingFile.h"
#include "../msg_handler/plugins/RecordingMessageHandler.h"

#include "kelmora/bus/MsgZunq.h"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace frtest
{

// Keys of one test: its process id and `n` make them unique on the machine;
// the pool's further levels take the keys above each.
inline key_t testKey(int n = 0)
{
    return static_cast<key_t>(0x51000000 + ((::getpid() & 0xFFFF) << 6) + n * 8);
}

// Removes the segments of `key` and of its further levels; true when none is left.
inline bool removeSegments(key_t key)
{
    bool gone = true;
    for (int level = 0; level < 8; ++level)
    {
        const int id = ::shmget(key + level, 0, 0);
        if (id >= 0)
            ::shmctl(id, IPC_RMID, nullptr);
        gone = gone && ::shmget(key + level, 0, 0) < 0;
    }
    return gone;
}

// Processes attached to the segment of `key`; -1 when there is none.
inline int attachments(key_t key)
{
    const int id = ::shmget(key, 0, 0);
    struct shmid_ds info;
    if (id < 0 || ::shmctl(id, IPC_STAT, &info) != 0)
        return -1;
    return static_cast<int>(info.shm_nattch);
}

inline void append(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::app) << bytes;
}

// The plug-in's handler as a feed plug-in works it: every message handed
// over is published (the publisher suppresses what lies at or below the
// recovery point) and its numbers recorded in the partition's record.
class PublishingHandler : public RecordingMessageHandler
{
public:
    PublishingHandler(const std::string& name, Log& log) : RecordingMessageHandler(name, log) {}

    void processMessage(const char* msg, std::uint16_t channelId, std::uint64_t seqNum, std::uint64_t subSeqNum,
                        std::uint64_t) override
    {
        std::uint16_t length = 0;
        std::memcpy(&length, msg, 2);
        char thread[17] = {};
        const std::string where = Runnable::current() != nullptr && getCurrentThreadName(thread) == 0 ? thread : "main";
        {
            std::lock_guard lock(mLock);
            mHanded.push_back(std::to_string(seqNum) + "/" + std::to_string(subSeqNum) + " " +
                              std::string(msg + 2, length > 2 ? length - 2 : 0) + "@" + where);
        }
        publish(channelId, seqNum, subSeqNum);
        if (onMessage)
            onMessage(seqNum);
    }

    // A message of the live feed, or of a replay.
    void publish(std::uint16_t channelId, std::uint64_t seqNum, std::uint64_t subSeqNum)
    {
        MsgZunq message;
        message.mSeqNum = static_cast<std::uint32_t>(seqNum);
        message.mSubSeqNum = static_cast<std::uint16_t>(subSeqNum);
        message.mSourceChannelId = channelId;
        publishMsgZunq(message, channelId);
        setSeqNums(channelId, seqNum, subSeqNum);
    }

    // "<seq>/<sub> <text>@<thread>" of every message handed over.
    std::vector<std::string> handed() const
    {
        std::lock_guard lock(mLock);
        return mHanded;
    }

    std::function<void(std::uint64_t)> onMessage;

private:
    mutable std::mutex mLock;
    std::vector<std::string> mHanded;
};

// The sequence numbers published, in order; each also written to `fd` as a
// line when one is given (a forked run's report that outlives it).
struct Published : OrluSubscriber<MsgZunq>
{
    explicit Published(int fd = -1) : OrluSubscriber<MsgZunq>("published"), fd(fd) { channel.subscribe(this); }
    void onData(const Orlu<MsgZunq>&, const std::string&, const MsgZunq& m) override
    {
        std::lock_guard lock(mLock);
        seqs.push_back(m.mSeqNum);
        if (fd >= 0)
        {
            const std::string line = std::to_string(m.mSeqNum) + "\n";
            if (::write(fd, line.data(), line.size()) < 0)
                return;
        }
    }
    std::vector<std::uint64_t> taken()
    {
        std::lock_guard lock(mLock);
        return seqs;
    }
    Orlu<MsgZunq> channel{"MsgZunq", ""};
    int fd;
    std::mutex mLock;
    std::vector<std::uint64_t> seqs;
};

} // namespace frtest
