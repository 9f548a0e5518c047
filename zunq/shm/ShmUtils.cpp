#include "zunq/shm/ShmUtils.h"

#include "zunq/log/Log.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Zunq
{

namespace
{

std::string errorText(int error)
{
    char buffer[256];
    // The GNU variant returns the text, which may or may not be the buffer.
    return strerror_r(error, buffer, sizeof buffer);
}

std::string candidateName(const std::string& baseName, int attempt)
{
    return attempt == 0 ? baseName : baseName + "_" + std::to_string(attempt);
}

} // namespace

bool ShmUtils::existsShm(key_t key, int& id, std::size_t size)
{
    int found = shmget(key, size, 0);
    if (found < 0)
        return false;
    id = found;
    return true;
}

void* ShmUtils::attachShm(Log* log, key_t key, int& id, std::size_t size, bool* created)
{
    bool isNew = true;
    int segment = shmget(key, size, IPC_CREAT | IPC_EXCL | 0600);
    if (segment < 0 && errno == EEXIST)
    {
        isNew = false;
        segment = shmget(key, size, 0);
    }
    if (segment < 0)
    {
        int error = errno;
        if (log != nullptr)
            log->error() << "ShmUtils::attachShm(): shmget failed for key |" << static_cast<long>(key) << "| size |"
                         << size << "|: " << errorText(error);
        return nullptr;
    }
    void* address = shmat(segment, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1))
    {
        int error = errno;
        if (log != nullptr)
            log->error() << "ShmUtils::attachShm(): shmat failed for key |" << static_cast<long>(key) << "| id |"
                         << segment << "|: " << errorText(error);
        return nullptr;
    }
    id = segment;
    if (created != nullptr)
        *created = isNew;
    return address;
}

int ShmUtils::detachShm(int, void* address)
{
    if (address == nullptr)
        return -1;
    return shmdt(address) == 0 ? 0 : -1;
}

std::string ShmUtils::getShmFileKeyName(Log& log, const std::string& baseName, bool create, int attempt)
{
    if (baseName.empty() || attempt < 0 || attempt > cMaxKeyFileAttempt)
    {
        log.error() << "ShmUtils::getShmFileKeyName(): invalid key file name |" << baseName << "| or attempt |"
                    << attempt << "|";
        return std::string();
    }
    for (;; ++attempt)
    {
        const std::string candidate = candidateName(baseName, attempt);
        log.verbose() << "Trying to open shm file: " << candidate;

        // lstat: a link planted by another user is that user's, not ours.
        struct stat info;
        if (lstat(candidate.c_str(), &info) != 0)
        {
            int error = errno;
            if (error != ENOENT || !create)
            {
                log.error() << "ERROR accessing file: " << candidate << " : " << errorText(error);
                return std::string();
            }
            log.verbose() << "Creating shm file: " << candidate;
            int fd = open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
            if (fd >= 0)
            {
                close(fd);
                return candidate;
            }
            error = errno;
            if (error != EEXIST)
            {
                log.error() << "ERROR creating file: " << candidate << " : " << errorText(error);
                return std::string();
            }
            // Someone created it between the two calls: judge it like any existing file.
            if (lstat(candidate.c_str(), &info) != 0)
            {
                error = errno;
                log.error() << "ERROR accessing file: " << candidate << " : " << errorText(error);
                return std::string();
            }
        }

        log.verbose() << "File " << candidate << " exists.";
        if (info.st_uid == getuid())
            return candidate;
        log.verbose() << "File " << candidate << " is owned by a different user.";
        if (attempt >= cMaxKeyFileAttempt)
        {
            log.error() << "ERROR maximum number of shared memory files allowed";
            return std::string();
        }
    }
}

} // namespace Zunq
