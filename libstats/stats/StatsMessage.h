// The pieces every statistics text message starts with, and the padded
// figure lines of the records' debug output.
#pragma once

#include <string>

class Log;

namespace StatsMessage
{

// "DRAVEK#<host>#<name><tag>" then, when nameField is set, "Name:<name>;",
// then "Time:<local time>;". The host name is cut at 23 characters.
void appendHead(std::string& out, const char* name, const char* tag, bool nameField = false);
// "<label><value>;"
void appendField(std::string& out, const char* label, const std::string& value);
// The record's name as text: at most 128 bytes, terminated or not.
std::string recordName(const char* name);
// "<prefix><label padded to width><separator><value>" at debug level.
void debugLine(Log& log, const char* prefix, const char* label, std::size_t width, const char* separator,
               const std::string& value);

} // namespace StatsMessage
