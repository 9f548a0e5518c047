// The container calls: check the handle's kind and key type, then call the
// container's member of the same name. Instantiated once per key type below.
#include "FendralServices/api/ApiGuard.h"
#include "FendralServices/api/FwContainers.h"

#include "FendralCore/foundation/SortedMap.h"
#include "FendralCore/foundation/SortedMultiMap.h"
#include "FendralCore/foundation/UnsortedMap.h"
#include "FendralCore/foundation/UnsortedMultiMap.h"
#include "FendralCore/runtime/DatInfo.h"

#include <memory>
#include <type_traits>

namespace
{

using TextKey = CharArray<48>;

template <typename T>
constexpr bool keyIsSigned()
{
    return std::is_same_v<T, int> || std::is_same_v<T, long> || std::is_same_v<T, Int128>;
}

template <template <typename> class C>
constexpr DataObjectType kindOf();
template <>
constexpr DataObjectType kindOf<SortedMap>() { return DAT_SORTED_MAP; }
template <>
constexpr DataObjectType kindOf<SortedMultiMap>() { return DAT_SORTED_MULTIMAP; }
template <>
constexpr DataObjectType kindOf<UnsortedMap>() { return DAT_UNSORTED_MAP; }
template <>
constexpr DataObjectType kindOf<UnsortedMultiMap>() { return DAT_UNSORTED_MULTIMAP; }

// The container behind a handle of kind C over key T, or null with the code.
template <template <typename> class C, typename T>
C<T>* mapOf(long handle)
{
    if (!DatInfo::isValidHandle(handle, kindOf<C>(), static_cast<int32>(sizeof(T)), keyIsSigned<T>()))
        return nullptr;
    return static_cast<C<T>*>(reinterpret_cast<DatInfo*>(handle)->getDatPtr());
}

template <template <typename> class C, typename T, typename... Args>
long createMap(const char* who, const char* nameTxt, Args... args)
{
    return apiGuard(who, 0L, [&]() -> long {
        if (nameTxt == nullptr)
            return fwFail(NULL_PARAM, 0L);
        auto map = std::make_unique<C<T>>(args...);
        DatInfo* info = DatInfo::createDatInfo(map.get(), nameTxt, kindOf<C>());
        if (info == nullptr)
            return 0;
        info->setMapInfo(static_cast<int32>(sizeof(T)), keyIsSigned<T>());
        map.release();
        return reinterpret_cast<long>(info);
    });
}

template <template <typename> class C, typename T>
int removeMap(const char* who, long handle)
{
    return apiGuard(who, 0, [&]() -> int {
        C<T>* map = mapOf<C, T>(handle);
        if (map == nullptr)
            return 0;
        delete reinterpret_cast<DatInfo*>(handle);
        delete map;
        return 1;
    });
}

// Runs op on the container when the handle fits; failure otherwise.
template <template <typename> class C, typename T, typename R, typename Op>
R withMap(const char* who, long handle, R failure, Op op)
{
    return apiGuard(who, failure, [&]() -> R {
        C<T>* map = mapOf<C, T>(handle);
        return map == nullptr ? failure : op(*map);
    });
}

// Copies a found element out where the caller asked for it. Keys are copied
// through their own assignment, so a text key carries at most 48 characters.
template <typename T>
bool handOut(bool found, const T& key, DataValueType value, T* keyPtr, unsigned long* valuePtr)
{
    if (!found)
        return false;
    if (keyPtr != nullptr)
        *keyPtr = key;
    if (valuePtr != nullptr)
        *valuePtr = value;
    return true;
}

template <template <typename> class C, typename T>
int getSize(const char* who, long handle, unsigned long* sizePtr)
{
    return withMap<C, T>(who, handle, -1, [&](C<T>& m) -> int {
        if (sizePtr == nullptr)
            return fwFail(NULL_PARAM, -1);
        *sizePtr = m.getSize();
        return 0;
    });
}

// RemoveElement of the maps: the count removed, the value when asked.
template <template <typename> class C, typename T>
int removeWithValue(const char* who, long handle, const T& keyRemove, unsigned long* valuePtr)
{
    return withMap<C, T>(who, handle, -1, [&](C<T>& m) -> int {
        DataValueType value = 0;
        const int32 rc = m.remove(T(keyRemove), value);
        if (rc > 0 && valuePtr != nullptr)
            *valuePtr = value;
        return rc;
    });
}

template <template <typename> class C, typename T>
bool removeCurrentOf(const char* who, long handle, unsigned long* valuePtr)
{
    return withMap<C, T>(who, handle, false, [&](C<T>& m) {
        DataValueType value = 0;
        const bool ok = m.removeCurrent(value);
        if (ok && valuePtr != nullptr)
            *valuePtr = value;
        return ok;
    });
}

// A look-up by key that hands out the value only: lookup(map, key, value).
template <template <typename> class C, typename T, typename Lookup>
bool valueOf(const char* who, long handle, const T& searchKey, unsigned long* valuePtr, Lookup lookup)
{
    return withMap<C, T>(who, handle, false, [&](C<T>& m) {
        DataValueType value = 0;
        if (!lookup(m, T(searchKey), value))
            return false;
        if (valuePtr != nullptr)
            *valuePtr = value;
        return true;
    });
}

// A cursor move of the form move(key, value).
#define FW_CURSOR_MOVE(C, who, member)                                                                                \
    withMap<C, T>(who, mapHandle, false, [&](C<T>& m) {                                                               \
        T key{};                                                                                                      \
        DataValueType value = 0;                                                                                      \
        const bool found = m.member(key, value);                                                                      \
        return handOut(found, key, value, keyPtr, valuePtr);                                                          \
    })

// A call that looks a key up: a fresh copy of it, cut as keys are.
template <typename T>
T freshKey(const T& key)
{
    return T(key);
}

} // namespace

