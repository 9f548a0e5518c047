// The states of the control thread other than Stop (which the machine's run
// handles): each is a small object over the shared CtlThdBaseState data.
//   Starting: waits for every INIT_ACK, then reports the start status and
//             opens the channels.
//   Wait: sleeps until a signal, the health-check timer or an event.
//   HealthChk: refreshes the report time, supervises the agent, moves
//             statistics into the application block.
//   CmdProc: executes the agent's commands from the command ring.
//   Restart: starts the threads again in the new mode.
//   ActiveModeSw / StandbyModeSw: wait for every thread's switch answer.
// Every value read from the agent's blocks is checked before use.
#pragma once

#include "FendralCore/control/CtlThdBaseState.h"

class StartingState : public CtlThdBaseState
{
public:
    int32 waitForEvent();

private:
    int32 initCommChannel();
};

class WaitState : public CtlThdBaseState
{
public:
    WaitState();
    int32 waitForEvent();
    int32 checkStatus();
    int32 processMessage(FwMessageQueue* queue);

private:
    int32 m_failoverTimeoutThreshold; // seconds
    // The messaging service reported the replication topic in recovery and
    // not yet its end: the replicator's word that the publisher is back does
    // not hide it.
    bool m_repliTopicInRecovery = false;
    int32 handleEvent(const FwIntMessage& msg);
    void checkThreads(time_t now);
};

class HealthChkState : public CtlThdBaseState
{
public:
    HealthChkState();
    int32 runHealthCheck(bool useFwAgent);
    void updateStatus();
    void processStatistics();
    int32 terminateFwAgent();

private:
    int32 m_agtChkInterval; // seconds
    bool m_logAgtStatus = true;
};

class CmdProcState : public CtlThdBaseState
{
public:
    int32 getCommand();
    int32 processRestartCmd();
    int32 processLogLevelCmd();
    int32 processConfigReloadCmd();

private:
    Command m_cmd{};
    // 0 with the next command in m_cmd, or -1 with BUFFER_EMPTY.
    int32 readCommand();
    // One command; leave is set when it ends the visit.
    int32 execute(bool& leave);
    int32 processFailoverCmd();
};

class RestartState : public CtlThdBaseState
{
public:
    int32 proceedRestart();
};

class ActiveModeSwState : public CtlThdBaseState
{
public:
    int32 waitForEvent();
};

class StandbyModeSwState : public CtlThdBaseState
{
public:
    int32 waitForEvent();
};
