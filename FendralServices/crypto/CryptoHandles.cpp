#include "FendralServices/crypto/CryptoHandles.h"

#include <mutex>
#include <unordered_map>

namespace
{
struct LiveHandles
{
    std::mutex lock;
    std::unordered_map<const void*, CryptoHandles::Kind> kinds;
};

LiveHandles& liveHandles()
{
    // Kept for the process's life: objects may be removed after main returns.
    static LiveHandles* const live = new LiveHandles();
    return *live;
}
} // namespace

void CryptoHandles::add(const void* handle, Kind kind)
{
    LiveHandles& live = liveHandles();
    std::lock_guard<std::mutex> guard(live.lock);
    live.kinds[handle] = kind;
}

void CryptoHandles::remove(const void* handle)
{
    LiveHandles& live = liveHandles();
    std::lock_guard<std::mutex> guard(live.lock);
    live.kinds.erase(handle);
}

bool CryptoHandles::isLive(const void* handle, Kind kind)
{
    LiveHandles& live = liveHandles();
    std::lock_guard<std::mutex> guard(live.lock);
    const auto found = live.kinds.find(handle);
    return found != live.kinds.end() && found->second == kind;
}
