// Log handles for the program's file log sink.
//
// A log handle is a framework log handle (the framework services' log-file
// calls write, flush and close it). libQuor opens the handles through those
// calls, which it finds in the process when it is loaded; in a process without
// the framework services library every handle is 0 and utlSetSyslogId fails.
//
// The init log is the file log that a process writes before the framework
// runs: "<directory>/<prefix>_init" in the framework's daily file naming. The
// framework's loggers mirror their own lines to syslog (utlSetSyslogId names
// the identity), so no separate syslog channel is opened and the syslog handle
// is always 0, "none". Directory and prefix are at most 99 characters each.
// Every call may come from any thread; none throws.
#pragma once

extern "C" {

// Longest directory or prefix accepted, in characters.
constexpr int QUOR_MAX_NAME_LENGTH = 99;

long utlGetSyslogHandle(const char* directory, const char* prefix);
// The init log at `level` (0 alert .. 6 debug), or 0 when it cannot be opened.
long utlGetInitLogHandle(const char* directory, const char* prefix, int level);
// Sets the identity under which the handle's syslog mirror writes; 0, or -1
// for a null handle or identity, or when the framework is not in the process.
int utlSetSyslogId(long handle, const char* identity);

}
