// The application's side of the framework agent's two shared-memory blocks
// (layout in AgentShmLayout.h): opens and maps the application block and the
// agent block, each with the SemaphoreLock guarding it, writes the start
// status, and unmaps them at the end. Without the agent (or as middleware)
// both blocks are private zero-filled memory of the same layout, and the
// agent lock is the application lock.
//
// The blocks are never created here; the agent creates and sizes them. Names:
// block "/" + lock name, semaphore "/" + lock name + "_sem", where the
// application's lock name is agent id + "." + application id (or the
// application id alone without "CROSS_ENV_SUPP") and the agent's is its id.
//
// Owned and used by the control thread.
#pragma once

#include "FendralCore/foundation/FwTypes.h"
#include "FendralCore/runtime/AgentShmLayout.h"

#include <memory>
#include <string>

class ConfigManager;
class GlobalData;

class AgentSharedMemory
{
public:
    // Microseconds the start status waits for the application block's semaphore.
    static constexpr int32 APP_LOCK_WAIT_TIME = 3000000;

    // appIdTxt: at most 8 characters; trailing blanks are not part of the names.
    // lockWaitTime: the wait of openAppSharedMemory's lock.
    AgentSharedMemory(const ConfigManager& config, const char* appIdTxt, bool useFwAgent,
                      int32 lockWaitTime = APP_LOCK_WAIT_TIME);
    ~AgentSharedMemory();

    AgentSharedMemory(const AgentSharedMemory&) = delete;
    AgentSharedMemory& operator=(const AgentSharedMemory&) = delete;

    // Maps the application block and writes the report time and the status of
    // the start mode under its semaphore (a lock time-out is tolerated). 0, or
    // -1 with FILE_OPEN_ERROR, SHM_MAP_FAILED, a lock error or the
    // configuration's error.
    int32 openAppSharedMemory();
    // Maps the agent block; after openAppSharedMemory. 0 or -1 as above.
    int32 openAgtSharedMemory();

    AppSharedMemBlock* getAppShmPtr() const { return m_appShmPtr; }
    SemaphoreLock* getAppShmLockPtr() const { return m_appShmLockPtr.get(); }
    AgentSharedMemBlock* getAgtShmPtr() const { return m_agtShmPtr; }
    SemaphoreLock* getAgtShmLockPtr() const { return m_agtShmLockPtr; }

    // Lock names; the block of a lock name is "/" + that name.
    static std::string getAppLockName(const std::string& agentId, const std::string& appId, bool crossEnvSupport);
    static std::string getAgtLockName(const std::string& agentId) { return agentId; }

private:
    const ConfigManager& m_config;
    std::string m_appIdStr;
    bool m_useFwAgent;
    int32 m_lockWaitTime;
    GlobalData& m_gblData;
    AppSharedMemBlock* m_appShmPtr = nullptr;
    std::unique_ptr<SemaphoreLock> m_appShmLockPtr;
    AgentSharedMemBlock* m_agtShmPtr = nullptr;
    std::unique_ptr<SemaphoreLock> m_ownAgtShmLock; // only with the agent's own block
    SemaphoreLock* m_agtShmLockPtr = nullptr;

    bool agentInUse() const;
    int32 readAgentId(std::string& agentId) const;
    void writeStartStatus();
};
