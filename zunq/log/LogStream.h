// One line of the host log under construction. A stream collects text and
// numbers into a fixed buffer and hands the line to its log when it is
// destroyed, normally at the end of the statement that built it:
//     log.info() << "LineFilter::onData(): gap |" << begin << "|";
// A stream whose level the log does not write formats nothing. A piece that
// does not fit ends the line: text is cut on a character boundary, a number is
// never cut (it is dropped whole), and nothing is appended after the cut.
// A stream belongs to the thread that built it.
#pragma once

#include "zunq/log/LogLevels.h"

#include <cstddef>
#include <string>
#include <string_view>

class Log;

class LogStream
{
public:
    static constexpr std::size_t cCapacity = 2048;

    // A null log, or a level the log does not write, gives an inactive stream.
    LogStream(Log* log, LogLevels level);
    ~LogStream();

    LogStream(const LogStream&) = delete;
    LogStream& operator=(const LogStream&) = delete;

    bool active() const { return mLog != nullptr; }
    LogLevels level() const { return mLevel; }
    // The text collected so far (empty for an inactive stream).
    std::string_view text() const { return std::string_view(mBuffer, mLength); }

    LogStream& operator<<(std::string_view text);
    LogStream& operator<<(const std::string& text) { return *this << std::string_view(text); }
    LogStream& operator<<(const char* text);
    LogStream& operator<<(char character);
    LogStream& operator<<(bool value);
    // Small integer types print as numbers, not as raw bytes.
    LogStream& operator<<(signed char value) { return appendSigned(value); }
    LogStream& operator<<(unsigned char value) { return appendUnsigned(value); }
    LogStream& operator<<(short value) { return appendSigned(value); }
    LogStream& operator<<(unsigned short value) { return appendUnsigned(value); }
    LogStream& operator<<(int value) { return appendSigned(value); }
    LogStream& operator<<(unsigned int value) { return appendUnsigned(value); }
    LogStream& operator<<(long value) { return appendSigned(value); }
    LogStream& operator<<(unsigned long value) { return appendUnsigned(value); }
    LogStream& operator<<(long long value) { return appendSigned(value); }
    LogStream& operator<<(unsigned long long value) { return appendUnsigned(value); }
    LogStream& operator<<(double value);
    LogStream& operator<<(const void* pointer);

private:
    LogStream& appendSigned(long long value);
    LogStream& appendUnsigned(unsigned long long value);
    // A whole piece or nothing: used for numbers and other conversions.
    void appendWhole(const char* piece, std::size_t length);

    Log* mLog;
    LogLevels mLevel;
    bool mFull = false;
    std::size_t mLength = 0;
    char mBuffer[cCapacity];
};
