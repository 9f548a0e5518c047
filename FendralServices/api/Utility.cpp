// Handle queues and lists, named locks and semaphores, environment variables.
#include "FendralServices/api/ApiGuard.h"
#include "FendralServices/api/FwUtilities.h"
#include "FendralServices/api/LiveHandles.h"

#include "FendralCore/foundation/GlobalData.h"
#include "FendralCore/foundation/LinkList.h"
#include "FendralCore/foundation/ResourceLock.h"
#include "FendralCore/foundation/SemaphoreLock.h"
#include "FendralCore/runtime/DatInfo.h"
#include "FendralCore/runtime/MessageQueue.h"
#include "FendralCore/runtime/ServiceResource.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

namespace
{

using ValueQueue = MessageQueue<unsigned long>;

constexpr int32 QUEUE_ATTEMPTS = 5;
constexpr uint32 QUEUE_BATCH_READ = 100;

template <typename T>
T* datOf(long handle, DataObjectType type)
{
    if (!DatInfo::isValidHandle(handle, type, -1, false))
        return nullptr;
    return static_cast<T*>(reinterpret_cast<DatInfo*>(handle)->getDatPtr());
}

// Makes the structure and its registered handle; 0 (the registry's code)
// when the name is taken, the structure released.
template <typename T, typename... Args>
long createDat(const char* nameTxt, DataObjectType type, Args&&... args)
{
    if (nameTxt == nullptr)
        return fwFail(NULL_PARAM, 0L);
    auto dat = std::make_unique<T>(std::forward<Args>(args)...);
    DatInfo* info = DatInfo::createDatInfo(dat.get(), nameTxt, type);
    if (info == nullptr)
        return 0;
    dat.release();
    return reinterpret_cast<long>(info);
}

template <typename T>
int removeDat(long handle, DataObjectType type)
{
    T* dat = datOf<T>(handle, type);
    if (dat == nullptr)
        return 0;
    delete reinterpret_cast<DatInfo*>(handle);
    delete dat;
    return 1;
}

template <typename Op>
bool withList(const char* who, long handle, Op op)
{
    return apiGuard(who, false, [&]() -> bool {
        LinkList* list = datOf<LinkList>(handle, DAT_LIST);
        return list != nullptr && op(*list);
    });
}

// A cursor move that needs somewhere to put the value.
template <typename Move>
bool listVisit(const char* who, long handle, unsigned long* valuePtr, Move move)
{
    return withList(who, handle, [&](LinkList& list) {
        if (valuePtr == nullptr)
            return fwFail(DAT_NULL_VALUE, false);
        DataValueType value = 0;
        if (!move(list, value))
            return false;
        *valuePtr = value;
        return true;
    });
}

// Finds a named lock or semaphore, unregisters its name and releases it.
template <typename T>
int removeNamed(const char* nameTxt, ResourceManager::ServiceResourceType type)
{
    if (nameTxt == nullptr)
        return fwFail(NULL_PARAM, -1);
    void* object = nullptr;
    if (!ServiceResource::lookup(nameTxt, &object, type) || !ServiceResource::unregisterObject(nameTxt, type))
        return -1;
    LiveHandles::remove(object);
    delete static_cast<T*>(object);
    return 0;
}

// setenv and friends may move the environment under a reader; the calls of
// this family take turns.
std::mutex& envLock()
{
    static std::mutex lock;
    return lock;
}

} // namespace

// ---- queues ----

long queueCreate(const char* queueNameTxt, int queueSize)
{
    return apiGuard("queueCreate", 0L, [&]() -> long {
        if (queueSize <= 0)
            return fwFail(INVALID_FUNC_ARG, 0L);
        return createDat<ValueQueue>(queueNameTxt, DAT_QUEUE, static_cast<uint32>(queueSize), false, false,
                                     LOW_LATENCY, false, QUEUE_BATCH_READ);
    });
}

int queueRemove(long queueHandle)
{
    return apiGuard("queueRemove", 0, [&] { return removeDat<ValueQueue>(queueHandle, DAT_QUEUE); });
}