// ---- sorted map ----

template <typename T>
long sortedMapCreate(const char* mapNameTxt)
{
    return createMap<SortedMap, T>("sortedMapCreate", mapNameTxt);
}

template <typename T>
int sortedMapRemove(long mapHandle)
{
    return removeMap<SortedMap, T>("sortedMapRemove", mapHandle);
}

template <typename T>
bool sortedMapInsertElement(long mapHandle, T newKey, unsigned long value, bool overwrite)
{
    return withMap<SortedMap, T>("sortedMapInsertElement", mapHandle, false,
                                 [&](SortedMap<T>& m) { return m.insert(freshKey(newKey), value, overwrite); });
}

template <typename T>
int sortedMapRemoveElement(long mapHandle, T keyRemove, unsigned long* valuePtr)
{
    return removeWithValue<SortedMap, T>("sortedMapRemoveElement", mapHandle, keyRemove, valuePtr);
}

template <typename T>
bool sortedMapRemoveAll(long mapHandle)
{
    return withMap<SortedMap, T>("sortedMapRemoveAll", mapHandle, false,
                                 [](SortedMap<T>& m) { return m.removeAll(), true; });
}

template <typename T>
bool sortedMapFind(long mapHandle, T searchKey, T* resultKeyPtr, unsigned long* valuePtr, FindOperation operation)
{
    return withMap<SortedMap, T>("sortedMapFind", mapHandle, false, [&](SortedMap<T>& m) {
        T key{};
        DataValueType value = 0;
        const bool found = m.find(freshKey(searchKey), key, value, operation, true);
        return handOut(found, key, value, resultKeyPtr, valuePtr);
    });
}

template <typename T>
bool sortedMapGetValueByKey(long mapHandle, T searchKey, unsigned long* valuePtr)
{
    return sortedMapFind<T>(mapHandle, searchKey, nullptr, valuePtr, FIND_EQ);
}

template <typename T>
bool sortedMapGetFirst(long mapHandle, T* keyPtr, unsigned long* valuePtr)
{
    return FW_CURSOR_MOVE(SortedMap, "sortedMapGetFirst", getFirst);
}

template <typename T>
bool sortedMapGetNext(long mapHandle, T* keyPtr, unsigned long* valuePtr)
{
    return FW_CURSOR_MOVE(SortedMap, "sortedMapGetNext", getNext);
}

