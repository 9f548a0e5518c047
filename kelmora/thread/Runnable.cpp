#include "kelmora/thread/Runnable.h"

#include "kelmora/linehandler/NetworkHandler.h"
#include "kelmora/runtime/LogModule.h"
#include "kelmora/linehandler/TopicHandler.h"
#include "kelmora/thread/TarvokSession.h"

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/Int128.h"
#include "FendralCore/foundation/UnsortedMap.h"
#include "FendralServices/api/FwServices.h"
#include "zunq/log/Log.h"

#include <algorithm>
#include <cxxabi.h>
#include <chrono>
#include <cstring>
#include <exception>
#include <thread>
#include <unistd.h>

using Zunq::cThreadDataHeader;
using Zunq::SpooledThreadData;
using Zunq::ThreadData;

namespace
{
// Each name map counts its removals, so that a thread's copy of what it found
// knows when to look again. An insert needs no count: a name is never
// replaced in place, and what was not found is not kept. The counts are
// plain process-wide atomics, read on every delivery without a call.
constinit std::atomic<uint64_t> gThreadMapGeneration{0};
constinit std::atomic<uint64_t> gNetworkMapGeneration{0};
constinit std::atomic<uint64_t> gTopicMapGeneration{0};

struct NameMap
{
    explicit NameMap(std::atomic<uint64_t>& count) : generation(count) {}
    std::mutex lock;
    UnsortedMap<UInt128> map{100};
    std::atomic<uint64_t>& generation;
};
struct HandleMap
{
    std::mutex lock;
    UnsortedMap<int64> map{100};
};

NameMap& threadMap()
{
    static NameMap m(gThreadMapGeneration);
    return m;
}
NameMap& networkMap()
{
    static NameMap m(gNetworkMapGeneration);
    return m;
}
NameMap& topicMap()
{
    static NameMap m(gTopicMapGeneration);
    return m;
}
HandleMap& timerMap()
{
    static HandleMap m;
    return m;
}
std::mutex& initLock()
{
    static std::mutex m;
    return m;
}

// Inserts go by the text of the name, look-ups by its raw 16 bytes; for
// NUL-padded resource names both are the same key.
UInt128 textKey(const char (&name)[17])
{
    return UInt128(name, true);
}
UInt128 rawKey(const char (&name)[17])
{
    return UInt128(reinterpret_cast<const char(&)[16]>(name));
}

bool lookup(NameMap& m, const char (&name)[17], unsigned long& value)
{
    std::lock_guard lock(m.lock);
    DataValueType v = 0;
    if (!m.map.getValueByKey(rawKey(name), v, false))
        return false;
    value = v;
    return true;
}

// Every datagram and topic datum needs a look-up, while the maps change only
// when a handler registers or leaves: each thread keeps the handlers it found
// in a small table of its own, keyed by the name's bytes as delivered, and
// drops the table when the map's generation has moved. A delivery then takes
// no lock and shares no written memory with other threads.
struct CachedName
{
    uint64_t key[2];
    unsigned long value;
};
struct NameCache
{
    static constexpr unsigned cSlots = 16;
    uint64_t generation = ~uint64_t(0);
    // The last name found: a run of data of one channel is matched without
    // hashing, its address known before the name is read.
    CachedName last = {};
    CachedName slots[cSlots] = {};
};

// libkelmora is loaded with the program (it loads the plug-ins), so its
// thread-local data can sit in the static block and cost no call to reach.
#define KELMORA_TLS __attribute__((tls_model("initial-exec")))
thread_local NameCache tNetworkCache KELMORA_TLS;
thread_local NameCache tTopicCache KELMORA_TLS;

void resourceName(char (&out)[17], const char* text);
[[gnu::always_inline]] inline void deliverIo(DataMsg* data);

[[gnu::noinline]] bool slowLookup(NameMap& m, NameCache& cache, uint64_t generation, const char* delivered,
                                  unsigned long& value)
{
    if (cache.generation != generation)
    {
        cache = NameCache{};
        cache.generation = generation;
    }
    char name[17];
    resourceName(name, delivered);
    if (!lookup(m, name, value))
        return false;
    uint64_t key[2];
    std::memcpy(key, delivered, sizeof key);
    CachedName& slot = cache.slots[((key[0] ^ key[1]) * 0x9E3779B97F4A7C15ull) >> 60 & (NameCache::cSlots - 1)];
    slot = CachedName{{key[0], key[1]}, value};
    cache.last = slot;
    return true;
}

inline bool cachedLookup(std::atomic<uint64_t>& count, NameMap& (*map)(), NameCache& cache, const char* delivered,
                         unsigned long& value)
{
    uint64_t k0, k1;
    std::memcpy(&k0, delivered, sizeof k0);
    std::memcpy(&k1, delivered + sizeof k0, sizeof k1);
    // Read before the map is, so that a change made during the look-up
    // leaves the table stale rather than wrong.
    const uint64_t generation = count.load(std::memory_order_acquire);
    if (cache.generation == generation) [[likely]]
    {
        if (cache.last.key[0] == k0 && cache.last.key[1] == k1 && cache.last.value != 0) [[likely]]
        {
            value = cache.last.value;
            return true;
        }
        CachedName& slot = cache.slots[((k0 ^ k1) * 0x9E3779B97F4A7C15ull) >> 60 & (NameCache::cSlots - 1)];
        if (slot.value != 0 && slot.key[0] == k0 && slot.key[1] == k1)
        {
            cache.last = slot;
            value = slot.value;
            return true;
        }
    }
    return slowLookup(map(), cache, generation, delivered, value);
}

bool insert(NameMap& m, const char* op, const char (&name)[17], void* handle, Log& log)
{
    unsigned long existing = 0;
    if (lookup(m, name, existing))
    {
        log.error() << op << "failed to create handle map - key|" << name << "| already exists";
        return false;
    }
    bool ok;
    {
        std::lock_guard lock(m.lock);
        ok = m.map.insert(textKey(name), reinterpret_cast<DataValueType>(handle), false);

    }
    if (!ok)
    {
        log.error() << op << "failed to create handle map - key|" << name << "| handle|"
                    << (handle != nullptr ? "true" : "false");
        return false;
    }
    log.verbose() << op << "create handle map - key|" << name << "| handle|" << (handle != nullptr ? "true" : "false")
                  << "| succeed";
    return true;
}

// A 16-character resource name from any text.
void resourceName(char (&out)[17], const char* text)
{
    std::memset(out, 0, sizeof out);
    if (text != nullptr)
        std::memcpy(out, text, strnlen(text, 16));
}

// Log of lines made where no Runnable is known.
Log& processLog()
{
    static Log log;
    return log;
}

Log& logOf(Runnable* r)
{
    return r != nullptr ? r->getLog() : processLog();
}

bool transient(int code)
{
    return code == BUFFER_FULL || code == HEAD_INDEX_CHANGED || code == LOCK_NO_RES || code == SEND_FAILED ||
           code == WOULD_BLOCK;
}

// The calling thread's Runnable as last found, valid while the thread map's
// generation is the one it was found under.
thread_local Runnable* tCurrent KELMORA_TLS = nullptr;
thread_local uint64_t tCurrentGeneration KELMORA_TLS = 0;

// The 5-second throttle of the spool progress line, shared by all threads.
std::atomic<int64_t> gLastProgressLine{0};
} // namespace

