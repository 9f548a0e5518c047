// Decoding of the length fields that the stream framings find in untrusted
// bytes: the FIX BodyLength text and the size field of an application-
// described framing. Both saturate instead of overflowing, so a hostile
// value is only ever "too large", never a wrapped small one.
#pragma once

#include "FendralCore/foundation/ConfigManager.h"
#include "FendralCore/foundation/FwTypes.h"

#include <cstdint>

namespace framing
{
// Decimal values are clamped here; anything this large is refused by every
// buffer anyway.
inline constexpr int64 DECIMAL_CLAMP = 1'000'000'000'000LL;

// Signed decimal as a C library integer parse reads it: leading blanks, an
// optional sign, digits up to the first non-digit (none: 0).
inline int64 parseDecimal(const char* text, int32 len)
{
    int32 i = 0;
    while (i < len && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')))
        ++i;
    bool negative = false;
    if (i < len && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    int64 value = 0;
    for (; i < len && text[i] >= '0' && text[i] <= '9'; ++i)
    {
        value = value * 10 + (text[i] - '0');
        if (value > DECIMAL_CLAMP)
            value = DECIMAL_CLAMP;
    }
    return negative ? -value : value;
}

// Width in bytes of a size field of this type; 0 for a type that cannot
// carry a message size.
inline int32 sizeFieldWidth(ParaType type)
{
    switch (type)
    {
    case INTEGER16:
    case UNSIGNED_INTEGER16:
    case BIG_INTEGER16:
    case BIG_UNSIGNED_INTEGER16:
        return 2;
    case INTEGER32:
    case UNSIGNED_INTEGER32:
    case BIG_INTEGER32:
    case BIG_UNSIGNED_INTEGER32:
        return 4;
    default:
        return 0;
    }
}

// The field's value, always read as signed (2-byte values sign-extend, for
// the unsigned types too). bytes holds sizeFieldWidth(type) bytes.
inline int32 decodeSizeField(const unsigned char* bytes, ParaType type)
{
    const bool big = type == BIG_INTEGER16 || type == BIG_UNSIGNED_INTEGER16 || type == BIG_INTEGER32 ||
                     type == BIG_UNSIGNED_INTEGER32;
    if (sizeFieldWidth(type) == 2)
    {
        const uint16_t v = big ? static_cast<uint16_t>(bytes[0] << 8 | bytes[1])
                               : static_cast<uint16_t>(bytes[1] << 8 | bytes[0]);
        return static_cast<int16_t>(v);
    }
    const uint32_t v = big ? (uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 | bytes[3])
                           : (uint32_t{bytes[3]} << 24 | uint32_t{bytes[2]} << 16 | uint32_t{bytes[1]} << 8 | bytes[0]);
    return static_cast<int32>(v);
}
} // namespace framing
