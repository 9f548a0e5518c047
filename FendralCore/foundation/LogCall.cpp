#include "FendralCore/foundation/LogCall.h"

#include "FendralCore/foundation/PeerLogLimit.h"

#include <atomic>
#include <cstdio>

namespace
{
std::atomic<const LogTarget*> g_target{nullptr};
}

void installLogTarget(const LogTarget* target)
{
    g_target.store(target, std::memory_order_release);
}

int32 fwLog(int32 level, const char* format, ...)
{
    const LogTarget* target = g_target.load(std::memory_order_acquire);
    if (target == nullptr)
        return 0;
    va_list arguments;
    va_start(arguments, format);
    const int32 result = target->logV(level, format, arguments);
    va_end(arguments);
    return result;
}

bool fwLogEnabled(int32 level)
{
    const LogTarget* target = g_target.load(std::memory_order_acquire);
    return target != nullptr && target->enabled(level);
}

void fwPeerLogV(PeerLogLimit* limit, int32 level, const char* format, va_list arguments)
{
    if (!fwLogEnabled(level))
        return;
    if (limit != nullptr)
    {
        const PeerLogLimit::Verdict verdict = limit->next();
        if (verdict.heldBack != 0)
            fwLog(level, "%s", PeerLogLimit::heldBackText(verdict.heldBack).c_str());
        if (!verdict.write)
            return;
    }
    char line[512];
    std::vsnprintf(line, sizeof(line), format, arguments);
    fwLog(level, "%s", line);
}
