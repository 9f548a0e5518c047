#include "TestSupport.h"

#include "zunq/shm/ShmUtils.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

using Zunq::ShmUtils;

namespace
{

class ShmUtilsTest : public ::testing::Test
{
protected:
    ShmUtilsTest()
    {
        mSink = new CaptureLogSink(LOG_LEVEL_DEBUG);
        mLog.addLogSink(mSink);
    }
    ~ShmUtilsTest() override
    {
        for (int id : mSegments)
            shmctl(id, IPC_RMID, nullptr);
        delete mSink;
    }

    // A key no segment uses yet, made from a file of this test.
    key_t freshKey()
    {
        std::string file = mDir.path() + "/key" + std::to_string(mSegments.size() + mKeys++);
        int fd = open(file.c_str(), O_CREAT | O_WRONLY, 0600);
        EXPECT_GE(fd, 0);
        close(fd);
        for (int project = 1; project < 256; ++project)
        {
            key_t key = ftok(file.c_str(), project);
            if (key != -1 && shmget(key, 0, 0) < 0 && errno == ENOENT)
                return key;
        }
        ADD_FAILURE() << "no free key";
        return IPC_PRIVATE;
    }

    static bool listedByIpcs(key_t key)
    {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%08x", static_cast<unsigned>(key));
        FILE* pipe = popen("ipcs -m", "r");
        if (pipe == nullptr)
            return false;
        std::string output;
        char buffer[512];
        while (std::fgets(buffer, sizeof buffer, pipe) != nullptr)
            output += buffer;
        pclose(pipe);
        return output.find(hex) != std::string::npos;
    }

