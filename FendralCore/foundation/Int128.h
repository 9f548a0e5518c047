// 128-bit keys. A key holds either two 64-bit words or a 16-byte resource name;
// the words are read in native little-endian order, so name byte 0 is the least
// significant byte of the upper word. Keys order word by word (upper first),
// unsigned for UInt128 and signed for Int128: the sorted containers rely on
// exactly this order, which is not a true 128-bit order.
#pragma once

#include "FendralCore/foundation/FwTypes.h"

#include <cstring>
#include <type_traits>

struct Num128
{
    int64 numUpper;
    int64 numLower;
};

struct UnsignedNum128
{
    uint64 numUpper;
    uint64 numLower;
};

union Data128
{
    Num128 num;
    UnsignedNum128 unum;
    char txt[16];
};
static_assert(sizeof(Data128) == 16);

namespace fendral::detail
{
template <typename Word>
inline int compareWords(Word lhsUpper, Word lhsLower, Word rhsUpper, Word rhsLower)
{
    if (lhsUpper != rhsUpper)
        return lhsUpper < rhsUpper ? -1 : 1;
    if (lhsLower != rhsLower)
        return lhsLower < rhsLower ? -1 : 1;
    return 0;
}

// Bytes up to the first NUL of a name of at most 16 characters; the rest stays 0.
inline void copyName(Data128& data, const char (&theTxt)[17], bool nullPadded)
{
    if (nullPadded)
    {
        std::memcpy(data.txt, theTxt, 16);
        return;
    }
    data.unum = {0, 0};
    for (int i = 0; i < 16 && theTxt[i] != '\0'; ++i)
        data.txt[i] = theTxt[i];
}
} // namespace fendral::detail

// Words is UnsignedNum128 for UInt128 and Num128 for Int128.
template <typename Word, typename Derived>
class Key128Base
{
public:
    Data128 m_data;

    Data128 getValue() const { return m_data; }

    int compare(const Derived& other) const
    {
        return fendral::detail::compareWords<Word>(upper(), lower(), other.upper(), other.lower());
    }

    bool operator<(const Derived& rhs) const { return compare(rhs) < 0; }
    bool operator<=(const Derived& rhs) const { return compare(rhs) <= 0; }
    bool operator>(const Derived& rhs) const { return compare(rhs) > 0; }
    bool operator>=(const Derived& rhs) const { return compare(rhs) >= 0; }
    bool operator==(const Derived& rhs) const
    {
        return m_data.unum.numUpper == rhs.m_data.unum.numUpper &&
               m_data.unum.numLower == rhs.m_data.unum.numLower;
    }
    bool operator!=(const Derived& rhs) const { return !(*this == rhs); }

    void assignValue(const char (&theTxt)[16]) { std::memcpy(m_data.txt, theTxt, 16); }
    void assignValue(const char (&theTxt)[17], bool nullPadded)
    {
        fendral::detail::copyName(m_data, theTxt, nullPadded);
    }

    // Word 0 XOR word 1: the hash the unsorted containers use.
    uint64 hashValue() const { return m_data.unum.numUpper ^ m_data.unum.numLower; }

protected:
    Word upper() const
    {
        if constexpr (std::is_signed_v<Word>)
            return m_data.num.numUpper;
        else
            return m_data.unum.numUpper;
    }
    Word lower() const
    {
        if constexpr (std::is_signed_v<Word>)
            return m_data.num.numLower;
        else
            return m_data.unum.numLower;
    }
};

class UInt128 : public Key128Base<uint64, UInt128>
{
public:
    UInt128() { m_data.unum = {0, 0}; }
    UInt128(uint64 val) { m_data.unum = {0, val}; }
    UInt128(const char (&theTxt)[16]) { assignValue(theTxt); }
    UInt128(const char (&theTxt)[17], bool nullPadded) { assignValue(theTxt, nullPadded); }
    UInt128(const Data128& val128) { m_data = val128; }
    UInt128(const UInt128& rhs) = default;

    UInt128& operator=(const UInt128& rhs) = default;
    UInt128& operator=(uint64 val)
    {
        m_data.unum = {0, val};
        return *this;
    }
    UInt128& operator=(const char (&theTxt)[16])
    {
        assignValue(theTxt);
        return *this;
    }
    UInt128& operator=(const char (&theTxt)[17])
    {
        assignValue(theTxt, false);
        return *this;
    }
    UInt128& operator=(const Data128& val128)
    {
        m_data = val128;
        return *this;
    }

    friend class Key128Base<uint64, UInt128>;
};

class Int128 : public Key128Base<int64, Int128>
{
public:
    Int128() { m_data.num = {0, 0}; }
    // No sign extension: the upper word stays 0 for a negative value.
    Int128(int64 val) { m_data.num = {0, val}; }
    Int128(const char (&theTxt)[16]) { assignValue(theTxt); }
    Int128(const char (&theTxt)[17], bool nullPadded) { assignValue(theTxt, nullPadded); }
    Int128(const Data128& val128) { m_data = val128; }
    Int128(const Int128& rhs) = default;

    Int128& operator=(const Int128& rhs) = default;
    Int128& operator=(int64 val)
    {
        m_data.num = {0, val};
        return *this;
    }
    Int128& operator=(const char (&theTxt)[16])
    {
        assignValue(theTxt);
        return *this;
    }
    Int128& operator=(const char (&theTxt)[17])
    {
        assignValue(theTxt, false);
        return *this;
    }
    Int128& operator=(const Data128& val128)
    {
        m_data = val128;
        return *this;
    }

    friend class Key128Base<int64, Int128>;
};

static_assert(sizeof(UInt128) == 16 && sizeof(Int128) == 16);
static_assert(std::is_trivially_copyable_v<UInt128> && std::is_trivially_copyable_v<Int128>);
