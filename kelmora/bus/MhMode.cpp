#include "kelmora/bus/MhMode.h"

#include <cctype>

MhMode::Mode MhMode::stringToMode(const char* text)
{
    return text == nullptr ? ERROR : stringToMode(std::string(text));
}

MhMode::Mode MhMode::stringToMode(const std::string& text)
{
    std::string lower(text);
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    static const struct
    {
        const char* text;
        Mode mode;
    } names[] = {{"offline", OFFLINE}, {"normal", NORMAL},     {"halt", HALT},       {"test", TEST},
                 {"retrans", RETRANS}, {"sleep", SLEEP},       {"recovery", RECOVERY}, {"unknown", UNKNOWN}};
    for (const auto& name : names)
        if (lower == name.text)
            return name.mode;
    return ERROR;
}

std::string MhMode::modeToString(int mode)
{
    switch (mode)
    {
    case OFFLINE: return "Offline";
    case NORMAL: return "Normal";
    case HALT: return "Halt";
    case TEST: return "Test";
    case RETRANS: return "Retrans";
    case SLEEP: return "Sleep";
    case RECOVERY: return "Recovery";
    case ERROR: return "Error";
    default: return "Unknown";
    }
}
