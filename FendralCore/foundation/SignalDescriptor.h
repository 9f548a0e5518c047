// The control thread's view of the process's signals: constructing it blocks
// every signal in the calling thread (and so in the threads it creates
// afterwards) and opens a signalfd on all of them. Build it on the thread that
// is to read the signals, before that thread starts the others.
#pragma once

#include "FendralCore/foundation/FileDescriptor.h"

class GlobalData;

class SignalDescriptor : public FileDescriptor
{
public:
    // Size of one signal record (struct signalfd_siginfo).
    static constexpr int32 SIGNAL_RECORD_SIZE = 128;

    SignalDescriptor();
    ~SignalDescriptor() override = default;

    // Nothing to send to a signal descriptor: returns 0.
    int32 send(char* buf, int len, int& done) override;
    // Reads one 128-byte signal record into buf (len at least 128).
    int32 receive(char* buf, int len, int& done) override;

private:
    GlobalData& m_gblData;
};
