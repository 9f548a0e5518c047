#include "RegistryTestSupport.h"

#include "FendralCore/runtime/ResourceRepository.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

namespace
{

using Repo = ResourceRepository<int>;

Name nameOf(const std::string& text)
{
    return Name(text);
}

// Names in walk order.
std::vector<std::string> walk(Repo& repo)
{
    std::vector<std::string> names;
    ResourceName name;
    int* obj = nullptr;
    for (bool more = repo.getFirst(name, obj); more; more = repo.getNext(name, obj))
        names.emplace_back(name);
    return names;
}

TEST(ResourceRepositoryTest, FifthEntrySwitchesToTheHashMapForGood)
{
    Repo repo;
    int objs[6] = {};
    const char* names[] = {"A", "B", "C", "D", "E"};
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(repo.addResource(nameOf(names[i]), &objs[i]), 0);
    EXPECT_TRUE(repo.isListLookup());
    ASSERT_EQ(repo.addResource(nameOf("E"), &objs[4]), 0);
    EXPECT_FALSE(repo.isListLookup());

    for (const char* gone : {"A", "B", "C", "D"})
        ASSERT_EQ(repo.removeResource(nameOf(gone)), 0);
    EXPECT_FALSE(repo.isListLookup()) << "removals never bring the list back";
    int* found = nullptr;
    ASSERT_EQ(repo.getResourceObject(nameOf("E"), found), 0);
    EXPECT_EQ(found, &objs[4]);
    EXPECT_EQ(repo.getResourceObject(nameOf("A"), found), -1);
    EXPECT_EQ(lastCode(), RES_NOT_EXIST);
    EXPECT_EQ(repo.size(), 1);
}

TEST(ResourceRepositoryTest, RemovedSlotIsReusedByTheNextAdd)
{
    Repo repo;
    int objs[4] = {};
    ASSERT_EQ(repo.addResource(nameOf("A"), &objs[0]), 0);
    ASSERT_EQ(repo.addResource(nameOf("B"), &objs[1]), 0);
    ASSERT_EQ(repo.addResource(nameOf("C"), &objs[2]), 0);
    ASSERT_EQ(repo.removeResource(nameOf("B")), 0);
    ASSERT_EQ(repo.addResource(nameOf("D"), &objs[3]), 0);
    // The list walks slot by slot: D took B's slot 1.
    EXPECT_EQ(walk(repo), (std::vector<std::string>{"A", "D", "C"}));
}

TEST(ResourceRepositoryTest, LookupsTakeTheNameBytesAsTheyStand)
{
    for (int entries : {1, 5}) // scan list, then hash map
    {
        SCOPED_TRACE(entries);
        Repo repo;
        int objs[5] = {};
        for (int i = 0; i < entries; ++i)
            ASSERT_EQ(repo.addResource(nameOf("AB" + std::to_string(i)), &objs[i]), 0);
        int* found = nullptr;
        ResourceName dirty;
        setRawName(dirty, "AB0\0X", 5);
        EXPECT_EQ(repo.getResourceObject(dirty, found), -1);
        EXPECT_EQ(lastCode(), RES_NOT_EXIST);
        ResourceName empty{};
        EXPECT_EQ(repo.getResourceObject(empty, found), -1) << "free slots hold the empty key";
        EXPECT_EQ(lastCode(), RES_NOT_EXIST);
        // Insertion and removal take the text up to its NUL.
        EXPECT_EQ(repo.addResource(dirty, &objs[0]), -1);
        EXPECT_EQ(lastCode(), RES_NAME_NOT_NULL_PADDED);
        EXPECT_EQ(repo.removeResource(dirty), 0);
        EXPECT_EQ(repo.size(), entries - 1);
    }
}

TEST(ResourceRepositoryTest, WalkEndsWithEmptyAndNextEnd)
{
    for (int entries : {0, 3, 6})
    {
        SCOPED_TRACE(entries);
        Repo repo;
        int obj = 0;
        ResourceName name;
        int* found = nullptr;
        for (int i = 0; i < entries; ++i)
            ASSERT_EQ(repo.addResource(nameOf("N" + std::to_string(i)), &obj), 0);
        if (entries == 0)
        {
            EXPECT_FALSE(repo.getFirst(name, found));
            EXPECT_EQ(lastCode(), RES_EMPTY);
            continue;
        }
        EXPECT_EQ(walk(repo).size(), static_cast<size_t>(entries));
        EXPECT_FALSE(repo.getNext(name, found));
        EXPECT_EQ(lastCode(), RES_NEXT_END);
    }
}

TEST(ResourceRepositoryTest, RefusedAddsLeaveTheTableAsItWas)
{
    struct Case
    {
        const char* what;
        std::string bytes;
        int32 code;
    };
    const Case cases[] = {
        {"empty name", std::string(), RES_NO_NAME},
        {"17 characters", std::string(17, 'x'), RES_NAME_NOT_NULL_TERM},
        {"text after the NUL", std::string("ab\0c", 4), RES_NAME_NOT_NULL_PADDED},
        {"duplicate", "D3", RES_NAME_EXIST},
    };
    for (int entries : {4, 6}) // a full scan list, and the hash map
    {
        for (const Case& c : cases)
        {
            SCOPED_TRACE(std::string(c.what) + " with " + std::to_string(entries));
            Repo repo;
            int obj = 0;
            for (int i = 0; i < entries; ++i)
                ASSERT_EQ(repo.addResource(nameOf("D" + std::to_string(i)), &obj), 0);
            const std::vector<std::string> before = walk(repo);
            ResourceName name;
            setRawName(name, c.bytes.data(), c.bytes.size());
            EXPECT_EQ(repo.addResource(name, &obj), -1);
            EXPECT_EQ(lastCode(), c.code);
            EXPECT_EQ(repo.size(), entries);
            EXPECT_EQ(repo.isListLookup(), entries <= 4) << "a refused fifth add must not switch the table";
            EXPECT_EQ(walk(repo), before);
        }
    }
    Repo repo;
    int obj = 0;
    ResourceName sixteen;
    setName(sixteen, "0123456789ABCDEF");
    EXPECT_EQ(repo.addResource(sixteen, &obj), 0);
}

// Random adds, removals, lookups and walks over a pool of names large enough
// to cross the four-entry switch, checked against std::map after every step.
TEST(ResourceRepositoryTest, MatchesAMapUnderRandomOperations)
{
    for (uint32 seed : {1u, 7u, 42u, 2024u, 99991u})
    {
        SCOPED_TRACE(seed);
        std::mt19937 rng(seed);
        Repo repo;
        std::map<std::string, int*> model;
        std::vector<int> objs(12);
        std::vector<std::string> pool;
        for (int i = 0; i < 12; ++i)
            pool.push_back(i == 11 ? std::string(16, 'z') : "res" + std::to_string(i));
        for (int step = 0; step < 3000; ++step)
        {
            const size_t pick = rng() % pool.size();
            const Name name = nameOf(pool[pick]);
            int* found = nullptr;
            switch (rng() % 4)
            {
            case 0: {
                const bool fresh = model.count(pool[pick]) == 0;
                ASSERT_EQ(repo.addResource(name, &objs[pick]), fresh ? 0 : -1);
                if (fresh)
                {
                    model[pool[pick]] = &objs[pick];
                }
                else
                {
                    ASSERT_EQ(lastCode(), RES_NAME_EXIST);
                }
                break;
            }
            case 1:
                ASSERT_EQ(repo.removeResource(name), model.erase(pool[pick]) == 1 ? 0 : -1);
                break;
            case 2: {
                const auto it = model.find(pool[pick]);
                ASSERT_EQ(repo.getResourceObject(name, found), it != model.end() ? 0 : -1);
                if (it != model.end())
                {
                    ASSERT_EQ(found, it->second);
                }
                break;
            }
            default: {
                std::map<std::string, int*> seen;
                ResourceName walked;
                for (bool more = repo.getFirst(walked, found); more; more = repo.getNext(walked, found))
                    ASSERT_TRUE(seen.emplace(walked, found).second) << "walk repeats " << walked;
                ASSERT_EQ(seen, model);
                break;
            }
            }
            ASSERT_EQ(repo.size(), static_cast<int32>(model.size()));
        }
    }
}

} // namespace
