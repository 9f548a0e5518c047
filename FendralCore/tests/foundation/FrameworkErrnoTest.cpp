#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/ResourceLockError.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

extern "C" void errnoPeerSetCode(int32 code);
extern "C" int32 errnoPeerGetCode();

namespace
{

int32 codeInFreshThread()
{
    int32 seen = -1;
    std::thread([&] { seen = FrameworkErrno::m_fwErrno; }).join();
    return seen;
}

TEST(FrameworkErrno, IsPerThreadAndSharedWithOtherLibraries)
{
    // Another shared library writes the code; this thread reads it directly.
    errnoPeerSetCode(RES_REG_NOT_ALLOWED);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, RES_REG_NOT_ALLOWED);

    FrameworkErrno::m_fwErrno = LOCK_TIMEOUT;
    EXPECT_EQ(errnoPeerGetCode(), LOCK_TIMEOUT);

    EXPECT_EQ(codeInFreshThread(), 0);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, LOCK_TIMEOUT);
}

TEST(FrameworkErrno, ConcurrentFailuresKeepTheirOwnCodes)
{
    std::atomic<int> ready{0};
    int32 seenA = 0;
    int32 seenB = 0;
    auto worker = [&](int32 code, int32& seen) {
        errnoPeerSetCode(code);
        ready.fetch_add(1);
        while (ready.load() < 2)
            std::this_thread::yield();
        seen = FrameworkErrno::m_fwErrno;
    };
    std::thread a(worker, WOULD_BLOCK, std::ref(seenA));
    std::thread b(worker, MSG_TOO_LARGE, std::ref(seenB));
    a.join();
    b.join();
    EXPECT_EQ(seenA, WOULD_BLOCK);
    EXPECT_EQ(seenB, MSG_TOO_LARGE);
}

TEST(FrameworkErrno, CodeTableKeepsItsFixedNumbers)
{
    static_assert(OBJECT_NULL_PTR == 1 && INVALID_FUNC_ARG == 6);
    static_assert(TOO_MANY_REPLICATION_TOPIC == 119);
    static_assert(MSGQ_CONGEST == 210 && LOCK_UNKNOWN_ERROR == 312);
    static_assert(WOULD_BLOCK == 702 && SOCK_MAX_FD_REACHED == 716);
    static_assert(WAIT_THREAD_TERMIANTE_FAILED == 1202);
    static_assert(DAT_LIST_POS_LAST == 1518);
    static_assert(RES_STRUCT_TYPE_UNKNNOWN == 1619 && RES_REG_NOT_ALLOWED == 1655);
    static_assert(RES_THREAD_HEALTH_CHECK_INTERVAL_INVALID == 1673);
    static_assert(CRYPTO_AES_INVLAID_KEY_LENGTH == 2035 && CRYPTO_HASH_ERROR == 2057);
    static_assert(MSL_INVALID_PUBLISHER == 2125 && MRM_UNRECOVERABLE_GAP == 2207);
    static_assert(IPC_NOT_OPEN == 2317 && ENVVAR_NULL_PARAM == 2505);
    static_assert(EXCEPTION == 9999 && ERROR_CODE_MAX == 10000);
    SUCCEED();
}

TEST(ResourceLockError, MapsEveryErrorNumber)
{
    const struct
    {
        int errorNumber;
        int32 code;
    } cases[] = {
        {EPERM, LOCK_NO_PERMISSION},  {EAGAIN, LOCK_NO_RES},     {ENOMEM, LOCK_NO_MEMORY},
        {EBUSY, LOCK_BUSY},           {EINVAL, INVALID_LOCK},    {EDEADLK, LOCK_ALREADY_HOLD},
        {ETIMEDOUT, LOCK_TIMEOUT},    {131, LOCK_NOT_RECOVERABLE}, {0, LOCK_UNKNOWN_ERROR},
        {-1, LOCK_UNKNOWN_ERROR},     {ENOENT, LOCK_UNKNOWN_ERROR}, {130, LOCK_UNKNOWN_ERROR},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ResourceLockError::getFwErrorCode(c.errorNumber), c.code) << "errno " << c.errorNumber;
}

} // namespace
