// System V shared memory and memory-mapped file helpers offered to outside
// tools, with numeric result codes (0 success) and their texts. Each failing
// system call is reported once with perror and the text given.
#pragma once

constexpr int BROV_IPC_SUCCESS = 0;
constexpr int BROV_IPC_ERROR_SHMEMGET = -1;
constexpr int BROV_IPC_ERROR_SHMCTL = -2;
constexpr int BROV_IPC_ERROR_SHMAT = -3;
constexpr int BROV_IPC_ERROR_OPEN_FILE = -4;
constexpr int BROV_IPC_ERROR_FILE_SEEK = -5;
constexpr int BROV_IPC_ERROR_FILE_WRITE = -6;
constexpr int BROV_IPC_ERROR_FILE_REMOVE = -7;
constexpr int BROV_IPC_ERROR_MEMMAP = -8;
constexpr int BROV_IPC_ERROR_MUNMAP = -9;
constexpr int BROV_IPC_ERROR_INVALID_HUGE_PAGE_SIZE = -10;

int iCreateMem(unsigned long lKey, long lSize);
int iDestroyMem(unsigned long lKey);
int iAttachMem(unsigned long lKey, void** pMem, int iShmFlag, int iPermission);
int iAttachMem(unsigned long lKey, void** pMem, int iShmFlag);
int iAttachMem(unsigned long lKey, void** pMem);
// A size of 0 is refused before anything is created.
int iCreateMemMap(const char* sFilename, unsigned long lSize);
int iDestroyMemMap(const char* sFilename, char* pMem, unsigned long lSize);
int iAttachMemMap(const char* sFilename, unsigned long lSize, void** pMem);
int iAttachMemMap(const char* sFilename, unsigned long MemMapSize, unsigned long lFileOffset, int iPermissions,
                  void** pMem);
int iDetachMemMap(char* pMem, unsigned long lSize);
// Extending by 0 bytes changes nothing.
int iExtendFile(const char* sFilename, unsigned long lAdditionalFileSize);
const char* BrovIpcErrorText(int err);
