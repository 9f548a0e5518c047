// What the network receiver tells the stream thread after each write into a
// channel's stream buffer: which buffer, the head right after the bytes
// written, and the size and wire time of those bytes. The resource key lets
// the reader recognise a record for a buffer whose address was reused by a
// later connection.
#pragma once

#include "FendralCore/foundation/FileDescMultiplexer.h"
#include "FendralCore/foundation/FwTypes.h"
#include "FendralCore/foundation/Int128.h"

class StreamBuffer;

struct StreamEventRecord
{
    UInt128 tcpResId;                    // key of the channel's resource name when written
    StreamBuffer* streamBufPtr = nullptr;
    int32 effectiveHdIdx = -1;           // the ring's head right after these bytes
    WireOrderInfo wireOrdInfo{};
};
