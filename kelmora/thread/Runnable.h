// The dispatcher object of one named host thread. The framework calls the
// static callback on every application thread for every event and piece of
// data; the Runnable finds the object or handler that owns it and calls it on
// that same thread. It sends thread messages for its thread, spools those the
// receiver's queue cannot take yet and resends them in order from a 1 ms
// timer, and starts the timers other code queued for its thread.
#pragma once

#include "kelmora/thread/TarvokHandler.h"
#include "kelmora/thread/TarvokTimer.h"
#include "kelmora/thread/ThreadData.h"

#include "FendralCore/runtime/FwIntMessage.h"
#include "FendralCore/dispatch/DataMsg.h"
#include "libstats/pool/ArrayBackedPool.h"
#include "zunq/bus/Orlu.h"

#include <atomic>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

class Log;
class ModuleList;
class NetworkHandler;
class TarvokSession;
class TopicHandler;
class ZunqConfigManager;

using OrluThreadData = Orlu<Zunq::ThreadData>;
using OrluThreadStatus = Orlu<Zunq::ThreadStatus>;

class Runnable : public OrluPublisher<Zunq::ThreadData>,
                 public OrluPublisher<Zunq::ThreadStatus>,
                 public TarvokTimerHandler
{
public:
    static constexpr unsigned long cSpoolRetryLimit = 1000;
    static constexpr int cSpoolResendIntervalMs = 1;

    Runnable(const char* threadName, ZunqConfigManager& cfg, ModuleList& modules, Log& log,
             unsigned int spoolCapacity);
    ~Runnable() override;

    Runnable(const Runnable&) = delete;
    Runnable& operator=(const Runnable&) = delete;

    void onTimer(TarvokTimer* timer) override;
    virtual void init() {}
    virtual void initAck() {}
    virtual void appReady() {}
    virtual void term() {}
    virtual void onIo(DataMsg*) {}
    virtual void onThreadData(DataMsg*) {}

    // Registered for every named thread; always 0, and nothing escapes it.
    static int callback(MessageType type, EventMsg* event, DataMsg* data);

    const std::string& getName() const { return mName; }
    void getResourceName(char (&name)[17]) const;
    TarvokSession* getTarvokSession() const { return mSession; }
    void setTarvokSession(TarvokSession* session) { mSession = session; }
    Log& getLog() const { return mLog; }
    Zunq::ThreadState getThreadState() const { return static_cast<Zunq::ThreadState>(mThreadStatus.mState); }

    // Process-wide handle maps; each operation takes its map's lock.
    static bool getThreadHandleMap(const char (&name)[17], unsigned long& value);
    static bool insertThreadHandleMap(const char (&name)[17], void* handle, Log& log);
    static bool getNetworkHandleMap(const char (&name)[17], unsigned long& value);
    static bool insertNetworkHandleMap(const char (&name)[17], void* handle, Log& log);
    static bool removeNetworkHandleMap(const char (&name)[17], Log& log);
    // Removes every entry that holds `handle`, under whatever name: for a
    // handler that goes away. Leaves the thread's framework error code as it was.
    static void removeNetworkHandler(const void* handle);
    static bool getTopicHandleMap(const char (&name)[17], unsigned long& value);
    static bool insertTopicHandleMap(const char (&name)[17], void* handle, Log& log);
    // Removes the name's entry when it holds `handle`; a successor, when
    // given, takes its place in the same step. False when it held another.
    static bool removeTopicHandleMap(const char (&name)[17], void* handle, void* successor, Log& log);
    static bool getTimerHandleMap(const long& handle, unsigned long& value);
    static bool insertTimerHandleMap(const long& handle, void* timer, Log& log);
    static bool removeTimer(const long& handle);

    // Timers other code asks for, started on this thread, and what other
    // threads ask of a timer of this thread: run here, in the order asked.
    void addTimer(TarvokTimer* timer);
    void addTimerOperation(TarvokTimer* timer, TarvokTimer::Queued op);
    // Withdraws everything queued for the timer.
    void removeTimerFromQueue(TarvokTimer* timer);
    // A framework timer of this thread whose TarvokTimer was destroyed on
    // another thread: stopped and removed here, since only this thread's
    // dispatcher holds it. Its expiries until then are dropped.
    void stopOrphanedTimer(long handle);
    bool isOrphanedTimer(long handle);
    void createTimer();
    // Book-keeping of the framework timers this thread holds.
    void timerStarted(long handle, TarvokTimer* timer);
    void timerStopped() { mNumTimers.fetch_sub(1, std::memory_order_relaxed); }
    int getNumTimers() const { return mNumTimers.load(std::memory_order_relaxed); }

    OrluThreadData* getOrluThreadData(unsigned int type);
    OrluThreadStatus* getOrluThreadStatus();

    // Thread messages: sent on this Runnable's own thread only. 0 when handed
    // to the framework or spooled, otherwise the refusal's code.
    int sendThreadMessageByThreadName(const char (&dst)[17], const Zunq::ThreadData& data, bool highPriority);
    bool spoolThreadData(const char (&dst)[17], const Zunq::ThreadData& data, int size, bool highPriority);
    void retryToSendSpool();
    void startSpooledDataResendTimer();
    void stopSpooledDataResendTimer();
    long getSpoolSize() const { return mSpoolCount; }

    void initResourceControlTimer();
    void setResourceControlTimerInterval(int ms);
    void startCongestTimeoutTimer();
    void stopCongestTimeoutTimer();
    void setCongestTimeoutInterval(int ms) { mCongestTimeoutInterval = ms; }

    // The Runnable of the calling thread, or null.
    static Runnable* current();

protected:
    void _init();
    void _initAck();
    void _appReady();
    void _term();
    void _switchActive();
    void _switchStandby();
    void _onThreadData(DataMsg* data);
    void _onTopic(DataMsg* data);
    static void _onIo(DataMsg* data);
    static void _onNetworkEvent(EventMsg* event);
    static void _onNetworkEvent(NetworkHandler* handler, const char* name, EventMsg* event);
    static void _onTopicEvent(EventMsg* event);
    static void _onTimer(EventMsg* event);

private:
    // Sets and logs the state, runs the hook, publishes the state.
    void enterState(Zunq::ThreadState state, const char* handler, const char* what, void (Runnable::*hook)());
    bool onOwnThread() const;
    static std::string currentThreadName();
    static void dispatch(MessageType type, EventMsg* event, DataMsg* data);
    // Logs the exception in flight; called from a handler only.
    [[gnu::noinline, gnu::cold]] static void logEscaped();
    // Several lines on one topic: each that holds the topic (all of them
    // while none does) gets the delivery, one's exception not stopping
    // the next.
    template <typename Op>
    static void toEachOnTopic(TopicHandler* first, Op op);

    std::string mName;
    char mResourceName[17] = {};
    TarvokSession* mSession = nullptr;
    ZunqConfigManager& mCfgManager;
    ModuleList& mModuleList;
    Log& mLog;
    Zunq::ThreadData mThreadData;
    std::map<int, std::unique_ptr<OrluThreadData>> mOrluThreadDataMap;
    std::unique_ptr<OrluThreadStatus> mOrluThreadStatus;
    std::mutex mPendingCreateTimerMapLock;
    struct PendingTimer
    {
        TarvokTimer* timer; // null: stop the orphaned framework timer `handle`
        TarvokTimer::Queued op;
        long handle = 0;
    };
    std::list<PendingTimer> mPendingCreateTimerMap;
    // Under mPendingCreateTimerMapLock.
    void stopOrphan(long handle);
    // Handles queued by stopOrphanedTimer and not yet stopped.
    std::set<long> mOrphanedTimers;
    TarvokTimer mResourceControlTimer;
    int mResourceControlTimerInterval = 100;
    Time mT3;
    TarvokTimer mCongestTimeoutTimer;
    int mCongestTimeoutInterval = 65000;
    Zunq::ThreadStatus mThreadStatus;
    std::atomic<int> mNumTimers{0};

    // The spool: a first-in first-out chain of pool entries, linked through
    // their headers; the pool is set up on the first spooled message.
    Zunq::Utils::ArrayBackedPool<Zunq::SpooledThreadData> mSpooledThreadDataPool;
    bool mSpoolPoolReady = false;
    unsigned int mSpoolCapacity;
    long mSpoolHead = -1;
    long mSpoolTail = -1;
    long mSpoolCount = 0;
    TarvokTimer mSpooledDataResendTimer;
    bool mResendTimerRunning = false;
    bool mCongestTimerRunning = false;
    bool mResourceTimerRunning = false;
};
