#include "FendralServices/api/LiveHandles.h"

#include <mutex>
#include <unordered_map>

namespace
{

struct Table
{
    std::mutex lock;
    std::unordered_map<const void*, LiveKind> live;
};

Table& table()
{
    // Kept for the process's life: objects may be released after main returns.
    static Table* const t = new Table();
    return *t;
}

} // namespace

void LiveHandles::add(const void* handle, LiveKind kind)
{
    Table& t = table();
    std::lock_guard guard(t.lock);
    t.live[handle] = kind;
}

bool LiveHandles::remove(const void* handle)
{
    Table& t = table();
    std::lock_guard guard(t.lock);
    return t.live.erase(handle) != 0;
}

bool LiveHandles::isLive(const void* handle, LiveKind kind)
{
    if (handle == nullptr)
        return false;
    Table& t = table();
    std::lock_guard guard(t.lock);
    const auto it = t.live.find(handle);
    return it != t.live.end() && it->second == kind;
}
