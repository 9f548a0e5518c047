// What the main-road tests share: a subscriber of the filtered channel that
// notes records, gap reports and line states in order, the default feed
// format's text blocks, and a process started from a configuration of one
// sub-feed A on its own named thread, on the real framework.
#pragma once

#include "../host_admin/AdminTestSupport.h"
#include "../host_runnable/RunnableTestSupport.h"

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

// The host of one road test: its log as the module "Log", and the
// configuration of feedd with sub-feed A (its section body `subFeed`) on the
// named thread FEED, plus `more` at the top level.
struct RoadHost
{
    RoadHost(const std::string& subFeed, const std::string& more)
    {
        host.log.setLevel(LOG_LEVEL_INFO);
        registerModule<Log>(&modules, "Log", &host.log, modules.defaultGroup());
        cfg = makeConfig({"feedd"},
                         "<QueueSize>200</QueueSize><NamedThreads><Value>FEED</Value></NamedThreads>"
                         "<FEED><Enabled>true</Enabled></FEED><SubFeeds><Value>A</Value></SubFeeds>"
                         "<A><UseNamedThread>FEED</UseNamedThread>" +
                             subFeed + "</A>" + more,
                         &dir);
        cfg->setAppName("feedd");
    }

    // Starts the modules inside the framework's start-up, lets `wire` reach
    // them before any thread runs, and runs until a thread stops the
    // framework; true when that happened in time.
    bool run(const std::function<void(ModuleList&)>& wire)
    {
        hostrun::extraRegistration() = [&] {
            moduleInitializer()->initialize(&modules, cfg.get());
            wire(modules);
            return 0;
        };
        const bool ran = hostrun::runFramework({});
        hostrun::extraRegistration() = nullptr;
        return ran;
    }

    hostrun::Host host;
    ModuleList& modules = keptModuleList();
    TempDir dir;
    std::unique_ptr<ZunqConfigManager> cfg;
};

} // namespace roadtest
