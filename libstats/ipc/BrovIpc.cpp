#include "libstats/ipc/BrovIpc.h"

#include <cstdio>
#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/shm.h>
#include <unistd.h>

int iCreateMem(unsigned long lKey, long lSize)
{
    if (shmget(static_cast<key_t>(lKey), lSize, IPC_CREAT | IPC_EXCL | 0644) < 0)
    {
        perror("iCreateMem:shmget");
        return BROV_IPC_ERROR_SHMEMGET;
    }
    return BROV_IPC_SUCCESS;
}

int iDestroyMem(unsigned long lKey)
{
    int id = shmget(static_cast<key_t>(lKey), 0, 0644);
    if (id < 0)
    {
        perror("iDestroyMem:shmget");
        return BROV_IPC_ERROR_SHMEMGET;
    }
    if (shmctl(id, IPC_RMID, nullptr) < 0)
    {
        perror("iDestroyMem:shmctl");
        return BROV_IPC_ERROR_SHMCTL;
    }
    return BROV_IPC_SUCCESS;
}

namespace
{

int attach(unsigned long lKey, void** pMem, int iShmFlag, int iPermission, const char* getText, const char* atText)
{
    int id = shmget(static_cast<key_t>(lKey), 0, iPermission);
    if (id < 0)
    {
        perror(getText);
        return BROV_IPC_ERROR_SHMEMGET;
    }
    void* address = shmat(id, nullptr, iShmFlag);
    if (address == reinterpret_cast<void*>(-1))
    {
        perror(atText);
        *pMem = nullptr;
        return BROV_IPC_ERROR_SHMAT;
    }
    *pMem = address;
    return BROV_IPC_SUCCESS;
}

int mapFile(const char* sFilename, unsigned long lSize, unsigned long lFileOffset, int iPermissions, void** pMem)
{
    int fd = open(sFilename, O_RDWR | O_CLOEXEC);
    if (fd < 0)
    {
        perror("open");
        return BROV_IPC_ERROR_OPEN_FILE;
    }
    void* address = mmap(nullptr, lSize, iPermissions, MAP_SHARED, fd, static_cast<off_t>(lFileOffset));
    close(fd);
    if (address == MAP_FAILED)
    {
        perror("mmap");
        return BROV_IPC_ERROR_MEMMAP;
    }
    *pMem = address;
    return BROV_IPC_SUCCESS;
}

// Writes one zero byte at `offset` from `whence`: how files are given their size.
int writeZeroAt(int fd, off_t offset, int whence)
{
    if (lseek(fd, offset, whence) < 0)
    {
        perror("lseek");
        close(fd);
        return BROV_IPC_ERROR_FILE_SEEK;
    }
    const char zero = 0;
    if (write(fd, &zero, 1) != 1)
    {
        perror("write");
        close(fd);
        return BROV_IPC_ERROR_FILE_WRITE;
    }
    close(fd);
    return BROV_IPC_SUCCESS;
}

} // namespace

int iAttachMem(unsigned long lKey, void** pMem, int iShmFlag, int iPermission)
{
    return attach(lKey, pMem, iShmFlag, iPermission, "iAttachMem:shmget", "iAttachMem:shmat");
}

int iAttachMem(unsigned long lKey, void** pMem, int iShmFlag)
{
    return attach(lKey, pMem, iShmFlag, 0644, "shmget", "shmat");
}

int iAttachMem(unsigned long lKey, void** pMem)
{
    return iAttachMem(lKey, pMem, 0);
}

int iCreateMemMap(const char* sFilename, unsigned long lSize)
{
    if (lSize == 0)
        return BROV_IPC_ERROR_FILE_SEEK;
    int fd = open(sFilename, O_RDWR | O_CREAT | O_EXCL | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
    {
        perror("open");
        return BROV_IPC_ERROR_OPEN_FILE;
    }
    return writeZeroAt(fd, static_cast<off_t>(lSize - 1), SEEK_SET);
}

int iDestroyMemMap(const char* sFilename, char* pMem, unsigned long lSize)
{
    if (munmap(pMem, lSize) < 0)
    {
        perror("munmap");
        return BROV_IPC_ERROR_MUNMAP;
    }
    if (unlink(sFilename) < 0)
    {
        perror("unlink");
        return BROV_IPC_ERROR_FILE_REMOVE;
    }
    return BROV_IPC_SUCCESS;
}

int iAttachMemMap(const char* sFilename, unsigned long lSize, void** pMem)
{
    return mapFile(sFilename, lSize, 0, PROT_READ | PROT_WRITE, pMem);
}

int iAttachMemMap(const char* sFilename, unsigned long MemMapSize, unsigned long lFileOffset, int iPermissions,
                  void** pMem)
{
    return mapFile(sFilename, MemMapSize, lFileOffset, iPermissions, pMem);
}

int iDetachMemMap(char* pMem, unsigned long lSize)
{
    if (munmap(pMem, lSize) < 0)
    {
        perror("munmap");
        return BROV_IPC_ERROR_MUNMAP;
    }
    return BROV_IPC_SUCCESS;
}

int iExtendFile(const char* sFilename, unsigned long lAdditionalFileSize)
{
    int fd = open(sFilename, O_RDWR | O_CLOEXEC);
    if (fd < 0)
    {
        perror("open");
        return BROV_IPC_ERROR_OPEN_FILE;
    }
    // Seeking to -1 past the end would overwrite the file's last byte.
    if (lAdditionalFileSize == 0)
    {
        close(fd);
        return BROV_IPC_SUCCESS;
    }
    return writeZeroAt(fd, static_cast<off_t>(lAdditionalFileSize - 1), SEEK_END);
}

const char* BrovIpcErrorText(int err)
{
    switch (err)
    {
    case 0: return "Success";
    case -1: return "BROV_IPC_ERROR_SHMEMGET";
    case -2: return "BROV_IPC_ERROR_SHMCTL";
    case -3: return "BROV_IPC_ERROR_SHMAT";
    case -4: return "BROV_IPC_ERROR_OPEN_FILE";
    case -5: return "BROV_IPC_ERROR_FILE_SEEK";
    case -6: return "BROV_IPC_ERROR_FILE_WRITE";
    case -7: return "BROV_IPC_ERROR_FILE_REMOVE";
    case -8: return "BROV_IPC_ERROR_MEMMAP";
    case -9: return "BROV_IPC_ERROR_MUNMAP";
    case -10: return "BROV_IPC_ERROR_INVALID_HUGE_PAGE_SIZE";
    default: return "Unknown error condition";
    }
}
