#include "kelmora/linedata/LineDataFactoryDravek.h"

#include "kelmora/linedata/LineDataDravek.h"
#include "kelmora/linedata/LineDataFactoryBasic.h"

LineDataFactoryDravek::LineDataFactoryDravek(const std::string& name, Log& log)
    : mName(name),
      mLog(log),
      mLineDataBasicFactory(std::make_unique<LineDataFactoryBasic>(name + "_DataPool", log))
{
    mLineDataBasicFactory->setObjPoolSize(cMessagePoolSize);
}

LineDataFactoryDravek::~LineDataFactoryDravek() = default;

LineData* LineDataFactoryDravek::create()
{
    auto* record = new LineDataDravek();
    record->setLineDataBasicFactory(mLineDataBasicFactory.get());
    record->setLog(&mLog);
    record->setChannelId(mChannelId);
    return record;
}

void LineDataFactoryDravek::destroy(LineData* data)
{
    delete data;
}
