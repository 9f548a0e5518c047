// Receivers of session callbacks.
#pragma once

class TarvokTimer;
class TarvokListener;
class TarvokOldMsg;

class TarvokHandler
{
public:
    virtual ~TarvokHandler() = default;
};

class TarvokTimerHandler : public TarvokHandler
{
public:
    virtual void onTimer(TarvokTimer* timer) = 0;
    // The framework refused to make the timer (a thread holds at most
    // MSG_DISP_FD_NUM + 5): it never fires. On the timer's thread, while the
    // thread starts its timers: no timer may be created from here.
    virtual void onTimerRefused(TarvokTimer* /*timer*/) {}
};

class TarvokMsgHandler : public TarvokHandler
{
public:
    virtual void onMsg(TarvokListener* listener, TarvokOldMsg& msg) = 0;
};
