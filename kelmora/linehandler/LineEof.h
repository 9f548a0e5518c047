// The end of a line's input: a descriptor or file read returned 0 bytes.
// Thrown by the read buffer and the line handlers; the thread's network
// delivery catches it and hands it to the line's end-of-input hook.
#pragma once

#include <exception>

class LineEof : public std::exception
{
public:
    const char* what() const noexcept override { return "LineEof"; }
};
