// What "MSG_REPLICATOR" runs until the replication threads exist: a loop over
// the thread's two queues that answers the control thread's INIT, SW_ACTIVE,
// SW_STANDBY and CHK_END_REPLICATION, ends on TERM, and counts and drops
// everything else.
//
// Owned and used by its own thread.
#pragma once

#include "FendralCore/foundation/FileDescMultiplexer.h"
#include "FendralCore/foundation/FwTypes.h"
#include "FendralCore/dispatch/EventMessage.h"
#include "FendralCore/runtime/FrameworkResource.h"

class ConfigManager;
class GlobalData;
class ResourceManager;
class Timer;

class MsgPlaceholderLoop : public EventMessage
{
public:
    // Liveness report period, milliseconds.
    static constexpr int32 STATUS_INTERVAL_MS = 500;

    MsgPlaceholderLoop(ThreadResource* threadResPtr, ResourceManager& resMgr, GlobalData& gblData,
                       const ConfigManager* configMgr);
    ~MsgPlaceholderLoop() override;

    // Until TERM (execExitHdr 0) or a failure (execExitHdr 1).
    int32 run(int32& execExitHdr);

    int64 getNumDropped() const { return m_numDropped; }

private:
    ThreadResource* m_threadResPtr;
    GlobalData& m_gblData;
    ThreadResource* m_ctlThdResPtr = nullptr;
    FileDescMultiplexer m_fdWait;
    Timer* m_timerPtr = nullptr;
    uint32 m_msgSeqNum = 0;
    int64 m_numDropped = 0;

    // Drains one queue; stop is set by TERM.
    int32 drain(FwMessageQueue* queue, bool& stop);
    void answer(FwEventID ack, int64 param64);
};
