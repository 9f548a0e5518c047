#include "FendralCore/control/MsgPlaceholderLoop.h"

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/GlobalData.h"
#include "FendralCore/foundation/LogLevels.h"
#include "FendralCore/foundation/Timer.h"
#include "FendralCore/runtime/FwLog.h"
#include "FendralCore/runtime/ResourceManager.h"
#include "FendralCore/runtime/ThreadEntryGuard.h"

#include <ctime>

namespace
{
constexpr int32 NUM_OF_DESC = 3;
}

MsgPlaceholderLoop::MsgPlaceholderLoop(ThreadResource* threadResPtr, ResourceManager& resMgr, GlobalData& gblData,
                                       const ConfigManager*)
    : EventMessage(threadResPtr, resMgr), m_threadResPtr(threadResPtr), m_gblData(gblData), m_fdWait(NUM_OF_DESC)
{
}

MsgPlaceholderLoop::~MsgPlaceholderLoop()
{
    delete m_timerPtr;
}

void MsgPlaceholderLoop::answer(FwEventID ack, int64 param64)
{
    if (m_ctlThdResPtr == nullptr)
        return;
    EventParam param{};
    param.paramInt64 = param64;
    if (sendEventMsg(m_ctlThdResPtr, MQUEUE_HIGH_PRIORITY, ack, param, m_msgSeqNum) != 0)
        fwLog(LOG_LEVEL_ERROR, "Error [%d] sending event [%d] to CTL_THREAD.", FrameworkErrno::m_fwErrno, ack);
}

int32 MsgPlaceholderLoop::drain(FwMessageQueue* queue, bool& stop)
{
    FwIntMessage msg;
    bool more = true;
    while (more && !stop)
    {
        if (queue->getMessage(&msg, more) != 0)
            return FrameworkErrno::m_fwErrno == BUFFER_EMPTY ? 0 : -1;
        if (msg.appMsg.type != MSG_EVENT)
        {
            ++m_numDropped;
            continue;
        }
        switch (msg.appMsg.event.id)
        {
        case INIT:
            answer(INIT_ACK, 0);
            break;
        case SW_ACTIVE:
            answer(SW_ACTIVE_ACK, 0);
            break;
        case SW_STANDBY:
            answer(SW_STANDBY_ACK, 0);
            break;
        case CHK_END_REPLICATION:
            // Nothing is replicated here, so nothing is outstanding.
            answer(CONF_END_REPLICATION, 0);
            break;
        case TERM:
            stop = true;
            break;
        default:
            ++m_numDropped;
            break;
        }
    }
    return 0;
}

int32 MsgPlaceholderLoop::run(int32& execExitHdr)
{
    execExitHdr = 1;
    return runGuarded("Messaging placeholder", [&]() -> int32 {
        ResourceName ctlName{};
        ResourceManager::copyResourceName(ctlName, "CTL_THREAD");
        if (m_resManager.getThreadRes(ctlName, &m_ctlThdResPtr) != 0)
            m_ctlThdResPtr = nullptr;
        FwMessageQueue* high = m_threadResPtr->msgQueuePtrArray[MQUEUE_HIGH_PRIORITY];
        FwMessageQueue* normal = m_threadResPtr->msgQueuePtrArray[MQUEUE_NORMAL];
        m_timerPtr = new Timer(STATUS_INTERVAL_MS, true);
        if (high == nullptr || normal == nullptr || m_fdWait.addFileDesc(high, IO_WAIT_READ) != 0 ||
            m_fdWait.addFileDesc(normal, IO_WAIT_READ) != 0 || m_fdWait.addFileDesc(m_timerPtr, IO_WAIT_READ) != 0 ||
            m_timerPtr->startTimer() != 0)
        {
            fwLog(LOG_LEVEL_ERROR, "Error [%d] occurred. Proceed thread termination.", FrameworkErrno::m_fwErrno);
            return -1;
        }
        m_threadResPtr->lastStatusUpdTm.store(::time(nullptr), std::memory_order_relaxed);
        FileDescriptor* ready[NUM_OF_DESC] = {};
        bool stop = false;
        while (!stop)
        {
            const int32 n = m_fdWait.wait(ready, NUM_OF_DESC, -1);
            for (int32 i = 0; i < n && !stop; ++i)
            {
                if (ready[i] == m_timerPtr)
                {
                    char expiry[8];
                    int done = 0;
                    m_timerPtr->receive(expiry, sizeof(expiry), done);
                    m_threadResPtr->lastStatusUpdTm.store(::time(nullptr), std::memory_order_relaxed);
                }
                else if (drain(static_cast<FwMessageQueue*>(ready[i]), stop) != 0)
                {
                    fwLog(LOG_LEVEL_ERROR, "Error [%d] reading a message queue.", FrameworkErrno::m_fwErrno);
                }
            }
        }
        execExitHdr = 0;
        return 0;
    });
}
