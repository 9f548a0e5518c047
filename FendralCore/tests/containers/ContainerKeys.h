// Keys of the nine key types made from a rank, so that one table of cases
// serves every type: rank order is key order, and rankOf gives the rank back.
// Ranks run from 0 to 9999; the keys are chosen to cross the places where a
// wrong comparison would show (sign changes, top bits of unsigned words, texts
// of the full 48 characters with no terminator).
#pragma once

#include "FendralCore/foundation/CharArray.h"
#include "FendralCore/foundation/FwTypes.h"
#include "FendralCore/foundation/Int128.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>
#include <type_traits>

template <typename K>
struct KeyMaker;

template <>
struct KeyMaker<unsigned short>
{
    static unsigned short key(int rank) { return static_cast<unsigned short>(0x7000 + rank * 2); }
    static int rankOf(unsigned short k) { return (k - 0x7000) / 2; }
};

template <>
struct KeyMaker<unsigned int>
{
    static constexpr unsigned int BASE = 0x7FFFF000U;
    static unsigned int key(int rank) { return BASE + static_cast<unsigned int>(rank); }
    static int rankOf(unsigned int k) { return static_cast<int>(k - BASE); }
};

template <>
struct KeyMaker<unsigned long>
{
    static constexpr unsigned long BASE = 0x7FFFFFFFFFFFF000UL;
    static unsigned long key(int rank) { return BASE + static_cast<unsigned long>(rank); }
    static int rankOf(unsigned long k) { return static_cast<int>(k - BASE); }
};

template <typename S>
struct SignedKeyMaker
{
    static S key(int rank) { return static_cast<S>(rank - 5000); }
    static int rankOf(S k) { return static_cast<int>(k) + 5000; }
};
template <>
struct KeyMaker<short> : SignedKeyMaker<short>
{
};
template <>
struct KeyMaker<int> : SignedKeyMaker<int>
{
};
template <>
struct KeyMaker<long> : SignedKeyMaker<long>
{
};

// Upper word rank / 16; lower word with its top bit set for half the ranks.
template <>
struct KeyMaker<UInt128>
{
    static UInt128 key(int rank)
    {
        Data128 d{};
        d.unum = {static_cast<uint64>(rank >> 4), static_cast<uint64>(rank & 15) << 60};
        return UInt128(d);
    }
    static int rankOf(const UInt128& k)
    {
        return static_cast<int>((k.m_data.unum.numUpper << 4) | (k.m_data.unum.numLower >> 60));
    }
};

// Both words signed, negative for part of the range.
template <>
struct KeyMaker<Int128>
{
    static Int128 key(int rank)
    {
        Data128 d{};
        d.num = {(rank >> 4) - 300, (rank & 15) - 8};
        return Int128(d);
    }
    static int rankOf(const Int128& k)
    {
        return static_cast<int>(((k.m_data.num.numUpper + 300) << 4) | (k.m_data.num.numLower + 8));
    }
};

// 43 filler characters and five digits: exactly 48 characters, no terminator.
template <>
struct KeyMaker<CharArray<48>>
{
    static CharArray<48> key(int rank)
    {
        char txt[64];
        std::snprintf(txt, sizeof txt, "%s%05d", std::string(43, 'k').c_str(), rank);
        return CharArray<48>(txt);
    }
    static int rankOf(const CharArray<48>& k)
    {
        char digits[6] = {};
        std::memcpy(digits, k.m_dataTxt + 43, 5);
        return std::atoi(digits);
    }
};

using ContainerKeyTypes = ::testing::Types<unsigned short, unsigned int, unsigned long, short, int, long,
                                           UInt128, Int128, CharArray<48>>;

struct ContainerKeyNames
{
    template <typename K>
    static std::string GetName(int)
    {
        if constexpr (std::is_same_v<K, unsigned short>)
            return "UInt16";
        else if constexpr (std::is_same_v<K, unsigned int>)
            return "UInt32";
        else if constexpr (std::is_same_v<K, unsigned long>)
            return "UInt64";
        else if constexpr (std::is_same_v<K, short>)
            return "Int16";
        else if constexpr (std::is_same_v<K, int>)
            return "Int32";
        else if constexpr (std::is_same_v<K, long>)
            return "Int64";
        else if constexpr (std::is_same_v<K, UInt128>)
            return "UInt128";
        else if constexpr (std::is_same_v<K, Int128>)
            return "Int128";
        else
            return "CharArray48";
    }
};

// A code no container sets: stored before a call to see whether the call touched it.
inline constexpr int32 UNTOUCHED_CODE = -4242;

// What one cursor or search call gave: the entry handed out (by rank and
// value) or the failure code. The model tests compare these call by call.
struct Step
{
    bool ok = false;
    int rank = -1;
    DataValueType value = 0;
    int32 code = UNTOUCHED_CODE;

    bool operator==(const Step&) const = default;
};

inline Step failed(int32 code) { return {false, -1, 0, code}; }
inline Step found(int rank, DataValueType value) { return {true, rank, value, UNTOUCHED_CODE}; }

inline std::ostream& operator<<(std::ostream& os, const Step& s)
{
    if (s.ok)
        return os << "(rank " << s.rank << ", value " << s.value << ")";
    return os << "(failed " << s.code << ")";
}
