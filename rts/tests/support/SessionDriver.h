// Client sessions driven directly by a test, without sockets or a running
// framework: the server and its sessions are built on a session thread that
// is never started, so timers are created but never fire and the test
// delivers their expiries itself (onTimer). The framework calls go through a
// scripted network table: each resource's writes follow its script (bytes
// written, or a failure code), and the bytes written are kept per resource.
#pragma once

#include "kelmora/linehandler/NetworkApi.h"
#include "kelmora/tests/host_runnable/RunnableTestSupport.h"
#include "rts/cache/LineDataCacheManager.h"
#include "rts/clients/RtsClientList.h"
#include "rts/server/RtsTcpServer.h"
#include "rts/server/RtsTcpSession.h"
#include "rts/tests/rts_cache/CacheTestSupport.h"
#include "rts/tests/support/RtsTestClient.h"
#include "rts/tests/support/ServerSetup.h"
#include "rts/tests/support/TempDir.h"
#include "zunq/config/ConfigFile.h"

#include <arpa/inet.h>

#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <string>

namespace rtstest
{

// One scripted write: `bytes` > 0 writes that many (at most what is asked),
// otherwise the call fails with `code` (returning `bytes`, 0 or -1).
struct Write
{
    int bytes;
    int code = 0;
};

struct ScriptedNet
{
    std::map<std::string, std::deque<Write>> scripts; // by resource; empty: everything is written
    std::map<std::string, std::deque<Write>> always;  // a write repeated while the script is empty
    std::map<std::string, std::string> wire;
    std::vector<std::pair<std::string, int>> events;
    std::vector<int> listenPorts; // of the listening channels registered
    int code = 0;

    static ScriptedNet& get()
    {
        static ScriptedNet net;
        return net;
    }

    static const NetworkApi& api()
    {
        static const NetworkApi table = [] {
            NetworkApi t = NetworkApi::framework();
            t.sendTcpMessage = [](const char* name, const char* data, int length, char (*)[17], bool) {
                ScriptedNet& n = get();
                Write w{length};
                if (auto s = n.scripts.find(name); s != n.scripts.end() && !s->second.empty())
                {
                    w = s->second.front();
                    s->second.pop_front();
                }
                else if (auto a = n.always.find(name); a != n.always.end() && !a->second.empty())
                    w = a->second.front();
                if (w.bytes <= 0)
                {
                    n.code = w.code;
                    return w.bytes;
                }
                const int done = std::min(w.bytes, length);
                n.wire[name].append(data, static_cast<std::size_t>(done));
                return done;
            };
            t.sendNetEvent = [](const char* name, FwEventID id, AppEventParam*) {
                get().events.emplace_back(name, id);
                return 0;
            };
            t.getErrorCode = [] { return get().code; };
            t.registerListenTcpConnection = [](const TcpConnParam* param) {
                get().listenPorts.push_back(param->localPort);
                return 0;
            };
            return t;
        }();
        return table;
    }
};

// The caches, with a way to make one vanish between two lookups (a cache
// that goes away after a request was accepted).
class DrivenCaches : public LineDataCacheManager
{
public:
    using LineDataCacheManager::LineDataCacheManager;
    LineDataCache* getLineDataCache(std::uint16_t id) const override
    {
        if (id == mVanishing && mLookupsLeft-- <= 0)
            return nullptr;
        return LineDataCacheManager::getLineDataCache(id);
    }
    // Channel `id` answers `lookups` more lookups, then none.
    void vanishAfter(std::uint16_t id, int lookups)
    {
        mVanishing = id;
        mLookupsLeft = lookups;
    }

private:
    std::uint16_t mVanishing = 0;
    mutable int mLookupsLeft = 0;
};

class SessionDriver
{
public:
    explicit SessionDriver(const std::string& clientsXml, unsigned packetPool = 2000)
        : mThread(mHost, "RTS"), mClients(mHost.log), mCaches(mHost.log)
    {
        ScriptedNet::get() = ScriptedNet{};
        NetworkApi::install(&ScriptedNet::api());
        mHost.log.setLevel(LOG_LEVEL_INFO);
        mClientsFile = loadClientList(mDir.path(), clientsXml, mConfig, mClients);
        mServer = std::make_unique<RtsTcpServer>("RtsTcpServer", mThread.session, mHost.log, mClients, mCaches,
                                                 packetPool, false, true);
        ServerSettings settings; // the configuration's defaults, with room for many logons
        settings.packetsPerInterval = 100;
        settings.throttleInterval = 100;
        settings.maxConnection = 1000;
        applySettings(*mServer, settings);
        // The test delivers the ticks: every queued packet waits for one.
        mServer->setWriteAnswersAtOnce(false);
    }
    ~SessionDriver() { NetworkApi::install(nullptr); }

