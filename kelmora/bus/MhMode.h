// Bus message: the message-handling mode of a feed. Parsing a mode's text is
// case-blind; printing gives the capitalised name.
#pragma once

#include <string>

class MhMode
{
public:
    enum Mode : int
    {
        OFFLINE = 0,
        NORMAL = 1,
        HALT = 2,
        TEST = 3,
        RETRANS = 4,
        SLEEP = 5,
        RECOVERY = 6,
        UNKNOWN = 99,
        ERROR = 100
    };

    MhMode() = default;
    MhMode(Mode mode) : mMode(mode) {}
    explicit MhMode(const std::string& text) : mMode(stringToMode(text)) {}
    explicit MhMode(const char* text) : mMode(stringToMode(text)) {}

    Mode getMode() const { return mMode; }
    std::string str() const { return modeToString(mMode); }

    bool operator!=(const MhMode& other) const { return mMode != other.mMode; }
    bool operator!=(Mode mode) const { return mMode != mode; }

    // Any text but the eight mode names, the empty text and null included, is ERROR.
    static Mode stringToMode(const char* text);
    static Mode stringToMode(const std::string& text);
    // "Unknown" for any value without a name of its own.
    static std::string modeToString(int mode);

private:
    Mode mMode = UNKNOWN;
};