int queuePush(long queueHandle, unsigned long value)
{
    return apiGuard("queuePush", -1, [&]() -> int {
        ValueQueue* queue = datOf<ValueQueue>(queueHandle, DAT_QUEUE);
        if (queue == nullptr)
            return -1;
        return queue->ring().enqueue(value, nullptr, QUEUE_ATTEMPTS, 0) == 0 ? 0 : -1;
    });
}

int queuePop(long queueHandle, unsigned long* valuePtr)
{
    return apiGuard("queuePop", -1, [&]() -> int {
        ValueQueue* queue = datOf<ValueQueue>(queueHandle, DAT_QUEUE);
        if (queue == nullptr)
            return -1;
        if (valuePtr == nullptr)
            return fwFail(NULL_PARAM, -1);
        bool more = false;
        return queue->getMessage(valuePtr, more) == 0 ? 0 : -1;
    });
}

// ---- lists ----

long listCreate(const char* listNameTxt)
{
    return apiGuard("listCreate", 0L, [&] { return createDat<LinkList>(listNameTxt, DAT_LIST); });
}

int listRemove(long listHandle)
{
    return apiGuard("listRemove", 0, [&] { return removeDat<LinkList>(listHandle, DAT_LIST); });
}

bool listPushBack(long listHandle, unsigned long value)
{
    return withList("listPushBack", listHandle, [&](LinkList& l) { return l.pushBack(value), true; });
}

bool listPushFront(long listHandle, unsigned long value)
{
    return withList("listPushFront", listHandle, [&](LinkList& l) { return l.pushFront(value), true; });
}

bool listPopBack(long listHandle, unsigned long* valuePtr)
{
    return withList("listPopBack", listHandle, [&](LinkList& l) {
        DataValueType value = 0;
        const bool ok = l.popBack(value);
        if (ok && valuePtr != nullptr)
            *valuePtr = value;
        return ok;
    });
}

bool listPopFront(long listHandle, unsigned long* valuePtr)
{
    return withList("listPopFront", listHandle, [&](LinkList& l) {
        DataValueType value = 0;
        const bool ok = l.popFront(value);
        if (ok && valuePtr != nullptr)
            *valuePtr = value;
        return ok;
    });
}

bool listInsertBefore(long listHandle, unsigned long value)
{
    return withList("listInsertBefore", listHandle, [&](LinkList& l) { return l.insertBefore(value); });
}

bool listInsertAfter(long listHandle, unsigned long value)
{
    return withList("listInsertAfter", listHandle, [&](LinkList& l) { return l.insertAfter(value); });
}

bool listGetFirst(long listHandle, unsigned long* valuePtr)
{
    return listVisit("listGetFirst", listHandle, valuePtr, [](LinkList& l, DataValueType& v) { return l.getFirst(v); });
}

bool listGetNext(long listHandle, unsigned long* valuePtr)
{
    return listVisit("listGetNext", listHandle, valuePtr, [](LinkList& l, DataValueType& v) { return l.getNext(v); });
}

bool listGetLast(long listHandle, unsigned long* valuePtr)
{
    return listVisit("listGetLast", listHandle, valuePtr, [](LinkList& l, DataValueType& v) { return l.getLast(v); });
}

bool listGetPrev(long listHandle, unsigned long* valuePtr)
{
    return listVisit("listGetPrev", listHandle, valuePtr, [](LinkList& l, DataValueType& v) { return l.getPrev(v); });
}

bool listGetCurrent(long listHandle, unsigned long* valuePtr)
{
    return listVisit("listGetCurrent", listHandle, valuePtr,
                     [](LinkList& l, DataValueType& v) { return l.getCurrent(v); });
}

bool listRemoveCurrent(long listHandle, unsigned long* valuePtr)
{
    return withList("listRemoveCurrent", listHandle, [&](LinkList& l) {
        DataValueType value = 0;
        const bool ok = l.removeCurrent(value);
        if (ok && valuePtr != nullptr)
            *valuePtr = value;
        return ok;
    });
}

