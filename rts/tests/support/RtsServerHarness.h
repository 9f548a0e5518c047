// The retransmission server on a real framework inside a test process: the
// server thread "RTS" with its TarvokSession, an entitlement list read from a
// temporary XML file, channel caches filled by publishing records on the
// server's thread, and the server listening on 127.0.0.1. The test's client
// work runs on a thread of its own once the caches are filled; it can have
// work run on the server's thread (onServer) and reads the session pool's
// counters from a snapshot the server thread keeps. One framework run per
// process.
#pragma once

#include "kelmora/tests/host_runnable/RunnableTestSupport.h"
#include "rts/cache/LineDataCacheManager.h"
#include "rts/clients/RtsClientList.h"
#include "rts/server/RtsTcpServer.h"
#include "rts/server/RtsTcpSession.h"
#include "rts/tests/rts_cache/CacheTestSupport.h"
#include "rts/tests/support/FreePort.h"
#include "rts/tests/support/RtsTestClient.h"
#include "rts/tests/support/ServerSetup.h"
#include "rts/tests/support/TempDir.h"
#include "zunq/config/ConfigFile.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace rtstest
{

// Message `seq` of a test channel: `size` bytes, its own size first, type 0x0500.
inline std::vector<char> channelMessage(std::uint32_t seq, std::uint16_t size = 20)
{
    return messageBytes(size, size, 0x0500, seq);
}

class ServerHarness : public TarvokTimerHandler
{
public:
    ServerHarness(const std::string& clientsXml, const ServerSettings& settings = {})
        : mThread(mHost, "RTS"), mClients(mHost.log), mCaches(mHost.log), mPort(freeTcpPort())
    {
        mHost.log.setLevel(LOG_LEVEL_INFO);
        mClientsFile = loadClientList(mDir.path(), clientsXml, mConfig, mClients);
        mServer = std::make_unique<RtsTcpServer>("RtsTcpServer", mThread.session, mHost.log, mClients, mCaches,
                                                 settings.packetPoolSize, false, settings.allowLastSeqNumRequest);
        mServer->setTcpIpAddress("127.0.0.1");
        mServer->setTcpService(std::to_string(mPort));
        applySettings(*mServer, settings);
    }
    ~ServerHarness() override
    {
        mTicker.destroy();
        mServer.reset();
    }

    // A channel cache of `capacity` fed by `feeder`; before run().
    LineDataCacheManager::LineDataCache* addChannel(std::uint16_t channel, Feeder& feeder, std::int32_t capacity)
    {
        mChannels.push_back(channel);
        return mCaches.addLineDataCache(channel, "feed" + std::to_string(channel), &feeder.mData, &feeder.mMode,
                                        capacity, true, false, 1536, false);
    }

    // Runs the framework: `fill` on the server thread first, then `client`
    // on a thread of its own; stops when the client work returns.
    bool run(std::function<void()> fill, std::function<void()> client, const std::string& extraConfig = "",
             std::chrono::seconds timeout = std::chrono::seconds(90))
    {
        mFill = std::move(fill);
        hostrun::extraRegistration() = [this] {
            try
            {
                mServer->registerNetwork();
            }
            catch (const std::exception&)
            {
                return -1;
            }
            mServer->setHAMode(HaMode::ACTIVE);
            return 0;
        };
        mTicker.create(&mThread.session, this, 5, nullptr);
        std::thread worker([this, client = std::move(client)] {
            hostrun_block();
            {
                std::unique_lock lock(mLock);
                mCv.wait(lock, [this] { return mReady || mStopping; });
            }
            if (!mStopping)
                client();
            hostrun::stopFramework();
        });
        // The framework keeps the first value of a key: the test's own go first.
        const bool ok = hostrun::runFramework({{"RTS", 5000}},
                                              extraConfig + "TCP_CONN_RES_MAX INT32 400\nMSG_DISP_FD_NUM INT32 1500\n"
                                                            "CONN_QUEUE_LEN INT32 256\n",
                                              timeout);
        {
            std::lock_guard lock(mLock);
            mStopping = true;
        }
        mCv.notify_all();
        worker.join();
        return ok;
    }

    // From the client thread: `work` runs on the server thread; returns once it ran.
    void onServer(std::function<void()> work)
    {
        std::unique_lock lock(mLock);
        mWork.push_back(std::move(work));
        const std::size_t ticket = ++mPosted;
        mCv.wait(lock, [&] { return mDone >= ticket || mStopping; });
    }

    void onTimer(TarvokTimer*) override
    {
        if (mFill)
        {
            for (std::uint16_t channel : mChannels)
                mCaches.getLineDataCache(channel)->bindOwnerThread();
            mFill();
            mFill = nullptr;
            std::lock_guard lock(mLock);
            mReady = true;
            mCv.notify_all();
        }
        std::vector<std::function<void()>> work;
        {
            std::lock_guard lock(mLock);
            work.swap(mWork);
        }
        for (auto& w : work)
            w();
        mFreeSessions = mServer->getSessionPool().numAvailable();
        mTotalSessions = mServer->getSessionPool().numTotalAllocated();
        mActiveClients = mServer->getActiveClients();
        if (!work.empty())
        {
            std::lock_guard lock(mLock);
            mDone += work.size();
            mCv.notify_all();
        }
    }

    int port() const { return mPort; }
    RtsTcpServer& server() { return *mServer; }
    RtsClientList& clients() { return mClients; }
    hostrun::CaptureSink& sink() { return mHost.sink; }
    Log& log() { return mHost.log; }

    std::atomic<std::size_t> mFreeSessions{0};
    std::atomic<std::size_t> mTotalSessions{0};
    std::atomic<unsigned> mActiveClients{0};

private:
    static void hostrun_block()
    {
        sigset_t exits;
        sigemptyset(&exits);
        for (int sig : {SIGTERM, SIGINT, SIGQUIT, SIGHUP})
            sigaddset(&exits, sig);
        pthread_sigmask(SIG_BLOCK, &exits, nullptr);
    }

    hostrun::Host mHost;
    hostrun::Thread<> mThread;
    TempDir mDir;
    ZunqConfigManager mConfig{0, nullptr};
    std::unique_ptr<ConfigFile> mClientsFile;
    RtsClientList mClients;
    LineDataCacheManager mCaches;
    std::unique_ptr<RtsTcpServer> mServer;
    int mPort;
    TarvokTimer mTicker;
    std::vector<std::uint16_t> mChannels;
    std::function<void()> mFill;
    std::mutex mLock;
    std::condition_variable mCv;
    bool mReady = false;
    bool mStopping = false;
    std::vector<std::function<void()>> mWork;
    std::size_t mPosted = 0;
    std::size_t mDone = 0;
};

} // namespace rtstest
