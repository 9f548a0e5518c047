// The header that every pooled record starts with (as its first base): the
// links that put the record on a pool's free list or on one of the index-linked
// containers. Links are indices, never pointers, so that a pool can live in
// shared memory that processes attach at different addresses.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Zunq::Utils
{

// Deliberately without member initialisers: a pooled type's default
// constructor must leave the header of an entry alone.
struct ArrayBackedPoolObject
{
    uint64_t mID;   // chosen by the owner of the entry
    int64_t mNext;  // next entry of the list holding this one; -1 none
    int64_t mPrev;  // previous entry; -1 none
    int64_t mIndex; // this entry's own index, rewritten by every lookup
};

static_assert(sizeof(ArrayBackedPoolObject) == 32);
static_assert(offsetof(ArrayBackedPoolObject, mID) == 0);
static_assert(offsetof(ArrayBackedPoolObject, mNext) == 8);
static_assert(offsetof(ArrayBackedPoolObject, mPrev) == 16);
static_assert(offsetof(ArrayBackedPoolObject, mIndex) == 24);

// An index split into level and offset inside the level.
struct InternalIndex
{
    int64_t mIndex;      // offset inside the level
    int64_t mArrayIndex; // level
};

} // namespace Zunq::Utils
