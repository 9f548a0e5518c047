#include "RegistryFixture.h"

#include "FendralCore/runtime/DatInfo.h"
#include "FendralCore/runtime/ResourceAssistant.h"
#include "FendralCore/runtime/ResourceHandle.h"
#include "FendralCore/runtime/ServiceResource.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace
{

class ResourceHandleTest : public RegistryFixture
{
public:
    ResourceAssistant assistant;

    bool valid(ResourceType type, const ResourceHandle& handle)
    {
        FrameworkErrno::m_fwErrno = 0;
        return assistant.isValidHandle(type, handle);
    }
};

TEST_F(ResourceHandleTest, HandlesOrderByKindThenKeyThenPointer)
{
    auto* low = reinterpret_cast<FrameworkResource*>(0x1000);
    auto* high = reinterpret_cast<FrameworkResource*>(0x2000);
    const ResourceHandle threadZ(Name("ZZZ"), THREAD_RES, high);
    const ResourceHandle tcpA(Name("A"), TCP_RES, low);
    const ResourceHandle tcpB(Name("B"), TCP_RES, low);
    const ResourceHandle tcpBHigh(Name("B"), TCP_RES, high);
    const ResourceHandle invalid;

    EXPECT_LT(threadZ, tcpA) << "any thread handle before any TCP handle";
    EXPECT_LT(invalid, threadZ);
    EXPECT_LT(tcpA, tcpB);
    EXPECT_LT(tcpB, tcpBHigh);
    EXPECT_EQ(tcpB.compare(tcpBHigh), -1);
    EXPECT_EQ(tcpBHigh.compare(tcpB), 1);
    EXPECT_EQ(tcpB.compare(ResourceHandle(tcpB)), 0);
    EXPECT_TRUE(tcpB == ResourceHandle(Name("B"), TCP_RES, low));
    EXPECT_TRUE(tcpB != tcpBHigh);
    EXPECT_GE(tcpBHigh, tcpB);
    EXPECT_LE(tcpA, tcpA);

    std::vector<ResourceHandle> sorted = {tcpBHigh, invalid, tcpA, threadZ, tcpB};
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, (std::vector<ResourceHandle>{invalid, threadZ, tcpA, tcpB, tcpBHigh}));
}

TEST_F(ResourceHandleTest, NameAndKindComeBackFromTheKey)
{
    ResourceHandle handle(Name("0123456789ABCDEF"), UDP_RES, nullptr);
    ResourceName name;
    std::memset(name, 'x', sizeof(name));
    ResourceType type = INVALID_RES;
    handle.getResourceName(name, type);
    EXPECT_EQ(std::string(name, 17), std::string("0123456789ABCDEF") + '\0');
    EXPECT_EQ(type, UDP_RES);

    handle = ResourceHandle(Name("ab"), PIPELINE_RES, nullptr);
    handle.getResourceName(name, type);
    EXPECT_EQ(std::string(name, 17), std::string("ab") + std::string(15, '\0'));
    handle.clearHandle();
    EXPECT_EQ(handle, ResourceHandle());
    EXPECT_EQ(handle.getResNameKey(), UInt128());
}

TEST_F(ResourceHandleTest, HandlesStayValidWhileTheirResourceIsLive)
{
    ThreadResource* thread = addThread("T");
    ASSERT_NE(thread, nullptr);
    UdpConnResource* udpRec = nullptr;
    ASSERT_EQ(reg().registerUdpConnRes(udp("U"), &udpRec), 0);
    PipelineResource* pl = nullptr;
    ASSERT_EQ(reg().registerPipelineRes(pipeline("PL"), &pl), 0);
    MsgTopicResource* tp = nullptr;
    ASSERT_EQ(reg().registerMsgTopicRes(topic("TP"), &tp), 0);
    IpcResource* ipcRec = nullptr;
    ASSERT_EQ(reg().registerIpcRes(ipc("IPC1"), &ipcRec), 0);

    struct Case
    {
        const char* name;
        ResourceType type;
        FrameworkResource* rec;
        std::atomic<ResourceStatus>* status;
        ResourceStatus live;
    };
    const Case cases[] = {
        {"T", THREAD_RES, asFrameworkResource(thread), &thread->status, RES_ACTIVE},
        {"U", UDP_RES, asFrameworkResource(udpRec), &udpRec->status, RES_CONNECTED},
        {"PL", PIPELINE_RES, asFrameworkResource(pl), &pl->status, RES_ACTIVE},
        {"TP", TOPIC_RES, asFrameworkResource(tp), &tp->status, RES_ACTIVE},
        {"IPC1", IPC_RES, asFrameworkResource(ipcRec), &ipcRec->status, RES_CONNECTED},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        ResourceHandle handle;
        assistant.prepareHandle(handle, Name(c.name), c.type, c.rec);
        EXPECT_FALSE(valid(c.type, handle)) << "registered, not yet live";
        EXPECT_EQ(lastCode(), RES_INVALID_HANDLE);
        c.status->store(c.live);
        EXPECT_TRUE(valid(c.type, handle));
        EXPECT_FALSE(valid(c.type == TCP_RES ? UDP_RES : TCP_RES, handle)) << "asked for another kind";
        EXPECT_EQ(lastCode(), RES_INVALID_HANDLE);
        assistant.prepareHandle(handle, Name("OTHER"), c.type, c.rec);
        EXPECT_FALSE(valid(c.type, handle)) << "the record carries another name";
        c.status->store(RES_TERMINATED);
        assistant.prepareHandle(handle, Name(c.name), c.type, c.rec);
        EXPECT_FALSE(valid(c.type, handle));

        ResourceHandle unresolved;
        assistant.prepareHandle(unresolved, Name(c.name), c.type, nullptr);
        EXPECT_TRUE(valid(c.type, unresolved)) << "a null record is for the holder to report";
        EXPECT_EQ(lastCode(), 0);
    }
    EXPECT_FALSE(valid(INVALID_RES, ResourceHandle(Name("T"), INVALID_RES, asFrameworkResource(thread))));
}

