#include "libstats/pool/PoolShm.h"

#include "zunq/log/Log.h"
#include "zunq/shm/ShmUtils.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <mutex>
#include <thread>
#include <vector>

namespace Zunq::Utils::PoolShm
{

namespace
{

std::size_t segmentSize(int id)
{
    struct shmid_ds info;
    if (shmctl(id, IPC_STAT, &info) != 0)
        return 0;
    return info.shm_segsz;
}

std::atomic_ref<uint32_t> readyWord(void* base)
{
    return std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(static_cast<char*>(base) + PoolShmLayout::cReadyMark));
}

} // namespace

void* attach(Log* log, key_t key, std::size_t size, int& id, bool& created)
{
    if (key == 0 || key == -1)
    {
        if (log != nullptr)
            log->error() << "ERROR: Attaching to shared memory segment: invalid key |" << static_cast<long>(key) << "|";
        return nullptr;
    }
    void* address = ShmUtils::attachShm(log, key, id, size, &created);
    if (address == nullptr)
    {
        if (log != nullptr)
            log->error() << "ERROR: Attaching to shared memory segment: key |" << static_cast<long>(key) << "| size |"
                         << size << "|";
        return nullptr;
    }
    if (!created && segmentSize(id) != size)
    {
        if (log != nullptr)
            log->error() << "ERROR: Attaching to shared memory segment: key |" << static_cast<long>(key)
                         << "| has size |" << segmentSize(id) << "|, expected |" << size << "|";
        shmdt(address);
        return nullptr;
    }
    return address;
}

void* attachExisting(Log* log, key_t key, std::size_t size, int expectedId, int& id)
{
    int found = shmget(key, 0, 0);
    if (found < 0 || (expectedId != 0 && found != expectedId) || segmentSize(found) != size)
    {
        if (log != nullptr)
            log->error() << "ERROR: Attaching to shared memory segment: key |" << static_cast<long>(key) << "| id |"
                         << found << "| expected id |" << expectedId << "| size |" << size << "|";
        return nullptr;
    }
    void* address = shmat(found, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1))
    {
        int error = errno;
        if (log != nullptr)
            log->error() << "ERROR: Attaching to shared memory segment: key |" << static_cast<long>(key)
                         << "|: " << std::strerror(error);
        return nullptr;
    }
    id = found;
    return address;
}

bool waitReady(const void* base)
{
    auto word = readyWord(const_cast<void*>(base));
    for (int waited = 0; waited <= cReadyWaitMs; ++waited)
    {
        if (word.load(std::memory_order_acquire) == PoolShmLayout::cReadyValue)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

void markReady(void* base)
{
    readyWord(base).store(PoolShmLayout::cReadyValue, std::memory_order_release);
}

int detach(void* address)
{
    return address != nullptr && shmdt(address) == 0 ? 0 : -1;
}

namespace
{

struct Mapping
{
    int id;
    void* address;
};

std::mutex gMappingsLock;
std::vector<Mapping> gMappings;

} // namespace

void rememberMapping(int id, void* address)
{
    std::lock_guard lock(gMappingsLock);
    gMappings.push_back(Mapping{id, address});
}

void* takeMapping(int id)
{
    std::lock_guard lock(gMappingsLock);
    for (auto it = gMappings.begin(); it != gMappings.end(); ++it)
        if (it->id == id)
        {
            void* address = it->address;
            gMappings.erase(it);
            return address;
        }
    return nullptr;
}

} // namespace Zunq::Utils::PoolShm
