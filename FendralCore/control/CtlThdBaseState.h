// What every state of the control thread ("CTL_THREAD") shares: the state
// number, the control queues, the signal descriptor, the health-check timer,
// the agent blocks and the operations that send events, switch modes and stop
// the other threads. The data is class-wide, so every state object sees the
// same; it belongs to the control thread alone (the message sequence number
// is per thread, so the thread manager's TERM continues the caller's count).
#pragma once

#include "FendralCore/foundation/FwTypes.h"
#include "FendralCore/runtime/AgentShmLayout.h"
#include "FendralCore/runtime/FrameworkResource.h"
#include "FendralCore/runtime/FwIntMessage.h"
#include "FendralCore/runtime/MessageQueue.h"

#include <sys/signalfd.h>

class AgentSharedMemory;
class AppLogger;
class ConfigManager;
class FileDescMultiplexer;
class FileDescriptor;
class GlobalData;
class ResourceManager;
class SignalDescriptor;
class ThreadManager;
class Timer;
template <typename T>
class RingBuffer;

#include "FendralCore/dispatch/EventMessage.h"

// The control thread's event sender; an application-defined event carries
// the agent's text in the event's description.
class CtlEventSender : public EventMessage
{
public:
    using EventMessage::EventMessage;
    // Up to 100 characters, always NUL-terminated; null clears it.
    void setDescTxt(const char* text, size_t length);
};

class CtlThdBaseState
{
public:
    enum State : int32
    {
        STARTING_STATE = 0,
        WAIT_STATE = 1,
        CMD_PROCESS_STATE = 2,
        HEALTH_CHECK_STATE = 3,
        RESTART_STATE = 4,
        STOP_STATE = 5,
        ACTIVE_MODE_SWITCHING_STATE = 6,
        STANDBY_MODE_SWITCHING_STATE = 7,
        STATE_MAX = 8,
    };

    // Instances at or above it go active where others go standby.
    static constexpr int32 APPL_ALL_ACTIVE_BASE_INST_ID = 9900;
    static constexpr int32 NUM_OF_DESC = 4;
    static constexpr int32 CTL_QUEUE_LEN = 1000;
    static constexpr int32 RES_LOCK_WAIT = 1000000;      // microseconds
    static constexpr int32 APP_LOCK_WAIT = 3000000;      // microseconds
    static constexpr int32 SEND_RETRY_CNT = 5;

    static thread_local uint32 m_msgSeqNum;

    CtlThdBaseState();

    State getState() const { return m_state; }

