// The process's statistics writer (priority 200): the factory creates one
// ZunqStatsWriter, initialises it with the process's binary name (a writer
// that cannot attach its segment is logged and left detached; the process
// runs on) and registers it as "ZunqStatsWriter" in the default group.
//
// Components on several threads write into the segment until their threads
// end, so TerminateAll does not detach it: the process entry point detaches
// it once with detachStatsWriter, after the framework has stopped every
// thread. A component with a writer of its own (the retransmission server's
// client list) hands it to detachWithStatsWriter at creation, and it is
// detached then too.
#pragma once

#include "kelmora/bus/TerminateAll.h"
#include "kelmora/runtime/InitModule.h"
#include "libstats/stats/ZunqStatsWriter.h"
#include "zunq/bus/OrluSubscriber.h"

#include <atomic>

class ModuleListBase;
class Log;

// Notes the end of the process for the writer: from TerminateAll on, the
// segment waits for detachStatsWriter.
class ZunqStatsCleanup : public OrluSubscriber<TerminateAll>
{
public:
    ZunqStatsCleanup(ZunqStatsWriter& writer, Log& log);
    void onData(const Orlu<TerminateAll>& orlu, const std::string& name, const TerminateAll& data) override;

    bool terminating() const { return mTerminating.load(std::memory_order_acquire); }

private:
    ZunqStatsWriter* mZunqStatsWriter;
    Log* mLog;
    std::atomic<bool> mTerminating{false};
};

// Detaches the segment of the process's writer, when there is one, and of
// every writer handed to detachWithStatsWriter; for main, after the
// framework start has returned.
void detachStatsWriter(const ModuleListBase* list);
// For a module factory, on the start-up thread: `writer`, which must live
// as long as the modules do, is detached by detachStatsWriter.
void detachWithStatsWriter(ModuleListBase* list, ZunqStatsWriter& writer);

template <>
bool InitModule<ZunqStatsWriter>::createModule(ModuleList* list, ZunqConfigManager* config);
