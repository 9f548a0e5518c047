// rtsd, the retransmission server. The process entry (main) belongs to the
// host library, and the program's modules come from the libraries it links:
// each component's static module factory registers with the module
// initializer while its library loads, and the host creates them all in
// priority order once the framework starts. This file holds what the program
// itself defines for the host: its file log sink and its usage text.
#include "kelmora/process/HostMain.h"
#include "kelmora/runtime/LogModule.h"
#include "rts/logsink/QuorLogSink.h"

namespace
{

// What "rtsd --help" prints; it reads no configuration first.
const char* const cRtsdUsage =
    "Usage: rtsd [options]\n"
    "The retransmission server: serves cached feed messages to clients over TCP.\n"
    "\n"
    "  --config-file <file>   the configuration file (also --config, --file; the last of\n"
    "                         these three wins in that order). Without one: the value of\n"
    "                         ConfigFile.<app name>, else the application name, looked for\n"
    "                         in each directory of TARVOK_PATH, then the working directory\n"
    "  --feed-name <name>     the exe name (also --exe-name, --name); default the program\n"
    "                         file's name\n"
    "  --app-name <name>      the application name; default the exe name up to its first _\n"
    "  --shared-objects <lib> a plug-in library loaded before the SharedObjects entries\n"
    "  --<key> <value>        most configuration keys have an option twin, lower case with\n"
    "                         dashes: --stats-interval 10 sets StatsInterval, likewise\n"
    "                         --log-file, --ha-mode, --exch-tcp-ip-address (overrides\n"
    "                         RtsTcpIpAddress), --rts-throttle-interval, ...\n"
    "  --version              print the version and exit 0, once the configuration file\n"
    "                         has opened\n"
    "  -h, --help             print this text and exit 0\n"
    "\n"
    "Exit code 1 with \"Error: ...\" on standard error when start-up fails. SIGTERM or the\n"
    "admin method quit stops it with exit code 0.\n";

// Runs before main: the host's Log module needs the sink's constructor, the
// "MIDDLEWARE_MD" thread's start-up the call that opens the app log, and
// main the usage text.
const bool gSinkHandedOver = []
{
    setFileLogSinkFactory(&createQuorLogSink);
    setAppLogCreator(&createQuorAppLog);
    setProgramUsage(cRtsdUsage);
    return true;
}();

} // namespace
