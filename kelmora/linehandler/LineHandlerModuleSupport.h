// What the line handler module factories share: which sub-feeds a factory
// serves, the input file that keeps a replaying process from building lines,
// and splitting of configured lists.
#pragma once

#include <string>
#include <vector>

class ZunqConfigManager;

namespace linehandler
{
// The text in lower case (ASCII).
std::string lowerText(std::string text);

// Whether one of the sub-feed's LineHandlerType values, lower-cased, equals
// `type`; `subFeedConfig` has the sub-feed as a configuration base.
bool listsLineHandlerType(const ZunqConfigManager& subFeedConfig, const std::string& type);

// The input file of a replaying process: "--input", else InputFile; empty
// when none is given. "none" counts as none.
std::string replayInputFile(const ZunqConfigManager& config);

// A configured count, size or interval the line takes unsigned: a value
// outside 0..max would wrap, so ConfigError "<where>: <key> must be from 0
// to <max>" refuses it.
unsigned long boundedSetting(const std::string& where, const char* key, long value, unsigned long max);

// Every piece between separators, empty ones included.
std::vector<std::string> splitText(const std::string& text, char separator);
} // namespace linehandler
