// Creates binary packet records for a sub-feed: each gets the sub-feed's live
// channel id and the factory's pool of 128 message records
// ("<name>_DataPool"), kept for the life of the factory. Records are plain
// heap objects: create is new, destroy delete. Its records hold message
// records of the factory's pool, so they go before the factory does.
#pragma once

#include "kelmora/linedata/LineDataFactory.h"

#include <cstdint>
#include <memory>
#include <string>

class LineDataFactoryBasic;
class Log;

class LineDataFactoryDravek : public LineDataFactory
{
public:
    static constexpr std::uint32_t cMessagePoolSize = 128;

    LineDataFactoryDravek(const std::string& name, Log& log);
    ~LineDataFactoryDravek() override;

    LineData* create() override;
    void destroy(LineData* data) override;

    void setChannelId(std::uint16_t channelId) { mChannelId = channelId; }
    std::uint16_t getChannelId() const { return mChannelId; }
    LineDataFactoryBasic& messageFactory() { return *mLineDataBasicFactory; }

private:
    std::string mName;
    Log& mLog;
    std::uint16_t mChannelId = 0;
    std::unique_ptr<LineDataFactoryBasic> mLineDataBasicFactory;
};
