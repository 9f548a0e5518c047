#include "FendralCore/foundation/TrimString.h"

std::string TrimString::ltrim(std::string_view text, std::string_view set)
{
    const auto first = text.find_first_not_of(set);
    return first == std::string_view::npos ? std::string() : std::string(text.substr(first));
}

std::string TrimString::rtrim(std::string_view text, std::string_view set)
{
    const auto last = text.find_last_not_of(set);
    return last == std::string_view::npos ? std::string() : std::string(text.substr(0, last + 1));
}

std::string TrimString::trim(std::string_view text, std::string_view set)
{
    return rtrim(ltrim(text, set), set);
}
