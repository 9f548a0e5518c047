// The Runnable of the default session's thread: a TERM from the framework
// hands the process's termination to the terminator, when one is set.
#pragma once

#include "kelmora/thread/Runnable.h"

class Terminator;

class TarvokSessionRunnable : public Runnable
{
public:
    // How TERM reaches the terminator; set with the terminator's own code,
    // which this layer does not see.
    using TermCall = void (*)(Terminator* terminator, int signal);

    TarvokSessionRunnable(const char* threadName, ZunqConfigManager& cfg, ModuleList& modules, Log& log)
        : Runnable(threadName, cfg, modules, log, 10000)
    {
    }

    void setTerminator(Terminator* terminator, TermCall call)
    {
        mTerminator = terminator;
        mTermCall = call;
    }
    Terminator* getTerminator() const { return mTerminator; }

    void term() override
    {
        if (mTerminator != nullptr && mTermCall != nullptr)
            mTermCall(mTerminator, 15);
    }

private:
    Terminator* mTerminator = nullptr;
    TermCall mTermCall = nullptr;
};