    TempDir mDir;
    CaptureLogSink* mSink;
    Log mLog{true};
    std::vector<int> mSegments;
    int mKeys = 0;
};

TEST_F(ShmUtilsTest, CreateAttachDetachAndNothingLeftAfterRemoval)
{
    const key_t key = freshKey();
    const std::size_t size = 4096;
    int id = -1;
    EXPECT_FALSE(ShmUtils::existsShm(key, id, size));

    bool created = false;
    int firstId = -1;
    auto* first = static_cast<char*>(ShmUtils::attachShm(&mLog, key, firstId, size, &created));
    ASSERT_NE(first, nullptr);
    mSegments.push_back(firstId);
    EXPECT_TRUE(created);
    std::strcpy(first, "written by the creator");

    EXPECT_TRUE(ShmUtils::existsShm(key, id, size));
    EXPECT_EQ(id, firstId);
    EXPECT_FALSE(ShmUtils::existsShm(key, id, 2 * size)); // too small for that

    int secondId = -1;
    auto* second = static_cast<char*>(ShmUtils::attachShm(nullptr, key, secondId, size, &created));
    ASSERT_NE(second, nullptr);
    EXPECT_FALSE(created);
    EXPECT_EQ(secondId, firstId);
    EXPECT_STREQ(second, "written by the creator");

    // Another process attaches the same segment by key.
    int code = runInChild([key, size] {
        int childId = -1;
        auto* mem = static_cast<char*>(ShmUtils::attachShm(nullptr, key, childId, size));
        if (mem == nullptr)
            return 1;
        std::strcpy(mem, "written by another process");
        return ShmUtils::detachShm(childId, mem) == 0 ? 0 : 2;
    });
    EXPECT_EQ(code, 0);
    EXPECT_STREQ(first, "written by another process");

    int biggerId = -1;
    EXPECT_EQ(ShmUtils::attachShm(&mLog, key, biggerId, 2 * size), nullptr);
    EXPECT_TRUE(mSink->contains("ShmUtils::attachShm(): shmget failed for key"));

    EXPECT_EQ(ShmUtils::detachShm(firstId, first), 0);
    EXPECT_EQ(ShmUtils::detachShm(secondId, second), 0);
    EXPECT_EQ(ShmUtils::detachShm(firstId, first), -1);
    EXPECT_EQ(ShmUtils::detachShm(firstId, nullptr), -1);

    // Detaching leaves the segment for the next process.
    struct shmid_ds info;
    ASSERT_EQ(shmctl(firstId, IPC_STAT, &info), 0);
    EXPECT_EQ(info.shm_nattch, 0u);
    EXPECT_EQ(info.shm_perm.mode & 0777, 0600u);
    EXPECT_TRUE(listedByIpcs(key));

    ASSERT_EQ(shmctl(firstId, IPC_RMID, nullptr), 0);
    mSegments.clear();
    EXPECT_FALSE(ShmUtils::existsShm(key, id, 0));
    EXPECT_FALSE(listedByIpcs(key));
}

TEST_F(ShmUtilsTest, KeyFileNameIsTheBaseOrTheFirstFreeSuffix)
{
    struct Case
    {
        const char* what;
        std::string base;
        bool create;
        int attempt;
        std::function<void(const std::string&)> setup;
        std::string expected;
        std::string logged;
    };
    const std::string base = mDir.path() + "/zunqstats";
    auto touch = [](const std::string& path) {
        int fd = open(path.c_str(), O_CREAT | O_WRONLY, 0644);
        close(fd);
    };
    const Case cases[] = {
        {"missing base is created", base, true, 0, nullptr, base, "Creating shm file: " + base},
        {"own base is used as it is", base, false, 0, touch, base, "File " + base + " exists."},
        {"missing base without create", base, false, 0, nullptr, "",
         "ERROR accessing file: " + base + " : No such file or directory"},
        {"attempt names the suffix", base, true, 2, nullptr, base + "_2", "Trying to open shm file: " + base + "_2"},
        {"missing directory", mDir.path() + "/none/zunqstats", true, 0, nullptr, "",
         "ERROR creating file: " + mDir.path() + "/none/zunqstats : No such file or directory"},
        {"negative attempt", base, true, -1, nullptr, "", "invalid key file name"},
        {"attempt past the last suffix", base, true, 101, nullptr, "", "invalid key file name"},
        {"empty base", "", true, 0, nullptr, "", "invalid key file name"},
    };
    for (const Case& c : cases)
    {
        std::filesystem::remove_all(mDir.path() + "/zunqstats");
        for (int i = 1; i <= 3; ++i)
            std::filesystem::remove(mDir.path() + "/zunqstats_" + std::to_string(i));
        if (c.setup)
            c.setup(c.base);
        std::string got = ShmUtils::getShmFileKeyName(mLog, c.base, c.create, c.attempt);
        EXPECT_EQ(got, c.expected) << c.what;
        EXPECT_TRUE(mSink->contains(c.logged)) << c.what << ": no line with \"" << c.logged << '"';
        if (!got.empty())
        {
            struct stat info;
            ASSERT_EQ(stat(got.c_str(), &info), 0) << c.what;
            EXPECT_EQ(info.st_uid, getuid()) << c.what;
            if (!c.setup) // made by the call itself
            {
                EXPECT_EQ(info.st_mode & 0777, 0600u) << c.what;
            }
        }
    }
}

TEST_F(ShmUtilsTest, FilesOfOtherUsersLeadToTheNextSuffixUpToTheLast)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to give files to another user";
    const uid_t other = 65534;
    const std::string base = mDir.path() + "/zunqstats";
    auto foreign = [&](const std::string& path) {
        int fd = open(path.c_str(), O_CREAT | O_WRONLY, 0600);
        close(fd);
        ASSERT_EQ(chown(path.c_str(), other, other), 0);
    };

    foreign(base);
    foreign(base + "_1");
    EXPECT_EQ(ShmUtils::getShmFileKeyName(mLog, base, true, 0), base + "_2");
    EXPECT_TRUE(mSink->contains("File " + base + "_1 is owned by a different user."));

    // A link planted by another user is that user's, even when it points at our file.
    const std::string linked = mDir.path() + "/linked";
    int fd = open((mDir.path() + "/mine").c_str(), O_CREAT | O_WRONLY, 0600);
    close(fd);
    ASSERT_EQ(symlink((mDir.path() + "/mine").c_str(), linked.c_str()), 0);
    ASSERT_EQ(lchown(linked.c_str(), other, other), 0);
    EXPECT_EQ(ShmUtils::getShmFileKeyName(mLog, linked, true, 0), linked + "_1");

    for (int i = 2; i <= ShmUtils::cMaxKeyFileAttempt; ++i)
    {
        std::filesystem::remove(base + "_" + std::to_string(i));
        foreign(base + "_" + std::to_string(i));
    }
    EXPECT_EQ(ShmUtils::getShmFileKeyName(mLog, base, true, 0), "");
    EXPECT_TRUE(mSink->contains("ERROR maximum number of shared memory files allowed"));
}

} // namespace
