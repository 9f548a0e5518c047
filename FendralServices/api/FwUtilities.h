// The framework's exported everyday services: handle queues and lists,
// files (direct or through the logger thread), named locks and semaphores,
// environment variables, associative containers over seven key types, the
// application's own logs and its own configuration file.
//
// As everywhere in the exported interface, failure is the result (-1, 0,
// false or a null handle as stated) with the reason in the calling thread's
// framework error code (getErrorCode()); no call lets an exception out.
// The container, log and application configuration calls have headers of
// their own, included here. Calls that release a data structure (queueRemove, listRemove, ...Remove)
// answer 1 when released and 0 on a bad handle.
#pragma once

#include "FendralCore/foundation/FwTypes.h"
#include "FendralServices/api/FwAppConfig.h"
#include "FendralServices/api/FwContainers.h"
#include "FendralServices/api/FwLogApi.h"

// ---- queues: one pushing and one popping thread, no lock on either side ----

long queueCreate(const char* queueNameTxt, int queueSize);
int queueRemove(long queueHandle);
int queuePush(long queueHandle, unsigned long value);
int queuePop(long queueHandle, unsigned long* valuePtr);

// ---- lists: one thread at a time ----

long listCreate(const char* listNameTxt);
int listRemove(long listHandle);
bool listPushBack(long listHandle, unsigned long value);
bool listPushFront(long listHandle, unsigned long value);
bool listPopBack(long listHandle, unsigned long* valuePtr);
bool listPopFront(long listHandle, unsigned long* valuePtr);
bool listInsertBefore(long listHandle, unsigned long value);
bool listInsertAfter(long listHandle, unsigned long value);
bool listGetFirst(long listHandle, unsigned long* valuePtr);
bool listGetNext(long listHandle, unsigned long* valuePtr);
bool listGetLast(long listHandle, unsigned long* valuePtr);
bool listGetPrev(long listHandle, unsigned long* valuePtr);
bool listGetCurrent(long listHandle, unsigned long* valuePtr);
bool listRemoveCurrent(long listHandle, unsigned long* valuePtr);
bool listRemoveAll(long listHandle);
bool listReverse(long listHandle);
int listGetSize(long listHandle, unsigned long* sizePtr);

// ---- files ----

constexpr unsigned int DEFAULT_PERMISSION = 0666;

// Through the logger thread (useLoggerThread, on a framework application
// thread, opened for writing) fileWrite answers the file's request sequence
// number after the call, or -1 when any part of it could not be queued.
long fileOpen(const char* resNameTxt, const char* fileFullPathTxt, int flags, unsigned int permission,
              bool fileCache, bool useLoggerThread, bool needAck, int flushTimeout, bool remoteFile);
long fileOpen2(const char* resNameTxt, const char* fileFullPathTxt, int flags, unsigned int permission,
               bool fileCache, bool useLoggerThread, bool needAck, int flushTimeout, bool remoteFile);
long fileRead(long fileHandle, char* bufPtr, long count);
long fileWrite(long fileHandle, const char* bufPtr, long count);
long fileSeek(long fileHandle, long offset, int whence);
int fileClose(long fileHandle);
int fileDelete(const char* fileFullPathTxt);
int fileDelete2(const char* fileFullPathTxt);
long fileGetHandle(const char* resNameTxt);

// ---- named locks and semaphores (time-outs in microseconds) ----

int createLock(const char* resLockNameTxt, void** lockHandlePtr);
int acquireLock(void* lockHandle, int timeout);
int releaseLock(void* lockHandle);
int getLock(const char* resLockNameTxt, void** lockHandlePtr);
int removeLock(const char* resLockNameTxt);
int semCreate(void** semHandlePtr, const char* semLockNameTxt, bool isOwner);
int semWait(void* semHandle, int timeout);
int semPost(void* semHandle);
int getSemaphore(const char* semLockNameTxt, void** semHandlePtr);
int semRemove(const char* semLockNameTxt);

// ---- environment: these calls serialise among themselves ----

int getEnvVariable(const char* nameTxt, char* valueTxt, unsigned long valueTxtLen);
int setEnvVariable(const char* nameTxt, const char* valueTxt, bool overwrite);
int appendEnvVariable(const char* nameTxt, const char* separatorTxt, const char* valueTxt);
int unsetEnvVariable(const char* nameTxt);
