#include "FendralCore/runtime/AgentSharedMemory.h"

#include "FendralCore/foundation/ConfigManager.h"
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/GlobalData.h"
#include "FendralCore/foundation/LogLevels.h"
#include "FendralCore/runtime/FwConfigKeys.h"
#include "FendralCore/runtime/FwLog.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
constexpr size_t APP_ID_LEN = sizeof(ApplicationID) - 1;

struct ShmTexts
{
    const char* openError;
    const char* tooSmall;
    const char* opened;
    const char* mapError;
};

constexpr ShmTexts APP_TEXTS{
    "Error [%d] opening application shared memory [%s]. %s",
    "The application shared memory block size [%d] < AppSharedMemBlock [%lu]",
    "Application shared memory [%s] block opened",
    "Error [%d] mapping application shared memory to the application address space. %s",
};

constexpr ShmTexts AGT_TEXTS{
    "Error [%d] opening Framework Agent shared memory [%s]. %s",
    "The agent shared memory block size [%d] < AgentSharedMemBlock [%lu]",
    "Framework Agent shared memory [%s] block opened",
    "Error [%d] mapping Framework Agent shared memory to the application address space. %s",
};

// The formats are fixed sentences chosen above; the values stay arguments.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
// Opens an existing block read-write and maps its first size bytes; null on
// failure, with the error code set and the descriptor closed.
void* mapAgentBlock(const std::string& name, size_t size, const ShmTexts& texts)
{
    char text[128];
    const int fd = shm_open(name.c_str(), O_RDWR, 0770);
    if (fd < 0)
    {
        const int error = errno;
        fwLog(LOG_LEVEL_ERROR, texts.openError, error, name.c_str(), strerror_r(error, text, sizeof(text)));
        return fwFail<void*>(FILE_OPEN_ERROR, nullptr);
    }
    struct stat status;
    if (fstat(fd, &status) != 0)
    {
        const int error = errno;
        fwLog(LOG_LEVEL_ERROR, "Error [%d] getting shared memory status. %s.", error,
              strerror_r(error, text, sizeof(text)));
        ::close(fd);
        return fwFail<void*>(FILE_OPEN_ERROR, nullptr);
    }
    if (status.st_size < static_cast<off_t>(size))
    {
        // Both sides must agree on the layout: a shorter block is not ours.
        fwLog(LOG_LEVEL_ERROR, texts.tooSmall, static_cast<int>(status.st_size), static_cast<unsigned long>(size));
        ::close(fd);
        return fwFail<void*>(SHM_MAP_FAILED, nullptr);
    }
    fwLog(LOG_LEVEL_INFO, texts.opened, name.c_str());
    void* block = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    const int error = errno;
    ::close(fd);
    if (block == MAP_FAILED)
    {
        fwLog(LOG_LEVEL_ERROR, texts.mapError, error, strerror_r(error, text, sizeof(text)));
        return fwFail<void*>(SHM_MAP_FAILED, nullptr);
    }
    return block;
}
#pragma GCC diagnostic pop

void* mapPrivateBlock(size_t size)
{
    void* block = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED)
    {
        const int error = errno;
        char text[128];
        fwLog(LOG_LEVEL_ERROR, "Error [%d] allocating a private block of [%lu] bytes. %s", error,
              static_cast<unsigned long>(size), strerror_r(error, text, sizeof(text)));
        return fwFail<void*>(SHM_ALLOCATE_FAILED, nullptr);
    }
    return block; // zero-filled
}

std::string trimmedAppId(const char* appIdTxt)
{
    if (appIdTxt == nullptr)
        return std::string();
    std::string id(appIdTxt, strnlen(appIdTxt, APP_ID_LEN));
    while (!id.empty() && (id.back() == ' ' || id.back() == '\t'))
        id.pop_back();
    return id;
}
} // namespace

AgentSharedMemory::AgentSharedMemory(const ConfigManager& config, const char* appIdTxt, bool useFwAgent,
                                     int32 lockWaitTime)
    : m_config(config),
      m_appIdStr(trimmedAppId(appIdTxt)),
      m_useFwAgent(useFwAgent),
      m_lockWaitTime(lockWaitTime),
      m_gblData(GlobalData::getInst())
{
}

AgentSharedMemory::~AgentSharedMemory()
{
    // The locks point into the blocks: they go first. The agent lock is the
    // application lock without the agent, and is then not deleted twice.
    m_agtShmLockPtr = nullptr;
    m_ownAgtShmLock.reset();
    m_appShmLockPtr.reset();
    if (m_agtShmPtr != nullptr)
        munmap(m_agtShmPtr, sizeof(AgentSharedMemBlock));
    if (m_appShmPtr != nullptr)
        munmap(m_appShmPtr, sizeof(AppSharedMemBlock));
}

