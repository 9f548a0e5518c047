#include "CacheTestSupport.h"
#include "rts/cache/LineDataCacheManager.h"
#include "rts/cache/LineDataCopy.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <thread>

namespace
{
using Cache = LineDataCacheManager::LineDataCache;

struct Step
{
    enum Kind
    {
        Msg,
        Sleep,
        Wake,
        Clear
    } kind = Msg;
    std::uint32_t seq = 0;
    std::uint32_t recordLen = 16; // 0: the size field's value
    std::uint16_t size = 16;
    std::uint16_t type = 1;
    bool control = false;
    bool heartbeat = false;
};

Step msg(std::uint32_t seq, std::uint16_t size = 16, std::uint32_t recordLen = 0)
{
    Step s;
    s.seq = seq;
    s.size = size;
    s.recordLen = recordLen != 0 ? recordLen : size;
    return s;
}
Step typed(std::uint32_t seq, std::uint16_t type)
{
    Step s = msg(seq);
    s.type = type;
    return s;
}
Step control(std::uint32_t seq)
{
    Step s = msg(seq);
    s.control = true;
    return s;
}
Step heartbeat(std::uint32_t seq)
{
    Step s = msg(seq);
    s.heartbeat = true;
    return s;
}
Step action(Step::Kind kind)
{
    Step s;
    s.kind = kind;
    return s;
}
std::vector<Step> run(std::uint32_t from, std::uint32_t to)
{
    std::vector<Step> steps;
    for (std::uint32_t s = from; s <= to; ++s)
        steps.push_back(msg(s));
    return steps;
}
std::vector<Step> operator+(std::vector<Step> a, const std::vector<Step>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct Request
{
    std::uint32_t begin;
    std::uint32_t end;
    bool valid;
};

struct Case
{
    const char* name;
    std::int32_t capacity;
    bool controlChecked;
    std::vector<Step> steps;
    std::uint32_t first;
    std::uint32_t last;
    std::vector<Request> requests;
    std::vector<std::uint32_t> stored; // getMessage(s) holds s, with its stored length
    std::string logLine;               // a line the case must write ("" none)
    std::string absentLine;            // a line it must not write
};

// Feeds one case through a real bus into a cache made by the manager.
void runCase(const Case& c)
{
    SCOPED_TRACE(c.name);
    TestLog log;
    log.mLog.setLevel(LOG_LEVEL_INFO);
    Feeder feed;
    LineDataCacheManager manager(log.mLog);
    Cache* cache = manager.addLineDataCache(7, "feed", &feed.mData, &feed.mMode, c.capacity, true, c.controlChecked,
                                            1536, false);
    std::map<std::uint32_t, std::uint16_t> lengths;
    for (const Step& s : c.steps)
    {
        switch (s.kind)
        {
        case Step::Sleep: feed.mode(MhMode::SLEEP); break;
        case Step::Wake: feed.mode(MhMode::NORMAL); break;
        case Step::Clear: manager.clear(); break;
        case Step::Msg:
            feed.send(s.seq, messageBytes(s.recordLen, s.size, s.type, s.seq), s.control, s.heartbeat);
            lengths[s.seq] = s.size;
            break;
        }
    }
    EXPECT_EQ(manager.getFirstBroadcastSeqNum(7), c.first);
    EXPECT_EQ(manager.getLastBroadcastSeqNum(7), c.last);
    for (const Request& r : c.requests)
        EXPECT_EQ(manager.isRequestValid("client", 7, r.begin, r.end, true), r.valid) << r.begin << ".." << r.end;
    for (std::uint32_t s : c.stored)
    {
        const LineData* m = cache->getMessage(s);
        ASSERT_NE(m, nullptr) << s;
        EXPECT_EQ(m->getSeqNum(), s);
        EXPECT_EQ(m->getDataLen(), lengths[s]) << s;
        std::vector<char> expect = messageBytes(lengths[s], lengths[s], 1, s);
        EXPECT_EQ(std::string(m->getData(), m->getDataLen()), std::string(expect.begin(), expect.end())) << s;
    }
    if (!c.logLine.empty())
    {
        EXPECT_GE(log.mSink.count(c.logLine), 1) << c.logLine;
    }
    if (!c.absentLine.empty())
    {
        EXPECT_EQ(log.mSink.count(c.absentLine), 0) << c.absentLine;
    }
}

TEST(LineDataCache, EdgeCaseTable)
{
    const Case cases[] = {
        {"first message 1", 8, false, {msg(1)}, 1, 1, {{1, 1, true}}, {1}, "", "Message LOST"},
        {"first message N leaves a gap",
         8, false, {msg(5)}, 1, 5, {{1, 4, false}, {5, 5, true}}, {5},
         "Message LOST - expected seqNo [1] received seqNo [5] .", ""},
        {"gap request names the gap", 8, false, {msg(5)}, 1, 5, {{2, 3, false}}, {},
         "found there was gap within the retrans request [2] to [3] on channel [7]", ""},
        {"capacity C with last L",
         4, false, run(1, 10), 7, 10, {{7, 10, true}, {6, 10, false}, {7, 11, false}}, {7, 8, 9, 10},
         "available range is [7] to [10]", ""},
        {"empty cache", 4, false, {}, 0, 0, {{0, 0, true}, {0, 1, false}}, {}, "", ""},
        {"duplicate dropped", 8, false, run(1, 3) + std::vector<Step>{msg(2)}, 1, 3, {{1, 3, true}}, {1, 2, 3}, "", ""},
        {"duplicate in SLEEP restarts at it",
         8, false, run(1, 3) + std::vector<Step>{action(Step::Sleep), msg(2)}, 1, 2, {{1, 1, false}, {2, 2, true}},
         {2}, "", ""},
        {"jump in SLEEP leaves placeholders",
         8, false, run(1, 2) + std::vector<Step>{action(Step::Sleep), msg(6), action(Step::Wake), msg(7)}, 1, 7,
         {{3, 5, false}, {6, 7, true}, {1, 2, true}}, {1, 2, 6, 7}, "", "Message LOST"},
        {"heartbeat never stored",
         8, false, {msg(1), heartbeat(2), action(Step::Sleep), heartbeat(3)}, 1, 1, {}, {1}, "", ""},
        {"control unchecked steps back", 8, false, run(1, 3) + std::vector<Step>{control(1)}, 1, 1, {}, {1}, "", ""},
        {"control checked is dropped", 8, true, run(1, 3) + std::vector<Step>{control(1)}, 1, 3, {}, {1, 2, 3}, "", ""},
        {"control unchecked jumps silently",
         8, false, run(1, 2) + std::vector<Step>{control(5)}, 1, 5, {{3, 4, false}}, {1, 2}, "", "Message LOST"},
        {"control checked gap is lost", 8, true, run(1, 2) + std::vector<Step>{control(5)}, 1, 5, {{3, 4, false}},
         {1, 2}, "Message LOST", ""},
        {"reset at the expected number clears",
         8, false, run(1, 3) + std::vector<Step>{typed(4, 100)}, 0, 0, {{1, 3, false}}, {},
         "clearing rts cache on [7]", ""},
        {"reset then 1 starts afresh", 8, false, run(1, 3) + std::vector<Step>{typed(4, 100), msg(1)}, 1, 1, {}, {1},
         "", ""},
        {"reset below the expected number is a duplicate", 8, false, run(1, 3) + std::vector<Step>{typed(2, 100)}, 1, 3,
         {}, {1, 2, 3}, "", "clearing"},
        {"1456 stored whole", 8, false, {msg(1, 1456)}, 1, 1, {}, {1}, "", ""},
        {"1457 refused", 8, false, {msg(1, 1457)}, 0, 0, {}, {}, "Too large message length detected: 1457", ""},
        {"size field 0 refused", 8, false, {msg(1, 0, 16)}, 0, 0, {}, {}, "Too small message length detected: 0", ""},
        {"size field 3 refused", 8, false, {msg(1, 3, 16)}, 0, 0, {}, {}, "Too small message length detected: 3", ""},
        {"record under 4 bytes refused", 8, false, {msg(1, 16, 2)}, 0, 0, {}, {}, "Too small message length", ""},
        {"size field past the record refused", 8, false, {msg(1, 100, 50)}, 0, 0, {}, {}, "exceeds the record length", ""},
        {"record longer than its field is kept as the field says", 8, false, {msg(1, 16, 40)}, 1, 1, {}, {1},
         "Msg length does NOT match", ""},
        {"placeholders only after an accepted message",
         8, false, {msg(1), msg(5, 0, 16), msg(6)}, 1, 6, {{2, 5, false}, {6, 6, true}, {1, 1, true}}, {1, 6}, "", ""},
        {"gap over capacity", 4, false, {msg(1), msg(1000000)}, 999997, 1000000,
         {{999997, 999999, false}, {1000000, 1000000, true}}, {1000000}, "", ""},
        {"gap near 2^32 is bounded", 4, false, {msg(1), msg(4294967295u)}, 4294967292u, 4294967295u,
         {{4294967295u, 4294967295u, true}}, {4294967295u}, "", ""},
        {"overwritten placeholders inside the window accepted",
         4, false, {msg(1), msg(3), msg(4), msg(5), msg(6), msg(7), msg(8), msg(10)}, 7, 10,
         {{7, 8, true}, {7, 10, false}}, {7, 8, 10}, "", ""},
        {"clear empties", 8, false, run(1, 3) + std::vector<Step>{action(Step::Clear)}, 0, 0, {{1, 3, false}}, {},
         "clearing rts cache on [7]", ""},
        {"clear then gap starts a new window", 8, false,
         std::vector<Step>{msg(1), msg(3), action(Step::Clear), msg(1), msg(2)}, 1, 2, {{1, 2, true}}, {1, 2}, "", ""},
        {"clear on empty writes nothing", 8, false, {action(Step::Clear)}, 0, 0, {}, {}, "", "clearing"},
    };
    for (const Case& c : cases)
        runCase(c);
}

// The manager: one cache per channel, unknown channels, and one clear for all.
TEST(LineDataCacheManager, ChannelsAndUnknownChannel)
{
    TestLog log;
    Feeder first;
    Feeder second;
    LineDataCacheManager manager(log.mLog);
    Cache* a = manager.addLineDataCache(3, "A", &first.mData, &first.mMode, 8, true, false, 1536, false);
    Cache* again = manager.addLineDataCache(3, "B", &second.mData, &second.mMode, 8, true, false, 1536, false);
    EXPECT_EQ(a, again);
    EXPECT_EQ(log.mSink.count("Subscribing LineData for ChannelId 3 and SubFeed A ."), 1);
    EXPECT_EQ(log.mSink.count("SubFeed B"), 0);
    second.send(1, messageBytes(16, 16, 1, 1)); // not subscribed: not cached
    EXPECT_EQ(manager.getLastBroadcastSeqNum(3), 0u);
    first.send(1, messageBytes(16, 16, 1, 1));
    EXPECT_EQ(manager.getLastBroadcastSeqNum(3), 1u);

    EXPECT_TRUE(manager.isValidServiceId(3));
    EXPECT_FALSE(manager.isValidServiceId(4));
    EXPECT_EQ(manager.getLineDataCache(4), nullptr);
    EXPECT_FALSE(manager.isRequestValid("c", 4, 1, 1, false));
    EXPECT_EQ(manager.getLastBroadcastSeqNum(4), 0u);
    EXPECT_EQ(manager.getFirstBroadcastSeqNum(4), 0u);
    EXPECT_EQ(log.mSink.count("LineDataCacheManager::isRequestValid Did not find cache for channel Id = 4"), 1);
    EXPECT_EQ(log.mSink.count("LineDataCacheManager::getLastBroadcastSeqNum Did not find cache for channel Id = 4"), 1);

    manager.clear();
    EXPECT_EQ(manager.getLastBroadcastSeqNum(3), 0u);
    EXPECT_EQ(a->getMhMode().getMode(), MhMode::UNKNOWN);
    first.mode(MhMode::SLEEP);
    EXPECT_EQ(a->getMhMode().getMode(), MhMode::SLEEP);
}

// Random inputs against a map of what was stored: after every input, each
// number the cache answers for gives that number's message or a placeholder.
TEST(LineDataCache, RandomInputsKeepOneSlotPerNumber)
{
    for (std::uint32_t seed : {1u, 2u, 3u, 4u})
    {
        SCOPED_TRACE(seed);
        std::mt19937 rng(seed);
        TestLog log;
        log.mLog.setLevel(LOG_LEVEL_ALERT);
        Feeder feed;
        LineDataCacheManager manager(log.mLog);
        constexpr std::uint32_t capacity = 16;
        Cache* cache = manager.addLineDataCache(1, "feed", &feed.mData, &feed.mMode, capacity, true, false, 1536, false);
        std::map<std::uint32_t, std::string> model;
        bool sleeping = false;
        const std::uint16_t sizes[] = {0, 1, 3, 4, 1456, 1457, 65535};
        for (int i = 0; i < 20000; ++i)
        {
            const std::uint32_t last = cache->getLastSeqNum();
            std::uint32_t seq = last + 1;
            switch (rng() % 20)
            {
            case 0: seq = 0; break;
            case 1: seq = last - rng() % 5; break;
            case 2: seq = last + 2 + rng() % 40; break;
            case 3: seq = 4294967295u - rng() % 3; break;
            case 4: seq = rng(); break;
            default: break;
            }
            std::uint16_t size = static_cast<std::uint16_t>(8 + rng() % 200);
            std::uint32_t recordLen = size;
            const unsigned shape = rng() % 20;
            if (shape == 0)
                size = sizes[rng() % 7];
            else if (shape == 1)
                recordLen = rng() % 4;
            else if (shape == 2)
                recordLen = size + rng() % 30;
            if (shape == 0)
                recordLen = std::min<std::uint32_t>(size, 1500);
            const std::uint16_t type = rng() % 50 == 0 ? 100 : 1;
            if (rng() % 40 == 0)
            {
                sleeping = !sleeping;
                feed.mode(sleeping ? MhMode::SLEEP : MhMode::NORMAL);
            }
            if (rng() % 500 == 0)
                manager.clear();
            const std::vector<char> bytes = messageBytes(recordLen, size, type, static_cast<std::uint32_t>(i));
            feed.send(seq, bytes);

            const std::uint32_t first = cache->getFirstSeqNum();
            const std::uint32_t now = cache->getLastSeqNum();
            if (now == 0)
                model.clear();
            const LineData* newest = cache->getMessage(now);
            if (now != 0 && now == seq && newest != nullptr && newest->getSeqNum() == seq && size <= bytes.size() &&
                std::string(newest->getData(), newest->getDataLen()) == std::string(bytes.data(), size))
                model[seq] = std::string(bytes.data(), size);
            if (now == 0)
                continue;
            ASSERT_NE(newest, nullptr);
            ASSERT_EQ(newest->getSeqNum(), now) << "input " << i;
            for (std::uint64_t s = first; s <= now; ++s)
            {
                const LineData* m = cache->getMessage(static_cast<std::uint32_t>(s));
                ASSERT_NE(m, nullptr) << "input " << i << " seq " << s;
                if (m->getSeqNum() == 0)
                    continue;
                ASSERT_EQ(m->getSeqNum(), s) << "input " << i;
                ASSERT_EQ(model.count(static_cast<std::uint32_t>(s)), 1u) << "input " << i << " seq " << s;
                ASSERT_EQ(std::string(m->getData(), m->getDataLen()), model[static_cast<std::uint32_t>(s)])
                    << "input " << i << " seq " << s;
            }
        }
    }
}
} // namespace

// The cache takes no lock: a record, a mode or a read on a thread other than
// its owner's stops a debug build at once instead of racing.
TEST(LineDataCacheDeathTest, AnotherThreadThanTheOwnersIsRefused)
{
#ifdef NDEBUG
    GTEST_SKIP() << "the owner check is a debug-build check";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct Case
    {
        const char* what;
        void (*use)(Feeder&, LineDataCacheManager&);
    } cases[] = {
        {"record", [](Feeder& f, LineDataCacheManager&) { f.send(2, messageBytes(16, 16, 1, 2)); }},
        {"mode", [](Feeder& f, LineDataCacheManager&) { f.mode(MhMode::SLEEP); }},
        {"read", [](Feeder&, LineDataCacheManager& m) { m.isRequestValid("c", 3, 1, 1, false); }},
        {"clear", [](Feeder&, LineDataCacheManager& m) { m.clear(); }},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        TestLog log;
        Feeder feed;
        LineDataCacheManager manager(log.mLog);
        Cache* cache = manager.addLineDataCache(3, "A", &feed.mData, &feed.mMode, 8, true, false, 1536, false);
        cache->bindOwnerThread();
        feed.send(1, messageBytes(16, 16, 1, 1)); // the owner's own use passes
        ASSERT_EQ(manager.getLastBroadcastSeqNum(3), 1u);
        EXPECT_DEATH(std::thread([&] { c.use(feed, manager); }).join(), "used outside its owner thread");
    }
}

// A slot keeps its number beside its bytes; the one-call read of a record's
// sequencing fields answers that number too, after a set and an assignment.
TEST(LineDataCopy, SeqFieldsCarryTheSlotsOwnNumber)
{
    LineDataCopy slot;
    slot.setSeqNum(77);
    slot.setIsHeartbeat(true);
    EXPECT_EQ(slot.getSeqFields().mSeqNum, 77u);
    EXPECT_TRUE(slot.getSeqFields().mIsHeartbeat);
    LineDataCopy other;
    other.setSeqNum(4000000000u);
    slot = static_cast<const LineData&>(other);
    EXPECT_EQ(slot.getSeqFields().mSeqNum, 4000000000u);
    EXPECT_FALSE(slot.getSeqFields().mIsHeartbeat);
}
