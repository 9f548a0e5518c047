#include "kelmora/runtime/PeerLog.h"

#include "zunq/log/Log.h"

bool PeerLog::admit(Log& log, const std::string& who)
{
    const PeerLogLimit::Verdict verdict = mLimit.next();
    if (verdict.heldBack != 0)
        log.warning() << who << ": " << PeerLogLimit::heldBackText(verdict.heldBack);
    return verdict.write;
}

void PeerLog::close(Log& log, const std::string& who)
{
    if (const uint64 heldBack = mLimit.takeHeldBack(); heldBack != 0)
        log.warning() << who << ": " << PeerLogLimit::heldBackText(heldBack);
    mLimit = PeerLogLimit(mClock);
}
