// System V shared memory by key, and the key files that keys are made from.
//
// getShmFileKeyName finds the file whose inode (through ftok) names a
// process's segment: the base name itself, or base_1 .. base_100 when the
// earlier names belong to other users. The statistics segment and the latency
// queues use it; the local agent client takes the name as its socket path.
// All calls may come from any thread.
#pragma once

#include <cstddef>
#include <string>
#include <sys/types.h>

class Log;

namespace Zunq
{

class ShmUtils
{
public:
    // The last suffix tried by getShmFileKeyName.
    static constexpr int cMaxKeyFileAttempt = 100;

    // True when a segment of `key` exists that holds at least `size` bytes; `id` is then its identifier.
    static bool existsShm(key_t key, int& id, std::size_t size);
    // Attaches the segment of `key`, creating it (mode 0600) when there is none.
    // `created` (when given) tells whether this call created it. An existing
    // segment smaller than `size` is refused. Null on failure, logged when a
    // log is given.
    static void* attachShm(Log* log, key_t key, int& id, std::size_t size, bool* created = nullptr);
    // Detaches `address`; the segment itself stays. -1 on failure.
    static int detachShm(int id, void* address);

    // The key file for `baseName`, starting with suffix `attempt` (0: no
    // suffix); a missing file is created (mode 0600) when `create` is set.
    // Empty when no name can be used. A file, or a link, owned by another user
    // leads to the next suffix.
    static std::string getShmFileKeyName(Log& log, const std::string& baseName, bool create, int attempt);
};

} // namespace Zunq