bool listRemoveAll(long listHandle)
{
    return withList("listRemoveAll", listHandle, [](LinkList& l) { return l.removeAll(), true; });
}

bool listReverse(long listHandle)
{
    return withList("listReverse", listHandle, [](LinkList& l) { return l.reverse(), true; });
}

int listGetSize(long listHandle, unsigned long* sizePtr)
{
    return apiGuard("listGetSize", -1, [&]() -> int {
        LinkList* list = datOf<LinkList>(listHandle, DAT_LIST);
        if (list == nullptr)
            return -1;
        if (sizePtr == nullptr)
            return fwFail(NULL_PARAM, -1);
        *sizePtr = list->getSize();
        return 0;
    });
}

// ---- locks ----

int createLock(const char* resLockNameTxt, void** lockHandlePtr)
{
    return apiGuard("createLock", -1, [&]() -> int {
        if (lockHandlePtr == nullptr || resLockNameTxt == nullptr)
            return fwFail(NULL_PARAM, -1);
        auto lock = std::make_unique<ResourceLock>();
        if (!ServiceResource::registerObject(resLockNameTxt, lock.get(), ResourceManager::RES_TYPE_LOCK))
            return -1;
        LiveHandles::add(lock.get(), LiveKind::LOCK_OBJ);
        *lockHandlePtr = lock.release();
        return 0;
    });
}

int acquireLock(void* lockHandle, int timeout)
{
    return apiGuard("acquireLock", -1, [&]() -> int {
        if (!LiveHandles::isLive(lockHandle, LiveKind::LOCK_OBJ))
            return fwFail(NULL_PARAM, -1);
        return static_cast<ResourceLock*>(lockHandle)->lock(timeout);
    });
}

int releaseLock(void* lockHandle)
{
    return apiGuard("releaseLock", -1, [&]() -> int {
        if (!LiveHandles::isLive(lockHandle, LiveKind::LOCK_OBJ))
            return fwFail(NULL_PARAM, -1);
        return static_cast<ResourceLock*>(lockHandle)->unlock();
    });
}

int getLock(const char* resLockNameTxt, void** lockHandlePtr)
{
    return apiGuard("getLock", -1, [&]() -> int {
        if (lockHandlePtr == nullptr || resLockNameTxt == nullptr)
            return fwFail(NULL_PARAM, -1);
        return ServiceResource::lookup(resLockNameTxt, lockHandlePtr, ResourceManager::RES_TYPE_LOCK) ? 0 : -1;
    });
}

int removeLock(const char* resLockNameTxt)
{
    return apiGuard("removeLock", -1,
                    [&] { return removeNamed<ResourceLock>(resLockNameTxt, ResourceManager::RES_TYPE_LOCK); });
}

// ---- semaphores ----

int semCreate(void** semHandlePtr, const char* semLockNameTxt, bool isOwner)
{
    return apiGuard("semCreate", -1, [&]() -> int {
        if (semHandlePtr == nullptr)
            return fwFail(NULL_PARAM, -1);
        *semHandlePtr = nullptr;
        if (semLockNameTxt == nullptr)
            return fwFail(NULL_PARAM, -1);
        auto sem = std::make_unique<SemaphoreLock>(semLockNameTxt, GlobalData::getInst().m_appIdTxt, nullptr,
                                                   isOwner);
        if (!sem->isOpen())
            return fwFail(INVALID_LOCK, -1);
        if (!ServiceResource::registerObject(semLockNameTxt, sem.get(), ResourceManager::RES_TYPE_SEM))
            return -1;
        LiveHandles::add(sem.get(), LiveKind::SEM_OBJ);
        *semHandlePtr = sem.release();
        return 0;
    });
}

int semWait(void* semHandle, int timeout)
{
    return apiGuard("semWait", -1, [&]() -> int {
        if (!LiveHandles::isLive(semHandle, LiveKind::SEM_OBJ))
            return fwFail(NULL_PARAM, -1);
        return static_cast<SemaphoreLock*>(semHandle)->lock(timeout);
    });
}

