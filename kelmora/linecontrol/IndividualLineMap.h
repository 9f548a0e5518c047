// A plain map from a line's name to its handler, filled at start-up and read
// on the thread of the code that asks.
#pragma once

#include <string>
#include <unordered_map>

class LineHandler;
class Log;

class IndividualLineMap
{
public:
    explicit IndividualLineMap(Log& log);

    // A null handler is ignored; a second add of a key replaces the first.
    void addIndividualLine(const std::string& key, LineHandler* handler);
    // Null when the key is unknown.
    LineHandler* getIndividualLine(const std::string& key) const;

private:
    Log& mLog;
    std::unordered_map<std::string, LineHandler*> mLineHandlerMap;
};
