// What the main-road tests share: a subscriber of the filtered channel that
// notes records, gap reports and line states in order, and the default
// feed format's text blocks.
#pragma once

#include "kelmora/bus/SeqNumGap.h"
#include "kelmora/linedata/LineData.h"
#include "kelmora/supervision/LineStatus.h"
#include "zunq/bus/Orlu.h"

#include <mutex>
#include <string>
#include <vector>

namespace roadtest
{

struct Seen : OrluSubscriber<LineData>, OrluSubscriber<SeqNumGap>, OrluSubscriber<LineStatus>
{
    Seen() : OrluSubscriber<LineData>("seen"), OrluSubscriber<SeqNumGap>("seen"), OrluSubscriber<LineStatus>("seen") {}
    void onData(const Orlu<LineData>&, const std::string&, const LineData& d) override
    {
        add(std::to_string(d.getSeqNum()));
    }
    void onData(const Orlu<SeqNumGap>&, const std::string&, const SeqNumGap& g) override
    {
        add("gap" + std::to_string(g.begin()) + "-" + std::to_string(g.end()));
    }
    void onData(const Orlu<LineStatus>&, const std::string&, const LineStatus& s) override
    {
        std::lock_guard lock(mLock);
        statuses.push_back(s.str());
    }
    void add(const std::string& what)
    {
        std::lock_guard lock(mLock);
        events += (events.empty() ? "" : " ") + what;
    }
    std::string taken()
    {
        std::lock_guard lock(mLock);
        return events;
    }
    std::mutex mLock;
    std::string events;
    std::vector<std::string> statuses;
};

// A block of messages, each an original ("O") with a one-digit sequence number.
inline std::string block(const std::vector<std::string>& messages)
{
    std::string text = "\x01";
    for (std::size_t i = 0; i < messages.size(); ++i)
        text += (i == 0 ? "" : "\x1F") + messages[i];
    return text + "\x03";
}

} // namespace roadtest
