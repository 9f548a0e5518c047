// The sequence state of one sub-feed's published feed messages, as kept in the
// shared-memory pool "FileRecoveryHandler_SeqNum". The segment outlives the
// process, so a later run reads what an earlier one wrote: the layout below is
// a stored format and must not change. Entries are pool records (their header
// first) and are built by the pool, never by a constructor of their own.
#pragma once

#include "libstats/pool/ArrayBackedPoolObject.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>

namespace Zunq::Utils
{

struct SeqNumStorageItem : ArrayBackedPoolObject
{
    static constexpr std::size_t cNameSize = 256;

    char mName[cNameSize];  // the sub-feed's name, NUL-terminated
    uint64_t mSeqNum;       // last sequence number
    uint32_t mSubSeqNum;    // last sub-sequence number
    uint32_t mZunqSeqNum;   // last feed sequence number
    uint16_t mNumSeqResets; // sequence resets counted

    // At most cNameSize - 1 characters, the rest of the field zeroed.
    void setName(const std::string& name)
    {
        const std::size_t length = name.size() < cNameSize ? name.size() : cNameSize - 1;
        std::memset(mName, 0, cNameSize);
        std::memcpy(mName, name.data(), length);
    }
};

static_assert(std::is_trivially_copyable_v<SeqNumStorageItem>);
static_assert(sizeof(SeqNumStorageItem) == 312);
static_assert(alignof(SeqNumStorageItem) == 8);
// g++ lays out a non-virtual derived record as written; offsetof is exact here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
static_assert(offsetof(SeqNumStorageItem, mName) == 32);
static_assert(offsetof(SeqNumStorageItem, mSeqNum) == 288);
static_assert(offsetof(SeqNumStorageItem, mSubSeqNum) == 296);
static_assert(offsetof(SeqNumStorageItem, mZunqSeqNum) == 300);
static_assert(offsetof(SeqNumStorageItem, mNumSeqResets) == 304);
#pragma GCC diagnostic pop

} // namespace Zunq::Utils
