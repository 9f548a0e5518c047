// The message handler of the tests' feed plug-in: a MessageHandlerZunq that
// records, as text, every call it receives and the thread it arrived on
// ("main" off the framework's threads), so that a test can read what reached
// the plug-in and where. The plug-in registers one per sub-feed as
// "MessageHandler" (and "MsgZunqPublisher") in the sub-feed's group.
//
// Entries: "data <seq>", "status <text>", "event <text>", "admin <action>
// <seq>", "seqnum <n>", "ha <mode>", "message <channel> <seq> <subSeq> <extra>
// <first bytes as text>", "reset"; each followed by "@<thread>". A test that
// runs the plug-in in another process has each entry written to the log too
// (echoTo); a message's there ends "<extra>@<thread> body=" and its bytes
// after its size and type, as peer bytes are logged.
#pragma once

#include "kelmora/recovery/MessageHandlerZunq.h"
#include "kelmora/thread/Runnable.h"
#include "zunq/protocol/ZunqDumpUtils.h"

#include "FendralServices/api/FwServices.h"

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

class RecordingMessageHandler : public DRAVEK::Recovery::MessageHandlerZunq
{
public:
    RecordingMessageHandler(const std::string& name, Log& log) : MessageHandlerZunq(name, log, true) {}

    void onData(const Orlu<LineData>& orlu, const std::string& name, const LineData& data) override
    {
        (void)orlu;
        (void)name;
        add("data " + std::to_string(data.getSeqNum()));
    }
    void onData(const Orlu<LineStatus>& orlu, const std::string& name, const LineStatus& status) override
    {
        add(std::string("status ") + status.str());
        MessageHandler::onData(orlu, name, status);
    }
    void onData(const Orlu<SystemEvent>& orlu, const std::string& name, const SystemEvent& event) override
    {
        add("event " + event.str());
        MessageHandler::onData(orlu, name, event);
    }
    void onData(const Orlu<LineAdmin>& orlu, const std::string& name, const LineAdmin& admin) override
    {
        add("admin " + std::to_string(admin.getAction()) + " " + std::to_string(admin.getSeqNum()));
        MessageHandler::onData(orlu, name, admin);
    }
    void setSeqNum(std::uint32_t seqNum) override
    {
        add("seqnum " + std::to_string(seqNum));
        MessageHandler::setSeqNum(seqNum);
    }
    using MessageHandlerZunq::setHAMode;
    void setHAMode(const HaMode& mode) override
    {
        add("ha " + mode.str());
        MessageHandlerZunq::setHAMode(mode);
    }
    void processMessage(const char* msg, std::uint16_t channelId, std::uint64_t seqNum, std::uint64_t subSeqNum,
                        std::uint64_t extra) override
    {
        const std::string entry = "message " + std::to_string(channelId) + " " + std::to_string(seqNum) + " " +
                                  std::to_string(subSeqNum) + " " + std::to_string(extra);
        add(entry + " " + (msg != nullptr ? std::string(msg, strnlen(msg, 16)) : "null"), entry, body(msg));
    }
    void resetState() override { add("reset"); }

    // Each entry also to `log` at info, as "RecordingMessageHandler(<name>) <entry>".
    void echoTo(Log* log) { mEcho = log; }

    // Everything recorded so far, in order.
    std::vector<std::string> taken() const
    {
        std::lock_guard lock(mLock);
        return mCalls;
    }
    // Only the entries that begin with `kind`.
    std::vector<std::string> taken(const std::string& kind) const
    {
        std::vector<std::string> out;
        for (const std::string& call : taken())
            if (call.compare(0, kind.size(), kind) == 0)
                out.push_back(call);
        return out;
    }

private:
    // A message's bytes after its size and type, as the log shows peer bytes.
    static std::string body(const char* msg)
    {
        if (msg == nullptr)
            return "";
        std::uint16_t size = 0;
        std::memcpy(&size, msg, 2);
        return " body=" + ZunqDumpUtils::writePeerBytes(msg + 4, size > 4 ? size - 4 : 0);
    }

    // `call` as recorded; the log has `echoed` (when given) and `tail` instead.
    void add(const std::string& call, const std::string& echoed = "", const std::string& tail = "")
    {
        char name[17] = {};
        const std::string thread = Runnable::current() != nullptr && getCurrentThreadName(name) == 0 ? name : "main";
        std::lock_guard lock(mLock);
        mCalls.push_back(call + "@" + thread);
        if (mEcho != nullptr)
            mEcho->info() << "RecordingMessageHandler(" << getName() << ") " << (echoed.empty() ? call : echoed) << "@"
                          << thread << tail;
    }

    mutable std::mutex mLock;
    std::vector<std::string> mCalls;
    Log* mEcho = nullptr;
};
