// A line's read, socket, inflate or set-up failure, with its text. Thrown by
// the read buffer and the line handlers; callers that handle bad input in
// general catch it as the std::invalid_argument it is.
#pragma once

#include <stdexcept>
#include <string>

class LineError : public std::invalid_argument
{
public:
    explicit LineError(const std::string& text) : std::invalid_argument(text) {}
    explicit LineError(const char* text) : std::invalid_argument(text) {}
};