template <typename T>
bool sortedMapGetLast(long mapHandle, T* keyPtr, unsigned long* valuePtr)
{
    return FW_CURSOR_MOVE(SortedMap, "sortedMapGetLast", getLast);
}

template <typename T>
bool sortedMapGetPrev(long mapHandle, T* keyPtr, unsigned long* valuePtr)
{
    return FW_CURSOR_MOVE(SortedMap, "sortedMapGetPrev", getPrev);
}

template <typename T>
bool sortedMapGetNextByKey(long mapHandle, T currentKey, T* keyPtr, unsigned long* valuePtr)
{
    return withMap<SortedMap, T>("sortedMapGetNextByKey", mapHandle, false, [&](SortedMap<T>& m) {
        T key{};
        DataValueType value = 0;
        const bool found = m.getNext(freshKey(currentKey), key, value);
        return handOut(found, key, value, keyPtr, valuePtr);
    });
}

template <typename T>
bool sortedMapGetPrevByKey(long mapHandle, T currentKey, T* keyPtr, unsigned long* valuePtr)
{
    return withMap<SortedMap, T>("sortedMapGetPrevByKey", mapHandle, false, [&](SortedMap<T>& m) {
        T key{};
        DataValueType value = 0;
        const bool found = m.getPrev(freshKey(currentKey), key, value);
        return handOut(found, key, value, keyPtr, valuePtr);
    });
}

template <typename T>
int sortedMapGetSize(long mapHandle, unsigned long* sizePtr)
{
    return getSize<SortedMap, T>("sortedMapGetSize", mapHandle, sizePtr);
}

// ---- sorted multimap ----

template <typename T>
long sortedMultiMapCreate(const char* mapNameTxt)
{
    return createMap<SortedMultiMap, T>("sortedMultiMapCreate", mapNameTxt);
}

template <typename T>
int sortedMultiMapRemove(long mapHandle)
{
    return removeMap<SortedMultiMap, T>("sortedMultiMapRemove", mapHandle);
}

template <typename T>
bool sortedMultiMapInsertElement(long mapHandle, T newKey, unsigned long value)
{
    return withMap<SortedMultiMap, T>("sortedMultiMapInsertElement", mapHandle, false,
                                      [&](SortedMultiMap<T>& m) { return m.insert(freshKey(newKey), value); });
}

template <typename T>
int sortedMultiMapRemoveElement(long mapHandle, T keyRemove)
{
    return withMap<SortedMultiMap, T>("sortedMultiMapRemoveElement", mapHandle, -1,
                                      [&](SortedMultiMap<T>& m) -> int { return m.remove(freshKey(keyRemove)); });
}

template <typename T>
bool sortedMultiMapRemoveAll(long mapHandle)
{
    return withMap<SortedMultiMap, T>("sortedMultiMapRemoveAll", mapHandle, false,
                                      [](SortedMultiMap<T>& m) { return m.removeAll(), true; });
}

template <typename T>
bool sortedMultiMapRemoveCurrent(long mapHandle, unsigned long* valuePtr)
{
    return removeCurrentOf<SortedMultiMap, T>("sortedMultiMapRemoveCurrent", mapHandle, valuePtr);
}

template <typename T>
bool sortedMultiMapFind(long mapHandle, T searchKey, T* resultKeyPtr, unsigned long* valuePtr,
                        FindOperation operation)
{
    return withMap<SortedMultiMap, T>("sortedMultiMapFind", mapHandle, false, [&](SortedMultiMap<T>& m) {
        T key{};
        DataValueType value = 0;
        const bool found = m.find(freshKey(searchKey), key, value, operation);
        return handOut(found, key, value, resultKeyPtr, valuePtr);
    });
}

template <typename T>
bool sortedMultiMapGetFirstValueByKey(long mapHandle, T searchKey, unsigned long* valuePtr)
{
    return valueOf<SortedMultiMap, T>("sortedMultiMapGetFirstValueByKey", mapHandle, searchKey, valuePtr,
                              [](auto& m, const T& k, DataValueType& v) { return m.getFirstValueByKey(k, v); });
}

