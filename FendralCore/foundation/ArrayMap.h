// Key-to-pointer map for tables that usually hold a handful of entries (the
// logger thread's per-descriptor tables). Every entry lives in an
// UnsortedMap; while the entries fit, they are also kept in a short scan list
// that lookups and walks search linearly, which beats hashing for a few keys.
// Past the scan list's size the map serves lookups and walks, until removals
// bring the count down to the scan size again.
//
// For the owning thread only: no locks; the pointers are never freed here.
#pragma once

#include "FendralCore/foundation/CharArray.h"
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/FwTypes.h"
#include "FendralCore/foundation/Int128.h"
#include "FendralCore/foundation/UnsortedMap.h"

#include <cstdint>
#include <limits>
#include <memory>

namespace fendral::detail
{
// The zero key of each key type: never stored, refused by add.
template <typename K>
inline bool isZeroKey(const K& key)
{
    if constexpr (std::is_integral_v<K>)
        return key == 0;
    else if constexpr (std::is_same_v<K, CharArray<48>>)
        return key.m_dataTxt[0] == '\0';
    else
        return key.m_data.unum.numUpper == 0 && key.m_data.unum.numLower == 0;
}
} // namespace fendral::detail

template <typename K>
class ArrayMap
{
public:
    static constexpr int32 MAP_BUCKET_HINT = 100;

    explicit ArrayMap(int32_t scanListSize);
    ~ArrayMap();

    ArrayMap(const ArrayMap&) = delete;
    ArrayMap& operator=(const ArrayMap&) = delete;

    // 0, or -1 with DAT_NULL_KEY (zero key) or DAT_KEY_EXIST.
    int32 add(const K& key, void* objPtr);
    // 0, or -1 with DAT_KEY_NOT_FOUND. In list mode the last entry of the
    // scan list takes the removed entry's slot.
    int32 remove(const K& key);
    // 0 and the pointer, or -1 with DAT_KEY_NOT_FOUND (NULL_PARAM without an output).
    int32 find(const K& key, void** objPtr);

    // A walk must not span a change of mode (an add past the scan size, or a
    // remove back to it). In list mode getNext without getFirst starts at slot 1.
    bool getFirst(K& key, void** objPtr);
    bool getNext(K& key, void** objPtr);

    uint64 size() const { return m_map.getSize(); }
    // True while the scan list holds every entry.
    bool isListLookup() const { return m_listLookup; }

private:
    UnsortedMap<K> m_map;
    std::unique_ptr<K[]> m_keyAry;
    std::unique_ptr<void*[]> m_ptrAry;
    int32 m_curListIdx = 0;  // scan-list slots in use: 0 .. m_curListIdx - 1
    int32 m_curIterIdx = 0;  // scan-list slot last handed out by a walk
    bool m_listLookup = true;
    uint64 m_scanListSize;

    void rebuildScanList();
    void clearSlot(int32 idx);
};