Runnable::Runnable(const char* threadName, ZunqConfigManager& cfg, ModuleList& modules, Log& log,
                   unsigned int spoolCapacity)
    : OrluPublisher<ThreadData>(threadName != nullptr ? threadName : ""),
      OrluPublisher<Zunq::ThreadStatus>(threadName != nullptr ? threadName : ""),
      mName(threadName != nullptr ? threadName : ""), mCfgManager(cfg), mModuleList(modules), mLog(log),
      mSpoolCapacity(spoolCapacity)
{
    resourceName(mResourceName, mName.c_str());
    getOrluThreadStatus();
    insertThreadHandleMap(mResourceName, this, mLog);
}

Runnable::~Runnable()
{
    // A Runnable that leaves takes its name with it: the map would otherwise
    // hand the freed object to the thread's next event, and a Runnable built
    // later for the same name could never register. Only its own entry goes;
    // one registered first by another object stays.
    NameMap& m = threadMap();
    std::lock_guard lock(m.lock);
    DataValueType v = 0;
    if (m.map.getValueByKey(rawKey(mResourceName), v, false) && v == reinterpret_cast<DataValueType>(this))
    {
        m.map.remove(rawKey(mResourceName));
        m.generation.fetch_add(1, std::memory_order_release);
    }
}

void Runnable::getResourceName(char (&name)[17]) const
{
    std::memcpy(name, mResourceName, sizeof name);
}

// ---- handle maps ----