template <typename T>
bool sortedMultiMapGetNextValueByKey(long mapHandle, T searchKey, unsigned long* valuePtr)
{
    return valueOf<SortedMultiMap, T>("sortedMultiMapGetNextValueByKey", mapHandle, searchKey, valuePtr,
                              [](auto& m, const T& k, DataValueType& v) { return m.getNextValueByKey(k, v); });
}

template <typename T>
bool sortedMultiMapGetFirst(long mapHandle, T* keyPtr, unsigned long* valuePtr)
{
    return FW_CURSOR_MOVE(SortedMultiMap, "sortedMultiMapGetFirst", getFirst);
}

template <typename T>
bool sortedMultiMapGetNext(long mapHandle, T* keyPtr, unsigned long* valuePtr)
{
    return FW_CURSOR_MOVE(SortedMultiMap, "sortedMultiMapGetNext", getNext);
}

template <typename T>
bool sortedMultiMapGetLast(long mapHandle, T* keyPtr, unsigned long* valuePtr)
{
    return FW_CURSOR_MOVE(SortedMultiMap, "sortedMultiMapGetLast", getLast);
}

template <typename T>
bool sortedMultiMapGetPrev(long mapHandle, T* keyPtr, unsigned long* valuePtr)
{
    return FW_CURSOR_MOVE(SortedMultiMap, "sortedMultiMapGetPrev", getPrev);
}

template <typename T>
int sortedMultiMapGetSize(long mapHandle, unsigned long* sizePtr)
{
    return getSize<SortedMultiMap, T>("sortedMultiMapGetSize", mapHandle, sizePtr);
}

// ---- unsorted map ----

template <typename T>
long unsortedMapCreate(const char* mapNameTxt, int initBuckets)
{
    return createMap<UnsortedMap, T>("unsortedMapCreate", mapNameTxt, static_cast<int32>(initBuckets));
}

template <typename T>
int unsortedMapRemove(long mapHandle)
{
    return removeMap<UnsortedMap, T>("unsortedMapRemove", mapHandle);
}

template <typename T>
bool unsortedMapInsertElement(long mapHandle, T newKey, unsigned long value, bool overwrite)
{
    return withMap<UnsortedMap, T>("unsortedMapInsertElement", mapHandle, false,
                                   [&](UnsortedMap<T>& m) { return m.insert(freshKey(newKey), value, overwrite); });
}

template <typename T>
int unsortedMapRemoveElement(long mapHandle, T keyRemove, unsigned long* valuePtr)
{
    return removeWithValue<UnsortedMap, T>("unsortedMapRemoveElement", mapHandle, keyRemove, valuePtr);
}

template <typename T>
bool unsortedMapRemoveAll(long mapHandle)
{
    return withMap<UnsortedMap, T>("unsortedMapRemoveAll", mapHandle, false,
                                   [](UnsortedMap<T>& m) { return m.removeAll(), true; });
}

template <typename T>
bool unsortedMapGetValueByKey(long mapHandle, T searchKey, unsigned long* valuePtr)
{
    return valueOf<UnsortedMap, T>("unsortedMapGetValueByKey", mapHandle, searchKey, valuePtr,
                                   [](auto& m, const T& k, DataValueType& v) { return m.getValueByKey(k, v, true); });
}

template <typename T>
bool unsortedMapGetFirst(long mapHandle, T* keyPtr, unsigned long* valuePtr)
{
    return FW_CURSOR_MOVE(UnsortedMap, "unsortedMapGetFirst", getFirst);
}

template <typename T>
bool unsortedMapGetNext(long mapHandle, T* keyPtr, unsigned long* valuePtr)
{
    return FW_CURSOR_MOVE(UnsortedMap, "unsortedMapGetNext", getNext);
}

template <typename T>
bool unsortedMapGetNextByKey(long mapHandle, T currentKey, T* keyPtr, unsigned long* valuePtr)
{
    return withMap<UnsortedMap, T>("unsortedMapGetNextByKey", mapHandle, false, [&](UnsortedMap<T>& m) {
        T key{};
        DataValueType value = 0;
        const bool found = m.getNext(freshKey(currentKey), key, value);
        return handOut(found, key, value, keyPtr, valuePtr);
    });
}

