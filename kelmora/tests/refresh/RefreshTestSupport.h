// What the refresh client tests share: refresh packets written from the bytes
// (a 16-byte header with the message count at byte 2 and the first number at
// byte 4, then messages led by their u16 size and u16 type), and the test
// plug-in's handler noting each snapshot message by its own bytes.
#pragma once

#include "../msg_handler/plugins/RecordingMessageHandler.h"

#include <cstdint>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace refreshtest
{

constexpr std::uint16_t cDataType = 0x0500;
constexpr std::uint16_t cCompleteType = 203;

inline std::string u16(std::uint16_t v)
{
    return std::string(reinterpret_cast<const char*>(&v), 2);
}

inline std::string u32(std::uint32_t v)
{
    return std::string(reinterpret_cast<const char*>(&v), 4);
}

// A data message carrying `text` (at least 4 characters: a message holds 8 bytes or more).
inline std::string data(const std::string& text)
{
    return u16(static_cast<std::uint16_t>(4 + text.size())) + u16(cDataType) + text;
}

// The refresh-complete message: the cycle covers realtime numbers up to `last`.
inline std::string complete(std::uint32_t last)
{
    return u16(8) + u16(cCompleteType) + u32(last);
}

// A packet whose first message has number `seq`; `count` overrides the count byte.
inline std::string packet(std::uint32_t seq, const std::vector<std::string>& messages, int count = -1)
{
    std::string body;
    for (const std::string& m : messages)
        body += m;
    std::string header = u16(static_cast<std::uint16_t>(16 + body.size()));
    header += static_cast<char>(count >= 0 ? count : static_cast<int>(messages.size()));
    header += '\0';
    header += u32(seq);
    header += std::string(8, '\0');
    return header + body;
}

// The plug-in's handler, noting each replayed message as "<channel>/<publish
// number>/<type>/<text>" (a refresh-complete message as "*<last>"), read by
// the message's own size; and each reset as "reset".
class SnapshotHandler : public RecordingMessageHandler
{
public:
    SnapshotHandler(const std::string& name, Log& log) : RecordingMessageHandler(name, log) {}

    void processMessage(const char* msg, std::uint16_t channelId, std::uint64_t seqNum, std::uint64_t subSeqNum,
                        std::uint64_t extra) override
    {
        (void)subSeqNum;
        (void)extra;
        std::uint16_t size = 0;
        std::uint16_t type = 0;
        std::memcpy(&size, msg, 2);
        std::memcpy(&type, msg + 2, 2);
        std::string text;
        if (type == cCompleteType && size >= 8)
        {
            std::uint32_t last = 0;
            std::memcpy(&last, msg + 4, 4);
            text = "*" + std::to_string(last);
        }
        else
            text = std::string(msg + 4, size >= 4 ? size - 4 : 0);
        char thread[17] = {};
        const std::string where = Runnable::current() != nullptr && getCurrentThreadName(thread) == 0 ? thread : "main";
        std::lock_guard lock(mLock);
        mThreads.insert(where);
        mMessages.push_back(std::to_string(channelId) + "/" + std::to_string(seqNum) + "/" + text);
        mTexts.push_back(text);
    }
    void resetState() override
    {
        std::lock_guard lock(mLock);
        mMessages.push_back("reset");
        mTexts.push_back("reset");
    }

    // Everything replayed so far.
    std::vector<std::string> messages() const
    {
        std::lock_guard lock(mLock);
        return mMessages;
    }
    // The same without channel and number.
    std::vector<std::string> texts() const
    {
        std::lock_guard lock(mLock);
        return mTexts;
    }
    // The threads messages were replayed on ("main" off the framework).
    std::set<std::string> threads() const
    {
        std::lock_guard lock(mLock);
        return mThreads;
    }
    void clear()
    {
        std::lock_guard lock(mLock);
        mMessages.clear();
        mTexts.clear();
        mThreads.clear();
    }

private:
    mutable std::mutex mLock;
    std::vector<std::string> mMessages;
    std::vector<std::string> mTexts;
    std::set<std::string> mThreads;
};

} // namespace refreshtest
