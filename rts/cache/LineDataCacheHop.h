// Carries a sub-feed's records and mode to a cache that lives on another
// thread. The cache takes no lock, so it must not be called on the thread
// that publishes the sub-feed's buses: this subscriber copies each record or
// mode into a thread message, sent through the publishing thread's own
// Runnable, and hands it to the cache when it arrives on the cache's thread.
#pragma once

#include "kelmora/bus/MhMode.h"
#include "kelmora/linedata/LineData.h"
#include "kelmora/linedata/LineDataBasic.h"
#include "kelmora/thread/ThreadData.h"
#include "rts/cache/LineDataCacheManager.h"
#include "zunq/bus/Orlu.h"
#include "zunq/bus/OrluSubscriber.h"

#include <string>

class Log;
class Runnable;

class LineDataCacheHop : public OrluSubscriber<LineData>,
                         public OrluSubscriber<MhMode>,
                         public OrluSubscriber<Zunq::ThreadData>
{
public:
    // The thread-message type the hops travel as.
    static constexpr unsigned int cDataType = Zunq::APPLICATION_RESERVED + 35;

    // Joins the sub-feed's buses (the mode bus may be null) and the cache
    // thread's thread messages; before either thread runs.
    LineDataCacheHop(LineDataCacheManager::LineDataCache& cache, Runnable& cacheThread, Orlu<LineData>& lineData,
                     Orlu<MhMode>* mode, Log& log);
    ~LineDataCacheHop() override;

    LineDataCacheHop(const LineDataCacheHop&) = delete;
    LineDataCacheHop& operator=(const LineDataCacheHop&) = delete;

    // On the publishing thread.
    void onData(const Orlu<LineData>& orlu, const std::string& source, const LineData& lineData) override;
    void onData(const Orlu<MhMode>& orlu, const std::string& source, const MhMode& mode) override;
    // On the cache's thread.
    void onData(const Orlu<Zunq::ThreadData>& orlu, const std::string& source, const Zunq::ThreadData& data) override;

private:
    void send(const Zunq::ThreadData& data, const char* what);

    LineDataCacheManager::LineDataCache& mCache;
    Orlu<LineData>& mOrluLineData;
    Orlu<MhMode>* mOrluMhMode;
    Orlu<Zunq::ThreadData>* mOrluThreadData;
    Log& mLog;
    char mCacheThread[17] = {};
    Zunq::ThreadData mOut;  // built on the publishing thread only
    LineDataBasic mRecord;  // rebuilt on the cache's thread only; borrows the message's bytes
};