std::string AgentSharedMemory::getAppLockName(const std::string& agentId, const std::string& appId,
                                              bool crossEnvSupport)
{
    return crossEnvSupport ? agentId + "." + appId : appId;
}

bool AgentSharedMemory::agentInUse() const
{
    return m_useFwAgent && !m_gblData.m_runAsFwMiddleware;
}

int32 AgentSharedMemory::readAgentId(std::string& agentId) const
{
    return m_config.getStrConfPara(FwConfigKeys::AGT_ID_LABEL, agentId, FwConfigKeys::DEFAULT_AGT_ID);
}

int32 AgentSharedMemory::openAppSharedMemory()
{
    if (m_appShmPtr != nullptr)
        return 0;
    if (m_appIdStr.empty())
    {
        fwLog(LOG_LEVEL_ERROR, "Error [%d] opening application shared memory: no application id", INVALID_FUNC_ARG);
        return fwFail(INVALID_FUNC_ARG, -1);
    }
    std::string lockName = m_appIdStr;
    if (m_gblData.m_crossEnvSupport)
    {
        std::string agentId;
        if (readAgentId(agentId) != 0)
            return -1;
        lockName = getAppLockName(agentId, m_appIdStr, true);
    }

    const bool shared = agentInUse();
    void* block = shared ? mapAgentBlock("/" + lockName, sizeof(AppSharedMemBlock), APP_TEXTS)
                         : mapPrivateBlock(sizeof(AppSharedMemBlock));
    if (block == nullptr)
        return -1;
    m_appShmPtr = static_cast<AppSharedMemBlock*>(block);
    // The agent's block gets the pid from the C API at start-up.
    if (!shared)
        m_appShmPtr->statBuf.statusRec.pid = getpid();

    // The semaphore belongs to the agent for its block; a private block's is ours.
    m_appShmLockPtr =
        std::make_unique<SemaphoreLock>(lockName, m_appIdStr.c_str(), &m_appShmPtr->lockedBy, !shared);
    const int32 lockRc = m_appShmLockPtr->lock(m_lockWaitTime);
    const int32 lockCode = FrameworkErrno::m_fwErrno;
    if (lockRc != 0)
    {
        if (lockCode == LOCK_TIMEOUT)
            fwLog(LOG_LEVEL_NOTICE, "Timeout waiting for the application resource lock.");
        else
            fwLog(LOG_LEVEL_ERROR, "Error [%d] waiting for the application resource lock.", lockCode);
    }

    writeStartStatus();

    if (lockRc == 0)
        m_appShmLockPtr->unlock();
    if (lockRc != 0 && lockCode != LOCK_TIMEOUT)
        return fwFail(lockCode, -1);
    return 0;
}

void AgentSharedMemory::writeStartStatus()
{
    AppStatusRecord& record = m_appShmPtr->statBuf.statusRec;
    const MetaCmdCode metaCmd = m_gblData.m_metaCmdCode.load();
    if (metaCmd != NO_META_CMD)
    {
        record.pid = getpid();
        fwLog(LOG_LEVEL_INFO,
              "Meta command(s) [%u] are used for starting the application, set [pid:%d] to the application shared "
              "memory record.",
              static_cast<unsigned>(metaCmd), record.pid);
    }
    record.reportTime = static_cast<int64>(time(nullptr));
    switch (m_gblData.m_appMode.load())
    {
    case ACTIVE_MODE:
        record.status = ACTIVE;
        break;
    case STANDBY_MODE:
        record.status = STANDBY;
        break;
    case RECOVERY_MODE:
        record.status = RECOVERY;
        break;
    default:
        break; // not a start mode: the agent keeps what it had
    }
}

int32 AgentSharedMemory::openAgtSharedMemory()
{
    if (m_agtShmPtr != nullptr)
        return 0;
    if (!agentInUse())
    {
        void* block = mapPrivateBlock(sizeof(AgentSharedMemBlock));
        if (block == nullptr)
            return -1;
        m_agtShmPtr = static_cast<AgentSharedMemBlock*>(block);
        m_agtShmLockPtr = m_appShmLockPtr.get();
        return 0;
    }

    std::string agentId;
    if (readAgentId(agentId) != 0)
        return -1;
    const std::string lockName = getAgtLockName(agentId);
    void* block = mapAgentBlock("/" + lockName, sizeof(AgentSharedMemBlock), AGT_TEXTS);
    if (block == nullptr)
        return -1;
    m_agtShmPtr = static_cast<AgentSharedMemBlock*>(block);
    m_ownAgtShmLock = std::make_unique<SemaphoreLock>(lockName, m_appIdStr.c_str(), &m_agtShmPtr->lockedBy, false);
    m_agtShmLockPtr = m_ownAgtShmLock.get();
    return 0;
}