int semPost(void* semHandle)
{
    return apiGuard("semPost", -1, [&]() -> int {
        if (!LiveHandles::isLive(semHandle, LiveKind::SEM_OBJ))
            return fwFail(NULL_PARAM, -1);
        return static_cast<SemaphoreLock*>(semHandle)->unlock();
    });
}

int getSemaphore(const char* semLockNameTxt, void** semHandlePtr)
{
    return apiGuard("getSemaphore", -1, [&]() -> int {
        if (semHandlePtr == nullptr || semLockNameTxt == nullptr)
            return fwFail(NULL_PARAM, -1);
        if (!ServiceResource::lookup(semLockNameTxt, semHandlePtr, ResourceManager::RES_TYPE_SEM))
            return fwFail(NULL_PARAM, -1);
        return 0;
    });
}

int semRemove(const char* semLockNameTxt)
{
    return apiGuard("semRemove", -1,
                    [&] { return removeNamed<SemaphoreLock>(semLockNameTxt, ResourceManager::RES_TYPE_SEM); });
}

// ---- environment ----

namespace
{

int setEnvLocked(const char* nameTxt, const char* valueTxt, bool overwrite)
{
    if (!overwrite && std::getenv(nameTxt) != nullptr)
        return fwFail(ENVVAR_VAR_ALREADY_EXIST, -1);
    if (::setenv(nameTxt, valueTxt, 1) == 0)
        return 0;
    if (errno == EINVAL)
        return fwFail(ENVVAR_INVALID_VAR_NAME, -1);
    if (errno == ENOMEM)
        return fwFail(ENVVAR_NO_MEMORY, -1);
    return -1;
}

} // namespace

int getEnvVariable(const char* nameTxt, char* valueTxt, unsigned long valueTxtLen)
{
    return apiGuard("getEnvVariable", -1, [&]() -> int {
        if (nameTxt == nullptr || valueTxt == nullptr)
            return fwFail(ENVVAR_NULL_PARAM, -1);
        std::lock_guard guard(envLock());
        const char* value = std::getenv(nameTxt);
        if (value == nullptr)
            return fwFail(ENVVAR_VARIABLE_NOT_EXIST, -1);
        const size_t need = std::strlen(value) + 1;
        if (need > valueTxtLen)
            return fwFail(ENVVAR_INVALID_BUF_LEN, -1);
        std::memcpy(valueTxt, value, need);
        return 0;
    });
}

int setEnvVariable(const char* nameTxt, const char* valueTxt, bool overwrite)
{
    return apiGuard("setEnvVariable", -1, [&]() -> int {
        if (nameTxt == nullptr || valueTxt == nullptr)
            return fwFail(ENVVAR_NULL_PARAM, -1);
        std::lock_guard guard(envLock());
        return setEnvLocked(nameTxt, valueTxt, overwrite);
    });
}

int appendEnvVariable(const char* nameTxt, const char* separatorTxt, const char* valueTxt)
{
    return apiGuard("appendEnvVariable", -1, [&]() -> int {
        if (nameTxt == nullptr || separatorTxt == nullptr || valueTxt == nullptr)
            return fwFail(ENVVAR_NULL_PARAM, -1);
        std::lock_guard guard(envLock());
        const char* old = std::getenv(nameTxt);
        if (old == nullptr)
            return setEnvLocked(nameTxt, valueTxt, true);
        const std::string joined = std::string(old) + separatorTxt + valueTxt;
        return setEnvLocked(nameTxt, joined.c_str(), true);
    });
}

int unsetEnvVariable(const char* nameTxt)
{
    return apiGuard("unsetEnvVariable", -1, [&]() -> int {
        if (nameTxt == nullptr)
            return fwFail(ENVVAR_NULL_PARAM, -1);
        std::lock_guard guard(envLock());
        if (::unsetenv(nameTxt) != 0)
            return errno == EINVAL ? fwFail(ENVVAR_INVALID_VAR_NAME, -1) : -1;
        return 0;
    });
}
