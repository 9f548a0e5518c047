// What the message handler tests share: a log sink that keeps each line with
// its level, and a subscriber that keeps what a channel carried.
#pragma once

#include "zunq/bus/Orlu.h"
#include "zunq/log/LogSink.h"

#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace mhtest
{

class LevelSink : public LogSink
{
public:
    void setLevel(LogLevels level) override { mLevel = level; }
    LogLevels getLevel() const override { return mLevel; }
    void print(LogLevels level, char c) override { print(level, &c, 1); }
    void print(LogLevels level, const std::string& text) override { print(level, text.data(), text.size()); }
    void print(LogLevels level, const char* text, unsigned long length) override
    {
        std::string line(text, length);
        if (!line.empty() && line.back() == '\n')
            line.pop_back();
        std::lock_guard lock(mLock);
        mLines.emplace_back(level, line);
    }
    void clear()
    {
        std::lock_guard lock(mLock);
        mLines.clear();
    }
    std::vector<std::pair<LogLevels, std::string>> lines() const
    {
        std::lock_guard lock(mLock);
        return mLines;
    }
    // The lines that contain `text`, each as "<level> <line>".
    std::vector<std::string> find(const std::string& text) const
    {
        std::vector<std::string> out;
        for (const auto& [level, line] : lines())
            if (line.find(text) != std::string::npos)
                out.push_back(std::to_string(level) + " " + line);
        return out;
    }

private:
    mutable std::mutex mLock;
    LogLevels mLevel = LOG_LEVEL_DEBUG;
    std::vector<std::pair<LogLevels, std::string>> mLines;
};

// Keeps every message of one channel with the publisher's name.
template <typename T>
struct Kept : OrluSubscriber<T>
{
    Kept() : OrluSubscriber<T>("kept") {}
    void onData(const Orlu<T>&, const std::string& name, const T& data) override
    {
        std::lock_guard lock(mLock);
        messages.emplace_back(name, data);
    }
    std::vector<std::pair<std::string, T>> taken()
    {
        std::lock_guard lock(mLock);
        return messages;
    }
    std::mutex mLock;
    std::vector<std::pair<std::string, T>> messages;
};

} // namespace mhtest
