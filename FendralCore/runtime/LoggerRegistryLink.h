// How the application logger reaches the resource registry: the normal queue
// of the thread "LOGGER" (for loggers that hand their lines to that thread)
// and the log-masking callback of a channel (for message-journal lines).
//
// The registry installs its two lookups at start-up, before any logger opens;
// until then "LOGGER" counts as not registered and no channel masks, which is
// how the logger behaves in a process without a registry. Tests install their
// own lookups to hand the logger a real queue.
#pragma once

#include "FendralCore/foundation/FwTypes.h"
#include "FendralCore/runtime/FwIntMessage.h"

template <typename T>
class MessageQueue;

class LoggerRegistryLink
{
public:
    // A channel's masking callback: non-zero when the message must not be
    // written as it is.
    using MsgMaskFunc = int (*)(char* msg, unsigned int length);
    // 0 when the thread "LOGGER" is registered, with queue = its normal queue
    // (null while it has none); -1 when it is not registered.
    using FindLoggerQueue = int32 (*)(MessageQueue<FwIntMessage>*& queue);
    // The callback of a TCP, UDP or topic channel; null when the channel is
    // unknown or has none.
    using FindMaskFunc = MsgMaskFunc (*)(const char* channelName, ExtChannelType channelType);

    static int32 findLoggerQueue(MessageQueue<FwIntMessage>*& queue);
    static MsgMaskFunc findMaskFunc(const char* channelName, ExtChannelType channelType);

    // A null lookup restores the default (nothing registered).
    static void setFindLoggerQueue(FindLoggerQueue lookup);
    static void setFindMaskFunc(FindMaskFunc lookup);
};