TEST_F(ResourceHandleTest, HandleToAReusedTcpSlotIsStale)
{
    useConfig("TCP_CONN_RES_MAX INT32 1\n");
    addThread("T");
    TcpConnResource* rec = nullptr;
    ASSERT_EQ(reg().registerTcpConnRes(tcpAccepted("L:1"), &rec, true), 0);
    rec->status.store(RES_CONNECTED);
    ResourceHandle first;
    assistant.prepareHandle(first, Name("L:1"), TCP_RES, asFrameworkResource(rec));
    EXPECT_TRUE(valid(TCP_RES, first));

    rec->status.store(RES_DISCONNECTED);
    EXPECT_FALSE(valid(TCP_RES, first)) << "the connection went down";
    ASSERT_EQ(reg().removeTcpClientConnRes(Name("L:1"), true), 0);
    TcpConnResource* again = nullptr;
    ASSERT_EQ(reg().registerTcpConnRes(tcpAccepted("L:2"), &again, true), 0);
    ASSERT_EQ(again, rec);
    again->status.store(RES_CONNECTED);
    EXPECT_FALSE(valid(TCP_RES, first)) << "the slot belongs to another connection";
    EXPECT_EQ(lastCode(), RES_INVALID_HANDLE);
    ResourceHandle second;
    assistant.prepareHandle(second, Name("L:2"), TCP_RES, asFrameworkResource(again));
    EXPECT_TRUE(valid(TCP_RES, second));
}

// --- typed data handles ---

int64 handleOf(const DatInfo* info)
{
    return static_cast<int64>(reinterpret_cast<uintptr_t>(info));
}

TEST_F(ResourceHandleTest, DataHandlesAreRegisteredByName)
{
    int container = 0;
    DatInfo* map = DatInfo::createDatInfo(&container, "dataMapOne", DAT_SORTED_MAP);
    ASSERT_NE(map, nullptr);
    EXPECT_EQ(DatInfo::getHandle("dataMapOne"), map);
    EXPECT_EQ(map->getDatPtr(), &container);

    EXPECT_EQ(DatInfo::createDatInfo(&container, "dataMapOne", DAT_QUEUE), nullptr);
    EXPECT_EQ(lastCode(), RES_NAME_EXIST);
    // Only 16 characters count.
    DatInfo* longName = DatInfo::createDatInfo(&container, "0123456789ABCDEF-first", DAT_LIST);
    ASSERT_NE(longName, nullptr);
    EXPECT_STREQ(longName->getName(), "0123456789ABCDEF");
    EXPECT_EQ(DatInfo::createDatInfo(&container, "0123456789ABCDEF-second", DAT_LIST), nullptr);
    EXPECT_EQ(lastCode(), RES_NAME_EXIST);
    EXPECT_EQ(DatInfo::createDatInfo(&container, "", DAT_LIST), nullptr);
    EXPECT_EQ(lastCode(), RES_NO_NAME);

    delete map;
    EXPECT_EQ(DatInfo::getHandle("dataMapOne"), nullptr);
    DatInfo* reborn = DatInfo::createDatInfo(&container, "dataMapOne", DAT_UNSORTED_MAP);
    ASSERT_NE(reborn, nullptr) << "deleting a handle frees its name";
    delete reborn;
    delete longName;
}

