// The process entry of every host program: libkelmora supplies main. main
// reads the command line and the configuration files, sets the configuration
// bases, creates the log, builds the framework's argument vector and hands
// control to the framework, whose registration callback (fwMainThread)
// creates every module in priority order. The framework start returns when
// the framework stops; a start that fails, and every start-up error, ends the
// process with a message on standard error and exit code 1.
//
// The process-wide objects below are set on the main thread before any other
// thread exists and only read afterwards.
#pragma once

#include <string>

class ModuleInitializer;
class ModuleList;
class ZunqConfigManager;

extern ZunqConfigManager* cfgMain;
extern std::string cfgFile;
extern std::string appName;
extern std::string hostName;
// "<application name>:  Version [...] Build Date [...] Git revision [...]".
extern std::string version;
extern ModuleList& moduleList;
extern ModuleInitializer* myModuleInitializer;

// True once main has handed the process to the framework start function:
// from then on the framework's control thread takes the exit signals.
bool frameworkRunsProcess();

// A component that cannot do its work at all (a server whose port is taken
// at start-up) ends the process with exit code 1: the orderly stop runs as
// for SIGTERM, and main reports `reason` on standard error and returns 1.
// Any thread; the first reason is kept.
void requestFailedExit(const std::string& reason);
bool failedExitRequested();

// The text "--help" (or "-h", "-?") prints on standard error before any
// configuration is read: the options the program takes. A program sets its
// own before main runs (from a static initialiser); without one the host's
// general text is printed.
void setProgramUsage(const char* usage);

// Bytes of one framework argument buffer; a value holds at most one less.
constexpr int cFwArgBufferSize = 512;

// "Error: " + the format filled with `errorMsg` (cut to 2047 bytes) on
// standard error; also an error line in the process log once it exists.
// `errorFormat` is always one of the program's own texts.
void printError(const char* errorFormat, const char* errorMsg);
// For code that wants a handler of unexpected exceptions; throws
// std::runtime_error "unexpected exception".
[[noreturn]] void myUnexpected();

// Fills the first fwArgc zero-filled buffers of fwArgv: standalone from the
// keys FwInitArg0..6, started by the framework agent from argv after the
// restart handling of its start-up mode (which may rewrite argv[4] and add
// options to cfgMain). A value over 511 characters throws std::runtime_error
// "configureFwArg failed".
void configureFwArg(const std::string& exeName, int& fwArgc, char** fwArgv, bool startByAgent, int argc,
                    char** argv);

// True when the command line is the framework agent's: at least 7 words and
// the six after the program name are positional, not options.
bool startedByAgent(int argc, char** argv);