template <typename T>
int unsortedMapGetSize(long mapHandle, unsigned long* sizePtr)
{
    return getSize<UnsortedMap, T>("unsortedMapGetSize", mapHandle, sizePtr);
}

// ---- unsorted multimap ----

template <typename T>
long unsortedMultiMapCreate(const char* mapNameTxt, int initBuckets)
{
    return createMap<UnsortedMultiMap, T>("unsortedMultiMapCreate", mapNameTxt, static_cast<int32>(initBuckets));
}

template <typename T>
int unsortedMultiMapRemove(long mapHandle)
{
    return removeMap<UnsortedMultiMap, T>("unsortedMultiMapRemove", mapHandle);
}

template <typename T>
bool unsortedMultiMapInsertElement(long mapHandle, T newKey, unsigned long value)
{
    return withMap<UnsortedMultiMap, T>("unsortedMultiMapInsertElement", mapHandle, false,
                                        [&](UnsortedMultiMap<T>& m) { return m.insert(freshKey(newKey), value); });
}

template <typename T>
int unsortedMultiMapRemoveElement(long mapHandle, T keyRemove)
{
    return withMap<UnsortedMultiMap, T>("unsortedMultiMapRemoveElement", mapHandle, -1,
                                        [&](UnsortedMultiMap<T>& m) -> int { return m.remove(freshKey(keyRemove)); });
}

template <typename T>
bool unsortedMultiMapRemoveAll(long mapHandle)
{
    return withMap<UnsortedMultiMap, T>("unsortedMultiMapRemoveAll", mapHandle, false,
                                        [](UnsortedMultiMap<T>& m) { return m.removeAll(), true; });
}

template <typename T>
bool unsortedMultiMapRemoveCurrent(long mapHandle, unsigned long* valuePtr)
{
    return removeCurrentOf<UnsortedMultiMap, T>("unsortedMultiMapRemoveCurrent", mapHandle, valuePtr);
}

template <typename T>
bool unsortedMultiMapGetFirstValueByKey(long mapHandle, T searchKey, unsigned long* valuePtr)
{
    return valueOf<UnsortedMultiMap, T>("unsortedMultiMapGetFirstValueByKey", mapHandle, searchKey, valuePtr,
                              [](auto& m, const T& k, DataValueType& v) { return m.getFirstValueByKey(k, v); });
}

template <typename T>
bool unsortedMultiMapGetNextValueByKey(long mapHandle, T searchKey, unsigned long* valuePtr)
{
    return valueOf<UnsortedMultiMap, T>("unsortedMultiMapGetNextValueByKey", mapHandle, searchKey, valuePtr,
                              [](auto& m, const T& k, DataValueType& v) { return m.getNextValueByKey(k, v); });
}

template <typename T>
bool unsortedMultiMapGetFirst(long mapHandle, T* keyPtr, unsigned long* valuePtr)
{
    return FW_CURSOR_MOVE(UnsortedMultiMap, "unsortedMultiMapGetFirst", getFirst);
}

template <typename T>
bool unsortedMultiMapGetNext(long mapHandle, T* keyPtr, unsigned long* valuePtr)
{
    return FW_CURSOR_MOVE(UnsortedMultiMap, "unsortedMultiMapGetNext", getNext);
}

template <typename T>
int unsortedMultiMapGetSize(long mapHandle, unsigned long* sizePtr)
{
    return getSize<UnsortedMultiMap, T>("unsortedMultiMapGetSize", mapHandle, sizePtr);
}

// ---- one exported function per call and key type ----

