// A wake-up descriptor over a Linux eventfd. Any thread may post an event; the
// thread that owns it (the one whose multiplexer lists it) delivers and
// clears them. Message queues, stream buffers and pipeline stages derive from
// it and use send and receive unchanged.
#pragma once

#include "FendralCore/foundation/FileDescriptor.h"

class EventDescriptor : public FileDescriptor
{
public:
    // flags: eventfd flags (EFD_SEMAPHORE for a queue with several readers);
    // blockMode false makes the descriptor non-blocking. A failed creation is
    // logged and leaves the descriptor at -1.
    EventDescriptor(int32 flags, bool blockMode, DescriptorType descType);
    ~EventDescriptor() override = default;

    int32 send(char* buf, int len, int& done) override;
    int32 receive(char* buf, int len, int& done) override;

    // Adds one to the counter. Safe from any thread.
    int32 postEvent();
    // Adds count (at least 1) in one write: one wake-up for a batch.
    int32 postEvents(uint64 count);
    // Takes the counter (1 in semaphore mode); on a non-blocking descriptor
    // with nothing pending: -1 with WOULD_BLOCK.
    int32 deliverEvent(unsigned long& value);

    int32 closeEventDesc();
    // Replaces the descriptor by a new eventfd with the same flags and
    // blocking rule; the caller registers the new one again where needed.
    int32 reopenEventDesc();
    // Drains every pending event and leaves the blocking mode as it was.
    int32 clearAllEvent();

protected:
    int32 m_flags;
    bool m_blockMode;
    uint64 m_event = 1;

private:
    int32 create();
};
