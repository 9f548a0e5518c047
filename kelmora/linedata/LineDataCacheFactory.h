// A registry of named line data caches: each name maps to one cache, a map
// from a 32-bit key (a sequence number) to a record, created empty the first
// time the name is asked for. The registry owns the caches and frees them
// when it goes; the caches hold records without owning them. One thread.
#pragma once

#include <cstdint>
#include <map>

class LineData;
class LineDataCacheFactoryImpl;
class Log;

using LineDataCache = std::map<std::uint32_t, LineData*>;

class LineDataCacheFactory
{
public:
    explicit LineDataCacheFactory(Log& log);
    ~LineDataCacheFactory();

    LineDataCacheFactory(const LineDataCacheFactory&) = delete;
    LineDataCacheFactory& operator=(const LineDataCacheFactory&) = delete;

    // The cache of `name`, made on first use. A null name throws
    // std::logic_error.
    LineDataCache* getLineDataCache(const char* name);

private:
    LineDataCacheFactoryImpl* mImpl;
};
