// The process's exit signals: SIGTERM, SIGINT, SIGQUIT and SIGHUP.
//
// main blocks them before any thread starts, so every thread inherits the
// block. setHandler then routes them to one dedicated thread, which calls the
// handler in ordinary thread context (the handler may log, lock and publish).
// The signal itself only writes its number to a pipe, so a thread that
// unblocks the signals (unblockThread) passes them to the dedicated thread too.
// A process forked from one with a handler gets its own dedicated thread, so a
// signal sent to the child is handled in the child. A handler that ends its
// thread (pthread_exit) gets a fresh dedicated thread for the next signal.
#pragma once

#include <atomic>

class ExitSignals
{
public:
    using Handler = void (*)(int signal);

    // Blocks the exit signals in the calling thread.
    static void block();
    // Unblocks them in the calling thread.
    static void unblockThread();
    // Installs `handler` (replacing an earlier one); the first call remembers
    // the dispositions that were in place. -1 on failure (null handler, no
    // pipe, no thread), 0 otherwise.
    static int setHandler(Handler handler);
    // Runs the disposition that was in place before setHandler, when that was
    // a function: 1. Default or ignore: nothing is done, 0. Not an exit signal: -1.
    static int executePrevious(int signal);
    static bool isExitSignal(int signal);
};

// Cleared when the process has handed over its exit.
extern std::atomic<bool> gRunning;
