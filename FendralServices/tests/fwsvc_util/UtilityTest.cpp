// Handle queues and lists, named locks and semaphores, environment variables
// and the handle checks, through the exported calls.
#include "FendralServices/api/FwServices.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

std::string uniqueName(const char* stem)
{
    static std::atomic<int> serial{0};
    return std::string(stem) + std::to_string(::getpid() % 10000) + "_" + std::to_string(serial++);
}

} // namespace

TEST(HandleQueue, CarriesAMillionValuesBetweenTwoThreadsInOrder)
{
    const long q = queueCreate(uniqueName("q").c_str(), 1024);
    ASSERT_NE(q, 0);
    constexpr unsigned long N = 1000000;
    std::thread producer([q] {
        for (unsigned long v = 1; v <= N;)
            if (queuePush(q, v) == 0)
                ++v;
    });
    unsigned long expected = 1;
    unsigned long outOfOrder = 0;
    while (expected <= N)
    {
        unsigned long v = 0;
        if (queuePop(q, &v) != 0)
            continue;
        if (v != expected)
            ++outOfOrder;
        expected = v + 1;
    }
    producer.join();
    EXPECT_EQ(outOfOrder, 0u);
    EXPECT_EQ(queueRemove(q), 1);
}

TEST(HandleQueue, HoldsItsSizeAndReportsFullAndEmpty)
{
    const std::string name = uniqueName("q");
    const long q = queueCreate(name.c_str(), 2);
    ASSERT_NE(q, 0);
    EXPECT_EQ(queueCreate(name.c_str(), 2), 0) << "a name already taken";
    EXPECT_EQ(dataStoreGetHandle(name.c_str()), q);

    unsigned long v = 0;
    EXPECT_EQ(queuePop(q, &v), -1);
    EXPECT_EQ(getErrorCode(), BUFFER_EMPTY);
    EXPECT_EQ(queuePush(q, 10), 0);
    EXPECT_EQ(queuePush(q, 11), 0);
    EXPECT_EQ(queuePush(q, 12), -1);
    EXPECT_EQ(getErrorCode(), BUFFER_FULL);
    EXPECT_EQ(queuePop(q, nullptr), -1);
    EXPECT_EQ(getErrorCode(), NULL_PARAM);
    ASSERT_EQ(queuePop(q, &v), 0);
    EXPECT_EQ(v, 10u);
    ASSERT_EQ(queuePop(q, &v), 0);
    EXPECT_EQ(v, 11u);
    EXPECT_EQ(queueRemove(q), 1);
    EXPECT_EQ(dataStoreGetHandle(name.c_str()), 0);
}

TEST(HandleList, PushPopCursorAndSize)
{
    const long l = listCreate(uniqueName("l").c_str());
    ASSERT_NE(l, 0);
    EXPECT_TRUE(listPushBack(l, 2));
    EXPECT_TRUE(listPushBack(l, 3));
    EXPECT_TRUE(listPushFront(l, 1));

    unsigned long v = 0;
    ASSERT_TRUE(listGetFirst(l, &v));
    EXPECT_EQ(v, 1u);
    ASSERT_TRUE(listGetNext(l, &v));
    EXPECT_EQ(v, 2u);
    EXPECT_TRUE(listInsertAfter(l, 25));
    ASSERT_TRUE(listGetCurrent(l, &v));
    EXPECT_EQ(v, 25u) << "the cursor moves to the inserted value";
    EXPECT_FALSE(listGetNext(l, nullptr));
    EXPECT_EQ(getErrorCode(), DAT_NULL_VALUE);
    ASSERT_TRUE(listRemoveCurrent(l, &v));
    EXPECT_EQ(v, 25u);
    EXPECT_TRUE(listInsertBefore(l, 15));

    unsigned long size = 0;
    ASSERT_EQ(listGetSize(l, &size), 0);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(listGetSize(l, nullptr), -1);
    EXPECT_EQ(getErrorCode(), NULL_PARAM);

    EXPECT_TRUE(listReverse(l));
    std::vector<unsigned long> seen;
    for (bool ok = listGetFirst(l, &v); ok; ok = listGetNext(l, &v))
        seen.push_back(v);
    EXPECT_EQ(seen, (std::vector<unsigned long>{3, 15, 2, 1}));
    ASSERT_TRUE(listPopBack(l, &v));
    EXPECT_EQ(v, 1u);
    ASSERT_TRUE(listPopFront(l, nullptr));
    EXPECT_TRUE(listRemoveAll(l));
    EXPECT_FALSE(listPopFront(l, &v));
    EXPECT_EQ(getErrorCode(), DAT_LIST_EMPTY);
    EXPECT_EQ(listRemove(l), 1);
}

