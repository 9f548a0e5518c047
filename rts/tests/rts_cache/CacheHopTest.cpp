// A sub-feed published on another thread than the cache's: its records and
// mode reach the cache by thread message, on the cache's thread, through the
// real framework.
#include "CacheTestSupport.h"
#include "kelmora/runtime/InitModuleError.h"
#include "kelmora/runtime/Module.h"
#include "kelmora/tests/host_runnable/RunnableTestSupport.h"
#include "kelmora/thread/TarvokTimer.h"
#include "rts/cache/LineDataCacheManager.h"
#include "zunq/config/ConfigFile.h"

#include <gtest/gtest.h>

#include <fstream>
#include <list>
#include <string>
#include <vector>

using namespace hostrun;

namespace
{
// Publishes three records and a mode on its sub-feed's buses at APP_READY.
struct FeedThread : Runnable
{
    using Runnable::Runnable;
    Feeder* feeder = nullptr;
    void appReady() override
    {
        for (std::uint32_t seq = 1; seq <= 3; ++seq)
            feeder->send(seq, messageBytes(16, 16, 1, seq));
        feeder->mode(MhMode::SLEEP);
    }
};

// Looks at the cache on its own thread until all has arrived.
struct Watch : TarvokTimerHandler
{
    LineDataCacheManager* manager = nullptr;
    std::uint32_t last = 0;
    bool secondIntact = false;
    MhMode::Mode mode = MhMode::UNKNOWN;
    void onTimer(TarvokTimer* t) override
    {
        LineDataCacheManager::LineDataCache* cache = manager->getLineDataCache(7);
        last = manager->getLastBroadcastSeqNum(7);
        mode = cache->getMhMode().getMode();
        if (last != 3 || mode != MhMode::SLEEP)
            return;
        const LineData* second = cache->getMessage(2);
        const std::vector<char> want = messageBytes(16, 16, 1, 2);
        secondIntact = second != nullptr && second->getSeqNum() == 2 && second->getDataLen() == want.size() &&
                       std::memcmp(second->getData(), want.data(), want.size()) == 0 &&
                       manager->isRequestValid("c", 7, 1, 3, false);
        t->destroy();
        stopFramework();
    }
};
} // namespace

TEST(LineDataCacheHop, RecordsAndModeOfASubFeedOnAnotherThreadArriveOnTheCachesThread)
{
    Host host;
    Thread<> server(host, "SRVT");
    Thread<FeedThread> feed(host, "FEEDT");
    auto* feeder = new Feeder; // kept by the module list below
    feed.runnable->feeder = feeder;

    TempDir dir;
    const std::string path = dir.path() + "/rts.xml";
    std::ofstream(path) << "<rts><feedA><RtsChannelId>7</RtsChannelId><MaxCacheSize>16</MaxCacheSize></feedA></rts>\n";
    ZunqConfigManager config(0, nullptr);
    std::unique_ptr<ConfigFile> file(createConfigFile(path, config));
    ASSERT_NE(file, nullptr);
    config.addFile(file.get());
    // The module list and what it holds live until the program ends, as in the host.
    static auto* kept = new std::vector<ModuleList*>();
    kept->push_back(new ModuleList);
    ModuleList* list = kept->back();
    registerModule<Log>(list, "Log", &host.log, list->defaultGroup());
    registerModule(list, "SubFeeds", new std::list<std::string>{"feedA"}, list->defaultGroup());
    registerModule<TarvokSession>(list, "TarvokSession", &server.session, list->defaultGroup());
    registerModule<TarvokSession>(list, "TarvokSession", &feed.session, "feedA");
    registerModule(list, "feeder", feeder, "feedA");
    registerModule(list, "OrluLineData", &feeder->mData, "feedA");
    registerModule(list, "OrluMhMode", &feeder->mMode, "feedA");
    ASSERT_TRUE(InitModule<LineDataCacheManager>().createModule(list, &config));
    auto* manager = findModule<LineDataCacheManager>(list, "LineDataCacheManager", list->defaultGroup());
    ASSERT_NE(manager, nullptr);
    EXPECT_EQ(host.sink.count("sub-feed feedA is published on thread FEEDT: its records reach the cache on thread "
                              "SRVT by thread message"),
              1);

    // Published here, on a thread without a Runnable: it cannot hop, and it
    // never touches the cache directly.
    feeder->send(1, messageBytes(16, 16, 1, 1));
    EXPECT_EQ(manager->getLastBroadcastSeqNum(7), 0u);
    EXPECT_EQ(host.sink.count("published on a thread without a Runnable cannot reach the cache on thread SRVT",
                              LOG_LEVEL_ERROR),
              1);

    Watch watch;
    watch.manager = manager;
    TarvokTimer timer;
    ASSERT_FALSE(!timer.create(&server.session, &watch, 5, nullptr));
    ASSERT_TRUE(runFramework({{"SRVT", 100}, {"FEEDT", 100}}, "", std::chrono::seconds(20)));
    EXPECT_EQ(watch.last, 3u);
    EXPECT_EQ(watch.mode, MhMode::SLEEP);
    EXPECT_TRUE(watch.secondIntact);
}