    // One signal from the descriptor, handled.
    int32 processSignal();
    // 0, or -1 with THREAD_NOT_ACTIVE, the registry's or the queue's code.
    int32 sendEventMsg(ThreadResource* thread, MessageQueueType queueType, FwEventID eventId, const EventParam& param);
    int32 sendEventMsg(const char* thread, MessageQueueType queueType, FwEventID eventId, const EventParam& param);
    // To every active thread but this one; m_numEvtPosted counts the deliveries.
    int32 postEventToChildThreads(FwEventID evt, const EventParam& param, MessageQueueType queueType,
                                  bool appThreadOnly);
    int32 switchToActiveMode(int64 repliTopicSeq, MessageQueueType queueType);
    int32 switchToStandbyMode(int64 repliTopicSeq, MessageQueueType queueType);
    // Application threads, then framework threads, forced; then Stop.
    int32 terminateChildThreads();
    // In middleware mode, once the starting thread gave up on the start:
    // every thread stopped, the start failed with its code, and true.
    bool stopIfStartAbandoned();

protected:
    inline static State m_state = STATE_MAX;
    inline static int32 m_numEvtPosted = 0;
    inline static int32 m_numAckRcvd = 0;  // acknowledgements of the last broadcast
    inline static int64 m_ackWaitStartNs = 0; // monotonic
    inline static int32 m_evtTmoutInterval = 1000000; // milliseconds
    inline static int32 m_outstandingCmd = 0;
    inline static int32 m_numAppRepliTopic = 0;
    inline static bool m_stop = false;
    inline static bool m_failoverCmdRcvd = false;
    inline static int64 m_failoverCmdRcvNs = 0; // monotonic
    inline static bool m_terminateOnSigInt = true;
    inline static int64 m_prevFlushLogNs = 0; // monotonic
    inline static int32 m_flushLogInterval = 5; // seconds
    inline static TerminationType m_termType = UNEXPECTED_TERMINATION;
    inline static AppLogger* m_loggerPtr = nullptr;
    inline static ConfigManager* m_configMgrPtr = nullptr;
    inline static Timer* m_timerPtr = nullptr;
    inline static SignalDescriptor* m_sigDescPtr = nullptr;
    inline static FileDescriptor* m_fdAryPtr[NUM_OF_DESC] = {};
    inline static FileDescMultiplexer* m_fdWaitPtr = nullptr;
    inline static FwMessageQueue* m_msgQueuePtr[MQUEUE_TYPE_NUM] = {};
    inline static RingBuffer<StatisticCounter>* m_statBufPtr = nullptr;
    inline static AgentSharedMemory* m_agentShmPtr = nullptr;
    inline static AppSharedMemBlock* m_appShmPtr = nullptr;
    inline static AgentSharedMemBlock* m_agtShmPtr = nullptr;
    inline static CtlEventSender* m_evtSenderPtr = nullptr;
    inline static ThreadResource* m_ctlThdResPtr = nullptr;
    inline static MsgTopicResource* m_repliTopicResPtr = nullptr;
    // Set when start-up failed after threads ran: run reports it.
    inline static int32 m_startFailCode = 0;

    EventParam m_tmpPara{};
    signalfd_siginfo m_fdsi{};
    ResourceManager& m_resMgr;
    ThreadManager& m_thdMgr;
    GlobalData& m_gblData;

    void setState(State state, const char* gotoText);
    // Report time and status under the application block's semaphore.
    void writeAppStatus(int32 status, int32 lockWait);
    void writeReportTime();
    static int32 statusOfMode(int32 mode);
    // Broadcast of evt with the acknowledgement count restarted.
    int32 postAndAwait(FwEventID evt, const EventParam& param, MessageQueueType queueType);
    // Waits until every acknowledgement ackId of the last broadcast is in, a
    // signal ends the wait, or the time-out (MSG_TIMEOUT, -1). allIn tells.
    int32 waitForAcks(FwEventID ackId, const char* timeoutText, bool& allIn);
    // The switching states: waits for the answers to SW_ACTIVE or SW_STANDBY;
    // proceed is true once all are in (or none was sent). A time-out keeps
    // the mode and goes back to Wait.
    int32 awaitSwitch(FwEventID ackId, const char* timeoutText, bool& proceed);
    // The switch's status under the semaphore, then Wait unless a signal or
    // command chose another state meanwhile.
    void finishSwitch(int32 status, State switching);
    // Site, instance and sequence of SW_ACTIVE and SW_STANDBY.
    EventParam switchParam(int64 repliTopicSeq) const;
    // CONN_INIT to the framework threads that open channels.
    int32 sendConnInit(bool skipInactive);
    // Whether a TERM from msg's originator ends the application.
    bool honoursTerm(const FwIntMessage& msg) const;
    // A TERM that a thread sent while acknowledgements were awaited (the
    // messaging service finding this instance behind its standby), acted on
    // once the wait ended: true when it stopped the application.
    bool actOnDeferredTerm();

private:
    int32 drainForAcks(FwMessageQueue* queue, FwEventID ackId, bool count, const char* timeoutText);
    bool ackTimedOut(const char* timeoutText);

    inline static bool m_termDeferred = false;
    inline static FwIntMessage m_deferredTerm{};
    void handleSigChld();
};