#define FW_CONTAINER_CALLS(T)                                                                                         \
    template long sortedMapCreate<T>(const char*);                                                                    \
    template int sortedMapRemove<T>(long);                                                                            \
    template bool sortedMapInsertElement<T>(long, T, unsigned long, bool);                                            \
    template int sortedMapRemoveElement<T>(long, T, unsigned long*);                                                  \
    template bool sortedMapRemoveAll<T>(long);                                                                        \
    template bool sortedMapFind<T>(long, T, T*, unsigned long*, FindOperation);                                       \
    template bool sortedMapGetValueByKey<T>(long, T, unsigned long*);                                                 \
    template bool sortedMapGetFirst<T>(long, T*, unsigned long*);                                                     \
    template bool sortedMapGetNext<T>(long, T*, unsigned long*);                                                      \
    template bool sortedMapGetLast<T>(long, T*, unsigned long*);                                                      \
    template bool sortedMapGetPrev<T>(long, T*, unsigned long*);                                                      \
    template bool sortedMapGetNextByKey<T>(long, T, T*, unsigned long*);                                              \
    template bool sortedMapGetPrevByKey<T>(long, T, T*, unsigned long*);                                              \
    template int sortedMapGetSize<T>(long, unsigned long*);                                                           \
    template long sortedMultiMapCreate<T>(const char*);                                                               \
    template int sortedMultiMapRemove<T>(long);                                                                       \
    template bool sortedMultiMapInsertElement<T>(long, T, unsigned long);                                             \
    template int sortedMultiMapRemoveElement<T>(long, T);                                                             \
    template bool sortedMultiMapRemoveAll<T>(long);                                                                   \
    template bool sortedMultiMapRemoveCurrent<T>(long, unsigned long*);                                               \
    template bool sortedMultiMapFind<T>(long, T, T*, unsigned long*, FindOperation);                                  \
    template bool sortedMultiMapGetFirstValueByKey<T>(long, T, unsigned long*);                                       \
    template bool sortedMultiMapGetNextValueByKey<T>(long, T, unsigned long*);                                        \
    template bool sortedMultiMapGetFirst<T>(long, T*, unsigned long*);                                               \
    template bool sortedMultiMapGetNext<T>(long, T*, unsigned long*);                                                \
    template bool sortedMultiMapGetLast<T>(long, T*, unsigned long*);                                                \
    template bool sortedMultiMapGetPrev<T>(long, T*, unsigned long*);                                                \
    template int sortedMultiMapGetSize<T>(long, unsigned long*);                                                      \
    template long unsortedMapCreate<T>(const char*, int);                                                             \
    template int unsortedMapRemove<T>(long);                                                                          \
    template bool unsortedMapInsertElement<T>(long, T, unsigned long, bool);                                          \
    template int unsortedMapRemoveElement<T>(long, T, unsigned long*);                                                \
    template bool unsortedMapRemoveAll<T>(long);                                                                      \
    template bool unsortedMapGetValueByKey<T>(long, T, unsigned long*);                                               \
    template bool unsortedMapGetFirst<T>(long, T*, unsigned long*);                                                   \
    template bool unsortedMapGetNext<T>(long, T*, unsigned long*);                                                    \
    template bool unsortedMapGetNextByKey<T>(long, T, T*, unsigned long*);                                            \
    template int unsortedMapGetSize<T>(long, unsigned long*);                                                         \
    template long unsortedMultiMapCreate<T>(const char*, int);                                                        \
    template int unsortedMultiMapRemove<T>(long);                                                                     \
    template bool unsortedMultiMapInsertElement<T>(long, T, unsigned long);                                           \
    template int unsortedMultiMapRemoveElement<T>(long, T);                                                           \
    template bool unsortedMultiMapRemoveAll<T>(long);                                                                 \
    template bool unsortedMultiMapRemoveCurrent<T>(long, unsigned long*);                                             \
    template bool unsortedMultiMapGetFirstValueByKey<T>(long, T, unsigned long*);                                     \
    template bool unsortedMultiMapGetNextValueByKey<T>(long, T, unsigned long*);                                      \
    template bool unsortedMultiMapGetFirst<T>(long, T*, unsigned long*);                                              \
    template bool unsortedMultiMapGetNext<T>(long, T*, unsigned long*);                                               \
    template int unsortedMultiMapGetSize<T>(long, unsigned long*);

FW_CONTAINER_CALLS(unsigned int)
FW_CONTAINER_CALLS(unsigned long)
FW_CONTAINER_CALLS(UInt128)
FW_CONTAINER_CALLS(int)
FW_CONTAINER_CALLS(long)
FW_CONTAINER_CALLS(Int128)
FW_CONTAINER_CALLS(TextKey)