TEST_F(ResourceHandleTest, DataHandleChecks)
{
    int container = 0;
    DatInfo* info = DatInfo::createDatInfo(&container, "checkedMap", DAT_UNSORTED_MAP);
    ASSERT_NE(info, nullptr);
    info->setMapInfo(8, true);
    int32 keySize = 0;
    bool isSigned = false;
    info->getMapInfo(keySize, isSigned);
    EXPECT_EQ(keySize, 8);
    EXPECT_TRUE(isSigned);

    struct Case
    {
        const char* what;
        int64 handle;
        int16 type;
        int32 keySize;
        bool isSigned;
        int32 code; // 0: valid
    };
    const int64 h = handleOf(info);
    const Case cases[] = {
        {"matching", h, DAT_UNSORTED_MAP, 8, true, 0},
        {"any key type", h, DAT_UNSORTED_MAP, -1, false, 0},
        {"zero", 0, DAT_UNSORTED_MAP, -1, false, DAT_HANDLE},
        {"other kind", h, DAT_SORTED_MAP, -1, false, DAT_TYPE},
        {"other key size", h, DAT_UNSORTED_MAP, 4, true, DAT_MAP_KEY_TYPE},
        {"other signedness", h, DAT_UNSORTED_MAP, 8, false, DAT_MAP_KEY_TYPE},
        {"not a handle", handleOf(info) + 8, DAT_UNSORTED_MAP, -1, false, DAT_HANDLE},
        {"made up", 0x7fffdeadbeef, DAT_UNSORTED_MAP, -1, false, DAT_HANDLE},
        {"negative", -1, DAT_UNSORTED_MAP, -1, false, DAT_HANDLE},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        FrameworkErrno::m_fwErrno = 0;
        EXPECT_EQ(DatInfo::isValidHandle(c.handle, c.type, c.keySize, c.isSigned), c.code == 0);
        if (c.code != 0)
        {
            EXPECT_EQ(lastCode(), c.code);
        }
    }
    delete info;
    // A deleted handle is refused without being read (the sanitizer of the
    // test build reports any read of the freed object).
    EXPECT_FALSE(DatInfo::isValidHandle(h, DAT_UNSORTED_MAP, -1, false));
    EXPECT_EQ(lastCode(), DAT_HANDLE);
}

TEST_F(ResourceHandleTest, DataHandlesAcrossThreads)
{
    // Threads create, check and delete their own handles while checking the
    // others' handles, some of which are being deleted.
    constexpr int THREADS = 4;
    constexpr int ROUNDS = 300;
    std::atomic<int64> published[THREADS] = {};
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t)
    {
        threads.emplace_back([&, t] {
            int container = 0;
            for (int i = 0; i < ROUNDS; ++i)
            {
                const std::string name = "dat" + std::to_string(t) + "_" + std::to_string(i);
                DatInfo* info = DatInfo::createDatInfo(&container, name.c_str(), DAT_QUEUE);
                if (info == nullptr || !DatInfo::isValidHandle(handleOf(info), DAT_QUEUE, -1, false) ||
                    DatInfo::getHandle(name.c_str()) != info)
                {
                    ++failures;
                    continue;
                }
                published[t].store(handleOf(info));
                const int64 other = published[(t + 1) % THREADS].load();
                if (other != 0 && !DatInfo::isValidHandle(other, DAT_QUEUE, -1, false) && lastCode() != DAT_HANDLE)
                    ++failures;
                published[t].store(0);
                delete info;
            }
        });
    }
    for (std::thread& th : threads)
        th.join();
    EXPECT_EQ(failures.load(), 0);
    int32 size = -1;
    ResourceManager::getInst().getServiceResSize(ResourceManager::RES_TYPE_DATA, size);
    EXPECT_EQ(size, 0);
}

TEST_F(ResourceHandleTest, ServiceObjectsThroughTheLockedFrontDoor)
{
    using Svc = ResourceManager;
    int object = 0;
    void* found = nullptr;
    EXPECT_FALSE(ServiceResource::lookup("svcA", &found, static_cast<Svc::ServiceResourceType>(9)));
    EXPECT_EQ(lastCode(), RES_SVC_OBJ_TYPE_INVALID);
    EXPECT_FALSE(ServiceResource::lookup("svcA", nullptr, Svc::RES_TYPE_FILE));
    EXPECT_EQ(lastCode(), RES_NULL_OBJ_PTR);
    EXPECT_FALSE(ServiceResource::registerObject("svcA", nullptr, Svc::RES_TYPE_FILE));
    EXPECT_EQ(lastCode(), RES_NULL_OBJ_PTR);
    EXPECT_FALSE(ServiceResource::registerObject(nullptr, &object, Svc::RES_TYPE_FILE));
    EXPECT_EQ(lastCode(), RES_NO_NAME);

    ASSERT_TRUE(ServiceResource::registerObject("svcA-with-a-long-name", &object, Svc::RES_TYPE_SEM));
    ASSERT_TRUE(ServiceResource::lookup("svcA-with-a-long", &found, Svc::RES_TYPE_SEM));
    EXPECT_EQ(found, &object);
    EXPECT_FALSE(ServiceResource::lookup("svcA-with-a-long", &found, Svc::RES_TYPE_DB));
    EXPECT_EQ(lastCode(), RES_NOT_EXIST);
    EXPECT_TRUE(ServiceResource::unregisterObject("svcA-with-a-long-name", Svc::RES_TYPE_SEM));
    EXPECT_FALSE(ServiceResource::unregisterObject("svcA-with-a-long-name", Svc::RES_TYPE_SEM));
    EXPECT_EQ(lastCode(), RES_NOT_EXIST);
}

} // namespace