    // A channel of messages `first` to `last` of `size` bytes each.
    LineDataCacheManager::LineDataCache* channel(std::uint16_t id, std::uint32_t first, std::uint32_t last,
                                                 std::uint16_t size, std::int32_t capacity = 1000)
    {
        auto feeder = std::make_unique<Feeder>();
        LineDataCacheManager::LineDataCache* cache = mCaches.addLineDataCache(
            id, "feed" + std::to_string(id), &feeder->mData, &feeder->mMode, capacity, true, false, 1536, false);
        cache->bindOwnerThread();
        for (std::uint32_t s = first; s <= last; ++s)
            feeder->send(s, messageBytes(size, size, 0x0500, s));
        mFeeders.push_back(std::move(feeder));
        return cache;
    }

    // A session prepared as the server prepares an accepted connection, named `name`.
    RtsTcpSession& accept(const std::string& name, const char* address = "127.0.0.1")
    {
        RtsTcpSession* s = mServer->getSessionPool().acquire();
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(40000);
        inet_pton(AF_INET, address, &a.sin_addr);
        char resource[17] = {};
        std::strncpy(resource, name.c_str(), 16);
        s->setTraceUser(mServer->getTraceUser());
        s->setTraceCommunications(false);
        s->initialize(a, mServer.get(), mServer->getAllowLastSeqNumRequest());
        s->setNanoDecimalPlaces(3);
        s->setConnection(resource);
        s->setAccepted(true);
        return *s;
    }

    // Accepted and logged on as `user`; the logon response is taken off the wire.
    RtsTcpSession& logOn(const std::string& name, const std::string& user)
    {
        RtsTcpSession& s = accept(name);
        send(s, logon(user));
        packets(name);
        return s;
    }

    static void send(RtsTcpSession& s, const std::string& bytes)
    {
        s.onNetworkData(bytes.data(), static_cast<unsigned>(bytes.size()));
    }

    // The whole packets written to `name` since the last call.
    std::vector<Packet> packets(const std::string& name)
    {
        bool malformed = false;
        std::vector<Packet> out = takePackets(ScriptedNet::get().wire[name], malformed);
        mMalformed = mMalformed || malformed;
        return out;
    }
    std::string& wire(const std::string& name) { return ScriptedNet::get().wire[name]; }
    std::deque<Write>& script(const std::string& name) { return ScriptedNet::get().scripts[name]; }
    void always(const std::string& name, Write w) { ScriptedNet::get().always[name] = {w}; }
    void writeAll(const std::string& name) { ScriptedNet::get().always[name].clear(); }
    bool malformed() const { return mMalformed; }

    LineDataCacheManager::LineDataCache* cache(std::uint16_t id) { return mCaches.getLineDataCache(id); }
    DrivenCaches& caches() { return mCaches; }
    RtsTcpServer& server() { return *mServer; }
    RtsClientList& clients() { return mClients; }
    hostrun::CaptureSink& sink() { return mHost.sink; }
    Log& log() { return mHost.log; }

private:
    hostrun::Host mHost;
    hostrun::Thread<> mThread;
    TempDir mDir;
    ZunqConfigManager mConfig{0, nullptr};
    std::unique_ptr<ConfigFile> mClientsFile;
    RtsClientList mClients;
    std::vector<std::unique_ptr<Feeder>> mFeeders; // outlive the caches subscribed to them
    DrivenCaches mCaches;
    std::unique_ptr<RtsTcpServer> mServer;
    bool mMalformed = false;
};

} // namespace rtstest
