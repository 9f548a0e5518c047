// A handler asks for its line to be terminated. Thrown by a handler's data or
// event operation; the thread's network delivery hands it to the terminate hook.
#pragma once

#include <exception>

class LineTerminate : public std::exception
{
public:
    const char* what() const noexcept override { return "LineTerminate"; }
};
