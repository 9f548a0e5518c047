#include "CacheTestSupport.h"
#include "kelmora/runtime/InitModuleError.h"
#include "kelmora/runtime/Module.h"
#include "kelmora/runtime/ModuleList.h"
#include "rts/cache/LineDataCacheManager.h"
#include "zunq/config/ConfigFile.h"
#include "zunq/config/ZunqConfigManager.h"

#include <gtest/gtest.h>

#include <fstream>
#include <list>
#include <memory>

namespace
{
struct Expected
{
    std::uint16_t channel;
    std::int32_t capacity;
    std::string subFeed; // whose bus fills it
};

struct FactoryCase
{
    const char* name;
    std::string config; // inside the root element
    std::vector<std::string> subFeeds; // empty: no "SubFeeds" module
    bool lineDataBus;
    std::string error; // "" when start-up succeeds
    std::vector<Expected> caches;
    std::string warning;
};

// Module lists and what they hold live until the program ends, as in the host.
ModuleList& keptModuleList()
{
    static auto* lists = new std::vector<ModuleList*>();
    lists->push_back(new ModuleList);
    return *lists->back();
}

TEST(LineDataCacheManagerFactory, ConfigurationTable)
{
    const std::string missing = "InitModule<LineDataCacheManager> : InitModule<LineDataCacheManager> (feedB) No "
                                "RtsChannelId defined forfeedB - Mandatory Parameter";
    const FactoryCase cases[] = {
        {"no SubFeeds: one cache for the default group", "<RtsChannelId>5</RtsChannelId>", {}, true, "",
         {{5, 100000, "default"}}, ""},
        {"no SubFeeds still needs a channel id", "", {}, true,
         "InitModule<LineDataCacheManager> : InitModule<LineDataCacheManager> (default) No RtsChannelId defined "
         "fordefault - Mandatory Parameter",
         {}, ""},
        // A default of 2,000,000 slots is accepted; the sub-feed's own size
        // keeps the test from building 3.7 GB of them.
        {"2,000,000 accepted as the default",
         "<MaxCacheSize>2000000</MaxCacheSize><feedA><RtsChannelId>5</RtsChannelId><MaxCacheSize>8</MaxCacheSize>"
         "</feedA>",
         {"feedA"}, true, "", {{5, 8, "feedA"}}, ""},
        {"2,000,001 refused", "<MaxCacheSize>2000001</MaxCacheSize><RtsChannelId>5</RtsChannelId>", {}, true,
         "InitModule<LineDataCacheManager> : Default MaxCacheSize too large", {}, ""},
        {"capacity 0 refused", "<MaxCacheSize>0</MaxCacheSize><RtsChannelId>5</RtsChannelId>", {}, true,
         "InitModule<LineDataCacheManager> : Default MaxCacheSize 0 must be from 1 to 2000000", {}, ""},
        {"65537 gives channel 1", "<RtsChannelId>65537</RtsChannelId><MaxCacheSize>8</MaxCacheSize>", {}, true, "",
         {{1, 8, "default"}}, ""},
        {"65536 refused", "<RtsChannelId>65536</RtsChannelId>", {}, true,
         "InitModule<LineDataCacheManager> : InitModule<LineDataCacheManager> (default) RtsChannelId 65536 gives "
         "channel id 0 (its low 16 bits) for default",
         {}, ""},
        {"no line data bus", "<RtsChannelId>5</RtsChannelId>", {}, false,
         "InitModule<LineDataCacheManager> (default): could not find OrluLineData object", {}, ""},
        {"sub-feeds with their own sizes",
         "<MaxCacheSize>16</MaxCacheSize><feedA><RtsChannelId>1</RtsChannelId><MaxCacheSize>30</MaxCacheSize>"
         "</feedA><feedB><RtsChannelId>2</RtsChannelId><MaxCacheSize>0</MaxCacheSize></feedB>",
         {"feedA", "feedB"}, true, "", {{1, 30, "feedA"}, {2, 16, "feedB"}}, ""},
        {"a sub-feed without channel id names itself twice",
         "<feedA><RtsChannelId>1</RtsChannelId></feedA>", {"feedA", "feedB"}, true, missing, {}, ""},
        {"two sub-feeds on one channel",
         "<MaxCacheSize>4</MaxCacheSize><feedA><RtsChannelId>9</RtsChannelId></feedA>"
         "<feedB><RtsChannelId>9</RtsChannelId></feedB>",
         {"feedA", "feedB"}, true, "", {{9, 4, "feedA"}},
         "sub-feeds feedA and feedB share channel id 9: only feedA is cached"},
    };
    for (const FactoryCase& c : cases)
    {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string path = dir.path() + "/rts.xml";
        std::ofstream(path) << "<rts>" << c.config << "</rts>\n";
        ZunqConfigManager config(0, nullptr);
        std::unique_ptr<ConfigFile> file(createConfigFile(path, config));
        ASSERT_NE(file, nullptr);
        config.addFile(file.get());

        ModuleList& list = keptModuleList();
        auto* log = new TestLog;
        log->mLog.setLevel(LOG_LEVEL_INFO);
        registerModule<TestLog>(&list, "kept", log, list.defaultGroup());
        registerModule<Log>(&list, "Log", &log->mLog, list.defaultGroup());
        std::vector<std::string> groups = c.subFeeds;
        if (groups.empty())
            groups.push_back(list.defaultGroup());
        else
            registerModule(&list, "SubFeeds", new std::list<std::string>(groups.begin(), groups.end()),
                           list.defaultGroup());
        std::map<std::string, Feeder*> feeders;
        for (const std::string& g : groups)
        {
            auto* feeder = new Feeder;
            feeders[g] = feeder;
            registerModule(&list, "feeder", feeder, g);
            if (c.lineDataBus)
                registerModule(&list, "OrluLineData", &feeder->mData, g);
            registerModule(&list, "OrluMhMode", &feeder->mMode, g);
        }

        if (!c.error.empty())
        {
            try
            {
                InitModule<LineDataCacheManager>().createModule(&list, &config);
                ADD_FAILURE() << "no error";
            }
            catch (const InitModuleError& e)
            {
                EXPECT_EQ(std::string(e.what()), c.error);
            }
            EXPECT_EQ(findModule<LineDataCacheManager>(&list, "LineDataCacheManager", list.defaultGroup()), nullptr);
            continue;
        }
        InitModule<LineDataCacheManager> factory;
        ASSERT_TRUE(factory.createModule(&list, &config));
        EXPECT_EQ(factory.getName(), "LineDataCacheManager");
        auto* manager = findModule<LineDataCacheManager>(&list, "LineDataCacheManager", list.defaultGroup());
        ASSERT_NE(manager, nullptr);
        for (const Expected& e : c.caches)
        {
            LineDataCacheManager::LineDataCache* cache = manager->getLineDataCache(e.channel);
            ASSERT_NE(cache, nullptr) << e.channel;
            EXPECT_EQ(cache->getMaxCacheSize(), e.capacity);
            EXPECT_TRUE(cache->getLastNCaching());
            EXPECT_FALSE(cache->getCacheControlMsgs());
            EXPECT_EQ(cache->getMaxPacketSize(), 1536u);
            for (const auto& [group, feeder] : feeders)
                feeder->send(1, messageBytes(16, 16, 1, 1));
            EXPECT_EQ(cache->getLastSeqNum(), 1u);
            cache->clear();
            feeders[e.subFeed]->send(1, messageBytes(16, 16, 1, 1));
            EXPECT_EQ(cache->getLastSeqNum(), 1u) << "filled from " << e.subFeed;
            feeders[e.subFeed]->mode(MhMode::SLEEP);
            EXPECT_EQ(cache->getMhMode().getMode(), MhMode::SLEEP);
        }
        if (!c.warning.empty())
        {
            EXPECT_EQ(log->mSink.count(c.warning), 1) << c.warning;
        }
    }
}
} // namespace
