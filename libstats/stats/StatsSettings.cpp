#include "libstats/stats/StatsSettings.h"

#include "zunq/config/ConfigFile.h"
#include "zunq/config/ZunqConfigManager.h"
#include "zunq/log/Log.h"

#include <memory>

bool StatsSettings::load(Log& log, const std::string& file, const std::string& logPrefix)
{
    const char* argv[] = {"libstats"};
    ZunqConfigManager config(1, argv);
    std::unique_ptr<ConfigFile> parsed(createConfigFile(file, config));
    if (!parsed)
    {
        log.error() << logPrefix << "Error opening configuration file: " << file;
        return false;
    }
    config.addFile(parsed.get());
    mKeyFileName = config.getString("shm_key_filename", "", mKeyFileName);
    log.info() << logPrefix << "shmKeyFilename = " << mKeyFileName;
    mLayout.mLatency = config.getLong("max_num_latency_tables", "", mLayout.mLatency);
    log.info() << logPrefix << "mMaxNumLatencyTables = " << mLayout.mLatency;
    mLayout.mBandwidthIn = config.getLong("max_num_bandwidth_in_tables", "", mLayout.mBandwidthIn);
    log.info() << logPrefix << "mMaxNumBandwidthInTables = " << mLayout.mBandwidthIn;
    mLayout.mBandwidthOut = config.getLong("max_num_bandwidth_out_tables", "", mLayout.mBandwidthOut);
    log.info() << logPrefix << "mMaxNumBandwidthOutTables = " << mLayout.mBandwidthOut;
    mLayout.mRtsClients = config.getLong("max_num_rts_client_tables", "", mLayout.mRtsClients);
    log.info() << logPrefix << "mMaxNumRtsClientTables = " << mLayout.mRtsClients;
    mLayout.mSorvelClients = config.getLong("max_num_sorvel_client_tables", "", mLayout.mSorvelClients);
    log.info() << logPrefix << "mMaxNumSorvelClientTables = " << mLayout.mSorvelClients;
    mLayout.mPageSize = config.getLong("page_size", "", mLayout.mPageSize);
    log.info() << logPrefix << "mPageSize = " << mLayout.mPageSize;
    mMaxLatencyQueueSize = config.getLong("max_latency_queue_size", "", mMaxLatencyQueueSize);
    log.info() << logPrefix << "mMaxLatencyQueueSize = " << mMaxLatencyQueueSize;
    mLatencyQueueShmName = config.getString("latency_queues_managed_shared_memory_name", "", mLatencyQueueShmName);
    log.info() << logPrefix << "mLatencyQueueShmName = " << mLatencyQueueShmName;
    return true;
}