// Handles of another kind, released or made up are refused with a code.
TEST(HandleChecks, WrongHandlesGiveCodesNeverACrash)
{
    const long q = queueCreate(uniqueName("q").c_str(), 4);
    const long l = listCreate(uniqueName("l").c_str());
    const long freed = listCreate(uniqueName("l").c_str());
    ASSERT_EQ(listRemove(freed), 1);
    std::vector<unsigned long> junk(4, 0x5a5a5a5a);
    const long madeUp = reinterpret_cast<long>(junk.data());
    unsigned long v = 0;

    struct Case
    {
        const char* what;
        std::function<bool()> refused;
        int code;
    };
    const Case cases[] = {
        {"queuePush(list)", [&] { return queuePush(l, 1) == -1; }, DAT_TYPE},
        {"queuePop(list)", [&] { return queuePop(l, &v) == -1; }, DAT_TYPE},
        {"queuePush(0)", [&] { return queuePush(0, 1) == -1; }, DAT_HANDLE},
        {"listPushBack(queue)", [&] { return !listPushBack(q, 1); }, DAT_TYPE},
        {"listPushBack(freed)", [&] { return !listPushBack(freed, 1); }, DAT_HANDLE},
        {"listGetSize(made up)", [&] { return listGetSize(madeUp, &v) == -1; }, DAT_HANDLE},
        {"listRemove(freed)", [&] { return listRemove(freed) == 0; }, DAT_HANDLE},
        {"queueRemove(list)", [&] { return queueRemove(l) == 0; }, DAT_TYPE},
        {"fileWrite(list)", [&] { return fileWrite(l, "x", 1) == -1; }, INVALID_FILE_HANDLE},
        {"fileClose(made up)", [&] { return fileClose(madeUp) == -1; }, INVALID_FILE_HANDLE},
        {"acquireLock(made up)", [&] { return acquireLock(junk.data(), 0) == -1; }, NULL_PARAM},
        {"semPost(made up)", [&] { return semPost(junk.data()) == -1; }, NULL_PARAM},
    };
    for (const Case& c : cases)
    {
        EXPECT_TRUE(c.refused()) << c.what;
        EXPECT_EQ(getErrorCode(), c.code) << c.what;
    }
    EXPECT_EQ(queueRemove(q), 1);
    EXPECT_EQ(listRemove(l), 1);
}

TEST(NamedLocks, CreateFindAcquireRemove)
{
    const std::string name = uniqueName("lk");
    void* lock = nullptr;
    EXPECT_EQ(createLock(name.c_str(), nullptr), -1);
    EXPECT_EQ(getErrorCode(), NULL_PARAM);
    ASSERT_EQ(createLock(name.c_str(), &lock), 0);
    void* again = nullptr;
    EXPECT_EQ(createLock(name.c_str(), &again), -1) << "a name already taken";
    void* found = nullptr;
    ASSERT_EQ(getLock(name.c_str(), &found), 0);
    EXPECT_EQ(found, lock);
    EXPECT_EQ(acquireLock(lock, 1000), 0);
    EXPECT_EQ(releaseLock(lock), 0);
    EXPECT_EQ(removeLock(name.c_str()), 0);
    EXPECT_EQ(getLock(name.c_str(), &found), -1);
    EXPECT_EQ(acquireLock(lock, 0), -1) << "a removed lock";
    EXPECT_EQ(getErrorCode(), NULL_PARAM);
}

