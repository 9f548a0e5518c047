// The factory of the process log. main runs it directly, on the main thread,
// before the framework starts (it is not registered with the module
// initializer). It reads the log settings, gives the log its sink and
// registers it as module "Log" in the default group; from then on every
// component logs through LogRegistry::g_logger.
//
// The file sink belongs to the program: it hands its constructor to the host
// with setFileLogSinkFactory before the factory runs. A prefix of exactly "-"
// or "stdout" selects the standard-output sink instead.
#pragma once

#include "kelmora/runtime/InitModule.h"
#include "zunq/log/Log.h"
#include "zunq/log/LogLevels.h"

#include <string>

class LogSink;

// Builds the file sink: (path, prefix, level, syslog level, use logger thread,
// log thread name, create the init log file first).
using FileLogSinkFactory = LogSink* (*)(const std::string& path, const std::string& file, LogLevels level,
                                        LogLevels syslogLevel, bool useLoggerThread, bool logThreadName,
                                        bool createInitLogFile);

// The program's file sink constructor; null (the start) leaves the process
// with no file sink, and a file prefix then ends start-up with InitModuleError.
void setFileLogSinkFactory(FileLogSinkFactory factory);
FileLogSinkFactory getFileLogSinkFactory();

// Opens the application log of a file sink the factory built. The program
// hands it over with its factory; the host calls it once, from the
// "MIDDLEWARE_MD" thread's start-up, when the process log writes through that
// sink (until then the sink writes its init log).
using AppLogCreator = void (*)(LogSink* fileSink);
void setAppLogCreator(AppLogCreator creator);

// The start-up call above: true when the process log's sink is the file sink
// the factory built and the creator was called.
bool createAppLogOfFileSink();

// Registers "Log" (Module<Log>) and, with the file sink, "QuorLogSink"
// (Module<LogSink>), both in the default group. A level outside the log's
// scale is a ConfigError.
template <>
bool InitModule<Log>::createModule(ModuleList* list, ZunqConfigManager* config);
