// The control thread of a framework process: the thread that calls run. It
// registers and starts every other thread, waits until each has answered
// INIT, reports the application's status to the framework agent through the
// two shared-memory blocks, executes the agent's commands, supervises the
// threads and the agent, switches between active and standby, and at the end
// stops everything in order and writes the final status.
//
// Resources are registered before it is constructed (it scans them). It reads
// the process's signals through its signal descriptor, except in middleware
// mode, where the outside layer owns them. run returns 0 after an orderly
// stop and non-zero when the start failed; nothing is left running then.
#pragma once

#include "FendralCore/control/CtlThdStates.h"
#include "FendralCore/runtime/FwConfigKeys.h"

#include <memory>

class CtlThdStateMachine : public CtlThdBaseState
{
public:
    CtlThdStateMachine(const char* appIdTxt, int32 appInstId, ApplicationSite siteId, AppMode startMode);
    ~CtlThdStateMachine();

    CtlThdStateMachine(const CtlThdStateMachine&) = delete;
    CtlThdStateMachine& operator=(const CtlThdStateMachine&) = delete;

    int32 run();

private:
    ApplicationID m_appIdTxt{};
    bool m_useFwAgent = true;
    FwConfigKeys::CtlThdSettings m_settings{};
    int32 m_timeout = FwConfigKeys::DEFAULT_HEALTH_CHK_TM_INTERVAL; // milliseconds
    AppMode m_initialMode;
    int32 m_numRepliTopicBufEntry = 0;
    std::unique_ptr<StartingState> m_startState;
    std::unique_ptr<WaitState> m_waitState;
    std::unique_ptr<HealthChkState> m_healthChkState;
    std::unique_ptr<CmdProcState> m_cmdProcState;
    std::unique_ptr<RestartState> m_restartState;
    std::unique_ptr<ActiveModeSwState> m_activeModeSwState;
    std::unique_ptr<StandbyModeSwState> m_standbyModeSwState;
    bool m_threadsStarted = false;

    int32 initialize();
    int32 registerFwThreads();
    int32 registerFwThread(const char* name);
    int32 registerRepliTopic();
    int32 registerMrmTopic();
    int32 registerTopic(const char* name, const char* thread, int32 logicalChnNum, MsgTopicResource** res,
                        MsgTopicOpenType openType = PUBLISH);
    int32 createPipeline(int32& count);
    int32 prepareTmpMsgStore();
    void chkResRepliAndStdbyModeOpt();
    int32 writeFinalStatus();
    void releaseAll();
};