bool Runnable::getThreadHandleMap(const char (&name)[17], unsigned long& value)
{
    return lookup(threadMap(), name, value);
}
bool Runnable::insertThreadHandleMap(const char (&name)[17], void* handle, Log& log)
{
    return insert(threadMap(), "Runnable::insertThreadHandleMap(", name, handle, log);
}
bool Runnable::getNetworkHandleMap(const char (&name)[17], unsigned long& value)
{
    return lookup(networkMap(), name, value);
}
bool Runnable::insertNetworkHandleMap(const char (&name)[17], void* handle, Log& log)
{
    return insert(networkMap(), "Runnable::insertNetworkHandleMap(", name, handle, log);
}
bool Runnable::removeNetworkHandleMap(const char (&name)[17], Log& log)
{
    NameMap& m = networkMap();
    int32 removed;
    long size;
    {
        std::lock_guard lock(m.lock);
        removed = m.map.remove(rawKey(name));
        size = static_cast<long>(m.map.getSize());
        if (removed != 0)
            m.generation.fetch_add(1, std::memory_order_release);
    }
    if (removed == 0)
    {
        log.error() << "Runnable::removeNetworkHandleMap() : failed to remove handle map - key|" << name
                    << "| handle map size|" << size;
        return false;
    }
    log.verbose() << "Runnable::removeNetworkHandleMap() : remove handle map - key|" << name
                  << "| succeed. handle map size|" << size;
    return true;
}
void Runnable::removeNetworkHandler(const void* handle)
{
    // A handler destroyed under its caller's failed call must not hide that
    // call's error code: the walk's end sets one.
    const int32 callerCode = FrameworkErrno::get();
    NameMap& m = networkMap();
    {
        std::lock_guard lock(m.lock);
        bool removed = false;
        UInt128 key;
        DataValueType value = 0;
        for (bool more = m.map.getFirst(key, value); more; more = m.map.getNext(key, value))
            if (value == reinterpret_cast<DataValueType>(handle))
                removed = m.map.remove(key) != 0 || removed;
        if (removed)
            m.generation.fetch_add(1, std::memory_order_release);
    }
    FrameworkErrno::set(callerCode);
}
bool Runnable::getTopicHandleMap(const char (&name)[17], unsigned long& value)
{
    return lookup(topicMap(), name, value);
}
bool Runnable::insertTopicHandleMap(const char (&name)[17], void* handle, Log& log)
{
    return insert(topicMap(), "Runnable::insertTopicHandleMap(", name, handle, log);
}
bool Runnable::removeTopicHandleMap(const char (&name)[17], void* handle, void* successor, Log& log)
{
    NameMap& m = topicMap();
    bool removed = false;
    {
        std::lock_guard lock(m.lock);
        DataValueType v = 0;
        if (m.map.getValueByKey(rawKey(name), v, false) && v == reinterpret_cast<DataValueType>(handle))
        {
            m.map.remove(rawKey(name));
            if (successor != nullptr)
                m.map.insert(textKey(name), reinterpret_cast<DataValueType>(successor), false);
            m.generation.fetch_add(1, std::memory_order_release);
            removed = true;
        }
    }
    if (!removed)
    {
        log.error() << "Runnable::removeTopicHandleMap() : failed to remove handle map - key|" << name
                    << "| not held by the handler";
        return false;
    }
    log.verbose() << "Runnable::removeTopicHandleMap() : remove handle map - key|" << name << "| succeed"
                  << (successor != nullptr ? ", the next handler on the topic takes it" : "");
    return true;
}
bool Runnable::getTimerHandleMap(const long& handle, unsigned long& value)
{
    HandleMap& m = timerMap();
    std::lock_guard lock(m.lock);
    DataValueType v = 0;
    if (!m.map.getValueByKey(handle, v, false))
        return false;
    value = v;
    return true;
}
bool Runnable::insertTimerHandleMap(const long& handle, void* timer, Log& log)
{
    HandleMap& m = timerMap();
    bool ok;
    {
        std::lock_guard lock(m.lock);
        ok = m.map.insert(handle, reinterpret_cast<DataValueType>(timer), false);
    }
    if (!ok)
    {
        log.error() << "Runnable::insertTimerHandleMap(failed to create handle map - key|" << handle
                    << "| already exists";
        return false;
    }
    log.verbose() << "Runnable::insertTimerHandleMap(create handle map - key|" << handle << "| handle|"
                  << (timer != nullptr ? "true" : "false") << "| succeed";
    return true;
}
bool Runnable::removeTimer(const long& handle)
{
    HandleMap& m = timerMap();
    std::lock_guard lock(m.lock);
    return m.map.remove(handle) == 1;
}

// ---- dispatch ----

std::string Runnable::currentThreadName()
{
    char name[17] = {};
    if (getCurrentThreadName(name) != 0)
        return std::string();
    return name;
}

Runnable* Runnable::current()
{
    const uint64_t generation = gThreadMapGeneration.load(std::memory_order_acquire);
    if (tCurrent != nullptr && tCurrentGeneration == generation)
        return tCurrent;
    tCurrent = nullptr;
    char name[17] = {};
    if (getCurrentThreadName(name) != 0)
        return nullptr;
    unsigned long value = 0;
    if (!getThreadHandleMap(name, value))
        return nullptr;
    tCurrent = reinterpret_cast<Runnable*>(value);
    tCurrentGeneration = generation;
    return tCurrent;
}

bool Runnable::onOwnThread() const
{
    return current() == this;
}

int Runnable::callback(MessageType type, EventMsg* event, DataMsg* data)
{
    // An exception would end the thread: none leaves here.
    try
    {
        // Network data, the bulk of all deliveries, takes the short road.
        if (type == MSG_DATA && data != nullptr &&
            (data->chnType == TCP_CHANNEL || data->chnType == UDP_CHANNEL || data->chnType == IPC_CHANNEL))
            deliverIo(data);
        else
            dispatch(type, event, data);
    }
    catch (abi::__forced_unwind&)
    {
        throw; // a thread being cancelled must finish unwinding
    }
    catch (...)
    {
        logEscaped();
    }
    return 0;
}

void Runnable::logEscaped()
{
    try
    {
        try
        {
            throw;
        }
        catch (const std::exception& e)
        {
            logOf(current()).error() << "Runnable::callback(" << currentThreadName() << "): caught exception|"
                                     << e.what() << "|";
        }
        catch (...)
        {
            logOf(current()).error() << "Runnable::callback(" << currentThreadName()
                                     << "): caught unknown exception";
        }
    }
    catch (...)
    {
        // Not even the line could be written: the thread still goes on.
    }
}

