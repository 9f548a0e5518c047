// The admin methods of one login-session line: send its login or logout now,
// reset it to expect a given sequence number, and set the weekdays on which
// its daily reset period does not end. The login line module registers one
// set per configured line; each runs on the thread its session gives it.
#pragma once

#include "zunq/admin/KeshMethod.h"

class LineHandlerLogin;

class KeshLineReset : public KeshMethod
{
public:
    explicit KeshLineReset(LineHandlerLogin& handler);
    void invoke(const KeshParamList& args, KeshParamList& results) override;

private:
    LineHandlerLogin& mHandler;
};

class KeshSendLogin : public KeshMethod
{
public:
    explicit KeshSendLogin(LineHandlerLogin& handler);
    void invoke(const KeshParamList& args, KeshParamList& results) override;

private:
    LineHandlerLogin& mHandler;
};

class KeshSendLogout : public KeshMethod
{
public:
    explicit KeshSendLogout(LineHandlerLogin& handler);
    void invoke(const KeshParamList& args, KeshParamList& results) override;

private:
    LineHandlerLogin& mHandler;
};

class KeshSetDaysToIgnorePeriodEnd : public KeshMethod
{
public:
    explicit KeshSetDaysToIgnorePeriodEnd(LineHandlerLogin& handler);
    void invoke(const KeshParamList& args, KeshParamList& results) override;

private:
    LineHandlerLogin& mLineHandlerLogin;
};
