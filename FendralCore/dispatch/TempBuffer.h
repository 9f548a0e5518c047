// A reassembly buffer for one multi-part message in progress. A dispatcher
// keeps one per (sender, channel, queue): receiver threads interleave parts of
// different channels and of both queues towards one thread, so a sender-only
// key would mix or drop them.
#pragma once

#include "FendralCore/foundation/FwTypes.h"
#include "FendralCore/runtime/MessageQueue.h"

struct TempBuffer
{
    static constexpr int32 BUF_SIZE = 32768;

    ResourceName senderTxt;
    ResourceName channelNameTxt;
    MessageQueueType queueType;
    char msgBuffer[BUF_SIZE];
    int32 msgLen;         // bytes collected
    int32 lastMsgPartNum; // last part appended; -1 when empty
};