void Runnable::dispatch(MessageType type, EventMsg* event, DataMsg* data)
{
    auto own = [type]() -> Runnable* {
        Runnable* r = current();
        if (r == nullptr)
            processLog().error() << "Runnable::callback(): received msgType|" << static_cast<int>(type)
                                 << "| however handle not found for thread name|" << currentThreadName();
        return r;
    };
    if (type == MSG_EVENT && event != nullptr)
    {
        Runnable* r = nullptr;
        switch (event->id)
        {
        case INIT:
            if ((r = own()) != nullptr)
                r->_init();
            return;
        case INIT_ACK:
            if ((r = own()) != nullptr)
                r->_initAck();
            return;
        case APP_READY:
            if ((r = own()) != nullptr)
                r->_appReady();
            return;
        case TERM:
            if ((r = own()) != nullptr)
                r->_term();
            return;
        case 18:
            if ((r = own()) != nullptr)
                r->_switchActive();
            return;
        case 20:
            if ((r = own()) != nullptr)
                r->_switchStandby();
            return;
        case 7:
        case NEW_CONNECT:
        case 13:
        case DISCONNECTED:
        case 15:
        case 33:
        case 34:
        // A channel the framework could not set up (a port in use) is its
        // adapter's to report.
        case NET_RES_INIT_FAIL:
        // An IPC channel's state reaches its adapter too: a reader that opens
        // on request learns here that it may.
        case IPC_READY_TO_OPEN:
        case IPC_OPENED:
        case IPC_OPEN_FAIL:
        case IPC_WRITER_ATTACHED:
        case IPC_WRITER_DETACHED:
        case IPC_CLOSED:
            _onNetworkEvent(event);
            return;
        case TIMER:
            _onTimer(event);
            return;
        case 36:
        case 39:
        case 41:
        case 44:
        case 45:
        case 46:
        case 47:
        case 48:
        case 50:
        case 51:
        case 52:
        case 53:
        case 70:
        case 71:
            _onTopicEvent(event);
            return;
        default:
            logOf(current()).info() << "Runnable::callback(" << currentThreadName() << "): received unhandled event|"
                                   << event->id;
            return;
        }
    }
    if (type == MSG_DATA && data != nullptr)
    {
        Runnable* r = nullptr;
        switch (data->chnType)
        {
        case 0:
        case UDP_CHANNEL:
        case 3:
            _onIo(data);
            return;
        case 2:
            if ((r = own()) != nullptr)
                r->_onTopic(data);
            return;
        case ITC_CHANNEL:
            if ((r = own()) != nullptr)
                r->_onThreadData(data);
            return;
        default:
            return;
        }
    }
    logOf(current()).error() << "Runnable::callback(): received unexpected msgType|" << static_cast<int>(type);
}

void Runnable::enterState(Zunq::ThreadState state, const char* handler, const char* what, void (Runnable::*hook)())
{
    mThreadStatus.mState = state;
    mLog.info() << "Runnable::" << handler << "() : thread|" << mName << "| handle|true| received " << what;
    if (hook != nullptr)
        (this->*hook)();
    OrluPublisher<Zunq::ThreadStatus>::publish(mThreadStatus);
}

void Runnable::_init()
{
    std::lock_guard lock(initLock());
    mThreadStatus.mState = Zunq::THD_INIT;
    mLog.info() << "Runnable::_init(" << static_cast<long>(::gettid()) << ") : thread|" << mName
                << "| handle|true| received INIT";
    // The framework's log files exist once its middleware thread runs; the
    // process log moves from its init log to the application log there.
    if (mName == "MIDDLEWARE_MD")
        createAppLogOfFileSink();
    initResourceControlTimer();
    createTimer();
    init();
    mLog.info() << "Runnable::_init() : thread|" << mName << "| handle|true| INIT completed";
    OrluPublisher<Zunq::ThreadStatus>::publish(mThreadStatus);
}

void Runnable::_initAck()
{
    enterState(Zunq::THD_INIT_ACK, "_initAck", "INIT_ACK", &Runnable::initAck);
}

void Runnable::_appReady()
{
    enterState(Zunq::THD_APP_READY, "_appReady", "APP_READY", &Runnable::appReady);
}

void Runnable::_term()
{
    enterState(Zunq::THD_TERM, "_term", "TERM", &Runnable::term);
}

void Runnable::_switchActive()
{
    enterState(Zunq::THD_SW_ACTIVE, "_switchActive", "SW_ACTIVE", nullptr);
}

void Runnable::_switchStandby()
{
    enterState(Zunq::THD_SW_STANDBY, "_switchStandby", "SW_STANDBY", nullptr);
}

