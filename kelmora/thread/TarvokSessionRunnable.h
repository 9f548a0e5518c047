// The Runnable of the default session's thread: a TERM from the framework
// hands the process's termination to the terminator, when one is set.
#pragma once

#include "kelmora/thread/Runnable.h"

class Terminator;

class TarvokSessionRunnable : public Runnable
{
public:
    TarvokSessionRunnable(const char* threadName, ZunqConfigManager& cfg, ModuleList& modules, Log& log)
        : Runnable(threadName, cfg, modules, log, 10000)
    {
    }

    // Set by the terminator itself when it is created.
    void setTerminator(Terminator* terminator) { mTerminator = terminator; }
    Terminator* getTerminator() const { return mTerminator; }

    // Terminator::onTerm(15); before a terminator exists, nothing.
    void term() override;

private:
    Terminator* mTerminator = nullptr;
};
