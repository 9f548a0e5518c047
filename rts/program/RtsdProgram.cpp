// rtsd, the retransmission server. The process entry (main) belongs to the
// host library, and the program's modules come from the libraries it links:
// each component's static module factory registers with the module
// initializer while its library loads, and the host creates them all in
// priority order once the framework starts. This file holds what the program
// itself defines for the host: its file log sink.
#include "kelmora/runtime/LogModule.h"
#include "rts/logsink/QuorLogSink.h"

namespace
{

// Runs before main: the host's Log module needs the sink's constructor, and
// the "MIDDLEWARE_MD" thread's start-up the call that opens the app log.
const bool gSinkHandedOver = []
{
    setFileLogSinkFactory(&createQuorLogSink);
    setAppLogCreator(&createQuorAppLog);
    return true;
}();

} // namespace
