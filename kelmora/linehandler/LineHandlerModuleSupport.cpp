#include "kelmora/linehandler/LineHandlerModuleSupport.h"

#include "zunq/config/CfgEntry.h"
#include "zunq/config/ConfigError.h"
#include "zunq/config/ZunqConfigManager.h"

#include <algorithm>
#include <cctype>

namespace linehandler
{

std::string lowerText(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool listsLineHandlerType(const ZunqConfigManager& subFeedConfig, const std::string& type)
{
    const CfgEntry* entry = subFeedConfig.getChild("LineHandlerType");
    if (entry == nullptr)
        return false;
    const auto& values = entry->values();
    return std::any_of(values.begin(), values.end(), [&](const std::string& v) { return lowerText(v) == type; });
}

std::string replayInputFile(const ZunqConfigManager& config)
{
    const std::string inputFile = config.getString("InputFile", "--input-file", "", true);
    const std::string input = config.getString("", "--input", inputFile, true);
    return input == "none" ? std::string() : input;
}

unsigned long boundedSetting(const std::string& where, const char* key, long value, unsigned long max)
{
    if (value < 0 || static_cast<unsigned long>(value) > max)
        throw ConfigError(where + ": " + key + " must be from 0 to " + std::to_string(max));
    return static_cast<unsigned long>(value);
}

std::vector<std::string> splitText(const std::string& text, char separator)
{
    std::vector<std::string> pieces;
    std::size_t start = 0;
    for (;;)
    {
        const std::size_t at = text.find(separator, start);
        pieces.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos)
            return pieces;
        start = at + 1;
    }
}

} // namespace linehandler
