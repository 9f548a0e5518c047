#include "kelmora/linedata/LineDataCacheFactory.h"

#include <memory>
#include <stdexcept>
#include <string>

class LineDataCacheFactoryImpl
{
public:
    explicit LineDataCacheFactoryImpl(Log& log) : mLog(log) {}

    LineDataCache* getCache(const char* name)
    {
        if (name == nullptr)
            throw std::logic_error("LineDataCacheFactory: null cache name");
        std::unique_ptr<LineDataCache>& cache = mCacheMap[std::string(name)];
        if (!cache)
            cache = std::make_unique<LineDataCache>();
        return cache.get();
    }

    Log& mLog;
    std::map<std::string, std::unique_ptr<LineDataCache>> mCacheMap;
};

LineDataCacheFactory::LineDataCacheFactory(Log& log)
    : mImpl(new LineDataCacheFactoryImpl(log))
{
}

LineDataCacheFactory::~LineDataCacheFactory()
{
    delete mImpl;
}

LineDataCache* LineDataCacheFactory::getLineDataCache(const char* name)
{
    return mImpl->getCache(name);
}
