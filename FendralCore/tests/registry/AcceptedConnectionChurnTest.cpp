// Accepted TCP connections come and go on a receiver thread while other
// threads look connections up, walk the table and check handles, as the
// network receiver and the dispatchers do. Run under the sanitizers of the
// test build; every result is also checked against what the receiver did.
#include "RegistryFixture.h"

#include "FendralCore/runtime/ResourceAssistant.h"

#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace
{

class AcceptedConnectionChurnTest : public RegistryFixture
{
};

TEST_F(AcceptedConnectionChurnTest, AddRemoveAndLookupAcrossThreads)
{
    // Few records, so that slots are reused all the time.
    useConfig("TCP_CONN_RES_MAX INT32 6\n");
    addThread("T");
    TcpConnResource* listen = nullptr;
    ASSERT_EQ(reg().registerTcpConnRes(tcpListen("LSN"), &listen, false), 0);

    constexpr int ROUNDS = 50000;
    constexpr int LIVE = 4; // accepted connections kept at once
    std::atomic<bool> done{false};
    std::atomic<int> receiverFailures{0};
    std::atomic<int> readerFailures{0};
    std::atomic<int> walkFailures{0};
    std::atomic<long> hits{0};

    std::thread receiver([&] {
        std::deque<std::string> live;
        for (int i = 0; i < ROUNDS; ++i)
        {
            const std::string name = "LSN:" + std::to_string(i);
            TcpConnResource* rec = nullptr;
            if (reg().registerTcpConnRes(tcpAccepted(name.c_str()), &rec, true) != 0)
            {
                ++receiverFailures;
                continue;
            }
            rec->status.store(RES_CONNECTED);
            live.push_back(name);
            if (live.size() > LIVE)
            {
                if (reg().removeTcpClientConnRes(Name(live.front()), true) != 0)
                    ++receiverFailures;
                live.pop_front();
            }
        }
        for (const std::string& name : live)
            if (reg().removeTcpClientConnRes(Name(name), true) != 0)
                ++receiverFailures;
        done = true;
    });

    auto reader = [&](unsigned seed) {
        ResourceAssistant assistant;
        std::vector<ResourceHandle> handles;
        unsigned x = seed;
        while (!done.load())
        {
            x = x * 1103515245u + 12345u;
            TcpConnResource* rec = nullptr;
            // The listen connection stays put.
            if (reg().getTcpConnRes(Name("LSN"), &rec, true) != 0 || rec != listen)
                ++readerFailures;
            // An accepted one may or may not be there.
            const std::string name = "LSN:" + std::to_string(x % ROUNDS);
            if (reg().getTcpConnRes(Name(name), &rec, true) == 0)
            {
                ++hits;
                ResourceHandle handle;
                assistant.prepareHandle(handle, Name(name), TCP_RES, asFrameworkResource(rec));
                handles.push_back(handle);
            }
            else if (lastCode() != RES_NOT_EXIST)
            {
                ++readerFailures;
            }
            // Handles taken earlier: valid or not, checking one never fails
            // in any other way.
            for (const ResourceHandle& h : handles)
                if (!assistant.isValidHandle(TCP_RES, h) && lastCode() != RES_INVALID_HANDLE)
                    ++readerFailures;
            if (handles.size() > 8)
                handles.erase(handles.begin());
            // A walk (walkers share the table's cursor, so they hold its
            // lock) sees the listen connection, and no entry twice.
            if (reg().lockTcpConnRes(ResourceManager::DEFAULT_RES_LOCK_TIMEOUT_MICRO) != 0)
            {
                ++readerFailures;
                continue;
            }
            ResourceName walked;
            std::set<std::string> seen;
            bool sawListen = false;
            bool repeated = false;
            for (int r = reg().getFirstTcpConnRes(walked, &rec); r == 0; r = reg().getNextTcpConnRes(walked, &rec))
            {
                repeated = repeated || !seen.insert(walked).second;
                sawListen = sawListen || rec == listen;
            }
            reg().unlockTcpConnRes();
            if (!sawListen || repeated)
                ++walkFailures;
        }
    };
    std::thread reader1(reader, 1u);
    std::thread reader2(reader, 2u);
    receiver.join();
    reader1.join();
    reader2.join();

    EXPECT_EQ(receiverFailures.load(), 0);
    EXPECT_EQ(readerFailures.load(), 0);
    EXPECT_EQ(walkFailures.load(), 0);
    int32 size = -1;
    reg().getTcpConnResSize(size);
    EXPECT_EQ(size, 1) << "only the listen connection stays";
    ResourceName name;
    TcpConnResource* rec = nullptr;
    ASSERT_EQ(reg().getFirstTcpConnRes(name, &rec), 0);
    EXPECT_STREQ(name, "LSN");
    RecordProperty("lookupHits", std::to_string(hits.load()));
}

} // namespace