namespace
{
// Hands the exception in flight to the handler's matching hook; out of
// line, so that the delivery it guards stays small.
[[gnu::noinline, gnu::cold]] void routeException(NetworkHandler* handler, const char* who, const char* name)
{
    try
    {
        throw;
    }
    catch (LineEof& e)
    {
        handler->onLineEof(e);
    }
    catch (LineConnectError& e)
    {
        handler->onLineConnectError(e);
    }
    catch (LineError& e)
    {
        handler->onLineError(e);
    }
    catch (std::invalid_argument& e)
    {
        handler->onInvalidArg(e);
    }
    catch (LineTerminate& e)
    {
        handler->onLineTerminate(e);
    }
    catch (...)
    {
        char cut[17];
        resourceName(cut, name);
        logOf(Runnable::current()).error() << "Runnable::" << who << "(): network handler|" << cut
                                           << "| caught unknown exception";
    }
}

// Runs a handler operation and hands what it throws to the matching hook.
template <typename Op>
[[gnu::always_inline]] inline void guarded(NetworkHandler* handler, const char* who, const char* name, Op op)
{
    try
    {
        op();
    }
    catch (abi::__forced_unwind&)
    {
        throw;
    }
    catch (...)
    {
        routeException(handler, who, name);
    }
}

[[gnu::noinline]] void noHandlerForData(const DataMsg* data)
{
    char name[17];
    resourceName(name, data->channelNameTxt);
    char thread[17] = {};
    getCurrentThreadName(thread);
    logOf(Runnable::current()).verbose()
        << "Runnable::_onIo(): network handler|" << name << "| could not be found in thread|" << thread
        << "|. It's possible that quor framework sends the network data after the connection is disconnected";
}

[[gnu::always_inline]] inline void deliverIo(DataMsg* data)
{
    unsigned long value = 0;
    if (!cachedLookup(gNetworkMapGeneration, networkMap, tNetworkCache, data->channelNameTxt, value)) [[unlikely]]
    {
        noHandlerForData(data);
        return;
    }
    auto* handler = reinterpret_cast<NetworkHandler*>(value);
    const unsigned int length = data->dataLen > 0 ? static_cast<unsigned int>(data->dataLen) : 0;
    guarded(handler, "_onIo", data->channelNameTxt, [&] { handler->onNetworkData(data->bufPtr, length); });
}
} // namespace

void Runnable::_onIo(DataMsg* data)
{
    deliverIo(data);
}

void Runnable::_onNetworkEvent(EventMsg* event)
{
    char name[17];
    resourceName(name, event->eventParam.resNameTxt);
    if (event->id == NEW_CONNECT)
    {
        // "<server>:<client>": the server's handler takes it.
        if (char* colon = std::strchr(name, ':'))
            std::memset(colon, 0, static_cast<size_t>(name + sizeof name - colon));
    }
    unsigned long value = 0;
    if (cachedLookup(gNetworkMapGeneration, networkMap, tNetworkCache, name, value))
    {
        logOf(current()).verbose() << "Runnable::_onNetworkEvent(): network handler|" << name << "| event|"
                                  << event->id << "| handle|true| is found";
        _onNetworkEvent(reinterpret_cast<NetworkHandler*>(value), name, event);
        return;
    }
    if (event->id == DISCONNECTED)
    {
        logOf(current()).verbose() << "Runnable::_onNetworkEvent(): network handler|" << name << "| event|"
                                  << event->id << "| handle|false| is already removed due to disconnect";
        return;
    }
    logOf(current()).error() << "Runnable::_onNetworkEvent(): network handler|" << name
                            << "| could not be found in thread|" << currentThreadName() << "| event|" << event->id;
}

void Runnable::_onNetworkEvent(NetworkHandler* handler, const char* name, EventMsg* event)
{
    guarded(handler, "_onNetworkEvent", name, [&] { handler->onNetworkEvent(event); });
}

void Runnable::_onTopic(DataMsg* data)
{
    unsigned long value = 0;
    if (!cachedLookup(gTopicMapGeneration, topicMap, tTopicCache, data->channelNameTxt, value))
    {
        char name[17];
        resourceName(name, data->channelNameTxt);
        mLog.error() << "Runnable::_onIo(): Topic handler|" << name << "| could not be found in thread|" << mName;
        return;
    }
    const unsigned int length = data->dataLen > 0 ? static_cast<unsigned int>(data->dataLen) : 0;
    auto* first = reinterpret_cast<TopicHandler*>(value);
    if (first->nextOnTopic() == nullptr) [[likely]]
    {
        first->onTopicData(data->bufPtr, length);
        return;
    }
    toEachOnTopic(first, [&](TopicHandler* h) { h->onTopicData(data->bufPtr, length); });
}

void Runnable::_onTopicEvent(EventMsg* event)
{
    char name[17];
    resourceName(name, event->eventParam.resNameTxt);
    unsigned long value = 0;
    if (!cachedLookup(gTopicMapGeneration, topicMap, tTopicCache, name, value))
        return;
    auto* first = reinterpret_cast<TopicHandler*>(value);
    if (first->nextOnTopic() == nullptr)
        first->onTopicEvent(event);
    else
        toEachOnTopic(first, [&](TopicHandler* h) { h->onTopicEvent(event); });
}

template <typename Op>
void Runnable::toEachOnTopic(TopicHandler* first, Op op)
{
    bool anyHolds = false;
    for (TopicHandler* h = first; h != nullptr; h = h->nextOnTopic())
        anyHolds = anyHolds || h->holdsTopic();
    for (TopicHandler* h = first; h != nullptr;)
    {
        // Read first: a handler may leave the chain from its own call.
        TopicHandler* next = h->nextOnTopic();
        if (!anyHolds || h->holdsTopic())
        {
            try
            {
                op(h);
            }
            catch (abi::__forced_unwind&)
            {
                throw;
            }
            catch (...)
            {
                logEscaped();
            }
        }
        h = next;
    }
}

