#include "zunq/HaMode.h"

#include <algorithm>
#include <cctype>

HaMode::Mode HaMode::stringToMode(const std::string& text)
{
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (lower == "standby")
        return STANDBY;
    if (lower == "active")
        return ACTIVE;
    // Both spellings: the printed name and the enumerator's.
    if (lower == "partiallyactive" || lower == "partially_active")
        return PARTIALLY_ACTIVE;
    if (lower == "unknown")
        return UNKNOWN;
    return ERROR;
}

std::string HaMode::modeToString(const HaMode& mode)
{
    switch (mode.mMode)
    {
    case STANDBY:
        return "Standby";
    case ACTIVE:
        return "Active";
    case PARTIALLY_ACTIVE:
        return "PartiallyActive";
    case ERROR:
        return "Error";
    case UNKNOWN:
        break;
    }
    return "Unknown";
}
