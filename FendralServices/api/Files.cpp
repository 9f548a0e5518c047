// The file calls over FileService: handles are the object's address, checked
// against the live ones before use.
#include "FendralServices/api/ApiGuard.h"
#include "FendralServices/api/FileService.h"
#include "FendralServices/api/FwUtilities.h"
#include "FendralServices/api/LiveHandles.h"

#include "FendralCore/runtime/ServiceResource.h"

#include <cstring>
#include <memory>
#include <string>
#include <unistd.h>

namespace
{

constexpr size_t PATH_MAX_LEN = 255;

FileService* fileOf(long fileHandle)
{
    auto* file = reinterpret_cast<FileService*>(fileHandle);
    if (!LiveHandles::isLive(file, LiveKind::FILE_OBJ))
        return fwFail(INVALID_FILE_HANDLE, static_cast<FileService*>(nullptr));
    return file;
}

// 0 when the open may go ahead.
int checkOpenArgs(const char* resNameTxt, const char* fileFullPathTxt, bool remoteFile)
{
    if (resNameTxt == nullptr || fileFullPathTxt == nullptr || fileFullPathTxt[0] == '\0')
        return fwFail(NULL_PARAM, -1);
    if (remoteFile)
        return fwFail(REMOTE_FILE_NOT_SUPPORTED, -1);
    return 0;
}

std::string cutPath(const char* pathTxt)
{
    return std::string(pathTxt, strnlen(pathTxt, PATH_MAX_LEN));
}

} // namespace

long fileOpen(const char* resNameTxt, const char* fileFullPathTxt, int flags, unsigned int permission,
              bool fileCache, bool useLoggerThread, bool needAck, int flushTimeout, bool remoteFile)
{
    return apiGuard("fileOpen", 0L, [&]() -> long {
        if (checkOpenArgs(resNameTxt, fileFullPathTxt, remoteFile) != 0)
            return 0;
        const std::string path = cutPath(fileFullPathTxt);
        return fileOpen2(resNameTxt, path.c_str(), flags, permission, fileCache, useLoggerThread, needAck,
                         flushTimeout, remoteFile);
    });
}

long fileOpen2(const char* resNameTxt, const char* fileFullPathTxt, int flags, unsigned int permission,
               bool fileCache, bool useLoggerThread, bool needAck, int flushTimeout, bool remoteFile)
{
    return apiGuard("fileOpen2", 0L, [&]() -> long {
        if (checkOpenArgs(resNameTxt, fileFullPathTxt, remoteFile) != 0)
            return 0;
        auto file = std::make_unique<FileService>(resNameTxt, fileFullPathTxt, flags, permission, fileCache,
                                                  useLoggerThread, needAck, flushTimeout);
        if (!file->isRegistered() || file->open() != 0)
            return 0;
        LiveHandles::add(file.get(), LiveKind::FILE_OBJ);
        return reinterpret_cast<long>(file.release());
    });
}

long fileRead(long fileHandle, char* bufPtr, long count)
{
    return apiGuard("fileRead", -1L, [&]() -> long {
        FileService* file = fileOf(fileHandle);
        if (file == nullptr)
            return -1;
        if (bufPtr == nullptr || count < 0)
            return fwFail(NULL_PARAM, -1L);
        return file->read(bufPtr, count);
    });
}

long fileWrite(long fileHandle, const char* bufPtr, long count)
{
    return apiGuard("fileWrite", -1L, [&]() -> long {
        FileService* file = fileOf(fileHandle);
        if (file == nullptr)
            return -1;
        if ((bufPtr == nullptr && count != 0) || count < 0)
            return fwFail(NULL_PARAM, -1L);
        return file->write(bufPtr, count);
    });
}

long fileSeek(long fileHandle, long offset, int whence)
{
    return apiGuard("fileSeek", -1L, [&]() -> long {
        FileService* file = fileOf(fileHandle);
        return file == nullptr ? -1 : file->seek(offset, whence);
    });
}

int fileClose(long fileHandle)
{
    return apiGuard("fileClose", -1, [&]() -> int {
        FileService* file = fileOf(fileHandle);
        if (file == nullptr)
            return -1;
        const int32 rc = file->close();
        // A direct descriptor is gone whatever close answered; a request the
        // LOGGER thread never got leaves the file open and the handle valid.
        if (rc != 0 && file->useLoggerThread())
            return -1;
        LiveHandles::remove(file);
        delete file;
        return rc;
    });
}

int fileDelete(const char* fileFullPathTxt)
{
    return apiGuard("fileDelete", -1, [&]() -> int {
        if (fileFullPathTxt == nullptr)
            return fwFail(NULL_PARAM, -1);
        const std::string path = cutPath(fileFullPathTxt);
        return fileDelete2(path.c_str());
    });
}

int fileDelete2(const char* fileFullPathTxt)
{
    return apiGuard("fileDelete2", -1, [&]() -> int {
        if (fileFullPathTxt == nullptr)
            return fwFail(NULL_PARAM, -1);
        return ::unlink(fileFullPathTxt) == 0 ? 0 : fwFail(DELETE_FAILED, -1);
    });
}

long fileGetHandle(const char* resNameTxt)
{
    return apiGuard("fileGetHandle", 0L, [&]() -> long {
        void* file = nullptr;
        if (resNameTxt == nullptr || !ServiceResource::lookup(resNameTxt, &file, ResourceManager::RES_TYPE_FILE))
            return 0;
        return reinterpret_cast<long>(file);
    });
}
