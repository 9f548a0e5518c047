// Trimming of a set of characters from either end of a text.
#pragma once

#include <string>
#include <string_view>

class TrimString
{
public:
    // Blank, tab and newline.
    static constexpr std::string_view DEFAULT_WS = " \t\n";

    static std::string ltrim(std::string_view text, std::string_view set = DEFAULT_WS);
    static std::string rtrim(std::string_view text, std::string_view set = DEFAULT_WS);
    static std::string trim(std::string_view text, std::string_view set = DEFAULT_WS);
};
