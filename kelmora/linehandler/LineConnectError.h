// A line could not connect to its peer. Thrown by a handler's data or event
// operation; the thread's network delivery hands it to the connect-error hook.
#pragma once

#include <stdexcept>
#include <string>

class LineConnectError : public std::runtime_error
{
public:
    explicit LineConnectError(const std::string& text) : std::runtime_error(text) {}
    explicit LineConnectError(const char* text) : std::runtime_error(text) {}
};