TEST(NamedSemaphores, WaitPostAndGoneAfterRemove)
{
    const std::string name = uniqueName("sm");
    void* sem = reinterpret_cast<void*>(1);
    EXPECT_EQ(semCreate(nullptr, name.c_str(), true), -1);
    EXPECT_EQ(getErrorCode(), NULL_PARAM);
    ASSERT_EQ(semCreate(&sem, name.c_str(), true), 0);
    ASSERT_NE(sem, nullptr);
    EXPECT_EQ(semWait(sem, 1000), 0);
    EXPECT_EQ(semPost(sem), 0);
    void* found = nullptr;
    ASSERT_EQ(getSemaphore(name.c_str(), &found), 0);
    EXPECT_EQ(found, sem);
    EXPECT_EQ(semRemove(name.c_str()), 0);
    EXPECT_EQ(getSemaphore(name.c_str(), &found), -1);
    EXPECT_EQ(getErrorCode(), NULL_PARAM);
    EXPECT_EQ(semPost(sem), -1) << "a removed semaphore";
    EXPECT_NE(::access(("/dev/shm/sem." + name + "_sem").c_str(), F_OK), 0) << "the owner unlinks it";
}

TEST(Environment, GetSetAppendUnset)
{
    const std::string name = uniqueName("FWSVC_UTIL_VAR");
    char buf[8];
    EXPECT_EQ(getEnvVariable(nullptr, buf, sizeof(buf)), -1);
    EXPECT_EQ(getErrorCode(), ENVVAR_NULL_PARAM);
    EXPECT_EQ(getEnvVariable(name.c_str(), buf, sizeof(buf)), -1);
    EXPECT_EQ(getErrorCode(), ENVVAR_VARIABLE_NOT_EXIST);
    ASSERT_EQ(setEnvVariable(name.c_str(), "abc", false), 0);
    EXPECT_EQ(setEnvVariable(name.c_str(), "xyz", false), -1);
    EXPECT_EQ(getErrorCode(), ENVVAR_VAR_ALREADY_EXIST);
    EXPECT_EQ(getEnvVariable(name.c_str(), buf, 3), -1) << "no room for the terminator";
    EXPECT_EQ(getErrorCode(), ENVVAR_INVALID_BUF_LEN);
    ASSERT_EQ(getEnvVariable(name.c_str(), buf, 4), 0);
    EXPECT_STREQ(buf, "abc");
    ASSERT_EQ(appendEnvVariable(name.c_str(), ":", "de"), 0);
    ASSERT_EQ(getEnvVariable(name.c_str(), buf, sizeof(buf)), 0);
    EXPECT_STREQ(buf, "abc:de");
    EXPECT_EQ(setEnvVariable("A=B", "x", true), -1);
    EXPECT_EQ(getErrorCode(), ENVVAR_INVALID_VAR_NAME);
    EXPECT_EQ(unsetEnvVariable(name.c_str()), 0);
    EXPECT_EQ(appendEnvVariable(name.c_str(), ":", "solo"), 0) << "an unset variable is just set";
    ASSERT_EQ(getEnvVariable(name.c_str(), buf, sizeof(buf)), 0);
    EXPECT_STREQ(buf, "solo");
    EXPECT_EQ(unsetEnvVariable(""), -1);
    EXPECT_EQ(getErrorCode(), ENVVAR_INVALID_VAR_NAME);
    unsetEnvVariable(name.c_str());
}

// Readers and writers of the environment at once must not crash.
TEST(Environment, ConcurrentReadersAndWriters)
{
    const std::string name = uniqueName("FWSVC_UTIL_RACE");
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; i < 20000; ++i)
        {
            setEnvVariable((name + std::to_string(i % 64)).c_str(), std::string(i % 50, 'v').c_str(), true);
            if (i % 3 == 0)
                unsetEnvVariable((name + std::to_string(i % 64)).c_str());
        }
        stop = true;
    });
    char buf[64];
    while (!stop)
        getEnvVariable((name + "1").c_str(), buf, sizeof(buf));
    writer.join();
    for (int i = 0; i < 64; ++i)
        unsetEnvVariable((name + std::to_string(i)).c_str());
}
