#include "libstats/ipc/BrovIpc.h"
#include "libstats/tests/support/StatsTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sys/mman.h>
#include <sys/stat.h>

namespace
{

long fileSize(const std::string& path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? static_cast<long>(info.st_size) : -1;
}

TEST(BrovIpcTest, ErrorTexts)
{
    const std::pair<int, const char*> table[] = {
        {0, "Success"},
        {-1, "BROV_IPC_ERROR_SHMEMGET"},
        {-2, "BROV_IPC_ERROR_SHMCTL"},
        {-3, "BROV_IPC_ERROR_SHMAT"},
        {-4, "BROV_IPC_ERROR_OPEN_FILE"},
        {-5, "BROV_IPC_ERROR_FILE_SEEK"},
        {-6, "BROV_IPC_ERROR_FILE_WRITE"},
        {-7, "BROV_IPC_ERROR_FILE_REMOVE"},
        {-8, "BROV_IPC_ERROR_MEMMAP"},
        {-9, "BROV_IPC_ERROR_MUNMAP"},
        {-10, "BROV_IPC_ERROR_INVALID_HUGE_PAGE_SIZE"},
        {-11, "Unknown error condition"},
        {1, "Unknown error condition"},
    };
    for (auto [code, text] : table)
        EXPECT_STREQ(BrovIpcErrorText(code), text) << code;
}

TEST(BrovIpcTest, SharedMemoryCreateAttachDestroy)
{
    TempDir dir;
    IpcCleaner ipc;
    const key_t key = ftok(ipc.keyFile(dir.path(), 0).c_str(), 0);
    ASSERT_EQ(iCreateMem(key, 4096), BROV_IPC_SUCCESS);
    EXPECT_EQ(iCreateMem(key, 4096), BROV_IPC_ERROR_SHMEMGET); // exclusive creation
    void* memory = nullptr;
    ASSERT_EQ(iAttachMem(key, &memory), BROV_IPC_SUCCESS);
    static_cast<char*>(memory)[0] = 'x';
    void* again = nullptr;
    ASSERT_EQ(iAttachMem(key, &again, SHM_RDONLY, 0644), BROV_IPC_SUCCESS);
    EXPECT_EQ(static_cast<char*>(again)[0], 'x');
    shmdt(memory);
    shmdt(again);
    EXPECT_EQ(iDestroyMem(key), BROV_IPC_SUCCESS);
    EXPECT_EQ(iDestroyMem(key), BROV_IPC_ERROR_SHMEMGET);
    EXPECT_EQ(iAttachMem(key, &memory), BROV_IPC_ERROR_SHMEMGET);
}

TEST(BrovIpcTest, MappedFiles)
{
    TempDir dir;
    const std::string file = dir.path() + "/map";
    EXPECT_EQ(iCreateMemMap(file.c_str(), 0), BROV_IPC_ERROR_FILE_SEEK);
    EXPECT_EQ(fileSize(file), -1); // nothing left behind
    ASSERT_EQ(iCreateMemMap(file.c_str(), 100), BROV_IPC_SUCCESS);
    EXPECT_EQ(fileSize(file), 100);
    EXPECT_EQ(iCreateMemMap(file.c_str(), 100), BROV_IPC_ERROR_OPEN_FILE);

    void* memory = nullptr;
    ASSERT_EQ(iAttachMemMap(file.c_str(), 100, &memory), BROV_IPC_SUCCESS);
    static_cast<char*>(memory)[99] = 'z';
    EXPECT_EQ(iDetachMemMap(static_cast<char*>(memory), 100), BROV_IPC_SUCCESS);

    // Extending by nothing keeps the last byte; extending by 10 adds 10 zero bytes.
    EXPECT_EQ(iExtendFile(file.c_str(), 0), BROV_IPC_SUCCESS);
    EXPECT_EQ(fileSize(file), 100);
    EXPECT_EQ(iExtendFile(file.c_str(), 10), BROV_IPC_SUCCESS);
    EXPECT_EQ(fileSize(file), 110);
    ASSERT_EQ(iAttachMemMap(file.c_str(), 110, 0, PROT_READ, &memory), BROV_IPC_SUCCESS);
    EXPECT_EQ(static_cast<char*>(memory)[99], 'z');
    EXPECT_EQ(static_cast<char*>(memory)[109], 0);
    EXPECT_EQ(iDestroyMemMap(file.c_str(), static_cast<char*>(memory), 110), BROV_IPC_SUCCESS);
    EXPECT_EQ(fileSize(file), -1);

    EXPECT_EQ(iExtendFile(file.c_str(), 5), BROV_IPC_ERROR_OPEN_FILE);
    EXPECT_EQ(iAttachMemMap(file.c_str(), 10, &memory), BROV_IPC_ERROR_OPEN_FILE);
}

} // namespace
