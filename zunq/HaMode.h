// High-availability mode of a component (active, standby, partially active),
// with the names operators type and read in configuration, admin methods and
// logs. A plain value: copy it freely between threads.
#pragma once

#include <string>

class HaMode
{
public:
    enum Mode
    {
        STANDBY = 0,
        ACTIVE = 1,
        PARTIALLY_ACTIVE = 2,
        UNKNOWN = 99,
        ERROR = 100
    };

    HaMode() = default;
    HaMode(Mode mode) : mMode(mode) {}
    // The mode a text names (see stringToMode); ERROR for any other text.
    explicit HaMode(const std::string& text) : mMode(stringToMode(text)) {}

    Mode getMode() const { return mMode; }
    std::string str() const { return modeToString(*this); }

    bool operator==(const HaMode& other) const { return mMode == other.mMode; }
    bool operator==(Mode mode) const { return mMode == mode; }

    // Case-blind: "standby", "active", "partiallyactive" (or "partially_active")
    // and "unknown"; anything else, the empty text included, is ERROR.
    static Mode stringToMode(const std::string& text);
    // "Standby", "Active", "PartiallyActive", "Unknown", "Error"; a value
    // outside the enumeration is "Unknown".
    static std::string modeToString(const HaMode& mode);

private:
    Mode mMode = UNKNOWN;
};
