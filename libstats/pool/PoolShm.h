// The shared-memory layout of an index-linked pool and the System V calls the
// pool templates make, kept out of the templates.
//
// Level 0 is one segment: the pool object, a header naming the next level,
// the array of level base addresses and the entries. A further level is a
// segment of its own whose key is the first key plus the number of levels
// including it: a header naming the next level, the level address array and
// the entries. Addresses stored in a segment are valid only in the process
// that wrote them; readers use ids and offsets. Every offset is a multiple of
// 8 so that entries and their 64-bit indices are naturally aligned.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

class Log;

namespace Zunq::Utils
{

struct PoolShmLayout
{
    // Level 0 segment.
    static constexpr std::size_t cPoolObject = 0;
    static constexpr std::size_t cPoolObjectSize = 176;
    static constexpr std::size_t cNextLevelAddress = 176; // 8 bytes
    static constexpr std::size_t cNextLevelId = 184;      // 4 bytes, 0 = none; 4 bytes reserved follow
    static constexpr std::size_t cLevelArray = 192;
    static constexpr std::size_t cFirstEntries = cLevelArray + 8; // level 0 knows one address
    // Further level segments.
    static constexpr std::size_t cLevelNextAddress = 0;
    static constexpr std::size_t cLevelNextId = 8;
    static constexpr std::size_t cLevelArrayInLevel = 16;

    // Offset of the entries in a level segment that knows `levels` addresses.
    static constexpr std::size_t levelEntries(long levels)
    {
        return cLevelArrayInLevel + 8 * static_cast<std::size_t>(levels);
    }

    // Written last by the process that builds a pool segment, in the padding of
    // the pool object, so that attachers never use a half-built pool.
    static constexpr std::size_t cReadyMark = 28;
    static constexpr uint32_t cReadyValue = 0x4c4f4f50; // "POOL"
};

static_assert(PoolShmLayout::cFirstEntries % 8 == 0);
static_assert(PoolShmLayout::levelEntries(1) % 8 == 0);

namespace PoolShm
{

// How long an attaching process waits for the creator to finish a segment.
constexpr int cReadyWaitMs = 3000;

// Attaches the segment of `key`, creating it when absent. An existing segment
// must be exactly `size` bytes. Null on failure (logged).
void* attach(Log* log, key_t key, std::size_t size, int& id, bool& created);
// Attaches an existing segment of `key` that must have the id `expectedId`
// (when not 0) and exactly `size` bytes. Null on failure (logged).
void* attachExisting(Log* log, key_t key, std::size_t size, int expectedId, int& id);
// Waits, bounded, for the ready mark at `base`; false when it never came.
bool waitReady(const void* base);
void markReady(void* base);
int detach(void* address);
// Further levels this process mapped, by segment id, so that a detach finds
// its own address of a level (the one in the segment may be another process's).
void rememberMapping(int id, void* address);
void* takeMapping(int id);

} // namespace PoolShm

} // namespace Zunq::Utils