void Runnable::_onTimer(EventMsg* event)
{
    // The framework's timer handle is the address it gave at creation.
    const long handle = reinterpret_cast<long>(event->eventParam.resPtr);
    unsigned long value = 0;
    if (!getTimerHandleMap(handle, value))
    {
        Runnable* self = current();
        if (self != nullptr && self->isOrphanedTimer(handle))
            return; // its TarvokTimer is gone; the stop is queued here
        logOf(self).error() << "Runnable::_onTimer(): timer key|" << handle << "| could not be found in thread"
                            << currentThreadName();
        return;
    }
    reinterpret_cast<TarvokTimer*>(value)->onTimer();
}

void Runnable::onTimer(TarvokTimer* timer)
{
    if (timer == &mResourceControlTimer)
        createTimer();
    else if (timer == &mSpooledDataResendTimer)
        retryToSendSpool();
    else if (timer == &mCongestTimeoutTimer)
        mLog.error() << "Runnable::onTimer(" << mName << ") : the message queue is full during last "
                     << mCongestTimeoutInterval << " ms";
}

// ---- buses ----

OrluThreadData* Runnable::getOrluThreadData(unsigned int type)
{
    auto it = mOrluThreadDataMap.find(static_cast<int>(type));
    if (it != mOrluThreadDataMap.end())
        return it->second.get();
    mLog.info() << "Runnable::getOrluThreadData() : create OrluThreadData for data type|" << type << "| in thread|"
                << mName << "|";
    auto orlu = std::make_unique<OrluThreadData>(mName + "_" + std::to_string(type), mName);
    OrluThreadData* raw = orlu.get();
    mOrluThreadDataMap.emplace(static_cast<int>(type), std::move(orlu));
    return raw;
}

OrluThreadStatus* Runnable::getOrluThreadStatus()
{
    if (!mOrluThreadStatus)
    {
        mThreadStatus.mState = Zunq::THD_NONE;
        mOrluThreadStatus = std::make_unique<OrluThreadStatus>(mName, mName);
        OrluPublisher<Zunq::ThreadStatus>::setDestination(mOrluThreadStatus.get());
    }
    return mOrluThreadStatus.get();
}

// ---- timers queued for this thread ----

void Runnable::addTimer(TarvokTimer* timer)
{
    addTimerOperation(timer, TarvokTimer::Queued::Start);
}

void Runnable::addTimerOperation(TarvokTimer* timer, TarvokTimer::Queued op)
{
    std::lock_guard lock(mPendingCreateTimerMapLock);
    mPendingCreateTimerMap.push_back({timer, op});
}

void Runnable::removeTimerFromQueue(TarvokTimer* timer)
{
    std::lock_guard lock(mPendingCreateTimerMapLock);
    mPendingCreateTimerMap.remove_if([timer](const PendingTimer& p) { return p.timer == timer; });
}

void Runnable::stopOrphanedTimer(long handle)
{
    std::lock_guard lock(mPendingCreateTimerMapLock);
    mOrphanedTimers.insert(handle);
    mPendingCreateTimerMap.push_back({nullptr, TarvokTimer::Queued::Destroy, handle});
}

bool Runnable::isOrphanedTimer(long handle)
{
    std::lock_guard lock(mPendingCreateTimerMapLock);
    return mOrphanedTimers.count(handle) != 0;
}

void Runnable::createTimer()
{
    // Held while a timer starts, so that a timer withdrawn on another thread
    // is either not started or withdrawn after its start. First in, first
    // run: a re-arm or a stop asked after a start must follow it.
    std::lock_guard lock(mPendingCreateTimerMapLock);
    while (!mPendingCreateTimerMap.empty())
    {
        const PendingTimer pending = mPendingCreateTimerMap.front();
        mPendingCreateTimerMap.pop_front();
        if (pending.timer == nullptr)
        {
            stopOrphan(pending.handle);
            continue;
        }
        if (pending.op != TarvokTimer::Queued::Start)
        {
            pending.timer->runQueued(pending.op);
            continue;
        }
        const long handle = pending.timer->create();
        if (handle != 0)
            timerStarted(handle, pending.timer);
        else
        {
            // Nothing may wait on a timer that does not exist.
            pending.timer->setIsValid(false);
            mLog.error() << "Runnable::createTimer(" << mName << ") : invalid timer handle";
        }
    }
}

void Runnable::stopOrphan(long handle)
{
    mOrphanedTimers.erase(handle);
    if (::stopTimer(handle) != 0 || ::removeTimer(handle) != 0)
    {
        mLog.warning() << "Runnable::createTimer(" << mName << ") : timer|" << handle
                       << "| of a destroyed TarvokTimer could not be stopped, error|" << getErrorCode() << "|";
        return;
    }
    timerStopped();
}

void Runnable::timerStarted(long handle, TarvokTimer* timer)
{
    mNumTimers.fetch_add(1, std::memory_order_relaxed);
    insertTimerHandleMap(handle, timer, mLog);
}

void Runnable::initResourceControlTimer()
{
    if (mSession == nullptr)
    {
        mLog.error() << "Runnable::initResourceControlTimer(" << mName
                     << ") : tarvok session could not be found. cannot create resource control timer";
        return;
    }
    mLog.info() << "Runnable::initResourceControlTimer(" << mName << ") : create resource control timer|"
                << mResourceControlTimerInterval << "ms|";
    mResourceControlTimer.create(mSession, this, static_cast<unsigned int>(mResourceControlTimerInterval), nullptr);
    mResourceTimerRunning = true;
    createTimer();
}

