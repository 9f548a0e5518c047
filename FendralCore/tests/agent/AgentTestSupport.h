// The agent's side of the shared blocks, as far as the tests need it: blocks
// and semaphores created under names unique to the test process and removed
// afterwards, and a configuration file naming the agent.
#pragma once

#include "FendralCore/foundation/ConfigManager.h"
#include "FendralCore/runtime/AgentShmLayout.h"

#include <atomic>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <semaphore.h>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

// prefix + pid and a counter in base 36: at most 8 characters for prefix "A".
inline std::string uniqueId(const char* prefix)
{
    static std::atomic<unsigned> counter{0};
    auto base36 = [](unsigned long value) {
        std::string text;
        do
        {
            text.insert(text.begin(), "0123456789abcdefghijklmnopqrstuvwxyz"[value % 36]);
            value /= 36;
        } while (value != 0);
        return text;
    };
    return prefix + base36(static_cast<unsigned long>(::getpid())) + base36(counter++);
}

inline bool shmExists(const std::string& name)
{
    return std::filesystem::exists("/dev/shm" + name);
}

inline bool semExists(const std::string& lockName)
{
    return std::filesystem::exists("/dev/shm/sem." + lockName + "_sem");
}

// Blocks and semaphores this test made, unlinked when it ends.
class FakeAgent
{
public:
    ~FakeAgent()
    {
        for (auto& [ptr, size] : m_maps)
            munmap(ptr, size);
        for (const std::string& name : m_blocks)
            shm_unlink(name.c_str());
        for (const std::string& name : m_sems)
            sem_unlink(name.c_str());
    }

    // A block of size bytes, zero-filled, mapped for the test.
    void* createBlock(const std::string& name, size_t size)
    {
        const int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
        if (fd < 0)
            return nullptr;
        m_blocks.push_back(name);
        void* block = nullptr;
        if (ftruncate(fd, static_cast<off_t>(size)) == 0)
            block = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        ::close(fd);
        if (block == MAP_FAILED || block == nullptr)
            return nullptr;
        m_maps.emplace_back(block, size);
        return block;
    }

    AppSharedMemBlock* createAppBlock(const std::string& name, size_t size = sizeof(AppSharedMemBlock))
    {
        auto* block = static_cast<AppSharedMemBlock*>(createBlock(name, size));
        if (block != nullptr && size >= sizeof(AppSharedMemBlock))
            block->cmdBuf.initialize();
        return block;
    }

    AgentSharedMemBlock* createAgtBlock(const std::string& name, size_t size = sizeof(AgentSharedMemBlock))
    {
        return static_cast<AgentSharedMemBlock*>(createBlock(name, size));
    }

    // The semaphore of a lock name, free.
    bool createSemaphore(const std::string& lockName)
    {
        const std::string name = "/" + lockName + "_sem";
        sem_t* sem = sem_open(name.c_str(), O_CREAT | O_EXCL, 0600, 1);
        if (sem == SEM_FAILED)
            return false;
        m_sems.push_back(name);
        sem_close(sem);
        return true;
    }

    // Both blocks and semaphores under the default cross-environment names.
    bool createAll(const std::string& agentId, const std::string& appId)
    {
        m_app = createAppBlock("/" + agentId + "." + appId);
        m_agt = createAgtBlock("/" + agentId);
        return m_app != nullptr && m_agt != nullptr && createSemaphore(agentId + "." + appId) &&
               createSemaphore(agentId);
    }

    AppSharedMemBlock* app() const { return m_app; }
    AgentSharedMemBlock* agt() const { return m_agt; }

private:
    std::vector<std::string> m_blocks;
    std::vector<std::string> m_sems;
    std::vector<std::pair<void*, size_t>> m_maps;
    AppSharedMemBlock* m_app = nullptr;
    AgentSharedMemBlock* m_agt = nullptr;
};

// A framework configuration in a directory of its own.
class AgentConfig
{
public:
    explicit AgentConfig(const std::string& content)
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "agtcfgXXXXXX").string();
        m_dir = ::mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
        const std::string path = m_dir + "/fw.cfg";
        std::ofstream(path) << content;
        m_manager = std::make_unique<ConfigManager>(path);
        m_manager->loadConfigFile();
    }
    ~AgentConfig()
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }

    const ConfigManager& manager() const { return *m_manager; }

private:
    std::string m_dir;
    std::unique_ptr<ConfigManager> m_manager;
};
