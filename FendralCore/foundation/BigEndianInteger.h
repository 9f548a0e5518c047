// Integer fields stored in network byte order inside packed wire records.
// Each object is exactly the size of its field.
#pragma once

#include "FendralCore/foundation/FwTypes.h"

#include <bit>

template <typename T>
class BigEndianInteger
{
public:
    T m_value;

    operator T() const { return fromBig(m_value); }
    BigEndianInteger& operator=(const T& rhs)
    {
        m_value = fromBig(rhs);
        return *this;
    }

private:
    static T fromBig(T v)
    {
        static_assert(std::endian::native == std::endian::little);
        if constexpr (sizeof(T) == 2)
            return static_cast<T>(__builtin_bswap16(static_cast<uint16>(v)));
        else if constexpr (sizeof(T) == 4)
            return static_cast<T>(__builtin_bswap32(static_cast<uint32>(v)));
        else
            return static_cast<T>(__builtin_bswap64(static_cast<uint64>(v)));
    }
};

using IntBig16 = BigEndianInteger<int16>;
using IntBig32 = BigEndianInteger<int32>;
using IntBig64 = BigEndianInteger<int64>;
using UintBig16 = BigEndianInteger<uint16>;
using UintBig32 = BigEndianInteger<uint32>;
using UintBig64 = BigEndianInteger<uint64>;

static_assert(sizeof(IntBig16) == 2 && sizeof(UintBig16) == 2);
static_assert(sizeof(IntBig32) == 4 && sizeof(UintBig32) == 4);
static_assert(sizeof(IntBig64) == 8 && sizeof(UintBig64) == 8);
static_assert(std::is_trivially_copyable_v<UintBig64>);
