// The process log. Null until the host's log module has created the log and
// its sink, so every user checks it first. It is set once on the main thread
// before any other thread starts and only read afterwards.
#pragma once

class Log;

namespace LogRegistry
{
extern Log* g_logger;
}
