// The statistics writer's module on a real segment in a temporary key-file
// directory: TerminateAll leaves the segment to the threads still counting;
// main's detach releases it.
#include "kelmora/bus/OrluChannelFactory.h"
#include "kelmora/bus/TerminateAll.h"
#include "kelmora/runtime/InitModuleError.h"
#include "kelmora/runtime/Module.h"
#include "kelmora/runtime/ModuleList.h"
#include "kelmora/stats/ZunqStatsWriterModule.h"
#include "libstats/latency/CircularBufferMng.h"
#include "zunq/log/LogSink.h"
#include "zunq/config/ZunqConfigManager.h"
#include "zunq/log/Log.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <vector>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <unistd.h>

namespace
{

// The System V keys the writer derives from a key file: the segment's, and
// the latency queues' (three segments and a semaphore set, a few keys apart).
std::vector<key_t> keysOf(const std::string& file)
{
    std::vector<key_t> keys{ftok(file.c_str(), 'x')};
    for (int project = 0; project <= 2; ++project)
        for (int step = 0; step <= 4; ++step)
            keys.push_back(ftok(file.c_str(), project) + step);
    return keys;
}

bool inUse(key_t key)
{
    return shmget(key, 0, 0) >= 0 || semget(key, 0, 0) >= 0;
}

void removeAll(key_t key)
{
    if (const int shm = shmget(key, 0, 0); shm >= 0)
        shmctl(shm, IPC_RMID, nullptr);
    if (const int sem = semget(key, 0, 0); sem >= 0)
        semctl(sem, 0, IPC_RMID);
}

class StatsWriterModuleTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/host-stats-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        mDir = pattern;
        registerModule<Log>(mList, "Log", &mLog, mList->defaultGroup());
        const char* old = std::getenv("TARVOK_PATH");
        mOldPath = old != nullptr ? std::optional<std::string>(old) : std::nullopt;
        // A key file whose keys nobody uses yet: whatever uses them afterwards is ours to remove.
        std::string key;
        for (int n = 0; n < 20 && key.empty(); ++n)
        {
            const std::string file = mDir + "/key" + std::to_string(n);
            std::ofstream(file).close();
            bool free = true;
            for (key_t k : keysOf(file))
                free = free && k > 0 && !inUse(k);
            if (free)
                key = file;
        }
        ASSERT_FALSE(key.empty());
        mKeys = keysOf(key);
        std::ofstream(mDir + "/libstats.xml")
            << "<libstats><shm_key_filename>" << key << "</shm_key_filename>"
            << "<latency_queues_managed_shared_memory_name>" << key
            << "</latency_queues_managed_shared_memory_name>"
            << "<max_num_latency_tables>4</max_num_latency_tables><max_latency_queue_size>16</max_latency_queue_size>"
            << "</libstats>";
        setenv("TARVOK_PATH", mDir.c_str(), 1);
    }
    void TearDown() override
    {
        if (mOldPath)
            setenv("TARVOK_PATH", mOldPath->c_str(), 1);
        else
            unsetenv("TARVOK_PATH");
        CircularBufferMng::destroyInstance();
        for (key_t key : mKeys)
            removeAll(key);
        mLog.addLogSink(nullptr);
        std::filesystem::remove_all(mDir);
    }

    // Modules and their holders live until the process exits, as in the program.
    static ModuleList* keptList()
    {
        static auto* lists = new std::vector<ModuleList*>();
        lists->push_back(new ModuleList);
        return lists->back();
    }
    ModuleList* mList = keptList();
    const char* mArgv[1] = {"feedd"};
    ZunqConfigManager mCfg{1, mArgv};
    Log mLog;
    std::string mDir;
    std::vector<key_t> mKeys;
    std::optional<std::string> mOldPath;
};

TEST_F(StatsWriterModuleTest, SegmentStaysAttachedThroughTerminateAllUntilMainDetachesIt)
{
    InitModule<Orlu<TerminateAll>>().createModule(mList, &mCfg);
    InitModule<ZunqStatsWriter>().createModule(mList, &mCfg);
    auto* writer = findModule<ZunqStatsWriter>(mList, "ZunqStatsWriter", "default");
    ASSERT_NE(writer, nullptr);
    ASSERT_TRUE(writer->isAttached());

    OrluPublisher<TerminateAll> terminator("Terminator");
    terminator.setDestination(findModule<Orlu<TerminateAll>>(mList, "OrluTerminateAll", "default"));
    terminator.publish(TerminateAll("no reason!"));
    EXPECT_TRUE(writer->isAttached());

    detachStatsWriter(mList);
    EXPECT_FALSE(writer->isAttached());
}

TEST_F(StatsWriterModuleTest, MissingTerminateChannelStopsStartUp)
{
    try
    {
        InitModule<ZunqStatsWriter>().createModule(mList, &mCfg);
        FAIL() << "no error";
    }
    catch (const InitModuleError& error)
    {
        EXPECT_STREQ(error.what(), "InitModule<ZunqStatsWriter>: could not find OrluTerminateAll object");
    }
}

} // namespace