void Runnable::setResourceControlTimerInterval(int ms)
{
    mResourceControlTimerInterval = ms;
    if (mResourceTimerRunning)
    {
        mLog.info() << "Runnable::setResourceControlTimerInterval(" << mName << ") : set interval to " << ms;
        mResourceControlTimer.setInterval(static_cast<unsigned int>(ms));
    }
}

void Runnable::startCongestTimeoutTimer()
{
    if (mCongestTimerRunning)
        return;
    if (mSession == nullptr)
    {
        mLog.error() << "Runnable::startCongestTimeoutTimer(" << mName
                     << ") : tarvok session could not be found. cannot create timer";
        return;
    }
    mLog.info() << "Runnable::startCongestTimeoutTimer(" << mName << ") : create timer|" << mCongestTimeoutInterval;
    mCongestTimeoutTimer.create(mSession, this, static_cast<unsigned int>(mCongestTimeoutInterval), nullptr);
    mCongestTimerRunning = true;
    createTimer();
}

void Runnable::stopCongestTimeoutTimer()
{
    if (!mCongestTimerRunning)
        return;
    mLog.info() << "Runnable::stopCongestTimeoutTimer(" << mName << ") : stop timer";
    mCongestTimeoutTimer.destroy();
    mCongestTimerRunning = false;
}

// ---- thread messages ----

int Runnable::sendThreadMessageByThreadName(const char (&dst)[17], const ThreadData& data, bool highPriority)
{
    const int size = static_cast<int>(cThreadDataHeader) + data.mDataSize;
    if (data.mDataSize > ThreadData::cMaxData)
    {
        mLog.error() << "Runnable::sendThreadMessageByThreadName(): refused dataType|" << data.mDataType
                     << "| to thread|" << dst << "| size|" << data.mDataSize << "| above " << ThreadData::cMaxData;
        return MSG_TOO_LARGE;
    }
    if (mLog.verboseEnabled())
        mLog.verbose() << "Runnable::sendThreadMessageByThreadName(): send message from thread|" << mName
                       << "| to thread|" << dst << "| data type|" << data.mDataType << "| ptr1|"
                       << (data.mDataPtr1 != nullptr ? "true" : "false") << "| ptr2|"
                       << (data.mDataPtr2 != nullptr ? "true" : "false") << "| size|" << size;
    if (!onOwnThread())
    {
        // The spool and its timers belong to the owner thread: a send from
        // elsewhere would race them.
        mLog.error() << "Runnable::sendThreadMessageByThreadName(" << static_cast<long>(::gettid())
                     << "): send message from thread|" << currentThreadName() << "| to thread|" << dst
                     << "| but use wrong tarvokSession name|" << mName << "| data type|" << data.mDataType
                     << "| ptr1|" << (data.mDataPtr1 != nullptr ? "true" : "false") << "| ptr2|"
                     << (data.mDataPtr2 != nullptr ? "true" : "false") << "| size|" << size << "| refused";
        return FUNC_NOT_ALLOWED;
    }
    if (mSpoolCount > 0)
        return spoolThreadData(dst, data, size, highPriority) ? 0 : BUF_NOT_ENOUGH_SPACE;
    if (sendThreadMessage(dst, reinterpret_cast<const char*>(&data), size, highPriority) == 0)
        return 0;
    const int code = getErrorCode();
    if (transient(code))
        return spoolThreadData(dst, data, size, highPriority) ? 0 : BUF_NOT_ENOUGH_SPACE;
    mLog.error() << "Runnable::sendThreadMessageByThreadName(): failed to send dataType|" << data.mDataType
                 << "| from thread|" << mName << "| to thread|" << dst << "| error|" << code;
    return code;
}

bool Runnable::spoolThreadData(const char (&dst)[17], const ThreadData& data, int size, bool highPriority)
{
    if (!mSpoolPoolReady)
        mSpoolPoolReady = mSpooledThreadDataPool.init(mSpoolCapacity, mLog, mName, 0);
    const long index = mSpoolPoolReady ? mSpooledThreadDataPool.getFreeIndex() : -1;
    if (index < 0)
    {
        mLog.error() << "Runnable::spoolThreadData(" << mName << ") : no memory to spool dataType|"
                     << data.mDataType << "| to thread|" << dst << "|; " << mSpoolCount << " messages spooled";
        return false;
    }
    SpooledThreadData* rec = mSpooledThreadDataPool.getEntry(index);
    rec->mNumOfRetries = cSpoolRetryLimit;
    std::memcpy(rec->mDstThreadName, dst, sizeof rec->mDstThreadName);
    rec->mDstThreadName[16] = '\0';
    const int bytes = std::clamp(size, 0, static_cast<int>(sizeof(ThreadData)));
    std::memcpy(static_cast<void*>(&rec->mThreadData), &data, static_cast<size_t>(bytes));
    rec->mHighPriority = highPriority;
    rec->mNext = -1;
    if (mSpoolTail >= 0)
        mSpooledThreadDataPool.peekEntry(mSpoolTail)->mNext = index;
    else
        mSpoolHead = index;
    mSpoolTail = index;
    ++mSpoolCount;
    startSpooledDataResendTimer();
    return true;
}

