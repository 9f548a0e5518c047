// Where the host log writes its lines. A sink filters by its own level: it
// writes a line when the line's level is not above the sink's level. One sink
// is shared by every thread of the process, so an implementation serialises
// its writes (or writes through handles that accept concurrent writers).
#pragma once

#include "zunq/log/LogLevels.h"

#include <string>

class LogSink
{
public:
    virtual ~LogSink();

    virtual void setLevel(LogLevels level) = 0;
    virtual void print(LogLevels level, char character) = 0;
    virtual void print(LogLevels level, const std::string& text) = 0;
    // Exactly `length` characters as one line.
    virtual void print(LogLevels level, const char* text, unsigned long length) = 0;

    // The log adopts this level when the sink is added to it.
    virtual LogLevels getLevel() const = 0;
    virtual void flush() {}
};
