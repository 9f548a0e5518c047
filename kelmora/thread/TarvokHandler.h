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
};

class TarvokMsgHandler : public TarvokHandler
{
public:
    virtual void onMsg(TarvokListener* listener, TarvokOldMsg& msg) = 0;
};