void Runnable::startSpooledDataResendTimer()
{
    if (mResendTimerRunning)
        return;
    if (mSession == nullptr)
    {
        mLog.error() << "Runnable::startSpooledDataResendTimer(" << mName
                     << ") : tarvok session could not be found. cannot create timer";
        return;
    }
    mLog.info() << "Runnable::startSpooledDataResendTimer(" << mName << ") : create timer|"
                << cSpoolResendIntervalMs << "ms|";
    mSpooledDataResendTimer.create(mSession, this, cSpoolResendIntervalMs, nullptr);
    mResendTimerRunning = true;
    createTimer();
}

void Runnable::stopSpooledDataResendTimer()
{
    if (!mResendTimerRunning)
        return;
    mLog.info() << "Runnable::stoptSpooledDataResendTimer(" << mName << ") : stop spooled data resend timer";
    mSpooledDataResendTimer.destroy();
    mResendTimerRunning = false;
}

void Runnable::retryToSendSpool()
{
    long sent = 0;
    while (mSpoolHead >= 0)
    {
        SpooledThreadData* rec = mSpooledThreadDataPool.peekEntry(mSpoolHead);
        const int size = static_cast<int>(cThreadDataHeader) + rec->mThreadData.mDataSize;
        if (sendThreadMessage(rec->mDstThreadName, reinterpret_cast<const char*>(&rec->mThreadData), size,
                              rec->mHighPriority) != 0)
        {
            if (rec->mNumOfRetries > 0 && --rec->mNumOfRetries == 0)
                mLog.warning() << "Runnable::retryToSendSpool(): send failure " << cSpoolRetryLimit
                               << " times from thread" << mName << "| to thread|" << rec->mDstThreadName
                               << "| data type|" << rec->mThreadData.mDataType << "| ptr1|"
                               << (rec->mThreadData.mDataPtr1 != nullptr ? "true" : "false") << "| ptr2|"
                               << (rec->mThreadData.mDataPtr2 != nullptr ? "true" : "false") << "| size|" << size;
            break;
        }
        const long index = mSpoolHead;
        mSpoolHead = rec->mNext;
        if (mSpoolHead < 0)
            mSpoolTail = -1;
        --mSpoolCount;
        mSpooledThreadDataPool.freeIndex(index);
        ++sent;
    }
    if (mSpoolHead >= 0)
    {
        const bool verbose = mLog.verboseEnabled();
        bool write = verbose;
        if (!verbose && mLog.enabled(LOG_LEVEL_INFO))
        {
            const int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                                    std::chrono::steady_clock::now().time_since_epoch())
                                    .count();
            int64_t last = gLastProgressLine.load(std::memory_order_relaxed);
            write = now - last >= 5 && gLastProgressLine.compare_exchange_strong(last, now);
        }
        if (write)
            mLog.getStream(verbose ? LOG_LEVEL_DEBUG : LOG_LEVEL_INFO)
                << "Runnable::retryToSendSpool(): thread spool|" << mName << "|" << sent
                << " spooled messages are sent successfully. remains" << mSpoolCount << " messages in the spool.";
        return;
    }
    mLog.info() << "Runnable::retryToSendSpool(): thread spool|" << mName << "| is clear. " << sent
                << " spooled messages are sent.";
    stopSpooledDataResendTimer();
}

void Runnable::_onThreadData(DataMsg* data)
{
    mT3.recalcNow();
    const long length = data->dataLen;
    if (length < static_cast<long>(cThreadDataHeader) || data->bufPtr == nullptr)
    {
        mLog.error() << "Runnable::_onThreadData() thread message of " << length << " bytes in thread|" << mName
                     << "| is shorter than its header. ignore data.";
        return;
    }
    size_t bytes = static_cast<size_t>(length);
    if (bytes > sizeof(ThreadData))
    {
        mLog.error() << "Runnable::_onThreadData() thread message of " << length << " bytes in thread|" << mName
                     << "| is longer than a thread message; cut to " << sizeof(ThreadData);
        bytes = sizeof(ThreadData);
    }
    std::memcpy(static_cast<void*>(&mThreadData), data->bufPtr, bytes);
    // Subscribers read mDataSize bytes: never more than arrived.
    const size_t arrived = bytes - cThreadDataHeader;
    if (mThreadData.mDataSize > arrived)
        mThreadData.mDataSize = static_cast<uint16_t>(arrived);
    mThreadData.mTime.set(mT3);
    auto it = mOrluThreadDataMap.find(static_cast<int>(mThreadData.mDataType));
    if (it == mOrluThreadDataMap.end())
    {
        mLog.error() << "Runnable::_onThreadData() orlu is not found for data type|" << mThreadData.mDataType
                     << "| in thread|" << mName << "|. ignore data.";
        return;
    }
    if (mLog.verboseEnabled())
        mLog.verbose() << "Runnable::_onThreadData() received data type|" << mThreadData.mDataType << "| in thread|"
                       << mName << "| size|" << mThreadData.mDataSize;
    if (mThreadData.mDataType == Zunq::SIGNAL)
        mLog.info() << "Runnable::_onThreadData() orlu term";
    OrluPublisher<ThreadData>::setDestination(it->second.get());
    OrluPublisher<ThreadData>::publish(mThreadData);
    onThreadData(data);
}
