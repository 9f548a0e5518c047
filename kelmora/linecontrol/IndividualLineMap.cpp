#include "kelmora/linecontrol/IndividualLineMap.h"

#include "zunq/log/Log.h"

IndividualLineMap::IndividualLineMap(Log& log) : mLog(log) {}

void IndividualLineMap::addIndividualLine(const std::string& key, LineHandler* handler)
{
    if (handler == nullptr)
        return;
    mLineHandlerMap[key] = handler;
    mLog.verbose() << "IndividualLineMap::addLineHandler: adding lineHandler " << key << "=true";
}

LineHandler* IndividualLineMap::getIndividualLine(const std::string& key) const
{
    const auto it = mLineHandlerMap.find(key);
    if (it != mLineHandlerMap.end())
        return it->second;
    mLog.verbose() << "IndividualLineMap::getIndividualLine: Not found " << key;
    return nullptr;
}
