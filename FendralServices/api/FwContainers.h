// The framework's associative containers behind named, typed handles. Every
// call is a template over the key type, offered for unsigned int, unsigned
// long, UInt128, int, long, Int128 and CharArray<48> (at most 48 characters
// of a text key are used). A handle remembers its container kind and key
// type: a handle of another kind fails with DAT_TYPE, of another key type with
// DAT_MAP_KEY_TYPE, a null, released or made-up one with DAT_HANDLE.
// Out-pointers that are null are not written (GetSize's excepted: NULL_PARAM).
// A container is for one thread at a time.
#pragma once

#include "FendralCore/foundation/CharArray.h"
#include "FendralCore/foundation/FwTypes.h"
#include "FendralCore/foundation/Int128.h"

// ---- sorted map ----
template <typename T> long sortedMapCreate(const char* mapNameTxt);
template <typename T> int sortedMapRemove(long mapHandle);
template <typename T> bool sortedMapInsertElement(long mapHandle, T newKey, unsigned long value, bool overwrite);
template <typename T> int sortedMapRemoveElement(long mapHandle, T keyRemove, unsigned long* valuePtr);
template <typename T> bool sortedMapRemoveAll(long mapHandle);
template <typename T>
bool sortedMapFind(long mapHandle, T searchKey, T* resultKeyPtr, unsigned long* valuePtr, FindOperation operation);
template <typename T> bool sortedMapGetValueByKey(long mapHandle, T searchKey, unsigned long* valuePtr);
template <typename T> bool sortedMapGetFirst(long mapHandle, T* keyPtr, unsigned long* valuePtr);
template <typename T> bool sortedMapGetNext(long mapHandle, T* keyPtr, unsigned long* valuePtr);
template <typename T> bool sortedMapGetLast(long mapHandle, T* keyPtr, unsigned long* valuePtr);
template <typename T> bool sortedMapGetPrev(long mapHandle, T* keyPtr, unsigned long* valuePtr);
template <typename T> bool sortedMapGetNextByKey(long mapHandle, T currentKey, T* keyPtr, unsigned long* valuePtr);
template <typename T> bool sortedMapGetPrevByKey(long mapHandle, T currentKey, T* keyPtr, unsigned long* valuePtr);
template <typename T> int sortedMapGetSize(long mapHandle, unsigned long* sizePtr);

// ---- sorted multimap ----
template <typename T> long sortedMultiMapCreate(const char* mapNameTxt);
template <typename T> int sortedMultiMapRemove(long mapHandle);
template <typename T> bool sortedMultiMapInsertElement(long mapHandle, T newKey, unsigned long value);
template <typename T> int sortedMultiMapRemoveElement(long mapHandle, T keyRemove);
template <typename T> bool sortedMultiMapRemoveAll(long mapHandle);
template <typename T> bool sortedMultiMapRemoveCurrent(long mapHandle, unsigned long* valuePtr);
template <typename T>
bool sortedMultiMapFind(long mapHandle, T searchKey, T* resultKeyPtr, unsigned long* valuePtr,
                        FindOperation operation);
template <typename T> bool sortedMultiMapGetFirstValueByKey(long mapHandle, T searchKey, unsigned long* valuePtr);
template <typename T> bool sortedMultiMapGetNextValueByKey(long mapHandle, T searchKey, unsigned long* valuePtr);
template <typename T> bool sortedMultiMapGetFirst(long mapHandle, T* keyPtr, unsigned long* valuePtr);
template <typename T> bool sortedMultiMapGetNext(long mapHandle, T* keyPtr, unsigned long* valuePtr);
template <typename T> bool sortedMultiMapGetLast(long mapHandle, T* keyPtr, unsigned long* valuePtr);
template <typename T> bool sortedMultiMapGetPrev(long mapHandle, T* keyPtr, unsigned long* valuePtr);
template <typename T> int sortedMultiMapGetSize(long mapHandle, unsigned long* sizePtr);

// ---- unsorted map ----
template <typename T> long unsortedMapCreate(const char* mapNameTxt, int initBuckets);
template <typename T> int unsortedMapRemove(long mapHandle);
template <typename T> bool unsortedMapInsertElement(long mapHandle, T newKey, unsigned long value, bool overwrite);
template <typename T> int unsortedMapRemoveElement(long mapHandle, T keyRemove, unsigned long* valuePtr);
template <typename T> bool unsortedMapRemoveAll(long mapHandle);
template <typename T> bool unsortedMapGetValueByKey(long mapHandle, T searchKey, unsigned long* valuePtr);
template <typename T> bool unsortedMapGetFirst(long mapHandle, T* keyPtr, unsigned long* valuePtr);
template <typename T> bool unsortedMapGetNext(long mapHandle, T* keyPtr, unsigned long* valuePtr);
template <typename T> bool unsortedMapGetNextByKey(long mapHandle, T currentKey, T* keyPtr, unsigned long* valuePtr);
template <typename T> int unsortedMapGetSize(long mapHandle, unsigned long* sizePtr);

// ---- unsorted multimap ----
template <typename T> long unsortedMultiMapCreate(const char* mapNameTxt, int initBuckets);
template <typename T> int unsortedMultiMapRemove(long mapHandle);
template <typename T> bool unsortedMultiMapInsertElement(long mapHandle, T newKey, unsigned long value);
template <typename T> int unsortedMultiMapRemoveElement(long mapHandle, T keyRemove);
template <typename T> bool unsortedMultiMapRemoveAll(long mapHandle);
template <typename T> bool unsortedMultiMapRemoveCurrent(long mapHandle, unsigned long* valuePtr);
template <typename T> bool unsortedMultiMapGetFirstValueByKey(long mapHandle, T searchKey, unsigned long* valuePtr);
template <typename T> bool unsortedMultiMapGetNextValueByKey(long mapHandle, T searchKey, unsigned long* valuePtr);
template <typename T> bool unsortedMultiMapGetFirst(long mapHandle, T* keyPtr, unsigned long* valuePtr);
template <typename T> bool unsortedMultiMapGetNext(long mapHandle, T* keyPtr, unsigned long* valuePtr);
template <typename T> int unsortedMultiMapGetSize(long mapHandle, unsigned long* sizePtr);
