#include "kelmora/thread/TarvokSessionRunnable.h"

#include "kelmora/process/Terminator.h"

#include <csignal>

void TarvokSessionRunnable::term()
{
    if (mTerminator != nullptr)
        mTerminator->onTerm(SIGTERM);
}
